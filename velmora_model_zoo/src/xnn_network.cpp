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

#include "xnn_network.hpp"

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>
#include <utility>

#include "onnx_graph.hpp"
#include "xnn_steps.hpp"

namespace det
{
namespace
{

using xnn::Arena;
using xnn::ConvStep;
using xnn::CopyStep;
using xnn::Operator;
using xnn::Pool;
using xnn::ResizeStep;
using xnn::Shape;
using xnn::Step;
using xnn::StridedBinaryStep;
using xnn::StridedCopy;
using xnn::XnnStep;
using xnn::count;
using xnn::row_major;

constexpr float kInf = std::numeric_limits<float>::infinity();

// The largest tensor, in elements: a model's dimensions come from its file, so they are
// checked before any arithmetic or allocation depends on them.  2^28 (CMake sets the
// exponent; the fuzzer's build lowers it so each unit runs in well under a second).
constexpr int64_t kMaxElements = int64_t{1} << VELMORA_XNN_MAX_ELEMENTS_LOG2;

// Elements of `s`, or -1 where a dimension is below `least` or the product passes
// kMaxElements (each factor is bounded first, so the product cannot overflow).
int64_t bounded_count(const Shape & s, int64_t least)
{
  int64_t n = 1;
  for (int64_t d : s) {
    if (d < least || d > kMaxElements) {return -1;}
    n *= d;
    if (n > kMaxElements) {return -1;}
  }
  return n;
}

std::string text(const Shape & s)
{
  std::string out = "(";
  for (size_t i = 0; i < s.size(); ++i) {
    out += (i ? ", " : "") + std::to_string(s[i]);
  }
  return out + ")";
}

enum class Layout {kPlain, kNhwc};

struct Value
{
  std::string name;
  Shape shape;
  Layout layout = Layout::kPlain;
  bool constant = false;
  std::vector<float> data;     // a constant's floats, row-major
  std::vector<int64_t> ints;   // a constant's integers
  int producer = -1;           // index of the op writing it
  std::vector<int> consumers;  // indices of the ops reading it
  bool graph_io = false;
  // Where it lives: a planned buffer, an offset in it, and for NHWC the pixel stride (more than
  // the channel count for a view into a concatenation along channels).
  int buffer = -1;
  int64_t offset = 0;
  int64_t stride = 0;
};

enum class Kind
{
  kConv, kDeconv, kMaxPool, kResize, kSigmoid, kBinary, kConcat, kSplit, kReshape, kCopy,
  kSoftmax
};

struct Op
{
  Op(Kind k, const OnnxNode * n, std::vector<int> inputs = {})
  : kind(k), node(n), in(std::move(inputs)) {}

  Kind kind;
  const OnnxNode * node;  // nullptr for a layout conversion the planner added
  std::vector<int> in, out;
  bool silu = false;          // Conv -> Sigmoid -> Mul folded in
  bool strided_ok = true;     // reads and writes NHWC channel views
  bool alias = false;         // Reshape of a row-major tensor: the same memory
  int64_t axis = 0;
  std::vector<bool> copy;     // Concat / Split: the parts that are not already in place
  std::vector<int64_t> perm;  // kCopy: output axis -> input axis
  std::vector<int64_t> start;  // kCopy: first input element per output axis
};

}  // namespace

class XnnNetwork::Plan
{
public:
  Plan(
    OnnxGraph graph, const std::string & path, const std::vector<int> & input_dims,
    const std::vector<std::string> & outputs, int threads)
  : path_(path), graph_(std::move(graph))
  {
    if (xnn_initialize(nullptr) != xnn_status_success) {
      throw std::runtime_error("ONNX model '" + path + "': XNNPACK cannot run on this CPU");
    }
    pool_.reset(pthreadpool_create(static_cast<size_t>(std::max(threads, 1))));
    add_input(input_dims);
    find_silu();
    for (const OnnxNode & node : graph_.nodes) {
      if (!absorbed_.count(&node)) {plan(node);}
    }
    for (const std::string & name : outputs) {outputs_.push_back(output(name));}
    place();
    build();
  }

  void forward(const cv::Mat & blob, cv::Mat & det, cv::Mat & protos)
  {
    const Value & in = values_[input_];
    if (blob.type() != CV_32F || blob.dims != static_cast<int>(in.shape.size()) ||
      !blob.isContinuous() || !std::equal(in.shape.begin(), in.shape.end(), blob.size.p))
    {
      throw std::invalid_argument(
              "ONNX model '" + path_ + "': forward needs a continuous float blob of shape " +
              text(in.shape));
    }
    input_copy_->run(blob.ptr<float>(), data(in));
    for (auto & step : steps_) {step->run(pool_.get());}
    cv::Mat * mats[] = {&det, &protos};
    for (size_t i = 0; i < outputs_.size(); ++i) {
      // A no-op, no allocation, where the caller's matrix already has the shape.
      mats[i]->create(static_cast<int>(output_dims_[i].size()), output_dims_[i].data(), CV_32F);
      output_copies_[i].run(read(values_[outputs_[i]]), mats[i]->ptr<float>());
    }
  }

private:
  [[noreturn]] void fail(const OnnxNode * node, const std::string & why) const
  {
    throw std::runtime_error(
            "ONNX model '" + path_ + "': node '" + (node ? node->name : "") + "' (" +
            (node ? node->op_type : "layout") + ") " + why);
  }

  // --- graph to ops -----------------------------------------------------------------------

  void add_input(const std::vector<int> & dims)
  {
    const OnnxValueInfo * info = nullptr;
    for (const OnnxValueInfo & i : graph_.inputs) {
      if (!graph_.initializers.count(i.name)) {
        if (info) {throw std::runtime_error("ONNX model '" + path_ + "' has more than one input");}
        info = &i;
      }
    }
    if (!info) {throw std::runtime_error("ONNX model '" + path_ + "' has no input");}
    const Shape shape(dims.begin(), dims.end());
    if (bounded_count(shape, 1) < 0) {
      throw std::runtime_error(
              "ONNX model '" + path_ + "': input shape " + text(shape) + " is empty or over " +
              std::to_string(kMaxElements) + " elements");
    }
    bool fits = info->dims.size() == shape.size();
    for (size_t i = 0; fits && i < shape.size(); ++i) {
      fits = info->dims[i] < 0 || info->dims[i] == shape[i];
    }
    if (!fits) {
      throw std::runtime_error(
              "ONNX model '" + path_ + "': input '" + info->name + "' has shape " +
              text(info->dims) + ", not " + text(shape));
    }
    input_ = new_value(info->name, shape, shape.size() == 4 ? Layout::kNhwc : Layout::kPlain);
    values_[input_].graph_io = true;
  }

  int new_value(const std::string & name, Shape shape, Layout layout)
  {
    Value v;
    v.name = name;
    v.shape = std::move(shape);
    v.layout = layout;
    values_.push_back(std::move(v));
    const int id = static_cast<int>(values_.size()) - 1;
    if (!name.empty()) {ids_[name] = id;}
    return id;
  }

