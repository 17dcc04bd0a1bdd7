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

// The library as its users call it: detect() on synthetic models whose raw outputs are known
// (tools/make_test_model.py, test/models/*.yaml), configurations, recordings, threads; the
// decoder on hand-made tensors; drawing; class lists.  Then the COCO yolov8n-seg of the shared
// test data, prepared by tools/prepare_model.py, on real frames (skipped when absent).
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_model_zoo/class_names.hpp"
#include "velmora_model_zoo/draw.hpp"
#include "velmora_model_zoo/yolov8_seg.hpp"
#include "xnn_network.hpp"

using det::Object;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace
{

std::string model(const std::string & name) {return TEST_MODEL_DIR "/" + name + ".yaml";}

cv::Mat grey(cv::Size size) {return cv::Mat(size, CV_8UC3, cv::Scalar(90, 100, 110));}

// A fresh file below the build tree's work directory, folders made as needed.
std::string write_file(const std::string & name, const std::string & text)
{
  const std::filesystem::path path = std::filesystem::path(TEST_WORK_DIR) / name;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

// An expected detection; its mask is `shape` (the box when empty): a rectangle, the ellipse
// inscribed in it, or no pixel at all.
enum MaskShape {kRectangle, kEllipse, kNoMask};
struct Want {int label; float score; cv::Rect2f rect; cv::Rect shape{}; MaskShape mask{};};

// Rectangle masks are exact along their edges; a corner may lose `corner_loss` pixels.
void expect_objects(
  const std::vector<Object> & got, const std::vector<Want> & want, cv::Size image,
  int corner_loss)
{
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("object " + std::to_string(i));
    const Want & w = want[i];
    EXPECT_EQ(std::tie(got[i].label, got[i].rect), std::tie(w.label, w.rect));
    EXPECT_FLOAT_EQ(got[i].score, w.score);
    // 0 or 1 over the pixels whose centre lies in the box, nothing outside the shape.
    EXPECT_EQ(got[i].mask_box, det::covering_pixels(w.rect, image));
    ASSERT_EQ(got[i].mask.size(), got[i].mask_box.size());
    EXPECT_EQ(cv::norm(got[i].mask, cv::NORM_INF), w.mask == kNoMask ? 0.0 : 1.0);
    const cv::Mat full = det::image_mask(got[i], image);
    const cv::Rect s = w.shape.empty() ? cv::Rect(w.rect) : w.shape;
    EXPECT_EQ(cv::countNonZero(full(s)), cv::countNonZero(full));
    const double area = s.area() * (w.mask == kEllipse ? CV_PI / 4 : w.mask == kRectangle);
    EXPECT_NEAR(cv::countNonZero(full), area, w.mask == kEllipse ? 0.01 * area : 4 * corner_loss);
  }
}

// A configuration of the prepared network `onnx` (80 classes, 320 wide) with `extra`; "" when
// the tests' fixture did not prepare it.
std::string config(const std::string & onnx, const std::string & extra)
{
  if (!std::ifstream(REAL_MODEL_DIR "/" + onnx)) {return "";}
  const std::string text =
    "onnx: " REAL_MODEL_DIR "/" + onnx + "\nnum_classes: 80\ninput_width: 320\n" + extra;
  return write_file(std::to_string(std::hash<std::string>()(text)) + ".yaml", text);
}

// A protobuf varint: 7 bits a byte, lowest first; a negative int64 takes 10 bytes.
std::string varint(uint64_t v)
{
  std::string out;
  for (; v >= 0x80; v >>= 7) {
    out += static_cast<char>((v & 0x7F) | 0x80);
  }
  return out + static_cast<char>(v);
}

// A protobuf field of `number` (< 16): bytes or, with `integer`, a varint (< 128).
std::string field(int number, const std::string & bytes, bool integer = false)
{
  const char key = static_cast<char>(number << 3 | (integer ? 0 : 2));
  return integer ? std::string{key, bytes[0]} : key + varint(bytes.size()) + bytes;
}

// Repeated int64s of field `number` (< 16), one key and varint each.
std::string repeated(int number, const std::vector<int64_t> & values)
{
  std::string out;
  for (int64_t v : values) {
    out += static_cast<char>(number << 3) + varint(v);
  }
  return out;
}

// A node's int attribute (AttributeProto name 1, i 3) and ints attribute (ints 8).
std::string int_attribute(const std::string & name, int64_t value)
{
  return field(5, field(1, name) + repeated(3, {value}));
}

std::string ints_attribute(const std::string & name, const std::vector<int64_t> & values)
{
  return field(5, field(1, name) + repeated(8, values));
}

// An int64 TensorProto (dims field 1, data_type 2, int64_data 7, name 8).
std::string int64_tensor(
  const std::string & name, const std::vector<int64_t> & dims, const std::vector<int64_t> & ints)
{
  return field(2, {7}, true) + field(8, name) + repeated(1, dims) + repeated(7, ints);
}

// A float TensorProto (float_data 4).
std::string float_tensor(
  const std::string & name, const std::vector<int64_t> & dims, const std::vector<float> & floats)
{
  std::string t = field(2, {1}, true) + field(8, name) + repeated(1, dims);
  for (float f : floats) {
    char bytes[sizeof(f)];
    std::memcpy(bytes, &f, sizeof(f));
    t += '\x25' + std::string(bytes, sizeof(f));
  }
  return t;
}

// An ONNX model of nodes (NodeProto fields) on a (1, 3, 64, 64) input "images", with
// initializers (TensorProtos).
std::string graph_model(
  const std::vector<std::string> & nodes, const std::vector<std::string> & tensors = {})
{
  std::string dims;
  for (char d : {1, 3, 64, 64}) {
    dims += field(1, field(1, {d}, true));
  }
  const std::string input = field(1, "images") +
    field(2, field(1, field(1, {1}, true) + field(2, dims)));
  std::string graph = field(11, input);
  for (const std::string & n : nodes) {
    graph += field(1, n);
  }
  for (const std::string & t : tensors) {
    graph += field(5, t);
  }
  return field(7, graph);
}

std::string one_node_model(const std::string & node, const std::vector<std::string> & tensors = {})
{
  return graph_model({node}, tensors);
}

// An ONNX model of one Erf node named "odd" on a (1, 3, 64, 64) input "images".
std::string erf_model()
{
  return one_node_model(field(1, "images") + field(2, "y") + field(3, "odd") + field(4, "Erf"));
}

// A Resize named "grow" to sizes (or with scales) `given`, in float as some exporters write them.
std::string resize_model(const std::vector<float> & given, bool sizes)
{
  const std::string inputs = field(1, "images") + field(1, "") +
    (sizes ? field(1, "") + field(1, "given") : field(1, "given"));
  return one_node_model(
    inputs + field(2, "y") + field(3, "grow") + field(4, "Resize"),
    {float_tensor("given", {4}, given)});
}

// A Reshape to `shape`, node "flat"; `length` is the dimension the shape tensor claims.
std::string reshape_model(const std::vector<int64_t> & shape, int64_t length = -1)
{
  return one_node_model(
    field(1, "images") + field(1, "shape") + field(2, "y") + field(3, "flat") +
    field(4, "Reshape"),
    {int64_tensor("shape", {length < 0 ? static_cast<int64_t>(shape.size()) : length}, shape)});
}

// Whether this build runs the network on XNNPACK (backend xnnpack loads).
bool with_xnnpack()
{
  static const bool built = [] {
      try {
        YOLOv8Seg m(write_file(
            "xnnpack.yaml", "onnx: " TEST_MODEL_DIR "/scene.onnx\n"
            "input_width: 640\ninput_height: 640\nnum_classes: 16\nbackend: xnnpack\n"));
        return std::string(m.engine()) == "xnnpack";
      } catch (const std::runtime_error &) {
        return false;
      }
    }();
  return built;
}

// Every colour frame of the shared data, RGB, in name order (640x480: 4 of a floor, 5 of
// YCB-Video tables, a TUM desk); none unless all 10 are there.
std::vector<cv::Mat> real_frames()
{
  const char * env = std::getenv("VELMORA_SHARED_DATA");
  const std::string data = env ? env : SHARED_DATA_DIR;
  std::vector<cv::String> files;
  if (std::filesystem::is_directory(data)) {cv::glob(data + "/*color.png", files, true);}
  std::vector<cv::Mat> frames(files.size() == 10 ? 10 : 0);
  for (size_t i = 0; i < frames.size(); ++i) {
    cv::cvtColor(cv::imread(files[i]), frames[i], cv::COLOR_BGR2RGB);
  }
  return frames;
}

// How the detections of `other` agree with those of `reference` on every real frame: each
// reference detection pairs with the one of its label that overlaps its box most; those of
// either scoring below `loose_below` may stay unpaired (lost or added), no other one may.
struct Agreement {int paired = 0, lost = 0, added = 0; double min_box_iou = 1, min_mask_iou = 1;};

Agreement agreement_on_real_frames(YOLOv8Seg & reference, YOLOv8Seg & other, float loose_below)
{
  auto iou = [](double both, double a, double b) {return both / (a + b - both);};
  Agreement a;
  for (const cv::Mat & frame : real_frames()) {
    std::vector<det::Object> expected, got;
    reference.detect(frame, expected);
    other.detect(frame, got);
    for (const det::Object & r : expected) {
      auto box_iou = [&](const det::Object & g) {
          return g.label !=
                 r.label ? 0 : iou((r.rect & g.rect).area(), r.rect.area(), g.rect.area());
        };
      const auto best = std::max_element(
        got.begin(), got.end(), [&](auto & p, auto & q) {return box_iou(p) < box_iou(q);});
      if (best == got.end() || box_iou(*best) == 0) {
        a.lost += r.score >= loose_below;
        continue;
      }
      const cv::Mat m = det::image_mask(r, frame.size()), n = det::image_mask(*best, frame.size());
      a.min_mask_iou = std::min(
        a.min_mask_iou, iou(cv::countNonZero(m & n), cv::countNonZero(m), cv::countNonZero(n)));
      a.min_box_iou = std::min(a.min_box_iou, box_iou(*best));
      ++a.paired;
      got.erase(best);
    }
    a.added +=
      std::count_if(got.begin(), got.end(), [&](auto & g) {return g.score >= loose_below;});
  }
  return a;
}

}  // namespace

