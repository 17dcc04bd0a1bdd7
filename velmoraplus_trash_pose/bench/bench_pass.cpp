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

// Times one full detection pass of a camera node without a network: the
// rendered floor scene of the pipeline tests with 1, 3 and 6 trash objects,
// detections served instantly by the model library's recorded source. Reports
// per pass and per object, and the share of each step.
//
//   velmoraplus_trash_pose_bench_pass --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// BM_SampleDebugPassAnswer: the sample scene (real frame, recorded
// detections) in debug mode (argument 1) or not (0); answer_ms is the time
// from the image pair to the pass reporting done, which is when the detect
// service can answer.
//
// BM_CrowdedRecordedFrame: the sample frame with 2,000 recorded detections
// (the blue bottle's image-size mask, 2,000 times), one pass on a fresh camera
// in a child process: peak_MB is the child's peak resident memory during the
// pass above its resident memory before it, per_detection_KB that over 2,000;
// the time is the pass's.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include <benchmark/benchmark.h>
#include <cv_bridge/cv_bridge.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <rclcpp/rclcpp.hpp>

#include "harness.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"
#include "velmoraplus_trash_pose/node/camera_detection_node.hpp"
#include "velmoraplus_trash_pose/tools/replay_support.hpp"

namespace
{

using velmora::SceneObject;
using Image = sensor_msgs::msg::Image;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
  return std::chrono::duration<double, std::milli>(d).count();
}

// Trash objects on the floor in front of the camera, all inside the workspace.
std::vector<SceneObject> Objects(int count)
{
  const double floor = -0.176;
  std::vector<SceneObject> all(6);
  all[0] = {"bottle_a", 4, {-0.45, -0.12, floor + 0.0325}, {0.20, 0.065, 0.065}, 30.0};
  all[1] = {"can", 4, {-0.42, 0.15, floor + 0.06}, {0.066, 0.066, 0.12}, 0.0};
  all[2] = {"paper_a", 0, {-0.55, 0.02, floor + 0.01}, {0.10, 0.08, 0.02}, 10.0};
  all[3] = {"bottle_b", 4, {-0.62, -0.22, floor + 0.0325}, {0.18, 0.06, 0.06}, -40.0};
  all[4] = {"mask", 1, {-0.35, -0.02, floor + 0.01}, {0.12, 0.08, 0.02}, 0.0};
  all[5] = {"paper_b", 0, {-0.62, 0.22, floor + 0.01}, {0.08, 0.08, 0.02}, 45.0};
  for (int i = 0; i < 6; ++i) {
    all[static_cast<std::size_t>(i)].score = 0.95F - 0.05F * static_cast<float>(i);
  }
  all.resize(static_cast<std::size_t>(count));
  return all;
}

struct Fixture
{
  explicit Fixture(int objects)
  {
    scene = velmora_test::WriteScene(prefix, Objects(objects));
    prefix.Set(
      "cam2_detect_config.yaml", "camera_detection_params", "is_realtime_estimate",
      "true");
    ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() + "/data").c_str(), 1);
    rclcpp::init(0, nullptr);
    node = std::make_shared<rclcpp::Node>("bench_camera");
    camera = std::make_unique<velmora::CameraDetectionNode>(
      node, prefix.config_file("cam2_detect_config.yaml"));
    camera->SetPassObserver([this](const velmora::PassReport & report) {last = report;});
    rgb = cv_bridge::CvImage(std_msgs::msg::Header(), "rgb8", scene.colour).toImageMsg();
    depth = cv_bridge::CvImage(std_msgs::msg::Header(), "16UC1", scene.depth).toImageMsg();
  }
  ~Fixture()
  {
    camera.reset();
    node.reset();
    rclcpp::shutdown();
  }

  velmora_test::ConfigPrefix prefix;
  velmora_test::SyntheticScene scene;
  rclcpp::Node::SharedPtr node;
  std::unique_ptr<velmora::CameraDetectionNode> camera;
  velmora::PassReport last;
  Image::ConstSharedPtr rgb;
  Image::ConstSharedPtr depth;
};

