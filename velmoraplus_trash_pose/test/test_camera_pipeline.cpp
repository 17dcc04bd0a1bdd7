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
// answer out, with the published outputs, the archive, bad frames, the pass
// rhythm and the selection rules at their boundaries. (How the estimator
// grasps a lying bottle, an upright can or a transparent bottle is worked out
// exactly in core_test; here, that a rendered scene reaches it whole.)
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
// GCC 12 at -O1 with the sanitizers warns about std::function inside <regex>'s
// own code (a known false positive); our uses of it are plain.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include <sensor_msgs/msg/point_cloud2.hpp>
#include <tf2_msgs/msg/tf_message.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "harness.hpp"
#include "velmoraplus_trash_pose/node/camera_detection_node.hpp"

namespace velmora_test
{
namespace
{

using Image = NodeHarness::Image;
using Markers = visualization_msgs::msg::MarkerArray;
const char kCam2[] = "cam2_detect_config.yaml";
const char kParams[] = "camera_detection_params";
const char kStamp[] = R"(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d)";

Eigen::Isometry3d Pose(const geometry_msgs::msg::Pose & p)
{
  Eigen::Isometry3d pose(Eigen::Quaterniond(
      p.orientation.w, p.orientation.x, p.orientation.y, p.orientation.z).normalized());
  pose.translation() << p.position.x, p.position.y, p.position.z;
  return pose;
}

// Files below `dir` whose paths end in `name`, where "{}" stands for a stamp
// and "*" for any text.
std::vector<std::string> Files(const fs::path & dir, const std::string & name)
{
  std::string pattern = ".*";
  for (const char c : name) {
    pattern += c == '{' ? kStamp : c == '}' ? "" : c == '*' ? ".*" :
      (std::strchr("[].", c) ? "\\" : "") + std::string(1, c);
  }
  std::vector<std::string> found;
  std::error_code missing;
  for (const auto & entry : fs::recursive_directory_iterator(dir, missing)) {
    const std::string path = entry.path().string();
    if (std::regex_match(path, std::regex(pattern))) {found.push_back(path);}
  }
  return found;
}

// What a topic received. The executor may still run a callback when the
// recorder goes, so the callback owns what it writes to.
template<typename T>
struct Recorder
{
  Recorder(
    const rclcpp::Node::SharedPtr & node, const std::string & topic,
    const rclcpp::QoS & qos = rclcpp::QoS(10))
  : sub(node->create_subscription<T>(
        topic, qos, [seen = seen](const typename T::ConstSharedPtr message) {
          std::lock_guard<std::mutex> lock(seen->first);
          seen->second.push_back(*message);
        })) {}
  std::vector<T> Take() const
  {
    std::lock_guard<std::mutex> lock(seen->first);
    return seen->second;
  }
  // The messages once `count` have come (fewer after a minute: a hang).
  std::vector<T> WaitFor(std::size_t count) const
  {
    WaitUntil([&]() {return Take().size() >= count;});
    return Take();
  }
  std::shared_ptr<std::pair<std::mutex, std::vector<T>>> seen =
    std::make_shared<std::pair<std::mutex, std::vector<T>>>();
  typename rclcpp::Subscription<T>::SharedPtr sub;
};

// The camera's debug outputs (cam_id 12), as RViz shows them.
struct Outputs
{
  explicit Outputs(const rclcpp::Node::SharedPtr & node)
  : processed(node, "/velmoraplus_trash_pose/cam2_trashes_cloud"),
    initial(node, "/velmoraplus_trash_pose/cam12_trashes_init_cloud"),
    boxes(node, "/velmoraplus_trash_pose/cam12_trash_obb_markers"),
    axes(node, "/velmoraplus_trash_pose/cam12_trash_pose") {}
  Recorder<sensor_msgs::msg::PointCloud2> processed, initial;
  Recorder<Markers> boxes, axes;
};

class CameraPipelineTest : public ::testing::Test
{
protected:
  void Start() {harness_ = std::make_unique<NodeHarness>(prefix_);}
  // The answer to a request while the pair streams to slot 2, and with `out`
  // what the node printed meanwhile.
  std::optional<NodeHarness::Response> Answer(
    const Image & rgb, const Image & depth, std::string * out = nullptr)
  {
    log_.Clear();
    const std::optional<Tap> tap = out ? std::optional<Tap>(1) : std::nullopt;
    const auto answer = harness_->CallStreaming(2, rgb, depth);
    if (out) {*out = tap->Text();}
    return answer;
  }
  fs::path Data() const {return fs::path(prefix_.root()) / "data";}

