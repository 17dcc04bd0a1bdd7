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

#include "scene_fixture.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

namespace velmora_test
{

namespace
{
constexpr double kFloorZ = -0.176;
}

std::vector<SceneObject> StandardSceneObjects()
{
  std::vector<SceneObject> objects(6);
  // A bottle lying on the floor, its long side turned 30 degrees.
  objects[0].box =
  {"lying_bottle", 4, {-0.45, -0.12, kFloorZ + 0.0325}, {0.20, 0.065, 0.065}, 30.0};
  objects[0].score = 0.95F;
  // An upright can, which the model takes for a mask (label 1: trash too).
  objects[1].box = {"upright_can", 1, {-0.42, 0.15, kFloorZ + 0.06}, {0.066, 0.066, 0.12}, 0.0};
  objects[1].score = 0.92F;
  // A tall transparent bottle: half of its depth pixels are missing.
  objects[2].box =
  {"transparent_bottle", 4, {-0.62, 0.02, kFloorZ + 0.11}, {0.07, 0.07, 0.22}, 0.0};
  objects[2].box.transparent = true;
  objects[2].score = 0.90F;
  // A paper near the left edge of the image (the edge rule drops it).
  objects[3].box = {"edge_paper", 0, {-0.55, -0.46, kFloorZ + 0.002}, {0.10, 0.08, 0.004}, 0.0};
  objects[3].score = 0.85F;
  // A waiting bench and a piece of paper lying on it.
  objects[4].box = {"bench", 10, {-0.62, 0.30, kFloorZ + 0.05}, {0.20, 0.30, 0.10}, 0.0};
  objects[4].score = 0.80F;
  objects[5].box =
  {"paper_on_bench", 0, {-0.60, 0.28, kFloorZ + 0.10 + 0.01}, {0.08, 0.06, 0.02}, 15.0};
  objects[5].score = 0.75F;
  return objects;
}

SyntheticScene WriteScene(
  const ConfigPrefix & prefix, const std::vector<SceneObject> & objects,
  int slot)
{
  SyntheticScene scene;
  scene.base2camera = SyntheticScene::LookingDown({0.05, 0.0, 0.45}, 0.0, 45.0);
  scene.floor_z = kFloorZ;
  for (const auto & object : objects) {
    scene.boxes.push_back(object.box);
  }
  scene.Render();

  namespace fs = std::filesystem;
  const fs::path detections = fs::path(prefix.config_dir()) / "scene_detections";
  fs::create_directories(detections);
  std::ostringstream index;
  index << "frames:\n  - objects:\n";
  bool any = false;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (!objects[i].detected || cv::countNonZero(scene.masks[i]) == 0) {
      continue;
    }
    any = true;
    const std::string mask_name = objects[i].box.name + "_mask.png";
    cv::imwrite((detections / mask_name).string(), scene.masks[i] * 255);
    const cv::Rect box = scene.MaskBox(i);
    index << "      - label: " << objects[i].box.label << "\n"
          << "        score: " << objects[i].score << "\n"
          << "        box: [" << box.x << ", " << box.y << ", " << box.width << ", " <<
      box.height << "]\n"
          << "        mask: " << mask_name << "\n";
  }
  if (!any) {
    index.str("");
    index << "frames:\n  - objects: []\n";
  }
  std::ofstream(detections / "index.yaml") << index.str();
  prefix.Write("scene_model.yaml", "source: recorded\nrecording: scene_detections/index.yaml");

  // Pose-estimate file: the shipped one with the scene's calibration as a row-major matrix.
  YAML::Node estimate = prefix.Load("cam2_pose_estimate_config.yaml");
  YAML::Node extrinsic;
  extrinsic["is_eye_on_hand"] = false;
  extrinsic["is_use_euler"] = false;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      extrinsic["data"].push_back(scene.base2camera(r, c));
    }
  }
  estimate["camera_extrinsic"] = extrinsic;
  estimate["camera_intrinsic"]["fx"] = scene.fx;
  estimate["camera_intrinsic"]["fy"] = scene.fy;
  estimate["camera_intrinsic"]["cx"] = scene.cx;
  estimate["camera_intrinsic"]["cy"] = scene.cy;
  estimate["grab_pose_estimate"]["base_height"] = -kFloorZ;
  prefix.Save("scene_pose_estimate.yaml", estimate);

  const std::string cam = "cam" + std::to_string(slot) + "_detect_config.yaml";
  prefix.Set(
    cam, "camera_detection_params", "pose_estimate_config_file",
    "scene_pose_estimate.yaml");
  prefix.Set(cam, "camera_detection_params", "model_cfg_file", "scene_model.yaml");
  prefix.Set(cam, "camera_detection_params", "detect_duration", "0");
  prefix.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "1");
  return scene;
}

}  // namespace velmora_test
