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

// Runs a model configuration over image files and writes what it detects as a recording
// (the `recorded` source's index format, with one mask PNG per object), plus each image with
// its detections drawn, so that a pass can be replayed later without the network.
//
// usage: velmora_record_detections MODEL.yaml OUT_DIR IMAGE...
//   images are read with OpenCV (BGR files) and handed to detect() as RGB.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmora_model_zoo/draw.hpp"
#include "velmora_model_zoo/yolov8_seg.hpp"

namespace
{

const std::vector<std::vector<unsigned int>> kPalette{
  {255, 56, 56}, {255, 157, 151}, {255, 112, 31}, {255, 178, 29}, {207, 210, 49},
  {72, 249, 10}, {146, 204, 23}, {61, 219, 134}, {26, 147, 52}, {0, 212, 187}};

std::string frame_name(size_t i)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "frame_%04zu", i);
  return buf;
}

}  // namespace

int main(int argc, char ** argv)
{
  if (argc < 4) {
    std::cerr << "usage: " << argv[0] << " MODEL.yaml OUT_DIR IMAGE...\n";
    return 2;
  }
  try {
    YOLOv8Seg model(argv[1]);
    const std::string out = argv[2];
    std::filesystem::create_directories(out);
    std::ofstream index(out + "/frames.yaml");
    if (!index) {throw std::runtime_error("cannot write '" + out + "/frames.yaml'");}
    index << "# Recorded by velmora_record_detections from " << argv[1] << "\nframes:\n";
    for (int a = 3; a < argc; ++a) {
      const size_t f = static_cast<size_t>(a - 3);
      const cv::Mat bgr = cv::imread(argv[a], cv::IMREAD_COLOR);
      if (bgr.empty()) {
        throw std::runtime_error(std::string("cannot read image '") + argv[a] + "'");
      }
      cv::Mat rgb;
      cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
      std::vector<det::Object> objects;
      model.detect(rgb, objects);

      const std::string name = frame_name(f);
      // The image as detect() saw it (RGB bytes), for replay by content.
      cv::imwrite(out + "/" + name + ".png", rgb);
      index << "  - image: " << name << ".png  # " << argv[a] << "\n    objects:\n";
      if (objects.empty()) {index << "      []\n";}
      for (size_t k = 0; k < objects.size(); ++k) {
        const det::Object & o = objects[k];
        const std::string mask = name + "_" + std::to_string(k) + ".png";
        cv::imwrite(out + "/" + mask, det::image_mask(o, rgb.size()) * 255);
        index << "      - {label: " << o.label << ", score: " << o.score << ", box: [" << o.rect.x
              << ", " << o.rect.y << ", " << o.rect.width << ", " << o.rect.height
              << "], mask: " << mask << "}\n";
      }
      cv::Mat drawn;
      det::draw_objects_masks(rgb, drawn, objects, {}, kPalette, kPalette);
      cv::cvtColor(drawn, drawn, cv::COLOR_RGB2BGR);
      cv::imwrite(out + "/" + name + "_drawn.jpg", drawn);
      std::cout << argv[a] << ": " << objects.size() << " objects\n";
    }
  } catch (const std::exception & e) {
    std::cerr << "velmora_record_detections: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
