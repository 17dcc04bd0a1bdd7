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

// The process logger, observed from outside: each case runs logger_probe in its own
// process with a controlled environment and reads its standard output.
#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace
{

TEST(Logger, EnvironmentSinksLevelsCounterAndJournal) {
  const std::string is = "environment variable SPDLOG_", valid = "SPDLOG_STDOUT=true ";
  const std::string stdout_unset = is + "STDOUT is not set, and set true\n";
  const std::string systemd_unset = is + "SYSTEMD is not set, and set false\n";
  const std::string level_unset = is + "LEVEL is not set, and set default level\n";
  const std::string journal = "journal PRIORITY=6\njournal SYSLOG_IDENTIFIER=spdlog\njournal "
    "CODE_FILE=./test/logger_probe.cpp\njournal CODE_LINE=1000\njournal CODE_FUNC=main\n";
  // Environment (the three variables start unset), arguments, standard output.
  const std::tuple<std::string, std::string, std::string> runs[] = {
    {"", "2", stdout_unset + systemd_unset + level_unset + "  1 [INFO] line 1\n  2 [INFO] line 2\n"
      "level 2\n"},
    {"SPDLOG_STDOUT=yes SPDLOG_SYSTEMD=TRUE SPDLOG_LEVEL=INFO", "1", is + "STDOUT is invalid, and "
      "set true\n" + is + "SYSTEMD is invalid, and set false\n" + is + "LEVEL is invalid, and set "
      "default level\n  1 [INFO] line 1\nlevel 2\n"},
    // Valid values say nothing; "warning" and "error" are the accepted words.
    {valid + "SPDLOG_SYSTEMD=false SPDLOG_LEVEL=debug", "1", "  1 [INFO] line 1\nlevel 1\n"},
    {valid + "SPDLOG_SYSTEMD=false SPDLOG_LEVEL=error", "1", "level 4\n"},
    {valid + "SPDLOG_SYSTEMD=false SPDLOG_LEVEL=warn", "0",
      is + "LEVEL is invalid, and set default "
      "level\nlevel 2\n"},
    // No sink at all: program lines disappear, other output stays.
    {"SPDLOG_STDOUT=false", "3", systemd_unset + level_unset + "level 2\n"},
    // Above info nothing is printed and the counter does not move: once the logger lets
    // info lines through again, the next one shows it still at 0.
    {"SPDLOG_LEVEL=warning", "3 raise",
      stdout_unset + systemd_unset + "  0 [INFO] after\nlevel 3\n"},
    // The journal entries carry the line and its call site; the probe stands in for the
    // journal and fails every entry: the process goes on.
    {"SPDLOG_STDOUT=false SPDLOG_SYSTEMD=true SPDLOG_LEVEL=info", "2", "journal MESSAGE=  1 [INFO] "
      "line 1\n" + journal + "journal MESSAGE=  2 [INFO] line 2\n" + journal + "level 2\n"},
    // The counter has 7 bits (only the end of the output compared).
    {valid + "SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info", "130", "127 [INFO] line 127\n  0 [INFO] "
      "line 128\n  1 [INFO] line 129\n  2 [INFO] line 130\nlevel 2\n"},
  };
  for (const auto & [env, arguments, expected] : runs) {
    const std::string command = "env -u SPDLOG_STDOUT -u SPDLOG_SYSTEMD -u SPDLOG_LEVEL " + env +
      " '" VELMORA_LOGGER_PROBE "' " + arguments + " 2>/dev/null";
    FILE * pipe = popen(command.c_str(), "r");
    std::string out(1 << 16, '\0');
    out.resize(pipe ? std::fread(&out[0], 1, out.size(), pipe) : 0);
    EXPECT_EQ(pipe ? pclose(pipe) : -1, 0) << "the probe ends normally";
    const std::size_t start = arguments ==
      "130" ? out.size() - std::min(out.size(), expected.size()) : 0;
    EXPECT_EQ(out.substr(start), expected) << env;
  }
}

}  // namespace
