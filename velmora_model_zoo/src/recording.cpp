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

#include "recording.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <yaml-cpp/yaml.h>

#include "velmora_model_zoo/model_config.hpp"

namespace det
{
namespace
{

std::string directory_of(const std::string & path)
{
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool same_image(const cv::Mat & a, const cv::Mat & b)
{
  if (a.size() != b.size() || a.type() != b.type()) {return false;}
  cv::Mat diff;
  cv::compare(a.reshape(1), b.reshape(1), diff, cv::CMP_NE);
  return cv::countNonZero(diff) == 0;
}

// A picture the recording names: a pipe or device would block, a huge file fill memory.
void require_plain_picture(const std::string & file, const char * what)
{
  if (const std::string problem = file_problem(file, 256U << 20U); !problem.empty()) {
    throw std::runtime_error(std::string(what) + " '" + file + "' is " + problem);
  }
}

}  // namespace

RecordedDetections::RecordedDetections(const std::string & index_path)
: index_path_(index_path)
{
  YAML::Node root;
  try {
    root = YAML::LoadFile(index_path);
  } catch (const YAML::Exception & e) {
    throw std::runtime_error("recording '" + index_path + "' cannot be read: " + e.what());
  }
  const YAML::Node frames = root["frames"];
  if (!frames || !frames.IsSequence() || frames.size() == 0) {
    throw std::runtime_error(
            "recording '" + index_path + "': key 'frames' must be a non-empty "
            "list");
  }
  const std::string dir = directory_of(index_path);
  for (size_t f = 0; f < frames.size(); ++f) {
    const std::string where = "recording '" + index_path + "' frame " + std::to_string(f);
    const YAML::Node node = frames[f];
    Frame frame;
    try {
      if (node["image"]) {
        const std::string file = resolve_model_path(node["image"].as<std::string>(), dir);
        require_plain_picture(file, "image");
        frame.image = cv::imread(file, cv::IMREAD_COLOR);
        if (frame.image.empty()) {throw std::runtime_error("image '" + file + "' cannot be read");}
      }
      const YAML::Node objects = node["objects"];
      if (objects && !objects.IsSequence()) {throw std::runtime_error("'objects' is not a list");}
      for (size_t k = 0; objects && k < objects.size(); ++k) {
        const YAML::Node o = objects[k];
        Recorded rec;
        rec.object.label = o["label"].as<int>();
        // Scores order the detections and meet thresholds: NaN or one out of
        // range would be replayed as a detection no model can give.  Text that is no
        // YAML float (inf, 0.5x) gets the same message, naming the value.
        const YAML::Node score = o["score"];
        if (!score.IsDefined() || !score.IsScalar() ||
          !YAML::convert<float>::decode(score, rec.object.score) ||
          !std::isfinite(rec.object.score) || rec.object.score < 0.0F ||
          rec.object.score > 1.0F)
        {
          const std::string text =
            score.IsDefined() && score.IsScalar() ? " " + score.Scalar() : "";
          throw std::runtime_error(
                  "object " + std::to_string(k) + ": 'score'" + text +
                  " is not a number within [0, 1]");
        }
        const auto box = o["box"].as<std::vector<float>>();
        if (box.size() != 4 || rec.object.label < 0) {
          throw std::runtime_error(
                  "object " + std::to_string(k) +
                  ": 'box' must be [x, y, width, height] and 'label' >= 0");
        }
        rec.object.rect = cv::Rect_<float>(box[0], box[1], box[2], box[3]);
        rec.mask_file = resolve_model_path(o["mask"].as<std::string>(), dir);
        require_plain_picture(rec.mask_file, "mask");
        const cv::Mat mask = cv::imread(rec.mask_file, cv::IMREAD_GRAYSCALE);
        if (mask.empty()) {throw std::runtime_error("mask '" + rec.mask_file + "' cannot be read");}
        // Only the pixels of the box are kept, as the network's masks hold them.
        rec.image_size = mask.size();
        rec.object.mask_box = covering_pixels(
          rec.object.rect & cv::Rect_<float>(
            0.0F, 0.0F, static_cast<float>(mask.cols),
            static_cast<float>(mask.rows)),
          mask.size());
        if (!rec.object.mask_box.empty()) {
          cv::threshold(mask(rec.object.mask_box), rec.object.mask, 0, 1, cv::THRESH_BINARY);
        }
        frame.objects.push_back(std::move(rec));
      }
    } catch (const YAML::Exception & e) {
      throw std::runtime_error(where + ": " + e.what());
    } catch (const std::runtime_error & e) {
      throw std::runtime_error(where + ": " + e.what());
    }
    frames_.push_back(std::move(frame));
  }
}

void RecordedDetections::next(const cv::Mat & image, std::vector<Object> & objects)
{
  size_t chosen = cursor_;
  for (size_t f = 0; f < frames_.size(); ++f) {
    if (!frames_[f].image.empty() && same_image(frames_[f].image, image)) {
      chosen = f;
      break;
    }
  }
  cursor_ = (chosen + 1) % frames_.size();

  objects.clear();
  const cv::Rect_<float> bounds(0.0F, 0.0F, static_cast<float>(image.cols),
    static_cast<float>(image.rows));
  for (const Recorded & rec : frames_[chosen].objects) {
    if (rec.image_size != image.size()) {
      throw std::runtime_error(
              "recording '" + index_path_ + "': mask '" + rec.mask_file +
              "' is " + std::to_string(rec.image_size.width) + "x" +
              std::to_string(rec.image_size.height) + ", the image " +
              std::to_string(image.cols) + "x" + std::to_string(image.rows));
    }
    Object obj = rec.object;
    obj.rect &= bounds;
    obj.mask = rec.object.mask.clone();  // callers modify masks in place
    objects.push_back(std::move(obj));
  }
  std::stable_sort(
    objects.begin(), objects.end(),
    [](const Object & a, const Object & b) {return a.score > b.score;});
}

}  // namespace det
