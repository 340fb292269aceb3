#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "drivers/camera_sim/include/h264_encoder.h"
#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::device::sim {

// H.264 video written to a file through libavformat; the container follows
// the file name's extension (.mp4, .mkv, .mov, ... any muxer that takes
// H.264). The caller's clock sets the timestamps, so time it leaves out (a
// paused recording) is left out of the file too.
class VideoRecorder {
 public:
  // Opens the file and writes the container header. Throws std::runtime_error
  // with a text naming `who` and the path when the path is empty, the
  // extension names no suitable container, or the file cannot be created.
  VideoRecorder(const std::string& who, const std::string& path, int width, int height, int fps, int gop);
  ~VideoRecorder();
  VideoRecorder(const VideoRecorder&) = delete;
  VideoRecorder& operator=(const VideoRecorder&) = delete;

  // One BGR frame (CV_8UC3, the size given at construction) shown `t`
  // seconds into the recording. Its timestamp is t rounded to the frame
  // grid (always after the previous one), so the file keeps real time even
  // when frames were dropped on a busy machine.
  void write(const cv::Mat& bgr, double t);
  // Drains the encoder, writes the trailer and closes the file. Idempotent.
  void finish();

  const std::string& path() const { return path_; }
  int64_t framesWritten() const { return frames_; }

 private:
  void writePacket_(AVPacket* p);

  std::string who_;
  std::string path_;
  tovak::ffmpeg::OutputFormatPtr fmt_;
  AVStream* stream_ = nullptr;
  std::unique_ptr<H264Encoder> encoder_;
  int64_t frames_ = 0;
  int64_t last_pts_ = -1;
  int fps_ = 0;
  bool finished_ = false;
};

}  // namespace tovak::device::sim
