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

namespace det
{

enum class ModelSource { kNetwork, kRecorded };
// kCpu: XNNPACK where the library was built with it, else OpenCV DNN.
enum class DnnBackend { kCpu, kOpencv, kXnnpack, kCuda, kCudaFp16 };

// Thresholds and label handling applied to the network's raw outputs.
struct PostprocessParams
{
  int num_classes = 0;                // classes of the network's output
  float confidence_threshold = 0.25F;  // a candidate needs a score above this
  float nms_threshold = 0.45F;         // IoU above which the lower-scored box of a class goes
  float mask_threshold = 0.5F;         // mask probability above which a pixel is the object
  int max_detections = 100;            // kept after NMS, highest scores first
  int max_candidates = 30000;          // highest-scored candidates entering NMS
  // Network label -> label of the caller's class list; when not empty, unmapped network
  // labels are dropped.
  std::map<int, int> class_map;
};

// Contents of a model configuration file (format in the package README).
struct ModelConfig
{
  std::string path;  // the configuration file itself, for error messages
  ModelSource source = ModelSource::kNetwork;
  std::string onnx;       // resolved model path (network source)
  std::string recording;  // resolved recording index file (recorded source)
  int input_width = 0;
  int input_height = 0;
  DnnBackend backend = DnnBackend::kCpu;
  int threads = 1;  // the XNNPACK runner's threads (one camera's share of the cores)
  std::string detections_output = "output0";
  std::string prototypes_output = "output1";
  PostprocessParams post;
};

// Reads and checks a model configuration file.  File names in it are resolved relative to
// the file's directory, taken as absolute, or as package://<package>/<path> below the
// package's share directory.  Throws std::runtime_error naming the file, key and value.
ModelConfig load_model_config(const std::string & path);

// Why `path` may not be read as a file of at most `max_bytes`: "a named pipe,
// not a regular file", "... bytes, more than ..."; "" when it may (or is
// missing: the reader says so). A pipe or device would block start-up or never end.
std::string file_problem(const std::string & path, std::uintmax_t max_bytes);

// Resolves a file name as load_model_config does; `base_dir` is the configuration's directory.
std::string resolve_model_path(const std::string & name, const std::string & base_dir);

}  // namespace det