// scene.yaml in input pixels: A (4, 0.9), B (4, 0.8, IoU 0.67 with A), C (9, 0.7, ellipse
// over A), D (2, 0.2, below the threshold), E (0, 0.6, partly outside the input), F (12, 0.5,
// 16x16 mask in a 40x40 box).
TEST(YOLOv8Seg, DetectsTheDescribedScenesInParallel) {
  struct Scene {const char * name, * model; cv::Size image; int loss; std::vector<Want> want;};
  const std::vector<Scene> scenes{
    {"640x480: scale 1, 80 rows of padding; B and D dropped, E clipped", "scene", {640, 480}, 1,
      {{4, 0.9F, {100, 100, 80, 120}}, {9, 0.7F, {120, 120, 60, 60}, {}, kEllipse},
        {0, 0.6F, {600, 420, 40, 60}}, {12, 0.5F, {300, 220, 40, 40}, {308, 228, 16, 16}}}},
    {"480x640 portrait: 80 columns of padding; E beyond the image", "scene", {480, 640}, 1,
      {{4, 0.9F, {20, 180, 80, 120}}, {9, 0.7F, {40, 200, 60, 60}, {}, kEllipse},
        {12, 0.5F, {220, 300, 40, 40}, {228, 308, 16, 16}}}},
    {"scale 0.5 into 320, class map: bottle and cup become 4, the cup over the bottle goes, "
      "person dropped", "coco_map", {640, 480}, 16,
      {{4, 0.8F, {100, 100, 60, 120}}, {4, 0.6F, {400, 200, 80, 80}}}},
  };
  // Cameras run in parallel, each with its own model; the two scene rows share one, which
  // serialises its callers.
  std::map<std::string, YOLOv8Seg> models;
  std::vector<std::vector<Object>> found(scenes.size(), {Object{}});  // replaced, not appended to
  std::vector<std::thread> threads;
  for (size_t i = 0; i < scenes.size(); ++i) {
    YOLOv8Seg & m = models.try_emplace(scenes[i].model, model(scenes[i].model)).first->second;
    threads.emplace_back(
      [&, i] {
        for (int k = 0; k < 3; ++k) {
          m.detect(grey(scenes[i].image), found[i]);
        }
      });
  }
  for (size_t i = 0; i < scenes.size(); ++i) {
    threads[i].join();
    SCOPED_TRACE(scenes[i].name);
    expect_objects(found[i], scenes[i].want, scenes[i].image, scenes[i].loss);
  }
  const std::vector<Object> person = models.at("coco_map").unmapped();  // for the node to report
  ASSERT_EQ(person.size(), 1U);
  EXPECT_EQ(person[0].label, 0);
  EXPECT_TRUE(person[0].mask.empty());
}