  Tap log_;
  ConfigPrefix prefix_;
  std::unique_ptr<NodeHarness> harness_;
};

TEST_F(CameraPipelineTest, FloorSceneAnsweredPublishedAndArchived) {
  const auto objects = StandardSceneObjects();
  const auto scene = WriteScene(prefix_, objects);
  prefix_.Set(kCam2, kParams, "cam_id", "12");
  // Rows 2 x width + 1 bytes apart: a legal depth message the node reads correctly.
  Image depth = NodeHarness::Depth(scene.depth);
  const std::size_t row = depth.step++;
  depth.data.assign(static_cast<std::size_t>(depth.step) * depth.height, 0xAB);
  for (int v = 0; v < scene.depth.rows; ++v) {
    std::copy_n(scene.depth.ptr<std::uint8_t>(v), row, depth.data.begin() + v * depth.step);
  }
  const Image rgb = NodeHarness::Rgb(scene.colour);
  Start();
  auto node = harness_->peer();
  const std::string cam = "/velmoraplus_trash_pose/cam";
  // The camera's endpoints are reliable with these history depths, as `ros2 topic info -v`
  // shows them (/tf_static's durability: the late subscriber below).
  const std::map<std::string, std::size_t> depths = {{cam + "2_detected_image", 1},
    {cam + "2_trashes_cloud", 1}, {cam + "12_trash_pose", 1}, {"/camera2/color/image_raw", 10}};
  for (const auto & [topic, depth] : depths) {
    for (const auto & info : topic.rfind("/camera2/", 0) == 0 ?
      node->get_subscriptions_info_by_topic(topic) : node->get_publishers_info_by_topic(topic))
    {
      EXPECT_TRUE(
        info.node_name() != "velmoraplus_trash_pose_cam2" || (info.qos_profile().depth() ==
        depth && info.qos_profile().reliability() == rclcpp::ReliabilityPolicy::Reliable)) << topic;
    }
  }

  // Released before their node's process stops: real ROS 2 aborts when the
  // last handle of a node outlives its context.
  std::optional<Outputs> quiet(std::in_place, node);
  std::optional<Recorder<tf2_msgs::msg::TFMessage>> quiet_tf(
    std::in_place, node, "/tf_static", rclcpp::QoS(10).transient_local());
  std::optional<Recorder<Image>> detected(std::in_place, node, cam + "2_detected_image");
  std::string program_log;
  const auto plain = Answer(rgb, depth, &program_log);
  ASSERT_TRUE(plain.has_value());
  ASSERT_EQ(plain->detected_cam, 1);  // cam_num 1 answers slot 2 as camera 1
  // The edge paper is dropped, the bench is no trash: bottle, can (seen as a
  // mask), transparent bottle, paper on the bench.
  ASSERT_EQ(plain->trash_infos.size(), 4U) << log_.Text();
  EXPECT_EQ(Lines(log_.Text(), "this obj is at the edge of the image").size(), 1U);
  EXPECT_TRUE(Lines(log_.Text(), "calibration check").empty()) << log_.Text();
  // Trash type / main axis class / reserved: bottle, mask, bottle, paper; the
  // lying bottle and the paper grasped from above (class 1), the can seen as a
  // steep L and the transparent bottle sideways (class 4).
  std::string kinds;
  for (const auto & info : plain->trash_infos) {
    kinds += std::to_string(info.trash_type) + "/" + std::to_string(info.main_axis_type) + "/" +
      std::to_string(info.reserved) + " ";
  }
  EXPECT_EQ(kinds, "3/1/0 2/4/0 3/4/0 1/1/0 ");
  const auto & [bottle, can, glass, paper] = std::tie(
    plain->trash_infos[0], plain->trash_infos[1], plain->trash_infos[2], plain->trash_infos[3]);
  // Grab points in the base frame over the pieces: the visible half of a
  // 6.5 cm bottle shifts its centroid by at most half its width; the paper on
  // the bench is grabbed at bench height.
  const Eigen::Isometry3d bottle_grab = Pose(bottle.grab_pose);
  EXPECT_LT((bottle_grab.translation() - objects[0].centre).head<2>().norm(), 0.033);
  EXPECT_NEAR(bottle_grab.translation().z(), -0.176 + 0.0325, 0.0325 + 1e-6);
  EXPECT_LT(bottle_grab.linear()(2, 2), -0.9999);
  EXPECT_NEAR(bottle.obb_size.x, 0.20, 0.01);
  EXPECT_LT((Pose(can.grab_pose).translation() - objects[1].centre).head<2>().norm(), 0.05);
  EXPECT_NEAR(can.obb_size.x, 0.12, 0.03);
  EXPECT_NEAR(paper.grab_pose.position.z, -0.176 + 0.10, 0.02);
  // Transparent bottle: half its depth missing and tall, so the transparent
  // routine answers: box at the grab point, size (3.6 w, w, w), tool z level.
  EXPECT_NE(program_log.find("null_count/mask_points.size: 0.50"), std::string::npos);
  EXPECT_EQ(Pose(glass.obb_pose).matrix(), Eigen::Matrix4d::Identity());
  EXPECT_NEAR(glass.obb_size.x, 3.6 * glass.obb_size.y, 1e-6);
  EXPECT_DOUBLE_EQ(glass.obb_size.y, glass.obb_size.z);
  EXPECT_NEAR(glass.obb_size.y, 0.07, 0.015);
  EXPECT_NEAR(Pose(glass.grab_pose).linear()(2, 2), 0.0, 1e-6);
  // Without debug or continuous mode only the annotated image is published:
  // a second pass, and what the first published came before its image.
  ASSERT_TRUE(Answer(rgb, depth).has_value());
  const auto images = detected->WaitFor(2);
  ASSERT_EQ(images.size(), 2U);
  EXPECT_EQ(images[1].encoding + " frame '" + images[1].header.frame_id + "'", "rgb8 frame ''");
  EXPECT_TRUE(quiet->processed.Take().empty() && quiet->initial.Take().empty());
  EXPECT_TRUE(
    quiet->boxes.Take().empty() && quiet->axes.Take().empty() && quiet_tf->Take().empty());
  EXPECT_TRUE(Files(Data(), ".ply").empty());

  // Debug mode: the same answer; the pass archived under one stamp, the next
  // free number of its second (an earlier pass of the stem wrote its
  // "[initial].jpg", which claims a pass's stamp, in every second of the next
  // minute and a half); the clouds, transforms and markers published.
  quiet.reset();
  quiet_tf.reset();
  detected.reset();
  node.reset();
  harness_.reset();
  prefix_.Set(kCam2, kParams, "is_debug", "true");
  const fs::path folder = Data() / "bottle";
  fs::create_directories(folder);
  for (std::time_t t = std::time(nullptr) - 2; t < std::time(nullptr) + 90; ++t) {
    std::tm local{};
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d-%H-%M-%S", localtime_r(&t, &local));
    std::ofstream((folder / "bottlep1_cam2").string() + stamp + "[initial].jpg");
  }
  Start();
  const Outputs shown(harness_->peer());
  const auto debug = Answer(rgb, depth);
  ASSERT_TRUE(debug.has_value());
  EXPECT_TRUE(debug->trash_infos == plain->trash_infos);
  EXPECT_TRUE(Lines(log_.Text(), "[ERROR]").empty()) << log_.Text();
  // Each file once: the pictures, four objects' masks (the edge paper is no
  // trash object) and clouds, the extras and the detections' masks the
  // recording names.
  std::multiset<std::string> tails, expected = {"[initial].jpg", "[detected].jpg", "[depth].png",
    "[detections].yaml", "[pass].png", "[top].png"};
  for (const auto & path : Files(folder, "{}_2[*")) {
    tails.insert(path.substr(path.rfind("_2[") + 2));
  }
  for (const std::string i : {"[0]", "[1]", "[2]", "[3]"}) {
    for (const char * tail : {"[mask][initial].jpg", "[mask][eroded].jpg", "[initial].ply",
        "[transformed].ply", "[processed].ply"})
    {
      expected.insert(i + tail);
    }
  }
  const auto recording = YAML::LoadFile(Files(folder, "{}_2[detections].yaml").at(0));
  for (const auto & object : recording["frames"][0]["objects"]) {
    const auto mask = object["mask"].as<std::string>();
    EXPECT_EQ(Files(folder, "{}_2" + mask.substr(mask.find('['))).at(0), (folder / mask).string());
    expected.insert(mask.substr(mask.find('[')));
  }
  EXPECT_EQ(tails, expected);
  // The archived depth is the image itself, without the row padding.
  const cv::Mat archived = cv::imread(Files(folder, "{}_2[depth].png").at(0), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(cv::countNonZero(archived != scene.depth), 0);
  // A late subscriber of /tf_static gets every grab transform: the grab poses.
  const auto transforms = Recorder<tf2_msgs::msg::TFMessage>(
    harness_->peer(), "/tf_static", rclcpp::QoS(1).transient_local()).WaitFor(1);
  ASSERT_FALSE(transforms.empty());
  std::map<std::string, geometry_msgs::msg::TransformStamped> children;
  for (const auto & t : transforms.back().transforms) {
    children[t.child_frame_id] = t;
  }
  ASSERT_EQ(children.size(), 4U);
  const auto clouds = shown.processed.WaitFor(1);
  const auto raw = shown.initial.WaitFor(1);
  const auto cubes = shown.boxes.WaitFor(1);
  const auto arrows = shown.axes.WaitFor(1);
  ASSERT_TRUE(!clouds.empty() && !raw.empty() && !cubes.empty() && !arrows.empty());
  EXPECT_EQ(clouds.back().header.frame_id, "arm_base");
  EXPECT_EQ(clouds.back().height, 1U);
  EXPECT_GT(raw.back().width, clouds.back().width);  // filtering only removes points
  ASSERT_EQ(cubes.back().markers.size(), 4U);
  for (std::size_t n = 0; n < 4; ++n) {
    SCOPED_TRACE("piece " + std::to_string(n));
    const auto & info = debug->trash_infos[n];
    const auto & t = children["cam_12_trash_pose_" + std::to_string(n + 1)];
    const geometry_msgs::msg::Point at = info.grab_pose.position;
    EXPECT_EQ(t.header.frame_id, "arm_base");
    EXPECT_TRUE(t.transform.translation.x == at.x && t.transform.translation.y == at.y);
    EXPECT_TRUE(
      t.transform.translation.z == at.z && t.transform.rotation == info.grab_pose.orientation);
    const auto & marker = cubes.back().markers[n];
    EXPECT_EQ(marker.ns + " " + std::to_string(marker.id), "cam_12_trash_obb " + std::to_string(n));
    EXPECT_EQ(marker.type, visualization_msgs::msg::Marker::CUBE);
    EXPECT_DOUBLE_EQ(marker.scale.x, info.obb_size.x);
    // The cube is the box in the base frame: the box pose taken in the grab frame.
    EXPECT_TRUE(Pose(marker.pose).isApprox(Pose(info.grab_pose) * Pose(info.obb_pose), 1e-6));
  }
  // The lying bottle's box is off and turned against its grab pose, so the
  // cubes above tell the composition from either pose alone.
  EXPECT_GT(Pose(bottle.obb_pose).translation().norm(), 0.005);
  EXPECT_GT(Eigen::AngleAxisd(Pose(bottle.obb_pose).linear()).angle(), 0.5);
  ASSERT_EQ(arrows.back().markers.size(), 8U);
  EXPECT_EQ(
    arrows.back().markers[0].ns + " " + arrows.back().markers[1].ns,
    "trash_pose_x trash_pose_z");
  EXPECT_EQ(arrows.back().markers[0].pose, bottle.grab_pose);
  // The z arrow points along the grab frame's z axis: straight down for the bottle.
  EXPECT_LT(Pose(arrows.back().markers[1].pose).linear()(2, 0), -0.9999);

  // An archive folder that cannot be written costs one error line, no grab;
  // once it is back, the next pass is archived whole.
  fs::remove_all(folder);
  std::ofstream(folder) << "not a folder";
  for (const bool broken : {true, false}) {
    const auto answer = Answer(rgb, depth);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->trash_infos.size(), 4U);
    const auto errors = Lines(log_.Text(), "[ERROR]");
    ASSERT_EQ(errors.size(), broken ? 1U : 0U) << log_.Text();
    if (!broken) {break;}
    EXPECT_NE(
      errors[0].find(
        "cam_12 debug archive incomplete, not written: [depth].png, [detections].yaml, "
        "[pass].png, [top].png"), std::string::npos) << errors[0];
    fs::remove(folder);
    fs::create_directories(folder);
  }
  EXPECT_EQ(Files(folder, "{}[depth].png").size(), 1U);
}

TEST_F(CameraPipelineTest, WhatIsGrabbedLoggedAndArchivedInOtherScenes) {
  const auto standard = StandardSceneObjects();
  auto unseen_bench = standard;
  unseen_bench[4].detected = false;
  const SceneObject pebble{
    "pebble", 0, {-0.55, 0.05, -0.176 + 0.0075}, {0.015, 0.015, 0.015}, 0.0, false, 0.99F};
  struct Case
  {
    std::vector<SceneObject> objects;
    std::map<std::string, std::string> edits;  // "pose:" keys: of the pose-estimate file
    std::size_t count;
    std::vector<std::string> err, out, files;  // files: leading '!' for none
    int width = 640;
  };
  const std::vector<Case> cases = {
    // Whitelist: on the floor, grabbed; on a table 10 cm up that the model
    // does not see, refused by the floor rule.
    {unseen_bench, {{"is_enable_semantic", "true"}}, 3, {"不在白名单位置处，忽略"},
      {"no base waiting detected"}, {}},
    // The detected bench: the paper is above it.
    {standard, {{"is_enable_semantic", "true"}}, 4,
      {"is above obstacle=waiting", "base_or_waiting, class_name=waiting"}, {}, {}},
    // A 1.5 cm cube gives fewer raw points than 400: skipped, with its masks
    // but no clouds archived; the next piece keeps its index in log and archive.
    {{pebble, standard[0]}, {{"min_trash_cloud_size_treshold", "400"}, {"is_debug", "true"}}, 1,
      {"cam_2垃圾序号[0]原始点云数量太少，请重新检测！",
        "cam_2垃圾序号[1]在白名单位置处，需要抓取"}, {},
      {"{}[0][mask][initial].jpg", "!{}[0][initial].ply", "{}[1][processed].ply"}},
    // No trash: nothing to answer, the missed detection's image saved.
    {{standard[4]}, {}, 0, {"No trash object detected !"}, {}, {"/mising_detect/*{}.jpg"}},
    // The floor 12 cm above where base_height puts it: grabs go on, one warning.
    {standard, {{"pose:base_height", "0.3"}}, 4, {"cam_2 calibration check: the floor this "
        "camera sees lies at -0.17", "where base_height puts it at -0.300 m, level"}, {}, {}},
    // A 1280 px wide camera: the right-hand half is not at the edge; the paper
    // at the 640 px image's left edge lies whole in the picture now.
    {standard, {}, 5, {}, {}, {}, 1280},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.count);
    prefix_.Reset();
    fs::remove_all(Data());
    const auto scene = WriteScene(prefix_, c.objects, 2, c.width);
    for (const auto & [key, value] : c.edits) {
      if (key.rfind("pose:", 0) == 0) {
        prefix_.Set("scene_pose.yaml", "grab_pose_estimate", key.substr(5), value);
      } else {
        prefix_.Set(kCam2, kParams, key, value);
      }
    }
    Start();
    std::string program_log;
    const auto answer = Answer(
      NodeHarness::Rgb(scene.colour), NodeHarness::Depth(scene.depth),
      &program_log);
    harness_.reset();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->trash_infos.size(), c.count) << log_.Text();
    EXPECT_EQ(answer->detected_cam, c.count > 0 ? 1 : 0);
    for (const auto & text : c.err) {
      EXPECT_NE(log_.Text().find(text), std::string::npos) << text;
    }
    for (const auto & text : c.out) {
      EXPECT_NE(program_log.find(text), std::string::npos) << text;
    }
    for (const auto & name : c.files) {
      const bool none = name[0] == '!';
      EXPECT_EQ(Files(Data(), name.substr(none)).size(), none ? 0U : 1U) << name;
    }
  }
}

