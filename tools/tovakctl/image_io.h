#pragma once

// Raw images of the camera service as OpenCV matrices and files.

#include <opencv2/core.hpp>

#include <string>

#include "tovak/api/camera_command.pb.h"

namespace tovakctl {

// "U8C3 (8-bit, 3 channels)".
std::string frameTypeText(tovak::api::FrameData::FrameType t);
int bytesPerPixel(tovak::api::FrameData::FrameType t);

// Wraps a raw frame as a matrix (a copy). The byte count must match
// width x height x bytes per pixel; otherwise CallFailed.
cv::Mat toMat(const tovak::api::FrameData& f);

// Writes the matrix to `path` in the format its extension names. 8- and
// 16-bit images go out as they are (PNG keeps 16 bits); float images need a
// format that holds floats (.tiff, .exr, .pfm). Colour bytes are written in
// the order the camera sent them, which OpenCV reads as B, G, R; swap_rb
// exchanges the first and third channel for cameras that send R, G, B.
void writeImage(const std::string& path, const cv::Mat& m, bool swap_rb);

// "depth.png" -> "depth-depth.png": the second file of a colour+depth pair.
std::string siblingPath(const std::string& path, const std::string& tag);

}  // namespace tovakctl
