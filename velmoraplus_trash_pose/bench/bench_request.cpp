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

// Times a DetectTrash request on three cameras with the real network, through
// the process the robot runs: DetectionNode with its three camera slots built
// from the sample scene's configuration, a player publishing the sample pair to
// every slot like three free-running cameras (each with its own phase), and a
// client calling DetectTrash at random moments between frames.
//
// Each request is broken down along its critical path, the camera whose pass
// ends last:
//   handshake in     client call -> service callback starts ("starting detect")
//   pair wait        service start -> that camera publishes its next pair
//   pair dispatch    pair published -> the camera's pass starts
//   network, clouds, estimator, publishing, other   the pass itself
//   polling          last pass ends -> the service sees it and answers
//   handshake out    service returns -> the client has the answer
// and "to last pass end" (client call -> last pass end) shows the work that the
// 100 ms polling hides. Service times come from the node's own log lines
// ("starting detect", "detect callback cost"), read with their timestamps.
//
// The network is the shared data's yolov8n-seg (320, dynamic int8), prepared by
// the model library's tools/prepare_model.py into the build tree, with COCO
// bottle and cup mapped to the system's bottle. Variants alternate within one
// run, each in a fresh node, so that they share the machine's load:
//
//   velmoraplus_trash_pose_bench_request --rounds 3 --requests 10
//       --variant before:merge=no --variant after   (one line)
//
// Skips, saying so, where ../shared/data (or $VELMORA_SHARED_DATA) lacks the
// model or python3-opencv is missing.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"
#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"
#include "velmoraplus_trash_pose/tools/replay_support.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
using Image = sensor_msgs::msg::Image;
using SysTime = std::chrono::system_clock::time_point;

namespace
{

// One line of ROS 2's console output, "[SEVERITY] [<s>.<ns>] [<logger>]: <message>".
struct ConsoleLine
{
  SysTime time;
  std::string message;
};

std::optional<ConsoleLine> ParseConsoleLine(const std::string & text)
{
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  const auto logger_end = text.find("]: ");
  if (logger_end == std::string::npos ||
    std::sscanf(text.c_str(), "[%*[^]]] [%" SCNd64 ".%" SCNd64 "] [", &seconds, &nanoseconds) != 2)
  {
    return std::nullopt;
  }
  return ConsoleLine{SysTime(
      std::chrono::duration_cast<SysTime::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds))),
    text.substr(logger_end + 3)};
}

const char * kUsage =
  "usage: velmoraplus_trash_pose_bench_request [options]\n"
  "  DetectTrash on three cameras with the real network, broken down; medians per variant.\n"
  "options:\n"
  "  --requests N     timed requests per variant and round (default 10)\n"
  "  --rounds R       rounds; the variants alternate within each (default 3)\n"
  "  --rate HZ        camera frame rate of the player (default 15)\n"
  "  --cam-num N      cam_num of the service (default 3)\n"
  "  --variant V      V is NAME[:KEY=VALUE,...]; KEY: model.<key> (model configuration),\n"
  "                   camera.<key> (every camera file), input=WxH (network input size,\n"
  "                   prepared with prepare_model.py --input-size) or merge=no (prepared\n"
  "                   with --no-merge, as before the tool merged convolutions); default\n"
  "                   one variant 'base'\n"
  "  --sample DIR     scene folder with color.png, depth.png and config/ (default: the\n"
  "                   package's milk_cartoon_all_small_clorox)\n"
  "  --log FILE       where the node's own output goes (default /dev/null)\n";

[[noreturn]] void Fail(const std::string & message)
{
  throw std::runtime_error(message);
}

