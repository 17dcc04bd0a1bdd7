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

// detect() on a 640x480 image, split into its stages.  The synthetic "crowd" model gives
// 8320 candidates above the threshold and 20 detections; the real model is timed on a real
// 640x480 frame when the tests have prepared it (run ctest first).
//   velmora_model_zoo_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// forward/real runs the default engine (backend cpu); forward/real/opencv and
// forward/real/xnnpack run each engine with one thread.  Alternating, on one core:
//   taskset -c 0 velmora_model_zoo_bench --benchmark_filter='forward/real/'
//       --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// ends with their medians and ratio.
//
// forward_onnxruntime/real times ONNX Runtime's CPU provider (one thread) on the same prepared
// graph and blob, through onnxruntime-node in a child process, where it is installed (npm,
// beside the build, never a dependency): see the package README.  On one core, alternating:
//   taskset -c 0 velmora_model_zoo_bench --benchmark_filter='forward.*/real'
//       --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// ends with the ratio of the forward medians (real_unmerged: the graph prepared with
// --no-merge, as before the tool merged convolutions; real_320x256: --input-size 320x256).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_model_zoo/yolov8_seg.hpp"

namespace
{

struct Setup
{
  std::unique_ptr<YOLOv8Seg> model;
  cv::Mat image{480, 640, CV_8UC3, cv::Scalar(90, 100, 110)};
  cv::Mat blob;
  det::Letterbox lb;
  cv::Mat dets;
  cv::Mat protos;

  std::string why = "model absent";

  explicit Setup(const std::string & config, const std::string & image_file = "")
  {
    if (!std::ifstream(config)) {return;}
    const cv::Mat bgr = image_file.empty() ? cv::Mat() : cv::imread(image_file);
    if (!bgr.empty()) {cv::cvtColor(bgr, image, cv::COLOR_BGR2RGB);}
    try {
      model = std::make_unique<YOLOv8Seg>(config);
    } catch (const std::runtime_error & e) {
      why = e.what();  // an engine this build lacks
      return;
    }
    lb = model->preprocess(image, blob);
    model->forward(blob, dets, protos);
  }
};

Setup & crowd()
{
  static Setup s(std::string(TEST_MODEL_DIR) + "/crowd.yaml");
  return s;
}

const std::string kRealFrame =
  std::string(SHARED_DATA_DIR) + "/pcl_kinect_floor/milk_cartoon_all_small_clorox_color.png";

Setup & real()
{
  static Setup s(std::string(REAL_MODEL_DIR) + "/yolov8n_seg_320.yaml", kRealFrame);
  return s;
}

// A configuration of a graph the tests prepared on one engine ("" where they did not).
std::string real_config(const std::string & onnx_name, int height, const std::string & backend)
{
  const std::string onnx = std::string(REAL_MODEL_DIR) + "/" + onnx_name;
  const std::string path = onnx + "." + backend + ".bench.yaml";
  if (!std::ifstream(onnx)) {return "";}
  std::ofstream(path) << "onnx: " << onnx << "\ninput_width: 320\ninput_height: " << height
                      << "\nnum_classes: 80\nbackend: " << backend << "\nthreads: 1\n";
  return path;
}

// The real network on each engine, one thread.
Setup & real_opencv()
{
  static Setup s(real_config("yolov8n_seg_320.onnx", 320, "opencv"), kRealFrame);
  return s;
}

Setup & real_xnnpack()
{
  static Setup s(real_config("yolov8n_seg_320.onnx", 320, "xnnpack"), kRealFrame);
  return s;
}

// The same network prepared with --no-merge, as before the tool merged convolutions (OpenCV).
Setup & real_unmerged()
{
  static Setup s(real_config("yolov8n_seg_320_unmerged.onnx", 320, "opencv"), kRealFrame);
  return s;
}

// The same network for a 320x256 input (the 640x480 frame at the same scale), OpenCV.
Setup & real_320x256()
{
  static Setup s(real_config("yolov8n_seg_320x256.onnx", 256, "opencv"), kRealFrame);
  return s;
}

// ONNX Runtime in a node child process: one inference per request, its own timing.
class OnnxRuntimeChild
{
public:
  OnnxRuntimeChild(const std::string & onnx, const cv::Mat & blob)
  {
    const char * env = std::getenv("VELMORA_ONNXRUNTIME_NODE");
    const std::string package = env && *env ? env : ONNXRUNTIME_NODE_DIR;
    if (!std::ifstream(package + "/package.json")) {
      why_ = "onnxruntime-node not found at " + package +
        " (npm install --ignore-scripts --prefix build/ort onnxruntime-node, or set "
        "VELMORA_ONNXRUNTIME_NODE)";
      return;
    }
    const std::string input = onnx + ".bench_blob.f32";
    std::ofstream(input, std::ios::binary)
    .write(
      reinterpret_cast<const char *>(blob.ptr<float>()),
      static_cast<std::streamsize>(blob.total() * sizeof(float)));
    std::vector<std::string> args = {"node", ORT_FORWARD_SCRIPT, package, onnx, input};
    for (int i = 0; i < blob.dims; ++i) {args.push_back(std::to_string(blob.size[i]));}
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0) {
      why_ = "no pipe for the node child";
      return;
    }
    if (::pipe(from_child) != 0) {
      ::close(to_child[0]);
      ::close(to_child[1]);
      why_ = "no pipe for the node child";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, to_child[1]);
    posix_spawn_file_actions_addclose(&actions, from_child[0]);
    std::vector<char *> argv;
    for (auto & a : args) {argv.push_back(a.data());}
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_ = ::fdopen(to_child[1], "w");
    from_ = ::fdopen(from_child[0], "r");
    if (rc != 0) {
      pid_ = -1;
    } else if (readLine() == "ready") {
      return;
    }
    why_ = "node could not run " + std::string(ORT_FORWARD_SCRIPT) + " with " + package;
    stop();
  }

