#ifndef RCLCPP__DETAIL__WORK_NOTIFIER_HPP_
#define RCLCPP__DETAIL__WORK_NOTIFIER_HPP_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace rclcpp
{
namespace detail
{

// Plays the part of the middleware's guard conditions: everything that makes
// new work (a message, a request, a response, a freed callback group, a
// shutdown) bumps the generation; idle executor threads wait for it to change.
class WorkNotifier
{
public:
  static WorkNotifier & instance();

  uint64_t generation() const;
  void notify();
  // Waits until the generation differs from `seen`, `stop` holds or the
  // timeout (negative: none) passes. `stop` is evaluated under the lock.
  void wait(uint64_t seen, std::chrono::nanoseconds timeout, const std::function<bool()> & stop);

private:
  WorkNotifier() = default;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__WORK_NOTIFIER_HPP_
