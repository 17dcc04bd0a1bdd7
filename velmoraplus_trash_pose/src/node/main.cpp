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

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/rclcpp.hpp>

#include "velmoraplus_trash_pose/core/logger.hpp"
#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"

namespace
{

// Nothing checks rclcpp::ok() before the node runs: until then a signal ends the
// process at once (loading configuration and models can take seconds).
extern "C" void ExitDuringStartUp(int signal_number)
{
  static const char kLine[] = "velmoraplus_trash_pose: interrupted during start-up\n";
  (void)!::write(STDERR_FILENO, kLine, sizeof(kLine) - 1);
  ::_exit(128 + signal_number);
}

class ExitOnSignalDuringStartUp
{
public:
  ExitOnSignalDuringStartUp()
  {
    struct sigaction action {};
    action.sa_handler = ExitDuringStartUp;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int_);
    ::sigaction(SIGTERM, &action, &old_term_);
  }
  ~ExitOnSignalDuringStartUp()
  {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
  }
  ExitOnSignalDuringStartUp(const ExitOnSignalDuringStartUp &) = delete;
  ExitOnSignalDuringStartUp & operator=(const ExitOnSignalDuringStartUp &) = delete;

private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

}  // namespace

int main(int argc, char ** argv)
{
  try {
    // Inside the try: an unknown or malformed ROS argument is a start-up error too.
    rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::All);
    // Lives until the process exits; kept reachable for leak checkers.
    static velmora::DetectionNode * detection = nullptr;
    {
      // Before the first line: a signal that follows it must not be left to
      // rclcpp's handler, which nothing consults until the node runs.
      const ExitOnSignalDuringStartUp exit_on_signal;
      const std::string config_path =
        ament_index_cpp::get_package_share_directory("velmoraplus_trash_pose") +
        "/config/trash_pose_detect_config.yaml";
      LOG_INFO("trash_pose_detect_config_path = {}", config_path);
      detection = new velmora::DetectionNode(config_path);
    }
    // rclcpp's handlers again: a signal from here on shuts the node down.
    detection->run();
  } catch (const std::exception & e) {
    // A start-up error is one clear line and status 1, not an abort.
    std::cerr << "velmoraplus_trash_pose: fatal: " << e.what() << std::endl;
    rclcpp::shutdown();
    return 1;
  }
  return 0;
}
