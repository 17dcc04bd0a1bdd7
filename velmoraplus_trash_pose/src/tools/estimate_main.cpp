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

// Replays the grab routine on archived base-frame clouds without ROS:
//
//   velmoraplus_trash_pose_estimate <pose_estimate.yaml> <cloud.ply>...
//       [--transparent] [--trash-type N] [--out results.yaml]
//
// All clouds go through one estimator in the given order, so state carried from
// one call to the next (pass limit, main-axis class) shows as on the robot.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <pcl/console/print.h>
#include <pcl/io/ply_io.h>
#include <yaml-cpp/yaml.h>

#include "velmoraplus_trash_pose/core/grab_pose_estimator.hpp"
#include "velmoraplus_trash_pose/core/yaml_reader.hpp"

namespace
{

struct Options
{
  std::string config_path;
  std::vector<std::string> cloud_paths;
  bool transparent = false;
  int trash_type = 1;
  std::string out_path;
};

class UsageError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

constexpr const char * kUsage =
  "usage: velmoraplus_trash_pose_estimate <pose_estimate.yaml> <cloud.ply>... "
  "[--transparent] [--trash-type N] [--out FILE]";
constexpr const char * kHelp =
  "Runs the grab routine of a camera's pose-estimate file on base-frame PLY clouds (a debug\n"
  "archive's \"[transformed].ply\", say), all through one estimator in the given order, and\n"
  "prints what it says and finds.\n"
  "  --transparent   the routine of transparent pieces\n"
  "  --trash-type N  the trash type the estimator is told (default 1)\n"
  "  --out FILE      also write the results as YAML\n"
  "Exit status 0 when every cloud was estimated (whatever its status), 1 on bad input.\n";

// Bytes one value of a PLY property type takes in a binary file (1 for a type
// PCL would refuse anyway).
std::uint64_t PlyTypeBytes(const std::string & type)
{
  if (type == "short" || type == "ushort" || type == "int16" || type == "uint16") {return 2;}
  if (type == "int" || type == "uint" || type == "float" || type == "int32" ||
    type == "uint32" || type == "float32")
  {
    return 4;
  }
  if (type == "double" || type == "float64") {return 8;}
  return 1;
}

// PCL sizes its buffers by the header's element counts before it reads any
// data, so a few hundred bytes claiming millions of vertices would allocate
// gigabytes. Every element needs some bytes of the file (binary: its
// fixed-size values and list counts; ASCII: a character and a separator per
// value; at least one byte in any case): counts the rest of the file cannot
// hold are refused before PCL sees them. Empty when the counts are possible.
std::string CheckPlyCounts(const std::string & path)
{
  constexpr std::size_t kMaxHeaderBytes = 1 << 20;
  std::ifstream file(path, std::ios::binary);
  std::string line;
  // Not a PLY file: PCL's to refuse.
  if (!std::getline(file, line) || (line != "ply" && line != "ply\r")) {return "";}
  bool binary = false;
  struct Element
  {
    std::string name;
    std::uint64_t count = 0;
    std::uint64_t min_bytes = 0;
  };
  std::vector<Element> elements;
  std::size_t header_bytes = line.size() + 1;
  bool ended = false;
  while (header_bytes <= kMaxHeaderBytes && std::getline(file, line)) {
    header_bytes += line.size() + 1;
    if (!line.empty() && line.back() == '\r') {line.pop_back();}
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "end_header") {
      ended = true;
      break;
    }
    if (word == "format") {
      std::string format;
      words >> format;
      binary = format != "ascii";
    } else if (word == "element") {
      Element element;
      std::string count;
      words >> element.name >> count;
      if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos ||
        count.size() > 18)
      {
        return "PLY cloud '" + path + "': element '" + element.name + "' has count '" + count +
               "', not a count this reader takes";
      }
      element.count = std::stoull(count);
      elements.push_back(element);
    } else if (word == "property" && !elements.empty()) {
      std::string type;
      words >> type;
      if (type == "list") {
        words >> type;                     // the list's count type; its items may be none
      }
      elements.back().min_bytes += binary ? PlyTypeBytes(type) : 2;
    }
  }
  if (!ended) {return "PLY cloud '" + path + "' has no end_header line in its first 1 MiB";}
  std::error_code error;
  const std::uint64_t size = std::filesystem::file_size(path, error);
  if (error) {return "";}
  const std::uint64_t left = size > header_bytes ? size - header_bytes : 0;
  std::uint64_t needed = 0;
  for (const Element & element : elements) {
    const std::uint64_t each = std::max<std::uint64_t>(element.min_bytes, 1);
    if (element.count > (left - needed) / each) {
      return "PLY cloud '" + path + "': its header claims " + std::to_string(element.count) +
             " " + element.name + " elements, more than the " + std::to_string(left) +
             " bytes after the header can hold";
    }
    needed += element.count * each;
  }
  return "";
}

