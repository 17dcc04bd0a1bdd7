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

#include "velmoraplus_trash_pose/node/camera_detection_node.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>
#include <utility>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <cv_bridge/cv_bridge.h>
#include <Eigen/Geometry>
#include <opencv2/imgproc.hpp>
#include <pcl_conversions/pcl_conversions.h>

#include "velmoraplus_trash_pose/core/debug_archive.hpp"
#include "velmoraplus_trash_pose/core/floor_check.hpp"
#include "velmoraplus_trash_pose/core/logger.hpp"
#include "velmoraplus_trash_pose/core/trash_cloud.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"
#include "velmoraplus_trash_pose/node/pass_messages.hpp"
#include "velmoraplus_trash_pose/pass/detections_archive.hpp"
#include "velmora_model_zoo/model_config.hpp"

namespace velmora
{

namespace
{

constexpr const char * kPackageName = "velmoraplus_trash_pose";

// The throttle paces a camera between image pairs (0 or less: no pause); a
// pause of over a minute would leave every request waiting that long, which no
// robot wants.
constexpr int kMaxDetectDurationMs = 60000;
// The erosion trims a few depth-edge pixels off a mask. A (2k+1)-pixel window
// wider than 2001 px is wider than any RGB-D camera's image and erases every
// mask; that far beyond, the size is a typing error.
constexpr int kMaxMaskErosionSize = 1000;

// Required keys of the "camera_detection_params" section of a camera file.
struct CameraParams
{
  const YamlReader & file;

