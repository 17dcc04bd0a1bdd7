// humble deduces a service callback's form from its signature: a generic lambda has none.
// expect: 'decltype' cannot resolve address of overloaded function
#include <rclcpp/rclcpp.hpp>
#include <ros2_standin_tests/srv/add_two_ints.hpp>
void f(rclcpp::Node & node)
{
  node.create_service<ros2_standin_tests::srv::AddTwoInts>("add", [](auto, auto) {});
}
