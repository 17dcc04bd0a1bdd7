#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "geometry_msgs/msg/point.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros2_standin_tests/srv/add_two_ints.hpp"
#include "ros_test_support.hpp"

using AddTwoInts = ros2_standin_tests::srv::AddTwoInts;
using geometry_msgs::msg::Point;
using namespace std::chrono_literals;

class ServiceTest : public RosTest {};

namespace
{
AddTwoInts::Request::SharedPtr request(int64_t a, int64_t b)
{
  auto r = std::make_shared<AddTwoInts::Request>();
  r->a = a;
  r->b = b;
  return r;
}
}  // namespace

// The product's pattern: a service in its own mutually exclusive group waits
// for a subscription callback of another node to do the work.
TEST_F(ServiceTest, ServiceInItsOwnGroupIsAnsweredWhileOtherCallbacksRun)
{
  auto worker = std::make_shared<rclcpp::Node>("worker");
  auto server = std::make_shared<rclcpp::Node>("server");
  auto caller = std::make_shared<rclcpp::Node>("caller");

  std::atomic_bool requested{false};
  std::atomic_bool done{false};
  auto work = worker->create_subscription<Point>(
    "frames", 10, [&](const Point &) {
      if (requested.exchange(false)) {
        done = true;
      }
    });
  auto frames = worker->create_publisher<Point>("frames", 10);

  auto group = server->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  auto service = server->create_service<AddTwoInts>(
    "add", [&](const std::shared_ptr<AddTwoInts::Request> req, std::shared_ptr<AddTwoInts::Response> res) {
      done = false;
      requested = true;
      while (!done) {
        std::this_thread::sleep_for(1ms);
      }
      res->sum = req->a + req->b;
    }, rmw_qos_profile_services_default, group);
  EXPECT_STREQ("/add", service->get_service_name());

  auto client = caller->create_client<AddTwoInts>("add");
  ASSERT_TRUE(client->wait_for_service(1s));
  EXPECT_TRUE(client->service_is_ready());

  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 8, true);
  executor.add_node(worker);
  executor.add_node(server);
  executor.add_node(caller);
  SpinThread spin(executor);

  auto future = client->async_send_request(request(2, 3));
  ASSERT_TRUE(wait_until([&] {return requested.load();}));
  EXPECT_EQ(std::future_status::timeout, future.wait_for(0s));
  frames->publish(Point());
  ASSERT_EQ(std::future_status::ready, future.wait_for(5s));
  EXPECT_EQ(5, future.get()->sum);
}

TEST_F(ServiceTest, TwoClientsAtOnceAreServedOneAfterTheOther)
{
  auto server = std::make_shared<rclcpp::Node>("server");
  auto caller1 = std::make_shared<rclcpp::Node>("caller1");
  auto caller2 = std::make_shared<rclcpp::Node>("caller2");
  auto group = server->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  std::mutex mutex;
  std::vector<std::string> events;
  auto service = server->create_service<AddTwoInts>(
    "/sum", [&](const std::shared_ptr<AddTwoInts::Request> req, std::shared_ptr<AddTwoInts::Response> res) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("begin " + std::to_string(req->a));
      }
      std::this_thread::sleep_for(20ms);
      res->sum = req->a + req->b;
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back("end " + std::to_string(req->a));
    }, rmw_qos_profile_services_default, group);
  auto client1 = caller1->create_client<AddTwoInts>("sum");
  auto client2 = caller2->create_client<AddTwoInts>("sum");

  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 8, true);
  executor.add_node(server);
  executor.add_node(caller1);
  executor.add_node(caller2);
  SpinThread spin(executor);

  auto f1 = client1->async_send_request(request(1, 10));
  auto f2 = client2->async_send_request(request(2, 20));
  ASSERT_EQ(std::future_status::ready, f1.wait_for(5s));
  ASSERT_EQ(std::future_status::ready, f2.wait_for(5s));
  EXPECT_EQ(11, f1.get()->sum);
  EXPECT_EQ(22, f2.get()->sum);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ((std::vector<std::string>{"begin 1", "end 1", "begin 2", "end 2"}), events);
}

