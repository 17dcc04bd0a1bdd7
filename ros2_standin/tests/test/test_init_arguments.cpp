// rclcpp::init reads the command line as humble does: what launch files and
// integrators pass must start or fail exactly as on a robot.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/rclcpp.hpp"

namespace
{

// Initialises with "node" + arguments; the context is shut down again after.
void init_with(std::vector<std::string> arguments)
{
  arguments.insert(arguments.begin(), "node");
  std::vector<const char *> argv;
  for (const auto & argument : arguments) {
    argv.push_back(argument.c_str());
  }
  rclcpp::init(static_cast<int>(argv.size()), argv.data());
}

class InitArguments : public ::testing::Test
{
protected:
  void TearDown() override {rclcpp::shutdown();}
};

}  // namespace

TEST_F(InitArguments, RosSectionsWithKnownFlagsAreAccepted)
{
  const std::vector<std::vector<std::string>> accepted = {
    {},
    {"--ros-args"},
    {"plain", "--ros-args", "--log-level", "info", "--ros-args"},
    {"--ros-args", "-r", "__node:=other", "-p", "rate:=5", "--", "not-ros", "--ros-args",
      "--log-level", "camera:=WARN", "--disable-rosout-logs", "--enable-stdout-logs",
      "-e", "/enclave", "--log-config-file", "any"},
    // After "--" the rest is the program's own.
    {"--ros-args", "--", "--log-level info"},
  };
  for (const auto & arguments : accepted) {
    EXPECT_NO_THROW(init_with(arguments)) << arguments.size() << " arguments";
    EXPECT_TRUE(rclcpp::ok());
    rclcpp::shutdown();
  }
}

TEST_F(InitArguments, UnknownRosArgumentsAreRefusedWithTheirList)
{
  try {
    // What a launch file makes of an empty ros_arguments item and of one
    // holding a flag and its value together.
    init_with({"--ros-args", "--ros-args", "", "--log-level info", "--ros-args"});
    FAIL() << "no exception";
  } catch (const rclcpp::exceptions::UnknownROSArgsError & e) {
    EXPECT_EQ(std::string(e.what()), "found unknown ROS arguments: '', '--log-level info'");
    EXPECT_EQ(e.unknown_ros_args, (std::vector<std::string>{"", "--log-level info"}));
  }
  EXPECT_FALSE(rclcpp::ok());
}

TEST_F(InitArguments, FlagsWithoutAValidValueAreInvalidRosArguments)
{
  const std::vector<std::vector<std::string>> refused = {
    {"--ros-args", "--log-level"},
    {"--ros-args", "--log-level", "loud"},
    {"--ros-args", "--log-level", "warning"},
    {"--ros-args", "-r", "no_rule"},
    {"--ros-args", "-p"},
    {"--ros-args", "--params-file", "/nonexistent/params.yaml"},
  };
  for (const auto & arguments : refused) {
    EXPECT_THROW(init_with(arguments), rclcpp::exceptions::RCLInvalidROSArgsError)
      << arguments.back();
    EXPECT_FALSE(rclcpp::ok()) << arguments.back();
  }
}

TEST_F(InitArguments, LogLevelFlagSetsTheDefaultSeverity)
{
  auto shown = [](const std::vector<std::string> & arguments) {
      init_with(arguments);
      testing::internal::CaptureStderr();
      RCLCPP_INFO(rclcpp::get_logger("level_test"), "info line");
      RCLCPP_WARN(rclcpp::get_logger("level_test"), "warn line");
      const std::string out = testing::internal::GetCapturedStderr();
      rclcpp::shutdown();
      return std::make_pair(
        out.find("info line") != std::string::npos, out.find("warn line") != std::string::npos);
    };
  EXPECT_EQ(shown({"--ros-args", "--log-level", "WARN"}), std::make_pair(false, true));
  EXPECT_EQ(shown({"--ros-args", "--log-level", "info"}), std::make_pair(true, true));
}
