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

// Arbitrary bytes as an ONNX model: read, planned for XNNPACK and, where the
// plan is accepted, run once on a zero image. A model is configuration, so any
// rejection must be one std::runtime_error naming the file; nothing may crash,
// hang or allocate without bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <opencv2/core.hpp>

#include "onnx_graph.hpp"
#include "xnn_network.hpp"

namespace
{

[[noreturn]] void Fail(const std::string & why)
{
  std::fprintf(stderr, "fuzz check failed: %s\n", why.c_str());
  std::abort();
}

// The input and output names of test/make_op_models.py's graphs, the seeds:
// small, so that a plan runs in milliseconds.
const std::vector<int> kInputDims{1, 4, 9, 10};
const std::string kPath = "fuzz.onnx";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  try {
    det::XnnNetwork network(
      det::parse_onnx(bytes, kPath), kPath, kInputDims, "out0", "out1", 1);
    const cv::Mat blob(static_cast<int>(kInputDims.size()), kInputDims.data(), CV_32F,
      cv::Scalar(0));
    cv::Mat detections, prototypes;
    network.forward(blob, detections, prototypes);
  } catch (const std::runtime_error & e) {
    if (std::string(e.what()).find(kPath) == std::string::npos) {
      Fail(std::string("error message does not name the file: ") + e.what());
    }
  } catch (const std::exception & e) {
    Fail(std::string("escaped ") + typeid(e).name() + ": " + e.what());
  }
  return 0;
}
