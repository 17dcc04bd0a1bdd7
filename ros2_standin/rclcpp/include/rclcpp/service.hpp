#ifndef RCLCPP__SERVICE_HPP_
#define RCLCPP__SERVICE_HPP_

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

  // humble's forms; the last two defer the response (Service::send_response),
  // which the stand-in does not have: listed so that a callback both they and
  // another form could take is ambiguous here as there.
  template<typename CallbackT>
  using Form = detail::callback_form<
    typename function_traits::function_traits<CallbackT>::arguments,
    void(SharedRequest, SharedResponse),
    void(std::shared_ptr<rmw_request_id_t>, SharedRequest, SharedResponse),
    void(std::shared_ptr<rmw_request_id_t>, SharedRequest),
    void(std::shared_ptr<Service>, std::shared_ptr<rmw_request_id_t>, SharedRequest)>;

  template<typename CallbackT>
  static Callback adapt(CallbackT && callback)
  {
    using C = std::decay_t<CallbackT>;
    constexpr std::size_t form = Form<C>::index;
    static_assert(
      Form<C>::found,
      "service callback must take (request, response) or (request header, request, response) "
      "as shared pointers");
    static_assert(
      !Form<C>::found || form < 2, "deferred service responses are not supported by the stand-in");
    C cb(std::forward<CallbackT>(callback));
    if constexpr (form == 0) {
      return [cb](const std::shared_ptr<rmw_request_id_t> &, const SharedRequest & request,
               const SharedResponse & response) mutable {cb(request, response);};
    } else if constexpr (form == 1) {
      return [cb](const std::shared_ptr<rmw_request_id_t> & header, const SharedRequest & request,
               const SharedResponse & response) mutable {cb(header, request, response);};
    } else {
      return {};
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
