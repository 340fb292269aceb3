#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "devices/microphone/abstract_microphone.h"
#include "drivers/common/include/fault_injector.h"

namespace tovak::device {

// Simulated microphone: records real audio files.
//
// startRecording(path) records in real time, on the driver's own thread, from
// the `source` setting:
//   "tone"          (default) a synthetic sine: `tone_hz` (default 440 Hz) at
//                   -12 dBFS before the input gain, identical on every channel;
//   "alsa:<device>" an ALSA capture device ("alsa:default").
// The samples are encoded with libavcodec into the container that the file's
// extension names (libavformat):
//   .wav  PCM 16-bit    .flac FLAC    .ogg  Vorbis    .opus Opus    .mp3 MP3
//
// The file is written as "<path>.part" and renamed to `path` only when
// stopRecording() (or stop()) has finalised it, so a file at `path` is always
// complete; a recording that fails on the way removes its ".part" file.
// pause() and resume() leave the paused time out of the file: its timestamps
// continue without a gap.
//
// Settings (XML attributes of the element, and updateParams parameters):
//   volume       0..100, default 100: input gain in percent (100 = the
//                source's own level). Applies at once.
//   source       as above, default "tone".
//   sample_rate  8000..192000 Hz, default 48000.
//   channels     1 or 2, default 1.
//   tone_hz      1 .. sample_rate/2 Hz, default 440.
//   fault        "<operation>:<text>" (FaultInjector); operations: init,
//                start, stop, getState, startRecording, stopRecording, pause,
//                resume, setVolume, getVolume, updateParams.
// source, sample_rate, channels and tone_hz apply from the next recording.
//
// Lifecycle: init() marks the microphone initialised, start() running;
// startRecording needs a started microphone (the service starts it first)
// and no recording in progress. stop() finalises a recording in progress and
// is idempotent. error_message holds the text of the last failed recording
// (refused by startRecording, or broken off by a capture or write error,
// which also sets is_error); a recording that starts cleanly clears both.
class ffmpegMicroPhone : public AbstractMicrophone {
 public:
  static constexpr int kMinVolume = 0;
  static constexpr int kMaxVolume = 100;
  static constexpr int kDefaultVolume = 100;
  static constexpr double kToneLevelDbfs = -12.0;

  // Throws std::invalid_argument naming the device, the setting and the
  // value when an attribute is invalid.
  explicit ffmpegMicroPhone(const XmlNode& cfg);
  // Finalises a recording in progress and joins the recording thread.
  ~ffmpegMicroPhone() override;

  void init() override;
  void start() override;
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  void getState(MicrophoneState& state) override;
  void startRecording(const std::string& path) override;
  void stopRecording() override;
  void pause() override;
  void resume() override;
  void setVolume(int volume) override;
  int getVolume() override;

  // Opaque: the source, encoder and output file of one recording.
  struct Recording;

 private:
  struct Settings {
    std::string source = "tone";
    int sample_rate = 48000;
    int channels = 1;
    int tone_hz = 440;
  };
  using Clock = std::chrono::steady_clock;

  void applySetting_(const std::string& name, const std::string& value);
  void finishRecording_();
  void run_(Recording& rec);
  // Recorded (unpaused) time so far; caller holds mtx_.
  Clock::duration activeTime_(Clock::time_point now) const;

  FaultInjector faults_;

  // Serialises the operations that start or end a recording thread.
  std::mutex control_mtx_;

  // Guards state_, settings_ and the recording clock and flags below; the
  // recording thread waits on cv_.
  mutable std::mutex mtx_;
  std::condition_variable cv_;
  Settings settings_;
  bool paused_ = false;
  bool stop_requested_ = false;
  // Recorded time = active_before_ + (now - segment_start_) while not paused.
  Clock::duration active_before_{};
  Clock::time_point segment_start_{};
  // Set by the thread when the recording broke off.
  std::string failure_;

  std::unique_ptr<Recording> recording_;
  std::thread thread_;
};

}  // namespace tovak::device
