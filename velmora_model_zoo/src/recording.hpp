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

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velmora_model_zoo/object.hpp"

namespace det
{

// Detections recorded per frame, replayed instead of running a network (index format in
// the package README).
class RecordedDetections
{
public:
  // Loads the index file and every image and mask it names; throws std::runtime_error
  // naming the file, frame and key that are wrong.
  explicit RecordedDetections(const std::string & index_path);

  // The frame whose recorded image equals `image`, else the next frame in order (wrapping
  // around).  Throws std::runtime_error when a mask's size differs from the image's.
  void next(const cv::Mat & image, std::vector<Object> & objects);

  size_t size() const {return frames_.size();}

private:
  struct Recorded
  {
    Object object;           // the mask cut to the box
    cv::Size image_size;     // of the mask file, which must be the image's
    std::string mask_file;
  };
  struct Frame
  {
    cv::Mat image;  // empty when the frame is replayed by order only
    std::vector<Recorded> objects;
  };

  std::string index_path_;
  std::vector<Frame> frames_;
  size_t cursor_ = 0;
};

}  // namespace det
