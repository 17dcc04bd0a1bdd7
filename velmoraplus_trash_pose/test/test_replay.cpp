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

// The developer's tools as they are run: the replay answers a known scene (its
// answer field by field is held to the sample's answer.yaml by the sample_answer test),
// an archived debug pass replays to the same answer, bad inputs fail with one
// clear line; the replay and the soak end on SIGINT saying so.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "harness.hpp"

namespace velmora_test
{
namespace
{

// The replay's standard output: one YAML document and nothing else.
YAML::Node Answers(const std::string & out)
{
  EXPECT_EQ(out.rfind("---\n", 0), 0U) << out;
  return YAML::Load(out);
}

class ReplayTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    fs::create_directories(work_);
    cv::Mat bgr;
    cv::cvtColor(scene_.colour, bgr, cv::COLOR_RGB2BGR);
    cv::imwrite(colour_, bgr);
    cv::imwrite(depth_, scene_.depth);
    // A detection whose box holds no pixel centre (an empty mask) is recorded too.
    std::ofstream(prefix_.config_file("scene_detections/index.yaml"), std::ios::app) <<
      "      - {label: 4, score: 0.5, box: [300.2, 300.2, 0.5, 0.5], mask: bench_mask.png}\n";
  }

  // The replay on the test's configuration, run in `folder`; what a signal
  // after `ready` does.
  Child Replay(
    std::vector<std::string> args, const fs::path & folder = {},
    const std::function<bool(const Child &)> & ready = {})
  {
    args.insert(args.begin(), {VELMORA_REPLAY_EXECUTABLE, "--config", prefix_.config_dir()});
    // Set but empty, which counts as unset: the archive goes below the output folder.
    ::setenv("VELMORAPLUS_DATA_DIR", "", 1);
    return RunChild(args, {}, ready, SIGINT, 0ms, (folder.empty() ? work_ : folder));
  }

  ConfigPrefix prefix_;
  const SyntheticScene scene_ = WriteScene(prefix_, StandardSceneObjects());
  const fs::path work_ = fs::path(prefix_.root()) / "replay";
  const std::string colour_ = (work_ / "color.png").string();
  const std::string depth_ = (work_ / "depth.png").string();
};

TEST_F(ReplayTest, AnswersWhateverThePathsHoldAndItsArchiveReplaysAlike) {
  const fs::path odd = work_ / "run 1: kitchen #2" / "\"quoted\" 'and' 图像";
  fs::create_directories(odd);
  const std::string colour = (odd / "colour: a #1.png").string();
  const std::string depth = (odd / "depth [mm], \\raw.png").string();
  fs::copy_file(colour_, colour);
  fs::copy_file(depth_, depth);
  const std::string out = (odd / "out: #").string();
  const auto first = Replay({"--slot", "2", "--debug", "--out", out, colour, depth});
  ASSERT_EQ(first.status, 0) << first.err;
  YAML::Node answers;
  ASSERT_NO_THROW(answers = Answers(first.out)) << first.out;
  const YAML::Node frame = answers["frames"][0];
  EXPECT_EQ(frame["detected_cam"].as<int>(), 1);
  ASSERT_EQ(frame["trash_infos"].size(), 4U);
  // The calibration check sees the rendered floor at -0.176, level.
  const YAML::Node camera = frame["cameras"][0];
  EXPECT_NEAR(camera["calibration_check"]["floor_height"].as<double>(), -0.176, 0.002);
  EXPECT_LT(camera["calibration_check"]["floor_tilt_deg"].as<double>(), 0.5);
  EXPECT_EQ(camera["calibration_check"]["verdict"].as<std::string>(), "agrees");
  // Every detection with what became of it: the tiny one, the edge paper, the bench.
  std::string outcomes;
  for (const auto & piece : camera["pieces"]) {
    outcomes += piece["outcome"].as<std::string>() + ", ";
  }
  EXPECT_EQ(
    outcomes, "accepted, accepted, accepted, accepted, too few points, at the edge, "
    "not trash, ");
  EXPECT_EQ(camera["colour"].as<std::string>(), colour);
  EXPECT_EQ(camera["depth"].as<std::string>(), depth);
  EXPECT_EQ(camera["pictures"][0].as<std::string>(), out + "/frame_1_cam2_pass.png");
  EXPECT_TRUE(fs::exists(out + "/frame_1_cam2_pass.png"));
  EXPECT_TRUE(fs::exists(out + "/frame_1_cam2_top.png"));
  EXPECT_EQ(
    YAML::LoadFile(
      out + "/answers.yaml")["frames"][0]["cameras"][0]["colour"].as<std::string>(), colour);
  // The archive below --out holds the colour (JPEG), the depth (lossless: see the
  // camera pipeline's debug pass) and the detections.
  std::map<std::string, std::string> archived;
  for (const auto & entry : fs::recursive_directory_iterator(out + "/archive")) {
    const std::string name = entry.path().filename().string();
    for (const std::string tail : {"[detections].yaml", "[depth].png", "[initial].jpg"}) {
      if (name.find("mask") == std::string::npos && name.find(tail) + tail.size() == name.size()) {
        archived[tail] = entry.path().string();
      }
    }
  }
  ASSERT_EQ(archived.size(), 3U);
  // Replayed without --out as from a repository root, whose .gitignore covers out/.
  const fs::path here = work_ / "checkout";
  fs::create_directories(here);
  const auto second = Replay(
    {"--detections", archived["[detections].yaml"], archived["[initial].jpg"],
      archived["[depth].png"]}, here);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(fs::exists(here / "out" / "replay" / "answers.yaml"));
  EXPECT_TRUE(fs::exists(here / "out" / "replay" / "frame_1_cam2_pass.png"));
  EXPECT_EQ(
    YAML::Dump(frame["trash_infos"]),
    YAML::Dump(Answers(second.out)["frames"][0]["trash_infos"]));
  // A dry run of the configuration: each object rendered where the camera looks is
  // grabbed where it lies (a bottle's visible half shifts its centroid by 3 cm at most).
  const auto dry = Replay({"--synthetic", "--out", (work_ / "dry").string()});
  ASSERT_EQ(dry.status, 0) << dry.err;
  const YAML::Node run = Answers(dry.out)["frames"][0];
  const YAML::Node truth = run["cameras"][0]["synthetic_scene"];
  ASSERT_EQ(run["trash_infos"].size(), 3U) << dry.out;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto at = run["trash_infos"][i]["grab_pose"]["position"].as<std::vector<double>>();
    const auto centre = truth[i]["centre"].as<std::vector<double>>();
    EXPECT_LT(std::hypot(at[0] - centre[0], at[1] - centre[1]), 0.035) << truth[i]["name"];
  }
}

