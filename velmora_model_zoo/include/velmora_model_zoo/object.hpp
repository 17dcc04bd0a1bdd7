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

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

namespace det
{

// One detection of the segmentation model.  Its mask covers only `mask_box`, the pixels
// of its box, so that a detection costs memory by its size, not by the image's.
struct Object
{
  cv::Rect_<float> rect;  // box in pixels of the input image, clipped to it
  int label = 0;          // index into the class-name list
  float score = 0.0F;     // confidence
  cv::Mat mask;           // CV_8UC1 of mask_box's size, 1 = object, 0 = background
  cv::Rect mask_box;      // where `mask` lies in the input image; no object pixel lies outside
};

// The pixels of the input image that cover `rect` (each pixel a box touches), within an
// image of `image_size`; the window a mask of that box needs.
inline cv::Rect covering_pixels(const cv::Rect_<float> & rect, cv::Size image_size)
{
  const cv::Rect image(0, 0, image_size.width, image_size.height);
  if (!(rect.width > 0.0F && rect.height > 0.0F)) {
    return {};
  }
  const double x0 = std::floor(static_cast<double>(rect.x));
  const double y0 = std::floor(static_cast<double>(rect.y));
  const double x1 = std::ceil(static_cast<double>(rect.x) + rect.width);
  const double y1 = std::ceil(static_cast<double>(rect.y) + rect.height);
  if (!(x0 < image.width && y0 < image.height && x1 > 0.0 && y1 > 0.0)) {
    return {};
  }
  const cv::Point tl(static_cast<int>(std::max(x0, 0.0)), static_cast<int>(std::max(y0, 0.0)));
  const cv::Point br(static_cast<int>(std::min(x1, static_cast<double>(image.width))),
    static_cast<int>(std::min(y1, static_cast<double>(image.height))));
  return cv::Rect(tl, br);
}

// The mask as a 0/1 image of `image_size` (empty for an object without mask), for callers
// that address image pixels.
inline cv::Mat image_mask(const Object & object, cv::Size image_size)
{
  if (object.mask.empty()) {return cv::Mat();}
  cv::Mat full(image_size, CV_8UC1, cv::Scalar(0));
  const cv::Rect inside = object.mask_box & cv::Rect(0, 0, image_size.width, image_size.height);
  if (!inside.empty() && object.mask.size() == object.mask_box.size()) {
    object.mask(inside - object.mask_box.tl()).copyTo(full(inside));
  }
  return full;
}

}  // namespace det
