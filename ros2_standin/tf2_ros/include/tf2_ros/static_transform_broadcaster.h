#ifndef TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_
#define TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_

#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "geometry_msgs/msg/transform_stamped.hpp"
#include "rclcpp/rclcpp.hpp"
#include "tf2_msgs/msg/tf_message.hpp"
#include "tf2_ros/qos.hpp"

namespace tf2_ros
{

// Publishes every transform it was given (one per child frame, the newest
// replacing an older one) as one TFMessage on "/tf_static", transient local,
// so that late subscribers get the whole set.
class StaticTransformBroadcaster
{
public:
  template<class NodeT, class AllocatorT = std::allocator<void>>
  StaticTransformBroadcaster(
    NodeT && node, const rclcpp::QoS & qos = StaticBroadcasterQoS(),
    const rclcpp::PublisherOptionsWithAllocator<AllocatorT> & options =
    rclcpp::PublisherOptionsWithAllocator<AllocatorT>())
  {
    publisher_ = node_reference(node).template create_publisher<tf2_msgs::msg::TFMessage>(
      "/tf_static", qos, options);
  }

  void sendTransform(const geometry_msgs::msg::TransformStamped & transform)
  {
    sendTransform(std::vector<geometry_msgs::msg::TransformStamped>{transform});
  }

  void sendTransform(const std::vector<geometry_msgs::msg::TransformStamped> & transforms)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto & input : transforms) {
      bool replaced = false;
      for (auto & existing : net_message_.transforms) {
        if (existing.child_frame_id == input.child_frame_id) {
          existing = input;
          replaced = true;
          break;
        }
      }
      if (!replaced) {
        net_message_.transforms.push_back(input);
      }
    }
    publisher_->publish(net_message_);
  }

private:
  template<class NodeT>
  static rclcpp::Node & node_reference(NodeT & node)
  {
    using N = std::remove_cv_t<std::remove_reference_t<NodeT>>;
    if constexpr (std::is_pointer_v<N>) {
      return *node;
    } else if constexpr (std::is_base_of_v<rclcpp::Node, N>) {
      return node;
    } else {
      return *node;  // a shared pointer to a node
    }
  }

  std::mutex mutex_;
  std::shared_ptr<rclcpp::Publisher<tf2_msgs::msg::TFMessage>> publisher_;
  tf2_msgs::msg::TFMessage net_message_;
};

}  // namespace tf2_ros

#endif  // TF2_ROS__STATIC_TRANSFORM_BROADCASTER_H_
