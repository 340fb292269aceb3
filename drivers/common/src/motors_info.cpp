#include "drivers/common/include/motors_info.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "drivers/common/include/number_setting.h"

namespace tovak {

using tovak::device::SimCanbus;
using tovak::device::SimMotor;

const std::vector<MotorsInfo::JointWiring>& MotorsInfo::defaultLayout() {
  // Ranges are the joints' mechanical travel from the arm-hanging, head-level
  // zero pose; signs follow the right-hand rule about each joint's axis.
  static const std::vector<JointWiring> layout = {
      {"L_SHOULDER_P", LEFT_ARM, 1, -3.0, 1.0, 3.0, 20.0},
      {"L_SHOULDER_R", LEFT_ARM, 2, -0.2, 2.8, 3.0, 20.0},
      {"L_SHOULDER_Y", LEFT_ARM, 3, -2.5, 2.5, 3.0, 20.0},
      {"L_ELBOW_P", LEFT_ARM, 4, -2.5, 0.1, 3.0, 20.0},
      {"L_WRIST_Y", LEFT_ARM, 5, -2.8, 2.8, 4.0, 20.0},
      {"L_WRIST_P", LEFT_ARM, 6, -1.2, 1.2, 4.0, 20.0},
      {"L_WRIST_R", LEFT_ARM, 7, -1.5, 1.5, 4.0, 20.0},
      {"R_SHOULDER_P", RIGHT_ARM, 8, -3.0, 1.0, 3.0, 20.0},
      {"R_SHOULDER_R", RIGHT_ARM, 9, -2.8, 0.2, 3.0, 20.0},
      {"R_SHOULDER_Y", RIGHT_ARM, 10, -2.5, 2.5, 3.0, 20.0},
      {"R_ELBOW_P", RIGHT_ARM, 11, -2.5, 0.1, 3.0, 20.0},
      {"R_WRIST_Y", RIGHT_ARM, 12, -2.8, 2.8, 4.0, 20.0},
      {"R_WRIST_P", RIGHT_ARM, 13, -1.2, 1.2, 4.0, 20.0},
      {"R_WRIST_R", RIGHT_ARM, 14, -1.5, 1.5, 4.0, 20.0},
      {"WAIST_Y", WAIST, 15, -1.0, 1.0, 1.5, 8.0},
      {"WAIST_P", WAIST, 16, -0.3, 0.6, 1.5, 8.0},
      {"HEAD_Y", HEAD, 17, -1.3, 1.3, 2.0, 15.0},
      {"HEAD_P", HEAD, 18, -0.5, 0.7, 2.0, 15.0},
  };
  return layout;
}

const char* MotorsInfo::groupName(Group group) {
  static const char* names[kGroups] = {"left_arm", "right_arm", "waist", "head"};
  return names[group];
}

std::shared_ptr<MotorsInfo> MotorsInfo::getInstance() {
  static std::shared_ptr<MotorsInfo> instance(new MotorsInfo());
  return instance;
}

void MotorsInfo::init(const XmlNode& robot_cfg) {
  const std::string owner = "robot " + robot_cfg.getAttrString("id");
  static const char* group_elements[kGroups] = {"LeftArm", "RightArm", "Waist", "Head"};

  std::vector<JointWiring> specs = defaultLayout();
  std::vector<XmlNode> motor_cfg(specs.size());
  std::array<bool, kGroups> enabled{true, true, true, true};

  if (robot_cfg.hasChild("Motors")) {
    const XmlNode motors = robot_cfg.getChild("Motors");
    for (const XmlNode& group_el : motors.getChildren()) {
      const std::string gname = group_el.getNodeName();
      if (gname.empty()) continue;  // text between elements
      const auto* g = std::find_if(std::begin(group_elements), std::end(group_elements),
                                   [&](const char* n) { return gname == n; });
      if (g == std::end(group_elements)) {
        throw std::invalid_argument(owner + ": Motors: unknown group element " + gname +
                                    " (accepted: LeftArm, RightArm, Waist, Head)");
      }
      const auto group = static_cast<Group>(g - std::begin(group_elements));
      const std::string en = group_el.getAttrDefault("enabled", "true");
      if (en != "true" && en != "false") {
        throw std::invalid_argument(owner + ": Motors: " + gname + " enabled = '" + en +
                                    "' (accepted: true, false)");
      }
      enabled[group] = en == "true";
      for (const XmlNode& m : group_el.getChildren()) {
        const std::string mname = m.getNodeName();
        if (mname.empty()) continue;
        if (mname != "Motor") {
          throw std::invalid_argument(owner + ": Motors: " + gname + " holds unknown element " + mname +
                                      " (accepted: Motor)");
        }
        const std::string joint = m.getAttrString("joint");
        auto it = std::find_if(specs.begin(), specs.end(),
                               [&](const JointWiring& s) { return s.name == joint && s.group == group; });
        if (it == specs.end()) {
          std::string names;
          for (const auto& s : specs)
            if (s.group == group) names += (names.empty() ? "" : ", ") + s.name;
          throw std::invalid_argument(owner + ": Motors: " + gname + " has no joint '" + joint +
                                      "' (accepted: " + names + ")");
        }
        const std::string who = owner + " joint " + joint;
        it->node = static_cast<uint8_t>(device::numberAttr(m, who, "node", it->node, 1, 127));
        it->min_q = device::numberAttr(m, who, "min", it->min_q, -6.3, 6.3);
        it->max_q = device::numberAttr(m, who, "max", it->max_q, -6.3, 6.3);
        it->max_qd = device::numberAttr(m, who, "max_vel", it->max_qd, 0.01, 20.0);
        it->max_qdd = device::numberAttr(m, who, "max_acc", it->max_qdd, 0.01, 200.0);
        if (it->min_q >= it->max_q) {
          throw std::invalid_argument(who + ": min " + std::to_string(it->min_q) + " must be below max " +
                                      std::to_string(it->max_q));
        }
        motor_cfg[static_cast<size_t>(it - specs.begin())] = m;
      }
    }
  }
  std::set<int> nodes;
  for (const auto& s : specs) {
    if (!nodes.insert(s.node).second) {
      throw std::invalid_argument(owner + ": Motors: node id " + std::to_string(s.node) + " of joint " + s.name +
                                  " is used twice");
    }
  }

  // Build everything before publishing it, so a failure leaves the old wiring.
  GroupWiring groups[kGroups];
  auto manager = std::make_shared<device::MotorManager>();
  for (int g = 0; g < kGroups; ++g) {
    groups[g].canbus = std::make_shared<SimCanbus>(robot_cfg, groupName(static_cast<Group>(g)));
    groups[g].canbus->init();
    groups[g].canbus->start();
    groups[g].enabled = enabled[static_cast<size_t>(g)];
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    const auto& s = specs[i];
    auto& gw = groups[s.group];
    const double start = std::clamp(0.0, s.min_q, s.max_q);
    auto motor = SimMotor::create(motor_cfg[i], s.node, s.name, gw.canbus, start);
    motor->setLimitQ(s.min_q, s.max_q);
    motor->setLimitQd(s.max_qd);
    manager->addMotor(motor);
    gw.motor_cfgs.push_back(motor_cfg[i]);
    gw.joints.push_back(s.name);
  }

  std::lock_guard<std::mutex> lk(mtx_);
  for (int g = 0; g < kGroups; ++g) groups_[g] = std::move(groups[g]);
  joints_ = std::move(specs);
  motor_manager_ = std::move(manager);
}

std::unordered_map<std::string, double> MotorsInfo::getJointsQ() {
  std::shared_ptr<device::MotorManager> manager = getMotorManager();
  std::unordered_map<std::string, double> q;
  if (!manager) return q;
  for (const auto& [name, motor] : manager->motorsMap()) q[name] = motor->getQ();
  return q;
}

std::shared_ptr<tovak::device::MotorManager> MotorsInfo::getMotorManager() {
  std::lock_guard<std::mutex> lk(mtx_);
  return motor_manager_;
}

std::vector<std::string> MotorsInfo::groupJoints(Group group) {
  std::lock_guard<std::mutex> lk(mtx_);
  return groups_[group].joints;
}

std::shared_ptr<tovak::device::AbstractCanbus> MotorsInfo::canbus(Group group) {
  std::lock_guard<std::mutex> lk(mtx_);
  return groups_[group].canbus;
}

std::vector<XmlNode> MotorsInfo::motorConfigs(Group group) {
  std::lock_guard<std::mutex> lk(mtx_);
  return groups_[group].motor_cfgs;
}

bool MotorsInfo::enabled(Group group) {
  std::lock_guard<std::mutex> lk(mtx_);
  return groups_[group].enabled;
}

bool MotorsInfo::wired() {
  std::lock_guard<std::mutex> lk(mtx_);
  return motor_manager_ != nullptr;
}

MotorsInfo::Wiring MotorsInfo::wiring() {
  std::lock_guard<std::mutex> lk(mtx_);
  Wiring w;
  w.manager = motor_manager_;
  for (int g = 0; g < kGroups; ++g) {
    w.buses[static_cast<size_t>(g)] = groups_[g].canbus;
    w.enabled[static_cast<size_t>(g)] = groups_[g].enabled;
  }
  w.joints = joints_;
  return w;
}

}  // namespace tovak
