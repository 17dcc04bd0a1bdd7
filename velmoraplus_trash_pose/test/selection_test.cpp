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

// The selection rules at their boundaries, without a node: which detections are
// trash, which sit at the image edge, which masks erode, which pieces lie on a
// bench or low enough on the floor, which look transparent.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "velmoraplus_trash_pose/core/selection.hpp"

namespace
{

using velmora::BoxInfo;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Selection, LabelsAndTrashTypes)
{
  for (int label = -1; label <= 16; ++label) {
    const bool trash = label == 0 || label == 1 || label == 4;
    EXPECT_EQ(velmora::IsTrashLabel(label), trash) << "label " << label;
  }
  EXPECT_EQ(velmora::TrashTypeOfLabel(0), 1);
  EXPECT_EQ(velmora::TrashTypeOfLabel(1), 2);
  EXPECT_EQ(velmora::TrashTypeOfLabel(4), 3);
  EXPECT_EQ(velmora::TrashTypeOfLabel(2), 4);
  EXPECT_EQ(velmora::TrashTypeOfLabel(-1), 4);

  EXPECT_TRUE(velmora::IsBaseOrBench(9));
  EXPECT_TRUE(velmora::IsBaseOrBench(11));
  EXPECT_FALSE(velmora::IsBaseOrBench(10));
  EXPECT_FALSE(velmora::IsBaseOrBench(12));
}

TEST(Selection, EdgeOfA640PixelImageWithA5PixelThreshold)
{
  const auto at_edge = [](float x, float y, float w, float h) {
      return velmora::IsAtImageEdge({x, y, w, h}, 640, 5);
    };
  EXPECT_FALSE(at_edge(5.0F, 5.0F, 50, 50));        // on the threshold
  EXPECT_TRUE(at_edge(4.9F, 100, 50, 50));          // truncated to 4
  EXPECT_TRUE(at_edge(100, 4.0F, 50, 50));
  EXPECT_FALSE(at_edge(535.0F, 100, 100.9F, 50));   // 535 + 100 = 635 = 640 - 5
  EXPECT_FALSE(at_edge(535.9F, 100, 100.9F, 50));
  EXPECT_TRUE(at_edge(536.0F, 100, 100, 50));       // 636
  EXPECT_FALSE(at_edge(100, 470, 50, 500));         // past the bottom: no edge there
  // Saturated corners of boxes far outside any image neither overflow nor pass.
  EXPECT_TRUE(at_edge(3e9F, 100, 3e9F, 50));
  EXPECT_TRUE(at_edge(-3e9F, 100, 50, 50));
  EXPECT_TRUE(at_edge(kNaN, 100, 50, 50));          // NaN corner: 0
  EXPECT_TRUE(velmora::IsAtImageEdge({100, 100, 50, 50}, 640, INT_MAX));
}

TEST(Selection, MasksErodeOnlyMoreThanTenPixelsFromLeftAndTop)
{
  EXPECT_FALSE(velmora::ErodesMask({10.0F, 20.0F, 30, 30}));
  EXPECT_FALSE(velmora::ErodesMask({20.0F, 10.0F, 30, 30}));
  EXPECT_TRUE(velmora::ErodesMask({10.5F, 11.0F, 30, 30}));
  EXPECT_FALSE(velmora::ErodesMask({kNaN, 20.0F, 30, 30}));
}

