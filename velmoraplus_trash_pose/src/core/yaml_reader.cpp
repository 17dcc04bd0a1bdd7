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

#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <type_traits>

#include <yaml-cpp/yaml.h>

namespace velmora
{
namespace
{

std::vector<std::string> SplitKey(const std::string & key)
{
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (true) {
    const auto slash = key.find('/', start);
    parts.push_back(key.substr(start, slash - start));
    if (slash == std::string::npos) {return parts;}
    start = slash + 1;
  }
}

template<typename T>
const char * TypeWord()
{
  if constexpr (std::is_same_v<T, bool>) {return "a boolean";}
  if constexpr (std::is_same_v<T, int>) {return "an integer";}
  if constexpr (std::is_same_v<T, unsigned>) {return "an unsigned integer";}
  if constexpr (std::is_floating_point_v<T>) {return "a finite number";}
  return "a string";
}

// yaml-cpp's unsigned conversion wraps "-5"; a leading '-' is therefore refused here.
bool ParseUnsigned(const std::string & text, unsigned & value)
{
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos || text[first] == '-') {return false;}
  std::istringstream stream(text);
  stream >> value;
  if (stream.fail()) {return false;}
  stream >> std::ws;
  return stream.eof();
}

// Refuses a mapping that holds a key twice: yaml-cpp keeps both and reads the
// first, so a value edited by adding a line below the old one would be ignored.
// An alias shares the node of its anchor: each collection is walked once (known
// by where it starts), so nested aliases cannot make the walk exponential.
void RefuseDuplicateKeys(const std::string & path, const YAML::Node & node, std::set<int> & walked)
{
  if (!(node.IsSequence() || node.IsMap()) || !walked.insert(node.Mark().pos).second) {return;}
  if (node.IsSequence()) {
    for (const YAML::Node & element : node) {
      RefuseDuplicateKeys(path, element, walked);
    }
    return;
  }
  std::map<std::string, int> first_line;
  for (const auto & pair : node) {
    // Keys that are not plain text (sequences, maps) are told apart by where they
    // stand: writing one out could expand its aliases without bound.
    const YAML::Mark at = pair.first.Mark();
    const std::string key = pair.first.IsScalar() ? pair.first.Scalar() :
      "(a collection at line " + std::to_string(at.line + 1) + ", column " +
      std::to_string(at.column + 1) + ")";
    const int line = at.line + 1;
    const auto [earlier, inserted] = first_line.emplace(key, line);
    if (!inserted) {
      throw ConfigError(
              path + ": key '" + key + "' is written twice in one mapping, on line " +
              std::to_string(earlier->second) + " and on line " +
              std::to_string(line) + ": keep one");
    }
    RefuseDuplicateKeys(path, pair.second, walked);
  }
}

}  // namespace

YamlReader::YamlReader(std::string path)
: path_(std::move(path))
{
  // A pipe or device would block start-up for good, a huge file fill memory.
  std::error_code error;
  const auto status = std::filesystem::status(path_, error);
  if (std::filesystem::exists(status) && (!std::filesystem::is_regular_file(status) ||
    std::filesystem::file_size(path_, error) > (16U << 20U)))
  {
    throw ConfigError(
            "configuration file '" + path_ + "' is not a regular file of at most 16 MiB");
  }
  try {
    root_ = std::make_unique<YAML::Node>(YAML::LoadFile(path_));
  } catch (const YAML::BadFile &) {
    throw ConfigError("cannot open configuration file '" + path_ + "'");
  } catch (const YAML::Exception & error) {
    throw ConfigError("configuration file '" + path_ + "' is not valid YAML: " + error.what());
  }
  std::set<int> walked;
  RefuseDuplicateKeys(path_, *root_, walked);
}

YamlReader::~YamlReader() = default;
YamlReader::YamlReader(YamlReader &&) noexcept = default;
YamlReader & YamlReader::operator=(YamlReader &&) noexcept = default;

YAML::Node YamlReader::Find(const std::string & key) const
{
  // Assigning to a YAML::Node writes into the tree it refers to, so each level gets its own.
  std::vector<YAML::Node> path{*root_};
  for (const std::string & part : SplitKey(key)) {
    const YAML::Node & parent = path.back();
    if (!parent.IsMap() || !parent[part]) {
      throw ConfigError(path_ + ": missing key '" + key + "'");
    }
    path.push_back(parent[part]);
  }
  return path.back();
}

