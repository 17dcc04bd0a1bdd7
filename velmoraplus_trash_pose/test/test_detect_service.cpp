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
// answer and its log lines, waiting, and two clients at once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>

#include "harness.hpp"

namespace velmora_test
{
namespace
{

// The logged "detect callback cost" in ms; -1 when not logged.
double Cost(const std::string & log)
{
  const std::string key = "[velmoraplus_trash_pose_detect]: detect callback cost ";
  const auto at = log.find(key);
  return at == std::string::npos ? -1.0 : std::stod(log.substr(at + key.size()));
}

// The whole process in-process; slots 1, 2, 3 hold cameras 5, 6, 7, so that a
// slot taken for an id shows. A driver thread stands in for the cameras'
// passes: it answers every request raised on a slot at once (slot 2 only once
// the log shows `hold_`) with `counts` results typed by the slot and stamped
// with the pass's number in main_axis_type: an answer can only come from the
// pass its own request started.
class DetectServiceTest : public ::testing::Test
{
protected:
  void Start(int cam_num, const std::array<std::size_t, 3> & counts)
  {
    prefix_.Set(
      "trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num",
      std::to_string(cam_num));
    for (const int slot : {1, 2, 3}) {
      prefix_.Set(
        "cam" + std::to_string(slot) + "_detect_config.yaml", "camera_detection_params",
        "cam_id", std::to_string(slot + 4));
    }
    harness_ = std::make_unique<NodeHarness>(prefix_);
    driver_ = std::thread(
      [this, counts]() {
        while (!stop_) {
          for (std::size_t i = 0; i < 3; ++i) {
            auto & camera = harness_->detection().camera(static_cast<int>(i) + 1);
            if (!camera->IsDetectionRequested() ||
            (i == 1 && passes_[1] > 0 && log_.Text().find(hold_) == std::string::npos)) {continue;}
            velmora_plus_interfaces::msg::TrashGrabInfo info;
            info.trash_type = static_cast<std::uint8_t>(i + 1);
            info.main_axis_type = static_cast<std::uint8_t>(++passes_[i]);
            camera->FinishPass(std::vector<decltype(info)>(counts[i], info));
          }
          std::this_thread::sleep_for(5ms);
        }
      });
    WaitUntil([this]() {return passes_[0] + passes_[1] + passes_[2] >= 3;});
    log_.Clear();
  }

  void TearDown() override
  {
    if (!harness_) {return;}
    harness_->Stop();
    stop_ = true;
    driver_.join();
    harness_.reset();
    stop_ = false;
    for (auto & p : passes_) {p = 0;}
  }

