#pragma once

#include <opencv2/core.hpp>

namespace tovak::device::sim {

// How depth travels in the H.264 depth stream: the luma plane carries
//   Y = round(depth_mm / 32), saturated to 0..255 (chroma is a flat 128),
// so a client recovers depth_mm ~= 32 * Y from the decoded Y plane (read the
// plane directly; a YUV-to-RGB conversion would rescale it). 0 means "no
// depth"; the range ends at 255 * 32 = 8160 mm, farther points read 8160.
// Rounding costs at most 16 mm; coding adds a little (measured in the README).
inline constexpr int kDepthMmPerLevel = 32;

// CV_16UC1 millimetres -> CV_8UC1 luma.
inline cv::Mat depthToLuma(const cv::Mat& depth_mm) {
  cv::Mat luma;
  depth_mm.convertTo(luma, CV_8U, 1.0 / kDepthMmPerLevel);
  return luma;
}

// CV_8UC1 luma -> CV_16UC1 millimetres (the client's side).
inline cv::Mat lumaToDepth(const cv::Mat& luma) {
  cv::Mat depth;
  luma.convertTo(depth, CV_16U, kDepthMmPerLevel);
  return depth;
}

}  // namespace tovak::device::sim