  // The value of an input name: planned before, or an initializer made a constant on first use.
  int value(const OnnxNode & node, size_t input)
  {
    if (input >= node.inputs.size() || node.inputs[input].empty()) {
      fail(&node, "lacks input " + std::to_string(input));
    }
    const std::string & name = node.inputs[input];
    if (const auto it = ids_.find(name); it != ids_.end()) {return it->second;}
    const auto init = graph_.initializers.find(name);
    if (init == graph_.initializers.end()) {
      fail(&node, "reads '" + name + "', which nothing makes");
    }
    return constant(node, init->second);
  }

  int constant(const OnnxNode & node, const OnnxTensor & t)
  {
    const int id = new_value(t.name, t.dims, Layout::kPlain);
    Value & v = values_[id];
    v.constant = true;
    v.data = t.floats;
    v.ints = t.ints;
    if (v.data.empty()) {v.data.assign(t.ints.begin(), t.ints.end());}
    if (bounded_count(v.shape, 0) < 0) {
      fail(
        &node, "has constant '" + t.name + "' of shape " + text(v.shape) +
        ", a negative dimension or over " + std::to_string(kMaxElements) + " elements");
    }
    if (static_cast<int64_t>(v.data.size()) != count(v.shape)) {
      fail(&node, "has constant '" + t.name + "' of a type or size it cannot read");
    }
    xnn::keep_read_past(v.data);
    return id;
  }

  const Value & constant_input(const OnnxNode & node, size_t input)
  {
    const Value & v = values_[value(node, input)];
    if (!v.constant) {fail(&node, "needs input '" + v.name + "' to be a constant");}
    return v;
  }

  void expect_outputs(const OnnxNode & node, size_t n)
  {
    if (node.outputs.size() != n) {
      fail(
        &node, "has " + std::to_string(node.outputs.size()) + " outputs, not " +
        std::to_string(n));
    }
  }

  int add_op(Op op, const std::vector<Shape> & shapes, Layout layout)
  {
    const int index = static_cast<int>(ops_.size());
    if (op.node) {expect_outputs(*op.node, shapes.size());}
    for (size_t i = 0; i < shapes.size(); ++i) {
      if (shapes[i].empty() && op.kind != Kind::kReshape) {fail(op.node, "makes an empty shape");}
      if (bounded_count(shapes[i], 1) < 0) {
        fail(
          op.node, "makes a tensor of shape " + text(shapes[i]) + ", empty or over " +
          std::to_string(kMaxElements) + " elements");
      }
      const std::string & name = op.node ? op.node->outputs[i] : std::string();
      op.out.push_back(new_value(name, shapes[i], layout));
      values_[op.out.back()].producer = index;
    }
    for (int id : op.in) {values_[id].consumers.push_back(index);}
    ops_.push_back(std::move(op));
    return index;
  }

  // The input as NHWC: plain 4-D tensors get a planned conversion.
  int nhwc(const OnnxNode & node, size_t input)
  {
    const int id = value(node, input);
    const Value & v = values_[id];
    if (v.shape.size() != 4) {fail(&node, "needs a 4-D input, not " + text(v.shape));}
    if (v.layout == Layout::kNhwc) {return id;}
    Op op{Kind::kCopy, nullptr, {id}};
    op.perm = {0, 1, 2, 3};
    op.start = {0, 0, 0, 0};
    return ops_[add_op(std::move(op), {v.shape}, Layout::kNhwc)].out[0];
  }

  // Conv -> Sigmoid -> Mul(x, sigmoid(x)) with no other reader of the two tensors.
  void find_silu()
  {
    std::map<std::string, std::vector<const OnnxNode *>> readers;
    std::set<std::string> outputs;
    for (const OnnxValueInfo & o : graph_.outputs) {outputs.insert(o.name);}
    for (const OnnxNode & n : graph_.nodes) {
      for (const std::string & i : n.inputs) {readers[i].push_back(&n);}
    }
    std::map<std::string, const OnnxNode *> conv_of;
    for (const OnnxNode & n : graph_.nodes) {
      if ((n.op_type == "Conv" || n.op_type == "ConvTranspose") && n.outputs.size() == 1) {
        conv_of[n.outputs[0]] = &n;
      }
    }
    for (const OnnxNode & s : graph_.nodes) {
      if (s.op_type != "Sigmoid" || s.inputs.size() != 1 || s.outputs.size() != 1) {continue;}
      const std::string & x = s.inputs[0], & y = s.outputs[0];
      const auto conv = conv_of.find(x);
      if (conv == conv_of.end() || outputs.count(x) || outputs.count(y)) {continue;}
      const auto & rx = readers[x], & ry = readers[y];
      if (rx.size() != 2 || ry.size() != 1 || ry[0]->op_type != "Mul") {continue;}
      const OnnxNode * mul = ry[0];
      const bool pair = mul->inputs.size() == 2 && mul->outputs.size() == 1 &&
        ((mul->inputs[0] == x && mul->inputs[1] == y) ||
        (mul->inputs[0] == y && mul->inputs[1] == x));
      if (!pair || (rx[0] != &s && rx[0] != mul) || (rx[1] != &s && rx[1] != mul)) {continue;}
      silu_[conv->second] = mul;
      absorbed_.insert(&s);
      absorbed_.insert(mul);
    }
  }

  void plan(const OnnxNode & node)
  {
    const std::string & t = node.op_type;
    if (t == "Conv" || t == "ConvTranspose") {
      plan_conv(node, t == "ConvTranspose");
    } else if (t == "MaxPool") {
      plan_pool(node);
    } else if (t == "Resize") {
      plan_resize(node);
    } else if (t == "Sigmoid") {
      const int x = value(node, 0);
      add_op({Kind::kSigmoid, &node, {x}}, {values_[x].shape}, values_[x].layout);
    } else if (t == "Add" || t == "Sub" || t == "Mul" || t == "Div") {
      plan_binary(node);
    } else if (t == "Concat") {
      plan_concat(node);
    } else if (t == "Split") {
      plan_split(node);
    } else if (t == "Reshape") {
      plan_reshape(node);
    } else if (t == "Transpose") {
      plan_transpose(node);
    } else if (t == "Softmax") {
      plan_softmax(node);
    } else if (t == "Slice") {
      plan_slice(node);
    } else if (t == "Constant") {
      plan_constant(node);
    } else {
      fail(&node, "is not supported by the XNNPACK runner");
    }
  }

  void plan_constant(const OnnxNode & node)
  {
    const OnnxAttribute * value = node.find("value");
    expect_outputs(node, 1);
    if (!value || value->t.size() != 1) {fail(&node, "holds no tensor value");}
    OnnxTensor tensor = value->t[0];
    tensor.name = node.outputs[0];
    constant(node, tensor);
  }

