// rclcpp.hpp does not bring rclcpp::wait_for_message: it has a header of its own.
// expect: 'wait_for_message' is not a member of 'rclcpp'
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
bool f(rclcpp::Node::SharedPtr node)
{
  sensor_msgs::msg::Image image;
  return rclcpp::wait_for_message(image, node, "image", std::chrono::seconds(1));
}
