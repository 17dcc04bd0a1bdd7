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

#ifndef VELMORAPLUS_TRASH_POSE__PASS__PASS_REPORT_HPP_
#define VELMORAPLUS_TRASH_POSE__PASS__PASS_REPORT_HPP_

#include <cstddef>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core/mat.hpp>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "velmora_model_zoo/object.hpp"

namespace velmora
{

// What became of one detection in a detection pass.
enum class ObjectOutcome
{
  kAccepted,             // a grab result
  kTooFewPoints,         // raw cloud below the camera's minimum
  kTooFewAfterFilter,    // estimator status 11
  kOutsideWorkspace,     // estimator status 41
  kUnhandledAxis,        // estimator status 1111
  kNotWhitelisted,       // refused by the base / bench / floor rule
  kError,                // an exception dropped it
  kNotTrash,             // a detection of a class that is no trash
  kAtEdge,               // a trash detection at the image's edge
  kUnmapped,             // a network label the model's class_map leaves out
};

const char * OutcomeName(ObjectOutcome outcome);

struct ObjectReport
{
  std::size_t index = 0;                      // index among the pass's trash objects
  det::Object detection;                      // box, label, score; mask after erosion
  bool transparent = false;
  std::size_t raw_points = 0;
  ObjectOutcome outcome = ObjectOutcome::kError;
  std::string reason;                         // why it was refused, for people
  pcl::PointCloud<pcl::PointXYZ> cloud;       // after the estimator, base frame
  Eigen::Vector3d grab_position = Eigen::Vector3d::Zero();
  Eigen::Quaterniond grab_orientation = Eigen::Quaterniond::Identity();
  Eigen::Vector3d box_centre = Eigen::Vector3d::Zero();       // base frame
  Eigen::Quaterniond box_orientation = Eigen::Quaterniond::Identity();
  Eigen::Vector3d box_size = Eigen::Vector3d::Zero();
  int main_axis_type = 0;
  int trash_type = 0;
};

// Everything a person needs to understand one detection pass of one camera.
struct PassReport
{
  int cam_id = 0;
  cv::Mat image_rgb;                          // the colour frame
  std::vector<det::Object> detections;        // all detections of the model, in model order
  std::vector<ObjectReport> objects;          // trash objects, in pass order
  std::vector<ObjectReport> skipped;          // the other detections, in model order
  std::string dropped;                        // non-empty when the whole pass was dropped
  std::string archive_stamp;                  // debug mode: the stamp of all its archive files
  double model_ms = 0.0;
  double clouds_ms = 0.0;                     // mask back-projection and frame transform
  double estimator_ms = 0.0;
  double publishing_ms = 0.0;                 // topics, transforms, archive
  double total_ms = 0.0;
};

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__PASS__PASS_REPORT_HPP_
