#ifndef RCLCPP__CALLBACK_GROUP_HPP_
#define RCLCPP__CALLBACK_GROUP_HPP_

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/detail/executable.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{

enum class CallbackGroupType
{
  MutuallyExclusive,
  Reentrant
};

class CallbackGroup
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(CallbackGroup)

  explicit CallbackGroup(
    CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  CallbackGroup(const CallbackGroup &) = delete;
  CallbackGroup & operator=(const CallbackGroup &) = delete;

  CallbackGroupType type() const {return type_;}
  bool automatically_add_to_executor_with_node() const {return automatically_add_;}
  // False while a callback of a mutually exclusive group runs.
  std::atomic_bool & can_be_taken_from() {return can_be_taken_from_;}
  std::atomic_bool & get_associated_with_executor_atomic() {return associated_with_executor_;}

  // Entities are held weakly, as in rclcpp: one that its owner dropped stops running.
  void add_executable(const std::weak_ptr<detail::Executable> & executable);
  std::vector<std::shared_ptr<detail::Executable>> executables();

private:
  const CallbackGroupType type_;
  const bool automatically_add_;
  std::atomic_bool can_be_taken_from_{true};
  std::atomic_bool associated_with_executor_{false};
  std::mutex mutex_;
  std::vector<std::weak_ptr<detail::Executable>> executables_;
};

}  // namespace rclcpp

#endif  // RCLCPP__CALLBACK_GROUP_HPP_
