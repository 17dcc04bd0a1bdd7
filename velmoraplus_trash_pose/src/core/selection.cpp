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

#include "velmoraplus_trash_pose/core/selection.hpp"

#include <algorithm>

#include "velmoraplus_trash_pose/core/class_tables.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace velmora
{

BoxInfo MakeBoxInfo(const cv::Rect_<float> & rect, int label, float score)
{
  BoxInfo box;
  box.x1 = TruncatePixel(rect.x);
  box.y1 = TruncatePixel(rect.y);
  box.x2 = TruncatePixel(rect.x + rect.width);
  box.y2 = TruncatePixel(rect.y + rect.height);
  box.score = score;
  box.class_id = label + 1;
  return box;
}

float BoxCoverage(const BoxInfo & trash, const BoxInfo & box)
{
  // Sides and areas in double, exact for any image: saturated corners of a box
  // far outside the image must not overflow.
  const auto side = [](int low, int high) {
      return std::max(0.0, static_cast<double>(high) - static_cast<double>(low) + 1.0);
    };
  const double area = (static_cast<double>(trash.x2) - trash.x1 + 1.0) *
    (static_cast<double>(trash.y2) - trash.y1 + 1.0);
  if (!(area > 0.0)) {
    return 0.0F;
  }
  const double covered =
    side(std::max(trash.x1, box.x1), std::min(trash.x2, box.x2)) *
    side(std::max(trash.y1, box.y1), std::min(trash.y2, box.y2));
  return static_cast<float>(covered) / static_cast<float>(area);
}

bool IsTrashLabel(int label)
{
  return label == 0 || label == 1 || label == 4;
}

int TrashTypeOfLabel(int label)
{
  switch (label) {
    case 0: return 1;
    case 1: return 2;
    case 4: return 3;
    default: return 4;
  }
}

bool IsAtImageEdge(const cv::Rect_<float> & rect, int image_width, int edge_threshold)
{
  const int x = TruncatePixel(rect.x);
  const int y = TruncatePixel(rect.y);
  const int w = TruncatePixel(rect.width);
  return std::min(x, y) < edge_threshold ||
         static_cast<long long>(x) + w > static_cast<long long>(image_width) - edge_threshold;
}

bool ErodesMask(const cv::Rect_<float> & rect)
{
  return rect.x > 10.0F && rect.y > 10.0F;
}

bool IsBaseOrBench(int class_id)
{
  return class_id == kClassIdBase || class_id == kClassIdWaitingBench;
}

bool LiesOn(const BoxInfo & trash, const BoxInfo & base_or_bench, float coverage_threshold)
{
  return BoxCoverage(trash, base_or_bench) > coverage_threshold;
}

float HeightThreshold(float class_height, float ground_max_th)
{
  return class_height + ground_max_th;
}

float HeightAboveFloor(float trash_lowest_z, float base_height)
{
  return trash_lowest_z + base_height;
}

bool IsLowEnough(float height_above_floor, float height_threshold)
{
  // Written as a refusal at or above the limit: a NaN height is not refused.
  return !(height_threshold <= height_above_floor);
}

Transparency CheckTransparency(
  std::size_t mask_points, std::size_t null_count, const cv::Rect_<float> & rect,
  float null_ratio_threshold, float hw_ratio_threshold)
{
  Transparency t;
  t.null_ratio = static_cast<float>(null_count) / static_cast<float>(mask_points);
  t.hw_ratio = rect.height / rect.width;
  t.transparent = t.null_ratio > null_ratio_threshold && t.hw_ratio > hw_ratio_threshold;
  return t;
}

}  // namespace velmora
