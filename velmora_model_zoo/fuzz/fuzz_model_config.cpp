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

// Arbitrary YAML as a model configuration. The scratch directory holds a
// readable "model.onnx" and "recording.yaml" and an ament index entry for
// velmora_model_zoo, so inputs get past the file checks. Any rejection must be
// one std::runtime_error naming the file; an accepted one must hold what the
// post-processor relies on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <unistd.h>

#include "velmora_model_zoo/model_config.hpp"

namespace
{

[[noreturn]] void Fail(const std::string & why)
{
  std::fprintf(stderr, "fuzz check failed: %s\n", why.c_str());
  std::abort();
}

class Scratch
{
public:
  Scratch()
  {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora_fuzz_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {Fail("cannot create a scratch directory");}
    dir_ = pattern;
    namespace fs = std::filesystem;
    fs::create_directories(dir_ + "/share/ament_index/resource_index/packages");
    fs::create_directories(dir_ + "/share/velmora_model_zoo/models");
    for (const std::string & file :
      {dir_ + "/share/ament_index/resource_index/packages/velmora_model_zoo",
        dir_ + "/share/velmora_model_zoo/models/demo_seg_640.onnx", dir_ + "/model.onnx",
        dir_ + "/recording.yaml"})
    {
      std::ofstream(file) << "x";
    }
    ::setenv("AMENT_PREFIX_PATH", dir_.c_str(), 1);
  }
  ~Scratch()
  {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Scratch(const Scratch &) = delete;
  Scratch & operator=(const Scratch &) = delete;

  std::string Write(const std::uint8_t * data, std::size_t size) const
  {
    const std::string file = dir_ + "/model_config.yaml";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out) {Fail("cannot write " + file);}
    return file;
  }

private:
  std::string dir_;
};

void CheckAccepted(const det::ModelConfig & config)
{
  if (config.source == det::ModelSource::kRecorded) {return;}
  const det::PostprocessParams & p = config.post;
  const bool sound = config.input_width >= 32 && config.input_height >= 32 &&
    config.input_width % 32 == 0 && config.input_height % 32 == 0 &&
    p.num_classes >= 1 && p.max_detections >= 1 && p.max_candidates >= 1 &&
    p.confidence_threshold >= 0.0F && p.confidence_threshold <= 1.0F &&
    p.nms_threshold >= 0.0F && p.nms_threshold <= 1.0F &&
    p.mask_threshold > 0.0F && p.mask_threshold < 1.0F;
  if (!sound) {Fail("accepted a configuration the post-processor cannot use: " + config.path);}
  for (const auto & [from, to] : p.class_map) {
    if (from < 0 || from >= p.num_classes || to < 0) {Fail("accepted a bad class_map entry");}
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t * data, std::size_t size)
{
  static const Scratch scratch;
  const std::string path = scratch.Write(data, size);
  try {
    CheckAccepted(det::load_model_config(path));
  } catch (const std::runtime_error & e) {
    if (std::string(e.what()).find(path) == std::string::npos) {
      Fail(std::string("error message does not name the file: ") + e.what());
    }
  } catch (const std::exception & e) {
    Fail(std::string("escaped ") + typeid(e).name() + ": " + e.what());
  }
  return 0;
}
