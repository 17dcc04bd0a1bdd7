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

// The executable as an integrator starts it: configuration echo, executor
// start, SIGINT or SIGTERM and the exit status; command lines and
// configurations that cannot work. (The logger's notices and numbering are
// logger_test's; the estimator's own refusals core_test's.)
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "harness.hpp"

namespace velmora_test
{
namespace
{

// Each of `needles` in exactly one line of `text`; with a leading '!', in none.
void ExpectLines(const std::string & text, const std::vector<std::string> & needles)
{
  for (const auto & n : needles) {
    const bool none = n[0] == '!';
    EXPECT_EQ(Lines(text, n.substr(none)).size(), none ? 0U : 1U) << n << "\n" << text;
  }
}

class ProcessTest : public ::testing::Test
{
protected:
  // By default the signal once the executor's threads run: under ThreadSanitizer
  // one that lands on a thread still being created can be held back for good.
  Child Run(
    std::vector<std::string> argv, int signal_number = SIGINT,
    const std::string & ready = "executor start")
  {
    argv.insert(argv.begin(), VELMORA_NODE_EXECUTABLE);
    return RunChild(
      argv, {"SPDLOG_STDOUT", "SPDLOG_SYSTEMD", "SPDLOG_LEVEL"}, Shows(ready), signal_number,
      ready == "executor start" ? 200ms : 0ms);
  }

