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

// Shared helpers of the estimator tests: a pose-estimate file written from a base
// configuration with per-test changes, console capture and lattice clouds.
//
// Clouds are lattices with spacing kStep = 1/128 m, so every coordinate and every
// neighbour distance is exact in float and the voxel grid leaves them alone. The
// base configuration is the shipped one: its outlier removal (50 neighbours) drops
// a lattice block's corner or edge points, which lie farthest from the rest, and
// keeps its centre and axes, since what it drops is symmetric about them.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/logger.hpp"

namespace velmora::test
{

inline constexpr float kStep = 1.0f / 128.0f;
using Cloud = GrabPoseEstimator::Cloud;

// Camera 0.3 m above the base origin; the rotation plays no part in estimation.
inline const char * const kBaseConfig =
  R"(
camera_extrinsic:
  is_eye_on_hand: false
  is_use_euler: true
  Rxyz: [0.0, 0.0, 0.0]
  Txyz: [0.0, 0.0, 0.3]
camera_intrinsic: {fx: 525.0, fy: 525.0, cx: 319.5, cy: 239.5}
grab_pose_estimate:
  base_height: 0.176
  finger2tcp: 0.0
  extra_length_ratio: 0.8
  workspace_r_min: 0.3
  workspace_r_max: 0.8
  workspace_angle_min: -60.0
  workspace_angle_max: 60.0
  grab_vertical_distance_min: 0.2
  grab_vertical_distance_max: 0.6
  grab_vertical_angle_min: -60.0
  grab_vertical_angle_max: 60.0
  grab_parallel_distance_min: 0.5
  grab_parallel_distance_max: 0.7
  grab_parallel_angle_min: -60.0
  grab_parallel_angle_max: 60.0
  sor_leaf_size: 0.001
  sor2_meank_value: 50
  pass_ajust_value_1: 0.003
  pass_ajust_value_2: 0.003
  pass_ajust_value_3: 0.003
  min_trash_cloud_size: 34
  tcp_ajust_value: 0.008
  tcp_ajust_threshold: 0.02
  extend_height_threshold: 0.03
  extend_lenth_threshold: 0.04
  extend_length_max: 0.012
  transparent_height_ratio: 1.8
  remove_cloud_angle: 15.0
  remove_bottom_height_threshold_1: 0.024
  remove_bottom_height_threshold_2: 0.05
  remove_bottom_height_threshold_3: 0.07
debug_choice:
  is_grab_slanted: false
  enable_process_cloud: true
  enable_pcacenter_extend: true
  is_on_floor: false
  trash_code: bottle
  trash_test_pose: p1
  file_name_suffix: _a
)";

// A scratch directory below the build tree's temp dir; also the data root.
inline std::string ScratchDir(const std::string & name)
{
  const std::string dir = ::testing::TempDir() + "velmora_core_test/" + name;
  std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
  return dir;
}

// The whole file, byte for byte ("" when it cannot be read).
inline std::string ReadFile(const std::string & path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ConfigFile
{
public:
  explicit ConfigFile(const std::string & name)
  : dir_(ScratchDir(name)), root_(YAML::Load(kBaseConfig)) {}

  ConfigFile & Set(const std::string & section, const std::string & key, const std::string & value)
  {
    root_[section][key] = YAML::Load(value);
    return *this;
  }
  ConfigFile & Remove(const std::string & section, const std::string & key)
  {
    root_[section].remove(key);
    return *this;
  }
  // Writes the file and points the data root into the scratch directory.
  std::string Write() const
  {
    const std::string path = dir_ + "/pose_estimate.yaml";
    std::ofstream(path) << root_ << '\n';
    setenv("VELMORAPLUS_DATA_DIR", (dir_ + "/data").c_str(), 1);
    return path;
  }
  const std::string & dir() const {return dir_;}

private:
  std::string dir_;
  YAML::Node root_;
};

// Collects std::cout for the lifetime of the object.
class CoutCapture
{
public:
  CoutCapture()
  : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() {std::cout.rdbuf(previous_);}
  std::string str() const {return buffer_.str();}
  bool Has(const std::string & text) const {return str().find(text) != std::string::npos;}

private:
  std::ostringstream buffer_;
  std::streambuf * previous_;
};

// Expected console lines: colour + text + reset, the escape codes written out
// here rather than taken from the product, so that a wrong code fails.
inline std::string Green(const std::string & text) {return "\033[1;32m" + text + "\033[0m\n";}
inline std::string Red(const std::string & text) {return "\033[1;31m" + text + "\033[0m\n";}
inline std::string Yellow(const std::string & text) {return "\033[1;33m" + text + "\033[0m\n";}
inline std::string Magenta(const std::string & text) {return "\033[1;35m" + text + "\033[0m\n";}
inline std::string Blue(const std::string & text) {return "\033[1;34m" + text + "\033[0m\n";}
inline std::string Cyan(const std::string & text) {return "\033[1;36m" + text + "\033[0m\n";}

// Lattice block: nx x ny x nz points, step kStep, lowest corner at `origin`.
inline Cloud::Ptr Block(const Eigen::Vector3f & origin, int nx, int ny, int nz)
{
  auto cloud = std::make_shared<Cloud>();
  for (int k = 0; k < nz; ++k) {
    for (int j = 0; j < ny; ++j) {
      for (int i = 0; i < nx; ++i) {
        cloud->push_back(
          pcl::PointXYZ(
            origin.x() + i * kStep, origin.y() + j * kStep,
            origin.z() + k * kStep));
      }
    }
  }
  return cloud;
}

}  // namespace velmora::test
