#include "rclcpp/detail/arguments.hpp"

#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "rclcpp/exceptions.hpp"

namespace rclcpp
{
namespace detail
{
namespace
{

bool is_one_of(const char * arg, const char * a, const char * b = nullptr)
{
  return std::strcmp(arg, a) == 0 || (b != nullptr && std::strcmp(arg, b) == 0);
}

// "from:=to" with both sides present (rcl's grammar is richer; what it refuses
// of this shape, such as an empty side, the stand-in refuses too).
bool is_rule(const std::string & text)
{
  const auto pos = text.find(":=");
  return pos != std::string::npos && pos > 0 && pos + 2 < text.size();
}

bool is_param_rule(const std::string & text)
{
  const auto pos = text.find(":=");
  return pos != std::string::npos && pos > 0;
}

// rcutils_logging_severity_level_from_string: case-insensitive, WARN not WARNING.
std::optional<Logger::Level> severity_from_string(std::string text)
{
  for (char & c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (text == "UNSET") {return Logger::Level::Unset;}
  if (text == "DEBUG") {return Logger::Level::Debug;}
  if (text == "INFO") {return Logger::Level::Info;}
  if (text == "WARN") {return Logger::Level::Warn;}
  if (text == "ERROR") {return Logger::Level::Error;}
  if (text == "FATAL") {return Logger::Level::Fatal;}
  return std::nullopt;
}

[[noreturn]] void invalid(const std::string & what)
{
  throw exceptions::RCLInvalidROSArgsError("failed to initialize rcl: " + what);
}

bool is_disabling_flag(const char * arg)
{
  for (const char * suffix : {"stdout-logs", "rosout-logs", "external-lib-logs"}) {
    for (const char * prefix : {"--enable-", "--disable-"}) {
      if (std::string(arg) == std::string(prefix) + suffix) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

ParsedArguments parse_arguments(int argc, char const * const * argv)
{
  ParsedArguments parsed;
  bool in_ros_section = false;
  for (int i = 0; i < argc; ++i) {
    const char * arg = argv[i];
    if (!in_ros_section) {
      in_ros_section = std::strcmp(arg, "--ros-args") == 0;
      continue;
    }
    if (std::strcmp(arg, "--ros-args") == 0) {
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      in_ros_section = false;
      continue;
    }
    const bool has_value = i + 1 < argc;
    const std::string value = has_value ? argv[i + 1] : "";
    const std::string pair = std::string("'") + arg + " " + value + "'";
    if (is_one_of(arg, "--param", "-p")) {
      if (!has_value) {
        invalid(std::string("Couldn't parse trailing ") + arg +
          " flag. No parameter override rule found.");
      }
      if (!is_param_rule(value)) {
        invalid("Couldn't parse parameter override rule: " + pair);
      }
    } else if (is_one_of(arg, "--remap", "-r")) {
      if (!has_value) {
        invalid(std::string("Couldn't parse trailing ") + arg + " flag. No remap rule found.");
      }
      if (!is_rule(value)) {
        invalid("Couldn't parse remap rule: " + pair);
      }
    } else if (is_one_of(arg, "--params-file")) {
      if (!has_value) {
        invalid(std::string("Couldn't parse trailing ") + arg + " flag. No file path provided.");
      }
      if (!std::ifstream(value)) {
        invalid("Couldn't parse params file: " + pair);
      }
    } else if (is_one_of(arg, "--log-level")) {
      if (!has_value) {
        invalid(std::string("Couldn't parse trailing log level flag: '") + arg +
          "'. No log level provided.");
      }
      const auto separator = value.find(":=");
      const auto level = severity_from_string(
        separator == std::string::npos ? value : value.substr(separator + 2));
      if (!level || separator == 0) {
        invalid("Couldn't parse log level: " + pair);
      }
      if (separator == std::string::npos) {
        parsed.default_log_level = level;
      }
    } else if (is_one_of(arg, "--log-config-file") || is_one_of(arg, "--enclave", "-e")) {
      if (!has_value) {
        invalid(std::string("Couldn't parse trailing ") + arg + " flag. No value provided.");
      }
    } else if (is_disabling_flag(arg)) {
      continue;
    } else {
      parsed.unknown_ros_arguments.emplace_back(arg);
      continue;
    }
    ++i;  // the flag's value
  }
  return parsed;
}

}  // namespace detail
}  // namespace rclcpp
