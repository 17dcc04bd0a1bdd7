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

// A rendered floor scene through the whole node: image pair in, DetectTrash
// answer out, with the archive, the published outputs and bad frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
// GCC 12 at -O1 with the sanitizers warns about std::function inside <regex>'s
// own code (a known false positive); our uses of it are plain.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <thread>
#include <string>
#include <tuple>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <tf2_msgs/msg/tf_message.hpp>
#include <visualization_msgs/msg/marker_array.hpp>
#include <yaml-cpp/yaml.h>

#include "node_harness.hpp"
#include "scene_fixture.hpp"

namespace
{

namespace fs = std::filesystem;
using velmora_test::ConfigPrefix;
using velmora_test::NodeHarness;
using velmora_test::SceneObject;
using velmora_test::SyntheticScene;
using TrashGrabInfo = velmora_plus_interfaces::msg::TrashGrabInfo;

constexpr double kPi = 3.141592653589793;
const std::string kCam2 = "cam2_detect_config.yaml";
const std::string kParams = "camera_detection_params";

Eigen::Matrix3d Rotation(const geometry_msgs::msg::Pose & pose)
{
  return Eigen::Quaterniond(
    pose.orientation.w, pose.orientation.x, pose.orientation.y,
    pose.orientation.z).normalized().toRotationMatrix();
}

Eigen::Vector3d Position(const geometry_msgs::msg::Pose & pose)
{
  return {pose.position.x, pose.position.y, pose.position.z};
}

Eigen::Vector4d Coefficients(const geometry_msgs::msg::Quaternion & q)
{
  return {q.x, q.y, q.z, q.w};
}

Eigen::Isometry3d Transform(const geometry_msgs::msg::Pose & pose)
{
  Eigen::Isometry3d t = Eigen::Isometry3d::Identity();
  t.linear() = Rotation(pose);
  t.translation() = Position(pose);
  return t;
}

// Files below `dir` whose names match `pattern`.
std::vector<std::string> Matching(const fs::path & dir, const std::string & pattern)
{
  std::vector<std::string> found;
  if (!fs::exists(dir)) {
    return found;
  }
  const std::regex re(pattern);
  for (const auto & entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && std::regex_match(entry.path().filename().string(), re)) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

class CameraPipelineTest : public ::testing::Test
{
protected:
  SyntheticScene Prepare(const std::vector<SceneObject> & objects)
  {
    return velmora_test::WriteScene(prefix_, objects);
  }

  std::optional<NodeHarness::DetectTrash::Response> Answer(const SyntheticScene & scene)
  {
    return harness_->CallStreaming(
      2, NodeHarness::RgbMessage(scene.colour), NodeHarness::DepthMessage(scene.depth));
  }

  void Start() {harness_ = std::make_unique<NodeHarness>(prefix_);}
  void TearDown() override {harness_.reset();}

  fs::path DataRoot() const {return fs::path(prefix_.root()) / "data";}

  ConfigPrefix prefix_;
  std::unique_ptr<NodeHarness> harness_;
};

TEST_F(CameraPipelineTest, FloorSceneAnswersGrabPosesInTrashOrder)
{
  const auto objects = velmora_test::StandardSceneObjects();
  const SyntheticScene scene = Prepare(objects);
  Start();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const auto answer = Answer(scene);
  const std::string program_log = testing::internal::GetCapturedStdout();
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->detected_cam, 1);  // cam_num 1 answers slot 2 as camera 1
  // The edge paper is dropped; the bench is no trash: bottle, can, transparent bottle, paper.
  ASSERT_EQ(answer->trash_infos.size(), 4U) << log;
  EXPECT_NE(log.find("this obj is at the edge of the image"), std::string::npos);
  const TrashGrabInfo & bottle = answer->trash_infos[0];
  const TrashGrabInfo & can = answer->trash_infos[1];
  const TrashGrabInfo & glass = answer->trash_infos[2];
  const TrashGrabInfo & paper = answer->trash_infos[3];
  EXPECT_EQ(bottle.trash_type, 3);
  EXPECT_EQ(can.trash_type, 2);  // detected as a mask
  EXPECT_EQ(glass.trash_type, 3);
  EXPECT_EQ(paper.trash_type, 1);
  for (const auto & info : answer->trash_infos) {
    EXPECT_EQ(info.reserved, 0);
  }

  // Lying bottle: top-down grasp (tool z straight down), the tool's x axis
  // along the bottle's long side, which is turned 30 degrees.
  EXPECT_EQ(bottle.main_axis_type, 1);
  const Eigen::Matrix3d bottle_r = Rotation(bottle.grab_pose);
  EXPECT_LT(bottle_r.col(2).z(), -0.9999);
  const Eigen::Vector3d long_side(std::cos(30.0 * kPi / 180.0), std::sin(30.0 * kPi / 180.0), 0.0);
  EXPECT_GT(std::abs(bottle_r.col(0).dot(long_side)), std::cos(2.0 * kPi / 180.0));
  // The grab point lies over the bottle: the visible half of a 6.5 cm
  // cylinder-like box shifts the centroid by at most half its width.
  const Eigen::Vector3d bottle_p = Position(bottle.grab_pose);
  EXPECT_LT((bottle_p.head<2>() - objects[0].box.centre.head<2>()).norm(), 0.033);
  EXPECT_GE(bottle_p.z(), -0.176 - 1e-6);
  EXPECT_LE(bottle_p.z(), -0.176 + 0.065);
  EXPECT_NEAR(bottle.obb_size.x, 0.20, 0.01);   // major extent: the bottle's length

  // Upright can seen 45 degrees from above: its visible top and front make an
  // L whose principal axis is steep but not vertical (class 4, between 45 and
  // 75 degrees): sideways grasp, tool z horizontal and facing away from the base.
  EXPECT_EQ(can.main_axis_type, 4);
  const Eigen::Matrix3d can_r = Rotation(can.grab_pose);
  const Eigen::Vector3d can_p = Position(can.grab_pose);
  EXPECT_NEAR(can_r.col(2).z(), 0.0, 1e-6);
  EXPECT_GT(can_r.col(2).head<2>().normalized().dot(can_p.head<2>().normalized()), 0.9999);
  EXPECT_LT((can_p.head<2>() - objects[1].box.centre.head<2>()).norm(), 0.05);
  EXPECT_NEAR(can.obb_size.x, 0.12, 0.03);

  // Transparent bottle: half of its depth is missing and it is tall, so the
  // transparent routine answers: box at the grab point, size (3.6 w, w, w).
  EXPECT_NE(program_log.find("null_count/mask_points.size: 0.50"), std::string::npos);
  EXPECT_DOUBLE_EQ(glass.obb_pose.position.x, 0.0);
  EXPECT_DOUBLE_EQ(glass.obb_pose.orientation.w, 1.0);
  EXPECT_NEAR(glass.obb_size.x, 2.0 * 1.8 * glass.obb_size.y, 1e-6);
  EXPECT_DOUBLE_EQ(glass.obb_size.y, glass.obb_size.z);
  EXPECT_NEAR(glass.obb_size.y, 0.07, 0.015);
  const Eigen::Matrix3d glass_r = Rotation(glass.grab_pose);
  EXPECT_NEAR(glass_r.col(2).z(), 0.0, 1e-6);

  // Paper on the bench: its grab point is at bench height.
  EXPECT_NEAR(paper.grab_pose.position.z, -0.176 + 0.10, 0.02);
}

TEST_F(CameraPipelineTest, WhitelistAcceptsTheBenchAndTheFloorButNotAnUnknownTable)
{
  auto objects = velmora_test::StandardSceneObjects();
  prefix_.Set(kCam2, kParams, "is_enable_semantic", "true");
  objects[4].detected = false;     // the bench is there, but the model does not see it
  const SyntheticScene scene = Prepare(objects);
  Start();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  auto answer = Answer(scene);
  const std::string program_log = testing::internal::GetCapturedStdout();
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  // On the floor: accepted; on an undetected table 10 cm up: refused by the floor rule.
  EXPECT_EQ(answer->trash_infos.size(), 3U) << log;
  EXPECT_NE(log.find("不在白名单位置处，忽略"), std::string::npos);
  EXPECT_NE(program_log.find("no base waiting detected"), std::string::npos);
  harness_.reset();

  objects[4].detected = true;      // now the bench is detected: the paper is above it
  const SyntheticScene with_bench = Prepare(objects);
  Start();
  testing::internal::CaptureStderr();
  answer = Answer(with_bench);
  log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->trash_infos.size(), 4U) << log;
  EXPECT_NE(log.find("is above obstacle=waiting"), std::string::npos) << log;
  EXPECT_NE(log.find("base_or_waiting, class_name=waiting"), std::string::npos);
}

