// detect() on a 640x480 image, split into its stages.  The synthetic "crowd" model gives
// 8320 candidates above the threshold and 20 detections; the real model is timed on a real
// 640x480 frame when the tests have prepared it (run ctest first).
//   velmora_model_zoo_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <fstream>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_model_zoo/yolov8_seg.hpp"

namespace {

struct Setup {
  std::unique_ptr<YOLOv8Seg> model;
  cv::Mat image{480, 640, CV_8UC3, cv::Scalar(90, 100, 110)};
  cv::Mat blob;
  det::Letterbox lb;
  cv::Mat dets;
  cv::Mat protos;

  explicit Setup(const std::string& config, const std::string& image_file = "") {
    if (!std::ifstream(config)) return;
    const cv::Mat bgr = image_file.empty() ? cv::Mat() : cv::imread(image_file);
    if (!bgr.empty()) cv::cvtColor(bgr, image, cv::COLOR_BGR2RGB);
    model = std::make_unique<YOLOv8Seg>(config);
    lb = model->preprocess(image, blob);
    model->forward(blob, dets, protos);
  }
};

Setup& crowd() {
  static Setup s(std::string(TEST_MODEL_DIR) + "/crowd.yaml");
  return s;
}

Setup& real() {
  static Setup s(std::string(REAL_MODEL_DIR) + "/yolov8n_seg_320.yaml",
                 std::string(SHARED_DATA_DIR) +
                     "/pcl_kinect_floor/milk_cartoon_all_small_clorox_color.png");
  return s;
}

void preprocess(benchmark::State& state, Setup& (*get)()) {
  Setup& s = get();
  if (!s.model) return state.SkipWithError("model absent");
  for (auto _ : state) {
    s.lb = s.model->preprocess(s.image, s.blob);
    benchmark::DoNotOptimize(s.blob.data);
  }
}

void forward(benchmark::State& state, Setup& (*get)()) {
  Setup& s = get();
  if (!s.model) return state.SkipWithError("model absent");
  for (auto _ : state) s.model->forward(s.blob, s.dets, s.protos);
}

void postprocess(benchmark::State& state, Setup& (*get)()) {
  Setup& s = get();
  if (!s.model) return state.SkipWithError("model absent");
  std::vector<det::Object> objects;
  for (auto _ : state) s.model->postprocess(s.dets, s.protos, s.lb, objects);
  state.counters["detections"] = static_cast<double>(objects.size());
}

void detect(benchmark::State& state, Setup& (*get)()) {
  Setup& s = get();
  if (!s.model) return state.SkipWithError("model absent");
  std::vector<det::Object> objects;
  for (auto _ : state) s.model->detect(s.image, objects);
  state.counters["detections"] = static_cast<double>(objects.size());
}

}  // namespace

BENCHMARK_CAPTURE(preprocess, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(postprocess, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect, crowd, crowd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(preprocess, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(forward, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(postprocess, real, real)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect, real, real)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
