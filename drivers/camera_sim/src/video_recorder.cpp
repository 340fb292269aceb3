#include "drivers/camera_sim/include/video_recorder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <glog/logging.h>

namespace tovak::device::sim {

namespace ff = tovak::ffmpeg;

VideoRecorder::VideoRecorder(const std::string& who, const std::string& path, int width, int height, int fps,
                             int gop)
    : who_(who), path_(path), fps_(fps) {
  if (path.empty()) throw std::runtime_error(who + ": recording path is empty");
  const AVOutputFormat* ofmt = av_guess_format(nullptr, path.c_str(), nullptr);
  if (!ofmt || avformat_query_codec(ofmt, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) != 1) {
    throw std::runtime_error(who + ": cannot record to '" + path +
                             "': the file extension names no video container for H.264 (use .mp4 or .mkv)");
  }
  AVFormatContext* raw = nullptr;
  ff::check(avformat_alloc_output_context2(&raw, ofmt, nullptr, path.c_str()),
            who + ": cannot record to '" + path + "'");
  fmt_.reset(raw);

  H264Encoder::Options opt;
  opt.width = width;
  opt.height = height;
  opt.fps = fps;
  opt.gop = gop;
  opt.global_header = (ofmt->flags & AVFMT_GLOBALHEADER) != 0;
  encoder_ = std::make_unique<H264Encoder>(opt);

  stream_ = avformat_new_stream(fmt_.get(), nullptr);
  if (!stream_) throw std::bad_alloc();
  ff::check(avcodec_parameters_from_context(stream_->codecpar, encoder_->context()),
            who + ": cannot set up the video stream");
  stream_->time_base = encoder_->context()->time_base;
  stream_->avg_frame_rate = AVRational{fps, 1};

  if (!(ofmt->flags & AVFMT_NOFILE)) {
    const int err = avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) {
      throw std::runtime_error(who + ": cannot open '" + path + "' for writing: " + ff::errorText(err));
    }
  }
  ff::check(avformat_write_header(fmt_.get(), nullptr), who + ": cannot write the header of '" + path + "'");
}

VideoRecorder::~VideoRecorder() {
  try {
    finish();
  } catch (const std::exception& e) {
    LOG(ERROR) << "[VideoRecorder] " << who_ << ": " << e.what();
  }
}

void VideoRecorder::write(const cv::Mat& bgr, double t) {
  if (finished_) return;
  const int64_t pts = std::max(last_pts_ + 1, static_cast<int64_t>(std::llround(t * fps_)));
  last_pts_ = pts;
  ++frames_;
  encoder_->encode(bgr, pts, false, [this](AVPacket* p) { writePacket_(p); });
}

void VideoRecorder::writePacket_(AVPacket* p) {
  av_packet_rescale_ts(p, encoder_->context()->time_base, stream_->time_base);
  p->stream_index = stream_->index;
  ff::check(av_interleaved_write_frame(fmt_.get(), p), who_ + ": writing '" + path_ + "' failed");
}

void VideoRecorder::finish() {
  if (finished_) return;
  finished_ = true;
  encoder_->flush([this](AVPacket* p) { writePacket_(p); });
  ff::check(av_write_trailer(fmt_.get()), who_ + ": cannot finish '" + path_ + "'");
  if (!(fmt_->oformat->flags & AVFMT_NOFILE)) avio_closep(&fmt_->pb);
}

}  // namespace tovak::device::sim