double Ms(std::chrono::nanoseconds d)
{
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v)
{
  if (v.empty()) {
    return std::nan("");
  }
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double Max(const std::vector<double> & v)
{
  return v.empty() ? std::nan("") : *std::max_element(v.begin(), v.end());
}

std::string LoadAverage()
{
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " " + five;
}

struct Variant
{
  std::string name;
  std::map<std::string, std::string> model_keys;
  std::map<std::string, std::string> camera_keys;
  std::string input_size;  // WxH, empty: as exported
  bool merge = true;       // prepare_model.py merges sibling convolutions
  // Prepared network of this variant, in the build tree.
  std::string network() const
  {
    return "yolov8n_seg_" + (input_size.empty() ? std::string("320") : input_size) +
           (merge ? "" : "_unmerged");
  }
};

Variant ParseVariant(const std::string & text)
{
  Variant v;
  const auto colon = text.find(':');
  v.name = text.substr(0, colon);
  if (v.name.empty()) {
    Fail("--variant " + text + ": no name");
  }
  if (colon == std::string::npos) {
    return v;
  }
  std::stringstream items(text.substr(colon + 1));
  std::string item;
  while (std::getline(items, item, ',')) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) {
      Fail("--variant " + text + ": '" + item + "' is not KEY=VALUE");
    }
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    if (key == "input") {
      v.input_size = value;
    } else if (key == "merge" && (value == "yes" || value == "no")) {
      v.merge = value == "yes";
    } else if (key.rfind("model.", 0) == 0) {
      v.model_keys[key.substr(6)] = value;
    } else if (key.rfind("camera.", 0) == 0) {
      v.camera_keys[key.substr(7)] = value;
    } else {
      Fail(
        "--variant " + text + ": key '" + key +
        "' is not input, merge (yes or no), model.<key> or camera.<key>");
    }
  }
  return v;
}

struct Options
{
  long requests = 10;
  long rounds = 3;
  double rate_hz = 15.0;
  int cam_num = 3;
  std::vector<Variant> variants;
  std::string sample_dir = VELMORA_SAMPLE_DIR;
  std::string log_file = "/dev/null";
};

Options ParseArguments(const std::vector<std::string> & args)
{
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string & a = args[i];
    const auto value = [&]() {return velmora::TakeOptionValue(args, i);};
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--requests") {
      options.requests = velmora::ParseIntegerOption(a, value(), 1, 100000);
    } else if (a == "--rounds") {
      options.rounds = velmora::ParseIntegerOption(a, value(), 1, 1000);
    } else if (a == "--rate") {
      options.rate_hz = static_cast<double>(velmora::ParseIntegerOption(a, value(), 1, 200));
    } else if (a == "--cam-num") {
      options.cam_num = static_cast<int>(velmora::ParseIntegerOption(a, value(), 1, 3));
    } else if (a == "--variant") {
      options.variants.push_back(ParseVariant(value()));
    } else if (a == "--sample") {
      options.sample_dir = value();
    } else if (a == "--log") {
      options.log_file = value();
    } else {
      Fail("unknown argument " + a);
    }
  }
  if (options.variants.empty()) {
    options.variants.push_back(ParseVariant("base"));
  }
  return options;
}

// ------------------------------------------------------------------ the network

std::string SharedData()
{
  const char * env = std::getenv("VELMORA_SHARED_DATA");
  return env && *env ? env : VELMORA_SHARED_DATA_DIR;
}

