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

// Grab routines on lattice clouds whose results are worked out by hand.
//
// Frame: base frame, z up, camera at (0, 0, 0.3); objects lie in front of the arm
// at negative x. s = kStep = 1/128 m.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "estimator_fixture.hpp"

namespace velmora::test
{
namespace
{

constexpr float s = kStep;
constexpr double kTol = 1e-5;

void ExpectVector(const Eigen::Vector3f & actual, double x, double y, double z, double tol = kTol)
{
  EXPECT_NEAR(actual.x(), x, tol);
  EXPECT_NEAR(actual.y(), y, tol);
  EXPECT_NEAR(actual.z(), z, tol);
}

void ExpectQuaternion(const Eigen::Quaterniond & q, double x, double y, double z, double w)
{
  EXPECT_NEAR(q.x(), x, kTol);
  EXPECT_NEAR(q.y(), y, kTol);
  EXPECT_NEAR(q.z(), z, kTol);
  EXPECT_NEAR(q.w(), w, kTol);
}

// The box pose is given in the gripper frame: composing it with the grab pose must
// give back the box centre in the base frame.
Eigen::Vector3d BoxCentreInBase(const GrabPoseEstimator & e)
{
  return e.grab_pose_.orientation * e.trash_pose_.position.cast<double>() +
         e.grab_pose_.position.cast<double>();
}

// A bottle lying along the diagonal x = y: lattice steps (s, s) along it (17 points)
// and (s, -s) across it (5 points), 4 layers from z = -22 s, centred on (-0.5, 0).
Cloud::Ptr LyingBottle()
{
  auto cloud = std::make_shared<Cloud>();
  for (int k = 0; k < 4; ++k) {
    for (int b = 0; b < 5; ++b) {
      for (int a = 0; a < 17; ++a) {
        cloud->push_back(
          pcl::PointXYZ(
            -0.5f - 10 * s + (a + b) * s, -6 * s + (a - b) * s,
            -22 * s + k * s));
      }
    }
  }
  return cloud;
}

// Lattice centred on (cx, cy) (multiples of s), lowest layer at z0.
Cloud::Ptr BlockAround(float cx, float cy, float z0, int nx, int ny, int nz)
{
  return Block(Eigen::Vector3f(cx - (nx - 1) / 2 * s, cy - (ny - 1) / 2 * s, z0), nx, ny, nz);
}

TEST(GrabPose, LyingBottleGetsTopDownGraspAlongItsLongSide) {
  // Height 3 s < 0.024: margin 0.003 removes the bottom layer, 17 x 5 x 3 points stay;
  // the outlier removal then drops 14 at each end's edges (mean distance to their 50
  // nearest above mean + sigma): 227 stay, centre (-0.5, 0, -20 s). Major axis
  // horizontal -> class 1; footprint long side
  // (1, 1)/sqrt2 -> turn theta = atan2(-0.7071, 0.7071) = -45 deg.
  // Height 3 s > 0.02 and centre 2 s = 0.015625 > 0.015 above the lowest point:
  // z -= 0.008 -> -0.15625 - 0.008 = -0.16425. No extension: height < 0.03.
  GrabPoseEstimator estimator(ConfigFile("bottle").Write());
  estimator.trash_type_ = 3;
  auto cloud = LyingBottle();
  CoutCapture out;
  ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);

  EXPECT_EQ(cloud->size(), 227u);
  EXPECT_EQ(estimator.main_axis_type_, 1);
  ExpectVector(estimator.grab_pose_.position, -0.5, 0.0, -0.16425);
  // q = (x 0, y 1, z 0, w 0) * (0, 0, sin(-22.5 deg), cos(-22.5 deg))
  ExpectQuaternion(estimator.grab_pose_.orientation, -0.38268343, 0.92387953, 0.0, 0.0);
  ExpectVector(estimator.grab_mainaxis_, 0.70710678, 0.70710678, 0.0);
  ExpectVector(
    estimator.trash_dimensions_, 16 * s * std::sqrt(2.0), 4 * s * std::sqrt(2.0),
    2 * s);
  EXPECT_FLOAT_EQ(estimator.trash_lowest_z_, -22 * s);
  EXPECT_FLOAT_EQ(estimator.trash_height_, 3 * s);
  EXPECT_NEAR(estimator.grab_angle_, 0.0, kTol);
  EXPECT_NEAR(estimator.grab_distance_, std::hypot(0.5 - 0.01125, -20 * s - 0.1555), kTol);

