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

#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <opencv2/imgproc.hpp>
#include <pcl/common/common.h>
#include <pcl/common/pca.h>
#include <pcl/common/transforms.h>
#include <pcl/features/moment_of_inertia_estimation.h>
#include <pcl/filters/passthrough.h>
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/filters/voxel_grid.h>

#include "velmoraplus_trash_pose/core/logger.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace velmora
{
namespace
{

constexpr double kPi = 3.141592653589793;
constexpr double kSin15 = 0.25881904510252074;
constexpr double kSin45 = 0.7071067811865475;
constexpr double kSin75 = 0.9659258262890683;

// Bounds of settings that would otherwise stall a pass or blind the estimator.
// A floor-cleaning arm reaches well under 2 m; 10 m leaves room for any robot.
// A distance is never negative: a lower limit of 0 or less is no limit.
constexpr float kMaxWorkspaceDistance = 10.0f;
// The arm's base sits well under 2 m above the floor: a larger value is
// millimetres written where metres belong (the floor would lie metres down).
constexpr float kMaxBaseHeight = 2.0f;
// An azimuth lies within +-180 degrees: a bound up to a full turn still reads
// as "no limit", anything further is a typing error (the top view of a pass
// steps through the range).
constexpr float kMaxWorkspaceAngle = 360.0f;
// The outlier removal judges a point by its near neighbours (50 is usual, 100
// to 300 common at 1 mm voxels); it needs at least one. A piece's cloud has at
// most one point per mask pixel and no RGB-D camera's depth image has a
// million pixels, so no cloud can offer more neighbours: a larger value is a
// typing error. Above a piece's point count every other point is a neighbour.
constexpr int kMaxMeanK = 1000000;

// One console line: colour + text + reset.
template<typename ... Parts>
void Say(const char * color, const Parts &... parts)
{
  std::ostringstream line;
  line << color;
  (line << ... << parts);
  line << kColorReset << '\n';
  WriteConsole(line.str());
}

class Stopwatch
{
public:
  // Milliseconds with microsecond resolution, as all timings of the system.
  double ElapsedMs() const
  {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now() - start_);
    return static_cast<double>(us.count()) / 1000.0;
  }

private:
  std::chrono::system_clock::time_point start_ = std::chrono::system_clock::now();
};

// R = Rz(e2) * Ry(e1) * Rx(e0), angles in degrees, evaluated in double.
Eigen::Matrix4f EulerToMatrix(const Eigen::Vector3f & euler_deg, const Eigen::Vector3f & t)
{
  const double e0 = euler_deg(0) * kPi / 180.0;
  const double e1 = euler_deg(1) * kPi / 180.0;
  const double e2 = euler_deg(2) * kPi / 180.0;
  const double c0 = std::cos(e0), s0 = std::sin(e0);
  const double c1 = std::cos(e1), s1 = std::sin(e1);
  const double c2 = std::cos(e2), s2 = std::sin(e2);
  Eigen::Matrix3d r;
  r << c1 * c2, s0 * s1 * c2 - c0 * s2, c0 * s1 * c2 + s0 * s2,  //
    c1 * s2, s0 * s1 * s2 + c0 * c2, c0 * s1 * s2 - s0 * c2,     //
    -s1, s0 * c1, c0 * c1;
  Eigen::Matrix4f m = Eigen::Matrix4f::Identity();
  m.block<3, 3>(0, 0) = r.cast<float>();
  m.block<3, 1>(0, 3) = t;
  return m;
}

Eigen::Vector3f ReadVector3(const YamlReader & reader, const std::string & key)
{
  const std::vector<float> v = reader.GetFloats(key, 3);
  return Eigen::Vector3f(v[0], v[1], v[2]);
}

// A camera or flange farther than this from the base along any axis is a unit
// slip (millimetres for metres), and a pass over it would take seconds.
constexpr float kMaxTranslationM = 10.0F;
// Matrices written with six decimals are rigid to about 1e-6; a mirrored or
// scaled rotation is off by far more.
constexpr double kRotationTolerance = 1e-3;

Eigen::Vector3f ReadTranslation(const YamlReader & reader, const std::string & key)
{
  const Eigen::Vector3f t = ReadVector3(reader, key);
  if (t.cwiseAbs().maxCoeff() > kMaxTranslationM) {
    throw reader.ValueError(key, "must be within 10 m of the base on each axis (metres)");
  }
  return t;
}

// A 4x4 homogeneous matrix written row by row; a last row other than (0 0 0 1)
// means the matrix was written transposed or is not homogeneous.
Eigen::Matrix4f ReadRowMajorMatrix(const YamlReader & reader, const std::string & key)
{
  const std::vector<float> v = reader.GetFloats(key, 16);
  Eigen::Matrix4f m;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      m(r, c) = v[4 * r + c];
    }
  }
  if (!m.row(3).isApprox(Eigen::RowVector4f(0.0f, 0.0f, 0.0f, 1.0f), 1e-6f) ||
    std::abs(m(3, 3) - 1.0f) > 1e-6f)
  {
    throw reader.ValueError(
            key, "[.. " + std::to_string(v[12]) + ", " + std::to_string(v[13]) +
            ", " + std::to_string(v[14]) + ", " + std::to_string(v[15]) +
            "]",
            "has a last row other than 0, 0, 0, 1 (the matrix is read row by row)");
  }
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>().cast<double>();
  const double error = (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  const double det = r.determinant();
  if (!(error <= kRotationTolerance && std::abs(det - 1.0) <= kRotationTolerance)) {
    std::ostringstream why;
    why << "has a rotation part that is not a rotation: R^T R is off the identity by up to " <<
      error << " and det R is " << det << " (each may be off by " << kRotationTolerance << ")";
    throw reader.ValueError(key, why.str());
  }
  if (m.topRightCorner<3, 1>().cwiseAbs().maxCoeff() > kMaxTranslationM) {
    throw reader.ValueError(key, "has a translation beyond 10 m of the base on some axis (metres)");
  }
  return m;
}

