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
#include <string>

#include <spdlog/logger.h>

#include "velmoraplus_trash_pose/core/logger.hpp"

// The journal, as the journal sink reaches it: one "journal FIELD=value" line
// per field. Each field is a printf format with its own arguments ("%.*s", "%d"
// or "%s"). It then fails as on a machine without a journal, which must not
// stop the process.
extern "C" int sd_journal_send(const char * format, ...)
{
  va_list args;
  va_start(args, format);
  for (const char * field = format; field != nullptr; field = va_arg(args, const char *)) {
    std::string text;
    for (const char * c = field; *c != '\0'; ++c) {
      if (std::strncmp(c, "%.*s", 4) == 0) {
        const int length = va_arg(args, int);
        text.append(va_arg(args, const char *), static_cast<std::size_t>(length));
        c += 3;
      } else if (std::strncmp(c, "%d", 2) == 0 || std::strncmp(c, "%s", 2) == 0) {
        text += c[1] == 'd' ? std::to_string(va_arg(args, int)) : va_arg(args, const char *);
        ++c;
      } else {
        text += *c;
      }
    }
    std::printf("journal %s\n", text.c_str());
  }
  va_end(args);
  return -2;  // -ENOENT
}

// The spdlog logger is private to velmora::Logger; an explicit instantiation may
// name a private member, which lets this probe lower the level afterwards.
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
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1;
  for (int i = 1; i <= lines; ++i) {
    LOG_INFO("line {}", i);
  }
  if (argc > 2 && std::strcmp(argv[2], "raise") == 0) {
    (velmora::Logger::Instance().*SpdlogLogger())->set_level(spdlog::level::info);
    LOG_INFO("after");
  }
  std::printf("level %d\n", velmora::Logger::Instance().level());
  return 0;
}