// The shared yolov8n-seg prepared for OpenCV as the variant says, cached in the build
// tree; nullopt with the reason where it cannot be.
std::optional<fs::path> PreparedNetwork(const Variant & variant, std::string & why)
{
  const fs::path source = fs::path(SharedData()) / "yolov8n_seg_int8_320/yolov8n-seg_int8.onnx";
  if (!fs::exists(source)) {
    why = "no " + source.string();
    return std::nullopt;
  }
  fs::path tool;
  try {
    tool = fs::path(ament_index_cpp::get_package_share_directory("velmora_model_zoo")) /
      "tools/prepare_model.py";
  } catch (const std::exception & e) {
    why = std::string("velmora_model_zoo is not installed: ") + e.what();
    return std::nullopt;
  }
  if (std::system("/usr/bin/python3 -c 'import cv2, onnx' > /dev/null 2>&1") != 0) {
    why = "python3-opencv or python3-onnx is missing, the network cannot be prepared";
    return std::nullopt;
  }
  fs::create_directories(VELMORA_BENCH_MODEL_DIR);
  const fs::path out = fs::path(VELMORA_BENCH_MODEL_DIR) / (variant.network() + ".onnx");
  if (fs::exists(out) && fs::last_write_time(out) > fs::last_write_time(tool)) {
    return out;
  }
  std::string command = "/usr/bin/python3 '" + tool.string() + "' '" + source.string() + "' '" +
    out.string() + "'";
  if (!variant.input_size.empty()) {
    command += " --input-size " + variant.input_size;
  }
  if (!variant.merge) {
    command += " --no-merge";
  }
  command += " > '" + out.string() + ".log' 2>&1";
  if (std::system(command.c_str()) != 0) {
    fs::remove(out);
    Fail("preparing the network failed: " + command);
  }
  return out;
}

// ------------------------------------------------------------------ log lines

// The node's standard output and error, read line by line: the service's own
// lines give its start and its cost. Everything goes on to the log file.
class LogTap
{
public:
  struct Event
  {
    SysTime stamp;
    bool start = false;        // "starting detect"
    double cost_ms = 0.0;      // "detect callback cost"
  };

  explicit LogTap(const std::string & log_file)
  {
    std::fflush(stdout);
    std::fflush(stderr);
    terminal_ = ::dup(STDOUT_FILENO);
    int fds[2];
    if (terminal_ < 0 || ::pipe(fds) != 0) {
      Fail("cannot redirect the node's output");
    }
    log_ = std::fopen(log_file.c_str(), "w");
    if (!log_) {
      Fail("cannot open the log file " + log_file);
    }
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    read_fd_ = fds[0];
    report_ = ::fdopen(terminal_, "w");
    reader_ = std::thread([this]() {Read();});
  }

  ~LogTap()
  {
    std::fflush(stdout);
    std::fflush(stderr);
    // Closing our ends of the pipe lets the reader see the end.
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    ::close(null_fd);
    reader_.join();
    ::close(read_fd_);
    std::fclose(log_);
    std::fclose(report_);
  }

  LogTap(const LogTap &) = delete;
  LogTap & operator=(const LogTap &) = delete;

  std::FILE * report() {return report_;}

  // Service events logged at or after `since`; waits up to `wait` for the cost line.
  std::vector<Event> TakeSince(SysTime since, std::chrono::milliseconds wait)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto has_cost = [&]() {
        return std::any_of(
          events_.begin(), events_.end(), [&](const Event & e) {
            return e.stamp >= since && !e.start;
          });
      };
    changed_.wait_for(lock, wait, has_cost);
    std::vector<Event> out;
    for (const auto & e : events_) {
      if (e.stamp >= since) {
        out.push_back(e);
      }
    }
    events_.clear();
    return out;
  }

