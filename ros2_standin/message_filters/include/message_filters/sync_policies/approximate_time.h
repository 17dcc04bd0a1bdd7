#ifndef MESSAGE_FILTERS__SYNC_POLICIES__APPROXIMATE_TIME_H_
#define MESSAGE_FILTERS__SYNC_POLICIES__APPROXIMATE_TIME_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>

#include "rclcpp/time.hpp"

namespace message_filters
{
namespace sync_policies
{

// Pairs messages of two topics by header stamp (a simplified ApproximateTime,
// see ros2_standin/README.md). Per topic, messages are expected in stamp order.
// Equal stamps are paired at once; otherwise the older head waits until its
// topic shows a later message, then the closer of the two candidates is paired
// with the other head and older leftovers are dropped. Each queue keeps at
// most queue_size messages; a message is used at most once.
template<class M0_, class M1_>
class ApproximateTime
{
public:
  using M0 = M0_;
  using M1 = M1_;

  explicit ApproximateTime(uint32_t queue_size)
  : queue_size_(queue_size)
  {
    if (queue_size == 0) {
      throw std::invalid_argument("ApproximateTime: queue size must be at least 1");
    }
  }

  ApproximateTime(const ApproximateTime &) = default;
  ApproximateTime & operator=(const ApproximateTime &) = default;

protected:
  template<int i, class MConstPtr, class Emit>
  void add(const MConstPtr & message, const Emit & emit)
  {
    if constexpr (i == 0) {
      push(q0_, message);
    } else {
      push(q1_, message);
    }
    process(emit);
  }

private:
  template<class Q, class P>
  void push(Q & queue, const P & message)
  {
    queue.push_back(message);
    while (queue.size() > queue_size_) {
      queue.pop_front();
    }
  }

  template<class P>
  static int64_t stamp(const P & message)
  {
    return rclcpp::Time(message->header.stamp).nanoseconds();
  }

  template<class Emit>
  void process(const Emit & emit)
  {
    while (!q0_.empty() && !q1_.empty()) {
      const int64_t t0 = stamp(q0_.front());
      const int64_t t1 = stamp(q1_.front());
      if (t0 == t1) {
        emit_front(emit);
        continue;
      }
      if (t0 < t1 ? !settle(q0_, t1, emit) : !settle(q1_, t0, emit)) {
        return;  // wait for a later message on the older topic
      }
    }
  }

  // The older head of `older` is a candidate for the other head at `target`.
  // Returns false when undecidable yet.
  template<class Q, class Emit>
  bool settle(Q & older, int64_t target, const Emit & emit)
  {
    if (older.size() < 2) {
      return false;
    }
    const int64_t first = stamp(older[0]);
    const int64_t second = stamp(older[1]);
    if (second <= target || (second - target) < (target - first)) {
      older.pop_front();  // the next message is at least as close to the other head
    } else {
      emit_front(emit);
    }
    return true;
  }

  template<class Emit>
  void emit_front(const Emit & emit)
  {
    auto m0 = q0_.front();
    auto m1 = q1_.front();
    q0_.pop_front();
    q1_.pop_front();
    emit(m0, m1);
  }

  uint32_t queue_size_;
  std::deque<std::shared_ptr<M0 const>> q0_;
  std::deque<std::shared_ptr<M1 const>> q1_;
};

}  // namespace sync_policies
}  // namespace message_filters

#endif  // MESSAGE_FILTERS__SYNC_POLICIES__APPROXIMATE_TIME_H_
