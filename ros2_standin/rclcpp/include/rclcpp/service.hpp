#ifndef RCLCPP__SERVICE_HPP_
#define RCLCPP__SERVICE_HPP_

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeindex>
#include <utility>

#include "rclcpp/detail/executable.hpp"
#include "rclcpp/detail/graph.hpp"
#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/function_traits.hpp"
#include "rclcpp/macros.hpp"
#include "rmw/types.h"

namespace rclcpp
{

class ServiceBase
{
public:
  virtual ~ServiceBase() = default;
  virtual const char * get_service_name() const = 0;
};

// Serves requests one per executor call, in arrival order; the response goes
// back to the client, whose node must be spun for its future to complete.
template<typename ServiceT>
class Service
  : public ServiceBase,
  public detail::Executable,
  public detail::ServiceEndpoint,
  public std::enable_shared_from_this<Service<ServiceT>>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Service<ServiceT>)
  using SharedRequest = std::shared_ptr<typename ServiceT::Request>;
  using SharedResponse = std::shared_ptr<typename ServiceT::Response>;
  using Callback = std::function<void (
        const std::shared_ptr<rmw_request_id_t> &, const SharedRequest &, const SharedResponse &)>;
  using ReplyFunction = std::function<void (const SharedResponse &)>;

  template<typename CallbackT>
  static SharedPtr create(const std::string & name, CallbackT && callback, const detail::Scope & scope)
  {
    auto service = std::shared_ptr<Service>(new Service(name, adapt(std::forward<CallbackT>(callback))));
    service->record_ = detail::Graph::instance().add_service(
      name, std::type_index(typeid(ServiceT)), scope, service);
    return service;
  }

  ~Service() override {detail::Graph::instance().remove_service(record_.get());}

  const char * get_service_name() const override {return name_.c_str();}

  // Called by a client: queues the request (a copy, as if it had crossed the wire).
  void enqueue_request(
    const typename ServiceT::Request & request, int64_t sequence_number, ReplyFunction reply)
  {
    auto header = std::make_shared<rmw_request_id_t>();
    header->sequence_number = sequence_number;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(
        Pending{header, std::make_shared<typename ServiceT::Request>(request), std::move(reply)});
    }
    detail::WorkNotifier::instance().notify();
  }

  std::function<void()> take_work() override
  {
    Pending pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (pending_.empty()) {
        return {};
      }
      pending = std::move(pending_.front());
      pending_.pop_front();
    }
    auto self = this->shared_from_this();
    return [self, pending]() {
             auto response = std::make_shared<typename ServiceT::Response>();
             self->callback_(pending.header, pending.request, response);
             pending.reply(response);
           };
  }

private:
  struct Pending
  {
    std::shared_ptr<rmw_request_id_t> header;
    SharedRequest request;
    ReplyFunction reply;
  };

  Service(const std::string & name, Callback callback)
  : name_(name), callback_(std::move(callback)) {}

  template<typename CallbackT>
  static Callback adapt(CallbackT && callback)
  {
    using C = std::decay_t<CallbackT>;
    // rclcpp deduces the callback's form from its signature: one it cannot
    // deduce (a generic or mutable lambda) does not compile, here as there.
    using Arguments = typename function_traits::function_traits<C>::arguments;
    static_assert(std::tuple_size<Arguments>::value > 0, "a callback takes arguments");
    C cb(std::forward<CallbackT>(callback));
    if constexpr (std::is_invocable_v<C &, const SharedRequest &, const SharedResponse &>) {
      return [cb](const std::shared_ptr<rmw_request_id_t> &, const SharedRequest & request,
               const SharedResponse & response) mutable {cb(request, response);};
    } else {
      static_assert(
        std::is_invocable_v<C &, const std::shared_ptr<rmw_request_id_t> &, const SharedRequest &,
        const SharedResponse &>,
        "service callback must take (request, response) or (request header, request, response) "
        "as shared pointers");
      return [cb](const std::shared_ptr<rmw_request_id_t> & header, const SharedRequest & request,
               const SharedResponse & response) mutable {cb(header, request, response);};
    }
  }

  const std::string name_;
  Callback callback_;
  std::shared_ptr<detail::ServiceRecord> record_;
  std::mutex mutex_;
  std::deque<Pending> pending_;
};

}  // namespace rclcpp

#endif  // RCLCPP__SERVICE_HPP_
