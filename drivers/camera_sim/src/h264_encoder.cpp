#include "drivers/camera_sim/include/h264_encoder.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavutil/opt.h>
}

namespace tovak::device::sim {

namespace ff = tovak::ffmpeg;

H264Encoder::H264Encoder(const Options& options) : opt_(options) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw std::runtime_error("libavcodec has no libx264 encoder");
  ctx_.reset(avcodec_alloc_context3(codec));
  if (!ctx_) throw std::bad_alloc();
  ctx_->width = opt_.width;
  ctx_->height = opt_.height;
  ctx_->time_base = AVRational{1, opt_.fps};
  ctx_->framerate = AVRational{opt_.fps, 1};
  ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx_->gop_size = opt_.gop;
  ctx_->keyint_min = opt_.gop;
  ctx_->max_b_frames = 0;
  // One encoding thread per encoder: the robot computer runs many of them
  // next to everything else, and sliced threads add nothing at 640x480.
  ctx_->thread_count = 1;
  if (opt_.global_header) ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  AVDictionary* dict = nullptr;
  av_dict_set(&dict, "preset", "ultrafast", 0);
  av_dict_set(&dict, "tune", "zerolatency", 0);
  av_dict_set(&dict, "crf", std::to_string(opt_.crf).c_str(), 0);
  // A forced key frame is an IDR frame, so a decoder can join there.
  av_dict_set(&dict, "forced-idr", "1", 0);
  if (!opt_.global_header) av_dict_set(&dict, "x264-params", "repeat-headers=1:annexb=1", 0);
  const int err = avcodec_open2(ctx_.get(), codec, &dict);
  av_dict_free(&dict);
  ff::check(err, "cannot open the H.264 encoder");

  frame_ = ff::makeFrame();
  frame_->format = AV_PIX_FMT_YUV420P;
  frame_->width = opt_.width;
  frame_->height = opt_.height;
  ff::check(av_frame_get_buffer(frame_.get(), 0), "cannot allocate an encoder frame");
  packet_ = ff::makePacket();
}

void H264Encoder::encode(const cv::Mat& image, int64_t pts, bool force_key,
                         const std::function<void(AVPacket*)>& sink) {
  if (image.cols != opt_.width || image.rows != opt_.height) {
    throw std::runtime_error("encoder expects " + std::to_string(opt_.width) + "x" + std::to_string(opt_.height) +
                             " images, got " + std::to_string(image.cols) + "x" + std::to_string(image.rows));
  }
  ff::check(av_frame_make_writable(frame_.get()), "cannot reuse the encoder frame");
  const int w = opt_.width;
  const int h = opt_.height;
  if (image.type() == CV_8UC3) {
    cv::cvtColor(image, yuv_, cv::COLOR_BGR2YUV_I420);
    const uint8_t* y = yuv_.ptr<uint8_t>(0);
    const uint8_t* u = y + w * h;
    const uint8_t* v = u + (w / 2) * (h / 2);
    for (int r = 0; r < h; ++r) std::memcpy(frame_->data[0] + r * frame_->linesize[0], y + r * w, w);
    for (int r = 0; r < h / 2; ++r) {
      std::memcpy(frame_->data[1] + r * frame_->linesize[1], u + r * (w / 2), w / 2);
      std::memcpy(frame_->data[2] + r * frame_->linesize[2], v + r * (w / 2), w / 2);
    }
  } else if (image.type() == CV_8UC1) {
    for (int r = 0; r < h; ++r) std::memcpy(frame_->data[0] + r * frame_->linesize[0], image.ptr<uint8_t>(r), w);
    for (int r = 0; r < h / 2; ++r) {
      std::memset(frame_->data[1] + r * frame_->linesize[1], 128, w / 2);
      std::memset(frame_->data[2] + r * frame_->linesize[2], 128, w / 2);
    }
  } else {
    throw std::runtime_error("encoder accepts CV_8UC3 or CV_8UC1 images only");
  }
  frame_->pts = pts;
  frame_->pict_type = force_key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  ff::check(avcodec_send_frame(ctx_.get(), frame_.get()), "H.264 encoding failed");
  drain_(sink);
}

void H264Encoder::flush(const std::function<void(AVPacket*)>& sink) {
  const int err = avcodec_send_frame(ctx_.get(), nullptr);
  if (err == AVERROR_EOF) return;  // already flushed
  ff::check(err, "H.264 encoder flush failed");
  drain_(sink);
}

void H264Encoder::drain_(const std::function<void(AVPacket*)>& sink) {
  while (true) {
    const int err = avcodec_receive_packet(ctx_.get(), packet_.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    ff::check(err, "H.264 encoding failed");
    sink(packet_.get());
    av_packet_unref(packet_.get());
  }
}

bool H264Encoder::encodeToBytes(const cv::Mat& image, bool force_key, std::vector<uint8_t>& data) {
  bool key = false;
  data.clear();
  encode(image, next_pts_++, force_key, [&](AVPacket* p) {
    data.insert(data.end(), p->data, p->data + p->size);
    key = key || (p->flags & AV_PKT_FLAG_KEY);
  });
  return key;
}

}  // namespace tovak::device::sim