  // ONNX pads (begin..., end...) for 2-D windows, auto_pad included.
  std::array<int64_t, 4> pads(
    const OnnxNode & node, const Shape & in, const Shape & kernel, const Shape & strides,
    const Shape & dilations)
  {
    const std::string mode = node.get_string("auto_pad", "NOTSET");
    Shape p = node.get_ints("pads");
    if (mode == "NOTSET") {
      if (p.empty()) {p.assign(4, 0);}
      if (p.size() != 4) {fail(&node, "has pads of " + std::to_string(p.size()) + " values");}
      for (int64_t x : p) {
        if (x < 0 || x > kMaxElements) {fail(&node, "has pads " + text(p));}
      }
      return {p[0], p[1], p[2], p[3]};
    }
    if (mode == "VALID") {return {0, 0, 0, 0};}
    if (mode != "SAME_UPPER" && mode != "SAME_LOWER") {fail(&node, "has auto_pad " + mode);}
    std::array<int64_t, 4> out{};
    for (size_t a = 0; a < 2; ++a) {
      const int64_t size = in[2 + a], target = (size + strides[a] - 1) / strides[a];
      const int64_t total = std::max<int64_t>(
        0, (target - 1) * strides[a] + (kernel[a] - 1) * dilations[a] + 1 - size);
      const int64_t small = total / 2;
      out[a] = mode == "SAME_UPPER" ? small : total - small;
      out[a + 2] = total - out[a];
    }
    return out;
  }

  // Outputs of a sliding window along axis 2 + a. XNNPACK subtracts the window from the padded
  // input unsigned, so a window wider than that must be refused here, not left to the division
  // (which would round the difference up to one output).
  int64_t window_output(
    const OnnxNode & node, const Shape & in, const std::array<int64_t, 4> & p, int64_t span,
    const Shape & strides, size_t a)
  {
    const int64_t padded = in[2 + a] + p[a] + p[a + 2];
    if (padded < span) {
      fail(
        &node, "has a window of " + std::to_string(span) + " over " + std::to_string(padded) +
        " padded input values along axis " + std::to_string(2 + a) + " of " + text(in));
    }
    return (padded - span) / strides[a] + 1;
  }

  Shape pair_attribute(const OnnxNode & node, const std::string & name, int64_t fallback)
  {
    Shape v = node.get_ints(name);
    if (v.empty()) {v = {fallback, fallback};}
    if (v.size() != 2) {fail(&node, "has " + name + " of " + std::to_string(v.size()) + " values");}
    for (int64_t x : v) {
      if (x < 1 || x > kMaxElements) {fail(&node, "has " + name + " " + text(v));}
    }
    return v;
  }

  void plan_conv(const OnnxNode & node, bool transposed)
  {
    const int x = nhwc(node, 0);
    const Shape in = values_[x].shape;
    const Value & w = constant_input(node, 1);
    if (w.shape.size() != 4) {fail(&node, "has weights of shape " + text(w.shape));}
    const int64_t group = node.get_int("group", 1);
    const Shape kernel{w.shape[2], w.shape[3]};
    const Shape strides = pair_attribute(node, "strides", 1);
    const Shape dil = pair_attribute(node, "dilations", 1);
    const auto p = pads(node, in, kernel, strides, dil);
    // The group is bounded before it multiplies a dimension.
    if (group < 1 || group > in[1]) {fail(&node, "has group " + std::to_string(group));}
    const int64_t in_c = transposed ? w.shape[0] : w.shape[1] * group;
    const int64_t out_c = transposed ? w.shape[1] * group : w.shape[0];
    if (in[1] != in_c || out_c % group != 0) {
      fail(&node, "has weights " + text(w.shape) + " for input " + text(in));
    }
    if (node.inputs.size() > 2 && !node.inputs[2].empty() &&
      count(constant_input(node, 2).shape) != out_c)
    {
      fail(&node, "has a bias of another size than its " + std::to_string(out_c) + " outputs");
    }
    Shape out{in[0], out_c, 0, 0};
    const Shape adjust = transposed ? node.get_ints("output_padding") : Shape{};
    // XNNPACK takes an adjustment below the stride, one per axis.
    if (!adjust.empty() && (adjust.size() != 2 || adjust[0] < 0 || adjust[1] < 0 ||
      adjust[0] >= strides[0] || adjust[1] >= strides[1]))
    {
      fail(&node, "has output_padding " + text(adjust) + " for strides " + text(strides));
    }
    if (transposed && !node.get_ints("output_shape").empty()) {
      fail(&node, "has an output_shape attribute, which is not supported");
    }
    for (size_t a = 0; a < 2; ++a) {
      const int64_t span = (kernel[a] - 1) * dil[a] + 1;
      out[2 + a] = transposed ?
        (in[2 + a] - 1) * strides[a] + span + (adjust.empty() ? 0 : adjust[a]) - p[a] - p[a + 2] :
        window_output(node, in, p, span, strides, a);
      if (out[2 + a] < 1) {fail(&node, "has no output for input " + text(in));}
    }
    Op op{transposed ? Kind::kDeconv : Kind::kConv, &node, {x}};
    const auto fused = silu_.find(&node);
    op.silu = fused != silu_.end();
    const int index = add_op(std::move(op), {out}, Layout::kNhwc);
    if (fused != silu_.end()) {
      Value & v = values_[ops_[index].out[0]];
      ids_.erase(v.name);
      v.name = fused->second->outputs[0];
      ids_[v.name] = ops_[index].out[0];
    }
  }

  void plan_pool(const OnnxNode & node)
  {
    const int x = nhwc(node, 0);
    const Shape in = values_[x].shape;
    const Shape kernel = pair_attribute(node, "kernel_shape", 0);
    const Shape strides = pair_attribute(node, "strides", 1);
    const Shape dil = pair_attribute(node, "dilations", 1);
    if (node.get_int("ceil_mode", 0) != 0) {fail(&node, "has ceil_mode 1, not supported");}
    if (node.outputs.size() != 1) {fail(&node, "has an indices output, not supported");}
    const auto p = pads(node, in, kernel, strides, dil);
    Shape out = in;
    for (size_t a = 0; a < 2; ++a) {
      out[2 + a] = window_output(node, in, p, (kernel[a] - 1) * dil[a] + 1, strides, a);
    }
    add_op({Kind::kMaxPool, &node, {x}}, {out}, Layout::kNhwc);
  }

  void plan_resize(const OnnxNode & node)
  {
    if (node.get_string("mode", "nearest") != "nearest") {
      fail(&node, "has mode '" + node.get_string("mode", "") + "': only nearest is supported");
    }
    const int x = nhwc(node, 0);
    const Shape in = values_[x].shape;
    Shape out = in;
    const bool sized = node.inputs.size() > 3 && !node.inputs[3].empty();
    const Value & given = constant_input(node, sized ? 3 : 2);
    if (given.data.size() != 4) {fail(&node, "needs 4 scales or sizes");}
    for (size_t a = 0; a < 4; ++a) {
      const double size = sized ? given.data[a] :
        std::floor(static_cast<double>(in[a]) * given.data[a]);
      // Checked as a double, NaN included: converting one out of range is undefined.
      if (!(size >= 1.0 && size <= static_cast<double>(kMaxElements))) {
        std::string values;
        for (float v : given.data) {values += (values.empty() ? "" : ", ") + std::to_string(v);}
        fail(
          &node, "has " + std::string(sized ? "sizes (" : "scales (") + values + ") for input " +
          text(in));
      }
      out[a] = static_cast<int64_t>(size);
    }
    if (out[0] != in[0] || out[1] != in[1]) {fail(&node, "resizes batch or channels");}
    add_op({Kind::kResize, &node, {x}}, {out}, Layout::kNhwc);
  }

