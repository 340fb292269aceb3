// The simulated humanoid driver, called directly (no gRPC in between, so
// ThreadSanitizer sees every access).
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <cmath>
#include <thread>

#include "drivers/humanoid_robot/include/humanoid_kinematics.h"
#include "tests/unit/robot/robot_fixture.h"

namespace tovak::device::test {
namespace {

using namespace std::chrono_literals;

tovak::msgs::Pose3d pose(double x, double y, double z, double rx, double ry, double rz) {
  tovak::msgs::Pose3d p;
  p.mutable_position()->set_x(x);
  p.mutable_position()->set_y(y);
  p.mutable_position()->set_z(z);
  p.mutable_euler()->set_rx(rx);
  p.mutable_euler()->set_ry(ry);
  p.mutable_euler()->set_rz(rz);
  return p;
}

// A bent left arm, away from the straight-arm singularity.
std::vector<JointPoint> bentLeftArm() {
  return {{"L_SHOULDER_P", -0.6, 0}, {"L_SHOULDER_R", 0.3, 0}, {"L_SHOULDER_Y", 0.2, 0}, {"L_ELBOW_P", -1.2, 0},
          {"L_WRIST_Y", 0.1, 0},     {"L_WRIST_P", 0.3, 0},    {"L_WRIST_R", -0.2, 0}};
}

bool atTargets(AbstractRobot& robot, const std::vector<JointPoint>& pts, double tol) {
  const auto q = robot.getJointQ();
  for (const auto& p : pts)
    if (std::fabs(q.at(p.joint_name) - p.rad) > tol) return false;
  return true;
}

struct Robot : ::testing::Test {
  void SetUp() override { robot = makeRobot(); }
  void moveAndWait(std::vector<JointPoint> pts, double vel = 2.0, double acc = 10.0) {
    robot->moveJ(pts, vel, acc);
    // Done when every set-point has arrived and the joints have caught up.
    ASSERT_TRUE(waitFor([&] {
      for (const auto& p : pts) {
        const auto s = stateOf(*robot, p.joint_name);
        if (s.target_velocity != 0.0 || s.target_position != p.rad || std::fabs(s.velocity) > 1e-3) return false;
      }
      return atTargets(*robot, pts, 2e-3);
    }, 8s));
  }
  std::unique_ptr<HumanoidRobot<14>> robot;
};

TEST_F(Robot, ReportsEveryJointFromTheMotors) {
  EXPECT_EQ(robot->getDOF(), 14);
  const auto names = robot->getJointNames();
  ASSERT_EQ(names.size(), 18u);
  ASSERT_TRUE(waitFor([&] { return stateOf(*robot, "WAIST_P").is_ready; }));
  std::vector<JointState> states;
  robot->getJointsState(states);
  ASSERT_EQ(states.size(), names.size());
  for (size_t i = 0; i < states.size(); ++i) {
    EXPECT_EQ(states[i].name, names[i]);
    EXPECT_TRUE(states[i].is_ready) << names[i];
    EXPECT_TRUE(states[i].power_on) << names[i];
    EXPECT_NEAR(states[i].voltage, 48.0, 1.0) << names[i];
    EXPECT_GT(states[i].temperature, 25.0) << names[i];
    EXPECT_GT(states[i].target_feedback_gain, 0) << names[i];
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "WAIST_Y"), names.end());
  const auto links = robot->getLinkNames();
  for (const char* l : {"PELVIS_S", "L_HAND", "R_HAND", "HEAD", "TORSO"})
    EXPECT_NE(std::find(links.begin(), links.end(), l), links.end()) << l;
  const auto stats = robot->loopStats();
  EXPECT_GT(stats.ticks, 0u);
}

TEST_F(Robot, MoveJReturnsAtOnceMovesInTimeAndConverges) {
  std::vector<JointPoint> pts = {{"L_ELBOW_P", -1.5, 0}, {"HEAD_Y", 0.5, 1.0}, {"WAIST_Y", -0.3, 0}};
  robot->moveJ(pts, 1.5, 5.0);
  // Returned while the motion (about 1.3 s) had hardly begun.
  EXPECT_GT(std::fabs(robot->getJointQ().at("L_ELBOW_P") + 1.5), 0.3);
  // On the way the motors report motion, with current and torque.
  double max_v = 0, max_current = 0;
  ASSERT_TRUE(waitFor([&] {
    const auto s = stateOf(*robot, "L_ELBOW_P");
    max_v = std::max(max_v, std::fabs(s.velocity));
    max_current = std::max(max_current, std::fabs(s.current));
    return std::fabs(s.position + 1.5) < 1e-3 && std::fabs(s.velocity) < 1e-3;
  }, 5s));
  EXPECT_GT(max_v, 0.5);
  EXPECT_LE(max_v, 1.5 * 1.1);
  EXPECT_GT(max_current, 0.2);
  EXPECT_TRUE(waitFor([&] { return atTargets(*robot, pts, 1e-3); }));
  // A joint not named held still.
  EXPECT_NEAR(robot->getJointQ().at("R_ELBOW_P"), 0.0, 1e-3);
}

TEST_F(Robot, NewMoveJTakesOverSmoothly) {
  std::vector<JointPoint> first = {{"L_SHOULDER_P", -2.0, 0}};
  robot->moveJ(first, 1.0, 4.0);
  ASSERT_TRUE(waitFor([&] { return stateOf(*robot, "L_SHOULDER_P").target_velocity < -0.8; }));
  std::vector<JointPoint> back = {{"L_SHOULDER_P", 0.5, 0}};
  robot->moveJ(back, 1.0, 4.0);
  // The set-point decelerates through zero instead of jumping: consecutive
  // readings never change velocity faster than the acceleration allows.
  double prev_v = stateOf(*robot, "L_SHOULDER_P").target_velocity;
  auto prev_t = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(10ms);
    const double v = stateOf(*robot, "L_SHOULDER_P").target_velocity;
    const auto t = std::chrono::steady_clock::now();
    const double dt = std::chrono::duration<double>(t - prev_t).count();
    // One control tick may integrate up to 50 ms at once on a loaded machine.
    EXPECT_LE(std::fabs(v - prev_v), 4.0 * (dt + 0.06) + 1e-6);
    prev_v = v;
    prev_t = t;
  }
  EXPECT_TRUE(waitFor([&] { return atTargets(*robot, back, 2e-3); }));
}

