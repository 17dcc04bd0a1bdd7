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

// Signals and stalls as the robot's supervisor meets them: SIGINT or SIGTERM
// must end the node at once, never with a crash or a hang. The executable
// itself is signalled and its exit status read; for the stalls (a request
// waiting on a silent camera, a running pass, a long throttle) the whole
// process, with a client in it, runs in a forked child whose body returns 0
// once DetectionNode::run has returned and every thread is joined.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>
#include <yaml-cpp/yaml.h>

#include "console_line.hpp"
#include "node_harness.hpp"
#include "scene_fixture.hpp"
#include "test_support.hpp"

namespace
{

using namespace std::chrono_literals;
using velmora_test::ConfigPrefix;
using velmora_test::kExitBound;
using velmora_test::LinesContaining;
using velmora_test::NodeHarness;
using velmora_test::ParseConsoleLine;
using velmora_test::SplitLines;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
using Clock = std::chrono::steady_clock;

struct ForkResult
{
  int exit_status = -1;        // -1 when killed by a signal
  int signal = 0;
  bool marker_seen = false;
  bool timed_out = false;
  Clock::duration exit_after_signal{};  // from sending the signal to the end of the output
  std::string out;
  std::string err;
};

// Runs `body` in a forked child with stdout and stderr captured. Once stderr
// holds `marker`, waits `settle` and sends `signal_number`. The child ends
// with _exit(body()), so nothing of the test process runs twice.
ForkResult RunForked(
  const std::function<int()> & body, const std::string & marker, int signal_number,
  Clock::duration settle, std::chrono::seconds timeout)
{
  std::fflush(stdout);
  std::fflush(stderr);
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int status = 2;
    try {
      status = body();
    } catch (const std::exception & e) {
      std::fprintf(stderr, "child failed: %s\n", e.what());
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ForkResult result;
  bool out_open = true;
  bool err_open = true;
  Clock::time_point marker_at{};
  Clock::time_point signalled_at{};
  bool signalled = false;
  const auto deadline = Clock::now() + timeout;
  while (out_open || err_open) {
    const auto now = Clock::now();
    if (now > deadline) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (result.marker_seen && !signalled && now >= marker_at + settle) {
      signalled_at = Clock::now();
      ::kill(pid, signal_number);
      signalled = true;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    ::poll(fds, 2, 5);
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP))) {
        continue;
      }
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (!result.marker_seen && result.err.find(marker) != std::string::npos) {
      result.marker_seen = true;
      marker_at = Clock::now();
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (signalled) {
    result.exit_after_signal = Clock::now() - signalled_at;
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

// The child's process: the node as main() runs it, plus a peer that sends one
// DetectTrash request (and, with the scene, streams its pair to slot 2, whose
// camera pauses `detect_duration_ms` after each pair) until the process is told
// to stop. Returns 0 once everything is joined. The scene
// is rendered here, not in the test process: a parent with OpenCV's worker
// threads running may not fork under ThreadSanitizer.
int ServeUntilSignalled(const ConfigPrefix & prefix, bool with_scene, int detect_duration_ms = 0)
{
  std::optional<velmora_test::SyntheticScene> scene;
  if (with_scene) {
    scene = velmora_test::WriteScene(prefix, velmora_test::StandardSceneObjects());
    prefix.Set(
      "cam2_detect_config.yaml", "camera_detection_params", "detect_duration",
      std::to_string(detect_duration_ms));
  }
  NodeHarness harness(prefix);
  auto client = harness.test_node()->create_client<DetectTrash>(
    "/velmoraplus_trash_pose/detect_trash");
  auto future = client->async_send_request(std::make_shared<DetectTrash::Request>());
  const auto rgb = scene ? NodeHarness::RgbMessage(scene->colour) : NodeHarness::Image();
  const auto depth = scene ? NodeHarness::DepthMessage(scene->depth) : NodeHarness::Image();
  while (rclcpp::ok()) {
    if (scene && future.wait_for(0s) != std::future_status::ready) {
      harness.Publish(2, rgb, depth);
    }
    std::this_thread::sleep_for(50ms);
  }
  harness.Stop();
  std::fprintf(
    stderr, "child: answered before the signal: %s\n",
    future.wait_for(0s) == std::future_status::ready ? "yes" : "no");
  return 0;
}

// Timestamps (seconds) of the stand-in's console lines that contain `needle`.
std::vector<double> LogTimes(const std::string & log, const std::string & needle)
{
  std::vector<double> times;
  for (const auto & line : LinesContaining(SplitLines(log), needle)) {
    if (const auto parsed = ParseConsoleLine(line)) {
      times.push_back(parsed->stamp());
    }
  }
  return times;
}

class ShutdownTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    // One triggered camera (slot 2, cam_id 2), no images unless a test sends them.
    prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num", "1");
  }

  ConfigPrefix prefix_;
};

TEST_F(ShutdownTest, TheExecutableExitsZeroWithinOneSecondOnSigintAndSigterm)
{
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    const auto result = velmora_test::RunChild(
      {VELMORA_NODE_EXECUTABLE},
      {{"AMENT_PREFIX_PATH", prefix_.ament_prefix_path()},
        {"VELMORAPLUS_DATA_DIR", prefix_.root() + "/data"}},
      std::string("executor start"), std::chrono::seconds(60), {}, 200ms, signal_number);
    ASSERT_TRUE(result.interrupted) << result.out << result.err;
    ASSERT_FALSE(result.timed_out) << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_LT(result.exit_after_interrupt, kExitBound);
    // ROS 2's own handler took the signal and shut the context down.
    EXPECT_EQ(
      LinesContaining(
        SplitLines(result.err),
        "signal_handler(signum=" + std::to_string(signal_number) + ")").size(), 1U) << result.err;
  }
}

TEST_F(ShutdownTest, SignalWhileARequestWaitsOnASilentCameraEndsItWithinOneSecond)
{
  for (const int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    // Waiting ~1 s first puts several of the service's 100 ms polls in the log.
    const ForkResult result = RunForked(
      [this]() {return ServeUntilSignalled(prefix_, false);},
      "waiting detect to complete", signal_number, 1s, 60s);
    ASSERT_TRUE(result.marker_seen) << result.err;
    ASSERT_FALSE(result.timed_out) << result.err;
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_LT(result.exit_after_signal, kExitBound);
    EXPECT_NE(result.err.find("shutting down while waiting for cameras"), std::string::npos)
      << result.err;
    EXPECT_NE(result.err.find("child: answered before the signal: no"), std::string::npos);

    // The stall is visible: every poll names camera 2 as not done, at least
    // 100 ms after the one before.
    const auto polls = LogTimes(result.err, "is_camera_2_detect_done_: 0");
    ASSERT_GE(polls.size(), 5U) << result.err;
    for (std::size_t i = 1; i < polls.size(); ++i) {
      EXPECT_GE(polls[i] - polls[i - 1], 0.099) << "poll " << i;
    }
    EXPECT_EQ(
      LogTimes(result.err, "waiting detect to complete................").size(), polls.size());
  }
}

TEST_F(ShutdownTest, SigintDuringAPassLetsItFinishOrDropCleanly)
{
  // "Grab trash type" is logged inside the pass, before each object's estimate.
  const ForkResult result = RunForked(
    [this]() {return ServeUntilSignalled(prefix_, true);},
    "Grab trash type:", SIGINT, 0s, 120s);
  ASSERT_TRUE(result.marker_seen) << result.err;
  ASSERT_FALSE(result.timed_out) << result.err;
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.err.find("child: answered before the signal"), std::string::npos) << result.err;
  // The interrupted pass ended the ordinary way: its cost line is logged.
  EXPECT_NE(result.err.find("cam_2 ImageCallback cost"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("terminate called"), std::string::npos) << result.err;
}

TEST_F(ShutdownTest, SigtermDuringALongThrottleEndsItWithinOneSecond)
{
  // The camera pauses a minute after each pair; "ImageCallback cost" is logged
  // right before that pause.
  const ForkResult result = RunForked(
    [this]() {return ServeUntilSignalled(prefix_, true, 60000);},
    "cam_2 ImageCallback cost", SIGTERM, 200ms, 120s);
  ASSERT_TRUE(result.marker_seen) << result.err;
  ASSERT_FALSE(result.timed_out) << result.err;
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_LT(result.exit_after_signal, kExitBound);
}

TEST_F(ShutdownTest, SoakToolInterruptedWhileACallWaitsExitsWithTheSignalAtOnce)
{
  // The sample scene with a camera that pauses a minute after each pass: the
  // DetectTrash call after the first pass waits for the next one when SIGINT comes.
  namespace fs = std::filesystem;
  const fs::path sample = fs::path(prefix_.root()) / "slow_sample";
  fs::copy(VELMORA_SAMPLE_DIR, sample, fs::copy_options::recursive);
  const std::string camera = (sample / "config" / "cam2_detect_config.yaml").string();
  YAML::Node config = YAML::LoadFile(camera);
  config["camera_detection_params"]["detect_duration"] = 60000;
  std::ofstream(camera) << config << "\n";

  const auto result = velmora_test::RunChild(
    {VELMORA_SOAK_EXECUTABLE, "--sample", sample.string(), "--passes", "1000", "--call-every", "1"},
    {{"AMENT_PREFIX_PATH", prefix_.ament_prefix_path()}}, std::string("soak: "),
    std::chrono::seconds(120), {}, kExitBound + 1s);
  ASSERT_TRUE(result.interrupted) << result.out << result.err;
  ASSERT_FALSE(result.timed_out) << result.out;
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 128 + SIGINT) << result.out;
  const auto said = LinesContaining(
    SplitLines(
      result.out), "velmoraplus_trash_pose_soak: interrupted by SIGINT after ");
  ASSERT_EQ(said.size(), 1U) << result.out;
  EXPECT_NE(said[0].find(" passes: no verdict"), std::string::npos) << said[0];
  EXPECT_EQ(result.out.find("verdict:"), std::string::npos) << result.out;
  EXPECT_LT(result.exit_after_interrupt, kExitBound + 1s);
}

}  // namespace
