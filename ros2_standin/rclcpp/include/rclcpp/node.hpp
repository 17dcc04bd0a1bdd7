#ifndef RCLCPP__NODE_HPP_
#define RCLCPP__NODE_HPP_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/client.hpp"
#include "rclcpp/clock.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/node_interfaces/node_graph_interface.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/publisher.hpp"
#include "rclcpp/publisher_options.hpp"
#include "rclcpp/qos.hpp"
#include "rclcpp/service.hpp"
#include "rclcpp/subscription.hpp"
#include "rclcpp/time.hpp"
#include "rmw/qos_profiles.h"

namespace rclcpp
{

class Node : public std::enable_shared_from_this<Node>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Node)

  explicit Node(const std::string & node_name, const NodeOptions & options = NodeOptions());
  Node(const std::string & node_name, const std::string & namespace_, const NodeOptions & options = NodeOptions());
  virtual ~Node() = default;
  Node(const Node &) = delete;
  Node & operator=(const Node &) = delete;

  const char * get_name() const {return node_base_->get_name();}
  const char * get_namespace() const {return node_base_->get_namespace();}
  const char * get_fully_qualified_name() const {return node_base_->get_fully_qualified_name();}
  rclcpp::Logger get_logger() const {return logger_;}
  const NodeOptions & get_node_options() const {return options_;}

  CallbackGroup::SharedPtr create_callback_group(
    CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true)
  {
    return node_base_->create_callback_group(group_type, automatically_add_to_executor_with_node);
  }

  template<typename MessageT, typename AllocatorT = std::allocator<void>,
    typename PublisherT = rclcpp::Publisher<MessageT, AllocatorT>>
  std::shared_ptr<PublisherT> create_publisher(
    const std::string & topic_name, const rclcpp::QoS & qos,
    const PublisherOptionsWithAllocator<AllocatorT> & options = PublisherOptionsWithAllocator<AllocatorT>())
  {
    (void)options;
    return std::make_shared<PublisherT>(
      node_base_->resolve_topic_or_service_name(topic_name, false), qos, scope(), owner());
  }

  template<typename MessageT, typename CallbackT, typename AllocatorT = std::allocator<void>,
    typename SubscriptionT = rclcpp::Subscription<MessageT, AllocatorT>>
  std::shared_ptr<SubscriptionT> create_subscription(
    const std::string & topic_name, const rclcpp::QoS & qos, CallbackT && callback,
    const SubscriptionOptionsWithAllocator<AllocatorT> & options =
    SubscriptionOptionsWithAllocator<AllocatorT>())
  {
    auto subscription = SubscriptionT::create(
      node_base_->resolve_topic_or_service_name(topic_name, false), qos,
      std::forward<CallbackT>(callback), scope(), owner());
    group_or_default(options.callback_group)->add_executable(subscription);
    return subscription;
  }

  template<typename ServiceT, typename CallbackT>
  typename rclcpp::Service<ServiceT>::SharedPtr create_service(
    const std::string & service_name, CallbackT && callback,
    const rmw_qos_profile_t & qos_profile = rmw_qos_profile_services_default,
    rclcpp::CallbackGroup::SharedPtr group = nullptr)
  {
    (void)qos_profile;
    auto service = rclcpp::Service<ServiceT>::create(
      node_base_->resolve_topic_or_service_name(service_name, true), std::forward<CallbackT>(callback),
      scope());
    group_or_default(group)->add_executable(service);
    return service;
  }

  template<typename ServiceT>
  typename rclcpp::Client<ServiceT>::SharedPtr create_client(
    const std::string & service_name,
    const rmw_qos_profile_t & qos_profile = rmw_qos_profile_services_default,
    rclcpp::CallbackGroup::SharedPtr group = nullptr)
  {
    (void)qos_profile;
    auto client = rclcpp::Client<ServiceT>::create(
      node_base_->resolve_topic_or_service_name(service_name, true), node_base_->get_context());
    group_or_default(group)->add_executable(client);
    return client;
  }

  size_t count_publishers(const std::string & topic_name) const;
  size_t count_subscribers(const std::string & topic_name) const;
  // The endpoints of a topic (relative and private names resolved as for a
  // publisher of this node), each with its node, type, GID and QoS.
  std::vector<rclcpp::TopicEndpointInfo>
  get_publishers_info_by_topic(const std::string & topic_name, bool no_mangle = false) const;
  std::vector<rclcpp::TopicEndpointInfo>
  get_subscriptions_info_by_topic(const std::string & topic_name, bool no_mangle = false) const;

  rclcpp::Clock::SharedPtr get_clock() {return clock_;}
  rclcpp::Clock::ConstSharedPtr get_clock() const {return clock_;}
  rclcpp::Time now() const {return clock_->now();}

  node_interfaces::NodeBaseInterface::SharedPtr get_node_base_interface() {return node_base_;}

private:
  detail::Scope scope() const {return detail::Scope::of(node_base_->get_context());}
  detail::EndpointOwner owner() const {return {get_name(), get_namespace(), ""};}
  // The name a graph query looks up: as given when no_mangle, else resolved.
  std::string graph_topic(const std::string & topic_name, bool no_mangle) const;
  static std::vector<TopicEndpointInfo> endpoint_infos(
    const std::vector<detail::EndpointSnapshot> & endpoints, EndpointType type);
  CallbackGroup::SharedPtr group_or_default(const CallbackGroup::SharedPtr & group);

  const NodeOptions options_;
  const node_interfaces::NodeBaseInterface::SharedPtr node_base_;
  const rclcpp::Logger logger_;
  const rclcpp::Clock::SharedPtr clock_;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_HPP_
