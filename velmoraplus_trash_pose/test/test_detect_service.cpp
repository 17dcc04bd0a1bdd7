// Copyright 2026 Velmora robotics team
//
// Licensed under the Apache License, Version 2.0 (the "License");
// you may not use this file except in compliance with the License.
// You may obtain a copy of the License at
//
//     http://www.apache.org/licenses/LICENSE-2.0
//
// Unless required by applicable law or agreed to in writing, software
// distributed under the License is distributed on an "AS IS" BASIS,
// WITHOUT WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.
// See the License for the specific language governing permissions and
// limitations under the License.

// DetectTrash over the ROS 2 client API: camera choice, priorities, the
// answer and its log lines, waiting and two clients at once (a camera that never
// answers: test_shutdown.cpp).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>

#include "console_line.hpp"
#include "node_harness.hpp"
#include "velmoraplus_trash_pose/node/trash_pose_detection.hpp"

namespace
{

using velmora::DetectionNode;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
using TrashGrabInfo = velmora_plus_interfaces::msg::TrashGrabInfo;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::vector<TrashGrabInfo> ResultsOfType(std::uint8_t trash_type, std::size_t count)
{
  std::vector<TrashGrabInfo> results(count);
  for (auto & r : results) {
    r.trash_type = trash_type;
  }
  return results;
}

// The value of the log's "detect callback cost" line, empty unless it has four decimals.
std::optional<double> Cost(const std::string & log)
{
  const std::string key = "detect callback cost ";
  for (const auto & text : velmora_test::SplitLines(log)) {
    const auto line = velmora_test::ParseConsoleLine(text);
    if (!line || line->message.compare(0, key.size(), key) != 0) {
      continue;
    }
    const std::string & message = line->message;
    if (message.size() < key.size() + 3 || message.compare(message.size() - 3, 3, " ms") != 0) {
      return std::nullopt;
    }
    const std::string value = message.substr(key.size(), message.size() - key.size() - 3);
    const auto dot = value.find('.');
    if (dot == std::string::npos || value.size() - dot != 5 ||
      value.find_first_not_of("0123456789.") != std::string::npos)
    {
      return std::nullopt;
    }
    return std::stod(value);
  }
  return std::nullopt;
}

// Brings the whole process up in-process with a chosen cam_num; slots 1, 2, 3
// hold cameras 5, 6, 7, so that a slot taken for an id shows. Cameras get no
// images: a driver thread stands in for their passes. It answers every request
// raised on a slot once, delay_ after it saw it (the start-up pass at once), with
// the slot's preset results stamped with the pass's number in main_axis_type:
// an answer can only come from the pass its own request started.
class DetectServiceTest : public ::testing::Test
{
protected:
  void Start(int cam_num)
  {
    prefix_.Set(
      "trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num",
      std::to_string(cam_num));
    for (int slot = 1; slot <= 3; ++slot) {
      prefix_.Set(
        "cam" + std::to_string(slot) + "_detect_config.yaml", "camera_detection_params",
        "cam_id", std::to_string(slot + 4));
    }
    harness_ = std::make_unique<velmora_test::NodeHarness>(prefix_);
    stop_driver_ = false;
    driver_ = std::thread(
      [this]() {
        std::array<std::optional<Clock::time_point>, 3> seen;
        while (!stop_driver_) {
          for (int i = 0; i < 3; ++i) {
            auto & camera = harness_->detection().camera(i + 1);
            if (!camera->IsDetectionRequested()) {
              seen[i].reset();
              continue;
            }
            seen[i] = seen[i].value_or(Clock::now());
            if (passes_[i] > 0 && Clock::now() - *seen[i] < delay_[i]) {
              continue;
            }
            seen[i].reset();
            auto results = preset_[i];
            const int pass = ++passes_[i];
            for (auto & r : results) {
              r.main_axis_type = static_cast<std::uint8_t>(pass);
            }
            camera->FinishPass(results);
          }
          std::this_thread::sleep_for(5ms);
        }
      });
    const auto deadline = Clock::now() + 10s;
    for (int i = 0; i < 3; ++i) {
      while (passes_[i] == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
      }
      if (passes_[i] == 0) {
        ADD_FAILURE() << "slot " << i + 1 << " never ran its start-up pass";
      }
    }
  }

