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

// The inner loop of the neighbour search: squared distances from one query to the
// points near it, keeping those within a bound. Free of PCL so it can be checked
// alone on every target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace velmora::fast
{

using IndexRange = std::pair<std::uint32_t, std::uint32_t>;  // [first, last)

struct PointColumns
{
  const float * x;
  const float * y;
  const float * z;
};

// Writes to `out`, in point order, the squared distances from `query` to the points
// of `ranges` that are not above `bound`, and returns how many. Each distance is
// FLANN's L2_Simple: ((0 + dx^2) + dy^2) + dz^2 in float. `scratch` must hold the
// ranges' total size, `out` that plus kNearDistancesSlack (vector stores may write
// past the last kept value).
using NearDistancesFn = std::size_t (*)(
  const PointColumns & points,
  const std::vector<IndexRange> & ranges,
  const float query[3], float bound, float * scratch,
  float * out);

constexpr std::size_t kNearDistancesSlack = 4;

// Plain C++ (the loops vectorise where the compiler can): any CPU.
std::size_t NearDistancesPortable(
  const PointColumns & points, const std::vector<IndexRange> & ranges,
  const float query[3], float bound, float * scratch, float * out);

// A version that keeps the distances with vector shuffles, where this CPU has them
// (x86-64 with SSSE3, AArch64); nullptr elsewhere. Same results as the portable one.
NearDistancesFn NearDistancesShuffled();

// The fastest of the two on this CPU.
NearDistancesFn NearDistancesBest();

}  // namespace velmora::fast
