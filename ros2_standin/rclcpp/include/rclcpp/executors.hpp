#ifndef RCLCPP__EXECUTORS_HPP_
#define RCLCPP__EXECUTORS_HPP_

#include "rclcpp/executor.hpp"

#endif  // RCLCPP__EXECUTORS_HPP_