  ~OnnxRuntimeChild() {stop();}

  OnnxRuntimeChild(const OnnxRuntimeChild &) = delete;
  OnnxRuntimeChild & operator=(const OnnxRuntimeChild &) = delete;

  bool ok() const {return pid_ > 0;}
  // Why the child is not running ("" while it is).
  const std::string & why() const {return why_;}

  // One inference; its time in milliseconds, NaN when the child failed.
  double run()
  {
    std::fputs("run\n", to_);
    std::fflush(to_);
    const std::string line = readLine();
    return line.empty() ? std::nan("") : std::atof(line.c_str());
  }

private:
  std::string readLine()
  {
    char buffer[128];
    if (!from_ || !std::fgets(buffer, sizeof(buffer), from_)) {return "";}
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {line.pop_back();}
    return line;
  }

  // Closing its standard input ends a ready child; one that never got ready may still be
  // loading, so it is killed.  Either way it is reaped, not left a zombie.
  void stop()
  {
    const bool ready = why_.empty();
    if (to_) {std::fclose(to_);}
    if (from_) {std::fclose(from_);}
    to_ = from_ = nullptr;
    if (pid_ <= 0) {return;}
    if (!ready) {::kill(pid_, SIGKILL);}
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  std::FILE * to_ = nullptr;
  std::FILE * from_ = nullptr;
  std::string why_;
};

// One child per graph, started on its first capture: each ONNX path times its own model.
OnnxRuntimeChild & onnxruntime_child(const std::string & onnx, const cv::Mat & blob)
{
  static std::map<std::string, std::unique_ptr<OnnxRuntimeChild>> children;
  auto & child = children[onnx];
  if (!child) {child = std::make_unique<OnnxRuntimeChild>(onnx, blob);}
  return *child;
}

void preprocess(benchmark::State & state, Setup & (*get)())
{
  Setup & s = get();
  if (!s.model) {return state.SkipWithError(s.why.c_str());}
  for (auto _ : state) {
    s.lb = s.model->preprocess(s.image, s.blob);
    benchmark::DoNotOptimize(s.blob.data);
  }
}

void forward(benchmark::State & state, Setup & (*get)())
{
  Setup & s = get();
  if (!s.model) {return state.SkipWithError(s.why.c_str());}
  for (auto _ : state) {
    s.model->forward(s.blob, s.dets, s.protos);
  }
}

void forward_onnxruntime(benchmark::State & state, Setup & (*get)())
{
  Setup & s = get();
  if (!s.model) {return state.SkipWithError(s.why.c_str());}
  OnnxRuntimeChild & child = onnxruntime_child(s.model->config().onnx, s.blob);
  if (!child.ok()) {return state.SkipWithError(child.why().c_str());}
  for (auto _ : state) {
    const double ms = child.run();
    if (std::isnan(ms)) {return state.SkipWithError("onnxruntime-node stopped answering");}
    state.SetIterationTime(ms / 1000.0);
  }
}

void postprocess(benchmark::State & state, Setup & (*get)())
{
  Setup & s = get();
  if (!s.model) {return state.SkipWithError(s.why.c_str());}
  std::vector<det::Object> objects;
  for (auto _ : state) {
    s.model->postprocess(s.dets, s.protos, s.lb, objects);
  }
  state.counters["detections"] = static_cast<double>(objects.size());
}

void detect(benchmark::State & state, Setup & (*get)())
{
  Setup & s = get();
  if (!s.model) {return state.SkipWithError(s.why.c_str());}
  std::vector<det::Object> objects;
  for (auto _ : state) {
    s.model->detect(s.image, objects);
  }
  state.counters["detections"] = static_cast<double>(objects.size());
}

}  // namespace

