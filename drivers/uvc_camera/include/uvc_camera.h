#pragma once

#include "drivers/camera_sim/include/simulated_camera.h"
#include "tovak/config/camera_config/camera_config.pb.h"

namespace tovak::device {

// Simulated UVC colour camera: colour images (CV_8UC3, BGR) of the synthetic
// scene, or of a real V4L2 device when the `device` setting names one; no
// depth (the depth calls are refused). Settings (attribute, record field and
// updateParams parameter): width 640, height 480, fps 30, gop 30, hfov 60
// degrees, device "" (empty = synthetic scene).
class UVCCamera : public sim::SimulatedCamera {
 public:
  explicit UVCCamera(const XmlNode& cfg);
  explicit UVCCamera(const tovak::config::UVCCameraConfig& cfg);
  ~UVCCamera() override = default;
};

}  // namespace tovak::device
