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

#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <ament_index_cpp/get_package_share_directory.hpp>

#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace velmora
{

namespace
{

constexpr const char * kPackageName = "velmoraplus_trash_pose";
constexpr std::chrono::milliseconds kPollPeriod{100};

rclcpp::NodeOptions CameraNodeOptions()
{
  return rclcpp::NodeOptions().automatically_declare_parameters_from_overrides(true);
}

std::string CameraConfigPath(int slot)
{
  return ament_index_cpp::get_package_share_directory(kPackageName) + "/config/cam" +
         std::to_string(slot) + "_detect_config.yaml";
}

}  // namespace

std::vector<int> TriggeredSlots(int cam_num)
{
  switch (cam_num) {
    case 1: return {2};
    case 2: return {1, 2};
    case 3: return {1, 2, 3};
    default: return {};
  }
}

DetectionNode::DetectionNode(std::string config_path)
{
  cam1_node_ = std::make_shared<rclcpp::Node>("velmoraplus_trash_pose_cam1", CameraNodeOptions());
  cam2_node_ = std::make_shared<rclcpp::Node>("velmoraplus_trash_pose_cam2", CameraNodeOptions());
  cam3_node_ = std::make_shared<rclcpp::Node>("velmoraplus_trash_pose_cam3", CameraNodeOptions());
  detect_node_ = std::make_shared<rclcpp::Node>(
    "velmoraplus_trash_pose_detect", CameraNodeOptions());

  const std::string cam1_config = CameraConfigPath(1);
  const std::string cam2_config = CameraConfigPath(2);
  const std::string cam3_config = CameraConfigPath(3);
  camera_1_ = std::make_shared<CameraDetectionNode>(cam1_node_, cam1_config);
  camera_2_ = std::make_shared<CameraDetectionNode>(cam2_node_, cam2_config);
  camera_3_ = std::make_shared<CameraDetectionNode>(cam3_node_, cam3_config);

  executor_ = std::make_shared<rclcpp::executors::MultiThreadedExecutor>(
    rclcpp::ExecutorOptions(), 8, true, std::chrono::nanoseconds(-1));
  executor_->add_node(cam1_node_, true);
  executor_->add_node(cam2_node_, true);
  executor_->add_node(cam3_node_, true);
  executor_->add_node(detect_node_, true);

  const YamlReader file(config_path);
  camera_num_ = file.Get<int>("velmoraplus_trash_pose/cam_num");
  const auto service_name = file.GetName("velmoraplus_trash_pose/detect_service");
  // Answers, topics and transforms name a camera by its id: two cameras of one
  // request with one id could not be told apart.
  const std::vector<int> slots = TriggeredSlots(camera_num_);
  for (std::size_t a = 0; a < slots.size(); ++a) {
    for (std::size_t b = a + 1; b < slots.size(); ++b) {
      const int id = camera(slots[a])->cam_id();
      if (id == camera(slots[b])->cam_id()) {
        throw ConfigError(
                CameraConfigPath(slots[a]) + " and " + CameraConfigPath(slots[b]) +
                ": key 'camera_detection_params/cam_id': value '" + std::to_string(id) +
                "' is in both files, and cam_num " + std::to_string(camera_num_) +
                " uses both cameras: give each camera its own id");
      }
    }
  }

  // The service waits for camera callbacks: it must never share their group.
  detect_callback_group_ = detect_node_->create_callback_group(
    rclcpp::CallbackGroupType::MutuallyExclusive, true);
  using std::placeholders::_1;
  using std::placeholders::_2;
  detect_service_ = detect_node_->create_service<DetectTrash>(
    service_name, std::bind(&DetectionNode::DetectCallback, this, _1, _2),
    rmw_qos_profile_services_default, detect_callback_group_);
}

const std::shared_ptr<CameraDetectionNode> & DetectionNode::camera(int slot) const
{
  switch (slot) {
    case 1: return camera_1_;
    case 2: return camera_2_;
    case 3: return camera_3_;
    default: throw std::out_of_range("camera slot " + std::to_string(slot) + " is not 1, 2 or 3");
  }
}

void DetectionNode::run()
{
  std::thread executor_thread([this]() {
      std::cout << "executor start" << std::endl;
      executor_->spin();
    });
  rclcpp::WallRate rate(500.0);
  while (rclcpp::ok()) {
    rate.sleep();
  }
  executor_thread.join();
  rclcpp::shutdown();
}

bool DetectionNode::WaitForCameras(const std::vector<CameraDetectionNode *> & cameras)
{
  const auto logger = detect_node_->get_logger();
  const auto all_done = [&cameras]() {
      for (const auto * camera : cameras) {
        if (!camera->IsDetectionDone()) {
          return false;
        }
      }
      return true;
    };
  const auto log_flags = [&]() {
      if (cameras.size() == 1) {
        RCLCPP_INFO(
          logger, "is_camera_%d_detect_done_: %d", cameras[0]->cam_id(),
          cameras[0]->IsDetectionDone() ? 1 : 0);
      } else {
        std::string line;
        for (std::size_t slot = 0; slot < cameras.size(); ++slot) {
          line += (slot == 0 ? "" : "  ");
          line += "is_camera_" + std::to_string(slot + 1) + "_detect_done_: " +
            std::to_string(cameras[slot]->IsDetectionDone() ? 1 : 0);
        }
        RCLCPP_INFO(logger, "%s", line.c_str());
      }
      RCLCPP_INFO(logger, "waiting detect to complete................");
    };

  for (auto * camera : cameras) {
    camera->RequestDetection();
  }
  // One camera: the flags are logged and slept on at least once; several:
  // checked first.
  bool done = cameras.size() == 1 ? false : all_done();
  while (!done) {
    if (!rclcpp::ok()) {
      RCLCPP_WARN(logger, "shutting down while waiting for cameras: nothing to answer");
      return false;
    }
    log_flags();
    std::this_thread::sleep_for(kPollPeriod);
    done = all_done();
  }
  return true;
}

void DetectionNode::DetectCallback(
  const std::shared_ptr<DetectTrash::Request> request,
  std::shared_ptr<DetectTrash::Response> response)
{
  const auto logger = detect_node_->get_logger();
  RCLCPP_INFO(logger, "starting detect................");
  RCLCPP_INFO(logger, "Received cmd: %d  cam_choice: %d", request->cmd, request->cam_choice);
  const auto start = std::chrono::system_clock::now();

  // Fixed priorities: the robot relies on slot 3 being reported as 1 and slot 1 as 3.
  struct Choice
  {
    CameraDetectionNode * camera;
    std::string label;     // camera named in the log line
    int reported;          // detected_cam
  };
  std::vector<CameraDetectionNode *> triggered;
  for (const int slot : TriggeredSlots(camera_num_)) {
    triggered.push_back(camera(slot).get());
  }
  std::vector<Choice> priority;
  switch (camera_num_) {
    case 1:
      priority = {{camera_2_.get(), std::to_string(camera_2_->cam_id()), 1}};
      break;
    case 2:
      priority = {{camera_2_.get(), "2", 2}, {camera_1_.get(), "1", 1}};
      break;
    case 3:
      priority = {{camera_3_.get(), "1", 1}, {camera_2_.get(), "2", 2}, {camera_1_.get(), "3", 3}};
      break;
    default:
      RCLCPP_INFO(logger, "Please make sure the parameters camera_num_ is set correct !");
      break;
  }

  if (!triggered.empty() && WaitForCameras(triggered)) {
    std::vector<std::vector<velmora_plus_interfaces::msg::TrashGrabInfo>> results;
    results.reserve(triggered.size());
    for (auto * camera : triggered) {
      results.push_back(camera->TakeGrabResults());
    }
    bool found = false;
    for (const auto & choice : priority) {
      std::size_t index = 0;
      while (triggered[index] != choice.camera) {
        ++index;
      }
      if (!results[index].empty()) {
        RCLCPP_INFO(logger, "cam_%s detected trash can be grabbed !", choice.label.c_str());
        response->trash_infos = results[index];
        response->detected_cam = choice.reported;
        found = true;
        break;
      }
    }
    if (!found) {
      response->detected_cam = 0;
      RCLCPP_INFO(logger, "no trash can be grabbed detected !");
    }
  }

  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
    std::chrono::system_clock::now() - start);
  RCLCPP_INFO(
    logger, "detect callback cost %2.4lf ms", static_cast<double>(elapsed.count()) / 1000.0);
  RCLCPP_INFO(logger, "detect completed !");
}

}  // namespace velmora
