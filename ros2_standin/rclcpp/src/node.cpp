#include "rclcpp/node.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "rclcpp/detail/graph.hpp"
#include "rclcpp/detail/work_notifier.hpp"
#include "rclcpp/exceptions.hpp"

namespace rclcpp
{

CallbackGroup::CallbackGroup(CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
: type_(group_type), automatically_add_(automatically_add_to_executor_with_node) {}

void CallbackGroup::add_executable(const std::weak_ptr<detail::Executable> & executable)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    executables_.push_back(executable);
  }
  // Like rclcpp's notify guard condition: a spinning executor must see the new
  // entity, which may already hold work (a transient-local history).
  detail::WorkNotifier::instance().notify();
}

std::vector<std::shared_ptr<detail::Executable>> CallbackGroup::executables()
{
  std::vector<std::shared_ptr<detail::Executable>> alive;
  std::lock_guard<std::mutex> lock(mutex_);
  auto end = std::remove_if(
    executables_.begin(), executables_.end(),
    [&alive](const std::weak_ptr<detail::Executable> & weak) {
      auto strong = weak.lock();
      if (!strong) {
        return true;
      }
      alive.push_back(std::move(strong));
      return false;
    });
  executables_.erase(end, executables_.end());
  return alive;
}

namespace
{

bool is_name_char(char c)
{
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

void validate_node_name(const std::string & name)
{
  if (name.empty()) {
    throw exceptions::InvalidNodeNameError(name.c_str(), "node name must not be empty", 0);
  }
  if (std::isdigit(static_cast<unsigned char>(name[0]))) {
    throw exceptions::InvalidNodeNameError(name.c_str(), "node name must not start with a number", 0);
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (!is_name_char(name[i])) {
      throw exceptions::InvalidNodeNameError(
              name.c_str(), "node name must not contain characters other than alphanumerics or '_'", i);
    }
  }
}

std::string normalise_namespace(const std::string & ns)
{
  if (ns.empty()) {
    return "/";
  }
  std::string result = ns[0] == '/' ? ns : "/" + ns;
  if (result.size() > 1 && result.back() == '/') {
    throw exceptions::InvalidNamespaceError(ns.c_str(), "namespace must not end with a '/'", ns.size() - 1);
  }
  return result;
}

// Checks a fully qualified name the way rmw does; returns the bad index or npos.
size_t find_invalid(const std::string & name, const char ** reason)
{
  if (name.empty()) {
    *reason = "must not be empty";
    return 0;
  }
  if (name[0] != '/') {
    *reason = "must be absolute";
    return 0;
  }
  if (name.size() > 1 && name.back() == '/') {
    *reason = "must not end with a forward slash";
    return name.size() - 1;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '/') {
      if (i + 1 < name.size() && name[i + 1] == '/') {
        *reason = "must not contain repeated forward slashes";
        return i + 1;
      }
      if (i + 1 < name.size() && std::isdigit(static_cast<unsigned char>(name[i + 1]))) {
        *reason = "must not have a token that starts with a number";
        return i + 1;
      }
    } else if (!is_name_char(c)) {
      *reason = "must not contain characters other than alphanumerics, '_', '~', '{', or '}'";
      return i;
    }
  }
  return std::string::npos;
}

}  // namespace

namespace node_interfaces
{

NodeBaseInterface::NodeBaseInterface(
  const std::string & node_name, const std::string & namespace_, Context::SharedPtr context)
: name_((validate_node_name(node_name), node_name)),
  namespace_(normalise_namespace(namespace_)),
  fully_qualified_name_(namespace_ == "/" || namespace_.empty() ?
    "/" + node_name : normalise_namespace(namespace_) + "/" + node_name),
  context_(std::move(context)),
  default_callback_group_(std::make_shared<CallbackGroup>(CallbackGroupType::MutuallyExclusive))
{
  if (!context_ || !context_->is_valid()) {
    throw exceptions::RCLError(
            "failed to create node '" + node_name + "': the context is not initialized "
            "(call rclcpp::init first) or already shut down");
  }
  callback_groups_.push_back(default_callback_group_);
}

CallbackGroup::SharedPtr NodeBaseInterface::create_callback_group(
  CallbackGroupType group_type, bool automatically_add_to_executor_with_node)
{
  auto group = std::make_shared<CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  std::lock_guard<std::mutex> lock(mutex_);
  callback_groups_.push_back(group);
  return group;
}

bool NodeBaseInterface::callback_group_in_node(const CallbackGroup::SharedPtr & group)
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto & weak : callback_groups_) {
    if (weak.lock() == group) {
      return true;
    }
  }
  return false;
}

