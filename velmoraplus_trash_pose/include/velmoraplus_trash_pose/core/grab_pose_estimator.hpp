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

// Turns the cloud of one piece of trash, in the robot base frame, into a grab
// pose: preprocessing, shape analysis, grasp choice and workspace check.
//
// Result members are public: the camera node sets `trash_type_` before a call and
// reads the results right after a call that returned kGrabFound.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "velmoraplus_trash_pose/core/fast_geometry.hpp"

namespace velmora
{

struct GrabPose
{
  Eigen::Vector3f position = Eigen::Vector3f::Zero();
  Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity();
};

// Status codes of the grab routines.
inline constexpr int kGrabFound = 1;
inline constexpr int kGrabTooFewPoints = 11;
inline constexpr int kGrabOutsideWorkspace = 41;
inline constexpr int kGrabUnhandledAxis = 1111;

class GrabPoseEstimator
{
public:
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;
  using CloudPtr = Cloud::Ptr;

  // Loads the pose-estimate file and creates the debug directories below the data
  // root ($VELMORAPLUS_DATA_DIR, else kDefaultDataRoot). Throws ConfigError.
  explicit GrabPoseEstimator(const std::string & config_path);

  static constexpr const char * kDefaultDataRoot =
    "/home/corvane/velmoraplus/trash_pose_detect_data/";

  // dst = matrix * src, all point fields copied.
  void TransformCloud(const Cloud & src, Cloud & dst, const Eigen::Matrix4f & matrix) const;

  // Thins, bottom-cuts and cleans the cloud; `out` receives the result (the node
  // passes the same pointer twice).
  void PclProcessFunc(const CloudPtr & in, const CloudPtr & out);

  // Shape analysis; each needs at least 3 finite points (the grab routines check).
  void PcaFunc(const CloudPtr & cloud);
  // Oriented and axis-aligned boxes from one moment-of-inertia estimation.
  void ComputeBoundingBoxes(const CloudPtr & cloud);
  void ComputeMinAreaRect(const CloudPtr & cloud);
  float ProjectedWidth(const CloudPtr & cloud) const;
  void GetObbBoxPose(
    GrabPose & trash_pose, const GrabPose & grab_pose,
    const Eigen::Vector3f & obb_position, const Eigen::Matrix3f & obb_rotation) const;

  // Grab routines: 1 found, 11 too few points, 41 outside the workspace. (1111,
  // an unhandled main axis, is never returned: every axis has a class.) The
  // cloud is filtered in place.
  int GetInitialGrabPose(const CloudPtr & cloud);
  int GetTransparentGrabPose(const CloudPtr & cloud);

  // Camera position in the base frame (translation of base2camera_).
  Eigen::Vector3f CameraPosition() const {return base2camera_.block<3, 1>(0, 3);}

  // ---------------------------------------------------------------- configuration
  bool is_eye_on_hand_ = false;
  bool is_use_euler_ = false;
  Eigen::Matrix4f base2camera_ = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f base2flange_ = Eigen::Matrix4f::Identity();
  Eigen::Matrix4f flange2camera_ = Eigen::Matrix4f::Identity();
  Eigen::Vector3f base2flange_euler_ = Eigen::Vector3f::Zero();
  Eigen::Vector3f base2flange_T_ = Eigen::Vector3f::Zero();
  Eigen::Vector3f Rxyz_ = Eigen::Vector3f::Zero();
  Eigen::Vector3f Txyz_ = Eigen::Vector3f::Zero();

  float fx_ = 0.0f, fy_ = 0.0f, cx_ = 0.0f, cy_ = 0.0f;

  float base_height_ = 0.176f;
  float finger2tcp_ = 0.0f;
  float extra_length_ratio_ = 0.8f;
  float workspace_r_min_ = 0.3f;
  float workspace_r_max_ = 0.8f;
  float workspace_angle_min_ = -60.0f;
  float workspace_angle_max_ = 60.0f;
  float grab_vertical_distance_min_ = 0.2f;
  float grab_vertical_distance_max_ = 0.6f;
  float grab_vertical_angle_min_ = -60.0f;
  float grab_vertical_angle_max_ = 60.0f;
  float grab_parallel_distance_min_ = 0.5f;
  float grab_parallel_distance_max_ = 0.7f;
  float grab_parallel_angle_min_ = -60.0f;
  float grab_parallel_angle_max_ = 60.0f;
  float sor_leaf_size_ = 0.001f;
  int sor2_meank_value_ = 50;
  float pass_ajust_value_1_ = 0.003f;
  float pass_ajust_value_2_ = 0.003f;
  float pass_ajust_value_3_ = 0.003f;
  std::uint32_t min_trash_cloud_size_ = 34;
  float tcp_ajust_value_ = 0.008f;
  float tcp_ajust_threshold_ = 0.02f;
  float extend_height_threshold_ = 0.03f;
  float extend_lenth_threshold_ = 0.04f;
  float extend_length_max_ = 0.012f;
  float transparent_height_ratio_ = 1.8f;
  float remove_cloud_angle_ = 15.0f;
  float remove_bottom_height_threshold_1_ = 0.024f;
  float remove_bottom_height_threshold_2_ = 0.05f;
  float remove_bottom_height_threshold_3_ = 0.07f;

