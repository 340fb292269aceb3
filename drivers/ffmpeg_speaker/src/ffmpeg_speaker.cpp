#include "drivers/ffmpeg_speaker/include/ffmpeg_speaker.h"

#include <alsa/asoundlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <glog/logging.h>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::device {

namespace {

using Clock = std::chrono::steady_clock;

// Frames handed to the output at a time (~21 ms at 48 kHz): bounds how late a
// pause, a volume change or a stop takes effect.
constexpr int kChunkFrames = 1024;

// Where decoded samples go: interleaved S16 at the output rate and channels.
class Sink {
 public:
  virtual ~Sink() = default;
  // True when write() itself blocks at the real rate (a sound card); false
  // when the driver's thread must pace the samples by the clock.
  virtual bool paced() const = 0;
  virtual void write(const int16_t* samples, int frames) = 0;
  // Waits until everything written has been played.
  virtual void drain() {}
};

class NullSink final : public Sink {
 public:
  bool paced() const override { return false; }
  void write(const int16_t*, int) override {}
};

class AlsaSink final : public Sink {
 public:
  explicit AlsaSink(const std::string& device) {
    int err = snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) throw std::runtime_error(snd_strerror(err));
    // 100 ms of buffering: small enough that pause and stop are prompt.
    err = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, ffmpegSpeaker::kOutputChannels,
                             ffmpegSpeaker::kOutputRate, 1, 100000);
    if (err < 0) {
      snd_pcm_close(pcm_);
      throw std::runtime_error(snd_strerror(err));
    }
  }
  ~AlsaSink() override {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }
  AlsaSink(const AlsaSink&) = delete;
  AlsaSink& operator=(const AlsaSink&) = delete;

  bool paced() const override { return true; }
  void write(const int16_t* samples, int frames) override {
    while (frames > 0) {
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, samples, static_cast<snd_pcm_uframes_t>(frames));
      if (n < 0) {
        // An underrun after a pause is expected: recover and write again.
        const int err = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        if (err < 0) throw std::runtime_error(std::string("ALSA write failed: ") + snd_strerror(err));
        continue;
      }
      samples += n * ffmpegSpeaker::kOutputChannels;
      frames -= static_cast<int>(n);
    }
  }
  void drain() override { snd_pcm_drain(pcm_); }

 private:
  snd_pcm_t* pcm_ = nullptr;
};

std::string describeOutputs() { return "\"null\" or \"alsa:<device>\""; }

bool validOutput(const std::string& output) {
  return output == "null" || (output.rfind("alsa:", 0) == 0 && output.size() > 5);
}

// Strict decimal integer: the whole text, nothing else.
bool parseInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && !text.empty();
}

}  // namespace

struct ffmpegSpeaker::Playback {
  std::string path;
  ffmpeg::InputFormatPtr format;
  ffmpeg::CodecContextPtr decoder;
  int stream_index = -1;
  ffmpeg::SwrPtr resampler;
  std::unique_ptr<Sink> sink;
};

namespace {

// Opens everything one playback needs, so that a bad file is refused before
// play() returns.
std::unique_ptr<ffmpegSpeaker::Playback> openPlayback(const std::string& id, const std::string& path,
                                                      const std::string& output) {
  auto fail = [&](const std::string& reason) {
    throw std::runtime_error("speaker " + id + " cannot play '" + path + "': " + reason);
  };
  if (path.empty()) fail("no file name given");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) fail(std::error_code(errno, std::generic_category()).message());
  if (S_ISDIR(st.st_mode)) fail("it is a directory");
  // FFmpeg's own text for this case is a bare "Invalid argument".
  if (S_ISREG(st.st_mode) && st.st_size == 0) fail("the file is empty");

  auto pb = std::make_unique<ffmpegSpeaker::Playback>();
  pb->path = path;
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) fail(ffmpeg::errorText(err));
  pb->format.reset(raw);
  err = avformat_find_stream_info(pb->format.get(), nullptr);
  if (err < 0) fail("cannot read its streams: " + ffmpeg::errorText(err));

  const AVCodec* codec = nullptr;
  err = av_find_best_stream(pb->format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (err == AVERROR_STREAM_NOT_FOUND) fail("it has no audio stream");
  if (err == AVERROR_DECODER_NOT_FOUND || !codec) fail("no decoder for its audio codec");
  if (err < 0) fail(ffmpeg::errorText(err));
  pb->stream_index = err;

  pb->decoder.reset(avcodec_alloc_context3(codec));
  if (!pb->decoder) throw std::bad_alloc();
  err = avcodec_parameters_to_context(pb->decoder.get(), pb->format->streams[pb->stream_index]->codecpar);
  if (err < 0) fail("cannot set up the decoder: " + ffmpeg::errorText(err));
  err = avcodec_open2(pb->decoder.get(), codec, nullptr);
  if (err < 0) fail("cannot open the " + std::string(codec->name) + " decoder: " + ffmpeg::errorText(err));
  if (pb->decoder->sample_rate <= 0 || pb->decoder->ch_layout.nb_channels <= 0) fail("its audio stream is empty");

  AVChannelLayout in_layout{};
  if (pb->decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&in_layout, pb->decoder->ch_layout.nb_channels);
  } else {
    av_channel_layout_copy(&in_layout, &pb->decoder->ch_layout);
  }
  AVChannelLayout out_layout{};
  av_channel_layout_default(&out_layout, ffmpegSpeaker::kOutputChannels);
  SwrContext* swr = nullptr;
  err = swr_alloc_set_opts2(&swr, &out_layout, AV_SAMPLE_FMT_S16, ffmpegSpeaker::kOutputRate, &in_layout,
                            pb->decoder->sample_fmt, pb->decoder->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in_layout);
  av_channel_layout_uninit(&out_layout);
  pb->resampler.reset(swr);
  if (err < 0 || (err = swr_init(swr)) < 0) fail("cannot convert its samples: " + ffmpeg::errorText(err));

  if (output == "null") {
    pb->sink = std::make_unique<NullSink>();
  } else {
    const std::string device = output.substr(5);
    try {
      pb->sink = std::make_unique<AlsaSink>(device);
    } catch (const std::exception& e) {
      throw std::runtime_error("speaker " + id + " cannot open ALSA device '" + device + "': " + e.what());
    }
  }
  return pb;
}

}  // namespace

