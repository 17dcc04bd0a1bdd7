#include <gtest/gtest.h>

#include <chrono>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "builtin_interfaces/msg/time.hpp"
#include "rclcpp/rclcpp.hpp"
#include "ros_test_support.hpp"

namespace
{
// One console line split into its parts; false when it is not of the form
// "[SEVERITY] [<sec>.<9-digit nanosec>] [<name>]: <message>".
struct ConsoleLine
{
  std::string severity;
  std::string stamp;
  std::string name;
  std::string message;
};

bool parse(const std::string & line, ConsoleLine & out)
{
  const size_t s_end = line.find("] [");
  const size_t t_end = s_end == std::string::npos ? s_end : line.find("] [", s_end + 3);
  const size_t n_end = t_end == std::string::npos ? t_end : line.find("]: ", t_end + 3);
  if (line.empty() || line[0] != '[' || n_end == std::string::npos) {
    return false;
  }
  out.severity = line.substr(1, s_end - 1);
  out.stamp = line.substr(s_end + 3, t_end - s_end - 3);
  out.name = line.substr(t_end + 3, n_end - t_end - 3);
  out.message = line.substr(n_end + 3);
  const size_t dot = out.stamp.find('.');
  if (dot == std::string::npos || dot == 0 || out.stamp.size() - dot - 1 != 9) {
    return false;
  }
  for (size_t i = 0; i < out.stamp.size(); ++i) {
    if (i != dot && !std::isdigit(static_cast<unsigned char>(out.stamp[i]))) {
      return false;
    }
  }
  return true;
}
}  // namespace

class LoggingTest : public RosTest
{
protected:
  void SetUp() override
  {
    // The console format without colours, on stderr: read once, at the first log line.
    setenv("RCUTILS_COLORIZED_OUTPUT", "0", 1);
    unsetenv("RCUTILS_LOGGING_USE_STDOUT");
    RosTest::SetUp();
  }
};

TEST_F(LoggingTest, LinesUseHumblesConsoleFormatOnStderr)
{
  auto node = std::make_shared<rclcpp::Node>("velmoraplus_trash_pose_detect");
  const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  testing::internal::CaptureStderr();
  RCLCPP_INFO(node->get_logger(), "detect callback cost %2.4lf ms", 12.5);
  RCLCPP_WARN(node->get_logger(), "cam_%d detected trash can be grabbed !", 2);
  RCLCPP_ERROR(rclcpp::get_logger("other"), "plain");
  RCLCPP_DEBUG(node->get_logger(), "hidden below the default level");
  RCLCPP_INFO_STREAM(node->get_logger(), "stream " << 3);
  const std::string out = testing::internal::GetCapturedStderr();

  std::istringstream lines(out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) {
    got.push_back(line);
  }
  ASSERT_EQ(4u, got.size()) << out;
  ConsoleLine l;
  ASSERT_TRUE(parse(got[0], l)) << got[0];
  EXPECT_EQ("INFO", l.severity);
  EXPECT_EQ("velmoraplus_trash_pose_detect", l.name);
  EXPECT_EQ("detect callback cost 12.5000 ms", l.message);
  EXPECT_NEAR(before, std::stod(l.stamp), 60.0);
  ASSERT_TRUE(parse(got[1], l)) << got[1];
  EXPECT_EQ("WARN", l.severity);
  EXPECT_EQ("cam_2 detected trash can be grabbed !", l.message);
  ASSERT_TRUE(parse(got[2], l)) << got[2];
  EXPECT_EQ("ERROR", l.severity);
  EXPECT_EQ("other", l.name);
  EXPECT_EQ("plain", l.message);
  EXPECT_EQ("[ERROR] [" + l.stamp + "] [other]: plain", got[2]);  // byte for byte but the stamp
  ASSERT_TRUE(parse(got[3], l)) << got[3];
  EXPECT_EQ("stream 3", l.message);
}

TEST_F(LoggingTest, ConcurrentLinesNeverInterleave)
{
  auto logger = rclcpp::get_logger("threads");
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([logger, t] {
        for (int i = 0; i < 100; ++i) {
          RCLCPP_INFO(logger, "thread %d line %d with some padding to make it longer", t, i);
        }
      });
  }
  for (auto & thread : threads) {
    thread.join();
  }
  std::istringstream lines(testing::internal::GetCapturedStderr());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ConsoleLine l;
    const std::string tail = "with some padding to make it longer";
    EXPECT_TRUE(
      parse(line, l) && l.severity == "INFO" && l.name == "threads" && l.message.rfind("thread ", 0) == 0 &&
      l.message.size() > tail.size() && l.message.substr(l.message.size() - tail.size()) == tail) << line;
    ++count;
  }
  EXPECT_EQ(400, count);
}

TEST(TimeAndDuration, ConversionsAndArithmetic)
{
  const rclcpp::Time t(5, 250000000, RCL_SYSTEM_TIME);
  EXPECT_EQ(5250000000, t.nanoseconds());
  EXPECT_DOUBLE_EQ(5.25, t.seconds());
  builtin_interfaces::msg::Time msg = t;
  EXPECT_EQ(5, msg.sec);
  EXPECT_EQ(250000000u, msg.nanosec);
  EXPECT_EQ(rclcpp::Time(msg, RCL_SYSTEM_TIME), t);

  const rclcpp::Duration d = rclcpp::Duration::from_seconds(1.5);
  EXPECT_EQ(1500000000, d.nanoseconds());
  EXPECT_EQ(rclcpp::Time(6, 750000000, RCL_SYSTEM_TIME), t + d);
  EXPECT_EQ(rclcpp::Duration(std::chrono::milliseconds(250)), rclcpp::Time(5, 500000000, RCL_SYSTEM_TIME) - t);
  builtin_interfaces::msg::Duration lifetime = rclcpp::Duration(10, 0);
  EXPECT_EQ(10, lifetime.sec);
  builtin_interfaces::msg::Duration negative = rclcpp::Duration::from_nanoseconds(-1);
  EXPECT_EQ(-1, negative.sec);
  EXPECT_EQ(999999999u, negative.nanosec);

  EXPECT_THROW(t - rclcpp::Time(0, 0, RCL_ROS_TIME), std::runtime_error);
  EXPECT_THROW(rclcpp::Time(-1, 0), std::runtime_error);
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(now, rclcpp::Clock(RCL_SYSTEM_TIME).now().seconds(), 60.0);
  EXPECT_EQ(RCL_SYSTEM_TIME, rclcpp::Clock(RCL_SYSTEM_TIME).now().get_clock_type());
}
