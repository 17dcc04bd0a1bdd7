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

// Process-wide program log and the console colour strings.
//
// The logger is configured once, on first use, from SPDLOG_STDOUT, SPDLOG_SYSTEMD
// and SPDLOG_LEVEL. Every program log line goes through LOG_INFO and carries a
// 7-bit line counter in front of the message ("  1 [INFO] ...").
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <spdlog/common.h>

namespace spdlog
{
class logger;
}

namespace velmora
{

// Console colours of the estimator's diagnostics: colour + text + kColorReset.
inline constexpr const char * kColorGreen = "\033[1;32m";
inline constexpr const char * kColorRed = "\033[1;31m";
inline constexpr const char * kColorYellow = "\033[1;33m";
inline constexpr const char * kColorMagenta = "\033[1;35m";
inline constexpr const char * kColorBlue = "\033[1;34m";
inline constexpr const char * kColorCyan = "\033[1;36m";
inline constexpr const char * kColorReset = "\033[0m";

// Writes `text` to standard output whole and flushes it. Cameras print from
// parallel passes: one lock keeps their lines apart and std::cout's format
// state unshared.
void WriteConsole(const std::string & text);

class Logger
{
public:
  // The one instance; built on first call with the logger name "spdlog".
  static Logger & Instance();

  Logger(const Logger &) = delete;
  Logger & operator=(const Logger &) = delete;

  // Formats and logs one info line at the given call site; use LOG_INFO.
  template<typename ... Args>
  void Info(
    const spdlog::source_loc & location, fmt::format_string<Args...> format,
    Args &&... args)
  {
    Write(location, fmt::format(format, std::forward<Args>(args)...));
  }

  // The configured level as an spdlog level number (0 trace .. 5 critical).
  int level() const {return level_;}

private:
  explicit Logger(const std::string & name);
  void Write(const spdlog::source_loc & location, const std::string & body);

  std::shared_ptr<spdlog::logger> logger_;
  // Only shown in the line prefix; atomic because camera threads log in parallel.
  std::atomic<std::uint8_t> log_count_{0};
  int level_ = 2;
};

}  // namespace velmora

// The build maps the package directory to "." in __FILE__, so lines show "./src/<file>.cpp".
#define LOG_INFO(...) \
  ::velmora::Logger::Instance().Info( \
    ::spdlog::source_loc{__FILE__, __LINE__, static_cast<const char *>(__FUNCTION__)}, \
    __VA_ARGS__)
