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

#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace velmora
{

int TruncatePixel(float value)
{
  if (std::isnan(value)) {
    return 0;
  }
  return static_cast<int>(std::max(-1.0e9F, std::min(1.0e9F, value)));
}

std::uint16_t DepthImageView::At(std::uint32_t u, std::uint32_t v) const
{
  const std::uint8_t * p = data + static_cast<std::size_t>(v) * step + static_cast<std::size_t>(u) *
    2U;
  return big_endian ?
         static_cast<std::uint16_t>((p[0] << 8) | p[1]) :
         static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

cv::Mat DepthImageCopy(const DepthImageView & depth)
{
  if (depth.data == nullptr) {
    return {};
  }
  cv::Mat image(static_cast<int>(depth.height), static_cast<int>(depth.width), CV_16UC1);
  for (std::uint32_t v = 0; v < depth.height; ++v) {
    auto * row = image.ptr<std::uint16_t>(static_cast<int>(v));
    for (std::uint32_t u = 0; u < depth.width; ++u) {
      row[u] = depth.At(u, v);
    }
  }
  return image;
}

std::string CheckDepthImage(
  const std::string & encoding, std::uint32_t width, std::uint32_t height,
  std::uint32_t step, std::size_t data_size)
{
  if (encoding != "16UC1" && encoding != "mono16") {
    return "depth encoding \"" + encoding + "\" is not 16-bit (16UC1 or mono16)";
  }
  if (width == 0 || height == 0) {
    return "depth image is empty (" + std::to_string(width) + "x" + std::to_string(height) + ")";
  }
  if (static_cast<std::uint64_t>(step) < static_cast<std::uint64_t>(width) * 2U) {
    return "depth step " + std::to_string(step) + " is shorter than a row of " +
           std::to_string(width) + " 16-bit pixels";
  }
  const std::uint64_t needed = static_cast<std::uint64_t>(step) * height;
  if (data_size < needed) {
    return "depth data has " + std::to_string(data_size) + " bytes, step x height needs " +
           std::to_string(needed);
  }
  return {};
}

MaskCloudCounts BackProjectMask(
  const DepthImageView & depth, const cv::Mat & mask, const cv::Rect_<float> & rect,
  const CameraIntrinsics & intrinsics, pcl::PointCloud<pcl::PointXYZ> & cloud,
  cv::Point mask_origin)
{
  MaskCloudCounts counts;
  if (mask.empty() || mask.type() != CV_8UC1 || depth.data == nullptr) {
    return counts;
  }
  if (!std::isfinite(rect.x) || !std::isfinite(rect.y) ||
    !std::isfinite(rect.width) || !std::isfinite(rect.height))
  {
    return counts;
  }
  // Integer box as the detector's float box truncates; clamp the loops to
  // what both the mask and the depth image cover (outside the mask is background).
  const long long x0 = TruncatePixel(rect.x);
  const long long y0 = TruncatePixel(rect.y);
  const long long w = TruncatePixel(rect.width);
  const long long h = TruncatePixel(rect.height);
  const long long ox = mask_origin.x;
  const long long oy = mask_origin.y;
  const long long u_begin = std::max<long long>({x0, 0, ox});
  const long long u_end = std::min<long long>({x0 + w, depth.width, ox + mask.cols});
  const long long v_begin = std::max<long long>({y0, 0, oy});
  const long long v_end = std::min<long long>({y0 + h, depth.height, oy + mask.rows});

  for (long long v = v_begin; v < v_end; ++v) {
    const std::uint8_t * mask_row = mask.ptr<std::uint8_t>(static_cast<int>(v - oy));
    for (long long u = u_begin; u < u_end; ++u) {
      if (mask_row[u - ox] == 0) {
        continue;
      }
      ++counts.mask_points;
      const std::uint16_t raw = depth.At(
        static_cast<std::uint32_t>(u),
        static_cast<std::uint32_t>(v));
      const float z = static_cast<float>(raw / 1000.0);
      if (z > 0.0F) {
        pcl::PointXYZ p;
        p.x = (static_cast<float>(u) - intrinsics.cx) * z / intrinsics.fx;
        p.y = (static_cast<float>(v) - intrinsics.cy) * z / intrinsics.fy;
        p.z = z;
        cloud.points.push_back(p);
        cloud.width = static_cast<std::uint32_t>(cloud.points.size());
        cloud.height = 1;
      } else {
        ++counts.null_count;
      }
    }
  }
  return counts;
}

void ErodeMask(cv::Mat & mask, int erosion_size)
{
  if (mask.empty()) {
    return;
  }
  // Past the mask's larger side every window covers the whole mask, so the
  // result no longer changes; capping there keeps 2k+1 from overflowing and
  // the structuring element from outgrowing memory for a huge configured size.
  const int k = std::clamp(erosion_size, 0, std::max(mask.rows, mask.cols));
  const cv::Mat element = cv::getStructuringElement(
    cv::MORPH_RECT, cv::Size(2 * k + 1, 2 * k + 1), cv::Point(k, k));
  cv::erode(
    mask, mask, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
    cv::morphologyDefaultBorderValue());
}

void ErodeMaskInImage(cv::Mat & mask, cv::Point origin, cv::Size image_size, int erosion_size)
{
  if (mask.empty()) {
    return;
  }
  // Only the part of the mask inside the image exists in the image-size mask;
  // the rest is cleared. Every window reaching that part lies within k of it:
  // erode that margin of background (cut by the image, whose border never
  // erodes), then keep the part. Capped as ErodeMask caps k.
  const cv::Rect image(cv::Point(), image_size);
  const cv::Rect area(origin, mask.size());
  const cv::Rect inside = area & image;
  cv::Mat eroded(mask.size(), CV_8UC1, cv::Scalar(0));
  if (!inside.empty()) {
    const int k = std::clamp(
      erosion_size, 0, std::max({image_size.width, image_size.height, mask.rows, mask.cols}));
    const cv::Rect window =
      cv::Rect(inside.x - k, inside.y - k, inside.width + 2 * k, inside.height + 2 * k) & image;
    cv::Mat work(window.size(), CV_8UC1, cv::Scalar(0));
    mask(inside - origin).copyTo(work(inside - window.tl()));
    ErodeMask(work, k);
    work(inside - window.tl()).copyTo(eroded(inside - origin));
  }
  mask = eroded;
}

}  // namespace velmora
