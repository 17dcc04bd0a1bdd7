#include "rclcpp/logging.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/detail/arguments.hpp"

namespace rclcpp
{

Logger get_logger(const std::string & name)
{
  return Logger(name);
}

namespace detail
{
namespace
{

const char * severity_name(Logger::Level level)
{
  switch (level) {
    case Logger::Level::Debug: return "DEBUG";
    case Logger::Level::Info: return "INFO";
    case Logger::Level::Warn: return "WARN";
    case Logger::Level::Error: return "ERROR";
    case Logger::Level::Fatal: return "FATAL";
    default: return "UNSET";
  }
}

const char * severity_colour(Logger::Level level)
{
  switch (level) {
    case Logger::Level::Debug: return "\033[32m";
    case Logger::Level::Warn: return "\033[33m";
    case Logger::Level::Error:
    case Logger::Level::Fatal: return "\033[31m";
    default: return "\033[0m";
  }
}

// rcutils' console sink: stderr unless RCUTILS_LOGGING_USE_STDOUT=1, the
// stream's buffering changed only when RCUTILS_LOGGING_BUFFERED_STREAM is set,
// colours when RCUTILS_COLORIZED_OUTPUT=1 or, unset, when writing to a terminal.
class ConsoleSink
{
public:
  static ConsoleSink & instance()
  {
    static ConsoleSink sink;
    return sink;
  }

  void write(Logger::Level level, const char * name, const std::string & message)
  {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    std::string line;
    line.reserve(message.size() + 64);
    if (colour_) {
      line += severity_colour(level);
    }
    char prefix[64];
    std::snprintf(
      prefix, sizeof(prefix), "[%s] [%lld.%09lld] [", severity_name(level), ns / 1000000000LL,
      ns % 1000000000LL);
    line += prefix;
    line += name ? name : "";
    line += "]: ";
    line += message;
    if (colour_) {
      line += "\033[0m";
    }
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stream_);
  }

private:
  ConsoleSink()
  {
    const char * use_stdout = std::getenv("RCUTILS_LOGGING_USE_STDOUT");
    stream_ = (use_stdout && std::strcmp(use_stdout, "1") == 0) ? stdout : stderr;
    const char * buffered = std::getenv("RCUTILS_LOGGING_BUFFERED_STREAM");
    if (buffered && std::strcmp(buffered, "1") == 0) {
      std::setvbuf(stream_, nullptr, _IOLBF, BUFSIZ);
    } else if (buffered && std::strcmp(buffered, "0") == 0) {
      std::setvbuf(stream_, nullptr, _IONBF, 0);
    }
    const char * colourised = std::getenv("RCUTILS_COLORIZED_OUTPUT");
    if (colourised && std::strcmp(colourised, "1") == 0) {
      colour_ = true;
    } else if (colourised && std::strcmp(colourised, "0") == 0) {
      colour_ = false;
    } else {
      colour_ = isatty(fileno(stream_)) != 0;
    }
  }

  std::mutex mutex_;
  std::FILE * stream_;
  bool colour_;
};

}  // namespace

namespace
{
// rcutils' default severity; --log-level <severity> changes it.
std::atomic<int> g_default_level{static_cast<int>(Logger::Level::Info)};
}  // namespace

void set_default_log_level(Logger::Level level)
{
  // UNSET as the default means rcutils' own default, INFO.
  g_default_level = static_cast<int>(level == Logger::Level::Unset ? Logger::Level::Info : level);
}

bool is_enabled_for(Logger::Level level)
{
  return static_cast<int>(level) >= g_default_level.load(std::memory_order_relaxed);
}

void log(const Logger & logger, Logger::Level level, const char * format, ...)
{
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (size > 0) {
    std::vector<char> buffer(static_cast<size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    message.assign(buffer.data(), static_cast<size_t>(size));
  }
  va_end(args);
  ConsoleSink::instance().write(level, logger.get_name(), message);
}

void log_string(const Logger & logger, Logger::Level level, const std::string & message)
{
  ConsoleSink::instance().write(level, logger.get_name(), message);
}

}  // namespace detail
}  // namespace rclcpp
