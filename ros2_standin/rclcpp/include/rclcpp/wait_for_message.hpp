#ifndef RCLCPP__WAIT_FOR_MESSAGE_HPP_
#define RCLCPP__WAIT_FOR_MESSAGE_HPP_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/subscription.hpp"

namespace rclcpp
{

// Waits for the next message on a topic and takes it on the calling thread.
// Returns false on timeout (negative: none) or when the context is shut down
// meanwhile. As in humble, the subscription is the node's own, in its
// default group: an executor spinning the node meanwhile may take the message
// first, and the wait goes on.
template<class MsgT, class Rep = int64_t, class Period = std::milli>
bool wait_for_message(
  MsgT & out, rclcpp::Node::SharedPtr node, const std::string & topic,
  std::chrono::duration<Rep, Period> time_to_wait = std::chrono::duration<Rep, Period>(-1))
{
  struct Slot
  {
    std::mutex mutex;
    std::shared_ptr<const MsgT> message;
  };
  auto slot = std::make_shared<Slot>();
  auto subscription = node->create_subscription<MsgT>(
    topic, 1, [slot](const std::shared_ptr<const MsgT> & msg) {
      std::lock_guard<std::mutex> lock(slot->mutex);
      slot->message = msg;
    });
  auto context = node->get_node_base_interface()->get_context();
  const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(time_to_wait);
  const auto end = std::chrono::steady_clock::now() + timeout;
  auto & notifier = detail::WorkNotifier::instance();
  while (context->is_valid()) {
    const uint64_t seen = notifier.generation();
    if (auto work = subscription->take_work()) {
      work();
      std::lock_guard<std::mutex> lock(slot->mutex);
      out = *slot->message;
      return true;
    }
    auto slice = std::chrono::nanoseconds(-1);
    if (timeout >= std::chrono::nanoseconds(0)) {
      slice = end - std::chrono::steady_clock::now();
      if (slice <= std::chrono::nanoseconds(0)) {
        return false;
      }
    }
    notifier.wait(seen, slice, [&context] {return !context->is_valid();});
  }
  return false;
}

}  // namespace rclcpp

#endif  // RCLCPP__WAIT_FOR_MESSAGE_HPP_
