#ifndef TF2_ROS__QOS_HPP_
#define TF2_ROS__QOS_HPP_

#include "rclcpp/qos.hpp"

namespace tf2_ros
{

class StaticBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit StaticBroadcasterQoS(const rclcpp::QoSInitialization & qos_initialization = rclcpp::KeepLast(1))
  : rclcpp::QoS(qos_initialization)
  {
    transient_local();
  }
};

class DynamicBroadcasterQoS : public rclcpp::QoS
{
public:
  explicit DynamicBroadcasterQoS(const rclcpp::QoSInitialization & qos_initialization = rclcpp::KeepLast(100))
  : rclcpp::QoS(qos_initialization) {}
};

}  // namespace tf2_ros

#endif  // TF2_ROS__QOS_HPP_
