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

// Arbitrary YAML as a camera's pose-estimate file, through the estimator's
// constructor (which also creates its debug directories below a scratch data
// root). Any rejection must be one ConfigError naming the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <typeinfo>

#include "fuzz_support.hpp"
#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace
{

struct Setup
{
  velmora_fuzz::ScratchDir scratch;
  std::ostringstream sink;

  Setup()
  {
    ::setenv("VELMORAPLUS_DATA_DIR", (scratch.path() + "/data").c_str(), 1);
    // The estimator echoes its configuration; millions of echoes help no one.
    std::cout.rdbuf(sink.rdbuf());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  static Setup setup;
  const std::string path = setup.scratch.Write("cam1_pose_estimate_config.yaml", data, size);
  try {
    const velmora::GrabPoseEstimator estimator(path);
  } catch (const velmora::ConfigError & e) {
    velmora_fuzz::CheckNamesFile(e.what(), path);
  } catch (const std::exception & e) {
    velmora_fuzz::Fail(std::string("escaped ") + typeid(e).name() + ": " + e.what());
  }
  setup.sink.str(std::string());
  return 0;
}