  // Numpy broadcasting of the two input shapes.
  Shape broadcast(const OnnxNode & node, const Shape & a, const Shape & b)
  {
    Shape out(std::max(a.size(), b.size()), 1);
    for (size_t i = 0; i < out.size(); ++i) {
      const int64_t x = i < out.size() - a.size() ? 1 : a[i - (out.size() - a.size())];
      const int64_t y = i < out.size() - b.size() ? 1 : b[i - (out.size() - b.size())];
      if (x != y && x != 1 && y != 1) {
        fail(&node, "cannot broadcast " + text(a) + " with " + text(b));
      }
      out[i] = x == 1 ? y : x;
    }
    return out;
  }

  void plan_binary(const OnnxNode & node)
  {
    int a = value(node, 0), b = value(node, 1);
    const Shape out = broadcast(node, values_[a].shape, values_[b].shape);
    const bool nhwc_out = out.size() == 4 &&
      ((!values_[a].constant && values_[a].layout == Layout::kNhwc) ||
      (!values_[b].constant && values_[b].layout == Layout::kNhwc));
    if (nhwc_out) {
      if (!values_[a].constant) {a = nhwc(node, 0);}
      if (!values_[b].constant) {b = nhwc(node, 1);}
    }
    Op op{Kind::kBinary, &node, {a, b}};
    // Channel views need operands of the output's shape, or constants repeated per pixel.
    op.strided_ok = nhwc_out;
    for (int id : op.in) {
      op.strided_ok = op.strided_ok && (values_[id].shape == out || pixel_constant(id, out));
    }
    if (!nhwc_out && (values_[a].layout == Layout::kNhwc || values_[b].layout == Layout::kNhwc)) {
      fail(&node, "mixes an NHWC image with a tensor of another rank");
    }
    add_op(std::move(op), {out}, nhwc_out ? Layout::kNhwc : Layout::kPlain);
  }

  // A constant of one value per channel at most (shape (C, 1, 1), (1, C, 1, 1), scalar...).
  bool pixel_constant(int id, const Shape & out) const
  {
    const Value & v = values_[id];
    if (!v.constant || v.shape.size() > 4) {return false;}
    Shape s(4 - v.shape.size(), 1);
    s.insert(s.end(), v.shape.begin(), v.shape.end());
    return s[0] == 1 && s[2] == 1 && s[3] == 1 && (s[1] == 1 || s[1] == out[1]);
  }

  int64_t axis(const OnnxNode & node, int64_t rank, int64_t fallback)
  {
    const int64_t a = node.get_int("axis", fallback);
    if (a < -rank || a >= rank) {fail(&node, "has axis " + std::to_string(a));}
    return a < 0 ? a + rank : a;
  }

  void plan_concat(const OnnxNode & node)
  {
    // At least one input: value() names the node that lacks input 0.
    Op op{Kind::kConcat, &node, {value(node, 0)}};
    for (size_t i = 1; i < node.inputs.size(); ++i) {op.in.push_back(value(node, i));}
    const Value & first = values_[op.in[0]];
    op.axis = axis(node, static_cast<int64_t>(first.shape.size()), 1);
    Shape out = first.shape;
    out[op.axis] = 0;
    bool nhwc = false;
    for (int id : op.in) {
      Shape s = values_[id].shape;
      if (s.size() != out.size()) {fail(&node, "joins tensors of different ranks");}
      out[op.axis] += s[op.axis];
      s[op.axis] = out[op.axis];
      if (s != out) {fail(&node, "joins " + text(values_[id].shape) + " to " + text(first.shape));}
      nhwc = nhwc || (!values_[id].constant && values_[id].layout == Layout::kNhwc);
    }
    add_op(std::move(op), {out}, nhwc ? Layout::kNhwc : Layout::kPlain);
  }

  void plan_split(const OnnxNode & node)
  {
    const int x = value(node, 0);
    const Shape in = values_[x].shape;
    Op op{Kind::kSplit, &node, {x}};
    op.axis = axis(node, static_cast<int64_t>(in.size()), 0);
    Shape sizes = node.get_ints("split");
    if (sizes.empty() && node.inputs.size() > 1 && !node.inputs[1].empty()) {
      sizes = constant_input(node, 1).ints;
    }
    const auto parts = static_cast<int64_t>(node.outputs.size());
    if (parts == 0) {fail(&node, "has no outputs");}
    if (sizes.empty()) {sizes.assign(parts, in[op.axis] / parts);}
    // Each part is checked before the sum, which then cannot overflow.
    const bool fits = std::all_of(
      sizes.begin(), sizes.end(), [&](int64_t n) {return n >= 1 && n <= in[op.axis];});
    if (static_cast<int64_t>(sizes.size()) != parts || !fits ||
      std::accumulate(sizes.begin(), sizes.end(), int64_t{0}) != in[op.axis])
    {
      fail(
        &node, "splits " + text(in) + " into " + text(sizes) + " along axis " +
        std::to_string(op.axis));
    }
    std::vector<Shape> shapes(parts, in);
    for (int64_t i = 0; i < parts; ++i) {shapes[i][op.axis] = sizes[i];}
    add_op(std::move(op), shapes, values_[x].layout);
  }

  void plan_reshape(const OnnxNode & node)
  {
    const int x = value(node, 0);
    const Shape in = values_[x].shape;
    Shape out = constant_input(node, 1).ints;
    int infer = -1;
    Shape known;
    for (size_t i = 0; i < out.size(); ++i) {
      if (out[i] == 0 && i < in.size()) {out[i] = in[i];}
      if (out[i] == -1 && infer < 0) {
        infer = static_cast<int>(i);
      } else {
        known.push_back(out[i]);
      }
    }
    const int64_t size = bounded_count(known, 1);
    if (infer >= 0 && size > 0) {out[infer] = count(in) / size;}
    if (bounded_count(out, 1) != count(in)) {
      fail(&node, "cannot reshape " + text(in) + " to " + text(constant_input(node, 1).ints));
    }
    if (values_[x].constant) {
      expect_outputs(node, 1);
      OnnxTensor folded{node.outputs[0], out, 1, values_[x].data, {}};
      constant(node, folded);
      return;
    }
    if (values_[x].layout == Layout::kPlain) {
      Op op{Kind::kReshape, &node, {x}};
      op.alias = true;
      add_op(std::move(op), {out}, Layout::kPlain);
      return;
    }
    // NHWC to row-major: the copy walks the input in its logical (NCHW) order.
    Op op{Kind::kReshape, &node, {x}};
    add_op(std::move(op), {out}, Layout::kPlain);
  }

