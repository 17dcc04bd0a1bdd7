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

#include "onnx_graph.hpp"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace det
{
namespace
{

// Field numbers of onnx.proto (ModelProto, GraphProto, NodeProto, AttributeProto,
// TensorProto, ValueInfoProto and the TypeProto chain down to a dimension's value).
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4,
  kNodeAttribute = 5;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5,
  kAttrFloats = 7, kAttrInts = 8;
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4,
  kTensorInt32Data = 5, kTensorInt64Data = 7, kTensorName = 8, kTensorRawData = 9,
  kTensorDataLocation = 14;
constexpr uint32_t kValueName = 1, kValueType = 2, kTypeTensor = 1, kTensorTypeShape = 2,
  kShapeDim = 1, kDimValue = 1;
constexpr int32_t kFloat = 1, kInt32 = 6, kInt64 = 7;

enum WireType : uint32_t {kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5};

class ParseError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// One protobuf message: a sequence of (field, wire type, value) records.
class Message
{
public:
  explicit Message(std::string_view bytes)
  : rest_(bytes) {}

  // Moves to the next field; false at the end of the message.
  bool next()
  {
    if (rest_.empty()) {return false;}
    const uint64_t key = varint();
    field_ = static_cast<uint32_t>(key >> 3U);
    type_ = static_cast<uint32_t>(key & 7U);
    switch (type_) {
      case kVarint: value_ = varint(); break;
      case kFixed64: value_ = fixed(8); break;
      case kFixed32: value_ = fixed(4); break;
      case kBytes: {
          const uint64_t size = varint();
          if (size > rest_.size()) {throw ParseError("a field runs past its message");}
          bytes_ = rest_.substr(0, size);
          rest_.remove_prefix(size);
          break;
        }
      default: throw ParseError("wire type " + std::to_string(type_) + " is not supported");
    }
    return true;
  }

  uint32_t field() const {return field_;}
  int64_t integer() const {expect(kVarint); return static_cast<int64_t>(value_);}
  std::string_view bytes() const {expect(kBytes); return bytes_;}
  std::string text() const {return std::string(bytes());}
  Message message() const {return Message(bytes());}

  float real() const
  {
    expect(kFixed32);
    const auto bits = static_cast<uint32_t>(value_);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
  }

  // A repeated scalar, packed or one element per record.
  void append_integers(std::vector<int64_t> & out) const
  {
    if (type_ != kBytes) {
      out.push_back(integer());
      return;
    }
    Message packed(bytes_);
    while (!packed.rest_.empty()) {out.push_back(static_cast<int64_t>(packed.varint()));}
  }

  void append_floats(std::vector<float> & out) const
  {
    if (type_ != kBytes) {
      out.push_back(real());
      return;
    }
    if (bytes_.size() % 4 != 0) {throw ParseError("packed floats are not whole");}
    if (bytes_.empty()) {return;}
    const size_t old = out.size();
    out.resize(old + bytes_.size() / 4);
    std::memcpy(out.data() + old, bytes_.data(), bytes_.size());
  }

private:
  void expect(uint32_t type) const
  {
    if (type_ != type) {
      throw ParseError(
              "field " + std::to_string(field_) + " has wire type " + std::to_string(type_) +
              ", not " + std::to_string(type));
    }
  }

  uint64_t varint()
  {
    uint64_t result = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (rest_.empty()) {throw ParseError("a number runs past its message");}
      const auto byte = static_cast<uint8_t>(rest_.front());
      rest_.remove_prefix(1);
      result |= static_cast<uint64_t>(byte & 0x7FU) << shift;
      if ((byte & 0x80U) == 0) {return result;}
    }
    throw ParseError("a number is longer than 10 bytes");
  }

  uint64_t fixed(size_t size)
  {
    if (rest_.size() < size) {throw ParseError("a number runs past its message");}
    uint64_t result = 0;
    std::memcpy(&result, rest_.data(), size);  // little endian, as the wire format
    rest_.remove_prefix(size);
    return result;
  }

  std::string_view rest_;
  std::string_view bytes_;
  uint64_t value_ = 0;
  uint32_t field_ = 0;
  uint32_t type_ = 0;
};

OnnxTensor read_tensor(Message m)
{
  OnnxTensor t;
  std::string_view raw;
  bool has_raw = false;
  while (m.next()) {
    switch (m.field()) {
      case kTensorDims: m.append_integers(t.dims); break;
      case kTensorDataType: t.data_type = static_cast<int32_t>(m.integer()); break;
      case kTensorFloatData: m.append_floats(t.floats); break;
      case kTensorInt32Data: case kTensorInt64Data: m.append_integers(t.ints); break;
      case kTensorName: t.name = m.text(); break;
      case kTensorRawData: raw = m.bytes(); has_raw = true; break;
      case kTensorDataLocation:
        if (m.integer() != 0) {
          throw ParseError("tensor '" + t.name + "' keeps its data in an external file");
        }
        break;
      default: break;
    }
  }
  if (!has_raw) {return t;}
  const size_t width = t.data_type == kFloat || t.data_type == kInt32 ? 4 :
    t.data_type == kInt64 ? 8 : 0;
  if (width == 0) {return t;}  // another type: kept without data, refused where it is used
  if (raw.size() % width != 0) {throw ParseError("tensor '" + t.name + "' has partial raw data");}
  const size_t count = raw.size() / width;
  if (count == 0) {return t;}  // memcpy may not see the null pointer of an empty vector
  if (t.data_type == kFloat) {
    t.floats.resize(count);
    std::memcpy(t.floats.data(), raw.data(), raw.size());
  } else if (t.data_type == kInt32) {
    std::vector<int32_t> narrow(count);
    std::memcpy(narrow.data(), raw.data(), raw.size());
    t.ints.assign(narrow.begin(), narrow.end());
  } else {
    t.ints.resize(count);
    std::memcpy(t.ints.data(), raw.data(), raw.size());
  }
  return t;
}

OnnxAttribute read_attribute(Message m)
{
  OnnxAttribute a;
  while (m.next()) {
    switch (m.field()) {
      case kAttrName: a.name = m.text(); break;
      case kAttrF: a.f = m.real(); break;
      case kAttrI: a.i = m.integer(); break;
      case kAttrS: a.s = m.text(); break;
      case kAttrT: a.t.push_back(read_tensor(m.message())); break;
      case kAttrFloats: m.append_floats(a.floats); break;
      case kAttrInts: m.append_integers(a.ints); break;
      default: break;
    }
  }
  return a;
}

OnnxNode read_node(Message m)
{
  OnnxNode n;
  while (m.next()) {
    switch (m.field()) {
      case kNodeInput: n.inputs.push_back(m.text()); break;
      case kNodeOutput: n.outputs.push_back(m.text()); break;
      case kNodeName: n.name = m.text(); break;
      case kNodeOpType: n.op_type = m.text(); break;
      case kNodeAttribute: n.attributes.push_back(read_attribute(m.message())); break;
      default: break;
    }
  }
  return n;
}

// ValueInfoProto -> TypeProto.tensor_type -> TensorShapeProto -> dim_value.
OnnxValueInfo read_value_info(Message m)
{
  OnnxValueInfo v;
  while (m.next()) {
    if (m.field() == kValueName) {v.name = m.text();}
    if (m.field() != kValueType) {continue;}
    for (Message type = m.message(); type.next(); ) {
      if (type.field() != kTypeTensor) {continue;}
      for (Message tensor = type.message(); tensor.next(); ) {
        if (tensor.field() != kTensorTypeShape) {continue;}
        for (Message shape = tensor.message(); shape.next(); ) {
          if (shape.field() != kShapeDim) {continue;}
          int64_t value = -1;
          for (Message dim = shape.message(); dim.next(); ) {
            if (dim.field() == kDimValue) {value = dim.integer();}
          }
          v.dims.push_back(value);
        }
      }
    }
  }
  return v;
}

OnnxGraph read_graph(Message m)
{
  OnnxGraph g;
  while (m.next()) {
    switch (m.field()) {
      case kGraphNode: g.nodes.push_back(read_node(m.message())); break;
      case kGraphInitializer: {
          OnnxTensor t = read_tensor(m.message());
          const std::string name = t.name;
          g.initializers[name] = std::move(t);
          break;
        }
      case kGraphInput: g.inputs.push_back(read_value_info(m.message())); break;
      case kGraphOutput: g.outputs.push_back(read_value_info(m.message())); break;
      default: break;
    }
  }
  return g;
}

}  // namespace

