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

#include "velmoraplus_trash_pose/core/near_distances.hpp"

#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMORA_SHUFFLE_X86 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define VELMORA_SHUFFLE_NEON 1
#endif

namespace velmora::fast
{
namespace
{

// For each 4-bit mask of kept lanes: the byte order that moves the kept lanes to
// the front in their order (0x80: a zero byte on both instruction sets), and
// their number.
struct CompressTable
{
  alignas(16) std::uint8_t order[16][16];
  std::uint8_t kept[16];
};

constexpr CompressTable MakeCompressTable()
{
  CompressTable table{};
  for (int mask = 0; mask < 16; ++mask) {
    int slot = 0;
    for (int lane = 0; lane < 4; ++lane) {
      if ((mask & (1 << lane)) == 0) {continue;}
      for (int byte = 0; byte < 4; ++byte) {
        table.order[mask][4 * slot + byte] = static_cast<std::uint8_t>(4 * lane + byte);
      }
      ++slot;
    }
    for (int i = 4 * slot; i < 16; ++i) {
      table.order[mask][i] = 0x80;
    }
    table.kept[mask] = static_cast<std::uint8_t>(slot);
  }
  return table;
}

[[maybe_unused]] constexpr CompressTable kCompress = MakeCompressTable();

// FLANN's squared distance as Debian's PCL runs it: `result += diff * diff` over
// x, y, z from 0. Its AArch64 build fuses each step after the first into a
// multiply-add (GCC contracts by default there); its x86-64 build has no FMA to
// fuse into. This file is built without contraction (CMakeLists.txt), so the
// rounding is the one written here, and the vector code below does the same.
inline float SquaredDistance(
  float x, float y, float z, const float * xs, const float * ys,
  const float * zs, std::uint32_t j)
{
  const float ex = x - xs[j];
  const float ey = y - ys[j];
  const float ez = z - zs[j];
#if defined(__aarch64__)
  return std::fma(ez, ez, std::fma(ey, ey, ex * ex));
#else
  float dist = ex * ex;
  dist += ey * ey;
  dist += ez * ez;
  return dist;
#endif
}

// The points [j, last) one by one: what is left of a range after whole vectors.
inline std::size_t KeepWithinOneByOne(
  float x, float y, float z, const float * xs, const float * ys,
  const float * zs, std::uint32_t j, std::uint32_t last,
  float bound, float * out, std::size_t kept)
{
  for (; j < last; ++j) {
    const float dist = SquaredDistance(x, y, z, xs, ys, zs, j);
    out[kept] = dist;
    kept += dist <= bound ? 1 : 0;
  }
  return kept;
}

#if defined(VELMORA_SHUFFLE_X86)
__attribute__((target("ssse3"))) std::size_t NearDistancesSsse3(
  const PointColumns & points, const std::vector<IndexRange> & ranges, const float query[3],
  float bound, float * /*scratch*/, float * out)
{
  const __m128 qx = _mm_set1_ps(query[0]);
  const __m128 qy = _mm_set1_ps(query[1]);
  const __m128 qz = _mm_set1_ps(query[2]);
  const __m128 limit = _mm_set1_ps(bound);
  // Locals: the stores through `out` could otherwise alias the struct.
  const float * const xs = points.x;
  const float * const ys = points.y;
  const float * const zs = points.z;
  const float x = query[0], y = query[1], z = query[2];
  std::size_t kept = 0;
  for (const auto & [first, last] : ranges) {
    std::uint32_t j = first;
    for (; j + 4 <= last; j += 4) {
      const __m128 ex = _mm_sub_ps(qx, _mm_loadu_ps(xs + j));
      const __m128 ey = _mm_sub_ps(qy, _mm_loadu_ps(ys + j));
      const __m128 ez = _mm_sub_ps(qz, _mm_loadu_ps(zs + j));
      __m128 dist = _mm_mul_ps(ex, ex);
      dist = _mm_add_ps(dist, _mm_mul_ps(ey, ey));
      dist = _mm_add_ps(dist, _mm_mul_ps(ez, ez));
      const int mask = _mm_movemask_ps(_mm_cmple_ps(dist, limit));
      const __m128i order =
        _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.order[mask]));
      _mm_storeu_si128(
        reinterpret_cast<__m128i *>(out + kept),
        _mm_shuffle_epi8(_mm_castps_si128(dist), order));
      kept += kCompress.kept[mask];
    }
    kept = KeepWithinOneByOne(x, y, z, xs, ys, zs, j, last, bound, out, kept);
  }
  return kept;
}
#endif