std::string ReadLabel(const YamlReader & reader, const std::string & key)
{
  std::string label = reader.GetName(key);
  // Labels become directory and file names below the data root.
  if (label.find('/') != std::string::npos || label == "..") {
    throw reader.ValueError(key, label, "must not contain '/' or be '..'");
  }
  return label;
}

void MeasureZ(
  const pcl::PointCloud<pcl::PointXYZ> & cloud, float & lowest, float & highest,
  float & height)
{
  if (cloud.empty()) {
    lowest = highest = height = 0.0f;
    return;
  }
  pcl::PointXYZ min_point, max_point;
  pcl::getMinMax3D(cloud, min_point, max_point);
  lowest = min_point.z;
  highest = max_point.z;
  height = highest - lowest;
}

// The voxel grid, the kd-tree and PCA all misbehave on NaN/inf coordinates.
void DropNonFinitePoints(pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  const auto bad = [](const pcl::PointXYZ & p) {
      return !std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z);
    };
  if (std::none_of(cloud.begin(), cloud.end(), bad)) {
    cloud.is_dense = true;
    return;
  }
  pcl::PointCloud<pcl::PointXYZ> kept;
  kept.header = cloud.header;
  kept.sensor_origin_ = cloud.sensor_origin_;
  kept.sensor_orientation_ = cloud.sensor_orientation_;
  for (const auto & p : cloud.points) {
    if (!bad(p)) {kept.push_back(p);}
  }
  kept.is_dense = true;
  cloud.swap(kept);
}

}  // namespace

// ====================================================================== configuration

GrabPoseEstimator::GrabPoseEstimator(const std::string & config_path)
{
  LoadConfig(config_path);
  PrepareDataDirectories(config_path);
  // Printed only once everything loaded, so a failed start shows no half configuration.
  Say(kColorCyan, "相机外参齐次变换矩阵：");
  Say(kColorCyan, base2camera_);
  Say(kColorCyan, "相机内参：", "fx:", fx_, "  fy:", fy_, "  cx:", cx_, "  cy:", cy_);
  // Legal, but no piece could be grabbed: said once here rather than once per piece.
  if (workspace_r_min_ >= workspace_r_max_) {
    Say(
      kColorYellow, "workspace_r_min ", workspace_r_min_, " is not below workspace_r_max ",
      workspace_r_max_, ": every grab point is outside the workspace");
  }
  if (workspace_angle_min_ >= workspace_angle_max_) {
    Say(
      kColorYellow, "workspace_angle_min ", workspace_angle_min_,
      " is not below workspace_angle_max ", workspace_angle_max_,
      ": every grab point is outside the workspace");
  }
}