private:
  void Read()
  {
    std::string pending;
    char buffer[8192];
    for (;; ) {
      const ssize_t n = ::read(read_fd_, buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      std::fwrite(buffer, 1, static_cast<std::size_t>(n), log_);
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        Parse(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
    }
  }

  void Parse(const std::string & text)
  {
    static const std::string kCost = "detect callback cost ";
    const auto line = ParseConsoleLine(text);
    if (!line) {
      return;
    }
    const bool start = line->message.compare(0, 15, "starting detect") == 0;
    const bool cost = line->message.compare(0, kCost.size(), kCost) == 0;
    if (!start && !cost) {
      return;
    }
    Event e;
    e.stamp = line->time;
    e.start = start;
    if (cost) {
      e.cost_ms = std::strtod(line->message.c_str() + kCost.size(), nullptr);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(e);
    changed_.notify_all();
  }

  int terminal_ = -1;
  int read_fd_ = -1;
  std::FILE * report_ = nullptr;
  std::FILE * log_ = nullptr;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// ------------------------------------------------------------------ one variant

struct PassRecord
{
  int slot = 0;
  SysTime start;
  SysTime end;
  velmora::PassReport report;
};

struct RequestRecord
{
  double handshake_in = 0, pair_wait = 0, pair_dispatch = 0, network = 0, clouds = 0,
    estimator = 0, publishing = 0, other = 0, polling = 0, handshake_out = 0;
  double to_last_pass_end = 0, answer = 0, callback_cost = 0;
  std::vector<double> networks;  // every camera's network time
  int answered_at_poll = 0;
};

struct Answer
{
  int detected_cam = 0;
  std::vector<velmora_plus_interfaces::msg::TrashGrabInfo> infos;
};

// Publishes the sample pair to each slot at the camera rate, slot k shifted by
// k/3 of a period: the cameras run free of each other.
class Player
{
public:
  Player(
    const velmora::InProcessDetection & robot, const std::vector<int> & slots, const cv::Mat & rgb,
    const cv::Mat & depth, double rate_hz)
  : robot_(robot),
    period_(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(1.0 / rate_hz)))
  {
    for (int slot : slots) {
      Camera camera;
      camera.slot = slot;
      camera.rgb_msg = *velmora::ImageMessage(rgb, "rgb8", robot_.peer()->now());
      camera.depth_msg = *velmora::ImageMessage(depth, "16UC1", robot_.peer()->now());
      cameras_.push_back(std::move(camera));
    }
    const auto origin = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < cameras_.size(); ++k) {
      const auto phase = period_ * static_cast<long>(cameras_[k].slot - 1) / 3;
      threads_.emplace_back([this, k, origin, phase]() {Run(cameras_[k], origin + phase);});
    }
  }

  ~Player()
  {
    running_ = false;
    for (auto & t : threads_) {
      t.join();
    }
  }

  Player(const Player &) = delete;
  Player & operator=(const Player &) = delete;

  // Publication times of `slot` at or after `since`, oldest first.
  std::vector<SysTime> PublishedSince(int slot, SysTime since) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SysTime> out;
    const auto found = published_.find(slot);
    if (found != published_.end()) {
      for (const auto & t : found->second) {
        if (t >= since) {
          out.push_back(t);
        }
      }
    }
    return out;
  }

  std::chrono::nanoseconds period() const {return period_;}

private:
  struct Camera
  {
    int slot = 0;
    Image rgb_msg;
    Image depth_msg;
  };

  void Run(Camera & camera, std::chrono::steady_clock::time_point next)
  {
    while (running_ && rclcpp::ok()) {
      std::this_thread::sleep_until(next);
      next += period_;
      const auto stamp = robot_.peer()->now();
      camera.rgb_msg.header.stamp = stamp;
      camera.depth_msg.header.stamp = stamp;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto & times = published_[camera.slot];
        times.push_back(std::chrono::system_clock::now());
        if (times.size() > 256) {
          times.pop_front();
        }
      }
      robot_.Publish(camera.slot, camera.rgb_msg, camera.depth_msg);
    }
  }

  const velmora::InProcessDetection & robot_;
  std::chrono::nanoseconds period_;
  std::vector<Camera> cameras_;
  std::vector<std::thread> threads_;
  std::atomic<bool> running_{true};
  mutable std::mutex mutex_;
  std::map<int, std::deque<SysTime>> published_;
};

