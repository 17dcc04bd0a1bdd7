#include <gtest/gtest.h>

#include <cstring>

#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "pcl_conversions/pcl_conversions.h"
#include "sensor_msgs/msg/point_cloud2.hpp"

TEST(PclConversions, PointXyzLayoutMatchesPclAndRoundTrips)
{
  pcl::PointCloud<pcl::PointXYZ> cloud;
  cloud.push_back(pcl::PointXYZ(1.0f, 2.0f, 3.0f));
  cloud.push_back(pcl::PointXYZ(-4.0f, 5.5f, 6.25f));
  cloud.is_dense = true;
  cloud.header.frame_id = "arm_base";
  cloud.header.stamp = 1500000123ull;  // microseconds

  sensor_msgs::msg::PointCloud2 msg;
  pcl::toROSMsg(cloud, msg);
  EXPECT_EQ("arm_base", msg.header.frame_id);
  EXPECT_EQ(1500, msg.header.stamp.sec);
  EXPECT_EQ(123000u, msg.header.stamp.nanosec);
  EXPECT_EQ(1u, msg.height);
  EXPECT_EQ(2u, msg.width);
  ASSERT_EQ(3u, msg.fields.size());
  const char * names[] = {"x", "y", "z"};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(names[i], msg.fields[i].name);
    EXPECT_EQ(4 * i, msg.fields[i].offset);
    EXPECT_EQ(sensor_msgs::msg::PointField::FLOAT32, msg.fields[i].datatype);
    EXPECT_EQ(1u, msg.fields[i].count);
  }
  EXPECT_FALSE(msg.is_bigendian);
  EXPECT_EQ(16u, msg.point_step);
  EXPECT_EQ(32u, msg.row_step);
  ASSERT_EQ(32u, msg.data.size());
  EXPECT_TRUE(msg.is_dense);
  float y1 = 0;
  std::memcpy(&y1, &msg.data[16 + 4], sizeof(float));
  EXPECT_EQ(5.5f, y1);

  pcl::PointCloud<pcl::PointXYZ> back;
  pcl::fromROSMsg(msg, back);
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ(6.25f, back[1].z);
  EXPECT_EQ("arm_base", back.header.frame_id);

  pcl::PointCloud<pcl::PointXYZ> empty;
  pcl::toROSMsg(empty, msg);
  EXPECT_EQ(0u, msg.width);
  EXPECT_TRUE(msg.data.empty());
}
