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

#ifndef VELMORAPLUS_TRASH_POSE__CORE__SELECTION_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__SELECTION_HPP_

// Which detections a camera treats as trash and which of those the arm may
// pick up: pure functions of a box, a label and the configured thresholds.

#include <cstddef>

#include <opencv2/core/types.hpp>

namespace velmora
{

// Box of one detection in integer pixels, corners included.
struct BoxInfo
{
  int x1 = 0;
  int y1 = 0;
  int x2 = 0;
  int y2 = 0;
  float score = 0.0F;
  int class_id = 0;
};

// Integer corners truncated toward zero, class id = label + 1.
BoxInfo MakeBoxInfo(const cv::Rect_<float> & rect, int label, float score);

// Share of the trash box covered by `box` (not a symmetric IoU); 0 for an empty trash box.
float BoxCoverage(const BoxInfo & trash, const BoxInfo & box);

// Labels the arm handles: paper (0), mask (1) and bottle (4).
bool IsTrashLabel(int label);

// Grab trash type of a label: paper 1, mask 2, bottle 3, anything else 4.
int TrashTypeOfLabel(int label);

// True for a box whose truncated left or top corner lies closer than
// `edge_threshold` px to the image border, or whose right side reaches past
// `image_width - edge_threshold`. The bottom is never an edge.
bool IsAtImageEdge(const cv::Rect_<float> & rect, int image_width, int edge_threshold);

// Masks are eroded only for boxes more than 10 px from the image's left and top.
bool ErodesMask(const cv::Rect_<float> & rect);

// A base station or waiting bench: trash on it is always picked up.
bool IsBaseOrBench(int class_id);

// Trash lying on a base station or bench: the bench box covers more than
// `coverage_threshold` of the trash box.
bool LiesOn(const BoxInfo & trash, const BoxInfo & base_or_bench, float coverage_threshold);

// Height limit of a piece on the floor: its class's height plus the floor's tolerance.
float HeightThreshold(float class_height, float ground_max_th);

// Height of a piece's lowest point above the floor (base frame z + base height).
float HeightAboveFloor(float trash_lowest_z, float base_height);

// A piece on the floor is picked up only below its height limit (at it: refused).
bool IsLowEnough(float height_above_floor, float height_threshold);

// The transparency test of a cloud extraction: many mask pixels without depth
// in a box taller than wide.
struct Transparency
{
  float null_ratio = 0.0F;   // pixels without depth / mask pixels (NaN for no mask pixel)
  float hw_ratio = 0.0F;     // box height / box width
  bool transparent = false;  // null_ratio above its threshold and hw_ratio above its
};
Transparency CheckTransparency(
  std::size_t mask_points, std::size_t null_count, const cv::Rect_<float> & rect,
  float null_ratio_threshold, float hw_ratio_threshold);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__SELECTION_HPP_