ffmpegSpeaker::ffmpegSpeaker(const XmlNode& cfg) : AbstractSpeaker(cfg) {
  state_ = SpeakerState{};
  state_.volume = kDefaultVolume;
  const auto attrs = cfg.getAllAttr();
  for (const char* name : {"volume", "output"}) {
    auto it = attrs.find(name);
    if (it != attrs.end()) applySetting_(name, it->second);
  }
}

ffmpegSpeaker::~ffmpegSpeaker() {
  std::lock_guard<std::mutex> control(control_mtx_);
  endPlayback_();
}

void ffmpegSpeaker::applySetting_(const std::string& name, const std::string& value) {
  if (name == "volume") {
    int v = 0;
    if (!parseInt(value, v) || v < kMinVolume || v > kMaxVolume) {
      throw std::invalid_argument("speaker " + id_ + ": invalid volume '" + value + "' (accepted: an integer from " +
                                  std::to_string(kMinVolume) + " to " + std::to_string(kMaxVolume) + ")");
    }
    std::lock_guard<std::mutex> lk(mtx_);
    state_.volume = v;
  } else if (name == "output") {
    if (!validOutput(value)) {
      throw std::invalid_argument("speaker " + id_ + ": invalid output '" + value + "' (accepted: " +
                                  describeOutputs() + ")");
    }
    std::lock_guard<std::mutex> lk(mtx_);
    output_ = value;
  } else {
    throw std::invalid_argument("speaker " + id_ + " has no parameter '" + name +
                                "' (parameters: volume, output, fault)");
  }
}

void ffmpegSpeaker::updateParams(const std::pair<std::string, std::string>& param) {
  if (faults_.handleParam(param, id_)) return;
  faults_.check("updateParams");
  applySetting_(param.first, param.second);
}

void ffmpegSpeaker::init() {
  faults_.check("init");
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_initialized = true;
}

void ffmpegSpeaker::start() {
  faults_.check("start");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_initialized) throw std::runtime_error("speaker " + id_ + " is not initialized");
  state_.is_running = true;
}

void ffmpegSpeaker::stop() {
  faults_.check("stop");
  std::lock_guard<std::mutex> control(control_mtx_);
  endPlayback_();
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_running = false;
}

void ffmpegSpeaker::getState(SpeakerState& state) {
  faults_.check("getState");
  std::lock_guard<std::mutex> lk(mtx_);
  state = state_;
}

void ffmpegSpeaker::play(const std::string& path) {
  faults_.check("play");
  std::lock_guard<std::mutex> control(control_mtx_);
  std::string output;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!state_.is_initialized) throw std::runtime_error("speaker " + id_ + " is not initialized");
    output = output_;
  }
  // A file that cannot be played leaves the current playback untouched.
  auto next = openPlayback(id_, path, output);
  endPlayback_();
  playback_ = std::move(next);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_decoding = true;
    state_.is_paused = false;
  }
  LOG(INFO) << "[ffmpegSpeaker] speaker " << id_ << " plays '" << path << "'";
  thread_ = std::thread([this, pb = playback_.get()] { run_(*pb); });
}

void ffmpegSpeaker::checkVolume_(int volume) const {
  if (volume < kMinVolume || volume > kMaxVolume) {
    throw std::out_of_range("speaker " + id_ + ": volume " + std::to_string(volume) + " is out of range " +
                            std::to_string(kMinVolume) + " to " + std::to_string(kMaxVolume));
  }
}

void ffmpegSpeaker::setVolume(int volume) {
  faults_.check("setVolume");
  checkVolume_(volume);
  std::lock_guard<std::mutex> lk(mtx_);
  state_.volume = volume;
}

int ffmpegSpeaker::getVolume() {
  faults_.check("getVolume");
  std::lock_guard<std::mutex> lk(mtx_);
  return state_.volume;
}