TEST_F(Robot, MoveJRefusesBadInputBeforeAnythingMoves) {
  struct Case {
    std::vector<JointPoint> pts;
    double vel, acc;
    std::vector<std::string> parts;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {{{"L_ELBOW_P", -1.0, 0}, {"NOPE", 0.1, 0}}, 1.0, 1.0, {"unknown joint 'NOPE'"}},
      {{{"L_ELBOW_P", 0.5, 0}}, 1.0, 1.0, {"L_ELBOW_P", "0.5", "[-2.5, 0.1]"}},
      {{{"WAIST_P", -0.4, 0}}, 1.0, 1.0, {"WAIST_P", "[-0.3, 0.6]"}},
      {{{"L_ELBOW_P", nan, 0}}, 1.0, 1.0, {"L_ELBOW_P", "nan"}},
      {{{"L_ELBOW_P", -1.0, -1.0}}, 1.0, 1.0, {"L_ELBOW_P", "-1"}},
      {{{"L_ELBOW_P", -1.0, 9.0}}, 1.0, 1.0, {"L_ELBOW_P", "limit 3"}},
      {{{"L_ELBOW_P", -1.0, 0}}, 0.0, 1.0, {"L_ELBOW_P", "no velocity"}},
      {{{"L_ELBOW_P", -1.0, 0}}, 1.0, 0.0, {"acceleration 0"}},
      {{{"L_ELBOW_P", -1.0, 0}}, 1.0, nan, {"acceleration nan"}},
      {{{"L_ELBOW_P", -1.0, 0}, {"L_ELBOW_P", -0.5, 0}}, 1.0, 1.0, {"L_ELBOW_P", "twice"}},
      {{}, 1.0, 1.0, {"no joint"}},
  };
  for (const auto& c : cases) {
    auto pts = c.pts;
    expectRefused([&] { robot->moveJ(pts, c.vel, c.acc); }, c.parts);
  }
  // The valid first point of the refused commands never started.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(stateOf(*robot, "L_ELBOW_P").target_position, 0.0);
}

