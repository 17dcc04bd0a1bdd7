#ifndef RCLCPP__NODE_INTERFACES__NODE_GRAPH_INTERFACE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_GRAPH_INTERFACE_HPP_

#include <array>
#include <cstdint>
#include <string>

#include "rclcpp/qos.hpp"
#include "rmw/types.h"

namespace rclcpp
{

class Node;

enum class EndpointType
{
  Invalid = RMW_ENDPOINT_INVALID,
  Publisher = RMW_ENDPOINT_PUBLISHER,
  Subscription = RMW_ENDPOINT_SUBSCRIPTION
};

// What the graph knows of one publisher or subscription of a topic: the node
// that made it, the message type, its kind, a GID and the QoS it was made with.
// Only the graph queries of Node make these.
class TopicEndpointInfo
{
public:
  std::string & node_name() {return node_name_;}
  const std::string & node_name() const {return node_name_;}
  std::string & node_namespace() {return node_namespace_;}
  const std::string & node_namespace() const {return node_namespace_;}
  std::string & topic_type() {return topic_type_;}
  const std::string & topic_type() const {return topic_type_;}
  rclcpp::EndpointType & endpoint_type() {return endpoint_type_;}
  const rclcpp::EndpointType & endpoint_type() const {return endpoint_type_;}
  std::array<uint8_t, RMW_GID_STORAGE_SIZE> & endpoint_gid() {return endpoint_gid_;}
  const std::array<uint8_t, RMW_GID_STORAGE_SIZE> & endpoint_gid() const {return endpoint_gid_;}
  rclcpp::QoS & qos_profile() {return qos_profile_;}
  const rclcpp::QoS & qos_profile() const {return qos_profile_;}

private:
  friend class Node;
  TopicEndpointInfo(
    std::string node_name, std::string node_namespace, std::string topic_type,
    EndpointType endpoint_type, const std::array<uint8_t, RMW_GID_STORAGE_SIZE> & gid,
    const rclcpp::QoS & qos)
  : node_name_(std::move(node_name)), node_namespace_(std::move(node_namespace)),
    topic_type_(std::move(topic_type)), endpoint_type_(endpoint_type), endpoint_gid_(gid),
    qos_profile_(qos) {}

  std::string node_name_;
  std::string node_namespace_;
  std::string topic_type_;
  rclcpp::EndpointType endpoint_type_;
  std::array<uint8_t, RMW_GID_STORAGE_SIZE> endpoint_gid_;
  rclcpp::QoS qos_profile_;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_GRAPH_INTERFACE_HPP_
