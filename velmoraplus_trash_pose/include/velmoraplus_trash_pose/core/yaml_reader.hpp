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

// Typed, required-key reading of YAML configuration files with errors that name
// the file, the key and the offending value.
//
//   velmora::YamlReader reader(path);                    // throws ConfigError if unreadable
//   int k = reader.Get<int>("grab_pose_estimate/sor2_meank_value");
//   unsigned n = reader.Get<unsigned>("grab_pose_estimate/min_trash_cloud_size");
//   std::vector<float> t = reader.GetFloats("camera_extrinsic/Txyz", 3);
//
// A file with a key written twice in one mapping is refused at once, naming the
// key and both lines. Keys are paths of map keys separated by "/". Every key is required: a missing
// key, a value of the wrong type or a non-finite float raises ConfigError, e.g.
//   "cam1.yaml: key 'grab_pose_estimate/min_trash_cloud_size': value '-5' is not an unsigned integer"
// Supported types of Get<T>: bool, int, unsigned (32 bit, text-stream extraction
// that rejects a leading '-' and trailing junk), float and double (finite only),
// std::string (any scalar, as written; a YAML null reads as "null"). Messages
// show a null value as null.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace YAML
{
class Node;
}

namespace velmora
{

// A configuration file or value that cannot be used; the message says which and why.
class ConfigError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class YamlReader
{
public:
  explicit YamlReader(std::string path);
  ~YamlReader();
  YamlReader(YamlReader &&) noexcept;
  YamlReader & operator=(YamlReader &&) noexcept;

  const std::string & path() const {return path_;}

  // True when every map key on the path exists (for optional sections only).
  bool Has(const std::string & key) const;

  template<typename T>
  T Get(const std::string & key) const;

  // Get<T> of an int or float that must lie in [lowest, highest]; otherwise
  // refused as "value '...' must be between <lowest> and <highest> (<unit>)".
  template<typename T>
  T GetWithin(const std::string & key, T lowest, T highest, const char * unit) const;
  // Get<T> of an int or float with only an upper bound; otherwise refused as
  // "value '...' must be at most <highest> (<unit>)".
  template<typename T>
  T GetAtMost(const std::string & key, T highest, const char * unit) const;

  // A string that names a topic, service or file: as Get<std::string>, but a
  // YAML null is refused rather than read as the name "null".
  std::string GetName(const std::string & key) const;

  // The first `count` elements of a sequence of numbers (longer ones are cut).
  std::vector<float> GetFloats(const std::string & key, std::size_t count) const;

  // Error for a value that converts but is out of range, in the reader's format.
  ConfigError ValueError(
    const std::string & key, const std::string & value,
    const std::string & why) const;
  // The same, showing the value of `key` as the file writes it.
  ConfigError ValueError(const std::string & key, const std::string & why) const;

private:
  YAML::Node Find(const std::string & key) const;
  std::string ScalarText(const YAML::Node & node) const;
  // "<file>: key '<key>': value <node as written> <why>".
  ConfigError NodeError(
    const std::string & key, const YAML::Node & node,
    const std::string & why) const;

  std::string path_;
  std::unique_ptr<YAML::Node> root_;
};

extern template bool YamlReader::Get<bool>(const std::string &) const;
extern template int YamlReader::Get<int>(const std::string &) const;
extern template unsigned YamlReader::Get<unsigned>(const std::string &) const;
extern template float YamlReader::Get<float>(const std::string &) const;
extern template double YamlReader::Get<double>(const std::string &) const;
extern template std::string YamlReader::Get<std::string>(const std::string &) const;
extern template int YamlReader::GetWithin<int>(const std::string &, int, int, const char *) const;
extern template float YamlReader::GetWithin<float>(
  const std::string &, float, float,
  const char *) const;
extern template int YamlReader::GetAtMost<int>(const std::string &, int, const char *) const;
extern template float YamlReader::GetAtMost<float>(const std::string &, float, const char *) const;

}  // namespace velmora
