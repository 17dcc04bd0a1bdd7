#include "rclcpp/executor.hpp"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "rclcpp/detail/work_notifier.hpp"

namespace rclcpp
{

Executor::Executor(const rclcpp::ExecutorOptions & options)
: context_(options.context ? options.context : contexts::get_global_default_context()) {}

Executor::~Executor()
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto & weak : nodes_) {
    if (auto node = weak.lock()) {
      node->get_associated_with_executor_atomic().store(false);
    }
  }
  for (const auto & weak : manual_groups_) {
    if (auto group = weak.lock()) {
      group->get_associated_with_executor_atomic().store(false);
    }
  }
}

void Executor::add_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  if (node_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error(
            std::string("Node '") + node_ptr->get_fully_qualified_name() +
            "' has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.push_back(node_ptr);
  }
  if (notify) {
    detail::WorkNotifier::instance().notify();
  }
}

void Executor::add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  add_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::remove_node(node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
      if (it->lock() == node_ptr) {
        nodes_.erase(it);
        found = true;
        break;
      }
    }
  }
  if (!found) {
    throw std::runtime_error(
            std::string("Node '") + node_ptr->get_fully_qualified_name() +
            "' needs to be associated with this executor.");
  }
  node_ptr->get_associated_with_executor_atomic().store(false);
  if (notify) {
    detail::WorkNotifier::instance().notify();
  }
}

void Executor::remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify)
{
  remove_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::add_callback_group(
  CallbackGroup::SharedPtr group_ptr, node_interfaces::NodeBaseInterface::SharedPtr node_ptr, bool notify)
{
  if (!node_ptr->callback_group_in_node(group_ptr)) {
    throw std::runtime_error(
            std::string("Callback group is not in node '") + node_ptr->get_fully_qualified_name() + "'.");
  }
  if (group_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error("Callback group has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manual_groups_.push_back(group_ptr);
  }
  if (notify) {
    detail::WorkNotifier::instance().notify();
  }
}

void Executor::remove_callback_group(CallbackGroup::SharedPtr group_ptr, bool notify)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(
      manual_groups_.begin(), manual_groups_.end(),
      [&group_ptr](const CallbackGroup::WeakPtr & weak) {return weak.lock() == group_ptr;});
    if (it == manual_groups_.end()) {
      throw std::runtime_error("Callback group needs to be associated with this executor.");
    }
    manual_groups_.erase(it);
  }
  group_ptr->get_associated_with_executor_atomic().store(false);
  if (notify) {
    detail::WorkNotifier::instance().notify();
  }
}

Executor::SpinGuard::SpinGuard(Executor & executor)
: executor_(executor)
{
  if (executor_.spinning_.exchange(true)) {
    throw std::runtime_error("spin() called while already spinning");
  }
}

Executor::SpinGuard::~SpinGuard()
{
  executor_.spinning_.store(false);
}

void Executor::cancel()
{
  spinning_.store(false);
  detail::WorkNotifier::instance().notify();
}

bool Executor::should_keep_spinning() const
{
  return spinning_.load() && context_->is_valid();
}

bool Executor::get_next_ready_executable(AnyExecutable & any_executable)
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<CallbackGroup::SharedPtr, std::shared_ptr<detail::Executable>>> candidates;
  auto collect = [&candidates](const CallbackGroup::SharedPtr & group) {
      if (group->type() == CallbackGroupType::MutuallyExclusive && !group->can_be_taken_from().load()) {
        return;  // one of its callbacks is running
      }
      for (auto & executable : group->executables()) {
        candidates.emplace_back(group, std::move(executable));
      }
    };
  for (const auto & weak : nodes_) {
    if (auto node = weak.lock()) {
      node->for_each_callback_group(
        [&collect](const CallbackGroup::SharedPtr & group) {
          if (group->automatically_add_to_executor_with_node()) {
            collect(group);
          }
        });
    }
  }
  for (const auto & weak : manual_groups_) {
    if (auto group = weak.lock()) {
      collect(group);
    }
  }
  // Start after the entity served last, so that a busy one cannot starve the others.
  const size_t n = candidates.size();
  for (size_t k = 0; k < n; ++k) {
    const size_t i = (next_start_ + k) % n;
    auto & [group, executable] = candidates[i];
    auto work = executable->take_work();
    if (work) {
      if (group->type() == CallbackGroupType::MutuallyExclusive) {
        group->can_be_taken_from().store(false);
      }
      next_start_ = i + 1;
      any_executable.work = std::move(work);
      any_executable.callback_group = group;
      return true;
    }
  }
  return false;
}

