#include "drivers/realsense_camera/include/realsense_camera.h"

namespace tovak::device {

namespace {
sim::CameraTraits realsenseTraits() {
  sim::CameraTraits t;
  t.has_depth = true;
  t.serial_setting = true;
  t.default_hfov = 69.0;
  return t;
}

sim::CameraSettings fromRecord(const tovak::config::RealSenseCameraConfig& c, sim::CameraSettings s) {
  if (c.width() != 0) s.width = c.width();
  if (c.height() != 0) s.height = c.height();
  if (c.fps() != 0) s.fps = c.fps();
  if (c.gop() != 0) s.gop = c.gop();
  s.serial = c.serial();
  return s;
}
}  // namespace

RealsenseCamera::RealsenseCamera(const XmlNode& cfg) : SimulatedCamera(cfg, realsenseTraits()) {}

RealsenseCamera::RealsenseCamera(const tovak::config::RealSenseCameraConfig& cfg)
    : SimulatedCamera(cfg.id(), realsenseTraits(), fromRecord(cfg, defaults(realsenseTraits()))) {}

}  // namespace tovak::device
