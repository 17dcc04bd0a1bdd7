#ifndef RCLCPP__SUBSCRIPTION_HPP_
#define RCLCPP__SUBSCRIPTION_HPP_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeindex>
#include <utility>

#include "rclcpp/detail/callback_form.hpp"
#include "rclcpp/detail/executable.hpp"
#include "rclcpp/detail/graph.hpp"
#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/function_traits.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/qos.hpp"
#include "rosidl_runtime_cpp/traits.hpp"

namespace rclcpp
{

class SubscriptionBase
{
public:
  virtual ~SubscriptionBase() = default;
  virtual const char * get_topic_name() const = 0;
  virtual size_t get_publisher_count() const = 0;
};

// Receives a topic's messages into a keep-last queue (depth per its QoS);
// an executor thread later takes them one by one and calls the callback.
template<typename MessageT, typename AllocatorT = std::allocator<void>>
class Subscription
  : public SubscriptionBase,
  public detail::Executable,
  public detail::SubscriptionEndpoint,
  public std::enable_shared_from_this<Subscription<MessageT, AllocatorT>>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Subscription<MessageT, AllocatorT>)
  using ConstMessageSharedPtr = std::shared_ptr<const MessageT>;
  using Callback = std::function<void (const ConstMessageSharedPtr &)>;

  template<typename CallbackT>
  static SharedPtr create(
    const std::string & topic, const QoS & qos, CallbackT && callback, const detail::Scope & scope,
    const detail::EndpointOwner & owner)
  {
    auto subscription = std::shared_ptr<Subscription>(
      new Subscription(topic, qos, adapt(std::forward<CallbackT>(callback))));
    subscription->record_ = detail::Graph::instance().add_subscription(
      topic, std::type_index(typeid(MessageT)), qos, scope,
      owner.of_type(rosidl_generator_traits::name<MessageT>()), subscription);
    return subscription;
  }

  ~Subscription() override
  {
    detail::Graph::instance().remove_subscription(record_.get());
  }

  const char * get_topic_name() const override {return topic_.c_str();}
  size_t get_publisher_count() const override
  {
    return detail::Graph::instance().count_publishers(topic_);
  }
  const QoS & get_actual_qos() const {return qos_;}

  void deliver(const std::shared_ptr<const void> & message) override
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::static_pointer_cast<const MessageT>(message));
      if (qos_.history() != HistoryPolicy::KeepAll) {
        const size_t depth = qos_.depth() == 0 ? 1 : qos_.depth();
        while (queue_.size() > depth) {
          queue_.pop_front();  // keep last: the oldest message is dropped
        }
      }
    }
    detail::WorkNotifier::instance().notify();
  }

  std::function<void()> take_work() override
  {
    ConstMessageSharedPtr message;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) {
        return {};
      }
      message = std::move(queue_.front());
      queue_.pop_front();
    }
    auto self = this->shared_from_this();
    return [self, message]() {self->callback_(message);};
  }

private:
  Subscription(const std::string & topic, const QoS & qos, Callback callback)
  : topic_(topic), qos_(qos), callback_(std::move(callback)) {}

  // The forms humble takes a callback of a plain (not serialized) message in,
  // without MessageInfo (the stand-in has none); the last is deprecated there.
  template<typename CallbackT>
  using Form = detail::callback_form<
    typename function_traits::function_traits<CallbackT>::arguments,
    void(const MessageT &),
    void(std::unique_ptr<MessageT>),
    void(std::shared_ptr<const MessageT>),
    void(const std::shared_ptr<const MessageT> &),
    void(std::shared_ptr<MessageT>)>;

  template<typename CallbackT>
  static Callback adapt(CallbackT && callback)
  {
    using C = std::decay_t<CallbackT>;
    constexpr std::size_t form = Form<C>::index;
    static_assert(
      Form<C>::found,
      "subscription callback must take exactly one of const T &, std::unique_ptr<T>, "
      "std::shared_ptr<const T>, const std::shared_ptr<const T> & or std::shared_ptr<T>");
    C cb(std::forward<CallbackT>(callback));
    if constexpr (form == 0) {
      return [cb](const ConstMessageSharedPtr & msg) mutable {cb(*msg);};
    } else if constexpr (form == 1) {
      return [cb](const ConstMessageSharedPtr & msg) mutable {cb(std::make_unique<MessageT>(*msg));};
    } else if constexpr (form == 2 || form == 3) {
      return [cb](const ConstMessageSharedPtr & msg) mutable {cb(msg);};
    } else if constexpr (form == 4) {
      // its own copy: the callback may change it
      return [cb](const ConstMessageSharedPtr & msg) mutable {cb(std::make_shared<MessageT>(*msg));};
    } else {
      return {};
    }
  }

  const std::string topic_;
  const QoS qos_;
  Callback callback_;
  std::shared_ptr<detail::SubscriptionRecord> record_;
  std::mutex mutex_;
  std::deque<ConstMessageSharedPtr> queue_;
};

}  // namespace rclcpp

#endif  // RCLCPP__SUBSCRIPTION_HPP_
