#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "message_filters/subscriber.h"
#include "message_filters/sync_policies/approximate_time.h"
#include "message_filters/synchronizer.h"
#include "rclcpp/rclcpp.hpp"
#include "ros_test_support.hpp"
#include "sensor_msgs/msg/image.hpp"

using sensor_msgs::msg::Image;
using Policy = message_filters::sync_policies::ApproximateTime<Image, Image>;

namespace
{
Image image(int32_t sec, uint32_t nanosec, const std::string & frame)
{
  Image m;
  m.header.stamp.sec = sec;
  m.header.stamp.nanosec = nanosec;
  m.header.frame_id = frame;
  return m;
}

// Wired like the product's camera node: two subscribers, one synchronizer,
// a member callback bound with std::bind.
class Camera
{
public:
  explicit Camera(const rclcpp::Node::SharedPtr & node, const std::string & rgb, const std::string & depth)
  {
    rgb_sub_.subscribe(node.get(), rgb, rmw_qos_profile_default);
    depth_sub_.subscribe(node, depth, rmw_qos_profile_default);
    sync_ = std::make_shared<message_filters::Synchronizer<Policy>>(Policy(10), rgb_sub_, depth_sub_);
    sync_->registerCallback(&Camera::ImageCallback, this);
  }

  std::vector<std::pair<std::string, std::string>> pairs()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return pairs_;
  }

  message_filters::Subscriber<Image> rgb_sub_;
  message_filters::Subscriber<Image> depth_sub_;

private:
  void ImageCallback(const Image::ConstSharedPtr & rgb, const Image::ConstSharedPtr & depth)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pairs_.emplace_back(rgb->header.frame_id, depth->header.frame_id);
  }

  std::shared_ptr<message_filters::Synchronizer<Policy>> sync_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> pairs_;
};
}  // namespace

class MessageFiltersTest : public RosTest {};

TEST_F(MessageFiltersTest, SynchronizerPairsEqualStampsThroughRealSubscriptions)
{
  auto node = std::make_shared<rclcpp::Node>("camera");
  auto driver = std::make_shared<rclcpp::Node>("driver");
  Camera camera(node, "/camera/color", "camera/depth");
  EXPECT_EQ("/camera/color", camera.rgb_sub_.getTopic());
  auto rgb = driver->create_publisher<Image>("/camera/color", 10);
  auto depth = driver->create_publisher<Image>("/camera/depth", 10);

  rclcpp::executors::MultiThreadedExecutor executor(rclcpp::ExecutorOptions(), 4);
  executor.add_node(node);
  SpinThread spin(executor);
  rgb->publish(image(10, 0, "rgb1"));
  depth->publish(image(10, 0, "depth1"));
  ASSERT_TRUE(wait_until([&] {return camera.pairs().size() == 1;}));
  depth->publish(image(11, 500, "depth2"));
  rgb->publish(image(11, 500, "rgb2"));
  ASSERT_TRUE(wait_until([&] {return camera.pairs().size() == 2;}));
  EXPECT_EQ(std::make_pair(std::string("rgb1"), std::string("depth1")), camera.pairs()[0]);
  EXPECT_EQ(std::make_pair(std::string("rgb2"), std::string("depth2")), camera.pairs()[1]);
}

TEST_F(MessageFiltersTest, ApproximatePairingPicksTheClosestAndWaitsWhenUndecided)
{
  auto node = std::make_shared<rclcpp::Node>("feeder");
  message_filters::Subscriber<Image> a;
  message_filters::Subscriber<Image> b;
  message_filters::Synchronizer<Policy> sync(Policy(5), a, b);
  std::vector<std::pair<std::string, std::string>> pairs;
  // As in humble, a lambda goes through std::bind, whose call ignores the
  // seven unused inputs the synchronizer passes on.
  const auto record = [&](const Image::ConstSharedPtr & m0, const Image::ConstSharedPtr & m1) {
      pairs.emplace_back(m0->header.frame_id, m1->header.frame_id);
    };
  sync.registerCallback(std::bind(record, std::placeholders::_1, std::placeholders::_2));
  auto feed = [](message_filters::Subscriber<Image> & s, const Image & m) {
      s.add(std::make_shared<const Image>(m));
    };
  // a0 at 1.00 s, b0 at 1.04 s: a later a might be closer, so nothing yet.
  feed(a, image(1, 0, "a0"));
  feed(b, image(1, 40000000, "b0"));
  EXPECT_TRUE(pairs.empty());
  // a1 at 1.03 s lies between: a0 is dropped; a1 is older than b0 and still undecided.
  feed(a, image(1, 30000000, "a1"));
  EXPECT_TRUE(pairs.empty());
  // a2 at 1.10 s is farther from b0 than a1: (a1, b0) is the match.
  feed(a, image(1, 100000000, "a2"));
  ASSERT_EQ(1u, pairs.size());
  EXPECT_EQ(std::make_pair(std::string("a1"), std::string("b0")), pairs[0]);
  // Equal stamps match at once.
  feed(b, image(1, 100000000, "b1"));
  ASSERT_EQ(2u, pairs.size());
  EXPECT_EQ(std::make_pair(std::string("a2"), std::string("b1")), pairs[1]);
}

TEST_F(MessageFiltersTest, EmptyTopicSubscribesToNothing)
{
  auto node = std::make_shared<rclcpp::Node>("no_topic");
  message_filters::Subscriber<Image> sub;
  sub.subscribe(node.get(), "", rmw_qos_profile_default);
  EXPECT_EQ(nullptr, sub.getSubscriber());
  EXPECT_THROW(Policy(0), std::invalid_argument);
}
