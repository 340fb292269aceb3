#include "drivers/ffmpeg_microphone/include/ffmpeg_microphone.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <glog/logging.h>

#include "drivers/common/include/ffmpeg_raii.h"

namespace tovak::device {

namespace {

// The tone thread wakes this often to encode what the clock says is due.
constexpr auto kToneTick = std::chrono::milliseconds(10);

struct Container {
  const char* extension;
  const char* muxer;
  const char* encoder;
};
// Extension -> libavformat muxer and libavcodec encoder.
constexpr Container kContainers[] = {
    {".wav", "wav", "pcm_s16le"}, {".flac", "flac", "flac"},         {".ogg", "ogg", "libvorbis"},
    {".opus", "opus", "libopus"}, {".mp3", "mp3", "libmp3lame"},
};

std::string supportedExtensions() {
  std::string s;
  for (const auto& c : kContainers) s += (s.empty() ? "" : ", ") + std::string(c.extension);
  return s;
}

bool parseInt(const std::string& text, int& out) {
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && p == end && !text.empty();
}

std::string errnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// An ALSA capture device delivering interleaved S16 frames at the real rate.
class AlsaCapture {
 public:
  AlsaCapture(const std::string& device, int rate, int channels) : channels_(channels) {
    int err = snd_pcm_open(&pcm_, device.c_str(), SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) throw std::runtime_error(snd_strerror(err));
    err = snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, static_cast<unsigned>(channels),
                             static_cast<unsigned>(rate), 1, 100000);
    if (err < 0) {
      snd_pcm_close(pcm_);
      throw std::runtime_error(snd_strerror(err));
    }
  }
  ~AlsaCapture() {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }
  AlsaCapture(const AlsaCapture&) = delete;
  AlsaCapture& operator=(const AlsaCapture&) = delete;

  // Blocks until `frames` frames have been captured.
  void read(int16_t* samples, int frames) {
    while (frames > 0) {
      snd_pcm_sframes_t n = snd_pcm_readi(pcm_, samples, static_cast<snd_pcm_uframes_t>(frames));
      if (n < 0) {
        const int err = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        if (err < 0) throw std::runtime_error(std::string("ALSA capture failed: ") + snd_strerror(err));
        continue;
      }
      samples += n * channels_;
      frames -= static_cast<int>(n);
    }
  }

 private:
  snd_pcm_t* pcm_ = nullptr;
  int channels_;
};

}  // namespace

struct ffmpegMicroPhone::Recording {
  std::string path;
  std::string part_path;
  int sample_rate = 0;
  int channels = 0;
  int tone_hz = 0;

  ffmpeg::OutputFormatPtr out;
  AVStream* stream = nullptr;
  ffmpeg::CodecContextPtr encoder;
  // Interleaved S16 -> the encoder's sample format (same rate and layout).
  ffmpeg::SwrPtr converter;
  ffmpeg::FramePtr frame;
  ffmpeg::PacketPtr packet;
  int frame_size = 0;
  bool pad_last_frame = false;
  int64_t next_pts = 0;
  // Captured samples (interleaved S16) not yet handed to the encoder.
  std::vector<int16_t> pending;

  std::unique_ptr<AlsaCapture> capture;  // empty: the tone
  int64_t tone_frames = 0;              // tone frames generated so far

  // Set by the recording thread when the recording broke off.
  std::string failure;

