#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::device::sim {

// libx264 through libavcodec, tuned for live video: preset ultrafast, tune
// zerolatency, no B-frames, one frame in gives one packet out. The key frame
// interval is `gop` frames; a key frame can also be forced for any frame.
//
// Stream mode (global_header false): Annex-B output with SPS/PPS repeated in
// front of every key frame, so a decoder can start at any key frame.
// File mode (global_header true): parameter sets go to the codec context's
// extradata, as MP4 and Matroska want them.
class H264Encoder {
 public:
  struct Options {
    int width = 640;
    int height = 480;
    int fps = 30;
    int gop = 30;
    bool global_header = false;
    int crf = 23;  // x264 constant rate factor: lower is better quality
  };

  explicit H264Encoder(const Options& options);

  // Encodes one image: CV_8UC3 in BGR order, or CV_8UC1 used as luma with
  // neutral chroma (how depth travels). `pts` in units of 1/fps. `sink`
  // receives each packet produced (normally exactly one).
  void encode(const cv::Mat& image, int64_t pts, bool force_key, const std::function<void(AVPacket*)>& sink);
  // Drains the encoder at end of stream.
  void flush(const std::function<void(AVPacket*)>& sink);

  // Encodes one image into `data` (Annex B); returns whether it is a key frame.
  bool encodeToBytes(const cv::Mat& image, bool force_key, std::vector<uint8_t>& data);

  AVCodecContext* context() const { return ctx_.get(); }

 private:
  void drain_(const std::function<void(AVPacket*)>& sink);

  Options opt_;
  tovak::ffmpeg::CodecContextPtr ctx_;
  tovak::ffmpeg::FramePtr frame_;
  tovak::ffmpeg::PacketPtr packet_;
  cv::Mat yuv_;
  int64_t next_pts_ = 0;
};

}  // namespace tovak::device::sim
