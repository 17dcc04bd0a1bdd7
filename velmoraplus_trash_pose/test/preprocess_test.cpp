// PclProcessFunc: bottom margins, the slanted cut and the fall-back to the raw cloud.
#include <gtest/gtest.h>

#include "estimator_fixture.hpp"

namespace velmora::test {
namespace {

constexpr float s = kStep;

TEST(Preprocess, MarginFollowsHeightAndTallObjectsKeepThePreviousOne) {
  GrabPoseEstimator estimator(ConfigFile("margins")
                                  .Set("grab_pose_estimate", "pass_ajust_value_1", "0.004")
                                  .Set("grab_pose_estimate", "pass_ajust_value_2", "0.005")
                                  .Set("grab_pose_estimate", "pass_ajust_value_3", "0.006")
                                  .Write());
  struct Step {
    int layers;  // height = (layers - 1) s
    float margin;
    const char* message;
  };
  const Step steps[] = {
      {3, 0.004f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_1_"},
      {11, 0.004f, "trash_height_ > remove_bottom_height_threshold_3_"},  // 0.078: kept
      {5, 0.005f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_2_"},
      {8, 0.006f, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_3_"},
      {14, 0.006f, "trash_height_ > remove_bottom_height_threshold_3_"},  // 0.102: kept
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.layers);
    auto cloud = Block(Eigen::Vector3f(-0.5f, 0.0f, -22 * s), 6, 6, step.layers);
    CoutCapture out;
    estimator.PclProcessFunc(cloud, cloud);
    EXPECT_FLOAT_EQ(estimator.pass_limit_, step.margin);
    EXPECT_FLOAT_EQ(estimator.trash_height_, (step.layers - 1) * s);
    EXPECT_TRUE(out.Has(Line(kColorYellow, step.message)));
    EXPECT_TRUE(out.Has(Line(kColorMagenta, "trash_lowest_z_:  -0.171875")));
    EXPECT_TRUE(out.Has(std::string(kColorRed) + "PclProcessFunc cost "));
  }
}

TEST(Preprocess, SlantedBottomCutRemovesWhatLiesBelowThe15DegreePlane) {
  // A column 10 s high at x0 (nearest to the camera) and two rows running away from
  // the camera at the bottom (z0) and one step above it. The plane through
  // (x0, 0, z0) rises by tan 15 deg = 0.268 per unit distance: the bottom row goes,
  // the upper row stays for i s * 0.268 <= s, i.e. i <= 3. The margin 0.003 then
  // removes the column's foot: 10 + 3 points remain.
  GrabPoseEstimator estimator(
      ConfigFile("slanted").Set("grab_pose_estimate", "min_trash_cloud_size", "3").Write());
  const float x0 = -52 * s, z0 = -22 * s;
  auto cloud = std::make_shared<Cloud>();
  for (int k = 0; k <= 10; ++k) cloud->push_back(pcl::PointXYZ(x0, 0.0f, z0 + k * s));
  for (int i = 1; i <= 8; ++i) {
    cloud->push_back(pcl::PointXYZ(x0 - i * s, 0.0f, z0));
    cloud->push_back(pcl::PointXYZ(x0 - i * s, 0.0f, z0 + s));
  }
  CoutCapture out;
  estimator.PclProcessFunc(cloud, cloud);
  EXPECT_EQ(cloud->size(), 13u);
  EXPECT_EQ(cloud->height, 1u);
  for (const auto& p : cloud->points) {
    EXPECT_GE(p.x, x0 - 3 * s);
    EXPECT_GT(p.z, z0);
  }
  EXPECT_FLOAT_EQ(estimator.processed_trash_lowest_z_, z0 + s);
  EXPECT_FLOAT_EQ(estimator.processed_trash_height_, 9 * s);
  EXPECT_FLOAT_EQ(estimator.pass_limit_, 0.003f);
}

TEST(Preprocess, TooFewPointsAfterTheCutBringBackTheUnthinnedCloud) {
  // 20 bottom points and 4 points 0.01 higher, each twice: the voxel grid merges the
  // twins, the cut leaves 4 < 34, and the original 48 points go on.
  GrabPoseEstimator estimator(ConfigFile("fallback").Write());
  auto cloud = std::make_shared<Cloud>();
  for (int twin = 0; twin < 2; ++twin) {
    for (int i = 0; i < 20; ++i) cloud->push_back(pcl::PointXYZ(-0.5f + (i % 5) * s, (i / 5) * s, -22 * s));
    for (int i = 0; i < 4; ++i) cloud->push_back(pcl::PointXYZ(-0.5f + i * s, 0.0f, -22 * s + 0.01f));
  }
  CoutCapture out;
  estimator.PclProcessFunc(cloud, cloud);
  EXPECT_EQ(cloud->size(), 48u);
  EXPECT_FLOAT_EQ(estimator.processed_trash_lowest_z_, -22 * s);
  EXPECT_TRUE(out.Has(Line(kColorYellow, "去除z坐标 -0.168875 以下点云后数量太少-------------")));
}

TEST(Preprocess, SeparateOutputCloudLeavesTheInputAlone) {
  GrabPoseEstimator estimator(ConfigFile("separate").Write());
  const auto in = Block(Eigen::Vector3f(-0.5f, 0.0f, -22 * s), 6, 6, 3);
  auto out_cloud = std::make_shared<Cloud>();
  CoutCapture out;
  estimator.PclProcessFunc(in, out_cloud);
  EXPECT_EQ(in->size(), 108u);
  EXPECT_EQ(out_cloud->size(), 72u);
}

}  // namespace
}  // namespace velmora::test
