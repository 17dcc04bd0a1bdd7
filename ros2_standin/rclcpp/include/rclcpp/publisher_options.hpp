#ifndef RCLCPP__PUBLISHER_OPTIONS_HPP_
#define RCLCPP__PUBLISHER_OPTIONS_HPP_

#include <memory>

#include "rclcpp/callback_group.hpp"

namespace rclcpp
{

template<typename Allocator>
struct PublisherOptionsWithAllocator
{
  std::shared_ptr<Allocator> allocator = nullptr;
  rclcpp::CallbackGroup::SharedPtr callback_group = nullptr;
};

using PublisherOptions = PublisherOptionsWithAllocator<std::allocator<void>>;

template<typename Allocator>
struct SubscriptionOptionsWithAllocator
{
  std::shared_ptr<Allocator> allocator = nullptr;
  rclcpp::CallbackGroup::SharedPtr callback_group = nullptr;
  bool ignore_local_publications = false;
};

using SubscriptionOptions = SubscriptionOptionsWithAllocator<std::allocator<void>>;

}  // namespace rclcpp

#endif  // RCLCPP__PUBLISHER_OPTIONS_HPP_