  void plan_transpose(const OnnxNode & node)
  {
    const int x = value(node, 0);
    const Shape in = values_[x].shape;
    Shape perm = node.get_ints("perm");
    if (perm.empty()) {
      perm.resize(in.size());
      std::iota(perm.rbegin(), perm.rend(), 0);
    }
    Shape sorted = perm;
    std::sort(sorted.begin(), sorted.end());
    // The whole permutation is checked before any entry indexes the shape.
    for (size_t i = 0; i < sorted.size(); ++i) {
      if (sorted.size() != in.size() || sorted[i] != static_cast<int64_t>(i)) {
        fail(&node, "has perm " + text(perm) + " for " + text(in));
      }
    }
    Shape out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {out[i] = in[perm[i]];}
    Op op{Kind::kCopy, &node, {x}};
    op.perm = perm;
    op.start.assign(in.size(), 0);
    add_op(std::move(op), {out}, Layout::kPlain);
  }

  void plan_softmax(const OnnxNode & node)
  {
    const int x = value(node, 0);
    const Value & v = values_[x];
    Op op{Kind::kSoftmax, &node, {x}};
    op.axis = axis(node, static_cast<int64_t>(v.shape.size()), 1);
    const bool last = v.layout == Layout::kPlain &&
      op.axis + 1 == static_cast<int64_t>(v.shape.size());
    const bool channels = v.layout == Layout::kNhwc && op.axis == 1;
    // Opset 12 normalises over all axes from `axis` on: one axis where the rest is 1.
    const bool rest = std::all_of(
      v.shape.begin() + op.axis + 1, v.shape.end(), [](int64_t d) {return d == 1;});
    if (!(last || (channels && rest))) {
      fail(
        &node, "normalises over axis " + std::to_string(op.axis) + " of " + text(v.shape) +
        ": only the last axis is supported");
    }
    add_op(std::move(op), {v.shape}, v.layout);
  }

  void plan_slice(const OnnxNode & node)
  {
    const int x = value(node, 0);
    const Shape in = values_[x].shape;
    const auto rank = static_cast<int64_t>(in.size());
    const Shape starts = constant_input(node, 1).ints, ends = constant_input(node, 2).ints;
    Shape axes(starts.size());
    std::iota(axes.begin(), axes.end(), 0);
    if (node.inputs.size() > 3 && !node.inputs[3].empty()) {axes = constant_input(node, 3).ints;}
    if (node.inputs.size() > 4 && !node.inputs[4].empty()) {
      for (int64_t s : constant_input(node, 4).ints) {
        if (s != 1) {fail(&node, "has a step other than 1, not supported");}
      }
    }
    if (ends.size() != starts.size() || axes.size() != starts.size()) {
      fail(&node, "has starts, ends and axes of different lengths");
    }
    Op op{Kind::kCopy, &node, {x}};
    op.perm.resize(in.size());
    std::iota(op.perm.begin(), op.perm.end(), 0);
    op.start.assign(in.size(), 0);
    Shape out = in;
    for (size_t i = 0; i < starts.size(); ++i) {
      const int64_t a = axes[i] < 0 ? axes[i] + rank : axes[i];
      if (a < 0 || a >= rank) {fail(&node, "has axis " + std::to_string(axes[i]));}
      auto clamp = [&](int64_t v) {return std::clamp(v < 0 ? v + in[a] : v, int64_t{0}, in[a]);};
      const int64_t b = clamp(starts[i]), e = clamp(ends[i]);
      if (e <= b) {fail(&node, "makes an empty tensor");}
      op.start[a] = b;
      out[a] = e - b;
    }
    add_op(std::move(op), {out}, values_[x].layout);
  }

  int output(const std::string & name)
  {
    const auto it = ids_.find(name);
    bool listed = false;
    std::string have;
    for (const OnnxValueInfo & o : graph_.outputs) {
      listed = listed || o.name == name;
      have += (have.empty() ? "" : ", ") + o.name;
    }
    if (!listed || it == ids_.end()) {
      throw std::runtime_error(
              "ONNX model '" + path_ + "' has no output '" + name + "' (outputs: " + have + ")");
    }
    values_[it->second].graph_io = true;
    return it->second;
  }

  // --- memory --------------------------------------------------------------------------------

  bool placed(const Value & v) const {return v.buffer >= 0 || v.constant;}

  void own_buffer(Value & v)
  {
    v.buffer = arena_.add(count(v.shape));
    v.offset = 0;
    v.stride = v.layout == Layout::kNhwc ? v.shape[1] : 0;
  }

  // Whether parts along `axis` are contiguous slices (row-major, nothing outside varies) or
  // channel ranges of the same pixels (NHWC): then a part can be a view, not a copy.
  static bool view_axis(const Value & v, int64_t axis)
  {
    if (v.layout == Layout::kNhwc) {return axis == 1;}
    return std::all_of(v.shape.begin(), v.shape.begin() + axis, [](int64_t d) {return d == 1;});
  }

  static int64_t part_offset(const Value & whole, int64_t axis, int64_t begin)
  {
    if (whole.layout == Layout::kNhwc) {return begin;}
    return begin * count(Shape(whole.shape.begin() + axis + 1, whole.shape.end()));
  }

  // A value may become a strided view when its writer and every reader take pixel strides.
  bool may_view(const Value & v) const
  {
    if (v.producer < 0 || v.graph_io || v.constant || placed(v)) {return false;}
    const Op & writer = ops_[v.producer];
    if (writer.alias || !writer.strided_ok) {return false;}
    return std::all_of(
      v.consumers.begin(), v.consumers.end(), [&](int c) {return ops_[c].strided_ok;});
  }

  void view(Value & part, const Value & whole, int64_t offset)
  {
    part.buffer = whole.buffer;
    part.offset = whole.offset + offset;
    part.stride = whole.stride;
  }

  // Concatenation outputs are placed first (from the last op back), their inputs written in
  // place where they can be; split outputs then give their input the same place.
  void place()
  {
    own_buffer(values_[input_]);
    for (size_t i = ops_.size(); i-- > 0; ) {
      Op & op = ops_[i];
      if (op.kind == Kind::kConcat) {place_concat(op);}
      if (op.kind == Kind::kSplit) {place_split(op);}
    }
    for (Op & op : ops_) {
      for (int id : op.out) {
        Value & v = values_[id];
        if (placed(v)) {continue;}
        if (op.alias) {
          const Value & in = values_[op.in[0]];
          v.buffer = in.buffer;
          v.offset = in.offset;
        } else {
          own_buffer(v);
        }
      }
    }
    for (const Value & v : values_) {
      if (v.constant || v.buffer < 0) {continue;}
      arena_.use(v.buffer, v.producer);  // the graph input: -1, written before the first op
      for (int c : v.consumers) {arena_.use(v.buffer, c);}
      if (v.graph_io) {arena_.use(v.buffer, std::numeric_limits<int64_t>::max());}
    }
    int64_t scratch = 0;
    for (const Op & op : ops_) {
      if (op.silu) {scratch = std::max(scratch, count(values_[op.out[0]].shape));}
    }
    // Tensors of bounded size may still be many: the activations are bounded as a whole.
    if (!arena_.allocate(kMaxElements - scratch)) {
      throw std::runtime_error(
              "ONNX model '" + path_ + "' needs more than " + std::to_string(kMaxElements) +
              " floats of activations");
    }
    scratch_.resize(static_cast<size_t>(scratch));
  }

