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

#include "velmora_model_zoo/model_config.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <yaml-cpp/yaml.h>

#include "xnn_network.hpp"

namespace det
{
namespace
{

constexpr const char * kPackagePrefix = "package://";
constexpr std::string_view kKeys[] = {"source", "recording", "onnx", "input_width",
  "input_height", "num_classes", "confidence_threshold", "nms_threshold", "mask_threshold",
  "max_detections", "max_candidates", "backend", "threads", "detections_output",
  "prototypes_output", "class_map"};

class ConfigReader
{
public:
  ConfigReader(const std::string & path, const YAML::Node & root)
  : path_(path), root_(root) {}

  [[noreturn]] void fail(const std::string & key, const std::string & why) const
  {
    throw std::runtime_error("model configuration '" + path_ + "': key '" + key + "' " + why);
  }

  bool has(const std::string & key) const {return static_cast<bool>(root_[key]);}

  std::string text(const std::string & key) const
  {
    const YAML::Node node = required(key);
    if (!node.IsScalar()) {fail(key, "must be a string");}
    return node.Scalar();
  }

  std::string text(const std::string & key, const std::string & fallback) const
  {
    return has(key) ? text(key) : fallback;
  }

  int integer(const std::string & key, int fallback, int min, int max) const
  {
    if (!has(key)) {return fallback;}
    const int value = as<int>(key, root_[key], "an integer");
    if (value < min || value > max) {fail(key, "value " + std::to_string(value) + " out of range");}
    return value;
  }

  int integer(const std::string & key, int min, int max) const
  {
    required(key);
    return integer(key, 0, min, max);
  }

  float fraction(const std::string & key, float fallback) const
  {
    if (!has(key)) {return fallback;}
    const float value = as<float>(key, root_[key], "a number");
    if (!(value >= 0.0F && value <= 1.0F)) {
      fail(key, "value " + root_[key].Scalar() + " must lie in [0, 1]");
    }
    return value;
  }

  template<typename T>
  T as(const std::string & key, const YAML::Node & node, const char * what) const
  {
    try {
      return node.as<T>();
    } catch (const YAML::Exception &) {
      fail(
        key, std::string("must be ") + what + ", not '" +
        (node.IsScalar() ? node.Scalar() : std::string("a ") + "collection") + "'");
    }
  }

  YAML::Node required(const std::string & key) const
  {
    YAML::Node node = root_[key];
    if (!node) {fail(key, "is missing");}
    return node;
  }

  const YAML::Node & root() const {return root_;}

private:
  const std::string & path_;
  const YAML::Node & root_;
};

std::string directory_of(const std::string & path)
{
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {return ".";}
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool readable(const std::string & path) {return std::ifstream(path).good();}

constexpr std::uintmax_t kMaxConfigBytes = 16U << 20U;
constexpr std::uintmax_t kMaxModelBytes = 2048U << 20U;  // protobuf's own limit

// A key written twice: yaml-cpp keeps both and reads the first, so a value
// edited by adding a line below the old one would be ignored. Each collection is
// walked once (aliases share theirs).
void refuse_duplicate_keys(
  const std::string & path, const YAML::Node & node, std::set<int> & walked)
{
  if (!(node.IsMap() || node.IsSequence()) || !walked.insert(node.Mark().pos).second) {return;}
  std::map<std::string, int> first_line;
  for (const auto & entry : node) {
    if (node.IsSequence()) {
      refuse_duplicate_keys(path, entry, walked);
      continue;
    }
    const int line = entry.first.Mark().line + 1;
    if (entry.first.IsScalar()) {
      const auto [earlier, inserted] = first_line.emplace(entry.first.Scalar(), line);
      if (!inserted) {
        throw std::runtime_error(
                "model configuration '" + path + "': key '" + entry.first.Scalar() +
                "' is written twice, on line " + std::to_string(earlier->second) +
                " and on line " + std::to_string(line) + ": keep one");
      }
    }
    refuse_duplicate_keys(path, entry.second, walked);
  }
}

std::map<int, int> read_class_map(const ConfigReader & reader, int num_classes)
{
  std::map<int, int> map;
  if (!reader.has("class_map")) {return map;}
  const YAML::Node node = reader.required("class_map");
  if (!node.IsMap()) {reader.fail("class_map", "must map network labels to class labels");}
  for (const auto & entry : node) {
    const int from = reader.as<int>("class_map", entry.first, "an integer network label");
    const int to = reader.as<int>("class_map", entry.second, "an integer class label");
    if (from < 0 || (num_classes > 0 && from >= num_classes)) {
      reader.fail(
        "class_map", "network label " + std::to_string(from) + " outside 0.." +
        std::to_string(num_classes - 1));
    }
    if (to < 0) {reader.fail("class_map", "class label " + std::to_string(to) + " is negative");}
    map[from] = to;
  }
  return map;
}

DnnBackend read_backend(const ConfigReader & reader)
{
  const std::string name = reader.text("backend", "cpu");
  if (name == "cpu") {return DnnBackend::kCpu;}
  if (name == "opencv") {return DnnBackend::kOpencv;}
  if (name == "cuda") {return DnnBackend::kCuda;}
  if (name == "cuda_fp16") {return DnnBackend::kCudaFp16;}
  if (name == "xnnpack") {
    if (xnnpack_built_in()) {return DnnBackend::kXnnpack;}
    reader.fail(
      "backend", "value 'xnnpack' is not available: velmora_model_zoo was built without "
      "XNNPACK (libxnnpack-dev)");
  }
  reader.fail("backend", "value '" + name + "' is not cpu, opencv, xnnpack, cuda or cuda_fp16");
}

}  // namespace

std::string resolve_model_path(const std::string & name, const std::string & base_dir)
{
  if (name.rfind(kPackagePrefix, 0) == 0) {
    const std::string rest = name.substr(std::char_traits<char>::length(kPackagePrefix));
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == rest.size()) {
      throw std::runtime_error("'" + name + "' is not package://<package>/<path>");
    }
    const std::string package = rest.substr(0, slash);
    try {
      return ament_index_cpp::get_package_share_directory(package) + rest.substr(slash);
    } catch (const std::exception & e) {
      throw std::runtime_error(
              "'" + name + "': package '" + package +
              "' not found in the ament index (" + e.what() + ")");
    }
  }
  if (!name.empty() && name.front() == '/') {return name;}
  return base_dir + "/" + name;
}

std::string file_problem(const std::string & path, std::uintmax_t max_bytes)
{
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error || !fs::exists(status)) {return "";}
  if (!fs::is_regular_file(status)) {
    const char * kind = fs::is_directory(status) ? "a directory" : fs::is_fifo(status) ?
      "a named pipe" : fs::is_character_file(status) || fs::is_block_file(status) ? "a device" :
      fs::is_socket(status) ? "a socket" : "a special file";
    return std::string(kind) + ", not a regular file";
  }
  const std::uintmax_t size = fs::file_size(path, error);
  if (!error && size > max_bytes) {
    return std::to_string(size) + " bytes, more than the " + std::to_string(max_bytes >> 20U) +
           " MiB such a file may hold";
  }
  return "";
}

