#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/robot/abstract_robot.h"

namespace tovak::device {

class HumanoidBody;

// Simulated humanoid body: two 7-joint arms (N = 14 arm joints), a 2-joint
// waist and a 2-joint head, each joint a simulated motor on its group's
// simulated CAN bus (MotorsInfo). A control loop on the driver's own thread
// (rate_hz, default 250 Hz) turns the motion commands into set-points, sends
// them over the buses and reads the motors' feedback back; everything the
// driver reports comes from that feedback. See the README, "Humanoid robot".
//
// Settings (attributes of the robot element and updateParams parameters):
//   rate_hz       control-loop rate, 200..1000 Hz, default 250
//   deadman_ms    jog dead-man window, 20..5000 ms, default 200
//   limits_scale  joint position ranges become [min·s, max·s], 0.1..1, default 1
//   tool_frame    link jogged by speedL when the tool frame is empty, default L_HAND
//   fault         "<operation>:<text>" makes the next <operation> throw <text>
//   motor_temperature  "<joint>:<°C>" sets a motor's winding temperature
//                 (above 85 °C its drive faults and switches off)
template <int N>
class HumanoidRobot : public AbstractRobot {
  static_assert(N == 14, "the kinematic model has two 7-joint arms");

 public:
  explicit HumanoidRobot(const XmlNode& cfg);
  ~HumanoidRobot() override;
  HumanoidRobot(const HumanoidRobot&) = delete;
  HumanoidRobot& operator=(const HumanoidRobot&) = delete;

  using AbstractRobot::getJointQ;
  using AbstractRobot::getState;
  using AbstractRobot::moveJ;
  using AbstractRobot::moveL;
  using AbstractRobot::torqueOff;
  using AbstractRobot::torqueOn;

  // Starts the control loop with torque on, holding the start pose. Idempotent.
  void init() override;
  // As init() when not yet initialised.
  void start() override;
  // Brings every joint to a smooth stop; later commands are accepted. Idempotent.
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  // 14: the arm joints the driver is built for (the body has 18 joints).
  int getDOF() override;
  // Every joint: left arm, right arm, waist, head.
  std::vector<std::string> getJointNames() override;
  std::unordered_map<std::string, double> getJointQ() override;
  void getJointQ(std::unordered_map<std::string, double>& q) override;
  std::vector<std::string> getLinkNames() override;
  void getJointsState(std::vector<JointState>& states) override;
  void getState(RobotState& state) override;
  tovak::math::Pose3d getTransform(std::string& from, std::string& to) override;
  void torqueOn() override;
  void torqueOff() override;
  void eStop() override;
  void moveJ(std::vector<JointPoint>& points, double vel, double acc) override;
  void moveL(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
             double acc) override;
  void speedJ(std::string& joint, RobotJointIndexDirection dir, double vel, double acc) override;
  void speedL(RobotCartesian axis, RobotJointIndexDirection dir, double vel, double acc) override;
  tovak::msgs::Pose3d fk(const std::string& base, const std::string& link) override;
  std::vector<double> ik(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose) override;

  struct LoopStats {
    uint64_t ticks = 0;
    double measured_rate_hz = 0.0;  // ticks per second since init
    double mean_tick_ms = 0.0;      // work per tick (planning, CAN, physics)
    double max_tick_ms = 0.0;
  };
  LoopStats loopStats();

 private:
  std::unique_ptr<HumanoidBody> body_;
};

extern template class HumanoidRobot<14>;

}  // namespace tovak::device
