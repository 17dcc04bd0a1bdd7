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

// The pieces XnnNetwork plans a forward pass from: XNNPACK handles, strided copies, the
// runner's own loops, and the arena its buffers share.  Private to the library.
#pragma once

#include <pthreadpool.h>
#include <xnnpack.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <utility>
#include <vector>

namespace det
{
namespace xnn
{

using Shape = std::vector<int64_t>;

struct OperatorDeleter
{
  void operator()(xnn_operator_t op) const {xnn_delete_operator(op);}
};
using Operator = std::unique_ptr<xnn_operator, OperatorDeleter>;

struct PoolDeleter
{
  void operator()(pthreadpool_t pool) const {pthreadpool_destroy(pool);}
};
using Pool = std::unique_ptr<pthreadpool, PoolDeleter>;

inline int64_t count(const Shape & s)
{
  return std::accumulate(s.begin(), s.end(), int64_t{1}, std::multiplies<int64_t>());
}

inline Shape row_major(const Shape & s)
{
  Shape strides(s.size(), 1);
  for (size_t i = s.size(); i-- > 1; ) {
    strides[i - 1] = strides[i] * s[i];
  }
  return strides;
}

// Copies a tensor between two strided layouts (NCHW <-> NHWC, transposes, slices, parts of a
// concatenation).  Dimensions are ordered by destination stride and merged where both sides
// are contiguous, so the common cases end in long runs of std::copy_n.
class StridedCopy
{
public:
  StridedCopy(Shape shape, Shape src_strides, Shape dst_strides)
  {
    std::vector<size_t> order(shape.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(
      order.begin(), order.end(),
      [&](size_t a, size_t b) {return dst_strides[a] > dst_strides[b];});
    for (size_t i : order) {
      if (shape[i] == 1) {continue;}
      if (!shape_.empty() && src_.back() == src_strides[i] * shape[i] &&
        dst_.back() == dst_strides[i] * shape[i])
      {
        shape_.back() *= shape[i];
        src_.back() = src_strides[i];
        dst_.back() = dst_strides[i];
        continue;
      }
      shape_.push_back(shape[i]);
      src_.push_back(src_strides[i]);
      dst_.push_back(dst_strides[i]);
    }
    if (shape_.empty()) {
      shape_ = {1};
      src_ = dst_ = {1};
    }
  }

  void run(const float * src, float * dst) const {copy(0, src, dst);}

private:
  void copy(size_t dim, const float * src, float * dst) const
  {
    const int64_t n = shape_[dim];
    if (dim + 1 < shape_.size()) {
      for (int64_t i = 0; i < n; ++i) {copy(dim + 1, src + i * src_[dim], dst + i * dst_[dim]);}
      return;
    }
    if (src_[dim] == 1 && dst_[dim] == 1) {
      std::copy_n(src, n, dst);
      return;
    }
    const int64_t s = src_[dim], d = dst_[dim];
    for (int64_t i = 0; i < n; ++i) {dst[i * d] = src[i * s];}
  }

  Shape shape_, src_, dst_;
};

// Runs body(first, count) over [0, pixels) on the pool, in tiles of about 4096 floats.
template<typename Body>
void for_pixels(pthreadpool_t pool, int64_t pixels, int64_t channels, const Body & body)
{
  const auto tile =
    static_cast<size_t>(std::max<int64_t>(1, 4096 / std::max<int64_t>(1, channels)));
  pthreadpool_parallelize_1d_tile_1d(
    pool, [&](size_t first, size_t n) {
      body(static_cast<int64_t>(first), static_cast<int64_t>(n));
    }, static_cast<size_t>(pixels), tile);
}

// One planned piece of work of forward().
class Step
{
public:
  virtual ~Step() = default;
  virtual void run(pthreadpool_t pool) = 0;
};

class XnnStep : public Step
{
public:
  explicit XnnStep(Operator op)
  : op_(std::move(op)) {}
  void run(pthreadpool_t pool) override {xnn_run_operator(op_.get(), pool);}

private:
  Operator op_;
};

// Convolution (or deconvolution) then, for YOLOv8's Conv -> Sigmoid -> Mul(x, sigmoid(x)),
// SiLU in place: XNNPACK's sigmoid into a scratch buffer and one multiplication pass, instead
// of two more full-size tensors and two more passes over memory.
class ConvStep : public Step
{
public:
  ConvStep(
    Operator conv, Operator sigmoid, float * out, int64_t pixels, int64_t channels,
    int64_t stride, const float * scratch)
  : conv_(std::move(conv)), sigmoid_(std::move(sigmoid)), out_(out), pixels_(pixels),
    channels_(channels), stride_(stride), scratch_(scratch) {}

  void run(pthreadpool_t pool) override
  {
    xnn_run_operator(conv_.get(), pool);
    if (!sigmoid_) {return;}
    xnn_run_operator(sigmoid_.get(), pool);
    for_pixels(
      pool, pixels_, channels_, [this](int64_t first, int64_t n) {
        for (int64_t p = first; p < first + n; ++p) {
          float * x = out_ + p * stride_;
          const float * s = scratch_ + p * channels_;
          for (int64_t c = 0; c < channels_; ++c) {x[c] *= s[c];}
        }
      });
  }

private:
  Operator conv_, sigmoid_;
  float * out_;
  int64_t pixels_, channels_, stride_;
  const float * scratch_;
};

class CopyStep : public Step
{
public:
  void add(StridedCopy copy, const float * src, float * dst)
  {
    parts_.push_back({std::move(copy), src, dst});
  }
  bool empty() const {return parts_.empty();}
  void run(pthreadpool_t) override
  {
    for (const Part & p : parts_) {p.copy.run(p.src, p.dst);}
  }

private:
  struct Part {StridedCopy copy; const float * src; float * dst;};
  std::vector<Part> parts_;
};

// Nearest-neighbour resize of an NHWC tensor with source rows and columns chosen at planning:
// XNNPACK has bilinear resize only.
class ResizeStep : public Step
{
public:
  ResizeStep(
    const float * in, int64_t in_stride, int64_t in_w, float * out, int64_t out_stride,
    int64_t channels, std::vector<int64_t> rows, std::vector<int64_t> cols, int64_t batch,
    int64_t in_h)
  : in_(in), out_(out), in_stride_(in_stride), in_w_(in_w), in_h_(in_h), out_stride_(out_stride),
    channels_(channels), batch_(batch), rows_(std::move(rows)), cols_(std::move(cols)) {}

