#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "drivers/camera_sim/include/scene_renderer.h"

namespace tovak::device::sim {

// Where a camera's frames come from.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // True when grab() waits for the device's own frame clock; otherwise the
  // caller paces the calls.
  virtual bool paced() const = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // The frame at `t` seconds after start: colour CV_8UC3 (BGR); depth
  // CV_16UC1 in mm when `depth_mm` is given. Throws when the device fails.
  virtual void grab(double t, cv::Mat& color, cv::Mat* depth_mm) = 0;
};

// The synthetic scene.
class SceneSource : public FrameSource {
 public:
  SceneSource(int width, int height, const Rs2Intrinsics& k) : w_(width), h_(height), renderer_(width, height, k) {}
  bool paced() const override { return false; }
  int width() const override { return w_; }
  int height() const override { return h_; }
  void grab(double t, cv::Mat& color, cv::Mat* depth_mm) override { renderer_.render(t, color, depth_mm); }

 private:
  int w_;
  int h_;
  SceneRenderer renderer_;
};

// A V4L2 device through OpenCV videoio. The constructor opens it and asks
// for the size and rate; the device may choose another size (width()/height()
// report what it delivers). Colour only.
class V4l2Source : public FrameSource {
 public:
  V4l2Source(const std::string& who, const std::string& device, int width, int height, int fps);
  bool paced() const override { return true; }
  int width() const override { return w_; }
  int height() const override { return h_; }
  void grab(double t, cv::Mat& color, cv::Mat* depth_mm) override;

 private:
  std::string who_;
  std::string device_;
  cv::VideoCapture cap_;
  cv::Mat first_;
  int w_ = 0;
  int h_ = 0;
};

}  // namespace tovak::device::sim
