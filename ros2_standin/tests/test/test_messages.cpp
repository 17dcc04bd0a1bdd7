#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "builtin_interfaces/msg/duration.hpp"
#include "geometry_msgs/msg/pose.hpp"
#include "ros2_standin_tests/srv/add_two_ints.hpp"
#include "sensor_msgs/msg/image.hpp"
#include "sensor_msgs/msg/point_field.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "visualization_msgs/msg/marker_array.hpp"

// The generated structs carry rosidl's names, types, defaults and constants.
TEST(GeneratedMessages, TypesDefaultsConstantsAndComparison)
{
  static_assert(std::is_same_v<decltype(sensor_msgs::msg::Image::data), std::vector<uint8_t>>);
  static_assert(std::is_same_v<decltype(sensor_msgs::msg::Image::encoding), std::string>);
  static_assert(std::is_same_v<decltype(geometry_msgs::msg::Pose::position.x), double>);
  static_assert(std::is_same_v<decltype(visualization_msgs::msg::MarkerArray::markers),
    std::vector<visualization_msgs::msg::Marker>>);
  static_assert(std::is_same_v<decltype(tf2_msgs::msg::TFMessage::transforms),
    std::vector<geometry_msgs::msg::TransformStamped>>);
  static_assert(std::is_same_v<sensor_msgs::msg::Image::ConstSharedPtr,
    std::shared_ptr<const sensor_msgs::msg::Image>>);
  static_assert(std::is_same_v<ros2_standin_tests::srv::AddTwoInts::Request::SharedPtr,
    std::shared_ptr<ros2_standin_tests::srv::AddTwoInts_Request>>);
  static_assert(visualization_msgs::msg::Marker::CUBE == 1 && visualization_msgs::msg::Marker::ARROW == 0);
  static_assert(visualization_msgs::msg::Marker::DELETEALL == 3 && visualization_msgs::msg::Marker::MODIFY == 0);
  static_assert(sensor_msgs::msg::PointField::FLOAT32 == 7 && sensor_msgs::msg::PointField::FLOAT64 == 8);

  geometry_msgs::msg::Pose pose;
  EXPECT_EQ(0.0, pose.position.z);
  EXPECT_EQ(0.0, pose.orientation.x);
  EXPECT_EQ(1.0, pose.orientation.w);  // the identity rotation
  visualization_msgs::msg::Marker marker;
  EXPECT_EQ(0, marker.id);
  EXPECT_FALSE(marker.frame_locked);
  EXPECT_EQ(0.0f, marker.color.a);

  auto other = pose;
  EXPECT_EQ(pose, other);
  other.orientation.w = 0.5;
  EXPECT_NE(pose, other);
  ros2_standin_tests::srv::AddTwoInts::Response response;
  EXPECT_EQ(0, response.sum);
}
