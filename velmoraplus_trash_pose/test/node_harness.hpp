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

#ifndef VELMORAPLUS_TRASH_POSE__TEST__NODE_HARNESS_HPP_
#define VELMORAPLUS_TRASH_POSE__TEST__NODE_HARNESS_HPP_

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>

#include "test_support.hpp"
#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"
#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"

namespace velmora_test
{

// The whole process in-process (the tools' InProcessDetection) built from a
// ConfigPrefix and started at once; its peer is the test node, which can also
// subscribe to the cameras' outputs.
class NodeHarness
{
public:
  using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
  using Image = sensor_msgs::msg::Image;

  explicit NodeHarness(const ConfigPrefix & prefix);
  ~NodeHarness();
  NodeHarness(const NodeHarness &) = delete;
  NodeHarness & operator=(const NodeHarness &) = delete;

  velmora::DetectionNode & detection() {return robot_->detection();}
  rclcpp::Node::SharedPtr test_node() {return robot_->peer();}

  // Sends a request and keeps publishing `rgb`/`depth` (same stamp per pair)
  // to `slot` until the answer arrives or `timeout` passes.
  std::optional<DetectTrash::Response> CallStreaming(
    int slot, const Image & rgb, const Image & depth,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
  // Publishes one pair to `slot` now; returns the pair's stamp (nanoseconds).
  std::int64_t Publish(int slot, Image rgb, Image depth);
  // Waits until the camera in `slot` has taken the pair stamped `stamp_ns` (or a
  // later one): every pair published before it has then been taken or dropped.
  bool WaitForPairTaken(int slot, std::int64_t stamp_ns, std::chrono::milliseconds timeout);
  std::optional<DetectTrash::Response> Call(
    std::chrono::milliseconds timeout = std::chrono::milliseconds(30000),
    std::int32_t cmd = 0, std::uint8_t cam_choice = 0);

  // Shuts ROS 2 down and joins every thread; idempotent.
  void Stop();

  // Builds messages from images: rgb8 from an RGB CV_8UC3, 16UC1 from CV_16UC1.
  static Image RgbMessage(const cv::Mat & rgb);
  static Image DepthMessage(const cv::Mat & depth_mm);

private:
  std::unique_ptr<velmora::InProcessDetection> robot_;
};

}  // namespace velmora_test

#endif  // VELMORAPLUS_TRASH_POSE__TEST__NODE_HARNESS_HPP_