ModelConfig load_model_config(const std::string & path)
{
  if (const std::string problem = file_problem(path, kMaxConfigBytes); !problem.empty()) {
    throw std::runtime_error("model configuration '" + path + "' is " + problem);
  }
  if (!readable(path)) {
    throw std::runtime_error("model configuration '" + path + "' cannot be read");
  }
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::Exception & e) {
    throw std::runtime_error("model configuration '" + path + "' is not valid YAML: " + e.what());
  }
  if (!root.IsMap()) {throw std::runtime_error("model configuration '" + path + "' is not a map");}
  std::set<int> walked;
  refuse_duplicate_keys(path, root, walked);
  const ConfigReader reader(path, root);
  // A key misspelt or from another tool would otherwise leave its default in
  // place without a word.
  for (const auto & entry : root) {
    const std::string key = entry.first.IsScalar() ? entry.first.Scalar() : "";
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      reader.fail(key, "is not a model configuration key (see velmora_model_zoo's README)");
    }
  }
  const std::string base_dir = directory_of(path);

  ModelConfig config;
  config.path = path;
  const std::string source = reader.text("source", "network");
  if (source == "recorded") {
    config.source = ModelSource::kRecorded;
  } else if (source != "network") {
    reader.fail("source", "value '" + source + "' is not network or recorded");
  }

  auto resolve_file = [&](const std::string & key) {
      const std::string name = reader.text(key);
      std::string resolved;
      try {
        resolved = resolve_model_path(name, base_dir);
      } catch (const std::exception & e) {
        reader.fail(key, e.what());
      }
      const std::string problem = file_problem(
        resolved, config.source == ModelSource::kRecorded ? kMaxConfigBytes : kMaxModelBytes);
      if (!problem.empty()) {reader.fail(key, "names '" + resolved + "', which is " + problem);}
      if (!readable(resolved)) {reader.fail(key, "names '" + resolved + "', which cannot be read");}
      return resolved;
    };

  if (config.source == ModelSource::kRecorded) {
    config.recording = resolve_file("recording");
    return config;
  }
  config.onnx = resolve_file("onnx");
  config.input_width = reader.integer("input_width", 32, 8192);
  config.input_height = reader.integer("input_height", 32, 8192);
  if (config.input_width % 32 != 0 || config.input_height % 32 != 0) {
    reader.fail(
      "input_width", "and input_height must be multiples of 32, not " +
      std::to_string(config.input_width) + "x" +
      std::to_string(config.input_height));
  }
  config.backend = read_backend(reader);
  config.threads = reader.integer("threads", config.threads, 1, 64);
  config.detections_output = reader.text("detections_output", config.detections_output);
  config.prototypes_output = reader.text("prototypes_output", config.prototypes_output);

  PostprocessParams & post = config.post;
  post.num_classes = reader.integer("num_classes", 1, 100000);
  post.confidence_threshold = reader.fraction("confidence_threshold", post.confidence_threshold);
  post.nms_threshold = reader.fraction("nms_threshold", post.nms_threshold);
  post.mask_threshold = reader.fraction("mask_threshold", post.mask_threshold);
  if (post.mask_threshold <= 0.0F || post.mask_threshold >= 1.0F) {
    reader.fail("mask_threshold", "must lie strictly between 0 and 1");
  }
  post.max_detections = reader.integer("max_detections", post.max_detections, 1, 100000);
  post.max_candidates = reader.integer("max_candidates", post.max_candidates, 1, 10000000);
  post.class_map = read_class_map(reader, post.num_classes);
  return config;
}

}  // namespace det
