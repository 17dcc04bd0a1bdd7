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

// Soak run of continuous mode: the sample scene streamed to the triggered
// camera pass after pass (is_realtime_estimate on), DetectTrash called every
// few passes, and the pass rate and resident memory reported after warm-up,
// half-way and at the end. A robot runs for days: memory must stay flat and
// every request must be answered.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <cv_bridge/cv_bridge.h>
#include <fcntl.h>
#include <rclcpp/rclcpp.hpp>
#include <sensor_msgs/msg/image.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/core/logger.hpp"
#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"
#include "velmoraplus_trash_pose/tools/in_process_detection.hpp"
#include "velmoraplus_trash_pose/tools/replay_support.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;

namespace
{

constexpr const char * kPackage = "velmoraplus_trash_pose";
constexpr auto kAnswerTimeout = 30s;
// How often a wait looks whether ROS 2 has shut down.
constexpr auto kShutdownPoll = 100ms;
// A pair is re-sent when no pass followed for this long (the synchroniser may
// hold a lone pair until the next one arrives).
constexpr auto kRepublishAfter = 100ms;

const char * kUsage =
  "usage: velmoraplus_trash_pose_soak [options]\n"
  "  Streams the sample scene to the triggered camera in continuous mode and calls\n"
  "  DetectTrash in between; prints passes per second and resident memory.\n"
  "options:\n"
  "  --passes N          camera passes in all, warm-up included (default 10000)\n"
  "  --call-every K      call DetectTrash every K passes (default 10)\n"
  "  --sample DIR        scene folder with color.png, depth.png and config/ (default: the\n"
  "                      package's installed sample/milk_cartoon_all_small_clorox)\n"
  "  --max-growth-mib M  growth of the peak resident memory from the first to the second\n"
  "                      half (after warm-up) still counted flat (default 8)\n"
  "  --progress N        also print pass rate and memory every N passes\n"
  "  --log FILE          where the node's own log lines go (default /dev/null)\n"
  "exit status: 0 for a PASS verdict, 1 for FAIL or an error, 128 + N when signal N\n"
  "  (SIGINT, SIGTERM) interrupted it (no verdict)\n";

struct Options
{
  long passes = 10000;
  long call_every = 10;
  double max_growth_mib = 8.0;
  long progress = 0;
  std::string sample_dir;  // empty: the installed sample
  std::string log_file = "/dev/null";
};

[[noreturn]] void Fail(const std::string & message)
{
  throw std::runtime_error(message);
}

long ParsePositive(const std::string & option, const std::string & value)
{
  return velmora::ParseIntegerOption(option, value, 1, std::numeric_limits<long>::max());
}

Options ParseArguments(const std::vector<std::string> & args)
{
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string & a = args[i];
    const auto value = [&]() {return velmora::TakeOptionValue(args, i);};
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--passes") {
      options.passes = ParsePositive(a, value());
    } else if (a == "--call-every") {
      options.call_every = ParsePositive(a, value());
    } else if (a == "--sample") {
      options.sample_dir = value();
    } else if (a == "--max-growth-mib") {
      options.max_growth_mib = static_cast<double>(ParsePositive(a, value()));
    } else if (a == "--progress") {
      options.progress = ParsePositive(a, value());
    } else if (a == "--log") {
      options.log_file = value();
    } else {
      Fail("unknown argument " + a);
    }
  }
  return options;
}

// Resident set size of this process in KiB, from /proc/self/status.
long ResidentKib()
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// The report goes to the terminal the program started on; the node's own
// lines (one per pass and more) go to --log.
class Report
{
public:
  explicit Report(const std::string & log_file)
  {
    std::fflush(stdout);
    std::fflush(stderr);
    terminal_ = ::dup(STDOUT_FILENO);
    const int log = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (terminal_ < 0 || log < 0) {
      Fail("cannot open the log file " + log_file);
    }
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::close(log);
    out_ = ::fdopen(terminal_, "w");
  }
  ~Report()
  {
    std::fclose(out_);
  }
  Report(const Report &) = delete;
  Report & operator=(const Report &) = delete;

  template<typename ... Args>
  void Line(const char * format, Args... args)
  {
    std::fprintf(out_, format, args ...);
    std::fputc('\n', out_);
    std::fflush(out_);
  }

private:
  int terminal_ = -1;
  std::FILE * out_ = nullptr;
};

struct Sample
{
  long passes = 0;
  long rss_kib = 0;
  std::chrono::steady_clock::time_point time;
};

