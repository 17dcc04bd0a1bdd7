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

// Times the per-object path from masked depth pixels to a grab pose: back-projection
// of the mask, transform into the base frame and GetInitialGrabPose, side by side
// with the plain PCL filters (the reference), the fast paths on one thread, the
// fast paths with the neighbour queries on two threads, and the fast paths with the
// portable distance loop (what a CPU without a vector loop runs) on one thread.
//
// The object is a lying box of 0.10 x 0.06 x 0.04 m in front of the shipped camera 1,
// rendered into a depth image (1 mm depth steps, 1 mm noise) whose focal length is
// chosen so the mask holds about 2,000, 10,000 or 50,000 pixels. The estimator's
// console lines go to a discarded buffer so printing does not dominate.
//
// After the runs a table gives, per size, the times (medians where repetitions were
// asked for): CPU time of the plain and the fast path on one core and their ratio
// (CPU time, so other load on the machine hardly shifts it), and wall-clock time
// of the fast path on one and on two threads, and the CPU time and ratio of the
// portable distance loop.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace
{

using Cloud = velmora::GrabPoseEstimator::Cloud;

class QuietCout
{
public:
  QuietCout()
  : previous_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~QuietCout() {std::cout.rdbuf(previous_);}
  QuietCout(const QuietCout &) = delete;
  QuietCout & operator=(const QuietCout &) = delete;
  void Clear() {sink_.str(std::string());}

private:
  std::ostringstream sink_;
  std::streambuf * previous_;
};

velmora::GrabPoseEstimator MakeEstimator()
{
  setenv("VELMORAPLUS_DATA_DIR", VELMORA_BENCH_DATA_DIR, 1);
  QuietCout quiet;
  return velmora::GrabPoseEstimator(VELMORA_BENCH_CONFIG);
}

struct Scene
{
  cv::Mat depth;  // CV_16UC1, millimetres
  cv::Mat mask;   // CV_8UC1, 255 on the object
  cv::Rect_<float> rect;
  velmora::CameraIntrinsics intrinsics;
  std::size_t pixels = 0;
};

// Box faces sampled finely enough that every pixel they cover gets a sample.
std::vector<Eigen::Vector3f> BoxSurface(float step)
{
  const float x0 = -0.50f, x1 = -0.40f, y0 = -0.03f, y1 = 0.03f, z0 = -0.176f, z1 = -0.136f;
  std::vector<Eigen::Vector3f> points;
  const auto face = [&](const Eigen::Vector3f & origin, const Eigen::Vector3f & u, float lu,
      const Eigen::Vector3f & v, float lv) {
      for (float a = 0.0f; a <= lu; a += step) {
        for (float b = 0.0f; b <= lv; b += step) {
          points.push_back(origin + a * u + b * v);
        }
      }
    };
  const Eigen::Vector3f ex = Eigen::Vector3f::UnitX(), ey = Eigen::Vector3f::UnitY(),
    ez = Eigen::Vector3f::UnitZ();
  face({x0, y0, z1}, ex, x1 - x0, ey, y1 - y0);  // top
  face({x0, y0, z0}, ey, y1 - y0, ez, z1 - z0);  // far end
  face({x1, y0, z0}, ey, y1 - y0, ez, z1 - z0);  // near end
  face({x0, y0, z0}, ex, x1 - x0, ez, z1 - z0);  // sides
  face({x0, y1, z0}, ex, x1 - x0, ez, z1 - z0);
  return points;
}

Scene Render(const Eigen::Matrix4f & base2camera, float focal, float step)
{
  const Eigen::Matrix4f camera2base = base2camera.inverse();
  std::vector<Eigen::Vector3f> seen;
  for (const auto & p : BoxSurface(step)) {
    const Eigen::Vector3f in_camera = (camera2base * p.homogeneous()).head<3>();
    if (in_camera.z() > 0.05f) {seen.push_back(in_camera);}
  }
  float u_min = 1e9f, u_max = -1e9f, v_min = 1e9f, v_max = -1e9f;
  for (const auto & p : seen) {
    u_min = std::min(u_min, focal * p.x() / p.z());
    u_max = std::max(u_max, focal * p.x() / p.z());
    v_min = std::min(v_min, focal * p.y() / p.z());
    v_max = std::max(v_max, focal * p.y() / p.z());
  }
  Scene scene;
  scene.intrinsics = {focal, focal, 20.0f - u_min, 20.0f - v_min};
  const int width = static_cast<int>(u_max - u_min) + 40;
  const int height = static_cast<int>(v_max - v_min) + 40;
  cv::Mat nearest(height, width, CV_32FC1, cv::Scalar(1e9f));
  for (const auto & p : seen) {
    const int u = static_cast<int>(std::lround(focal * p.x() / p.z() + scene.intrinsics.cx));
    const int v = static_cast<int>(std::lround(focal * p.y() / p.z() + scene.intrinsics.cy));
    float & z = nearest.at<float>(v, u);
    z = std::min(z, p.z());
  }
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  scene.depth = cv::Mat(height, width, CV_16UC1, cv::Scalar(0));
  scene.mask = cv::Mat(height, width, CV_8UC1, cv::Scalar(0));
  for (int v = 0; v < height; ++v) {
    for (int u = 0; u < width; ++u) {
      const float z = nearest.at<float>(v, u);
      if (z > 1e8f) {continue;}
      scene.depth.at<std::uint16_t>(v, u) =
        static_cast<std::uint16_t>(std::lround(z * 1000.0f + noise(random)));
      scene.mask.at<std::uint8_t>(v, u) = 255;
      ++scene.pixels;
    }
  }
  scene.rect = cv::Rect_<float>(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height));
  return scene;
}

