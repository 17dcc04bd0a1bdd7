#ifndef RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp
{
namespace node_interfaces
{

// Name, namespace, context and callback groups of a node: what an executor needs.
class NodeBaseInterface
{
public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBaseInterface)

  NodeBaseInterface(
    const std::string & node_name, const std::string & namespace_, Context::SharedPtr context);
  NodeBaseInterface(const NodeBaseInterface &) = delete;
  NodeBaseInterface & operator=(const NodeBaseInterface &) = delete;

  const char * get_name() const {return name_.c_str();}
  const char * get_namespace() const {return namespace_.c_str();}
  const char * get_fully_qualified_name() const {return fully_qualified_name_.c_str();}
  Context::SharedPtr get_context() {return context_;}

  CallbackGroup::SharedPtr create_callback_group(
    CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);
  CallbackGroup::SharedPtr get_default_callback_group() {return default_callback_group_;}
  bool callback_group_in_node(const CallbackGroup::SharedPtr & group);
  // The node's live groups (groups are held weakly, as in rclcpp).
  void for_each_callback_group(const std::function<void(const CallbackGroup::SharedPtr &)> & func);

  std::atomic_bool & get_associated_with_executor_atomic() {return associated_with_executor_;}

  // "/ns/topic" from "topic", "~/topic" or "/topic".
  std::string resolve_topic_or_service_name(const std::string & name, bool is_service) const;

private:
  const std::string name_;
  const std::string namespace_;
  const std::string fully_qualified_name_;
  const Context::SharedPtr context_;
  const CallbackGroup::SharedPtr default_callback_group_;
  std::mutex mutex_;
  std::vector<CallbackGroup::WeakPtr> callback_groups_;
  std::atomic_bool associated_with_executor_{false};
};

}  // namespace node_interfaces
}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
