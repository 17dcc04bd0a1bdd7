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

// The faster filters and boxes against plain PCL, the reference: same kept points
// (bit for bit, in the same order), same boxes, and the whole grab routine with the
// same status, results and console lines. Clouds: lattices (many equal distances),
// random and noisy ones, far outliers, duplicates, and real depth frames.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
// GCC 12 at -O1 with the sanitizers warns about std::function inside <regex>'s
// own code (a known false positive); our uses of it are plain.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <pcl/common/transforms.h>
#include <pcl/features/moment_of_inertia_estimation.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/search/kdtree.h>

#include "estimator_fixture.hpp"
#include "velmoraplus_trash_pose/core/fast_geometry.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"

namespace velmora::test
{
namespace
{

struct NamedCloud
{
  std::string name;
  Cloud cloud;
};

std::string SharedDataDir()
{
  if (const char * env = std::getenv("VELMORA_SHARED_DATA"); env != nullptr && *env != '\0') {
    return env;
  }
  return VELMORA_SHARED_DATA_DIR;
}

// Points on three faces of a 0.10 x 0.06 x 0.04 m box with 1 mm noise, as the
// benchmark uses.
Cloud NoisyBox(std::size_t count, unsigned seed)
{
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.001f);
  const float x0 = -0.5f, y0 = -0.03f, z0 = -0.176f;
  Cloud cloud;
  for (std::size_t i = 0; i < count; ++i) {
    const float a = unit(random), b = unit(random);
    pcl::PointXYZ p;
    if (i % 3 == 0) {
      p = {x0 + a * 0.10f, y0 + b * 0.06f, z0 + 0.04f};
    } else if (i % 3 == 1) {
      p = {x0 + 0.10f, y0 + a * 0.06f, z0 + b * 0.04f};
    } else {
      p = {x0 + a * 0.10f, y0, z0 + b * 0.04f};
    }
    cloud.push_back({p.x + noise(random), p.y + noise(random), p.z + noise(random)});
  }
  return cloud;
}

Cloud UniformCube(std::size_t count, float size, unsigned seed)
{
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(-size / 2, size / 2);
  Cloud cloud;
  for (std::size_t i = 0; i < count; ++i) {
    cloud.push_back({unit(random), unit(random), unit(random)});
  }
  return cloud;
}

// Camera-frame clouds cut from the real frames by image boxes.
std::vector<NamedCloud> RealFrameClouds()
{
  struct Frame
  {
    const char * depth;
    CameraIntrinsics intrinsics;
  };
  const Frame frames[] = {
    {"pcl_kinect_floor/milk_cartoon_all_small_clorox_depth.png", {525.0f, 525.0f, 319.5f, 239.5f}},
    {"pcl_kinect_floor/frame_20121214T142255.814212_depth.png", {525.0f, 525.0f, 320.0f, 240.0f}},
    {"posecnn_ycb_video/depth_mm/000001-depth.png", {1066.778f, 1067.487f, 312.9869f, 241.3109f}},
    {"tum_rgbd_open3d_sample/depth_mm/TUM_depth.png", {525.0f, 525.0f, 319.5f, 239.5f}},
  };
  const cv::Rect_<float> boxes[] = {{250, 170, 140, 140}, {60, 260, 200, 160}, {400, 80, 90, 300}};
  std::vector<NamedCloud> clouds;
  for (const Frame & frame : frames) {
    const cv::Mat depth = cv::imread(SharedDataDir() + "/" + frame.depth, cv::IMREAD_UNCHANGED);
    if (depth.empty() || depth.type() != CV_16UC1) {
      std::cout << "real frame " << SharedDataDir() << "/" << frame.depth
                << " not found: compared on the other clouds only\n";
      continue;
    }
    DepthImageView view;
    view.data = depth.data;
    view.width = static_cast<std::uint32_t>(depth.cols);
    view.height = static_cast<std::uint32_t>(depth.rows);
    view.step = static_cast<std::uint32_t>(depth.step);
    view.size = depth.step * depth.rows;
    const cv::Mat mask(depth.size(), CV_8UC1, cv::Scalar(255));
    for (const auto & box : boxes) {
      NamedCloud named{std::string(frame.depth) + " box x " + std::to_string(int(box.x)), {}};
      BackProjectMask(view, mask, box, frame.intrinsics, named.cloud);
      clouds.push_back(std::move(named));
    }
  }
  return clouds;
}

std::vector<NamedCloud> TestClouds()
{
  std::vector<NamedCloud> clouds;
  clouds.push_back({"lattice", *Block(Eigen::Vector3f(-0.5f, 0.0f, -0.17f), 20, 14, 9)});
  clouds.push_back({"noisy box 3000", NoisyBox(3000, 1)});
  clouds.push_back({"noisy box 20000", NoisyBox(20000, 2)});
  clouds.push_back({"uniform cube", UniformCube(4000, 0.05f, 3)});
  {
    // A dense blob with a few points far away: a grid over the whole extent is sparse.
    Cloud cloud = NoisyBox(2000, 4);
    for (int i = 0; i < 5; ++i) {
      cloud.push_back({-0.5f + i * 0.3f, 1.0f, 2.0f - i});
    }
    clouds.push_back({"far outliers", cloud});
  }
  {
    // Every point twice: zero distances beyond the point itself.
    Cloud cloud = UniformCube(600, 0.02f, 5);
    const Cloud copy = cloud;
    cloud += copy;
    clouds.push_back({"duplicates", cloud});
  }
  {
    Cloud cloud;  // flat: no extent in z
    for (int i = 0; i < 900; ++i) {
      cloud.push_back({0.3f + (i % 30) * 0.0013f, (i / 30) * 0.0011f, 0.0f});
    }
    clouds.push_back({"plane", cloud});
  }
  for (auto & named : RealFrameClouds()) {
    clouds.push_back(std::move(named));
  }
  return clouds;
}

bool SameXyz(const Cloud & a, const Cloud & b, std::string & why)
{
  if (a.size() != b.size()) {
    why = "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(a[i].data, b[i].data, 3 * sizeof(float)) != 0) {
      why = "point " + std::to_string(i);
      return false;
    }
  }
  return a.width == b.width && a.height == b.height && a.is_dense == b.is_dense;
}