// RGB 8-bit 3-channel images are letterboxed into the network input.
TEST(YOLOv8Seg, LetterboxesRgbImagesAndRefusesOthers) {
  YOLOv8Seg m(model("scene"));
  cv::Mat blob;
  m.preprocess(grey({640, 480}), blob);
  EXPECT_EQ(std::vector<int>(blob.size.p, blob.size.p + 4), (std::vector<int>{1, 3, 640, 640}));
  // Grey 114 above row 80 and from row 560, the image's channels in order between, 0..1.
  const int pixels[][3] = {{0, 79, 114}, {0, 80, 90}, {1, 80, 100}, {2, 559, 110}, {2, 560, 114}};
  for (const auto & p : pixels) {
    EXPECT_FLOAT_EQ(blob.at<float>(cv::Vec4i(0, p[0], p[1], 320)), p[2] / 255.0F) << p[1];
  }
  // Other images are refused, by the drawing too.
  const std::vector<std::pair<cv::Mat, std::string>> images{
    {cv::Mat(), "the input image is empty"}, {cv::Mat(48, 64, CV_8UC1), "8-bit 3-channel"},
    {cv::Mat(48, 64, CV_32FC3), "8-bit 3-channel"}, {cv::Mat(8, 8, CV_8UC4), "0 with 4 channel"}};
  for (const auto & [image, text] : images) {
    std::vector<Object> objects;
    EXPECT_THAT(
      [&] {m.detect(image, objects);},
      ThrowsMessage<std::invalid_argument>(HasSubstr(text)));
    EXPECT_THROW(det::draw_objects(image, blob, objects, {}, {{1, 2, 3}}), std::invalid_argument);
  }
}

