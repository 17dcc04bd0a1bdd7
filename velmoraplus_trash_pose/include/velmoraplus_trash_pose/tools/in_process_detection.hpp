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

#ifndef VELMORAPLUS_TRASH_POSE__TOOLS__IN_PROCESS_DETECTION_HPP_
#define VELMORAPLUS_TRASH_POSE__TOOLS__IN_PROCESS_DETECTION_HPP_

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>

#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"

namespace velmora
{

// The detection process inside a tool that feeds it images and calls its
// service, as the robot runs it: DetectionNode from a configuration, and a peer
// node with a colour and a depth publisher per camera slot and a DetectTrash
// client. rclcpp must be initialised first. Start() spins both on their own
// threads; Stop() (also on destruction, and only once) shuts ROS 2 down and
// joins them.
class InProcessDetection
{
public:
  using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
  using Image = sensor_msgs::msg::Image;
  // Camera slot -> colour and depth pair.
  using Frame = std::map<int, std::pair<Image, Image>>;

  InProcessDetection(const std::string & config_path, const std::string & peer_name);
  ~InProcessDetection();
  InProcessDetection(const InProcessDetection &) = delete;
  InProcessDetection & operator=(const InProcessDetection &) = delete;

  // Spins both nodes (set pass observers before) and waits for the service:
  // false when it did not come up within `timeout` or ROS 2 shut down meanwhile.
  bool Start(std::chrono::seconds timeout);
  void Stop();

  DetectionNode & detection() {return *detection_;}
  const rclcpp::Node::SharedPtr & peer() const {return peer_;}
  const rclcpp::Client<DetectTrash>::SharedPtr & client() const {return client_;}
  const std::string & service_name() const {return service_name_;}
  // One pair to the camera in `slot` (1 to 3).
  void Publish(int slot, const Image & rgb, const Image & depth) const;
  // One DetectTrash request while `frame` streams to its cameras as drivers
  // would, stamped anew every `period` from the moment the service raised it;
  // once answered, until each camera has finished its pass (archive included)
  // and dropped one pair more, so that a later request cannot take this
  // frame's pairs. No answer: ROS 2 shut down or `timeout` passed.
  std::optional<DetectTrash::Response> CallStreaming(
    const Frame & frame, std::chrono::milliseconds period, std::chrono::seconds timeout);

private:
  std::unique_ptr<DetectionNode> detection_;
  rclcpp::Node::SharedPtr peer_;
  std::array<rclcpp::Publisher<Image>::SharedPtr, 3> rgb_pubs_;
  std::array<rclcpp::Publisher<Image>::SharedPtr, 3> depth_pubs_;
  std::string service_name_;
  rclcpp::Client<DetectTrash>::SharedPtr client_;
  rclcpp::executors::MultiThreadedExecutor peer_executor_;
  std::thread node_thread_;
  std::thread peer_thread_;
  bool stopped_ = false;
};

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__TOOLS__IN_PROCESS_DETECTION_HPP_