  const std::string node_ = "[velmoraplus_trash_pose_detect]: ";
  Tap log_;
  ConfigPrefix prefix_;
  std::unique_ptr<NodeHarness> harness_;
  std::thread driver_;
  std::atomic<bool> stop_{false};
  std::string hold_;
  std::array<std::atomic<int>, 3> passes_{};
};

TEST_F(DetectServiceTest, CameraChoiceFixedPrioritiesAndTheirLogLines) {
  struct Case
  {
    int cam_num;
    std::array<std::size_t, 3> counts;  // results per slot
    int detected_cam;
    int answered_slot;                  // 0: none
    std::string says;
    std::string wait_line;              // a poll while slot 2 is still busy
  };
  const std::string one = "is_camera_6_detect_done_: 0\n";
  const std::string two = "is_camera_1_detect_done_: 1  is_camera_2_detect_done_: 0";
  const std::string three = two + "  is_camera_3_detect_done_: 1\n";
  const std::string none = "no trash can be grabbed detected !";
  const std::string invalid = "Please make sure the parameters camera_num_ is set correct !";
  const std::vector<Case> cases = {
    {1, {1, 2, 3}, 1, 2, "cam_6 detected trash can be grabbed !", one},
    {1, {1, 0, 3}, 0, 0, none, one},
    // Done at once, one camera's flag is still logged and slept on once.
    {1, {0, 1, 0}, 1, 2, "cam_6 detected trash can be grabbed !", ""},
    {2, {1, 2, 3}, 2, 2, "cam_2 detected trash can be grabbed !", two + "\n"},
    {2, {1, 0, 3}, 1, 1, "cam_1 detected trash can be grabbed !", two + "\n"},
    {3, {1, 0, 0}, 3, 1, "cam_3 detected trash can be grabbed !", three},
    {3, {0, 2, 3}, 1, 3, "cam_1 detected trash can be grabbed !", three},
    {3, {1, 2, 0}, 2, 2, "cam_2 detected trash can be grabbed !", three},
    {3, {0, 0, 0}, 0, 0, none, three},
    {0, {1, 1, 1}, 0, 0, invalid, ""},
    {4, {1, 1, 1}, 0, 0, invalid, ""},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(std::to_string(c.cam_num) + " " + c.says + " " + std::to_string(c.counts[1]));
    hold_ = c.wait_line.empty() ? "" : node_ + c.wait_line;
    Start(c.cam_num, c.counts);
    const auto response = harness_->Call(7, 2);
    const std::string log = log_.Text();
    ASSERT_TRUE(response.has_value()) << log;
    EXPECT_EQ(response->detected_cam, c.detected_cam);
    EXPECT_TRUE(response->message.empty());
    ASSERT_EQ(response->trash_infos.size(), c.answered_slot ? c.counts[c.answered_slot - 1] : 0);
    for (const auto & info : response->trash_infos) {
      EXPECT_EQ(info.trash_type, c.answered_slot);
      EXPECT_EQ(info.main_axis_type, 2) << "not the pass this request started";
    }
    // Each chosen camera ran exactly the pass of this request and the service
    // cleared its done flag after reading; the others ran their start-up pass only.
    const bool waits = c.cam_num >= 1 && c.cam_num <= 3;
    const std::array<bool, 3> chosen = {c.cam_num == 2 || c.cam_num == 3, waits, c.cam_num == 3};
    for (int slot = 0; slot < 3; ++slot) {
      const auto & camera = harness_->detection().camera(slot + 1);
      EXPECT_EQ(passes_[slot], chosen[slot] ? 2 : 1) << "slot " << slot + 1;
      EXPECT_FALSE(camera->IsDetectionRequested()) << "slot " << slot + 1;
      EXPECT_EQ(camera->IsDetectionDone(), !chosen[slot]) << "slot " << slot + 1;
    }
    EXPECT_NE(log.find(node_ + "Received cmd: 7  cam_choice: 2\n"), std::string::npos) << log;
    const auto cost = log.find(node_ + "detect callback cost ");
    EXPECT_LT(log.find(node_ + c.says + "\n"), cost) << log;
    EXPECT_LT(cost, log.find(node_ + "detect completed !\n")) << log;
    EXPECT_EQ(log.find(node_ + "waiting detect to complete................\n") != log.npos, waits);
    // At least one 100 ms poll where the service waits.
    EXPECT_GE(Cost(log), waits ? 100.0 : 0.0) << log;
    EXPECT_NE(
      log.find(waits && hold_.empty() ? node_ + "is_camera_6_detect_done_: " : hold_),
      std::string::npos) << log;
    TearDown();
  }
}

TEST_F(DetectServiceTest, TwoClientsAreServedOneAfterTheOther) {
  Start(2, {1, 2, 3});
  std::optional<NodeHarness::Response> first;
  std::optional<NodeHarness::Response> second;
  std::thread a([&]() {first = harness_->Call();});
  second = harness_->Call();
  a.join();
  const std::string log = log_.Text();
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->detected_cam, 2);
  EXPECT_EQ(second->detected_cam, 2);
  // Each answer is the list of its own pass.
  ASSERT_EQ(first->trash_infos.size(), 2U);
  ASSERT_EQ(second->trash_infos.size(), 2U);
  EXPECT_EQ(
    (std::set<int>{first->trash_infos[0].main_axis_type, second->trash_infos[0].main_axis_type}),
    (std::set<int>{2, 3}));
  // starting, completed, starting, completed: never two requests at once.
  std::string order;
  for (const auto & line : Lines(log, node_)) {
    order += line.find("starting detect") != line.npos ? "s" :
      line.find("detect completed !") != line.npos ? "c" : "";
  }
  EXPECT_EQ(order, "scsc") << log;
}

}  // namespace
}  // namespace velmora_test