TEST(Selection, BoxesAndCoverage)
{
  const BoxInfo box = velmora::MakeBoxInfo({-0.5F, 10.9F, 20.6F, 5.2F}, 3, 0.75F);
  EXPECT_EQ(box.x1, 0);    // toward zero
  EXPECT_EQ(box.y1, 10);
  EXPECT_EQ(box.x2, 20);   // -0.5 + 20.6 = 20.1
  EXPECT_EQ(box.y2, 16);
  EXPECT_EQ(box.class_id, 4);
  EXPECT_FLOAT_EQ(box.score, 0.75F);

  // Corners included: a 100 x 100 px trash box, a bench over its left 50 or 51 columns.
  const BoxInfo paper = velmora::MakeBoxInfo({100, 100, 99, 99}, 0, 1.0F);
  const BoxInfo half = velmora::MakeBoxInfo({100, 100, 49, 99}, 10, 1.0F);
  const BoxInfo more = velmora::MakeBoxInfo({100, 100, 50, 99}, 10, 1.0F);
  EXPECT_FLOAT_EQ(velmora::BoxCoverage(paper, half), 0.5F);
  EXPECT_FLOAT_EQ(velmora::BoxCoverage(paper, more), 0.51F);
  EXPECT_FALSE(velmora::LiesOn(paper, half, 0.5F));
  EXPECT_TRUE(velmora::LiesOn(paper, more, 0.5F));
  // Not symmetric: the share of the trash box, not of the bench's.
  EXPECT_FLOAT_EQ(velmora::BoxCoverage(half, paper), 1.0F);
  const BoxInfo apart = velmora::MakeBoxInfo({300, 300, 10, 10}, 10, 1.0F);
  EXPECT_EQ(velmora::BoxCoverage(paper, apart), 0.0F);
  EXPECT_FALSE(velmora::LiesOn(paper, apart, 0.0F));
  // An empty trash box covers nothing; saturated corners do not overflow.
  BoxInfo empty;
  empty.x1 = 10;
  empty.x2 = 8;
  EXPECT_EQ(velmora::BoxCoverage(empty, paper), 0.0F);
  BoxInfo huge;
  huge.x1 = INT_MIN;
  huge.y1 = INT_MIN;
  huge.x2 = INT_MAX;
  huge.y2 = INT_MAX;
  EXPECT_FLOAT_EQ(velmora::BoxCoverage(paper, huge), 1.0F);
  EXPECT_GT(velmora::BoxCoverage(huge, paper), 0.0F);
}

TEST(Selection, HeightLimitOnTheFloor)
{
  // Paper 0.25 m high plus 0 m tolerance; lowest point at -0.5 m, base 0.75 m up.
  const float limit = velmora::HeightThreshold(0.25F, 0.0F);
  EXPECT_FLOAT_EQ(limit, 0.25F);
  EXPECT_FLOAT_EQ(velmora::HeightThreshold(0.25F, 0.05F), 0.3F);
  const float at = velmora::HeightAboveFloor(-0.5F, 0.75F);
  EXPECT_EQ(at, 0.25F);
  EXPECT_FALSE(velmora::IsLowEnough(at, limit));     // at the limit: refused
  EXPECT_TRUE(velmora::IsLowEnough(velmora::HeightAboveFloor(-0.5F - 1.0F / 1024, 0.75F), limit));
  EXPECT_FALSE(velmora::IsLowEnough(0.3F, limit));
  EXPECT_TRUE(velmora::IsLowEnough(-1.0F, limit));   // below the floor plane: still grabbed
}

TEST(Selection, TransparencyNeedsManyHolesInATallBox)
{
  // 100 mask pixels, 30 without depth: exactly the 0.3 threshold is not transparent.
  const cv::Rect_<float> tall{100, 100, 20, 30};   // 1.5
  const cv::Rect_<float> square{100, 100, 20, 20};
  EXPECT_FALSE(velmora::CheckTransparency(100, 30, tall, 0.3F, 1.2F).transparent);
  const auto holes = velmora::CheckTransparency(100, 31, tall, 0.3F, 1.2F);
  EXPECT_TRUE(holes.transparent);
  EXPECT_FLOAT_EQ(holes.null_ratio, 0.31F);
  EXPECT_FLOAT_EQ(holes.hw_ratio, 1.5F);
  EXPECT_FALSE(velmora::CheckTransparency(100, 90, square, 0.3F, 1.2F).transparent);
  EXPECT_FALSE(velmora::CheckTransparency(100, 90, {100, 100, 20, 24}, 0.3F, 1.2F).transparent);
  // No mask pixel at all: the ratio is NaN and nothing is called transparent.
  const auto none = velmora::CheckTransparency(0, 0, tall, 0.3F, 1.2F);
  EXPECT_TRUE(std::isnan(none.null_ratio));
  EXPECT_FALSE(none.transparent);
}

}  // namespace