Cloud PclVoxel(const Cloud & in, float leaf)
{
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setLeafSize(leaf, leaf, leaf);
  grid.setInputCloud(in.makeShared());
  Cloud out;
  grid.filter(out);
  return out;
}

Cloud PclOutliers(const Cloud & in, int mean_k)
{
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setInputCloud(in.makeShared());
  sor.setMeanK(mean_k);
  sor.setStddevMulThresh(1.0);
  Cloud out;
  sor.filter(out);
  return out;
}

// Every point's mean neighbour distance as StatisticalOutlierRemoval computes it:
// the k + 1 nearest from its kd-tree, the first skipped, square roots summed in
// double in the order found. Non-finite points keep 0.
std::vector<float> PclMeanDistances(const Cloud & in, int mean_k)
{
  pcl::search::KdTree<pcl::PointXYZ> tree(false);
  tree.setInputCloud(in.makeShared());
  std::vector<float> distances(in.size(), 0.0f);
  pcl::Indices indices;
  std::vector<float> squared;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (!pcl::isFinite(in[i])) {continue;}
    tree.nearestKSearch(in[i], mean_k + 1, indices, squared);
    double sum = 0.0;
    for (int j = 1; j < mean_k + 1; ++j) {
      sum += std::sqrt(static_cast<double>(squared[static_cast<std::size_t>(j)]));  // as PCL's build
    }
    distances[i] = static_cast<float>(sum / mean_k);
  }
  return distances;
}

TEST(FastGeometry, VoxelGridKeepsPclsCentroidsAndOrder) {
  fast::VoxelGridThinner thinner;
  for (const auto & [name, cloud] : TestClouds()) {
    for (const float leaf : {0.001f, kStep, 0.003f}) {
      SCOPED_TRACE(name + ", leaf " + std::to_string(leaf));
      Cloud fast;
      thinner.Filter(cloud, leaf, fast);
      std::string why;
      EXPECT_TRUE(SameXyz(PclVoxel(cloud, leaf), fast, why)) << why;
    }
  }
  // NaN points are skipped where the cloud says it may hold them.
  Cloud holes = NoisyBox(500, 6);
  holes[7].x = std::numeric_limits<float>::quiet_NaN();
  holes[300].z = std::numeric_limits<float>::infinity();
  holes.is_dense = false;
  Cloud fast;
  thinner.Filter(holes, 0.002f, fast);
  std::string why;
  EXPECT_TRUE(SameXyz(PclVoxel(holes, 0.002f), fast, why)) << why;
}

