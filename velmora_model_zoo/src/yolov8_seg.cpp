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

#include "velmora_model_zoo/yolov8_seg.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include <opencv2/dnn.hpp>

#include "recording.hpp"
#include "xnn_network.hpp"

namespace det
{
namespace
{

std::string type_name(const cv::Mat & m)
{
  return "depth " + std::to_string(m.depth()) + " with " + std::to_string(m.channels()) +
         " channel(s)";
}

void check_image(const cv::Mat & image)
{
  if (image.empty()) {throw std::invalid_argument("YOLOv8Seg::detect: the input image is empty");}
  if (image.type() != CV_8UC3) {
    throw std::invalid_argument(
            "YOLOv8Seg::detect: the input image must be 8-bit 3-channel RGB, "
            "not " + type_name(image));
  }
}

void select_backend(cv::dnn::Net & net, const ModelConfig & config)
{
  if (config.backend == DnnBackend::kCpu || config.backend == DnnBackend::kOpencv) {
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return;
  }
  const cv::dnn::Target target = config.backend == DnnBackend::kCuda ?
    cv::dnn::DNN_TARGET_CUDA :
    cv::dnn::DNN_TARGET_CUDA_FP16;
  const auto targets = cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_CUDA);
  if (std::find(targets.begin(), targets.end(), target) == targets.end()) {
    throw std::runtime_error(
            "model configuration '" + config.path + "': key 'backend' value '" +
            (config.backend == DnnBackend::kCuda ? "cuda" : "cuda_fp16") +
            "' is not available: this OpenCV (" CV_VERSION
            ") was built without the CUDA DNN backend or sees no CUDA device");
  }
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_CUDA);
  net.setPreferableTarget(target);
}

bool uses_xnnpack(const ModelConfig & config)
{
  return config.backend == DnnBackend::kXnnpack ||
         (config.backend == DnnBackend::kCpu && xnnpack_built_in());
}

}  // namespace

class YOLOv8Seg::Network
{
public:
  explicit Network(const ModelConfig & config)
  : config_(config), post_(config.post), input_(config.input_width, config.input_height)
  {
    if (uses_xnnpack(config)) {
      xnn_ = std::make_unique<XnnNetwork>(
        config.onnx, std::vector<int>{1, 3, input_.height, input_.width},
        config.detections_output, config.prototypes_output, config.threads);
      warm_up();
      return;
    }
    try {
      net_ = cv::dnn::readNetFromONNX(config.onnx);
    } catch (const cv::Exception & e) {
      throw std::runtime_error(
              "ONNX model '" + config.onnx + "' cannot be loaded by OpenCV " +
              CV_VERSION + " (prepare it with tools/prepare_model.py): " +
              e.what());
    }
    if (net_.empty()) {throw std::runtime_error("ONNX model '" + config.onnx + "' is empty");}
    select_backend(net_, config);
    const auto names = net_.getUnconnectedOutLayersNames();
    for (const std::string & wanted : {config.detections_output, config.prototypes_output}) {
      if (std::find(names.begin(), names.end(), wanted) == names.end()) {
        std::string have;
        for (const auto & n : names) {have += (have.empty() ? "" : ", ") + n;}
        throw std::runtime_error(
                "ONNX model '" + config.onnx + "' has no output '" + wanted +
                "' (outputs: " + have + ")");
      }
    }
    try {
      warm_up();
    } catch (const cv::Exception & e) {
      throw std::runtime_error(
              "ONNX model '" + config.onnx + "' fails in OpenCV " + CV_VERSION +
              " for input " + std::to_string(input_.width) + "x" +
              std::to_string(input_.height) +
              " (prepare it with tools/prepare_model.py): " + e.what());
    }
  }

  const char * engine() const
  {
    return xnn_ ? "xnnpack" : "opencv";
  }

  Letterbox preprocess(const cv::Mat & image, cv::Mat & blob) const
  {
    check_image(image);
    const Letterbox lb = Letterbox::fit(image.size(), input_);
    const std::lock_guard<std::mutex> lock(workspace_mutex_);
    letterbox_blob(image, lb, blob, canvas_, plane_);
    return lb;
  }

