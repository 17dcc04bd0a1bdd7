// Writes N program log lines ("line 1" .. "line N") and nothing else; run by
// logger_test.cpp in a fresh process per environment.
#include <cstdlib>
#include <cstdio>

#include "velmoraplus_trash_pose/logger.hpp"

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 1;
  for (int i = 1; i <= lines; ++i) LOG_INFO("line {}", i);
  std::printf("level %d\n", velmora::Logger::Instance().level());
  return 0;
}
