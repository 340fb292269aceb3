#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/utils/xml_parser/xml_parser.h"
#include "devices/canbus/abstract_canbus.h"
#include "devices/motor/motor_manager.h"
#include "drivers/common/include/sim_canbus.h"
#include "drivers/common/include/sim_motor.h"

namespace tovak {

// Process-wide motor and CAN wiring of the humanoid: per joint group (left
// arm, right arm, waist, head) the motor elements, a CAN bus and an enabled
// flag, plus one MotorManager holding every joint's motor.
//
// The built-in layout (defaultLayout()) has 18 joints on 4 buses; a `Motors`
// child of the robot element may override it per joint:
//
//   <Humanoid id="humanoid">
//     <Motors>
//       <LeftArm enabled="true">
//         <Motor joint="L_ELBOW_P" node="4" min="-2.0" max="0.1" max_vel="2.5"/>
//       </LeftArm>
//       <Head enabled="false"/>
//     </Motors>
//   </Humanoid>
//
// Group elements: LeftArm, RightArm, Waist, Head (attribute `enabled`,
// default true). A Motor names a joint of its group and may set node (1..127,
// unique), min/max [rad], max_vel [rad/s], max_acc [rad/s²] and the simulated
// motor's model (inertia, damping, kp, kd, max_torque, gravity, rest). Joints
// not named keep their defaults. Anything else is refused with
// std::invalid_argument naming the robot, the element and the value.
class MotorsInfo {
 public:
  enum Group { LEFT_ARM = 0, RIGHT_ARM = 1, WAIST = 2, HEAD = 3 };
  static constexpr int kGroups = 4;

  struct JointWiring {
    std::string name;
    Group group = LEFT_ARM;
    uint8_t node = 0;
    double min_q = 0.0;    // rad
    double max_q = 0.0;    // rad
    double max_qd = 0.0;   // rad/s
    double max_qdd = 0.0;  // rad/s²
  };

  // Everything a robot needs, captured at once so a later re-wiring does not
  // change a running robot under its feet.
  struct Wiring {
    std::shared_ptr<tovak::device::MotorManager> manager;
    std::array<std::shared_ptr<tovak::device::SimCanbus>, kGroups> buses;
    std::array<bool, kGroups> enabled{};
    std::vector<JointWiring> joints;  // groups in order, each in wiring order
  };

  static const std::vector<JointWiring>& defaultLayout();
  // "left_arm", "right_arm", "waist", "head".
  static const char* groupName(Group group);

  static std::shared_ptr<MotorsInfo> getInstance();

  // Wires the motors from the robot element (its `Motors` child, or the
  // built-in layout). Calling it again re-wires from scratch; robots built
  // before keep the wiring they captured. On an exception the previous
  // wiring stays.
  void init(const XmlNode& robot_cfg);

  // Measured position of every joint, by joint name (empty before init).
  std::unordered_map<std::string, double> getJointsQ();
  std::shared_ptr<tovak::device::MotorManager> getMotorManager();
  // Joint names of a group, in wiring order.
  std::vector<std::string> groupJoints(Group group);
  std::shared_ptr<tovak::device::AbstractCanbus> canbus(Group group);
  std::vector<XmlNode> motorConfigs(Group group);
  bool enabled(Group group);
  bool wired();
  Wiring wiring();

 private:
  MotorsInfo() = default;

  struct GroupWiring {
    std::vector<XmlNode> motor_cfgs;
    std::vector<std::string> joints;
    std::shared_ptr<tovak::device::SimCanbus> canbus;
    bool enabled = false;
  };

  std::mutex mtx_;
  GroupWiring groups_[kGroups];
  std::vector<JointWiring> joints_;
  std::shared_ptr<tovak::device::MotorManager> motor_manager_;
};

}  // namespace tovak
