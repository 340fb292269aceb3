#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/camera/abstract_camera.h"
#include "drivers/camera_sim/include/frame_source.h"
#include "drivers/camera_sim/include/h264_encoder.h"
#include "drivers/camera_sim/include/video_recorder.h"
#include "drivers/common/include/fault_injector.h"

namespace tovak::device::sim {

// What tells the two simulated camera models apart.
struct CameraTraits {
  bool has_depth = false;      // delivers aligned depth (CV_16UC1, mm)
  bool device_setting = false; // accepts `device` (a V4L2 path to capture from)
  bool serial_setting = false; // accepts `serial` (kept, not used by the simulation)
  double default_hfov = 60.0;  // degrees
};

// Settings, each an XML attribute, a configuration-record field and an
// updateParams parameter of the same name.
struct CameraSettings {
  int width = 640;     // pixels, even, 16..3840
  int height = 480;    // pixels, even, 16..2160
  int fps = 30;        // frames per second, 1..120
  int gop = 30;        // key frame interval of the encoders, frames, 1..1000
  double hfov = 60.0;  // horizontal field of view, degrees, 20..150
  std::string device;  // UVC: V4L2 device to capture from; empty = the synthetic scene
  std::string serial;  // RealSense: serial number (informational)
};

// The engine of both simulated cameras.
//
// start() opens the frame source (the synthetic scene, or a V4L2 device) and
// starts one source thread that produces a frame set every 1/fps seconds. The
// single-image calls return copies of the newest frame set. While at least one
// stream is open (startStreaming/stopStreaming count references), the source
// thread also encodes every frame set to H.264 and keeps the last kRingFrames
// of them; getEncodedFrame hands them out in order, each stream through its
// own `index` (0 = joining; afterwards the number of the next frame it wants).
// A joining stream, or one that fell more than kRingFrames behind, gets a
// freshly forced key frame first. While recording, the source thread also
// feeds the recorder.
//
// Locks, always taken in this order: life_mtx_ (start, stop, recording
// control, setting changes) -> rec_mtx_ (the recorder) -> mtx_ (everything
// the source thread publishes, and state_).
class SimulatedCamera : public AbstractCamera {
 public:
  static constexpr size_t kRingFrames = 16;
  // Longest time getEncodedFrame waits before returning with nothing.
  static constexpr std::chrono::milliseconds kFrameWait{1000};
  // Longest time an image call waits for the first frame after start().
  static constexpr std::chrono::milliseconds kFirstFrameWait{2000};

  ~SimulatedCamera() override;

  void init() override;
  void start() override;
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  void getRGBImage(cv::Mat& image, Rs2Intrinsics& intrinsics) override;
  void getDepthImage(cv::Mat& image, Rs2Intrinsics& intrinsics) override;
  void getRGBDImages(cv::Mat& color_image, cv::Mat& depth_image, Rs2Intrinsics& intrinsics) override;
  void startRecording(const std::string& path) override;
  void stopRecording() override;
  void pauseRecording() override;
  void resumeRecording() override;
  void getEncodedFrame(StreamFrameData& frame_data, size_t& index) override;
  bool startStreaming() override;
  void stopStreaming() override;
  Eigen::Vector3f get3DPointFromPixel(int u, int v) override;

  CameraSettings settings();

 protected:
  // From a device element: the settings are its attributes.
  SimulatedCamera(const XmlNode& cfg, CameraTraits traits);
  // From a configuration record already turned into settings.
  SimulatedCamera(const std::string& id, CameraTraits traits, const CameraSettings& settings);

  CameraState lockedState() override;

  // Default settings of a camera with these traits.
  static CameraSettings defaults(const CameraTraits& traits);

 private:
  struct RawFrame {
    cv::Mat color;
    cv::Mat depth;
    Rs2Intrinsics intrinsics;
  };
  struct EncodedSet {
    uint64_t seq = 0;
    std::vector<uint8_t> rgb;
    std::vector<uint8_t> depth;
    bool rgb_key = false;
    bool depth_key = false;
  };
  enum EmptyImage { kEmptyNone = 0, kEmptyColor = 1, kEmptyDepth = 2 };

  // Parses and checks one setting into `s`; false when `name` is no setting.
  bool applySetting_(CameraSettings& s, const std::string& name, const std::string& value) const;
  void validate_(const CameraSettings& s) const;
  std::string who_() const { return "camera " + id_; }

  void stop_();
  void sourceLoop_();
  void encodeAndPublish_(const RawFrame& raw, uint64_t seq, bool force_key);
  void record_(const cv::Mat& color);

  void requireOpen_() const;  // under mtx_
  void requireDepth_() const;
  void refreshState_();       // under mtx_
  std::shared_ptr<const RawFrame> latestFrame_();
  cv::Mat colorImage_(const RawFrame& f);
  cv::Mat depthImage_(const RawFrame& f);

  const CameraTraits traits_;
  FaultInjector faults_;

  std::mutex life_mtx_;
  std::mutex rec_mtx_;
  mutable std::mutex mtx_;
  std::condition_variable frame_cv_;  // new frame set, new encoded set, stop, source failure
  std::condition_variable tick_cv_;   // wakes the source thread early on stop

  // Guarded by mtx_.
  CameraSettings settings_;
  bool initialized_ = false;
  bool opened_ = false;
  bool stopping_ = false;
  int width_ = 0;
  int height_ = 0;
  int fps_ = 0;
  int gop_ = 0;
  Rs2Intrinsics intrinsics_;
  std::shared_ptr<const RawFrame> latest_;
  uint64_t next_seq_ = 1;
  int streams_ = 0;
  bool key_requested_ = false;
  std::deque<std::shared_ptr<const EncodedSet>> ring_;
  std::string source_error_;
  int color_type_ = -1;  // forced pixel type of single images; -1 = native
  int depth_type_ = -1;
  int empty_ = kEmptyNone;

  // Guarded by rec_mtx_.
  std::unique_ptr<VideoRecorder> recorder_;
  bool rec_paused_ = false;
  std::chrono::steady_clock::time_point rec_start_;
  std::chrono::steady_clock::time_point pause_start_;
  std::chrono::steady_clock::duration paused_total_{};

  // Owned by the source thread while it runs; by start()/stop() otherwise.
  std::unique_ptr<FrameSource> source_;
  std::unique_ptr<H264Encoder> color_enc_;
  std::unique_ptr<H264Encoder> depth_enc_;
  std::thread thread_;
};

}  // namespace tovak::device::sim
