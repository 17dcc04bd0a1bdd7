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

// Back-projection of mask pixels, pinned by hand, and mask erosion at sizes a
// configuration typo can produce.
#include <climits>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace
{

TEST(BackProjectMask, PixelsLandWhereThePinholeModelWorkedByHandPutsThem) {
  // A 640x480 depth image, empty but for three mask pixels; intrinsics 500, 400, 320, 240.
  constexpr std::uint32_t kWidth = 640;
  constexpr std::uint32_t kHeight = 480;
  std::vector<std::uint16_t> depth(kWidth * kHeight, 0);
  cv::Mat mask(kHeight, kWidth, CV_8UC1, cv::Scalar(0));
  const auto set = [&](int u, int v, std::uint16_t millimetres) {
      depth[static_cast<std::size_t>(v) * kWidth + static_cast<std::size_t>(u)] = millimetres;
      mask.at<unsigned char>(v, u) = 1;
    };
  set(320, 240, 1500);  // the principal point: straight ahead
  set(400, 180, 1500);  // 80 px right, 60 px up
  set(160, 400, 2000);  // 160 px left, 160 px down
  velmora::DepthImageView view;
  view.data = reinterpret_cast<const std::uint8_t *>(depth.data());
  view.size = depth.size() * 2;
  view.width = kWidth;
  view.height = kHeight;
  view.step = kWidth * 2;
  pcl::PointCloud<pcl::PointXYZ> cloud;
  const velmora::MaskCloudCounts counts = velmora::BackProjectMask(
    view, mask, cv::Rect_<float>(100.0F, 100.0F, 400.0F, 350.0F),
    velmora::CameraIntrinsics{500.0F, 400.0F, 320.0F, 240.0F}, cloud);
  EXPECT_EQ(counts.mask_points, 3U);
  EXPECT_EQ(counts.null_count, 0U);
  ASSERT_EQ(cloud.size(), 3U);  // row-major order of the box
  // Row 180: x = 80 * 1.5 / 500 = 0.24, y = -60 * 1.5 / 400 = -0.225, z = 1500 mm = 1.5 m.
  EXPECT_FLOAT_EQ(cloud[0].x, 0.24F);
  EXPECT_FLOAT_EQ(cloud[0].y, -0.225F);
  EXPECT_FLOAT_EQ(cloud[0].z, 1.5F);
  // Row 240: (0, 0, 1.5) exactly.
  EXPECT_EQ(cloud[1].x, 0.0F);
  EXPECT_EQ(cloud[1].y, 0.0F);
  EXPECT_EQ(cloud[1].z, 1.5F);
  // Row 400: x = -160 * 2 / 500 = -0.64, y = 160 * 2 / 400 = 0.8, z = 2.
  EXPECT_FLOAT_EQ(cloud[2].x, -0.64F);
  EXPECT_FLOAT_EQ(cloud[2].y, 0.8F);
  EXPECT_FLOAT_EQ(cloud[2].z, 2.0F);
}

TEST(ErodeMask, SizesBeyondTheMaskActLikeOneCoveringItAndNeverOverflow) {
  cv::Mat with_hole(5, 7, CV_8UC1, cv::Scalar(255));
  with_hole.at<unsigned char>(2, 3) = 0;

  cv::Mat small = with_hole.clone();
  velmora::ErodeMask(small, 1);
  EXPECT_EQ(cv::countNonZero(small), 5 * 7 - 9);  // the 3x3 around the hole

  for (const int size : {7, 1000, INT_MAX}) {
    cv::Mat huge = with_hole.clone();
    velmora::ErodeMask(huge, size);
    EXPECT_EQ(cv::countNonZero(huge), 0) << "size " << size;
  }
  // Outside the image counts as set: a full mask survives any size.
  cv::Mat full(5, 7, CV_8UC1, cv::Scalar(255));
  velmora::ErodeMask(full, INT_MAX);
  EXPECT_EQ(cv::countNonZero(full), 5 * 7);
}

}  // namespace
