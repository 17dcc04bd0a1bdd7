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

#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/model_config.hpp"
#include "velmora_model_zoo/object.hpp"

namespace det
{

// Placement of an image inside the network input: scaled to fit, centred, padded.
struct Letterbox
{
  cv::Size image;     // original image size
  cv::Size input;     // network input size
  cv::Size scaled;    // size of the scaled image inside the input
  int left = 0;       // padding left of the scaled image
  int top = 0;        // padding above the scaled image
  double scale_x = 1.0;  // scaled.width / image.width
  double scale_y = 1.0;  // scaled.height / image.height

  static Letterbox fit(cv::Size image, cv::Size input);
  // Input coordinates (pixel edges, as boxes use them) to image coordinates.
  cv::Point2d to_image(cv::Point2d input_point) const;
};

// Fills `blob` (1x3xHxW float, RGB 0..1) with `image` (RGB 8-bit) letterboxed into `lb.input`
// with grey 114 padding.  `blob` and the `canvas` and `plane` workspaces keep their buffers
// when they already have the right size, so repeated calls allocate nothing.
void letterbox_blob(
  const cv::Mat & image, const Letterbox & lb, cv::Mat & blob, cv::Mat & canvas,
  cv::Mat & plane);

// Turns the two YOLOv8-seg outputs into detections:
//   detections (1, 4 + nc + nm, N): cx, cy, w, h in input pixels, nc class scores (after
//   sigmoid), nm mask coefficients;  prototypes (1, nm, H/4, W/4).
// Candidates above the confidence threshold are suppressed per (mapped) class, and the
// survivors get full-image 0/1 masks; detections come out in descending score order.
class SegPostprocessor
{
public:
  explicit SegPostprocessor(PostprocessParams params);

  // Throws std::runtime_error naming the shapes when the tensors are not that layout or
  // disagree with params.num_classes.  `what` names the model in the message.
  void check_layout(
    const cv::Mat & detections, const cv::Mat & prototypes,
    const std::string & what) const;

  // With `unmapped`, it receives the detections whose network label the class map leaves
  // out (label: the network's, no mask), suppressed among themselves, so that a caller can
  // say what it was not given.
  void run(
    const cv::Mat & detections, const cv::Mat & prototypes, const Letterbox & lb,
    std::vector<Object> & objects, std::vector<Object> * unmapped = nullptr) const;

  const PostprocessParams & params() const {return params_;}

private:
  struct Candidate
  {
    int anchor;
    int label;  // after the class map; -1 - network label when the map leaves it out
    float score;
    cv::Rect2d box;  // input pixels
  };

  void collect_candidates(
    const cv::Mat & detections, bool keep_unmapped,
    std::vector<Candidate> & out) const;
  std::vector<Candidate> suppress(std::vector<Candidate> & candidates) const;
  // Sets obj.mask and obj.mask_box: the pixels whose centre lies in `image_box`.
  void make_mask(
    const cv::Mat & detections, const cv::Mat & prototypes, int anchor,
    const cv::Rect2d & image_box, const Letterbox & lb, Object & obj) const;
  int map_label(int network_label) const;

  PostprocessParams params_;
  float mask_logit_threshold_;
};

}  // namespace det
