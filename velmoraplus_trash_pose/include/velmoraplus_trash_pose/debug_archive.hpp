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

}  // namespace velmora

#endif  // VELMORAPLUS_TRASH_POSE__DEBUG_ARCHIVE_HPP_