bool Executor::get_next_executable(AnyExecutable & any_executable, std::chrono::nanoseconds timeout)
{
  auto & notifier = detail::WorkNotifier::instance();
  const uint64_t seen = notifier.generation();
  if (get_next_ready_executable(any_executable)) {
    return true;
  }
  notifier.wait(seen, timeout, [this] {return !should_keep_spinning();});
  if (!should_keep_spinning()) {
    return false;
  }
  return get_next_ready_executable(any_executable);
}

void Executor::execute_any_executable(AnyExecutable & any_executable)
{
  // Frees the group even when the callback throws (the exception leaves spin, as in rclcpp).
  struct GroupRelease
  {
    CallbackGroup::SharedPtr group;
    ~GroupRelease()
    {
      if (group->type() == CallbackGroupType::MutuallyExclusive) {
        group->can_be_taken_from().store(true);
      }
      detail::WorkNotifier::instance().notify();
    }
  } release{any_executable.callback_group};
  any_executable.work();
}

void Executor::spin_once_impl(std::chrono::nanoseconds timeout)
{
  AnyExecutable any_executable;
  if (get_next_executable(any_executable, timeout)) {
    execute_any_executable(any_executable);
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout)
{
  SpinGuard guard(*this);
  spin_once_impl(timeout);
}

void Executor::spin_some(std::chrono::nanoseconds max_duration)
{
  SpinGuard guard(*this);
  const auto start = std::chrono::steady_clock::now();
  while (should_keep_spinning()) {
    if (max_duration > std::chrono::nanoseconds(0) &&
      std::chrono::steady_clock::now() - start >= max_duration)
    {
      break;
    }
    AnyExecutable any_executable;
    if (!get_next_ready_executable(any_executable)) {
      break;
    }
    execute_any_executable(any_executable);
  }
}

namespace executors
{

SingleThreadedExecutor::SingleThreadedExecutor(const rclcpp::ExecutorOptions & options)
: rclcpp::Executor(options) {}

void SingleThreadedExecutor::spin()
{
  SpinGuard guard(*this);
  while (should_keep_spinning()) {
    spin_once_impl(std::chrono::nanoseconds(-1));
  }
}

MultiThreadedExecutor::MultiThreadedExecutor(
  const rclcpp::ExecutorOptions & options, size_t number_of_threads, bool yield_before_execute,
  std::chrono::nanoseconds timeout)
: rclcpp::Executor(options),
  number_of_threads_(number_of_threads > 0 ? number_of_threads :
    std::max<size_t>(std::thread::hardware_concurrency(), 2)),
  yield_before_execute_(yield_before_execute),
  next_exec_timeout_(timeout) {}

void MultiThreadedExecutor::spin()
{
  SpinGuard guard(*this);
  std::vector<std::thread> threads;
  for (size_t i = 1; i < number_of_threads_; ++i) {
    threads.emplace_back([this] {run();});
  }
  run();
  for (auto & thread : threads) {
    thread.join();
  }
}

void MultiThreadedExecutor::run()
{
  while (should_keep_spinning()) {
    AnyExecutable any_executable;
    if (!get_next_executable(any_executable, next_exec_timeout_)) {
      continue;
    }
    if (yield_before_execute_) {
      std::this_thread::yield();
    }
    execute_any_executable(any_executable);
  }
}

}  // namespace executors

void spin(rclcpp::Node::SharedPtr node_ptr)
{
  executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  executor.spin();
  executor.remove_node(node_ptr);
}

void spin_some(rclcpp::Node::SharedPtr node_ptr)
{
  executors::SingleThreadedExecutor executor;
  executor.add_node(node_ptr);
  executor.spin_some();
  executor.remove_node(node_ptr);
}

}  // namespace rclcpp
