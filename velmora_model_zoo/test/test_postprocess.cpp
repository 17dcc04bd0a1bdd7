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

// SegPostprocessor and Letterbox on hand-made tensors, including hostile values.
#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velmora_model_zoo/seg_postprocess.hpp"

using det::Letterbox;
using det::Object;
using det::PostprocessParams;
using det::SegPostprocessor;

namespace
{

constexpr int kClasses = 2;
constexpr int kProtos = 2;
constexpr int kAnchors = 6;

// (1, 4 + 2 + 2, 6) detections and (1, 2, 16, 16) prototypes of a 64x64 input.
struct Tensors
{
  cv::Mat det{std::vector<int>{1, 4 + kClasses + kProtos, kAnchors}, CV_32F, cv::Scalar(0)};
  cv::Mat protos{std::vector<int>{1, kProtos, 16, 16}, CV_32F, cv::Scalar(5)};

  float & at(int channel, int anchor) {return det.at<float>(cv::Vec3i(0, channel, anchor));}
  void set(int anchor, float cx, float cy, float w, float h, int cls, float score)
  {
    at(0, anchor) = cx;
    at(1, anchor) = cy;
    at(2, anchor) = w;
    at(3, anchor) = h;
    at(4 + cls, anchor) = score;
    at(4 + kClasses, anchor) = 1.0F;  // prototype 0: +5 everywhere -> full box mask
  }
};

PostprocessParams params()
{
  PostprocessParams p;
  p.num_classes = kClasses;
  return p;
}

const Letterbox kSquare = Letterbox::fit({64, 64}, {64, 64});

}  // namespace

TEST(Letterbox, PlacesAndMapsBackCommonSizes) {
  const Letterbox a = Letterbox::fit({640, 480}, {640, 640});
  EXPECT_EQ(a.scaled, cv::Size(640, 480));
  EXPECT_EQ(a.left, 0);
  EXPECT_EQ(a.top, 80);
  EXPECT_EQ(a.to_image({100, 180}), cv::Point2d(100, 100));
  const Letterbox b = Letterbox::fit({1280, 720}, {640, 640});
  EXPECT_EQ(b.scaled, cv::Size(640, 360));
  EXPECT_EQ(b.top, 140);
  EXPECT_EQ(b.to_image({320, 320}), cv::Point2d(640, 360));
  const Letterbox c = Letterbox::fit({640, 480}, {320, 320});
  EXPECT_EQ(c.scaled, cv::Size(320, 240));
  EXPECT_EQ(c.top, 40);
  const Letterbox d = Letterbox::fit({480, 640}, {320, 320});  // portrait: padded left/right
  EXPECT_EQ(d.scaled, cv::Size(240, 320));
  EXPECT_EQ(d.left, 40);
  EXPECT_EQ(d.to_image({40, 0}), cv::Point2d(0, 0));
}

TEST(SegPostprocessor, NmsKeepsBelowThresholdOverlapAndSortsByScore) {
  Tensors t;
  t.set(0, 20, 20, 20, 20, 0, 0.6F);
  t.set(1, 22, 20, 20, 20, 0, 0.7F);  // IoU 18*20/(800-360) = 0.82 with anchor 0: wins
  t.set(2, 30, 20, 20, 20, 0, 0.5F);  // IoU with anchor 1: 12*20/(800-240) = 0.43 < 0.45: kept
  t.set(3, 20, 20, 20, 20, 1, 0.4F);  // same box, other class: kept
  t.set(4, 50, 50, 10, 10, 1, 0.25F);  // not above the threshold
  std::vector<Object> out;
  SegPostprocessor(params()).run(t.det, t.protos, kSquare, out);
  ASSERT_EQ(out.size(), 3U);
  EXPECT_FLOAT_EQ(out[0].score, 0.7F);
  EXPECT_EQ(out[0].rect, cv::Rect_<float>(12, 10, 20, 20));
  EXPECT_FLOAT_EQ(out[1].score, 0.5F);
  EXPECT_EQ(out[2].label, 1);
  EXPECT_EQ(cv::countNonZero(out[0].mask), 400);
  EXPECT_EQ(cv::countNonZero(det::image_mask(out[0], {64, 64})(cv::Rect(12, 10, 20, 20))), 400);
  EXPECT_EQ(out[0].mask_box, cv::Rect(12, 10, 20, 20));  // the box's pixels only

  PostprocessParams one = params();
  one.max_detections = 1;
  SegPostprocessor(one).run(t.det, t.protos, kSquare, out);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_FLOAT_EQ(out[0].score, 0.7F);
}

