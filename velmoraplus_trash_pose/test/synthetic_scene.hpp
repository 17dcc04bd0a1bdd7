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

#ifndef VELMORAPLUS_TRASH_POSE__TEST__SYNTHETIC_SCENE_HPP_
#define VELMORAPLUS_TRASH_POSE__TEST__SYNTHETIC_SCENE_HPP_

#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core/mat.hpp>

namespace velmora_test
{

// A box standing or lying on something, in the robot base frame (z up).
struct SceneBox
{
  std::string name;
  int label = 4;                     // model label (class id - 1)
  Eigen::Vector3d centre;            // metres, base frame
  Eigen::Vector3d size;              // full extents along the box's own x, y, z
  double yaw_deg = 0.0;              // rotation about base z
  double pitch_deg = 0.0;            // then about the box's own y (slanted objects)
  bool transparent = false;          // depth missing on every other row of the mask
  cv::Vec3b colour{200, 60, 40};     // RGB
};

// Pinhole camera looking at a floor plane z = -floor_depth with boxes on it,
// rendered by ray casting: 16-bit depth in mm, RGB colour, and one full-image
// 0/1 mask per box of the pixels where that box is the first surface hit.
struct SyntheticScene
{
  int width = 640;
  int height = 480;
  double fx = 525.0;
  double fy = 525.0;
  double cx = 319.5;
  double cy = 239.5;
  Eigen::Matrix4d base2camera = Eigen::Matrix4d::Identity();  // camera frame -> base frame
  double floor_z = -0.176;
  std::vector<SceneBox> boxes;

  cv::Mat depth;                  // CV_16UC1, mm
  cv::Mat colour;                 // CV_8UC3, RGB
  std::vector<cv::Mat> masks;     // CV_8UC1 0/1, one per box

  void Render();
  // Bounding rectangle of a box's mask (x, y, w, h in pixels).
  cv::Rect MaskBox(std::size_t index) const;

  // A camera at `position` (base frame) looking along azimuth `yaw_deg`
  // (0: towards -x, the arm's front) and pitched down by `pitch_down_deg`.
  static Eigen::Matrix4d LookingDown(
    const Eigen::Vector3d & position, double yaw_deg,
    double pitch_down_deg);
};

}  // namespace velmora_test

#endif  // VELMORAPLUS_TRASH_POSE__TEST__SYNTHETIC_SCENE_HPP_