  void place_concat(Op & op)
  {
    Value & whole = values_[op.out[0]];
    if (!placed(whole)) {own_buffer(whole);}
    int64_t begin = 0;
    for (int id : op.in) {
      Value & part = values_[id];
      const bool in_place = view_axis(whole, op.axis) && part.layout == whole.layout &&
        may_view(part);
      if (in_place) {view(part, whole, part_offset(whole, op.axis, begin));}
      op.copy.push_back(!in_place);
      begin += part.shape[op.axis];
    }
  }

  void place_split(Op & op)
  {
    Value & whole = values_[op.in[0]];
    const bool views = view_axis(whole, op.axis);
    // All parts already placed side by side: the input is written there.
    bool together = views && may_view(whole);
    int64_t begin = 0;
    const Value & first = values_[op.out[0]];
    for (int id : op.out) {
      const Value & part = values_[id];
      together = together && part.buffer >= 0 && part.buffer == first.buffer &&
        part.stride == first.stride && part.layout == whole.layout &&
        part.offset == first.offset + part_offset(whole, op.axis, begin);
      begin += part.shape[op.axis];
    }
    if (together) {
      view(whole, first, 0);
      op.copy.assign(op.out.size(), false);
      return;
    }
    if (!placed(whole)) {own_buffer(whole);}
    begin = 0;
    for (int id : op.out) {
      Value & part = values_[id];
      const int64_t offset = part_offset(whole, op.axis, begin);
      const bool in_place = views && part.layout == whole.layout &&
        (placed(part) ? part.buffer == whole.buffer && part.offset == whole.offset + offset &&
        part.stride == whole.stride : may_view(part));
      if (in_place && !placed(part)) {view(part, whole, offset);}
      op.copy.push_back(!in_place);
      begin += part.shape[op.axis];
    }
  }

  // --- operators -------------------------------------------------------------------------------

  // Where an operator writes a value.
  float * data(const Value & v) {return arena_.at(v.buffer) + v.offset;}
  // Where an operator reads one (constants stay in the graph's copy).
  const float * read(const Value & v) {return v.constant ? v.data.data() : data(v);}

  // Strides of the logical (ONNX) axes in memory.
  static Shape strides(const Value & v)
  {
    if (v.layout == Layout::kPlain || v.constant) {return row_major(v.shape);}
    const int64_t s = v.stride, h = v.shape[2], w = v.shape[3];
    return {h * w * s, 1, w * s, s};
  }

  static int64_t pixels(const Value & v) {return v.shape[0] * v.shape[2] * v.shape[3];}

  void check(const Op & op, xnn_status status, const char * what) const
  {
    if (status != xnn_status_success) {
      fail(
        op.node, std::string("cannot be set up: XNNPACK ") + what + " returned status " +
        std::to_string(static_cast<int>(status)));
    }
  }

  void build()
  {
    input_copy_ = std::make_unique<StridedCopy>(
      values_[input_].shape, row_major(values_[input_].shape), strides(values_[input_]));
    for (int id : outputs_) {
      const Value & v = values_[id];
      output_copies_.emplace_back(v.shape, strides(v), row_major(v.shape));
      output_dims_.emplace_back(v.shape.begin(), v.shape.end());
    }
    for (const Op & op : ops_) {
      std::unique_ptr<Step> step = make_step(op);
      if (step) {steps_.push_back(std::move(step));}
    }
  }

  std::unique_ptr<Step> make_step(const Op & op)
  {
    switch (op.kind) {
      case Kind::kConv: case Kind::kDeconv: return make_conv(op);
      case Kind::kMaxPool: return make_pool(op);
      case Kind::kResize: return make_resize(op);
      case Kind::kSigmoid: return make_sigmoid(op);
      case Kind::kBinary: return make_binary(op);
      case Kind::kSoftmax: return make_softmax(op);
      case Kind::kReshape:
        if (op.alias) {return nullptr;}
        return make_copies(op);
      default: return make_copies(op);
    }
  }

  std::unique_ptr<Step> make_conv(const Op & op)
  {
    const OnnxNode & node = *op.node;
    const Value & x = values_[op.in[0]];
    const Value & y = values_[op.out[0]];
    const Value & w = constant_input(node, 1);
    const bool transposed = op.kind == Kind::kDeconv;
    const auto group = static_cast<size_t>(node.get_int("group", 1));
    const size_t kh = w.shape[2], kw = w.shape[3];
    const size_t gi = x.shape[1] / group, go = y.shape[1] / group;
    // XNNPACK wants [group][output][kh][kw][input]; ONNX has Conv [output][input][kh][kw] and
    // ConvTranspose [input][output][kh][kw] (per group).
    std::vector<float> kernel(w.data.size());
    for (size_t g = 0; g < group; ++g) {
      for (size_t o = 0; o < go; ++o) {
        for (size_t i = 0; i < gi; ++i) {
          for (size_t k = 0; k < kh * kw; ++k) {
            const size_t from = transposed ? ((g * gi + i) * go + o) * kh * kw + k :
              ((g * go + o) * gi + i) * kh * kw + k;
            kernel[((g * go + o) * kh * kw + k) * gi + i] = w.data[from];
          }
        }
      }
    }
    std::vector<float> bias(static_cast<size_t>(y.shape[1]), 0.0F);
    if (node.inputs.size() > 2 && !node.inputs[2].empty()) {bias = constant_input(node, 2).data;}
    const Shape strides = pair_attribute(node, "strides", 1);
    const Shape dil = pair_attribute(node, "dilations", 1);
    const auto p = pads(node, x.shape, {w.shape[2], w.shape[3]}, strides, dil);
    xnn_operator_t raw = nullptr;
    if (transposed) {
      const Shape adjust = node.get_ints("output_padding");
      check(
        op, xnn_create_deconvolution2d_nhwc_f32(
          p[0], p[3], p[2], p[1], kh, kw, strides[0], strides[1], dil[0], dil[1], group, gi, go,
          x.stride, y.stride, kernel.data(), bias.data(), -kInf, kInf, 0, &raw),
        "deconvolution create");
      Operator conv(raw);
      check(
        op, xnn_setup_deconvolution2d_nhwc_f32(
          conv.get(), x.shape[0], x.shape[2], x.shape[3], adjust.empty() ? 0 : adjust[0],
          adjust.empty() ? 0 : adjust[1], read(x), data(y), pool_.get()),
        "deconvolution setup");
      return conv_step(op, std::move(conv));
    }
    check(
      op, xnn_create_convolution2d_nhwc_f32(
        p[0], p[3], p[2], p[1], kh, kw, strides[0], strides[1], dil[0], dil[1], group, gi, go,
        x.stride, y.stride, kernel.data(), bias.data(), -kInf, kInf, 0, &raw),
      "convolution create");
    Operator conv(raw);
    check(
      op, xnn_setup_convolution2d_nhwc_f32(
        conv.get(), x.shape[0], x.shape[2], x.shape[3], read(x), data(y), pool_.get()),
      "convolution setup");
    return conv_step(op, std::move(conv));
  }

