#pragma once

// Conversions between the camera's records and the camera messages, in one
// place for the unary calls and the streams.

#include <cstring>
#include <stdexcept>

#include <glog/logging.h>
#include <opencv2/core.hpp>

#include "devices/camera/abstract_camera.h"
#include "tovak/api/camera_command.pb.h"

namespace tovak::service {

// Which pixel types an image call accepts.
enum class ImageTable {
  kColor,         // GetRGBImage: CV_8UC1, CV_8UC3, CV_16UC3
  kRgbdColor,     // colour image of GetRGBDImages: CV_8UC3, CV_16UC3
  kDepth,         // GetDepthImage: CV_8UC1, CV_16UC1, CV_16FC1, CV_32FC1
  kDepthLenient,  // depth image of GetRGBDImages: as kDepth, but any other type is sent with type unset
};

inline constexpr const char* kUnsupportedImageType = "unsupported image type";

// The FrameType of an OpenCV type in `table`; false when the table rejects it.
inline bool classifyImageType(int cv_type, ImageTable table, tovak::api::FrameData::FrameType& out) {
  using FD = tovak::api::FrameData;
  const bool color = table == ImageTable::kColor;
  const bool rgbd_color = table == ImageTable::kRgbdColor;
  const bool depth = table == ImageTable::kDepth || table == ImageTable::kDepthLenient;
  switch (cv_type) {
    case CV_8UC1:
      out = FD::U8C1;
      return color || depth;
    case CV_16UC1:
      out = FD::U16C1;
      return depth;
    case CV_8UC3:
      out = FD::U8C3;
      return color || rgbd_color;
    case CV_16UC3:
      out = FD::U16C3;
      return color || rgbd_color;
    case CV_16FC1:
      out = FD::F16C1;
      return depth;
    case CV_32FC1:
      out = FD::F32C1;
      return depth;
    default:
      return false;
  }
}

// Image -> FrameData: type from `table` (throws "unsupported image type",
// logged at ERROR, when the table rejects it), the element bytes row after row,
// the size, codec "none".
inline void imageToFrameData(const cv::Mat& image, ImageTable table, tovak::api::FrameData* frame) {
  tovak::api::FrameData::FrameType type{};
  if (!classifyImageType(image.type(), table, type)) {
    if (table != ImageTable::kDepthLenient) {
      LOG(ERROR) << kUnsupportedImageType;
      throw std::runtime_error(kUnsupportedImageType);
    }
  } else {
    frame->set_type(type);
  }
  const size_t row_bytes = image.cols * image.elemSize();
  std::string* data = frame->mutable_data();
  data->resize(row_bytes * image.rows);
  if (image.isContinuous()) {
    if (!data->empty()) std::memcpy(data->data(), image.data, data->size());
  } else {
    // Drivers deliver continuous images; a strided one is packed here so
    // the bytes are what a continuous one would have given.
    for (int r = 0; r < image.rows; ++r) std::memcpy(data->data() + r * row_bytes, image.ptr(r), row_bytes);
  }
  frame->set_height(image.rows);
  frame->set_width(image.cols);
  frame->set_codec("none");
}

// As imageToFrameData, into a new message: a refused image then leaves the
// response without the frame (assign the result only once it exists).
inline tovak::api::FrameData toFrameData(const cv::Mat& image, ImageTable table) {
  tovak::api::FrameData frame;
  imageToFrameData(image, table, &frame);
  return frame;
}

// cx, cy, fx, fy and always exactly five coefficients.
inline void copyIntrinsics(const tovak::device::Rs2Intrinsics& k, tovak::api::CameraIntrinsics* out) {
  out->set_cx(k.cx);
  out->set_cy(k.cy);
  out->set_fx(k.fx);
  out->set_fy(k.fy);
  out->clear_coeffs();
  for (float c : k.coeffs) out->add_coeffs(c);
}

inline void copyCameraState(const tovak::device::CameraState& s, tovak::api::CameraState* out) {
  out->set_is_initialized(s.is_initialized);
  out->set_is_opened(s.is_opened);
  out->set_is_streaming(s.is_streaming);
  out->set_is_recording(s.is_recording);
  out->set_is_error(s.is_error);
  out->set_error_message(s.error_message);
  out->set_fps(s.fps);
  out->set_width(s.width);
  out->set_height(s.height);
}

}  // namespace tovak::service
