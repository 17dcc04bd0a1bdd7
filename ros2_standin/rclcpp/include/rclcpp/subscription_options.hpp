#ifndef RCLCPP__SUBSCRIPTION_OPTIONS_HPP_
#define RCLCPP__SUBSCRIPTION_OPTIONS_HPP_

#include "rclcpp/publisher_options.hpp"

#endif  // RCLCPP__SUBSCRIPTION_OPTIONS_HPP_
