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

#include "velmoraplus_trash_pose/core/fast_geometry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>

#include <Eigen/Eigenvalues>
#include <boost/sort/spreadsort/integer_sort.hpp>

namespace velmora::fast
{
namespace
{

bool IsFinite(const pcl::PointXYZ & p)
{
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

void CopyCloudMeta(const Cloud & in, Cloud & out)
{
  out.header = in.header;
  out.sensor_origin_ = in.sensor_origin_;
  out.sensor_orientation_ = in.sensor_orientation_;
}

// FLANN keeps at most this many neighbours in its sorted list; beyond it the
// result order (and so PCL's summation order) is that of its heap.
constexpr int kMaxSortedNeighbours = 250;

// Grid sizing: about this many cells per point, but no more than kMaxCellsPerPoint,
// and finer cells where the points crowd together (surfaces fill few cells).
constexpr double kCellsPerPoint = 1.0;
constexpr double kMaxCellsPerPoint = 8.0;
constexpr double kCrowdedCell = 8.0;

// A cell or shell is skipped only when its nearest possible point is farther than
// the current k-th distance by more than float rounding of a squared distance.
constexpr double kPruneMargin = 1.0 + 1e-6;
// Allowance for double rounding when points are binned into cells.
constexpr double kBinSlack = 1e-9;

double CellCount(const double extent[3], double size)
{
  double cells = 1.0;
  for (int axis = 0; axis < 3; ++axis) {
    cells *= std::floor(extent[axis] / size) + 1.0;
  }
  return cells;
}

// Smallest cell size whose grid has at most `limit` cells.
double CellSizeFor(const double extent[3], double limit)
{
  const double largest = std::max({extent[0], extent[1], extent[2]});
  if (!(largest > 0.0)) {return 1.0;}
  double too_small = largest * 1e-9;
  double fits = largest * 2.0;  // one cell per axis
  for (int i = 0; i < 64; ++i) {
    const double middle = std::sqrt(too_small * fits);
    (CellCount(extent, middle) <= limit ? fits : too_small) = middle;
  }
  return fits;
}

// Number of values not above `bound` (a loop compilers vectorise).
std::size_t CountAtMost(const float * values, std::size_t count, float bound)
{
  std::uint32_t at_most = 0;
  for (std::size_t i = 0; i < count; ++i) {
    at_most += values[i] <= bound ? 1u : 0u;
  }
  return at_most;
}

void InsertionSort(float * values, std::size_t count)
{
  for (std::size_t i = 1; i < count; ++i) {
    const float value = values[i];
    std::size_t j = i;
    for (; j > 0 && values[j - 1] > value; --j) {
      values[j] = values[j - 1];
    }
    values[j] = value;
  }
}

// Once this few values lie between the bounds of the k-th one, they are ordered.
constexpr std::size_t kBorderValues = 6;

// Writes the k smallest of `count` squared distances (all in [0, limit]) to
// `selected`, in no particular order, and returns the largest of them. `selected`
// and `border` hold `count` values each.
//
// Counting passes narrow a value interval (lo, hi] that holds the k-th value until
// few values lie in it; the values up to lo are all taken and only those inside
// are ordered. The guesses assume that the squared distances around a query spread
// about evenly, as they do for points on a surface; any spread gives the same
// result, only with a larger interval to order.
float SelectSmallest(
  const float * values, std::size_t count, std::size_t k, float limit,
  float * selected, float * border)
{
  float lo = -1.0f;  // below: values <= lo, fewer than k
  std::size_t below = 0;
  float hi = limit;  // upto: values <= hi, at least k
  std::size_t upto = count;
  for (int round = 0; round < 4 && upto - below > kBorderValues; ++round) {
    // Two guesses about one standard deviation of the count either side of the
    // k-th value's expected place.
    const float span = static_cast<float>(upto - below);
    const float wanted = static_cast<float>(k - below) - 0.5f;
    const float deviation = std::sqrt(wanted * (1.0f - wanted / span)) + 1.0f;
    const float base = std::max(0.0f, lo);
    const float step = (hi - base) / span;
    for (const float target : {wanted - deviation, wanted + deviation}) {
      const float guess = base + step * target;
      if (!(guess > lo && guess < hi)) {continue;}
      const std::size_t at_most = CountAtMost(values, count, guess);
      if (at_most < k) {
        lo = guess;
        below = at_most;
      } else {
        hi = guess;
        upto = at_most;
      }
    }
  }
  std::size_t taken = 0, inside = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const float value = values[i];
    selected[taken] = value;
    taken += value <= lo ? 1 : 0;
    border[inside] = value;
    inside += ((value > lo) & (value <= hi)) ? 1 : 0;
  }
  if (inside <= 4 * kBorderValues) {
    InsertionSort(border, inside);
  } else {
    std::sort(border, border + inside);
  }
  std::copy(border, border + (k - taken), selected + taken);
  return selected[k - 1];
}

// PCL's mean neighbour distance: the square roots of the k smallest squared
// distances but the first (the query itself, 0), summed in ascending order in
// double, divided by mean_k and stored as float. Summed here in any order with
// four accumulators; every order lies within the same error bound of the exact
// sum, so where the whole bound rounds to one float that float is PCL's. Only
// otherwise (rarely) are the values sorted and summed in PCL's order.
float MeanOfRoots(float * selected, std::size_t count, int mean_k)
{
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      partial[lane] += std::sqrt(static_cast<double>(selected[j + lane]));
    }
  }
  for (; j < count; ++j) {
    partial[0] += std::sqrt(static_cast<double>(selected[j]));
  }
  const double sum = (partial[0] + partial[1]) + (partial[2] + partial[3]);
  // Recursive summation of n positive terms: |error| <= gamma(n-1) * sum.
  constexpr double kUnit = 1.1102230246251565e-16;  // 2^-53
  const double terms = static_cast<double>(count);
  const double gamma = terms * kUnit / (1.0 - terms * kUnit);
  const double spread = 2.0 * gamma * sum * (1.0 + gamma) + 4.9406564584124654e-324;
  const float low = static_cast<float>((sum - spread) / mean_k);
  const float high = static_cast<float>((sum + spread) / mean_k);
  if (low == high) {return low;}
  std::sort(selected, selected + count);
  double dist_sum = 0.0;
  for (std::size_t i = 1; i < count; ++i) {
    dist_sum += std::sqrt(static_cast<double>(selected[i]));
  }
  return static_cast<float>(dist_sum / mean_k);
}

}  // namespace

