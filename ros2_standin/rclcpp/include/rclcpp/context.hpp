#ifndef RCLCPP__CONTEXT_HPP_
#define RCLCPP__CONTEXT_HPP_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{

class InitOptions
{
public:
  InitOptions() = default;
  bool auto_initialize_logging() const {return initialize_logging_;}
  InitOptions & auto_initialize_logging(bool initialize_logging)
  {
    initialize_logging_ = initialize_logging;
    return *this;
  }
  InitOptions & set_domain_id(size_t domain_id)
  {
    domain_id_ = domain_id;
    return *this;
  }
  size_t get_domain_id() const {return domain_id_;}

private:
  bool initialize_logging_ = true;
  size_t domain_id_ = 0;
};

enum class SignalHandlerOptions
{
  All,
  SigInt,
  SigTerm,
  None,
};

// The in-process "ROS world": valid between init and shutdown. Shutdown only
// signals; it wakes every executor and wait of this process.
class Context : public std::enable_shared_from_this<Context>
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Context)

  using OnShutdownCallback = std::function<void ()>;

  class OnShutdownCallbackHandle
  {
    friend class Context;

  public:
    using OnShutdownCallbackType = std::function<void ()>;

  private:
    std::weak_ptr<OnShutdownCallbackType> callback;
  };

  Context() = default;
  virtual ~Context() = default;
  Context(const Context &) = delete;
  Context & operator=(const Context &) = delete;

  virtual void init(int argc, char const * const * argv, const InitOptions & init_options = InitOptions());
  bool is_valid() const;
  // Counts init() calls: entities made in one init/shutdown cycle are dead in later ones.
  uint64_t get_init_count() const;
  bool is_valid_in(uint64_t init_count) const;
  const InitOptions & get_init_options() const;
  std::string shutdown_reason() const;
  virtual bool shutdown(const std::string & reason);

  virtual OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  virtual OnShutdownCallbackHandle add_on_shutdown_callback(OnShutdownCallback callback);
  virtual bool remove_on_shutdown_callback(const OnShutdownCallbackHandle & callback_handle);

  // Sleeps for the duration or until a shutdown during it; true when the
  // context is still valid afterwards. A sleep begun after shutdown lasts its
  // full time, as rclcpp's does.
  bool sleep_for(const std::chrono::nanoseconds & nanoseconds);
  void interrupt_all_sleep_for();

private:
  mutable std::mutex mutex_;
  std::condition_variable sleep_cv_;
  bool valid_ = false;
  uint64_t init_count_ = 0;
  std::string shutdown_reason_;
  InitOptions init_options_;
  std::vector<std::shared_ptr<OnShutdownCallback>> on_shutdown_callbacks_;
};

namespace contexts
{
Context::SharedPtr get_global_default_context();
}  // namespace contexts

void init(
  int argc, char const * const * argv, const InitOptions & init_options = InitOptions(),
  SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);

bool ok(Context::SharedPtr context = nullptr);

bool shutdown(
  Context::SharedPtr context = nullptr,
  const std::string & reason = "user called rclcpp::shutdown()");

void on_shutdown(std::function<void ()> callback, Context::SharedPtr context = nullptr);

bool sleep_for(const std::chrono::nanoseconds & nanoseconds, Context::SharedPtr context = nullptr);

bool install_signal_handlers(SignalHandlerOptions signal_handler_options = SignalHandlerOptions::All);
bool signal_handlers_installed();
bool uninstall_signal_handlers();

}  // namespace rclcpp

#endif  // RCLCPP__CONTEXT_HPP_
