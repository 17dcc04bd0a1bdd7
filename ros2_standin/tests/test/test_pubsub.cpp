#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "geometry_msgs/msg/point.hpp"
#include "geometry_msgs/msg/vector3.hpp"
#include "rclcpp/rclcpp.hpp"
#include "rclcpp/wait_for_message.hpp"
#include "ros_test_support.hpp"

using geometry_msgs::msg::Point;

namespace
{
Point point(double x)
{
  Point p;
  p.x = x;
  return p;
}

// Collects the x values a subscription received, thread-safely.
struct Received
{
  std::mutex mutex;
  std::vector<double> values;
  void add(double x)
  {
    std::lock_guard<std::mutex> lock(mutex);
    values.push_back(x);
  }
  std::vector<double> get()
  {
    std::lock_guard<std::mutex> lock(mutex);
    return values;
  }
};
}  // namespace

class PubSubTest : public RosTest {};

TEST_F(PubSubTest, SubscriptionOnAnotherNodeReceivesInOrderOnAnExecutorThread)
{
  auto pub_node = std::make_shared<rclcpp::Node>("talker");
  auto sub_node = std::make_shared<rclcpp::Node>("listener");
  // A relative name resolves to "/chatter": both ends meet.
  auto publisher = pub_node->create_publisher<Point>("chatter", 10);
  Received received;
  std::atomic<std::thread::id> callback_thread{};
  auto subscription = sub_node->create_subscription<Point>(
    "/chatter", rclcpp::QoS(10), [&](Point::ConstSharedPtr msg) {
      callback_thread = std::this_thread::get_id();
      received.add(msg->x);
    });
  EXPECT_EQ(1u, publisher->get_subscription_count());
  EXPECT_STREQ("/chatter", publisher->get_topic_name());

  publisher->publish(point(1.0));
  publisher->publish(std::make_unique<Point>(point(2.0)));
  // Nothing runs inside publish: the callback waits for an executor.
  EXPECT_TRUE(received.get().empty());

  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 2);
  executor.add_node(sub_node);
  SpinThread spin(executor);
  ASSERT_TRUE(wait_until([&] {return received.get().size() == 2;}));
  EXPECT_EQ((std::vector<double>{1.0, 2.0}), received.get());
  EXPECT_NE(std::this_thread::get_id(), callback_thread.load());
}

TEST_F(PubSubTest, CallbackFormsAndTopicMatchingByNameAndType)
{
  auto node = std::make_shared<rclcpp::Node>("forms", "/robot");
  auto publisher = node->create_publisher<Point>("pos", 10);  // "/robot/pos"
  auto other_type = node->create_publisher<geometry_msgs::msg::Vector3>("pos", 10);
  Received by_ref, by_mutable, by_unique;
  auto s1 = node->create_subscription<Point>("/robot/pos", 10, [&](const Point & m) {by_ref.add(m.x);});
  auto s2 = node->create_subscription<Point>(
    "pos", 10, [&](std::shared_ptr<Point> m) {m->x += 1; by_mutable.add(m->x);});
  auto s3 = node->create_subscription<Point>(
    "pos", 10, [&](std::unique_ptr<Point> m) {by_unique.add(m->x);});
  auto elsewhere = node->create_subscription<Point>("/pos", 10, [&](const Point & m) {by_ref.add(-m.x);});

  publisher->publish(point(5.0));
  geometry_msgs::msg::Vector3 v;
  v.x = 99;
  other_type->publish(v);  // same name, other type: not delivered to Point subscriptions

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_some();
  EXPECT_EQ(std::vector<double>{5.0}, by_ref.get());
  EXPECT_EQ(std::vector<double>{6.0}, by_mutable.get());  // its own copy
  EXPECT_EQ(std::vector<double>{5.0}, by_unique.get());
}

TEST_F(PubSubTest, TransientLocalReachesLateSubscribersAndVolatileDoesNot)
{
  auto node = std::make_shared<rclcpp::Node>("latched");
  auto latched = node->create_publisher<Point>("latched", rclcpp::QoS(2).transient_local());
  auto plain = node->create_publisher<Point>("plain", rclcpp::QoS(10));
  for (double x : {1.0, 2.0, 3.0}) {
    latched->publish(point(x));
    plain->publish(point(x));
  }
  Received late_latched, late_volatile_on_latched, late_plain;
  auto s1 = node->create_subscription<Point>(
    "latched", rclcpp::QoS(10).transient_local(), [&](const Point & m) {late_latched.add(m.x);});
  auto s2 = node->create_subscription<Point>(
    "latched", rclcpp::QoS(10), [&](const Point & m) {late_volatile_on_latched.add(m.x);});
  auto s3 = node->create_subscription<Point>(
    "plain", rclcpp::QoS(10).transient_local(), [&](const Point & m) {late_plain.add(m.x);});
  latched->publish(point(4.0));
  plain->publish(point(4.0));

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_some();
  // The publisher kept its last 2; then the live one.
  EXPECT_EQ((std::vector<double>{2.0, 3.0, 4.0}), late_latched.get());
  EXPECT_EQ(std::vector<double>{4.0}, late_volatile_on_latched.get());
  // A transient-local subscription does not match a volatile publisher (as in DDS).
  EXPECT_TRUE(late_plain.get().empty());
}