TEST_F(CameraPipelineTest, TooFewPointsSkipsAnObjectAndTheNextKeepsItsIndexInLogAndArchive)
{
  std::vector<SceneObject> objects(2);
  // A 1.5 cm cube gives fewer raw points than the minimum, raised here to 400.
  objects[0].box = {"pebble", 0, {-0.55, 0.05, -0.176 + 0.0075}, {0.015, 0.015, 0.015}, 0.0};
  objects[0].score = 0.99F;
  objects[1] = velmora_test::StandardSceneObjects()[0];
  prefix_.Set(kCam2, kParams, "min_trash_cloud_size_treshold", "400");
  prefix_.Set(kCam2, kParams, "is_debug", "true");
  const SyntheticScene scene = Prepare(objects);
  Start();
  testing::internal::CaptureStderr();
  const auto answer = Answer(scene);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->trash_infos.size(), 1U) << log;
  EXPECT_EQ(answer->trash_infos[0].main_axis_type, 1);
  EXPECT_NE(log.find("cam_2垃圾序号[0]原始点云数量太少，请重新检测！"), std::string::npos) << log;
  EXPECT_NE(log.find("cam_2垃圾序号[1]在白名单位置处，需要抓取"), std::string::npos) << log;

  // Archive: stems of the shipped pose file below the data root; object 0 has
  // masks but no clouds, object 1 has all three clouds.
  const std::string stamp = R"(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d)";
  const fs::path archive = DataRoot();
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[initial\]\.jpg)").size(), 1U);
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[detected\]\.jpg)").size(), 1U);
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[0\]\[mask\]\[initial\]\.jpg)").size(), 1U);
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[0\]\[mask\]\[eroded\]\.jpg)").size(), 1U);
  EXPECT_TRUE(Matching(archive, R"(.*\[0\]\[initial\]\.ply)").empty());
  for (const char * kind : {"initial", "transformed", "processed"}) {
    const auto files = Matching(archive, ".*" + stamp + R"(\[1\]\[)" + kind + R"(\]\.ply)");
    ASSERT_EQ(files.size(), 1U) << kind;
    std::ifstream ply(files[0]);
    std::string first;
    std::getline(ply, first);
    EXPECT_EQ(first, "ply");
    std::string header((std::istreambuf_iterator<char>(ply)), std::istreambuf_iterator<char>());
    EXPECT_NE(header.find("format ascii 1.0"), std::string::npos);
    EXPECT_NE(header.find("element camera 1"), std::string::npos);
  }
  // The lossless depth and the pass pictures sit beside them.
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[depth\]\.png)").size(), 1U);
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[pass\]\.png)").size(), 1U);
  EXPECT_EQ(Matching(archive, ".*" + stamp + R"(\[top\]\.png)").size(), 1U);
}

