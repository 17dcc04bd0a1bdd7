// The accepted neighbours of reject/*.cpp: they compile against humble and the
// stand-in alike, so a reject probe fails for its own reason, not the set-up's.
#include <functional>
#include <memory>

#include <message_filters/subscriber.h>
#include <message_filters/sync_policies/approximate_time.h>
#include <message_filters/synchronizer.h>
#include <rclcpp/rclcpp.hpp>
#include <rclcpp/wait_for_message.hpp>
#include <ros2_standin_tests/srv/add_two_ints.hpp>
#include <sensor_msgs/msg/image.hpp>

using AddTwoInts = ros2_standin_tests::srv::AddTwoInts;
using Image = sensor_msgs::msg::Image;
using Policy = message_filters::sync_policies::ApproximateTime<Image, Image>;

struct Camera
{
  void pair(const Image::ConstSharedPtr &, const Image::ConstSharedPtr &) {}
};

void accepted(
  rclcpp::Node::SharedPtr node, rclcpp::Client<AddTwoInts> & client,
  message_filters::Subscriber<Image> & a, message_filters::Subscriber<Image> & b, Camera & camera)
{
  node->create_service<AddTwoInts>(
    "add", [](const AddTwoInts::Request::SharedPtr, AddTwoInts::Response::SharedPtr) {});
  node->create_service<AddTwoInts>(
    "add", [](const std::shared_ptr<rmw_request_id_t> &, const AddTwoInts::Request::SharedPtr &,
    AddTwoInts::Response::SharedPtr) {});
  node->create_subscription<Image>("image", 10, [](Image::ConstSharedPtr) {});
  node->create_subscription<Image>("image", 10, [](const Image::ConstSharedPtr &) {});
  node->create_subscription<Image>("image", 10, [](const Image &) {});
  node->create_subscription<Image>("image", 10, [](Image::UniquePtr) {});
  client.async_send_request(
    std::make_shared<AddTwoInts::Request>(), [](rclcpp::Client<AddTwoInts>::SharedFuture) {});
  Image image;
  rclcpp::wait_for_message(image, node, "image", std::chrono::seconds(1));
  message_filters::Synchronizer<Policy> sync(Policy(10), a, b);
  sync.registerCallback(&Camera::pair, &camera);
  sync.registerCallback(
    std::bind(&Camera::pair, &camera, std::placeholders::_1, std::placeholders::_2));
  for (const rclcpp::TopicEndpointInfo & info : node->get_publishers_info_by_topic("image")) {
    const rclcpp::QoS & qos = info.qos_profile();
    (void)(qos.depth() + info.node_name().size() + info.topic_type().size());
    (void)(info.endpoint_type() == rclcpp::EndpointType::Publisher);
    (void)(qos.reliability() == rclcpp::ReliabilityPolicy::Reliable);
    (void)(qos.durability() == rclcpp::DurabilityPolicy::TransientLocal);
  }
  (void)node->get_subscriptions_info_by_topic("image", false).size();
}