TEST(SegPostprocessor, DefaultMaskThresholdIsAProbabilityOfOneHalf) {
  // Prototype 0 holds a logit of 0.01 everywhere: a pixel of probability
  // 0.5025 with coefficient +1, 0.4975 with -1, either side of the default
  // threshold 0.5 (logit 0). A default of 0.45 or 0.55 would flip one of them.
  Tensors t;
  t.protos.setTo(0.0F);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      t.protos.at<float>(cv::Vec4i(0, 0, y, x)) = 0.01F;
    }
  }
  t.set(0, 20, 20, 16, 16, 0, 0.9F);
  t.set(1, 44, 44, 16, 16, 1, 0.8F);
  t.at(4 + kClasses, 1) = -1.0F;
  std::vector<Object> out;
  SegPostprocessor(params()).run(t.det, t.protos, kSquare, out);
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(cv::countNonZero(out[0].mask), 16 * 16);  // just above: every pixel of its box
  EXPECT_EQ(cv::countNonZero(out[1].mask), 0);        // just below: none
  EXPECT_FLOAT_EQ(PostprocessParams().mask_threshold, 0.5F);
}

TEST(SegPostprocessor, SurvivesHostileValues) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Tensors t;
  t.set(0, nan, 20, 20, 20, 0, 0.9F);
  t.set(1, 20, 20, inf, 20, 0, 0.9F);
  t.set(2, 20, 20, -5, 20, 1, 0.9F);
  t.set(3, 0.0F, 0.0F, 1e30F, 1e30F, 1, 0.9F);  // covers everything: clipped to the image
  t.set(4, 500, 500, 10, 10, 0, 0.9F);             // entirely outside: dropped
  t.set(5, 10, 10, 8, 8, 0, nan);                  // NaN score: never above the threshold
  t.at(4 + kClasses + 1, 3) = nan;                 // NaN mask coefficient: background
  std::vector<Object> out;
  SegPostprocessor(params()).run(t.det, t.protos, kSquare, out);
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0].rect, cv::Rect_<float>(0, 0, 64, 64));
  EXPECT_EQ(cv::countNonZero(out[0].mask), 0);

  Tensors all_nan;
  all_nan.det.setTo(nan);
  all_nan.protos.setTo(nan);
  SegPostprocessor(params()).run(all_nan.det, all_nan.protos, kSquare, out);
  EXPECT_TRUE(out.empty());

  // A sliver at the image's left edge narrower than float resolution: its
  // clipped width rounds to 0 and no zero-width box comes out.
  Tensors sliver;
  sliver.set(0, 0.0F, 20, std::numeric_limits<float>::denorm_min(), 20, 0, 0.9F);
  SegPostprocessor(params()).run(sliver.det, sliver.protos, kSquare, out);
  EXPECT_TRUE(out.empty());
}

TEST(SegPostprocessor, RejectsTensorsOfAnotherLayout) {
  const SegPostprocessor post(params());
  Tensors t;
  std::vector<Object> out;
  auto message = [&](const cv::Mat & d, const cv::Mat & p) {
      try {
        post.run(d, p, kSquare, out);
      } catch (const std::runtime_error & e) {
        return std::string(e.what());
      }
      return std::string("no exception");
    };
  EXPECT_THAT(message(t.protos, t.det), ::testing::HasSubstr("(1, 2, 16, 16)"));
  const cv::Mat three_classes(std::vector<int>{1, 9, kAnchors}, CV_32F, cv::Scalar(0));
  EXPECT_THAT(message(three_classes, t.protos), ::testing::HasSubstr("hold 3 classes"));
  const cv::Mat too_few(std::vector<int>{1, 5, kAnchors}, CV_32F, cv::Scalar(0));
  EXPECT_THAT(message(too_few, t.protos), ::testing::HasSubstr("(1, 5, 6)"));
  cv::Mat as_double;
  t.det.convertTo(as_double, CV_64F);
  EXPECT_THAT(message(as_double, t.protos), ::testing::HasSubstr("float32"));
}
