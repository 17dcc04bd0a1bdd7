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

// Loading of the pose-estimate file: calibration forms, debug directories, errors.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "estimator_fixture.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace velmora::test
{
namespace
{

constexpr float kHalfSqrt2 = 0.70710678f;

bool IsDirectory(const std::string & path)
{
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void ExpectMatrix(const Eigen::Matrix4f & actual, const Eigen::Matrix4f & expected)
{
  EXPECT_TRUE(
    actual.isApprox(
      expected,
      1e-5f)) << "actual\n" << actual << "\nexpected\n" << expected;
}

TEST(EstimatorConfig, ShippedCameraFilesAndEulerForm) {
  // Camera 1: Rxyz (-135, 0, 90), Txyz (-0.05, 0, 0.32): optical axis forward (-x) and
  // 45 degrees down, image x to the left of the robot (+y).
  ScratchDir("shipped");
  setenv("VELMORAPLUS_DATA_DIR", (::testing::TempDir() + "velmora_core_test/shipped").c_str(), 1);
  CoutCapture out;
  GrabPoseEstimator estimator(std::string(VELMORA_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml");
  Eigen::Matrix4f expected;
  expected << 0, kHalfSqrt2, -kHalfSqrt2, -0.05f,  //
    1, 0, 0, 0,                                    //
    0, -kHalfSqrt2, -kHalfSqrt2, 0.32f,            //
    0, 0, 0, 1;
  ExpectMatrix(estimator.base2camera_, expected);
  EXPECT_FLOAT_EQ(estimator.fx_, 525.0f);
  EXPECT_FLOAT_EQ(estimator.cy_, 239.5f);
  EXPECT_FLOAT_EQ(estimator.base_height_, 0.176f);
  EXPECT_EQ(estimator.min_trash_cloud_size_, 34u);
  EXPECT_FALSE(estimator.is_on_floor_);
  EXPECT_TRUE(out.Has(Cyan("相机外参齐次变换矩阵：")));
  EXPECT_TRUE(out.Has(Cyan("相机内参：fx:525  fy:525  cx:319.5  cy:239.5")));

  // A point 1 m along the optical axis lands 0.707 m ahead of and below the camera.
  GrabPoseEstimator::Cloud camera_cloud, base_cloud;
  camera_cloud.push_back(pcl::PointXYZ(0.0f, 0.0f, 1.0f));
  estimator.TransformCloud(camera_cloud, base_cloud, estimator.base2camera_);
  ASSERT_EQ(base_cloud.size(), 1u);
  EXPECT_NEAR(base_cloud[0].x, -0.05f - kHalfSqrt2, 1e-6f);
  EXPECT_NEAR(base_cloud[0].y, 0.0f, 1e-6f);
  EXPECT_NEAR(base_cloud[0].z, 0.32f - kHalfSqrt2, 1e-6f);

  for (const char * name : {"cam2_pose_estimate_config.yaml", "cam3_pose_estimate_config.yaml"}) {
    EXPECT_NO_THROW(GrabPoseEstimator(std::string(VELMORA_CONFIG_DIR) + "/" + name)) << name;
  }
}

TEST(EstimatorConfig, MatrixAndEyeOnHandForms) {
  // Fixed camera, matrix form read row by row; the Euler keys may be absent.
  {
    ConfigFile file("matrix");
    file.Set("camera_extrinsic", "is_use_euler", "false")
    .Set("camera_extrinsic", "data", "[1,0,0,0.1, 0,1,0,0.2, 0,0,1,0.3, 0,0,0,1]")
    .Remove("camera_extrinsic", "Rxyz")
    .Remove("camera_extrinsic", "Txyz");
    CoutCapture out;
    GrabPoseEstimator estimator(file.Write());
    Eigen::Matrix4f expected = Eigen::Matrix4f::Identity();
    expected.block<3, 1>(0, 3) << 0.1f, 0.2f, 0.3f;
    ExpectMatrix(estimator.base2camera_, expected);
  }
  // Eye on hand: base->flange Euler (0, 0, 90) + (0.1, 0, 0.5); flange->camera as a
  // matrix with translation (0.01, 0.02, 0.03): camera at (0.1 - 0.02, 0.01, 0.53).
  {
    ConfigFile file("eye_on_hand_matrix");
    file.Set("camera_extrinsic", "is_eye_on_hand", "true")
    .Set("camera_extrinsic", "is_use_euler", "false")
    .Set("camera_extrinsic", "base2flange_euler", "[0, 0, 90]")
    .Set("camera_extrinsic", "base2flange_T", "[0.1, 0, 0.5]")
    .Set(
      "camera_extrinsic", "flange2camera",
      "[1,0,0,0.01, 0,1,0,0.02, 0,0,1,0.03, 0,0,0,1, 99]");         // extra element ignored
    CoutCapture out;
    GrabPoseEstimator estimator(file.Write());
    Eigen::Matrix4f expected;
    expected << 0, -1, 0, 0.08f, 1, 0, 0, 0.01f, 0, 0, 1, 0.53f, 0, 0, 0, 1;
    ExpectMatrix(estimator.base2camera_, expected);
    ExpectMatrix(estimator.base2flange_ * estimator.flange2camera_, expected);
  }
  // Eye on hand, Euler: flange->camera Rx(90) + (0, 0, 0.1).
  {
    ConfigFile file("eye_on_hand_euler");
    file.Set("camera_extrinsic", "is_eye_on_hand", "true")
    .Set("camera_extrinsic", "base2flange_euler", "[0, 0, 90]")
    .Set("camera_extrinsic", "base2flange_T", "[0.1, 0, 0.5]")
    .Set("camera_extrinsic", "flange2camera_euler", "[90, 0, 0]")
    .Set("camera_extrinsic", "flange2camera_T", "[0, 0, 0.1]");
    CoutCapture out;
    GrabPoseEstimator estimator(file.Write());
    Eigen::Matrix4f expected;
    expected << 0, 0, 1, 0.1f, 1, 0, 0, 0, 0, 1, 0, 0.6f, 0, 0, 0, 1;
    ExpectMatrix(estimator.base2camera_, expected);
  }
}

TEST(EstimatorConfig, DebugDirectoriesBelowTheDataRoot) {
  ConfigFile file("dirs");
  const std::string path = file.Write();
  const std::string root = file.dir() + "/data";  // set without a trailing slash
  CoutCapture out;
  GrabPoseEstimator estimator(path);
  EXPECT_EQ(estimator.data_dir_, root + "/bottle");
  EXPECT_EQ(estimator.file_prefix_, root + "/bottle/bottlep1_a");
  EXPECT_EQ(estimator.missing_prefix_, root + "/mising_detect/bottle/bottlep1_a");
  EXPECT_TRUE(IsDirectory(root + "/bottle"));
  EXPECT_TRUE(IsDirectory(root + "/mising_detect/bottle"));
}

// Constructs from `file` and returns the ConfigError message ("" if none was thrown).
std::string ErrorOf(const ConfigFile & file)
{
  const std::string path = file.Write();
  CoutCapture out;
  try {
    GrabPoseEstimator estimator(path);
  } catch (const ConfigError & error) {
    EXPECT_EQ(out.str(), "") << "nothing is printed for a failed configuration";
    return error.what();
  }
  return "";
}

void ExpectMentions(const std::string & message, std::initializer_list<std::string> parts)
{
  for (const std::string & part : parts) {
    EXPECT_NE(message.find(part), std::string::npos) << "'" << part << "' not in: " << message;
  }
}

TEST(EstimatorConfig, ErrorsNameFileKeyAndValue) {
  {
    ConfigFile file("missing_key");
    file.Remove("grab_pose_estimate", "sor2_meank_value");
    ExpectMentions(
      ErrorOf(file), {file.dir() + "/pose_estimate.yaml",
        "missing key 'grab_pose_estimate/sor2_meank_value'"});
  }
  {
    ConfigFile file("wrong_type");
    file.Set("grab_pose_estimate", "sor2_meank_value", "fifty");
    ExpectMentions(
      ErrorOf(file), {"pose_estimate.yaml", "'grab_pose_estimate/sor2_meank_value'",
        "value 'fifty'", "not an integer"});
  }
  for (const char * bad : {"-5", "40x", "4.5", "99999999999"}) {
    ConfigFile file("unsigned");
    file.Set("grab_pose_estimate", "min_trash_cloud_size", bad);
    ExpectMentions(
      ErrorOf(file), {"'grab_pose_estimate/min_trash_cloud_size'",
        std::string("value '") + bad + "'", "unsigned"});
  }
  {
    ConfigFile file("unsigned_ok");
    file.Set("grab_pose_estimate", "min_trash_cloud_size", "40");
    CoutCapture out;
    EXPECT_EQ(GrabPoseEstimator(file.Write()).min_trash_cloud_size_, 40u);
  }
  {
    ConfigFile file("short_sequence");
    file.Set("camera_extrinsic", "Txyz", "[0.1, 0.2]");
    ExpectMentions(ErrorOf(file), {"'camera_extrinsic/Txyz'", "[0.1, 0.2]", "at least 3"});
  }
  {
    ConfigFile file("transposed");
    file.Set("camera_extrinsic", "is_use_euler", "false")
    .Set("camera_extrinsic", "data", "[1,0,0,0, 0,1,0,0, 0,0,1,0, 0.1,0.2,0.3,1]");
    ExpectMentions(ErrorOf(file), {"'camera_extrinsic/data'", "last row"});
  }
  {
    ConfigFile file("eye_on_hand_needs_base2flange");
    file.Set("camera_extrinsic", "is_eye_on_hand", "true")
    .Set("camera_extrinsic", "is_use_euler", "false")
    .Set("camera_extrinsic", "flange2camera", "[1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]");
    ExpectMentions(ErrorOf(file), {"missing key 'camera_extrinsic/base2flange_euler'"});
  }
  {
    ConfigFile file("leaf");
    file.Set("grab_pose_estimate", "sor_leaf_size", "0");
    ExpectMentions(ErrorOf(file), {"'grab_pose_estimate/sor_leaf_size'", "greater than 0"});
  }
  {
    ConfigFile file("nan");
    file.Set("grab_pose_estimate", "base_height", ".nan");
    ExpectMentions(ErrorOf(file), {"'grab_pose_estimate/base_height'", "value '.nan'"});
  }
  {
    ConfigFile file("code");
    file.Set("debug_choice", "trash_code", "../../etc");
    ExpectMentions(ErrorOf(file), {"'debug_choice/trash_code'", "value '../../etc'"});
  }
  {
    ConfigFile file("bool");
    file.Set("debug_choice", "is_on_floor", "maybe");
    ExpectMentions(ErrorOf(file), {"'debug_choice/is_on_floor'", "value 'maybe'", "boolean"});
  }
  // Unreadable files.
  EXPECT_THROW(
      {
        try {
          GrabPoseEstimator estimator("/nonexistent/pose_estimate.yaml");
        } catch (const ConfigError & error) {
          ExpectMentions(error.what(), {"cannot open", "/nonexistent/pose_estimate.yaml"});
          throw;
        }
      },
    ConfigError);
  const std::string broken = ScratchDir("broken") + "/broken.yaml";
  std::ofstream(broken) << "camera_extrinsic: [unclosed\n";
  EXPECT_THROW(YamlReader{broken}, ConfigError);
  // A data root that cannot be created.
  {
    ConfigFile file("root");
    const std::string path = file.Write();
    setenv("VELMORAPLUS_DATA_DIR", "/proc/velmora_not_allowed", 1);
    CoutCapture out;
    try {
      GrabPoseEstimator estimator(path);
      ADD_FAILURE() << "expected a ConfigError";
    } catch (const ConfigError & error) {
      ExpectMentions(error.what(), {path, "/proc/velmora_not_allowed/bottle"});
    }
  }
}

TEST(EstimatorConfig, RefusesValuesThatCannotWorkAndSaysOnceWhenOneIsDegenerate) {
  // Values that blind the estimator or stall a pass: refused, naming key and value
  // as the file writes them.
  struct Case
  {
    const char * section;
    const char * key;
    const char * value;
    const char * says;
  };
  const Case cases[] = {
    {"camera_intrinsic", "fx", "0", "greater than 0"},
    {"camera_intrinsic", "fy", "-525", "greater than 0"},
    {"camera_intrinsic", "cx", ".inf", "finite"},
    {"grab_pose_estimate", "sor2_meank_value", "1000001", "between 1 and 1000000"},
    {"grab_pose_estimate", "sor2_meank_value", "0", "between 1 and 1000000"},
    {"grab_pose_estimate", "workspace_angle_min", "-1e6", "between -360 and 360"},
    {"grab_pose_estimate", "workspace_angle_max", "1e30", "between -360 and 360"},
    {"grab_pose_estimate", "workspace_angle_max", "-.inf", "finite"},
    {"grab_pose_estimate", "workspace_r_max", "1e30", "between 0 and 10"},
    {"grab_pose_estimate", "workspace_r_min", "10.001", "must be at most 10 (metres)"},
    {"grab_pose_estimate", "sor_leaf_size", "0", "greater than 0"},
  };
  for (const Case & c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.value);
    ConfigFile file("bounds");
    file.Set(c.section, c.key, c.value);
    ExpectMentions(
      ErrorOf(file), {file.dir() + "/pose_estimate.yaml",
        std::string("'") + c.section + "/" + c.key + "'",
        std::string("value '") + c.value + "'", c.says});
  }
  // The bounds themselves are accepted, and what PCL users commonly run.
  for (const char * neighbours : {"1", "300", "1000000"}) {
    ConfigFile file("bounds_ok");
    file.Set("grab_pose_estimate", "sor2_meank_value", neighbours)
    .Set("grab_pose_estimate", "workspace_angle_min", "-360")
    .Set("grab_pose_estimate", "workspace_angle_max", "360")
    .Set("grab_pose_estimate", "workspace_r_max", "10");
    CoutCapture out;
    EXPECT_NO_THROW(GrabPoseEstimator(file.Write())) << neighbours;
    EXPECT_FALSE(out.Has("every grab point is outside the workspace"));
  }
  // No lower distance limit: any negative value, down to the lowest float.
  for (const char * nearest : {"-0.1", "-3.4e38"}) {
    ConfigFile file("no_lower_limit");
    file.Set("grab_pose_estimate", "workspace_r_min", nearest);
    CoutCapture out;
    GrabPoseEstimator estimator(file.Write());
    EXPECT_LT(estimator.workspace_r_min_, 0.0f) << nearest;
    EXPECT_FALSE(out.Has("every grab point is outside the workspace"));
  }
  {
    ConfigFile file("nearest_at_bound");
    file.Set("grab_pose_estimate", "workspace_r_min", "10")
    .Set("grab_pose_estimate", "workspace_r_max", "10");
    CoutCapture out;
    EXPECT_NO_THROW(GrabPoseEstimator(file.Write()));
  }
  // Limits that leave no workspace: accepted, said once at start-up.
  {
    ConfigFile file("no_workspace");
    file.Set("grab_pose_estimate", "workspace_angle_min", "60")
    .Set("grab_pose_estimate", "workspace_angle_max", "-60")
    .Set("grab_pose_estimate", "workspace_r_min", "0.8")
    .Set("grab_pose_estimate", "workspace_r_max", "0.3");
    CoutCapture out;
    GrabPoseEstimator estimator(file.Write());
    EXPECT_TRUE(
      out.Has(
        Yellow(
          "workspace_r_min 0.8 is not below workspace_r_max 0.3: "
          "every grab point is outside the workspace")));
    EXPECT_TRUE(
      out.Has(
        Yellow(
          "workspace_angle_min 60 is not below "
          "workspace_angle_max -60: every grab point is "
          "outside the workspace")));
  }
}

TEST(YamlReader, NullStringsReadAsNullWhereOnlyLoggedAndAreRefusedAsNames) {
  const std::string path = ScratchDir("null") + "/camera.yaml";
  std::ofstream(path) << "cam:\n  info_topic:\n  frame: ~\n  count: null\n  rgb_topic:\n";
  const YamlReader reader(path);
  EXPECT_EQ(reader.Get<std::string>("cam/info_topic"), "null");
  EXPECT_EQ(reader.Get<std::string>("cam/frame"), "null");
  const auto message = [&](const std::function<void()> & read) {
      try {
        read();
      } catch (const ConfigError & error) {
        return std::string(error.what());
      }
      return std::string();
    };
  ExpectMentions(
    message([&] {reader.GetName("cam/rgb_topic");}),
    {path, "'cam/rgb_topic'", "value null ", "names nothing"});
  ExpectMentions(
    message([&] {reader.Get<int>("cam/count");}),
    {"'cam/count'", "value null is not an integer"});
  EXPECT_EQ(message([&] {reader.Get<int>("cam/count");}).find("''"), std::string::npos);
  // A label that names archive files refuses null, too.
  ConfigFile file("null_label");
  file.Set("debug_choice", "file_name_suffix", "~");
  ExpectMentions(ErrorOf(file), {"'debug_choice/file_name_suffix'", "value null"});
}

TEST(YamlReader, AKeyWrittenTwiceInOneMappingIsRefusedNamingFileKeyAndBothLines) {
  const auto message = [](const std::string & text) {
      const std::string path = ScratchDir("duplicate") + "/camera.yaml";
      std::ofstream(path) << text;
      try {
        YamlReader reader(path);
      } catch (const ConfigError & error) {
        return std::string(error.what());
      }
      return std::string();
    };
  const std::string path = ScratchDir("duplicate") + "/camera.yaml";
  // A value edited on a robot by adding a line below the old one.
  EXPECT_EQ(
    message("camera_detection_params:\n  cam_id: 2\n  is_debug: false\n  cam_id: 3\n"),
    path + ": key 'cam_id' is written twice in one mapping, on line 2 and on line 4: "
    "keep one");
  // At the top level, and in a mapping inside a list; quoting does not make another key.
  ExpectMentions(message("a: 1\nb: 2\n\"a\": 3\n"), {"'a'", "line 1 and on line 3"});
  ExpectMentions(
    message("frames:\n  - objects: []\n    image: x.png\n    objects: []\n"),
    {"'objects'", "line 2 and on line 4"});
  // The same key in different mappings is no duplicate.
  EXPECT_EQ(message("a: {cam_id: 1}\nb: {cam_id: 1}\nc: [{x: 1}, {x: 2}]\n"), "");
}

TEST(YamlReader, TypedKeysForOtherConfigurationFiles) {
  const std::string path = ScratchDir("reader") + "/camera.yaml";
  std::ofstream(path) << "cam: {cam_id: 2, name: camera_base, ratio: 0.3, debug: true, "
    "size: '+12', list: [1, 2, 3]}\n";
  const YamlReader reader(path);
  EXPECT_EQ(reader.Get<int>("cam/cam_id"), 2);
  EXPECT_EQ(reader.Get<std::string>("cam/name"), "camera_base");
  EXPECT_DOUBLE_EQ(reader.Get<double>("cam/ratio"), 0.3);
  EXPECT_TRUE(reader.Get<bool>("cam/debug"));
  EXPECT_EQ(reader.Get<unsigned>("cam/size"), 12u);
  EXPECT_EQ(reader.GetFloats("cam/list", 2), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_TRUE(reader.Has("cam/cam_id"));
  EXPECT_FALSE(reader.Has("cam/cam_id/deeper"));
  EXPECT_THROW(reader.Get<std::string>("cam/list"), ConfigError);
  EXPECT_THROW(reader.Get<int>("cam/ratio"), ConfigError);
}

}  // namespace
}  // namespace velmora::test