  ConfigPrefix prefix_;
};

TEST_F(ProcessTest, StartsEchoesConfigurationAndEndsOnSigintAndSigterm) {
  const std::string config = prefix_.config_dir();
  // Some of camera 1's echo, in this order, all before camera 2's.
  const std::vector<std::string> cam1 = {
    "cam_1_pose_estimate_config_file_path = " + config + "/cam1_pose_estimate_config.yaml",
    "cam_1_detect_duration = 10 ms", "cam_1_robot_frame_id = arm_base",
    "cam_1_rgb_topic = /camera1/color/image_raw",
    "cam_1_class_txt_file_path = " + config + "/trash_classes.txt",
    "cam_1_model_cfg_file_path = " + config + "/trash_model.yaml",
    "cam_1_class_height_conf_.paper = 0.05", "cam_1_ai_conf_.other = 0.50"};
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    const auto child = Run({}, signal_number);
    ASSERT_TRUE(child.signalled && !child.hung) << child.out << child.err;
    EXPECT_EQ(child.status, 0) << child.err;
    // ROS 2's own handler took the signal and shut the context down.
    ExpectLines(child.err, {"signal_handler(signum=" + std::to_string(signal_number) + ")"});
    EXPECT_EQ(
      Lines(child.out, "[INFO] ").at(0),
      "  1 [INFO] trash_pose_detect_config_path = " + config + "/trash_pose_detect_config.yaml");
    std::size_t at = 0;
    for (const auto & line : cam1) {
      at = child.out.find(" [INFO] " + line + "\n", at);
      ASSERT_NE(at, std::string::npos) << line << "\n" << child.out;
    }
    EXPECT_LT(at, child.out.find(" [INFO] cam_2_"));
    ExpectLines(child.out, {"[INFO] cam_3_ai_conf_.other", "executor start"});
  }
  // During start-up (camera 1 reading a recording of 20000 detections, seconds of
  // work) a signal ends the process at once, with 128 + the signal.
  std::ofstream recording(prefix_.config_file("slow.yaml"));
  for (int i = 0; i < 20000; ++i) {
    recording << (i ? "" : "frames:\n") << "  - objects: [{label: 4, score: 0.9, box: [0, 0, "
      "1, 1], mask: m.png}]\n";
  }
  recording.close();
  cv::imwrite(prefix_.config_file("m.png"), cv::Mat(480, 640, CV_8UC1, cv::Scalar(0)));
  prefix_.Write("slow_model.yaml", "source: recorded\nrecording: slow.yaml");
  prefix_.Set(
    "cam1_detect_config.yaml", "camera_detection_params", "model_cfg_file", "slow_model.yaml");
  const auto child = Run({}, SIGTERM, "trash_pose_detect_config_path");
  ASSERT_TRUE(child.signalled && !child.hung) << child.out << child.err;
  EXPECT_EQ(child.status, 128 + SIGTERM) << child.err;
  ExpectLines(child.err, {"velmoraplus_trash_pose: interrupted during start-up"});
  ExpectLines(child.out, {"!executor start"});
}

// Status 1 prints one "fatal" line holding each of `err` and never starts the
// executor; status 0 has each of `err` and `out` as ExpectLines has them.
TEST_F(ProcessTest, CommandLinesAndConfigurationsStartOrStopWithOneFatalLine) {
  struct Edit
  {
    std::string file, section, key, value;
  };
  struct Case
  {
    std::vector<std::string> args;
    std::vector<Edit> edits;
    int status;
    std::vector<std::string> err, out;
  };
  const std::string cam = "camera_detection_params";
  const std::string top = "velmoraplus_trash_pose";
  const std::string cam1 = "cam1_detect_config.yaml";
  const std::string cam2 = "cam2_detect_config.yaml";
  const std::string main = "trash_pose_detect_config.yaml";
  const auto file = [this](const std::string & name) {return prefix_.config_file(name);};
  const std::vector<Case> cases = {
    // The command lines launch_ros makes of the launch file, and malformed ones.
    {{"--ros-args"}, {}, 0, {}, {}},
    {{"--ros-args", "--log-level", "info", "--ros-args"}, {}, 0, {}, {}},
    {{"--ros-args", "--ros-args", "", "--ros-args"}, {}, 1, {"unknown ROS arguments: ''"}, {}},
    {{"--ros-args", "--log-level info"}, {}, 1, {"unknown ROS arguments: '--log-level info'"}, {}},
    {{"--ros-args", "--log-level", "loud"}, {}, 1, {"--log-level loud"}, {}},
    {{"--ros-args", "-r"}, {}, 1, {"trailing -r flag"}, {}},
    // A missing key stops start-up after what was already printed.
    {{}, {{cam1, cam, "ground_max_th", ""}}, 1, {cam1, "ground_max_th"},
      {"相机内参：", "cam_1_mask_erosion_size = 1 ms", "!cam_1_detected_image_topic"}},
    // Only the "treshold" spelling of the cloud size key, and no negative size.
    {{}, {{cam2, cam, "min_trash_cloud_size_treshold", ""},
        {cam2, cam, "min_trash_cloud_size_threshold", "50"}}, 1,
      {"min_trash_cloud_size_treshold"}, {}},
    {{}, {{cam2, cam, "min_trash_cloud_size_treshold", "-5"}}, 1, {"-5"}, {}},
    {{}, {{main, top, "cam_num", "three"}}, 1, {main, "cam_num", "three"}, {}},
    // Slots 1 and 2 with one id: refused while cam_num uses both.
    {{}, {{cam1, cam, "cam_id", "2"}}, 1, {file(cam1) + " and " + file(cam2) +
        ": key 'camera_detection_params/cam_id': value '2' is in both files"}, {}},
    {{}, {{cam1, cam, "cam_id", "2"}, {main, top, "cam_num", "1"}}, 0, {}, {}},
    // Values that cannot work.
    {{}, {{cam1, cam, "detect_duration", "60001"}}, 1, {file(cam1), "'" + cam +
        "/detect_duration'", "value '60001' must be at most 60000 (milliseconds)"}, {}},
    {{}, {{cam2, cam, "mask_erosion_size", "1000000000"}}, 1, {file(cam2), "'" + cam +
        "/mask_erosion_size'", "value '1000000000' must be between 0 and 1000"}, {}},
    {{}, {{cam1, cam, "rgb_topic", "~"}}, 1,
      {file(cam1), "'" + cam + "/rgb_topic'", "value null names nothing"}, {}},
    {{}, {{main, top, "detect_service", "~"}}, 1,
      {file(main), "'" + top + "/detect_service'", "value null names nothing"}, {}},
    // Files that would block start-up or fill memory.
    {{}, {{cam1, cam, "class_txt", "pipe"}}, 1, {file(cam1), "'" + cam + "/class_txt'",
        "names '" + file("pipe") + "', which is a named pipe, not a regular file"}, {}},
    {{}, {{cam2, cam, "model_cfg_file", "zero"}}, 1, {"which is a device, not a regular file"}, {}},
    // An absolute path is the file itself.
    {{}, {{cam2, cam, "model_cfg_file", file("trash_model.yaml")}}, 0, {},
      {"cam_2_model_cfg_file_path = " + file("trash_model.yaml")}},
    // A network of other classes than the class list (COCO's 80), without a class_map.
    {{}, {{"trash_model.yaml", "", "num_classes", "80"}}, 1, {file(cam1), "'" + cam +
        "/model_cfg_file'", "a network of 80 classes without a class_map, but class_txt lists 16 "
        "classes: map the network's labels"}, {}},
    // Frame ids tf2 and RViz would drop.
    {{}, {{cam2, cam, "robot_frame_id", "''"}}, 1,
      {file(cam2), "'" + cam + "/robot_frame_id'", "value '' is not a tf2 frame id"}, {}},
    {{}, {{cam1, cam, "robot_frame_id", "/arm_base"}}, 1, {"value '/arm_base' is not a tf2"}, {}},
    // Null text where it is only logged, a negative pause (none), the longest
    // pause, and an erosion that leaves nothing start, with one line each.
    {{}, {{cam1, cam, "camera_info_topic", "~"}, {cam1, cam, "camera_frame_id", "~"},
        {cam1, cam, "mask_erosion_size", "400"}, {cam1, cam, "detect_duration", "-5"},
        {cam2, cam, "detect_duration", "60000"}}, 0,
      {"cam_1 mask_erosion_size 400: an erosion window wider than the 640 px image erodes "
        "every trash mask away", "!cam_2 mask_erosion_size"},
      {"[INFO] cam_1_camera_info_topic = null", "[INFO] cam_1_camera_frame_id = null",
        "[INFO] cam_1_mask_erosion_size = 400 ms", "[INFO] cam_1_detect_duration = -5 ms",
        "[INFO] cam_2_detect_duration = 60000 ms"}},
  };
  ::mkfifo(file("pipe").c_str(), 0600);
  fs::create_symlink("/dev/zero", file("zero"));
  for (const auto & c : cases) {
    SCOPED_TRACE((c.args.empty() ? "" : c.args.back()) + (c.edits.empty() ? "" : c.edits[0].key));
    prefix_.Reset();
    for (const auto & e : c.edits) {
      prefix_.Set(e.file, e.section, e.key, e.value);
    }
    const auto child = Run(c.args);
    ASSERT_FALSE(child.hung) << child.err;
    EXPECT_EQ(child.status, c.status) << child.err;
    EXPECT_EQ(child.signal, 0);
    ExpectLines(child.out, c.out);
    ExpectLines(child.out, {std::string(c.status == 0 ? "" : "!") + "executor start"});
    if (c.status == 0) {
      ExpectLines(child.err, c.err);
      continue;
    }
    const auto fatal = Lines(child.err, "fatal");
    ASSERT_EQ(fatal.size(), 1U) << child.err;
    for (const auto & part : c.err) {
      EXPECT_NE(fatal[0].find(part), std::string::npos) << part << "\n" << fatal[0];
    }
  }
}

}  // namespace
}  // namespace velmora_test
