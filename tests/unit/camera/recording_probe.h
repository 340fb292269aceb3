#pragma once

// Test helper: what libavformat sees in a recorded file.

#include <string>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::test {

struct VideoFileInfo {
  bool opened = false;
  std::string error;
  std::string codec;
  int width = 0;
  int height = 0;
  double duration_s = 0;  // container duration, or the stream's when absent
  long frames = 0;        // packets read to the end
};

inline VideoFileInfo probeVideoFile(const std::string& path) {
  VideoFileInfo info;
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) {
    info.error = tovak::ffmpeg::errorText(err);
    return info;
  }
  tovak::ffmpeg::InputFormatPtr fmt(raw);
  err = avformat_find_stream_info(fmt.get(), nullptr);
  if (err < 0 || fmt->nb_streams != 1) {
    info.error = "no single stream";
    return info;
  }
  const AVStream* st = fmt->streams[0];
  info.opened = true;
  info.codec = avcodec_get_name(st->codecpar->codec_id);
  info.width = st->codecpar->width;
  info.height = st->codecpar->height;
  if (fmt->duration != AV_NOPTS_VALUE) {
    info.duration_s = fmt->duration / static_cast<double>(AV_TIME_BASE);
  } else if (st->duration != AV_NOPTS_VALUE) {
    info.duration_s = st->duration * av_q2d(st->time_base);
  }
  auto pkt = tovak::ffmpeg::makePacket();
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    ++info.frames;
    av_packet_unref(pkt.get());
  }
  return info;
}

}  // namespace tovak::test
