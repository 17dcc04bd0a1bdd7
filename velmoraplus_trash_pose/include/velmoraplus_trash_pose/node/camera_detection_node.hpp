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

#ifndef VELMORAPLUS_TRASH_POSE__NODE__CAMERA_DETECTION_NODE_HPP_
#define VELMORAPLUS_TRASH_POSE__NODE__CAMERA_DETECTION_NODE_HPP_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <message_filters/subscriber.h>
#include <message_filters/sync_policies/approximate_time.h>
#include <message_filters/synchronizer.h>
#include <opencv2/core/mat.hpp>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <sensor_msgs/msg/point_cloud2.hpp>
#include <tf2_ros/static_transform_broadcaster.h>
#include <velmora_plus_interfaces/msg/trash_grab_info.hpp>
#include <visualization_msgs/msg/marker_array.hpp>

#include "velmora_model_zoo/class_names.hpp"
#include "velmora_model_zoo/draw.hpp"
#include "velmora_model_zoo/yolov8_seg.hpp"
#include "velmoraplus_trash_pose/core/class_tables.hpp"
#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/selection.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"
#include "velmoraplus_trash_pose/pass/pass_pictures.hpp"
#include "velmoraplus_trash_pose/pass/pass_report.hpp"

namespace velmora
{

// Box of a detection (integer corners truncated toward zero, class id = label + 1).
BoxInfo MakeBoxInfo(const det::Object & object);

// Checks a depth message once for the whole pass: empty when it is a readable
// 16-bit depth image, with `view` showing its pixels; otherwise a sentence
// saying what is wrong, with `view` empty.
std::string ViewDepthImage(const sensor_msgs::msg::Image & depth, DepthImageView & view);

// The one door of the model's detections into a pass, so that every later step
// (erosion, back-projection, pictures, archive) may trust box and mask: the box
// is clipped to an image of `image` size and the mask to the image's part of
// its window. A mask that is not 8-bit, one channel and of its window's size is
// refused: the answer says why; empty when the object goes on.
std::string AdmitDetection(det::Object & object, const cv::Size & image);

// One camera: its configuration, model, estimator, image subscriptions and
// publishers, and its side of the detect handshake. The detect service raises
// a request; the next synchronised image pair runs one detection pass, which
// stores the grab results and reports done.
class CameraDetectionNode
{
public:
  using Image = sensor_msgs::msg::Image;
  using TrashGrabInfo = velmora_plus_interfaces::msg::TrashGrabInfo;
  using Cloud = pcl::PointCloud<pcl::PointXYZ>;

  CameraDetectionNode(rclcpp::Node::SharedPtr node, std::string config_path);

  CameraDetectionNode(const CameraDetectionNode &) = delete;
  CameraDetectionNode & operator=(const CameraDetectionNode &) = delete;

  // --- detect handshake (service side)
  // Clears done, then raises the request.
  void RequestDetection();
  // How many requests have been raised (the start-up pass answers none).
  std::uint64_t requests_raised() const;
  // True from a request until the pass that answers it has finished.
  bool IsDetectionRequested() const;
  bool IsDetectionDone() const;
  // Header stamp (nanoseconds) of the colour image of the last pair this camera
  // took, for a pass or to drop it; -1 before the first. Pairs arrive in order:
  // a pair published before it has been taken or dropped.
  std::int64_t last_pair_stamp_ns() const;
  // Clears done and returns a copy of the last finished pass's results.
  std::vector<TrashGrabInfo> TakeGrabResults();
  // --- detect handshake (camera side)
  // Stores a finished pass's results, clears the request and sets done, in one step.
  void FinishPass(std::vector<TrashGrabInfo> results);

  int cam_id() const {return cam_id_;}
  const GrabPoseEstimator & pose_estimator() const {return *pose_estimator_;}
  const std::string & rgb_topic() const {return rgb_topic_;}
  const std::string & depth_topic() const {return depth_topic_;}
  // Geometry and class names for drawing this camera's pass pictures.
  PictureGeometry picture_geometry() const;

  // Called at the end of every pass, on the executor thread that ran it,
  // before the pass reports done. Set it before the executor spins.
  void SetPassObserver(std::function<void(const PassReport &)> observer);

  // One synchronised colour/depth pair.
  void ImageCallback(const Image::ConstSharedPtr & rgb, const Image::ConstSharedPtr & depth);

  // Detection filtering and grab eligibility.
  bool GetTrashObjects(
    const std::vector<det::Object> & objects, std::vector<det::Object> & trash_objects) const;
  bool IsAtEdge(const det::Object & object) const;
  void GetObjsBoxInfos(
    const std::vector<det::Object> & objects, std::vector<BoxInfo> & base_waiting_boxes) const;
  bool IsTrashToGrab(
    float trash_lowest_z, float base_height, const det::Object & object,
    std::vector<BoxInfo> base_waiting_boxes) const;

