#ifndef RCLCPP__DURATION_HPP_
#define RCLCPP__DURATION_HPP_

#include <chrono>
#include <cstdint>

#include "builtin_interfaces/msg/duration.hpp"

typedef int64_t rcl_duration_value_t;

namespace rclcpp
{

class Duration
{
public:
  Duration(int32_t seconds, uint32_t nanoseconds);
  explicit Duration(std::chrono::nanoseconds nanoseconds);
  template<class Rep, class Period>
  Duration(const std::chrono::duration<Rep, Period> & duration)  // NOLINT: implicit like rclcpp's
  : Duration(std::chrono::duration_cast<std::chrono::nanoseconds>(duration)) {}
  Duration(const builtin_interfaces::msg::Duration & duration_msg);  // NOLINT
  Duration(const Duration & rhs) = default;
  Duration & operator=(const Duration & rhs) = default;

  operator builtin_interfaces::msg::Duration() const;

  bool operator==(const Duration & rhs) const {return ns_ == rhs.ns_;}
  bool operator!=(const Duration & rhs) const {return ns_ != rhs.ns_;}
  bool operator<(const Duration & rhs) const {return ns_ < rhs.ns_;}
  bool operator<=(const Duration & rhs) const {return ns_ <= rhs.ns_;}
  bool operator>(const Duration & rhs) const {return ns_ > rhs.ns_;}
  bool operator>=(const Duration & rhs) const {return ns_ >= rhs.ns_;}
  Duration operator+(const Duration & rhs) const {return from_nanoseconds(ns_ + rhs.ns_);}
  Duration operator-(const Duration & rhs) const {return from_nanoseconds(ns_ - rhs.ns_);}
  Duration operator*(double scale) const;

  rcl_duration_value_t nanoseconds() const {return ns_;}
  double seconds() const {return static_cast<double>(ns_) / 1e9;}
  template<class DurationT>
  DurationT to_chrono() const
  {
    return std::chrono::duration_cast<DurationT>(std::chrono::nanoseconds(ns_));
  }

  static Duration max();
  static Duration from_seconds(double seconds);
  static Duration from_nanoseconds(rcl_duration_value_t nanoseconds);

private:
  Duration() = default;
  rcl_duration_value_t ns_ = 0;
};

}  // namespace rclcpp

#endif  // RCLCPP__DURATION_HPP_
