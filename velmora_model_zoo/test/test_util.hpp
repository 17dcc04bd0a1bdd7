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

#pragma once

#include <fstream>
#include <string>

#include <sys/stat.h>

namespace test_util
{

inline std::string model(const std::string & name)
{
  return std::string(TEST_MODEL_DIR) + "/" + name + ".yaml";
}

// A fresh file below the build tree's work directory.
inline std::string write_file(const std::string & name, const std::string & text)
{
  ::mkdir(TEST_WORK_DIR, 0755);
  const std::string path = std::string(TEST_WORK_DIR) + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

}  // namespace test_util
