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

// detect() end to end on synthetic models whose raw outputs are known (tools/make_test_model.py
// and test/models/*.yaml).
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "test_util.hpp"
#include "velmora_model_zoo/yolov8_seg.hpp"

using det::Object;
using test_util::model;
using test_util::write_file;
using ::testing::HasSubstr;

namespace
{

cv::Mat grey(int w, int h) {return cv::Mat(h, w, CV_8UC3, cv::Scalar(90, 100, 110));}

void expect_rect(const Object & o, float x, float y, float w, float h)
{
  EXPECT_NEAR(o.rect.x, x, 1e-3);
  EXPECT_NEAR(o.rect.y, y, 1e-3);
  EXPECT_NEAR(o.rect.width, w, 1e-3);
  EXPECT_NEAR(o.rect.height, h, 1e-3);
}

int mask_pixels(const Object & o, cv::Rect r)
{
  const cv::Rect inside = r & o.mask_box;
  return inside.empty() ? 0 : cv::countNonZero(o.mask(inside - o.mask_box.tl()));
}

template<typename F>
std::string error_of(F && f)
{
  try {
    f();
  } catch (const std::exception & e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace

TEST(YOLOv8Seg, DecodesSuppressesAndClipsOn640x480) {
  YOLOv8Seg model_(model("scene"));
  std::vector<Object> objects{Object{}};  // replaced, not appended to
  model_.detect(grey(640, 480), objects);
  // 640x480 sits in the 640 input at scale 1 with 80 rows of padding above.
  ASSERT_EQ(objects.size(), 4U);
  EXPECT_EQ(objects[0].label, 4);  // A; B (same class, IoU 0.67) suppressed
  EXPECT_FLOAT_EQ(objects[0].score, 0.9F);
  expect_rect(objects[0], 100, 100, 80, 120);
  EXPECT_EQ(objects[1].label, 9);  // C over A, other class, kept
  expect_rect(objects[1], 120, 120, 60, 60);
  EXPECT_EQ(objects[2].label, 0);  // E: input 600..680 x 500..580 -> clipped to the image
  expect_rect(objects[2], 600, 420, 40, 60);
  EXPECT_EQ(objects[3].label, 12);  // D (score 0.2) dropped
  expect_rect(objects[3], 300, 220, 40, 40);

  for (const Object & o : objects) {
    EXPECT_EQ(o.mask.type(), CV_8UC1);
    EXPECT_EQ(o.mask.size(), o.mask_box.size());
    const cv::Rect covering = det::covering_pixels(o.rect, {640, 480});
    EXPECT_EQ(o.mask_box & covering, o.mask_box);  // within the box's pixels
    double max = 0;
    cv::minMaxLoc(o.mask, nullptr, &max);
    EXPECT_EQ(max, 1.0);
  }
  // Rectangle masks are exact along their edges; each corner may lose its corner pixel.
  EXPECT_NEAR(cv::countNonZero(objects[0].mask), 80 * 120, 4);
  EXPECT_EQ(mask_pixels(objects[0], cv::Rect(101, 101, 78, 118)), 78 * 118);
  EXPECT_NEAR(cv::countNonZero(objects[2].mask), 40 * 60, 4);
  EXPECT_NEAR(cv::countNonZero(objects[3].mask), 16 * 16, 4);
  EXPECT_EQ(mask_pixels(objects[3], cv::Rect(309, 229, 14, 14)), 14 * 14);
  EXPECT_EQ(mask_pixels(objects[3], cv::Rect(308, 230, 16, 12)), 16 * 12);
  EXPECT_EQ(mask_pixels(objects[3], cv::Rect(310, 228, 12, 16)), 12 * 16);
  // Ellipse of C: area pi*30*30 within a few percent, centre set, box corners clear.
  EXPECT_NEAR(cv::countNonZero(objects[1].mask), 3.14159 * 900, 0.01 * 3.14159 * 900);
  EXPECT_EQ(det::image_mask(objects[1], {640, 480}).at<uchar>(150, 150), 1);
  EXPECT_EQ(det::image_mask(objects[1], {640, 480}).at<uchar>(121, 121), 0);
}

TEST(YOLOv8Seg, MapsBoxesAndMasksBackFrom1280x720) {
  YOLOv8Seg model_(model("scene"));
  std::vector<Object> objects;
  model_.detect(grey(1280, 720), objects);
  // Scale 0.5, 140 rows of padding: E lies in the padding below the image and is dropped.
  ASSERT_EQ(objects.size(), 3U);
  expect_rect(objects[0], 200, 80, 160, 240);
  expect_rect(objects[1], 240, 120, 120, 120);
  expect_rect(objects[2], 600, 320, 80, 80);
  EXPECT_EQ(objects[0].mask_box, cv::Rect(200, 80, 160, 240));
  // Twice the input resolution: corners lose up to 6 pixels each.
  EXPECT_NEAR(cv::countNonZero(objects[0].mask), 160 * 240, 24);
  EXPECT_EQ(mask_pixels(objects[0], cv::Rect(204, 84, 152, 232)), 152 * 232);
  EXPECT_NEAR(cv::countNonZero(objects[2].mask), 32 * 32, 24);
  EXPECT_EQ(mask_pixels(objects[2], cv::Rect(616, 340, 32, 24)), 32 * 24);
  EXPECT_EQ(mask_pixels(objects[2], cv::Rect(620, 336, 24, 32)), 24 * 32);
}

TEST(YOLOv8Seg, ClassMapMergesAndDropsNetworkLabels) {
  YOLOv8Seg model_(model("coco_map"));
  std::vector<Object> objects;
  model_.detect(grey(640, 480), objects);
  // person unmapped -> dropped; bottle and the cup over it are one class now -> cup dropped.
  ASSERT_EQ(objects.size(), 2U);
  EXPECT_EQ(objects[0].label, 4);
  EXPECT_FLOAT_EQ(objects[0].score, 0.8F);
  expect_rect(objects[0], 100, 100, 60, 120);
  EXPECT_EQ(objects[1].label, 4);
  EXPECT_FLOAT_EQ(objects[1].score, 0.6F);
  expect_rect(objects[1], 400, 200, 80, 80);
  // 320 input, 80x80 prototypes: one prototype pixel is 8 image pixels here.
  EXPECT_NEAR(cv::countNonZero(objects[1].mask), 80 * 80, 80 * 4);
}

TEST(YOLOv8Seg, KeepsOneDetectionPerClusterOfCandidates) {
  YOLOv8Seg model_(model("crowd"));
  std::vector<Object> objects;
  model_.detect(grey(640, 480), objects);
  ASSERT_EQ(objects.size(), 20U);
  for (size_t i = 0; i < objects.size(); ++i) {
    EXPECT_NEAR(objects[i].score, 0.90F - 0.01F * static_cast<float>(i), 1e-5) << i;
  }
  expect_rect(objects[19], 490, 370, 60, 90);
  EXPECT_EQ(objects[19].label, 1);
}

TEST(YOLOv8Seg, StagesMatchDetect) {
  YOLOv8Seg model_(model("scene"));
  const cv::Mat image = grey(640, 480);
  cv::Mat blob;
  const det::Letterbox lb = model_.preprocess(image, blob);
  ASSERT_EQ(blob.dims, 4);
  EXPECT_EQ(blob.size[1], 3);
  EXPECT_EQ(blob.size[2], 640);
  // Grey padding above the image, the image's first pixel right below it.
  EXPECT_FLOAT_EQ(blob.at<float>(cv::Vec4i(0, 0, 79, 0)), 114.0F / 255.0F);
  EXPECT_FLOAT_EQ(blob.at<float>(cv::Vec4i(0, 0, 80, 0)), 90.0F / 255.0F);
  EXPECT_FLOAT_EQ(blob.at<float>(cv::Vec4i(0, 2, 80, 0)), 110.0F / 255.0F);
  EXPECT_EQ(lb.top, 80);
  cv::Mat dets;
  cv::Mat protos;
  model_.forward(blob, dets, protos);
  std::vector<Object> staged;
  model_.postprocess(dets, protos, lb, staged);
  std::vector<Object> direct;
  model_.detect(image, direct);
  ASSERT_EQ(staged.size(), direct.size());
  for (size_t i = 0; i < staged.size(); ++i) {
    EXPECT_EQ(staged[i].rect, direct[i].rect);
  }
}

TEST(YOLOv8Seg, RejectsImagesThatAreNotRgb8) {
  YOLOv8Seg model_(model("scene"));
  std::vector<Object> objects;
  EXPECT_THAT(error_of([&] {model_.detect(cv::Mat(), objects);}), HasSubstr("empty"));
  EXPECT_THAT(
    error_of([&] {model_.detect(cv::Mat(48, 64, CV_8UC1), objects);}),
    HasSubstr("8-bit 3-channel"));
  EXPECT_THROW(model_.detect(cv::Mat(48, 64, CV_32FC3), objects), std::invalid_argument);
  EXPECT_THROW(model_.detect(cv::Mat(48, 64, CV_8UC4), objects), std::invalid_argument);
}

TEST(YOLOv8Seg, ConstructionErrorsNameTheCulprit) {
  const std::string dir = TEST_MODEL_DIR;
  auto config = [&](const std::string & name, const std::string & extra) {
      return write_file(
        name, "onnx: " + dir + "/scene.onnx\ninput_width: 640\n"
        "input_height: 640\n" + extra);
    };
  EXPECT_THAT(
    error_of([] {YOLOv8Seg m("/nonexistent/model.yaml");}),
    HasSubstr("/nonexistent/model.yaml"));
  const std::string no_onnx = write_file("no_onnx.yaml", "input_width: 640\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(no_onnx);}), HasSubstr("'onnx' is missing"));
  const std::string missing = write_file("missing.yaml", "onnx: gone.onnx\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(missing);}), HasSubstr("gone.onnx"));
  const std::string junk_onnx = write_file("junk.onnx", "not a model");
  const std::string junk = write_file(
    "junk.yaml", "onnx: junk.onnx\ninput_width: 640\ninput_height: 640\nnum_classes: 16\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(junk);}), HasSubstr(junk_onnx));
  const std::string wrong_nc = config("wrong_nc.yaml", "num_classes: 15\n");
  const std::string msg = error_of([&] {YOLOv8Seg m(wrong_nc);});
  EXPECT_THAT(msg, HasSubstr("16 classes"));
  EXPECT_THAT(msg, HasSubstr("(1, 52, 8400)"));
  const std::string bad_backend = config("bad_backend.yaml", "num_classes: 16\nbackend: tpu\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(bad_backend);}), HasSubstr("'backend' value 'tpu'"));
  const std::string bad_output =
    config("bad_output.yaml", "num_classes: 16\ndetections_output: boxes\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(bad_output);}), HasSubstr("no output 'boxes'"));
  const std::string bad_threshold =
    config("bad_threshold.yaml", "num_classes: 16\nnms_threshold: high\n");
  EXPECT_THAT(
    error_of([&] {YOLOv8Seg m(bad_threshold);}),
    HasSubstr("'nms_threshold' must be a number, not 'high'"));
  const std::string bad_map =
    config("bad_map.yaml", "num_classes: 16\nclass_map: {16: 1}\n");
  EXPECT_THAT(error_of([&] {YOLOv8Seg m(bad_map);}), HasSubstr("network label 16"));
}

TEST(YOLOv8Seg, CudaBackendFailsClearlyWithoutCuda) {
  const std::string path = write_file(
    "cuda.yaml", "onnx: " + std::string(TEST_MODEL_DIR) +
    "/scene.onnx\ninput_width: 640\ninput_height: 640\nnum_classes: 16\n"
    "backend: cuda_fp16\n");
  try {
    YOLOv8Seg m(path);
    SUCCEED() << "this OpenCV has the CUDA backend";
  } catch (const std::runtime_error & e) {
    EXPECT_THAT(e.what(), HasSubstr("'cuda_fp16' is not available"));
  }
}

TEST(YOLOv8Seg, ResolvesPackageUrlsThroughTheAmentIndex) {
  // A one-package ament index below the build tree.
  const std::string prefix = std::string(TEST_WORK_DIR) + "/ament_prefix";
  for (const char * d : {"", "/share", "/share/ament_index", "/share/ament_index/resource_index",
      "/share/ament_index/resource_index/packages", "/share/demo_pkg",
      "/share/demo_pkg/models"})
  {
    ::mkdir((prefix + d).c_str(), 0755);
  }
  write_file("ament_prefix/share/ament_index/resource_index/packages/demo_pkg", "");
  write_file(
    "ament_prefix/share/demo_pkg/models/scene.yaml",
    "onnx: " + std::string(TEST_MODEL_DIR) +
    "/scene.onnx\ninput_width: 640\ninput_height: 640\nnum_classes: 16\n");
  const char * old = std::getenv("AMENT_PREFIX_PATH");
  const std::string saved = old ? old : "";
  ::setenv("AMENT_PREFIX_PATH", prefix.c_str(), 1);
  EXPECT_EQ(
    det::resolve_model_path("package://demo_pkg/models/scene.yaml", "/ignored"),
    prefix + "/share/demo_pkg/models/scene.yaml");
  EXPECT_THAT(
    error_of([] {det::resolve_model_path("package://no_such_pkg/x.yaml", ".");}),
    HasSubstr("no_such_pkg"));
  EXPECT_THAT(
    error_of([] {det::resolve_model_path("package://demo_pkg", ".");}),
    HasSubstr("package://<package>/<path>"));
  EXPECT_EQ(det::resolve_model_path("/abs/m.onnx", "/cfg"), "/abs/m.onnx");
  EXPECT_EQ(det::resolve_model_path("m.onnx", "/cfg"), "/cfg/m.onnx");
  YOLOv8Seg model_(det::resolve_model_path("package://demo_pkg/models/scene.yaml", "."));
  std::vector<Object> objects;
  model_.detect(grey(640, 480), objects);
  EXPECT_EQ(objects.size(), 4U);
  if (old) {
    ::setenv("AMENT_PREFIX_PATH", saved.c_str(), 1);
  } else {
    ::unsetenv("AMENT_PREFIX_PATH");
  }
}

TEST(YOLOv8Seg, ReplaysRecordedDetections) {
  const std::string dir = std::string(TEST_WORK_DIR) + "/recording";
  ::mkdir(TEST_WORK_DIR, 0755);
  ::mkdir(dir.c_str(), 0755);
  cv::Mat mask = cv::Mat::zeros(48, 64, CV_8UC1);
  mask(cv::Rect(10, 10, 5, 4)).setTo(255);
  cv::imwrite(dir + "/m0.png", mask);
  cv::Mat special = grey(64, 48);
  special.at<cv::Vec3b>(0, 0) = cv::Vec3b(1, 2, 3);
  cv::imwrite(dir + "/special.png", special);
  write_file(
    "recording/frames.yaml",
    "frames:\n"
    "  - objects:\n"
    "      - {label: 4, score: 0.5, box: [10, 10, 5, 4], mask: m0.png}\n"
    "      - {label: 2, score: 0.9, box: [60, 40, 10, 10], mask: m0.png}\n"
    "  - objects: []\n"
    "  - image: special.png\n"
    "    objects:\n"
    "      - {label: 7, score: 0.8, box: [0, 0, 64, 48], mask: m0.png}\n");
  const std::string cfg = write_file(
    "recorded.yaml",
    "source: recorded\nrecording: recording/frames.yaml\n");
  YOLOv8Seg model_(cfg);
  std::vector<Object> objects;
  model_.detect(grey(64, 48), objects);  // frame 0, highest score first, box clipped
  ASSERT_EQ(objects.size(), 2U);
  EXPECT_EQ(objects[0].label, 2);
  EXPECT_EQ(objects[0].rect, cv::Rect_<float>(60, 40, 4, 8));
  EXPECT_EQ(cv::countNonZero(objects[1].mask), 20);
  EXPECT_EQ(det::image_mask(objects[1], {64, 48}).at<uchar>(10, 10), 1);
  // A detection holds the pixels of its box, not an image-size mask.
  EXPECT_EQ(objects[1].mask_box, cv::Rect(10, 10, 5, 4));
  EXPECT_EQ(objects[1].mask.total(), 20U);
  model_.detect(grey(64, 48), objects);  // frame 1
  EXPECT_TRUE(objects.empty());
  model_.detect(special, objects);  // matched by its image
  ASSERT_EQ(objects.size(), 1U);
  EXPECT_EQ(objects[0].label, 7);
  model_.detect(grey(64, 48), objects);  // wraps around to frame 0
  EXPECT_EQ(objects.size(), 2U);
  model_.detect(grey(64, 48), objects);  // frame 1
  model_.detect(grey(64, 48), objects);  // frame 2, by order
  EXPECT_EQ(objects.size(), 1U);
  EXPECT_THAT(error_of([&] {model_.detect(grey(32, 24), objects);}), HasSubstr("m0.png"));

  const std::string broken = write_file(
    "recording/broken.yaml",
    "frames:\n  - objects:\n      - {label: 1, score: 0.5, "
    "box: [0, 0, 1, 1], mask: absent.png}\n");
  EXPECT_THAT(
    error_of(
      [&] {
        det::YOLOv8Seg m(
          write_file(
            "broken_rec.yaml",
            "source: recorded\nrecording: " +
            broken + "\n"));
      }),
    HasSubstr("absent.png"));
}

// A recorded score orders the detections and meets thresholds: only numbers within [0, 1]
// are replayed; the error names the object and the value.
TEST(YOLOv8Seg, RecordedScoresLieWithinZeroAndOne) {
  const auto recording = [](const std::string & name, const std::string & score) {
      const std::string frames = write_file(
        "recording/" + name + ".yaml",
        "frames:\n  - objects:\n"
        "      - {label: 1, score: 0.5, box: [0, 0, 1, 1], mask: m0.png}\n"
        "      - {label: 2, score: " + score + ", box: [0, 0, 1, 1], mask: m0.png}\n");
      return write_file(name + "_rec.yaml", "source: recorded\nrecording: " + frames + "\n");
    };
  ::mkdir(TEST_WORK_DIR, 0755);
  ::mkdir((std::string(TEST_WORK_DIR) + "/recording").c_str(), 0755);
  cv::imwrite(std::string(TEST_WORK_DIR) + "/recording/m0.png", cv::Mat::zeros(48, 64, CV_8UC1));

  for (const std::string score : {".nan", ".inf", "-.inf", "inf", "-0.5", "1.5"}) {
    SCOPED_TRACE(score);
    const std::string error = error_of([&] {YOLOv8Seg m(recording("bad_score", score));});
    EXPECT_THAT(error, HasSubstr("frame 0: object 1: 'score' " + score + " is not a number"));
  }

  for (const std::string score : {"1.0", "0.0"}) {
    SCOPED_TRACE(score);
    YOLOv8Seg m(recording("edge_score", score));
    std::vector<Object> objects;
    m.detect(grey(64, 48), objects);
    ASSERT_EQ(objects.size(), 2U);
    EXPECT_FLOAT_EQ(objects[score == "1.0" ? 0 : 1].score, std::stof(score));
  }
}

namespace
{
class FixedModel : public YOLOv8Seg
{
public:
  void detect(const cv::Mat &, std::vector<Object> & objects) override
  {
    objects.assign(1, Object{{1, 2, 3, 4}, 5, 0.5F, cv::Mat(), {}});
  }
};
}  // namespace

TEST(YOLOv8Seg, TestDoublesDeriveFromIt) {
  std::shared_ptr<YOLOv8Seg> m = std::make_shared<FixedModel>();
  std::vector<Object> objects;
  m->detect(grey(8, 8), objects);
  ASSERT_EQ(objects.size(), 1U);
  EXPECT_EQ(objects[0].label, 5);
}

TEST(YOLOv8Seg, ServesSeveralThreads) {
  // Cameras run in parallel, each with its own model; a shared model serialises its callers.
  YOLOv8Seg shared(model("scene"));
  YOLOv8Seg own(model("crowd"));
  std::vector<size_t> counts(3, 0);
  auto run = [&](YOLOv8Seg & m, size_t slot) {
      std::vector<Object> objects;
      for (int i = 0; i < 5; ++i) {
        m.detect(grey(640, 480), objects);
        counts[slot] = std::max(counts[slot], objects.size());
      }
    };
  std::thread a(run, std::ref(shared), 0);
  std::thread b(run, std::ref(shared), 1);
  std::thread c(run, std::ref(own), 2);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(counts, (std::vector<size_t>{4, 4, 20}));
}
