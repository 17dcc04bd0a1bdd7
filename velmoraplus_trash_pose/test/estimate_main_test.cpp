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

// The replay executable end to end: PLY clouds in, YAML results out.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pcl/io/ply_io.h>
#include <yaml-cpp/yaml.h>

#include "estimator_fixture.hpp"
#include "velmoraplus_trash_pose/core/debug_archive.hpp"

namespace velmora::test
{
namespace
{

int RunCommand(const std::string & arguments, const std::string & stderr_path)
{
  const std::string command =
    "'" VELMORA_ESTIMATE_EXE "' " + arguments + " >/dev/null 2>'" + stderr_path + "'";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(EstimateExecutable, ReplaysCloudsInOrderAndWritesYaml) {
  ConfigFile file("estimate");
  const std::string config = file.Write();
  // A flat piece along x centred on (-0.5, 0) (grab point on its lowest layer), then
  // the same piece too near the arm.
  const std::string near_ply = file.dir() + "/near.ply", flat_ply = file.dir() + "/flat.ply";
  Cloud::Ptr flat = Block(Eigen::Vector3f(-0.5f - 6 * kStep, -2 * kStep, -22 * kStep), 13, 5, 3);
  Cloud::Ptr near = Block(Eigen::Vector3f(-0.2f - 6 * kStep, -2 * kStep, 19 * kStep), 13, 5, 3);
  ASSERT_EQ(pcl::io::savePLYFileBinary(flat_ply, *flat), 0);
  ASSERT_EQ(pcl::io::savePLYFileBinary(near_ply, *near), 0);

  const std::string out = file.dir() + "/results.yaml", err = file.dir() + "/stderr.txt";
  ASSERT_EQ(
    RunCommand(
      "'" + config + "' '" + flat_ply + "' '" + near_ply +
      "' --trash-type 2 --out '" + out + "'",
      err),
    0)
    << ReadFile(err);
  const YAML::Node results = YAML::LoadFile(out)["results"];
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]["cloud"].as<std::string>(), flat_ply);
  EXPECT_EQ(results[0]["status"].as<int>(), 1);
  const YAML::Node position = results[0]["grab_pose"]["position"];
  EXPECT_NEAR(position[0].as<double>(), -0.5, 1e-5);
  EXPECT_NEAR(position[1].as<double>(), 0.0, 1e-5);
  EXPECT_NEAR(position[2].as<double>(), -22 * kStep, 1e-5);
  const YAML::Node orientation = results[0]["grab_pose"]["orientation"];  // x, y, z, w
  EXPECT_NEAR(orientation[1].as<double>(), 1.0, 1e-5);
  EXPECT_NEAR(orientation[3].as<double>(), 0.0, 1e-5);
  EXPECT_EQ(results[0]["main_axis_type"].as<int>(), 1);
  EXPECT_NEAR(results[0]["trash_dimensions"][0].as<double>(), 12 * kStep, 1e-5);
  EXPECT_NEAR(results[0]["trash_lowest_z"].as<double>(), -22 * kStep, 1e-6);
  EXPECT_EQ(results[1]["status"].as<int>(), 41);
  EXPECT_LT(results[1]["grab_distance"].as<double>(), 0.3);

