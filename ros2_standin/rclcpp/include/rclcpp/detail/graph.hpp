#ifndef RCLCPP__DETAIL__GRAPH_HPP_
#define RCLCPP__DETAIL__GRAPH_HPP_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "rclcpp/qos.hpp"

namespace rclcpp
{
class Context;

namespace detail
{

// The context and init cycle an entity was made in. As with rcl, an entity
// of a shut-down context neither sends nor receives, even after a new init:
// leftovers of an earlier scenario in the same process stay out of the way.
struct Scope
{
  std::shared_ptr<Context> context;
  uint64_t init_count = 0;

  static Scope of(const std::shared_ptr<Context> & context);
  bool alive() const;
};

// The receiving end of a topic, fed by Graph::publish.
class SubscriptionEndpoint
{
public:
  virtual ~SubscriptionEndpoint() = default;
  virtual void deliver(const std::shared_ptr<const void> & message) = 0;
};

// Who made an endpoint and of which type, as the graph queries report it.
struct EndpointOwner
{
  std::string node_name;
  std::string node_namespace;
  std::string type_name;  // e.g. "sensor_msgs/msg/Image"

  EndpointOwner of_type(const char * name) const
  {
    EndpointOwner typed = *this;
    typed.type_name = name;
    return typed;
  }
};

// Registration of one publisher; keeps its history for late transient-local subscribers.
struct PublisherRecord
{
  std::string topic;
  std::type_index type;
  QoS qos;
  Scope scope;
  EndpointOwner owner;
  std::deque<std::shared_ptr<const void>> history;
};

struct SubscriptionRecord
{
  std::string topic;
  std::type_index type;
  QoS qos;
  Scope scope;
  EndpointOwner owner;
  std::weak_ptr<SubscriptionEndpoint> endpoint;
};

// One live endpoint of a topic, for the graph queries.
struct EndpointSnapshot
{
  EndpointOwner owner;
  QoS qos;
  const void * identity;  // distinct per endpoint: the source of its GID
};

// The receiving end of a service, fed by clients.
class ServiceEndpoint
{
public:
  virtual ~ServiceEndpoint() = default;
};

struct ServiceRecord
{
  std::string name;
  std::type_index type;
  Scope scope;
  std::weak_ptr<ServiceEndpoint> endpoint;
};

// The in-process "middleware": who publishes, subscribes and serves what.
// Publishers and subscriptions match by resolved topic name, message type and
// compatible durability.
class Graph
{
public:
  static Graph & instance();

  std::shared_ptr<PublisherRecord> add_publisher(
    const std::string & topic, std::type_index type, const QoS & qos, const Scope & scope,
    const EndpointOwner & owner);
  void remove_publisher(const PublisherRecord * record);
  // Registers the subscription and hands it the history of matching
  // transient-local publishers, atomically with respect to publish().
  std::shared_ptr<SubscriptionRecord> add_subscription(
    const std::string & topic, std::type_index type, const QoS & qos, const Scope & scope,
    const EndpointOwner & owner, const std::weak_ptr<SubscriptionEndpoint> & endpoint);
  void remove_subscription(const SubscriptionRecord * record);
  void publish(PublisherRecord & publisher, const std::shared_ptr<const void> & message);

  size_t count_publishers(const std::string & topic) const;
  size_t count_subscribers(const std::string & topic) const;
  std::vector<EndpointSnapshot> publishers_of(const std::string & topic) const;
  std::vector<EndpointSnapshot> subscriptions_of(const std::string & topic) const;

  std::shared_ptr<ServiceRecord> add_service(
    const std::string & name, std::type_index type, const Scope & scope,
    const std::weak_ptr<ServiceEndpoint> & endpoint);
  void remove_service(const ServiceRecord * record);
  std::shared_ptr<ServiceEndpoint> find_service(const std::string & name, std::type_index type) const;
  // Waits (negative timeout: forever) until a server of that name and type
  // exists; false on timeout or when the context is shut down.
  bool wait_for_service(
    const std::string & name, std::type_index type, std::chrono::nanoseconds timeout,
    const std::shared_ptr<Context> & context);
  // Wakes wait_for_service, e.g. at shutdown.
  void notify_all();

private:
  Graph() = default;
  static bool compatible(const QoS & publisher, const QoS & subscription);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<PublisherRecord>> publishers_;
  std::vector<std::shared_ptr<SubscriptionRecord>> subscriptions_;
  std::vector<std::shared_ptr<ServiceRecord>> services_;
};

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__GRAPH_HPP_
