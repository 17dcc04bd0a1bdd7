// humble deduces a subscription callback's form through a const call operator.
// expect: 'operator\(\)' is not a member of
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
void f(rclcpp::Node & node)
{
  int count = 0;
  node.create_subscription<sensor_msgs::msg::Image>(
    "image", 10, [count](sensor_msgs::msg::Image::ConstSharedPtr) mutable {++count;});
}