// Every error names the file, key or value at fault ("": the configuration loads).
TEST(YOLOv8Seg, LoadsConfigurationsOrNamesTheCulprit) {
  const std::string onnx = "onnx: " TEST_MODEL_DIR "/scene.onnx\n";
  const std::string size = "input_width: 640\ninput_height: 640\n";
  const std::string ok = onnx + size + "num_classes: 16\n";
  const std::string junk = write_file("junk.onnx", "not a model");
  const bool cuda = !cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_CUDA).empty();
  const bool xnnpack = with_xnnpack();
  write_file("erf.onnx", erf_model());
  // A one-package ament index below the build tree, holding the scene model.
  write_file("ament_prefix/share/ament_index/resource_index/packages/demo_pkg", "");
  std::filesystem::copy_file(
    TEST_MODEL_DIR "/scene.onnx", write_file("ament_prefix/share/demo_pkg/models/scene.onnx", ""),
    std::filesystem::copy_options::overwrite_existing);
  constexpr int64_t kQuarter = int64_t{1} << 62;
  // A model for the XNNPACK runner, and what it says of it where it is built in.
  auto hostile = [&](const std::string & name, const std::string & model) {
      write_file(name, model);
      return "onnx: " + name + "\ninput_width: 64\ninput_height: 64\nnum_classes: 1\n"
             "backend: xnnpack\n";
    };
  auto refused = [&](const std::string & error) {
      return xnnpack ? error : "key 'backend' value 'xnnpack' is not available";
    };
  const std::vector<std::pair<std::string, std::string>> configs{
    {"", "model configuration '' cannot be read"},
    {size, "model configuration '" TEST_WORK_DIR "/config.yaml': key 'onnx' is missing"},
    {"onnx: gone.onnx\n", "'onnx' names '" TEST_WORK_DIR "/gone.onnx', which cannot be read"},
    // A pipe or a device would block loading for good or never end.
    {"onnx: pipe.onnx\n", "'onnx' names '" TEST_WORK_DIR "/pipe.onnx', which is a named pipe, "
      "not a regular file"},
    {"onnx: /dev/zero\n", "'onnx' names '/dev/zero', which is a device, not a regular file"},
    {"onnx: package://demo_pkg/models/scene.onnx\n" + size + "num_classes: 16\n", ""},
    {"onnx: package://demo_pkg\n", "'package://demo_pkg' is not package://<package>/<path>"},
    {"onnx: package://no_such_pkg/a.onnx\n", "package 'no_such_pkg' not found in the ament index"},
    {"onnx: junk.onnx\n" + size + "num_classes: 1\n", "ONNX model '" + junk + "' cannot be loaded"},
    {onnx + size + "num_classes: 15\n",
      "outputs hold 16 classes, the configuration says num_classes 15 (detections (1, 52, 8400)"},
    {ok + "backend: tpu\n",
      "key 'backend' value 'tpu' is not cpu, opencv, xnnpack, cuda or cuda_fp16"},
    {ok + "backend: cuda_fp16\n", cuda ? "" : "key 'backend' value 'cuda_fp16' is not available"},
    {ok + "detections_output: boxes\n", "has no output 'boxes' (outputs: output0, output1)"},
    {ok + "nms_threshold: high\n", "key 'nms_threshold' must be a number, not 'high'"},
    {ok + "class_map: {16: 1}\n", "'class_map' network label 16 outside 0..15"},
    {ok + "num_classes: 16\n", "key 'num_classes' is written twice, on line 4 and on line 5"},
    {ok + "class_map: {3: 1, 3: 2}\n", "key '3' is written twice, on line 5 and on line 5"},
    {ok + "nms_treshold: 0.6\n", "key 'nms_treshold' is not a model configuration key"},
    {ok + "backend: opencv\nthreads: 2\n", ""},
    {ok + "backend: xnnpack\n", xnnpack ? "" : "key 'backend' value 'xnnpack' is not available"},
    {ok + "threads: 0\n", "key 'threads' value 0 out of range"},
    {"onnx: erf.onnx\ninput_width: 64\ninput_height: 64\nnum_classes: 1\nbackend: xnnpack\n",
      xnnpack ? "ONNX model '" TEST_WORK_DIR "/erf.onnx': node 'odd' (Erf) is not supported" :
      "key 'backend' value 'xnnpack' is not available"},
    {hostile(
        "mute.onnx", one_node_model(
          field(1, "images") + field(3, "mute") +
          field(4, "Sigmoid"))), refused("mute.onnx': node 'mute' (Sigmoid) has 0 outputs, not 1")},
    // Conv -> Sigmoid -> Mul, fused where the Mul has its one output.
    {hostile(
        "silu.onnx", graph_model(
          {field(1, "images") + field(1, "w") + field(2, "x") + field(3, "c") + field(4, "Conv"),
            field(1, "x") + field(2, "s") + field(3, "s") + field(4, "Sigmoid"),
            field(1, "x") + field(1, "s") + field(3, "m") + field(4, "Mul")},
          {float_tensor("w", {1, 3, 1, 1}, {1, 1, 1})})),
      refused("silu.onnx': node 'm' (Mul) has 0 outputs, not 1")},
    {hostile(
        "group.onnx", one_node_model(
          field(1, "images") + field(1, "w") + field(2, "y") + field(3, "c") + field(4, "Conv") +
          int_attribute("group", int64_t{1} << 62),
          {float_tensor("w", {4, 3, 1, 1}, std::vector<float>(12, 1.0F))})),
      refused("group.onnx': node 'c' (Conv) has group 4611686018427387904")},
    {hostile(
        "perm.onnx", one_node_model(
          field(1, "images") + field(2, "y") + field(3, "t") + field(4, "Transpose") +
          ints_attribute("perm", {5, 0, 1, 2}))),
      refused("perm.onnx': node 't' (Transpose) has perm (5, 0, 1, 2) for (1, 3, 64, 64)")},
    // A window wider than the padded input, by less than a stride: no output, not one.
    {hostile(
        "pool.onnx", one_node_model(
          field(1, "images") + field(2, "y") + field(3, "p") + field(4, "MaxPool") +
          ints_attribute("kernel_shape", {70, 2}) + ints_attribute("strides", {13, 1}))),
      refused(
        "pool.onnx': node 'p' (MaxPool) has a window of 70 over 64 padded input values along "
        "axis 2 of (1, 3, 64, 64)")},
    {hostile(
        "dilated.onnx", one_node_model(
          field(1, "images") + field(1, "w") + field(2, "y") + field(3, "c") + field(4, "Conv") +
          ints_attribute("dilations", {1, 23}) + ints_attribute("pads", {0, 1, 0, 2}) +
          ints_attribute("strides", {1, 30}),
          {float_tensor("w", {1, 3, 1, 4}, std::vector<float>(12, 1.0F))})),
      refused(
        "dilated.onnx': node 'c' (Conv) has a window of 70 over 67 padded input values along "
        "axis 3 of (1, 3, 64, 64)")},
    {hostile(
        "concat.onnx", one_node_model(
          field(2, "y") + field(3, "join") +
          field(4, "Concat"))), refused("concat.onnx': node 'join' (Concat) lacks input 0")},
    {hostile(
        "split.onnx", one_node_model(
          field(1, "images") + field(1, "sizes") + field(2, "a") + field(2, "b") + field(2, "c") +
          field(2, "d") + field(3, "cut") + field(4, "Split"),
          // Their sum wraps around to the 1 of axis 0.
          {int64_tensor("sizes", {4}, {kQuarter, kQuarter, kQuarter, kQuarter + 1})})),
      refused(
        "split.onnx': node 'cut' (Split) splits (1, 3, 64, 64) into (4611686018427387904, "
        "4611686018427387904, 4611686018427387904, 4611686018427387905) along axis 0")},
    // Shape arithmetic on a hostile model's numbers must not overflow.
    {hostile("reshape.onnx", reshape_model({1, -1, int64_t{1} << 40, int64_t{1} << 40})),
      refused(
        "reshape.onnx': node 'flat' (Reshape) cannot reshape (1, 3, 64, 64) to (1, -1, "
        "1099511627776, 1099511627776)")},
    {hostile("nan.onnx", resize_model({1, 1, std::nanf(""), 2}, false)),
      refused(
        "nan.onnx': node 'grow' (Resize) has scales (1.000000, 1.000000, nan, 2.000000) for "
        "input (1, 3, 64, 64)")},
    // Dimensions are bounded before anything is allocated for them.
    {hostile("wide.onnx", reshape_model({1, 2}, int64_t{1} << 40)),
      refused(
        "wide.onnx': node 'flat' (Reshape) has constant 'shape' of shape (1099511627776), a "
        "negative dimension or over 268435456 elements")},
    {hostile("huge.onnx", resize_model({1, 3, 1 << 20, 1 << 20}, true)),
      refused(
        "huge.onnx': node 'grow' (Resize) makes a tensor of shape (1, 3, 1048576, 1048576), "
        "empty or over 268435456 elements")},
  };
  ::setenv("AMENT_PREFIX_PATH", TEST_WORK_DIR "/ament_prefix", 1);  // no other test reads it
  ::unlink(TEST_WORK_DIR "/pipe.onnx");
  ASSERT_EQ(::mkfifo(TEST_WORK_DIR "/pipe.onnx", 0600), 0);
  for (const auto & [text, expected] : configs) {
    const std::string file = text.empty() ? "" : write_file("config.yaml", text);
    auto load = [&] {YOLOv8Seg m(file);};
    if (expected.empty()) {
      EXPECT_NO_THROW(load()) << text;
    } else {
      EXPECT_THAT(load, ThrowsMessage<std::runtime_error>(HasSubstr(expected))) << text;
    }
  }
}