BENCHMARK_CAPTURE(preprocess, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(postprocess, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(preprocess, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, real_unmerged, real_unmerged)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, real_320x256, real_320x256)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward_onnxruntime, real, real)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(postprocess, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect, real, real)->Unit(benchmark::kMillisecond);

namespace
{

// Keeps the real-model forward times for the closing ratio: the median aggregate where
// repetitions were asked for, else the median of the runs.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
  void ReportRuns(const std::vector<Run> & runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run & run : runs) {
      if (run.error_occurred) {continue;}
      const std::string name = run.run_name.str();
      if (run.run_type != Run::RT_Aggregate) {
        times_[name].push_back(run.GetAdjustedRealTime());
      } else if (run.aggregate_name == "median") {
        medians_[name] = run.GetAdjustedRealTime();
      }
    }
  }

  void PrintRatio() const
  {
    const double opencv = median_of("forward/real/opencv");
    const double xnnpack = median_of("forward/real/xnnpack");
    const double unmerged = median_of("forward/real_unmerged");
    const double ort = median_of("forward_onnxruntime/real/manual_time");
    if (!std::isnan(opencv) && !std::isnan(xnnpack)) {
      std::printf(
        "\nforward on the real model, one thread: OpenCV %.2f ms, XNNPACK %.2f ms, ratio %.2f\n",
        opencv, xnnpack, opencv / xnnpack);
    }
    if (std::isnan(opencv) || std::isnan(ort)) {return;}
    std::printf(
      "\nforward on the real model: OpenCV %.2f ms, ONNX Runtime %.2f ms, ratio %.2f\n",
      opencv, ort, opencv / ort);
    if (!std::isnan(unmerged)) {
      std::printf(
        "OpenCV on the unmerged graph %.2f ms, ratio %.2f\n", unmerged,
        unmerged / ort);
    }
    const double small = median_of("forward/real_320x256");
    if (!std::isnan(small)) {
      std::printf("OpenCV at 320x256 %.2f ms, %.2f of 320x320\n", small, small / opencv);
    }
  }

private:
  double median_of(const std::string & name) const
  {
    const auto median = medians_.find(name);
    if (median != medians_.end()) {return median->second;}
    const auto it = times_.find(name);
    if (it == times_.end() || it->second.empty()) {return std::nan("");}
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }

  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char ** argv)
{
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {return 1;}
  // Registered here: BENCHMARK_CAPTURE cannot give a name with two slashes.
  benchmark::RegisterBenchmark("forward/real/opencv", forward, real_opencv)
  ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("forward/real/xnnpack", forward, real_xnnpack)
  ->Unit(benchmark::kMillisecond);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
