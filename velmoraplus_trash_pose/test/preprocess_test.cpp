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

// PclProcessFunc: bottom margins, the slanted cut and the fall-back to the raw cloud.
#include <algorithm>

#include <gtest/gtest.h>

#include "estimator_fixture.hpp"

namespace velmora::test
{
namespace
{

constexpr float s = kStep;

TEST(Preprocess, MarginFollowsHeightAndTallObjectsKeepThePreviousOne) {
  // The third threshold 9 s (0.0703125, exact in float) lets a block meet it exactly.
  GrabPoseEstimator estimator(ConfigFile("margins")
    .Set("grab_pose_estimate", "pass_ajust_value_1", "0.004")
    .Set("grab_pose_estimate", "pass_ajust_value_2", "0.005")
    .Set("grab_pose_estimate", "pass_ajust_value_3", "0.006")
    .Set(
      "grab_pose_estimate", "remove_bottom_height_threshold_3",
      "0.0703125")
    .Write());
  struct Step
  {
    int layers;  // height = (layers - 1) s
    float margin;
    const char * message;
  };
  const Step steps[] = {
    {3, 0.004f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_1_"},
    {11, 0.004f, "trash_height_ > remove_bottom_height_threshold_3_"},    // 0.078: kept
    {5, 0.005f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_2_"},
    {8, 0.006f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_3_"},
    {14, 0.006f, "trash_height_ > remove_bottom_height_threshold_3_"},    // 0.102: kept
    {10, 0.006f, nullptr},    // exactly the third threshold: no rule, no cut, margin kept
  };
  for (const Step & step : steps) {
    SCOPED_TRACE(step.layers);
    auto cloud = Block(Eigen::Vector3f(-0.5f, 0.0f, -22 * s), 6, 6, step.layers);
    CoutCapture out;
    estimator.PclProcessFunc(cloud, cloud);
    EXPECT_FLOAT_EQ(estimator.pass_limit_, step.margin);
    EXPECT_FLOAT_EQ(estimator.trash_height_, (step.layers - 1) * s);
    if (step.message != nullptr) {
      EXPECT_TRUE(out.Has(Yellow(step.message)));
    } else {
      EXPECT_FALSE(out.Has("remove_bottom_height_threshold"));
    }
    EXPECT_TRUE(out.Has(Magenta("trash_lowest_z_:  -0.171875")));
    EXPECT_TRUE(out.Has("\033[1;31mPclProcessFunc cost "));
  }
}

TEST(Preprocess, SlantedBottomCutRemovesWhatLiesBelowThe15DegreePlane) {
  // A column 10 s high at x0 (nearest to the camera) and two rows running away from
  // the camera at the bottom (z0) and one step above it. The plane through
  // (x0, 0, z0) rises by tan 15 deg = 0.268 per unit distance: the bottom row goes,
  // the upper row stays for i s * 0.268 <= s, i.e. i <= 3. The margin 0.003 then
  // removes the column's foot: 10 + 3 points remain, and the outlier removal (all 12
  // others as neighbours) the two farthest from the rest, the column's top: 11.
  GrabPoseEstimator estimator(
    ConfigFile("slanted").Set("grab_pose_estimate", "min_trash_cloud_size", "3").Write());
  const float x0 = -52 * s, z0 = -22 * s;
  auto cloud = std::make_shared<Cloud>();
  for (int k = 0; k <= 10; ++k) {
    cloud->push_back(pcl::PointXYZ(x0, 0.0f, z0 + k * s));
  }
  for (int i = 1; i <= 8; ++i) {
    cloud->push_back(pcl::PointXYZ(x0 - i * s, 0.0f, z0));
    cloud->push_back(pcl::PointXYZ(x0 - i * s, 0.0f, z0 + s));
  }
  const auto floor_copy = std::make_shared<Cloud>(*cloud);
  CoutCapture out;
  estimator.PclProcessFunc(cloud, cloud);
  EXPECT_EQ(cloud->size(), 11u);
  EXPECT_EQ(cloud->height, 1u);
  for (const auto & p : cloud->points) {
    EXPECT_GE(p.x, x0 - 3 * s);
    EXPECT_GT(p.z, z0);
  }
  EXPECT_FLOAT_EQ(estimator.processed_trash_lowest_z_, z0 + s);
  EXPECT_FLOAT_EQ(estimator.processed_trash_height_, 7 * s);
  EXPECT_FLOAT_EQ(estimator.pass_limit_, 0.003f);

  // On the floor the plane starts at -0.176, 0.004125 below z0: the bottom row stays
  // for i s * 0.268 < 0.004125 (i = 1), the upper one for i <= 5, and the bound
  // -0.176 + 0.003 keeps the foot. Of these 17 the outlier removal takes the column's
  // top two and the farthest of the upper row: 14, the lowest two at z0.
  GrabPoseEstimator on_floor(ConfigFile("slanted_floor")
    .Set("grab_pose_estimate", "min_trash_cloud_size", "3")
    .Set("debug_choice", "is_on_floor", "true")
    .Write());
  on_floor.PclProcessFunc(floor_copy, floor_copy);
  EXPECT_EQ(floor_copy->size(), 14u);
  EXPECT_EQ(
    std::count_if(
      floor_copy->begin(), floor_copy->end(),
      [&](const pcl::PointXYZ & p) {return p.z == z0;}), 2);
  EXPECT_FLOAT_EQ(on_floor.trash_lowest_z_, -0.176f);
  EXPECT_FLOAT_EQ(on_floor.processed_trash_lowest_z_, z0);
  EXPECT_FLOAT_EQ(on_floor.processed_trash_height_, 8 * s);
}

TEST(Preprocess, TooFewPointsAfterTheCutBringBackTheUnthinnedCloud) {
  // 20 bottom points and 4 points 0.01 higher, each twice: the voxel grid merges the
  // twins, the cut leaves 4 < 34, and the original 48 points go on to the outlier
  // removal, which takes three bottom corners and the raised row's end, twice each.
  GrabPoseEstimator estimator(ConfigFile("fallback").Write());
  auto cloud = std::make_shared<Cloud>();
  for (int twin = 0; twin < 2; ++twin) {
    for (int i = 0; i < 20; ++i) {
      cloud->push_back(pcl::PointXYZ(-0.5f + (i % 5) * s, (i / 5) * s, -22 * s));
    }
    for (int i = 0; i < 4; ++i) {
      cloud->push_back(pcl::PointXYZ(-0.5f + i * s, 0.0f, -22 * s + 0.01f));
    }
  }
  CoutCapture out;
  estimator.PclProcessFunc(cloud, cloud);
  EXPECT_EQ(cloud->size(), 40u);
  EXPECT_FLOAT_EQ(estimator.processed_trash_lowest_z_, -22 * s);
  EXPECT_TRUE(out.Has(Yellow("去除z坐标 -0.168875 以下点云后数量太少-------------")));
}

TEST(Preprocess, SeparateOutputCloudLeavesTheInputAlone) {
  GrabPoseEstimator estimator(ConfigFile("separate").Write());
  const auto in = Block(Eigen::Vector3f(-0.5f, 0.0f, -22 * s), 6, 6, 3);
  auto out_cloud = std::make_shared<Cloud>();
  CoutCapture out;
  estimator.PclProcessFunc(in, out_cloud);
  EXPECT_EQ(in->size(), 108u);
  EXPECT_EQ(out_cloud->size(), 64u);  // 6 x 6 x 2 above the cut, less its 8 corners
}

}  // namespace
}  // namespace velmora::test