// ====================================================================== voxel grid

void VoxelGridThinner::Filter(const Cloud & in, float leaf_size, Cloud & out)
{
  CopyCloudMeta(in, out);
  out.height = 1;
  out.is_dense = true;
  out.clear();
  if (in.empty()) {
    out.width = 0;
    return;
  }

  // pcl::getMinMax3D over the (finite) points.
  Eigen::Array4f min_p = Eigen::Array4f::Constant(std::numeric_limits<float>::max());
  Eigen::Array4f max_p = Eigen::Array4f::Constant(std::numeric_limits<float>::lowest());
  for (const auto & p : in.points) {
    if (!in.is_dense && !IsFinite(p)) {continue;}
    min_p = min_p.min(p.getArray4fMap());
    max_p = max_p.max(p.getArray4fMap());
  }

  const Eigen::Array4f inverse_leaf =
    Eigen::Array4f::Ones() / Eigen::Array4f(leaf_size, leaf_size, leaf_size, 1.0f);
  const std::int64_t dx = static_cast<std::int64_t>((max_p[0] - min_p[0]) * inverse_leaf[0]) + 1;
  const std::int64_t dy = static_cast<std::int64_t>((max_p[1] - min_p[1]) * inverse_leaf[1]) + 1;
  const std::int64_t dz = static_cast<std::int64_t>((max_p[2] - min_p[2]) * inverse_leaf[2]) + 1;
  if (dx * dy * dz > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max())) {
    out = in;  // what PCL does for an extent it cannot index
    return;
  }

  int min_b[3], div_b[3];
  for (int axis = 0; axis < 3; ++axis) {
    min_b[axis] = static_cast<int>(std::floor(min_p[axis] * inverse_leaf[axis]));
    const int max_b = static_cast<int>(std::floor(max_p[axis] * inverse_leaf[axis]));
    div_b[axis] = max_b - min_b[axis] + 1;
  }
  const int mul_y = div_b[0];
  const int mul_z = div_b[0] * div_b[1];

  index_vector_.clear();
  index_vector_.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const pcl::PointXYZ & p = in[i];
    if (!in.is_dense && !IsFinite(p)) {continue;}
    const int ijk0 =
      static_cast<int>(std::floor(p.x * inverse_leaf[0]) - static_cast<float>(min_b[0]));
    const int ijk1 =
      static_cast<int>(std::floor(p.y * inverse_leaf[1]) - static_cast<float>(min_b[1]));
    const int ijk2 =
      static_cast<int>(std::floor(p.z * inverse_leaf[2]) - static_cast<float>(min_b[2]));
    const int idx = ijk0 + ijk1 * mul_y + ijk2 * mul_z;
    index_vector_.push_back({static_cast<unsigned int>(idx), static_cast<unsigned int>(i)});
  }

  // The same (unstable) sort as PCL: the order of points inside a voxel decides
  // the rounding of its centroid.
  const auto right_shift = [](const IndexEntry & entry, const unsigned offset) {
      return entry.idx >> offset;
    };
  boost::sort::spreadsort::integer_sort(index_vector_.begin(), index_vector_.end(), right_shift);

  runs_.clear();
  for (std::size_t first = 0; first < index_vector_.size(); ) {
    std::size_t last = first + 1;
    while (last < index_vector_.size() && index_vector_[last].idx == index_vector_[first].idx) {
      ++last;
    }
    runs_.emplace_back(static_cast<unsigned int>(first), static_cast<unsigned int>(last));
    first = last;
  }

  out.resize(runs_.size());
  for (std::size_t v = 0; v < runs_.size(); ++v) {
    Eigen::Vector3f sum = Eigen::Vector3f::Zero();
    for (unsigned int li = runs_[v].first; li < runs_[v].second; ++li) {
      sum += in[index_vector_[li].cloud_point_index].getVector3fMap();
    }
    const std::size_t count = runs_[v].second - runs_[v].first;
    out[v].getVector3fMap() = sum / count;
  }
  out.width = static_cast<std::uint32_t>(out.size());
  out.height = 1;
}