#if defined(VELMORA_SHUFFLE_NEON)
std::size_t NearDistancesNeon(
  const PointColumns & points, const std::vector<IndexRange> & ranges,
  const float query[3], float bound, float * /*scratch*/, float * out)
{
  const float32x4_t qx = vdupq_n_f32(query[0]);
  const float32x4_t qy = vdupq_n_f32(query[1]);
  const float32x4_t qz = vdupq_n_f32(query[2]);
  const float32x4_t limit = vdupq_n_f32(bound);
  const uint32x4_t lane_bits = {1, 2, 4, 8};
  const float * const xs = points.x;
  const float * const ys = points.y;
  const float * const zs = points.z;
  const float x = query[0], y = query[1], z = query[2];
  std::size_t kept = 0;
  for (const auto & [first, last] : ranges) {
    std::uint32_t j = first;
    for (; j + 4 <= last; j += 4) {
      const float32x4_t ex = qx - vld1q_f32(xs + j);
      const float32x4_t ey = qy - vld1q_f32(ys + j);
      const float32x4_t ez = qz - vld1q_f32(zs + j);
      float32x4_t dist = ex * ex;
      dist = vfmaq_f32(dist, ey, ey);
      dist = vfmaq_f32(dist, ez, ez);
      const unsigned mask = vaddvq_u32(vandq_u32(vcleq_f32(dist, limit), lane_bits));
      const uint8x16_t moved = vqtbl1q_u8(
        vreinterpretq_u8_f32(dist), vld1q_u8(
          kCompress.order[mask]));
      vst1q_u8(reinterpret_cast<std::uint8_t *>(out + kept), moved);
      kept += kCompress.kept[mask];
    }
    kept = KeepWithinOneByOne(x, y, z, xs, ys, zs, j, last, bound, out, kept);
  }
  return kept;
}
#endif

}  // namespace

std::size_t NearDistancesPortable(
  const PointColumns & points, const std::vector<IndexRange> & ranges,
  const float query[3], float bound, float * scratch, float * out)
{
  // Distances first (a loop that vectorises), then the kept ones moved to the front
  // without branches.
  const float * const xs = points.x;
  const float * const ys = points.y;
  const float * const zs = points.z;
  const float x = query[0], y = query[1], z = query[2];
  float * all = scratch;
  for (const auto & [first, last] : ranges) {
    for (std::uint32_t j = first; j < last; ++j) {
      all[j - first] = SquaredDistance(x, y, z, xs, ys, zs, j);
    }
    all += last - first;
  }
  const std::size_t count = static_cast<std::size_t>(all - scratch);
  std::size_t kept = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const float dist = scratch[j];
    out[kept] = dist;
    kept += dist <= bound ? 1 : 0;
  }
  return kept;
}

NearDistancesFn NearDistancesShuffled()
{
#if defined(VELMORA_SHUFFLE_X86)
  return __builtin_cpu_supports("ssse3") ? &NearDistancesSsse3 : nullptr;
#elif defined(VELMORA_SHUFFLE_NEON)
  return &NearDistancesNeon;
#else
  return nullptr;
#endif
}

NearDistancesFn NearDistancesBest()
{
  static const NearDistancesFn best = [] {
      const NearDistancesFn shuffled = NearDistancesShuffled();
      return shuffled != nullptr ? shuffled : &NearDistancesPortable;
    }();
  return best;
}

}  // namespace velmora::fast