TEST_F(CameraPipelineTest, NoTrashSavesTheMissedDetectionImageAndAnswersNothing)
{
  auto objects = velmora_test::StandardSceneObjects();
  std::vector<SceneObject> bench_only = {objects[4]};
  const SyntheticScene scene = Prepare(bench_only);
  Start();
  testing::internal::CaptureStderr();
  const auto answer = Answer(scene);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->detected_cam, 0);
  EXPECT_TRUE(answer->trash_infos.empty());
  EXPECT_NE(log.find("No trash object detected !"), std::string::npos);
  const auto missed = Matching(
    DataRoot() / "mising_detect", R"(.*\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d\.jpg)");
  EXPECT_GE(missed.size(), 1U);
}

// Records what a topic received. The executor may still be running a callback when
// the recorder goes out of scope, so the callback owns the state it writes to.
template<typename MessageT>
class Recorder
{
public:
  Recorder(const rclcpp::Node::SharedPtr & node, const std::string & topic, const rclcpp::QoS & qos)
  : state_(std::make_shared<State>())
  {
    subscription_ = node->create_subscription<MessageT>(
      topic, qos, [state = state_](const typename MessageT::ConstSharedPtr msg) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->messages.push_back(*msg);
        state->received.notify_all();
      });
  }
  std::vector<MessageT> Take() const
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->messages;
  }
  // True once `count` messages have arrived, false at the deadline.
  bool WaitFor(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(30))
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->received.wait_for(
      lock, timeout, [&] {return state_->messages.size() >= count;});
  }

private:
  struct State
  {
    std::mutex mutex;
    std::condition_variable received;
    std::vector<MessageT> messages;
  };
  std::shared_ptr<State> state_;
  typename rclcpp::Subscription<MessageT>::SharedPtr subscription_;
};

TEST_F(CameraPipelineTest, DebugModePublishesCloudsTransformsAndMarkers)
{
  prefix_.Set(kCam2, kParams, "is_debug", "true");
  prefix_.Set(kCam2, kParams, "cam_id", "12");
  const auto objects = velmora_test::StandardSceneObjects();
  const SyntheticScene scene = Prepare(objects);
  Start();
  auto node = harness_->test_node();
  Recorder<sensor_msgs::msg::PointCloud2> processed(node,
    "/velmoraplus_trash_pose/cam2_trashes_cloud", rclcpp::QoS(10));
  Recorder<sensor_msgs::msg::PointCloud2> initial(node,
    "/velmoraplus_trash_pose/cam12_trashes_init_cloud", rclcpp::QoS(10));
  Recorder<visualization_msgs::msg::MarkerArray> boxes(node,
    "/velmoraplus_trash_pose/cam12_trash_obb_markers", rclcpp::QoS(10));
  Recorder<visualization_msgs::msg::MarkerArray> axes(node,
    "/velmoraplus_trash_pose/cam12_trash_pose", rclcpp::QoS(10));
  const auto answer = Answer(scene);
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->trash_infos.size(), 4U);
  // Published before the answer; on their way to this node.
  ASSERT_TRUE(processed.WaitFor(1));
  ASSERT_TRUE(initial.WaitFor(1));
  ASSERT_TRUE(boxes.WaitFor(1));
  ASSERT_TRUE(axes.WaitFor(1));

  // A late subscriber of /tf_static gets every grab transform: the grab poses.
  Recorder<tf2_msgs::msg::TFMessage> tf(node, "/tf_static", rclcpp::QoS(1).transient_local());
  ASSERT_TRUE(tf.WaitFor(1));
  const auto tf_messages = tf.Take();
  ASSERT_FALSE(tf_messages.empty());
  std::map<std::string, geometry_msgs::msg::TransformStamped> children;
  for (const auto & t : tf_messages.back().transforms) {
    EXPECT_EQ(t.header.frame_id, "arm_base");
    children[t.child_frame_id] = t;
  }
  ASSERT_EQ(children.size(), 4U);
  for (std::size_t n = 0; n < 4; ++n) {
    const auto & t = children["cam_12_trash_pose_" + std::to_string(n + 1)].transform;
    const auto & grab = answer->trash_infos[n].grab_pose;
    EXPECT_EQ(Eigen::Vector3d(t.translation.x, t.translation.y, t.translation.z), Position(grab));
    EXPECT_EQ(Coefficients(t.rotation), Coefficients(grab.orientation));
  }

  const auto processed_msgs = processed.Take();
  const auto initial_msgs = initial.Take();
  ASSERT_FALSE(processed_msgs.empty());
  ASSERT_FALSE(initial_msgs.empty());
  EXPECT_EQ(processed_msgs.back().header.frame_id, "arm_base");
  EXPECT_EQ(processed_msgs.back().height, 1U);
  // Filtering only removes points.
  EXPECT_GT(initial_msgs.back().width, processed_msgs.back().width);

  const auto box_msgs = boxes.Take();
  ASSERT_FALSE(box_msgs.empty());
  ASSERT_EQ(box_msgs.back().markers.size(), 4U);
  for (std::size_t j = 0; j < 4; ++j) {
    const auto & marker = box_msgs.back().markers[j];
    const TrashGrabInfo & info = answer->trash_infos[j];
    EXPECT_EQ(marker.ns, "cam_12_trash_obb");
    EXPECT_EQ(marker.id, static_cast<int>(j));
    EXPECT_EQ(marker.type, visualization_msgs::msg::Marker::CUBE);
    EXPECT_EQ(marker.lifetime.sec, 10);
    EXPECT_FLOAT_EQ(marker.color.a, 0.36F);
    EXPECT_DOUBLE_EQ(marker.scale.x, info.obb_size.x);
    // The cube is the box in the base frame: the box pose taken in the grab frame.
    const Eigen::Isometry3d cube = Transform(info.grab_pose) * Transform(info.obb_pose);
    EXPECT_LT((Position(marker.pose) - cube.translation()).norm(), 1e-6) << "piece " << j;
    EXPECT_LT((Rotation(marker.pose) - cube.linear()).norm(), 1e-6) << "piece " << j;
  }
  // The lying bottle's box is off and turned against its grab pose; its cube lies
  // on the bottle, along its long side.
  const auto & bottle_box = answer->trash_infos[0].obb_pose;
  EXPECT_GT(Position(bottle_box).norm(), 0.005);
  EXPECT_GT(Eigen::AngleAxisd(Rotation(bottle_box)).angle(), 0.5);
  const auto & bottle_cube = box_msgs.back().markers[0].pose;
  EXPECT_LT((Position(bottle_cube) - objects[0].box.centre).head<2>().norm(), 0.035);
  const Eigen::Vector3d long_side(std::cos(30.0 * kPi / 180.0), std::sin(30.0 * kPi / 180.0), 0.0);
  EXPECT_GT(std::abs(Rotation(bottle_cube).col(0).dot(long_side)), std::cos(10.0 * kPi / 180.0));
  const auto axis_msgs = axes.Take();
  ASSERT_FALSE(axis_msgs.empty());
  ASSERT_EQ(axis_msgs.back().markers.size(), 8U);
  EXPECT_EQ(axis_msgs.back().markers[0].ns, "trash_pose_x");
  EXPECT_EQ(axis_msgs.back().markers[1].ns, "trash_pose_z");
  EXPECT_EQ(Position(axis_msgs.back().markers[0].pose), Position(answer->trash_infos[0].grab_pose));
  EXPECT_EQ(
    Coefficients(axis_msgs.back().markers[0].pose.orientation),
    Coefficients(answer->trash_infos[0].grab_pose.orientation));
  // The z arrow points along the grab frame's z axis: straight down for the lying bottle.
  const Eigen::Matrix3d z_arrow = Rotation(axis_msgs.back().markers[1].pose);
  EXPECT_LT(z_arrow.col(0).z(), -0.9999);
}

