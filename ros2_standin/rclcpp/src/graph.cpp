#include "rclcpp/detail/graph.hpp"

#include <algorithm>

#include "rclcpp/context.hpp"

namespace rclcpp
{
namespace detail
{

Scope Scope::of(const std::shared_ptr<Context> & context)
{
  return Scope{context, context ? context->get_init_count() : 0};
}

bool Scope::alive() const
{
  return context && context->is_valid_in(init_count);
}

Graph & Graph::instance()
{
  static Graph graph;
  return graph;
}

bool Graph::compatible(const QoS & publisher, const QoS & subscription)
{
  // As in DDS, a subscription asking for transient local data cannot be
  // served by a volatile publisher. Reliability is not modelled.
  return !(subscription.durability() == DurabilityPolicy::TransientLocal &&
         publisher.durability() != DurabilityPolicy::TransientLocal);
}

std::shared_ptr<PublisherRecord> Graph::add_publisher(
  const std::string & topic, std::type_index type, const QoS & qos, const Scope & scope,
  const EndpointOwner & owner)
{
  auto record = std::make_shared<PublisherRecord>(PublisherRecord{topic, type, qos, scope, owner, {}});
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_.push_back(record);
  return record;
}

void Graph::remove_publisher(const PublisherRecord * record)
{
  std::lock_guard<std::mutex> lock(mutex_);
  publishers_.erase(
    std::remove_if(
      publishers_.begin(), publishers_.end(),
      [record](const auto & p) {return p.get() == record;}),
    publishers_.end());
}

std::shared_ptr<SubscriptionRecord> Graph::add_subscription(
  const std::string & topic, std::type_index type, const QoS & qos, const Scope & scope,
  const EndpointOwner & owner, const std::weak_ptr<SubscriptionEndpoint> & endpoint)
{
  auto record = std::make_shared<SubscriptionRecord>(
    SubscriptionRecord{topic, type, qos, scope, owner, endpoint});
  auto receiver = endpoint.lock();
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.push_back(record);
  if (receiver && qos.durability() == DurabilityPolicy::TransientLocal && scope.alive()) {
    for (const auto & publisher : publishers_) {
      if (publisher->topic == topic && publisher->type == type && compatible(publisher->qos, qos) &&
        publisher->scope.alive())
      {
        for (const auto & message : publisher->history) {
          receiver->deliver(message);
        }
      }
    }
  }
  return record;
}

void Graph::remove_subscription(const SubscriptionRecord * record)
{
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(
    std::remove_if(
      subscriptions_.begin(), subscriptions_.end(),
      [record](const auto & s) {return s.get() == record;}),
    subscriptions_.end());
}

void Graph::publish(PublisherRecord & publisher, const std::shared_ptr<const void> & message)
{
  // Declared before the lock: the last reference to a subscription may be
  // dropped here, and its destructor takes the lock.
  std::vector<std::shared_ptr<SubscriptionEndpoint>> receivers;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!publisher.scope.alive()) {
    return;  // like rclcpp, publishing on a shut-down context is silently dropped
  }
  if (publisher.qos.durability() == DurabilityPolicy::TransientLocal) {
    publisher.history.push_back(message);
    const size_t depth = publisher.qos.history() == HistoryPolicy::KeepAll ? 0 :
      std::max<size_t>(publisher.qos.depth(), 1);
    while (depth != 0 && publisher.history.size() > depth) {
      publisher.history.pop_front();
    }
  }
  for (const auto & subscription : subscriptions_) {
    if (subscription->topic == publisher.topic && subscription->type == publisher.type &&
      compatible(publisher.qos, subscription->qos) && subscription->scope.alive())
    {
      if (auto receiver = subscription->endpoint.lock()) {
        receivers.push_back(receiver);
      }
    }
  }
  // Delivered under the lock so that a subscription being added sees either
  // this message in the history or here, never both and never neither.
  for (const auto & receiver : receivers) {
    receiver->deliver(message);
  }
}

size_t Graph::count_publishers(const std::string & topic) const
{
  return publishers_of(topic).size();
}

size_t Graph::count_subscribers(const std::string & topic) const
{
  return subscriptions_of(topic).size();
}

std::vector<EndpointSnapshot> Graph::publishers_of(const std::string & topic) const
{
  std::vector<EndpointSnapshot> found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto & p : publishers_) {
    if (p->topic == topic && p->scope.alive()) {
      found.push_back({p->owner, p->qos, p.get()});
    }
  }
  return found;
}

std::vector<EndpointSnapshot> Graph::subscriptions_of(const std::string & topic) const
{
  std::vector<EndpointSnapshot> found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto & s : subscriptions_) {
    if (s->topic == topic && !s->endpoint.expired() && s->scope.alive()) {
      found.push_back({s->owner, s->qos, s.get()});
    }
  }
  return found;
}

std::shared_ptr<ServiceRecord> Graph::add_service(
  const std::string & name, std::type_index type, const Scope & scope,
  const std::weak_ptr<ServiceEndpoint> & endpoint)
{
  auto record = std::make_shared<ServiceRecord>(ServiceRecord{name, type, scope, endpoint});
  {
    std::lock_guard<std::mutex> lock(mutex_);
    services_.push_back(record);
  }
  changed_.notify_all();
  return record;
}

void Graph::remove_service(const ServiceRecord * record)
{
  std::lock_guard<std::mutex> lock(mutex_);
  services_.erase(
    std::remove_if(
      services_.begin(), services_.end(),
      [record](const auto & s) {return s.get() == record;}),
    services_.end());
}

std::shared_ptr<ServiceEndpoint> Graph::find_service(const std::string & name, std::type_index type) const
{
  std::shared_ptr<ServiceEndpoint> found;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto & service : services_) {
    if (service->name == name && service->type == type && service->scope.alive()) {
      found = service->endpoint.lock();
      if (found) {
        break;
      }
    }
  }
  return found;
}

bool Graph::wait_for_service(
  const std::string & name, std::type_index type, std::chrono::nanoseconds timeout,
  const std::shared_ptr<Context> & context)
{
  auto ready = [&] {
      for (const auto & service : services_) {
        if (service->name == name && service->type == type && !service->endpoint.expired() &&
          service->scope.alive())
        {
          return true;
        }
      }
      return false;
    };
  std::unique_lock<std::mutex> lock(mutex_);
  auto done = [&] {return ready() || (context && !context->is_valid());};
  if (timeout < std::chrono::nanoseconds(0)) {
    changed_.wait(lock, done);
  } else {
    changed_.wait_for(lock, timeout, done);
  }
  return ready() && (!context || context->is_valid());
}

void Graph::notify_all()
{
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

}  // namespace detail
}  // namespace rclcpp
