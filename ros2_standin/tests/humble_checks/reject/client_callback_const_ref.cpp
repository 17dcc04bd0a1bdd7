// humble's async_send_request takes a callback of exactly (SharedFuture), by value.
// expect: no matching function for call to '.*::async_send_request\(
#include <rclcpp/rclcpp.hpp>
#include <ros2_standin_tests/srv/add_two_ints.hpp>
using AddTwoInts = ros2_standin_tests::srv::AddTwoInts;
void f(rclcpp::Client<AddTwoInts> & client)
{
  client.async_send_request(
    std::make_shared<AddTwoInts::Request>(),
    [](const rclcpp::Client<AddTwoInts>::SharedFuture &) {});
}