// Frame 0 holds scores 0 and 1, the ends of the valid range; m.png has a stray pixel that
// only frame 2's box touches.  Only numbers within [0, 1] are replayed as scores.
TEST(YOLOv8Seg, ReplaysRecordedDetections) {
  cv::Mat mask(48, 64, CV_8UC1, cv::Scalar(0)), special = grey({64, 48});
  mask(cv::Rect(10, 10, 5, 4)).setTo(255);
  mask.at<uchar>(30, 30) = 255;
  special.at<cv::Vec3b>(0, 0) = cv::Vec3b(1, 2, 3);
  const std::string index = write_file(
    "recording/frames.yaml",
    "frames:\n  - objects:\n      - {label: 4, score: 0.0, box: [10, 10, 5, 4], mask: m.png}\n"
    "      - {label: 2, score: 1.0, box: [60, 40, 10, 10], mask: m.png}\n  - objects: []\n"
    "  - {image: special.png, objects: [{label: 7, score: 0.8, box: [0, 0, 64, 48], "
    "mask: m.png}]}");
  cv::imwrite(TEST_WORK_DIR "/recording/m.png", mask);
  cv::imwrite(TEST_WORK_DIR "/recording/special.png", special);
  YOLOv8Seg m(write_file("recorded.yaml", "source: recorded\nrecording: recording/frames.yaml\n"));
  std::vector<Object> objects;
  m.detect(grey({64, 48}), objects);  // frame 0, highest score first, boxes clipped
  expect_objects(
    objects, {{2, 1.0F, {60, 40, 4, 8}, {}, kNoMask}, {4, 0.0F, {10, 10, 5, 4}}}, {64, 48}, 0);
  // Then: by image, wrapping around, by order.
  const std::vector<std::pair<cv::Mat, std::vector<int>>> replay{
    {special, {7}}, {grey({64, 48}), {2, 4}}, {grey({64, 48}), {}}, {grey({64, 48}), {7}}};
  for (const auto & [image, labels] : replay) {
    m.detect(image, objects);
    EXPECT_EQ(objects.size(), labels.size());
    EXPECT_TRUE(objects.empty() || objects[0].label == labels[0]);
  }
  EXPECT_EQ(cv::countNonZero(objects[0].mask), 21);
  EXPECT_THAT(
    [&] {
      m.detect(grey({32, 24}), objects);
    },
    ThrowsMessage<std::runtime_error>(
      HasSubstr(
        "recording '" + index +
        "': mask '" TEST_WORK_DIR "/recording/m.png' is 64x48")));
  const std::vector<std::pair<std::string, std::string>> broken{
    {"score: .nan, box: [0, 0, 1, 1], mask: m.png", "frame 1: object 1: 'score' .nan is not"},
    {"score: inf, box: [0, 0, 1, 1], mask: m.png", "'score' inf is not a number"},
    {"score: -0.5, box: [0, 0, 1, 1], mask: m.png", "'score' -0.5 is not a number"},
    {"score: 1.5, box: [0, 0, 1, 1], mask: m.png", "1.5 is not a number within [0, 1]"},
    {"score: 0.5, box: [0, 0, 1, 1], mask: a.png", "mask '" TEST_WORK_DIR "/recording/a.png"},
    {"score: 0.5, box: [0, 0, 1, 1], mask: /dev/zero", "mask '/dev/zero' is a device, not a"},
  };
  auto load = [] {YOLOv8Seg again(TEST_WORK_DIR "/recorded.yaml");};
  for (const auto & [object, expected] : broken) {
    write_file(
      "recording/frames.yaml", "frames:\n  - objects: []\n  - objects:\n      - {label: 1, "
      "score: 0.5, box: [0, 0, 1, 1], mask: m.png}\n      - {label: 2, " + object + "}\n");
    EXPECT_THAT(load, ThrowsMessage<std::runtime_error>(HasSubstr(expected)));
  }
}