// ====================================================================== outlier removal

void OutlierRemover::BuildGrid(const Cloud & in, int searcher_k)
{
  const std::size_t n = in.size();
  double lo[3] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max(),
    std::numeric_limits<double>::max()};
  double hi[3] = {std::numeric_limits<double>::lowest(), std::numeric_limits<double>::lowest(),
    std::numeric_limits<double>::lowest()};
  std::size_t finite = 0;
  for (const auto & p : in.points) {
    if (!IsFinite(p)) {continue;}
    ++finite;
    for (int axis = 0; axis < 3; ++axis) {
      lo[axis] = std::min(lo[axis], static_cast<double>(p.data[axis]));
      hi[axis] = std::max(hi[axis], static_cast<double>(p.data[axis]));
    }
  }
  double extent[3];
  for (int axis = 0; axis < 3; ++axis) {
    origin_[axis] = lo[axis];
    extent[axis] = hi[axis] - lo[axis];
  }

  const double points = static_cast<double>(finite);
  const double cap = kMaxCellsPerPoint * points + 4096.0;
  cell_size_ = CellSizeFor(extent, std::max(1.0, kCellsPerPoint * points));
  cell_of_.assign(n, 0);
  for (int attempt = 0;; ++attempt) {
    inverse_cell_ = 1.0 / cell_size_;
    for (int axis = 0; axis < 3; ++axis) {
      dims_[axis] = static_cast<int>(std::floor(extent[axis] * inverse_cell_)) + 1;
    }
    const std::size_t cells = static_cast<std::size_t>(dims_[0]) * dims_[1] * dims_[2];
    cell_start_.assign(cells + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const pcl::PointXYZ & p = in[i];
      if (!IsFinite(p)) {continue;}
      int c[3];
      for (int axis = 0; axis < 3; ++axis) {
        const double t = (static_cast<double>(p.data[axis]) - origin_[axis]) * inverse_cell_;
        c[axis] = std::min(std::max(static_cast<int>(t), 0), dims_[axis] - 1);
      }
      const std::uint32_t cell =
        static_cast<std::uint32_t>(c[0] + dims_[0] * (c[1] + dims_[1] * c[2]));
      cell_of_[i] = cell;
      ++cell_start_[cell + 1];
    }
    // Points-weighted mean occupancy: how many points a query meets per cell.
    double crowding = 0.0;
    for (std::size_t c = 1; c <= cells; ++c) {
      crowding += static_cast<double>(cell_start_[c]) * cell_start_[c];
    }
    crowding /= std::max(1.0, points);
    const double wanted = std::max(kCrowdedCell, searcher_k / 12.0);
    if (attempt >= 2 || crowding <= wanted || static_cast<double>(cells) >= cap) {break;}
    // Surfaces: points per cell grow with the square of the cell size.
    const double finer = cell_size_ * std::max(0.25, std::sqrt(wanted / crowding));
    cell_size_ = std::max(finer, CellSizeFor(extent, cap));
  }

  const std::size_t cells = cell_start_.size() - 1;
  for (std::size_t c = 0; c < cells; ++c) {
    cell_start_[c + 1] += cell_start_[c];
  }
  sorted_.resize(finite);
  // cell_start_[c] is used as a fill cursor and restored afterwards.
  for (std::size_t i = 0; i < n; ++i) {
    const pcl::PointXYZ & p = in[i];
    if (!IsFinite(p)) {continue;}
    sorted_[cell_start_[cell_of_[i]]++] = {p.x, p.y, p.z, static_cast<std::uint32_t>(i)};
  }
  for (std::size_t c = cells; c > 0; --c) {
    cell_start_[c] = cell_start_[c - 1];
  }
  cell_start_[0] = 0;
  xs_.resize(finite);
  ys_.resize(finite);
  zs_.resize(finite);
  for (std::size_t i = 0; i < finite; ++i) {
    xs_[i] = sorted_[i].x;
    ys_[i] = sorted_[i].y;
    zs_[i] = sorted_[i].z;
  }
}