const OnnxAttribute * OnnxNode::find(const std::string & attribute) const
{
  for (const OnnxAttribute & a : attributes) {
    if (a.name == attribute) {return &a;}
  }
  return nullptr;
}

int64_t OnnxNode::get_int(const std::string & attribute, int64_t fallback) const
{
  const OnnxAttribute * a = find(attribute);
  return a ? a->i : fallback;
}

std::vector<int64_t> OnnxNode::get_ints(const std::string & attribute) const
{
  const OnnxAttribute * a = find(attribute);
  return a ? a->ints : std::vector<int64_t>{};
}

std::string OnnxNode::get_string(const std::string & attribute, const std::string & fallback)
const
{
  const OnnxAttribute * a = find(attribute);
  return a ? a->s : fallback;
}

OnnxGraph read_onnx(const std::string & path)
{
  std::ifstream file(path, std::ios::binary);
  if (!file) {throw std::runtime_error("ONNX model '" + path + "' cannot be read");}
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return parse_onnx(bytes, path);
}

OnnxGraph parse_onnx(std::string_view bytes, const std::string & path)
{
  try {
    Message model(bytes);
    bool found = false;
    OnnxGraph graph;
    while (model.next()) {
      if (model.field() == kModelGraph) {
        graph = read_graph(model.message());
        found = true;
      }
    }
    if (!found) {throw ParseError("it holds no graph");}
    return graph;
  } catch (const ParseError & e) {
    throw std::runtime_error(
            "ONNX model '" + path + "' cannot be loaded (not an ONNX model: " + e.what() + ")");
  }
}

}  // namespace det