TEST_F(CameraPipelineTest, BadFramesAreDroppedWithOneErrorAndTheNextGoodPairIsAnswered) {
  const auto scene = WriteScene(prefix_, StandardSceneObjects());
  Start();
  const Image good_rgb = NodeHarness::Rgb(scene.colour);
  const Image good_depth = NodeHarness::Depth(scene.depth);
  cv::Mat small;
  cv::resize(scene.depth, small, cv::Size(320, 240), 0, 0, cv::INTER_NEAREST);
  const std::vector<std::pair<std::function<void(Image &, Image &)>, std::string>> cases = {
    {[](auto &, auto & d) {d.encoding = "32FC1";}, "depth encoding \"32FC1\" is not 16-bit"},
    {[](auto &, auto & d) {d.data.resize(d.data.size() / 2);}, "step x height needs"},
    {[](auto &, auto & d) {d.step = d.width;}, "is shorter than a row"},
    {[](auto &, auto & d) {d.width = 0;}, "depth image is empty"},
    {[](auto &, auto & d) {d.height = 1000000;}, "step x height needs"},
    {[&](auto &, auto & d) {d = NodeHarness::Depth(small);}, "differ in size"},
    {[](auto & r, auto &) {r.encoding = "32FC1";}, "cam_2 detection pass dropped"}};
  for (const auto & [spoil, error] : cases) {
    SCOPED_TRACE(error);
    Image rgb = good_rgb;
    Image depth = good_depth;
    spoil(rgb, depth);
    const auto bad = Answer(rgb, depth);
    ASSERT_TRUE(bad.has_value());
    EXPECT_EQ(bad->detected_cam, 0);
    EXPECT_TRUE(bad->trash_infos.empty());
    const auto errors = Lines(log_.Text(), "[ERROR]");
    ASSERT_EQ(errors.size(), 1U) << log_.Text();
    EXPECT_NE(errors[0].find("cam_2"), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find(error), std::string::npos) << errors[0];
    const auto good = Answer(good_rgb, good_depth);
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->trash_infos.size(), 4U);
  }
}

