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

#ifndef VELMORAPLUS_TRASH_POSE__CORE__CLASS_TABLES_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__CLASS_TABLES_HPP_

#include <map>
#include <string>
#include <vector>

namespace velmora
{

// Class id = model label + 1; 16 classes in the order of the class list.
constexpr int kClassCount = 16;
constexpr int kClassIdBase = 9;          // robot base station
constexpr int kClassIdWaitingBench = 11;

// One float per class, named after the YAML keys of the class tables.
struct ClassConf
{
  float paper = 0.0F;
  float mask = 0.0F;
  float thread = 0.0F;
  float obstacle = 0.0F;
  float bottle = 0.0F;
  float blood = 0.0F;
  float person = 0.0F;
  float reflection = 0.0F;
  float base = 0.0F;
  float chair = 0.0F;
  float waiting_bench = 0.0F;
  float escalator_entrance = 0.0F;
  float rod = 0.0F;
  float coffee = 0.0F;
  float milk = 0.0F;
  float other = 0.0F;
};

// YAML key and ClassConf field of each class, in class-id order (id = index + 1).
struct ClassConfField
{
  const char * key;
  float ClassConf::* field;
};
extern const ClassConfField kClassConfFields[kClassCount];

// Value for a class id: ids 1..15 select their own field, anything else `other`.
float ClassConfById(const ClassConf & conf, int class_id);

// Short class names by id; ids 11 and 12 are "waiting" and "escalator".
extern const std::map<int, std::string> kClassIdNames;

// Short name of a class id, empty for an id outside the table. Never inserts.
std::string ClassNameById(int class_id);

// Drawing palettes handed to the model library (RGB triples).
extern const std::vector<std::vector<unsigned int>> kColors;      // 80 entries
extern const std::vector<std::vector<unsigned int>> kMaskColors;  // 20 entries

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__CLASS_TABLES_HPP_
