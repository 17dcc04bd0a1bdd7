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

#ifndef VELMORAPLUS_TRASH_POSE__CORE__FLOOR_CHECK_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__FLOOR_CHECK_HPP_

#include <cstddef>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace velmora
{

// The dominant plane of a depth image, expressed in the robot base frame: a
// hand-eye calibration that puts the floor at -base_height with no tilt is
// right; anything else shows up here as numbers.
struct FloorFit
{
  bool found = false;
  double height = 0.0;          // plane height at the base origin (x = y = 0), metres
  double tilt_deg = 0.0;        // angle between the plane normal and the base z axis
  Eigen::Vector3d normal = Eigen::Vector3d::UnitZ();  // upward unit normal, base frame
  std::size_t inliers = 0;
  std::size_t samples = 0;
};

// RANSAC (fixed seed, so repeatable) over every `stride`-th pixel, 1 cm
// inlier band, least-squares refinement.
FloorFit FitFloorPlane(
  const DepthImageView & depth, const CameraIntrinsics & intrinsics,
  const Eigen::Matrix4f & base2camera, int stride = 4);

// What a fitted floor says of the calibration: nullopt when the plane is no
// judge (under a third of the samples on it: a wall or a table may fill the
// view), "" when it lies within 0.05 m of `expected_floor_z` (-base_height)
// and within 5 degrees of level, else what is off and what to check.
std::optional<std::string> JudgeCalibration(const FloorFit & fit, double expected_floor_z);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__FLOOR_CHECK_HPP_