TEST_F(Robot, LimitsScaleShrinksTheAcceptedRange) {
  robot->updateParams({"limits_scale", "0.5"});
  std::vector<JointPoint> pts = {{"L_ELBOW_P", -2.0, 0}};
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {"L_ELBOW_P", "[-1.25, 0.05]"});
  expectRefused([&] { robot->updateParams({"limits_scale", "2"}); }, {"limits_scale", "'2'"});
  expectRefused([&] { robot->updateParams({"rate_hz", "fast"}); }, {"rate_hz", "not a number"});
  expectRefused([&] { robot->updateParams({"deadman_ms", "5"}); }, {"deadman_ms", "out of range"});
  expectRefused([&] { robot->updateParams({"tool_frame", "PAW"}); }, {"tool_frame", "PAW"});
  expectRefused([&] { robot->updateParams({"speed", "1"}); }, {"no parameter speed"});
}

TEST_F(Robot, FkAndMoveLRoundTrip) {
  moveAndWait(bentLeftArm());
  const auto start = robot->fk("PELVIS_S", "L_HAND");
  // Quaternion and Euler agree.
  const Eigen::Quaterniond q(start.quaternion().w(), start.quaternion().x(), start.quaternion().y(),
                             start.quaternion().z());
  EXPECT_TRUE(q.toRotationMatrix().isApprox(
      rotationFromEuler(start.euler().rx(), start.euler().ry(), start.euler().rz()), 1e-9));

  const double gx = start.position().x() + 0.05, gy = start.position().y() - 0.04, gz = start.position().z() + 0.06;
  const double grz = start.euler().rz() + 0.2;
  robot->moveL("PELVIS_S", "L_HAND", pose(gx, gy, gz, start.euler().rx(), start.euler().ry(), grz), 0.1, 0.5);
  // Straight line: every sampled hand position stays near the segment.
  const Eigen::Vector3d a(start.position().x(), start.position().y(), start.position().z()), b(gx, gy, gz);
  double worst = 0;
  bool moved = false;
  ASSERT_TRUE(waitFor([&] {
    const auto p = robot->fk("PELVIS_S", "L_HAND");
    const Eigen::Vector3d x(p.position().x(), p.position().y(), p.position().z());
    const double s = std::clamp((x - a).dot(b - a) / (b - a).squaredNorm(), 0.0, 1.0);
    worst = std::max(worst, (x - (a + s * (b - a))).norm());
    moved = moved || s > 0.1;
    return (x - b).norm() < 1e-3 && std::fabs(stateOf(*robot, "L_ELBOW_P").velocity) < 1e-3;
  }, 8s));
  EXPECT_TRUE(moved);
  EXPECT_LT(worst, 0.005);
  const auto end = robot->fk("PELVIS_S", "L_HAND");
  EXPECT_NEAR(end.position().x(), gx, 1e-3);
  EXPECT_NEAR(end.position().y(), gy, 1e-3);
  EXPECT_NEAR(end.position().z(), gz, 1e-3);
  EXPECT_NEAR(end.euler().rz(), grz, 1e-2);
  EXPECT_NEAR(end.euler().rx(), start.euler().rx(), 1e-2);
  // The right hand did not move.
  EXPECT_NEAR(robot->getJointQ().at("R_SHOULDER_P"), 0.0, 1e-3);
}

TEST_F(Robot, MoveLAndFkRefuseWhatTheyCannotDo) {
  moveAndWait(bentLeftArm());
  // Nothing moves: every set-point stays where it was.
  auto setpoints = [&] {
    std::vector<JointState> s;
    robot->getJointsState(s);
    std::map<std::string, double> out;
    for (const auto& j : s) out[j.name] = j.target_position;
    return out;
  };
  const auto before = setpoints();
  expectRefused([&] { robot->moveL("PELVIS_S", "L_HAND", pose(1.5, 0.2, 0.3, 0, 0, 0), 0.1, 0.5); },
                {"out of reach", "L_HAND"});
  expectRefused([&] { robot->moveL("PELVIS_S", "L_PAW", pose(0.3, 0.2, 0.3, 0, 0, 0), 0.1, 0.5); },
                {"unknown link 'L_PAW'"});
  expectRefused([&] { robot->moveL("PELVIS_S", "TORSO", pose(0, 0, 0.2, 0, 0, 0), 0.1, 0.5); }, {"waist"});
  expectRefused([&] { robot->moveL("PELVIS_S", "L_HAND", pose(0.3, 0.2, 0.1, 0, 0, 0), 0.0, 0.5); },
                {"velocity 0"});
  expectRefused([&] { robot->moveL("PELVIS_S", "L_HAND", pose(0.3, std::nan(""), 0.1, 0, 0, 0), 0.1, 0.5); },
                {"target y"});
  expectRefused([&] { robot->fk("PELVIS_S", "NOSE"); }, {"'NOSE'"});
  expectRefused([&] { robot->fk("BELLY", "NOSE"); }, {"'BELLY'", "'NOSE'"});
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(setpoints(), before);
}

