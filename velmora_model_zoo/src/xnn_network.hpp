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

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "onnx_graph.hpp"

namespace det
{

// Runs an ONNX graph of float operators on XNNPACK's f32 operators.  Everything is planned at
// construction: shapes, NHWC layouts, buffers (concatenations and splits along channels are
// views of one buffer), and every operator created and set up.  forward() then only runs the
// plan.  One instance per camera; forward() is not reentrant.
class XnnNetwork
{
public:
  // `input_dims`: the graph input's NCHW shape.  Throws std::runtime_error naming the file,
  // node and operator it cannot run.
  XnnNetwork(
    const std::string & onnx_path, const std::vector<int> & input_dims,
    const std::string & detections_output, const std::string & prototypes_output, int threads);
  // The same from a graph already read (parse_onnx); `onnx_path` only names it in errors.
  XnnNetwork(
    OnnxGraph graph, const std::string & onnx_path, const std::vector<int> & input_dims,
    const std::string & detections_output, const std::string & prototypes_output, int threads);
  ~XnnNetwork();
  XnnNetwork(const XnnNetwork &) = delete;
  XnnNetwork & operator=(const XnnNetwork &) = delete;

  // blob: float NCHW of the input dims.  The outputs are written into `detections` and
  // `prototypes`, which are (re)created only when not already float Mats of the output shapes.
  void forward(const cv::Mat & blob, cv::Mat & detections, cv::Mat & prototypes);

private:
  class Plan;
  std::unique_ptr<Plan> plan_;
};

// Whether this build runs networks on XNNPACK: CMake links the runner where it finds
// XNNPACK, else a stand-in whose constructor refuses.
bool xnnpack_built_in();

}  // namespace det
