#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "devices/speaker/abstract_speaker.h"
#include "drivers/common/include/fault_injector.h"

namespace tovak::device {

// Simulated speaker: plays real audio files.
//
// play(path) opens the file with libavformat, decodes its best audio stream
// with libavcodec, resamples it to 48 kHz stereo S16 and plays it in real
// time on the driver's own thread. Where the samples go is the `output`
// setting:
//   "null"          (default) consumes the samples at their real rate and
//                   discards them, for machines without a sound card;
//   "alsa:<device>" writes them to an ALSA PCM device ("alsa:default").
//
// Settings (XML attributes of the element, and updateParams parameters):
//   volume  0..100, default 80: output gain in percent, applied to every
//           sample (100 = the file's own level, 0 = silence). Applies at once.
//   output  as above, default "null". Applies from the next play().
//   fault   "<operation>:<text>" (FaultInjector); operations: init, start,
//           stop, getState, play, setVolume, getVolume, pause, resume,
//           updateParams.
//
// Lifecycle: init() marks the speaker initialised; play() needs that and
// nothing more (the speaker service never calls start()). start() and stop()
// drive is_running; stop() also ends playback, and a later play() works
// without a start(). Playing while a file plays replaces it. pause() and
// resume() need a file that plays; pausing twice or resuming an unpaused
// file changes nothing.
//
// State: is_decoding is true from a successful play() until the end of the
// file (or stop(), or a replacing play()); is_paused while paused.
class ffmpegSpeaker : public AbstractSpeaker {
 public:
  static constexpr int kMinVolume = 0;
  static constexpr int kMaxVolume = 100;
  static constexpr int kDefaultVolume = 80;
  static constexpr int kOutputRate = 48000;
  static constexpr int kOutputChannels = 2;

  // Throws std::invalid_argument naming the device, the setting and the
  // value when an attribute is invalid.
  explicit ffmpegSpeaker(const XmlNode& cfg);
  // Ends playback and joins the playback thread.
  ~ffmpegSpeaker() override;

  void init() override;
  void start() override;
  void stop() override;
  void updateParams(const std::pair<std::string, std::string>& param) override;

  void getState(SpeakerState& state) override;
  void play(const std::string& path) override;
  void setVolume(int volume) override;
  int getVolume() override;
  void pause() override;
  void resume() override;

  // Opaque: the open file, its decoder and the output of one playback.
  struct Playback;

 private:
  void endPlayback_();
  void run_(Playback& pb);
  void checkVolume_(int volume) const;
  void applySetting_(const std::string& name, const std::string& value);

  FaultInjector faults_;

  // Serialises the operations that start or end a playback thread.
  std::mutex control_mtx_;

  // Guards state_, output_ and the playback flags below; the playback
  // thread waits on cv_ for pause, resume and stop.
  std::mutex mtx_;
  std::condition_variable cv_;
  std::string output_ = "null";
  bool stop_requested_ = false;

  std::unique_ptr<Playback> playback_;
  std::thread thread_;
};

}  // namespace tovak::device
