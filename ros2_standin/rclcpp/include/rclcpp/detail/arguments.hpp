#ifndef RCLCPP__DETAIL__ARGUMENTS_HPP_
#define RCLCPP__DETAIL__ARGUMENTS_HPP_

#include <optional>
#include <string>
#include <vector>

#include "rclcpp/logger.hpp"

namespace rclcpp
{
namespace detail
{

// What rcl's argument parser keeps of a command line that the stand-in acts on.
struct ParsedArguments
{
  std::optional<Logger::Level> default_log_level;  // --log-level <severity>, the last one wins
  std::vector<std::string> unknown_ros_arguments;  // what rclcpp then refuses
};

// Parses argv as humble's rcl_parse_arguments does: ROS arguments between
// "--ros-args" and "--" (or the end); flags that take a value must have a valid
// one, else exceptions::RCLInvalidROSArgsError; anything else inside a ROS
// section is an unknown ROS argument.
ParsedArguments parse_arguments(int argc, char const * const * argv);

// Applies the default log level (humble: rcl_logging_configure).
void set_default_log_level(Logger::Level level);

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP__DETAIL__ARGUMENTS_HPP_