void ffmpegSpeaker::pause() {
  faults_.check("pause");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_decoding) throw std::runtime_error("speaker " + id_ + " is not playing");
  state_.is_paused = true;
  cv_.notify_all();
}

void ffmpegSpeaker::resume() {
  faults_.check("resume");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_decoding) throw std::runtime_error("speaker " + id_ + " is not playing");
  state_.is_paused = false;
  cv_.notify_all();
}

// Caller holds control_mtx_.
void ffmpegSpeaker::endPlayback_() {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    stop_requested_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  playback_.reset();
  std::lock_guard<std::mutex> lk(mtx_);
  stop_requested_ = false;
  state_.is_decoding = false;
  state_.is_paused = false;
}

// The playback thread: decode, resample, scale and hand the samples to the
// sink at the real rate. Returns at the end of the file or when asked to stop.
void ffmpegSpeaker::run_(Playback& pb) {
  Sink& sink = *pb.sink;
  const bool pace_here = !sink.paced();
  // Clock schedule for the null output: frame n is due at start + n / rate,
  // shifted by the time spent paused.
  Clock::time_point start = Clock::now();
  int64_t frames_due = 0;

  // Blocks while paused; false when asked to stop.
  auto holdWhilePaused = [&](std::unique_lock<std::mutex>& lk) {
    if (!state_.is_paused || stop_requested_) return !stop_requested_;
    const auto paused_at = Clock::now();
    cv_.wait(lk, [&] { return stop_requested_ || !state_.is_paused; });
    start += Clock::now() - paused_at;
    return !stop_requested_;
  };

  // Hands `frames` output frames to the sink; false when asked to stop.
  auto consume = [&](int16_t* samples, int frames) {
    int volume = 0;
    {
      std::unique_lock<std::mutex> lk(mtx_);
      if (!holdWhilePaused(lk)) return false;
      volume = state_.volume;
    }
    const int n = frames * kOutputChannels;
    for (int i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(samples[i] * volume / kMaxVolume);
    if (!pace_here) {
      sink.write(samples, frames);
      std::lock_guard<std::mutex> lk(mtx_);
      return !stop_requested_;
    }
    frames_due += frames;
    std::unique_lock<std::mutex> lk(mtx_);
    for (;;) {
      const auto deadline = start + std::chrono::seconds(frames_due / kOutputRate) +
                            std::chrono::nanoseconds(frames_due % kOutputRate * 1'000'000'000LL / kOutputRate);
      if (!cv_.wait_until(lk, deadline, [&] { return stop_requested_ || state_.is_paused; })) return true;
      if (!holdWhilePaused(lk)) return false;
    }
  };

  std::vector<int16_t> out;
  // Resamples `in_frames` input frames (none: flush) and plays the result.
  auto emit = [&](const uint8_t** in, int in_frames) {
    const int room = swr_get_out_samples(pb.resampler.get(), in_frames);
    if (room <= 0) return true;
    out.resize(static_cast<size_t>(room) * kOutputChannels);
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data());
    const int got = ffmpeg::check(swr_convert(pb.resampler.get(), &dst, room, in, in_frames), "resampling");
    for (int off = 0; off < got; off += kChunkFrames) {
      if (!consume(out.data() + static_cast<size_t>(off) * kOutputChannels, std::min(kChunkFrames, got - off)))
        return false;
    }
    return true;
  };

  auto packet = ffmpeg::makePacket();
  auto frame = ffmpeg::makeFrame();
  // Receives every frame the decoder has ready; false when asked to stop.
  auto drainDecoder = [&] {
    for (;;) {
      const int err = avcodec_receive_frame(pb.decoder.get(), frame.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return true;
      ffmpeg::check(err, "decoding");
      const bool go_on = emit(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
      av_frame_unref(frame.get());
      if (!go_on) return false;
    }
  };

  bool finished = false;
  try {
    bool stopped = false;
    for (;;) {
      const int err = av_read_frame(pb.format.get(), packet.get());
      if (err == AVERROR_EOF) break;
      ffmpeg::check(err, "reading");
      if (packet->stream_index != pb.stream_index) {
        av_packet_unref(packet.get());
        continue;
      }
      const int sent = avcodec_send_packet(pb.decoder.get(), packet.get());
      av_packet_unref(packet.get());
      // A damaged packet costs its own samples, not the rest of the file.
      if (sent == AVERROR_INVALIDDATA) continue;
      ffmpeg::check(sent, "decoding");
      if (!drainDecoder()) {
        stopped = true;
        break;
      }
    }
    if (!stopped) {
      avcodec_send_packet(pb.decoder.get(), nullptr);
      stopped = !drainDecoder() || !emit(nullptr, 0);
    }
    if (!stopped) sink.drain();
    finished = !stopped;
  } catch (const std::exception& e) {
    LOG(WARNING) << "[ffmpegSpeaker] speaker " << id_ << ": playback of '" << pb.path << "' ended: " << e.what();
  }
  if (finished) LOG(INFO) << "[ffmpegSpeaker] speaker " << id_ << " finished '" << pb.path << "'";
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_decoding = false;
  state_.is_paused = false;
}

}  // namespace tovak::device