void WriteModelConfig(const fs::path & path, const fs::path & onnx, const Variant & variant)
{
  const cv::Size input = [&]() {
      if (variant.input_size.empty()) {
        return cv::Size(320, 320);
      }
      int w = 0, h = 0;
      if (std::sscanf(variant.input_size.c_str(), "%dx%d", &w, &h) != 2) {
        Fail("variant " + variant.name + ": input=" + variant.input_size + " is not WxH");
      }
      return cv::Size(w, h);
    }();
  std::map<std::string, std::string> keys = {
    {"source", "network"}, {"onnx", "\"" + onnx.string() + "\""},
    {"input_width", std::to_string(input.width)}, {"input_height", std::to_string(input.height)},
    {"num_classes", "80"}, {"class_map", "{39: 4, 41: 4}"}};
  for (const auto & [key, value] : variant.model_keys) {
    keys[key] = value;
  }
  std::ofstream out(path);
  for (const auto & [key, value] : keys) {
    out << key << ": " << value << "\n";
  }
}

class VariantRun
{
public:
  VariantRun(
    const Options & options, const Variant & variant, const fs::path & onnx, const cv::Mat & rgb,
    const cv::Mat & depth)
  : prefix_(fs::path(options.sample_dir) / "config", "bench_request")
  {
    ::setenv("VELMORAPLUS_DATA_DIR", (prefix_.root() / "data").c_str(), 1);
    prefix_.Edit(
      "trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num",
      std::to_string(options.cam_num));
    WriteModelConfig(prefix_.file("bench_model.yaml"), onnx, variant);
    for (int slot = 1; slot <= 3; ++slot) {
      const std::string camera = "cam" + std::to_string(slot) + "_detect_config.yaml";
      prefix_.Edit(camera, "camera_detection_params", "model_cfg_file", "\"bench_model.yaml\"");
      prefix_.Edit(camera, "camera_detection_params", "is_debug", "false");
      for (const auto & [key, value] : variant.camera_keys) {
        prefix_.Edit(camera, "camera_detection_params", key, value);
      }
    }
    const std::string config_path = prefix_.file("trash_pose_detect_config.yaml").string();
    rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
    robot_ = std::make_unique<velmora::InProcessDetection>(
      config_path, "velmoraplus_trash_pose_bench_request");
    slots_ = velmora::TriggeredSlots(robot_->detection().camera_num());
    for (int slot = 1; slot <= 3; ++slot) {
      robot_->detection().camera(slot)->SetPassObserver(
        [this, slot](const velmora::PassReport & r) {
          PassRecord record;
          record.slot = slot;
          record.end = std::chrono::system_clock::now();
          record.start = record.end - std::chrono::microseconds(
            static_cast<long>(r.total_ms * 1000.0));
          record.report = r;
          record.report.image_rgb = cv::Mat();
          record.report.detections.clear();
          std::lock_guard<std::mutex> lock(passes_mutex_);
          passes_.push_back(std::move(record));
        });
    }
    if (!robot_->Start(10s)) {
      Stop();
      Fail("service " + robot_->service_name() + " did not come up");
    }
    player_ = std::make_unique<Player>(*robot_, slots_, rgb, depth, options.rate_hz);
  }

  ~VariantRun()
  {
    Stop();
  }

  VariantRun(const VariantRun &) = delete;
  VariantRun & operator=(const VariantRun &) = delete;

