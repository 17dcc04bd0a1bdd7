#ifndef MESSAGE_FILTERS__SYNCHRONIZER_H_
#define MESSAGE_FILTERS__SYNCHRONIZER_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "message_filters/connection.h"
#include "message_filters/null_types.h"

namespace message_filters
{

// Joins two inputs with the matching rule of Policy and calls the registered
// callbacks with each matched pair, inside the input callback that completed it.
template<class Policy>
class Synchronizer : public Policy
{
public:
  using M0 = typename Policy::M0;
  using M1 = typename Policy::M1;
  using M0ConstPtr = std::shared_ptr<M0 const>;
  using M1ConstPtr = std::shared_ptr<M1 const>;
  using Callback = std::function<void (const M0ConstPtr &, const M1ConstPtr &)>;

  template<class F0, class F1>
  Synchronizer(F0 & f0, F1 & f1)
  {
    connectInput(f0, f1);
  }

  template<class F0, class F1>
  Synchronizer(const Policy & policy, F0 & f0, F1 & f1)
  : Policy(policy)
  {
    connectInput(f0, f1);
  }

  explicit Synchronizer(const Policy & policy = Policy())
  : Policy(policy) {}

  ~Synchronizer() {disconnectAll();}
  Synchronizer(const Synchronizer &) = delete;
  Synchronizer & operator=(const Synchronizer &) = delete;

  template<class F0, class F1>
  void connectInput(F0 & f0, F1 & f1)
  {
    disconnectAll();
    input_connections_.push_back(
      f0.registerCallback([this](const M0ConstPtr & m) {this->template add<0>(m);}));
    input_connections_.push_back(
      f1.registerCallback([this](const M1ConstPtr & m) {this->template add<1>(m);}));
  }

  // humble's overload set: a function pointer or a member function with its
  // object taking the two messages, or any callable that accepts humble's nine
  // arguments (the two messages and seven unused NullType inputs) -- a bind
  // expression does, a plain two-argument lambda does not.
  template<class C>
  Connection registerCallback(C & callback)
  {
    return addCallback(callback);
  }

  template<class C>
  Connection registerCallback(const C & callback)
  {
    return addCallback(callback);
  }

  template<class C, typename T>
  Connection registerCallback(const C & callback, T * t)
  {
    return addCallback(callback, t);
  }

  template<class C, typename T>
  Connection registerCallback(C & callback, T * t)
  {
    return addCallback(callback, t);
  }

  void setName(const std::string & name) {name_ = name;}
  const std::string & getName() const {return name_;}

  template<int i, class MConstPtr>
  void add(const MConstPtr & message)
  {
    std::lock_guard<std::mutex> lock(data_mutex_);
    Policy::template add<i>(message, [this](const M0ConstPtr & m0, const M1ConstPtr & m1) {signal(m0, m1);});
  }

private:
  template<typename P0, typename P1>
  Connection addCallback(void (*callback)(P0, P1))
  {
    return addEntry(Callback(std::bind(callback, std::placeholders::_1, std::placeholders::_2)));
  }

  template<typename T, typename P0, typename P1>
  Connection addCallback(void (T::* callback)(P0, P1), T * t)
  {
    return addEntry(Callback(std::bind(callback, t, std::placeholders::_1, std::placeholders::_2)));
  }

  template<typename C>
  Connection addCallback(C & callback)
  {
    return addEntry(
      Callback(
        [callback](const M0ConstPtr & m0, const M1ConstPtr & m1) {
          const NullTypeConstPtr none;
          callback(m0, m1, none, none, none, none, none, none, none);
        }));
  }

  Connection addEntry(Callback callback)
  {
    std::lock_guard<std::mutex> lock(callbacks_mutex_);
    const size_t id = ++last_callback_id_;
    callbacks_.emplace(id, std::move(callback));
    return Connection([this, id] {
               std::lock_guard<std::mutex> lock(callbacks_mutex_);
               callbacks_.erase(id);
             });
  }

  void signal(const M0ConstPtr & m0, const M1ConstPtr & m1)
  {
    std::vector<Callback> callbacks;
    {
      std::lock_guard<std::mutex> lock(callbacks_mutex_);
      for (const auto & entry : callbacks_) {
        callbacks.push_back(entry.second);
      }
    }
    for (const auto & callback : callbacks) {
      callback(m0, m1);
    }
  }

  void disconnectAll()
  {
    for (auto & connection : input_connections_) {
      connection.disconnect();
    }
    input_connections_.clear();
  }

  std::string name_;
  std::mutex data_mutex_;
  std::mutex callbacks_mutex_;
  size_t last_callback_id_ = 0;
  std::map<size_t, Callback> callbacks_;
  std::vector<Connection> input_connections_;
};

}  // namespace message_filters

#endif  // MESSAGE_FILTERS__SYNCHRONIZER_H_
