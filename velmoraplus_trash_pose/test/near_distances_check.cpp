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

// The neighbour search's distance loop: the vector version of this CPU against the
// portable one and against a plain reference, value for value. Needs nothing but
// the loop's own source. Exit status 0 when they agree.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "velmoraplus_trash_pose/core/near_distances.hpp"

namespace
{

using velmora::fast::IndexRange;
using velmora::fast::NearDistancesFn;
using velmora::fast::PointColumns;

std::vector<float> Reference(
  const std::vector<float> & xs, const std::vector<float> & ys,
  const std::vector<float> & zs, const std::vector<IndexRange> & ranges,
  const float q[3], float bound)
{
  std::vector<float> kept;
  for (const auto & [first, last] : ranges) {
    for (std::uint32_t j = first; j < last; ++j) {
      // FLANN's L2_Simple loop as written, with this compiler's default contraction
      // (as Debian builds FLANN and PCL): fused multiply-adds on AArch64, none on x86-64.
      const float diff[3] = {q[0] - xs[j], q[1] - ys[j], q[2] - zs[j]};
      float dist = 0.0f;
      for (const float d : diff) {
        dist += d * d;
      }
      if (dist <= bound) {kept.push_back(dist);}
    }
  }
  return kept;
}

bool Same(const std::vector<float> & expected, const std::vector<float> & out, std::size_t count)
{
  return count == expected.size() &&
         (count == 0 || std::memcmp(expected.data(), out.data(), count * sizeof(float)) == 0);
}

}  // namespace

int main()
{
  // Points of a 2 cm cube with 0.1 mm steps, some repeated exactly.
  std::mt19937 random(11);
  std::uniform_int_distribution<int> step(0, 200);
  std::vector<float> xs, ys, zs;
  for (int i = 0; i < 1200; ++i) {
    if (i % 17 == 5) {
      xs.push_back(xs.back());
      ys.push_back(ys.back());
      zs.push_back(zs.back());
      continue;
    }
    xs.push_back(0.4f + step(random) * 1e-4f);
    ys.push_back(-0.1f + step(random) * 1e-4f);
    zs.push_back(-0.17f + step(random) * 1e-4f);
  }
  // Ranges of every length from empty to past two vector widths, and a long one.
  std::vector<IndexRange> ranges;
  std::uint32_t at = 0;
  for (std::uint32_t length = 0; length <= 13; ++length) {
    ranges.emplace_back(at, at + length);
    at += length + 3;
  }
  ranges.emplace_back(at, static_cast<std::uint32_t>(xs.size()));
  std::size_t total = 0;
  for (const auto & [first, last] : ranges) {
    total += last - first;
  }

  const PointColumns columns{xs.data(), ys.data(), zs.data()};
  const NearDistancesFn shuffled = velmora::fast::NearDistancesShuffled();
  std::vector<float> scratch(total), portable_out(total + velmora::fast::kNearDistancesSlack),
  shuffled_out(total + velmora::fast::kNearDistancesSlack);
  int failures = 0;
  std::size_t checks = 0;
  for (std::size_t query_index = 0; query_index < xs.size(); query_index += 37) {
    const float q[3] = {xs[query_index], ys[query_index], zs[query_index]};
    // Bounds keeping nothing, only the query and its copies, some, everything, and
    // exactly one of the distances (kept: the bound is inclusive).
    const std::vector<float> all = Reference(xs, ys, zs, ranges, q, INFINITY);
    for (const float bound : {-1.0f, 0.0f, 4e-6f, 3e-5f, all[all.size() / 3], 1.0f}) {
      const std::vector<float> expected = Reference(xs, ys, zs, ranges, q, bound);
      ++checks;
      const std::size_t portable =
        velmora::fast::NearDistancesPortable(
        columns, ranges, q, bound,
        scratch.data(), portable_out.data());
      if (!Same(expected, portable_out, portable)) {
        std::printf(
          "portable loop differs: query %zu, bound %.9g: %zu kept, %zu expected\n",
          query_index, bound, portable, expected.size());
        ++failures;
      }
      if (shuffled == nullptr) {continue;}
      const std::size_t vector = shuffled(
        columns, ranges, q, bound,
        scratch.data(), shuffled_out.data());
      if (!Same(expected, shuffled_out, vector)) {
        std::printf(
          "vector loop differs: query %zu, bound %.9g: %zu kept, %zu expected\n",
          query_index, bound, vector, expected.size());
        ++failures;
      }
    }
  }
  // By hand: from the origin to (1, 2, 3) is 14, kept at 14 and not just below.
  {
    const float x[] = {1.0f}, y[] = {2.0f}, z[] = {3.0f};
    const PointColumns one{x, y, z};
    const std::vector<IndexRange> single{{0, 1}};
    const float origin[3] = {0.0f, 0.0f, 0.0f};
    float scratch_one[1], out[1 + velmora::fast::kNearDistancesSlack];
    const NearDistancesFn best = velmora::fast::NearDistancesBest();
    if (best(one, single, origin, 14.0f, scratch_one, out) != 1 || out[0] != 14.0f ||
      best(one, single, origin, std::nextafter(14.0f, 0.0f), scratch_one, out) != 0)
    {
      std::printf("distance 14 from the origin to (1, 2, 3) not kept exactly at its bound\n");
      ++failures;
    }
  }
  std::printf(
    "near distances: %zu queries and bounds, %s: %s\n", checks,
    shuffled != nullptr ? "portable and vector loops" : "portable loop only (no vector loop here)",
    failures == 0 ? "all agree" : "DIFFERENCES");
  return failures == 0 ? 0 : 1;
}
