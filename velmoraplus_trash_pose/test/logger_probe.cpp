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

// Writes N program log lines ("line 1" .. "line N") and nothing else; run by
// logger_test.cpp in a fresh process per environment. With "raise" after N, the
// spdlog logger is put back to info level and one more line ("after") follows,
// which shows the counter as the suppressed lines left it.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <spdlog/logger.h>

#include "velmoraplus_trash_pose/core/logger.hpp"

// The journal, as the journal sink reaches it: one "journal FIELD=value" line per
// field, each field a printf format with one conversion ("%.*s", "%d" or "%s") at its
// end. It then fails as on a machine without a journal, which must not stop the process.
extern "C" int sd_journal_send(const char * format, ...)
{
  va_list args;
  va_start(args, format);
  for (const char * field = format; field != nullptr; field = va_arg(args, const char *)) {
    const int name = static_cast<int>(std::strcspn(field, "%"));
    const int length = std::strcmp(field + name, "%.*s") == 0 ? va_arg(args, int) : -1;
    if (std::strcmp(field + name, "%d") == 0) {
      std::printf("journal %.*s%d\n", name, field, va_arg(args, int));
    } else {
      std::printf("journal %.*s%.*s\n", name, field, length, va_arg(args, const char *));
    }
  }
  va_end(args);
  return -2;  // -ENOENT
}

// The spdlog logger is private to velmora::Logger; an explicit instantiation may name
// a private member, which lets this probe lower the level afterwards.
using SpdlogMember = std::shared_ptr<spdlog::logger> velmora::Logger::*;
SpdlogMember SpdlogLogger();
template<SpdlogMember Member>
struct ExposeSpdlog
{
  friend SpdlogMember SpdlogLogger() {return Member;}
};
template struct ExposeSpdlog<&velmora::Logger::logger_>;

int main(int argc, char ** argv)
{
  for (int i = 1; i <= (argc > 1 ? std::atoi(argv[1]) : 1); ++i) {
    // The line the journal test expects for this call.
#line 1000
    LOG_INFO("line {}", i);
  }
  if (argc > 2 && std::strcmp(argv[2], "raise") == 0) {
    (velmora::Logger::Instance().*SpdlogLogger())->set_level(spdlog::level::info);
    LOG_INFO("after");
  }
  std::printf("level %d\n", velmora::Logger::Instance().level());
  return 0;
}
