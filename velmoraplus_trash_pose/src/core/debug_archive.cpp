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

#include "velmoraplus_trash_pose/core/debug_archive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>

#include <opencv2/imgcodecs.hpp>
#include <pcl/conversions.h>
#include <pcl/io/ply_io.h>

namespace velmora
{

std::string MakeTimestamp()
{
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  const std::size_t n = std::strftime(text, sizeof(text), "%Y-%m-%d-%H-%M-%S", &local);
  return std::string(text, n);
}

std::string ObjectTag(std::size_t index)
{
  return "[" + std::to_string(index) + "]";
}

bool SaveImage(const std::string & path, const cv::Mat & image)
{
  if (image.empty()) {
    return false;
  }
  try {
    return cv::imwrite(path, image);
  } catch (const std::exception &) {
    return false;
  }
}

bool SaveCloudPly(const std::string & path, const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  try {
    pcl::PCLPointCloud2 blob;
    pcl::toPCLPointCloud2(cloud, blob);
    pcl::PLYWriter writer;
    return writer.writeASCII(
      path, blob, cloud.sensor_origin_, cloud.sensor_orientation_, 8, true) == 0;
  } catch (const std::exception &) {
    return false;
  }
}

ArchiveFile ClaimArchiveFile(
  const std::string & stem, const std::string & stamp, const std::string & tail)
{
  // More passes than this within one second of one stem do not happen.
  constexpr int kMaxNumber = 10000;
  for (int n = 1; n <= kMaxNumber; ++n) {
    const std::string used = n == 1 ? stamp : stamp + "_" + std::to_string(n);
    const std::string path = stem + used + tail;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return {path, used};
    }
    if (errno != EEXIST) {
      break;
    }
  }
  return {};
}

bool SaveArchiveImage(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const cv::Mat & image, std::string * used_stamp)
{
  // No file is claimed for a picture that was never drawn.
  if (image.empty()) {
    return false;
  }
  const ArchiveFile file = ClaimArchiveFile(stem, stamp, tail);
  if (file.path.empty()) {
    return false;
  }
  if (!SaveImage(file.path, image)) {
    std::remove(file.path.c_str());
    return false;
  }
  if (used_stamp != nullptr) {
    *used_stamp = file.stamp;
  }
  return true;
}

std::string ClaimPassStamp(const std::string & stem, const std::string & stamp)
{
  return ClaimArchiveFile(stem, stamp, kPassKeyTail).stamp;
}

std::string CreatePassFile(
  const std::string & stem, const std::string & stamp, const std::string & tail)
{
  if (stamp.empty()) {
    return {};
  }
  const std::string path = stem + stamp + tail;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return {};
  }
  ::close(fd);
  return path;
}

namespace
{

// Fills one file of a claimed pass with `write(path)`.
template<typename Write>
bool WritePassFile(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const Write & write)
{
  const bool key = tail == kPassKeyTail;
  const std::string path = key ?
    (stamp.empty() ? std::string() : stem + stamp + tail) :
    CreatePassFile(stem, stamp, tail);
  if (path.empty()) {
    return false;
  }
  if (write(path)) {
    return true;
  }
  if (!key) {
    std::remove(path.c_str());
  }
  return false;
}

}  // namespace

bool SavePassImage(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const cv::Mat & image)
{
  // No file is made for a picture that was never drawn.
  return !image.empty() && WritePassFile(
    stem, stamp, tail, [&image](const std::string & path) {return SaveImage(path, image);});
}

bool SavePassCloud(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const pcl::PointCloud<pcl::PointXYZ> & cloud)
{
  return WritePassFile(
    stem, stamp, tail, [&cloud](const std::string & path) {return SaveCloudPly(path, cloud);});
}

}  // namespace velmora
