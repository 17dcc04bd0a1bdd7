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

// Cloud extraction as the camera node runs it on one detection: an arbitrary
// depth message (encoding, size, step, byte order, data length) checked by
// CheckDepthImage, and when accepted, an arbitrary mask (size, type,
// continuity, erosion) back-projected inside an arbitrary box (NaN, inf and
// huge values included).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "fuzz_support.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace
{

// Any float bit pattern: NaN, infinities, denormals and huge values included.
float AnyFloat(FuzzedDataProvider & in)
{
  const auto bits = in.ConsumeIntegral<std::uint32_t>();
  float value = 0.0F;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string Encoding(FuzzedDataProvider & in)
{
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return "16UC1";
    case 1: return "mono16";
    case 2: return "32FC1";
    case 3: return "rgb8";
    case 4: return "";
    default: return in.ConsumeRandomLengthString(16);
  }
}

std::uint32_t Dimension(FuzzedDataProvider & in)
{
  // Mostly small, sometimes anything (huge declared sizes with little data).
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 64) :
         in.ConsumeIntegral<std::uint32_t>();
}

cv::Mat Mask(FuzzedDataProvider & in)
{
  static const int kTypes[] = {CV_8UC1, CV_8UC1, CV_8UC3, CV_16UC1, CV_32FC1};
  const int rows = in.ConsumeIntegralInRange<int>(0, 80);
  const int cols = in.ConsumeIntegralInRange<int>(0, 80);
  const int type = kTypes[in.ConsumeIntegralInRange<int>(0, 4)];
  cv::Mat mask(rows, cols, type, cv::Scalar::all(0));
  if (!mask.empty()) {
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(
      mask.total() * mask.elemSize());
    if (!bytes.empty()) {std::memcpy(mask.data, bytes.data(), bytes.size());}
  }
  // A view into a larger image: rows are not contiguous.
  if (!mask.empty() && in.ConsumeBool()) {
    cv::Mat larger(rows + 2, cols + 3, type, cv::Scalar::all(255));
    mask.copyTo(larger(cv::Rect(1, 1, cols, rows)));
    mask = larger(cv::Rect(1, 1, cols, rows));
  }
  return mask;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  FuzzedDataProvider in(data, size);
  const std::string encoding = Encoding(in);
  const std::uint32_t width = Dimension(in);
  const std::uint32_t height = Dimension(in);
  const std::uint32_t step = in.ConsumeBool() ? width * 2U +
    in.ConsumeIntegralInRange<std::uint32_t>(0, 4) :
    in.ConsumeIntegral<std::uint32_t>();
  const bool big_endian = in.ConsumeBool();
  const cv::Rect_<float> box(AnyFloat(in), AnyFloat(in), AnyFloat(in), AnyFloat(in));
  velmora::CameraIntrinsics intrinsics;
  intrinsics.fx = in.ConsumeBool() ? 600.0F : AnyFloat(in);
  intrinsics.fy = in.ConsumeBool() ? 600.0F : AnyFloat(in);
  intrinsics.cx = AnyFloat(in);
  intrinsics.cy = AnyFloat(in);
  const int erosion = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(
    -2,
    4) : in.ConsumeIntegral<int>();
  cv::Mat mask = Mask(in);
  const cv::Point origin(
    in.ConsumeIntegralInRange<int>(-90, 90), in.ConsumeIntegralInRange<int>(-90, 90));
  const cv::Size image_size(
    in.ConsumeIntegralInRange<int>(1, 90), in.ConsumeIntegralInRange<int>(1, 90));
  const std::vector<std::uint8_t> depth_data = in.ConsumeRemainingBytes<std::uint8_t>();

  // Placed anywhere in an image, partly outside it too, a mask erodes as the
  // image's own mask does.
  if (mask.type() == CV_8UC1 && !mask.empty()) {
    const int k = std::min(erosion, 6);
    cv::Mat placed = mask.clone();
    velmora::ErodeMaskInImage(placed, origin, image_size, k);
    const cv::Rect inside = cv::Rect(origin, mask.size()) & cv::Rect(cv::Point(), image_size);
    cv::Mat whole(image_size, CV_8UC1, cv::Scalar(0));
    cv::Mat expected(mask.size(), CV_8UC1, cv::Scalar(0));
    if (!inside.empty()) {
      mask(inside - origin).copyTo(whole(inside));
      velmora::ErodeMask(whole, k);
      whole(inside).copyTo(expected(inside - origin));
    }
    if (cv::countNonZero(placed != expected) != 0) {
      velmora_fuzz::Fail(
        "ErodeMaskInImage differs from eroding the image's mask, mask " +
        std::to_string(mask.cols) + "x" + std::to_string(mask.rows) + " at " +
        std::to_string(origin.x) + "," + std::to_string(origin.y) + " in " +
        std::to_string(image_size.width) + "x" + std::to_string(image_size.height));
    }
  }

  const std::string why =
    velmora::CheckDepthImage(encoding, width, height, step, depth_data.size());
  if (!why.empty()) {return 0;}
  velmora::DepthImageView depth;
  depth.data = depth_data.data();
  depth.size = depth_data.size();
  depth.width = width;
  depth.height = height;
  depth.step = step;
  depth.big_endian = big_endian;

  velmora::ErodeMask(mask, erosion);
  pcl::PointCloud<pcl::PointXYZ> cloud;
  const velmora::MaskCloudCounts counts = velmora::BackProjectMask(
    depth, mask, box, intrinsics,
    cloud);
  if (counts.null_count > counts.mask_points ||
    cloud.size() != counts.mask_points - counts.null_count)
  {
    velmora_fuzz::Fail(
      "counts disagree with the cloud: " + std::to_string(counts.mask_points) +
      " mask points, " + std::to_string(counts.null_count) + " without depth, " +
      std::to_string(cloud.size()) + " points");
  }
  if (!cloud.empty() && (cloud.width != cloud.size() || cloud.height != 1)) {
    velmora_fuzz::Fail("cloud is not organised as one row");
  }
  return 0;
}