  // One request at a random moment of the frame period; nullopt when it got no answer.
  std::optional<RequestRecord> Request(LogTap & log, std::mt19937 & random, Answer & answer)
  {
    // Apart from the previous answer by at least half a second (what the
    // cameras queued meanwhile is dropped), then a random phase.
    std::uniform_int_distribution<long> phase(0, player_->period().count());
    std::this_thread::sleep_for(500ms + std::chrono::nanoseconds(phase(random)));
    {
      std::lock_guard<std::mutex> lock(passes_mutex_);
      passes_.clear();
    }
    const SysTime sent = std::chrono::system_clock::now();
    auto future = robot_->client()->async_send_request(std::make_shared<DetectTrash::Request>());
    if (future.wait_for(30s) != std::future_status::ready) {
      return std::nullopt;
    }
    const SysTime received = std::chrono::system_clock::now();
    const auto response = future.get();
    answer.detected_cam = response->detected_cam;
    answer.infos = response->trash_infos;

    const auto events = log.TakeSince(sent, 2000ms);
    std::optional<SysTime> service_start;
    std::optional<double> cost;
    for (const auto & e : events) {
      if (e.start && !service_start) {
        service_start = e.stamp;
      } else if (!e.start && !cost) {
        cost = e.cost_ms;
      }
    }
    if (!service_start || !cost) {
      Fail("the service's log lines (\"starting detect\", \"detect callback cost\") were not seen");
    }
    const SysTime service_end = *service_start + std::chrono::microseconds(
      static_cast<long>(*cost * 1000.0));

    // The first pass of each triggered camera that started after the service did.
    std::map<int, PassRecord> first;
    {
      std::lock_guard<std::mutex> lock(passes_mutex_);
      for (const auto & p : passes_) {
        if (p.start >= *service_start && !first.count(p.slot)) {
          first[p.slot] = p;
        }
      }
    }
    if (first.size() != slots_.size()) {
      Fail("a triggered camera ran no pass for the request");
    }
    const PassRecord * last = nullptr;
    RequestRecord r;
    for (const auto & [slot, pass] : first) {
      r.networks.push_back(pass.report.model_ms);
      if (!last || pass.end > last->end) {
        last = &pass;
      }
    }
    // The pair of the critical pass: the latest published before its start.
    SysTime pair_time = *service_start;
    for (const auto & t : player_->PublishedSince(last->slot, sent - player_->period())) {
      if (t <= last->start) {
        pair_time = t;
      }
    }
    const velmora::PassReport & p = last->report;
    r.handshake_in = Ms(*service_start - sent);
    r.pair_wait = Ms(pair_time - *service_start);
    r.pair_dispatch = Ms(last->start - pair_time);
    r.network = p.model_ms;
    r.clouds = p.clouds_ms;
    r.estimator = p.estimator_ms;
    r.publishing = p.publishing_ms;
    r.other = p.total_ms - p.model_ms - p.clouds_ms - p.estimator_ms - p.publishing_ms;
    r.polling = Ms(service_end - last->end);
    r.handshake_out = Ms(received - service_end);
    r.to_last_pass_end = Ms(last->end - sent);
    r.answer = Ms(received - sent);
    r.callback_cost = *cost;
    r.answered_at_poll = static_cast<int>(std::lround(*cost / 100.0));
    return r;
  }

private:
  // The player publishes through the robot: it stops first.
  void Stop()
  {
    player_.reset();
    if (robot_) {
      robot_->Stop();
    }
  }

  velmora::PrivateConfigPrefix prefix_;
  // Filled by the cameras' threads: declared before the robot, so they outlive them.
  std::mutex passes_mutex_;
  std::vector<PassRecord> passes_;
  std::unique_ptr<velmora::InProcessDetection> robot_;
  std::vector<int> slots_;
  std::unique_ptr<Player> player_;
};

// ------------------------------------------------------------------ report

// Largest differences between two answers: position in mm, rotation in degrees;
// nullopt when they differ in camera, count or types.
std::optional<std::pair<double, double>> Difference(const Answer & a, const Answer & b)
{
  if (a.detected_cam != b.detected_cam || a.infos.size() != b.infos.size()) {
    return std::nullopt;
  }
  double position = 0.0, angle = 0.0;
  for (std::size_t i = 0; i < a.infos.size(); ++i) {
    const auto & x = a.infos[i];
    const auto & y = b.infos[i];
    if (x.trash_type != y.trash_type || x.main_axis_type != y.main_axis_type) {
      return std::nullopt;
    }
    const auto & p = x.grab_pose.position;
    const auto & q = y.grab_pose.position;
    position = std::max(
      position,
      1000.0 *
      std::sqrt(
        (p.x - q.x) * (p.x - q.x) + (p.y - q.y) * (p.y - q.y) + (p.z - q.z) *
        (p.z - q.z)));
    const auto & u = x.grab_pose.orientation;
    const auto & v = y.grab_pose.orientation;
    const double dot = std::min(1.0, std::abs(u.x * v.x + u.y * v.y + u.z * v.z + u.w * v.w));
    angle = std::max(angle, 2.0 * std::acos(dot) * 180.0 / M_PI);
  }
  return std::make_pair(position, angle);
}

