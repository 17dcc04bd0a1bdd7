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

#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"

#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace velmora
{

InProcessDetection::InProcessDetection(
  const std::string & config_path, const std::string & peer_name)
: detection_(std::make_unique<DetectionNode>(config_path)),
  peer_(std::make_shared<rclcpp::Node>(peer_name)),
  // DetectionNode has read the file already: the name is there and valid.
  service_name_(YamlReader(config_path).GetName("velmoraplus_trash_pose/detect_service"))
{
  for (int slot = 1; slot <= 3; ++slot) {
    const auto & camera = detection_->camera(slot);
    rgb_pubs_[slot - 1] = peer_->create_publisher<Image>(camera->rgb_topic(), 10);
    depth_pubs_[slot - 1] = peer_->create_publisher<Image>(camera->depth_topic(), 10);
  }
  client_ = peer_->create_client<DetectTrash>(service_name_);
  peer_executor_.add_node(peer_);
}

InProcessDetection::~InProcessDetection()
{
  Stop();
}

bool InProcessDetection::Start(std::chrono::seconds timeout)
{
  node_thread_ = std::thread([this]() {detection_->run();});
  peer_thread_ = std::thread([this]() {peer_executor_.spin();});
  return client_->wait_for_service(timeout) && rclcpp::ok();
}

void InProcessDetection::Stop()
{
  // Once only: a later call must not shut down a context made after this one.
  if (stopped_) {
    return;
  }
  stopped_ = true;
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  for (auto * thread : {&node_thread_, &peer_thread_}) {
    if (thread->joinable()) {
      thread->join();
    }
  }
}

void InProcessDetection::Publish(int slot, const Image & rgb, const Image & depth) const
{
  rgb_pubs_.at(static_cast<std::size_t>(slot - 1))->publish(rgb);
  depth_pubs_.at(static_cast<std::size_t>(slot - 1))->publish(depth);
}

}  // namespace velmora
