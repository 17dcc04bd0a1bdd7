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

#ifndef VELMORAPLUS_TRASH_POSE__CORE__DEBUG_ARCHIVE_HPP_
#define VELMORAPLUS_TRASH_POSE__CORE__DEBUG_ARCHIVE_HPP_

#include <cstddef>
#include <string>

#include <opencv2/core/mat.hpp>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

namespace velmora
{

// Local time of the system clock, "%Y-%m-%d-%H-%M-%S".
std::string MakeTimestamp();

// "[<index>]" as used in archive names of one object of a pass.
std::string ObjectTag(std::size_t index);

// cv::imwrite with default parameters; false (never an exception) when the
// image is empty or cannot be written.
bool SaveImage(const std::string & path, const cv::Mat & image);

// ASCII PLY with the cloud's sensor origin and orientation, precision 8 and
// the camera element, as pcl::io::savePLYFileASCII writes it. False on failure.
bool SaveCloudPly(const std::string & path, const pcl::PointCloud<pcl::PointXYZ> & cloud);

// A file of the debug archive that no other file has had: `path` is
// `stem + stamp + tail` when that name is free, else
// `stem + stamp + "_" + n + tail` for the smallest free n from 2; `stamp` is
// the part between stem and tail that was used. The file is created empty and
// exclusively, so writers sharing a stem (passes within one second, cameras
// with the same trash code, other processes) never get the same name.
struct ArchiveFile
{
  std::string path;   // empty when no file could be created
  std::string stamp;
};
ArchiveFile ClaimArchiveFile(
  const std::string & stem, const std::string & stamp, const std::string & tail);

// SaveImage into a claimed archive file (removed again when the write fails):
// a file on its own, such as the image of a missed detection. The stamp used
// is returned through `used_stamp`.
bool SaveArchiveImage(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const cv::Mat & image, std::string * used_stamp = nullptr);

// The file that claims the stamp of a debug pass.
inline constexpr const char * kPassKeyTail = "[initial].jpg";

// The stamp every file of one debug pass carries: `stamp`, or `stamp_2`,
// `stamp_3`, ... when taken, claimed once by creating the pass's
// "[initial].jpg" exclusively (ClaimArchiveFile). That file stays even when
// its picture cannot be written, so the stamp stays the pass's. Empty when
// nothing can be created there.
std::string ClaimPassStamp(const std::string & stem, const std::string & stamp);

// `stem + stamp + tail` created empty and exclusively for a file of a pass
// whose stamp was claimed; empty when the stamp is empty or the name exists
// (a file someone else wrote is never overwritten).
std::string CreatePassFile(
  const std::string & stem, const std::string & stamp, const std::string & tail);

// SaveImage / SaveCloudPly as a file of a claimed pass: the pass's own
// "[initial].jpg" is filled in, any other name made with CreatePassFile. A
// failed write removes the file it made.
bool SavePassImage(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const cv::Mat & image);
bool SavePassCloud(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const pcl::PointCloud<pcl::PointXYZ> & cloud);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__CORE__DEBUG_ARCHIVE_HPP_
