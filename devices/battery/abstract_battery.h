#pragma once

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// Battery. No driver exists for this kind.
class AbstractBattery : public AbstractDevice {
 public:
  explicit AbstractBattery(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractBattery() = default;

  virtual void getState(BatteryState& state) { state = state_; }

 protected:
  BatteryState state_;
};

}  // namespace tovak::device
