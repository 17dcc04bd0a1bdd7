#ifndef VELMORAPLUS_TRASH_POSE__DEBUG_ARCHIVE_HPP_
#define VELMORAPLUS_TRASH_POSE__DEBUG_ARCHIVE_HPP_

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

// SaveImage / SaveCloudPly into a claimed archive file (removed again when
// the write fails). The stamp used is returned through `used_stamp`.
bool SaveArchiveImage(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const cv::Mat & image, std::string * used_stamp = nullptr);
bool SaveArchiveCloud(
  const std::string & stem, const std::string & stamp, const std::string & tail,
  const pcl::PointCloud<pcl::PointXYZ> & cloud);

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__DEBUG_ARCHIVE_HPP_