  void writePackets() {
    for (;;) {
      const int err = avcodec_receive_packet(encoder.get(), packet.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      ffmpeg::check(err, "encoding");
      av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
      packet->stream_index = stream->index;
      ffmpeg::check(av_interleaved_write_frame(out.get(), packet.get()), "writing " + part_path);
    }
  }

  // Encodes the first `frames` pending frames as one encoder frame.
  void encodeFrame(int frames) {
    ffmpeg::check(av_frame_make_writable(frame.get()), "encoding");
    const int samples = frames * channels;
    if (pad_last_frame && frames < frame_size) pending.insert(pending.begin() + samples, (frame_size - frames) * channels, 0);
    const int n = pad_last_frame ? frame_size : frames;
    frame->nb_samples = n;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(pending.data());
    const int got = ffmpeg::check(swr_convert(converter.get(), frame->extended_data, n, &in, n), "converting samples");
    if (got != n) throw std::runtime_error("converting samples: " + std::to_string(got) + " of " + std::to_string(n));
    frame->pts = next_pts;
    next_pts += n;
    ffmpeg::check(avcodec_send_frame(encoder.get(), frame.get()), "encoding");
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n) * channels);
    writePackets();
  }

  void encode(const int16_t* samples, int frames) {
    pending.insert(pending.end(), samples, samples + static_cast<size_t>(frames) * channels);
    while (pending.size() >= static_cast<size_t>(frame_size) * channels) encodeFrame(frame_size);
  }

  // Generates and encodes the tone up to `target` frames in total.
  void produceTone(int64_t target, int volume) {
    const int64_t count = target - tone_frames;
    if (count <= 0) return;
    const double amplitude = 32767.0 * std::pow(10.0, kToneLevelDbfs / 20.0) * volume / kMaxVolume;
    std::vector<int16_t> buf(static_cast<size_t>(count) * channels);
    for (int64_t i = 0; i < count; ++i) {
      // The phase follows the frame index, so the tone continues seamlessly
      // across ticks and pauses.
      const double t = static_cast<double>(tone_frames + i) / sample_rate;
      const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * std::numbers::pi * tone_hz * t)));
      for (int c = 0; c < channels; ++c) buf[static_cast<size_t>(i) * channels + c] = v;
    }
    tone_frames = target;
    encode(buf.data(), static_cast<int>(count));
  }

  // Flushes the encoder, writes the trailer and closes the file.
  void finalize() {
    if (!pending.empty()) encodeFrame(static_cast<int>(pending.size() / channels));
    ffmpeg::check(avcodec_send_frame(encoder.get(), nullptr), "encoding");
    writePackets();
    ffmpeg::check(av_write_trailer(out.get()), "writing " + part_path);
    ffmpeg::check(avio_closep(&out->pb), "closing " + part_path);
  }

  // Closes and removes the unfinished file.
  void discard() {
    out.reset();
    std::remove(part_path.c_str());
  }
};

namespace {

// Opens the encoder and the ".part" file and writes the header, so that a
// path or format that cannot be recorded is refused before startRecording
// returns.
std::unique_ptr<ffmpegMicroPhone::Recording> openRecording(const std::string& id, const std::string& path,
                                                           const std::string& source, int sample_rate, int channels,
                                                           int tone_hz) {
  auto fail = [&](const std::string& reason) {
    throw std::runtime_error("microphone " + id + " cannot record to '" + path + "': " + reason);
  };
  if (path.empty()) fail("no file name given");
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    fail("no file extension (supported: " + supportedExtensions() + ")");
  }
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  const Container* container = nullptr;
  for (const auto& c : kContainers) {
    if (ext == c.extension) container = &c;
  }
  if (!container) fail("unknown file extension '" + path.substr(dot) + "' (supported: " + supportedExtensions() + ")");

  auto rec = std::make_unique<ffmpegMicroPhone::Recording>();
  rec->path = path;
  rec->part_path = path + ".part";
  rec->sample_rate = sample_rate;
  rec->channels = channels;
  rec->tone_hz = tone_hz;

  const AVCodec* codec = avcodec_find_encoder_by_name(container->encoder);
  if (!codec) fail(std::string("this system's FFmpeg has no ") + container->encoder + " encoder");
  if (codec->supported_samplerates) {
    bool ok = false;
    std::string rates;
    for (const int* r = codec->supported_samplerates; *r; ++r) {
      ok = ok || *r == sample_rate;
      rates += (rates.empty() ? "" : ", ") + std::to_string(*r);
    }
    if (!ok) {
      fail("the " + std::string(codec->name) + " encoder does not support " + std::to_string(sample_rate) +
           " Hz (supported: " + rates + ")");
    }
  }

  AVFormatContext* raw = nullptr;
  int err = avformat_alloc_output_context2(&raw, nullptr, container->muxer, rec->part_path.c_str());
  if (err < 0 || !raw) fail("cannot set up the " + std::string(container->muxer) + " container");
  rec->out.reset(raw);

