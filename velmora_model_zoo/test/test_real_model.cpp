// The COCO yolov8n-seg of the shared test data, prepared by tools/prepare_model.py, on real
// frames.  Skips when the data is absent.
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_model_zoo/yolov8_seg.hpp"

namespace {

constexpr int kBottle = 39;
constexpr int kCup = 41;

std::string shared_data() {
  const char* env = std::getenv("VELMORA_SHARED_DATA");
  return env ? env : SHARED_DATA_DIR;
}

std::string prepared_config(const std::string& extra) {
  const std::string onnx = std::string(REAL_MODEL_DIR) + "/yolov8n_seg_320.onnx";
  if (!std::ifstream(onnx)) return "";
  const std::string path = std::string(REAL_MODEL_DIR) + "/test_" +
                           std::to_string(std::hash<std::string>()(extra)) + ".yaml";
  std::ofstream(path) << "onnx: yolov8n_seg_320.onnx\ninput_width: 320\ninput_height: 320\n"
                         "num_classes: 80\nconfidence_threshold: 0.3\n"
                      << extra;
  return path;
}

cv::Mat rgb(const std::string& file) {
  cv::Mat bgr = cv::imread(shared_data() + "/" + file, cv::IMREAD_COLOR);
  cv::Mat out;
  if (!bgr.empty()) cv::cvtColor(bgr, out, cv::COLOR_BGR2RGB);
  return out;
}

int count_label(const std::vector<det::Object>& objects, int label) {
  int n = 0;
  for (const auto& o : objects) n += o.label == label ? 1 : 0;
  return n;
}

}  // namespace

TEST(RealModel, FindsTheBottlesOnTheFloor) {
  const std::string cfg = prepared_config("");
  const cv::Mat image = rgb("pcl_kinect_floor/milk_cartoon_all_small_clorox_color.png");
  if (cfg.empty() || image.empty()) GTEST_SKIP() << "shared data or prepared model absent";
  YOLOv8Seg model(cfg);
  std::vector<det::Object> objects;
  model.detect(image, objects);
  EXPECT_GE(count_label(objects, kBottle), 2);
  for (const auto& o : objects) {
    EXPECT_GT(o.score, 0.3F);
    EXPECT_GT(cv::countNonZero(o.mask), 0.2 * o.rect.area()) << "label " << o.label;
    EXPECT_LE(cv::countNonZero(o.mask), o.rect.area() + o.rect.width + o.rect.height + 1);
  }
}

TEST(RealModel, FindsBottlesAndCupsOnYcbTablesAsSystemBottles) {
  const std::string cfg = prepared_config("class_map: {39: 4, 41: 4}\n");
  if (cfg.empty() || rgb("posecnn_ycb_video/000001-color.png").empty()) {
    GTEST_SKIP() << "shared data or prepared model absent";
  }
  YOLOv8Seg model(cfg);
  int found = 0;
  for (int i = 1; i <= 5; ++i) {
    const cv::Mat image = rgb("posecnn_ycb_video/00000" + std::to_string(i) + "-color.png");
    std::vector<det::Object> objects;
    model.detect(image, objects);
    for (const auto& o : objects) EXPECT_EQ(o.label, 4);
    found += objects.empty() ? 0 : 1;
  }
  EXPECT_GE(found, 4);
}
