#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "drivers/common/include/motors_info.h"
#include "drivers/humanoid_robot/include/humanoid_robot.h"

namespace tovak::device::test {

inline XmlNode parseXml(const std::string& text) {
  std::istringstream in(text);
  return XmlNode(in);
}

// Wires the motors and builds the robot the way the factory does.
inline std::unique_ptr<HumanoidRobot<14>> makeRobot(const std::string& xml = R"(<Humanoid id="body"/>)",
                                                    bool init = true) {
  const XmlNode cfg = parseXml(xml);
  MotorsInfo::getInstance()->init(cfg);
  auto robot = std::make_unique<HumanoidRobot<14>>(cfg);
  if (init) robot->init();
  return robot;
}

// Polls `pred` every 5 ms until it holds or `timeout` passes.
inline bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

inline JointState stateOf(AbstractRobot& robot, const std::string& name) {
  std::vector<JointState> states;
  robot.getJointsState(states);
  for (const auto& s : states)
    if (s.name == name) return s;
  ADD_FAILURE() << "no state for joint " << name;
  return {};
}

// Expects `f` to throw a std::exception whose text contains every one of `parts`.
template <class F, class Parts = std::initializer_list<std::string>>
void expectRefused(F&& f, const Parts& parts) {
  try {
    f();
    ADD_FAILURE() << "accepted; expected a refusal mentioning " << *parts.begin();
  } catch (const std::exception& e) {
    for (const auto& p : parts) EXPECT_NE(std::string(e.what()).find(p), std::string::npos) << e.what();
  }
}

}  // namespace tovak::device::test
