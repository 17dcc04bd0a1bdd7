#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "geometry_msgs/msg/point.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros_test_support.hpp"

using geometry_msgs::msg::Point;
using namespace std::chrono_literals;

class ExecutorTest : public RosTest {};

namespace
{
// Counts callbacks running at the same time and remembers the maximum.
struct Concurrency
{
  std::atomic_int inside{0};
  std::atomic_int max_inside{0};
  std::atomic_int calls{0};

  void run(std::chrono::milliseconds work)
  {
    const int now = ++inside;
    int seen = max_inside.load();
    while (now > seen && !max_inside.compare_exchange_weak(seen, now)) {}
    std::this_thread::sleep_for(work);
    --inside;
    ++calls;
  }
};
}  // namespace

TEST_F(ExecutorTest, MutuallyExclusiveGroupNeverOverlapsWhileTwoGroupsDo)
{
  auto node = std::make_shared<rclcpp::Node>("groups");
  auto publisher = node->create_publisher<Point>("work", 10);

  // Two subscriptions in the default (mutually exclusive) group.
  Concurrency exclusive;
  auto a = node->create_subscription<Point>("work", 10, [&](const Point &) {exclusive.run(5ms);});
  auto b = node->create_subscription<Point>("work", 10, [&](const Point &) {exclusive.run(5ms);});

  // Two subscriptions in two other groups: each waits until the other is inside too.
  auto group1 = node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  auto group2 = node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  std::atomic_int meeting{0};
  std::atomic_int met{0};
  auto meet = [&](const Point &) {
      ++meeting;
      if (wait_until([&] {return meeting.load() >= 2;})) {
        ++met;
      }
    };
  rclcpp::SubscriptionOptions in_group1;
  in_group1.callback_group = group1;
  rclcpp::SubscriptionOptions in_group2;
  in_group2.callback_group = group2;
  auto c = node->create_subscription<Point>("meet", 10, meet, in_group1);
  auto d = node->create_subscription<Point>("meet", 10, meet, in_group2);
  auto meet_publisher = node->create_publisher<Point>("meet", 10);

  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 4, true);
  executor.add_node(node);
  SpinThread spin(executor);
  for (int i = 0; i < 5; ++i) {
    publisher->publish(Point());
  }
  meet_publisher->publish(Point());
  ASSERT_TRUE(wait_until([&] {return exclusive.calls.load() == 10 && met.load() == 2;}));
  EXPECT_EQ(1, exclusive.max_inside.load());
}

TEST_F(ExecutorTest, ReentrantGroupRunsOneSubscriptionInParallel)
{
  auto node = std::make_shared<rclcpp::Node>("reentrant");
  auto group = node->create_callback_group(rclcpp::CallbackGroupType::Reentrant);
  rclcpp::SubscriptionOptions options;
  options.callback_group = group;
  std::atomic_int meeting{0};
  std::atomic_int met{0};
  auto subscription = node->create_subscription<Point>(
    "r", 10, [&](const Point &) {
      ++meeting;
      if (wait_until([&] {return meeting.load() >= 2;})) {
        ++met;
      }
    }, options);
  auto publisher = node->create_publisher<Point>("r", 10);
  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 3);
  executor.add_node(node);
  SpinThread spin(executor);
  publisher->publish(Point());
  publisher->publish(Point());
  EXPECT_TRUE(wait_until([&] {return met.load() == 2;}));
}

TEST_F(ExecutorTest, ShutdownEndsSpinOnAllThreadsAndInitWorksAgain)
{
  auto node = std::make_shared<rclcpp::Node>("spinner");
  auto executor = std::make_shared<rclcpp::executors::MultiThreadedExecutor>(
    rclcpp::ExecutorOptions(), 8, true, std::chrono::nanoseconds(-1));
  executor->add_node(node);
  std::atomic_bool returned{false};
  std::thread spinner([&] {executor->spin(); returned = true;});
  wait_until([&] {return executor->is_spinning();});
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(rclcpp::shutdown());
  EXPECT_FALSE(rclcpp::ok());
  spinner.join();
  EXPECT_TRUE(returned.load());
  EXPECT_FALSE(rclcpp::shutdown());  // already shut down

  // A second scenario in the same process.
  rclcpp::init(0, nullptr);
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_THROW(rclcpp::init(0, nullptr), rclcpp::ContextAlreadyInitialized);
  auto again = std::make_shared<rclcpp::Node>("spinner_again");
  EXPECT_THROW(executor->add_node(node), std::runtime_error);  // a node joins one executor only
}

