#ifndef RCLCPP__PUBLISHER_HPP_
#define RCLCPP__PUBLISHER_HPP_

#include <memory>
#include <string>
#include <typeindex>
#include <utility>

#include "rclcpp/detail/graph.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rclcpp
{

class PublisherBase
{
public:
  PublisherBase(
    const std::string & topic, std::type_index type, const QoS & qos, const detail::Scope & scope,
    const detail::EndpointOwner & owner)
  : record_(detail::Graph::instance().add_publisher(topic, type, qos, scope, owner)) {}
  virtual ~PublisherBase() {detail::Graph::instance().remove_publisher(record_.get());}
  PublisherBase(const PublisherBase &) = delete;
  PublisherBase & operator=(const PublisherBase &) = delete;

  const char * get_topic_name() const {return record_->topic.c_str();}
  size_t get_subscription_count() const
  {
    return detail::Graph::instance().count_subscribers(record_->topic);
  }
  rclcpp::QoS get_actual_qos() const {return record_->qos;}

protected:
  void publish_erased(const std::shared_ptr<const void> & message)
  {
    detail::Graph::instance().publish(*record_, message);
  }

private:
  std::shared_ptr<detail::PublisherRecord> record_;
};

// Each publish hands every matching subscription the message (one immutable
// copy shared between them); their callbacks run later on executor threads.
template<typename MessageT, typename AllocatorT = std::allocator<void>>
class Publisher : public PublisherBase
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Publisher<MessageT, AllocatorT>)
  using ROSMessageType = MessageT;

  Publisher(
    const std::string & topic, const QoS & qos, const detail::Scope & scope,
    const detail::EndpointOwner & owner)
  : PublisherBase(
      topic, std::type_index(typeid(MessageT)), qos, scope,
      owner.of_type(rosidl_generator_traits::name<MessageT>())) {}

  void publish(const MessageT & msg)
  {
    publish_erased(std::make_shared<const MessageT>(msg));
  }

  template<typename Deleter>
  void publish(std::unique_ptr<MessageT, Deleter> msg)
  {
    publish_erased(std::shared_ptr<const MessageT>(std::make_shared<MessageT>(std::move(*msg))));
  }
};

}  // namespace rclcpp

#endif  // RCLCPP__PUBLISHER_HPP_