struct VariantResult
{
  std::vector<RequestRecord> records;
  std::vector<Answer> answers;
  std::vector<std::string> loads;
};

void PrintResult(
  std::FILE * out, const Variant & variant, const VariantResult & result,
  const Answer * reference)
{
  const auto column = [&](double RequestRecord::* field) {
      std::vector<double> v;
      for (const auto & r : result.records) {
        v.push_back(r.*field);
      }
      return v;
    };
  std::fprintf(
    out, "\n== %s: %zu requests (load average at the rounds' starts: ", variant.name.c_str(),
    result.records.size());
  for (std::size_t i = 0; i < result.loads.size(); ++i) {
    std::fprintf(out, "%s%s", i ? "; " : "", result.loads[i].c_str());
  }
  std::fprintf(out, ")\n");
  std::fprintf(out, "  %-34s %9s %9s\n", "critical path, ms", "median", "max");
  const std::pair<const char *, double RequestRecord::*> rows[] = {
    {"handshake in", &RequestRecord::handshake_in},
    {"pair wait (camera)", &RequestRecord::pair_wait},
    {"pair dispatch (node)", &RequestRecord::pair_dispatch},
    {"network", &RequestRecord::network},
    {"clouds", &RequestRecord::clouds},
    {"estimator", &RequestRecord::estimator},
    {"publishing", &RequestRecord::publishing},
    {"other (conversion, drawing, copies)", &RequestRecord::other},
    {"polling", &RequestRecord::polling},
    {"handshake out", &RequestRecord::handshake_out},
  };
  for (const auto & [name, field] : rows) {
    const auto v = column(field);
    std::fprintf(out, "  %-34s %9.1f %9.1f\n", name, Median(v), Max(v));
  }
  const auto last = column(&RequestRecord::to_last_pass_end);
  const auto answer = column(&RequestRecord::answer);
  const auto cost = column(&RequestRecord::callback_cost);
  std::fprintf(out, "  %-34s %9.1f %9.1f\n", "request -> last pass end", Median(last), Max(last));
  std::fprintf(out, "  %-34s %9.1f %9.1f\n", "answer (client)", Median(answer), Max(answer));
  std::fprintf(out, "  %-34s %9.1f %9.1f\n", "detect callback cost", Median(cost), Max(cost));
  std::vector<double> networks;
  for (const auto & r : result.records) {
    networks.insert(networks.end(), r.networks.begin(), r.networks.end());
  }
  std::fprintf(
    out, "  %-34s %9.1f %9.1f\n", "network, every camera", Median(networks), Max(
      networks));
  std::map<int, int> polls;
  for (const auto & r : result.records) {
    ++polls[r.answered_at_poll];
  }
  std::fprintf(out, "  answered at poll:");
  for (const auto & [poll, count] : polls) {
    std::fprintf(out, "  %d (%d ms): %d", poll, poll * 100, count);
  }
  std::fprintf(out, "\n");
  if (result.answers.empty()) {
    return;
  }
  const Answer & first = result.answers.front();
  std::fprintf(
    out, "  answer: detected_cam %d, %zu grab result(s)", first.detected_cam,
    first.infos.size());
  for (const auto & info : first.infos) {
    std::fprintf(
      out, "  [type %d at %.3f %.3f %.3f]", info.trash_type, info.grab_pose.position.x,
      info.grab_pose.position.y, info.grab_pose.position.z);
  }
  std::fprintf(out, "\n");
  double position = 0.0, angle = 0.0;
  int differing = 0;
  for (const auto & a : result.answers) {
    const auto d = Difference(a, reference ? *reference : first);
    if (!d) {
      ++differing;
      continue;
    }
    position = std::max(position, d->first);
    angle = std::max(angle, d->second);
  }
  std::fprintf(
    out, "  against %s: %d answer(s) differ in camera, count or types; grab poses "
    "within %.2f mm and %.2f deg\n", reference ? "the first variant" : "its first answer",
    differing, position, angle);
}

