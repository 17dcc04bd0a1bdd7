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

#ifndef VELMORAPLUS_TRASH_POSE__TEST__CONSOLE_LINE_HPP_
#define VELMORAPLUS_TRASH_POSE__TEST__CONSOLE_LINE_HPP_

// One line of ROS 2's console output in humble's default format,
// "[SEVERITY] [<seconds>.<nanoseconds>] [<logger>]: <message>", taken apart
// for the tests and benchmarks that read a node's log.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velmora_test
{

struct ConsoleLine
{
  std::string severity;  // "INFO", "WARN", ...
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  std::string logger;
  std::string message;

  double stamp() const
  {
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) * 1e-9;
  }
  std::chrono::system_clock::time_point time() const
  {
    return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
  }
};

// The parts of `line` (without its newline); nothing for a line of another form.
inline std::optional<ConsoleLine> ParseConsoleLine(const std::string & line)
{
  const auto digits = [](const std::string & text) {
      return !text.empty() && text.size() <= 18 &&
             text.find_first_not_of("0123456789") == std::string::npos;
    };
  if (line.empty() || line[0] != '[') {
    return std::nullopt;
  }
  const auto severity_end = line.find("] [", 1);
  if (severity_end == std::string::npos) {
    return std::nullopt;
  }
  const auto stamp_begin = severity_end + 3;
  const auto stamp_end = line.find("] [", stamp_begin);
  const auto logger_begin = stamp_end + 3;
  const auto logger_end = stamp_end == std::string::npos ?
    std::string::npos : line.find("]: ", logger_begin);
  if (logger_end == std::string::npos) {
    return std::nullopt;
  }
  const std::string stamp = line.substr(stamp_begin, stamp_end - stamp_begin);
  const auto dot = stamp.find('.');
  if (dot == std::string::npos || !digits(stamp.substr(0, dot)) || !digits(stamp.substr(dot + 1))) {
    return std::nullopt;
  }
  ConsoleLine parsed;
  parsed.severity = line.substr(1, severity_end - 1);
  parsed.seconds = std::stoll(stamp.substr(0, dot));
  parsed.nanoseconds = std::stoll(stamp.substr(dot + 1));
  parsed.logger = line.substr(logger_begin, logger_end - logger_begin);
  parsed.message = line.substr(logger_end + 3);
  return parsed;
}

}  // namespace velmora_test

#endif  // VELMORAPLUS_TRASH_POSE__TEST__CONSOLE_LINE_HPP_
