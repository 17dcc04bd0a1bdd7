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

#ifndef VELMORAPLUS_TRASH_POSE__PASS__PASS_PICTURES_HPP_
#define VELMORAPLUS_TRASH_POSE__PASS__PASS_PICTURES_HPP_

#include <string>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core/mat.hpp>

#include "velmoraplus_trash_pose/core/trash_cloud.hpp"
#include "velmoraplus_trash_pose/pass/pass_report.hpp"

namespace velmora
{

// The arm's reach as the estimator tests it.
struct WorkspaceLimits
{
  double r_min = 0.3;
  double r_max = 0.8;
  double angle_min_deg = -60.0;
  double angle_max_deg = 60.0;
  double origin_r = 0.01125;
  double origin_z = 0.1555;
  double floor_z = -0.176;      // -base_height
};

struct PictureGeometry
{
  CameraIntrinsics intrinsics;
  Eigen::Matrix4f base2camera = Eigen::Matrix4f::Identity();
  WorkspaceLimits workspace;
  std::vector<std::string> class_names;
};

// The colour frame with every detection, the accepted pieces' grab points and
// gripper axes projected into it, and each refused piece marked with its
// reason. BGR, ready for cv::imwrite.
cv::Mat DrawPassImage(const PassReport & report, const PictureGeometry & geometry);

// A top view of the base frame: clouds, box footprints, grab axes and the
// workspace bounds at floor height. BGR.
cv::Mat DrawTopView(const PassReport & report, const PictureGeometry & geometry);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__PASS__PASS_PICTURES_HPP_
