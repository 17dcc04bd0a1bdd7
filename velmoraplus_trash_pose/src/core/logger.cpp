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

#include "velmoraplus_trash_pose/core/logger.hpp"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

namespace velmora
{
namespace
{

// Reads a "true"/"false" switch; anything else falls back to `fallback` with a notice.
bool ReadSwitch(const char * variable, bool fallback)
{
  const char * value = std::getenv(variable);
  const char * fallback_word = fallback ? "true" : "false";
  if (value == nullptr) {
    std::cout << "environment variable " << variable << " is not set, and set " << fallback_word
              << "\n";
    return fallback;
  }
  const std::string text(value);
  if (text == "true") {return true;}
  if (text == "false") {return false;}
  std::cout << "environment variable " << variable << " is invalid, and set " << fallback_word
            << "\n";
  return fallback;
}

int ReadLevel()
{
  constexpr int kDefaultLevel = spdlog::level::info;
  const char * value = std::getenv("SPDLOG_LEVEL");
  if (value == nullptr) {
    std::cout << "environment variable SPDLOG_LEVEL is not set, and set default level\n";
    return kDefaultLevel;
  }
  // Accepted words differ from spdlog's own names ("warning", "error").
  static const std::pair<const char *, int> kWords[] = {
    {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
    {"info", spdlog::level::info}, {"warning", spdlog::level::warn},
    {"error", spdlog::level::err}, {"critical", spdlog::level::critical}};
  const std::string text(value);
  for (const auto & [word, level] : kWords) {
    if (text == word) {return level;}
  }
  std::cout << "environment variable SPDLOG_LEVEL is invalid, and set default level\n";
  return kDefaultLevel;
}

std::mutex & ConsoleMutex()
{
  static std::mutex mutex;
  return mutex;
}

}  // namespace

void WriteConsole(const std::string & text)
{
  const std::lock_guard<std::mutex> lock(ConsoleMutex());
  std::cout << text << std::flush;
}

Logger & Logger::Instance()
{
  static Logger instance("spdlog");
  return instance;
}

Logger::Logger(const std::string & name)
{
  std::vector<spdlog::sink_ptr> sinks;
  if (ReadSwitch("SPDLOG_STDOUT", true)) {
    sinks.push_back(
      std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(spdlog::color_mode::automatic));
  }
  if (ReadSwitch("SPDLOG_SYSTEMD", false)) {
    sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink_mt>());
  }
  logger_ = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
  level_ = ReadLevel();
  logger_->set_level(static_cast<spdlog::level::level_enum>(level_));
  logger_->set_pattern("%v", spdlog::pattern_time_type::local);
}

void Logger::Write(const spdlog::source_loc & location, const std::string & body)
{
  const std::shared_ptr<spdlog::logger> logger = logger_;
  // The counter numbers visible info lines only; 7 bits, so 127 is followed by 0.
  unsigned count = log_count_.load(std::memory_order_relaxed) & 0x7Fu;
  if (level_ <= spdlog::level::info) {
    count = (log_count_.fetch_add(1, std::memory_order_relaxed) + 1u) & 0x7Fu;
  }
  const std::string text = fmt::format("{0:3d} [INFO] ", count) + body;
  logger->log(location, spdlog::level::info, spdlog::string_view_t(text));
}

}  // namespace velmora