// PCL's conversion to PointXYZ takes float coordinates only and reads others as
// zeros: double ones (as Open3D and others write) are narrowed here instead.
// Empty when read, else what is wrong.
std::string LoadPlyPoints(const std::string & path, velmora::GrabPoseEstimator::Cloud & cloud)
{
  pcl::PCLPointCloud2 blob;
  if (!std::ifstream(path) || pcl::io::loadPLYFile(path, blob) < 0) {
    return "cannot read PLY cloud '" + path + "'";
  }
  std::vector<const pcl::PCLPointField *> xyz;
  for (const char * name : {"x", "y", "z"}) {
    for (const auto & field : blob.fields) {
      if (field.name == name && field.count == 1 &&
        (field.datatype == pcl::PCLPointField::FLOAT32 ||
        field.datatype == pcl::PCLPointField::FLOAT64))
      {
        xyz.push_back(&field);
      }
    }
  }
  if (xyz.size() != 3) {
    return "PLY cloud '" + path + "' has no float or double x, y and z properties";
  }
  const std::size_t points = static_cast<std::size_t>(blob.width) * blob.height;
  if (blob.data.size() < points * blob.point_step) {
    return "PLY cloud '" + path + "' holds fewer bytes than its points need";
  }
  cloud.clear();
  cloud.reserve(points);
  for (std::size_t i = 0; i < points; ++i) {
    const std::uint8_t * point = blob.data.data() + i * blob.point_step;
    float value[3];
    for (int k = 0; k < 3; ++k) {
      const std::uint8_t * at = point + xyz[k]->offset;
      if (xyz[k]->datatype == pcl::PCLPointField::FLOAT64) {
        double d;
        std::memcpy(&d, at, sizeof(d));
        value[k] = static_cast<float>(d);
      } else {
        std::memcpy(&value[k], at, sizeof(float));
      }
    }
    cloud.push_back(pcl::PointXYZ(value[0], value[1], value[2]));
  }
  cloud.is_dense = blob.is_dense;
  return "";
}

int ParseTrashType(const std::string & text)
{
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used == 0 || used != text.size()) {
    throw UsageError("--trash-type needs an integer, got '" + text + "'");
  }
  return value;
}

Options ParseArguments(int argc, char ** argv)
{
  Options options;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&](const std::string & flag) {
        if (i + 1 >= argc) {throw UsageError(flag + " needs a value");}
        return std::string(argv[++i]);
      };
    if (arg == "--transparent") {
      options.transparent = true;
    } else if (arg == "--trash-type") {
      options.trash_type = ParseTrashType(next(arg));
    } else if (arg == "--out") {
      options.out_path = next(arg);
    } else if (arg.rfind("--", 0) == 0) {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) {throw UsageError("need a pose-estimate file and at least one cloud");}
  options.config_path = positional.front();
  options.cloud_paths.assign(positional.begin() + 1, positional.end());
  return options;
}

void EmitVector(YAML::Emitter & out, const char * key, const Eigen::Vector3f & v)
{
  out << YAML::Key << key << YAML::Value << YAML::Flow << YAML::BeginSeq << v.x() << v.y()
      << v.z() << YAML::EndSeq;
}