TEST_F(ServiceTest, ResponseNeedsTheClientNodeSpunAndMissingServiceTimesOut)
{
  auto server = std::make_shared<rclcpp::Node>("server");
  auto caller = std::make_shared<rclcpp::Node>("caller");
  auto lonely = caller->create_client<AddTwoInts>("nobody");
  EXPECT_FALSE(lonely->wait_for_service(10ms));
  EXPECT_FALSE(lonely->service_is_ready());
  EXPECT_THROW(server->create_service<AddTwoInts>("bad service", [](AddTwoInts::Request::SharedPtr, AddTwoInts::Response::SharedPtr) {}),
    rclcpp::exceptions::InvalidServiceNameError);

  auto service = server->create_service<AddTwoInts>(
    "add", [](const std::shared_ptr<rmw_request_id_t>, const std::shared_ptr<AddTwoInts::Request> req,
    std::shared_ptr<AddTwoInts::Response> res) {res->sum = req->a + req->b;});
  auto client = caller->create_client<AddTwoInts>("add");
  rclcpp::executors::SingleThreadedExecutor server_executor;
  server_executor.add_node(server);
  auto future = client->async_send_request(request(4, 5)).share();
  server_executor.spin_some();  // the service answered ...
  EXPECT_EQ(std::future_status::timeout, future.wait_for(0s));  // ... but nobody spun the client
  int64_t from_callback = 0;
  client->async_send_request(request(1, 1), [&](rclcpp::Client<AddTwoInts>::SharedFuture f) {from_callback = f.get()->sum;});
  server_executor.spin_some();
  EXPECT_EQ(rclcpp::FutureReturnCode::SUCCESS, rclcpp::spin_until_future_complete(caller, future, 5s));
  EXPECT_EQ(9, future.get()->sum);
  rclcpp::spin_some(caller);
  EXPECT_EQ(2, from_callback);
}

// Several scenarios in one process: what an earlier init cycle left alive
// (the product never frees its nodes) must not answer or receive in a later one.
TEST_F(ServiceTest, LeftoversOfAnEarlierInitCycleStayOutOfTheWay)
{
  auto old_node = std::make_shared<rclcpp::Node>("old");
  auto old_service = old_node->create_service<AddTwoInts>(
    "add", [](const std::shared_ptr<AddTwoInts::Request>, std::shared_ptr<AddTwoInts::Response> res) {
      res->sum = -1;
    });
  std::atomic_int old_received{0};
  auto old_subscription = old_node->create_subscription<Point>("p", 10, [&](const Point &) {++old_received;});
  auto old_publisher = old_node->create_publisher<Point>("p", 10);
  rclcpp::shutdown();
  rclcpp::init(0, nullptr);

  auto node = std::make_shared<rclcpp::Node>("new");
  EXPECT_EQ(0u, node->count_subscribers("p"));
  auto client = node->create_client<AddTwoInts>("add");
  EXPECT_FALSE(client->service_is_ready());
  auto service = node->create_service<AddTwoInts>(
    "add", [](const std::shared_ptr<AddTwoInts::Request> req, std::shared_ptr<AddTwoInts::Response> res) {
      res->sum = req->a + req->b;
    });
  auto publisher = node->create_publisher<Point>("p", 10);
  publisher->publish(Point());
  old_publisher->publish(Point());  // dropped, as rclcpp drops publishing on a shut-down context

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.add_node(old_node);
  auto future = client->async_send_request(request(20, 22));
  EXPECT_EQ(rclcpp::FutureReturnCode::SUCCESS, executor.spin_until_future_complete(future, 5s));
  EXPECT_EQ(42, future.get()->sum);
  executor.spin_some();
  EXPECT_EQ(0, old_received.load());
}
