#pragma once

#include <string>

#include "devices/abstract_device.h"
#include "devices/state_define.h"
#include "utils/math/include/geometry.h"

namespace tovak::device {

// Mobile base. No driver exists for this kind; the interface is kept for
// drivers compiled against it.
class AbstractAGV : public AbstractDevice {
 public:
  explicit AbstractAGV(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractAGV() = default;

  virtual void getState(AGVState& state) { state = state_; }
  virtual void eStop() = 0;
  virtual void goHome() = 0;
  virtual void moveto(tovak::math::Pose2d& target, double velocity) = 0;
  virtual void setVelocity(tovak::math::Vec3 linear, tovak::math::Vec3 angular) = 0;
  virtual void initMap(float resolution, int width, int height) = 0;
  virtual void updateMap() = 0;
  virtual void saveMap(const std::string& path) = 0;
  virtual void loadMap(const std::string& path) = 0;

 protected:
  AGVState state_;
};

}  // namespace tovak::device
