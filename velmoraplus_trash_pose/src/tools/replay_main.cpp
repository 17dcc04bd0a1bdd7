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

// Replays recorded colour/depth pairs through the whole node: the same
// DetectionNode and configuration as the robot's process, a player that
// streams each pair on the configured camera topics, and a client that calls
// DetectTrash for every frame. Prints each answer as YAML and draws pictures.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <cv_bridge/cv_bridge.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/core/debug_archive.hpp"
#include "velmoraplus_trash_pose/core/floor_check.hpp"
#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/logger.hpp"
#include "velmoraplus_trash_pose/core/yaml_quote.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"
#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"
#include "velmoraplus_trash_pose/pass/pass_pictures.hpp"
#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"
#include "velmoraplus_trash_pose/tools/replay_support.hpp"
#include "velmoraplus_trash_pose/tools/synthetic_scene.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;

namespace
{

constexpr const char * kPackage = "velmoraplus_trash_pose";
constexpr auto kStreamPeriod = 100ms;      // the player streams like a 10 Hz camera
constexpr auto kAnswerTimeout = 120s;

const char * kUsage =
  "usage: velmoraplus_trash_pose_replay [options] COLOR.png DEPTH.png [COLOR DEPTH ...]\n"
  "  Replays colour/depth pairs (8-bit colour, 16-bit depth in mm, equal sizes) through the\n"
  "  node and calls DetectTrash once per frame.\n"
  "options:\n"
  "  --config DIR     configuration folder (default: the installed one)\n"
  "  --cam-num N      cam_num for the DetectTrash service (default: as configured)\n"
  "  --slot S         camera slot (1-3) that receives the following pairs (default 2)\n"
  "  --debug | --no-debug   the cameras' debug archive on or off (default: as configured)\n"
  "  --out DIR        output folder for pictures and the archive (default out/replay\n"
  "                   under the current folder)\n"
  "  --repeat N       replay the frames N times and print timing medians (default 1)\n"
  "  --detections F   use the detections recorded in F (e.g. an archived \"[detections].yaml\")\n"
  "                   instead of each camera's model\n"
  "  --synthetic      a dry run of the configuration, no images given: each camera cam_num\n"
  "                   triggers sees a rendered floor with a lying bottle, an upright can and a\n"
  "                   paper where its optical axis meets the floor (640x480, detected as\n"
  "                   recorded); the answer lists them under synthetic_scene\n"
  "exit status: 0 when every request was answered, 1 on an error (one line on standard error),\n"
  "  128 + N when signal N (SIGINT, SIGTERM) interrupted it: the answers so far are printed\n";

struct Pair
{
  std::string colour_path;
  std::string depth_path;
  int slot = 2;
  cv::Mat colour_rgb;
  cv::Mat depth_mm;
};

struct Options
{
  std::optional<std::string> config_dir;
  std::optional<int> cam_num;
  std::optional<bool> debug;
  std::optional<std::string> detections;
  bool synthetic = false;
  // Below out/, which the repository ignores: a run from its root adds nothing to it.
  std::string out_dir = "out/replay";
  int repeat = 1;
  std::vector<Pair> pairs;
};

[[noreturn]] void Fail(const std::string & message)
{
  throw std::runtime_error(message);
}

int ParseInt(const std::string & option, const std::string & value)
{
  return static_cast<int>(
    velmora::ParseIntegerOption(
      option, value, std::numeric_limits<int>::min(),
      std::numeric_limits<int>::max()));
}

Options ParseArguments(const std::vector<std::string> & args)
{
  Options options;
  int slot = 2;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string & a = args[i];
    const auto value = [&]() {return velmora::TakeOptionValue(args, i);};
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--config") {
      options.config_dir = value();
    } else if (a == "--cam-num") {
      options.cam_num = ParseInt(a, value());
    } else if (a == "--slot") {
      slot = ParseInt(a, value());
      if (slot < 1 || slot > 3) {
        Fail("option --slot: " + std::to_string(slot) + " is not a camera slot (1, 2 or 3)");
      }
    } else if (a == "--debug") {
      options.debug = true;
    } else if (a == "--no-debug") {
      options.debug = false;
    } else if (a == "--detections") {
      options.detections = value();
    } else if (a == "--synthetic") {
      options.synthetic = true;
    } else if (a == "--out") {
      options.out_dir = value();
    } else if (a == "--repeat") {
      options.repeat = std::max(1, ParseInt(a, value()));
    } else if (!a.empty() && a[0] == '-') {
      Fail("unknown option " + a);
    } else {
      files.push_back(a);
      if (files.size() == 2) {
        Pair pair;
        pair.colour_path = files[0];
        pair.depth_path = files[1];
        pair.slot = slot;
        options.pairs.push_back(pair);
        files.clear();
      }
    }
  }
  if (!files.empty()) {
    Fail("colour image " + files[0] + " has no depth image after it");
  }
  if (options.pairs.empty() != options.synthetic || (options.synthetic && options.detections)) {
    Fail(
      options.synthetic ? "--synthetic renders its own pairs and detections: give neither" :
      "no colour/depth pair given");
  }
  // The answer names these paths: one YAML cannot hold as it is would name a file
  // that does not exist.
  std::vector<std::string> named = {options.out_dir};
  for (const Pair & pair : options.pairs) {
    named.insert(named.end(), {pair.colour_path, pair.depth_path});
  }
  for (const std::string & path : named) {
    if (!velmora::IsUtf8(path)) {
      Fail("path " + velmora::YamlQuoted(path) + " is not valid UTF-8: rename it");
    }
  }
  return options;
}

