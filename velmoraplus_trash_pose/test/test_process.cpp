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

// The executable as an integrator starts it: notices, configuration echo,
// executor start, SIGINT, exit status; and fatal configuration errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace
{

using velmora_test::ConfigPrefix;
using velmora_test::LinesContaining;
using velmora_test::RunChild;
using velmora_test::SplitLines;

const std::vector<std::string> kSpdlogVars = {"SPDLOG_STDOUT", "SPDLOG_SYSTEMD", "SPDLOG_LEVEL"};

class ProcessTest : public ::testing::Test
{
protected:
  velmora_test::ChildResult Run(
    std::chrono::seconds timeout = std::chrono::seconds(60),
    const std::vector<std::string> & arguments = {})
  {
    std::vector<std::string> argv = {VELMORA_NODE_EXECUTABLE};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunChild(
      argv,
      {{"AMENT_PREFIX_PATH", prefix_.ament_prefix_path()},
        {"VELMORAPLUS_DATA_DIR", prefix_.root() + "/data"}},
      // SIGINT once the executor's threads run: under ThreadSanitizer a signal
      // that lands on a thread still being created can be held back for good.
      std::string("executor start"), timeout, kSpdlogVars, std::chrono::milliseconds(200));
  }

  ConfigPrefix prefix_;
};

// Strips the "NNN [INFO] " prefix of a program log line.
std::string Body(const std::string & line)
{
  const auto pos = line.find(" [INFO] ");
  return pos == std::string::npos ? line : line.substr(pos + 8);
}

TEST_F(ProcessTest, StartsEchoesConfigurationAndExitsZeroOnSigint)
{
  const auto result = Run();
  ASSERT_FALSE(result.timed_out) << result.out << result.err;
  EXPECT_EQ(result.exit_status, 0) << result.err;

  const auto lines = SplitLines(result.out);
  ASSERT_GE(lines.size(), 4U);
  EXPECT_EQ(lines[0], "environment variable SPDLOG_STDOUT is not set, and set true");
  EXPECT_EQ(lines[1], "environment variable SPDLOG_SYSTEMD is not set, and set false");
  EXPECT_EQ(lines[2], "environment variable SPDLOG_LEVEL is not set, and set default level");
  EXPECT_EQ(
    lines[3], "  1 [INFO] trash_pose_detect_config_path = " + prefix_.config_dir() +
    "/trash_pose_detect_config.yaml");

  // Camera 1's echo lines, in order, before camera 2's.
  std::vector<std::string> cam1;
  for (const auto & line : LinesContaining(lines, " [INFO] cam_1")) {
    cam1.push_back(Body(line));
  }
  const std::string config = prefix_.config_dir();
  std::vector<std::string> expected = {
    "cam_1_pose_estimate_config_file_path = " + config + "/cam1_pose_estimate_config.yaml",
    "cam_1_debug = 0",
    "cam_1_detect_duration = 10 ms",
    "cam_1_camera_frame_id = camera_base",
    "cam_1_robot_frame_id = arm_base",
    "cam_1_image_edge_threshold = 5 ms",
    "cam_1_mask_erosion_size = 1 ms",
    "cam_1_detected_image_topic = /velmoraplus_trash_pose/cam1_detected_image",
    "cam_1_trashes_cloud_topic = /velmoraplus_trash_pose/cam1_trashes_cloud",
    "cam_1_camera_info_topic = /camera1/color/camera_info",
    "cam_1_rgb_topic = /camera1/color/image_raw",
    "cam_1_depth_topic = /camera1/aligned_depth_to_color/image_raw",
    "cam_1_model_type = seg",
    "cam_1_class_txt_file_path = " + config + "/trash_classes.txt",
    "cam_1_model_cfg_file_path = " + config + "/trash_model.yaml",
    "cam_1_class_height_conf_file_path = " + config + "/class_height_conf.yaml",
    "cam_1_class_height_conf_.paper = 0.05",
  };
  ASSERT_GE(cam1.size(), expected.size() + 15 + 16);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(cam1[i], expected[i]) << "echo line " << i;
  }
  EXPECT_EQ(cam1[expected.size() + 14], "cam_1_class_height_conf_.other = 0.05");
  EXPECT_EQ(cam1[expected.size() + 15], "cam_1_ai_conf_.paper = 0.50");
  EXPECT_EQ(cam1.back(), "cam_1_ai_conf_.other = 0.50");

  // Lines are numbered in order from 1; all three cameras were built.
  const auto numbered = LinesContaining(lines, " [INFO] ");
  EXPECT_EQ(numbered[1].substr(0, 10), "  2 [INFO]");
  EXPECT_FALSE(LinesContaining(lines, "[INFO] cam_3_ai_conf_.other").empty());
  const auto start = std::find(lines.begin(), lines.end(), "executor start");
  EXPECT_NE(start, lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "executor start"), 1);
}

