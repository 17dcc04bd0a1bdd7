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

#include "velmoraplus_trash_pose/node/pass_messages.hpp"

#include <cstdint>

#include <Eigen/Geometry>

namespace velmora
{

namespace
{

constexpr double kMarkerLifetimeS = 10.0;

Eigen::Isometry3d ToIsometry(const geometry_msgs::msg::Pose & pose)
{
  Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
  t.linear() = Eigen::Quaterniond(
    pose.orientation.w, pose.orientation.x, pose.orientation.y, pose.orientation.z)
    .toRotationMatrix();
  t.translation() = Eigen::Vector3d(pose.position.x, pose.position.y, pose.position.z);
  return t;
}

geometry_msgs::msg::Pose ToPoseMsg(const GrabPose & pose)
{
  geometry_msgs::msg::Pose msg;
  msg.position.x = static_cast<double>(pose.position.x());
  msg.position.y = static_cast<double>(pose.position.y());
  msg.position.z = static_cast<double>(pose.position.z());
  msg.orientation.x = pose.orientation.x();
  msg.orientation.y = pose.orientation.y();
  msg.orientation.z = pose.orientation.z();
  msg.orientation.w = pose.orientation.w();
  return msg;
}

builtin_interfaces::msg::Duration Lifetime()
{
  builtin_interfaces::msg::Duration lifetime;
  lifetime.sec = static_cast<std::int32_t>(kMarkerLifetimeS);
  lifetime.nanosec = 0;
  return lifetime;
}

}  // namespace

TrashGrabInfo MakeGrabInfo(const GrabPoseEstimator & estimator)
{
  TrashGrabInfo info;
  info.trash_type = static_cast<std::uint8_t>(estimator.trash_type_ & 0xFF);
  info.reserved = 0;
  info.main_axis_type = static_cast<std::uint8_t>(estimator.main_axis_type_ & 0xFF);
  info.grab_pose = ToPoseMsg(estimator.grab_pose_);
  info.obb_pose = ToPoseMsg(estimator.trash_pose_);
  info.obb_size.x = static_cast<double>(estimator.trash_dimensions_.x());
  info.obb_size.y = static_cast<double>(estimator.trash_dimensions_.y());
  info.obb_size.z = static_cast<double>(estimator.trash_dimensions_.z());
  return info;
}

geometry_msgs::msg::TransformStamped GrabTransform(
  const TrashGrabInfo & result, std::size_t index, int cam_id, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp)
{
  geometry_msgs::msg::TransformStamped transform;
  transform.header.stamp = stamp;
  transform.header.frame_id = frame_id;
  transform.child_frame_id =
    "cam_" + std::to_string(cam_id) + "_trash_pose_" + std::to_string(index + 1);
  transform.transform.translation.x = result.grab_pose.position.x;
  transform.transform.translation.y = result.grab_pose.position.y;
  transform.transform.translation.z = result.grab_pose.position.z;
  transform.transform.rotation = result.grab_pose.orientation;
  return transform;
}

visualization_msgs::msg::MarkerArray BoxMarkers(
  const std::vector<TrashGrabInfo> & results, int cam_id, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp)
{
  visualization_msgs::msg::MarkerArray markers;
  for (std::size_t j = 0; j < results.size(); ++j) {
    visualization_msgs::msg::Marker marker;
    marker.header.frame_id = frame_id;
    marker.header.stamp = stamp;
    marker.ns = "cam_" + std::to_string(cam_id) + "_trash_obb";
    marker.id = static_cast<int>(j);
    marker.type = visualization_msgs::msg::Marker::CUBE;
    marker.action = visualization_msgs::msg::Marker::ADD;
    const Eigen::Isometry3d box =
      ToIsometry(results[j].grab_pose) * ToIsometry(results[j].obb_pose);
    const Eigen::Quaterniond box_rotation(box.rotation());
    marker.pose.position.x = box.translation().x();
    marker.pose.position.y = box.translation().y();
    marker.pose.position.z = box.translation().z();
    marker.pose.orientation.x = box_rotation.x();
    marker.pose.orientation.y = box_rotation.y();
    marker.pose.orientation.z = box_rotation.z();
    marker.pose.orientation.w = box_rotation.w();
    marker.scale = results[j].obb_size;
    marker.color.r = 0.0F;
    marker.color.g = 1.0F;
    marker.color.b = 0.0F;
    marker.color.a = 0.36F;
    marker.lifetime = Lifetime();
    markers.markers.push_back(marker);
  }
  return markers;
}

visualization_msgs::msg::MarkerArray GrabAxisMarkers(
  const std::vector<TrashGrabInfo> & results, const std::string & frame_id,
  const builtin_interfaces::msg::Time & stamp)
{
  visualization_msgs::msg::MarkerArray markers;
  // An arrow points along its x axis; this turn makes it point along the grab z axis.
  const Eigen::Quaterniond x_to_z(0.7071067811865476, 0.0, -0.7071067811865475, 0.0);
  for (std::size_t j = 0; j < results.size(); ++j) {
    visualization_msgs::msg::Marker arrow;
    arrow.header.frame_id = frame_id;
    arrow.header.stamp = stamp;
    arrow.id = static_cast<int>(j);
    arrow.type = visualization_msgs::msg::Marker::ARROW;
    arrow.action = visualization_msgs::msg::Marker::ADD;
    arrow.pose.position = results[j].grab_pose.position;
    arrow.scale.x = 0.1;
    arrow.scale.y = 0.01;
    arrow.scale.z = 0.01;
    arrow.lifetime = Lifetime();

    visualization_msgs::msg::Marker x_arrow = arrow;
    x_arrow.ns = "trash_pose_x";
    x_arrow.pose.orientation = results[j].grab_pose.orientation;
    x_arrow.color.r = 1.0F;
    x_arrow.color.a = 0.8F;
    markers.markers.push_back(x_arrow);

    visualization_msgs::msg::Marker z_arrow = arrow;
    z_arrow.ns = "trash_pose_z";
    const auto & o = results[j].grab_pose.orientation;
    const Eigen::Quaterniond z_rotation =
      (Eigen::Quaterniond(o.w, o.x, o.y, o.z) * x_to_z).normalized();
    z_arrow.pose.orientation.x = z_rotation.x();
    z_arrow.pose.orientation.y = z_rotation.y();
    z_arrow.pose.orientation.z = z_rotation.z();
    z_arrow.pose.orientation.w = z_rotation.w();
    z_arrow.color.b = 1.0F;
    z_arrow.color.a = 0.8F;
    markers.markers.push_back(z_arrow);
  }
  return markers;
}

}  // namespace velmora