// Two classes, two mask coefficients, six anchors of a 64x64 input; 16x16 prototypes.
TEST(SegPostprocessor, DecodesHandMadeTensors) {
  // Per anchor, channel by channel: cx, cy, w, h, the two class scores, the two coefficients.
  using Anchors = std::vector<std::array<float, 8>>;
  // IoU 0.82 between the first two: the second wins; IoU 0.43 < 0.45 of the third with the
  // second: kept; the fourth is the first's box in class 1; the last scores 0.25, not above.
  const Anchors nms{{20, 20, 20, 20, 0.6F, 0, 1, 0}, {22, 20, 20, 20, 0.7F, 0, 1, 0},
    {30, 20, 20, 20, 0.5F, 0, 1, 0}, {20, 20, 20, 20, 0, 0.4F, 1, 0}, {50, 50, 10, 10, 0, 0.25F}};
  // All prototypes hold `prototypes` (5: coefficient 1 masks the whole box), the values no
  // anchor sets `others`; at most `max_detections` come out (6: all anchors).
  struct Case {const char * name; Anchors anchors; std::vector<Want> want; int max_detections = 6;
    float prototypes = 5, others = 0;};
  const std::vector<Case> cases{
    {"per-class NMS, strict confidence threshold, by score", nms,
      {{0, 0.7F, {12, 10, 20, 20}}, {0, 0.5F, {20, 10, 20, 20}}, {1, 0.4F, {10, 10, 20, 20}}}},
    {"max_detections", nms, {{0, 0.7F, {12, 10, 20, 20}}}, 1},
    // Logit +-0.01, probability 0.5025 or 0.4975: either side of the default threshold 0.5.
    {"default mask threshold", {{20, 20, 16, 16, 0.9F, 0, 1, 0}, {44, 44, 16, 16, 0, 0.8F, -1, 0}},
      {{0, 0.9F, {12, 12, 16, 16}}, {1, 0.8F, {36, 36, 16, 16}, {}, kNoMask}}, 6, 0.01F},
    {"NaN, infinite, negative, outside boxes and NaN scores dropped, a huge box clipped",
      {{NAN, 20, 20, 20, 0.9F, 0, 1, 0}, {20, 20, INFINITY, 20, 0.9F, 0, 1, 0},
        {20, 20, -5, 20, 0, 0.9F, 1, 0}, {0, 0, 1e30F, 1e30F, 0, 0.9F, 1, NAN},
        {500, 500, 10, 10, 0.9F, 0, 1, 0}, {10, 10, 8, 8, NAN, 0, 1, 0}},
      {{1, 0.9F, {0, 0, 64, 64}, {}, kNoMask}}},
    {"all NaN", {}, {}, 6, NAN, NAN},
    {"sliver narrower than float resolution at the left edge",
      {{0, 20, std::numeric_limits<float>::denorm_min(), 20, 0.9F, 0, 1, 0}}, {}},
  };
  det::PostprocessParams params;
  params.num_classes = 2;
  for (const Case & c : cases) {
    SCOPED_TRACE(c.name);
    cv::Mat dets(std::vector<int>{1, 8, 6}, CV_32F, cv::Scalar(c.others));
    for (size_t a = 0; a < c.anchors.size(); ++a) {
      cv::Mat(c.anchors[a]).copyTo(dets.reshape(1, 8).col(static_cast<int>(a)));
    }
    params.max_detections = c.max_detections;
    std::vector<Object> out{Object{}};
    const cv::Mat protos(std::vector<int>{1, 2, 16, 16}, CV_32F, cv::Scalar(c.prototypes));
    det::SegPostprocessor(params).run(dets, protos, det::Letterbox::fit({64, 64}, {64, 64}), out);
    expect_objects(out, c.want, {64, 64}, 0);
  }
  // Tensors of another layout: the error names their shapes.
  const cv::Mat dets(std::vector<int>{1, 8, 6}, CV_32F);
  const cv::Mat protos(std::vector<int>{1, 2, 4, 4}, CV_32F);
  cv::Mat as_double;
  dets.convertTo(as_double, CV_64F);
  const std::vector<std::tuple<cv::Mat, cv::Mat, std::string>> layouts{
    {protos, dets, "layout (1, 4+nc+nm, N) and (1, nm, H, W) (detections (1, 2, 4, 4), "
      "prototypes (1, 8, 6))"},
    {cv::Mat(std::vector<int>{1, 5, 6}, CV_32F), protos, "layout (detections (1, 5, 6)"},
    {as_double, protos, "outputs are not float32"}};
  for (const auto & [d, p, text] : layouts) {
    std::vector<Object> out;
    EXPECT_THAT(
      [&] {det::SegPostprocessor(params).run(d, p, det::Letterbox(), out);},
      ThrowsMessage<std::runtime_error>(HasSubstr(text)));
  }
}

// Boxes and masks go into a new image, coloured by label modulo the tables; captions name the
// class from the list, or the label without one.
TEST(Draw, DrawsIntoANewImageWithTheClassList) {
  std::vector<std::string> names{"stale"};
  det::read_class_name(
    write_file(
      "classes.txt",
      "paper\r\nmask\r\n\r\n  \nbench \r\n\tother"), names);
  EXPECT_EQ(names, (std::vector<std::string>{"paper", "mask", "bench", "other"}));
  const std::string blank = write_file("blank.txt", "\n\r\n");
  EXPECT_THAT(
    [&] {det::read_class_name(blank, names);},
    ThrowsMessage<std::runtime_error>(HasSubstr("class list '" + blank + "' holds no class name")));
  EXPECT_THAT(
    [&] {det::read_class_name("/nonexistent/classes.txt", names);},
    ThrowsMessage<std::runtime_error>(HasSubstr("class list '/nonexistent/classes.txt' cannot")));

  const std::vector<std::vector<unsigned int>> colors{{255, 0, 0}, {0, 255, 0}};
  const std::vector<std::vector<unsigned int>> mask_colors{{0, 0, 200}, {100, 100, 100}};
  const cv::Mat image(120, 160, CV_8UC3, cv::Scalar(100, 50, 0)), before = image.clone();
  auto object = [](int label, cv::Rect box) {
      return Object{cv::Rect2f(box), label, 0.5F, cv::Mat(box.size(), CV_8UC1, cv::Scalar(1)), box};
    };
  // Label 7 has no name and a mask not of its box's size: its box is drawn, not its mask.
  std::vector<Object> objects{object(1, {40, 60, 50, 40}), object(2, {100, 10, 30, 30}),
    object(7, {10, 95, 20, 20})};
  objects[2].mask = cv::Mat(3, 3, CV_8UC1, cv::Scalar(1));
  cv::Mat boxes, masks;
  det::draw_objects(image, boxes, objects, names, colors);
  det::draw_objects_masks(image, masks, objects, names, colors, mask_colors);
  EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0.0);
  // Label 1 -> [1], 2 -> [0], 7 -> [1]; masks half blended.
  const struct {cv::Point at; cv::Vec3b boxes, masks;} pixels[]{
    {{75, 99}, {0, 255, 0}, {0, 255, 0}}, {{115, 39}, {255, 0, 0}, {255, 0, 0}},
    {{20, 114}, {0, 255, 0}, {0, 255, 0}}, {{75, 80}, {100, 50, 0}, {100, 75, 50}},
    {{115, 30}, {100, 50, 0}, {50, 25, 100}}, {{20, 105}, {100, 50, 0}, {100, 50, 0}},
    {{150, 110}, {100, 50, 0}, {100, 50, 0}}};
  for (const auto & p : pixels) {
    EXPECT_EQ(boxes.at<cv::Vec3b>(p.at), p.boxes) << p.at;
    EXPECT_EQ(masks.at<cv::Vec3b>(p.at), p.masks) << p.at;
  }
  EXPECT_THROW(det::draw_objects(image, boxes, objects, {}, {}), std::invalid_argument);
  EXPECT_THROW(det::draw_objects(image, boxes, objects, {}, {{1, 2}}), std::invalid_argument);
}

