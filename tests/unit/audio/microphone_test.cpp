#include "drivers/ffmpeg_microphone/include/ffmpeg_microphone.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/server_process.h"
#include "tests/unit/audio/audio_files.h"

namespace {

using namespace std::chrono_literals;
using tovak::device::ffmpegMicroPhone;
using tovak::device::MicrophoneState;
namespace fs = std::filesystem;

XmlNode element(const std::string& xml) {
  std::istringstream in(xml);
  return XmlNode(in);
}

MicrophoneState stateOf(ffmpegMicroPhone& m) {
  MicrophoneState st;
  m.getState(st);
  return st;
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// -12 dBFS, the documented level of the tone at unity gain.
const double kToneLevel = std::pow(10.0, -12.0 / 20.0);

class MicrophoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tovak::test::makeTempDir("microphone_test");
    mic_ = make(R"(<ffmpegMicPhone id="mic"/>)");
  }
  void TearDown() override {
    mic_.reset();
    tovak::test::removeTree(dir_);
  }
  static std::unique_ptr<ffmpegMicroPhone> make(const std::string& xml) {
    auto m = std::make_unique<ffmpegMicroPhone>(element(xml));
    m->init();
    m->start();
    return m;
  }
  // Only the final file: no ".part" or other leftovers.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir_;
  std::unique_ptr<ffmpegMicroPhone> mic_;
};