  rec->encoder.reset(avcodec_alloc_context3(codec));
  if (!rec->encoder) throw std::bad_alloc();
  AVCodecContext* enc = rec->encoder.get();
  enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  enc->sample_rate = sample_rate;
  av_channel_layout_default(&enc->ch_layout, channels);
  enc->time_base = AVRational{1, sample_rate};
  if (rec->out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  err = avcodec_open2(enc, codec, nullptr);
  if (err < 0) fail("cannot open the " + std::string(codec->name) + " encoder: " + ffmpeg::errorText(err));

  const bool variable = codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
  rec->frame_size = (variable || enc->frame_size <= 0) ? 1024 : enc->frame_size;
  rec->pad_last_frame = !variable && !(codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);

  rec->stream = avformat_new_stream(rec->out.get(), nullptr);
  if (!rec->stream) throw std::bad_alloc();
  ffmpeg::check(avcodec_parameters_from_context(rec->stream->codecpar, enc), "encoder parameters");
  rec->stream->time_base = enc->time_base;

  SwrContext* swr = nullptr;
  AVChannelLayout in_layout{};
  av_channel_layout_default(&in_layout, channels);
  err = swr_alloc_set_opts2(&swr, &enc->ch_layout, enc->sample_fmt, sample_rate, &in_layout, AV_SAMPLE_FMT_S16,
                            sample_rate, 0, nullptr);
  av_channel_layout_uninit(&in_layout);
  rec->converter.reset(swr);
  if (err < 0 || (err = swr_init(swr)) < 0) fail("cannot convert samples: " + ffmpeg::errorText(err));

  rec->frame = ffmpeg::makeFrame();
  rec->frame->format = enc->sample_fmt;
  rec->frame->sample_rate = sample_rate;
  av_channel_layout_copy(&rec->frame->ch_layout, &enc->ch_layout);
  rec->frame->nb_samples = rec->frame_size;
  ffmpeg::check(av_frame_get_buffer(rec->frame.get(), 0), "frame buffer");
  rec->packet = ffmpeg::makePacket();

  if (source != "tone") {
    const std::string device = source.substr(5);
    try {
      rec->capture = std::make_unique<AlsaCapture>(device, sample_rate, channels);
    } catch (const std::exception& e) {
      fail("cannot open ALSA capture device '" + device + "': " + e.what());
    }
  }

  err = avio_open(&rec->out->pb, rec->part_path.c_str(), AVIO_FLAG_WRITE);
  if (err < 0) fail("cannot create '" + rec->part_path + "': " + ffmpeg::errorText(err));
  err = avformat_write_header(rec->out.get(), nullptr);
  if (err < 0) {
    rec->discard();
    fail("cannot write to '" + rec->part_path + "': " + ffmpeg::errorText(err));
  }
  return rec;
}

}  // namespace

ffmpegMicroPhone::ffmpegMicroPhone(const XmlNode& cfg) : AbstractMicrophone(cfg) {
  state_ = MicrophoneState{};
  state_.volume = kDefaultVolume;
  const auto attrs = cfg.getAllAttr();
  for (const char* name : {"volume", "source", "sample_rate", "channels", "tone_hz"}) {
    auto it = attrs.find(name);
    if (it != attrs.end()) applySetting_(name, it->second);
  }
}

ffmpegMicroPhone::~ffmpegMicroPhone() {
  std::lock_guard<std::mutex> control(control_mtx_);
  try {
    finishRecording_();
  } catch (const std::exception& e) {
    LOG(ERROR) << "[ffmpegMicroPhone] microphone " << id_ << ": " << e.what();
  }
}

void ffmpegMicroPhone::applySetting_(const std::string& name, const std::string& value) {
  auto intSetting = [&](int lo, int hi, const char* unit) {
    int v = 0;
    if (!parseInt(value, v) || v < lo || v > hi) {
      throw std::invalid_argument("microphone " + id_ + ": invalid " + name + " '" + value +
                                  "' (accepted: an integer from " + std::to_string(lo) + " to " + std::to_string(hi) +
                                  unit + ")");
    }
    return v;
  };
  if (name == "volume") {
    const int v = intSetting(kMinVolume, kMaxVolume, "");
    std::lock_guard<std::mutex> lk(mtx_);
    state_.volume = v;
  } else if (name == "source") {
    if (value != "tone" && !(value.rfind("alsa:", 0) == 0 && value.size() > 5)) {
      throw std::invalid_argument("microphone " + id_ + ": invalid source '" + value +
                                  "' (accepted: \"tone\" or \"alsa:<device>\")");
    }
    std::lock_guard<std::mutex> lk(mtx_);
    settings_.source = value;
  } else if (name == "sample_rate") {
    const int v = intSetting(8000, 192000, " Hz");
    std::lock_guard<std::mutex> lk(mtx_);
    settings_.sample_rate = v;
  } else if (name == "channels") {
    const int v = intSetting(1, 2, "");
    std::lock_guard<std::mutex> lk(mtx_);
    settings_.channels = v;
  } else if (name == "tone_hz") {
    const int v = intSetting(1, 20000, " Hz");
    std::lock_guard<std::mutex> lk(mtx_);
    settings_.tone_hz = v;
  } else {
    throw std::invalid_argument("microphone " + id_ + " has no parameter '" + name +
                                "' (parameters: volume, source, sample_rate, channels, tone_hz, fault)");
  }
}

