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

#include <algorithm>

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

std::optional<InProcessDetection::DetectTrash::Response> InProcessDetection::CallStreaming(
  const Frame & frame, std::chrono::milliseconds period, std::chrono::seconds timeout)
{
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kLook{1};
  // The first pair goes out once the service has raised this request, and not
  // before, however long that takes: a camera's start-up pass would take it and
  // the request would need a second pass (with a recording, the next frame's).
  const auto slots = TriggeredSlots(detection_->camera_num());
  std::map<int, std::uint64_t> before;
  for (const int slot : slots) {
    before[slot] = detection_->camera(slot)->requests_raised();
  }
  auto future = client_->async_send_request(std::make_shared<DetectTrash::Request>());
  const auto raised = [&]() {
      return std::all_of(
        slots.begin(), slots.end(), [&](int slot) {
          return detection_->camera(slot)->requests_raised() > before[slot];
        });
    };
  const auto deadline = Clock::now() + timeout;
  while (!raised()) {
    if (!rclcpp::ok() || Clock::now() > deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(kLook);
  }
  std::int64_t last_stamp_ns = 0;
  const auto publish = [&]() {
      const rclcpp::Time stamp = peer_->now();
      last_stamp_ns = stamp.nanoseconds();
      for (auto [slot, pair] : frame) {
        pair.first.header.stamp = pair.second.header.stamp = stamp;
        Publish(slot, pair.first, pair.second);
      }
    };
  publish();
  while (future.wait_for(period) != std::future_status::ready) {
    if (!rclcpp::ok() || Clock::now() > deadline) {
      return std::nullopt;
    }
    publish();
  }
  // One pair more, taken (and, with no request pending, dropped) only once each
  // camera has finished the pass that answered, archive included: nothing of
  // this frame is left for the next request.
  publish();
  const auto taken = [&]() {
      return std::all_of(
        frame.begin(), frame.end(), [&](const auto & entry) {
          return detection_->camera(entry.first)->last_pair_stamp_ns() >= last_stamp_ns;
        });
    };
  for (const auto by = Clock::now() + timeout; !taken() && rclcpp::ok() && Clock::now() < by; ) {
    std::this_thread::sleep_for(kLook);
  }
  return *future.get();
}

}  // namespace velmora
