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

// Drawing into a separate image.
#include <gtest/gtest.h>

#include "velmora_model_zoo/draw.hpp"

using det::Object;

namespace
{

const std::vector<std::vector<unsigned int>> kColors{{255, 0, 0}, {0, 255, 0}};
const std::vector<std::vector<unsigned int>> kMaskColors{{0, 0, 200}, {100, 100, 100}};

Object object(int label, cv::Rect box, cv::Size image)
{
  Object o{cv::Rect_<float>(box), label, 0.5F, cv::Mat(box.size(), CV_8UC1, cv::Scalar(1)), box};
  EXPECT_EQ(det::image_mask(o, image)(box).size(), box.size());
  return o;
}

}  // namespace

TEST(Draw, BoxesAndMasksGoIntoTheOutputOnly) {
  const cv::Mat image(120, 160, CV_8UC3, cv::Scalar(100, 50, 0));
  const cv::Mat before = image.clone();
  const std::vector<Object> objects{object(1, {40, 60, 50, 40}, image.size()),
    object(2, {100, 10, 30, 30}, image.size())};
  const std::vector<std::string> names{"paper", "mask"};

  cv::Mat boxes;
  det::draw_objects(image, boxes, objects, names, kColors);
  ASSERT_EQ(boxes.size(), image.size());
  EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0.0);
  // Label 1 -> kColors[1] on the box's bottom edge; label 2 wraps to kColors[0].
  EXPECT_EQ(boxes.at<cv::Vec3b>(99, 65), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(boxes.at<cv::Vec3b>(39, 115), cv::Vec3b(255, 0, 0));
  EXPECT_EQ(boxes.at<cv::Vec3b>(80, 65), cv::Vec3b(100, 50, 0));  // inside: untouched

  cv::Mat masks;
  det::draw_objects_masks(image, masks, objects, names, kColors, kMaskColors);
  EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0.0);
  // Half image, half kMaskColors[1] inside object 0; kMaskColors[0] (2 % 2) inside object 1.
  EXPECT_EQ(masks.at<cv::Vec3b>(80, 65), cv::Vec3b(100, 75, 50));
  EXPECT_EQ(masks.at<cv::Vec3b>(30, 115), cv::Vec3b(50, 25, 100));
  EXPECT_EQ(masks.at<cv::Vec3b>(110, 10), cv::Vec3b(100, 50, 0));

  // Drawing over the input itself leaves the caller's other references alone.
  cv::Mat shared = image.clone();
  const cv::Mat alias = shared;
  det::draw_objects(shared, shared, objects, names, kColors);
  EXPECT_EQ(cv::norm(alias, before, cv::NORM_INF), 0.0);
}

TEST(Draw, RejectsUnusableInput) {
  cv::Mat out;
  const std::vector<Object> none;
  EXPECT_THROW(det::draw_objects(cv::Mat(), out, none, {}, kColors), std::invalid_argument);
  EXPECT_THROW(
    det::draw_objects(cv::Mat(4, 4, CV_8UC1), out, none, {}, kColors),
    std::invalid_argument);
  const cv::Mat image(20, 20, CV_8UC3, cv::Scalar::all(0));
  const std::vector<Object> one{Object{{1, 1, 5, 5}, 0, 0.9F, cv::Mat(), {}}};
  EXPECT_THROW(det::draw_objects(image, out, one, {}, {}), std::invalid_argument);
  EXPECT_THROW(det::draw_objects(image, out, one, {}, {{1, 2}}), std::invalid_argument);
  // A mask of the wrong size is not blended, the box still drawn; unknown labels allowed.
  const cv::Mat big(60, 60, CV_8UC3, cv::Scalar::all(0));
  const std::vector<Object> odd{
    Object{{10, 30, 20, 20}, 7, 0.9F, cv::Mat::ones(3, 3, CV_8UC1), {10, 30, 20, 20}}};
  det::draw_objects_masks(big, out, odd, {"a"}, kColors, kMaskColors);
  EXPECT_EQ(out.at<cv::Vec3b>(49, 20), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(out.at<cv::Vec3b>(40, 20), cv::Vec3b(0, 0, 0));
}
