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

#include "velmoraplus_trash_pose/tools/synthetic_scene.hpp"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <tuple>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmoraplus_trash_pose/core/yaml_quote.hpp"

namespace velmora
{

namespace fs = std::filesystem;

SyntheticScene RenderScene(
  const std::vector<SceneObject> & objects, const Eigen::Matrix4d & base2camera,
  const CameraIntrinsics & intrinsics, const cv::Size & size, double floor_z)
{
  SyntheticScene scene{cv::Mat::zeros(size, CV_16UC1),
    cv::Mat(size, CV_8UC3, cv::Scalar(90, 90, 90)), {}};
  for (std::size_t i = 0; i < objects.size(); ++i) {
    scene.masks.push_back(cv::Mat::zeros(size, CV_8UC1));
  }
  const Eigen::Matrix3d rotation = base2camera.topLeftCorner<3, 3>();
  const Eigen::Vector3d eye = base2camera.topRightCorner<3, 1>();
  std::vector<Eigen::AngleAxisd> to_box;
  for (const SceneObject & box : objects) {
    to_box.emplace_back(-box.yaw_deg * EIGEN_PI / 180.0, Eigen::Vector3d::UnitZ());
  }
  for (int v = 0; v < size.height; ++v) {
    for (int u = 0; u < size.width; ++u) {
      const Eigen::Vector3d dir = rotation * Eigen::Vector3d(
        (u - intrinsics.cx) / intrinsics.fx, (v - intrinsics.cy) / intrinsics.fy, 1.0);
      // The ray's camera-frame z is 1: the distance along it is the depth in metres.
      double depth = dir.z() < 0.0 ? (floor_z - eye.z()) / dir.z() : 0.0;
      std::size_t hit = objects.size();
      for (std::size_t i = 0; i < objects.size(); ++i) {
        // Where the ray enters the box, slab by slab in the box's frame.
        const Eigen::Vector3d o = to_box[i] * (eye - objects[i].centre);
        const Eigen::Vector3d d = to_box[i] * dir;
        const Eigen::Vector3d t1 = (-objects[i].size / 2 - o).cwiseQuotient(d);
        const Eigen::Vector3d t2 = (objects[i].size / 2 - o).cwiseQuotient(d);
        const double in = t1.cwiseMin(t2).maxCoeff();
        if (in > 0.0 && in <= t1.cwiseMax(t2).minCoeff() && (in < depth || depth == 0.0)) {
          std::tie(depth, hit) = std::pair{in, i};
        }
      }
      // Beyond 65.5 m a 16-bit depth image holds nothing, as a camera would.
      const double mm = depth * 1000.0 < 65535.0 ? std::round(depth * 1000.0) : 0.0;
      scene.depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(mm);
      if (hit == objects.size()) {
        continue;
      }
      scene.masks[hit].at<std::uint8_t>(v, u) = 1;
      if (objects[hit].transparent && v % 2 == 0) {
        scene.depth.at<std::uint16_t>(v, u) = 0;
      }
    }
  }
  return scene;
}

std::string WriteRecording(
  const SyntheticScene & scene, const std::vector<SceneObject> & objects, const fs::path & folder)
{
  fs::create_directories(folder);
  std::string index = "frames:\n  - objects:\n";
  std::size_t written = 0;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (!objects[i].detected || cv::countNonZero(scene.masks[i]) == 0) {
      continue;
    }
    const std::string mask = objects[i].name + "_mask.png";
    if (!cv::imwrite((folder / mask).string(), scene.masks[i] * 255)) {
      throw std::runtime_error("cannot write " + (folder / mask).string());
    }
    ++written;
    const cv::Rect box = cv::boundingRect(scene.masks[i]);
    index += "      - {label: " + std::to_string(objects[i].label) + ", score: " +
      std::to_string(objects[i].score) + ", box: [" + std::to_string(box.x) + ", " +
      std::to_string(box.y) + ", " + std::to_string(box.width) + ", " +
      std::to_string(box.height) + "], mask: " + YamlQuoted(mask) + "}\n";
  }
  if (written == 0) {
    index = "frames:\n  - objects: []\n";
  }
  const fs::path path = folder / "index.yaml";
  std::ofstream out(path);
  out << index;
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
  return path.string();
}

std::vector<SceneObject> DryRunObjects(const Eigen::Matrix4d & base2camera, double floor_z)
{
  const Eigen::Vector3d eye = base2camera.topRightCorner<3, 1>();
  const Eigen::Vector3d axis = base2camera.block<3, 1>(0, 2);
  if (axis.z() > -1e-3 || eye.z() <= floor_z) {
    return {};
  }
  const Eigen::Vector3d at = eye + (floor_z - eye.z()) / axis.z() * axis;
  // Across the view on the floor, whichever way the camera looks (straight
  // down: across the arm's front).
  Eigen::Vector3d across = Eigen::Vector3d::UnitZ().cross(axis);
  across = across.norm() > 1e-3 ? across.normalized() : Eigen::Vector3d::UnitY();
  const Eigen::Vector3d up = Eigen::Vector3d::UnitZ();
  return {
    {"lying_bottle", 4, at + 0.12 * across + 0.0325 * up, {0.20, 0.065, 0.065}, 30.0, false,
      0.95F, true},
    {"upright_can", 1, at - 0.12 * across + 0.06 * up, {0.066, 0.066, 0.12}, 0.0, false, 0.92F,
      true},
    {"paper", 0, at + 0.002 * up, {0.10, 0.08, 0.004}, 0.0, false, 0.85F, true}};
}

}  // namespace velmora