TEST_F(CameraPipelineTest, NothingIsPublishedWithoutDebugOrContinuousMode)
{
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  Start();
  auto node = harness_->test_node();
  const std::string cam = "/velmoraplus_trash_pose/cam2";
  Recorder<sensor_msgs::msg::PointCloud2> processed(node, cam + "_trashes_cloud", rclcpp::QoS(10));
  Recorder<sensor_msgs::msg::PointCloud2> initial(node, cam + "_trashes_init_cloud",
    rclcpp::QoS(10));
  Recorder<visualization_msgs::msg::MarkerArray> boxes(node, cam + "_trash_obb_markers",
    rclcpp::QoS(10));
  Recorder<visualization_msgs::msg::MarkerArray> axes(node, cam + "_trash_pose", rclcpp::QoS(10));
  Recorder<tf2_msgs::msg::TFMessage> tf(node, "/tf_static", rclcpp::QoS(10).transient_local());
  Recorder<sensor_msgs::msg::Image> detected(node, cam + "_detected_image", rclcpp::QoS(10));
  const auto answer = Answer(scene);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->trash_infos.size(), 4U);
  // A second pass: what the first published, it published before the second's
  // annotated image, its first message.
  ASSERT_TRUE(Answer(scene).has_value());
  ASSERT_TRUE(detected.WaitFor(2));
  EXPECT_TRUE(processed.Take().empty());
  EXPECT_TRUE(initial.Take().empty());
  EXPECT_TRUE(boxes.Take().empty());
  EXPECT_TRUE(axes.Take().empty());
  EXPECT_TRUE(tf.Take().empty());
  // The annotated image is always published.
  const auto images = detected.Take();
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(images.back().encoding, "rgb8");
  EXPECT_EQ(images.back().header.frame_id, "");
  EXPECT_TRUE(Matching(DataRoot(), R"(.*\.ply)").empty());
}

TEST_F(CameraPipelineTest, BadFramesAreDroppedWithOneErrorAndTheNextGoodPairIsAnswered)
{
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  Start();
  const auto good_rgb = NodeHarness::RgbMessage(scene.colour);
  const auto good_depth = NodeHarness::DepthMessage(scene.depth);

  struct BadCase
  {
    std::string name;
    NodeHarness::Image rgb;
    NodeHarness::Image depth;
    std::string error;
  };
  std::vector<BadCase> cases;
  {
    auto depth = good_depth;
    depth.encoding = "32FC1";
    cases.push_back({"float depth", good_rgb, depth, "depth encoding \"32FC1\" is not 16-bit"});
  }
  {
    auto depth = good_depth;
    depth.data.resize(depth.data.size() / 2);
    cases.push_back({"short depth data", good_rgb, depth, "step x height needs"});
  }
  {
    auto depth = good_depth;
    depth.step = depth.width;  // smaller than a row of 16-bit pixels
    cases.push_back({"short step", good_rgb, depth, "is shorter than a row"});
  }
  {
    auto depth = good_depth;
    depth.width = 0;
    cases.push_back({"zero width", good_rgb, depth, "depth image is empty"});
  }
  {
    auto depth = good_depth;
    depth.height = 1000000;
    cases.push_back({"huge declared size", good_rgb, depth, "step x height needs"});
  }
  {
    cv::Mat small;
    cv::resize(scene.depth, small, cv::Size(320, 240), 0, 0, cv::INTER_NEAREST);
    cases.push_back({"sizes differ", good_rgb, NodeHarness::DepthMessage(small), "differ in size"});
  }
  {
    auto rgb = good_rgb;
    rgb.encoding = "32FC1";
    cases.push_back(
      {"colour that cannot become rgb8", rgb, good_depth,
        "cam_2 detection pass dropped"});
  }

  for (const auto & c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    const auto bad = harness_->CallStreaming(2, c.rgb, c.depth);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(bad.has_value());
    EXPECT_EQ(bad->detected_cam, 0);
    EXPECT_TRUE(bad->trash_infos.empty());
    EXPECT_NE(log.find("[ERROR]"), std::string::npos) << log;
    EXPECT_NE(log.find("cam_2"), std::string::npos);
    EXPECT_NE(log.find(c.error), std::string::npos) << log;

    const auto good = harness_->CallStreaming(2, good_rgb, good_depth);
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->trash_infos.size(), 4U);
  }
}

