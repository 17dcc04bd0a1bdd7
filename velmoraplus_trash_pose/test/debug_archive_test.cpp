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

// Names of the debug archive (never two writers on one file) and the quoting
// that keeps the tools' YAML readable for any text.
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <yaml-cpp/yaml.h>

#include "estimator_fixture.hpp"
#include "velmoraplus_trash_pose/core/debug_archive.hpp"
#include "velmoraplus_trash_pose/core/yaml_quote.hpp"

namespace velmora::test
{
namespace
{

TEST(DebugArchive, ASecondFileOfTheSameSecondGetsTheNextNumberAndNothingIsOverwritten) {
  const std::string stem = ScratchDir("archive_names") + "/bottlep1_a";
  const std::string t = "2024-05-01-10-11-12";
  std::ofstream(stem + t + "[initial].jpg") << "earlier pass";

  ArchiveFile second = ClaimArchiveFile(stem, t, "[initial].jpg");
  EXPECT_EQ(second.path, stem + t + "_2[initial].jpg");
  EXPECT_EQ(second.stamp, t + "_2");
  EXPECT_EQ(ClaimArchiveFile(stem, t, "[initial].jpg").stamp, t + "_3");
  // Another tail of the same second still gets the plain name.
  EXPECT_EQ(ClaimArchiveFile(stem, t, "[depth].png").path, stem + t + "[depth].png");

  // Writing an image never touches the earlier file; the stamp used comes back.
  std::string used;
  ASSERT_TRUE(
    SaveArchiveImage(
      stem, t, "[initial].jpg", cv::Mat(4, 4, CV_8UC3, cv::Scalar(1, 2, 3)),
      &used));
  EXPECT_EQ(used, t + "_4");
  EXPECT_EQ(ReadFile(stem + t + "[initial].jpg"), "earlier pass");
  // A failed write leaves no empty file behind; an unwritable place gives up at once.
  EXPECT_FALSE(SaveArchiveImage(stem, t, "[x].unknown_extension", cv::Mat(4, 4, CV_8UC1)));
  std::ifstream missing(stem + t + "[x].unknown_extension");
  EXPECT_FALSE(missing.good());
  EXPECT_TRUE(ClaimArchiveFile("/proc/velmora_no/", t, ".jpg").path.empty());
}

TEST(DebugArchive, CamerasSharingAStemInParallelNeverGetTheSameName) {
  // Two cameras with the same trash code write in the same second from their
  // own executor threads.
  const std::string stem = ScratchDir("archive_race") + "/bottlep1_a";
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::vector<std::string>> claimed(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
      [&stem, &claimed, i] {
        for (int k = 0; k < kEach; ++k) {
          claimed[i].push_back(ClaimArchiveFile(stem, "2024-05-01-10-11-12", "[initial].jpg").path);
        }
      });
  }
  for (auto & thread : threads) {
    thread.join();
  }
  std::set<std::string> names;
  for (const auto & list : claimed) {
    for (const auto & path : list) {
      EXPECT_FALSE(path.empty());
      names.insert(path);
    }
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(names.count(stem + "2024-05-01-10-11-12[initial].jpg"), 1u);
  EXPECT_EQ(names.count(stem + "2024-05-01-10-11-12_200[initial].jpg"), 1u);
}

TEST(YamlQuote, AnyTextReadsBackAsItself) {
  const std::vector<std::string> texts = {
    "plain.png",
    "/data/run 1: kitchen/color.png",
    "/data/a #1/depth.png",
    "say \"cheese\" and 'hello'.png",
    "back\\slash\\",
    "图像/深度 图.png",
    "line\nbreak\ttab\rreturn",
    std::string("nul\0byte", 8),
    "- [a, b]: {c}",
    "",
    "null",
    "~",
    "true",
    "1e3",
    "\xC2\x85 next line and \xE2\x80\xA8 separator",
    "\x7F delete \x01 control",
  };
  for (const std::string & text : texts) {
    SCOPED_TRACE(text);
    const YAML::Node node = YAML::Load("key: " + YamlQuoted(text) + "\n");
    EXPECT_EQ(node["key"].as<std::string>(), text);
    // Inside a flow sequence too.
    const YAML::Node list = YAML::Load("[" + YamlQuoted(text) + ", " + YamlQuoted(text) + "]");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].as<std::string>(), text);
  }
  // A byte that is not UTF-8 stays readable YAML (it reads back as U+00NN).
  const YAML::Node odd = YAML::Load("key: " + YamlQuoted("caf\xE9.png") + "\n");
  EXPECT_EQ(odd["key"].as<std::string>(), "caf\xC3\xA9.png");
}

}  // namespace
}  // namespace velmora::test