  std::unique_ptr<Step> conv_step(const Op & op, Operator conv)
  {
    const Value & y = values_[op.out[0]];
    Operator sigmoid;
    if (op.silu) {
      xnn_operator_t raw = nullptr;
      check(
        op, xnn_create_sigmoid_nc_f32(y.shape[1], y.stride, y.shape[1], 0, &raw),
        "sigmoid create");
      sigmoid.reset(raw);
      check(
        op, xnn_setup_sigmoid_nc_f32(
          sigmoid.get(), pixels(y), data(y), scratch_.data(), pool_.get()),
        "sigmoid setup");
    }
    return std::make_unique<ConvStep>(
      std::move(conv), std::move(sigmoid), data(y), pixels(y), y.shape[1], y.stride,
      scratch_.data());
  }

  std::unique_ptr<Step> make_pool(const Op & op)
  {
    const OnnxNode & node = *op.node;
    const Value & x = values_[op.in[0]];
    const Value & y = values_[op.out[0]];
    const Shape kernel = pair_attribute(node, "kernel_shape", 0);
    const Shape strides = pair_attribute(node, "strides", 1);
    const Shape dil = pair_attribute(node, "dilations", 1);
    const auto p = pads(node, x.shape, kernel, strides, dil);
    xnn_operator_t raw = nullptr;
    check(
      op, xnn_create_max_pooling2d_nhwc_f32(
        p[0], p[3], p[2], p[1], kernel[0], kernel[1], strides[0], strides[1], dil[0], dil[1],
        x.shape[1], x.stride, y.stride, -kInf, kInf, 0, &raw),
      "max pooling create");
    Operator pool(raw);
    check(
      op, xnn_setup_max_pooling2d_nhwc_f32(
        pool.get(), x.shape[0], x.shape[2], x.shape[3], read(x), data(y), pool_.get()),
      "max pooling setup");
    return std::make_unique<XnnStep>(std::move(pool));
  }

  // Source row (or column) of each output one, as ONNX Resize defines it for nearest.
  std::vector<int64_t> nearest(const OnnxNode & node, int64_t in, int64_t out, double scale)
  {
    const std::string transform =
      node.get_string("coordinate_transformation_mode", "half_pixel");
    const std::string rounding = node.get_string("nearest_mode", "round_prefer_floor");
    // The modes are looked up once, not per column: an image may be 2^28 columns wide.
    enum Transform {kAsymmetric, kHalfPixel, kPytorchHalfPixel, kAlignCorners, kNoTransform};
    enum Rounding {kFloor, kCeil, kRoundPreferCeil, kRoundPreferFloor, kNoRounding};
    const std::array<std::string, kNoTransform> transforms{
      "asymmetric", "half_pixel", "pytorch_half_pixel", "align_corners"};
    const std::array<std::string, kNoRounding> roundings{
      "floor", "ceil", "round_prefer_ceil", "round_prefer_floor"};
    const auto t = static_cast<Transform>(
      std::find(transforms.begin(), transforms.end(), transform) - transforms.begin());
    const auto r = static_cast<Rounding>(
      std::find(roundings.begin(), roundings.end(), rounding) - roundings.begin());
    if (t == kNoTransform) {
      fail(&node, "has coordinate_transformation_mode '" + transform + "', not supported");
    }
    if (r == kNoRounding) {fail(&node, "has nearest_mode '" + rounding + "', not supported");}
    std::vector<int64_t> index(static_cast<size_t>(out));
    for (int64_t o = 0; o < out; ++o) {
      double x = 0.0;
      if (t == kAsymmetric) {
        x = o / scale;
      } else if (t == kHalfPixel || t == kPytorchHalfPixel) {
        x = (o + 0.5) / scale - 0.5;
        if (t == kPytorchHalfPixel && out == 1) {x = 0.0;}
      } else {
        x = out == 1 ? 0.0 : o * static_cast<double>(in - 1) / static_cast<double>(out - 1);
      }
      const double rounded = r == kFloor ? std::floor(x) : r == kCeil ? std::ceil(x) :
        r == kRoundPreferCeil ? std::floor(x + 0.5) : std::ceil(x - 0.5);
      index[o] = std::clamp(static_cast<int64_t>(rounded), int64_t{0}, in - 1);
    }
    return index;
  }

  std::unique_ptr<Step> make_resize(const Op & op)
  {
    const Value & x = values_[op.in[0]];
    const Value & y = values_[op.out[0]];
    // Sizes give the exact ratio: rounded to a float, it moves a pixel that lies halfway
    // between two input ones (13 columns from 10) to the wrong side.
    auto scale = [&](size_t a) {
        return static_cast<double>(y.shape[a]) / static_cast<double>(x.shape[a]);
      };
    const bool sized = op.node->inputs.size() > 3 && !op.node->inputs[3].empty();
    auto given = [&](size_t a) {
        return sized ? scale(a) : static_cast<double>(constant_input(*op.node, 2).data[a]);
      };
    return std::make_unique<ResizeStep>(
      read(x), x.stride, x.shape[3], data(y), y.stride, x.shape[1],
      nearest(*op.node, x.shape[2], y.shape[2], given(2)),
      nearest(*op.node, x.shape[3], y.shape[3], given(3)), x.shape[0], x.shape[2]);
  }

  // Rows of channels for the nc operators: NHWC pixels, or the whole row-major tensor as one
  // row of `channels` where the last axis is not the one that matters.
  std::unique_ptr<Step> make_sigmoid(const Op & op)
  {
    const Value & x = values_[op.in[0]];
    const Value & y = values_[op.out[0]];
    const bool nhwc = y.layout == Layout::kNhwc;
    const int64_t channels = nhwc ? y.shape[1] : y.shape.back();
    const int64_t rows = count(y.shape) / channels;
    xnn_operator_t raw = nullptr;
    check(
      op, xnn_create_sigmoid_nc_f32(
        channels, nhwc ? x.stride : channels, nhwc ? y.stride : channels, 0, &raw),
      "sigmoid create");
    Operator sigmoid(raw);
    check(
      op, xnn_setup_sigmoid_nc_f32(sigmoid.get(), rows, read(x), data(y), pool_.get()),
      "sigmoid setup");
    return std::make_unique<XnnStep>(std::move(sigmoid));
  }

  std::unique_ptr<Step> make_softmax(const Op & op)
  {
    const Value & x = values_[op.in[0]];
    const Value & y = values_[op.out[0]];
    const bool nhwc = y.layout == Layout::kNhwc;
    const int64_t channels = nhwc ? y.shape[1] : y.shape.back();
    xnn_operator_t raw = nullptr;
    check(
      op, xnn_create_softmax_nc_f32(
        channels, nhwc ? x.stride : channels, nhwc ? y.stride : channels, 0, &raw),
      "softmax create");
    Operator softmax(raw);
    check(
      op, xnn_setup_softmax_nc_f32(
        softmax.get(), count(y.shape) / channels, read(x), data(y), pool_.get()),
      "softmax setup");
    return std::make_unique<XnnStep>(std::move(softmax));
  }

