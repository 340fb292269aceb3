#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace tovak::device::sim {

// Pixel types a camera can be told to deliver from its single-image calls
// (the parameters color_pixel_type and depth_pixel_type), by OpenCV name:
// CV_8UC1, CV_8UC3, CV_16UC1, CV_16UC3, CV_16FC1, CV_32FC1, CV_32SC1, CV_64FC1.
// "native" (returned as -1) restores the camera's own type.
// Throws std::invalid_argument listing the accepted names.
int parsePixelType(const std::string& name);
std::string pixelTypeName(int type);
const char* acceptedPixelTypeNames();

// Colour image (CV_8UC3, BGR) in another pixel type: one-channel types hold
// grey levels; 16-bit integers scale 0..255 to 0..65535; floats hold 0..1.
cv::Mat convertColor(const cv::Mat& bgr, int type);

// Depth image (CV_16UC1, mm) in another pixel type: floats hold metres,
// CV_8U holds mm / 32 (as in the depth stream), other integers millimetres;
// three-channel types repeat the value in each channel.
cv::Mat convertDepth(const cv::Mat& depth_mm, int type);

}  // namespace tovak::device::sim
