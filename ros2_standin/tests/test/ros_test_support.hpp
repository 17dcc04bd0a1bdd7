#ifndef ROS2_STANDIN_TEST__ROS_TEST_SUPPORT_HPP_
#define ROS2_STANDIN_TEST__ROS_TEST_SUPPORT_HPP_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "rclcpp/rclcpp.hpp"

// Every test starts with a fresh, initialised context and shuts it down after.
class RosTest : public ::testing::Test
{
protected:
  void SetUp() override {rclcpp::init(0, nullptr);}
  void TearDown() override {rclcpp::shutdown();}
};

// Spins an executor on its own thread until destroyed.
class SpinThread
{
public:
  explicit SpinThread(rclcpp::Executor & executor)
  : executor_(executor), thread_([this] {executor_.spin(); done_ = true;}) {}

  ~SpinThread()
  {
    // cancel() before spin() started would be lost, so repeat it until spin returned.
    while (!done_) {
      executor_.cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
  }

  SpinThread(const SpinThread &) = delete;
  SpinThread & operator=(const SpinThread &) = delete;

private:
  rclcpp::Executor & executor_;
  std::atomic_bool done_{false};
  std::thread thread_;
};

// Polls until the condition holds; false after the (generous) limit.
inline bool wait_until(const std::function<bool()> & condition,
  std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

#endif  // ROS2_STANDIN_TEST__ROS_TEST_SUPPORT_HPP_
