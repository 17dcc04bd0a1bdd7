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

// What the node-level tests share: an editable configuration, child processes
// watched and signalled, this process's own output, a rendered floor scene and
// the whole detection process in-process.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <Eigen/Geometry>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"
#include "velmoraplus_trash_pose/tools/replay_support.hpp"
#include "velmoraplus_trash_pose/tools/synthetic_scene.hpp"

namespace velmora_test
{

namespace fs = std::filesystem;
using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""s;
using std::chrono_literals::operator""min;
using Clock = std::chrono::steady_clock;

inline std::string ReadText(const std::string & path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of `text` that hold `needle`.
inline std::vector<std::string> Lines(const std::string & text, const std::string & needle)
{
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line); ) {
    if (line.find(needle) != std::string::npos) {found.push_back(line);}
  }
  return found;
}

// The stamps (s) of the ROS console lines of `log` that hold `needle`.
inline std::vector<double> Stamps(const std::string & log, const std::string & needle)
{
  std::vector<double> stamps;
  for (const auto & line : Lines(log, needle)) {
    stamps.push_back(std::stod(line.substr(line.find("] [") + 3)));
  }
  return stamps;
}

// Until `done` holds, or a minute has passed (a hang): what `done` says last.
inline bool WaitUntil(const std::function<bool()> & done)
{
  for (const auto deadline = Clock::now() + 60s; !done() && Clock::now() < deadline; ) {
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

// The shipped configuration in a private install prefix first on
// AMENT_PREFIX_PATH (with the installed one, put there when missing, for the
// other packages' shares), VELMORAPLUS_DATA_DIR below it; children inherit
// both. One at a time per process.
class ConfigPrefix
{
public:
  ConfigPrefix()
  : prefix_(
      (::setenv("AMENT_PREFIX_PATH", VELMORA_INSTALL_PREFIX, 0), VELMORA_SOURCE_CONFIG_DIR), "test")
  {
    ::setenv("VELMORAPLUS_DATA_DIR", (root() + "/data").c_str(), 1);
  }
  std::string root() const {return prefix_.root().string();}
  std::string config_dir() const {return root() + "/share/velmoraplus_trash_pose/config";}
  std::string config_file(const std::string & name) const {return config_dir() + "/" + name;}
  // `section/key` (no section: top level) set to `value` read as YAML; "" removes the key.
  void Set(
    const std::string & name, const std::string & section, const std::string & key,
    const std::string & value) const
  {
    YAML::Node root = YAML::LoadFile(config_file(name));
    YAML::Node parent = section.empty() ? root : root[section];
    if (value.empty()) {parent.remove(key);} else {parent[key] = YAML::Load(value);}
    Write(name, YAML::Dump(root));
  }
  void Write(const std::string & name, const std::string & text) const
  {
    std::ofstream(config_file(name)) << text << "\n";
  }
  // The shipped files again; files the test added stay.
  void Reset() const
  {
    fs::copy(
      VELMORA_SOURCE_CONFIG_DIR, config_dir(),
      fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

private:
  velmora::PrivateConfigPrefix prefix_;
};

// What this process writes to `fd` while the tap lives, kept in a file (gtest
// reports on stdout: tap that only briefly).
struct Tap
{
  explicit Tap(int fd = 2)
  : fd(fd), saved(::dup(fd)),
    path("/tmp/velmora_tap_" + std::to_string(::getpid()) + "_" + std::to_string(fd))
  {
    std::fflush(nullptr);
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    ::dup2(file, fd);
    ::close(file);
  }
  Tap(const Tap &) = delete;
  ~Tap()
  {
    std::fflush(nullptr);
    ::dup2(saved, fd);
    ::close(saved);
    ::unlink(path.c_str());
  }
  std::string Text() const {std::fflush(nullptr); return ReadText(path);}
  void Clear() const {std::fflush(nullptr); (void)!::ftruncate(fd, 0);}
  // Until `needle` shows in `count` lines; false after a minute (a hang).
  bool WaitFor(const std::string & needle, std::size_t count = 1) const
  {
    return WaitUntil([&]() {return Lines(Text(), needle).size() >= count;});
  }
  const int fd, saved;
  const std::string path;
};

struct Child
{
  int status = -1;         // exit status; -1 when a signal ended it
  int signal = 0;          // the signal that ended it
  bool signalled = false;  // `ready` held and the signal went out
  bool hung = false;       // killed at the hang deadline
  std::string out, err;
};

// Runs `argv` in `folder` (empty: here) with `unset` removed from its
// environment, stdout and stderr kept. `settle` after `ready` first holds on
// them, sends `signal_number`. A child alive 30 s after the signal, or five
// minutes after its start, hangs and is killed: no wait of the product's
// outlasts a signal that long (a camera's throttle can last a minute).
inline Child RunChild(
  std::vector<std::string> argv, const std::vector<std::string> & unset = {},
  const std::function<bool(const Child &)> & ready = {}, int signal_number = SIGINT,
  std::chrono::milliseconds settle = 0ms, const std::string & folder = "")
{
  velmora::IsolateRosTraffic();
  static int runs = 0;
  const std::string out = "/tmp/velmora_child_" + std::to_string(::getpid()) + "_" +
    std::to_string(++runs), err = out + ".err";
  std::vector<char *> args;
  for (auto & a : argv) {
    args.push_back(a.data());
  }
  args.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::for_each(unset.begin(), unset.end(), [](auto & name) {::unsetenv(name.c_str());});
    if (folder.empty() || ::chdir(folder.c_str()) == 0) {::execv(args[0], args.data());}
    ::_exit(127);
  }
  Child child;
  int status = 0;
  auto deadline = Clock::now() + 5min, fire = Clock::time_point::max();
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    std::tie(child.out, child.err) = std::pair{ReadText(out), ReadText(err)};
    if (Clock::now() > deadline) {child.hung = ::kill(pid, SIGKILL) == 0;}
    if (ready && fire == Clock::time_point::max() && ready(child)) {fire = Clock::now() + settle;}
    if (!child.signalled && Clock::now() >= fire) {
      child.signalled = ::kill(pid, signal_number) == 0;
      deadline = std::min(deadline, Clock::now() + 30s);
    }
    std::this_thread::sleep_for(10ms);
  }
  std::tie(child.out, child.err) = std::pair{ReadText(out), ReadText(err)};
  fs::remove(out);
  fs::remove(err);
  child.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  child.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return child;
}

// A `ready` that holds once stdout and stderr show `needle` in `count` lines.
inline std::function<bool(const Child &)> Shows(const std::string & needle, std::size_t count = 1)
{
  return [needle, count](const Child & c) {
           return Lines(c.out, needle).size() + Lines(c.err, needle).size() >= count;
         };
}

using velmora::SceneObject;
using velmora::SyntheticScene;

// A lying bottle (30 degrees), an upright can seen as a mask, a transparent
// bottle, a paper at the image's left edge, a waiting bench and a paper on it.
inline std::vector<SceneObject> StandardSceneObjects()
{
  const double z = -0.176;
  return {
    {"lying_bottle", 4, {-0.45, -0.12, z + 0.0325}, {0.20, 0.065, 0.065}, 30.0, false, 0.95F},
    {"upright_can", 1, {-0.42, 0.15, z + 0.06}, {0.066, 0.066, 0.12}, 0.0, false, 0.92F},
    {"transparent_bottle", 4, {-0.62, 0.02, z + 0.11}, {0.07, 0.07, 0.22}, 0.0, true, 0.90F},
    {"edge_paper", 0, {-0.55, -0.46, z + 0.002}, {0.10, 0.08, 0.004}, 0.0, false, 0.85F},
    {"bench", 10, {-0.62, 0.30, z + 0.05}, {0.20, 0.30, 0.10}, 0.0, false, 0.80F},
    {"paper_on_bench", 0, {-0.60, 0.28, z + 0.11}, {0.08, 0.06, 0.02}, 15.0, false, 0.75F}};
}

// Renders `objects` on the floor 0.176 m below the base origin as the shipped
// camera model (f 525, centre 319.5, 239.5) sees them from (0.05, 0, 0.45),
// looking towards the arm's front (-x) 45 degrees down, and makes camera slot
// `slot` (cam_num 1) see them: their masks as recorded detections in
// descending score order, the scene's calibration, no throttle. A wider image
// adds columns on the left (the centre moves with them).
inline SyntheticScene WriteScene(
  const ConfigPrefix & prefix, const std::vector<SceneObject> & objects, int slot = 2,
  int width = 640)
{
  const double cx = 319.5 + width - 640;
  const std::string s = "0.7071067811865476";
  const std::string calibration =
    "[0, " + s + ", -" + s + ", 0.05, 1, 0, 0, 0, 0, -" + s + ", -" + s + ", 0.45, 0, 0, 0, 1]";
  const auto to_base = YAML::Load(calibration).as<std::vector<double>>();
  const SyntheticScene scene = velmora::RenderScene(
    objects, Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(to_base.data()),
    {525, 525, static_cast<float>(cx), 239.5F}, {width, 480}, -0.176);
  velmora::WriteRecording(scene, objects, fs::path(prefix.config_dir()) / "scene_detections");
  prefix.Write("scene_model.yaml", "source: recorded\nrecording: scene_detections/index.yaml");
  // The shipped pose-estimate file with the scene's calibration as a row-major matrix.
  prefix.Write("scene_pose.yaml", ReadText(prefix.config_file("cam2_pose_estimate_config.yaml")));
  prefix.Set("scene_pose.yaml", "camera_extrinsic", "is_use_euler", "false");
  prefix.Set("scene_pose.yaml", "camera_extrinsic", "data", calibration);
  prefix.Set("scene_pose.yaml", "camera_intrinsic", "cx", std::to_string(cx));
  const std::string cam = "cam" + std::to_string(slot) + "_detect_config.yaml";
  const std::string params = "camera_detection_params";
  prefix.Set(cam, params, "pose_estimate_config_file", "scene_pose.yaml");
  prefix.Set(cam, params, "model_cfg_file", "scene_model.yaml");
  prefix.Set(cam, params, "detect_duration", "0");
  prefix.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "1");
  return scene;
}

// The whole process in-process, started from a ConfigPrefix; the peer node
// publishes the cameras' pairs and calls DetectTrash.
class NodeHarness : public velmora::InProcessDetection
{
public:
  using Response = DetectTrash::Response;
  explicit NodeHarness(const ConfigPrefix & prefix)
  : InProcessDetection(
      (velmora::IsolateRosTraffic(), rclcpp::init(0, nullptr),
      prefix.config_file("trash_pose_detect_config.yaml")), "velmora_test_peer")
  {
    if (!Start(60s)) {throw std::runtime_error("DetectTrash " + service_name() + " is not up");}
  }

  // One pair stamped now to `slot`; returns the stamp (ns).
  std::int64_t Send(int slot, Image rgb, Image depth)
  {
    const rclcpp::Time stamp = peer()->now();
    rgb.header.stamp = depth.header.stamp = stamp;
    Publish(slot, rgb, depth);
    return stamp.nanoseconds();
  }
  // Until the camera in `slot` has taken the pair stamped `stamp_ns` (every
  // earlier one is then taken or dropped); false after a minute.
  bool WaitForPairTaken(int slot, std::int64_t stamp_ns)
  {
    return WaitUntil([&]() {return detection().camera(slot)->last_pair_stamp_ns() >= stamp_ns;});
  }
  using InProcessDetection::CallStreaming;
  std::optional<Response> CallStreaming(int slot, const Image & rgb, const Image & depth)
  {
    return CallStreaming({{slot, {rgb, depth}}}, 100ms, 60s);
  }
  std::optional<Response> Call(std::int32_t cmd = 0, std::uint8_t cam_choice = 0)
  {
    auto request = std::make_shared<DetectTrash::Request>();
    request->cmd = cmd;
    request->cam_choice = cam_choice;
    auto future = client()->async_send_request(request);
    if (future.wait_for(60s) != std::future_status::ready) {return std::nullopt;}
    return *future.get();
  }

  static Image Rgb(const cv::Mat & rgb) {return *velmora::ImageMessage(rgb, "rgb8", kNoStamp);}
  static Image Depth(const cv::Mat & mm) {return *velmora::ImageMessage(mm, "16UC1", kNoStamp);}
  static inline const builtin_interfaces::msg::Time kNoStamp{};
};

}  // namespace velmora_test
