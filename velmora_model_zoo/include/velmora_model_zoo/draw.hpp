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

#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/object.hpp"

namespace det
{

// Draws each object's box and "name score" caption into `out`, a new copy of `image` (the
// input is never written).  `image` is RGB 8-bit 3-channel; `colors` holds RGB triples
// indexed by label (modulo its size).  A label outside `class_names` is captioned with its
// number.  Throws std::invalid_argument for an empty or non-CV_8UC3 image, an empty colour
// table or a colour with fewer than three values.
void draw_objects(
  const cv::Mat & image, cv::Mat & out, const std::vector<Object> & objects,
  const std::vector<std::string> & class_names,
  const std::vector<std::vector<unsigned int>> & colors);

// As draw_objects, after blending each object's mask at half opacity in
// `mask_colors[label % mask_colors.size()]`.  Masks that are not CV_8UC1 of the image size
// are not blended (their boxes are still drawn).
void draw_objects_masks(
  const cv::Mat & image, cv::Mat & out, const std::vector<Object> & objects,
  const std::vector<std::string> & class_names,
  const std::vector<std::vector<unsigned int>> & colors,
  const std::vector<std::vector<unsigned int>> & mask_colors);

}  // namespace det