TEST_F(Robot, JogRunsWhileRepeatedAndStopsWithinTheDeadmanWindow) {
  std::string joint = "HEAD_Y";
  const auto t_end = std::chrono::steady_clock::now() + 400ms;
  while (std::chrono::steady_clock::now() < t_end) {
    robot->speedJ(joint, FORWARD, 1.0, 10.0);
    std::this_thread::sleep_for(50ms);
  }
  const auto last_call = std::chrono::steady_clock::now();
  const double moving = stateOf(*robot, "HEAD_Y").velocity;
  EXPECT_GT(moving, 0.5);  // still jogging: each call renewed the window
  ASSERT_TRUE(waitFor([&] { return std::fabs(stateOf(*robot, "HEAD_Y").velocity) < 1e-3; }, 2s));
  const double stopped_after = std::chrono::duration<double>(std::chrono::steady_clock::now() - last_call).count();
  // 200 ms window + braking + tracking; loose bound for loaded machines.
  EXPECT_LT(stopped_after, 0.6);
  EXPECT_GT(robot->getJointQ().at("HEAD_Y"), 0.3);
  const double q = robot->getJointQ().at("HEAD_Y");
  std::this_thread::sleep_for(200ms);
  EXPECT_NEAR(robot->getJointQ().at("HEAD_Y"), q, 1e-3);

  expectRefused([&] { robot->speedJ(joint, X_POSITIVE, 1.0, 10.0); }, {"X_POSITIVE", "FORWARD or BACKWARD"});
  expectRefused([&] { robot->speedJ(joint, FORWARD, 50.0, 10.0); }, {"HEAD_Y", "velocity 50"});
  std::string unknown = "TAIL";
  expectRefused([&] { robot->speedJ(unknown, FORWARD, 1.0, 10.0); }, {"unknown joint 'TAIL'"});
}

TEST_F(Robot, JogStopsAtTheJointLimit) {
  robot->updateParams({"deadman_ms", "3000"});
  std::string joint = "HEAD_P";
  robot->speedJ(joint, BACKWARD, 2.0, 15.0);
  ASSERT_TRUE(waitFor([&] { return std::fabs(stateOf(*robot, "HEAD_P").position + 0.5) < 1e-3; }, 3s));
  EXPECT_GE(robot->getJointQ().at("HEAD_P"), -0.5 - 1e-3);
}

