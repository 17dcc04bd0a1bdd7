// Copyright 2026 Velmora robotics team
//
// Licensed under the Apache License, Version 2.0 (the "License");
// you may not use this file except in compliance with the License.
// You may obtain a copy of the License at
//
//     http://www.apache.org/licenses/LICENSE-2.0
//
// Unless required by applicable law or agreed to in writing, software
// distributed under the License is distributed on an "AS IS" BASIS,
// WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
// See the License for the specific language governing permissions and
// limitations under the License.

#include "node_harness.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <cv_bridge/cv_bridge.h>
#include <yaml-cpp/yaml.h>

namespace velmora_test
{

NodeHarness::NodeHarness(const ConfigPrefix & prefix)
{
  ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() + "/data").c_str(), 1);
  IsolateRosTraffic();
  rclcpp::init(0, nullptr);
  robot_ = std::make_unique<velmora::InProcessDetection>(
    prefix.config_file("trash_pose_detect_config.yaml"), "velmora_test_peer");
  if (!robot_->Start(std::chrono::seconds(10))) {
    Stop();
    throw std::runtime_error("DetectTrash service " + robot_->service_name() + " did not come up");
  }
}

NodeHarness::~NodeHarness()
{
  Stop();
}

void NodeHarness::Stop()
{
  robot_->Stop();
}

std::int64_t NodeHarness::Publish(int slot, Image rgb, Image depth)
{
  const rclcpp::Time stamp = robot_->peer()->now();
  rgb.header.stamp = stamp;
  depth.header.stamp = stamp;
  robot_->Publish(slot, rgb, depth);
  return stamp.nanoseconds();
}

bool NodeHarness::WaitForPairTaken(
  int slot, std::int64_t stamp_ns, std::chrono::milliseconds timeout)
{
  const auto & camera = detection().camera(slot);
  if (!camera) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (camera->last_pair_stamp_ns() < stamp_ns) {
    if (std::chrono::steady_clock::now() > deadline || !rclcpp::ok()) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::optional<NodeHarness::DetectTrash::Response> NodeHarness::CallStreaming(
  int slot, const Image & rgb, const Image & depth, std::chrono::milliseconds timeout)
{
  auto future = robot_->client()->async_send_request(std::make_shared<DetectTrash::Request>());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > deadline) {
      return std::nullopt;
    }
    Publish(slot, rgb, depth);
  }
  // Pairs published while the pass ran may still be queued at the camera: one
  // more pair, and once the camera has taken it (no request is pending now, so
  // it drops it) none is left for the next call.
  const auto last = Publish(slot, rgb, depth);
  if (!WaitForPairTaken(
      slot, last, std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()) + std::chrono::seconds(10)))
  {
    std::fprintf(stderr, "harness: camera slot %d did not take its last pair\n", slot);
    return std::nullopt;
  }
  return *future.get();
}

std::optional<NodeHarness::DetectTrash::Response> NodeHarness::Call(
  std::chrono::milliseconds timeout, std::int32_t cmd, std::uint8_t cam_choice)
{
  auto request = std::make_shared<DetectTrash::Request>();
  request->cmd = cmd;
  request->cam_choice = cam_choice;
  auto future = robot_->client()->async_send_request(request);
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