void OutlierRemover::MeanDistances(
  std::size_t begin, std::size_t end, int mean_k,
  Workspace & work)
{
  const std::size_t k = static_cast<std::size_t>(mean_k) + 1;
  const double h = cell_size_;
  const std::size_t d0 = static_cast<std::size_t>(dims_[0]);
  const std::size_t d01 = d0 * static_cast<std::size_t>(dims_[1]);
  // Squared search radius. Queries run cell by cell; each cell starts from the
  // largest k-th distance of the cell before.
  double radius2 = 4.0 * h * h;

  std::size_t s = begin;
  while (s < end) {
    const std::uint32_t cell = cell_of_[sorted_[s].index];
    std::size_t batch_end = s;
    while (batch_end < end && cell_of_[sorted_[batch_end].index] == cell) {++batch_end;}
    const std::size_t c[3] =
    {cell % d0, (cell / d0) % static_cast<std::size_t>(dims_[1]), cell / d01};

    // Gathers every point that may lie within the radius of some point of the
    // cell; a neighbouring cell is left out only when it is farther from the
    // cell than the radius by more than rounding.
    float radius2_float = 0.0f;
    const auto gather = [&]() {
        const double radius = std::sqrt(radius2) * kPruneMargin + kBinSlack;
        const double prune2 = radius2 * kPruneMargin;
        radius2_float = static_cast<float>(radius2);
        if (static_cast<double>(radius2_float) > radius2) {
          radius2_float = std::nextafter(radius2_float, 0.0f); // float <= radius2 exactly
        }
        int first[3], last[3];
        for (int axis = 0; axis < 3; ++axis) {
          const double lo = origin_[axis] + static_cast<double>(c[axis]) * h;
          const double hi = lo + h;
          first[axis] =
            static_cast<int>(std::max(
              0.0, std::floor(
                (lo - radius - origin_[axis]) * inverse_cell_)));
          last[axis] = static_cast<int>(std::min(
              static_cast<double>(dims_[axis] - 1),
              std::floor((hi + radius - origin_[axis]) * inverse_cell_)));
          auto & gaps = work.gap2[axis];
          gaps.resize(static_cast<std::size_t>(std::max(0, last[axis] - first[axis] + 1)));
          for (int i = first[axis]; i <= last[axis]; ++i) {
            const double slab_lo = origin_[axis] + i * h;
            const double g = std::max({0.0, slab_lo - hi, lo - (slab_lo + h)}) - kBinSlack;
            gaps[static_cast<std::size_t>(i - first[axis])] = g > 0.0 ? g * g : 0.0;
          }
        }
        // Cells of one row are stored one after the other, and the cells of a row
        // within reach form one run: the points to scan are a few index ranges.
        work.ranges.clear();
        std::size_t total = 0;
        const auto & gx = work.gap2[0];
        for (int z = first[2]; z <= last[2]; ++z) {
          const double gz = work.gap2[2][static_cast<std::size_t>(z - first[2])];
          if (gz > prune2) {continue;}
          for (int y = first[1]; y <= last[1]; ++y) {
            const double gyz = gz + work.gap2[1][static_cast<std::size_t>(y - first[1])];
            if (gyz > prune2) {continue;}
            std::size_t x0 = 0, x1 = gx.size();
            while (x0 < x1 && gyz + gx[x0] > prune2) {++x0;}
            while (x1 > x0 && gyz + gx[x1 - 1] > prune2) {--x1;}
            if (x0 == x1) {continue;}
            const std::size_t row = d0 * static_cast<std::size_t>(y) + d01 *
              static_cast<std::size_t>(z) +
              static_cast<std::size_t>(first[0]);
            const std::uint32_t from = cell_start_[row + x0];
            const std::uint32_t to = cell_start_[row + x1];
            if (from == to) {continue;}
            work.ranges.emplace_back(from, to);
            total += to - from;
          }
        }
        work.candidates.resize(total + kNearDistancesSlack);
        work.distances.resize(total + 1);
        work.selected.resize(total + 1);
        work.border.resize(total + 1);
      };
    gather();

    const PointColumns columns{xs_.data(), ys_.data(), zs_.data()};
    double largest_kth = 0.0;
    for (; s < batch_end; ++s) {
      const GridPoint q = sorted_[s];
      std::size_t found = 0;
      const float query[3] = {q.x, q.y, q.z};
      for (;; ) {
        found = near_distances_(
          columns, work.ranges, query, radius2_float, work.distances.data(),
          work.candidates.data());
        if (found >= k) {break;}
        radius2 = radius2 > 0.0 ? radius2 * 2.0 : h * h;
        gather();
      }
      const float kth = SelectSmallest(
        work.candidates.data(), found, k, radius2_float,
        work.selected.data(), work.border.data());
      distances_[q.index] = MeanOfRoots(work.selected.data(), k, mean_k);
      largest_kth = std::max(largest_kth, static_cast<double>(kth));
    }
    radius2 = largest_kth * 1.1;
  }
}