void GrabPoseEstimator::LoadConfig(const std::string & config_path)
{
  const YamlReader reader(config_path);

  const std::string ext = "camera_extrinsic/";
  is_eye_on_hand_ = reader.Get<bool>(ext + "is_eye_on_hand");
  is_use_euler_ = reader.Get<bool>(ext + "is_use_euler");
  if (is_eye_on_hand_) {
    base2flange_euler_ = ReadVector3(reader, ext + "base2flange_euler");
    base2flange_T_ = ReadTranslation(reader, ext + "base2flange_T");
    base2flange_ = EulerToMatrix(base2flange_euler_, base2flange_T_);
    if (is_use_euler_) {
      const Eigen::Vector3f euler = ReadVector3(reader, ext + "flange2camera_euler");
      const Eigen::Vector3f t = ReadTranslation(reader, ext + "flange2camera_T");
      flange2camera_ = EulerToMatrix(euler, t);
    } else {
      flange2camera_ = ReadRowMajorMatrix(reader, ext + "flange2camera");
    }
    base2camera_ = base2flange_ * flange2camera_;
  } else if (is_use_euler_) {
    Rxyz_ = ReadVector3(reader, ext + "Rxyz");
    Txyz_ = ReadTranslation(reader, ext + "Txyz");
    base2camera_ = EulerToMatrix(Rxyz_, Txyz_);
  } else {
    base2camera_ = ReadRowMajorMatrix(reader, ext + "data");
  }

  const std::string in = "camera_intrinsic/";
  fx_ = reader.Get<float>(in + "fx");
  fy_ = reader.Get<float>(in + "fy");
  cx_ = reader.Get<float>(in + "cx");
  cy_ = reader.Get<float>(in + "cy");
  // A focal length of 0 puts every back-projected point at infinity; a negative one mirrors it.
  for (const auto & [key, value] : {std::pair<const char *, float>{"fx", fx_}, {"fy", fy_}}) {
    if (!(value > 0.0f)) {
      throw reader.ValueError(in + key, "must be greater than 0 (pixels)");
    }
  }

  const std::string g = "grab_pose_estimate/";
  base_height_ = reader.GetWithin(g + "base_height", 0.0f, kMaxBaseHeight, "metres");
  finger2tcp_ = reader.Get<float>(g + "finger2tcp");
  extra_length_ratio_ = reader.Get<float>(g + "extra_length_ratio");
  workspace_r_min_ = reader.GetAtMost(g + "workspace_r_min", kMaxWorkspaceDistance, "metres");
  workspace_r_max_ = reader.GetWithin(g + "workspace_r_max", 0.0f, kMaxWorkspaceDistance, "metres");
  workspace_angle_min_ = reader.GetWithin(
    g + "workspace_angle_min", -kMaxWorkspaceAngle,
    kMaxWorkspaceAngle, "degrees");
  workspace_angle_max_ = reader.GetWithin(
    g + "workspace_angle_max", -kMaxWorkspaceAngle,
    kMaxWorkspaceAngle, "degrees");
  grab_vertical_distance_min_ = reader.Get<float>(g + "grab_vertical_distance_min");
  grab_vertical_distance_max_ = reader.Get<float>(g + "grab_vertical_distance_max");
  grab_vertical_angle_min_ = reader.Get<float>(g + "grab_vertical_angle_min");
  grab_vertical_angle_max_ = reader.Get<float>(g + "grab_vertical_angle_max");
  grab_parallel_distance_min_ = reader.Get<float>(g + "grab_parallel_distance_min");
  grab_parallel_distance_max_ = reader.Get<float>(g + "grab_parallel_distance_max");
  grab_parallel_angle_min_ = reader.Get<float>(g + "grab_parallel_angle_min");
  grab_parallel_angle_max_ = reader.Get<float>(g + "grab_parallel_angle_max");
  sor_leaf_size_ = reader.Get<float>(g + "sor_leaf_size");
  if (sor_leaf_size_ <= 0.0f) {
    throw reader.ValueError(g + "sor_leaf_size", "must be greater than 0");
  }
  sor2_meank_value_ = reader.GetWithin(g + "sor2_meank_value", 1, kMaxMeanK, "neighbours");
  pass_ajust_value_1_ = reader.Get<float>(g + "pass_ajust_value_1");
  pass_ajust_value_2_ = reader.Get<float>(g + "pass_ajust_value_2");
  pass_ajust_value_3_ = reader.Get<float>(g + "pass_ajust_value_3");
  min_trash_cloud_size_ = reader.Get<unsigned>(g + "min_trash_cloud_size");
  tcp_ajust_value_ = reader.Get<float>(g + "tcp_ajust_value");
  tcp_ajust_threshold_ = reader.Get<float>(g + "tcp_ajust_threshold");
  extend_height_threshold_ = reader.Get<float>(g + "extend_height_threshold");
  extend_lenth_threshold_ = reader.Get<float>(g + "extend_lenth_threshold");
  extend_length_max_ = reader.Get<float>(g + "extend_length_max");
  transparent_height_ratio_ = reader.Get<float>(g + "transparent_height_ratio");
  remove_cloud_angle_ = reader.Get<float>(g + "remove_cloud_angle");
  remove_bottom_height_threshold_1_ = reader.Get<float>(g + "remove_bottom_height_threshold_1");
  remove_bottom_height_threshold_2_ = reader.Get<float>(g + "remove_bottom_height_threshold_2");
  remove_bottom_height_threshold_3_ = reader.Get<float>(g + "remove_bottom_height_threshold_3");

  const std::string d = "debug_choice/";
  is_grab_slanted_ = reader.Get<bool>(d + "is_grab_slanted");
  enable_process_cloud_ = reader.Get<bool>(d + "enable_process_cloud");
  enable_pcacenter_extend_ = reader.Get<bool>(d + "enable_pcacenter_extend");
  is_on_floor_ = reader.Get<bool>(d + "is_on_floor");
  trash_code_ = ReadLabel(reader, d + "trash_code");
  trash_test_pose_ = ReadLabel(reader, d + "trash_test_pose");
  file_name_suffix_ = ReadLabel(reader, d + "file_name_suffix");
}

void GrabPoseEstimator::PrepareDataDirectories(const std::string & config_path)
{
  std::string root = kDefaultDataRoot;
  // Replays and tests redirect the archive away from the robot's home directory.
  if (const char * env = std::getenv("VELMORAPLUS_DATA_DIR"); env != nullptr && *env != '\0') {
    root = env;
    if (root.back() != '/') {root += '/';}
  }
  data_dir_ = root + trash_code_;
  missing_prefix_ = root + "mising_detect/" + trash_code_;
  for (const std::string & dir : {data_dir_, missing_prefix_}) {
    boost::system::error_code error;
    boost::filesystem::create_directories(dir, error);
    if (error) {
      throw ConfigError(
              config_path + ": cannot create debug directory '" + dir +
              "' for debug_choice/trash_code '" + trash_code_ + "': " + error.message());
    }
  }
  const std::string stem = trash_code_ + trash_test_pose_ + file_name_suffix_;
  file_prefix_ = data_dir_ + "/" + stem;
  missing_prefix_ = missing_prefix_ + "/" + stem;
}