void LoadPair(Pair & pair)
{
  velmora::ImagePair images = velmora::LoadImagePair(pair.colour_path, pair.depth_path);
  pair.colour_rgb = std::move(images.colour_rgb);
  pair.depth_mm = std::move(images.depth_mm);
}

void PrintPose(
  std::ostream & out, const std::string & indent, const std::string & name,
  const geometry_msgs::msg::Pose & pose)
{
  out << indent << name << ":\n"
      << indent << "  position: [" << pose.position.x << ", " << pose.position.y << ", " <<
    pose.position.z << "]\n"
      << indent << "  orientation: [" << pose.orientation.x << ", " << pose.orientation.y <<
    ", " << pose.orientation.z << ", " << pose.orientation.w << "]  # x, y, z, w\n";
}

double Median(std::vector<double> values)
{
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// The dry run: for each camera `slot` triggers, a floor scene rendered as its
// configuration says it sees, written to `out_dir`, with its model replaced by
// the scene's recording; the pairs to replay and, per slot, the truth.
std::vector<Pair> RenderDryRun(
  const velmora::PrivateConfigPrefix & prefix, const std::vector<int> & slots,
  const fs::path & out_dir, std::map<int, std::vector<velmora::SceneObject>> & truth)
{
  std::vector<Pair> pairs;
  for (const int slot : slots) {
    const std::string camera = "cam" + std::to_string(slot) + "_detect_config.yaml";
    const std::string pose_file = velmora::YamlReader(prefix.file(camera).string()).GetName(
      "camera_detection_params/pose_estimate_config_file");
    const velmora::GrabPoseEstimator estimator(prefix.file(pose_file).string());
    const Eigen::Matrix4d base2camera = estimator.base2camera_.cast<double>();
    const double floor_z = -estimator.base_height_;
    truth[slot] = velmora::DryRunObjects(base2camera, floor_z);
    if (truth[slot].empty()) {
      Fail(
        camera + ": camera " + std::to_string(slot) + "'s optical axis does not meet the "
        "floor ahead of it: check its calibration and base_height");
    }
    const velmora::SyntheticScene scene = velmora::RenderScene(
      truth[slot], base2camera, {estimator.fx_, estimator.fy_, estimator.cx_, estimator.cy_},
      {640, 480}, floor_z);
    // Absolute: the recording is named from the private configuration folder.
    const std::string stem =
      (fs::absolute(out_dir) / ("synthetic_cam" + std::to_string(slot))).string();
    cv::Mat bgr;
    cv::cvtColor(scene.colour, bgr, cv::COLOR_RGB2BGR);
    if (!cv::imwrite(stem + "_color.png", bgr) || !cv::imwrite(stem + "_depth.png", scene.depth)) {
      Fail("cannot write " + stem + "_color.png and _depth.png");
    }
    const std::string model = "replay_synthetic_cam" + std::to_string(slot) + ".yaml";
    std::ofstream(prefix.file(model)) << "source: recorded\nrecording: " << velmora::YamlQuoted(
      velmora::WriteRecording(scene, truth[slot], stem + "_detections")) << "\n";
    prefix.Edit(camera, "camera_detection_params", "model_cfg_file", model);
    prefix.Edit(camera, "camera_detection_params", "is_realtime_estimate", "false");
    Pair pair;
    pair.colour_path = stem + "_color.png";
    pair.depth_path = stem + "_depth.png";
    pair.slot = slot;
    LoadPair(pair);
    pairs.push_back(pair);
  }
  return pairs;
}

int ReplayOn(
  const Options & options, const velmora::PrivateConfigPrefix & prefix,
  std::FILE * answer_out);

int Replay(const Options & options, std::FILE * answer_out)
{
  const fs::path source = options.config_dir ? fs::path(*options.config_dir) :
    fs::path(ament_index_cpp::get_package_share_directory(kPackage)) / "config";
  const velmora::PrivateConfigPrefix prefix(source, "replay");
  try {
    return ReplayOn(options, prefix, answer_out);
  } catch (const std::exception & e) {
    throw std::runtime_error(prefix.InSource(e.what()));
  }
}

int ReplayOn(
  const Options & options, const velmora::PrivateConfigPrefix & prefix,
  std::FILE * answer_out)
{
  if (options.cam_num) {
    prefix.Edit(
      "trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num",
      std::to_string(*options.cam_num));
  }
  for (int slot = 1; slot <= 3; ++slot) {
    const std::string camera = "cam" + std::to_string(slot) + "_detect_config.yaml";
    if (options.debug) {
      prefix.Edit(camera, "camera_detection_params", "is_debug", *options.debug ? "true" : "false");
    }
    if (options.detections) {
      // A recording's frames go to the passes in order: a pass no request asked
      // for (continuous mode) would give the next pair the wrong frame's detections.
      prefix.Edit(
        camera, "camera_detection_params", "model_cfg_file",
        "replay_recorded_model.yaml");
      prefix.Edit(camera, "camera_detection_params", "is_realtime_estimate", "false");
    }
  }
  if (options.detections) {
    const fs::path recording = fs::absolute(*options.detections);
    if (!fs::is_regular_file(recording)) {
      Fail("detections file " + recording.string() + " cannot be read");
    }
    std::ofstream(prefix.file("replay_recorded_model.yaml"))
      << "source: recorded\nrecording: " << velmora::YamlQuoted(recording.string()) << "\n";
  }
  fs::create_directories(options.out_dir);
  // Two replays into one folder would replace each other's pictures and answers:
  // the lock is held until this process ends (an earlier finished run's files are
  // replaced as usual).
  const std::string lock_path = (fs::path(options.out_dir) / ".replay.lock").string();
  const int lock = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    Fail("output folder " + options.out_dir + " is in use by another replay (" + lock_path + ")");
  }
  // Empty counts as unset, as for the node: the archive then goes below --out.
  if (const char * root = std::getenv("VELMORAPLUS_DATA_DIR"); root == nullptr || *root == '\0') {
    const std::string archive = (fs::path(options.out_dir) / "archive").string();
    ::setenv("VELMORAPLUS_DATA_DIR", archive.c_str(), 1);
  }

  // A dry run renders its own pairs, as the configured cameras would see its scene.
  std::map<int, std::vector<velmora::SceneObject>> truth;
  std::vector<Pair> pairs = options.pairs;
  if (options.synthetic) {
    const int cam_num = velmora::YamlReader(prefix.file("trash_pose_detect_config.yaml").string())
      .Get<int>("velmoraplus_trash_pose/cam_num");
    pairs = RenderDryRun(prefix, velmora::TriggeredSlots(cam_num), options.out_dir, truth);
  }

  // rclcpp shuts down on SIGINT/SIGTERM and chains to this, which notes the signal.
  const velmora::StopSignalRecorder signals;
  velmora::IsolateRosTraffic();
  rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::All);
  const std::string config_path = prefix.file("trash_pose_detect_config.yaml").string();
  LOG_INFO("trash_pose_detect_config_path = {}", config_path);
  // Filled by the cameras' threads: declared first, so it outlives them.
  std::mutex reports_mutex;
  std::map<int, velmora::PassReport> reports;
  velmora::InProcessDetection robot(config_path, "velmoraplus_trash_pose_replay");
  velmora::DetectionNode & detection = robot.detection();

  // Frames a triggered camera needs must exist: a camera without a frame
  // would keep the request waiting.
  const std::vector<int> triggered = velmora::TriggeredSlots(detection.camera_num());
  std::map<std::size_t, std::map<int, const Pair *>> frames;  // frame -> slot -> pair
  {
    std::size_t frame = 0;
    std::map<int, const Pair *> current;
    for (const auto & pair : pairs) {
      if (current.count(pair.slot)) {
        frames[frame++] = current;
        current.clear();
      }
      current[pair.slot] = &pair;
    }
    frames[frame] = current;
  }
  for (const auto & [index, slots] : frames) {
    for (int slot : triggered) {
      if (!slots.count(slot)) {
        Fail(
          "cam_num " + std::to_string(detection.camera_num()) + " triggers camera slot " +
          std::to_string(slot) + ", but frame " + std::to_string(index + 1) +
          " has no pair for it (use --slot before the pair)");
      }
    }
  }

  for (int slot = 1; slot <= 3; ++slot) {
    detection.camera(slot)->SetPassObserver(
      [&reports_mutex, &reports, slot](const velmora::PassReport & r) {
        std::lock_guard<std::mutex> lock(reports_mutex);
        reports[slot] = r;
      });
  }

  // A signal shuts ROS 2 down: every wait below ends within one stream period.
  bool interrupted = false;
  std::size_t answered = 0;
  if (!robot.Start(10s)) {
    interrupted = !rclcpp::ok();
    robot.Stop();
    if (!interrupted) {
      Fail("service " + robot.service_name() + " did not come up");
    }
  }

  std::map<std::string, std::vector<double>> timings;
  // Outputs that could not be written, with the reason: the run then fails.
  std::vector<std::string> not_written;
  const auto save_image = [&not_written](const std::string & path, const cv::Mat & image) {
      errno = 0;
      if (!velmora::SaveImage(path, image)) {
        not_written.push_back(path + " (" + (errno ? std::strerror(errno) : "write failed") + ")");
      }
    };
  std::ostringstream yaml;
  yaml << std::setprecision(6) << std::fixed;
  for (int round = 0; round < options.repeat && !interrupted; ++round) {
    for (const auto & [index, slots] : frames) {
      {
        std::lock_guard<std::mutex> lock(reports_mutex);
        reports.clear();
      }
      velmora::InProcessDetection::Frame frame;
      const builtin_interfaces::msg::Time unstamped;
      for (const auto & [slot, pair] : slots) {
        frame[slot] = {*velmora::ImageMessage(pair->colour_rgb, "rgb8", unstamped),
          *velmora::ImageMessage(pair->depth_mm, "16UC1", unstamped)};
      }
      const auto response = robot.CallStreaming(frame, kStreamPeriod, kAnswerTimeout);
      if (!response && !rclcpp::ok()) {
        interrupted = true;
        break;
      }
      if (!response) {
        robot.Stop();
        Fail("no answer from " + robot.service_name() + " for frame " + std::to_string(index + 1));
      }
      ++answered;
      std::map<int, velmora::PassReport> frame_reports;
      {
        std::lock_guard<std::mutex> lock(reports_mutex);
        frame_reports = reports;
      }
      for (const auto & [slot, report] : frame_reports) {
        timings["model"].push_back(report.model_ms);
        timings["clouds"].push_back(report.clouds_ms);
        timings["estimator"].push_back(report.estimator_ms);
        timings["publishing"].push_back(report.publishing_ms);
        timings["pass"].push_back(report.total_ms);
      }
      if (round > 0) {
        continue;
      }

      yaml << "- frame: " << index + 1 << "\n";
      yaml << "  detected_cam: " << response->detected_cam << "\n";
      yaml << "  trash_infos:" << (response->trash_infos.empty() ? " []" : "") << "\n";
      for (const auto & info : response->trash_infos) {
        yaml << "    - trash_type: " << static_cast<int>(info.trash_type) << "\n";
        yaml << "      main_axis_type: " << static_cast<int>(info.main_axis_type) << "\n";
        PrintPose(yaml, "      ", "grab_pose", info.grab_pose);
        PrintPose(yaml, "      ", "obb_pose", info.obb_pose);
        yaml << "      obb_size: [" << info.obb_size.x << ", " << info.obb_size.y << ", " <<
          info.obb_size.z << "]\n";
      }
      yaml << "  cameras:\n";
      for (const auto & [slot, pair] : slots) {
        const auto & camera = detection.camera(slot);
        const velmora::PictureGeometry geometry = camera->picture_geometry();
        yaml << "    - slot: " << slot << "\n";
        yaml << "      cam_id: " << camera->cam_id() << "\n";
        yaml << "      colour: " << velmora::YamlQuoted(pair->colour_path) << "\n";
        yaml << "      depth: " << velmora::YamlQuoted(pair->depth_path) << "\n";
        if (truth.count(slot)) {
          // Each object with how far its grab point lies from its centre, seen from above.
          yaml << "      synthetic_scene:   # the rendered objects, base frame\n";
          const auto pass = frame_reports.find(slot);
          for (const velmora::SceneObject & object : truth.at(slot)) {
            yaml << "        - {name: " << object.name << ", label: " << object.label <<
              ", centre: [" << object.centre.x() << ", " << object.centre.y() << ", " <<
              object.centre.z() << "], ";
            const velmora::ObjectReport * piece = nullptr;
            for (std::size_t i = 0; pass != frame_reports.end() &&
              i < pass->second.objects.size(); ++i)
            {
              const velmora::ObjectReport & o = pass->second.objects[i];
              piece = o.detection.label == object.label ? &o : piece;
            }
            if (piece && piece->outcome == velmora::ObjectOutcome::kAccepted) {
              yaml << "grab_offset_xy: " << (piece->grab_position - object.centre).head<2>().norm();
            } else {
              yaml << "outcome: " << velmora::YamlQuoted(
                piece ? velmora::OutcomeName(piece->outcome) : "not detected");
            }
            yaml << "}\n";
          }
        }
        velmora::DepthImageView view;
        view.data = pair->depth_mm.data;
        view.size = pair->depth_mm.total() * 2;
        view.width = static_cast<std::uint32_t>(pair->depth_mm.cols);
        view.height = static_cast<std::uint32_t>(pair->depth_mm.rows);
        view.step = static_cast<std::uint32_t>(pair->depth_mm.step);
        const velmora::FloorFit floor = velmora::FitFloorPlane(
          view, geometry.intrinsics, geometry.base2camera);
        yaml << "      calibration_check:\n";
        if (floor.found) {
          yaml << "        floor_height: " << floor.height << "   # base frame, metres\n";
          yaml << "        expected_floor_height: " << geometry.workspace.floor_z <<
            "   # -base_height\n";
          yaml << "        floor_tilt_deg: " << floor.tilt_deg << "\n";
          yaml << "        floor_inlier_share: " <<
            static_cast<double>(floor.inliers) / static_cast<double>(floor.samples) << "\n";
          const auto verdict = velmora::JudgeCalibration(floor, geometry.workspace.floor_z);
          yaml << "        verdict: " << velmora::YamlQuoted(
            !verdict ? "no judge" : verdict->empty() ? "agrees" : *verdict) << "\n";
        } else {
          yaml << "        floor_height: null   # no plane found in the depth image\n";
        }
        const auto found = frame_reports.find(slot);
        if (found == frame_reports.end()) {
          continue;
        }
        const velmora::PassReport & report = found->second;
        const std::string stem = (fs::path(options.out_dir) /
          ("frame_" + std::to_string(index + 1) + "_cam" +
          std::to_string(camera->cam_id()))).string();
        save_image(stem + "_pass.png", velmora::DrawPassImage(report, geometry));
        save_image(stem + "_top.png", velmora::DrawTopView(report, geometry));
        yaml << "      pictures: [" << velmora::YamlQuoted(stem + "_pass.png") << ", " <<
          velmora::YamlQuoted(stem + "_top.png") << "]\n";
        yaml << "      pieces:\n";
        // Trash pieces with their index and clouds, then the detections no piece became.
        const auto print_piece = [&yaml](const velmora::ObjectReport & object, bool trash) {
            yaml << "        - " << (trash ? "index: " + std::to_string(object.index) +
            "\n          " : std::string()) << "label: " << object.detection.label << "\n";
            yaml << "          score: " << object.detection.score << "\n";
            if (trash) {
              yaml << "          transparent: " << (object.transparent ? "true" : "false") <<
                "\n          raw_points: " << object.raw_points << "\n";
            }
            yaml << "          outcome: " <<
              velmora::YamlQuoted(velmora::OutcomeName(object.outcome)) << "\n";
            if (!object.reason.empty()) {
              yaml << "          reason: " << velmora::YamlQuoted(object.reason) << "\n";
            }
          };
        for (const auto & object : report.objects) {
          print_piece(object, true);
        }
        for (const auto & object : report.skipped) {
          print_piece(object, false);
        }
        if (!report.dropped.empty()) {
          yaml << "      dropped: " << velmora::YamlQuoted(report.dropped) << "\n";
        }
      }
    }
  }
  robot.Stop();

  // No answered frame (an interrupted run) still reads back as a list.
  const std::string answers = "frames:" + std::string(yaml.str().empty() ? " []" : "") + "\n" +
    yaml.str();
  std::ostringstream printed;
  printed << "---\n" << answers;
  printed << "timing_ms_median:   # per camera pass, over " << timings["pass"].size() <<
    " passes\n";
  for (const char * key : {"model", "clouds", "estimator", "publishing", "pass"}) {
    printed << "  " << key << ": " << std::setprecision(3) << std::fixed <<
      Median(timings[key]) << "\n";
  }
  {
    const fs::path path = fs::path(options.out_dir) / "answers.yaml";
    errno = 0;
    std::ofstream out(path);
    out << answers;
    out.close();
    if (!out) {
      not_written.push_back(
        path.string() + " (" + (errno ? std::strerror(errno) : "write failed") + ")");
    }
  }
  if (!not_written.empty()) {
    std::string list;
    for (const auto & item : not_written) {
      list += (list.empty() ? "" : ", ") + item;
    }
    printed << "incomplete: " << velmora::YamlQuoted("not written: " + list) << "\n";
    std::cerr << "velmoraplus_trash_pose_replay: not written: " << list <<
      "; the answer printed above is incomplete" << std::endl;
  }
  std::fputs(printed.str().c_str(), answer_out);
  std::fflush(answer_out);
  // A signal that came after the last answer still ends the run as interrupted.
  const int signal_number = signals.received();
  if (interrupted || signal_number != 0) {
    std::cerr << "velmoraplus_trash_pose_replay: interrupted by " <<
      (signal_number != 0 ? velmora::SignalName(signal_number) : "a ROS 2 shutdown") <<
      " after " << answered << " of " << frames.size() * static_cast<std::size_t>(options.repeat) <<
      " requests were answered; only their answers are printed" << std::endl;
    return signal_number != 0 ? 128 + signal_number : 1;
  }
  return not_written.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char ** argv)
{
  try {
    Options options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    for (auto & pair : options.pairs) {
      LoadPair(pair);
    }
    // Standard output carries the answer's YAML alone: whatever else the
    // process prints (the node's and the estimator's lines) goes to standard error.
    std::fflush(stdout);
    std::FILE * const answer_out = ::fdopen(::dup(STDOUT_FILENO), "w");
    if (answer_out == nullptr || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      Fail(std::string("standard output cannot be set apart: ") + std::strerror(errno));
    }
    return Replay(options, answer_out);
  } catch (const std::exception & e) {
    std::cerr << "velmoraplus_trash_pose_replay: " << e.what() << std::endl;
    if (rclcpp::ok()) {
      rclcpp::shutdown();
    }
    return 1;
  }
}
