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

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace det
{

// The part of an ONNX model a runner needs, read straight from the protobuf wire format:
// no protobuf library, so the package cross-builds without one.
struct OnnxTensor
{
  std::string name;
  std::vector<int64_t> dims;
  int32_t data_type = 0;        // TensorProto.DataType: 1 float, 6 int32, 7 int64
  std::vector<float> floats;    // float data
  std::vector<int64_t> ints;    // int32 / int64 data, widened
};

struct OnnxAttribute
{
  std::string name;
  float f = 0.0F;
  int64_t i = 0;
  std::string s;
  std::vector<float> floats;
  std::vector<int64_t> ints;
  std::vector<OnnxTensor> t;  // zero or one tensor
};

struct OnnxNode
{
  std::string name;
  std::string op_type;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<OnnxAttribute> attributes;

  const OnnxAttribute * find(const std::string & attribute) const;
  int64_t get_int(const std::string & attribute, int64_t fallback) const;
  std::vector<int64_t> get_ints(const std::string & attribute) const;
  std::string get_string(const std::string & attribute, const std::string & fallback) const;
};

struct OnnxValueInfo
{
  std::string name;
  std::vector<int64_t> dims;  // -1 where the dimension is symbolic or unknown
};

struct OnnxGraph
{
  std::vector<OnnxNode> nodes;
  std::map<std::string, OnnxTensor> initializers;
  std::vector<OnnxValueInfo> inputs;
  std::vector<OnnxValueInfo> outputs;
};

// Reads `path`; throws std::runtime_error naming the file and what is malformed.
OnnxGraph read_onnx(const std::string & path);

// The same from the file's bytes; `path` only names it in errors.
OnnxGraph parse_onnx(std::string_view bytes, const std::string & path);

}  // namespace det