  // detect()'s own input and output buffers, reused from call to call.
  cv::Mat & blob() {return blob_;}
  cv::Mat & detections() {return det_;}
  cv::Mat & prototypes() {return protos_;}

  void forward(const cv::Mat & blob, cv::Mat & det, cv::Mat & protos)
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (xnn_) {
      xnn_->forward(blob, det, protos);
      return;
    }
    std::vector<cv::Mat> outs;
    net_.setInput(blob);
    net_.forward(
      outs, std::vector<std::string>{config_.detections_output,
        config_.prototypes_output});
    det = outs.at(0);
    protos = outs.at(1);
  }

  const SegPostprocessor & post() const {return post_;}

private:
  // One pass checks the output layout now rather than on the first image.
  void warm_up()
  {
    cv::Mat blob;
    preprocess(cv::Mat(input_, CV_8UC3, cv::Scalar::all(114)), blob);
    cv::Mat det;
    cv::Mat protos;
    forward(blob, det, protos);
    post_.check_layout(det, protos, "ONNX model '" + config_.onnx + "'");
  }

  const ModelConfig & config_;
  SegPostprocessor post_;
  cv::Size input_;
  cv::dnn::Net net_;
  std::unique_ptr<XnnNetwork> xnn_;
  std::mutex mutex_;
  // Reused buffers: large per-frame allocations cost page faults every frame.
  mutable std::mutex workspace_mutex_;
  mutable cv::Mat canvas_;
  mutable cv::Mat plane_;
  cv::Mat blob_;
  cv::Mat det_;
  cv::Mat protos_;
};

class YOLOv8Seg::Recording : public RecordedDetections
{
public:
  using RecordedDetections::RecordedDetections;
};

YOLOv8Seg::YOLOv8Seg() = default;

YOLOv8Seg::YOLOv8Seg(const std::string & config_path)
: config_(load_model_config(config_path))
{
  if (config_.source == ModelSource::kRecorded) {
    recording_ = std::make_unique<Recording>(config_.recording);
  } else {
    network_ = std::make_unique<Network>(config_);
  }
}

YOLOv8Seg::~YOLOv8Seg() = default;

void YOLOv8Seg::detect(const cv::Mat & image, std::vector<Object> & objects)
{
  check_image(image);
  const std::lock_guard<std::mutex> lock(detect_mutex_);
  if (recording_) {
    recording_->next(image, objects);
    return;
  }
  if (!network_) {
    objects.clear();
    return;
  }
  cv::Mat & blob = network_->blob();
  const Letterbox lb = preprocess(image, blob);
  cv::Mat & det = network_->detections();
  cv::Mat & protos = network_->prototypes();
  forward(blob, det, protos);
  network_->post().run(det, protos, lb, objects, &unmapped_);
}

std::vector<Object> YOLOv8Seg::unmapped() const
{
  const std::lock_guard<std::mutex> lock(detect_mutex_);
  return unmapped_;
}

const char * YOLOv8Seg::engine() const
{
  if (recording_) {return "recording";}
  return network_ ? network_->engine() : "none";
}

Letterbox YOLOv8Seg::preprocess(const cv::Mat & image, cv::Mat & blob) const
{
  if (!network_) {throw std::logic_error("YOLOv8Seg::preprocess: no network is loaded");}
  return network_->preprocess(image, blob);
}

void YOLOv8Seg::forward(const cv::Mat & blob, cv::Mat & det, cv::Mat & protos)
{
  if (!network_) {throw std::logic_error("YOLOv8Seg::forward: no network is loaded");}
  network_->forward(blob, det, protos);
}

void YOLOv8Seg::postprocess(
  const cv::Mat & det, const cv::Mat & protos, const Letterbox & lb,
  std::vector<Object> & objects) const
{
  if (!network_) {throw std::logic_error("YOLOv8Seg::postprocess: no network is loaded");}
  network_->post().run(det, protos, lb, objects);
}

}  // namespace det
