#pragma once

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// Parallel gripper. No driver exists for this kind.
class AbstractGripper : public AbstractDevice {
 public:
  explicit AbstractGripper(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractGripper() = default;

  virtual void getState(GripperState& state) { state = state_; }
  virtual void openGripper(float speed) = 0;
  virtual void closeGripper(float speed) = 0;
  virtual void setPosition(float position, float speed) = 0;
  virtual void setForce(float force) = 0;

 protected:
  GripperState state_;
};

}  // namespace tovak::device