TEST_F(Robot, CartesianJogMovesTheToolAlongTheAxisAndStops) {
  moveAndWait(bentLeftArm());
  const auto p0 = robot->fk("PELVIS_S", "L_HAND");
  robot->setToolFrame("L_HAND");
  for (int i = 0; i < 6; ++i) {
    robot->speedL(Z, Z_POSITIVE, 0.1, 1.0);
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(waitFor([&] { return std::fabs(stateOf(*robot, "L_ELBOW_P").velocity) < 1e-3; }, 2s));
  const auto p1 = robot->fk("PELVIS_S", "L_HAND");
  const double dz = p1.position().z() - p0.position().z();
  EXPECT_GT(dz, 0.015);
  EXPECT_LT(dz, 0.06);
  EXPECT_NEAR(p1.position().x(), p0.position().x(), 2e-3);
  EXPECT_NEAR(p1.position().y(), p0.position().y(), 2e-3);

  expectRefused([&] { robot->speedL(X, Y_POSITIVE, 0.1, 1.0); }, {"Y_POSITIVE", "axis X"});
  expectRefused([&] { robot->speedL(RX, X_NEGATIVE, 0.1, 1.0); }, {"X_NEGATIVE", "axis RX"});
  expectRefused([&] { robot->speedL(static_cast<RobotCartesian>(9), FORWARD, 0.1, 1.0); }, {"axis 9"});
  robot->setToolFrame("FLIPPER");
  expectRefused([&] { robot->speedL(X, FORWARD, 0.1, 1.0); }, {"unknown tool frame 'FLIPPER'"});
}

TEST_F(Robot, EmptyToolFrameJogsTheDefaultFrame) {
  moveAndWait(bentLeftArm());
  robot->updateParams({"tool_frame", "L_HAND"});
  robot->setToolFrame("");
  const auto p0 = robot->fk("PELVIS_S", "L_HAND");
  robot->speedL(X, FORWARD, 0.1, 1.0);
  ASSERT_TRUE(waitFor([&] { return robot->fk("PELVIS_S", "L_HAND").position().x() > p0.position().x() + 0.005; }));
}

TEST_F(Robot, TorqueOffLetsTheArmSettleAndRefusesMotion) {
  moveAndWait({{"L_SHOULDER_P", -1.2, 0}});
  robot->torqueOff();
  const std::string text = "torque is off";
  std::vector<JointPoint> pts = {{"L_ELBOW_P", -1.0, 0}};
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {text, "torqueOn"});
  std::string joint = "HEAD_Y";
  expectRefused([&] { robot->speedJ(joint, FORWARD, 1.0, 1.0); }, {text});
  expectRefused([&] { robot->moveL("PELVIS_S", "L_HAND", pose(0.3, 0.2, 0.1, 0, 0, 0), 0.1, 0.5); }, {text});
  // Position feedback continues while the unsupported arm sags towards hanging.
  ASSERT_TRUE(waitFor([&] { return robot->getJointQ().at("L_SHOULDER_P") > -1.0; }, 3s));
  EXPECT_FALSE(stateOf(*robot, "L_SHOULDER_P").power_on);
  ASSERT_TRUE(waitFor([&] { return std::fabs(robot->getJointQ().at("L_SHOULDER_P")) < 0.05; }, 8s));

  robot->torqueOn();
  EXPECT_TRUE(waitFor([&] { return stateOf(*robot, "L_SHOULDER_P").power_on; }));
  robot->moveJ(pts, 1.0, 5.0);
  EXPECT_TRUE(waitFor([&] { return atTargets(*robot, pts, 2e-3); }));
}

TEST_F(Robot, EStopHaltsAtOnceUntilTorqueOn) {
  std::vector<JointPoint> pts = {{"R_SHOULDER_P", -2.5, 0}};
  robot->moveJ(pts, 2.0, 10.0);
  ASSERT_TRUE(waitFor([&] { return robot->getJointQ().at("R_SHOULDER_P") < -0.8; }));
  robot->eStop();
  std::this_thread::sleep_for(60ms);
  const double held = robot->getJointQ().at("R_SHOULDER_P");
  EXPECT_GT(held, -2.0);
  std::this_thread::sleep_for(200ms);
  EXPECT_NEAR(robot->getJointQ().at("R_SHOULDER_P"), held, 1e-4);
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {"emergency-stopped", "torqueOn"});
  RobotState st;
  robot->getState(st);
  EXPECT_TRUE(st.error);
  EXPECT_EQ(st.joint_positions.size(), 18u);
  robot->torqueOn();
  robot->moveJ(pts, 2.0, 10.0);
  EXPECT_TRUE(waitFor([&] { return atTargets(*robot, pts, 2e-3); }));
}

TEST_F(Robot, FaultsAreInjectedThroughParameters) {
  robot->updateParams({"fault", "moveJ:driver exploded"});
  std::vector<JointPoint> pts = {{"HEAD_Y", 0.2, 0}};
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {"driver exploded"});
  robot->moveJ(pts, 1.0, 1.0);  // used up

  ASSERT_TRUE(waitFor([&] { return stateOf(*robot, "HEAD_P").is_ready; }));
  robot->updateParams({"motor_temperature", "HEAD_P:95"});
  ASSERT_TRUE(waitFor([&] { return !stateOf(*robot, "HEAD_P").is_ready; }));
  EXPECT_FALSE(stateOf(*robot, "HEAD_P").power_on);
  RobotState st;
  robot->getState(st);
  EXPECT_TRUE(st.error);
  EXPECT_NE(st.error_msg.find("HEAD_P"), std::string::npos) << st.error_msg;
  expectRefused([&] { robot->updateParams({"motor_temperature", "NECK:95"}); }, {"NECK"});
}