void ExpectSameAnswer(const TrashGrabInfo & a, const TrashGrabInfo & b)
{
  EXPECT_EQ(a.trash_type, b.trash_type);
  EXPECT_EQ(a.main_axis_type, b.main_axis_type);
  EXPECT_EQ(Position(a.grab_pose), Position(b.grab_pose));
  EXPECT_EQ(Coefficients(a.grab_pose.orientation), Coefficients(b.grab_pose.orientation));
  EXPECT_EQ(Position(a.obb_pose), Position(b.obb_pose));
  EXPECT_EQ(Coefficients(a.obb_pose.orientation), Coefficients(b.obb_pose.orientation));
  EXPECT_EQ(a.obb_size, b.obb_size);
  // Any field the lines above miss.
  EXPECT_TRUE(a == b);
}

TEST_F(CameraPipelineTest, DebugModeAnswersAsWithoutItAlsoForADepthImageWithAnOddRowStep)
{
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  // Rows 2 x width + 1 bytes apart: a legal depth message the node reads correctly.
  NodeHarness::Image depth = NodeHarness::DepthMessage(scene.depth);
  const std::size_t row = depth.step;
  depth.step = static_cast<std::uint32_t>(row + 1);
  depth.data.assign(static_cast<std::size_t>(depth.step) * depth.height, 0xAB);
  for (std::size_t v = 0; v < depth.height; ++v) {
    std::copy_n(
      scene.depth.ptr<std::uint8_t>(static_cast<int>(v)), row,
      depth.data.begin() + v * depth.step);
  }
  const auto rgb = NodeHarness::RgbMessage(scene.colour);
  Start();
  const auto plain = harness_->CallStreaming(2, rgb, depth);
  ASSERT_TRUE(plain.has_value());
  ASSERT_EQ(plain->trash_infos.size(), 4U);
  harness_.reset();

  prefix_.Set(kCam2, kParams, "is_debug", "true");
  Start();
  testing::internal::CaptureStderr();
  const auto debug = harness_->CallStreaming(2, rgb, depth);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(debug.has_value());
  ASSERT_EQ(debug->trash_infos.size(), 4U) << log;
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE("piece " + std::to_string(i));
    ExpectSameAnswer(debug->trash_infos[i], plain->trash_infos[i]);
  }
  EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;
  // The archived depth is the image itself, without the row padding.
  const auto archived = Matching(DataRoot(), R"(.*\[depth\]\.png)");
  ASSERT_EQ(archived.size(), 1U);
  const cv::Mat read = cv::imread(archived[0], cv::IMREAD_UNCHANGED);
  ASSERT_EQ(read.type(), CV_16UC1);
  EXPECT_EQ(cv::countNonZero(read != scene.depth), 0);
}

TEST_F(CameraPipelineTest, AnArchiveThatCannotBeWrittenIsOneErrorLineAndCostsNoGrab)
{
  prefix_.Set(kCam2, kParams, "is_debug", "true");
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  Start();
  // The archive folder is replaced by a file under the running node.
  const fs::path folder = DataRoot() / "bottle";
  fs::remove_all(folder);
  std::ofstream(folder) << "not a folder";
  testing::internal::CaptureStderr();
  const auto answer = Answer(scene);
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->trash_infos.size(), 4U) << log;
  const auto errors = velmora_test::LinesContaining(velmora_test::SplitLines(log), "[ERROR]");
  ASSERT_EQ(errors.size(), 1U) << log;
  EXPECT_NE(
    errors[0].find(
      "cam_2 debug archive incomplete, not written: [depth].png, "
      "[detections].yaml, [pass].png, [top].png"), std::string::npos) << errors[0];

  // The folder is back: the next frame is answered and archived whole.
  fs::remove(folder);
  fs::create_directories(folder);
  testing::internal::CaptureStderr();
  const auto next = Answer(scene);
  const std::string next_log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->trash_infos.size(), 4U);
  EXPECT_EQ(next_log.find("[ERROR]"), std::string::npos) << next_log;
  EXPECT_EQ(Matching(folder, R"(.*\[depth\]\.png)").size(), 1U);
}

std::string LocalStamp(std::chrono::system_clock::time_point when)
{
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  return std::string(text, std::strftime(text, sizeof(text), "%Y-%m-%d-%H-%M-%S", &local));
}

// An earlier pass of `stem` that wrote each of `tails` in every second of the
// next minute and a half; returns the files, each holding "earlier pass".
std::vector<std::string> WriteEarlierPass(
  const std::string & stem, const std::vector<std::string> & tails)
{
  const auto now = std::chrono::system_clock::now();
  std::vector<std::string> files;
  for (int second = -2; second < 90; ++second) {
    const std::string stamp = LocalStamp(now + std::chrono::seconds(second));
    for (const auto & tail : tails) {
      files.push_back(stem + stamp + tail);
      std::ofstream(files.back()) << "earlier pass";
    }
  }
  return files;
}