void EmitPose(YAML::Emitter & out, const char * key, const velmora::GrabPose & pose)
{
  out << YAML::Key << key << YAML::Value << YAML::BeginMap;
  EmitVector(out, "position", pose.position);
  const Eigen::Quaterniond & q = pose.orientation;
  out << YAML::Key << "orientation" << YAML::Value << YAML::Flow << YAML::BeginSeq << q.x()
      << q.y() << q.z() << q.w() << YAML::EndSeq;  // x, y, z, w
  out << YAML::EndMap;
}

void EmitResult(
  YAML::Emitter & out, const std::string & cloud_path, int status,
  const velmora::GrabPoseEstimator & estimator)
{
  out << YAML::BeginMap;
  out << YAML::Key << "cloud" << YAML::Value << cloud_path;
  out << YAML::Key << "status" << YAML::Value << status;
  EmitPose(out, "grab_pose", estimator.grab_pose_);
  EmitPose(out, "trash_pose", estimator.trash_pose_);
  EmitVector(out, "trash_dimensions", estimator.trash_dimensions_);
  out << YAML::Key << "main_axis_type" << YAML::Value << estimator.main_axis_type_;
  out << YAML::Key << "trash_lowest_z" << YAML::Value << estimator.trash_lowest_z_;
  out << YAML::Key << "trash_height" << YAML::Value << estimator.trash_height_;
  out << YAML::Key << "grab_distance" << YAML::Value << estimator.grab_distance_;
  out << YAML::Key << "grab_angle" << YAML::Value << estimator.grab_angle_;
  out << YAML::EndMap;
}

int Run(const Options & options)
{
  // Read every cloud first: a bad file must not leave half a result list behind.
  std::vector<velmora::GrabPoseEstimator::CloudPtr> clouds;
  // PCL's reader reports its own errors; one line of ours is enough.
  const auto verbosity = pcl::console::getVerbosityLevel();
  pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  for (const std::string & path : options.cloud_paths) {
    auto cloud = std::make_shared<velmora::GrabPoseEstimator::Cloud>();
    if (const std::string problem = CheckPlyCounts(path); !problem.empty()) {
      std::cerr << "error: " << problem << '\n';
      return 1;
    }
    if (const std::string problem = LoadPlyPoints(path, *cloud); !problem.empty()) {
      std::cerr << "error: " << problem << '\n';
      return 1;
    }
    clouds.push_back(cloud);
  }
  pcl::console::setVerbosityLevel(verbosity);

  velmora::GrabPoseEstimator estimator(options.config_path);
  estimator.trash_type_ = options.trash_type;

  YAML::Emitter out;
  out << YAML::BeginMap;
  out << YAML::Key << "config" << YAML::Value << options.config_path;
  out << YAML::Key << "transparent" << YAML::Value << options.transparent;
  out << YAML::Key << "results" << YAML::Value << YAML::BeginSeq;
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    const int status = options.transparent ? estimator.GetTransparentGrabPose(clouds[i]) :
      estimator.GetInitialGrabPose(clouds[i]);
    EmitResult(out, options.cloud_paths[i], status, estimator);
  }
  out << YAML::EndSeq << YAML::EndMap;

  if (options.out_path.empty()) {
    std::cout << "---\n" << out.c_str() << '\n';
    return 0;
  }
  std::ofstream file(options.out_path);
  file << out.c_str() << '\n';
  file.close();
  if (!file) {
    std::cerr << "error: cannot write results to '" << options.out_path << "'\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char ** argv)
{
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage << "\n" << kHelp;
      return 0;
    }
  }
  try {
    return Run(ParseArguments(argc, argv));
  } catch (const UsageError & error) {
    std::cerr << "error: " << error.what() << " (" << kUsage << ")\n";
  } catch (const std::exception & error) {
    std::cerr << "error: " << error.what() << '\n';
  }
  return 1;
}
