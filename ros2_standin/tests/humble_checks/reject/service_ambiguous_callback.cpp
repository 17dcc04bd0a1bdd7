// Two void pointers fit humble's (request, response) form and its deferred
// (request header, request) form alike: ambiguous, though the stand-in has no
// deferred responses.
// expect humble: no match for 'operator='
// expect stand-in: static assertion failed: service callback must take
#include <memory>
#include <rclcpp/rclcpp.hpp>
#include <ros2_standin_tests/srv/add_two_ints.hpp>
void f(rclcpp::Node & node)
{
  node.create_service<ros2_standin_tests::srv::AddTwoInts>(
    "add", [](std::shared_ptr<void>, std::shared_ptr<void>) {});
}
