#include "node_harness.hpp"

#include <cstdlib>
#include <stdexcept>

#include <cv_bridge/cv_bridge.h>
#include <yaml-cpp/yaml.h>

namespace velmora_test
{

NodeHarness::NodeHarness(const ConfigPrefix & prefix)
{
  ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() + "/data").c_str(), 1);
  rclcpp::init(0, nullptr);
  const std::string top = prefix.config_file("trash_pose_detect_config.yaml");
  detection_ = std::make_unique<velmora::DetectionNode>(top);
  const auto service = YAML::LoadFile(top)["velmoraplus_trash_pose"]["detect_service"].as<std::string>();

  test_node_ = std::make_shared<rclcpp::Node>("velmora_test_peer");
  client_ = test_node_->create_client<DetectTrash>(service);
  for (int slot = 1; slot <= 3; ++slot) {
    const auto & camera = detection_->camera(slot);
    rgb_pubs_[slot] = test_node_->create_publisher<Image>(camera->rgb_topic(), 10);
    depth_pubs_[slot] = test_node_->create_publisher<Image>(camera->depth_topic(), 10);
  }
  test_executor_ = std::make_shared<rclcpp::executors::MultiThreadedExecutor>();
  test_executor_->add_node(test_node_);
  run_thread_ = std::thread([this]() {detection_->run();});
  test_thread_ = std::thread([this]() {test_executor_->spin();});
  if (!client_->wait_for_service(std::chrono::seconds(10))) {
    Stop();
    throw std::runtime_error("DetectTrash service " + service + " did not come up");
  }
}

NodeHarness::~NodeHarness()
{
  Stop();
}

void NodeHarness::Stop()
{
  if (stopped_) {
    return;
  }
  stopped_ = true;
  rclcpp::shutdown();
  if (run_thread_.joinable()) {
    run_thread_.join();
  }
  if (test_thread_.joinable()) {
    test_thread_.join();
  }
}

void NodeHarness::Publish(int slot, Image rgb, Image depth)
{
  const auto stamp = test_node_->now();
  rgb.header.stamp = stamp;
  depth.header.stamp = stamp;
  rgb_pubs_.at(slot)->publish(rgb);
  depth_pubs_.at(slot)->publish(depth);
}

std::optional<NodeHarness::DetectTrash::Response> NodeHarness::CallStreaming(
  int slot, const Image & rgb, const Image & depth, std::chrono::milliseconds timeout)
{
  auto future = client_->async_send_request(std::make_shared<DetectTrash::Request>());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > deadline) {
      return std::nullopt;
    }
    Publish(slot, rgb, depth);
  }
  // Pairs published while the pass ran are still queued at the camera; let it
  // drop them (no request is pending now) so the next call sees only its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  return *future.get();
}

std::optional<NodeHarness::DetectTrash::Response> NodeHarness::Call(
  std::chrono::milliseconds timeout, std::int32_t cmd, std::uint8_t cam_choice)
{
  auto request = std::make_shared<DetectTrash::Request>();
  request->cmd = cmd;
  request->cam_choice = cam_choice;
  auto future = client_->async_send_request(request);
  if (future.wait_for(timeout) != std::future_status::ready) {
    return std::nullopt;
  }
  return *future.get();
}

NodeHarness::Image NodeHarness::RgbMessage(const cv::Mat & rgb)
{
  return *cv_bridge::CvImage(std_msgs::msg::Header(), "rgb8", rgb).toImageMsg();
}

NodeHarness::Image NodeHarness::DepthMessage(const cv::Mat & depth_mm)
{
  return *cv_bridge::CvImage(std_msgs::msg::Header(), "16UC1", depth_mm).toImageMsg();
}

}  // namespace velmora_test
