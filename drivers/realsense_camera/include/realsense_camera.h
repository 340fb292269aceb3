#pragma once

#include "drivers/camera_sim/include/simulated_camera.h"
#include "tovak/config/camera_config/camera_config.pb.h"

namespace tovak::device {

// Simulated RealSense depth camera: colour (CV_8UC3, BGR) and aligned depth
// (CV_16UC1, millimetres along the optical axis) rendered from the same
// synthetic scene, so they agree pixel for pixel and share one set of
// intrinsics. get3DPointFromPixel deprojects through them (metres).
// Settings (attribute, record field and updateParams parameter): width 640,
// height 480, fps 30, gop 30, hfov 69 degrees, serial "" (informational).
class RealsenseCamera : public sim::SimulatedCamera {
 public:
  explicit RealsenseCamera(const XmlNode& cfg);
  explicit RealsenseCamera(const tovak::config::RealSenseCameraConfig& cfg);
  ~RealsenseCamera() override = default;
};

}  // namespace tovak::device
