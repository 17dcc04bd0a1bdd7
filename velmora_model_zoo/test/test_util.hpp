#pragma once

#include <fstream>
#include <string>

#include <sys/stat.h>

namespace test_util {

inline std::string model(const std::string& name) {
  return std::string(TEST_MODEL_DIR) + "/" + name + ".yaml";
}

// A fresh file below the build tree's work directory.
inline std::string write_file(const std::string& name, const std::string& text) {
  ::mkdir(TEST_WORK_DIR, 0755);
  const std::string path = std::string(TEST_WORK_DIR) + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

}  // namespace test_util
