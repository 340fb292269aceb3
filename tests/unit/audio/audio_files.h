#pragma once

// Test helpers shared by the audio driver, service and end-to-end tests:
// writing a short audio file with libavformat and reading one back.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::test {

// Writes `seconds` of a 440 Hz sine as 16-bit PCM WAV through libavformat.
inline void writeWav(const std::string& path, double seconds, int rate = 44100, int channels = 2) {
  using namespace tovak::ffmpeg;
  AVFormatContext* raw = nullptr;
  check(avformat_alloc_output_context2(&raw, nullptr, "wav", path.c_str()), "wav muxer");
  OutputFormatPtr out(raw);
  AVStream* st = avformat_new_stream(out.get(), nullptr);
  st->time_base = AVRational{1, rate};
  st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  st->codecpar->sample_rate = rate;
  st->codecpar->format = AV_SAMPLE_FMT_S16;
  st->codecpar->bits_per_coded_sample = 16;
  av_channel_layout_default(&st->codecpar->ch_layout, channels);
  check(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), "open " + path);
  check(avformat_write_header(out.get(), nullptr), "wav header");
  const int total = static_cast<int>(seconds * rate);
  const int block = 1024;
  auto pkt = makePacket();
  for (int first = 0; first < total; first += block) {
    const int n = std::min(block, total - first);
    check(av_new_packet(pkt.get(), n * channels * 2), "packet");
    auto* s = reinterpret_cast<int16_t*>(pkt->data);
    for (int i = 0; i < n; ++i) {
      const auto v = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * 440.0 * (first + i) / rate));
      for (int c = 0; c < channels; ++c) s[i * channels + c] = v;
    }
    pkt->pts = pkt->dts = first;
    pkt->duration = n;
    pkt->stream_index = 0;
    av_packet_rescale_ts(pkt.get(), AVRational{1, rate}, st->time_base);
    check(av_interleaved_write_frame(out.get(), pkt.get()), "write");
  }
  check(av_write_trailer(out.get()), "trailer");
}

struct AudioInfo {
  std::string codec;
  int sample_rate = 0;
  int channels = 0;
  double container_seconds = 0;  // the duration the container reports (what ffprobe shows)
  double decoded_seconds = 0;    // decoded samples / rate
  double peak = 0;               // largest |sample|, full scale = 1
};

// Opens `path` with libavformat and decodes its audio stream completely.
inline AudioInfo readAudio(const std::string& path) {
  using namespace tovak::ffmpeg;
  AVFormatContext* raw = nullptr;
  check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "open " + path);
  InputFormatPtr in(raw);
  check(avformat_find_stream_info(in.get(), nullptr), "stream info");
  const AVCodec* codec = nullptr;
  const int idx = check(av_find_best_stream(in.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0), "audio stream");
  CodecContextPtr dec(avcodec_alloc_context3(codec));
  check(avcodec_parameters_to_context(dec.get(), in->streams[idx]->codecpar), "decoder parameters");
  check(avcodec_open2(dec.get(), codec, nullptr), "decoder");
  AudioInfo info;
  info.codec = codec->name;
  info.sample_rate = dec->sample_rate;
  info.channels = dec->ch_layout.nb_channels;
  if (in->duration != AV_NOPTS_VALUE) info.container_seconds = static_cast<double>(in->duration) / AV_TIME_BASE;
  int64_t samples = 0;
  auto pkt = makePacket();
  auto frame = makeFrame();
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) == 0) {
      samples += frame->nb_samples;
      const int ch = frame->ch_layout.nb_channels;
      const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
      for (int c = 0; c < ch; ++c) {
        for (int i = 0; i < frame->nb_samples; ++i) {
          const int plane = planar ? c : 0;
          const int at = planar ? i : i * ch + c;
          double v = 0;
          switch (frame->format) {
            case AV_SAMPLE_FMT_S16:
            case AV_SAMPLE_FMT_S16P: v = reinterpret_cast<int16_t*>(frame->extended_data[plane])[at] / 32768.0; break;
            case AV_SAMPLE_FMT_S32:
            case AV_SAMPLE_FMT_S32P: v = reinterpret_cast<int32_t*>(frame->extended_data[plane])[at] / 2147483648.0; break;
            case AV_SAMPLE_FMT_FLT:
            case AV_SAMPLE_FMT_FLTP: v = reinterpret_cast<float*>(frame->extended_data[plane])[at]; break;
            default: break;
          }
          info.peak = std::max(info.peak, std::fabs(v));
        }
      }
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(in.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == idx) avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    drain();
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  info.decoded_seconds = static_cast<double>(samples) / info.sample_rate;
  return info;
}

}  // namespace tovak::test
