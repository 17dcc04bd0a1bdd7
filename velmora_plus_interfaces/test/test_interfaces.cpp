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

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "geometry_msgs/msg/pose.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "velmora_plus_interfaces/msg/trash_grab_info.hpp"
#include "velmora_plus_interfaces/srv/detect_trash.hpp"

using velmora_plus_interfaces::msg::TrashGrabInfo;
using velmora_plus_interfaces::srv::DetectTrash;

// Clients on the robot rely on these exact fields, types and order.
static_assert(std::is_same_v<decltype(DetectTrash::Request::cmd), int32_t>);
static_assert(std::is_same_v<decltype(DetectTrash::Request::cam_choice), uint8_t>);
static_assert(std::is_same_v<decltype(DetectTrash::Response::detected_cam), int32_t>);
static_assert(
  std::is_same_v<decltype(DetectTrash::Response::trash_infos),
  std::vector<TrashGrabInfo>>);
static_assert(std::is_same_v<decltype(DetectTrash::Response::message), std::string>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::trash_type), uint8_t>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::reserved), uint8_t>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::main_axis_type), uint8_t>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::grab_pose), geometry_msgs::msg::Pose>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::obb_pose), geometry_msgs::msg::Pose>);
static_assert(std::is_same_v<decltype(TrashGrabInfo::obb_size), geometry_msgs::msg::Vector3>);
static_assert(
  std::is_same_v<DetectTrash::Request::SharedPtr,
  std::shared_ptr<DetectTrash::Request>>);
static_assert(
  std::is_same_v<DetectTrash::Response::SharedPtr,
  std::shared_ptr<DetectTrash::Response>>);

namespace
{
// Members declared in order lie at increasing addresses.
template<typename ... Members>
bool in_order(const Members &... members)
{
  const void * addresses[] = {static_cast<const void *>(&members)...};
  for (size_t i = 1; i < sizeof...(Members); ++i) {
    if (!(std::less<const void *>()(addresses[i - 1], addresses[i]))) {
      return false;
    }
  }
  return true;
}
}  // namespace

TEST(Interfaces, FieldOrderAndInitialValues)
{
  TrashGrabInfo info;
  EXPECT_TRUE(
    in_order(
      info.trash_type, info.reserved, info.main_axis_type, info.grab_pose, info.obb_pose,
      info.obb_size));
  EXPECT_TRUE(
    in_order(
      info.grab_pose.position.x, info.grab_pose.position.y, info.grab_pose.position.z,
      info.grab_pose.orientation.x, info.grab_pose.orientation.y, info.grab_pose.orientation.z,
      info.grab_pose.orientation.w));
  DetectTrash::Request request;
  EXPECT_TRUE(in_order(request.cmd, request.cam_choice));
  DetectTrash::Response response;
  EXPECT_TRUE(in_order(response.detected_cam, response.trash_infos, response.message));

  // A fresh response is what an unanswered request returns: nothing found, empty list and text.
  EXPECT_EQ(0, response.detected_cam);
  EXPECT_TRUE(response.trash_infos.empty());
  EXPECT_EQ("", response.message);
  EXPECT_EQ(0, info.reserved);
  EXPECT_EQ(1.0, info.obb_pose.orientation.w);
  EXPECT_EQ(0.0, info.obb_size.x);
}
