#ifndef RCLCPP__TIME_HPP_
#define RCLCPP__TIME_HPP_

#include <cstdint>

#include "builtin_interfaces/msg/time.hpp"
#include "rclcpp/duration.hpp"

typedef enum rcl_clock_type_e
{
  RCL_CLOCK_UNINITIALIZED = 0,
  RCL_ROS_TIME,
  RCL_SYSTEM_TIME,
  RCL_STEADY_TIME
} rcl_clock_type_t;

typedef int64_t rcl_time_point_value_t;

namespace rclcpp
{

class Time
{
public:
  Time(int32_t seconds, uint32_t nanoseconds, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  explicit Time(int64_t nanoseconds = 0, rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  Time(const builtin_interfaces::msg::Time & time_msg, rcl_clock_type_t clock_type = RCL_ROS_TIME);
  Time(const Time & rhs) = default;
  Time & operator=(const Time & rhs) = default;
  Time & operator=(const builtin_interfaces::msg::Time & time_msg);

  operator builtin_interfaces::msg::Time() const;

  bool operator==(const Time & rhs) const;
  bool operator!=(const Time & rhs) const;
  bool operator<(const Time & rhs) const;
  bool operator<=(const Time & rhs) const;
  bool operator>=(const Time & rhs) const;
  bool operator>(const Time & rhs) const;
  Time operator+(const Duration & rhs) const;
  Duration operator-(const Time & rhs) const;
  Time operator-(const Duration & rhs) const;
  Time & operator+=(const Duration & rhs);
  Time & operator-=(const Duration & rhs);

  rcl_time_point_value_t nanoseconds() const {return nanoseconds_;}
  double seconds() const;
  rcl_clock_type_t get_clock_type() const {return clock_type_;}

  static Time max();

private:
  void check_same_clock(const Time & rhs) const;

  rcl_time_point_value_t nanoseconds_;
  rcl_clock_type_t clock_type_;
};

Time operator+(const rclcpp::Duration & lhs, const rclcpp::Time & rhs);

}  // namespace rclcpp

#endif  // RCLCPP__TIME_HPP_
