// Costs of the stand-in's delivery paths, for judging whether a product
// benchmark measures the product or the stand-in.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "geometry_msgs/msg/point.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros2_standin_tests/srv/add_two_ints.hpp"
#include "sensor_msgs/msg/image.hpp"

namespace
{

// One context, one 8-thread executor spinning on its own thread, like the product.
class World
{
public:
  World()
  {
    rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
    node_ = std::make_shared<rclcpp::Node>("bench");
    executor_ = std::make_shared<rclcpp::executors::MultiThreadedExecutor>(rclcpp::ExecutorOptions(), 8, true);
    executor_->add_node(node_);
  }
  ~World()
  {
    rclcpp::shutdown();
    if (spinner_.joinable()) {
      spinner_.join();
    }
  }
  void start() {spinner_ = std::thread([this] {executor_->spin();});}
  rclcpp::Node::SharedPtr node() {return node_;}

private:
  rclcpp::Node::SharedPtr node_;
  std::shared_ptr<rclcpp::executors::MultiThreadedExecutor> executor_;
  std::thread spinner_;
};

void BM_PublishImageToCallback(benchmark::State & state)
{
  World world;
  std::atomic_int received{0};
  auto sub = world.node()->create_subscription<sensor_msgs::msg::Image>(
    "image", 10, [&](sensor_msgs::msg::Image::ConstSharedPtr) {++received;});
  auto pub = world.node()->create_publisher<sensor_msgs::msg::Image>("image", 10);
  world.start();
  sensor_msgs::msg::Image image;
  image.height = 480;
  image.width = 640;
  image.encoding = "rgb8";
  image.step = 640 * 3;
  image.data.resize(640 * 480 * 3);
  int sent = 0;
  for (auto _ : state) {
    pub->publish(image);
    ++sent;
    while (received.load() < sent) {
      std::this_thread::yield();
    }
  }
}
BENCHMARK(BM_PublishImageToCallback)->UseRealTime();

void BM_ServiceRoundTrip(benchmark::State & state)
{
  using AddTwoInts = ros2_standin_tests::srv::AddTwoInts;
  World world;
  auto group = world.node()->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  auto service = world.node()->create_service<AddTwoInts>(
    "add", [](const std::shared_ptr<AddTwoInts::Request> req, std::shared_ptr<AddTwoInts::Response> res) {
      res->sum = req->a + req->b;
    }, rmw_qos_profile_services_default, group);
  auto client = world.node()->create_client<AddTwoInts>("add");
  world.start();
  auto request = std::make_shared<AddTwoInts::Request>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(client->async_send_request(request).get()->sum);
  }
}
BENCHMARK(BM_ServiceRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