TEST_F(ExecutorTest, SigintShutsDownTheContextAndSpinReturns)
{
  auto node = std::make_shared<rclcpp::Node>("interrupted");
  std::atomic_bool on_shutdown_called{false};
  auto context = rclcpp::contexts::get_global_default_context();
  // Shutdown callbacks stay registered across init/shutdown cycles, as in rclcpp.
  auto handle = context->add_on_shutdown_callback([&] {on_shutdown_called = true;});
  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 2);
  executor.add_node(node);
  std::thread spinner([&] {executor.spin();});
  wait_until([&] {return executor.is_spinning();});
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, raise(SIGINT));
  spinner.join();  // returns only because the handler shut the context down
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(rclcpp::ok());
  EXPECT_TRUE(on_shutdown_called);
  EXPECT_EQ("signal handler", rclcpp::contexts::get_global_default_context()->shutdown_reason());
  EXPECT_NE(std::string::npos, log.find("[rclcpp]: signal_handler(signum=2)")) << log;
  // rclcpp::shutdown() restores the previous handlers.
  rclcpp::shutdown();
  EXPECT_FALSE(rclcpp::signal_handlers_installed());
  EXPECT_TRUE(context->remove_on_shutdown_callback(handle));
  EXPECT_FALSE(context->remove_on_shutdown_callback(handle));
}

TEST_F(ExecutorTest, WallRateKeepsItsPeriodAndReportsMissedOnes)
{
  // The first period runs from the rate's construction: the start is taken before it.
  const auto start = std::chrono::steady_clock::now();
  rclcpp::WallRate rate(500.0);
  EXPECT_EQ(std::chrono::nanoseconds(2000000), rate.period());
  // A sleep that kept its period ended no earlier than the period's end; on a loaded
  // or emulated machine it may have been missed instead (false, no sleep).
  if (rate.sleep()) {
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);
  }
  std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(rate.sleep());  // too late: no sleep
  EXPECT_TRUE(rclcpp::Rate(1000.0).is_steady() == false);
}

TEST_F(ExecutorTest, SleepForEndsOnShutdownOnlyAndAfterShutdownSleepsItsFullTime)
{
  using Clock = std::chrono::steady_clock;
  // A full sleep: true, and interrupt_all_sleep_for() alone does not cut it short.
  auto context = rclcpp::contexts::get_global_default_context();
  std::thread interrupter([&] {
      std::this_thread::sleep_for(20ms);
      context->interrupt_all_sleep_for();
    });
  auto start = Clock::now();
  EXPECT_TRUE(rclcpp::sleep_for(100ms));
  EXPECT_GE(Clock::now() - start, 100ms);
  interrupter.join();

  // A shutdown during the sleep ends it at once, with false.
  std::thread stopper([] {
      std::this_thread::sleep_for(50ms);
      rclcpp::shutdown();
    });
  start = Clock::now();
  EXPECT_FALSE(rclcpp::sleep_for(std::chrono::hours(1), context));
  EXPECT_LT(Clock::now() - start, 5s);
  stopper.join();

  // rclcpp does not look before it sleeps: after shutdown the sleep lasts its
  // full time and reports the invalid context.
  start = Clock::now();
  EXPECT_FALSE(rclcpp::sleep_for(30ms));
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST_F(ExecutorTest, ManuallyAddedGroupRunsOnlyInItsExecutor)
{
  auto node = std::make_shared<rclcpp::Node>("manual");
  auto group = node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
  rclcpp::SubscriptionOptions options;
  options.callback_group = group;
  std::atomic_int calls{0};
  auto subscription = node->create_subscription<Point>("m", 10, [&](const Point &) {++calls;}, options);
  auto publisher = node->create_publisher<Point>("m", 10);
  publisher->publish(Point());

  rclcpp::executors::SingleThreadedExecutor with_node;
  with_node.add_node(node);
  with_node.spin_some();
  EXPECT_EQ(0, calls.load());

  rclcpp::executors::SingleThreadedExecutor with_group;
  with_group.add_callback_group(group, node->get_node_base_interface());
  EXPECT_THROW(with_node.add_callback_group(group, node->get_node_base_interface()), std::runtime_error);
  with_group.spin_some();
  EXPECT_EQ(1, calls.load());
}
