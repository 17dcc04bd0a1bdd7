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

// Shared pieces of the libFuzzer targets: a scratch file the loaders read, and
// a hard stop that libFuzzer records as a crash with the reason printed first.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace velmora_fuzz
{

[[noreturn]] inline void Fail(const std::string & why)
{
  std::fprintf(stderr, "fuzz check failed: %s\n", why.c_str());
  std::abort();
}

// A private directory below the temp dir, removed when the process exits
// normally (libFuzzer's -max_total_time ends with exit()).
class ScratchDir
{
public:
  ScratchDir()
  {
    std::string pattern =
      (std::filesystem::temp_directory_path() / "velmora_fuzz_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {Fail("cannot create a scratch directory");}
    path_ = pattern;
  }
  ~ScratchDir()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir & operator=(const ScratchDir &) = delete;

  const std::string & path() const {return path_;}

  // Writes `size` bytes to `name` inside the directory; returns its path.
  std::string Write(const std::string & name, const std::uint8_t * data, std::size_t size) const
  {
    const std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) {Fail("cannot write " + file);}
    return file;
  }

private:
  std::string path_;
};

// A rejection must say which file it is about.
inline void CheckNamesFile(const std::string & message, const std::string & file)
{
  if (message.find(file) == std::string::npos) {
    Fail("error message does not name the file '" + file + "': " + message);
  }
}

}  // namespace velmora_fuzz
