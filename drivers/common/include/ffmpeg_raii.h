#pragma once

// Ownership of FFmpeg objects in one place: every AVFormatContext, codec
// context, frame, packet and resampler the drivers use is held by one of
// these, so no error path can leak or double-free one.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <stdexcept>
#include <string>

namespace tovak::ffmpeg {

struct InputFormatDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// An output context also owns its AVIO handle (closed here if still open).
struct OutputFormatDeleter {
  void operator()(AVFormatContext* c) const {
    if (!c) return;
    if (c->oformat && !(c->oformat->flags & AVFMT_NOFILE) && c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

// FFmpeg's text for an error code.
inline std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// Throws std::runtime_error("<what>: <ffmpeg text>") when err < 0; returns err otherwise.
inline int check(int err, const std::string& what) {
  if (err < 0) throw std::runtime_error(what + ": " + errorText(err));
  return err;
}

inline FramePtr makeFrame() {
  FramePtr f(av_frame_alloc());
  if (!f) throw std::bad_alloc();
  return f;
}

inline PacketPtr makePacket() {
  PacketPtr p(av_packet_alloc());
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace tovak::ffmpeg
