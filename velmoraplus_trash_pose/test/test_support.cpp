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

#include "test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace velmora_test
{

ConfigPrefix::ConfigPrefix()
{
  std::random_device rd;
  root_ = (fs::temp_directory_path() / ("velmora_prefix_" + std::to_string(::getpid()) + "_" +
    std::to_string(rd()))).string();
  const fs::path index = fs::path(root_) / "share/ament_index/resource_index/packages";
  fs::create_directories(index);
  std::ofstream(index / "velmoraplus_trash_pose").close();
  const fs::path config = fs::path(config_dir());
  fs::create_directories(config);
  for (const auto & entry : fs::directory_iterator(VELMORA_SOURCE_CONFIG_DIR)) {
    fs::copy_file(entry.path(), config / entry.path().filename());
  }
  const char * old = std::getenv("AMENT_PREFIX_PATH");
  had_ament_prefix_path_ = old != nullptr;
  saved_ament_prefix_path_ = old ? old : "";
  // The installed prefix stays on the path so other packages' shares resolve.
  ament_prefix_path_ = root_ +
    (old ? std::string(":") + old : std::string(":") + VELMORA_INSTALL_PREFIX);
  ::setenv("AMENT_PREFIX_PATH", ament_prefix_path_.c_str(), 1);
}

ConfigPrefix::~ConfigPrefix()
{
  if (had_ament_prefix_path_) {
    ::setenv("AMENT_PREFIX_PATH", saved_ament_prefix_path_.c_str(), 1);
  } else {
    ::unsetenv("AMENT_PREFIX_PATH");
  }
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string ConfigPrefix::config_dir() const
{
  return root_ + "/share/velmoraplus_trash_pose/config";
}

YAML::Node ConfigPrefix::Load(const std::string & name) const
{
  return YAML::LoadFile(config_file(name));
}

void ConfigPrefix::Save(const std::string & name, const YAML::Node & node) const
{
  YAML::Emitter out;
  out << node;
  Write(name, out.c_str());
}

void ConfigPrefix::Write(const std::string & name, const std::string & text) const
{
  std::ofstream file(config_file(name));
  file << text << "\n";
  if (!file) {
    throw std::runtime_error("cannot write " + config_file(name));
  }
}

void ConfigPrefix::Set(
  const std::string & name, const std::string & section, const std::string & key,
  const std::string & value) const
{
  YAML::Node root = Load(name);
  YAML::Node parent = section.empty() ? root : root[section];
  parent[key] = YAML::Load(value);
  Save(name, root);
}

void ConfigPrefix::Remove(
  const std::string & name, const std::string & section, const std::string & key) const
{
  YAML::Node root = Load(name);
  YAML::Node parent = section.empty() ? root : root[section];
  parent.remove(key);
  Save(name, root);
}

void IsolateRosTraffic()
{
  static const bool isolated = [] {
      // Domain ids 1 to 101 are safe for every DDS port mapping on Linux.
      for (int id = 1; id <= 101; ++id) {
        const std::string lock = "/tmp/velmora_test_ros_domain_" + std::to_string(id) + ".lock";
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
          continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
          // The descriptor stays open: the claim lasts as long as the process.
          ::setenv("ROS_DOMAIN_ID", std::to_string(id).c_str(), 1);
          ::setenv("ROS_LOCALHOST_ONLY", "1", 1);
          return true;
        }
        ::close(fd);
      }
      throw std::runtime_error("no free ROS domain id for the test (all of 1..101 claimed)");
    }();
  (void)isolated;
}

ChildResult RunChild(
  const std::vector<std::string> & argv, const std::map<std::string, std::string> & env,
  const std::optional<std::string> & interrupt_after, std::chrono::seconds timeout,
  const std::vector<std::string> & unset_env, std::chrono::milliseconds interrupt_delay,
  int signal_number)
{
  IsolateRosTraffic();
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
    for (const auto & name : unset_env) {
      ::unsetenv(name.c_str());
    }
    for (const auto & [key, value] : env) {
      ::setenv(key.c_str(), value.c_str(), 1);
    }
    std::vector<char *> args;
    for (const auto & a : argv) {
      args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);

  ChildResult result;
  bool interrupted = false;
  std::chrono::steady_clock::time_point interrupted_at{};
  bool marker_seen = false;
  std::chrono::steady_clock::time_point marker_at{};
  bool out_open = true;
  bool err_open = true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_open || err_open) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 200)));
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
    if (interrupt_after && !marker_seen && result.out.find(*interrupt_after) != std::string::npos) {
      marker_seen = true;
      marker_at = std::chrono::steady_clock::now();
    }
    if (marker_seen && !interrupted &&
      std::chrono::steady_clock::now() >= marker_at + interrupt_delay)
    {
      ::kill(pid, signal_number);
      interrupted = true;
      interrupted_at = std::chrono::steady_clock::now();
    }
  }
  if (interrupted) {
    result.interrupted = true;
    result.exit_after_interrupt = std::chrono::steady_clock::now() - interrupted_at;
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::string ReadText(const std::string & path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> SplitLines(const std::string & text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> LinesContaining(
  const std::vector<std::string> & lines, const std::string & needle)
{
  std::vector<std::string> found;
  for (const auto & line : lines) {
    if (line.find(needle) != std::string::npos) {
      found.push_back(line);
    }
  }
  return found;
}

}  // namespace velmora_test
