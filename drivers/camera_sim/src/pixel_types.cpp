#include "drivers/camera_sim/include/pixel_types.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "drivers/camera_sim/include/depth_video.h"

namespace tovak::device::sim {

namespace {
const std::vector<std::pair<std::string, int>>& table() {
  static const std::vector<std::pair<std::string, int>> t = {
      {"CV_8UC1", CV_8UC1},   {"CV_8UC3", CV_8UC3},   {"CV_16UC1", CV_16UC1}, {"CV_16UC3", CV_16UC3},
      {"CV_16FC1", CV_16FC1}, {"CV_32FC1", CV_32FC1}, {"CV_32SC1", CV_32SC1}, {"CV_64FC1", CV_64FC1}};
  return t;
}

cv::Mat toChannels(const cv::Mat& one, int channels) {
  if (channels == 1) return one;
  cv::Mat out;
  cv::merge(std::vector<cv::Mat>(channels, one), out);
  return out;
}
}  // namespace

const char* acceptedPixelTypeNames() {
  return "native, CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3, CV_16FC1, CV_32FC1, CV_32SC1, CV_64FC1";
}

int parsePixelType(const std::string& name) {
  if (name == "native") return -1;
  for (const auto& [n, t] : table()) {
    if (n == name) return t;
  }
  throw std::invalid_argument("pixel type '" + name + "' is not one of " + acceptedPixelTypeNames());
}

std::string pixelTypeName(int type) {
  for (const auto& [n, t] : table()) {
    if (t == type) return n;
  }
  return "type " + std::to_string(type);
}

cv::Mat convertColor(const cv::Mat& bgr, int type) {
  const int depth = CV_MAT_DEPTH(type);
  const double scale = depth == CV_16U ? 257.0 : (depth == CV_16F || depth == CV_32F || depth == CV_64F) ? 1.0 / 255 : 1.0;
  cv::Mat src = bgr;
  if (CV_MAT_CN(type) == 1) cv::cvtColor(bgr, src, cv::COLOR_BGR2GRAY);
  cv::Mat out;
  if (depth == CV_16F) {  // convertTo reaches half floats through 32-bit floats
    cv::Mat f;
    src.convertTo(f, CV_32F, scale);
    f.convertTo(out, CV_16F);
  } else {
    src.convertTo(out, depth, scale);
  }
  return out;
}

cv::Mat convertDepth(const cv::Mat& depth_mm, int type) {
  const int depth = CV_MAT_DEPTH(type);
  cv::Mat out;
  if (depth == CV_8U) {
    out = depthToLuma(depth_mm);
  } else if (depth == CV_16F) {
    cv::Mat f;
    depth_mm.convertTo(f, CV_32F, 0.001);
    f.convertTo(out, CV_16F);
  } else if (depth == CV_32F || depth == CV_64F) {
    depth_mm.convertTo(out, depth, 0.001);
  } else {
    depth_mm.convertTo(out, depth);
  }
  return toChannels(out, CV_MAT_CN(type));
}

}  // namespace tovak::device::sim