  void run(pthreadpool_t) override
  {
    float * out = out_;
    for (int64_t n = 0; n < batch_; ++n) {
      const float * image = in_ + n * in_h_ * in_w_ * in_stride_;
      for (int64_t y : rows_) {
        const float * row = image + y * in_w_ * in_stride_;
        for (int64_t x : cols_) {
          std::copy_n(row + x * in_stride_, channels_, out);
          out += out_stride_;
        }
      }
    }
  }

private:
  const float * in_;
  float * out_;
  int64_t in_stride_, in_w_, in_h_, out_stride_, channels_, batch_;
  std::vector<int64_t> rows_, cols_;
};

// Element-wise arithmetic on NHWC channel views (pixel strides other than the channel count),
// which XNNPACK's nd operators do not take.  A stride of 0 repeats one row of channels.
class StridedBinaryStep : public Step
{
public:
  struct Operand {const float * data; int64_t stride;};
  StridedBinaryStep(
    char op, Operand a, Operand b, float * out, int64_t out_stride, int64_t pixels,
    int64_t channels)
  : op_(op), a_(a), b_(b), out_(out), out_stride_(out_stride), pixels_(pixels),
    channels_(channels) {}

  void run(pthreadpool_t pool) override
  {
    switch (op_) {
      case '+': apply(pool, [](float x, float y) {return x + y;}); break;
      case '-': apply(pool, [](float x, float y) {return x - y;}); break;
      case '*': apply(pool, [](float x, float y) {return x * y;}); break;
      default: apply(pool, [](float x, float y) {return x / y;}); break;
    }
  }

private:
  template<typename F>
  void apply(pthreadpool_t pool, F f)
  {
    for_pixels(
      pool, pixels_, channels_, [&](int64_t first, int64_t n) {
        for (int64_t p = first; p < first + n; ++p) {
          const float * a = a_.data + p * a_.stride;
          const float * b = b_.data + p * b_.stride;
          float * o = out_ + p * out_stride_;
          for (int64_t c = 0; c < channels_; ++c) {o[c] = f(a[c], b[c]);}
        }
      });
  }

  char op_;
  Operand a_, b_;
  float * out_;
  int64_t out_stride_, pixels_, channels_;
};

// Buffers whose lifetimes (first op writing one to last op reading it) do not overlap share
// memory: the activations then take a few times the largest tensor, not the sum of all.
// XNNPACK may read up to XNN_EXTRA_BYTES past the end of an operator's input: every buffer
// it reads keeps that many floats of memory after its last element.
constexpr size_t kReadPastFloats = (XNN_EXTRA_BYTES + sizeof(float) - 1) / sizeof(float);

inline void keep_read_past(std::vector<float> & v) {v.reserve(v.size() + kReadPastFloats);}

class Arena
{
public:
  int add(int64_t size)
  {
    buffers_.push_back({(size + kAlign - 1) / kAlign * kAlign});
    return static_cast<int>(buffers_.size()) - 1;
  }

  // Op `op` (-1 before the first, INT64_MAX after the last) touches `buffer`.
  void use(int buffer, int64_t op)
  {
    Buffer & b = buffers_.at(buffer);
    b.first = std::min(b.first, op);
    b.last = std::max(b.last, op);
  }

  // Largest first, each at the lowest offset clear of the buffers alive with it; false, and
  // nothing allocated, where that takes more than `most` floats.
  bool allocate(int64_t most)
  {
    std::vector<size_t> order(buffers_.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(
      order.begin(), order.end(),
      [&](size_t a, size_t b) {return buffers_[a].size > buffers_[b].size;});
    std::vector<const Buffer *> done;
    int64_t total = 0;
    for (size_t i : order) {
      Buffer & b = buffers_[i];
      std::vector<const Buffer *> alive;
      for (const Buffer * d : done) {
        if (d->first <= b.last && b.first <= d->last) {alive.push_back(d);}
      }
      std::sort(
        alive.begin(), alive.end(),
        [](const Buffer * x, const Buffer * y) {return x->offset < y->offset;});
      for (const Buffer * d : alive) {
        if (b.offset + b.size <= d->offset) {break;}
        b.offset = std::max(b.offset, d->offset + d->size);
      }
      total = std::max(total, b.offset + b.size);
      done.push_back(&b);
    }
    if (total > most) {return false;}
    memory_.assign(static_cast<size_t>(total) + kReadPastFloats, 0.0F);
    return true;
  }

  float * at(int buffer) {return memory_.data() + buffers_.at(buffer).offset;}

private:
  static constexpr int64_t kAlign = 16;  // floats: one cache line

  struct Buffer
  {
    int64_t size;
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t last = -2;
    int64_t offset = 0;
  };
  std::vector<Buffer> buffers_;
  std::vector<float> memory_;
};

}  // namespace xnn
}  // namespace det
