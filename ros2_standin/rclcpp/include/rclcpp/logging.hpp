#ifndef RCLCPP__LOGGING_HPP_
#define RCLCPP__LOGGING_HPP_

#include <sstream>
#include <string>
#include <type_traits>

#include "rclcpp/logger.hpp"

namespace rclcpp
{
namespace detail
{

// Writes one whole line in rcutils' default console format
// "[SEVERITY] [sec.nanosec] [logger]: message" to stderr (stdout when
// RCUTILS_LOGGING_USE_STDOUT=1); lines of different threads never interleave.
void log(const Logger & logger, Logger::Level level, const char * format, ...)
__attribute__((format(printf, 3, 4)));

void log_string(const Logger & logger, Logger::Level level, const std::string & message);

bool is_enabled_for(Logger::Level level);

}  // namespace detail
}  // namespace rclcpp

#define RCLCPP_STANDIN_LOG_(level, logger, ...) \
  do { \
    static_assert( \
      ::std::is_same<typename std::remove_cv_t<typename std::remove_reference_t<decltype(logger)>>, \
      typename ::rclcpp::Logger>::value, \
      "First argument to logging macros must be an rclcpp::Logger"); \
    if (::rclcpp::detail::is_enabled_for(level)) { \
      ::rclcpp::detail::log(logger, level, __VA_ARGS__); \
    } \
  } while (0)

#define RCLCPP_STANDIN_LOG_STREAM_(level, logger, stream_arg) \
  do { \
    static_assert( \
      ::std::is_same<typename std::remove_cv_t<typename std::remove_reference_t<decltype(logger)>>, \
      typename ::rclcpp::Logger>::value, \
      "First argument to logging macros must be an rclcpp::Logger"); \
    if (::rclcpp::detail::is_enabled_for(level)) { \
      std::stringstream rclcpp_stream_ss_; \
      rclcpp_stream_ss_ << stream_arg; \
      ::rclcpp::detail::log_string(logger, level, rclcpp_stream_ss_.str()); \
    } \
  } while (0)

#define RCLCPP_DEBUG(logger, ...) RCLCPP_STANDIN_LOG_(::rclcpp::Logger::Level::Debug, logger, __VA_ARGS__)
#define RCLCPP_INFO(logger, ...) RCLCPP_STANDIN_LOG_(::rclcpp::Logger::Level::Info, logger, __VA_ARGS__)
#define RCLCPP_WARN(logger, ...) RCLCPP_STANDIN_LOG_(::rclcpp::Logger::Level::Warn, logger, __VA_ARGS__)
#define RCLCPP_ERROR(logger, ...) RCLCPP_STANDIN_LOG_(::rclcpp::Logger::Level::Error, logger, __VA_ARGS__)
#define RCLCPP_FATAL(logger, ...) RCLCPP_STANDIN_LOG_(::rclcpp::Logger::Level::Fatal, logger, __VA_ARGS__)

#define RCLCPP_DEBUG_STREAM(logger, s) RCLCPP_STANDIN_LOG_STREAM_(::rclcpp::Logger::Level::Debug, logger, s)
#define RCLCPP_INFO_STREAM(logger, s) RCLCPP_STANDIN_LOG_STREAM_(::rclcpp::Logger::Level::Info, logger, s)
#define RCLCPP_WARN_STREAM(logger, s) RCLCPP_STANDIN_LOG_STREAM_(::rclcpp::Logger::Level::Warn, logger, s)
#define RCLCPP_ERROR_STREAM(logger, s) RCLCPP_STANDIN_LOG_STREAM_(::rclcpp::Logger::Level::Error, logger, s)
#define RCLCPP_FATAL_STREAM(logger, s) RCLCPP_STANDIN_LOG_STREAM_(::rclcpp::Logger::Level::Fatal, logger, s)

#endif  // RCLCPP__LOGGING_HPP_