// ====================================================================== preprocessing

void GrabPoseEstimator::TransformCloud(
  const Cloud & src, Cloud & dst,
  const Eigen::Matrix4f & matrix) const
{
  pcl::transformPointCloud(src, dst, matrix, true);
}

pcl::PointXYZ GrabPoseEstimator::NearestPointToCamera(const Cloud & cloud) const
{
  const Eigen::Vector3f camera = CameraPosition();
  pcl::PointXYZ nearest(0.0f, 0.0f, 0.0f);
  float best = std::numeric_limits<float>::infinity();
  for (const auto & p : cloud.points) {
    const float dx = p.x - camera.x();
    const float dy = p.y - camera.y();
    const float d2 = dx * dx + dy * dy;
    if (d2 < best) {
      best = d2;
      nearest = p;
    }
  }
  return nearest;
}

void GrabPoseEstimator::VoxelThin(const CloudPtr & cloud)
{
  if (cloud->empty()) {
    backup_ = *cloud;
    return;
  }
  // PCL indexes voxels with 32-bit integers; for an extent it cannot index it would
  // warn (or, for huge coordinates, overflow), so such clouds skip thinning here.
  pcl::PointXYZ min_point, max_point;
  pcl::getMinMax3D(*cloud, min_point, max_point);
  const double inverse_leaf = 1.0 / static_cast<double>(sor_leaf_size_);
  double cells = 1.0;
  for (int axis = 0; axis < 3; ++axis) {
    cells *= std::floor(max_point.data[axis] * inverse_leaf) -
      std::floor(min_point.data[axis] * inverse_leaf) + 1.0;
  }
  if (!(cells <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    Say(
      kColorYellow, "voxel grid skipped: leaf size ", sor_leaf_size_,
      " is too small for the cloud extent");
    backup_ = *cloud;
    return;
  }
  if (!use_plain_pcl_) {
    // The thinned cloud is built beside the original, which then serves as backup.
    voxel_thinner_.Filter(*cloud, sor_leaf_size_, backup_);
    cloud->swap(backup_);
    return;
  }
  backup_ = *cloud;
  pcl::VoxelGrid<pcl::PointXYZ> grid;
  grid.setLeafSize(sor_leaf_size_, sor_leaf_size_, sor_leaf_size_);
  grid.setInputCloud(cloud);
  grid.filter(*cloud);
}

void GrabPoseEstimator::RemoveOutliers(const CloudPtr & cloud)
{
  // PCL reads past its neighbour list when the cloud has no more than mean K points,
  // so small clouds use every other point as neighbour instead.
  const int neighbours =
    std::min(
    sor2_meank_value_, static_cast<int>(std::min<std::size_t>(
      cloud->size(), std::numeric_limits<int>::max())) -
    1);
  if (neighbours < 1) {return;}
  if (!use_plain_pcl_) {
    outlier_remover_.set_threads(neighbour_threads_);
    outlier_remover_.set_near_distances(
      portable_distance_loop_ ? &fast::NearDistancesPortable :
      fast::NearDistancesBest());
    if (outlier_remover_.Filter(*cloud, neighbours, 1.0, scratch_)) {
      cloud->swap(scratch_);
      return;
    }
  }
  pcl::StatisticalOutlierRemoval<pcl::PointXYZ> sor;
  sor.setInputCloud(cloud);
  sor.setMeanK(neighbours);
  sor.setStddevMulThresh(1.0);
  sor.filter(*cloud);
}

void GrabPoseEstimator::CutSlantedBottom(Cloud & cloud) const
{
  const Eigen::Vector3f camera = CameraPosition();
  const pcl::PointXYZ nearest = NearestPointToCamera(cloud);
  const Eigen::Vector3f anchor(nearest.x, nearest.y, trash_lowest_z_);
  const float dx = anchor.x() - camera.x();
  const float dy = anchor.y() - camera.y();
  const float r = std::sqrt(dx * dx + dy * dy);
  const double a = remove_cloud_angle_ * kPi / 180.0;
  const float sin_a = static_cast<float>(std::sin(a));
  const float cos_a = static_cast<float>(std::cos(a));
  Eigen::Vector3f normal(dx * sin_a * sin_a, dy * sin_a * sin_a, -r * sin_a * cos_a);
  if (normal.norm() > 0.0f) {normal.normalize();}

  Cloud kept;
  kept.header = cloud.header;
  kept.sensor_origin_ = cloud.sensor_origin_;
  kept.sensor_orientation_ = cloud.sensor_orientation_;
  kept.reserve(cloud.size());
  for (const auto & p : cloud.points) {
    if ((p.getVector3fMap() - anchor).dot(normal) <= 0.0f) {kept.push_back(p);}
  }
  kept.is_dense = cloud.is_dense;
  cloud.swap(kept);  // push_back keeps width = count, height = 1
}

void GrabPoseEstimator::PclProcessFunc(const CloudPtr & in, const CloudPtr & out)
{
  const Stopwatch stopwatch;
  if (out != in) {*out = *in;}
  const CloudPtr & cloud = out;
  DropNonFinitePoints(*cloud);
  VoxelThin(cloud);

  MeasureZ(*cloud, trash_lowest_z_, trash_highest_z_, trash_height_);
  Say(kColorMagenta, "trash_lowest_z_:  ", trash_lowest_z_);
  Say(kColorMagenta, "trash_highest_z_:  ", trash_highest_z_);
  Say(kColorMagenta, "trash_height_:  ", trash_height_);

  if (is_on_floor_) {
    trash_lowest_z_ = -base_height_;
    Say(kColorYellow, "is_on_floor_ !", "  ", "trash_lowest_z_: ", trash_lowest_z_);
  }

  const float height = trash_height_;
  if (height < remove_bottom_height_threshold_1_) {
    Say(kColorYellow, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_1_");
    pass_limit_ = pass_ajust_value_1_;
  } else if (height < remove_bottom_height_threshold_2_) {
    Say(kColorYellow, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_2_");
    pass_limit_ = pass_ajust_value_2_;
  } else if (height < remove_bottom_height_threshold_3_) {
    Say(kColorYellow, "(trash_highest_z_ - trash_lowest_z_) < remove_bottom_height_threshold_3_");
    pass_limit_ = pass_ajust_value_3_;
  } else if (height > remove_bottom_height_threshold_3_) {
    // Tall objects: the margin of the previous call stays.
    Say(kColorYellow, "trash_height_ > remove_bottom_height_threshold_3_");
    CutSlantedBottom(*cloud);
  }

  const float lower_bound = trash_lowest_z_ + pass_limit_;
  if (!cloud->empty()) {
    pcl::PassThrough<pcl::PointXYZ> pass;
    pass.setInputCloud(cloud);
    pass.setFilterFieldName("z");
    pass.setFilterLimits(lower_bound, 1.0f);
    pass.filter(*cloud);
  }
  if (cloud->size() < min_trash_cloud_size_) {
    Say(kColorYellow, "去除z坐标 ", lower_bound, " 以下点云后数量太少-------------");
    cloud->swap(backup_);  // the cloud as it was before the voxel grid
  }

  RemoveOutliers(cloud);

  MeasureZ(*cloud, processed_trash_lowest_z_, processed_trash_highest_z_, processed_trash_height_);
  Say(kColorMagenta, "processed_trash_lowest_z_:  ", processed_trash_lowest_z_);
  Say(kColorMagenta, "processed_trash_highest_z_:  ", processed_trash_highest_z_);
  Say(kColorMagenta, "processed_trash_height_:  ", processed_trash_height_);
  Say(kColorRed, "PclProcessFunc cost ", stopwatch.ElapsedMs(), " ms");
}

// ====================================================================== shape analysis

void GrabPoseEstimator::PcaFunc(const CloudPtr & cloud)
{
  Say(kColorBlue, "------------------------------PCA-----------------------------------");
  const Stopwatch stopwatch;
  // Only the axes are needed: the per-point coefficients stay uncomputed.
  pcl::PCA<pcl::PointXYZ> pca(!use_plain_pcl_);
  pca.setInputCloud(cloud);
  pca_eigen_vectors_ = pca.getEigenVectors();
  pca_centroid_ = pca.getMean();
  Say(kColorCyan, "点云中心点坐标：");
  Say(kColorCyan, pca_centroid_);

  if (use_plain_pcl_) {
    Cloud projected;
    pca.project(*cloud, projected);
    pcl::PointXYZ min_point, max_point;
    pcl::getMinMax3D(projected, min_point, max_point);
    pca_extents_ = max_point.getVector3fMap() - min_point.getVector3fMap();
  } else {
    // The same projection per point, without a projected copy of the cloud.
    Eigen::Vector3f lowest = Eigen::Vector3f::Constant(std::numeric_limits<float>::max());
    Eigen::Vector3f highest = Eigen::Vector3f::Constant(std::numeric_limits<float>::lowest());
    pcl::PointXYZ projected;
    for (const auto & p : cloud->points) {
      pca.project(p, projected);
      lowest = lowest.cwiseMin(projected.getVector3fMap());
      highest = highest.cwiseMax(projected.getVector3fMap());
    }
    pca_extents_ = highest - lowest;
  }
  Say(
    kColorCyan, "点云在各个特征向量方向上的长度为：", pca_extents_(0), " ", pca_extents_(1), " ",
    pca_extents_(2), " ");
  Say(kColorRed, "PcaFunc cost ", stopwatch.ElapsedMs(), " ms");
}

void GrabPoseEstimator::ComputeBoundingBoxes(const CloudPtr & cloud)
{
  Say(kColorBlue, "------------------------------OBB-----------------------------------");
  // The faster boxes skip the moment-of-inertia and eccentricity sweeps nothing reads.
  fast::MomentBoxes boxes;
  if (use_plain_pcl_) {
    pcl::MomentOfInertiaEstimation<pcl::PointXYZ> estimation;
    estimation.setInputCloud(cloud);
    estimation.compute();
    pcl::PointXYZ position;
    estimation.getOBB(boxes.obb_min_point, boxes.obb_max_point, position, boxes.obb_rotation);
    boxes.obb_position = position.getVector3fMap();
    estimation.getAABB(boxes.aabb_min_point, boxes.aabb_max_point);
  } else {
    boxes = fast::ComputeMomentBoxes(*cloud);
  }
  obb_min_point_ = boxes.obb_min_point;
  obb_max_point_ = boxes.obb_max_point;
  obb_rotation_ = boxes.obb_rotation;
  obb_position_ = boxes.obb_position;
  obb_quaternion_ = Eigen::Quaternionf(obb_rotation_);
  const Eigen::Vector3f obb_size =
    obb_max_point_.getVector3fMap() - obb_min_point_.getVector3fMap();
  Say(kColorCyan, "OBB包围盒的长宽高尺寸为:", obb_size(0), " x ", obb_size(1), " x ", obb_size(2));
  Say(
    kColorCyan, "OBB包围盒的位置:", obb_position_(0), " ", obb_position_(1), " ",
    obb_position_(2));

  Say(kColorBlue, "------------------------------AABB----------------------------------");
  aabb_min_point_ = boxes.aabb_min_point;
  aabb_max_point_ = boxes.aabb_max_point;
  const Eigen::Vector3f aabb_size =
    aabb_max_point_.getVector3fMap() - aabb_min_point_.getVector3fMap();
  aabb_center_ = aabb_min_point_.getVector3fMap() + aabb_size * 0.5f;
  Say(
    kColorCyan, "AABB包围盒的长宽高尺寸为:", aabb_size(0), " x ", aabb_size(1), " x ",
    aabb_size(2));
  Say(
    kColorCyan, "AABB包围盒的位置:", aabb_center_(0), " ", aabb_center_(1), " ",
    aabb_center_(2));
}

void GrabPoseEstimator::ComputeMinAreaRect(const CloudPtr & cloud)
{
  Say(kColorBlue, "---------------------------MinAreaRect------------------------------");
  std::vector<cv::Point2f> footprint;
  footprint.reserve(cloud->size());
  for (const auto & p : cloud->points) {
    footprint.emplace_back(p.x, p.y);
  }
  const cv::RotatedRect rect = cv::minAreaRect(footprint);
  Say(kColorCyan, "Angle: ", rect.angle);
  cv::Point2f corners[4];
  rect.points(corners);
  for (int i = 0; i < 4; ++i) {
    rect_corners_[i] = Eigen::Vector2f(corners[i].x, corners[i].y);
  }

  const cv::Point2f side = rect.size.width < rect.size.height ? corners[1] - corners[0] :
    corners[2] - corners[1];
  Eigen::Vector2d axis(side.x, side.y);
  // A footprint shrunk to one point has no long side; keep the x axis then.
  axis = axis.norm() > 0.0 ? axis.normalized() : Eigen::Vector2d::UnitX();
  if (axis.x() < 0.0) {axis = -axis;}
  rect_axis_ = axis.cast<float>();
  Say(kColorCyan, "Adjusted unit vector: (", rect_axis_.x(), ", ", rect_axis_.y(), ")");
}

float GrabPoseEstimator::ProjectedWidth(const CloudPtr & cloud) const
{
  const Eigen::Vector3f camera = CameraPosition();
  const pcl::PointXYZ nearest = NearestPointToCamera(*cloud);
  Eigen::Vector2f t(nearest.y - camera.y(), -(nearest.x - camera.x()));
  if (t.norm() > 0.0f) {t.normalize();}
  float lowest = std::numeric_limits<float>::infinity();
  float highest = -std::numeric_limits<float>::infinity();
  for (const auto & p : cloud->points) {
    const float s = p.x * t.x() + p.y * t.y();
    lowest = std::min(lowest, s);
    highest = std::max(highest, s);
  }
  const float width = cloud->empty() ? 0.0f : highest - lowest;
  Say(kColorCyan, "Length of the projected point cloud on the line (py, -px): ", width);
  return width;
}

void GrabPoseEstimator::GetObbBoxPose(
  GrabPose & trash_pose, const GrabPose & grab_pose,
  const Eigen::Vector3f & obb_position,
  const Eigen::Matrix3f & obb_rotation) const
{
  Say(kColorBlue, "--------------------------GetObbBoxPose-----------------------------");
  const Eigen::Quaterniond box_q(obb_rotation.cast<double>());
  Say(
    kColorGreen, "base2obbQuaternion: ", box_q.w(), "  ", box_q.x(), "  ", box_q.y(), "  ",
    box_q.z());
  Eigen::Isometry3d grab = Eigen::Isometry3d::Identity();
  grab.linear() = grab_pose.orientation.toRotationMatrix();
  grab.translation() = grab_pose.position.cast<double>();
  Eigen::Isometry3d box = Eigen::Isometry3d::Identity();
  box.linear() = box_q.toRotationMatrix();
  box.translation() = obb_position.cast<double>();

  const Eigen::Isometry3d relative = grab.inverse() * box;
  trash_pose.position = relative.translation().cast<float>();
  trash_pose.orientation = Eigen::Quaterniond(relative.linear());
  const Eigen::Vector3f & p = trash_pose.position;
  const Eigen::Quaterniond & q = trash_pose.orientation;
  Say(kColorGreen, "trash obb_pose.position: ", p.x(), "  ", p.y(), "  ", p.z());
  Say(kColorGreen, "trash obb_pose.orientation: ", q.w(), "  ", q.x(), "  ", q.y(), "  ", q.z());
}

// ====================================================================== grab pose

bool GrabPoseEstimator::IsInWorkspace(const Eigen::Vector3f & point)
{
  const float r = std::sqrt(point.x() * point.x() + point.y() * point.y());
  const float dr = r - workspace_origin_r_;
  const float dz = point.z() - workspace_origin_z_;
  grab_distance_ = std::sqrt(dr * dr + dz * dz);
  grab_angle_ = static_cast<float>(std::atan2(point.y(), -point.x()) * 180.0 / kPi);
  Say(kColorBlue, "grab_distance_: ", grab_distance_);
  Say(kColorBlue, "grab_angle_: ", grab_angle_);
  const char * failure = nullptr;
  if (grab_distance_ < workspace_r_min_) {
    failure = "垃圾位置太近了！！！";
  } else if (grab_distance_ > workspace_r_max_) {
    failure = "垃圾位置太远了！！！";
  } else if (grab_angle_ < workspace_angle_min_) {
    failure = "垃圾位置太靠左了！！！";
  } else if (grab_angle_ > workspace_angle_max_) {
    failure = "垃圾位置太靠右了！！！";
  }
  if (failure != nullptr) {Say(kColorRed, failure);}
  return failure == nullptr;
}

void GrabPoseEstimator::ClassifyMainAxis()
{
  auto major = pca_eigen_vectors_.col(0);
  const double vertical = std::abs(static_cast<double>(major.z()));
  // An exactly vertical axis (|z| rounding to 1 or above) is an upright object
  // too: every axis gets one of the four classes, none keeps the previous one.
  if (vertical < kSin15) {
    main_axis_type_ = 1;
  } else if (vertical < kSin45) {
    main_axis_type_ = 3;
  } else if (vertical < kSin75) {
    main_axis_type_ = 4;
  } else {
    main_axis_type_ = 2;
  }
  const bool vertical_grasp = main_axis_type_ == 1 || main_axis_type_ == 3;
  if ((vertical_grasp && major.x() < 0.0f) || (!vertical_grasp && major.z() > 0.0f)) {
    major = -major;
  }
  Say(kColorCyan, "main_axis_type_:", main_axis_type_);
  Say(kColorCyan, "trash_type_:", trash_type_);
}

void GrabPoseEstimator::ExtendGrabTcp()
{
  Eigen::Vector3f direction = grab_tcp_ - CameraPosition();
  if (direction.norm() > 0.0f) {direction.normalize();}
  const float minor = pca_extents_(2);
  extend_length_ =
    minor < extend_lenth_threshold_ ? minor * extra_length_ratio_ : extend_length_max_;
  grab_tcp_ += extend_length_ * direction;
  if (grab_tcp_.z() < trash_lowest_z_ + 0.008) {
    Say(kColorYellow, "grab_tcp_.z() < (trash_lowest_z_ + 0.008)!!!");
    grab_tcp_.z() = static_cast<float>(trash_lowest_z_ + 0.008);
  }
  Say(kColorMagenta, "GrabTCP Extended!");
}

Eigen::Quaterniond GrabPoseEstimator::ParallelOrientation() const
{
  // Tool z horizontal, pointing from the base origin towards the grab point.
  const Eigen::Quaterniond qa(0.0, 0.0, 1.0, 0.0);  // (w, x, y, z)
  const Eigen::Quaterniond qb(0.7071067811865476, 0.0, 0.7071067811865475, 0.0);
  const double phi = -std::atan2(
    static_cast<double>(grab_tcp_.y()),
    -static_cast<double>(grab_tcp_.x()));
  const Eigen::Quaterniond qc(std::cos(phi / 2.0), std::sin(phi / 2.0), 0.0, 0.0);
  return (qa * qb) * qc;
}

void GrabPoseEstimator::SetGrabPose(const Eigen::Quaterniond & orientation)
{
  grab_pose_.position = grab_tcp_;
  grab_pose_.orientation = orientation;
  const Eigen::Vector3f & p = grab_pose_.position;
  const Eigen::Quaterniond & q = grab_pose_.orientation;
  Say(kColorGreen, "grab_pose_.position: ", p.x(), "  ", p.y(), "  ", p.z());
  Say(kColorGreen, "grab_pose_.orientation: ", q.w(), "  ", q.x(), "  ", q.y(), "  ", q.z());
}

int GrabPoseEstimator::PrepareGrab(const CloudPtr & cloud)
{
  if (cloud) {PclProcessFunc(cloud, cloud);}
  const std::size_t count = cloud ? cloud->size() : 0;
  Say(kColorCyan, "处理后点云数量：", count);
  // PCA needs 3 points even where the configured minimum is lower.
  if (count < std::max<std::size_t>(min_trash_cloud_size_, 3)) {
    Say(kColorRed, "处理后点云数量太少!!!");
    return kGrabTooFewPoints;
  }
  PcaFunc(cloud);
  ComputeBoundingBoxes(cloud);
  ComputeMinAreaRect(cloud);
  grab_tcp_ = pca_centroid_.head<3>();
  if (!IsInWorkspace(grab_tcp_)) {return kGrabOutsideWorkspace;}
  return 0;
}

int GrabPoseEstimator::GetInitialGrabPose(const CloudPtr & cloud)
{
  Say(kColorBlue, "------------------------GetInitialGrabPose--------------------------");
  if (const int code = PrepareGrab(cloud); code != 0) {return code;}
  ClassifyMainAxis();

  Eigen::Quaterniond orientation;
  if (main_axis_type_ == 1 || main_axis_type_ == 3) {
    // Top-down grasp, turned along the footprint's long side.
    grab_mainaxis_ = Eigen::Vector3f(rect_axis_.x(), rect_axis_.y(), 0.0f);
    Say(
      kColorCyan, "grab_mainaxis_: ", grab_mainaxis_.x(), " ", grab_mainaxis_.y(), " ",
      grab_mainaxis_.z());
    if (pca_extents_(0) > 0.1 && trash_height_ > extend_height_threshold_) {ExtendGrabTcp();}
    float & z = grab_tcp_.z();
    if (z - trash_lowest_z_ < 0.015) {
      Say(kColorYellow, "grab_tcp_.z()-trash_lowest_z_ < 0.015!!!");
      z = trash_lowest_z_;
      Say(kColorYellow, "grab_tcp_.z() = trash_lowest_z_!!!");
    }
    if (trash_height_ > tcp_ajust_threshold_ && z - trash_lowest_z_ > 0.015) {
      z -= tcp_ajust_value_;
      Say(kColorYellow, "grab_tcp_.z() -= tcp_ajust_value_;");
      if (z < trash_lowest_z_ + 0.005) {
        Say(kColorYellow, "grab_tcp_.z() < (trash_lowest_z_ + 0.005)!!!");
        z = static_cast<float>(trash_lowest_z_ + 0.005);
        Say(kColorMagenta, "grab_tcp_.z() = (trash_lowest_z_ + 0.005)!!!");
      }
    }
    if (is_on_floor_) {z = -base_height_;}
    const Eigen::Quaterniond q1(0.0, 0.0, 1.0, 0.0);  // half turn about y: tool down
    const float theta = std::atan2(-grab_mainaxis_.y(), grab_mainaxis_.x());
    const float half = theta / 2.0f;
    const Eigen::Quaterniond q2(std::cos(half), 0.0, 0.0, std::sin(half));
    orientation = q1 * q2;
  } else {
    // Classes 2 and 4 (every axis has one of the four classes): sideways grasp
    // from the camera's side.
    grab_mainaxis_ = Eigen::Vector3f(0.0f, 0.0f, -1.0f);
    Say(
      kColorCyan, "grab_mainaxis_: ", grab_mainaxis_.x(), " ", grab_mainaxis_.y(), " ",
      grab_mainaxis_.z());
    ExtendGrabTcp();
    const Eigen::Vector3f camera = CameraPosition();
    Eigen::Vector3f v(grab_tcp_.x() - camera.x(), grab_tcp_.y() - camera.y(), 0.0f);
    if (v.norm() > 0.0f) {v.normalize();}
    grab_tcp_.x() += tcp_ajust_value_ * v.x();
    grab_tcp_.y() += tcp_ajust_value_ * v.y();
    Say(kColorMagenta, "grab_tcp_.x() += tcp_ajust_value_ * v_tcp.x() !");
    Say(kColorMagenta, "grab_tcp_.y() += tcp_ajust_value_ * v_tcp.y() !");
    orientation = ParallelOrientation();
  }

  SetGrabPose(orientation);
  GetObbBoxPose(trash_pose_, grab_pose_, obb_position_, obb_rotation_);
  trash_dimensions_ = pca_extents_;
  return kGrabFound;
}

int GrabPoseEstimator::GetTransparentGrabPose(const CloudPtr & cloud)
{
  Say(kColorBlue, "------------------------GetTransparentGrabPose--------------------------");
  if (const int code = PrepareGrab(cloud); code != 0) {return code;}

  grab_mainaxis_ = Eigen::Vector3f(0.0f, 0.0f, -1.0f);
  Say(
    kColorCyan, "grab_mainaxis_: ", grab_mainaxis_.x(), " ", grab_mainaxis_.y(), " ",
    grab_mainaxis_.z());
  const float width = ProjectedWidth(cloud);
  Say(kColorCyan, "trash_cloud_project_width:  ", width);

  // Depth of transparent objects is unreliable: grab in front of the nearest edge,
  // at a height derived from the visible width.
  const Eigen::Vector3f camera = CameraPosition();
  const pcl::PointXYZ nearest = NearestPointToCamera(*cloud);
  Eigen::Vector3f u(nearest.x - camera.x(), nearest.y - camera.y(), 0.0f);
  if (u.norm() > 0.0f) {u.normalize();}
  const float reach = width * 0.5f + tcp_ajust_value_;
  grab_tcp_.x() = nearest.x + reach * u.x();
  grab_tcp_.y() = nearest.y + reach * u.y();
  grab_tcp_.z() = processed_trash_lowest_z_ + transparent_height_ratio_ * width;

  SetGrabPose(ParallelOrientation());
  trash_pose_ = GrabPose{};
  trash_dimensions_ = Eigen::Vector3f(2.0f * transparent_height_ratio_ * width, width, width);
  return kGrabFound;
}

}  // namespace velmora
