// The simulated face, driven directly (no gRPC in between, so ThreadSanitizer
// sees every synchronisation).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "drivers/common/include/fault_injector.h"
#include "drivers/head_esp32/include/head_esp32.h"

namespace tovak::device {
namespace {

using Clock = std::chrono::steady_clock;
using F = FacialExpressionState;
using namespace std::chrono_literals;

XmlNode element(const std::string& xml) {
  std::istringstream in(xml);
  return XmlNode(in);
}

std::unique_ptr<BioHeadRobot> makeHead(const std::string& attrs = "") {
  auto head = std::make_unique<BioHeadRobot>(element("<esp32 id=\"face\" " + attrs + "/>"));
  head->init();
  return head;
}

std::size_t indexOf(float F::*field) {
  const auto& a = headActuators();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].field == field) return i;
  }
  throw std::logic_error("no such actuator");
}

std::vector<double> positions(BioHeadRobot& head) {
  RobotState s;
  head.getState(s);
  return s.joint_positions;
}

double position(BioHeadRobot& head, float F::*field) { return positions(head).at(indexOf(field)); }

// Polls until `done` holds or `timeout` passes; true when it held.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3s) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

bool atPose(BioHeadRobot& head, const F& pose) {
  const auto pos = positions(head);
  const auto& a = headActuators();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::abs(pos[i] - pose.*a[i].field) > 1e-5) return false;
  }
  return true;
}

TEST(HeadEsp32, ReportsThirtyTwoActuatorsInRecordOrder) {
  auto head = makeHead();
  RobotState s;
  s.error = true;
  head->getState(s);
  ASSERT_EQ(s.joint_positions.size(), 32u);
  for (double p : s.joint_positions) EXPECT_EQ(p, 0.0);
  EXPECT_FALSE(s.error);
  EXPECT_EQ(s.error_msg, "");
  // The table follows the record field by field.
  const auto& a = headActuators();
  F probe{};
  for (std::size_t i = 0; i < a.size(); ++i) probe.*a[i].field = static_cast<float>(i);
  const float* raw = &probe.left_eyebrow_outside_y;
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(raw[i], static_cast<float>(i)) << a[i].name;
}