  template<typename T>
  T Get(const std::string & key) const
  {
    return file.Get<T>("camera_detection_params/" + key);
  }
  // A topic or file name: a YAML null is refused, not read as "null".
  std::string GetName(const std::string & key) const
  {
    return file.GetName("camera_detection_params/" + key);
  }
  template<typename T>
  T GetWithin(const std::string & key, T lowest, T highest, const char * unit) const
  {
    return file.GetWithin<T>("camera_detection_params/" + key, lowest, highest, unit);
  }
  template<typename T>
  T GetAtMost(const std::string & key, T highest, const char * unit) const
  {
    return file.GetAtMost<T>("camera_detection_params/" + key, highest, unit);
  }
};

std::string PackageConfigPath(const std::string & file_name)
{
  return ament_index_cpp::get_package_share_directory(kPackageName) + "/config/" + file_name;
}

// The file a camera key names, in the package's config folder unless absolute. A pipe or device
// would block start-up for good, a huge file fill memory: refused here, named.
std::string NamedConfigFile(const CameraParams & params, const std::string & key)
{
  const std::string name = params.GetName(key);
  // An absolute path names the integrator's own file wherever it lies.
  const std::string path = name.rfind('/', 0) == 0 ? name : PackageConfigPath(name);
  if (const std::string problem = det::file_problem(path, 16U << 20U); !problem.empty()) {
    throw params.file.ValueError(
            "camera_detection_params/" + key, "names '" + path + "', which is " + problem);
  }
  return path;
}

double MillisecondsSince(std::chrono::system_clock::time_point t0)
{
  const auto elapsed = std::chrono::system_clock::now() - t0;
  return static_cast<double>(
    std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) / 1000.0;
}

}  // namespace

BoxInfo MakeBoxInfo(const det::Object & object)
{
  return MakeBoxInfo(object.rect, object.label, object.score);
}

std::string ViewDepthImage(const sensor_msgs::msg::Image & depth, DepthImageView & view)
{
  view = DepthImageView{};
  std::string problem = CheckDepthImage(
    depth.encoding, depth.width, depth.height, depth.step, depth.data.size());
  if (problem.empty()) {
    view.data = depth.data.data();
    view.size = depth.data.size();
    view.width = depth.width;
    view.height = depth.height;
    view.step = depth.step;
    view.big_endian = depth.is_bigendian != 0;
  }
  return problem;
}

std::string AdmitDetection(det::Object & object, const cv::Size & image)
{
  const auto size = [](const cv::Size & s) {
      return std::to_string(s.width) + "x" + std::to_string(s.height);
    };
  if (!object.mask.empty() &&
    (object.mask.type() != CV_8UC1 || object.mask.size() != object.mask_box.size()))
  {
    return "mask of " + size(object.mask.size()) + " pixels, type " +
           std::to_string(object.mask.type()) + ", for a window of " +
           size(object.mask_box.size()) + ": not an 8-bit mask of its window";
  }
  const cv::Rect inside = object.mask_box & cv::Rect(cv::Point(), image);
  if (!object.mask.empty() && inside != object.mask_box) {
    object.mask = inside.empty() ? cv::Mat() : object.mask(inside - object.mask_box.tl()).clone();
  }
  object.mask_box = inside;
  object.rect &= cv::Rect_<float>(
    0.0F, 0.0F, static_cast<float>(image.width),
    static_cast<float>(image.height));
  return "";
}

CameraDetectionNode::CameraDetectionNode(rclcpp::Node::SharedPtr node, std::string config_path)
: node_(std::move(node))
{
  InitializeParams(config_path);
  InitializePublishers(config_path);
  InitializeSubscribers(config_path);
  InitializeAiModel(config_path);
  initializeClassHeightConf();
  initializeAiConf();
}

// ------------------------------------------------------------------ configuration

void CameraDetectionNode::InitializeParams(std::string config_path)
{
  const YamlReader file(config_path);
  const CameraParams params{file};
  cam_id_ = params.Get<int>("cam_id");
  is_debug_ = params.Get<bool>("is_debug");
  is_realtime_estimate_ = params.Get<bool>("is_realtime_estimate");
  is_enable_semantic_ = params.Get<bool>("is_enable_semantic");
  detect_duration_ = params.GetAtMost("detect_duration", kMaxDetectDurationMs, "milliseconds");
  camera_frame_id_ = params.Get<std::string>("camera_frame_id");
  // Clouds, markers and grab transforms carry it: tf2 and RViz drop a frame id
  // that is empty, starts with '/' or holds white space.
  robot_frame_id_ = params.GetName("robot_frame_id");
  if (robot_frame_id_.empty() || robot_frame_id_[0] == '/' ||
    robot_frame_id_.find_first_of(" \t\r\n") != std::string::npos)
  {
    throw file.ValueError(
            "camera_detection_params/robot_frame_id",
            "is not a tf2 frame id: write a non-empty name without a leading '/' or spaces");
  }
  image_edge_threshold_ = params.Get<int>("image_edge_threshold");
  min_trash_cloud_size_treshold_ = params.Get<unsigned>("min_trash_cloud_size_treshold");
  null_ratio_threshold_ = params.Get<float>("null_ratio_threshold");
  hw_ratio_threshold_ = params.Get<float>("hw_ratio_threshold");
  mask_erosion_size_ = params.GetWithin("mask_erosion_size", 0, kMaxMaskErosionSize, "pixels");
  const std::string estimator_path = NamedConfigFile(params, "pose_estimate_config_file");

  LOG_INFO("cam_{0:d}_pose_estimate_config_file_path = {1:s}", cam_id_, estimator_path);
  pose_estimator_ = std::make_unique<GrabPoseEstimator>(estimator_path);

  LOG_INFO("cam_{0:d}_debug = {1:d}", cam_id_, is_debug_);
  LOG_INFO("cam_{0:d}_detect_duration = {1:d} ms", cam_id_, detect_duration_);
  LOG_INFO("cam_{0:d}_camera_frame_id = {1:s}", cam_id_, camera_frame_id_);
  LOG_INFO("cam_{0:d}_robot_frame_id = {1:s}", cam_id_, robot_frame_id_);
  LOG_INFO("cam_{0:d}_image_edge_threshold = {1:d} ms", cam_id_, image_edge_threshold_);
  LOG_INFO("cam_{0:d}_mask_erosion_size = {1:d} ms", cam_id_, mask_erosion_size_);
  if (2L * mask_erosion_size_ + 1 >= image_width_) {
    // Legal, but no piece would keep a point: say so once rather than once per piece.
    RCLCPP_WARN(
      node_->get_logger(), "cam_%d mask_erosion_size %d: an erosion window wider than the %d px "
      "image erodes every trash mask away, no trash can be grabbed", cam_id_, mask_erosion_size_,
      image_width_);
  }

  trash_mask_iou_v1_ = params.Get<float>("trash_mask_iou_v1");
  ground_max_th_ = params.Get<float>("ground_max_th");
}

void CameraDetectionNode::InitializePublishers(std::string config_path)
{
  const YamlReader file(config_path);
  const CameraParams params{file};
  const std::string prefix = "/velmoraplus_trash_pose/cam" + std::to_string(cam_id_);

  const auto detected_image_topic = params.GetName("detected_image_topic");
  detected_image_pub_ = node_->create_publisher<Image>(detected_image_topic, 1);
  const auto trashes_cloud_topic = params.GetName("trashes_cloud_topic");
  trashes_cloud_pub_ = node_->create_publisher<sensor_msgs::msg::PointCloud2>(
    trashes_cloud_topic, 1);
  trashes_init_cloud_pub_ = node_->create_publisher<sensor_msgs::msg::PointCloud2>(
    prefix + "_trashes_init_cloud", 1);
  static_broadcaster_ = std::make_shared<tf2_ros::StaticTransformBroadcaster>(node_);
  trash_obb_markers_pub_ = node_->create_publisher<visualization_msgs::msg::MarkerArray>(
    prefix + "_trash_obb_markers", 1);
  trash_pose_pub_ = node_->create_publisher<visualization_msgs::msg::MarkerArray>(
    prefix + "_trash_pose", 1);

  LOG_INFO("cam_{0:d}_detected_image_topic = {1:s}", cam_id_, detected_image_topic);
  LOG_INFO("cam_{0:d}_trashes_cloud_topic = {1:s}", cam_id_, trashes_cloud_topic);
}

void CameraDetectionNode::InitializeSubscribers(std::string config_path)
{
  const YamlReader file(config_path);
  const CameraParams params{file};
  const auto camera_info_topic = params.Get<std::string>("camera_info_topic");
  fx_ = pose_estimator_->fx_;
  fy_ = pose_estimator_->fy_;
  cx_ = pose_estimator_->cx_;
  cy_ = pose_estimator_->cy_;
  image_width_ = 640;
  rgb_topic_ = params.GetName("rgb_topic");
  depth_topic_ = params.GetName("depth_topic");

  rgb_sub_.subscribe(node_.get(), rgb_topic_, rmw_qos_profile_default);
  depth_sub_.subscribe(node_.get(), depth_topic_, rmw_qos_profile_default);
  sync_ = std::make_shared<message_filters::Synchronizer<SyncPolicy>>(
    SyncPolicy(10), rgb_sub_, depth_sub_);
  sync_->registerCallback(&CameraDetectionNode::ImageCallback, this);

  LOG_INFO("cam_{0:d}_camera_info_topic = {1:s}", cam_id_, camera_info_topic);
  LOG_INFO("cam_{0:d}_rgb_topic = {1:s}", cam_id_, rgb_topic_);
  LOG_INFO("cam_{0:d}_depth_topic = {1:s}", cam_id_, depth_topic_);
}

void CameraDetectionNode::InitializeAiModel(std::string config_path)
{
  const YamlReader file(config_path);
  const CameraParams params{file};
  model_type_ = params.Get<std::string>("model_type");
  const std::string class_txt_path = NamedConfigFile(params, "class_txt");
  det::read_class_name(class_txt_path, class_names_);
  const std::string model_cfg_path = NamedConfigFile(params, "model_cfg_file");
  // A network of other classes (COCO's 80) would hand its labels to the trash
  // tables as ours: a person as paper. Checked before the network loads.
  const det::ModelConfig model = det::load_model_config(model_cfg_path);
  const auto names = class_names_.size();
  std::string problem;
  if (model.source == det::ModelSource::kNetwork && model.post.class_map.empty() &&
    static_cast<std::size_t>(model.post.num_classes) != names)
  {
    problem = "a network of " + std::to_string(model.post.num_classes) + " classes without a "
      "class_map";
  }
  for (const auto & [from, to] : model.post.class_map) {
    if (static_cast<std::size_t>(to) >= names) {
      problem = "a class_map from network label " + std::to_string(from) + " to label " +
        std::to_string(to) + ", beyond the list";
    }
  }
  if (!problem.empty()) {
    throw file.ValueError(
            "camera_detection_params/model_cfg_file", "names '" + model_cfg_path + "', " +
            problem + ", but class_txt lists " + std::to_string(names) + " classes: map the "
            "network's labels to the list's (class_map: {39: 4} maps COCO's bottle to bottle; "
            "prepare_model.py --class-map writes it)");
  }
  yolo_model_ = std::make_shared<det::YOLOv8Seg>(model_cfg_path);

  LOG_INFO("cam_{0:d}_model_type = {1:s}", cam_id_, model_type_);
  LOG_INFO("cam_{0:d}_class_txt_file_path = {1:s}", cam_id_, class_txt_path);
  LOG_INFO("cam_{0:d}_model_cfg_file_path = {1:s}", cam_id_, model_cfg_path);
  // Which engine runs the network: XNNPACK is optional at build time.
  LOG_INFO("cam_{0:d}_model_engine = {1:s}", cam_id_, yolo_model_->engine());
}

void CameraDetectionNode::initializeClassHeightConf()
{
  const std::string path = ament_index_cpp::get_package_share_directory(kPackageName) +
    "/config/class_height_conf.yaml";
  LOG_INFO("cam_{0:d}_class_height_conf_file_path = {1:s}", cam_id_, path);
  const YamlReader table(path);
  for (const auto & field : kClassConfFields) {
    class_height_conf_.*(field.field) = table.Get<float>(field.key);
  }
  for (const auto & field : kClassConfFields) {
    LOG_INFO(
      "cam_{0:d}_class_height_conf_.{1:s} = {2:03.2f}", cam_id_, field.key,
      class_height_conf_.*(field.field));
  }
}

void CameraDetectionNode::initializeAiConf()
{
  const std::string path = ament_index_cpp::get_package_share_directory(kPackageName) +
    "/config/class_conf.yaml";
  const YamlReader table(path);
  for (const auto & field : kClassConfFields) {
    ai_conf_.*(field.field) = table.Get<float>(field.key);
  }
  for (const auto & field : kClassConfFields) {
    LOG_INFO("cam_{0:d}_ai_conf_.{1:s} = {2:03.2f}", cam_id_, field.key, ai_conf_.*(field.field));
  }
}

// ------------------------------------------------------------------ handshake

void CameraDetectionNode::RequestDetection()
{
  std::lock_guard<std::mutex> lock(results_mutex_);
  is_detect_done_.store(false, std::memory_order_release);
  is_detect_requested_.store(true, std::memory_order_release);
  requests_raised_.fetch_add(1, std::memory_order_acq_rel);
}

std::uint64_t CameraDetectionNode::requests_raised() const
{
  return requests_raised_.load(std::memory_order_acquire);
}

bool CameraDetectionNode::IsDetectionRequested() const
{
  return is_detect_requested_.load(std::memory_order_acquire);
}

bool CameraDetectionNode::IsDetectionDone() const
{
  return is_detect_done_.load(std::memory_order_acquire);
}

std::int64_t CameraDetectionNode::last_pair_stamp_ns() const
{
  return last_pair_stamp_ns_.load(std::memory_order_acquire);
}

std::vector<CameraDetectionNode::TrashGrabInfo> CameraDetectionNode::TakeGrabResults()
{
  std::lock_guard<std::mutex> lock(results_mutex_);
  is_detect_done_.store(false, std::memory_order_release);
  return grab_results_;
}

void CameraDetectionNode::FinishPass(std::vector<TrashGrabInfo> results)
{
  // A continuous-mode camera may finish passes while the service copies: the
  // list is swapped whole, so a copy always sees one complete pass.
  std::lock_guard<std::mutex> lock(results_mutex_);
  grab_results_ = std::move(results);
  is_detect_requested_.store(false, std::memory_order_release);
  is_detect_done_.store(true, std::memory_order_release);
}

// ------------------------------------------------------------------ image pipeline

void CameraDetectionNode::ImageCallback(
  const Image::ConstSharedPtr & rgb, const Image::ConstSharedPtr & depth)
{
  // Noted once the pair's fate is decided: a request raised after this line
  // waits for a later pair.
  const auto note_pair = [this, &rgb]() {
      if (rgb) {
        last_pair_stamp_ns_.store(
          static_cast<std::int64_t>(rgb->header.stamp.sec) * 1000000000LL +
          static_cast<std::int64_t>(rgb->header.stamp.nanosec), std::memory_order_release);
      }
    };
  if (!is_detect_requested_.load(std::memory_order_acquire) && !is_realtime_estimate_) {
    note_pair();
    Throttle();
    return;
  }
  note_pair();

  // Reset to the model call's start once the pair is accepted: the cost line
  // measures from there.
  auto t0 = std::chrono::system_clock::now();
  const auto received = t0;
  std::vector<TrashGrabInfo> results;
  PassReport report;
  report.cam_id = cam_id_;
  DepthImageView depth_view;
  try {
    RunPass(rgb, depth, results, report, t0, depth_view);
  } catch (const std::exception & e) {
    // A bad frame must never end the process or leave a request waiting.
    RCLCPP_ERROR(node_->get_logger(), "cam_%d detection pass dropped: %s", cam_id_, e.what());
    report.dropped = e.what();
    results.clear();
  }
  report.total_ms = MillisecondsSince(received);
  if (pass_observer_) {
    pass_observer_(report);
  }
  FinishPass(std::move(results));

  RCLCPP_INFO(
    node_->get_logger(), "cam_%d ImageCallback cost %2.4lf ms", cam_id_, MillisecondsSince(t0));
  // The pass has answered: what follows can neither delay nor change it.
  if (depth_view.data != nullptr && calibration_looks_left_ > 0) {
    JudgeCalibrationOnce(depth_view);
  }
  if (is_debug_ && !report.image_rgb.empty()) {
    ArchivePassExtras(depth_view, report);
  }
  Throttle();
}

void CameraDetectionNode::RunPass(
  const Image::ConstSharedPtr & rgb, const Image::ConstSharedPtr & depth,
  std::vector<TrashGrabInfo> & results, PassReport & report,
  std::chrono::system_clock::time_point & t0, DepthImageView & depth_view)
{
  if (!rgb || !depth) {
    report.dropped = "image pair without data";
    RCLCPP_ERROR(node_->get_logger(), "cam_%d received an image pair without data", cam_id_);
    return;
  }
  std::string problem = ViewDepthImage(*depth, depth_view);
  if (problem.empty() && (rgb->width != depth->width || rgb->height != depth->height)) {
    problem = "colour " + std::to_string(rgb->width) + "x" + std::to_string(rgb->height) +
      " and depth " + std::to_string(depth->width) + "x" + std::to_string(depth->height) +
      " differ in size";
  }
  if (!problem.empty()) {
    depth_view = DepthImageView{};
    report.dropped = problem;
    RCLCPP_ERROR(node_->get_logger(), "cam_%d dropped an image pair: %s", cam_id_, problem.c_str());
    return;
  }

  // The edge test's right-hand edge is this image's, whatever the camera's width.
  image_width_ = static_cast<std::int32_t>(depth->width);
  cv::Mat image = cv_bridge::toCvCopy(rgb, "rgb8")->image;
  report.image_rgb = image.clone();

  std::vector<det::Object> objects;
  t0 = std::chrono::system_clock::now();
  yolo_model_->detect(image, objects);
  report.model_ms = MillisecondsSince(t0);
  std::size_t k = 0;
  for (auto object = objects.begin(); object != objects.end(); ++k) {
    const std::string refused = AdmitDetection(*object, image.size());
    if (refused.empty()) {
      ++object;
      continue;
    }
    RCLCPP_ERROR(
      node_->get_logger(), "cam_%d detection %lu (label %d) dropped: %s", cam_id_,
      static_cast<unsigned long>(k), object->label, refused.c_str());
    object = objects.erase(object);
  }
  RCLCPP_INFO(
    node_->get_logger(), "camera_%d model->detect cost %2.4lf ms", cam_id_, report.model_ms);
  if (is_debug_ || pass_observer_) {
    // The trash objects share their masks with `objects` and are scaled and
    // eroded in place below: keep the model's own masks for the archive.
    report.detections.reserve(objects.size());
    for (const auto & object : objects) {
      det::Object copy = object;
      copy.mask = object.mask.clone();
      report.detections.push_back(std::move(copy));
    }
  }

  auto publish_start = std::chrono::system_clock::now();
  cv::Mat drawn;
  if (model_type_ == "seg") {
    det::draw_objects_masks(image, drawn, objects, class_names_, kColors, kMaskColors);
  } else {
    det::draw_objects(image, drawn, objects, class_names_, kColors);
  }
  detected_image_pub_->publish(
    *cv_bridge::CvImage(std_msgs::msg::Header(), "rgb8", drawn).toImageMsg());

  cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
  cv::cvtColor(drawn, drawn, cv::COLOR_RGB2BGR);

  if (is_debug_) {
    const std::string stem = pose_estimator_->file_prefix_;
    // One stamp for every file of the pass, claimed with its "[initial].jpg".
    report.archive_stamp = ClaimPassStamp(stem, MakeTimestamp());
    if (SavePassImage(stem, report.archive_stamp, kPassKeyTail, image)) {
      LOG_INFO("cam_{0:d} initial image succeed to save", cam_id_);
    } else {
      LOG_INFO("cam_{0:d} initial image failed to save", cam_id_);
    }
    if (SavePassImage(stem, report.archive_stamp, "[detected].jpg", drawn)) {
      LOG_INFO("cam_{0:d} detected image succeed to save", cam_id_);
    } else {
      LOG_INFO("cam_{0:d} detected image failed to save", cam_id_);
    }
  }
  report.publishing_ms += MillisecondsSince(publish_start);

  if (is_debug_ || pass_observer_) {
    // Every detection that no trash object becomes, with the reason, for the replay.
    for (const auto & object : objects) {
      const bool trash = IsTrashLabel(object.label);
      if (trash && !IsAtEdge(object)) {
        continue;
      }
      ObjectReport skipped;
      skipped.detection = object;
      skipped.detection.mask = cv::Mat();
      skipped.outcome = trash ? ObjectOutcome::kAtEdge : ObjectOutcome::kNotTrash;
      skipped.reason = trash ?
        "within " + std::to_string(image_edge_threshold_) + " px of the image's left, top or "
        "right edge" : "class " + ClassNameById(object.label + 1) + " is no trash";
      report.skipped.push_back(std::move(skipped));
    }
    for (const auto & object : yolo_model_->unmapped()) {
      ObjectReport skipped;
      skipped.detection = object;
      skipped.outcome = ObjectOutcome::kUnmapped;
      skipped.reason = "network label " + std::to_string(object.label) +
        " is left out by the model's class_map";
      report.skipped.push_back(std::move(skipped));
    }
  }
  std::vector<det::Object> trash_objects;
  if (!GetTrashObjects(objects, trash_objects)) {
    SaveMissedDetection(image);
    return;
  }
  std::vector<BoxInfo> base_waiting_boxes;
  GetObjsBoxInfos(objects, base_waiting_boxes);

  std::vector<Cloud> init_clouds;
  std::vector<Cloud> processed_clouds;
  for (std::size_t i = 0; i < trash_objects.size(); ++i) {
    ObjectReport object_report;
    object_report.index = i;
    try {
      if (ProcessTrashObject(
          trash_objects[i], depth_view, base_waiting_boxes, init_clouds, processed_clouds,
          object_report, report))
      {
        results.push_back(MakeGrabInfo(*pose_estimator_));
      }
    } catch (const std::exception & e) {
      RCLCPP_ERROR(
        node_->get_logger(), "cam_%d trash [%lu] dropped: %s", cam_id_,
        static_cast<unsigned long>(i), e.what());
      object_report.outcome = ObjectOutcome::kError;
      object_report.reason = std::string("error: ") + e.what();
    }
    report.objects.push_back(std::move(object_report));
  }

  publish_start = std::chrono::system_clock::now();
  if (is_debug_ || is_realtime_estimate_) {
    try {
      PublishPassResults(init_clouds, processed_clouds, results);
    } catch (const std::exception & e) {
      // Pictures of the pass, not its answer: the accepted grabs stay.
      RCLCPP_ERROR(
        node_->get_logger(), "cam_%d clouds and markers not published: %s", cam_id_, e.what());
    }
  }
  report.publishing_ms += MillisecondsSince(publish_start);
}

bool CameraDetectionNode::ProcessTrashObject(
  det::Object & object, const DepthImageView & depth,
  const std::vector<BoxInfo> & base_waiting_boxes, std::vector<Cloud> & init_clouds,
  std::vector<Cloud> & processed_clouds, ObjectReport & report, PassReport & pass)
{
  const std::size_t index = report.index;
  const auto i = static_cast<unsigned long>(index);
  const std::string stem = pose_estimator_->file_prefix_;
  const std::string tag = ObjectTag(index);

  pose_estimator_->trash_type_ = TrashTypeOfLabel(object.label);
  RCLCPP_INFO(node_->get_logger(), "Grab trash type: %d", pose_estimator_->trash_type_);
  report.trash_type = pose_estimator_->trash_type_;

  auto clouds_start = std::chrono::system_clock::now();
  auto trash_cloud = std::make_shared<Cloud>();
  if (!object.mask.empty()) {
    object.mask = object.mask * 255;
  }
  // The archive shows a mask as the image-size picture it stands for.
  const cv::Size image_size(static_cast<int>(depth.width), static_cast<int>(depth.height));
  if (is_debug_) {
    SavePassImage(
      stem, pass.archive_stamp, tag + "[mask][initial].jpg", det::image_mask(object, image_size));
  }
  bool is_transparent = false;
  GetTrashCloud(depth, object, trash_cloud, is_transparent);
  if (is_debug_) {
    SavePassImage(
      stem, pass.archive_stamp, tag + "[mask][eroded].jpg", det::image_mask(object, image_size));
  }
  report.detection = object;
  report.transparent = is_transparent;
  report.raw_points = trash_cloud->size();

  RCLCPP_INFO(
    node_->get_logger(), "cam_%d垃圾序号[%lu]原始点云数量： %lu", cam_id_, i,
    static_cast<unsigned long>(trash_cloud->size()));
  if (trash_cloud->size() < min_trash_cloud_size_treshold_) {
    RCLCPP_WARN(node_->get_logger(), "cam_%d垃圾序号[%lu]原始点云数量太少，请重新检测！", cam_id_, i);
    report.outcome = ObjectOutcome::kTooFewPoints;
    report.reason = "too few points (" + std::to_string(trash_cloud->size()) + " < " +
      std::to_string(min_trash_cloud_size_treshold_) + ")";
    pass.clouds_ms += MillisecondsSince(clouds_start);
    return false;
  }
  if (is_debug_) {
    SavePassCloud(stem, pass.archive_stamp, tag + "[initial].ply", *trash_cloud);
  }

  auto transformed_cloud = std::make_shared<Cloud>();
  pose_estimator_->TransformCloud(*trash_cloud, *transformed_cloud, pose_estimator_->base2camera_);
  if (is_debug_) {
    SavePassCloud(stem, pass.archive_stamp, tag + "[transformed].ply", *transformed_cloud);
  }
  // The pass's clouds are kept only where they are published or drawn: a
  // frame may hold hundreds of pieces.
  const bool publishing = is_debug_ || is_realtime_estimate_;
  if (publishing) {
    init_clouds.push_back(*transformed_cloud);
  }
  pass.clouds_ms += MillisecondsSince(clouds_start);

  const auto estimator_start = std::chrono::system_clock::now();
  const int flag_estimate = is_transparent ?
    pose_estimator_->GetTransparentGrabPose(transformed_cloud) :
    pose_estimator_->GetInitialGrabPose(transformed_cloud);
  pass.estimator_ms += MillisecondsSince(estimator_start);

  if (publishing) {
    processed_clouds.push_back(*transformed_cloud);
  }
  if (is_debug_ || pass_observer_) {
    report.cloud = *transformed_cloud;
  }
  if (is_debug_) {
    SavePassCloud(stem, pass.archive_stamp, tag + "[processed].ply", *transformed_cloud);
  }
  switch (flag_estimate) {
    case 1:
      break;
    case 11:
      report.outcome = ObjectOutcome::kTooFewAfterFilter;
      report.reason = "too few points after filtering";
      return false;
    case 41:
      report.outcome = ObjectOutcome::kOutsideWorkspace;
      report.reason = WorkspaceRefusal();
      return false;
    default:
      report.outcome = ObjectOutcome::kUnhandledAxis;
      report.reason = "main axis not handled (status " + std::to_string(flag_estimate) + ")";
      return false;
  }

  if (is_enable_semantic_ &&
    !IsTrashToGrab(
      pose_estimator_->trash_lowest_z_, pose_estimator_->base_height_, object,
      base_waiting_boxes))
  {
    RCLCPP_INFO(node_->get_logger(), "cam_%d垃圾序号[%lu]不在白名单位置处，忽略", cam_id_, i);
    report.outcome = ObjectOutcome::kNotWhitelisted;
    report.reason = "not on a whitelisted place";
    return false;
  }
  RCLCPP_INFO(node_->get_logger(), "cam_%d垃圾序号[%lu]在白名单位置处，需要抓取", cam_id_, i);
  WriteConsole("\033[42mcam" + std::to_string(cam_id_) + " flag_estimate == 1\033[0m\n");

  const GrabPoseEstimator & e = *pose_estimator_;
  report.outcome = ObjectOutcome::kAccepted;
  report.main_axis_type = e.main_axis_type_;
  report.grab_position = e.grab_pose_.position.cast<double>();
  report.grab_orientation = e.grab_pose_.orientation;
  const Eigen::Isometry3d box =
    (Eigen::Translation3d(report.grab_position) * report.grab_orientation) *
    (Eigen::Translation3d(e.trash_pose_.position.cast<double>()) * e.trash_pose_.orientation);
  report.box_centre = box.translation();
  report.box_orientation = Eigen::Quaterniond(box.rotation());
  report.box_size = e.trash_dimensions_.cast<double>();
  return true;
}

std::string CameraDetectionNode::WorkspaceRefusal() const
{
  const GrabPoseEstimator & e = *pose_estimator_;
  char text[96];
  if (e.grab_distance_ < e.workspace_r_min_) {
    std::snprintf(
      text, sizeof(text), "outside the workspace: too near (%.3f m)",
      static_cast<double>(e.grab_distance_));
  } else if (e.grab_distance_ > e.workspace_r_max_) {
    std::snprintf(
      text, sizeof(text), "outside the workspace: too far (%.3f m)",
      static_cast<double>(e.grab_distance_));
  } else if (e.grab_angle_ < e.workspace_angle_min_) {
    std::snprintf(
      text, sizeof(text), "outside the workspace: too far left (%.1f deg)",
      static_cast<double>(e.grab_angle_));
  } else {
    std::snprintf(
      text, sizeof(text), "outside the workspace: too far right (%.1f deg)",
      static_cast<double>(e.grab_angle_));
  }
  return text;
}

PictureGeometry CameraDetectionNode::picture_geometry() const
{
  PictureGeometry geometry;
  geometry.intrinsics = CameraIntrinsics{fx_, fy_, cx_, cy_};
  geometry.base2camera = pose_estimator_->base2camera_;
  const GrabPoseEstimator & e = *pose_estimator_;
  geometry.workspace.r_min = e.workspace_r_min_;
  geometry.workspace.r_max = e.workspace_r_max_;
  geometry.workspace.angle_min_deg = e.workspace_angle_min_;
  geometry.workspace.angle_max_deg = e.workspace_angle_max_;
  geometry.workspace.origin_r = e.workspace_origin_r_;
  geometry.workspace.origin_z = e.workspace_origin_z_;
  geometry.workspace.floor_z = -e.base_height_;
  geometry.class_names = class_names_;
  return geometry;
}

void CameraDetectionNode::SetPassObserver(std::function<void(const PassReport &)> observer)
{
  pass_observer_ = std::move(observer);
}

void CameraDetectionNode::ArchivePassExtras(
  const DepthImageView & depth, const PassReport & report) const
{
  // Beside the files an integrator already knows: the raw depth and the
  // model's detections, lossless, so the replay tool can run this pass again
  // exactly; and the pictures of the pass. Written after the pass answered,
  // so a failure here costs these files only: one error line, never a grab.
  std::string failed;
  const auto note = [&failed](bool written, const std::string & what) {
      if (!written) {
        failed += (failed.empty() ? "" : ", ") + what;
      }
    };
  try {
    const std::string stem = pose_estimator_->file_prefix_;
    // The pass's own stamp, so the replay finds them together.
    const std::string & stamp = report.archive_stamp;
    note(
      SavePassImage(stem, stamp, "[depth].png", DepthImageCopy(depth)),
      "[depth].png");
    note(
      SaveDetections(stem, stamp, report.detections, report.image_rgb.size()),
      "[detections].yaml");
    const PictureGeometry geometry = picture_geometry();
    note(SavePassImage(stem, stamp, "[pass].png", DrawPassImage(report, geometry)), "[pass].png");
    note(SavePassImage(stem, stamp, "[top].png", DrawTopView(report, geometry)), "[top].png");
  } catch (const std::exception & e) {
    note(false, e.what());
  }
  if (!failed.empty()) {
    RCLCPP_ERROR(
      node_->get_logger(), "cam_%d debug archive incomplete, not written: %s", cam_id_,
      failed.c_str());
  }
}

void CameraDetectionNode::PublishPassResults(
  const std::vector<Cloud> & init_clouds, const std::vector<Cloud> & processed_clouds,
  const std::vector<TrashGrabInfo> & results)
{
  rclcpp::Clock system_clock(RCL_SYSTEM_TIME);
  const auto publish_concatenated =
    [&](const std::vector<Cloud> & clouds,
      const rclcpp::Publisher<sensor_msgs::msg::PointCloud2>::SharedPtr & publisher) {
      Cloud all;
      for (const auto & cloud : clouds) {
        all += cloud;
      }
      sensor_msgs::msg::PointCloud2 msg;
      pcl::toROSMsg(all, msg);
      msg.header.frame_id = robot_frame_id_;
      msg.header.stamp = system_clock.now();
      publisher->publish(msg);
    };
  publish_concatenated(processed_clouds, trashes_cloud_pub_);
  publish_concatenated(init_clouds, trashes_init_cloud_pub_);

  if (results.empty()) {
    return;
  }
  const builtin_interfaces::msg::Time stamp = node_->now();
  for (std::size_t n = 0; n < results.size(); ++n) {
    static_broadcaster_->sendTransform(
      GrabTransform(results[n], n, cam_id_, robot_frame_id_, stamp));
  }
  trash_obb_markers_pub_->publish(BoxMarkers(results, cam_id_, robot_frame_id_, stamp));
  trash_pose_pub_->publish(GrabAxisMarkers(results, robot_frame_id_, stamp));
}

void CameraDetectionNode::SaveMissedDetection(const cv::Mat & image_bgr) const
{
  if (SaveArchiveImage(pose_estimator_->missing_prefix_, MakeTimestamp(), ".jpg", image_bgr)) {
    LOG_INFO("cam_{0:d} failed to detect trash, image saved", cam_id_);
  } else {
    LOG_INFO("cam_{0:d} failed to detect trash, image failed to save", cam_id_);
  }
}

void CameraDetectionNode::JudgeCalibrationOnce(const DepthImageView & depth)
{
  const FloorFit floor = FitFloorPlane(depth, {fx_, fy_, cx_, cy_}, pose_estimator_->base2camera_);
  const auto verdict = JudgeCalibration(floor, -pose_estimator_->base_height_);
  calibration_looks_left_ = verdict ? 0 : calibration_looks_left_ - 1;
  if (verdict && !verdict->empty()) {
    RCLCPP_WARN(node_->get_logger(), "cam_%d calibration check: %s", cam_id_, verdict->c_str());
  }
}

void CameraDetectionNode::Throttle() const
{
  // ROS 2's sleep ends when the context shuts down, so the executor can be
  // joined; other signals do not shorten it. A sleep that starts just after a
  // shutdown would run its full time, hence slices with a look before each.
  constexpr std::chrono::milliseconds kSlice{200};
  const auto context = node_->get_node_base_interface()->get_context();
  auto left = std::chrono::milliseconds(detect_duration_);
  while (left > std::chrono::milliseconds::zero() && rclcpp::ok(context)) {
    const auto slice = std::min(left, kSlice);
    if (!rclcpp::sleep_for(slice, context)) {
      return;
    }
    left -= slice;
  }
}

// ------------------------------------------------------------------ filtering

bool CameraDetectionNode::IsAtEdge(const det::Object & object) const
{
  return IsAtImageEdge(object.rect, image_width_, image_edge_threshold_);
}

bool CameraDetectionNode::GetTrashObjects(
  const std::vector<det::Object> & objects, std::vector<det::Object> & trash_objects) const
{
  for (const auto & object : objects) {
    if (!IsTrashLabel(object.label)) {
      continue;
    }
    if (IsAtEdge(object)) {
      RCLCPP_INFO(node_->get_logger(), "this obj is at the edge of the image");
      continue;
    }
    trash_objects.push_back(object);
  }
  if (trash_objects.empty()) {
    RCLCPP_WARN(node_->get_logger(), "No trash object detected !");
    return false;
  }
  return true;
}

void CameraDetectionNode::GetObjsBoxInfos(
  const std::vector<det::Object> & objects, std::vector<BoxInfo> & base_waiting_boxes) const
{
  base_waiting_boxes.clear();
  LOG_INFO("cam_{0:d} ori detect bbox size = {1:d}", cam_id_, objects.size());
  std::vector<BoxInfo> boxes;
  boxes.reserve(objects.size());
  for (const auto & object : objects) {
    boxes.push_back(MakeBoxInfo(object));
    const BoxInfo & b = boxes.back();
    LOG_INFO(
      "cam_{0:d} : class={1:s}, score={2:03.2f}, x1={3:d}, y1={4:d}, x2={5:d}, y2={6:d}",
      cam_id_, ClassNameById(b.class_id), b.score, b.x1, b.y1, b.x2, b.y2);
  }
  LOG_INFO("cam_{0:d} filtered detect bbox size = {1:d}", cam_id_, boxes.size());
  for (const auto & box : boxes) {
    const std::string name = ClassNameById(box.class_id);
    RCLCPP_INFO(
      node_->get_logger(), "cam_%d, class_id=%d, class_name=%s, score=%f", cam_id_, box.class_id,
      name.c_str(), static_cast<double>(box.score));
    if (IsBaseOrBench(box.class_id)) {
      RCLCPP_INFO(
        node_->get_logger(), "cam_%d, base_or_waiting, class_name=%s", cam_id_,
        name.c_str());
      base_waiting_boxes.push_back(box);
    }
  }
  RCLCPP_INFO(
    node_->get_logger(), "cam_%d, base_waiting size=%lu", cam_id_,
    static_cast<unsigned long>(base_waiting_boxes.size()));
}

bool CameraDetectionNode::IsTrashToGrab(
  float trash_lowest_z, float base_height, const det::Object & object,
  std::vector<BoxInfo> base_waiting_boxes) const
{
  const BoxInfo trash = MakeBoxInfo(object);
  const std::string trash_name = ClassNameById(trash.class_id);
  RCLCPP_INFO(
    node_->get_logger(), "cam_%d, base_waiting size=%lu", cam_id_,
    static_cast<unsigned long>(base_waiting_boxes.size()));

  bool on_base_or_bench = false;
  if (!base_waiting_boxes.empty()) {
    for (const auto & box : base_waiting_boxes) {
      const float overlap = BoxCoverage(trash, box);
      RCLCPP_INFO(
        node_->get_logger(), "cam_%d, iou=%f, trash_mask_iou_v1=%f", cam_id_,
        static_cast<double>(overlap), static_cast<double>(trash_mask_iou_v1_));
      if (LiesOn(trash, box, trash_mask_iou_v1_)) {
        RCLCPP_INFO(
          node_->get_logger(), "cam_%d : trash=%s is above obstacle=%s", cam_id_,
          trash_name.c_str(), ClassNameById(box.class_id).c_str());
        on_base_or_bench = true;
      }
    }
    if (on_base_or_bench) {
      return true;
    }
  } else {
    LOG_INFO("no base waiting detected");
  }

  const float trash2floor_height = HeightAboveFloor(trash_lowest_z, base_height);
  LOG_INFO("trash_type: {0:s}, trash2floor_height: {1:5.4f}", trash_name, trash2floor_height);
  const float height_threshold =
    HeightThreshold(ClassConfById(class_height_conf_, trash.class_id), ground_max_th_);
  LOG_INFO("height_threshold: {0:5.4f}", height_threshold);
  if (!IsLowEnough(trash2floor_height, height_threshold)) {
    return false;
  }
  RCLCPP_INFO(
    node_->get_logger(), "cam_%d : trash=%s is above ground", cam_id_,
    trash_name.c_str());
  return true;
}

// ------------------------------------------------------------------ cloud extraction

void CameraDetectionNode::GetTrashCloud(
  const DepthImageView & depth, det::Object & object, const Cloud::Ptr & trash_cloud,
  bool & is_transparent) const
{
  trash_cloud->points.clear();
  trash_cloud->width = 0;
  trash_cloud->height = 0;

  // The mask covers the detection's box of an image of the depth image's size.
  const cv::Size image = depth.data != nullptr ?
    cv::Size(static_cast<int>(depth.width), static_cast<int>(depth.height)) :
    cv::Size(object.mask_box.br());
  if (ErodesMask(object.rect)) {
    ErodeMaskInImage(object.mask, object.mask_box.tl(), image, mask_erosion_size_);
  }
  std::ostringstream lines;
  lines << "mask_rect: [ x: " << object.rect.x << " y: " << object.rect.y << " w: " <<
    object.rect.width << " h: " << object.rect.height << "]\n" <<
    "mask.rows: " << image.height << "  mask.cols: " << image.width << "\n\n";
  WriteConsole(lines.str());

  const CameraIntrinsics intrinsics{fx_, fy_, cx_, cy_};
  const MaskCloudCounts counts = BackProjectMask(
    depth, object.mask, object.rect, intrinsics, *trash_cloud, object.mask_box.tl());

  LOG_INFO("mask_points.size: {}", counts.mask_points);
  LOG_INFO("null_count: {}", counts.null_count);
  const Transparency transparency = CheckTransparency(
    counts.mask_points, counts.null_count, object.rect, null_ratio_threshold_, hw_ratio_threshold_);
  LOG_INFO("null_count/mask_points.size: {}", transparency.null_ratio);
  LOG_INFO("obj.rect.height/obj.rect.width: {}", transparency.hw_ratio);
  is_transparent = transparency.transparent;
}

}  // namespace velmora
