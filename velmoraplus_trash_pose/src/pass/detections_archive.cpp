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

#include "velmoraplus_trash_pose/pass/detections_archive.hpp"

#include <filesystem>
#include <fstream>
#include <iomanip>

#include "velmoraplus_trash_pose/core/debug_archive.hpp"
#include "velmoraplus_trash_pose/core/yaml_quote.hpp"

namespace velmora
{

bool SaveDetections(
  const std::string & stem, const std::string & stamp,
  const std::vector<det::Object> & detections, cv::Size image_size)
{
  const std::string index_path = CreatePassFile(stem, stamp, "[detections].yaml");
  if (index_path.empty()) {
    return false;
  }
  std::ofstream index(index_path);
  index << std::setprecision(9);
  index << "# Detections of one pass, replayable with a model configuration\n"
        << "# {source: recorded, recording: <this file>}.\n"
        << "frames:\n  - objects:" << (detections.empty() ? " []" : "") << "\n";
  bool written = true;
  for (std::size_t k = 0; k < detections.size(); ++k) {
    const det::Object & d = detections[k];
    const std::string tail = "[det" + std::to_string(k) + "][mask].png";
    // A recording's masks are image-size pictures; a box that holds no pixel
    // centre has an empty mask, written as an all-zero picture so that the
    // recording replays.
    const cv::Mat mask = d.mask.empty() ? cv::Mat(cv::Mat::zeros(image_size, CV_8UC1)) :
      cv::Mat(det::image_mask(d, image_size) != 0);
    written = SavePassImage(stem, stamp, tail, mask) && written;
    index << "      - label: " << d.label << "\n"
          << "        score: " << d.score << "\n"
          << "        box: [" << d.rect.x << ", " << d.rect.y << ", " << d.rect.width << ", " <<
      d.rect.height << "]\n"
          << "        mask: " <<
      YamlQuoted(std::filesystem::path(stem + stamp + tail).filename().string()) << "\n";
  }
  index.close();
  if (!written || !index) {
    // A recording naming a mask that is not there cannot be replayed: none then.
    std::error_code ignored;
    std::filesystem::remove(index_path, ignored);
    return false;
  }
  return true;
}

}  // namespace velmora
