#ifndef MESSAGE_FILTERS__SUBSCRIBER_H_
#define MESSAGE_FILTERS__SUBSCRIBER_H_

#include <memory>
#include <string>

#include "message_filters/simple_filter.h"
#include "rclcpp/rclcpp.hpp"

namespace message_filters
{

// An rclcpp subscription as the source of a filter chain. Its callbacks run in
// the node's default callback group.
template<class M, class NodeType = rclcpp::Node>
class Subscriber : public SimpleFilter<M>
{
public:
  using NodePtr = std::shared_ptr<NodeType>;

  Subscriber() = default;
  Subscriber(NodePtr node, const std::string & topic, const rmw_qos_profile_t qos = rmw_qos_profile_default)
  {
    subscribe(node, topic, qos);
  }
  Subscriber(NodeType * node, const std::string & topic, const rmw_qos_profile_t qos = rmw_qos_profile_default)
  {
    subscribe(node, topic, qos);
  }
  ~Subscriber() override {unsubscribe();}

  void subscribe(NodePtr node, const std::string & topic, const rmw_qos_profile_t qos = rmw_qos_profile_default)
  {
    subscribe(node.get(), topic, qos);
    node_raw_ = nullptr;
    node_shared_ = node;
  }

  // An empty topic subscribes to nothing.
  void subscribe(NodeType * node, const std::string & topic, const rmw_qos_profile_t qos = rmw_qos_profile_default)
  {
    unsubscribe();
    if (topic.empty()) {
      return;
    }
    topic_ = topic;
    qos_ = qos;
    node_raw_ = node;
    rclcpp::QoS rclcpp_qos(rclcpp::QoSInitialization::from_rmw(qos), qos);
    sub_ = node->template create_subscription<M>(
      topic, rclcpp_qos, [this](std::shared_ptr<M const> msg) {this->signalMessage(msg);});
  }

  void subscribe()
  {
    if (!topic_.empty()) {
      if (node_raw_ != nullptr) {
        subscribe(node_raw_, topic_, qos_);
      } else if (node_shared_ != nullptr) {
        subscribe(node_shared_, topic_, qos_);
      }
    }
  }

  void unsubscribe() {sub_.reset();}

  std::string getTopic() const {return topic_;}
  const std::shared_ptr<rclcpp::Subscription<M>> getSubscriber() const {return sub_;}

  template<typename F>
  void connectInput(F &) {}
  void add(const std::shared_ptr<M const> & message) {this->signalMessage(message);}

private:
  std::shared_ptr<rclcpp::Subscription<M>> sub_;
  NodePtr node_shared_;
  NodeType * node_raw_ = nullptr;
  std::string topic_;
  rmw_qos_profile_t qos_ = rmw_qos_profile_default;
};

}  // namespace message_filters

#endif  // MESSAGE_FILTERS__SUBSCRIBER_H_