void ffmpegMicroPhone::updateParams(const std::pair<std::string, std::string>& param) {
  if (faults_.handleParam(param, id_)) return;
  faults_.check("updateParams");
  applySetting_(param.first, param.second);
}

void ffmpegMicroPhone::init() {
  faults_.check("init");
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_initialized = true;
}

void ffmpegMicroPhone::start() {
  faults_.check("start");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_initialized) throw std::runtime_error("microphone " + id_ + " is not initialized");
  state_.is_running = true;
}

void ffmpegMicroPhone::stop() {
  faults_.check("stop");
  std::lock_guard<std::mutex> control(control_mtx_);
  // The microphone counts as stopped even when finalising the file failed;
  // the failure is still reported.
  struct MarkStopped {
    ffmpegMicroPhone* self;
    ~MarkStopped() {
      std::lock_guard<std::mutex> lk(self->mtx_);
      self->state_.is_running = false;
    }
  } mark{this};
  finishRecording_();
}

void ffmpegMicroPhone::getState(MicrophoneState& state) {
  faults_.check("getState");
  std::lock_guard<std::mutex> lk(mtx_);
  state = state_;
}

void ffmpegMicroPhone::startRecording(const std::string& path) {
  faults_.check("startRecording");
  std::lock_guard<std::mutex> control(control_mtx_);
  auto refuse = [&](const std::string& text) {
    std::lock_guard<std::mutex> lk(mtx_);
    state_.error_message = text;
    throw std::runtime_error(text);
  };
  Settings s;
  {
    std::unique_lock<std::mutex> lk(mtx_);
    const bool initialized = state_.is_initialized, running = state_.is_running, recording = state_.is_recording;
    s = settings_;
    lk.unlock();
    if (!initialized) refuse("microphone " + id_ + " is not initialized");
    if (!running) refuse("microphone " + id_ + " is not started");
    if (recording) refuse("microphone " + id_ + " is already recording to '" + recording_->path + "'");
  }
  // Reaps a recording that broke off by itself.
  finishRecording_();

  std::unique_ptr<Recording> rec;
  try {
    rec = openRecording(id_, path, s.source, s.sample_rate, s.channels, s.tone_hz);
  } catch (const std::exception& e) {
    refuse(e.what());
  }
  recording_ = std::move(rec);
  {
    // The thread waits, clock held, until the recording is handed over.
    std::lock_guard<std::mutex> lk(mtx_);
    paused_ = true;
    stop_requested_ = false;
    active_before_ = Clock::duration::zero();
  }
  LOG(INFO) << "[ffmpegMicroPhone] microphone " << id_ << " records to '" << path << "'";
  thread_ = std::thread([this, r = recording_.get()] { run_(*r); });
  // The recorded time starts as startRecording returns, however long
  // opening the file and starting the thread took.
  {
    std::lock_guard<std::mutex> lk(mtx_);
    segment_start_ = Clock::now();
    paused_ = false;
    state_.is_recording = true;
    state_.is_error = false;
    state_.error_message.clear();
  }
  cv_.notify_all();
}

void ffmpegMicroPhone::stopRecording() {
  faults_.check("stopRecording");
  std::lock_guard<std::mutex> control(control_mtx_);
  std::string failure;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!state_.is_recording) {
      std::string text = "microphone " + id_ + " is not recording";
      if (state_.is_error) text += " (" + state_.error_message + ")";
      failure = text;
    }
  }
  if (!failure.empty()) {
    finishRecording_();
    throw std::runtime_error(failure);
  }
  finishRecording_();
}

void ffmpegMicroPhone::pause() {
  faults_.check("pause");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_recording) throw std::runtime_error("microphone " + id_ + " is not recording");
  if (paused_) return;
  active_before_ = activeTime_(Clock::now());
  paused_ = true;
  cv_.notify_all();
}

void ffmpegMicroPhone::resume() {
  faults_.check("resume");
  std::lock_guard<std::mutex> lk(mtx_);
  if (!state_.is_recording) throw std::runtime_error("microphone " + id_ + " is not recording");
  if (!paused_) return;
  segment_start_ = Clock::now();
  paused_ = false;
  cv_.notify_all();
}

void ffmpegMicroPhone::setVolume(int volume) {
  faults_.check("setVolume");
  if (volume < kMinVolume || volume > kMaxVolume) {
    throw std::out_of_range("microphone " + id_ + ": volume " + std::to_string(volume) + " is out of range " +
                            std::to_string(kMinVolume) + " to " + std::to_string(kMaxVolume));
  }
  std::lock_guard<std::mutex> lk(mtx_);
  state_.volume = volume;
}

