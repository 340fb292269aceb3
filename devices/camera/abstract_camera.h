#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "devices/abstract_device.h"
#include "devices/state_define.h"

namespace tovak::device {

// Pinhole intrinsics of the image(s) returned with them.
struct Rs2Intrinsics {
  float cx = 0.0f;
  float cy = 0.0f;
  float fx = 0.0f;
  float fy = 0.0f;
  float coeffs[5] = {0, 0, 0, 0, 0};
};

// One encoded frame set handed from a camera to a streaming call.
struct StreamFrameData {
  cv::Mat rgbImage;
  cv::Mat depthImage;
  std::vector<uint8_t> rgbFrame;    // empty: nothing new was delivered
  std::vector<uint8_t> depthFrame;  // empty for a camera without depth
  std::string codec = ".h264";
  Rs2Intrinsics intrinsics;
  int width = 0;
  int height = 0;
  int fps = 0;
  bool bKey = false;
  bool depthKey = false;
};

// A camera. Images are continuous matrices; every operation reports failure
// by throwing. Several threads may call one camera at once.
class AbstractCamera : public AbstractDevice {
 public:
  AbstractCamera() = default;
  explicit AbstractCamera(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractCamera() = default;

  virtual void getRGBImage(cv::Mat& image, Rs2Intrinsics& intrinsics) = 0;
  virtual void getDepthImage(cv::Mat& image, Rs2Intrinsics& intrinsics) = 0;
  virtual void getRGBDImages(cv::Mat& color_image, cv::Mat& depth_image, Rs2Intrinsics& intrinsics) = 0;
  virtual void startRecording(const std::string& path) = 0;
  virtual void stopRecording() = 0;
  virtual void pauseRecording() = 0;
  virtual void resumeRecording() = 0;
  // `index` belongs to the calling stream: 0 before its first call, then
  // passed back untouched. Leaves rgbFrame empty when nothing new is ready.
  virtual void getEncodedFrame(StreamFrameData& frame_data, size_t& index) = 0;
  virtual bool startStreaming() = 0;
  virtual void stopStreaming() = 0;
  virtual Eigen::Vector3f get3DPointFromPixel(int u, int v) = 0;

  // Full copy of the current state. Drivers that change state_ from several
  // threads override lockedState() so this copy is taken under their lock.
  void getState(CameraState& state) { state = lockedState(); }

 protected:
  virtual CameraState lockedState() { return state_; }
  void clear_error_() {
    state_.is_error = false;
    state_.error_message.clear();
  }

  CameraState state_;
};

}  // namespace tovak::device
