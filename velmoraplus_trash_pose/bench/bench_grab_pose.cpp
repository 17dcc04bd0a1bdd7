// Times GetInitialGrabPose and PclProcessFunc on a lying box of 0.10 x 0.06 x 0.04 m
// in the base frame, seen from the shipped camera 1. The estimator's console lines
// go to a discarded buffer during the timed loop so printing does not dominate.
#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>

#include <benchmark/benchmark.h>

#include "velmoraplus_trash_pose/grab_pose_estimator.hpp"

namespace {

using Cloud = velmora::GrabPoseEstimator::Cloud;

// Points on the top and the two faces turned to the camera, with 1 mm noise.
Cloud::Ptr MakeBoxCloud(std::size_t count) {
  std::mt19937 random(42);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.001f);
  const float length = 0.10f, width = 0.06f, height = 0.04f;
  const float x0 = -0.45f - length / 2, y0 = -width / 2, z0 = -0.176f;
  auto cloud = std::make_shared<Cloud>();
  cloud->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const float a = unit(random), b = unit(random);
    pcl::PointXYZ p;
    switch (i % 3) {
      case 0:  // top
        p = {x0 + a * length, y0 + b * width, z0 + height};
        break;
      case 1:  // face towards the camera (+x side)
        p = {x0 + length, y0 + a * width, z0 + b * height};
        break;
      default:  // side face
        p = {x0 + a * length, y0, z0 + b * height};
        break;
    }
    cloud->push_back({p.x + noise(random), p.y + noise(random), p.z + noise(random)});
  }
  return cloud;
}

class QuietCout {
 public:
  QuietCout() : previous_(std::cout.rdbuf(sink_.rdbuf())) {}
  ~QuietCout() { std::cout.rdbuf(previous_); }
  void Clear() { sink_.str(std::string()); }

 private:
  std::ostringstream sink_;
  std::streambuf* previous_;
};

velmora::GrabPoseEstimator MakeEstimator() {
  setenv("VELMORAPLUS_DATA_DIR", VELMORA_BENCH_DATA_DIR, 1);
  QuietCout quiet;
  return velmora::GrabPoseEstimator(VELMORA_BENCH_CONFIG);
}

velmora::GrabPoseEstimator& Estimator() {
  static velmora::GrabPoseEstimator estimator = MakeEstimator();
  return estimator;
}

void BM_GetInitialGrabPose(benchmark::State& state) {
  const Cloud::Ptr source = MakeBoxCloud(static_cast<std::size_t>(state.range(0)));
  velmora::GrabPoseEstimator& estimator = Estimator();
  QuietCout quiet;
  int status = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto cloud = std::make_shared<Cloud>(*source);
    quiet.Clear();
    state.ResumeTiming();
    status = estimator.GetInitialGrabPose(cloud);
    benchmark::DoNotOptimize(status);
  }
  state.counters["status"] = status;
}
BENCHMARK(BM_GetInitialGrabPose)->Arg(2000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_PclProcessFunc(benchmark::State& state) {
  const Cloud::Ptr source = MakeBoxCloud(static_cast<std::size_t>(state.range(0)));
  velmora::GrabPoseEstimator& estimator = Estimator();
  QuietCout quiet;
  for (auto _ : state) {
    state.PauseTiming();
    auto cloud = std::make_shared<Cloud>(*source);
    quiet.Clear();
    state.ResumeTiming();
    estimator.PclProcessFunc(cloud, cloud);
    benchmark::DoNotOptimize(cloud->size());
  }
}
BENCHMARK(BM_PclProcessFunc)->Arg(2000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