// A scene whose mask holds about `pixels` pixels.
const Scene & SceneOf(std::size_t pixels)
{
  static std::map<std::size_t, Scene> scenes;
  auto found = scenes.find(pixels);
  if (found != scenes.end()) {return found->second;}
  const Eigen::Matrix4f base2camera = MakeEstimator().base2camera_;
  const float probe_focal = 300.0f;
  const Scene probe = Render(base2camera, probe_focal, 0.0005f);
  const float focal = probe_focal * std::sqrt(static_cast<float>(pixels) / probe.pixels);
  // Samples at about a third of the smallest pixel footprint (object >= 0.3 m away).
  return scenes[pixels] = Render(base2camera, focal, 0.3f * 0.3f / focal);
}

enum Mode { kPlainPcl = 0, kFast = 1, kFastTwoThreads = 2, kFastPortable = 3 };

void BM_MaskToGrabPose(benchmark::State & state)
{
  const Scene & scene = SceneOf(static_cast<std::size_t>(state.range(0)));
  const Mode mode = static_cast<Mode>(state.range(1));
  velmora::GrabPoseEstimator estimator = MakeEstimator();
  estimator.use_plain_pcl_ = mode == kPlainPcl;
  estimator.neighbour_threads_ = mode == kFastTwoThreads ? 2 : 1;
  estimator.portable_distance_loop_ = mode == kFastPortable;

  velmora::DepthImageView view;
  view.data = scene.depth.data;
  view.width = static_cast<std::uint32_t>(scene.depth.cols);
  view.height = static_cast<std::uint32_t>(scene.depth.rows);
  view.step = static_cast<std::uint32_t>(scene.depth.step);
  view.size = scene.depth.step * scene.depth.rows;

  QuietCout quiet;
  Cloud camera_cloud;
  int status = 0;
  std::size_t processed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    quiet.Clear();
    camera_cloud.clear();
    state.ResumeTiming();
    velmora::BackProjectMask(view, scene.mask, scene.rect, scene.intrinsics, camera_cloud);
    auto cloud = std::make_shared<Cloud>();
    estimator.TransformCloud(camera_cloud, *cloud, estimator.base2camera_);
    status = estimator.GetInitialGrabPose(cloud);
    processed = cloud->size();
    benchmark::DoNotOptimize(status);
  }
  state.counters["pixels"] = static_cast<double>(scene.pixels);
  state.counters["kept"] = static_cast<double>(processed);
  state.counters["status"] = status;
}
BENCHMARK(BM_MaskToGrabPose)
->ArgNames({"pixels", "mode"})
->ArgsProduct({{2000, 10000, 50000}, {kPlainPcl, kFast, kFastTwoThreads, kFastPortable}})
->Unit(benchmark::kMillisecond)
->UseRealTime();

// Keeps each run's time (the median where repetitions were asked for) for the table.
class TableReporter : public benchmark::ConsoleReporter
{
public:
  void ReportRuns(const std::vector<Run> & runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run & run : runs) {
      const std::string name = run.run_name.str();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) {continue;}
      if (run.run_type == Run::RT_Iteration && medians_.count(name) != 0) {continue;}
      if (median) {medians_.insert(name);}
      if (median || times_.count(name) == 0) {
        times_[name] = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
      }
    }
  }

  void PrintTable() const
  {
    std::printf(
      "\n%8s  %14s  %14s  %7s  %14s  %18s  %16s  %7s\n", "pixels", "plain CPU ms",
      "fast CPU ms", "ratio", "fast wall ms", "2 threads wall ms", "portable CPU ms",
      "ratio");
    for (const int pixels : {2000, 10000, 50000}) {
      const auto time = [&](int mode) {
          const auto it = times_.find(
            "BM_MaskToGrabPose/pixels:" + std::to_string(pixels) +
            "/mode:" + std::to_string(mode) + "/real_time");
          return it == times_.end() ? std::make_pair(std::nan(""), std::nan("")) : it->second;
        };
      std::printf(
        "%8d  %14.3f  %14.3f  %7.1f  %14.3f  %18.3f  %16.3f  %7.1f\n", pixels,
        time(kPlainPcl).first, time(kFast).first, time(kPlainPcl).first / time(kFast).first,
        time(kFast).second, time(kFastTwoThreads).second, time(kFastPortable).first,
        time(kPlainPcl).first / time(kFastPortable).first);
    }
  }

private:
  std::map<std::string, std::pair<double, double>> times_;  // CPU and wall ms
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {return 1;}
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
