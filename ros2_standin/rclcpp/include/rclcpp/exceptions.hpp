#ifndef RCLCPP__EXCEPTIONS_HPP_
#define RCLCPP__EXCEPTIONS_HPP_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rclcpp
{
namespace exceptions
{

// A node, topic or service name that ROS would reject.
class NameValidationError : public std::invalid_argument
{
public:
  NameValidationError(
    const char * name_type_, const char * name_, const char * error_msg_, size_t invalid_index_)
  : std::invalid_argument(format_error(name_type_, name_, error_msg_, invalid_index_)),
    name_type(name_type_), name(name_), error_msg(error_msg_), invalid_index(invalid_index_)
  {}

  static std::string format_error(
    const char * name_type, const char * name, const char * error_msg, size_t invalid_index)
  {
    std::string msg = std::string("Invalid ") + name_type + ": " + error_msg + ":\n  '" + name +
      "'\n   " + std::string(invalid_index, ' ') + "^\n";
    return msg;
  }

  const std::string name_type;
  const std::string name;
  const std::string error_msg;
  const size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError
{
public:
  InvalidNodeNameError(const char * node_name, const char * error_msg, size_t invalid_index)
  : NameValidationError("node name", node_name, error_msg, invalid_index) {}
};

class InvalidNamespaceError : public NameValidationError
{
public:
  InvalidNamespaceError(const char * namespace_, const char * error_msg, size_t invalid_index)
  : NameValidationError("namespace", namespace_, error_msg, invalid_index) {}
};

class InvalidTopicNameError : public NameValidationError
{
public:
  InvalidTopicNameError(const char * topic_name, const char * error_msg, size_t invalid_index)
  : NameValidationError("topic name", topic_name, error_msg, invalid_index) {}
};

class InvalidServiceNameError : public NameValidationError
{
public:
  InvalidServiceNameError(const char * service_name, const char * error_msg, size_t invalid_index)
  : NameValidationError("service name", service_name, error_msg, invalid_index) {}
};

// Raised by rclcpp for failures of the layers below it (here: an invalid context).
class RCLError : public std::runtime_error
{
public:
  explicit RCLError(const std::string & message)
  : std::runtime_error(message) {}
};

// A ROS argument with a missing or malformed value (humble: from rcl_init).
class RCLInvalidROSArgsError : public std::runtime_error
{
public:
  explicit RCLInvalidROSArgsError(const std::string & message)
  : std::runtime_error(message) {}
};

// ROS arguments that no ROS flag takes.
class UnknownROSArgsError : public std::runtime_error
{
public:
  explicit UnknownROSArgsError(std::vector<std::string> && unknown_ros_args_in)
  : std::runtime_error("found unknown ROS arguments: '" + join(unknown_ros_args_in) + "'"),
    unknown_ros_args(std::move(unknown_ros_args_in))
  {
  }

  const std::vector<std::string> unknown_ros_args;

private:
  static std::string join(const std::vector<std::string> & items)
  {
    std::string joined;
    for (std::size_t i = 0; i < items.size(); ++i) {
      joined += (i == 0 ? "" : "', '") + items[i];
    }
    return joined;
  }
};

}  // namespace exceptions

class ContextAlreadyInitialized : public std::runtime_error
{
public:
  ContextAlreadyInitialized()
  : std::runtime_error("context is already initialized") {}
};

}  // namespace rclcpp

#endif  // RCLCPP__EXCEPTIONS_HPP_