TEST(MicrophoneSettings, AttributesAreCheckedByTheConstructor) {
  struct Case {
    const char* xml;
    const char* error;  // empty: accepted
  } cases[] = {
      {R"(<ffmpegMicPhone id="m"/>)", ""},
      {R"(<ffmpegMicPhone id="m" volume="0" source="alsa:default" sample_rate="8000" channels="2" tone_hz="1000"/>)", ""},
      {R"(<ffmpegMicPhone id="m" volume="101"/>)", "microphone m: invalid volume '101' (accepted: an integer from 0 to 100)"},
      {R"(<ffmpegMicPhone id="m" source="line-in"/>)", "microphone m: invalid source 'line-in'"},
      {R"(<ffmpegMicPhone id="m" sample_rate="44.1k"/>)", "invalid sample_rate '44.1k' (accepted: an integer from 8000 to 192000 Hz)"},
      {R"(<ffmpegMicPhone id="m" channels="3"/>)", "invalid channels '3' (accepted: an integer from 1 to 2)"},
      {R"(<ffmpegMicPhone id="m" tone_hz="0"/>)", "invalid tone_hz '0'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    if (*c.error == '\0') {
      EXPECT_NO_THROW(ffmpegMicroPhone{element(c.xml)});
    } else {
      try {
        ffmpegMicroPhone m{element(c.xml)};
        ADD_FAILURE() << "accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      }
    }
  }
  ffmpegMicroPhone m{element(R"(<ffmpegMicPhone id="m"/>)")};
  EXPECT_EQ(m.getVolume(), 100);
  EXPECT_EQ(errorOf([&] { m.updateParams({"gain", "1"}); }),
            "microphone m has no parameter 'gain' (parameters: volume, source, sample_rate, channels, tone_hz, fault)");
}

// Every supported container: a real file that libavformat reads back with the
// recorded duration.
TEST_F(MicrophoneTest, RecordsEachContainerWithTheRecordedDuration) {
  struct Case {
    const char* file;
    const char* codec;
  } cases[] = {{"a.wav", "pcm_s16le"}, {"a.flac", "flac"}, {"a.ogg", "vorbis"}, {"a.opus", "opus"}, {"a.mp3", "mp3"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = dir_ + "/" + c.file;
    mic_->startRecording(path);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(stateOf(*mic_).is_recording);
    EXPECT_FALSE(fs::exists(path)) << "only the finished file carries the name";
    std::this_thread::sleep_for(500ms);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    mic_->stopRecording();
    EXPECT_FALSE(stateOf(*mic_).is_recording);
    const auto info = tovak::test::readAudio(path);
    EXPECT_EQ(info.codec.rfind(c.codec, 0), 0u) << info.codec;
    EXPECT_EQ(info.sample_rate, 48000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_NEAR(info.container_seconds, wall, 0.1);
    EXPECT_NEAR(info.decoded_seconds, wall, 0.1);
    std::printf("%-7s wall %.4f s, container %.4f s, decoded %.4f s\n", c.file, wall, info.container_seconds,
                info.decoded_seconds);
    EXPECT_FALSE(fs::exists(path + ".part"));
  }
  EXPECT_TRUE(stateOf(*mic_).is_running) << "stopRecording leaves the microphone started";
}

TEST_F(MicrophoneTest, PausedTimeIsLeftOutOfTheFile) {
  const std::string path = dir_ + "/paused.wav";
  mic_->startRecording(path);
  std::this_thread::sleep_for(300ms);
  mic_->pause();
  EXPECT_TRUE(stateOf(*mic_).is_recording);
  std::this_thread::sleep_for(600ms);
  EXPECT_NO_THROW(mic_->pause());  // pausing twice changes nothing
  mic_->resume();
  EXPECT_NO_THROW(mic_->resume());
  std::this_thread::sleep_for(300ms);
  mic_->stopRecording();
  const auto info = tovak::test::readAudio(path);
  EXPECT_NEAR(info.container_seconds, 0.6, 0.1);
  EXPECT_NEAR(info.decoded_seconds, 0.6, 0.1);
}

TEST_F(MicrophoneTest, VolumeIsTheInputGainOfTheDocumentedTone) {
  struct Case {
    int volume;
    double peak;
  } cases[] = {{100, kToneLevel}, {50, kToneLevel / 2}, {0, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volume);
    mic_->setVolume(c.volume);
    EXPECT_EQ(mic_->getVolume(), c.volume);
    const std::string path = dir_ + "/v" + std::to_string(c.volume) + ".wav";
    mic_->startRecording(path);
    std::this_thread::sleep_for(100ms);
    mic_->stopRecording();
    EXPECT_NEAR(tovak::test::readAudio(path).peak, c.peak, 0.005);
  }
  EXPECT_EQ(errorOf([&] { mic_->setVolume(101); }), "microphone mic: volume 101 is out of range 0 to 100");
  EXPECT_EQ(errorOf([&] { mic_->setVolume(-1); }), "microphone mic: volume -1 is out of range 0 to 100");
  EXPECT_EQ(mic_->getVolume(), 0);
}

TEST_F(MicrophoneTest, RefusedRecordingsLeaveNoFileAndSetErrorMessage) {
  fs::create_directory(dir_ + "/taken.wav");
  struct Case {
    std::string path;
    std::string error;
  } cases[] = {
      {dir_ + "/a.xyz", "microphone mic cannot record to '" + dir_ +
                            "/a.xyz': unknown file extension '.xyz' (supported: .wav, .flac, .ogg, .opus, .mp3)"},
      {dir_ + "/noext", "microphone mic cannot record to '" + dir_ +
                            "/noext': no file extension (supported: .wav, .flac, .ogg, .opus, .mp3)"},
      {"", "microphone mic cannot record to '': no file name given"},
      {dir_ + "/no/such/dir/a.wav", "microphone mic cannot record to '" + dir_ + "/no/such/dir/a.wav': cannot create '" +
                                        dir_ + "/no/such/dir/a.wav.part': No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(errorOf([&] { mic_->startRecording(c.path); }), c.error);
    const MicrophoneState st = stateOf(*mic_);
    EXPECT_FALSE(st.is_recording);
    EXPECT_EQ(st.error_message, c.error);
  }
  EXPECT_EQ(files(), std::vector<std::string>{"taken.wav"});

  // A clean start clears the last error.
  mic_->startRecording(dir_ + "/ok.wav");
  EXPECT_EQ(stateOf(*mic_).error_message, "");
  EXPECT_EQ(errorOf([&] { mic_->startRecording(dir_ + "/other.wav"); }),
            "microphone mic is already recording to '" + dir_ + "/ok.wav'");
  mic_->stopRecording();
  EXPECT_EQ(errorOf([&] { mic_->stopRecording(); }), "microphone mic is not recording");
  EXPECT_EQ(errorOf([&] { mic_->pause(); }), "microphone mic is not recording");

  // Opus only takes its own sample rates.
  mic_->updateParams({"sample_rate", "44100"});
  const std::string err = errorOf([&] { mic_->startRecording(dir_ + "/a.opus"); });
  EXPECT_NE(err.find("encoder does not support 44100 Hz (supported: 48000"), std::string::npos) << err;
  EXPECT_EQ(files(), (std::vector<std::string>{"ok.wav", "taken.wav"}));
}

TEST_F(MicrophoneTest, AFileThatCannotBeFinalisedIsRemovedAndReported) {
  // The name is taken by a directory: the recording runs as ".part" but
  // cannot take its name at the end.
  const std::string path = dir_ + "/taken.wav";
  fs::create_directory(path);
  mic_->startRecording(path);
  std::this_thread::sleep_for(50ms);
  const std::string err = errorOf([&] { mic_->stopRecording(); });
  EXPECT_EQ(err.rfind("microphone mic: recording to '" + path + "' failed: cannot rename", 0), 0u) << err;
  const MicrophoneState st = stateOf(*mic_);
  EXPECT_FALSE(st.is_recording);
  EXPECT_TRUE(st.is_error);
  EXPECT_EQ(st.error_message, err);
  EXPECT_EQ(files(), std::vector<std::string>{"taken.wav"});
}

TEST_F(MicrophoneTest, LifecycleStartIsNeededAndStopFinalises) {
  auto fresh = std::make_unique<ffmpegMicroPhone>(element(R"(<ffmpegMicPhone id="m2"/>)"));
  EXPECT_EQ(errorOf([&] { fresh->start(); }), "microphone m2 is not initialized");
  fresh->init();
  EXPECT_EQ(errorOf([&] { fresh->startRecording(dir_ + "/x.wav"); }), "microphone m2 is not started");
  EXPECT_EQ(stateOf(*fresh).error_message, "microphone m2 is not started");
  fresh->start();
  EXPECT_TRUE(stateOf(*fresh).is_running);
  fresh->start();  // starting twice is harmless (the service always starts first)

  // stop() finalises a recording in progress, and is idempotent.
  fresh->startRecording(dir_ + "/stopped.ogg");
  std::this_thread::sleep_for(200ms);
  fresh->stop();
  MicrophoneState st = stateOf(*fresh);
  EXPECT_FALSE(st.is_running);
  EXPECT_FALSE(st.is_recording);
  EXPECT_NO_THROW(fresh->stop());
  EXPECT_NEAR(tovak::test::readAudio(dir_ + "/stopped.ogg").container_seconds, 0.2, 0.1);

  // Destroyed while recording: the thread is joined and the file kept whole.
  fresh->start();
  fresh->startRecording(dir_ + "/destroyed.wav");
  std::this_thread::sleep_for(100ms);
  fresh.reset();
  EXPECT_NEAR(tovak::test::readAudio(dir_ + "/destroyed.wav").decoded_seconds, 0.1, 0.1);
}

TEST_F(MicrophoneTest, SettingsShapeTheNextRecording) {
  mic_->updateParams({"sample_rate", "16000"});
  mic_->updateParams({"channels", "2"});
  mic_->updateParams({"tone_hz", "1000"});
  mic_->startRecording(dir_ + "/s.flac");
  std::this_thread::sleep_for(100ms);
  mic_->stopRecording();
  const auto info = tovak::test::readAudio(dir_ + "/s.flac");
  EXPECT_EQ(info.sample_rate, 16000);
  EXPECT_EQ(info.channels, 2);

  mic_->updateParams({"fault", "startRecording:disk quota"});
  EXPECT_EQ(errorOf([&] { mic_->startRecording(dir_ + "/f.wav"); }), "disk quota");
  EXPECT_NO_THROW(mic_->startRecording(dir_ + "/f.wav"));
  mic_->stopRecording();

  mic_->updateParams({"source", "alsa:tovak_no_such_pcm"});
  const std::string err = errorOf([&] { mic_->startRecording(dir_ + "/alsa.wav"); });
  EXPECT_EQ(err.rfind("microphone mic cannot record to '" + dir_ +
                          "/alsa.wav': cannot open ALSA capture device 'tovak_no_such_pcm': ",
                      0),
            0u)
      << err;
  EXPECT_FALSE(fs::exists(dir_ + "/alsa.wav.part"));
}

// Several threads on one recording microphone: TSan checks the locking; the
// file must still come out whole.
TEST_F(MicrophoneTest, ConcurrentCallsDuringARecording) {
  const std::string path = dir_ + "/busy.wav";
  mic_->startRecording(path);
  std::atomic<bool> go{true};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (go) {
      mic_->pause();
      std::this_thread::sleep_for(3ms);
      mic_->resume();
    }
  });
  threads.emplace_back([&] {
    int v = 0;
    while (go) {
      mic_->setVolume(v++ % 101);
      const MicrophoneState st = stateOf(*mic_);
      EXPECT_TRUE(st.is_recording);
    }
  });
  threads.emplace_back([&] {
    while (go) {
      EXPECT_NE(errorOf([&] { mic_->startRecording(dir_ + "/second.wav"); }), "");
      std::this_thread::sleep_for(5ms);
    }
  });
  std::this_thread::sleep_for(600ms);
  go = false;
  for (auto& t : threads) t.join();
  mic_->stopRecording();
  const auto info = tovak::test::readAudio(path);
  EXPECT_GT(info.decoded_seconds, 0.0);
  EXPECT_LE(info.decoded_seconds, 0.7);
  EXPECT_EQ(files(), std::vector<std::string>{"busy.wav"});
}

}  // namespace
