#ifndef RCLCPP__CLIENT_HPP_
#define RCLCPP__CLIENT_HPP_

#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <utility>

#include "rclcpp/context.hpp"
#include "rclcpp/detail/executable.hpp"
#include "rclcpp/detail/graph.hpp"
#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/function_traits.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/service.hpp"

namespace rclcpp
{

namespace detail
{
template<typename FutureT>
struct FutureAndRequestId
{
  FutureT future;
  int64_t request_id;

  FutureAndRequestId(FutureT impl, int64_t req_id)
  : future(std::move(impl)), request_id(req_id) {}

  operator FutureT &() {return this->future;}

  auto get() {return this->future.get();}
  bool valid() const noexcept {return this->future.valid();}
  void wait() const {return this->future.wait();}
  template<class Rep, class Period>
  std::future_status wait_for(const std::chrono::duration<Rep, Period> & timeout_duration) const
  {
    return this->future.wait_for(timeout_duration);
  }
  template<class Clock, class Duration>
  std::future_status wait_until(const std::chrono::time_point<Clock, Duration> & timeout_time) const
  {
    return this->future.wait_until(timeout_time);
  }
};
}  // namespace detail

class ClientBase
{
public:
  virtual ~ClientBase() = default;
  virtual const char * get_service_name() const = 0;
  virtual bool service_is_ready() const = 0;
};

// Sends requests to the in-process service of the same name. Requests sent
// while no such service exists are lost, as with DDS before discovery: wait
// for the service first. The future completes on an executor thread that
// spins the client's node.
template<typename ServiceT>
class Client
  : public ClientBase,
  public detail::Executable,
  public std::enable_shared_from_this<Client<ServiceT>>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Client<ServiceT>)
  using SharedRequest = typename ServiceT::Request::SharedPtr;
  using SharedResponse = typename ServiceT::Response::SharedPtr;
  using Promise = std::promise<SharedResponse>;
  using SharedPromise = std::shared_ptr<Promise>;
  using Future = std::future<SharedResponse>;
  using SharedFuture = std::shared_future<SharedResponse>;
  using CallbackType = std::function<void (SharedFuture)>;

  struct FutureAndRequestId : detail::FutureAndRequestId<std::future<SharedResponse>>
  {
    using detail::FutureAndRequestId<std::future<SharedResponse>>::FutureAndRequestId;

    [[deprecated("use the future member or share()")]]
    operator SharedFuture() {return this->future.share();}
    SharedFuture share() noexcept {return this->future.share();}
  };

  struct SharedFutureAndRequestId : detail::FutureAndRequestId<std::shared_future<SharedResponse>>
  {
    using detail::FutureAndRequestId<std::shared_future<SharedResponse>>::FutureAndRequestId;
  };

  static SharedPtr create(const std::string & name, const Context::SharedPtr & context)
  {
    return std::shared_ptr<Client>(new Client(name, context));
  }

  const char * get_service_name() const override {return name_.c_str();}

  bool service_is_ready() const override
  {
    return detail::Graph::instance().find_service(name_, std::type_index(typeid(ServiceT))) != nullptr;
  }

  template<typename RepT = int64_t, typename RatioT = std::milli>
  bool wait_for_service(std::chrono::duration<RepT, RatioT> timeout = std::chrono::duration<RepT, RatioT>(-1))
  {
    return detail::Graph::instance().wait_for_service(
      name_, std::type_index(typeid(ServiceT)),
      std::chrono::duration_cast<std::chrono::nanoseconds>(timeout), context_);
  }

  FutureAndRequestId async_send_request(SharedRequest request)
  {
    auto promise = std::make_shared<Promise>();
    Future future = promise->get_future();
    int64_t id = send(*request, Pending{promise, nullptr, SharedFuture()});
    return FutureAndRequestId(std::move(future), id);
  }

  // As in rclcpp, the callback must take exactly the shared future (by value).
  template<
    typename CallbackT,
    typename std::enable_if<
      rclcpp::function_traits::same_arguments<CallbackT, CallbackType>::value
    >::type * = nullptr>
  SharedFutureAndRequestId async_send_request(SharedRequest request, CallbackT && cb)
  {
    auto promise = std::make_shared<Promise>();
    SharedFuture future = promise->get_future().share();
    int64_t id = send(*request, Pending{promise, CallbackType(std::forward<CallbackT>(cb)), future});
    return SharedFutureAndRequestId(std::move(future), id);
  }

  bool remove_pending_request(int64_t request_id)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.erase(request_id) != 0;
  }

  size_t prune_pending_requests()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = pending_.size();
    pending_.clear();
    return n;
  }

  // Called on the service's thread when it answered.
  void deliver_response(int64_t request_id, const SharedResponse & response)
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      responses_.emplace_back(request_id, response);
    }
    detail::WorkNotifier::instance().notify();
  }

  std::function<void()> take_work() override
  {
    std::pair<int64_t, SharedResponse> response;
    Pending pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      while (true) {
        if (responses_.empty()) {
          return {};
        }
        response = std::move(responses_.front());
        responses_.pop_front();
        auto it = pending_.find(response.first);
        if (it != pending_.end()) {  // else: the request was removed meanwhile
          pending = std::move(it->second);
          pending_.erase(it);
          break;
        }
      }
    }
    return [pending, response]() {
             pending.promise->set_value(response.second);
             if (pending.callback) {
               pending.callback(pending.shared_future);
             }
           };
  }

private:
  struct Pending
  {
    SharedPromise promise;
    CallbackType callback;
    SharedFuture shared_future;
  };

  Client(const std::string & name, const Context::SharedPtr & context)
  : name_(name), context_(context) {}

  int64_t send(const typename ServiceT::Request & request, Pending pending)
  {
    int64_t id;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id = ++sequence_number_;
      pending_.emplace(id, std::move(pending));
    }
    auto endpoint = detail::Graph::instance().find_service(name_, std::type_index(typeid(ServiceT)));
    if (endpoint) {
      std::weak_ptr<Client> weak_self = this->shared_from_this();
      static_cast<Service<ServiceT> &>(*endpoint).enqueue_request(
        request, id, [weak_self, id](const SharedResponse & response) {
          if (auto self = weak_self.lock()) {
            self->deliver_response(id, response);
          }
        });
    }
    return id;
  }

  const std::string name_;
  const Context::SharedPtr context_;
  std::mutex mutex_;
  int64_t sequence_number_ = 0;
  std::map<int64_t, Pending> pending_;
  std::deque<std::pair<int64_t, SharedResponse>> responses_;
};

}  // namespace rclcpp

#endif  // RCLCPP__CLIENT_HPP_
