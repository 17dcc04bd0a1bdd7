#ifndef RCLCPP__EXECUTOR_HPP_
#define RCLCPP__EXECUTOR_HPP_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/future_return_code.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"

namespace rclcpp
{

// Runs the callbacks of the nodes added to it. A callback of a mutually
// exclusive group never runs while another one of the same group runs.
class Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(Executor)

  explicit Executor(const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  virtual ~Executor();
  Executor(const Executor &) = delete;
  Executor & operator=(const Executor &) = delete;

  virtual void spin() = 0;

  virtual void add_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);
  virtual void remove_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify = true);
  virtual void remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);

  // A group created with automatically_add_to_executor_with_node = false runs
  // only in the executor it is added to explicitly.
  virtual void add_callback_group(
    CallbackGroup::SharedPtr group_ptr, node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
    bool notify = true);
  virtual void remove_callback_group(CallbackGroup::SharedPtr group_ptr, bool notify = true);

  // Runs what is ready now, without waiting (max_duration 0: no limit).
  virtual void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  // Runs at most one callback, waiting up to timeout (negative: forever) for one.
  virtual void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  template<typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
  FutureReturnCode spin_until_future_complete(
    const FutureT & future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1))
  {
    const auto timeout_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    const auto end = std::chrono::steady_clock::now() + timeout_ns;
    if (future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      return FutureReturnCode::SUCCESS;
    }
    SpinGuard guard(*this);
    while (rclcpp::ok(context_) && spinning_.load()) {
      // Short slices: the future may be completed by a thread this executor does not see.
      std::chrono::nanoseconds slice = std::chrono::milliseconds(10);
      if (timeout_ns >= std::chrono::nanoseconds(0)) {
        slice = std::min(slice, std::max(std::chrono::nanoseconds(0), end - std::chrono::steady_clock::now()));
      }
      spin_once_impl(slice);
      if (future.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        return FutureReturnCode::SUCCESS;
      }
      if (timeout_ns >= std::chrono::nanoseconds(0) && std::chrono::steady_clock::now() >= end) {
        return FutureReturnCode::TIMEOUT;
      }
    }
    return FutureReturnCode::INTERRUPTED;
  }

  // Makes spin() return (in every thread of this executor) soon.
  void cancel();
  bool is_spinning() const {return spinning_.load();}

protected:
  // One callback taken from a group; the group stays taken until it ran.
  struct AnyExecutable
  {
    std::function<void()> work;
    CallbackGroup::SharedPtr callback_group;
  };

  // Marks the executor spinning for its lifetime; throws when it already is.
  class SpinGuard
  {
  public:
    explicit SpinGuard(Executor & executor);
    ~SpinGuard();
    SpinGuard(const SpinGuard &) = delete;
    SpinGuard & operator=(const SpinGuard &) = delete;

  private:
    Executor & executor_;
  };

  bool get_next_ready_executable(AnyExecutable & any_executable);
  // Waits up to timeout (negative: forever) for work, shutdown or cancel.
  bool get_next_executable(AnyExecutable & any_executable, std::chrono::nanoseconds timeout);
  void execute_any_executable(AnyExecutable & any_executable);
  void spin_once_impl(std::chrono::nanoseconds timeout);
  bool should_keep_spinning() const;

  const rclcpp::Context::SharedPtr context_;
  std::atomic_bool spinning_{false};

private:
  std::mutex mutex_;
  std::vector<node_interfaces::NodeBaseInterface::WeakPtr> nodes_;
  std::vector<CallbackGroup::WeakPtr> manual_groups_;
  size_t next_start_ = 0;
};

namespace executors
{

class SingleThreadedExecutor : public rclcpp::Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(SingleThreadedExecutor)
  explicit SingleThreadedExecutor(const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions());
  void spin() override;
};

class MultiThreadedExecutor : public rclcpp::Executor
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(MultiThreadedExecutor)
  // number_of_threads 0: one per hardware thread. The thread calling spin() is one of them.
  explicit MultiThreadedExecutor(
    const rclcpp::ExecutorOptions & options = rclcpp::ExecutorOptions(),
    size_t number_of_threads = 0, bool yield_before_execute = false,
    std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));
  void spin() override;
  size_t get_number_of_threads() const {return number_of_threads_;}

private:
  void run();

  size_t number_of_threads_;
  bool yield_before_execute_;
  std::chrono::nanoseconds next_exec_timeout_;
};

}  // namespace executors

void spin(rclcpp::Node::SharedPtr node_ptr);
void spin_some(rclcpp::Node::SharedPtr node_ptr);

template<typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
FutureReturnCode spin_until_future_complete(
  rclcpp::Node::SharedPtr node_ptr, const FutureT & future,
  std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1))
{
  executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  auto code = executor.spin_until_future_complete(future, timeout);
  executor.remove_node(node_ptr);
  return code;
}

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTOR_HPP_