TEST_F(PubSubTest, KeepLastDepthDropsTheOldestUnprocessedMessages)
{
  auto node = std::make_shared<rclcpp::Node>("slow");
  auto publisher = node->create_publisher<Point>("burst", 10);
  Received received;
  auto subscription = node->create_subscription<Point>(
    "burst", rclcpp::QoS(rclcpp::KeepLast(3)), [&](const Point & m) {received.add(m.x);});
  for (int i = 1; i <= 5; ++i) {
    publisher->publish(point(i));
  }
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_some();
  EXPECT_EQ((std::vector<double>{3.0, 4.0, 5.0}), received.get());
}

TEST_F(PubSubTest, NamesAreValidatedAndDroppedSubscriptionsStopReceiving)
{
  auto node = std::make_shared<rclcpp::Node>("names");
  EXPECT_THROW(node->create_publisher<Point>("", 1), rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_THROW(node->create_publisher<Point>("a//b", 1), rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_THROW(node->create_publisher<Point>("1abc", 1), rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_THROW(node->create_publisher<Point>("bad name", 1), rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_THROW(std::make_shared<rclcpp::Node>("bad-node"), rclcpp::exceptions::InvalidNodeNameError);
  auto publisher = node->create_publisher<Point>("~/private", 1);
  EXPECT_STREQ("/names/private", publisher->get_topic_name());

  Received received;
  auto subscription = node->create_subscription<Point>("~/private", 10, [&](const Point & m) {received.add(m.x);});
  EXPECT_EQ(1u, node->count_subscribers("~/private"));
  subscription.reset();
  EXPECT_EQ(0u, node->count_subscribers("~/private"));
  publisher->publish(point(1.0));
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  executor.spin_some();
  EXPECT_TRUE(received.get().empty());
}

TEST(PubSubWithoutInit, NodeNeedsAnInitialisedContext)
{
  EXPECT_THROW(std::make_shared<rclcpp::Node>("too_early"), rclcpp::exceptions::RCLError);
}

TEST_F(PubSubTest, WaitForMessageTakesTheNextMessageOrGivesUp)
{
  auto node = std::make_shared<rclcpp::Node>("waiter");
  auto publisher = node->create_publisher<Point>("once", 1);
  Point out;
  EXPECT_FALSE(rclcpp::wait_for_message(out, node, "once", std::chrono::milliseconds(10)));
  std::thread sender([&] {
      // Published until received: the waiting subscription may not exist yet.
      while (!publisher->get_subscription_count()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      publisher->publish(point(7.0));
    });
  EXPECT_TRUE(rclcpp::wait_for_message(out, node, "/once", std::chrono::seconds(5)));
  sender.join();
  EXPECT_EQ(7.0, out.x);

  std::thread stopper([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      rclcpp::shutdown();
    });
  EXPECT_FALSE(rclcpp::wait_for_message(out, node, "once"));  // no timeout: shutdown ends it
  stopper.join();
}

TEST_F(PubSubTest, GraphQueriesReportEachEndpointsNodeTypeAndQos)
{
  auto node = std::make_shared<rclcpp::Node>("camera", "/robot");
  auto peer = std::make_shared<rclcpp::Node>("peer");
  auto latched = node->create_publisher<Point>("pose", rclcpp::QoS(1).transient_local());
  auto plain = peer->create_publisher<Point>("/robot/pose", rclcpp::QoS(7).best_effort());
  auto subscription = peer->create_subscription<Point>(
    "/robot/pose", rclcpp::SensorDataQoS(), [](Point::ConstSharedPtr) {});

  const auto publishers = node->get_publishers_info_by_topic("pose");  // relative: "/robot/pose"
  ASSERT_EQ(2u, publishers.size());
  // The graph promises no order: each endpoint is found by its node.
  const auto of_node = [&publishers](const std::string & name) -> const rclcpp::TopicEndpointInfo * {
      const auto found = std::find_if(
        publishers.begin(), publishers.end(),
        [&name](const rclcpp::TopicEndpointInfo & info) {return info.node_name() == name;});
      return found == publishers.end() ? nullptr : &*found;
    };
  const auto * camera = of_node("camera");
  const auto * from_peer = of_node("peer");
  ASSERT_NE(nullptr, camera);
  ASSERT_NE(nullptr, from_peer);
  EXPECT_EQ("/robot", camera->node_namespace());
  EXPECT_EQ("geometry_msgs/msg/Point", camera->topic_type());
  EXPECT_EQ(rclcpp::EndpointType::Publisher, camera->endpoint_type());
  EXPECT_EQ(rclcpp::QoS(1).transient_local(), camera->qos_profile());
  EXPECT_EQ("/", from_peer->node_namespace());
  EXPECT_EQ(rclcpp::QoS(7).best_effort(), from_peer->qos_profile());
  EXPECT_NE(camera->endpoint_gid(), from_peer->endpoint_gid());

  const auto subscriptions = node->get_subscriptions_info_by_topic("/robot/pose");
  ASSERT_EQ(1u, subscriptions.size());
  EXPECT_EQ(rclcpp::EndpointType::Subscription, subscriptions[0].endpoint_type());
  EXPECT_EQ(rclcpp::SensorDataQoS(), subscriptions[0].qos_profile());

  latched.reset();
  subscription.reset();
  const auto left = node->get_publishers_info_by_topic("pose");
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ("peer", left[0].node_name());
  EXPECT_TRUE(node->get_subscriptions_info_by_topic("pose").empty());
  EXPECT_THROW(node->get_publishers_info_by_topic("bad name"), rclcpp::exceptions::InvalidTopicNameError);
}