TEST_F(Robot, DisabledGroupIsReportedButCannotMove) {
  robot.reset();
  robot = makeRobot(R"(<Humanoid id="body"><Motors><Head enabled="false"/></Motors></Humanoid>)");
  std::vector<JointPoint> pts = {{"HEAD_Y", 0.2, 0}};
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {"HEAD_Y", "head", "disabled"});
  ASSERT_TRUE(waitFor([&] { return stateOf(*robot, "HEAD_Y").is_ready; }));
  EXPECT_FALSE(stateOf(*robot, "HEAD_Y").power_on);
}

TEST_F(Robot, ConcurrentClientsMoveDifferentJoints) {
  std::atomic<int> failures{0};
  auto client = [&](std::string joint, double target) {
    for (int k = 0; k < 20; ++k) {
      try {
        std::vector<JointPoint> pts = {{joint, (k % 2 ? target : target / 2), 0}};
        robot->moveJ(pts, 2.0, 10.0);
        std::vector<JointState> states;
        robot->getJointsState(states);
        robot->fk("PELVIS_S", "R_HAND");
        robot->setToolFrame("L_HAND");
        std::this_thread::sleep_for(2ms);
      } catch (const std::exception&) {
        ++failures;
      }
    }
    std::vector<JointPoint> last = {{joint, target, 0}};
    robot->moveJ(last, 2.0, 10.0);
  };
  std::thread a(client, "L_ELBOW_P", -1.0), b(client, "R_ELBOW_P", -0.8), c(client, "HEAD_Y", 0.4),
      d([&] {
        std::string j = "WAIST_Y";
        for (int k = 0; k < 20; ++k) {
          robot->speedJ(j, BACKWARD, 0.5, 5.0);
          std::this_thread::sleep_for(5ms);
        }
      });
  a.join();
  b.join();
  c.join();
  d.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(waitFor([&] {
    return atTargets(*robot, {{"L_ELBOW_P", -1.0}, {"R_ELBOW_P", -0.8}, {"HEAD_Y", 0.4}}, 2e-3);
  }));
  EXPECT_LT(robot->getJointQ().at("WAIST_Y"), -0.01);
}

TEST(RobotLifecycle, RefusesMotionBeforeInitAndJoinsWithoutStop) {
  auto robot = makeRobot(R"(<Humanoid id="body"/>)", false);
  std::vector<JointPoint> pts = {{"HEAD_Y", 0.2, 0}};
  expectRefused([&] { robot->moveJ(pts, 1.0, 1.0); }, {"robot body is not initialised"});
  robot->init();
  robot->init();  // idempotent
  robot->moveJ(pts, 1.0, 1.0);
  robot.reset();  // destroyed mid-motion without stop(): the loop thread is joined
  SUCCEED();
}

TEST(RobotSettings, InvalidAttributesAreRefusedNamingTheSetting) {
  const std::pair<const char*, const char*> cases[] = {
      {R"(<Humanoid id="r" rate_hz="100"/>)", "rate_hz"},
      {R"(<Humanoid id="r" deadman_ms="x"/>)", "deadman_ms"},
      {R"(<Humanoid id="r" limits_scale="0"/>)", "limits_scale"},
      {R"(<Humanoid id="r" tool_frame="CLAW"/>)", "CLAW"},
  };
  for (const auto& [xml, part] : cases) {
    expectRefused([&] { makeRobot(xml, false); }, {"robot r", part});
  }
  auto ok = makeRobot(R"(<Humanoid id="r" rate_hz="500" deadman_ms="100" tool_frame="R_HAND"/>)");
  EXPECT_EQ(ok->toolFrame(), "R_HAND");
  EXPECT_TRUE(waitFor([&] { return ok->loopStats().ticks > 50; }));
}

}  // namespace
}  // namespace tovak::device::test
