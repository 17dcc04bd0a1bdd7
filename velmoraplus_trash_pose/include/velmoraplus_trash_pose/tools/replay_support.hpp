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

#ifndef VELMORAPLUS_TRASH_POSE__TOOLS__REPLAY_SUPPORT_HPP_
#define VELMORAPLUS_TRASH_POSE__TOOLS__REPLAY_SUPPORT_HPP_

#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include <builtin_interfaces/msg/time.hpp>
#include <opencv2/core/mat.hpp>
#include <sensor_msgs/msg/image.hpp>

namespace velmora
{

// A private install prefix holding a copy of a configuration folder as the
// package's config/, registered in the ament index and put first on
// AMENT_PREFIX_PATH, as colcon's setup would: the replay and soak tools run
// the unchanged node on it and may edit the copies. Removed on destruction.
class PrivateConfigPrefix
{
public:
  // Throws std::runtime_error when `source` holds no trash_pose_detect_config.yaml.
  PrivateConfigPrefix(const std::filesystem::path & source, const std::string & tag);
  ~PrivateConfigPrefix();
  PrivateConfigPrefix(const PrivateConfigPrefix &) = delete;
  PrivateConfigPrefix & operator=(const PrivateConfigPrefix &) = delete;

  const std::filesystem::path & root() const {return root_;}
  std::filesystem::path file(const std::string & name) const {return config_ / name;}
  // Sets `section/key` of a copied YAML file to `value` (parsed as YAML).
  void Edit(
    const std::string & name, const std::string & section, const std::string & key,
    const std::string & value) const;
  // `message` with the private copy's paths named as the source folder's, for people.
  std::string InSource(std::string message) const;

private:
  std::filesystem::path source_;
  std::filesystem::path root_;
  std::filesystem::path config_;
};

// The replay and soak tools run a whole detection process of their own: on
// the robot's DDS domain it would take the live cameras' pairs, feed its own
// to the live node and answer the robot's DetectTrash calls. Moves this
// process (and its children) to a domain of its own: loopback only, and the
// first id of 1 to 101 (each valid for every DDS port mapping on Linux) that
// is not ROS_DOMAIN_ID's and no other process claimed, claimed with a lock
// held for this process's life. Throws std::runtime_error when none is free.
void IsolateRosTraffic();

// Notes SIGINT and SIGTERM for a tool that leaves them to rclcpp: made before
// rclcpp::init, its handler is the one rclcpp chains to, so once ROS 2 has
// shut down the tool can tell which signal ended its run. The handlers it
// replaced come back on destruction. One at a time.
class StopSignalRecorder
{
public:
  StopSignalRecorder();
  ~StopSignalRecorder();
  StopSignalRecorder(const StopSignalRecorder &) = delete;
  StopSignalRecorder & operator=(const StopSignalRecorder &) = delete;

  // The last SIGINT or SIGTERM received since construction; 0 when none.
  int received() const;

private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// "SIGINT", "SIGTERM", else "signal N".
std::string SignalName(int signal_number);

// A colour and depth image pair as a camera driver would send it.
struct ImagePair
{
  cv::Mat colour_rgb;   // 8-bit, 3 channels, RGB order
  cv::Mat depth_mm;     // CV_16UC1, millimetres
};

// Reads a colour image and a 16-bit depth PNG of the same size; throws
// std::runtime_error naming the file that cannot serve.
ImagePair LoadImagePair(const std::string & colour_path, const std::string & depth_path);

// The value after the option args[i], stepping i onto it; throws
// std::runtime_error "option <name> needs a value" at the end of the list.
std::string TakeOptionValue(const std::vector<std::string> & args, std::size_t & i);

// The whole of `value` as an integer in [minimum, maximum]; throws
// std::runtime_error naming the command-line option otherwise.
long ParseIntegerOption(
  const std::string & option, const std::string & value, long minimum, long maximum);

// An image message as a camera driver sends it.
sensor_msgs::msg::Image::SharedPtr ImageMessage(
  const cv::Mat & image, const std::string & encoding, const builtin_interfaces::msg::Time & stamp);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__TOOLS__REPLAY_SUPPORT_HPP_
