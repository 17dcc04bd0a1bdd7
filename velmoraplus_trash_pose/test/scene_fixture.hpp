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

#ifndef VELMORAPLUS_TRASH_POSE__TEST__SCENE_FIXTURE_HPP_
#define VELMORAPLUS_TRASH_POSE__TEST__SCENE_FIXTURE_HPP_

#include <string>
#include <vector>

#include "synthetic_scene.hpp"
#include "test_support.hpp"

namespace velmora_test
{

// The synthetic floor scene of the pipeline tests: a camera 0.30 m above the
// base origin's height, looking towards the arm's front (-x) 45 degrees down,
// with the objects the tests name. Detections are the rendered masks, served
// by the model library's recorded source in descending score order.
struct SceneObject
{
  SceneBox box;
  float score = 0.9F;
  bool detected = true;  // false: part of the depth image only
};

std::vector<SceneObject> StandardSceneObjects();

// Renders `objects`, writes the recorded detections and a pose-estimate file
// with the scene's calibration into `prefix`, and points camera slot `slot`
// (cam_num 1 triggers slot 2) at them.
SyntheticScene WriteScene(
  const ConfigPrefix & prefix, const std::vector<SceneObject> & objects, int slot = 2);

}  // namespace velmora_test

#endif  // VELMORAPLUS_TRASH_POSE__TEST__SCENE_FIXTURE_HPP_