  // Standard output: the estimator's lines, "---", then the same YAML.
  const std::string stdout_path = file.dir() + "/stdout.txt";
  ASSERT_EQ(
    std::system(
      ("'" VELMORA_ESTIMATE_EXE "' '" + config + "' '" + flat_ply + "' >'" +
      stdout_path + "' 2>/dev/null")
      .c_str()),
    0);
  const std::string text = ReadFile(stdout_path);
  const auto separator = text.find("\n---\n");
  ASSERT_NE(separator, std::string::npos);
  EXPECT_NE(text.find("GetInitialGrabPose"), std::string::npos);
  EXPECT_EQ(YAML::Load(text.substr(separator + 5))["results"][0]["status"].as<int>(), 1);
}

TEST(EstimateExecutable, BadArgumentsGiveOneErrorLine) {
  ConfigFile file("estimate_errors");
  const std::string config = file.Write();
  const std::string err = file.dir() + "/stderr.txt";
  const std::string missing_ply = file.dir() + "/missing.ply";
  const std::string cases[] = {
    "'" + config + "'",                                    // no cloud
    "'" + config + "' '" + missing_ply + "'",              // unreadable cloud
    "'" + config + "' '" + missing_ply + "' --trash-type x",
    "'" + file.dir() + "/none.yaml' '" + missing_ply + "' --bogus",
  };
  for (const std::string & arguments : cases) {
    SCOPED_TRACE(arguments);
    EXPECT_EQ(RunCommand(arguments, err), 1);
    const std::string message = ReadFile(err);
    EXPECT_EQ(message.rfind("error: ", 0), 0u) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  }
  // A configuration error names the file.
  const std::string flat_ply = file.dir() + "/flat.ply";
  ASSERT_EQ(pcl::io::savePLYFileBinary(flat_ply, *Block(Eigen::Vector3f::Zero(), 3, 3, 3)), 0);
  EXPECT_EQ(RunCommand("'" + file.dir() + "/none.yaml' '" + flat_ply + "'", err), 1);
  EXPECT_NE(ReadFile(err).find("none.yaml"), std::string::npos);
}

TEST(EstimateExecutable, HeaderCountsTheFileCannotHoldAreRefusedBeforeAnyAllocation) {
  ConfigFile file("ply_claims");
  const std::string config = file.Write();
  const std::string err = file.dir() + "/stderr.txt";
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  struct Claim
  {
    std::string name;
    std::string text;
    std::string says;
  };
  const std::vector<Claim> claims = {
    {"ascii.ply",
      "ply\nformat ascii 1.0\ncomment a few bytes\nelement vertex 50000000\n" + xyz +
      "end_header\n0 0 0\n1 1 1\n",
      "claims 50000000 vertex elements"},
    {"binary.ply",
      "ply\nformat binary_little_endian 1.0\nelement vertex 200000000\n" + xyz + "end_header\n" +
      std::string(24, '\0'),
      "claims 200000000 vertex elements"},
    {"faces.ply",
      "ply\nformat binary_little_endian 1.0\nelement vertex 1\n" + xyz +
      "element face 1000000000\nproperty list uchar int vertex_indices\nend_header\n" +
      std::string(12, '\0'),
      "claims 1000000000 face elements"},
    {"count.ply", "ply\nformat ascii 1.0\nelement vertex -3\n" + xyz + "end_header\n",
      "has count '-3'"},
  };
  for (const Claim & claim : claims) {
    SCOPED_TRACE(claim.name);
    const std::string path = file.dir() + "/" + claim.name;
    std::ofstream(path, std::ios::binary) << claim.text;
    EXPECT_EQ(RunCommand("'" + config + "' '" + path + "'", err), 1);
    const std::string message = ReadFile(err);
    EXPECT_EQ(message.rfind("error: PLY cloud '" + path + "'", 0), 0u) << message;
    EXPECT_NE(message.find(claim.says), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
  }
  // Believing the first two claims would take 0.6 and 2.4 GB.
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 400L * 1024L) << "peak resident KiB of a child";

  // The node's own archive format (ASCII, with the camera element) still reads.
  const std::string archived = file.dir() + "/archived[transformed].ply";
  const Eigen::Vector3f corner(-0.5f - 6 * kStep, -2 * kStep, -22 * kStep);
  ASSERT_TRUE(SaveCloudPly(archived, *Block(corner, 13, 5, 3)));
  EXPECT_EQ(RunCommand("'" + config + "' '" + archived + "'", err), 0) << ReadFile(err);
}

}  // namespace
}  // namespace velmora::test
