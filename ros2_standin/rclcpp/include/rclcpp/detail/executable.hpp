#ifndef RCLCPP__DETAIL__EXECUTABLE_HPP_
#define RCLCPP__DETAIL__EXECUTABLE_HPP_

#include <functional>

namespace rclcpp
{
namespace detail
{

// Something an executor runs callbacks of: a subscription, a service or a client.
class Executable
{
public:
  virtual ~Executable() = default;
  // Removes one pending item (message, request, response) and returns the
  // call that handles it, or an empty function when nothing is pending.
  virtual std::function<void()> take_work() = 0;
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__EXECUTABLE_HPP_