  // Box centre 0.008 above the grab point; the gripper's z points down.
  ExpectVector(estimator.trash_pose_.position, 0.0, 0.0, -0.008);
  const Eigen::Matrix3d box_in_base =
    (estimator.grab_pose_.orientation * estimator.trash_pose_.orientation).toRotationMatrix();
  EXPECT_NEAR(std::abs(box_in_base.col(0).dot(Eigen::Vector3d(1, 1, 0).normalized())), 1.0, kTol);
  EXPECT_NEAR(std::abs(box_in_base.col(2).z()), 1.0, kTol);

  EXPECT_TRUE(out.Has(Blue("------------------------GetInitialGrabPose--------------------------")));
  EXPECT_TRUE(out.Has(Cyan("处理后点云数量：227")));
  EXPECT_TRUE(
    out.Has(
      Yellow(
        "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_1_")));
  EXPECT_TRUE(out.Has(Cyan("main_axis_type_:1")));
  EXPECT_TRUE(out.Has(Cyan("trash_type_:3")));
  EXPECT_TRUE(out.Has(Yellow("grab_tcp_.z() -= tcp_ajust_value_;")));
  EXPECT_FALSE(out.Has("GrabTCP Extended!"));
  EXPECT_TRUE(out.Has(Green("grab_pose_.position: -0.5  0  -0.16425")));
}

TEST(GrabPose, FloorRulesAndLowGrabPointClamps) {
  // On the floor the lowest point becomes -base_height: the bound -0.176 + 0.003 keeps
  // the bottom layer (-22 s = -0.171875), and the vertical grasp goes to -0.176. The
  // outlier removal takes the 88 points on the bar's twelve edges: 252 of 340 stay.
  {
    GrabPoseEstimator estimator(
      ConfigFile("floor").Set("debug_choice", "is_on_floor", "true").Write());
    auto cloud = LyingBottle();
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    EXPECT_EQ(cloud->size(), 252u);
    EXPECT_FLOAT_EQ(estimator.trash_lowest_z_, -0.176f);
    ExpectVector(estimator.grab_pose_.position, -0.5, 0.0, -0.176);
    EXPECT_TRUE(out.Has(Yellow("is_on_floor_ !  trash_lowest_z_: -0.176")));
  }
  // A flat piece 2 s high: the centre is 1.5 s = 0.0117 above the lowest point, so the
  // grab point drops to the lowest point exactly; height 0.0156 < 0.02 leaves it there.
  // Lying along x: long side (1, 0), no turn.
  {
    GrabPoseEstimator estimator(ConfigFile("flat").Write());
    auto cloud = BlockAround(-64 * s, 0.0f, -22 * s, 13, 5, 3);
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    ExpectVector(estimator.grab_pose_.position, -0.5, 0.0, -22 * s);
    ExpectQuaternion(estimator.grab_pose_.orientation, 0.0, 1.0, 0.0, 0.0);
    EXPECT_TRUE(out.Has(Yellow("grab_tcp_.z()-trash_lowest_z_ < 0.015!!!")));
    EXPECT_TRUE(out.Has(Yellow("grab_tcp_.z() = trash_lowest_z_!!!")));
    EXPECT_FALSE(out.Has("tcp_ajust_value_;"));
  }
  // A bar 26 s long (> 0.1), 6 s wide and 5 s high (> 0.03; 4 s after the bottom cut):
  // extended by 0.8 x its minor extent 4 s = 0.025 along the camera ray, 0.667 of it
  // downwards, from 3 s above the lowest point to below lowest + 0.008: clamped there,
  // then dropped to the lowest point.
  {
    GrabPoseEstimator estimator(ConfigFile("long_bar").Write());
    auto cloud = BlockAround(-64 * s, 0.0f, -22 * s, 27, 7, 6);
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    EXPECT_EQ(estimator.main_axis_type_, 1);
    EXPECT_FLOAT_EQ(estimator.extend_length_, 0.025f);
    const Eigen::Vector3d ray =
      (Eigen::Vector3d(-0.5, 0.0, -19 * s) - Eigen::Vector3d(0.0, 0.0, 0.3)).normalized();
    ExpectVector(estimator.grab_pose_.position, -0.5 + 0.025 * ray.x(), 0.0, -22 * s);
    EXPECT_TRUE(
      out.Has(
        Yellow("grab_tcp_.z() < (trash_lowest_z_ + 0.008)!!!") +
        Magenta("GrabTCP Extended!")));
    EXPECT_TRUE(
      out.Has(
        Yellow("grab_tcp_.z()-trash_lowest_z_ < 0.015!!!") +
        Yellow("grab_tcp_.z() = trash_lowest_z_!!!")));
  }
  // A lowering of 0.03 from 2 s above the lowest point would go below it: the grab
  // point stops at lowest + 0.005.
  {
    GrabPoseEstimator estimator(
      ConfigFile("deep").Set("grab_pose_estimate", "tcp_ajust_value", "0.03").Write());
    auto cloud = LyingBottle();
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    ExpectVector(estimator.grab_pose_.position, -0.5, 0.0, -22 * s + 0.005);
    EXPECT_TRUE(
      out.Has(
        Yellow("grab_tcp_.z() -= tcp_ajust_value_;") +
        Yellow("grab_tcp_.z() < (trash_lowest_z_ + 0.005)!!!") +
        Magenta("grab_tcp_.z() = (trash_lowest_z_ + 0.005)!!!")));
  }
}

TEST(GrabPose, UprightCanGetsSidewaysGraspFacingAwayFromBase) {
  // 3 x 5 x 8 lattice centred on (-52 s, 38 s); height 7 s in [0.05, 0.07): margin 0.003
  // removes the bottom layer, centre c = (-52 s, 38 s, -18 s). Extents 6 s (z), 4 s (y),
  // 2 s (x): class 2. Extension along the camera ray by 0.8 * 2 s = 0.0125, then
  // 0.008 further along the horizontal ray from the camera.
  GrabPoseEstimator estimator(ConfigFile("can").Write());
  auto cloud = BlockAround(-52 * s, 38 * s, -22 * s, 3, 5, 8);
  CoutCapture out;
  ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
  EXPECT_EQ(estimator.main_axis_type_, 2);
  EXPECT_NEAR(estimator.extend_length_, 0.0125, kTol);

  const Eigen::Vector3d camera(0.0, 0.0, 0.3);
  const Eigen::Vector3d centre(-52 * s, 38 * s, -18 * s);
  Eigen::Vector3d tcp = centre + 0.0125 * (centre - camera).normalized();
  const Eigen::Vector2d ray = tcp.head<2>().normalized();
  tcp.head<2>() += 0.008 * ray;
  ExpectVector(estimator.grab_pose_.position, tcp.x(), tcp.y(), tcp.z());

  // Tool z horizontal, pointing from the base origin towards the grab point.
  const Eigen::Vector3d tool_z = estimator.grab_pose_.orientation * Eigen::Vector3d::UnitZ();
  EXPECT_NEAR(tool_z.x(), ray.x(), kTol);
  EXPECT_NEAR(tool_z.y(), ray.y(), kTol);
  EXPECT_NEAR(tool_z.z(), 0.0, kTol);
  // q = (0,1,0,0)(0,0.7071,0,0.7071)(sin(phi/2),0,0,cos(phi/2)), phi = -atan2(y, -x)
  const double phi = -std::atan2(tcp.y(), -tcp.x());
  const Eigen::Quaterniond expected = Eigen::Quaterniond(-std::sqrt(0.5), 0, std::sqrt(0.5), 0) *
    Eigen::Quaterniond(std::cos(phi / 2), std::sin(phi / 2), 0, 0);
  ExpectQuaternion(
    estimator.grab_pose_.orientation, expected.x(), expected.y(), expected.z(),
    expected.w());

  ExpectVector(estimator.grab_mainaxis_, 0.0, 0.0, -1.0);
  ExpectVector(estimator.trash_dimensions_, 6 * s, 4 * s, 2 * s);
  const Eigen::Vector3d box_centre = BoxCentreInBase(estimator);
  EXPECT_NEAR((box_centre - centre).norm(), 0.0, kTol);
  EXPECT_TRUE(
    out.Has(
      Yellow(
        "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_3_")));
  EXPECT_TRUE(out.Has(Magenta("GrabTCP Extended!")));
  EXPECT_TRUE(out.Has(Magenta("grab_tcp_.x() += tcp_ajust_value_ * v_tcp.x() !")));
  EXPECT_TRUE(out.Has(Magenta("grab_tcp_.y() += tcp_ajust_value_ * v_tcp.y() !")));
}

TEST(GrabPose, AnExactlyVerticalAxisIsUprightNotThePreviousClass) {
  // A column whose principal axis comes out exactly vertical (|z| = 1.0) after a
  // lying bottle (class 1): class 2 and a sideways grasp, not the class carried
  // over from the call before (which would give it a top-down grasp).
  GrabPoseEstimator estimator(ConfigFile("vertical").Write());
  CoutCapture out;
  auto bottle = LyingBottle();
  ASSERT_EQ(estimator.GetInitialGrabPose(bottle), kGrabFound);
  ASSERT_EQ(estimator.main_axis_type_, 1);

  auto column = BlockAround(-64 * s, 0.0f, -22 * s, 3, 3, 8);
  ASSERT_EQ(estimator.GetInitialGrabPose(column), kGrabFound);
  ASSERT_EQ(std::abs(estimator.pca_eigen_vectors_.col(0).z()), 1.0f);
  EXPECT_EQ(estimator.main_axis_type_, 2);
  ExpectVector(estimator.grab_mainaxis_, 0.0, 0.0, -1.0);
  const Eigen::Vector3d tool_z = estimator.grab_pose_.orientation * Eigen::Vector3d::UnitZ();
  EXPECT_NEAR(tool_z.z(), 0.0, kTol);
}

TEST(GrabPose, ExtensionLengthFollowsTheMinorExtent) {
  // Minor extent 6 s = 0.047 >= 0.04: the extension is extend_length_max_ (0.012).
  // Bottom thresholds raised so that this 11 s high can is not bottom-cut at a slant.
  GrabPoseEstimator estimator(ConfigFile("wide_can")
    .Set("grab_pose_estimate", "remove_bottom_height_threshold_3", "0.2")
    .Write());
  auto cloud = BlockAround(-64 * s, 0.0f, -22 * s, 7, 9, 12);
  CoutCapture out;
  ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
  EXPECT_EQ(estimator.main_axis_type_, 2);
  EXPECT_FLOAT_EQ(estimator.extend_length_, 0.012f);
  // Layers 1..11 stay, less the 92 points on their twelve edges: centre z = -16 s.
  EXPECT_EQ(cloud->size(), 7u * 9u * 11u - 92u);
  const Eigen::Vector3d centre(-0.5, 0.0, -16 * s);
  const Eigen::Vector3d tcp = centre + 0.012 * (centre - Eigen::Vector3d(0, 0, 0.3)).normalized() +
    Eigen::Vector3d(-0.008, 0.0, 0.0);
  ExpectVector(estimator.grab_pose_.position, tcp.x(), tcp.y(), tcp.z());
}

// A bar of 17 x 5 points rising along `step` (x, z) towards the camera.
Cloud::Ptr SlantedBar(float step_x, float step_z)
{
  auto cloud = std::make_shared<Cloud>();
  for (int b = 0; b < 5; ++b) {
    for (int a = 0; a < 17; ++a) {
      cloud->push_back(pcl::PointXYZ(-77 * s + a * step_x, (b - 2) * s, -22 * s + a * step_z));
    }
  }
  return cloud;
}

TEST(GrabPose, SlantedObjectsGetClassesThreeAndFour) {
  // Axis (2, 0, 1)/sqrt5: |z| = 0.447 -> class 3, top-down grasp along the footprint's
  // long side (x): no turn.
  {
    GrabPoseEstimator estimator(ConfigFile("slant3").Write());
    auto cloud = SlantedBar(2 * s, s);
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    EXPECT_EQ(estimator.main_axis_type_, 3);
    ExpectQuaternion(estimator.grab_pose_.orientation, 0.0, 1.0, 0.0, 0.0);
    ExpectVector(estimator.grab_mainaxis_, 1.0, 0.0, 0.0);
    // Stored major axis turned so that its x is not negative.
    EXPECT_GE(estimator.pca_eigen_vectors_(0, 0), 0.0f);
    EXPECT_TRUE(out.Has(Yellow("trash_height_ > remove_bottom_height_threshold_3_")));
  }
  // Axis (1, 0, 2)/sqrt5: |z| = 0.894 -> class 4, sideways grasp towards the grab point.
  {
    GrabPoseEstimator estimator(ConfigFile("slant4").Write());
    auto cloud = SlantedBar(s, 2 * s);
    CoutCapture out;
    ASSERT_EQ(estimator.GetInitialGrabPose(cloud), kGrabFound);
    EXPECT_EQ(estimator.main_axis_type_, 4);
    EXPECT_LE(estimator.pca_eigen_vectors_(2, 0), 0.0f);  // turned to point down
    const Eigen::Vector3d tool_z = estimator.grab_pose_.orientation * Eigen::Vector3d::UnitZ();
    const Eigen::Vector3d towards =
      Eigen::Vector3d(estimator.grab_tcp_.x(), estimator.grab_tcp_.y(), 0).normalized();
    EXPECT_NEAR((tool_z - towards).norm(), 0.0, kTol);
    ExpectVector(estimator.grab_mainaxis_, 0.0, 0.0, -1.0);
  }
}

TEST(GrabPose, TransparentBottleGraspsInFrontOfItsNearestEdge) {
  // 5 x 17 x 4 lattice across the line of sight, centred on (-0.5, 0). Nearest point
  // N = (-0.5 + 2 s, 0); width across the sight line = 16 s = 0.125.
  // tcp = N + (0.125/2 + 0.008) * (-1, 0), z = (-21 s) + 1.8 * 0.125.
  GrabPoseEstimator estimator(ConfigFile("transparent").Write());
  estimator.main_axis_type_ = 3;  // from an earlier piece: kept
  auto cloud = BlockAround(-64 * s, 0.0f, -22 * s, 5, 17, 4);
  CoutCapture out;
  ASSERT_EQ(estimator.GetTransparentGrabPose(cloud), kGrabFound);
  EXPECT_EQ(estimator.main_axis_type_, 3);
  ExpectVector(estimator.grab_pose_.position, -0.5 + 2 * s - 0.0705, 0.0, -21 * s + 0.225);
  ExpectQuaternion(estimator.grab_pose_.orientation, 0.0, std::sqrt(0.5), 0.0, -std::sqrt(0.5));
  ExpectVector(estimator.trash_pose_.position, 0.0, 0.0, 0.0);
  ExpectQuaternion(estimator.trash_pose_.orientation, 0.0, 0.0, 0.0, 1.0);
  ExpectVector(estimator.trash_dimensions_, 0.45, 0.125, 0.125);
  EXPECT_TRUE(
    out.Has(
      Blue(
        "------------------------GetTransparentGrabPose--------------------------")));
  EXPECT_TRUE(out.Has(Cyan("trash_cloud_project_width:  0.125")));
  EXPECT_FALSE(out.Has("main_axis_type_:"));
}

TEST(GrabPose, WorkspaceLimits) {
  struct Case
  {
    float x, y;
    const char * message;
  };
  // Blob centres at z = 20 s = 0.15625, next to the reference height 0.1555.
  const Case cases[] = {
    {-32 * s, 0.0f, "垃圾位置太近了！！！"},       // 0.25 m: distance 0.2388 < 0.3
    {-115 * s, 0.0f, "垃圾位置太远了！！！"},      // 0.898 m: distance 0.887 > 0.8
    {-26 * s, -58 * s, "垃圾位置太靠左了！！！"},    // angle atan2(-0.453, 0.203) = -65.9
    {-26 * s, 58 * s, "垃圾位置太靠右了！！！"},     // +65.9 deg
  };
  GrabPoseEstimator estimator(ConfigFile("workspace").Write());
  for (const Case & c : cases) {
    SCOPED_TRACE(c.message);
    auto cloud = BlockAround(c.x, c.y, 19 * s, 7, 7, 2);
    CoutCapture out;
    EXPECT_EQ(estimator.GetInitialGrabPose(cloud), kGrabOutsideWorkspace);
    const double r = std::hypot(c.x, c.y);
    EXPECT_NEAR(estimator.grab_distance_, std::hypot(r - 0.01125, 20 * s - 0.1555), kTol);
    EXPECT_NEAR(estimator.grab_angle_, std::atan2(c.y, -c.x) * 180.0 / M_PI, 1e-4);
    EXPECT_TRUE(out.Has(Red(c.message)));
    // A transparent piece there is refused as well.
    EXPECT_EQ(
      estimator.GetTransparentGrabPose(BlockAround(c.x, c.y, 19 * s, 7, 7, 2)),
      kGrabOutsideWorkspace);
    EXPECT_FALSE(out.Has("grab_pose_.position"));
  }
}

TEST(GrabPose, DegenerateCloudsEndInAStatusCode) {
  GrabPoseEstimator estimator(
    ConfigFile("degenerate").Set("grab_pose_estimate", "min_trash_cloud_size", "0").Write());
  CoutCapture out;
  // Empty, missing and too small for PCA (even with a configured minimum of 0).
  EXPECT_EQ(estimator.GetInitialGrabPose(std::make_shared<Cloud>()), kGrabTooFewPoints);
  EXPECT_EQ(estimator.GetTransparentGrabPose(std::make_shared<Cloud>()), kGrabTooFewPoints);
  EXPECT_EQ(estimator.GetInitialGrabPose(nullptr), kGrabTooFewPoints);
  auto two = std::make_shared<Cloud>();
  two->push_back(pcl::PointXYZ(-0.5f, 0.0f, 0.0f));
  two->push_back(pcl::PointXYZ(-0.5f, 0.01f, 0.0f));
  EXPECT_EQ(estimator.GetInitialGrabPose(two), kGrabTooFewPoints);
  EXPECT_TRUE(out.Has(Red("处理后点云数量太少!!!")));

  // NaN and infinite points are dropped: the bottle's result is unchanged.
  auto dirty = LyingBottle();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  dirty->push_back(pcl::PointXYZ(nan, 0.0f, 0.0f));
  dirty->push_back(pcl::PointXYZ(-0.5f, inf, 0.0f));
  dirty->push_back(pcl::PointXYZ(-0.5f, 0.0f, -inf));
  dirty->is_dense = true;  // a wrong promise must not matter
  ASSERT_EQ(estimator.GetInitialGrabPose(dirty), kGrabFound);
  ExpectVector(estimator.grab_pose_.position, -0.5, 0.0, -0.16425);

  // Far too wide for 1 mm voxels: thinning is skipped. The bottom cut takes the far
  // points with the lowest layer, the outlier removal the 8 corners of the 5 x 5 x 2
  // rest: 42 points, centred in the workspace.
  auto wide = BlockAround(-64 * s, 0.0f, -22 * s, 5, 5, 3);
  wide->push_back(pcl::PointXYZ(-1000.0f, -1000.0f, -22 * s));
  wide->push_back(pcl::PointXYZ(1000.0f, 1000.0f, -22 * s));
  EXPECT_EQ(estimator.GetInitialGrabPose(wide), kGrabFound);
  EXPECT_EQ(wide->size(), 42u);
  ExpectVector(Eigen::Vector3f(estimator.pca_centroid_.head<3>()), -0.5, 0.0, -20.5 * s);
  EXPECT_TRUE(
    out.Has(
      Yellow(
        "voxel grid skipped: leaf size 0.001 is too small for the cloud extent")));
}

TEST(GrabPose, SmallCloudsWithDefaultOutlierNeighbours) {
  // 40 points, of which the bottom cut would leave 20 < 34: all 40 come back and the
  // outlier removal with mean K 50 may only use the 39 others as neighbours. Their
  // mean distance is largest at the 8 corners (0.02341 m, above mean + sigma 0.02210;
  // the next is 0.02069): 32 points stay, too few.
  GrabPoseEstimator estimator(ConfigFile("small").Write());
  auto cloud = BlockAround(-64 * s, 0.0f, -22 * s, 5, 4, 2);
  CoutCapture out;
  EXPECT_EQ(estimator.GetInitialGrabPose(cloud), kGrabTooFewPoints);
  EXPECT_EQ(cloud->size(), 32u);
  EXPECT_TRUE(out.Has(Cyan("处理后点云数量：32")));
}

}  // namespace
}  // namespace velmora::test
