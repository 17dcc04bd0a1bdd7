#include "rclcpp/context.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>

#include "rclcpp/detail/arguments.hpp"
#include "rclcpp/detail/graph.hpp"
#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logging.hpp"

namespace rclcpp
{

void Context::init(int argc, char const * const * argv, const InitOptions & init_options)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (valid_) {
    throw ContextAlreadyInitialized();
  }
  // As humble: a bad command line leaves the context uninitialised.
  detail::ParsedArguments arguments;
  try {
    arguments = detail::parse_arguments(argc, argv);
  } catch (const exceptions::RCLInvalidROSArgsError &) {
    // rcl_init says so on the console before rclcpp throws.
    RCLCPP_ERROR(get_logger("rcl"), "Failed to parse global arguments");
    throw;
  }
  if (!arguments.unknown_ros_arguments.empty()) {
    throw exceptions::UnknownROSArgsError(std::move(arguments.unknown_ros_arguments));
  }
  if (arguments.default_log_level) {
    detail::set_default_log_level(*arguments.default_log_level);
  }
  valid_ = true;
  ++init_count_;
  shutdown_reason_.clear();
  init_options_ = init_options;
}

bool Context::is_valid() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

uint64_t Context::get_init_count() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return init_count_;
}

bool Context::is_valid_in(uint64_t init_count) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return valid_ && init_count_ == init_count;
}

const InitOptions & Context::get_init_options() const
{
  return init_options_;
}

std::string Context::shutdown_reason() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_reason_;
}

bool Context::shutdown(const std::string & reason)
{
  std::vector<std::shared_ptr<OnShutdownCallback>> callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) {
      return false;
    }
    valid_ = false;
    shutdown_reason_ = reason;
    callbacks = on_shutdown_callbacks_;
  }
  // Callbacks run outside the lock: they may query the context.
  for (const auto & callback : callbacks) {
    (*callback)();
  }
  interrupt_all_sleep_for();
  detail::WorkNotifier::instance().notify();
  detail::Graph::instance().notify_all();
  return true;
}

Context::OnShutdownCallback Context::on_shutdown(OnShutdownCallback callback)
{
  add_on_shutdown_callback(callback);
  return callback;
}

Context::OnShutdownCallbackHandle Context::add_on_shutdown_callback(OnShutdownCallback callback)
{
  auto shared = std::make_shared<OnShutdownCallback>(std::move(callback));
  std::lock_guard<std::mutex> lock(mutex_);
  on_shutdown_callbacks_.push_back(shared);
  OnShutdownCallbackHandle handle;
  handle.callback = shared;
  return handle;
}

bool Context::remove_on_shutdown_callback(const OnShutdownCallbackHandle & callback_handle)
{
  auto target = callback_handle.callback.lock();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = on_shutdown_callbacks_.begin(); it != on_shutdown_callbacks_.end(); ++it) {
    if (*it == target) {
      on_shutdown_callbacks_.erase(it);
      return true;
    }
  }
  return false;
}

bool Context::sleep_for(const std::chrono::nanoseconds & nanoseconds)
{
  // As rclcpp's: only a shutdown during the sleep (or destruction) ends it
  // early; interrupt_all_sleep_for() alone resumes it, and a sleep that starts
  // on a context already shut down lasts its full time. True when the context
  // is still valid at the end.
  const auto deadline = std::chrono::steady_clock::now() + nanoseconds;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool started_valid = valid_;
  sleep_cv_.wait_until(lock, deadline, [this, started_valid] {return started_valid && !valid_;});
  return valid_;
}

void Context::interrupt_all_sleep_for()
{
  std::lock_guard<std::mutex> lock(mutex_);
  sleep_cv_.notify_all();
}

namespace contexts
{
Context::SharedPtr get_global_default_context()
{
  static Context::SharedPtr default_context = std::make_shared<Context>();
  return default_context;
}
}  // namespace contexts

namespace
{

// The handler may only use async-signal-safe calls, so it writes the signal
// number into a pipe; a watcher thread reads it and shuts the context down.
// These two are the only state the handler can reach, hence file-scope.
std::atomic<int> g_signal_pipe_write_fd{-1};
struct sigaction g_old_actions[2];  // SIGINT, SIGTERM; written before the handler is installed

int old_action_index(int signal_number)
{
  return signal_number == SIGINT ? 0 : 1;
}

void signal_handler(int signal_number, siginfo_t * info, void * ucontext)
{
  const int saved_errno = errno;
  const int fd = g_signal_pipe_write_fd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    ssize_t written = write(fd, &byte, 1);
    (void)written;
  }
  // Chain to a handler installed before ours, as rclcpp does.
  const struct sigaction & old = g_old_actions[old_action_index(signal_number)];
  if (old.sa_flags & SA_SIGINFO) {
    if (old.sa_sigaction != nullptr) {
      old.sa_sigaction(signal_number, info, ucontext);
    }
  } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN && old.sa_handler != nullptr) {
    old.sa_handler(signal_number);
  }
  errno = saved_errno;
}