TEST(FastGeometry, OutlierRemovalKeepsExactlyPclsPoints) {
  fast::OutlierRemover remover;
  for (const auto & [name, raw] : TestClouds()) {
    // The estimator removes outliers from the thinned cloud; the raw one also
    // reaches it when the bottom cut leaves too few points.
    Cloud thinned;
    fast::VoxelGridThinner().Filter(raw, 0.001f, thinned);
    for (const Cloud * cloud : {static_cast<const Cloud *>(&thinned), &raw}) {
      for (const int mean_k : {3, 50}) {
        if (static_cast<int>(cloud->size()) <= mean_k) {continue;}
        const Cloud reference = PclOutliers(*cloud, mean_k);
        const std::vector<float> reference_distances = PclMeanDistances(*cloud, mean_k);
        // This CPU's distance loop on one and three threads, the portable one on one.
        for (const int run : {1, 3, 0}) {
          const int threads = std::max(run, 1);
          SCOPED_TRACE(
            name + (cloud == &raw ? " raw" : " thinned") + ", k " +
            std::to_string(mean_k) + ", threads " + std::to_string(threads) +
            (run == 0 ? ", portable distance loop" : ""));
          remover.set_threads(threads);
          remover.set_near_distances(
            run == 0 ? &fast::NearDistancesPortable : fast::NearDistancesBest());
          Cloud fast;
          ASSERT_TRUE(remover.Filter(*cloud, mean_k, 1.0, fast));
          std::string why;
          EXPECT_TRUE(SameXyz(reference, fast, why)) << why;
          // Every mean distance, not only the decisions they lead to.
          const std::vector<float> & distances = remover.mean_distances();
          ASSERT_EQ(distances.size(), reference_distances.size());
          std::size_t differing = 0;
          for (std::size_t i = 0; i < distances.size(); ++i) {
            differing += std::memcmp(&distances[i], &reference_distances[i], sizeof(float)) != 0;
          }
          EXPECT_EQ(differing, 0u);
        }
      }
    }
  }
}

TEST(FastGeometry, OutlierRemovalDeclinesWhatItCannotMatch) {
  fast::OutlierRemover remover;
  const Cloud cloud = UniformCube(300, 0.05f, 7);
  Cloud out;
  out.push_back({1.0f, 2.0f, 3.0f});
  EXPECT_FALSE(remover.Filter(cloud, 0, 1.0, out));
  EXPECT_FALSE(remover.Filter(cloud, 250, 1.0, out));   // FLANN's unsorted heap beyond 250
  EXPECT_FALSE(remover.Filter(cloud, 300, 1.0, out));   // fewer points than neighbours + 1
  EXPECT_EQ(out.size(), 1u);
  EXPECT_TRUE(remover.Filter(cloud, 249, 1.0, out));
  // Hand check on a line 0, 1, 2, 3, 10 (k = 1): mean distances 1, 1, 1, 1, 7;
  // mean 2.2, sample deviation 2.683, threshold 4.883: only 10 goes.
  Cloud line;
  for (const float x : {0.0f, 1.0f, 2.0f, 3.0f, 10.0f}) {
    line.push_back({x, 0.0f, 0.0f});
  }
  ASSERT_TRUE(remover.Filter(line, 1, 1.0, out));
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[3].x, 3.0f);
  EXPECT_EQ(remover.mean_distances()[4], 7.0f);
}

TEST(FastGeometry, BoxesEqualMomentOfInertiaEstimation) {
  for (const auto & [name, raw] : TestClouds()) {
    SCOPED_TRACE(name);
    if (raw.size() < 3) {continue;}
    pcl::MomentOfInertiaEstimation<pcl::PointXYZ> estimation;
    estimation.setInputCloud(raw.makeShared());
    estimation.compute();
    pcl::PointXYZ min_point, max_point, position, aabb_min, aabb_max;
    Eigen::Matrix3f rotation;
    estimation.getOBB(min_point, max_point, position, rotation);
    estimation.getAABB(aabb_min, aabb_max);

    const fast::MomentBoxes boxes = fast::ComputeMomentBoxes(raw);
    EXPECT_EQ(boxes.obb_rotation, rotation);
    EXPECT_EQ(boxes.obb_position, position.getVector3fMap());
    EXPECT_EQ(boxes.obb_min_point.getVector3fMap(), min_point.getVector3fMap());
    EXPECT_EQ(boxes.obb_max_point.getVector3fMap(), max_point.getVector3fMap());
    EXPECT_EQ(boxes.aabb_min_point.getVector3fMap(), aabb_min.getVector3fMap());
    EXPECT_EQ(boxes.aabb_max_point.getVector3fMap(), aabb_max.getVector3fMap());
  }
}

// ---------------------------------------------------------------- whole routine

std::string WithoutTimings(const std::string & text)
{
  static const std::regex timing(" cost [0-9.e+-]+ ms");
  return std::regex_replace(text, timing, " cost <t> ms");
}

