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

#include "velmora_model_zoo/draw.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace det
{
namespace
{

cv::Scalar color_at(
  const std::vector<std::vector<unsigned int>> & table, int label,
  const char * table_name)
{
  if (table.empty()) {throw std::invalid_argument(std::string(table_name) + " is empty");}
  const size_t n = table.size();
  const size_t i = static_cast<size_t>(((label % static_cast<long>(n)) + static_cast<long>(n)) %
    static_cast<long>(n));
  const auto & c = table[i];
  if (c.size() < 3) {
    throw std::invalid_argument(
            std::string(table_name) + "[" + std::to_string(i) + "] has " +
            std::to_string(c.size()) + " values, not 3 (red, green, blue)");
  }
  auto channel = [](unsigned int v) {return static_cast<double>(std::min(v, 255U));};
  // The image is RGB, so the triple goes in as it is.
  return cv::Scalar(channel(c[0]), channel(c[1]), channel(c[2]));
}

void check_input(const cv::Mat & image, const char * fn)
{
  if (image.empty()) {throw std::invalid_argument(std::string(fn) + ": the image is empty");}
  if (image.type() != CV_8UC3) {
    throw std::invalid_argument(std::string(fn) + ": the image must be 8-bit 3-channel RGB");
  }
}

std::string caption(const Object & obj, const std::vector<std::string> & class_names)
{
  const bool known = obj.label >= 0 && static_cast<size_t>(obj.label) < class_names.size();
  char score[16];
  std::snprintf(score, sizeof score, " %.1f%%", static_cast<double>(obj.score) * 100.0);
  return (known ? class_names[static_cast<size_t>(obj.label)] : std::to_string(obj.label)) + score;
}

void draw_boxes(
  cv::Mat & canvas, const std::vector<Object> & objects,
  const std::vector<std::string> & class_names,
  const std::vector<std::vector<unsigned int>> & colors)
{
  const double font_scale = std::max(0.4, canvas.cols / 1600.0);
  const int thickness = std::max(1, canvas.cols / 640);
  for (const Object & obj : objects) {
    const cv::Scalar color = color_at(colors, obj.label, "colors");
    const cv::Rect box(cv::Point(cvRound(obj.rect.x), cvRound(obj.rect.y)),
      cv::Point(cvRound(obj.rect.br().x), cvRound(obj.rect.br().y)));
    cv::rectangle(canvas, box, color, thickness);

    const std::string text = caption(obj, class_names);
    int baseline = 0;
    const cv::Size size =
      cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, font_scale, 1, &baseline);
    // Caption above the box, or inside it at the top edge of the image.
    int x = std::clamp(box.x, 0, std::max(0, canvas.cols - size.width));
    int y = box.y - size.height - baseline;
    if (y < 0) {y = std::max(0, box.y);}
    const cv::Rect label_box(x, y, size.width, size.height + baseline);
    cv::rectangle(canvas, label_box, color, cv::FILLED);
    const double luma = 0.299 * color[0] + 0.587 * color[1] + 0.114 * color[2];
    const cv::Scalar ink = luma > 128.0 ? cv::Scalar::all(0) : cv::Scalar::all(255);
    cv::putText(
      canvas, text, cv::Point(x, y + size.height), cv::FONT_HERSHEY_SIMPLEX,
      font_scale, ink, 1, cv::LINE_AA);
  }
}

}  // namespace

void draw_objects(
  const cv::Mat & image, cv::Mat & out, const std::vector<Object> & objects,
  const std::vector<std::string> & class_names,
  const std::vector<std::vector<unsigned int>> & colors)
{
  check_input(image, "draw_objects");
  cv::Mat canvas = image.clone();
  draw_boxes(canvas, objects, class_names, colors);
  out = canvas;
}

void draw_objects_masks(
  const cv::Mat & image, cv::Mat & out, const std::vector<Object> & objects,
  const std::vector<std::string> & class_names,
  const std::vector<std::vector<unsigned int>> & colors,
  const std::vector<std::vector<unsigned int>> & mask_colors)
{
  check_input(image, "draw_objects_masks");
  cv::Mat canvas = image.clone();
  const cv::Rect whole(0, 0, canvas.cols, canvas.rows);
  for (const Object & obj : objects) {
    const cv::Scalar color = color_at(mask_colors, obj.label, "mask_colors");
    if (obj.mask.empty() || obj.mask.type() != CV_8UC1 ||
      obj.mask.size() != obj.mask_box.size() || (obj.mask_box & whole) != obj.mask_box)
    {
      continue;
    }
    cv::Mat area = canvas(obj.mask_box);
    const cv::Mat tinted(area.size(), area.type(), color);
    cv::Mat blended;
    cv::addWeighted(area, 0.5, tinted, 0.5, 0.0, blended);
    blended.copyTo(area, obj.mask);
  }
  draw_boxes(canvas, objects, class_names, colors);
  out = canvas;
}

}  // namespace det
