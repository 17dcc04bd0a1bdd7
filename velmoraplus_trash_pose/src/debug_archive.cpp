#include "velmoraplus_trash_pose/debug_archive.hpp"

#include <chrono>
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

}  // namespace velmora