void BM_FullPass(benchmark::State & state)
{
  Fixture f(static_cast<int>(state.range(0)));
  double model = 0.0, clouds = 0.0, estimator = 0.0, publishing = 0.0;
  std::size_t accepted = 0;
  for (auto _ : state) {
    f.camera->ImageCallback(f.rgb, f.depth);
    model += f.last.model_ms;
    clouds += f.last.clouds_ms;
    estimator += f.last.estimator_ms;
    publishing += f.last.publishing_ms;
    accepted = 0;
    for (const auto & o : f.last.objects) {
      accepted += o.outcome == velmora::ObjectOutcome::kAccepted;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["objects"] = static_cast<double>(accepted);
  state.counters["model_ms"] = model / n;
  state.counters["clouds_ms"] = clouds / n;
  state.counters["estimator_ms"] = estimator / n;
  state.counters["publish_ms"] = publishing / n;
  state.counters["per_object_ms"] = benchmark::Counter(
    (model + clouds + estimator + publishing) / n / std::max<double>(1.0, state.range(0)));
}
BENCHMARK(BM_FullPass)->Arg(1)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime();

// The steps of one object, each timed alone on the scene's first object:
// extraction (mask to camera-frame cloud), transform, preprocessing, shape
// analysis and the whole grab routine.
void BM_Steps(benchmark::State & state)
{
  Fixture f(1);
  const auto & estimator = f.camera->pose_estimator();
  velmora::GrabPoseEstimator work = estimator;
  const cv::Mat mask = f.scene.masks[0];
  const cv::Rect box = cv::boundingRect(f.scene.masks[0]);
  velmora::DepthImageView view;
  view.data = f.scene.depth.data;
  view.size = f.scene.depth.total() * 2;
  view.width = static_cast<std::uint32_t>(f.scene.depth.cols);
  view.height = static_cast<std::uint32_t>(f.scene.depth.rows);
  view.step = static_cast<std::uint32_t>(f.scene.depth.step);
  const velmora::CameraIntrinsics k{estimator.fx_, estimator.fy_, estimator.cx_, estimator.cy_};
  double extraction = 0, transform = 0, preprocessing = 0, shape = 0, grab = 0;
  for (auto _ : state) {
    auto t = Clock::now();
    velmora::GrabPoseEstimator::Cloud camera_cloud;
    velmora::BackProjectMask(view, mask, cv::Rect_<float>(box), k, camera_cloud);
    extraction += Ms(Clock::now() - t);
    t = Clock::now();
    auto base_cloud = std::make_shared<velmora::GrabPoseEstimator::Cloud>();
    work.TransformCloud(camera_cloud, *base_cloud, work.base2camera_);
    transform += Ms(Clock::now() - t);
    auto copy = std::make_shared<velmora::GrabPoseEstimator::Cloud>(*base_cloud);
    t = Clock::now();
    work.PclProcessFunc(copy, copy);
    preprocessing += Ms(Clock::now() - t);
    t = Clock::now();
    work.PcaFunc(copy);
    work.ComputeBoundingBoxes(copy);
    work.ComputeMinAreaRect(copy);
    shape += Ms(Clock::now() - t);
    t = Clock::now();
    benchmark::DoNotOptimize(work.GetInitialGrabPose(base_cloud));
    grab += Ms(Clock::now() - t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["extract_ms"] = extraction / n;
  state.counters["transform_ms"] = transform / n;
  state.counters["preprocess_ms"] = preprocessing / n;
  state.counters["shape_ms"] = shape / n;
  state.counters["grab_call_ms"] = grab / n;
}
BENCHMARK(BM_Steps)->Unit(benchmark::kMillisecond)->UseRealTime();

// The sample scene through camera slot 2, in debug mode (archive, pictures and
// recording written every pass) or not, timed to the moment the pass reports done.
void BM_SampleDebugPassAnswer(benchmark::State & state)
{
  const std::string sample = VELMORA_SAMPLE_DIR;
  velmora::PrivateConfigPrefix prefix(sample + "/config", "bench_pass");
  prefix.Edit(
    "cam2_detect_config.yaml", "camera_detection_params", "is_debug",
    state.range(0) != 0 ? "true" : "false");
  prefix.Edit("cam2_detect_config.yaml", "camera_detection_params", "is_realtime_estimate", "true");
  prefix.Edit("cam2_detect_config.yaml", "camera_detection_params", "detect_duration", "0");
  ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() / "data").c_str(), 1);
  cv::Mat colour = cv::imread(sample + "/color.png", cv::IMREAD_COLOR);
  cv::cvtColor(colour, colour, cv::COLOR_BGR2RGB);
  const cv::Mat depth_mm = cv::imread(sample + "/depth.png", cv::IMREAD_UNCHANGED);
  rclcpp::init(0, nullptr);
  {
    auto node = std::make_shared<rclcpp::Node>("bench_sample_camera");
    velmora::CameraDetectionNode camera(node, prefix.file("cam2_detect_config.yaml").string());
    Clock::time_point done;
    std::size_t accepted = 0;
    camera.SetPassObserver(
      [&](const velmora::PassReport & report) {
        done = Clock::now();
        accepted = 0;
        for (const auto & o : report.objects) {
          accepted += o.outcome == velmora::ObjectOutcome::kAccepted;
        }
      });
    const Image::ConstSharedPtr rgb =
      cv_bridge::CvImage(std_msgs::msg::Header(), "rgb8", colour).toImageMsg();
    const Image::ConstSharedPtr depth =
      cv_bridge::CvImage(std_msgs::msg::Header(), "16UC1", depth_mm).toImageMsg();
    double answer = 0.0;
    for (auto _ : state) {
      const auto start = Clock::now();
      camera.ImageCallback(rgb, depth);
      answer += Ms(done - start);
    }
    state.counters["answer_ms"] = answer / static_cast<double>(state.iterations());
    state.counters["objects"] = static_cast<double>(accepted);
  }
  rclcpp::shutdown();
}
BENCHMARK(BM_SampleDebugPassAnswer)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// Resident memory of this process now, in kilobytes.
long ResidentKb()
{
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct CrowdResult
{
  double pass_ms = 0.0;
  double peak_kb = 0.0;
  double objects = 0.0;
};

constexpr int kCrowd = 2000;

// One pass over the crowded frame on a fresh camera; run in a child process.
CrowdResult RunCrowdedPass()
{
  const std::string sample = VELMORA_SAMPLE_DIR;
  velmora::PrivateConfigPrefix prefix(sample + "/config", "bench_crowd");
  {
    std::ofstream index(prefix.file("detections/crowd.yaml"));
    index << "frames:\n  - objects:\n";
    for (int i = 0; i < kCrowd; ++i) {
      index << "      - {label: 4, score: 0.91, box: [95, 139, 101, 153], "
        "mask: blue_bottle_mask.png}\n";
    }
    std::ofstream(prefix.file("crowd_model.yaml")) <<
      "source: recorded\nrecording: detections/crowd.yaml\n";
  }
  prefix.Edit(
    "cam2_detect_config.yaml", "camera_detection_params", "model_cfg_file",
    "crowd_model.yaml");
  prefix.Edit("cam2_detect_config.yaml", "camera_detection_params", "detect_duration", "0");
  ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() / "data").c_str(), 1);
  cv::Mat colour = cv::imread(sample + "/color.png", cv::IMREAD_COLOR);
  cv::cvtColor(colour, colour, cv::COLOR_BGR2RGB);
  const cv::Mat depth_mm = cv::imread(sample + "/depth.png", cv::IMREAD_UNCHANGED);
  CrowdResult result;
  rclcpp::init(0, nullptr);
  {
    auto node = std::make_shared<rclcpp::Node>("bench_crowd_camera");
    // As on the robot: no observer, not in debug mode; the first pair runs a pass.
    velmora::CameraDetectionNode camera(node, prefix.file("cam2_detect_config.yaml").string());
    const Image::ConstSharedPtr rgb =
      cv_bridge::CvImage(std_msgs::msg::Header(), "rgb8", colour).toImageMsg();
    const Image::ConstSharedPtr depth =
      cv_bridge::CvImage(std_msgs::msg::Header(), "16UC1", depth_mm).toImageMsg();
    // Peak resident memory from here on ("5" resets the high-water mark).
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = ResidentKb();
    const auto start = Clock::now();
    camera.ImageCallback(rgb, depth);
    result.pass_ms = Ms(Clock::now() - start);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    result.peak_kb = static_cast<double>(usage.ru_maxrss - before);
    result.objects = static_cast<double>(camera.TakeGrabResults().size());
  }
  rclcpp::shutdown();
  return result;
}

void BM_CrowdedRecordedFrame(benchmark::State & state)
{
  CrowdResult last;
  for (auto _ : state) {
    int fds[2];
    if (::pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(fds[0]);
      CrowdResult r;
      try {
        r = RunCrowdedPass();
      } catch (const std::exception &) {
        r.pass_ms = -1.0;
      }
      const ssize_t written = ::write(fds[1], &r, sizeof(r));
      ::_exit(written == static_cast<ssize_t>(sizeof(r)) ? 0 : 1);
    }
    ::close(fds[1]);
    CrowdResult r;
    const ssize_t got = ::read(fds[0], &r, sizeof(r));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof(r)) || r.pass_ms < 0.0) {
      state.SkipWithError("the crowded pass failed");
      return;
    }
    state.SetIterationTime(r.pass_ms / 1000.0);
    last = r;
  }
  state.counters["peak_MB"] = last.peak_kb / 1024.0;
  state.counters["per_detection_KB"] = last.peak_kb / kCrowd;
  state.counters["answers"] = last.objects;
}
BENCHMARK(BM_CrowdedRecordedFrame)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char ** argv)
{
  // The node's logs would dominate: program log off, estimator console and ROS
  // log lines discarded; the report goes to the real standard output.
  ::setenv("SPDLOG_STDOUT", "false", 1);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  ::dup2(null_fd, STDERR_FILENO);
  std::ostringstream sink;
  std::ostream report(std::cout.rdbuf());
  std::streambuf * const console = std::cout.rdbuf(sink.rdbuf());
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&report);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // std::cout is flushed at exit, after `sink` is gone.
  std::cout.rdbuf(console);
  return 0;
}