  bool is_grab_slanted_ = false;
  bool enable_process_cloud_ = true;
  bool enable_pcacenter_extend_ = true;
  bool is_on_floor_ = false;
  std::string trash_code_ = "code";
  std::string trash_test_pose_ = "test_pose";
  std::string file_name_suffix_ = "suffix";
  std::string data_dir_ = "/home/jetson/test_data/";
  std::string file_prefix_;
  std::string missing_prefix_ = "/home/jetson/test_data/";

  // Plain PCL filters and shape analysis instead of the equivalent faster code:
  // the reference the faster code is tested and benchmarked against.
  bool use_plain_pcl_ = false;
  // Threads for the neighbour queries of the outlier removal (1: the calling thread).
  int neighbour_threads_ = 1;
  // The portable distance loop of the neighbour queries even where this CPU has a
  // vector one (same answers; for comparing the two).
  bool portable_distance_loop_ = false;

  // Reference point of grab_distance_ (fixed, not configurable).
  float workspace_origin_z_ = 0.1555f;
  float workspace_origin_r_ = 0.01125f;

  // ---------------------------------------------------------------- inputs and results
  int trash_type_ = 0;
  int main_axis_type_ = 1;

  float trash_lowest_z_ = 0.0f, trash_highest_z_ = 0.0f, trash_height_ = 0.0f;
  float processed_trash_lowest_z_ = 0.0f, processed_trash_highest_z_ = 0.0f,
    processed_trash_height_ = 0.0f;
  float pass_limit_ = 0.003f;  // carried into the next call for tall objects

  Eigen::Matrix3f pca_eigen_vectors_ = Eigen::Matrix3f::Identity();  // columns, major first
  Eigen::Vector4f pca_centroid_ = Eigen::Vector4f(0.0f, 0.0f, 0.0f, 1.0f);
  Eigen::Vector3f pca_extents_ = Eigen::Vector3f::Zero();  // major, middle, minor

  Eigen::Matrix3f obb_rotation_ = Eigen::Matrix3f::Identity();
  Eigen::Vector3f obb_position_ = Eigen::Vector3f::Zero();
  Eigen::Quaternionf obb_quaternion_ = Eigen::Quaternionf::Identity();
  pcl::PointXYZ obb_min_point_, obb_max_point_;
  Eigen::Vector3f aabb_center_ = Eigen::Vector3f::Zero();
  pcl::PointXYZ aabb_min_point_, aabb_max_point_;
  std::array<Eigen::Vector2f, 4> rect_corners_{};
  Eigen::Vector2f rect_axis_ = Eigen::Vector2f::UnitX();  // long side, x >= 0

  Eigen::Vector3f grab_tcp_ = Eigen::Vector3f::Zero();
  Eigen::Vector3f grab_mainaxis_ = Eigen::Vector3f::Zero();
  float grab_distance_ = 0.0f, grab_angle_ = 0.0f, extend_length_ = 0.0f;

  GrabPose grab_pose_;
  GrabPose trash_pose_;
  Eigen::Vector3f trash_dimensions_ = Eigen::Vector3f::Zero();

private:
  void LoadConfig(const std::string & config_path);
  void PrepareDataDirectories(const std::string & config_path);
  void CutSlantedBottom(Cloud & cloud) const;
  // Thins the cloud in place; backup_ receives the cloud as it was.
  void VoxelThin(const CloudPtr & cloud);
  void RemoveOutliers(const CloudPtr & cloud);
  pcl::PointXYZ NearestPointToCamera(const Cloud & cloud) const;
  // Steps shared by both grab routines; returns 0 when the grasp may go on.
  int PrepareGrab(const CloudPtr & cloud);
  bool IsInWorkspace(const Eigen::Vector3f & point);
  void ClassifyMainAxis();
  void ExtendGrabTcp();
  Eigen::Quaterniond ParallelOrientation() const;
  void SetGrabPose(const Eigen::Quaterniond & orientation);

  // Buffers kept from call to call so a pass allocates little.
  fast::VoxelGridThinner voxel_thinner_;
  fast::OutlierRemover outlier_remover_;
  Cloud backup_;
  Cloud scratch_;
};

}  // namespace velmora
