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

#ifndef VELMORAPLUS_TRASH_POSE__CORE__TRASH_CLOUD_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__TRASH_CLOUD_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace velmora
{

// A 16-bit depth image as it arrives in a message: raw bytes, rows `step`
// bytes apart, values in millimetres, 0 meaning "no depth".
struct DepthImageView
{
  const std::uint8_t * data = nullptr;
  std::size_t size = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t step = 0;
  bool big_endian = false;

  // Depth in millimetres at column u, row v; the caller keeps (u, v) inside.
  std::uint16_t At(std::uint32_t u, std::uint32_t v) const;
};

// Empty when the fields describe a readable 16-bit depth image ("16UC1" or
// "mono16", non-zero size, step covering a row, data covering step x height);
// otherwise a sentence saying what is wrong.
std::string CheckDepthImage(
  const std::string & encoding, std::uint32_t width, std::uint32_t height,
  std::uint32_t step, std::size_t data_size);

// The depth image as CV_16UC1 in host byte order (empty for an empty view),
// e.g. to archive it as a PNG.
cv::Mat DepthImageCopy(const DepthImageView & depth);

// A detector's float pixel coordinate truncated toward zero, as boxes are
// turned into pixels; saturated (NaN gives 0) so a box far outside any image
// cannot overflow.
int TruncatePixel(float value);

struct CameraIntrinsics
{
  float fx = 0.0F;
  float fy = 0.0F;
  float cx = 0.0F;
  float cy = 0.0F;
};

struct MaskCloudCounts
{
  std::size_t mask_points = 0;  // mask pixels inside the box, the mask and the depth image
  std::size_t null_count = 0;   // of those, pixels without depth
};

// Back-projects the non-zero mask pixels inside `rect` through the depth image
// into `cloud` (camera frame, metres), in row-major order of the box. The mask
// lies at `mask_origin` in the image (a detection's mask covers its box only);
// pixels outside it are background. Pixels outside the depth image are
// skipped, never read. The cloud is appended to; its width follows the point
// count and its height is 1 once it holds a point.
MaskCloudCounts BackProjectMask(
  const DepthImageView & depth, const cv::Mat & mask, const cv::Rect_<float> & rect,
  const CameraIntrinsics & intrinsics, pcl::PointCloud<pcl::PointXYZ> & cloud,
  cv::Point mask_origin = {});

// Erodes a 0/255 mask in place with a (2k+1) x (2k+1) rectangle; the image
// border never erodes. A negative k acts as 0.
void ErodeMask(cv::Mat & mask, int erosion_size);

// ErodeMask for a mask lying at `origin` in an image of `image_size`, with
// background around it: exactly what eroding the whole image's mask gives
// within the mask's area (and only background erodes outside it), for any
// origin; the mask's pixels outside the image are cleared.
void ErodeMaskInImage(cv::Mat & mask, cv::Point origin, cv::Size image_size, int erosion_size);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__TRASH_CLOUD_HPP_