TEST_F(CameraPipelineTest, TheArchiveNeverOverwritesAFileOfTheSameSecond)
{
  prefix_.Set(kCam2, kParams, "is_debug", "true");
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  Start();
  // Another pass with the same stem already wrote every name of the next minute.
  const fs::path folder = DataRoot() / "bottle";
  const std::string stem = (folder / "bottlep1_a").string();
  const std::vector<std::string> decoys = WriteEarlierPass(
    stem, {"[initial].jpg",
      "[detected].jpg", "[0][mask][initial].jpg", "[0][initial].ply", "[3][processed].ply",
      "[depth].png", "[detections].yaml", "[det0][mask].png", "[pass].png", "[top].png"});
  const auto answer = Answer(scene);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->trash_infos.size(), 4U);
  for (const auto & decoy : decoys) {
    EXPECT_EQ(velmora_test::ReadText(decoy), "earlier pass") << decoy;
  }

  // The pass's own files took the next number; its extras share the stamp of
  // its "[initial].jpg", so the replay finds them together.
  const std::string numbered = R"(bottlep1_a\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d_2)";
  const auto initial = Matching(folder, numbered + R"(\[initial\]\.jpg)");
  ASSERT_EQ(initial.size(), 1U);
  const std::string pass_stem = initial[0].substr(
    0, initial[0].size() - std::string(
      "[initial].jpg").size());
  for (const char * tail : {"[depth].png", "[detections].yaml", "[pass].png", "[top].png"}) {
    EXPECT_TRUE(fs::exists(pass_stem + tail)) << tail;
  }
  EXPECT_EQ(Matching(folder, numbered + R"(\[3\]\[processed\]\.ply)").size(), 1U);
  // The recording names the masks it wrote.
  const YAML::Node recording = YAML::LoadFile(pass_stem + "[detections].yaml");
  const YAML::Node objects = recording["frames"][0]["objects"];
  ASSERT_GE(objects.size(), 4U);
  for (const auto & object : objects) {
    const fs::path mask = folder / object["mask"].as<std::string>();
    EXPECT_TRUE(fs::exists(mask)) << mask;
    EXPECT_NE(velmora_test::ReadText(mask.string()), "earlier pass") << mask;
  }
}