bool YamlReader::Has(const std::string & key) const
{
  try {
    Find(key);
    return true;
  } catch (const ConfigError &) {
    return false;
  }
}

std::string YamlReader::ScalarText(const YAML::Node & node) const
{
  if (node.IsScalar()) {return node.Scalar();}
  if (node.IsNull()) {return "null";}
  YAML::Emitter out;
  out << YAML::Flow << node;
  return out.c_str();
}

ConfigError YamlReader::NodeError(
  const std::string & key, const YAML::Node & node,
  const std::string & why) const
{
  const std::string value = node.IsNull() ? "null" : "'" + ScalarText(node) + "'";
  return ConfigError(path_ + ": key '" + key + "': value " + value + " " + why);
}

ConfigError YamlReader::ValueError(
  const std::string & key, const std::string & value,
  const std::string & why) const
{
  return ConfigError(path_ + ": key '" + key + "': value '" + value + "' " + why);
}

ConfigError YamlReader::ValueError(const std::string & key, const std::string & why) const
{
  return NodeError(key, Find(key), why);
}

template<typename T>
T YamlReader::Get(const std::string & key) const
{
  const YAML::Node node = Find(key);
  const auto wrong = [&] {return NodeError(key, node, std::string("is not ") + TypeWord<T>());};
  // yaml-cpp reads a null string as "null" (an empty "camera_info_topic:" logs as null).
  if constexpr (std::is_same_v<T, std::string>) {
    if (node.IsNull()) {return "null";}
  }
  if (!node.IsScalar()) {throw wrong();}
  if constexpr (std::is_same_v<T, unsigned>) {
    unsigned value = 0;
    if (!ParseUnsigned(node.Scalar(), value)) {throw wrong();}
    return value;
  } else {
    T value{};
    if (!YAML::convert<T>::decode(node, value)) {throw wrong();}
    if constexpr (std::is_floating_point_v<T>) {
      if (!std::isfinite(value)) {throw wrong();}
    }
    return value;
  }
}

std::string YamlReader::GetName(const std::string & key) const
{
  if (Find(key).IsNull()) {
    throw ValueError(key, "names nothing: write the name (or \"\" where none is allowed)");
  }
  return Get<std::string>(key);
}

template<typename T>
T YamlReader::GetWithin(const std::string & key, T lowest, T highest, const char * unit) const
{
  const T value = Get<T>(key);
  if (value < lowest || value > highest) {
    std::ostringstream range;
    range << "must be between " << lowest << " and " << highest << " (" << unit << ")";
    throw ValueError(key, range.str());
  }
  return value;
}

template<typename T>
T YamlReader::GetAtMost(const std::string & key, T highest, const char * unit) const
{
  const T value = Get<T>(key);
  if (value > highest) {
    std::ostringstream range;
    range << "must be at most " << highest << " (" << unit << ")";
    throw ValueError(key, range.str());
  }
  return value;
}

std::vector<float> YamlReader::GetFloats(const std::string & key, std::size_t count) const
{
  const YAML::Node node = Find(key);
  const auto wrong = [&] {
      return NodeError(
        key, node,
        "is not a sequence of at least " + std::to_string(count) + " finite numbers");
    };
  if (!node.IsSequence() || node.size() < count) {throw wrong();}
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    const YAML::Node element = node[i];
    if (!element.IsScalar() || !YAML::convert<float>::decode(element, values[i]) ||
      !std::isfinite(values[i]))
    {
      throw wrong();
    }
  }
  return values;
}

template bool YamlReader::Get<bool>(const std::string &) const;
template int YamlReader::Get<int>(const std::string &) const;
template unsigned YamlReader::Get<unsigned>(const std::string &) const;
template float YamlReader::Get<float>(const std::string &) const;
template double YamlReader::Get<double>(const std::string &) const;
template std::string YamlReader::Get<std::string>(const std::string &) const;
template int YamlReader::GetWithin<int>(const std::string &, int, int, const char *) const;
template float YamlReader::GetWithin<float>(const std::string &, float, float, const char *) const;
template int YamlReader::GetAtMost<int>(const std::string &, int, const char *) const;
template float YamlReader::GetAtMost<float>(const std::string &, float, const char *) const;

}  // namespace velmora
