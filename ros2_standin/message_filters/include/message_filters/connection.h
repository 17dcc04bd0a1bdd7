#ifndef MESSAGE_FILTERS__CONNECTION_H_
#define MESSAGE_FILTERS__CONNECTION_H_

#include <functional>

namespace message_filters
{

// Handle of one registered callback; disconnect() removes it.
class Connection
{
public:
  using DisconnectFunction = std::function<void ()>;

  Connection() = default;
  explicit Connection(const DisconnectFunction & func)
  : disconnect_(func) {}

  void disconnect()
  {
    if (disconnect_) {
      disconnect_();
      disconnect_ = nullptr;
    }
  }

private:
  DisconnectFunction disconnect_;
};

}  // namespace message_filters

#endif  // MESSAGE_FILTERS__CONNECTION_H_
