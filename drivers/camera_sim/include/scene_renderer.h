#pragma once

#include <opencv2/core.hpp>

#include "devices/camera/abstract_camera.h"

namespace tovak::device::sim {

// Pinhole intrinsics of a distortion-free camera of the given size and
// horizontal field of view: fx = fy = width / (2 tan(hfov / 2)),
// cx = (width - 1) / 2, cy = (height - 1) / 2, five zero coefficients.
Rs2Intrinsics pinholeIntrinsics(int width, int height, double hfov_deg);

// A small synthetic room seen by a level camera 0.8 m above the floor: a
// checkered floor, a back wall 6 m away, and three coloured balls that roll
// and bounce between 2.4 m and 4.6 m in front of the camera. Colour and depth
// come from the same ray cast, so they agree pixel for pixel.
//
// Camera coordinates: x right, y down, z forward, metres. Depth is the z
// distance (along the optical axis) in millimetres, as depth cameras report it.
class SceneRenderer {
 public:
  static constexpr double kCameraHeight = 0.8;  // m above the floor
  static constexpr double kWallDistance = 6.0;  // m

  SceneRenderer(int width, int height, const Rs2Intrinsics& intrinsics);

  // Renders the scene at `t` seconds: `color` CV_8UC3 in BGR order and, when
  // `depth_mm` is given, CV_16UC1 millimetres. Both newly allocated.
  void render(double t, cv::Mat& color, cv::Mat* depth_mm) const;

 private:
  int width_;
  int height_;
  Rs2Intrinsics k_;
};

}  // namespace tovak::device::sim