// The XNNPACK runner on operator variants the real graph does not use: one tiny graph of random
// weights per row (test/make_op_models.py), input (1, 4, 9, 10), outputs out0 and out1, against
// OpenCV DNN, or against numpy where OpenCV 4.6 does not do what ONNX defines.
TEST(XnnNetwork, RunsOperatorVariantsAsTheReference) {
  if (!det::xnnpack_built_in()) {GTEST_SKIP() << "built without XNNPACK";}
  const struct {const char * name; bool numpy; const char * covers;} rows[]{
    {"conv_grouped", false, "Conv group 2 strides (2,1) pads (0,1,2,0) with bias; depthwise "
      "Conv 3x2 dilations (2,3) strides (1,2) pads (2,0,1,3)"},
    // OpenCV 4.6 refuses ConvTranspose pads that differ at the two ends of an axis.
    {"conv_transpose", false, "ConvTranspose group 2 stride 2 pads (1,0,1,0) output_padding "
      "(1,0) with bias; 2x3 strides (1,3) pads (0,1,0,1)"},
    {"conv_silu", false, "Conv, Sigmoid, Mul folded into one step, then read by MaxPool"},
    {"maxpool_pads", false, "MaxPool 3x3 stride 2 pads (1,0,2,1); 2x4 strides (3,1) pads "
      "(0,2,1,3)"},
    // OpenCV 4.6 takes half_pixel nearest as floor, not round_prefer_floor.
    {"resize_nearest", true, "Resize nearest asymmetric floor by scales (2,1.5); half_pixel "
      "round_prefer_floor to sizes (5,13), a tie"},
    {"concat", false, "Concat along height of three; along width (axis -1)"},
    {"split_channels", false, "Split of the input channels 1 + 3"},
    {"split_height", false, "Split of the input rows 2 + 7"},
    {"transpose", false, "Transpose perms (0,2,3,1) and (3,1,0,2) of an NHWC tensor"},
    {"slice", false, "Slice rows 1:3, columns -7:100; axes (-3,-2) channels 2:-1, rows 1:9"},
    {"softmax", false, "Reshape of NHWC to (1,4,-1) and Softmax axis 2; Softmax axis -1 after "
      "Transpose"},
    {"broadcast", false, "Sub and Div of per-channel constants; Mul by a one-channel slice and "
      "Add of a scalar"},
  };
  auto floats = [](const std::string & path) {
      std::ifstream in(path, std::ios::binary | std::ios::ate);
      std::vector<float> v(static_cast<size_t>(in.tellg()) / sizeof(float));
      in.seekg(0);
      in.read(reinterpret_cast<char *>(v.data()), static_cast<std::streamsize>(v.size() * 4));
      return v;
    };
  const std::vector<int> dims{1, 4, 9, 10};
  for (const auto & row : rows) {
    SCOPED_TRACE(std::string(row.name) + ": " + row.covers);
    const std::string path = TEST_MODEL_DIR "/ops/" + std::string(row.name);
    std::vector<float> input = floats(path + ".input");
    ASSERT_EQ(input.size(), 360U);
    const cv::Mat blob(4, dims.data(), CV_32F, input.data());
    cv::Mat got[2];
    det::XnnNetwork(path + ".onnx", dims, "out0", "out1", 2).forward(blob, got[0], got[1]);
    std::vector<cv::Mat> want;
    std::vector<float> expected;
    if (row.numpy) {
      expected = floats(path + ".expected");
      ASSERT_EQ(expected.size(), got[0].total() + got[1].total());
      want.emplace_back(got[0].dims, got[0].size.p, CV_32F, expected.data());
      want.emplace_back(got[1].dims, got[1].size.p, CV_32F, expected.data() + got[0].total());
    } else {
      cv::dnn::Net net = cv::dnn::readNetFromONNX(path + ".onnx");
      net.setInput(blob);
      net.forward(want, std::vector<cv::String>{"out0", "out1"});
    }
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(got[i].size, want[i].size) << "out" << i;
      EXPECT_LE(cv::norm(got[i], want[i], cv::NORM_INF), 1e-4 * cv::norm(want[i], cv::NORM_INF))
        << "out" << i;
    }
  }
}


// The real-model tests, once per engine (the value of `backend`).
class RealModel : public ::testing::TestWithParam<const char *>
{
protected:
  void SetUp() override
  {
    if (std::string(GetParam()) == "xnnpack" && !with_xnnpack()) {
      GTEST_SKIP() << "built without XNNPACK";
    }
  }

