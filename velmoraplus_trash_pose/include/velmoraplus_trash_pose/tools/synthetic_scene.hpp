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

// Scenes whose truth is known, rendered as a configured camera would see
// them: the replay's dry run of a configuration before any real frame, and
// the pipeline's own checks.
#ifndef VELMORAPLUS_TRASH_POSE__TOOLS__SYNTHETIC_SCENE_HPP_
#define VELMORAPLUS_TRASH_POSE__TOOLS__SYNTHETIC_SCENE_HPP_

#include <filesystem>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core/mat.hpp>

#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace velmora
{

// A box on the floor or on another box, in the robot base frame (z up), and
// how the model detects it.
struct SceneObject
{
  std::string name;
  int label = 4;                  // model label (class id - 1)
  Eigen::Vector3d centre, size;   // metres; full extents along the box's own axes
  double yaw_deg = 0.0;           // about base z
  bool transparent = false;       // depth missing on every other row
  float score = 0.9F;
  bool detected = true;           // false: in the depth image only
};

// Depth (mm, 16-bit), a grey RGB colour image and a 0/1 mask per object.
struct SyntheticScene
{
  cv::Mat depth, colour;
  std::vector<cv::Mat> masks;
};

// Ray-casts `objects` on the floor plane z = `floor_z` (base frame) as the
// pinhole camera `intrinsics` posed by `base2camera` (camera to base frame)
// sees them in an image of `size`.
SyntheticScene RenderScene(
  const std::vector<SceneObject> & objects, const Eigen::Matrix4d & base2camera,
  const CameraIntrinsics & intrinsics, const cv::Size & size, double floor_z);

// Writes the masks of the detected, visible objects and a recording naming
// them (in the objects' order) to `folder`/index.yaml; returns that path.
// Throws std::runtime_error naming a file that could not be written.
std::string WriteRecording(
  const SyntheticScene & scene, const std::vector<SceneObject> & objects,
  const std::filesystem::path & folder);

// The dry run's scene: a lying bottle, an upright can and a paper on the
// floor around the point where the camera's optical axis meets it; empty when
// the axis does not meet the floor ahead of the camera.
std::vector<SceneObject> DryRunObjects(const Eigen::Matrix4d & base2camera, double floor_z);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__TOOLS__SYNTHETIC_SCENE_HPP_
