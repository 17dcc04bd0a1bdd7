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

#ifndef VELMORAPLUS_TRASH_POSE__NODE__TRASH_POSE_DETECTION_HPP_
#define VELMORAPLUS_TRASH_POSE__NODE__TRASH_POSE_DETECTION_HPP_

#include <memory>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>

#include "velmoraplus_trash_pose/node/camera_detection_node.hpp"

namespace velmora
{

// Camera slots a DetectTrash request triggers for `cam_num` (empty: none).
std::vector<int> TriggeredSlots(int cam_num);

// The process: three camera slots, the detect node serving DetectTrash, and
// the multi-threaded executor that runs them all.
class DetectionNode
{
public:
  using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;

  explicit DetectionNode(std::string config_path);

  DetectionNode(const DetectionNode &) = delete;
  DetectionNode & operator=(const DetectionNode &) = delete;

  // Spins the executor on its own thread until ROS 2 shuts down, then joins it
  // and shuts ROS 2 down.
  void run();

  void DetectCallback(
    const std::shared_ptr<DetectTrash::Request> request,
    std::shared_ptr<DetectTrash::Response> response);

  int camera_num() const {return camera_num_;}
  const std::shared_ptr<CameraDetectionNode> & camera(int slot) const;

private:
  // Raises the request on the given slots and waits until all are done or
  // ROS 2 shuts down; false on shutdown.
  bool WaitForCameras(const std::vector<CameraDetectionNode *> & cameras);

  int camera_num_ = 0;
  std::shared_ptr<CameraDetectionNode> camera_1_;
  std::shared_ptr<CameraDetectionNode> camera_2_;
  std::shared_ptr<CameraDetectionNode> camera_3_;
  rclcpp::Node::SharedPtr cam1_node_;
  rclcpp::Node::SharedPtr cam2_node_;
  rclcpp::Node::SharedPtr cam3_node_;
  rclcpp::Node::SharedPtr detect_node_;
  std::shared_ptr<rclcpp::executors::MultiThreadedExecutor> executor_;
  rclcpp::Service<DetectTrash>::SharedPtr detect_service_;
  rclcpp::CallbackGroup::SharedPtr detect_callback_group_;
};

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__NODE__TRASH_POSE_DETECTION_HPP_