// The command lines launch_ros makes of the launch file (no ros_args, and
// ros_args:="--log-level info") start the node; an unknown or malformed ROS
// argument is one fatal line and status 1, before anything else is printed.
TEST_F(ProcessTest, RosCommandLinesOfTheLaunchFileStartAndBadOnesFailWithOneLine)
{
  const std::vector<std::vector<std::string>> good = {
    {"--ros-args"}, {"--ros-args", "--log-level", "info", "--ros-args"}};
  for (const auto & arguments : good) {
    const auto result = Run(std::chrono::seconds(60), arguments);
    ASSERT_FALSE(result.timed_out) << arguments.size() << " arguments: " << result.err;
    EXPECT_EQ(result.exit_status, 0) << arguments.size() << " arguments: " << result.err;
    EXPECT_NE(result.out.find("executor start"), std::string::npos) << result.err;
  }

  struct Bad
  {
    std::vector<std::string> arguments;
    std::string says;
  };
  const std::vector<Bad> bad = {
    {{"--ros-args", "--ros-args", "", "--ros-args"}, "unknown ROS arguments: ''"},
    {{"--ros-args", "--log-level info"}, "unknown ROS arguments: '--log-level info'"},
    {{"--ros-args", "--log-level", "loud"}, "--log-level loud"},
    {{"--ros-args", "-r"}, "trailing -r flag"},
  };
  for (const auto & c : bad) {
    const auto result = Run(std::chrono::seconds(60), c.arguments);
    ASSERT_FALSE(result.timed_out) << c.says;
    EXPECT_EQ(result.exit_status, 1) << c.says << ": " << result.err;
    EXPECT_EQ(result.signal, 0) << c.says;
    const auto fatal = LinesContaining(SplitLines(result.err), "fatal");
    ASSERT_EQ(fatal.size(), 1U) << result.err;
    EXPECT_NE(fatal[0].find(c.says), std::string::npos) << fatal[0];
    EXPECT_EQ(result.out.find("executor start"), std::string::npos) << c.says;
  }
}

TEST_F(ProcessTest, MissingKeyFailsWithStatusOneAfterTheLinesAlreadyPrinted)
{
  prefix_.Remove("cam1_detect_config.yaml", "camera_detection_params", "ground_max_th");
  const auto result = Run();
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.signal, 0);
  // The estimator was built and the step-5 lines were printed before the failure.
  EXPECT_NE(result.out.find("相机内参："), std::string::npos);
  EXPECT_NE(result.out.find("cam_1_mask_erosion_size = 1 ms"), std::string::npos);
  EXPECT_EQ(result.out.find("cam_1_detected_image_topic"), std::string::npos);
  const auto errors = SplitLines(result.err);
  const auto fatal = LinesContaining(errors, "fatal");
  ASSERT_EQ(fatal.size(), 1U) << result.err;
  EXPECT_NE(fatal[0].find("cam1_detect_config.yaml"), std::string::npos) << fatal[0];
  EXPECT_NE(fatal[0].find("ground_max_th"), std::string::npos) << fatal[0];
}

TEST_F(ProcessTest, OnlyTheTresholdSpellingOfTheCloudSizeKeyIsAccepted)
{
  prefix_.Remove(
    "cam2_detect_config.yaml", "camera_detection_params",
    "min_trash_cloud_size_treshold");
  prefix_.Set(
    "cam2_detect_config.yaml", "camera_detection_params",
    "min_trash_cloud_size_threshold", "50");
  auto result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("min_trash_cloud_size_treshold"), std::string::npos) << result.err;

  prefix_.Remove(
    "cam2_detect_config.yaml", "camera_detection_params",
    "min_trash_cloud_size_threshold");
  prefix_.Set(
    "cam2_detect_config.yaml", "camera_detection_params", "min_trash_cloud_size_treshold",
    "-5");
  result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("-5"), std::string::npos) << result.err;
}

TEST_F(ProcessTest, BrokenTopLevelFileNamesFileKeyAndValue)
{
  prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "three");
  const auto result = Run();
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_NE(result.err.find("trash_pose_detect_config.yaml"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("cam_num"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("three"), std::string::npos) << result.err;
}

TEST_F(ProcessTest, AKeyWrittenTwiceOrTwoActiveCamerasWithOneIdStopStartUp)
{
  // cam_id edited on the robot by adding a line: refused, naming file, key and lines.
  const std::string cam2 = prefix_.config_file("cam2_detect_config.yaml");
  const std::string original = velmora_test::ReadText(cam2);
  prefix_.Write("cam2_detect_config.yaml", original + "  cam_id: 3\n");
  auto result = Run();
  prefix_.Write("cam2_detect_config.yaml", original);
  EXPECT_EQ(result.exit_status, 1);
  auto fatal = LinesContaining(SplitLines(result.err), "fatal");
  ASSERT_EQ(fatal.size(), 1U) << result.err;
  EXPECT_NE(
    fatal[0].find(cam2 + ": key 'cam_id' is written twice in one mapping, on line "),
    std::string::npos) << fatal[0];

  // Slots 1 and 2 with one id: refused while cam_num uses both, naming both files.
  const std::string camera = "camera_detection_params";
  prefix_.Set("cam1_detect_config.yaml", camera, "cam_id", "2");
  result = Run();
  EXPECT_EQ(result.exit_status, 1);
  fatal = LinesContaining(SplitLines(result.err), "fatal");
  ASSERT_EQ(fatal.size(), 1U) << result.err;
  EXPECT_NE(
    fatal[0].find(
      prefix_.config_file("cam1_detect_config.yaml") + " and " + cam2 +
      ": key 'camera_detection_params/cam_id': value '2' is in both files"), std::string::npos)
    << fatal[0];
  // With cam_num 1 only slot 2 answers: the same ids start.
  prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "1");
  result = Run();
  EXPECT_EQ(result.exit_status, 0) << result.err;
}