class SignalHandlerInstaller
{
public:
  static SignalHandlerInstaller & instance()
  {
    static SignalHandlerInstaller installer;
    return installer;
  }

  ~SignalHandlerInstaller() {uninstall();}

  bool install(SignalHandlerOptions options)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (installed_ || options == SignalHandlerOptions::None) {
      return false;
    }
    join_watcher();
    if (pipe2(fds_, O_CLOEXEC) != 0) {
      return false;
    }
    g_signal_pipe_write_fd.store(fds_[1]);
    watcher_ = std::thread([fd = fds_[0]] {watch(fd);});
    int_ = options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigInt;
    term_ = options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigTerm;
    if (int_) {
      set_handler(SIGINT);
    }
    if (term_) {
      set_handler(SIGTERM);
    }
    installed_ = true;
    return true;
  }

  bool uninstall()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!installed_) {
      return false;
    }
    if (int_) {
      sigaction(SIGINT, &g_old_actions[0], nullptr);
    }
    if (term_) {
      sigaction(SIGTERM, &g_old_actions[1], nullptr);
    }
    g_signal_pipe_write_fd.store(-1);
    const unsigned char quit = 0;
    ssize_t written = write(fds_[1], &quit, 1);
    (void)written;
    join_watcher();
    installed_ = false;
    return true;
  }

  bool installed()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_;
  }

private:
  SignalHandlerInstaller() = default;

  static void set_handler(int signal_number)
  {
    struct sigaction action {};
    action.sa_sigaction = signal_handler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, &g_old_actions[old_action_index(signal_number)]);
  }

  static void watch(int fd)
  {
    while (true) {
      unsigned char byte = 0;
      ssize_t n = read(fd, &byte, 1);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0 || byte == 0) {
        return;
      }
      RCLCPP_INFO(get_logger("rclcpp"), "signal_handler(signum=%d)", static_cast<int>(byte));
      contexts::get_global_default_context()->shutdown("signal handler");
    }
  }

  void join_watcher()
  {
    if (watcher_.joinable()) {
      if (watcher_.get_id() == std::this_thread::get_id()) {
        watcher_.detach();  // rclcpp::shutdown() called from an on-shutdown callback of a signal
      } else {
        watcher_.join();
      }
      close(fds_[0]);
      close(fds_[1]);
      fds_[0] = fds_[1] = -1;
    }
  }

  std::mutex mutex_;
  bool installed_ = false;
  bool int_ = false;
  bool term_ = false;
  int fds_[2] = {-1, -1};
  std::thread watcher_;
};

}  // namespace

void init(
  int argc, char const * const * argv, const InitOptions & init_options,
  SignalHandlerOptions signal_handler_options)
{
  contexts::get_global_default_context()->init(argc, argv, init_options);
  install_signal_handlers(signal_handler_options);
}

bool ok(Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->is_valid();
}

bool shutdown(Context::SharedPtr context, const std::string & reason)
{
  auto default_context = contexts::get_global_default_context();
  if (!context) {
    context = default_context;
  }
  bool ret = context->shutdown(reason);
  if (context == default_context) {
    uninstall_signal_handlers();
  }
  return ret;
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  context->on_shutdown(std::move(callback));
}

bool sleep_for(const std::chrono::nanoseconds & nanoseconds, Context::SharedPtr context)
{
  if (!context) {
    context = contexts::get_global_default_context();
  }
  return context->sleep_for(nanoseconds);
}

bool install_signal_handlers(SignalHandlerOptions signal_handler_options)
{
  return SignalHandlerInstaller::instance().install(signal_handler_options);
}

bool signal_handlers_installed()
{
  return SignalHandlerInstaller::instance().installed();
}

bool uninstall_signal_handlers()
{
  return SignalHandlerInstaller::instance().uninstall();
}

namespace detail
{

WorkNotifier & WorkNotifier::instance()
{
  static WorkNotifier notifier;
  return notifier;
}

uint64_t WorkNotifier::generation() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

void WorkNotifier::notify()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  cv_.notify_all();
}

void WorkNotifier::wait(
  uint64_t seen, std::chrono::nanoseconds timeout, const std::function<bool()> & stop)
{
  std::unique_lock<std::mutex> lock(mutex_);
  auto done = [&] {return generation_ != seen || stop();};
  if (timeout < std::chrono::nanoseconds(0)) {
    cv_.wait(lock, done);
  } else {
    cv_.wait_for(lock, timeout, done);
  }
}

}  // namespace detail
}  // namespace rclcpp