  void Stop()
  {
    if (!harness_) {
      return;
    }
    harness_->Stop();
    stop_driver_ = true;
    driver_.join();
    harness_.reset();
    for (auto & p : passes_) {
      p = 0;
    }
  }

  void TearDown() override {Stop();}

  DetectTrash::Response Call()
  {
    const auto response = harness_->Call(10s, 7, 2);
    EXPECT_TRUE(response.has_value());
    return response.value_or(DetectTrash::Response());
  }

  velmora_test::ConfigPrefix prefix_;
  std::unique_ptr<velmora_test::NodeHarness> harness_;
  std::thread driver_;
  std::atomic<bool> stop_driver_{false};
  std::array<std::vector<TrashGrabInfo>, 3> preset_;
  // Slot 2 finishes well after the others, so several 100 ms polls see it busy
  // while they are done, even when a loaded machine stalls a poll.
  std::array<Clock::duration, 3> delay_{150ms, 650ms, 150ms};
  std::array<std::atomic<int>, 3> passes_{};
};

struct PriorityCase
{
  int cam_num;
  std::array<std::size_t, 3> counts;  // results per slot
  int detected_cam;
  int answered_slot;                  // 0: none
  std::string log_line;
  std::string wait_line;              // one of the lines while slot 2 is still busy
  std::chrono::milliseconds slot_2_delay = 650ms;
};

TEST_F(DetectServiceTest, CameraChoiceFixedPrioritiesAndTheirLogLines)
{
  const std::string one = "is_camera_6_detect_done_: 0";
  const std::string two = "is_camera_1_detect_done_: 1  is_camera_2_detect_done_: 0";
  const std::string three = two + "  is_camera_3_detect_done_: 1";
  const std::vector<PriorityCase> cases = {
    {1, {1, 2, 3}, 1, 2, "cam_6 detected trash can be grabbed !", one},
    {1, {1, 0, 3}, 0, 0, "no trash can be grabbed detected !", one},
    // A camera done at once: the flags are still logged and slept on once (the
    // first line may already show it done).
    {1, {0, 1, 0}, 1, 2, "cam_6 detected trash can be grabbed !", "is_camera_6_detect_done_: ",
      0ms},
    {2, {1, 2, 3}, 2, 2, "cam_2 detected trash can be grabbed !", two},
    {2, {1, 0, 3}, 1, 1, "cam_1 detected trash can be grabbed !", two},
    {3, {1, 0, 0}, 3, 1, "cam_3 detected trash can be grabbed !", three},
    {3, {0, 2, 3}, 1, 3, "cam_1 detected trash can be grabbed !", three},
    {3, {1, 2, 0}, 2, 2, "cam_2 detected trash can be grabbed !", three},
    {3, {0, 0, 0}, 0, 0, "no trash can be grabbed detected !", three},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(
      "cam_num " + std::to_string(c.cam_num) + " counts " +
      std::to_string(c.counts[0]) + std::to_string(c.counts[1]) + std::to_string(c.counts[2]));
    for (int slot = 0; slot < 3; ++slot) {
      preset_[slot] = ResultsOfType(static_cast<std::uint8_t>(slot + 1), c.counts[slot]);
    }
    delay_[1] = c.slot_2_delay;
    Start(c.cam_num);
    testing::internal::CaptureStderr();
    const auto response = Call();
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_EQ(response.detected_cam, c.detected_cam);
    EXPECT_TRUE(response.message.empty());
    if (c.answered_slot == 0) {
      EXPECT_TRUE(response.trash_infos.empty());
    } else {
      ASSERT_EQ(response.trash_infos.size(), c.counts[c.answered_slot - 1]);
      for (const auto & info : response.trash_infos) {
        EXPECT_EQ(info.trash_type, c.answered_slot);
        EXPECT_EQ(info.main_axis_type, 2) << "not the pass this request started";
      }
    }
    // Each chosen camera ran exactly the pass of this request, and the service
    // cleared its done flag after reading; the others only ran their start-up pass.
    const std::array<bool, 3> triggered = {c.cam_num >= 2, true, c.cam_num == 3};
    for (int slot = 0; slot < 3; ++slot) {
      SCOPED_TRACE("slot " + std::to_string(slot + 1));
      const auto & camera = harness_->detection().camera(slot + 1);
      EXPECT_EQ(passes_[slot], triggered[slot] ? 2 : 1);
      EXPECT_FALSE(camera->IsDetectionRequested());
      EXPECT_EQ(camera->IsDetectionDone(), !triggered[slot]);
    }
    Stop();

    const std::string node = "[velmoraplus_trash_pose_detect]: ";
    EXPECT_NE(log.find(node + c.log_line + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(node + "Received cmd: 7  cam_choice: 2\n"), std::string::npos) << log;
    // A wait line ending in ": " leaves the flag's value open.
    const std::string wait_line = node + c.wait_line + (c.wait_line.back() == ' ' ? "" : "\n");
    EXPECT_NE(log.find(wait_line), std::string::npos) << log;
    EXPECT_NE(log.find(node + "waiting detect to complete................\n"), std::string::npos);
    EXPECT_GE(Cost(log).value_or(0.0), 100.0) << log;  // at least one 100 ms poll
    EXPECT_LT(log.find("detect callback cost"), log.find(node + "detect completed !\n"));
  }
}

TEST_F(DetectServiceTest, InvalidCameraNumberAnswersNothingAtOnce)
{
  for (int cam_num : {0, 4}) {
    preset_ = {ResultsOfType(1, 1), ResultsOfType(2, 1), ResultsOfType(3, 1)};
    Start(cam_num);
    testing::internal::CaptureStderr();
    const auto response = Call();
    const std::string log = testing::internal::GetCapturedStderr();
    const int passes = passes_[0] + passes_[1] + passes_[2];
    Stop();
    EXPECT_EQ(response.detected_cam, 0);
    EXPECT_TRUE(response.trash_infos.empty());
    const auto invalid = log.find("Please make sure the parameters camera_num_ is set correct !");
    const auto cost = log.find("detect callback cost ");
    const auto completed = log.find("detect completed !");
    ASSERT_NE(invalid, std::string::npos) << log;
    EXPECT_LT(invalid, cost);
    EXPECT_LT(cost, completed);
    EXPECT_LT(Cost(log).value_or(100.0), 100.0) << log;
    EXPECT_EQ(log.find("waiting detect to complete"), std::string::npos);
    EXPECT_EQ(passes, 3);  // the start-up passes only
  }
}

TEST_F(DetectServiceTest, TwoClientsAreServedOneAfterTheOther)
{
  preset_ = {ResultsOfType(1, 1), ResultsOfType(2, 2), ResultsOfType(3, 3)};
  Start(2);
  testing::internal::CaptureStderr();
  std::optional<DetectTrash::Response> first;
  std::optional<DetectTrash::Response> second;
  std::thread a([&]() {first = harness_->Call(10s);});
  std::thread b([&]() {second = harness_->Call(10s);});
  a.join();
  b.join();
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->detected_cam, 2);
  EXPECT_EQ(second->detected_cam, 2);
  // Each answer is the list of its own pass.
  ASSERT_EQ(first->trash_infos.size(), 2U);
  ASSERT_EQ(second->trash_infos.size(), 2U);
  EXPECT_EQ(
    (std::set<int>{first->trash_infos[0].main_axis_type,
      second->trash_infos[0].main_axis_type}), (std::set<int>{2, 3}));
  // starting, completed, starting, completed: never two requests at once.
  const auto start1 = log.find("starting detect");
  const auto done1 = log.find("detect completed !");
  const auto start2 = log.find("starting detect", start1 + 1);
  const auto done2 = log.find("detect completed !", done1 + 1);
  ASSERT_NE(done2, std::string::npos) << log;
  EXPECT_LT(start1, done1);
  EXPECT_LT(done1, start2);
  EXPECT_LT(start2, done2);
}

}  // namespace