  std::string config(const std::string & onnx, const std::string & extra) const
  {
    return ::config(onnx, extra + "backend: " + GetParam() + "\n");
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, RealModel, ::testing::Values("opencv", "xnnpack"));

// The system's bottles (COCO bottle and cup through the class map) on real frames: the two on
// the floor, some on at least 4 of the 5 YCB-Video tables; masks fill their boxes.
TEST_P(RealModel, FindsTheBottlesOnRealFrames) {
  const std::string cfg = config(
    "yolov8n_seg_320.onnx",
    "input_height: 320\nconfidence_threshold: 0.3\nclass_map: {39: 4, 41: 4}\n");
  const std::vector<cv::Mat> frames = real_frames();
  if (cfg.empty() || frames.empty()) {GTEST_SKIP() << "shared data or prepared model absent";}
  EXPECT_STREQ(YOLOv8Seg(cfg).engine(), GetParam());
  YOLOv8Seg model(cfg);
  std::vector<size_t> found;
  for (const cv::Mat & frame : frames) {
    std::vector<det::Object> objects;
    model.detect(frame, objects);
    found.push_back(objects.size());
    for (const det::Object & o : objects) {
      EXPECT_EQ(o.label, 4);
      EXPECT_GT(cv::countNonZero(o.mask), 0.2 * o.rect.area()) << "label " << o.label;
      EXPECT_LE(cv::countNonZero(o.mask), o.rect.area() + o.rect.width + o.rect.height + 1);
    }
  }
  EXPECT_GE(found[3], 2U);
  EXPECT_GE(std::count_if(found.begin() + 4, found.begin() + 9, [](size_t n) {return n > 0;}), 4);
}

// The merged convolutions change how the network runs, never what it finds: on every real
// frame, all 80 classes at the default threshold, each detection of the unmerged graph (as
// the tool prepared it before) comes back with its class, box and mask.
TEST_P(RealModel, MergedGraphKeepsEveryDetection) {
  const std::string plain = config("yolov8n_seg_320_unmerged.onnx", "input_height: 320\n");
  const std::string merged = config("yolov8n_seg_320.onnx", "input_height: 320\n");
  if (plain.empty() || real_frames().empty()) {GTEST_SKIP() << "shared data or model absent";}
  YOLOv8Seg reference(plain), merged_model(merged);
  const Agreement a = agreement_on_real_frames(reference, merged_model, 0.0F);
  EXPECT_EQ(a.lost + a.added, 0);
  EXPECT_GE(a.paired, 30);
  EXPECT_GE(a.min_box_iou, 0.95);
  EXPECT_GE(a.min_mask_iou, 0.95);
}

// The 320x256 input (the 640x480 frame at the same scale, less padding) is a trade-off: the
// system's classes (COCO bottle and cup as bottle) are found on every real frame as at
// 320x320, with boxes and masks that differ slightly; detections within 0.01 of the
// threshold may come and go.  A wrong anchor grid or stride would move every box.
TEST_P(RealModel, SmallerInputFindsTheBottlesAsTheFullInput) {
  const std::string map = "class_map: {39: 4, 41: 4}\n";
  const std::string full = config("yolov8n_seg_320.onnx", "input_height: 320\n" + map);
  const std::string small = config("yolov8n_seg_320x256.onnx", "input_height: 256\n" + map);
  if (small.empty() || real_frames().empty()) {GTEST_SKIP() << "shared data or model absent";}
  YOLOv8Seg reference(full), smaller(small);
  const Agreement a = agreement_on_real_frames(reference, smaller, 0.26F);
  EXPECT_EQ(a.lost + a.added, 0);
  EXPECT_GE(a.paired, 14);
  EXPECT_GE(a.min_box_iou, 0.95);
  EXPECT_GE(a.min_mask_iou, 0.9);
}

// XNNPACK runs the prepared graph as OpenCV does: raw outputs within 1e-4 of their largest
// magnitude, and on every real frame the same detections (all 80 classes), boxes within half a
// pixel, masks with IoU 0.99 at least.
TEST(RealModel, XnnpackAgreesWithOpenCv) {
  const std::string extra = "input_height: 320\nbackend: ";
  const std::string opencv = config("yolov8n_seg_320.onnx", extra + "opencv\n");
  if (opencv.empty() || real_frames().empty()) {GTEST_SKIP() << "shared data or model absent";}
  if (!with_xnnpack()) {GTEST_SKIP() << "built without XNNPACK";}
  YOLOv8Seg reference(opencv), xnn(config("yolov8n_seg_320.onnx", extra + "xnnpack\n"));
  int detections = 0;
  for (const cv::Mat & frame : real_frames()) {
    cv::Mat blob, want[2], got[2];
    const det::Letterbox lb = reference.preprocess(frame, blob);
    reference.forward(blob, want[0], want[1]);
    xnn.forward(blob, got[0], got[1]);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(got[i].size, want[i].size);
      EXPECT_LE(cv::norm(got[i], want[i], cv::NORM_INF), 1e-4 * cv::norm(want[i], cv::NORM_INF));
    }
    // One forward per engine and frame: qemu runs this test too.
    std::vector<Object> expected, found;
    reference.postprocess(want[0], want[1], lb, expected);
    xnn.postprocess(got[0], got[1], lb, found);
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
      const cv::Rect2f & a = found[i].rect, & b = expected[i].rect;
      EXPECT_EQ(found[i].label, expected[i].label);
      EXPECT_LE(
        std::max(
          {std::abs(a.x - b.x), std::abs(a.y - b.y), std::abs(a.br().x - b.br().x),
            std::abs(a.br().y - b.br().y)}), 0.5F);
      const cv::Mat m = det::image_mask(found[i], frame.size());
      const cv::Mat n = det::image_mask(expected[i], frame.size());
      EXPECT_GE(cv::countNonZero(m & n), 0.99 * cv::countNonZero(m | n));
    }
    detections += static_cast<int>(found.size());
  }
  EXPECT_GE(detections, 30);
}
