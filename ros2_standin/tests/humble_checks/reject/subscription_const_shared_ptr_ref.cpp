// A const reference to a shared_ptr of a mutable message fits two of humble's
// forms (std::shared_ptr<T> and std::unique_ptr<T> both convert to it): ambiguous.
// expect humble: no match for 'operator='
// expect stand-in: static assertion failed: subscription callback must take
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
void f(rclcpp::Node & node)
{
  node.create_subscription<sensor_msgs::msg::Image>(
    "image", 10, [](const sensor_msgs::msg::Image::SharedPtr &) {});
}
