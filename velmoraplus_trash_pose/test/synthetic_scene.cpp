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

#include "synthetic_scene.hpp"

#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

namespace velmora_test
{

namespace
{
constexpr double kPi = 3.141592653589793;

// Ray/box slab test in the box frame; returns the entry distance or +inf.
double HitBox(const SceneBox & box, const Eigen::Vector3d & origin, const Eigen::Vector3d & dir)
{
  const Eigen::Matrix3d rotation =
    (Eigen::AngleAxisd(box.yaw_deg * kPi / 180.0, Eigen::Vector3d::UnitZ()) *
    Eigen::AngleAxisd(box.pitch_deg * kPi / 180.0, Eigen::Vector3d::UnitY())).toRotationMatrix();
  const Eigen::Vector3d o = rotation.transpose() * (origin - box.centre);
  const Eigen::Vector3d d = rotation.transpose() * dir;
  double t_near = -std::numeric_limits<double>::infinity();
  double t_far = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 3; ++k) {
    const double half = box.size[k] / 2.0;
    if (std::abs(d[k]) < 1e-12) {
      if (o[k] < -half || o[k] > half) {
        return std::numeric_limits<double>::infinity();
      }
      continue;
    }
    double t1 = (-half - o[k]) / d[k];
    double t2 = (half - o[k]) / d[k];
    if (t1 > t2) {
      std::swap(t1, t2);
    }
    t_near = std::max(t_near, t1);
    t_far = std::min(t_far, t2);
  }
  if (t_near > t_far || t_far <= 0.0) {
    return std::numeric_limits<double>::infinity();
  }
  return t_near > 0.0 ? t_near : std::numeric_limits<double>::infinity();
}
}  // namespace

Eigen::Matrix4d SyntheticScene::LookingDown(
  const Eigen::Vector3d & position, double yaw_deg, double pitch_down_deg)
{
  const double yaw = yaw_deg * kPi / 180.0;
  const double pitch = pitch_down_deg * kPi / 180.0;
  // Forward along the azimuth (0 = -x), tilted down.
  const Eigen::Vector3d horizontal(-std::cos(yaw), -std::sin(yaw), 0.0);
  const Eigen::Vector3d forward =
    (horizontal * std::cos(pitch) - Eigen::Vector3d::UnitZ() * std::sin(pitch)).normalized();
  const Eigen::Vector3d right = forward.cross(Eigen::Vector3d::UnitZ()).normalized();
  const Eigen::Vector3d down = forward.cross(right);
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.block<3, 1>(0, 0) = right;     // camera x
  m.block<3, 1>(0, 1) = down;      // camera y
  m.block<3, 1>(0, 2) = forward;   // camera z
  m.block<3, 1>(0, 3) = position;
  return m;
}

void SyntheticScene::Render()
{
  depth = cv::Mat::zeros(height, width, CV_16UC1);
  colour = cv::Mat(height, width, CV_8UC3, cv::Scalar(90, 90, 90));
  masks.assign(boxes.size(), cv::Mat());
  for (auto & m : masks) {
    m = cv::Mat::zeros(height, width, CV_8UC1);
  }
  const Eigen::Matrix3d rotation = base2camera.block<3, 3>(0, 0);
  const Eigen::Vector3d origin = base2camera.block<3, 1>(0, 3);
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const Eigen::Vector3d ray_camera((u - cx) / fx, (v - cy) / fy, 1.0);
      const Eigen::Vector3d dir = rotation * ray_camera;
      double best = std::numeric_limits<double>::infinity();
      int hit = -1;
      if (dir.z() < 0.0) {
        best = (floor_z - origin.z()) / dir.z();
      }
      for (std::size_t i = 0; i < boxes.size(); ++i) {
        const double t = HitBox(boxes[i], origin, dir);
        if (t < best) {
          best = t;
          hit = static_cast<int>(i);
        }
      }
      if (!std::isfinite(best)) {
        continue;
      }
      // The ray's camera-frame z is 1, so t is the depth in metres.
      std::uint16_t mm = static_cast<std::uint16_t>(std::lround(best * 1000.0));
      if (hit >= 0) {
        const SceneBox & box = boxes[static_cast<std::size_t>(hit)];
        masks[static_cast<std::size_t>(hit)].at<std::uint8_t>(v, u) = 1;
        colour.at<cv::Vec3b>(v, u) = box.colour;
        if (box.transparent && (v % 2 == 0)) {
          mm = 0;
        }
      }
      depth.at<std::uint16_t>(v, u) = mm;
    }
  }
}

cv::Rect SyntheticScene::MaskBox(std::size_t index) const
{
  return cv::boundingRect(masks.at(index));
}

}  // namespace velmora_test
