#ifndef MESSAGE_FILTERS__SIMPLE_FILTER_H_
#define MESSAGE_FILTERS__SIMPLE_FILTER_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message_filters/connection.h"

namespace message_filters
{

// A filter that passes on messages of type M to the callbacks registered with it.
template<class M>
class SimpleFilter
{
public:
  using MConstPtr = std::shared_ptr<M const>;
  using Callback = std::function<void (const MConstPtr &)>;

  SimpleFilter()
  : signal_(std::make_shared<Signal>()) {}
  virtual ~SimpleFilter() = default;
  SimpleFilter(const SimpleFilter &) = delete;
  SimpleFilter & operator=(const SimpleFilter &) = delete;

  template<typename C>
  Connection registerCallback(const C & callback)
  {
    std::weak_ptr<Signal> weak = signal_;
    const size_t id = signal_->add(Callback(callback));
    return Connection([weak, id] {
               if (auto signal = weak.lock()) {
                 signal->remove(id);
               }
             });
  }

  const std::string & getName() const {return name_;}
  void setName(const std::string & name) {name_ = name;}

protected:
  void signalMessage(const MConstPtr & message)
  {
    for (const auto & callback : signal_->callbacks()) {
      callback(message);
    }
  }

private:
  class Signal
  {
  public:
    size_t add(Callback callback)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      callbacks_.emplace(++last_id_, std::move(callback));
      return last_id_;
    }
    void remove(size_t id)
    {
      std::lock_guard<std::mutex> lock(mutex_);
      callbacks_.erase(id);
    }
    std::vector<Callback> callbacks()
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<Callback> result;
      for (const auto & entry : callbacks_) {
        result.push_back(entry.second);
      }
      return result;
    }

  private:
    std::mutex mutex_;
    size_t last_id_ = 0;
    std::map<size_t, Callback> callbacks_;
  };

  std::shared_ptr<Signal> signal_;
  std::string name_;
};

}  // namespace message_filters

#endif  // MESSAGE_FILTERS__SIMPLE_FILTER_H_