  // A constant laid out for an NHWC operation: its shape padded to rank 4, then NHWC.
  std::pair<Shape, const float *> nhwc_constant(const Value & c)
  {
    Shape s(4 - c.shape.size(), 1);
    s.insert(s.end(), c.shape.begin(), c.shape.end());
    std::vector<float> moved(c.data.size());
    const Shape nhwc{s[0], s[2], s[3], s[1]};
    const Shape from = row_major(s), to = row_major(nhwc);
    StridedCopy({s[0], s[1], s[2], s[3]}, from, {to[0], to[3], to[1], to[2]})
    .run(c.data.data(), moved.data());
    xnn::keep_read_past(moved);
    owned_.push_back(std::move(moved));
    return {nhwc, owned_.back().data()};
  }

  std::unique_ptr<Step> make_binary(const Op & op)
  {
    const std::string & type = op.node->op_type;
    const char symbol = type == "Add" ? '+' : type == "Sub" ? '-' : type == "Mul" ? '*' : '/';
    const Value & y = values_[op.out[0]];
    const bool nhwc = y.layout == Layout::kNhwc;
    bool strided = false;
    for (int id : {op.in[0], op.in[1], op.out[0]}) {
      const Value & v = values_[id];
      strided = strided || (!v.constant && nhwc && v.stride != v.shape[1]);
    }
    if (strided) {
      std::vector<StridedBinaryStep::Operand> operands;
      for (int id : op.in) {
        const Value & v = values_[id];
        if (!v.constant) {
          operands.push_back({read(v), v.stride});
          continue;
        }
        // Repeated for every pixel: one row of channels, stride 0.
        std::vector<float> row(static_cast<size_t>(y.shape[1]));
        for (size_t c = 0; c < row.size(); ++c) {row[c] = v.data[v.data.size() == 1 ? 0 : c];}
        xnn::keep_read_past(row);
        owned_.push_back(std::move(row));
        operands.push_back({owned_.back().data(), 0});
      }
      return std::make_unique<StridedBinaryStep>(
        symbol, operands[0], operands[1], data(y), y.stride, pixels(y), y.shape[1]);
    }
    std::vector<std::pair<Shape, const float *>> operands;
    for (int id : op.in) {
      const Value & v = values_[id];
      if (nhwc && v.constant) {
        operands.push_back(nhwc_constant(v));
      } else if (nhwc) {
        operands.push_back({{v.shape[0], v.shape[2], v.shape[3], v.shape[1]}, read(v)});
      } else {
        operands.push_back({v.shape, read(v)});
      }
    }
    xnn_operator_t raw = nullptr;
    xnn_status status = symbol == '+' ? xnn_create_add_nd_f32(-kInf, kInf, 0, &raw) :
      symbol == '-' ? xnn_create_subtract_nd_f32(-kInf, kInf, 0, &raw) :
      symbol == '*' ? xnn_create_multiply_nd_f32(-kInf, kInf, 0, &raw) :
      xnn_create_divide_nd_f32(-kInf, kInf, 0, &raw);
    check(op, status, "binary create");
    Operator binary(raw);
    const std::vector<size_t> a(operands[0].first.begin(), operands[0].first.end());
    const std::vector<size_t> b(operands[1].first.begin(), operands[1].first.end());
    auto setup = symbol == '+' ? xnn_setup_add_nd_f32 : symbol == '-' ? xnn_setup_subtract_nd_f32 :
      symbol == '*' ? xnn_setup_multiply_nd_f32 : xnn_setup_divide_nd_f32;
    check(
      op, setup(
        binary.get(), a.size(), a.data(), b.size(), b.data(), operands[0].second,
        operands[1].second, data(y), pool_.get()),
      "binary setup");
    return std::make_unique<XnnStep>(std::move(binary));
  }

  // Concatenation and split parts not already in place, transposes, slices, reshapes out of
  // NHWC and layout conversions: strided copies.
  std::unique_ptr<Step> make_copies(const Op & op)
  {
    auto step = std::make_unique<CopyStep>();
    if (op.kind == Kind::kConcat || op.kind == Kind::kSplit) {
      const bool concat = op.kind == Kind::kConcat;
      const Value & whole = values_[concat ? op.out[0] : op.in[0]];
      const Shape whole_strides = strides(whole);
      const std::vector<int> & parts = concat ? op.in : op.out;
      int64_t begin = 0;
      for (size_t i = 0; i < parts.size(); ++i) {
        const Value & part = values_[parts[i]];
        const int64_t at = begin * whole_strides[op.axis];
        begin += part.shape[op.axis];
        if (!op.copy[i]) {continue;}
        if (concat) {
          step->add(
            StridedCopy(part.shape, strides(part), whole_strides), read(part), data(whole) + at);
        } else {
          step->add(
            StridedCopy(part.shape, whole_strides, strides(part)), read(whole) + at, data(part));
        }
      }
    } else {
      const Value & x = values_[op.in[0]];
      const Value & y = values_[op.out[0]];
      const Shape from = strides(x);
      if (op.kind == Kind::kReshape) {
        step->add(StridedCopy(x.shape, from, row_major(x.shape)), read(x), data(y));
      } else {
        Shape src(y.shape.size());
        int64_t offset = 0;
        for (size_t a = 0; a < y.shape.size(); ++a) {
          src[a] = from[op.perm[a]];
          offset += op.start[a] * from[a];
        }
        step->add(StridedCopy(y.shape, src, strides(y)), read(x) + offset, data(y));
      }
    }
    if (step->empty()) {return nullptr;}
    return step;
  }

  std::string path_;
  OnnxGraph graph_;
  Pool pool_;
  std::map<const OnnxNode *, const OnnxNode *> silu_;  // Conv -> its Mul
  std::set<const OnnxNode *> absorbed_;
  std::deque<Value> values_;  // references stay valid while planning adds values
  std::map<std::string, int> ids_;
  std::vector<Op> ops_;
  int input_ = -1;
  std::vector<int> outputs_;
  Arena arena_;
  std::vector<std::vector<float>> owned_;  // constants laid out for their operator
  std::vector<float> scratch_;
  std::unique_ptr<StridedCopy> input_copy_;
  std::vector<StridedCopy> output_copies_;
  std::vector<std::vector<int>> output_dims_;
  std::vector<std::unique_ptr<Step>> steps_;
};

bool xnnpack_built_in() {return true;}

XnnNetwork::XnnNetwork(
  const std::string & onnx_path, const std::vector<int> & input_dims,
  const std::string & detections_output, const std::string & prototypes_output, int threads)
: XnnNetwork(
    read_onnx(onnx_path), onnx_path, input_dims, detections_output, prototypes_output, threads)
{}

XnnNetwork::XnnNetwork(
  OnnxGraph graph, const std::string & onnx_path, const std::vector<int> & input_dims,
  const std::string & detections_output, const std::string & prototypes_output, int threads)
: plan_(std::make_unique<Plan>(
      std::move(graph), onnx_path, input_dims,
      std::vector<std::string>{detections_output, prototypes_output}, threads))
{}

XnnNetwork::~XnnNetwork() = default;

void XnnNetwork::forward(const cv::Mat & blob, cv::Mat & detections, cv::Mat & prototypes)
{
  plan_->forward(blob, detections, prototypes);
}

}  // namespace det
