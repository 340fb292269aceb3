#include "drivers/uvc_camera/include/uvc_camera.h"

namespace tovak::device {

namespace {
sim::CameraTraits uvcTraits() {
  sim::CameraTraits t;
  t.has_depth = false;
  t.device_setting = true;
  t.default_hfov = 60.0;
  return t;
}

sim::CameraSettings fromRecord(const tovak::config::UVCCameraConfig& c, sim::CameraSettings s) {
  if (c.width() != 0) s.width = c.width();
  if (c.height() != 0) s.height = c.height();
  if (c.fps() != 0) s.fps = c.fps();
  if (c.gop() != 0) s.gop = c.gop();
  s.device = c.device();
  return s;
}
}  // namespace

UVCCamera::UVCCamera(const XmlNode& cfg) : SimulatedCamera(cfg, uvcTraits()) {}

UVCCamera::UVCCamera(const tovak::config::UVCCameraConfig& cfg)
    : SimulatedCamera(cfg.id(), uvcTraits(), fromRecord(cfg, defaults(uvcTraits()))) {}

}  // namespace tovak::device
