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

#ifndef VELMORAPLUS_TRASH_POSE__NODE__PASS_MESSAGES_HPP_
#define VELMORAPLUS_TRASH_POSE__NODE__PASS_MESSAGES_HPP_

// The ROS 2 messages a camera pass answers and draws with: grab results,
// their transforms and RViz markers. Pure functions of the pass's results.

#include <string>
#include <vector>

#include <builtin_interfaces/msg/duration.hpp>
#include <builtin_interfaces/msg/time.hpp>
#include <geometry_msgs/msg/transform_stamped.hpp>
#include <velmora_plus_interfaces/msg/trash_grab_info.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"

namespace velmora
{

using TrashGrabInfo = velmora_plus_interfaces::msg::TrashGrabInfo;

// The estimator's last grab as an answer entry: grab pose (base frame), box pose
// in the grab frame, box size, trash type and main-axis class.
TrashGrabInfo MakeGrabInfo(const GrabPoseEstimator & estimator);

// Transform of grab `index` (0-based) from `frame_id`, child "cam_<id>_trash_pose_<index + 1>".
geometry_msgs::msg::TransformStamped GrabTransform(
  const TrashGrabInfo & result, std::size_t index, int cam_id, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp);

// One green cube per result: its box in the base frame (box pose taken in the grab frame).
visualization_msgs::msg::MarkerArray BoxMarkers(
  const std::vector<TrashGrabInfo> & results, int cam_id, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp);

// Two arrows per result at the grab point: the grab frame's x axis (red) and z axis (blue).
visualization_msgs::msg::MarkerArray GrabAxisMarkers(
  const std::vector<TrashGrabInfo> & results, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__NODE__PASS_MESSAGES_HPP_
