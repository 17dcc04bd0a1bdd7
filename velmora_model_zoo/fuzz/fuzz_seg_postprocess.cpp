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

// The decoder on arbitrary output tensors: any dimensions, sizes and element
// types, any float bit patterns (NaN and inf included), any letterbox and
// thresholds a valid configuration allows. check_layout may refuse with a
// message; what it accepts, run must decode into sane detections.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/seg_postprocess.hpp"

namespace
{

[[noreturn]] void Fail(const std::string & why)
{
  std::fprintf(stderr, "fuzz check failed: %s\n", why.c_str());
  std::abort();
}

cv::Mat Tensor(FuzzedDataProvider & in, int usual_dims)
{
  static const int kTypes[] = {CV_32F, CV_32F, CV_32F, CV_64F, CV_8U};
  const int dims = in.ConsumeBool() ? usual_dims : in.ConsumeIntegralInRange<int>(1, 5);
  std::vector<int> sizes(static_cast<std::size_t>(dims));
  std::size_t total = 1;
  for (int & s : sizes) {
    s = in.ConsumeIntegralInRange<int>(0, 48);
    total *= static_cast<std::size_t>(s);
  }
  if (total > (1U << 16)) {
    return cv::Mat();                         // keeps every run fast
  }
  const int type = kTypes[in.ConsumeIntegralInRange<int>(0, 4)];
  cv::Mat m(dims, sizes.data(), type, cv::Scalar::all(0));
  if (total > 0) {
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(total * m.elemSize());
    if (!bytes.empty()) {std::memcpy(m.data, bytes.data(), bytes.size());}
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  FuzzedDataProvider in(data, size);
  det::PostprocessParams params;
  params.num_classes = in.ConsumeIntegralInRange<int>(1, 20);
  params.confidence_threshold = in.ConsumeFloatingPointInRange<float>(0.0F, 1.0F);
  params.nms_threshold = in.ConsumeFloatingPointInRange<float>(0.0F, 1.0F);
  params.mask_threshold = in.ConsumeFloatingPointInRange<float>(0.01F, 0.99F);
  params.max_detections = in.ConsumeIntegralInRange<int>(1, 100);
  params.max_candidates = in.ConsumeIntegralInRange<int>(1, 1000);
  if (in.ConsumeBool()) {
    const int entries = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < entries; ++i) {
      params.class_map[in.ConsumeIntegralInRange<int>(0, params.num_classes - 1)] =
        in.ConsumeIntegralInRange<int>(0, 30);
    }
  }
  const cv::Size image(in.ConsumeIntegralInRange<int>(1, 200), in.ConsumeIntegralInRange<int>(
      1,
      200));
  const cv::Size input(32 * in.ConsumeIntegralInRange<int>(1, 6),
    32 * in.ConsumeIntegralInRange<int>(1, 6));
  const det::Letterbox lb = det::Letterbox::fit(image, input);
  const cv::Mat detections = Tensor(in, 3);
  const cv::Mat prototypes = Tensor(in, 4);

  const det::SegPostprocessor post(params);
  try {
    post.check_layout(detections, prototypes, "fuzz model");
  } catch (const std::runtime_error & e) {
    if (std::string(e.what()).find("fuzz model") == std::string::npos) {
      Fail(std::string("refusal does not name the model: ") + e.what());
    }
    return 0;
  }
  std::vector<det::Object> objects;
  post.run(detections, prototypes, lb, objects);
  if (objects.size() > static_cast<std::size_t>(params.max_detections)) {
    Fail("too many detections");
  }
  float last_score = std::numeric_limits<float>::infinity();
  for (const det::Object & o : objects) {
    const bool inside = o.rect.x >= 0.0F && o.rect.y >= 0.0F && o.rect.width > 0.0F &&
      o.rect.height > 0.0F && o.rect.x + o.rect.width <= image.width + 1e-3F &&
      o.rect.y + o.rect.height <= image.height + 1e-3F;
    if (!inside) {
      Fail(
        "box outside the image or empty: x " + std::to_string(o.rect.x) + " y " +
        std::to_string(o.rect.y) +
        " w " + std::to_string(o.rect.width) + " h " + std::to_string(o.rect.height));
    }
    if (!o.mask.empty() && (o.mask.size() != o.mask_box.size() || o.mask.type() != CV_8UC1 ||
      (o.mask_box & cv::Rect(cv::Point(), image)) != o.mask_box))
    {
      Fail("mask is not an 8UC1 of its box inside the image");
    }
    if (!(o.score > params.confidence_threshold) || o.score > last_score) {Fail("score order");}
    last_score = o.score;
    if (o.label < 0) {Fail("negative label");}
  }
  return 0;
}