int Run(const Options & options, LogTap & log)
{
  std::FILE * out = log.report();
  const fs::path sample(options.sample_dir);
  const velmora::ImagePair images =
    velmora::LoadImagePair((sample / "color.png").string(), (sample / "depth.png").string());
  const cv::Mat & rgb = images.colour_rgb;
  const cv::Mat & depth = images.depth_mm;

  std::map<std::string, fs::path> networks;
  for (const auto & variant : options.variants) {
    if (networks.count(variant.network())) {
      continue;
    }
    std::string why;
    const auto path = PreparedNetwork(variant, why);
    if (!path) {
      std::fprintf(out, "bench_request: skipped: %s\n", why.c_str());
      return 0;
    }
    networks[variant.network()] = *path;
  }

  std::fprintf(
    out, "DetectTrash, cam_num %d, cameras at %.0f Hz, %ld round(s) of %ld request(s) "
    "per variant; %u CPU(s)\n", options.cam_num, options.rate_hz, options.rounds,
    options.requests, std::thread::hardware_concurrency());
  std::fflush(out);
  std::mt19937 random(17);
  std::vector<VariantResult> results(options.variants.size());
  for (long round = 0; round < options.rounds; ++round) {
    for (std::size_t v = 0; v < options.variants.size(); ++v) {
      const Variant & variant = options.variants[v];
      VariantResult & result = results[v];
      result.loads.push_back(LoadAverage());
      VariantRun run(options, variant, networks[variant.network()], rgb, depth);
      // Warm-up: the start-up pass, first-call allocations.
      for (int i = 0; i < 2; ++i) {
        Answer ignored;
        run.Request(log, random, ignored);
      }
      for (long i = 0; i < options.requests; ++i) {
        Answer answer;
        const auto record = run.Request(log, random, answer);
        if (!record) {
          Fail("variant " + variant.name + ": DetectTrash got no answer within 30 s");
        }
        result.records.push_back(*record);
        result.answers.push_back(answer);
      }
      std::fprintf(
        out, "round %ld, %s: answer median %.1f ms (load %s)\n", round + 1,
        variant.name.c_str(), Median(
          [&]() {
            std::vector<double> a;
            for (auto it = result.records.end() - options.requests; it != result.records.end();
            ++it)
            {
              a.push_back(it->answer);
            }
            return a;
          }()), LoadAverage().c_str());
      std::fflush(out);
    }
  }
  for (std::size_t v = 0; v < options.variants.size(); ++v) {
    const Answer * reference = v == 0 || results[0].answers.empty() ? nullptr :
      &results[0].answers.front();
    PrintResult(out, options.variants[v], results[v], reference);
  }
  std::fflush(out);
  return 0;
}

}  // namespace

int main(int argc, char ** argv)
{
  try {
    const Options options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    // The program log and the estimator's echo go to --log with the rest.
    ::setenv("SPDLOG_SYSTEMD", "false", 1);
    LogTap log(options.log_file);
    try {
      return Run(options, log);
    } catch (const std::exception & e) {
      std::fprintf(log.report(), "velmoraplus_trash_pose_bench_request: %s\n", e.what());
      if (rclcpp::ok()) {
        rclcpp::shutdown();
      }
      return 1;
    }
  } catch (const std::exception & e) {
    std::fprintf(stderr, "velmoraplus_trash_pose_bench_request: %s\n", e.what());
    return 1;
  }
}
