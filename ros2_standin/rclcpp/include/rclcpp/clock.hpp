#ifndef RCLCPP__CLOCK_HPP_
#define RCLCPP__CLOCK_HPP_

#include "rclcpp/macros.hpp"
#include "rclcpp/time.hpp"

namespace rclcpp
{

// ROS time is the system time here: there is no simulated clock.
class Clock
{
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Clock)

  explicit Clock(rcl_clock_type_t clock_type = RCL_SYSTEM_TIME);
  Time now() const;
  rcl_clock_type_t get_clock_type() const {return clock_type_;}
  bool ros_time_is_active() const {return false;}

private:
  rcl_clock_type_t clock_type_;
};

}  // namespace rclcpp

#endif  // RCLCPP__CLOCK_HPP_
