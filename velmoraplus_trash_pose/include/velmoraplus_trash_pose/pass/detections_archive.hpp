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

#ifndef VELMORAPLUS_TRASH_POSE__PASS__DETECTIONS_ARCHIVE_HPP_
#define VELMORAPLUS_TRASH_POSE__PASS__DETECTIONS_ARCHIVE_HPP_

#include <string>
#include <vector>

#include <opencv2/core/types.hpp>

#include "velmora_model_zoo/object.hpp"

namespace velmora
{

// Writes `detections` as a recording of the model library (one frame):
// "<stem><stamp>[detections].yaml" and one "<stem><stamp>[det<k>][mask].png"
// per detection, so a model configuration with `source: recorded` replays
// them exactly. `stamp` is the pass's claimed stamp (ClaimPassStamp); a name
// someone else already wrote is left alone and reported as not written.
// False when a file cannot be written.
bool SaveDetections(
  const std::string & stem, const std::string & stamp,
  const std::vector<det::Object> & detections, cv::Size image_size);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__PASS__DETECTIONS_ARCHIVE_HPP_
