#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros_test_support.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/static_transform_broadcaster.h"

using geometry_msgs::msg::TransformStamped;
using tf2_msgs::msg::TFMessage;

namespace
{
TransformStamped transform(const std::string & child, double x)
{
  TransformStamped t;
  t.header.frame_id = "arm_base";
  t.child_frame_id = child;
  t.transform.translation.x = x;
  return t;
}
}  // namespace

class TfStaticTest : public RosTest {};

TEST_F(TfStaticTest, LateSubscriberGetsEveryTransformAndAChildFrameIsReplaced)
{
  auto node = std::make_shared<rclcpp::Node>("cam");
  auto broadcaster = std::make_shared<tf2_ros::StaticTransformBroadcaster>(node);
  broadcaster->sendTransform(transform("cam_2_trash_pose_1", 1.0));
  broadcaster->sendTransform(transform("cam_2_trash_pose_2", 2.0));
  broadcaster->sendTransform(std::vector<TransformStamped>{transform("cam_2_trash_pose_1", 3.0)});

  auto listener = std::make_shared<rclcpp::Node>("listener");
  std::mutex mutex;
  std::vector<TFMessage> received;
  auto subscription = listener->create_subscription<TFMessage>(
    "/tf_static", rclcpp::QoS(1).transient_local(), [&](const TFMessage & m) {
      std::lock_guard<std::mutex> lock(mutex);
      received.push_back(m);
    });
  auto volatile_listener = listener->create_subscription<TFMessage>(
    "/tf_static", rclcpp::QoS(1), [&](const TFMessage &) {ADD_FAILURE() << "volatile got history";});
  rclcpp::spin_some(listener);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(1u, received.size());  // depth 1: only the latest full list
  const auto & transforms = received[0].transforms;
  ASSERT_EQ(2u, transforms.size());
  EXPECT_EQ("cam_2_trash_pose_1", transforms[0].child_frame_id);
  EXPECT_EQ(3.0, transforms[0].transform.translation.x);
  EXPECT_EQ("cam_2_trash_pose_2", transforms[1].child_frame_id);
  EXPECT_EQ(2.0, transforms[1].transform.translation.x);
  EXPECT_EQ(1.0, transforms[1].transform.rotation.w);
}

TEST_F(TfStaticTest, BroadcasterAcceptsRawAndReferenceNodes)
{
  auto node = std::make_shared<rclcpp::Node>("raw");
  tf2_ros::StaticTransformBroadcaster from_pointer(node.get());
  tf2_ros::StaticTransformBroadcaster from_reference(*node);
  EXPECT_EQ(2u, node->count_publishers("/tf_static"));
}
