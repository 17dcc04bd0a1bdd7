// rclcpp::init reads the command line as humble does: what launch files and
// integrators pass must start or fail exactly as on a robot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
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

// First in this file, and in a forked child: humble leaves logging configured
// after an init that failed on unknown arguments, and ignores a later --log-level.
TEST(InitArgumentsLogLevel, FlagSetsTheDefaultSeverity)
{
  auto shown = [](const std::vector<std::string> & arguments) {
      init_with(arguments);
      // The death test holds gtest's own capture: the console goes to a file.
      std::FILE * console = std::tmpfile();
      ::dup2(::fileno(console), STDERR_FILENO);
      RCLCPP_INFO(rclcpp::get_logger("level_test"), "info line");
      RCLCPP_WARN(rclcpp::get_logger("level_test"), "warn line");
      std::fflush(stderr);
      rclcpp::shutdown();
      std::string out(4096, '\0');
      std::rewind(console);
      out.resize(std::fread(&out[0], 1, out.size(), console));
      // Exit code: 1 when the info line shows, 2 when the warn line does not.
      std::exit(
        (out.find("info line") != std::string::npos ? 1 : 0) +
        (out.find("warn line") == std::string::npos ? 2 : 0));
    };
  EXPECT_EXIT(shown({"--ros-args", "--log-level", "WARN"}), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(shown({"--ros-args", "--log-level", "info"}), ::testing::ExitedWithCode(1), "");
}

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

TEST(InitArgumentsConsole, AnInvalidArgumentIsReportedByRclBeforeTheException)
{
  testing::internal::CaptureStderr();
  EXPECT_THROW(init_with({"--ros-args", "-r"}), rclcpp::exceptions::RCLInvalidROSArgsError);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[rcl]: Failed to parse global arguments"), std::string::npos) << err;
}
