#include <chrono>
#include <limits>
#include <stdexcept>

#include "rclcpp/clock.hpp"
#include "rclcpp/duration.hpp"
#include "rclcpp/future_return_code.hpp"
#include "rclcpp/time.hpp"

namespace rclcpp
{
namespace
{
constexpr int64_t kNsPerSec = 1000000000LL;
}

Time::Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type)
: clock_type_(clock_type)
{
  if (seconds < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
  nanoseconds_ = static_cast<int64_t>(seconds) * kNsPerSec + nanoseconds;
}

Time::Time(int64_t nanoseconds, rcl_clock_type_t clock_type)
: nanoseconds_(nanoseconds), clock_type_(clock_type)
{
  if (nanoseconds < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
}

Time::Time(const builtin_interfaces::msg::Time & time_msg, rcl_clock_type_t clock_type)
: clock_type_(clock_type)
{
  if (time_msg.sec < 0) {
    throw std::runtime_error("cannot store a negative time point in rclcpp::Time");
  }
  nanoseconds_ = static_cast<int64_t>(time_msg.sec) * kNsPerSec + time_msg.nanosec;
}

Time & Time::operator=(const builtin_interfaces::msg::Time & time_msg)
{
  *this = Time(time_msg);
  return *this;
}

Time::operator builtin_interfaces::msg::Time() const
{
  builtin_interfaces::msg::Time msg;
  msg.sec = static_cast<int32_t>(nanoseconds_ / kNsPerSec);
  msg.nanosec = static_cast<uint32_t>(nanoseconds_ % kNsPerSec);
  return msg;
}

void Time::check_same_clock(const Time & rhs) const
{
  if (clock_type_ != rhs.clock_type_) {
    throw std::runtime_error("can't compare times with different time sources");
  }
}

bool Time::operator==(const Time & rhs) const
{
  check_same_clock(rhs);
  return nanoseconds_ == rhs.nanoseconds_;
}
bool Time::operator!=(const Time & rhs) const {return !(*this == rhs);}
bool Time::operator<(const Time & rhs) const
{
  check_same_clock(rhs);
  return nanoseconds_ < rhs.nanoseconds_;
}
bool Time::operator<=(const Time & rhs) const
{
  check_same_clock(rhs);
  return nanoseconds_ <= rhs.nanoseconds_;
}
bool Time::operator>=(const Time & rhs) const {return !(*this < rhs);}
bool Time::operator>(const Time & rhs) const {return !(*this <= rhs);}

Time Time::operator+(const Duration & rhs) const
{
  return Time(nanoseconds_ + rhs.nanoseconds(), clock_type_);
}

Duration Time::operator-(const Time & rhs) const
{
  if (clock_type_ != rhs.clock_type_) {
    throw std::runtime_error("can't subtract times with different time sources");
  }
  return Duration::from_nanoseconds(nanoseconds_ - rhs.nanoseconds_);
}

Time Time::operator-(const Duration & rhs) const
{
  return Time(nanoseconds_ - rhs.nanoseconds(), clock_type_);
}

Time & Time::operator+=(const Duration & rhs)
{
  *this = *this + rhs;
  return *this;
}

Time & Time::operator-=(const Duration & rhs)
{
  *this = *this - rhs;
  return *this;
}

double Time::seconds() const
{
  return static_cast<double>(nanoseconds_) / 1e9;
}

Time Time::max()
{
  return Time(std::numeric_limits<int32_t>::max(), 999999999);
}

Time operator+(const rclcpp::Duration & lhs, const rclcpp::Time & rhs)
{
  return rhs + lhs;
}

Duration::Duration(int32_t seconds, uint32_t nanoseconds)
: ns_(static_cast<int64_t>(seconds) * kNsPerSec + nanoseconds) {}

Duration::Duration(std::chrono::nanoseconds nanoseconds)
: ns_(nanoseconds.count()) {}

Duration::Duration(const builtin_interfaces::msg::Duration & duration_msg)
: ns_(static_cast<int64_t>(duration_msg.sec) * kNsPerSec + duration_msg.nanosec) {}

Duration::operator builtin_interfaces::msg::Duration() const
{
  builtin_interfaces::msg::Duration msg;
  int64_t sec = ns_ / kNsPerSec;
  int64_t nsec = ns_ % kNsPerSec;
  if (nsec < 0) {  // nanosec is unsigned: borrow a second
    sec -= 1;
    nsec += kNsPerSec;
  }
  msg.sec = static_cast<int32_t>(sec);
  msg.nanosec = static_cast<uint32_t>(nsec);
  return msg;
}

Duration Duration::operator*(double scale) const
{
  return from_nanoseconds(static_cast<int64_t>(static_cast<double>(ns_) * scale));
}

Duration Duration::max()
{
  return Duration(std::numeric_limits<int32_t>::max(), 999999999);
}

Duration Duration::from_seconds(double seconds)
{
  return from_nanoseconds(static_cast<int64_t>(seconds * 1e9));
}

Duration Duration::from_nanoseconds(rcl_duration_value_t nanoseconds)
{
  Duration d;
  d.ns_ = nanoseconds;
  return d;
}

Clock::Clock(rcl_clock_type_t clock_type)
: clock_type_(clock_type) {}

Time Clock::now() const
{
  int64_t ns;
  if (clock_type_ == RCL_STEADY_TIME) {
    ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count();
  } else {
    ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  }
  return Time(ns, clock_type_);
}

std::string to_string(const FutureReturnCode & future_return_code)
{
  switch (future_return_code) {
    case FutureReturnCode::SUCCESS: return "SUCCESS (0)";
    case FutureReturnCode::INTERRUPTED: return "INTERRUPTED (1)";
    case FutureReturnCode::TIMEOUT: return "TIMEOUT (2)";
  }
  return "UNKNOWN";
}

}  // namespace rclcpp