bool OutlierRemover::Filter(const Cloud & in, int mean_k, double stddev_mul, Cloud & out)
{
  if (mean_k < 1 || mean_k + 1 > kMaxSortedNeighbours) {return false;}
  const int searcher_k = mean_k + 1;
  const std::size_t finite = static_cast<std::size_t>(
    std::count_if(in.begin(), in.end(), [](const pcl::PointXYZ & p) {return IsFinite(p);}));
  if (finite < static_cast<std::size_t>(searcher_k)) {return false;}

  BuildGrid(in, searcher_k);
  distances_.assign(in.size(), 0.0f);  // non-finite points keep 0, as in PCL

  const std::size_t count = sorted_.size();
  const std::size_t workers =
    std::max<std::size_t>(1, std::min<std::size_t>(threads_, count / 256 + 1));
  workspaces_.resize(workers);
  if (workers == 1) {
    MeanDistances(0, count, mean_k, workspaces_[0]);
  } else {
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    const std::size_t chunk = (count + workers - 1) / workers;
    for (std::size_t w = 1; w < workers; ++w) {
      const std::size_t begin = std::min(count, w * chunk);
      const std::size_t end = std::min(count, begin + chunk);
      pool.emplace_back(
        [this, begin, end, mean_k, w] {
          MeanDistances(begin, end, mean_k, workspaces_[w]);
        });
    }
    MeanDistances(0, std::min(count, chunk), mean_k, workspaces_[0]);
    for (auto & thread : pool) {
      thread.join();
    }
  }

  // PCL's statistics, operation for operation.
  const int valid_distances = static_cast<int>(finite);
  double sum = 0.0, sq_sum = 0.0;
  for (const float distance : distances_) {
    sum += distance;
    const float square = distance * distance;
    sq_sum += square;
  }
  const double mean = sum / static_cast<double>(valid_distances);
  const double variance = (sq_sum - sum * sum / static_cast<double>(valid_distances)) /
    (static_cast<double>(valid_distances) - 1);
  const double stddev = std::sqrt(variance);
  const double distance_threshold = mean + stddev_mul * stddev;

  kept_.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (static_cast<double>(distances_[i]) > distance_threshold) {continue;}
    kept_.push_back(static_cast<std::uint32_t>(i));
  }
  CopyCloudMeta(in, out);
  out.resize(kept_.size());
  for (std::size_t i = 0; i < kept_.size(); ++i) {
    out[i] = in[kept_[i]];
  }
  out.width = static_cast<std::uint32_t>(kept_.size());
  out.height = 1;
  out.is_dense = in.is_dense;
  return true;
}