TEST_F(CameraPipelineTest, ThreeCamerasSharingAStemEachGetOneStampForAllTheFilesOfTheirPass)
{
  // The shipped configuration: three cameras with one trash code, all in debug
  // mode, answering one request in parallel.
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  for (const int slot : {1, 2, 3}) {
    const std::string cam = "cam" + std::to_string(slot) + "_detect_config.yaml";
    for (const char * key : {"pose_estimate_config_file", "model_cfg_file", "detect_duration"}) {
      prefix_.Set(cam, kParams, key, prefix_.Load(kCam2)[kParams][key].as<std::string>());
    }
    prefix_.Set(cam, kParams, "is_debug", "true");
  }
  prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "3");
  Start();
  // An earlier pass of the same stem wrote its "[initial].jpg" in every second
  // of the next minute and a half: each pass must move on to a numbered stamp.
  const fs::path folder = DataRoot() / "bottle";
  const std::string stem = (folder / "bottlep1_a").string();
  const std::vector<std::string> decoys = WriteEarlierPass(stem, {"[initial].jpg"});
  std::atomic<bool> answered{false};
  std::thread camera_driver([&] {
      while (!answered) {
        for (const int slot : {1, 2, 3}) {
          harness_->Publish(
            slot, NodeHarness::RgbMessage(scene.colour), NodeHarness::DepthMessage(scene.depth));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  const auto answer = harness_->Call();
  answered = true;
  camera_driver.join();
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->trash_infos.size(), 4U);
  // Wait for the extras, written after the answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Matching(folder, R"(.*\[top\]\.png)").size() < 3U &&
    std::chrono::steady_clock::now() < deadline)
  {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto & decoy : decoys) {
    EXPECT_EQ(velmora_test::ReadText(decoy), "earlier pass") << decoy;
  }

  // Every file of the folder, grouped by the stamp between stem and tail.
  const std::regex name(R"(bottlep1_a(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d(?:_\d+)?)(\[.*))");
  std::map<std::string, std::multiset<std::string>> passes;
  for (const auto & entry : fs::directory_iterator(folder)) {
    std::smatch m;
    const std::string file = entry.path().filename().string();
    ASSERT_TRUE(std::regex_match(file, m, name)) << file;
    if (std::find(decoys.begin(), decoys.end(), entry.path().string()) == decoys.end()) {
      passes[m[1]].insert(m[2]);
    }
  }
  // Three passes, three stamps; each holds exactly the files of one pass: the
  // two pictures, four objects' masks (the edge paper is no trash object), the
  // clouds of the accepted pieces and the extras, each name once.
  ASSERT_EQ(passes.size(), 3U);
  for (const auto & [stamp, tails] : passes) {
    SCOPED_TRACE(stamp);
    EXPECT_NE(stamp.find('_'), std::string::npos);
    for (const std::string tail : {"[initial].jpg", "[detected].jpg", "[depth].png",
        "[detections].yaml", "[pass].png", "[top].png"})
    {
      EXPECT_EQ(tails.count(tail), 1U) << tail;
    }
    for (int i = 0; i < 4; ++i) {
      const std::string tag = "[" + std::to_string(i) + "]";
      EXPECT_EQ(tails.count(tag + "[mask][initial].jpg"), 1U) << tag;
      EXPECT_EQ(tails.count(tag + "[mask][eroded].jpg"), 1U) << tag;
      EXPECT_EQ(tails.count(tag + "[processed].ply"), 1U) << tag;
    }
    for (const auto & tail : tails) {
      EXPECT_EQ(tails.count(tail), 1U) << tail;
    }
  }
}

TEST_F(CameraPipelineTest, ContinuousModeWhileTheServiceCopiesNeverGivesAPartialList)
{
  prefix_.Set(kCam2, kParams, "is_realtime_estimate", "true");
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  Start();
  const auto rgb = NodeHarness::RgbMessage(scene.colour);
  const auto depth = NodeHarness::DepthMessage(scene.depth);
  std::atomic<bool> streaming{true};
  std::thread camera([&]() {
      while (streaming) {
        harness_->Publish(2, rgb, depth);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  for (int call = 0; call < 8; ++call) {
    const auto answer = harness_->Call();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->trash_infos.size(), 4U) << "call " << call;
  }
  streaming = false;
  camera.join();
}

TEST_F(CameraPipelineTest, TopicsHaveTheirTypesDepthReliabilityAndDurability)
{
  prefix_.Set(kCam2, kParams, "cam_id", "12");
  Start();
  struct Endpoint
  {
    std::string topic;
    std::string type;
    std::size_t depth;
    rclcpp::DurabilityPolicy durability;
  };
  const auto volatile_ = rclcpp::DurabilityPolicy::Volatile;
  const std::string cam = "/velmoraplus_trash_pose/cam";
  const std::vector<Endpoint> published = {
    {cam + "2_detected_image", "sensor_msgs/msg/Image", 1, volatile_},
    {cam + "2_trashes_cloud", "sensor_msgs/msg/PointCloud2", 1, volatile_},
    {cam + "12_trashes_init_cloud", "sensor_msgs/msg/PointCloud2", 1, volatile_},
    {cam + "12_trash_obb_markers", "visualization_msgs/msg/MarkerArray", 1, volatile_},
    {cam + "12_trash_pose", "visualization_msgs/msg/MarkerArray", 1, volatile_},
    {"/tf_static", "tf2_msgs/msg/TFMessage", 1, rclcpp::DurabilityPolicy::TransientLocal},
  };
  const auto & camera = harness_->detection().camera(2);
  const std::vector<Endpoint> subscribed = {
    {camera->rgb_topic(), "sensor_msgs/msg/Image", 10, volatile_},
    {camera->depth_topic(), "sensor_msgs/msg/Image", 10, volatile_},
  };
  // The camera node's one endpoint on the topic, as `ros2 topic info -v` shows it.
  const auto check = [](const std::vector<rclcpp::TopicEndpointInfo> & infos, const Endpoint & e) {
      SCOPED_TRACE(e.topic);
      std::vector<rclcpp::TopicEndpointInfo> own;
      std::copy_if(
        infos.begin(), infos.end(), std::back_inserter(own), [](const auto & info) {
          return info.node_name() == "velmoraplus_trash_pose_cam2";
        });
      ASSERT_EQ(own.size(), 1U);
      EXPECT_EQ(own[0].topic_type(), e.type);
      const rclcpp::QoS & qos = own[0].qos_profile();
      EXPECT_EQ(qos.history(), rclcpp::HistoryPolicy::KeepLast);
      EXPECT_EQ(qos.depth(), e.depth);
      EXPECT_EQ(qos.reliability(), rclcpp::ReliabilityPolicy::Reliable);
      EXPECT_EQ(qos.durability(), e.durability);
    };
  const auto node = harness_->test_node();
  for (const auto & e : published) {
    check(node->get_publishers_info_by_topic(e.topic), e);
  }
  for (const auto & e : subscribed) {
    check(node->get_subscriptions_info_by_topic(e.topic), e);
  }
}

TEST_F(CameraPipelineTest, PassesRunOnRequestOrContinuouslyWithTheThrottleBetween)
{
  const SyntheticScene scene = Prepare(velmora_test::StandardSceneObjects());
  const auto rgb = NodeHarness::RgbMessage(scene.colour);
  const auto depth = NodeHarness::DepthMessage(scene.depth);
  const std::string topic = "/velmoraplus_trash_pose/cam2_detected_image";
  // Every pass publishes one annotated image: they count the passes.
  {
    // On request, with 200 ms of throttle: after the start-up pass, pairs without
    // a request are dropped, and a request runs one pass.
    prefix_.Set(kCam2, kParams, "detect_duration", "200");
    Start();
    Recorder<sensor_msgs::msg::Image> passes(harness_->test_node(), topic, rclcpp::QoS(100));
    harness_->Publish(2, rgb, depth);
    ASSERT_TRUE(passes.WaitFor(1));
    std::int64_t last = 0;
    for (int i = 0; i < 10; ++i) {
      last = harness_->Publish(2, rgb, depth);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    // Once the camera has taken the last pair, every earlier one was taken or dropped.
    ASSERT_TRUE(harness_->WaitForPairTaken(2, last, std::chrono::seconds(30)));
    EXPECT_EQ(passes.Take().size(), 1U);
    const auto answer = Answer(scene);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->trash_infos.size(), 4U);
    // The pass's annotated image reaches the recorder after the answer, not with it.
    ASSERT_TRUE(passes.WaitFor(2));
    EXPECT_EQ(passes.Take().size(), 2U);
    harness_.reset();
  }
  // Continuous mode: a pass on every pair the camera takes, but each is followed by
  // 500 ms of throttle, so passes start at least 500 ms apart.
  prefix_.Set(kCam2, kParams, "is_realtime_estimate", "true");
  prefix_.Set(kCam2, kParams, "detect_duration", "500");
  Start();
  Recorder<sensor_msgs::msg::Image> passes(harness_->test_node(), topic, rclcpp::QoS(100));
  const auto begin = std::chrono::steady_clock::now();
  // 1.5 s of pairs at 50 Hz, and on until the first pass has shown (a loaded
  // machine or a sanitizer build can take longer than that to start one).
  const auto give_up = begin + std::chrono::seconds(60);
  for (int i = 0; i < 75 || (passes.Take().empty() && std::chrono::steady_clock::now() < give_up);
    ++i)
  {
    harness_->Publish(2, rgb, depth);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::size_t count = passes.Take().size();
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(count, 1U);
  EXPECT_LE(count, static_cast<std::size_t>(elapsed / std::chrono::milliseconds(500)) + 1);
}

// A detection of `label` whose mask fills its box (integer corners) in a 640 x 480 image.
det::Object Detection(int label, const cv::Rect_<float> & rect)
{
  det::Object object;
  object.label = label;
  object.rect = rect;
  object.score = 0.9F;
  object.mask_box = det::covering_pixels(rect, {640, 480});
  object.mask = cv::Mat(object.mask_box.size(), CV_8UC1, cv::Scalar(0));
  const cv::Rect filled = cv::Rect(
    static_cast<int>(rect.x), static_cast<int>(rect.y),
    static_cast<int>(rect.width), static_cast<int>(rect.height)) & object.mask_box;
  object.mask(filled - object.mask_box.tl()) = 1;
  return object;
}

TEST_F(CameraPipelineTest, SelectionRulesAtTheirBoundaries)
{
  prefix_.Set("class_height_conf.yaml", "", "paper", "0.25");
  prefix_.Set("class_height_conf.yaml", "", "other", "0.5");
  prefix_.Set(kCam2, kParams, "trash_mask_iou_v1", "0.5");
  Start();
  const auto & camera = harness_->detection().camera(2);

  // Edge rule: 5 px threshold, 640 px width, corners truncated; the bottom is free.
  const std::vector<det::Object> objects = {
    Detection(0, {5.0F, 5.0F, 50, 50}),          // on the threshold: kept
    Detection(0, {4.9F, 100, 50, 50}),           // x 4
    Detection(4, {100, 4.0F, 50, 50}),           // y 4
    Detection(4, {535.0F, 100, 100.9F, 50}),     // x + w = 635 = 640 - 5: kept
    Detection(4, {536.0F, 100, 100, 50}),        // 636
    Detection(1, {100, 400, 50, 200}),           // a mask past the bottom: kept
    Detection(2, {100, 100, 50, 50}), Detection(3, {100, 100, 50, 50}),  // no trash
  };
  testing::internal::CaptureStderr();
  std::vector<det::Object> trash;
  EXPECT_TRUE(camera->GetTrashObjects(objects, trash));
  const auto edge_lines = velmora_test::LinesContaining(
    velmora_test::SplitLines(testing::internal::GetCapturedStderr()), "this obj is at the edge");
  EXPECT_EQ(edge_lines.size(), 3U);
  ASSERT_EQ(trash.size(), 3U);
  EXPECT_EQ(trash[0].rect, objects[0].rect);
  EXPECT_EQ(trash[1].rect, objects[3].rect);
  EXPECT_EQ(trash[2].label, 1);

  // Whitelist: a bench box covering exactly half (the threshold) of the paper's
  // 100 x 100 px does not count, 51 % does; on the floor, a paper exactly at its
  // height limit (-0.5 + 0.75 = 0.25) is refused, one just below it accepted.
  const det::Object paper = Detection(0, {100, 100, 99, 99});
  const velmora::BoxInfo half = velmora::MakeBoxInfo(Detection(10, {100, 100, 49, 99}));
  const velmora::BoxInfo more = velmora::MakeBoxInfo(Detection(10, {100, 100, 50, 99}));
  EXPECT_FALSE(camera->IsTrashToGrab(-0.5F, 0.75F, paper, {half}));
  EXPECT_TRUE(camera->IsTrashToGrab(-0.5F, 0.75F, paper, {more}));
  EXPECT_TRUE(camera->IsTrashToGrab(-0.5F - 1.0F / 1024, 0.75F, paper, {}));
  // Class ids 16 and beyond the table take the height of "other" (0.5), and the
  // latter prints no class name.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(camera->IsTrashToGrab(-0.5F, 0.75F, Detection(15, {100, 100, 99, 99}), {}));
  EXPECT_TRUE(camera->IsTrashToGrab(-0.5F, 0.75F, Detection(20, {100, 100, 99, 99}), {}));
  EXPECT_FALSE(camera->IsTrashToGrab(-0.25F, 0.75F, Detection(20, {100, 100, 99, 99}), {}));
  const std::string program_log = testing::internal::GetCapturedStdout();
  EXPECT_NE(
    program_log.find("[INFO] trash_type: , trash2floor_height: 0.2500\n"),
    std::string::npos);
  EXPECT_NE(program_log.find("[INFO] height_threshold: 0.5000\n"), std::string::npos);

  // Erosion only for boxes more than 10 px from the left and top, fractional
  // corners compared as they are: a 30 x 30 px mask keeps 900 points, eroded 28 x 28.
  const NodeHarness::Image depth =
    NodeHarness::DepthMessage(cv::Mat(480, 640, CV_16UC1, cv::Scalar(1000)));
  velmora::DepthImageView depth_view;
  ASSERT_EQ(velmora::ViewDepthImage(depth, depth_view), "");
  const std::vector<std::tuple<float, float, std::size_t>> boxes = {
    {10.0F, 20.0F, 900}, {20.0F, 10.0F, 900}, {10.5F, 11.0F, 784}};
  for (const auto & [x, y, points] : boxes) {
    det::Object object = Detection(0, {x, y, 30, 30});
    object.mask *= 255;
    auto cloud = std::make_shared<velmora::CameraDetectionNode::Cloud>();
    bool transparent = true;
    camera->GetTrashCloud(depth_view, object, cloud, transparent);
    EXPECT_EQ(cloud->size(), points) << "x " << x << " y " << y;
    EXPECT_FALSE(transparent);
  }
}

}  // namespace