TEST_F(CameraPipelineTest, PassesRunOnRequestOrContinuouslyWithTheThrottleBetween) {
  const auto scene = WriteScene(prefix_, StandardSceneObjects());
  const Image rgb = NodeHarness::Rgb(scene.colour);
  const Image depth = NodeHarness::Depth(scene.depth);
  // On request, 200 ms of throttle: after the start-up pass, pairs without a
  // request are dropped; a request runs one pass.
  const std::string model = "camera_2 model->detect cost";
  prefix_.Set(kCam2, kParams, "detect_duration", "200");
  Start();
  harness_->Send(2, rgb, depth);
  ASSERT_TRUE(log_.WaitFor(model));
  std::int64_t last = 0;
  for (int i = 0; i < 10; ++i) {
    last = harness_->Send(2, rgb, depth);
    std::this_thread::sleep_for(30ms);
  }
  ASSERT_TRUE(harness_->WaitForPairTaken(2, last));
  const auto answer = harness_->CallStreaming(2, rgb, depth);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->trash_infos.size(), 4U);
  EXPECT_EQ(Lines(log_.Text(), model).size(), 2U);
  harness_.reset();
  // Continuous mode on the shipped three cameras with one trash code, in
  // debug mode: a pass on every pair a camera takes, each followed by 300 ms
  // of throttle; requests answered meanwhile get whole lists.
  for (const std::string cam : {"cam1_detect_config.yaml", "cam2_detect_config.yaml",
      "cam3_detect_config.yaml"})
  {
    for (const auto & [key, value] : std::map<std::string, std::string>{
          {"pose_estimate_config_file", "scene_pose.yaml"}, {"model_cfg_file", "scene_model.yaml"},
          {"is_realtime_estimate", "true"}, {"detect_duration", "300"}, {"is_debug", "true"}})
    {
      prefix_.Set(cam, kParams, key, value);
    }
  }
  prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "3");
  Start();
  log_.Clear();
  std::atomic<bool> streaming{true};
  std::thread camera([&]() {
      while (streaming) {
        for (const int slot : {1, 2, 3}) {
          harness_->Send(slot, rgb, depth);
        }
        std::this_thread::sleep_for(20ms);
      }
    });
  EXPECT_TRUE(log_.WaitFor("cam_2 ImageCallback cost", 3));
  for (int call = 0; call < 5; ++call) {
    const auto whole = harness_->Call();
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->trash_infos.size(), 4U) << "call " << call;
  }
  streaming = false;
  camera.join();
  const auto passes = Stamps(log_.Text(), "cam_2 ImageCallback cost");
  ASSERT_GE(passes.size(), 3U);
  for (std::size_t i = 1; i < passes.size(); ++i) {
    EXPECT_GE(passes[i] - passes[i - 1], 0.3) << "pass " << i;
  }
}

// Where the model's detections enter a pass: boxes and masks clipped to the
// image, a mask that does not cover its window refused.
TEST(AdmitDetection, ClipsToTheImageAndRefusesMasksOfAnotherSize) {
  det::Object edge{{600, 400, 60, 100}, 4, 0.9F, cv::Mat(10, 60, CV_8UC1), {600, 400, 60, 100}};
  EXPECT_NE(velmora::AdmitDetection(edge, {640, 480}).find("10 pixels"), std::string::npos);
  edge.mask = cv::Mat(100, 60, CV_8UC1, cv::Scalar(1));
  EXPECT_EQ(velmora::AdmitDetection(edge, {640, 480}), "");
  EXPECT_EQ(edge.mask_box, cv::Rect(600, 400, 40, 80));
  EXPECT_EQ(edge.rect, cv::Rect_<float>(600, 400, 40, 80));
  EXPECT_EQ(cv::countNonZero(edge.mask), 40 * 80);
}

}  // namespace
}  // namespace velmora_test