  // Mask (eroded in place) and the pass's checked depth image to a camera-frame
  // cloud, with the transparency test.
  void GetTrashCloud(
    const DepthImageView & depth, det::Object & object, const Cloud::Ptr & trash_cloud,
    bool & is_transparent) const;

private:
  void InitializeParams(std::string config_path);
  void InitializePublishers(std::string config_path);
  void InitializeSubscribers(std::string config_path);
  void InitializeAiModel(std::string config_path);
  void initializeClassHeightConf();
  void initializeAiConf();

  // The work of one pass; fills `results`; sets `depth_view` once the pair
  // passed its checks and `t0` to the model call's start. Exceptions leave it.
  void RunPass(
    const Image::ConstSharedPtr & rgb, const Image::ConstSharedPtr & depth,
    std::vector<TrashGrabInfo> & results, PassReport & report,
    std::chrono::system_clock::time_point & t0, DepthImageView & depth_view);
  // Grab pose of one trash object; true when it becomes a grab result.
  bool ProcessTrashObject(
    det::Object & object, const DepthImageView & depth,
    const std::vector<BoxInfo> & base_waiting_boxes, std::vector<Cloud> & init_clouds,
    std::vector<Cloud> & processed_clouds, ObjectReport & report, PassReport & pass);
  // Why the estimator refused a grab point that lies outside the workspace.
  std::string WorkspaceRefusal() const;
  void ArchivePassExtras(const DepthImageView & depth, const PassReport & report) const;
  void PublishPassResults(
    const std::vector<Cloud> & init_clouds, const std::vector<Cloud> & processed_clouds,
    const std::vector<TrashGrabInfo> & results);
  void SaveMissedDetection(const cv::Mat & image_bgr) const;
  // Until a pass showed enough floor to judge by (ten passes at most): does
  // the floor lie where the calibration and base_height put it? A warning when not.
  void JudgeCalibrationOnce(const DepthImageView & depth);
  void Throttle() const;

  // Handshake flags: release on store, acquire on load; transitions under results_mutex_.
  std::atomic<bool> is_detect_requested_{true};
  std::atomic<bool> is_detect_done_{false};
  std::atomic<std::int64_t> last_pair_stamp_ns_{-1};
  std::atomic<int> calibration_looks_left_{10};
  std::atomic<std::uint64_t> requests_raised_{0};
  std::vector<TrashGrabInfo> grab_results_;
  mutable std::mutex results_mutex_;

  std::unique_ptr<GrabPoseEstimator> pose_estimator_;
  std::shared_ptr<det::YOLOv8Seg> yolo_model_;
  std::vector<std::string> class_names_;
  float fx_ = 0.0F;
  float fy_ = 0.0F;
  float cx_ = 0.0F;
  float cy_ = 0.0F;
  std::int32_t image_width_ = 640;  // the width of the pair a pass works on
  std::int32_t cam_id_ = 0;
  bool is_debug_ = false;
  bool is_realtime_estimate_ = false;
  bool is_enable_semantic_ = false;
  std::int32_t detect_duration_ = 10;
  std::string camera_frame_id_ = "camera_base";
  std::string robot_frame_id_ = "arm_base";
  std::int32_t image_edge_threshold_ = 5;
  std::uint32_t min_trash_cloud_size_treshold_ = 50;
  float null_ratio_threshold_ = 0.3F;
  float hw_ratio_threshold_ = 1.2F;
  std::int32_t mask_erosion_size_ = 1;
  std::string model_type_;
  std::string rgb_topic_;
  std::string depth_topic_;
  std::function<void(const PassReport &)> pass_observer_;

  rclcpp::Node::SharedPtr node_;
  message_filters::Subscriber<Image> rgb_sub_;
  message_filters::Subscriber<Image> depth_sub_;
  using SyncPolicy = message_filters::sync_policies::ApproximateTime<Image, Image>;
  std::shared_ptr<message_filters::Synchronizer<SyncPolicy>> sync_;
  std::shared_ptr<tf2_ros::StaticTransformBroadcaster> static_broadcaster_;
  rclcpp::Publisher<Image>::SharedPtr detected_image_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr trashes_cloud_pub_;
  rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr trashes_init_cloud_pub_;
  rclcpp::Publisher<visualization_msgs::msg::MarkerArray>::SharedPtr trash_obb_markers_pub_;
  rclcpp::Publisher<visualization_msgs::msg::MarkerArray>::SharedPtr trash_pose_pub_;

  ClassConf ai_conf_;
  ClassConf class_height_conf_;
  float trash_mask_iou_v1_ = 0.7F;
  float ground_max_th_ = 0.0F;
};

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__NODE__CAMERA_DETECTION_NODE_HPP_
