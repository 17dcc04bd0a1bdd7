#ifndef PCL_CONVERSIONS__PCL_CONVERSIONS_H_
#define PCL_CONVERSIONS__PCL_CONVERSIONS_H_

#include <cstdint>
#include <utility>

#include <pcl/PCLHeader.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/PCLPointField.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>

#include "rclcpp/time.hpp"
#include "sensor_msgs/msg/point_cloud2.hpp"
#include "sensor_msgs/msg/point_field.hpp"
#include "std_msgs/msg/header.hpp"

namespace pcl_conversions
{

// PCL stamps are microseconds, ROS stamps seconds + nanoseconds.
inline void fromPCL(const std::uint64_t & pcl_stamp, builtin_interfaces::msg::Time & stamp)
{
  stamp = rclcpp::Time(static_cast<int64_t>(pcl_stamp) * 1000);
}

inline void toPCL(const builtin_interfaces::msg::Time & stamp, std::uint64_t & pcl_stamp)
{
  pcl_stamp = static_cast<std::uint64_t>(rclcpp::Time(stamp).nanoseconds()) / 1000ull;
}

inline void fromPCL(const pcl::PCLHeader & pcl_header, std_msgs::msg::Header & header)
{
  fromPCL(pcl_header.stamp, header.stamp);
  header.frame_id = pcl_header.frame_id;
}

inline void toPCL(const std_msgs::msg::Header & header, pcl::PCLHeader & pcl_header)
{
  toPCL(header.stamp, pcl_header.stamp);
  pcl_header.seq = 0;
  pcl_header.frame_id = header.frame_id;
}

inline void fromPCL(const pcl::PCLPointField & pcl_pf, sensor_msgs::msg::PointField & pf)
{
  pf.name = pcl_pf.name;
  pf.offset = pcl_pf.offset;
  pf.datatype = pcl_pf.datatype;
  pf.count = pcl_pf.count;
}

inline void toPCL(const sensor_msgs::msg::PointField & pf, pcl::PCLPointField & pcl_pf)
{
  pcl_pf.name = pf.name;
  pcl_pf.offset = pf.offset;
  pcl_pf.datatype = pf.datatype;
  pcl_pf.count = pf.count;
}

inline void copyPCLPointCloud2MetaData(
  const pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & pc2)
{
  fromPCL(pcl_pc2.header, pc2.header);
  pc2.height = pcl_pc2.height;
  pc2.width = pcl_pc2.width;
  pc2.fields.clear();
  for (const auto & pcl_field : pcl_pc2.fields) {
    sensor_msgs::msg::PointField field;
    fromPCL(pcl_field, field);
    pc2.fields.push_back(field);
  }
  pc2.is_bigendian = pcl_pc2.is_bigendian;
  pc2.point_step = pcl_pc2.point_step;
  pc2.row_step = pcl_pc2.row_step;
  pc2.is_dense = pcl_pc2.is_dense;
}

inline void moveFromPCL(pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & pc2)
{
  copyPCLPointCloud2MetaData(pcl_pc2, pc2);
  pc2.data.swap(pcl_pc2.data);
}

inline void fromPCL(const pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & pc2)
{
  copyPCLPointCloud2MetaData(pcl_pc2, pc2);
  pc2.data = pcl_pc2.data;
}

inline void toPCL(const sensor_msgs::msg::PointCloud2 & pc2, pcl::PCLPointCloud2 & pcl_pc2)
{
  toPCL(pc2.header, pcl_pc2.header);
  pcl_pc2.height = pc2.height;
  pcl_pc2.width = pc2.width;
  pcl_pc2.fields.clear();
  for (const auto & field : pc2.fields) {
    pcl::PCLPointField pcl_field;
    toPCL(field, pcl_field);
    pcl_pc2.fields.push_back(pcl_field);
  }
  pcl_pc2.is_bigendian = pc2.is_bigendian;
  pcl_pc2.point_step = pc2.point_step;
  pcl_pc2.row_step = pc2.row_step;
  pcl_pc2.is_dense = pc2.is_dense;
  pcl_pc2.data = pc2.data;
}

}  // namespace pcl_conversions

namespace pcl
{

// Layout exactly as PCL's own serialisation (e.g. PointXYZ: x, y, z FLOAT32 at 0, 4, 8; point_step 16).
template<typename T>
void toROSMsg(const pcl::PointCloud<T> & pcl_cloud, sensor_msgs::msg::PointCloud2 & cloud)
{
  pcl::PCLPointCloud2 pcl_pc2;
  pcl::toPCLPointCloud2(pcl_cloud, pcl_pc2);
  pcl_conversions::moveFromPCL(pcl_pc2, cloud);
}

template<typename T>
void fromROSMsg(const sensor_msgs::msg::PointCloud2 & cloud, pcl::PointCloud<T> & pcl_cloud)
{
  pcl::PCLPointCloud2 pcl_pc2;
  pcl_conversions::toPCL(cloud, pcl_pc2);
  pcl::fromPCLPointCloud2(pcl_pc2, pcl_cloud);
}

inline void toROSMsg(const pcl::PCLPointCloud2 & pcl_pc2, sensor_msgs::msg::PointCloud2 & cloud)
{
  pcl_conversions::fromPCL(pcl_pc2, cloud);
}

}  // namespace pcl

#endif  // PCL_CONVERSIONS__PCL_CONVERSIONS_H_
