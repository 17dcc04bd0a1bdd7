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

// Arbitrary YAML as a camera file, a class table or the top-level file, read
// with the keys and types the node reads. The first byte picks the file kind.
// Any rejection must be one ConfigError naming the file; nothing else may
// escape, crash or hang.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

#include "fuzz_support.hpp"
#include "velmoraplus_trash_pose/core/class_tables.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace
{

using velmora::YamlReader;

void ReadCameraFile(const YamlReader & file)
{
  const std::string p = "camera_detection_params/";
  file.Get<int>(p + "cam_id");
  file.Get<bool>(p + "is_debug");
  file.Get<bool>(p + "is_realtime_estimate");
  file.Get<bool>(p + "is_enable_semantic");
  file.Get<int>(p + "detect_duration");
  file.Get<std::string>(p + "camera_frame_id");
  file.Get<std::string>(p + "robot_frame_id");
  file.Get<int>(p + "image_edge_threshold");
  file.Get<unsigned>(p + "min_trash_cloud_size_treshold");
  file.Get<float>(p + "null_ratio_threshold");
  file.Get<float>(p + "hw_ratio_threshold");
  file.Get<int>(p + "mask_erosion_size");
  file.Get<std::string>(p + "pose_estimate_config_file");
  file.Get<float>(p + "trash_mask_iou_v1");
  file.Get<float>(p + "ground_max_th");
  for (const char * topic : {"detected_image_topic", "trashes_cloud_topic", "camera_info_topic",
      "rgb_topic", "depth_topic", "model_type", "class_txt",
      "model_cfg_file"})
  {
    file.Get<std::string>(p + topic);
  }
}

void ReadClassTable(const YamlReader & file)
{
  velmora::ClassConf conf;
  for (const auto & field : velmora::kClassConfFields) {
    conf.*(field.field) = file.Get<float>(field.key);
  }
}

void ReadTopLevelFile(const YamlReader & file)
{
  file.Get<int>("velmoraplus_trash_pose/cam_num");
  file.Get<std::string>("velmoraplus_trash_pose/detect_service");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  static const velmora_fuzz::ScratchDir scratch;
  if (size == 0) {return 0;}
  const int kind = data[0] % 3;
  const char * names[] = {"cam1_detect_config.yaml", "class_conf.yaml",
    "trash_pose_detect_config.yaml"};
  const std::string path = scratch.Write(names[kind], data + 1, size - 1);
  try {
    const YamlReader file(path);
    file.Has("camera_detection_params/cam_id");
    switch (kind) {
      case 0: ReadCameraFile(file); break;
      case 1: ReadClassTable(file); break;
      default: ReadTopLevelFile(file); break;
    }
  } catch (const velmora::ConfigError & e) {
    velmora_fuzz::CheckNamesFile(e.what(), path);
  } catch (const std::exception & e) {
    velmora_fuzz::Fail(std::string("escaped ") + typeid(e).name() + ": " + e.what());
  }
  return 0;
}