int Soak(const Options & options, Report & report)
{
  const fs::path sample = options.sample_dir.empty() ?
    fs::path(ament_index_cpp::get_package_share_directory("velmoraplus_trash_pose")) /
    "sample" / "milk_cartoon_all_small_clorox" :
    fs::path(options.sample_dir);
  const velmora::ImagePair images =
    velmora::LoadImagePair((sample / "color.png").string(), (sample / "depth.png").string());
  const cv::Mat & rgb = images.colour_rgb;
  const cv::Mat & depth = images.depth_mm;

  const velmora::PrivateConfigPrefix prefix(sample / "config", "soak");
  ::setenv("VELMORAPLUS_DATA_DIR", (prefix.root() / "data").c_str(), 1);
  const std::string config_path = prefix.file("trash_pose_detect_config.yaml").string();
  const YAML::Node top = YAML::LoadFile(config_path)["velmoraplus_trash_pose"];
  const std::vector<int> slots = velmora::TriggeredSlots(top["cam_num"].as<int>());
  if (slots.empty()) {
    Fail(config_path + ": cam_num triggers no camera");
  }
  for (int slot : slots) {
    prefix.Edit(
      "cam" + std::to_string(slot) + "_detect_config.yaml", "camera_detection_params",
      "is_realtime_estimate", "true");
  }

  // rclcpp shuts down on SIGINT/SIGTERM and chains to this, which notes the signal.
  const velmora::StopSignalRecorder signals;
  velmora::IsolateRosTraffic();
  rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::All);
  // Passes are counted on the first triggered camera; the others run alongside.
  // Declared first: the camera's thread counts until the robot is stopped.
  std::atomic<long> passes{0};
  std::atomic<long> dropped{0};
  velmora::InProcessDetection robot(config_path, "velmoraplus_trash_pose_soak");
  robot.detection().camera(slots.front())->SetPassObserver(
    [&](const velmora::PassReport & r) {
      if (!r.dropped.empty()) {
        ++dropped;
      }
      ++passes;
    });
  // A signal shuts ROS 2 down; every wait below looks at that at least every 100 ms.
  const auto interrupted = [&]() {
      const int signal_number = signals.received();
      report.Line(
        "velmoraplus_trash_pose_soak: interrupted by %s after %ld passes: no verdict",
        signal_number != 0 ? velmora::SignalName(signal_number).c_str() : "a ROS 2 shutdown",
        passes.load());
      return signal_number != 0 ? 128 + signal_number : 1;
    };
  if (!robot.Start(10s)) {
    const bool shut_down = !rclcpp::ok();
    robot.Stop();
    if (shut_down) {
      return interrupted();
    }
    Fail("service " + robot.service_name() + " did not come up");
  }

  std::atomic<bool> streaming{true};
  // At most two pairs ahead of the camera: the queues stay short, so memory
  // measures the node, not a backlog.
  std::thread streamer([&]() {
      long published = 0;
      long passes_at_publish = -1;
      auto last = std::chrono::steady_clock::now();
      while (streaming && rclcpp::ok()) {
        const long done = passes.load();
        const auto now = std::chrono::steady_clock::now();
        if (published - done < 2 || (done == passes_at_publish && now - last > kRepublishAfter)) {
          const auto stamp = robot.peer()->now();
          const auto rgb_msg = velmora::ImageMessage(rgb, "rgb8", stamp);
          const auto depth_msg = velmora::ImageMessage(depth, "16UC1", stamp);
          for (int slot : slots) {
            robot.Publish(slot, *rgb_msg, *depth_msg);
          }
          ++published;
          passes_at_publish = done;
          last = now;
        } else {
          std::this_thread::sleep_for(1ms);
        }
      }
    });
  // The streamer ends before ROS 2 does, so it never publishes into a shutdown.
  const auto stop = [&]() {
      streaming = false;
      if (streamer.joinable()) {
        streamer.join();
      }
      robot.Stop();
    };
  // Whatever ends the soak, the threads are joined before they are destroyed.
  const std::shared_ptr<void> joiner(nullptr, [&stop](void *) {stop();});

  // The allocator's per-thread arenas fill during the first few dozen passes.
  const long warm_up = std::clamp(options.passes / 20, 50L, 500L);
  const long total = std::max(options.passes, warm_up + 2);
  const long middle = warm_up + (total - warm_up) / 2;
  std::vector<Sample> samples;
  const auto take_sample = [&](long at) {
      samples.push_back({at, ResidentKib(), std::chrono::steady_clock::now()});
      const Sample & s = samples.back();
      const char * names[] = {"start", "middle", "end"};
      double rate = 0.0;
      if (samples.size() > 1) {
        const Sample & prev = samples[samples.size() - 2];
        rate = static_cast<double>(s.passes - prev.passes) /
          std::chrono::duration<double>(s.time - prev.time).count();
      }
      report.Line(
        "%-6s pass %6ld  VmRSS %8.1f MiB  %s%.2f passes/s", names[samples.size() - 1], s.passes,
        static_cast<double>(s.rss_kib) / 1024.0, samples.size() > 1 ? "" : "(after warm-up) ",
        rate);
    };
  report.Line(
    "soak: %ld passes on camera slot %d (%ld warm-up), DetectTrash every %ld passes",
    total, slots.front(), warm_up, options.call_every);

  long calls = 0;
  long answered = 0;
  long with_trash = 0;
  long next_call = options.call_every;
  long next_progress = options.progress > 0 ? warm_up + options.progress : total + 1;
  std::size_t next_sample = 0;
  const long marks[] = {warm_up, middle, total};
  // Peaks per half: a leak raises the second half's peak, allocator noise does not.
  long peak_kib[2] = {0, 0};
  long last_seen = -1;
  while (next_sample < 3) {
    const long done = passes.load();
    if (done != last_seen && done >= warm_up) {
      last_seen = done;
      long & peak = peak_kib[done < middle ? 0 : 1];
      peak = std::max(peak, ResidentKib());
    }
    if (done >= marks[next_sample]) {
      take_sample(done);
      ++next_sample;
      continue;
    }
    if (done >= next_progress) {
      report.Line(
        "       pass %6ld  VmRSS %8.1f MiB", done, static_cast<double>(ResidentKib()) / 1024.0);
      next_progress += options.progress;
    }
    if (done >= next_call) {
      next_call = done + options.call_every;
      ++calls;
      auto future = robot.client()->async_send_request(std::make_shared<DetectTrash::Request>());
      const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
      auto status = std::future_status::timeout;
      while (rclcpp::ok() && std::chrono::steady_clock::now() < deadline) {
        status = future.wait_for(kShutdownPoll);
        if (status == std::future_status::ready) {
          break;
        }
      }
      if (!rclcpp::ok()) {
        break;
      }
      if (status == std::future_status::ready) {
        ++answered;
        with_trash += future.get()->trash_infos.empty() ? 0 : 1;
      } else {
        report.Line(
          "DetectTrash call %ld got no answer within %ld s", calls,
          static_cast<long>(std::chrono::seconds(kAnswerTimeout).count()));
        break;
      }
      continue;
    }
    if (!rclcpp::ok()) {
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  if (!rclcpp::ok() || signals.received() != 0) {
    stop();
    return interrupted();
  }
  stop();

  const bool finished = samples.size() == 3;
  const double growth_mib = static_cast<double>(peak_kib[1] - peak_kib[0]) / 1024.0;
  const double seconds = finished ?
    std::chrono::duration<double>(samples[2].time - samples[0].time).count() : 0.0;
  report.Line(
    "DetectTrash: %ld calls, %ld answered, %ld with grab results; %ld passes dropped",
    calls, answered, with_trash, dropped.load());
  const bool flat = finished && growth_mib <= options.max_growth_mib;
  const bool pass = finished && flat && answered == calls && dropped.load() == 0;
  report.Line(
    "peak VmRSS: %.1f MiB in the first half, %.1f MiB in the second",
    static_cast<double>(peak_kib[0]) / 1024.0, static_cast<double>(peak_kib[1]) / 1024.0);
  report.Line(
    "verdict: %s (peak memory %+.1f MiB from first to second half, limit %.1f; "
    "%.2f passes/s over %ld passes)",
    pass ? "PASS" : "FAIL", growth_mib, options.max_growth_mib,
    seconds > 0.0 ? static_cast<double>(total - warm_up) / seconds : 0.0, total - warm_up);
  return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char ** argv)
{
  try {
    const Options options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    // The program log and the estimator's echo would bury the report.
    ::setenv("SPDLOG_STDOUT", "false", 1);
    ::setenv("SPDLOG_SYSTEMD", "false", 1);
    Report report(options.log_file);
    try {
      return Soak(options, report);
    } catch (const std::exception & e) {
      report.Line("velmoraplus_trash_pose_soak: %s", e.what());
      if (rclcpp::ok()) {
        rclcpp::shutdown();
      }
      return 1;
    }
  } catch (const std::exception & e) {
    std::fprintf(stderr, "velmoraplus_trash_pose_soak: %s\n", e.what());
    return 1;
  }
}