// Every step of the faster path promises PCL's floats (same kept points, same
// boxes, the same PCA on them), so every result is compared exactly.
void ExpectSameResults(const GrabPoseEstimator & fast, const GrabPoseEstimator & plain)
{
  EXPECT_EQ(fast.main_axis_type_, plain.main_axis_type_);
  EXPECT_EQ(fast.pass_limit_, plain.pass_limit_);
  EXPECT_EQ(fast.trash_lowest_z_, plain.trash_lowest_z_);
  EXPECT_EQ(fast.trash_height_, plain.trash_height_);
  EXPECT_EQ(fast.processed_trash_lowest_z_, plain.processed_trash_lowest_z_);
  EXPECT_EQ(fast.processed_trash_height_, plain.processed_trash_height_);
  EXPECT_EQ(fast.pca_eigen_vectors_, plain.pca_eigen_vectors_) << "PCA axes";
  EXPECT_EQ(fast.pca_centroid_, plain.pca_centroid_) << "PCA centre";
  EXPECT_EQ(fast.pca_extents_, plain.pca_extents_) << "PCA extents";
  EXPECT_EQ(fast.obb_rotation_, plain.obb_rotation_) << "OBB rotation";
  EXPECT_EQ(fast.obb_position_, plain.obb_position_) << "OBB position";
  EXPECT_EQ(fast.obb_min_point_.getVector3fMap(), plain.obb_min_point_.getVector3fMap());
  EXPECT_EQ(fast.obb_max_point_.getVector3fMap(), plain.obb_max_point_.getVector3fMap());
  EXPECT_EQ(fast.aabb_center_, plain.aabb_center_) << "AABB centre";
  EXPECT_EQ(fast.grab_tcp_, plain.grab_tcp_) << "grab point";
  EXPECT_EQ(fast.grab_pose_.position, plain.grab_pose_.position) << "grab position";
  EXPECT_EQ(fast.grab_pose_.orientation.coeffs(), plain.grab_pose_.orientation.coeffs());
  EXPECT_EQ(fast.trash_pose_.position, plain.trash_pose_.position) << "box position";
  EXPECT_EQ(fast.trash_pose_.orientation.coeffs(), plain.trash_pose_.orientation.coeffs());
  EXPECT_EQ(fast.trash_dimensions_, plain.trash_dimensions_) << "dimensions";
}

TEST(FastGeometry, GrabRoutinesGiveThePlainPclAnswers) {
  setenv("VELMORAPLUS_DATA_DIR", ScratchDir("fast_vs_plain_data").c_str(), 1);
  const std::string path = std::string(VELMORA_CONFIG_DIR) + "/cam1_pose_estimate_config.yaml";
  const std::vector<NamedCloud> real_frames = RealFrameClouds();  // says which are missing
  CoutCapture construction;
  GrabPoseEstimator fast(path);
  GrabPoseEstimator plain(path);
  plain.use_plain_pcl_ = true;
  fast.neighbour_threads_ = 2;

  std::vector<NamedCloud> clouds;
  for (const auto & named : real_frames) {
    // Camera frame to base frame, as the node does.
    Cloud base;
    fast.TransformCloud(named.cloud, base, fast.base2camera_);
    clouds.push_back({named.name, base});
  }
  clouds.push_back({"noisy box", NoisyBox(12000, 8)});
  clouds.push_back({"lattice", *Block(Eigen::Vector3f(-0.45f, 0.02f, -0.17f), 24, 8, 6)});
  {
    Cloud few = NoisyBox(30, 9);  // too few points after processing
    clouds.push_back({"few", few});
  }

  int found = 0;
  for (const auto & [name, cloud] : clouds) {
    for (const bool transparent : {false, true}) {
      SCOPED_TRACE(name + (transparent ? ", transparent" : ""));
      auto fast_cloud = cloud.makeShared();
      auto plain_cloud = cloud.makeShared();
      std::string fast_text, plain_text;
      int fast_status = 0, plain_status = 0;
      {
        CoutCapture out;
        fast_status = transparent ? fast.GetTransparentGrabPose(fast_cloud) :
          fast.GetInitialGrabPose(fast_cloud);
        fast_text = out.str();
      }
      {
        CoutCapture out;
        plain_status = transparent ? plain.GetTransparentGrabPose(plain_cloud) :
          plain.GetInitialGrabPose(plain_cloud);
        plain_text = out.str();
      }
      EXPECT_EQ(fast_status, plain_status);
      std::string why;
      EXPECT_TRUE(SameXyz(*plain_cloud, *fast_cloud, why)) << why;
      EXPECT_EQ(WithoutTimings(fast_text), WithoutTimings(plain_text));
      if (plain_status == kGrabFound) {
        ++found;
        ExpectSameResults(fast, plain);
      }
    }
  }
  EXPECT_GT(found, 0);
}

}  // namespace
}  // namespace velmora::test