TEST_F(ProcessTest, ValuesThatCannotWorkStopStartUpWithOneLineNamingFileKeyAndValue)
{
  struct Case
  {
    std::string file;
    std::string section;
    std::string key;
    std::string value;     // as written in the file
    std::string says;
  };
  // The camera's own keys; one estimator key shows that its errors reach the
  // process the same way (the estimator's bounds are tested with the estimator).
  const std::string camera = "camera_detection_params";
  const std::vector<Case> cases = {
    {"cam1_detect_config.yaml", camera, "detect_duration", "60001",
      "value '60001' must be at most 60000 (milliseconds)"},
    {"cam2_detect_config.yaml", camera, "mask_erosion_size", "1000000000",
      "value '1000000000' must be between 0 and 1000"},
    {"cam2_pose_estimate_config.yaml", "grab_pose_estimate", "workspace_angle_max", "1e6",
      "value '1e6' must be between -360 and 360"},
    {"cam1_detect_config.yaml", camera, "rgb_topic", "~", "value null names nothing"},
    {"trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "detect_service", "~",
      "value null names nothing"},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.key + " = " + c.value);
    const std::string original = velmora_test::ReadText(prefix_.config_file(c.file));
    prefix_.Set(c.file, c.section, c.key, c.value);
    const auto result = Run();
    prefix_.Write(c.file, original);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.signal, 0);
    const auto fatal = LinesContaining(SplitLines(result.err), "fatal");
    ASSERT_EQ(fatal.size(), 1U) << result.err;
    EXPECT_NE(fatal[0].find(prefix_.config_file(c.file)), std::string::npos) << fatal[0];
    EXPECT_NE(fatal[0].find("'" + c.section + "/" + c.key + "'"), std::string::npos) << fatal[0];
    EXPECT_NE(fatal[0].find(c.says), std::string::npos) << fatal[0];
  }
}

TEST_F(ProcessTest, NullTextWhereOnlyLoggedAndLimitsThatLeaveNothingStartWithOneLineEach)
{
  const std::string camera = "camera_detection_params";
  prefix_.Set("cam1_detect_config.yaml", camera, "camera_info_topic", "~");
  prefix_.Set("cam1_detect_config.yaml", camera, "camera_frame_id", "~");
  prefix_.Set("cam1_detect_config.yaml", camera, "mask_erosion_size", "400");
  // A negative pause is no pause; the longest one is accepted.
  prefix_.Set("cam1_detect_config.yaml", camera, "detect_duration", "-5");
  prefix_.Set("cam2_detect_config.yaml", camera, "detect_duration", "60000");
  prefix_.Set("cam1_pose_estimate_config.yaml", "grab_pose_estimate", "workspace_angle_min", "60");
  prefix_.Set("cam1_pose_estimate_config.yaml", "grab_pose_estimate", "workspace_angle_max", "-60");
  const auto result = Run();
  ASSERT_FALSE(result.timed_out) << result.err;
  EXPECT_EQ(result.exit_status, 0) << result.err;
  const auto lines = SplitLines(result.out);
  EXPECT_EQ(LinesContaining(lines, "[INFO] cam_1_camera_info_topic = null").size(), 1U);
  EXPECT_EQ(LinesContaining(lines, "[INFO] cam_1_camera_frame_id = null").size(), 1U);
  EXPECT_EQ(LinesContaining(lines, "[INFO] cam_1_mask_erosion_size = 400 ms").size(), 1U);
  EXPECT_EQ(LinesContaining(lines, "[INFO] cam_1_detect_duration = -5 ms").size(), 1U);
  EXPECT_EQ(LinesContaining(lines, "[INFO] cam_2_detect_duration = 60000 ms").size(), 1U);
  EXPECT_EQ(
    LinesContaining(
      SplitLines(result.err), "cam_1 mask_erosion_size 400: an erosion window wider "
      "than the 640 px image erodes every trash mask away").size(), 1U) << result.err;
  EXPECT_EQ(
    LinesContaining(
      lines, "workspace_angle_min 60 is not below workspace_angle_max -60: every "
      "grab point is outside the workspace").size(), 1U);
  // The other cameras are unaffected.
  EXPECT_TRUE(LinesContaining(SplitLines(result.err), "cam_2 mask_erosion_size").empty());
}

}  // namespace
