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
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "velmoraplus_trash_pose/core/logger.hpp"

namespace
{

struct ProbeRun
{
  std::string out;
  int status = -1;
};

// `env` is a list of VAR=value words; the three logger variables start unset.
ProbeRun RunProbe(const std::string & env, int lines, const std::string & then = "")
{
  const std::string command = "env -u SPDLOG_STDOUT -u SPDLOG_SYSTEMD -u SPDLOG_LEVEL " + env +
    " '" VELMORA_LOGGER_PROBE "' " + std::to_string(lines) + " " +
    then + " 2>/dev/null";
  ProbeRun run;
  FILE * pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {return run;}
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {run.out.append(buffer.data(), n);}
  run.status = pclose(pipe);
  return run;
}

const std::string kStdoutUnset = "environment variable SPDLOG_STDOUT is not set, and set true\n";
const std::string kSystemdUnset = "environment variable SPDLOG_SYSTEMD is not set, and set false\n";
const std::string kLevelUnset =
  "environment variable SPDLOG_LEVEL is not set, and set default level\n";

TEST(Logger, DefaultsPrintThreeNoticesThenNumberedLines) {
  const ProbeRun run = RunProbe("", 2);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(
    run.out, kStdoutUnset + kSystemdUnset + kLevelUnset +
    "  1 [INFO] line 1\n  2 [INFO] line 2\nlevel 2\n");
}

TEST(Logger, InvalidValuesFallBackWithTheirOwnNotices) {
  const ProbeRun run = RunProbe("SPDLOG_STDOUT=yes SPDLOG_SYSTEMD=TRUE SPDLOG_LEVEL=INFO", 1);
  EXPECT_EQ(
    run.out,
    "environment variable SPDLOG_STDOUT is invalid, and set true\n"
    "environment variable SPDLOG_SYSTEMD is invalid, and set false\n"
    "environment variable SPDLOG_LEVEL is invalid, and set default level\n"
    "  1 [INFO] line 1\nlevel 2\n");
  // Valid values print no notice; "warning" and "error" are the accepted words.
  EXPECT_EQ(
    RunProbe("SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=debug", 1).out,
    "  1 [INFO] line 1\nlevel 1\n");
  EXPECT_EQ(
    RunProbe("SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=error", 1).out,
    "level 4\n");
  EXPECT_EQ(
    RunProbe("SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=warn", 0).out,
    "environment variable SPDLOG_LEVEL is invalid, and set default level\nlevel 2\n");
}

TEST(Logger, SinksAndLevelGate) {
  // No sink at all: program lines disappear, other output stays.
  EXPECT_EQ(RunProbe("SPDLOG_STDOUT=false", 3).out, kSystemdUnset + kLevelUnset + "level 2\n");
  // Above info nothing is printed and the counter does not move: once the logger
  // lets info lines through again, the next one shows it still at 0.
  EXPECT_EQ(
    RunProbe("SPDLOG_LEVEL=warning", 3, "raise").out,
    kStdoutUnset + kSystemdUnset + "  0 [INFO] after\nlevel 3\n");
}

// The line of the probe's LOG_INFO call, read from its source.
int ProbeCallLine()
{
  std::ifstream source(VELMORA_LOGGER_PROBE_SOURCE);
  std::string text;
  for (int line = 1; std::getline(source, text); ++line) {
    if (text.find("LOG_INFO(\"line {}\"") != std::string::npos) {return line;}
  }
  return -1;
}

TEST(Logger, JournalEntriesCarryTheLineAndTheCallSite) {
  // The probe stands in for the journal and fails every entry, as a machine
  // without one would: the process goes on.
  const ProbeRun run = RunProbe("SPDLOG_STDOUT=false SPDLOG_SYSTEMD=true SPDLOG_LEVEL=info", 2);
  EXPECT_EQ(run.status, 0);
  std::string expected;
  for (const char * line : {"  1 [INFO] line 1", "  2 [INFO] line 2"}) {
    expected += std::string("journal MESSAGE=") + line + "\njournal PRIORITY=6\n" +
      "journal SYSLOG_IDENTIFIER=spdlog\njournal CODE_FILE=./test/logger_probe.cpp\n" +
      "journal CODE_LINE=" + std::to_string(ProbeCallLine()) + "\njournal CODE_FUNC=main\n";
  }
  EXPECT_EQ(run.out, expected + "level 2\n");
}

TEST(Logger, CounterWrapsAfter127) {
  const ProbeRun run = RunProbe("SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false SPDLOG_LEVEL=info", 130);
  EXPECT_NE(
    run.out.find("127 [INFO] line 127\n  0 [INFO] line 128\n  1 [INFO] line 129\n"),
    std::string::npos)
    << run.out.substr(run.out.size() > 200 ? run.out.size() - 200 : 0);
}

}  // namespace
