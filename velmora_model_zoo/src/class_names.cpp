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

#include "velmora_model_zoo/class_names.hpp"

#include "velmora_model_zoo/model_config.hpp"

#include <fstream>
#include <stdexcept>

namespace det
{

void read_class_name(std::string path, std::vector<std::string> & names)
{
  if (const std::string problem = file_problem(path, 1U << 20U); !problem.empty()) {
    throw std::runtime_error("class list '" + path + "' is " + problem);
  }
  std::ifstream in(path);
  if (!in) {throw std::runtime_error("class list '" + path + "' cannot be read");}
  std::vector<std::string> read;
  std::string line;
  constexpr const char * kSpace = " \t\r\n\f\v";
  while (std::getline(in, line)) {
    const auto first = line.find_first_not_of(kSpace);
    if (first == std::string::npos) {continue;}
    const auto last = line.find_last_not_of(kSpace);
    read.push_back(line.substr(first, last - first + 1));
  }
  if (in.bad()) {throw std::runtime_error("class list '" + path + "' cannot be read");}
  if (read.empty()) {throw std::runtime_error("class list '" + path + "' holds no class name");}
  names = std::move(read);
}

}  // namespace det
