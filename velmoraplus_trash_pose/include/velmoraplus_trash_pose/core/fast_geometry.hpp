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

// Faster equivalents of the PCL steps of the grab routine that give the same
// answers: the same kept points in the same order, the same floats.
//
// Each class owns its buffers so an estimator that keeps one reuses them from call
// to call. None of them is thread-safe; one estimator runs one pass at a time.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <Eigen/Core>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "velmoraplus_trash_pose/core/near_distances.hpp"

namespace velmora::fast
{

using Cloud = pcl::PointCloud<pcl::PointXYZ>;

// pcl::VoxelGrid<PointXYZ> with the same leaf on all axes, default options: one
// centroid per occupied voxel, voxels in PCL's index order, and within a voxel the
// points summed in the order PCL's sort leaves them, so the centroids match bit
// for bit.
class VoxelGridThinner
{
public:
  // `out` must not be `in`. An extent PCL cannot index copies `in`, as PCL does.
  void Filter(const Cloud & in, float leaf_size, Cloud & out);

  struct IndexEntry    // layout and ordering as PCL's cloud_point_index_idx
  {
    unsigned int idx;
    unsigned int cloud_point_index;
    bool operator<(const IndexEntry & other) const {return idx < other.idx;}
  };

private:
  std::vector<IndexEntry> index_vector_;
  std::vector<std::pair<unsigned int, unsigned int>> runs_;
};

// pcl::StatisticalOutlierRemoval<PointXYZ> (not negated, unorganised input) with an
// exact k-nearest-neighbour search on a uniform grid instead of a kd-tree. The mean
// distance of every point is the mean of the square roots of the same float
// squared distances FLANN computes, summed in the same (ascending) order, so the
// threshold and every keep/remove decision are PCL's.
class OutlierRemover
{
public:
  // Neighbour queries run on `threads` threads (1: on the calling thread only).
  explicit OutlierRemover(int threads = 1)
  : threads_(threads < 1 ? 1 : threads) {}

  void set_threads(int threads) {threads_ = threads < 1 ? 1 : threads;}
  int threads() const {return threads_;}

  // The distance loop; the fastest for this CPU unless set (tests compare them).
  void set_near_distances(NearDistancesFn near_distances) {near_distances_ = near_distances;}

  // False, with `out` untouched, where this search cannot promise PCL's answer:
  // mean_k < 1, more neighbours than FLANN keeps in its sorted list (mean_k + 1 >
  // 250), or fewer finite points than mean_k + 1. `out` must not be `in`.
  bool Filter(const Cloud & in, int mean_k, double stddev_mul, Cloud & out);

  // Mean neighbour distance per input point of the last successful Filter call.
  const std::vector<float> & mean_distances() const {return distances_;}

  struct GridPoint
  {
    float x, y, z;
    std::uint32_t index;  // position in the input cloud
  };

private:
  // Buffers of one thread of neighbour queries.
  struct Workspace
  {
    std::vector<IndexRange> ranges;   // of sorted_ near the cell
    std::vector<float> distances;     // scratch for the distance loop
    std::vector<float> candidates;    // squared distances within the radius
    std::vector<float> selected;      // the nearest of them
    std::vector<float> border;        // those near the k-th distance
    std::vector<double> gap2[3];
  };

  void BuildGrid(const Cloud & in, int searcher_k);
  void MeanDistances(std::size_t begin, std::size_t end, int mean_k, Workspace & work);

  int threads_;
  NearDistancesFn near_distances_ = NearDistancesBest();
  std::vector<float> distances_;
  std::vector<GridPoint> sorted_;       // finite points grouped by cell
  std::vector<float> xs_, ys_, zs_;     // their coordinates, for vectorised scans
  std::vector<std::uint32_t> cell_start_;  // cells + 1 offsets into sorted_
  std::vector<std::uint32_t> cell_of_;  // cell of each input point (finite ones)
  std::vector<std::uint32_t> kept_;
  std::vector<Workspace> workspaces_;
  double origin_[3] = {0.0, 0.0, 0.0};
  double cell_size_ = 1.0;
  double inverse_cell_ = 1.0;
  int dims_[3] = {1, 1, 1};
};

// What pcl::MomentOfInertiaEstimation<PointXYZ> (default settings) reports as
// oriented and axis-aligned boxes, computed with its own float arithmetic but
// without the moment-of-inertia and eccentricity sweeps.
struct MomentBoxes
{
  pcl::PointXYZ obb_min_point, obb_max_point;
  Eigen::Vector3f obb_position = Eigen::Vector3f::Zero();
  Eigen::Matrix3f obb_rotation = Eigen::Matrix3f::Identity();
  pcl::PointXYZ aabb_min_point, aabb_max_point;
  Eigen::Vector3f mass_center = Eigen::Vector3f::Zero();
};
MomentBoxes ComputeMomentBoxes(const Cloud & cloud);

}  // namespace velmora::fast