int ffmpegMicroPhone::getVolume() {
  faults_.check("getVolume");
  std::lock_guard<std::mutex> lk(mtx_);
  return state_.volume;
}

ffmpegMicroPhone::Clock::duration ffmpegMicroPhone::activeTime_(Clock::time_point now) const {
  return paused_ ? active_before_ : active_before_ + (now - segment_start_);
}

namespace {
// Split in whole seconds and the rest, so that days of recording cannot overflow.
int64_t framesIn(std::chrono::steady_clock::duration d, int rate) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return ns / 1'000'000'000LL * rate + ns % 1'000'000'000LL * rate / 1'000'000'000LL;
}
}  // namespace

// Caller holds control_mtx_. Ends the recording thread; a recording still in
// progress is completed up to this moment, finalised and renamed to its path.
void ffmpegMicroPhone::finishRecording_() {
  if (!thread_.joinable()) return;
  int64_t tone_target = 0;
  int volume = 0;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    // Freeze the recorded time at this instant.
    active_before_ = activeTime_(Clock::now());
    paused_ = true;
    stop_requested_ = true;
    tone_target = framesIn(active_before_, recording_->sample_rate);
    volume = state_.volume;
  }
  cv_.notify_all();
  thread_.join();
  std::unique_ptr<Recording> rec = std::move(recording_);
  {
    std::lock_guard<std::mutex> lk(mtx_);
    stop_requested_ = false;
    paused_ = false;
  }
  if (!rec->failure.empty()) return;  // the thread already reported and cleaned up

  std::string error;
  try {
    if (!rec->capture) rec->produceTone(tone_target, volume);
    rec->finalize();
    if (std::rename(rec->part_path.c_str(), rec->path.c_str()) != 0) {
      throw std::runtime_error("cannot rename '" + rec->part_path + "' to '" + rec->path + "': " + errnoText(errno));
    }
  } catch (const std::exception& e) {
    error = "microphone " + id_ + ": recording to '" + rec->path + "' failed: " + e.what();
    rec->discard();
  }
  std::lock_guard<std::mutex> lk(mtx_);
  state_.is_recording = false;
  if (!error.empty()) {
    state_.is_error = true;
    state_.error_message = error;
    throw std::runtime_error(error);
  }
  LOG(INFO) << "[ffmpegMicroPhone] microphone " << id_ << " saved '" << rec->path << "' ("
            << static_cast<double>(rec->next_pts) / rec->sample_rate << " s)";
}

// The recording thread: captures (or generates) samples at the real rate and
// encodes them, until asked to stop or a capture or write error breaks it off.
void ffmpegMicroPhone::run_(Recording& rec) {
  try {
    if (rec.capture) {
      // The device paces the loop; paused periods are read and dropped.
      const int period = std::max(1, rec.sample_rate / 100);
      std::vector<int16_t> buf(static_cast<size_t>(period) * rec.channels);
      for (;;) {
        rec.capture->read(buf.data(), period);
        int volume = 0;
        {
          std::lock_guard<std::mutex> lk(mtx_);
          if (stop_requested_) return;
          if (paused_) continue;
          volume = state_.volume;
        }
        for (auto& s : buf) s = static_cast<int16_t>(s * volume / kMaxVolume);
        rec.encode(buf.data(), period);
      }
    }
    auto next = Clock::now() + kToneTick;
    for (;;) {
      int64_t target = 0;
      int volume = 0;
      {
        std::unique_lock<std::mutex> lk(mtx_);
        if (paused_) {
          cv_.wait(lk, [&] { return stop_requested_ || !paused_; });
        } else {
          cv_.wait_until(lk, next, [&] { return stop_requested_ || paused_; });
        }
        // The tail up to the stop instant is produced by finishRecording_.
        if (stop_requested_) return;
        const auto now = Clock::now();
        target = framesIn(activeTime_(now), rec.sample_rate);
        volume = state_.volume;
        next = std::max(next + kToneTick, now);
      }
      rec.produceTone(target, volume);
    }
  } catch (const std::exception& e) {
    const std::string text = "microphone " + id_ + ": recording to '" + rec.path + "' failed: " + e.what();
    LOG(ERROR) << "[ffmpegMicroPhone] " << text;
    rec.failure = text;
    rec.discard();
    std::lock_guard<std::mutex> lk(mtx_);
    state_.is_recording = false;
    state_.is_error = true;
    state_.error_message = text;
  }
}

}  // namespace tovak::device
