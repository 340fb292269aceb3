#pragma once

// Test helper: decodes the cameras' H.264 frames with libavcodec, one access
// unit at a time, as a client would.

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::test {

// True when the Annex-B bytes hold a NAL unit of `type` (7 SPS, 8 PPS, 5 IDR slice).
inline bool hasNalUnit(const std::string& bytes, int type) {
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      if ((static_cast<uint8_t>(bytes[i + 3]) & 0x1f) == type) return true;
    }
  }
  return false;
}

class H264Decoder {
 public:
  H264Decoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) throw std::runtime_error("no H.264 decoder");
    ctx_.reset(avcodec_alloc_context3(codec));
    ctx_->thread_count = 1;
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    tovak::ffmpeg::check(avcodec_open2(ctx_.get(), codec, nullptr), "open decoder");
    frame_ = tovak::ffmpeg::makeFrame();
    packet_ = tovak::ffmpeg::makePacket();
  }

  // Decodes one frame's bytes; returns the picture's luma plane (CV_8UC1),
  // or an empty matrix when the decoder gave no picture. Throws on a decoding error.
  cv::Mat decode(const std::string& bytes) {
    packet_->data = reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()));
    packet_->size = static_cast<int>(bytes.size());
    tovak::ffmpeg::check(avcodec_send_packet(ctx_.get(), packet_.get()), "decode");
    const int err = avcodec_receive_frame(ctx_.get(), frame_.get());
    if (err == AVERROR(EAGAIN)) return cv::Mat();
    tovak::ffmpeg::check(err, "decode");
    if (frame_->decode_error_flags != 0) throw std::runtime_error("picture decoded with errors");
    cv::Mat luma(frame_->height, frame_->width, CV_8UC1);
    for (int r = 0; r < frame_->height; ++r) {
      std::memcpy(luma.ptr(r), frame_->data[0] + r * frame_->linesize[0], frame_->width);
    }
    key_ = frame_->key_frame != 0;
    av_frame_unref(frame_.get());
    return luma;
  }
  bool lastWasKey() const { return key_; }

 private:
  tovak::ffmpeg::CodecContextPtr ctx_;
  tovak::ffmpeg::FramePtr frame_;
  tovak::ffmpeg::PacketPtr packet_;
  bool key_ = false;
};

}  // namespace tovak::test
