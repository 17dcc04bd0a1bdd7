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

#include "velmoraplus_trash_pose/core/class_tables.hpp"

namespace velmora
{

const ClassConfField kClassConfFields[kClassCount] = {
  {"paper", &ClassConf::paper},
  {"mask", &ClassConf::mask},
  {"thread", &ClassConf::thread},
  {"obstacle", &ClassConf::obstacle},
  {"bottle", &ClassConf::bottle},
  {"blood", &ClassConf::blood},
  {"person", &ClassConf::person},
  {"reflection", &ClassConf::reflection},
  {"base", &ClassConf::base},
  {"chair", &ClassConf::chair},
  {"waiting_bench", &ClassConf::waiting_bench},
  {"escalator_entrance", &ClassConf::escalator_entrance},
  {"rod", &ClassConf::rod},
  {"coffee", &ClassConf::coffee},
  {"milk", &ClassConf::milk},
  {"other", &ClassConf::other},
};

float ClassConfById(const ClassConf & conf, int class_id)
{
  if (class_id >= 1 && class_id <= kClassCount - 1) {
    return conf.*(kClassConfFields[class_id - 1].field);
  }
  return conf.other;
}

const std::map<int, std::string> kClassIdNames = {
  {1, "paper"}, {2, "mask"}, {3, "thread"}, {4, "obstacle"},
  {5, "bottle"}, {6, "blood"}, {7, "person"}, {8, "reflection"},
  {9, "base"}, {10, "chair"}, {11, "waiting"}, {12, "escalator"},
  {13, "rod"}, {14, "coffee"}, {15, "milk"}, {16, "other"},
};

std::string ClassNameById(int class_id)
{
  const auto it = kClassIdNames.find(class_id);
  return it == kClassIdNames.end() ? std::string() : it->second;
}

const std::vector<std::vector<unsigned int>> kColors = {
  {0, 114, 189}, {217, 83, 25}, {237, 177, 32}, {126, 47, 142}, {119, 172, 48},
  {77, 190, 238}, {162, 20, 47}, {76, 76, 76}, {153, 153, 153}, {255, 0, 0},
  {255, 128, 0}, {191, 191, 0}, {0, 255, 0}, {0, 0, 255}, {170, 0, 255},
  {85, 85, 0}, {85, 170, 0}, {85, 255, 0}, {170, 85, 0}, {170, 170, 0},
  {170, 255, 0}, {255, 85, 0}, {255, 170, 0}, {255, 255, 0}, {0, 85, 128},
  {0, 170, 128}, {0, 255, 128}, {85, 0, 128}, {85, 85, 128}, {85, 170, 128},
  {85, 255, 128}, {170, 0, 128}, {170, 85, 128}, {170, 170, 128}, {170, 255, 128},
  {255, 0, 128}, {255, 85, 128}, {255, 170, 128}, {255, 255, 128}, {0, 85, 255},
  {0, 170, 255}, {0, 255, 255}, {85, 0, 255}, {85, 85, 255}, {85, 170, 255},
  {85, 255, 255}, {170, 0, 255}, {170, 85, 255}, {170, 170, 255}, {170, 255, 255},
  {255, 0, 255}, {255, 85, 255}, {255, 170, 255}, {85, 0, 0}, {128, 0, 0},
  {170, 0, 0}, {212, 0, 0}, {255, 0, 0}, {0, 43, 0}, {0, 85, 0},
  {0, 128, 0}, {0, 170, 0}, {0, 212, 0}, {0, 255, 0}, {0, 0, 43},
  {0, 0, 85}, {0, 0, 128}, {0, 0, 170}, {0, 0, 212}, {0, 0, 255},
  {0, 0, 0}, {36, 36, 36}, {73, 73, 73}, {109, 109, 109}, {146, 146, 146},
  {182, 182, 182}, {219, 219, 219}, {0, 114, 189}, {80, 183, 189}, {128, 128, 0},
};

const std::vector<std::vector<unsigned int>> kMaskColors = {
  {255, 56, 56}, {255, 157, 151}, {255, 112, 31}, {255, 178, 29}, {207, 210, 49},
  {72, 249, 10}, {146, 204, 23}, {61, 219, 134}, {26, 147, 52}, {0, 212, 187},
  {44, 153, 168}, {0, 194, 255}, {52, 69, 147}, {100, 115, 255}, {0, 24, 236},
  {132, 56, 255}, {82, 0, 133}, {203, 56, 255}, {255, 149, 200}, {255, 55, 199},
};

}  // namespace velmora
