// The process-wide motor wiring: default layout, overrides, refusals, re-wiring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/unit/robot/robot_fixture.h"

namespace tovak::device::test {
namespace {

using tovak::MotorsInfo;

TEST(MotorsInfo, DefaultLayoutWiresEighteenMotorsOnFourBuses) {
  auto info = MotorsInfo::getInstance();
  info->init(parseXml(R"(<Humanoid id="h"/>)"));
  ASSERT_TRUE(info->wired());
  const auto manager = info->getMotorManager();
  EXPECT_EQ(manager->motorsMap().size(), 18u);
  EXPECT_EQ(info->groupJoints(MotorsInfo::LEFT_ARM).size(), 7u);
  EXPECT_EQ(info->groupJoints(MotorsInfo::RIGHT_ARM).size(), 7u);
  EXPECT_EQ(info->groupJoints(MotorsInfo::WAIST), (std::vector<std::string>{"WAIST_Y", "WAIST_P"}));
  EXPECT_EQ(info->groupJoints(MotorsInfo::HEAD), (std::vector<std::string>{"HEAD_Y", "HEAD_P"}));
  for (int g = 0; g < MotorsInfo::kGroups; ++g) {
    EXPECT_TRUE(info->enabled(static_cast<MotorsInfo::Group>(g)));
    ASSERT_NE(info->canbus(static_cast<MotorsInfo::Group>(g)), nullptr);
  }
  EXPECT_NE(info->canbus(MotorsInfo::LEFT_ARM), info->canbus(MotorsInfo::RIGHT_ARM));
  EXPECT_EQ(manager->getMotor(static_cast<uint8_t>(4))->jointName(), "L_ELBOW_P");
  const auto q = info->getJointsQ();
  EXPECT_EQ(q.size(), 18u);
}

TEST(MotorsInfo, MotorsChildOverridesJointsAndGroups) {
  auto info = MotorsInfo::getInstance();
  info->init(parseXml(R"(<Humanoid id="h"><Motors>
      <LeftArm><Motor joint="L_ELBOW_P" node="40" min="-2.0" max="0.05" max_vel="2.5"/></LeftArm>
      <Head enabled="false"/>
    </Motors></Humanoid>)"));
  EXPECT_FALSE(info->enabled(MotorsInfo::HEAD));
  EXPECT_TRUE(info->enabled(MotorsInfo::LEFT_ARM));
  EXPECT_EQ(info->getMotorManager()->getMotor(static_cast<uint8_t>(40))->jointName(), "L_ELBOW_P");
  EXPECT_EQ(info->getMotorManager()->getMotor(static_cast<uint8_t>(4)), nullptr);
  const auto w = info->wiring();
  const auto it = std::find_if(w.joints.begin(), w.joints.end(), [](auto& s) { return s.name == "L_ELBOW_P"; });
  ASSERT_NE(it, w.joints.end());
  EXPECT_EQ(it->min_q, -2.0);
  EXPECT_EQ(it->max_qd, 2.5);
}

TEST(MotorsInfo, InvalidWiringIsRefusedAndKeepsThePreviousOne) {
  auto info = MotorsInfo::getInstance();
  info->init(parseXml(R"(<Humanoid id="h"/>)"));
  const auto before = info->getMotorManager();
  // A vector, not an initializer_list: a list inside a pair would not outlive
  // the pair's initialisation.
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"(<Humanoid id="h"><Motors><Tail/></Motors></Humanoid>)", {"robot h", "Tail"}},
      {R"(<Humanoid id="h"><Motors><Head><Motor joint="L_ELBOW_P"/></Head></Motors></Humanoid>)",
       {"Head", "L_ELBOW_P", "HEAD_Y"}},
      {R"(<Humanoid id="h"><Motors><Head><Motor joint="HEAD_Y" node="4"/></Head></Motors></Humanoid>)",
       {"node id 4", "twice"}},
      {R"(<Humanoid id="h"><Motors><Head><Motor joint="HEAD_Y" node="200"/></Head></Motors></Humanoid>)",
       {"HEAD_Y", "node", "200"}},
      {R"(<Humanoid id="h"><Motors><Head><Motor joint="HEAD_Y" min="1" max="0.5"/></Head></Motors></Humanoid>)",
       {"HEAD_Y", "min"}},
      {R"(<Humanoid id="h"><Motors><Waist enabled="maybe"/></Motors></Humanoid>)", {"maybe"}},
      {R"(<Humanoid id="h"><Motors><Head><Motor joint="HEAD_Y" kp="lots"/></Head></Motors></Humanoid>)",
       {"HEAD_Y", "kp"}},
  };
  for (const auto& [xml, parts] : cases) {
    expectRefused([&] { info->init(parseXml(xml)); }, parts);
    EXPECT_EQ(info->getMotorManager(), before);
  }
}

TEST(MotorsInfo, ReWiringLeavesARunningRobotOnItsOwnMotors) {
  auto robot = makeRobot();
  const auto old_manager = MotorsInfo::getInstance()->getMotorManager();
  MotorsInfo::getInstance()->init(parseXml(R"(<Humanoid id="other"/>)"));
  ASSERT_NE(MotorsInfo::getInstance()->getMotorManager(), old_manager);
  std::vector<JointPoint> pts = {{"HEAD_Y", 0.3, 0}};
  robot->moveJ(pts, 1.0, 5.0);
  EXPECT_TRUE(waitFor([&] { return std::fabs(robot->getJointQ().at("HEAD_Y") - 0.3) < 2e-3; }));
  EXPECT_NEAR(old_manager->getMotor("HEAD_Y")->getQ(), 0.3, 2e-3);
}

}  // namespace
}  // namespace tovak::device::test
