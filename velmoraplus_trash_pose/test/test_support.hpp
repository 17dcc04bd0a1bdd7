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

#ifndef VELMORAPLUS_TRASH_POSE__TEST__TEST_SUPPORT_HPP_
#define VELMORAPLUS_TRASH_POSE__TEST__TEST_SUPPORT_HPP_

#include <chrono>
#include <csignal>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

namespace velmora_test
{

// A signal ends a process within a second; sanitizer builds tear down several
// times slower, so they get a looser bound.
#ifdef VELMORA_SANITIZED_BUILD
constexpr std::chrono::milliseconds kExitBound{3000};
#else
constexpr std::chrono::milliseconds kExitBound{1000};
#endif

// A private install prefix holding a copy of the package's shipped
// configuration, registered in the ament index and put first on
// AMENT_PREFIX_PATH, so a test can edit the files the node reads.
class ConfigPrefix
{
public:
  ConfigPrefix();
  ~ConfigPrefix();
  ConfigPrefix(const ConfigPrefix &) = delete;
  ConfigPrefix & operator=(const ConfigPrefix &) = delete;

  const std::string & root() const {return root_;}
  std::string config_dir() const;
  std::string config_file(const std::string & name) const {return config_dir() + "/" + name;}

  YAML::Node Load(const std::string & name) const;
  void Save(const std::string & name, const YAML::Node & node) const;
  void Write(const std::string & name, const std::string & text) const;
  // Sets `section/key` (empty section: top level) to a scalar written as given.
  void Set(
    const std::string & name, const std::string & section, const std::string & key,
    const std::string & value) const;
  void Remove(const std::string & name, const std::string & section, const std::string & key) const;
  // The prefix's AMENT_PREFIX_PATH value (this prefix first).
  std::string ament_prefix_path() const {return ament_prefix_path_;}

private:
  std::string root_;
  std::string saved_ament_prefix_path_;
  bool had_ament_prefix_path_ = false;
  std::string ament_prefix_path_;
};

struct ChildResult
{
  int exit_status = -1;     // exit code, or -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
  bool timed_out = false;
  bool interrupted = false;
  // From the signal to the end of the child's output (when interrupted).
  std::chrono::steady_clock::duration exit_after_interrupt{};
};

// Runs `argv` with `env` added to the environment. When `interrupt_after` is
// set, `signal_number` is sent `interrupt_delay` after stdout holds that text;
// the child is killed after `timeout`.
ChildResult RunChild(
  const std::vector<std::string> & argv, const std::map<std::string, std::string> & env,
  const std::optional<std::string> & interrupt_after, std::chrono::seconds timeout,
  const std::vector<std::string> & unset_env = {},
  std::chrono::milliseconds interrupt_delay = std::chrono::milliseconds(0),
  int signal_number = SIGINT);

// Keeps a test process's ROS traffic to itself on a robot's real middleware:
// loopback only, and a ROS domain no other test process on the machine holds
// (claimed with a lock file for the process's life). Children inherit both.
// Called before rclcpp::init and before starting a ROS child; idempotent.
void IsolateRosTraffic();

std::vector<std::string> SplitLines(const std::string & text);

// The whole of a file ("" when it cannot be read).
std::string ReadText(const std::string & path);

// Lines of `lines` that contain `needle`, in order.
std::vector<std::string> LinesContaining(
  const std::vector<std::string> & lines,
  const std::string & needle);

}  // namespace velmora_test

#endif  // VELMORAPLUS_TRASH_POSE__TEST__TEST_SUPPORT_HPP_