// ====================================================================== boxes

MomentBoxes ComputeMomentBoxes(const Cloud & cloud)
{
  MomentBoxes boxes;
  const auto number_of_points = static_cast<unsigned int>(cloud.size());

  // Mass centre and axis-aligned box, as MomentOfInertiaEstimation::computeMeanValue.
  Eigen::Vector3f mean(0.0f, 0.0f, 0.0f);
  pcl::PointXYZ & aabb_min = boxes.aabb_min_point;
  pcl::PointXYZ & aabb_max = boxes.aabb_max_point;
  aabb_min.x = aabb_min.y = aabb_min.z = std::numeric_limits<float>::max();
  aabb_max.x = aabb_max.y = aabb_max.z = -std::numeric_limits<float>::max();
  for (const auto & p : cloud.points) {
    mean(0) += p.x;
    mean(1) += p.y;
    mean(2) += p.z;
    if (p.x <= aabb_min.x) {aabb_min.x = p.x;}
    if (p.y <= aabb_min.y) {aabb_min.y = p.y;}
    if (p.z <= aabb_min.z) {aabb_min.z = p.z;}
    if (p.x >= aabb_max.x) {aabb_max.x = p.x;}
    if (p.y >= aabb_max.y) {aabb_max.y = p.y;}
    if (p.z >= aabb_max.z) {aabb_max.z = p.z;}
  }
  const unsigned int divisor = number_of_points == 0 ? 1 : number_of_points;
  mean(0) /= divisor;
  mean(1) /= divisor;
  mean(2) /= divisor;
  boxes.mass_center = mean;

  // Covariance with the sample factor.
  Eigen::Matrix<float, 3, 3> covariance;
  covariance.setZero();
  const float factor =
    1.0f / static_cast<float>((number_of_points - 1 > 0) ? (number_of_points - 1) : 1);
  for (const auto & p : cloud.points) {
    Eigen::Vector3f current_point(0.0f, 0.0f, 0.0f);
    current_point(0) = p.x - mean(0);
    current_point(1) = p.y - mean(1);
    current_point(2) = p.z - mean(2);
    covariance += current_point * current_point.transpose();
  }
  covariance *= factor;

  // Axes from the general eigen solver, ordered by eigenvalue, made right-handed
  // by turning the major axis.
  Eigen::EigenSolver<Eigen::Matrix<float, 3, 3>> solver;
  solver.compute(covariance);
  const Eigen::EigenSolver<Eigen::Matrix<float, 3, 3>>::EigenvectorsType vectors =
    solver.eigenvectors();
  const Eigen::EigenSolver<Eigen::Matrix<float, 3,
    3>>::EigenvalueType values = solver.eigenvalues();
  unsigned int major_index = 0, middle_index = 1, minor_index = 2;
  if (values.real()(major_index) < values.real()(middle_index)) {
    std::swap(major_index, middle_index);
  }
  if (values.real()(major_index) < values.real()(minor_index)) {
    std::swap(major_index, minor_index);
  }
  if (values.real()(middle_index) < values.real()(minor_index)) {
    std::swap(minor_index, middle_index);
  }
  Eigen::Vector3f major = vectors.col(major_index).real();
  Eigen::Vector3f middle = vectors.col(middle_index).real();
  Eigen::Vector3f minor = vectors.col(minor_index).real();
  major.normalize();
  middle.normalize();
  minor.normalize();
  const float det = major.dot(middle.cross(minor));
  if (det <= 0.0f) {
    major(0) = -major(0);
    major(1) = -major(1);
    major(2) = -major(2);
  }

  // Oriented box. PCL starts the maxima at the smallest positive float; kept, so
  // the corners are PCL's in every case.
  pcl::PointXYZ & obb_min = boxes.obb_min_point;
  pcl::PointXYZ & obb_max = boxes.obb_max_point;
  obb_min.x = obb_min.y = obb_min.z = std::numeric_limits<float>::max();
  obb_max.x = obb_max.y = obb_max.z = std::numeric_limits<float>::min();
  for (const auto & p : cloud.points) {
    const float x = (p.x - mean(0)) * major(0) + (p.y - mean(1)) * major(1) + (p.z - mean(2)) *
      major(2);
    const float y = (p.x - mean(0)) * middle(0) + (p.y - mean(1)) * middle(1) + (p.z - mean(2)) *
      middle(2);
    const float z = (p.x - mean(0)) * minor(0) + (p.y - mean(1)) * minor(1) + (p.z - mean(2)) *
      minor(2);
    if (x <= obb_min.x) {obb_min.x = x;}
    if (y <= obb_min.y) {obb_min.y = y;}
    if (z <= obb_min.z) {obb_min.z = z;}
    if (x >= obb_max.x) {obb_max.x = x;}
    if (y >= obb_max.y) {obb_max.y = y;}
    if (z >= obb_max.z) {obb_max.z = z;}
  }
  Eigen::Matrix3f rotation;
  rotation << major(0), middle(0), minor(0),  //
    major(1), middle(1), minor(1),            //
    major(2), middle(2), minor(2);
  const Eigen::Vector3f shift((obb_max.x + obb_min.x) / 2.0f, (obb_max.y + obb_min.y) / 2.0f,
    (obb_max.z + obb_min.z) / 2.0f);
  obb_min.x -= shift(0);
  obb_min.y -= shift(1);
  obb_min.z -= shift(2);
  obb_max.x -= shift(0);
  obb_max.y -= shift(1);
  obb_max.z -= shift(2);
  boxes.obb_rotation = rotation;
  boxes.obb_position = mean + rotation * shift;
  return boxes;
}

}  // namespace velmora::fast