TEST(HeadEsp32, PoseReachesItsTargetNoFasterThanTheSpeedLimit) {
  auto head = makeHead("max_speed=\"1\"");
  F pose{};
  pose.left_eyebrow_outside_y = 0.5f;
  pose.right_eye_ball_x = -0.4f;
  pose.jaw_y = 0.3f;
  pose.lower_right_lip_y = -0.2f;

  const auto t0 = Clock::now();
  head->setExpressionPose(pose, 0.0, 0.0);
  bool moved_gradually = false;
  while (!atPose(*head, pose) && Clock::now() - t0 < 3s) {
    const double brow = position(*head, &F::left_eyebrow_outside_y);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_LE(brow, 1.0 * elapsed + 1e-6) << "faster than max_speed";
    if (brow > 0.05 && brow < 0.45) moved_gradually = true;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(atPose(*head, pose));
  EXPECT_TRUE(moved_gradually);
  // The head keeps the accepted pose as its own.
  EXPECT_EQ(head->expression_state_.jaw_y, 0.3f);
}

TEST(HeadEsp32, DurationMovesActuatorsInStep) {
  auto head = makeHead();
  F pose{};
  pose.left_nose_y = 0.2f;
  pose.right_nose_y = 0.8f;
  head->setExpressionPose(pose, 0.6, 0.0);
  // Mid-way both have covered the same share of their distance.
  ASSERT_TRUE(waitFor([&] { return position(*head, &F::right_nose_y) > 0.3; }));
  const auto pos = positions(*head);
  const double left = pos[indexOf(&F::left_nose_y)];
  const double right = pos[indexOf(&F::right_nose_y)];
  ASSERT_LT(right, 0.75) << "sampled after arrival";
  EXPECT_NEAR(left / 0.2, right / 0.8, 0.05);
  EXPECT_TRUE(waitFor([&] { return atPose(*head, pose); }));
}

// An invalid value, through either entry point, is refused with its field and
// range, and the face does not move.
TEST(HeadEsp32, RefusesNonFiniteAndOutOfRangeSetPoints) {
  struct Case {
    float F::*field;
    float value;
    std::string expected;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Case> cases = {
      {&F::left_eyebrow_outside_y, 1.5f, "face: left_eyebrow_outside_y = 1.5 is outside its range [-1, 1]"},
      {&F::lower_right_lip_x, -1.01f, "lower_right_lip_x = -1.01 is outside its range [-1, 1]"},
      {&F::jaw_y, -0.1f, "jaw_y = -0.1 is outside its range [0, 1]"},
      {&F::upper_lip_z, nan, "upper_lip_z = nan is not a finite number (range [-1, 1])"},
      {&F::right_eye_ball_y, -inf, "right_eye_ball_y = -inf is not a finite number (range [-1, 1])"},
  };
  auto head = makeHead();
  for (bool stream : {false, true}) {
    for (const auto& c : cases) {
      F pose{};
      pose.left_nose_y = 0.5f;  // a valid field next to the bad one
      pose.*c.field = c.value;
      try {
        if (stream)
          head->streamFacialPose(pose, 0.0, 0.0);
        else
          head->setExpressionPose(pose, 0.0, 0.0);
        ADD_FAILURE() << "accepted " << c.expected;
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
      }
    }
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(position(*head, &F::left_nose_y), 0.0);
  EXPECT_EQ(head->expression_state_.left_nose_y, 0.0f);
}

TEST(HeadEsp32, RefusesInvalidMotionArguments) {
  auto head = makeHead();
  F pose{};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<double, double>> bad = {{-1.0, 0.0}, {nan, 0.0}, {61.0, 0.0}, {0.0, -2.0}, {0.0, nan}};
  for (const auto& [duration, speed] : bad) {
    EXPECT_THROW(head->setExpressionPose(pose, duration, speed), std::invalid_argument) << duration << " " << speed;
  }
  try {
    head->setExpressionPose(pose, -1.0, 0.0);
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "head face: duration -1 is not valid: expected 0 (speed-limited) or seconds up to 60");
  }
}

TEST(HeadEsp32, MotionBeforeInitIsRefused) {
  BioHeadRobot head(element("<esp32 id=\"face\"/>"));
  F pose{};
  const std::vector<std::function<void()>> calls = {
      [&] { head.setExpressionPose(pose, 0, 0); }, [&] { head.streamFacialPose(pose, 0, 0); },
      [&] { head.expressionHappy(); }, [&] { head.speakstart(); }};
  for (const auto& call : calls) {
    try {
      call();
      ADD_FAILURE() << "accepted before init";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "head face is not initialised");
    }
  }
}

TEST(HeadEsp32, SettingsHaveDefaultsAndRefuseInvalidValues) {
  const HeadSettings defaults = makeHead()->settings();
  EXPECT_EQ(defaults.rate_hz, 100.0);
  EXPECT_EQ(defaults.max_speed, 5.0);
  EXPECT_EQ(defaults.speak_rate_hz, 3.0);
  EXPECT_EQ(defaults.speak_amplitude, 0.4);

  struct Case {
    std::string name, value, expected;
  };
  const std::vector<Case> cases = {
      {"rate_hz", "abc", "head face: setting rate_hz = 'abc' is not valid: expected a number from 10 to 1000"},
      {"rate_hz", "100x", "setting rate_hz = '100x' is not valid"},
      {"rate_hz", "5", "setting rate_hz = '5' is not valid"},
      {"max_speed", "0", "setting max_speed = '0' is not valid: expected a number from 0.01 to 100"},
      {"max_speed", "nan", "setting max_speed = 'nan' is not valid"},
      {"speak_rate_hz", "", "setting speak_rate_hz = '' is not valid: expected a number from 0.5 to 10"},
      {"speak_amplitude", "1.5", "setting speak_amplitude = '1.5' is not valid: expected a number from 0 to 1"},
  };
  for (const auto& c : cases) {
    try {
      BioHeadRobot head(element("<esp32 id=\"face\" " + c.name + "=\"" + c.value + "\"/>"));
      ADD_FAILURE() << "constructor accepted " << c.name << "=" << c.value;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
    auto head = makeHead();
    try {
      head->updateParams({c.name, c.value});
      ADD_FAILURE() << "updateParams accepted " << c.name << "=" << c.value;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
    EXPECT_EQ(head->settings().rate_hz, defaults.rate_hz);
  }

  auto head = makeHead("rate_hz=\"50\" speak_amplitude=\"0.8\"");
  EXPECT_EQ(head->settings().rate_hz, 50.0);
  EXPECT_EQ(head->settings().speak_amplitude, 0.8);
  head->updateParams({"max_speed", "2.5"});
  EXPECT_EQ(head->settings().max_speed, 2.5);
  EXPECT_THROW(head->updateParams({"volume", "3"}), std::runtime_error);
}

TEST(HeadEsp32, InjectedFaultFailsTheNamedOperationOnce) {
  auto head = makeHead();
  head->updateParams({"fault", "expressionHappy:servo 7 jammed"});
  try {
    head->expressionHappy();
    ADD_FAILURE() << "fault not raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "servo 7 jammed");
  }
  EXPECT_NO_THROW(head->expressionHappy());
  head->updateParams({"fault", "getState:!nonstd"});
  RobotState s;
  EXPECT_THROW(head->getState(s), NonStandardFault);
}

TEST(HeadEsp32, EmergencyStopFreezesEveryActuatorUntilTheNextCommand) {
  auto head = makeHead("max_speed=\"0.5\"");
  head->speakstart();
  F pose{};
  pose.left_eyebrow_inside_y = 1.0f;
  head->setExpressionPose(pose, 0.0, 0.0);
  ASSERT_TRUE(waitFor([&] { return position(*head, &F::left_eyebrow_inside_y) > 0.1; }));

  head->eStop();
  EXPECT_TRUE(head->emergency_stop_requested);
  const auto frozen = positions(*head);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(positions(*head), frozen);
  RobotState s;
  head->getState(s);
  EXPECT_TRUE(s.error);
  EXPECT_EQ(s.error_msg, "head face is emergency-stopped: actuators frozen until the next motion command");

  // A stream frame racing with the stop does not move the face.
  F frame{};
  frame.right_nose_y = 0.5f;
  EXPECT_THROW(head->streamFacialPose(frame, 0.0, 0.0), std::runtime_error);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(positions(*head), frozen);

  // A new stream clears the flag; its frames re-arm the head.
  head->emergency_stop_requested = false;
  head->streamFacialPose(frame, 0.0, 0.0);
  EXPECT_TRUE(waitFor([&] { return atPose(*head, frame); }));
  head->getState(s);
  EXPECT_FALSE(s.error);
}

TEST(HeadEsp32, SetExpressionPoseRearmsAfterEmergencyStop) {
  auto head = makeHead();
  head->eStop();
  F pose{};
  pose.jaw_x = -0.3f;
  head->setExpressionPose(pose, 0.0, 0.0);
  EXPECT_TRUE(waitFor([&] { return atPose(*head, pose); }));
  RobotState s;
  head->getState(s);
  EXPECT_FALSE(s.error);
}

TEST(HeadEsp32, SpeakingMovesJawAndLipsUntilStopped) {
  auto head = makeHead("speak_amplitude=\"0.5\" speak_rate_hz=\"4\"");
  F pose{};
  pose.left_eye_ball_x = 0.3f;
  head->setExpressionPose(pose, 0.0, 0.0);
  ASSERT_TRUE(waitFor([&] { return atPose(*head, pose); }));

  head->speakstart();
  double jaw_min = 1.0, jaw_max = 0.0, lower_lip_max = -1.0;
  std::this_thread::sleep_for(300ms);  // past the first opening
  const auto end = Clock::now() + 600ms;
  while (Clock::now() < end) {
    const auto p = positions(*head);
    jaw_min = std::min(jaw_min, p[indexOf(&F::jaw_y)]);
    jaw_max = std::max(jaw_max, p[indexOf(&F::jaw_y)]);
    lower_lip_max = std::max(lower_lip_max, p[indexOf(&F::lower_lip_y)]);
    EXPECT_NEAR(p[indexOf(&F::left_eye_ball_x)], 0.3, 1e-6) << "speaking moved an eye";
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_GT(jaw_max, 0.4);
  EXPECT_LE(jaw_max, 0.5 + 1e-6);
  EXPECT_LT(jaw_min, 0.1);
  EXPECT_LE(lower_lip_max, 1e-6);

  head->speakstop();
  EXPECT_TRUE(waitFor([&] { return atPose(*head, pose); }, 1s));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(atPose(*head, pose)) << "the mouth kept moving after speakstop";
  EXPECT_NO_THROW(head->speakstop());
}

// Each built-in expression reaches its last step's pose, keeps the actuators
// it does not name at the commanded pose, and returns to that pose after its
// documented length.
class HeadExpression : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HeadExpression, PlaysItsStepsAndReturnsToTheCommandedPose) {
  const auto& expr = BioHeadRobot::expressions().at(GetParam());
  auto head = makeHead("max_speed=\"20\"");
  F base{};
  base.left_eye_ball_x = 0.25f;
  base.jaw_x = -0.2f;
  head->setExpressionPose(base, 0.0, 0.0);
  ASSERT_TRUE(waitFor([&] { return atPose(*head, base); }));

  const std::vector<std::function<void()>> play = {
      [&] { head->expressionHappy(); },    [&] { head->expressionSurprised(); }, [&] { head->expressionTired(); },
      [&] { head->expressionAngry(); },    [&] { head->expressionSadness(); },   [&] { head->expressionYawn(); }};
  const auto t0 = Clock::now();
  play.at(GetParam())();

  double until_last_hold = 0.0;
  for (const auto& s : expr.steps) until_last_hold += s.move_s + s.hold_s;
  const auto& last = expr.steps.back();
  const double total = until_last_hold + expr.return_s;

  // Middle of the last hold.
  std::this_thread::sleep_until(t0 + std::chrono::duration<double>(until_last_hold - last.hold_s / 2));
  const auto during = positions(*head);
  for (const auto& [field, value] : last.moves) EXPECT_NEAR(during[indexOf(field)], value, 1e-5) << expr.name;
  EXPECT_NEAR(during[indexOf(&F::left_eye_ball_x)], 0.25, 1e-6) << expr.name;
  EXPECT_NEAR(during[indexOf(&F::jaw_x)], -0.2, 1e-6) << expr.name;
  EXPECT_LT(Clock::now() - t0, std::chrono::duration<double>(until_last_hold)) << "sampled too late to judge";

  std::this_thread::sleep_until(t0 + std::chrono::duration<double>(total + 0.3));
  EXPECT_TRUE(atPose(*head, base)) << expr.name;
}

INSTANTIATE_TEST_SUITE_P(Builtin, HeadExpression, ::testing::Range<std::size_t>(0, 6),
                         [](const auto& info) { return std::string(BioHeadRobot::expressions()[info.param].name); });

TEST(HeadEsp32, ANewPoseCancelsARunningExpression) {
  auto head = makeHead("max_speed=\"20\"");
  head->expressionSurprised();
  ASSERT_TRUE(waitFor([&] { return position(*head, &F::jaw_y) > 0.3; }));
  F pose{};
  pose.left_nose_y = -0.5f;
  head->setExpressionPose(pose, 0.0, 0.0);
  EXPECT_TRUE(waitFor([&] { return atPose(*head, pose); }));
}

// Every public operation at once, plus a caller that writes expression_state_
// under the head's lock the way the service does.
TEST(HeadEsp32, ConcurrentCallersAreSafe) {
  auto head = makeHead("rate_hz=\"500\"");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    float v = 0.0f;
    while (!stop) {
      auto lock = head->lockExpression();
      head->expression_state_.left_nose_y = v;
      head->setExpressionPose(head->expression_state_, 0.0, 0.0);
      v = v > 0.9f ? -0.9f : v + 0.1f;
    }
  });
  threads.emplace_back([&] {
    F frame{};
    while (!stop) {
      frame.jaw_y = frame.jaw_y > 0.9f ? 0.0f : frame.jaw_y + 0.05f;
      head->emergency_stop_requested = false;
      try {
        head->streamFacialPose(frame, 0.0, 0.0);
      } catch (const std::runtime_error&) {
        // An eStop from the other thread got in between.
      }
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      head->expressionYawn();
      head->speakstart();
      std::this_thread::sleep_for(2ms);
      head->speakstop();
      head->eStop();
      head->stop();
    }
  });
  threads.emplace_back([&] {
    int i = 0;
    while (!stop) {
      head->updateParams({"max_speed", (i++ % 2) ? "3" : "7"});
      RobotState s;
      head->getState(s);
      ASSERT_EQ(s.joint_positions.size(), 32u);
      const auto& a = headActuators();
      for (std::size_t k = 0; k < a.size(); ++k) {
        ASSERT_GE(s.joint_positions[k], a[k].min - 1e-6) << a[k].name;
        ASSERT_LE(s.joint_positions[k], a[k].max + 1e-6) << a[k].name;
      }
    }
  });
  std::this_thread::sleep_for(500ms);
  stop = true;
  for (auto& t : threads) t.join();
  // Destroyed while it may still be moving: the destructor joins the thread.
  head->speakstart();
  head.reset();
}

}  // namespace
}  // namespace tovak::device
