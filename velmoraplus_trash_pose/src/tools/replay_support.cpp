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

#include "velmoraplus_trash_pose/tools/replay_support.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <cv_bridge/cv_bridge.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <yaml-cpp/yaml.h>

namespace fs = std::filesystem;

namespace velmora
{

namespace
{
constexpr const char * kPackage = "velmoraplus_trash_pose";

// Written by the signal handler, which may touch nothing else: hence file scope.
volatile std::sig_atomic_t g_stop_signal = 0;

void RecordStopSignal(int signal_number)
{
  g_stop_signal = signal_number;
}
}  // namespace

void IsolateRosTraffic()
{
  static bool isolated = false;
  const char * robot = std::getenv("ROS_DOMAIN_ID");
  const std::string robot_id = robot != nullptr && *robot != '\0' ? robot : "0";
  for (int id = 1; !isolated && id <= 101; ++id) {
    if (std::to_string(id) == robot_id) {
      continue;
    }
    const std::string lock = "/tmp/velmora_ros_domain_" + std::to_string(id) + ".lock";
    // Held open, never closed: the claim lasts as long as the process.
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    isolated = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (isolated) {
      ::setenv("ROS_DOMAIN_ID", std::to_string(id).c_str(), 1);
      ::setenv("ROS_LOCALHOST_ONLY", "1", 1);
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
  if (!isolated) {
    throw std::runtime_error(
            "no free ROS domain id of 1 to 101 to run apart from the robot "
            "(/tmp/velmora_ros_domain_*.lock are all held)");
  }
}

StopSignalRecorder::StopSignalRecorder()
{
  g_stop_signal = 0;
  struct sigaction action {};
  action.sa_handler = RecordStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int_);
  ::sigaction(SIGTERM, &action, &old_term_);
}

StopSignalRecorder::~StopSignalRecorder()
{
  ::sigaction(SIGINT, &old_int_, nullptr);
  ::sigaction(SIGTERM, &old_term_, nullptr);
}

int StopSignalRecorder::received() const
{
  return g_stop_signal;
}

std::string SignalName(int signal_number)
{
  switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal_number);
  }
}

PrivateConfigPrefix::PrivateConfigPrefix(const fs::path & source, const std::string & tag)
{
  if (!fs::is_directory(source) || !fs::exists(source / "trash_pose_detect_config.yaml")) {
    throw std::runtime_error(
            "configuration folder " + source.string() +
            " is not readable or holds no trash_pose_detect_config.yaml");
  }
  source_ = fs::absolute(source).lexically_normal();
  if (source_.filename().empty()) {source_ = source_.parent_path();}  // "dir/"
  root_ = fs::temp_directory_path() / ("velmora_" + tag + "_" + std::to_string(::getpid()));
  fs::remove_all(root_);
  const fs::path index = root_ / "share/ament_index/resource_index/packages";
  fs::create_directories(index);
  std::ofstream(index / kPackage).close();
  config_ = root_ / "share" / kPackage / "config";
  fs::create_directories(config_);
  fs::copy(source, config_, fs::copy_options::recursive);
  const char * old = std::getenv("AMENT_PREFIX_PATH");
  const std::string value = root_.string() + (old ? std::string(":") + old : std::string());
  ::setenv("AMENT_PREFIX_PATH", value.c_str(), 1);
}

std::string PrivateConfigPrefix::InSource(std::string message) const
{
  const std::string from = config_.string();
  const std::string to = source_.string();
  for (auto at = message.find(from); at != std::string::npos; at = message.find(from, at)) {
    message.replace(at, from.size(), to);
    at += to.size();
  }
  return message;
}

PrivateConfigPrefix::~PrivateConfigPrefix()
{
  std::error_code ec;
  fs::remove_all(root_, ec);
}

void PrivateConfigPrefix::Edit(
  const std::string & name, const std::string & section, const std::string & key,
  const std::string & value) const
{
  const std::string path = file(name).string();
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const std::exception & e) {
    throw std::runtime_error("cannot read " + path + ": " + e.what());
  }
  root[section][key] = YAML::Load(value);
  YAML::Emitter out;
  out << root;
  std::ofstream(path) << out.c_str() << "\n";
}

sensor_msgs::msg::Image::SharedPtr ImageMessage(
  const cv::Mat & image, const std::string & encoding, const builtin_interfaces::msg::Time & stamp)
{
  std_msgs::msg::Header header;
  header.stamp = stamp;
  header.frame_id = "camera_base";
  return cv_bridge::CvImage(header, encoding, image).toImageMsg();
}

ImagePair LoadImagePair(const std::string & colour_path, const std::string & depth_path)
{
  ImagePair pair;
  const cv::Mat colour = cv::imread(colour_path, cv::IMREAD_COLOR);
  if (colour.empty()) {
    throw std::runtime_error("cannot read colour image " + colour_path);
  }
  cv::cvtColor(colour, pair.colour_rgb, cv::COLOR_BGR2RGB);
  pair.depth_mm = cv::imread(depth_path, cv::IMREAD_UNCHANGED);
  if (pair.depth_mm.empty()) {
    throw std::runtime_error("cannot read depth image " + depth_path);
  }
  if (pair.depth_mm.type() != CV_16UC1) {
    throw std::runtime_error(
            "depth image " + depth_path + " is not a single-channel 16-bit PNG (millimetres)");
  }
  if (pair.depth_mm.size() != pair.colour_rgb.size()) {
    throw std::runtime_error(
            "depth image " + depth_path + " (" + std::to_string(pair.depth_mm.cols) + "x" +
            std::to_string(pair.depth_mm.rows) + ") and colour image " + colour_path + " (" +
            std::to_string(pair.colour_rgb.cols) + "x" + std::to_string(pair.colour_rgb.rows) +
            ") differ in size");
  }
  return pair;
}

std::string TakeOptionValue(const std::vector<std::string> & args, std::size_t & i)
{
  if (i + 1 >= args.size()) {
    throw std::runtime_error("option " + args[i] + " needs a value");
  }
  return args[++i];
}

long ParseIntegerOption(
  const std::string & option, const std::string & value, long minimum, long maximum)
{
  try {
    std::size_t used = 0;
    const long v = std::stol(value, &used);
    if (used == value.size() && v >= minimum && v <= maximum) {
      return v;
    }
  } catch (const std::exception &) {
  }
  // Bounds are named only where they are the caller's, not the type's.
  std::string range;
  if (minimum > std::numeric_limits<int>::min()) {
    range += " of at least " + std::to_string(minimum);
  }
  if (maximum < std::numeric_limits<int>::max()) {
    range += (range.empty() ? " of at most " : " and at most ") + std::to_string(maximum);
  }
  throw std::runtime_error("option " + option + ": \"" + value + "\" is not an integer" + range);
}

}  // namespace velmora
