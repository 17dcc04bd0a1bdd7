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

#include "velmora_model_zoo/seg_postprocess.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

namespace det
{
namespace
{

std::string shape_of(const cv::Mat & m)
{
  std::string s = "(";
  for (int i = 0; i < m.dims; ++i) {
    s += (i ? ", " : "") + std::to_string(m.size[i]);
  }
  return s + ")";
}

bool finite(double v) {return std::isfinite(v);}

}  // namespace

Letterbox Letterbox::fit(cv::Size image, cv::Size input)
{
  Letterbox lb;
  lb.image = image;
  lb.input = input;
  const double r = std::min(
    static_cast<double>(input.width) / image.width,
    static_cast<double>(input.height) / image.height);
  lb.scaled = cv::Size(
    std::max(1, static_cast<int>(std::lround(image.width * r))),
    std::max(1, static_cast<int>(std::lround(image.height * r))));
  lb.scaled.width = std::min(lb.scaled.width, input.width);
  lb.scaled.height = std::min(lb.scaled.height, input.height);
  lb.left = (input.width - lb.scaled.width) / 2;
  lb.top = (input.height - lb.scaled.height) / 2;
  lb.scale_x = static_cast<double>(lb.scaled.width) / image.width;
  lb.scale_y = static_cast<double>(lb.scaled.height) / image.height;
  return lb;
}

cv::Point2d Letterbox::to_image(cv::Point2d p) const
{
  return {(p.x - left) / scale_x, (p.y - top) / scale_y};
}

void letterbox_blob(
  const cv::Mat & image, const Letterbox & lb, cv::Mat & blob, cv::Mat & canvas,
  cv::Mat & plane)
{
  canvas.create(lb.input, CV_8UC3);
  canvas.setTo(cv::Scalar::all(114));
  cv::Mat inner = canvas(cv::Rect(cv::Point(lb.left, lb.top), lb.scaled));
  if (lb.scaled == image.size()) {
    image.copyTo(inner);
  } else {
    cv::resize(image, inner, lb.scaled, 0, 0, cv::INTER_LINEAR);
  }
  const int h = lb.input.height;
  const int w = lb.input.width;
  blob.create(std::vector<int>{1, 3, h, w}, CV_32F);
  // The image is RGB already: channel c goes to plane c unchanged.
  for (int c = 0; c < 3; ++c) {
    cv::extractChannel(canvas, plane, c);
    cv::Mat dst(h, w, CV_32F, blob.ptr<float>() + static_cast<size_t>(c) * h * w);
    plane.convertTo(dst, CV_32F, 1.0 / 255.0);
  }
}

SegPostprocessor::SegPostprocessor(PostprocessParams params)
: params_(std::move(params)),
  mask_logit_threshold_(std::log(params_.mask_threshold / (1.0F - params_.mask_threshold))) {}

void SegPostprocessor::check_layout(
  const cv::Mat & det, const cv::Mat & protos,
  const std::string & what) const
{
  const std::string shapes = " (detections " + shape_of(det) + ", prototypes " +
    shape_of(protos) + ")";
  if (det.type() != CV_32F || protos.type() != CV_32F) {
    throw std::runtime_error(what + ": outputs are not float32" + shapes);
  }
  if (det.dims != 3 || det.size[0] != 1 || protos.dims != 4 || protos.size[0] != 1) {
    throw std::runtime_error(
            what + ": outputs are not the YOLOv8-seg layout (1, 4+nc+nm, N) "
            "and (1, nm, H, W)" + shapes);
  }
  if (!det.isContinuous() || !protos.isContinuous()) {
    throw std::runtime_error(what + ": outputs are not continuous" + shapes);
  }
  const int nm = protos.size[1];
  const int nc = det.size[1] - 4 - nm;
  if (nm < 1 || nc < 1 || det.size[2] < 1 || protos.size[2] < 1 || protos.size[3] < 1) {
    throw std::runtime_error(what + ": outputs are not the YOLOv8-seg layout" + shapes);
  }
  if (nc != params_.num_classes) {
    throw std::runtime_error(
            what + ": outputs hold " + std::to_string(nc) +
            " classes, the configuration says num_classes " +
            std::to_string(params_.num_classes) + shapes);
  }
}

int SegPostprocessor::map_label(int network_label) const
{
  if (params_.class_map.empty()) {return network_label;}
  const auto it = params_.class_map.find(network_label);
  return it == params_.class_map.end() ? -1 : it->second;
}

void SegPostprocessor::collect_candidates(
  const cv::Mat & det, bool keep_unmapped,
  std::vector<Candidate> & out) const
{
  const int n = det.size[2];
  const int nc = params_.num_classes;
  const float * data = det.ptr<float>();
  // Row-wise argmax keeps the reads sequential: the tensor is (channels, anchors).
  std::vector<float> best(n, -std::numeric_limits<float>::infinity());
  std::vector<int> best_class(n, -1);
  for (int c = 0; c < nc; ++c) {
    const float * row = data + static_cast<size_t>(4 + c) * n;
    for (int i = 0; i < n; ++i) {
      if (row[i] > best[i]) {  // false for NaN
        best[i] = row[i];
        best_class[i] = c;
      }
    }
  }
  const float * cx = data;
  const float * cy = data + n;
  const float * w = data + 2 * static_cast<size_t>(n);
  const float * h = data + 3 * static_cast<size_t>(n);
  out.clear();
  for (int i = 0; i < n; ++i) {
    if (!(best[i] > params_.confidence_threshold)) {continue;}
    const int mapped = map_label(best_class[i]);
    if (mapped < 0 && !keep_unmapped) {continue;}
    const int label = mapped >= 0 ? mapped : -1 - best_class[i];
    if (!finite(cx[i]) || !finite(cy[i]) || !(w[i] > 0.0F) || !(h[i] > 0.0F) ||
      !finite(w[i]) || !finite(h[i]))
    {
      continue;
    }
    out.push_back(
      {i, label, best[i],
        cv::Rect2d(cx[i] - 0.5 * w[i], cy[i] - 0.5 * h[i], w[i], h[i])});
  }
  auto by_score = [](const Candidate & a, const Candidate & b) {return a.score > b.score;};
  if (out.size() > static_cast<size_t>(params_.max_candidates)) {
    std::partial_sort(out.begin(), out.begin() + params_.max_candidates, out.end(), by_score);
    out.resize(params_.max_candidates);
  }
}

std::vector<SegPostprocessor::Candidate> SegPostprocessor::suppress(
  std::vector<Candidate> & candidates) const
{
  std::map<int, std::vector<size_t>> by_label;
  for (size_t i = 0; i < candidates.size(); ++i) {
    by_label[candidates[i].label].push_back(i);
  }

  std::vector<Candidate> kept;
  std::vector<cv::Rect2d> boxes;
  std::vector<float> scores;
  std::vector<int> indices;
  for (const auto & group : by_label) {
    boxes.clear();
    scores.clear();
    for (size_t i : group.second) {
      boxes.push_back(candidates[i].box);
      scores.push_back(candidates[i].score);
    }
    // Every candidate already scored above the (non-negative) confidence threshold.
    cv::dnn::NMSBoxes(
      boxes, scores, 0.0F,
      params_.nms_threshold, indices);
    for (int k : indices) {
      kept.push_back(candidates[group.second[static_cast<size_t>(k)]]);
    }
  }
  std::stable_sort(
    kept.begin(), kept.end(),
    [](const Candidate & a, const Candidate & b) {return a.score > b.score;});
  return kept;
}

void SegPostprocessor::make_mask(
  const cv::Mat & det, const cv::Mat & protos, int anchor,
  const cv::Rect2d & box, const Letterbox & lb, Object & obj) const
{
  // Pixels whose centre lies inside the box; the mask covers these only.
  const int x0 = std::max(0, static_cast<int>(std::ceil(box.x - 0.5)));
  const int y0 = std::max(0, static_cast<int>(std::ceil(box.y - 0.5)));
  const int x1 = std::min(lb.image.width - 1, static_cast<int>(std::floor(box.br().x - 0.5)));
  const int y1 = std::min(lb.image.height - 1, static_cast<int>(std::floor(box.br().y - 0.5)));
  obj.mask = cv::Mat();
  obj.mask_box = cv::Rect();
  if (x1 < x0 || y1 < y0) {return;}

  const int nm = protos.size[1];
  const int ph = protos.size[2];
  const int pw = protos.size[3];
  const double rx = static_cast<double>(lb.input.width) / pw;  // input pixels per prototype pixel
  const double ry = static_cast<double>(lb.input.height) / ph;
  // Image pixel centre -> prototype pixel coordinate (centres at integers).
  const double ax = lb.scale_x / rx;
  const double bx = (0.5 * lb.scale_x + lb.left) / rx - 0.5;
  const double ay = lb.scale_y / ry;
  const double by = (0.5 * lb.scale_y + lb.top) / ry - 0.5;

  // Prototype window that bilinear sampling of the box can touch.
  const int px0 = std::clamp(static_cast<int>(std::floor(ax * x0 + bx)) - 1, 0, pw - 1);
  const int px1 = std::clamp(static_cast<int>(std::ceil(ax * x1 + bx)) + 1, 0, pw - 1);
  const int py0 = std::clamp(static_cast<int>(std::floor(ay * y0 + by)) - 1, 0, ph - 1);
  const int py1 = std::clamp(static_cast<int>(std::ceil(ay * y1 + by)) + 1, 0, ph - 1);
  const int ww = px1 - px0 + 1;
  const int wh = py1 - py0 + 1;

  const int n = det.size[2];
  const float * coef = det.ptr<float>() + static_cast<size_t>(4 + params_.num_classes) * n + anchor;
  cv::Mat logits(wh, ww, CV_32F, cv::Scalar(0));
  const size_t plane = static_cast<size_t>(ph) * pw;
  for (int k = 0; k < nm; ++k) {
    const float c = coef[static_cast<size_t>(k) * n];
    const float * proto = protos.ptr<float>() + k * plane;
    for (int y = 0; y < wh; ++y) {
      const float * src = proto + static_cast<size_t>(py0 + y) * pw + px0;
      float * dst = logits.ptr<float>(y);
      for (int x = 0; x < ww; ++x) {
        dst[x] += c * src[x];
      }
    }
  }

  const cv::Size roi_size(x1 - x0 + 1, y1 - y0 + 1);
  const cv::Matx23d to_window(ax, 0.0, ax * x0 + bx - px0, 0.0, ay, ay * y0 + by - py0);
  cv::Mat sampled;
  cv::warpAffine(
    logits, sampled, to_window, roi_size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
    cv::BORDER_REPLICATE);
  // Plain constructors, not Mat::zeros: OpenCV initialises its MatExpr machinery lazily
  // without synchronisation, and cameras detect in parallel.
  cv::Mat roi(roi_size, CV_8UC1, cv::Scalar(0));
  // NaN compares false and stays background.
  cv::compare(sampled, mask_logit_threshold_, roi, cv::CMP_GT);
  roi &= 1;
  obj.mask = roi;
  obj.mask_box = cv::Rect(cv::Point(x0, y0), roi_size);
}

void SegPostprocessor::run(
  const cv::Mat & det, const cv::Mat & protos, const Letterbox & lb,
  std::vector<Object> & objects, std::vector<Object> * unmapped) const
{
  check_layout(det, protos, "YOLOv8-seg postprocessing");
  objects.clear();
  if (unmapped) {unmapped->clear();}
  std::vector<Candidate> candidates;
  collect_candidates(det, unmapped != nullptr, candidates);
  const std::vector<Candidate> kept = suppress(candidates);

  const cv::Rect2d image_rect(0.0, 0.0, lb.image.width, lb.image.height);
  for (const Candidate & c : kept) {
    std::vector<Object> & out = c.label >= 0 ? objects : *unmapped;
    if (out.size() >= static_cast<size_t>(params_.max_detections)) {continue;}
    const cv::Point2d tl = lb.to_image(c.box.tl());
    const cv::Point2d br = lb.to_image(c.box.br());
    const cv::Rect2d clipped = cv::Rect2d(tl, br) & image_rect;
    Object obj;
    obj.rect = cv::Rect_<float>(
      static_cast<float>(clipped.x), static_cast<float>(clipped.y),
      static_cast<float>(clipped.width),
      static_cast<float>(clipped.height));
    // Checked after the conversion: a sliver narrower than float resolution becomes 0 wide.
    if (!(obj.rect.width > 0.0F && obj.rect.height > 0.0F)) {continue;}
    obj.label = c.label >= 0 ? c.label : -1 - c.label;
    obj.score = c.score;
    if (c.label >= 0) {make_mask(det, protos, c.anchor, clipped, lb, obj);}
    out.push_back(std::move(obj));
  }
}

}  // namespace det
