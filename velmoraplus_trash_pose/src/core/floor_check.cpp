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

#include "velmoraplus_trash_pose/core/floor_check.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include <Eigen/Eigenvalues>

namespace velmora
{

namespace
{
constexpr double kInlierBand = 0.01;
constexpr int kIterations = 200;
constexpr double kPi = 3.141592653589793;
// A right calibration puts the floor within millimetres and a degree; these
// leave room for a bumpy floor and a noisy sensor, not for a wrong unit,
// sign or axis.
constexpr double kFloorShareMin = 1.0 / 3.0;
constexpr double kHeightTolerance = 0.05;
constexpr double kTiltTolerance = 5.0;
}  // namespace

FloorFit FitFloorPlane(
  const DepthImageView & depth, const CameraIntrinsics & intrinsics,
  const Eigen::Matrix4f & base2camera, int stride)
{
  FloorFit fit;
  if (depth.data == nullptr || intrinsics.fx == 0.0F || intrinsics.fy == 0.0F) {
    return fit;
  }
  const Eigen::Matrix4d transform = base2camera.cast<double>();
  std::vector<Eigen::Vector3d> points;
  const std::uint32_t step = static_cast<std::uint32_t>(std::max(stride, 1));
  for (std::uint32_t v = 0; v < depth.height; v += step) {
    for (std::uint32_t u = 0; u < depth.width; u += step) {
      const std::uint16_t raw = depth.At(u, v);
      if (raw == 0) {
        continue;
      }
      const double z = raw / 1000.0;
      const Eigen::Vector4d camera_point(
        (u - intrinsics.cx) * z / intrinsics.fx, (v - intrinsics.cy) * z / intrinsics.fy, z, 1.0);
      points.push_back((transform * camera_point).head<3>());
    }
  }
  fit.samples = points.size();
  if (points.size() < 3) {
    return fit;
  }

  std::mt19937 random(12345U);
  std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
  Eigen::Vector3d best_normal = Eigen::Vector3d::UnitZ();
  double best_offset = 0.0;
  std::size_t best_count = 0;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    const Eigen::Vector3d & a = points[pick(random)];
    const Eigen::Vector3d & b = points[pick(random)];
    const Eigen::Vector3d & c = points[pick(random)];
    Eigen::Vector3d normal = (b - a).cross(c - a);
    if (normal.norm() < 1e-9) {
      continue;
    }
    normal.normalize();
    const double offset = -normal.dot(a);
    std::size_t count = 0;
    for (const auto & p : points) {
      if (std::abs(normal.dot(p) + offset) < kInlierBand) {
        ++count;
      }
    }
    if (count > best_count) {
      best_count = count;
      best_normal = normal;
      best_offset = offset;
    }
  }
  if (best_count < 3) {
    return fit;
  }

  // Least-squares plane through the inliers.
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  std::vector<Eigen::Vector3d> inliers;
  for (const auto & p : points) {
    if (std::abs(best_normal.dot(p) + best_offset) < kInlierBand) {
      inliers.push_back(p);
      centroid += p;
    }
  }
  centroid /= static_cast<double>(inliers.size());
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  for (const auto & p : inliers) {
    const Eigen::Vector3d d = p - centroid;
    scatter += d * d.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(scatter);
  Eigen::Vector3d normal = solver.eigenvectors().col(0);
  if (normal.z() < 0.0) {
    normal = -normal;
  }
  fit.found = true;
  fit.normal = normal;
  fit.inliers = inliers.size();
  fit.tilt_deg = std::acos(std::min(1.0, std::abs(normal.z()))) * 180.0 / kPi;
  // Plane n.p = n.centroid, evaluated at x = y = 0.
  fit.height = std::abs(normal.z()) > 1e-9 ? normal.dot(centroid) / normal.z() : centroid.z();
  return fit;
}

std::optional<std::string> JudgeCalibration(const FloorFit & fit, double expected_floor_z)
{
  if (!fit.found ||
    static_cast<double>(fit.inliers) < kFloorShareMin * static_cast<double>(fit.samples))
  {
    return std::nullopt;
  }
  if (std::abs(fit.height - expected_floor_z) <= kHeightTolerance &&
    fit.tilt_deg <= kTiltTolerance)
  {
    return std::string();
  }
  char text[320];
  std::snprintf(
    text, sizeof(text), "the floor this camera sees lies at %.3f m in the base frame, tilted "
    "%.1f deg, where base_height puts it at %.3f m, level (allowed: %.2f m, %.0f deg): check "
    "the hand-eye calibration and base_height, all in metres and degrees", fit.height,
    fit.tilt_deg, expected_floor_z, kHeightTolerance, kTiltTolerance);
  return std::string(text);
}

}  // namespace velmora
