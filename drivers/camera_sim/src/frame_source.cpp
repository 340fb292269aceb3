#include "drivers/camera_sim/include/frame_source.h"

#include <sys/stat.h>

#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace tovak::device::sim {

namespace {
cv::Mat toBgr(const cv::Mat& m) {
  if (m.type() == CV_8UC3) return m.isContinuous() ? m : m.clone();
  cv::Mat out;
  if (m.channels() == 1)
    cv::cvtColor(m, out, cv::COLOR_GRAY2BGR);
  else if (m.channels() == 4)
    cv::cvtColor(m, out, cv::COLOR_BGRA2BGR);
  else
    throw std::runtime_error("unexpected capture format");
  return out;
}
}  // namespace

V4l2Source::V4l2Source(const std::string& who, const std::string& device, int width, int height, int fps)
    : who_(who), device_(device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) {
    throw std::runtime_error(who + ": V4L2 device " + device + " does not exist");
  }
  if (!cap_.open(device, cv::CAP_V4L2)) {
    throw std::runtime_error(who + ": cannot open V4L2 device " + device);
  }
  cap_.set(cv::CAP_PROP_FRAME_WIDTH, width);
  cap_.set(cv::CAP_PROP_FRAME_HEIGHT, height);
  cap_.set(cv::CAP_PROP_FPS, fps);
  cv::Mat frame;
  if (!cap_.read(frame) || frame.empty()) {
    throw std::runtime_error(who + ": V4L2 device " + device + " delivers no frames");
  }
  first_ = toBgr(frame);
  // H.264 in 4:2:0 needs even sizes: an odd edge row or column is dropped.
  w_ = first_.cols & ~1;
  h_ = first_.rows & ~1;
}

void V4l2Source::grab(double, cv::Mat& color, cv::Mat* depth_mm) {
  cv::Mat frame;
  if (!first_.empty()) {
    frame = first_;
    first_.release();
  } else if (!cap_.read(frame) || frame.empty()) {
    throw std::runtime_error(who_ + ": V4L2 device " + device_ + " stopped delivering frames");
  }
  cv::Mat bgr = toBgr(frame);
  color = (bgr.cols == w_ && bgr.rows == h_) ? bgr : bgr(cv::Rect(0, 0, w_, h_)).clone();
  if (depth_mm) depth_mm->release();
}

}  // namespace tovak::device::sim
