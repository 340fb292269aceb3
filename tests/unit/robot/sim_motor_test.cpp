// The simulated CAN bus and motor: frames travel both ways and the joint
// behaves like a driven (or undriven) inertia.
#include <gtest/gtest.h>

#include <cmath>

#include "drivers/common/include/sim_canbus.h"
#include "drivers/common/include/sim_motor.h"

namespace tovak::device {
namespace {

struct Wire : ::testing::Test {
  void SetUp() override {
    bus = std::make_shared<SimCanbus>(XmlNode(), "test");
    bus->start();
    motor = SimMotor::create(XmlNode(), 5, "J", bus);
    motor->setLimitQ(-2.0, 2.0);
  }
  // Runs the motor side for `seconds`, then hands its feedback to the controller side.
  void run(double seconds) {
    for (double t = 0; t < seconds; t += 0.004) motor->advance(0.004);
    motor->update();
    std::vector<CanFrame> frames;
    int32_t n = 0;
    ASSERT_EQ(bus->receive(&frames, &n), tovak::msgs::OK);
    for (const auto& f : frames) motor->handleFeedback(f);
  }
  std::shared_ptr<SimCanbus> bus;
  std::shared_ptr<SimMotor> motor;
};

TEST_F(Wire, PositionSetpointFrameDrivesJointAndFeedbackComesBack) {
  motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  motor->set(1.2, 0.0);
  run(0.05);
  const double early = motor->getQ();
  EXPECT_GT(early, 0.0);
  EXPECT_LT(early, 1.2);
  run(2.0);
  EXPECT_NEAR(motor->getQ(), 1.2, 1e-4);
  EXPECT_NEAR(motor->getQ(), motor->trueQ(), 1e-6);  // float32 on the wire
  EXPECT_TRUE(motor->reachedTargetQ());
  const auto fb = motor->feedback();
  EXPECT_TRUE(fb.power_on);
  EXPECT_TRUE(fb.ready);
  EXPECT_EQ(fb.mode, tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  EXPECT_NEAR(fb.voltage, 48.0, 0.5);
  EXPECT_GT(fb.temperature, 29.0);
}

TEST_F(Wire, SetpointsBeyondTheHardStopsAreHeldAtTheStop) {
  motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  motor->set(5.0, 0.0);
  run(2.0);
  EXPECT_NEAR(motor->getQ(), 2.0, 1e-6);
}

TEST_F(Wire, DriveOffJointSagsToRestAndKeepsReporting) {
  motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  motor->set(1.0, 0.0);
  run(2.0);
  ASSERT_NEAR(motor->getQ(), 1.0, 1e-3);
  motor->torqueOff();
  run(0.2);
  const double falling = motor->getQ();
  EXPECT_LT(falling, 0.99);
  EXPECT_LT(motor->getQd(), 0.0);
  EXPECT_FALSE(motor->feedback().power_on);
  run(6.0);
  EXPECT_NEAR(motor->getQ(), 0.0, 0.02);
  EXPECT_NEAR(motor->getQd(), 0.0, 0.02);
  // Switching the drive back on holds the joint where it is (no jump to the old set-point).
  motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  run(0.5);
  EXPECT_NEAR(motor->getQ(), 0.0, 0.02);
}

TEST_F(Wire, BrakeStopsAtOnceAndHolds) {
  motor->setMode(tovak::msgs::RUN_MODE_VELOCITY);
  motor->setQd(1.0);
  run(0.5);
  ASSERT_GT(motor->getQd(), 0.5);
  motor->brake();
  const double at = motor->trueQ();
  run(0.5);
  EXPECT_NEAR(motor->getQ(), at, 1e-9);
  EXPECT_EQ(motor->getQd(), 0.0);
  EXPECT_TRUE(motor->feedback().brake);
}

TEST_F(Wire, OverTemperatureFaultsTheDrive) {
  motor->setMode(tovak::msgs::RUN_MODE_CYCLIC_SYNC_POSITION);
  motor->setTemperature(90.0);
  run(0.01);
  const auto fb = motor->feedback();
  EXPECT_TRUE(fb.fault);
  EXPECT_FALSE(fb.ready);
  EXPECT_FALSE(fb.power_on);
}

TEST_F(Wire, UnsupportedRunModeIsRefusedNamingIt) {
  try {
    motor->setMode(tovak::msgs::RUN_MODE_TORQUE);
    FAIL() << "accepted torque mode";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("RUN_MODE_TORQUE"), std::string::npos) << e.what();
  }
}

TEST(SimCanbus, ReportsErrorsThroughItsCodes) {
  SimCanbus bus(XmlNode(), "b");
  std::vector<CanFrame> frames(2);
  int32_t n = 2;
  EXPECT_EQ(bus.send(frames, &n), tovak::msgs::CAN_CLIENT_ERROR_SEND_FAILED);  // not started
  EXPECT_EQ(n, 0);
  bus.start();
  n = 3;
  EXPECT_EQ(bus.send(frames, &n), tovak::msgs::CAN_CLIENT_ERROR_FRAME_NUM);
  frames[1].len = 9;
  n = 2;
  EXPECT_EQ(bus.send(frames, &n), tovak::msgs::CAN_CLIENT_ERROR_SEND_FAILED);
  EXPECT_EQ(n, 1);
  EXPECT_NE(bus.getErrorString(tovak::msgs::CAN_CLIENT_ERROR_FRAME_NUM).find("canbus b"), std::string::npos);
}

TEST(SimCanbus, FullReceiveQueueDropsTheOldestFrames) {
  SimCanbus bus(XmlNode(), "b");
  bus.start();
  for (uint32_t i = 0; i < SimCanbus::kRxCapacity + 10; ++i) {
    CanFrame f;
    f.id = 0x180 | 1;
    f.len = 4;
    f.data[0] = static_cast<uint8_t>(i & 0xFF);
    f.data[1] = static_cast<uint8_t>(i >> 8);
    bus.post(f);
  }
  std::vector<CanFrame> got;
  int32_t n = 5;
  ASSERT_EQ(bus.receive(&got, &n), tovak::msgs::OK);
  ASSERT_EQ(n, 5);
  EXPECT_EQ(got[0].data[0] | (got[0].data[1] << 8), 10);  // frames 0..9 were dropped
  EXPECT_EQ(bus.stats().dropped, 10u);
  n = 0;
  got.clear();
  ASSERT_EQ(bus.receive(&got, &n), tovak::msgs::OK);
  EXPECT_EQ(static_cast<size_t>(n), SimCanbus::kRxCapacity - 5);
}

}  // namespace
}  // namespace tovak::device
