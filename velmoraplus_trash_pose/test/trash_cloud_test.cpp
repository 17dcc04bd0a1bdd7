// Mask erosion at sizes a configuration typo can produce.
#include <climits>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "velmoraplus_trash_pose/trash_cloud.hpp"

namespace {

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
