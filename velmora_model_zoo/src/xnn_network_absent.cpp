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

// Linked instead of the runner where CMake found no XNNPACK: the configuration
// refuses backend xnnpack, and backend cpu runs on OpenCV DNN.

#include <stdexcept>

#include "xnn_network.hpp"

namespace det
{

class XnnNetwork::Plan
{
};

bool xnnpack_built_in() {return false;}

XnnNetwork::XnnNetwork(
  const std::string & onnx_path, const std::vector<int> &, const std::string &,
  const std::string &, int)
{
  throw std::runtime_error(
          "ONNX model '" + onnx_path + "': velmora_model_zoo was built without XNNPACK");
}

XnnNetwork::XnnNetwork(
  OnnxGraph, const std::string & onnx_path, const std::vector<int> & input_dims,
  const std::string & detections_output, const std::string & prototypes_output, int threads)
: XnnNetwork(onnx_path, input_dims, detections_output, prototypes_output, threads)
{}

XnnNetwork::~XnnNetwork() = default;

void XnnNetwork::forward(const cv::Mat &, cv::Mat &, cv::Mat &)
{
  throw std::logic_error("XnnNetwork::forward: built without XNNPACK");
}

}  // namespace det