TEST_F(ReplayTest, BadInputsFailWithOneLineNamingTheProblem) {
  const auto eight_bit = (work_ / "depth8.png").string();
  const auto small = (work_ / "small.png").string();
  cv::Mat converted;
  scene_.depth.convertTo(converted, CV_8U, 1.0 / 16.0);
  cv::imwrite(eight_bit, converted);
  cv::resize(scene_.depth, converted, cv::Size(320, 240), 0, 0, cv::INTER_NEAREST);
  cv::imwrite(small, converted);
  // Recorded scores no model gives: which ones is the model library's test;
  // here, that the refusal names file, frame and value.
  const fs::path detections = fs::path(prefix_.config_dir()) / "scene_detections";
  const std::string recording = ReadText((detections / "index.yaml").string());
  const auto score = recording.find("score: ");
  const std::string scores = (detections / "bad_scores.yaml").string();
  const fs::path held = work_ / "held";
  fs::create_directories(held);
  const int lock = ::open((held / ".replay.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  const fs::path blocked = work_ / "blocked";
  fs::create_directories(blocked / "answers.yaml");
  fs::create_directories(blocked / "frame_1_cam2_pass.png");
  struct Case
  {
    std::string score;  // written into the recording's first detection
    std::vector<std::string> args;
    std::vector<std::string> says;
  };
  const std::vector<Case> cases = {
    {"", {colour_, (work_ / "missing.png").string()}, {"cannot read depth image"}},
    {"", {colour_, eight_bit}, {"is not a single-channel 16-bit PNG"}},
    {"", {colour_, small}, {"differ in size"}},
    {"", {"--config", (work_ / "none").string(), colour_, depth_}, {"configuration folder"}},
    {"", {colour_}, {"has no depth image after it"}},
    {"", {"--synthetic", colour_, depth_}, {"--synthetic renders its own pairs and detections"}},
    {"", {"--cam-num", "3", colour_, depth_}, {"has no pair for it"}},
    // An output folder another replay holds, or one no answer could name.
    {"", {"--out", held.string(), colour_, depth_}, {"is in use by another replay"}},
    {"", {"--out", (work_ / "caf\xE9").string(), colour_, depth_}, {"is not valid UTF-8"}},
    // Outputs that cannot be written (folders in the way) fail the run, named.
    {"", {"--out", blocked.string(), colour_, depth_}, {"not written: " + blocked.string() +
        "/frame_1_cam2_pass.png (", "answers.yaml (", "the answer printed above is incomplete"}},
    {".nan", {"--detections", scores, colour_, depth_}, {scores, "frame 0", "'score' .nan"}},
    {"1.5", {"--detections", scores, colour_, depth_}, {scores, "frame 0", "'score' 1.5"}},
  };
  for (const auto & c : cases) {
    SCOPED_TRACE(c.says[0]);
    std::ofstream(scores) << std::string(recording).replace(
      score, recording.find(',', score) - score, "score: " + c.score);
    const auto result = Replay(c.args);
    EXPECT_EQ(result.status, 1);
    const auto lines = Lines(result.err, "velmoraplus_trash_pose_replay:");
    ASSERT_EQ(lines.size(), 1U) << result.err;
    for (const auto & part : c.says) {
      EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
    }
  }
}

// The tools as the robot's supervisor meets them: a signal ends them with its
// status and a line saying so, never with a crash or a hang. The replay during
// a pass, which finishes; the soak while its DetectTrash call waits on a
// camera that pauses a minute after each pass.
TEST_F(ReplayTest, ToolsSignalledDuringAPassOrAStallSaySoAndExitWithTheSignal) {
  const auto replay = Replay(
    {"--repeat", "50", "--out", (work_ / "out").string(), colour_, depth_}, {},
    Shows("mask_points.size"));
  EXPECT_NO_THROW(Answers(replay.out));  // what it printed is still one YAML document
  EXPECT_NE(replay.err.find("cam_2 ImageCallback cost"), std::string::npos) << replay.err;
  EXPECT_EQ(replay.err.find("no answer"), std::string::npos) << replay.err;
  EXPECT_EQ(replay.err.find("terminate called"), std::string::npos) << replay.err;
  const fs::path sample = fs::path(prefix_.root()) / "slow_sample";
  fs::copy(VELMORA_SAMPLE_DIR, sample, fs::copy_options::recursive);
  const std::string camera = (sample / "config" / "cam2_detect_config.yaml").string();
  YAML::Node config = YAML::LoadFile(camera);
  config["camera_detection_params"]["detect_duration"] = 60000;
  std::ofstream(camera) << config << "\n";
  const std::string log = (sample / "soak.log").string(), poll = "is_camera_2_detect_done_: 0";
  const auto soak = RunChild(
    {VELMORA_SOAK_EXECUTABLE, "--sample", sample.string(), "--passes", "1000", "--call-every",
      "1", "--log", log}, {}, [&](const Child &) {return Lines(ReadText(log), poll).size() >= 5;},
    SIGTERM);
  EXPECT_EQ(soak.out.find("verdict:"), std::string::npos) << soak.out;
  EXPECT_NE(soak.out.find(" passes: no verdict"), std::string::npos) << soak.out;
  // The stall shows in the node's log: every poll names camera 2 as not done,
  // at least 100 ms after the one before, until the shutdown ends the wait.
  const std::string said = ReadText(log);
  const auto polls = Stamps(said, poll);
  for (std::size_t i = 1; i < polls.size(); ++i) {
    EXPECT_GE(polls[i] - polls[i - 1], 0.099) << "poll " << i;
  }
  EXPECT_EQ(Lines(said, "waiting detect to complete................").size(), polls.size());
  EXPECT_NE(said.find("shutting down while waiting for cameras"), std::string::npos) << said;
  const std::tuple<Child, int, std::string> runs[] = {
    {replay, SIGINT, "velmoraplus_trash_pose_replay: interrupted by SIGINT"},
    {soak, SIGTERM, "velmoraplus_trash_pose_soak: interrupted by SIGTERM after "}};
  for (const auto & [child, signal_number, says] : runs) {
    SCOPED_TRACE(says);
    ASSERT_TRUE(child.signalled && !child.hung) << child.out << child.err;
    EXPECT_EQ(child.signal, 0);
    EXPECT_EQ(child.status, 128 + signal_number) << child.err;
    const auto lines = Lines(child.out + child.err, says.substr(0, says.find(':') + 1));
    ASSERT_EQ(lines.size(), 1U) << child.out << child.err;
    EXPECT_EQ(lines[0].find(says), 0U) << lines[0];
  }
}

}  // namespace
}  // namespace velmora_test
