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
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/model_config.hpp"
#include "velmora_model_zoo/object.hpp"
#include "velmora_model_zoo/seg_postprocess.hpp"

namespace det
{

// YOLOv8-seg instance segmentation through XNNPACK or OpenCV DNN, or a replay of recorded
// detections, as the model configuration file chooses.  One instance per camera: detect() may
// be called from one thread at a time per instance (calls are serialised internally).
class YOLOv8Seg
{
public:
  // Loads the model configuration file and what it names.  Throws std::runtime_error naming
  // the file, key, value or output shape that is wrong.
  explicit YOLOv8Seg(const std::string & config_path);
  virtual ~YOLOv8Seg();
  YOLOv8Seg(const YOLOv8Seg &) = delete;
  YOLOv8Seg & operator=(const YOLOv8Seg &) = delete;

  // Detects objects in an RGB 8-bit 3-channel image; replaces `objects`, highest score first.
  // Throws std::invalid_argument for an empty image or one of another type.
  virtual void detect(const cv::Mat & image, std::vector<Object> & objects);
  // The last detect()'s detections that the class_map leaves out: label is the network's,
  // no mask.  Empty without a class_map or for recorded detections.
  std::vector<Object> unmapped() const;

  // The three stages of detect() for the network source, callable on their own for timing.
  Letterbox preprocess(const cv::Mat & image, cv::Mat & blob) const;
  void forward(const cv::Mat & blob, cv::Mat & detections, cv::Mat & prototypes);
  void postprocess(
    const cv::Mat & detections, const cv::Mat & prototypes, const Letterbox & lb,
    std::vector<Object> & objects) const;

  const ModelConfig & config() const {return config_;}

  // What runs the network: "xnnpack" or "opencv" ("recording" for recorded detections, "none"
  // for a test double), for the node's start-up log line.
  const char * engine() const;

protected:
  // For test doubles that override detect(): no model is loaded.
  YOLOv8Seg();

private:
  class Network;
  class Recording;

  ModelConfig config_;
  mutable std::mutex detect_mutex_;
  std::vector<Object> unmapped_;
  std::unique_ptr<Network> network_;
  std::unique_ptr<Recording> recording_;
};

}  // namespace det

// The product names the model class without a namespace.
using det::YOLOv8Seg;
