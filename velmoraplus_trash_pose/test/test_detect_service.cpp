// DetectTrash over the ROS 2 client API: camera choice, priorities, the
// answer and its log lines, waiting, shutdown and two clients at once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <velmora_plus_interfaces/srv/detect_trash.hpp>

#include "node_harness.hpp"
#include "velmoraplus_trash_pose/trash_pose_detection.hpp"

namespace
{

using velmora::DetectionNode;
using DetectTrash = velmora_plus_interfaces::srv::DetectTrash;
using TrashGrabInfo = velmora_plus_interfaces::msg::TrashGrabInfo;
using namespace std::chrono_literals;

std::vector<TrashGrabInfo> ResultsOfType(std::uint8_t trash_type, std::size_t count)
{
  std::vector<TrashGrabInfo> results(count);
  for (auto & r : results) {
    r.trash_type = trash_type;
  }
  return results;
}

// Brings the whole process up in-process with a chosen cam_num. Cameras get
// no images here: a driver thread stands in for their passes and finishes
// every requested pass with the results preset for its slot.
class DetectServiceTest : public ::testing::Test
{
protected:
  void Start(int cam_num)
  {
    prefix_.Set("trash_pose_detect_config.yaml", "velmoraplus_trash_pose", "cam_num",
      std::to_string(cam_num));
    harness_ = std::make_unique<velmora_test::NodeHarness>(prefix_);
    stop_driver_ = false;
    driver_ = std::thread([this]() {
        while (!stop_driver_) {
          for (int slot = 1; slot <= 3; ++slot) {
            auto & camera = harness_->detection().camera(slot);
            if (silent_[slot - 1] || !camera->is_detect_requested_.load()) {
              continue;
            }
            passes_[slot - 1]++;
            camera->FinishPass(preset_[slot - 1]);
          }
          std::this_thread::sleep_for(5ms);
        }
      });
    // Let the start-up pass of every camera finish before counting passes.
    std::this_thread::sleep_for(50ms);
    for (auto & p : passes_) {
      p = 0;
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
  std::array<std::atomic<bool>, 3> silent_{};
  std::array<std::atomic<int>, 3> passes_{};
};

struct PriorityCase
{
  int cam_num;
  std::array<std::size_t, 3> counts;  // results per slot
  int detected_cam;
  int answered_slot;                  // 0: none
  std::string log_line;
};

TEST_F(DetectServiceTest, CameraChoiceAndFixedPriorities)
{
  const std::vector<PriorityCase> cases = {
    {1, {1, 2, 3}, 1, 2, "cam_2 detected trash can be grabbed !"},
    {1, {1, 0, 3}, 0, 0, "no trash can be grabbed detected !"},
    {2, {1, 2, 3}, 2, 2, "cam_2 detected trash can be grabbed !"},
    {2, {1, 0, 3}, 1, 1, "cam_1 detected trash can be grabbed !"},
    {3, {1, 0, 0}, 3, 1, "cam_3 detected trash can be grabbed !"},
    {3, {0, 2, 3}, 1, 3, "cam_1 detected trash can be grabbed !"},
    {3, {1, 2, 0}, 2, 2, "cam_2 detected trash can be grabbed !"},
    {3, {0, 0, 0}, 0, 0, "no trash can be grabbed detected !"},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE("cam_num " + std::to_string(c.cam_num) + " counts " +
      std::to_string(c.counts[0]) + std::to_string(c.counts[1]) + std::to_string(c.counts[2]));
    for (int slot = 0; slot < 3; ++slot) {
      preset_[slot] = ResultsOfType(static_cast<std::uint8_t>(slot + 1), c.counts[slot]);
    }
    Start(c.cam_num);
    testing::internal::CaptureStderr();
    const auto response = Call();
    const std::string log = testing::internal::GetCapturedStderr();
    Stop();

    EXPECT_EQ(response.detected_cam, c.detected_cam);
    EXPECT_TRUE(response.message.empty());
    if (c.answered_slot == 0) {
      EXPECT_TRUE(response.trash_infos.empty());
    } else {
      ASSERT_EQ(response.trash_infos.size(), c.counts[c.answered_slot - 1]);
      for (const auto & info : response.trash_infos) {
        EXPECT_EQ(info.trash_type, c.answered_slot);
      }
    }
    EXPECT_NE(log.find("[velmoraplus_trash_pose_detect]: " + c.log_line), std::string::npos) << log;
    EXPECT_NE(log.find("Received cmd: 7  cam_choice: 2"), std::string::npos) << log;
    EXPECT_NE(log.find("detect completed !"), std::string::npos);
    // Only the chosen slots ran a pass for the request.
    const std::array<bool, 3> triggered =
    {c.cam_num >= 2, true, c.cam_num == 3};
    for (int slot = 0; slot < 3; ++slot) {
      EXPECT_EQ(passes_[slot] > 0, triggered[slot]) << "slot " << slot + 1;
    }
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
    Stop();
    EXPECT_EQ(response.detected_cam, 0);
    EXPECT_TRUE(response.trash_infos.empty());
    const auto invalid = log.find("Please make sure the parameters camera_num_ is set correct !");
    const auto cost = log.find("detect callback cost ");
    const auto completed = log.find("detect completed !");
    ASSERT_NE(invalid, std::string::npos) << log;
    EXPECT_LT(invalid, cost);
    EXPECT_LT(cost, completed);
    EXPECT_EQ(log.find("waiting detect to complete"), std::string::npos);
    EXPECT_EQ(passes_[0] + passes_[1] + passes_[2], 0);
  }
}

TEST_F(DetectServiceTest, SilentCameraKeepsTheRequestWaitingUntilShutdown)
{
  silent_[1] = true;
  Start(1);
  testing::internal::CaptureStderr();
  std::thread caller([this]() {
      EXPECT_FALSE(harness_->Call(450ms).has_value());
    });
  caller.join();
  const auto begin = std::chrono::steady_clock::now();
  harness_->Stop();
  const auto stopped_after = std::chrono::steady_clock::now() - begin;
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_LT(stopped_after, 1s);
  // Every 100 ms the log says which camera the service waits for.
  std::size_t waits = 0;
  for (auto pos = log.find("is_camera_2_detect_done_: 0"); pos != std::string::npos;
    pos = log.find("is_camera_2_detect_done_: 0", pos + 1))
  {
    ++waits;
  }
  EXPECT_GE(waits, 3U) << log;
  EXPECT_NE(log.find("shutting down while waiting for cameras"), std::string::npos) << log;
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