void NodeBaseInterface::for_each_callback_group(
  const std::function<void(const CallbackGroup::SharedPtr &)> & func)
{
  std::vector<CallbackGroup::SharedPtr> groups;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto & weak : callback_groups_) {
      if (auto group = weak.lock()) {
        groups.push_back(std::move(group));
      }
    }
  }
  for (const auto & group : groups) {
    func(group);
  }
}

std::string NodeBaseInterface::resolve_topic_or_service_name(
  const std::string & name, bool is_service) const
{
  std::string resolved;
  if (!name.empty() && name[0] == '~') {
    resolved = fully_qualified_name_ + name.substr(1);
  } else if (!name.empty() && name[0] == '/') {
    resolved = name;
  } else {
    resolved = (namespace_ == "/" ? std::string("/") : namespace_ + "/") + name;
  }
  if (name.empty()) {
    resolved.clear();
  }
  const char * reason = "";
  const size_t bad = find_invalid(resolved, &reason);
  if (bad != std::string::npos) {
    const std::string message = (is_service ? "service name " : "topic name ") + std::string(reason);
    if (is_service) {
      throw exceptions::InvalidServiceNameError(name.c_str(), message.c_str(), std::min(bad, name.size()));
    }
    throw exceptions::InvalidTopicNameError(name.c_str(), message.c_str(), std::min(bad, name.size()));
  }
  return resolved;
}

}  // namespace node_interfaces

namespace
{
std::string logger_name(const std::string & ns, const std::string & name)
{
  // rclcpp names a node's logger "ns.sub.name": the namespace without its leading slash.
  std::string normalised = normalise_namespace(ns);
  if (normalised == "/") {
    return name;
  }
  std::string result = normalised.substr(1);
  std::replace(result.begin(), result.end(), '/', '.');
  return result + "." + name;
}
}  // namespace

Node::Node(const std::string & node_name, const NodeOptions & options)
: Node(node_name, "", options) {}

Node::Node(const std::string & node_name, const std::string & namespace_, const NodeOptions & options)
: options_(options),
  node_base_(std::make_shared<node_interfaces::NodeBaseInterface>(node_name, namespace_, options.context())),
  logger_(rclcpp::get_logger(logger_name(namespace_, node_name))),
  clock_(std::make_shared<rclcpp::Clock>(RCL_ROS_TIME)) {}

size_t Node::count_publishers(const std::string & topic_name) const
{
  return detail::Graph::instance().count_publishers(
    node_base_->resolve_topic_or_service_name(topic_name, false));
}

size_t Node::count_subscribers(const std::string & topic_name) const
{
  return detail::Graph::instance().count_subscribers(
    node_base_->resolve_topic_or_service_name(topic_name, false));
}

std::vector<TopicEndpointInfo> Node::endpoint_infos(
  const std::vector<detail::EndpointSnapshot> & endpoints, EndpointType type)
{
  std::vector<TopicEndpointInfo> infos;
  for (const auto & endpoint : endpoints) {
    // A GID unique in this process: the registration's address.
    std::array<uint8_t, RMW_GID_STORAGE_SIZE> gid{};
    const auto address = reinterpret_cast<std::uintptr_t>(endpoint.identity);
    std::memcpy(gid.data(), &address, sizeof(address));
    infos.push_back(TopicEndpointInfo(
        endpoint.owner.node_name, endpoint.owner.node_namespace, endpoint.owner.type_name, type,
        gid, endpoint.qos));
  }
  return infos;
}

std::string Node::graph_topic(const std::string & topic_name, bool no_mangle) const
{
  return no_mangle ? topic_name : node_base_->resolve_topic_or_service_name(topic_name, false);
}

std::vector<TopicEndpointInfo> Node::get_publishers_info_by_topic(
  const std::string & topic_name, bool no_mangle) const
{
  return endpoint_infos(
    detail::Graph::instance().publishers_of(graph_topic(topic_name, no_mangle)),
    EndpointType::Publisher);
}

std::vector<TopicEndpointInfo> Node::get_subscriptions_info_by_topic(
  const std::string & topic_name, bool no_mangle) const
{
  return endpoint_infos(
    detail::Graph::instance().subscriptions_of(graph_topic(topic_name, no_mangle)),
    EndpointType::Subscription);
}

CallbackGroup::SharedPtr Node::group_or_default(const CallbackGroup::SharedPtr & group)
{
  if (!group) {
    return node_base_->get_default_callback_group();
  }
  if (!node_base_->callback_group_in_node(group)) {
    throw std::runtime_error(
            std::string("Cannot create an entity of node '") + get_name() +
            "': callback group not in node.");
  }
  return group;
}

}  // namespace rclcpp
