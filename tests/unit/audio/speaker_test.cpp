#include "drivers/ffmpeg_speaker/include/ffmpeg_speaker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "tests/support/server_process.h"
#include "tests/unit/audio/audio_files.h"

namespace {

using namespace std::chrono_literals;
using tovak::device::ffmpegSpeaker;
using tovak::device::SpeakerState;
using Clock = std::chrono::steady_clock;

XmlNode element(const std::string& xml) {
  std::istringstream in(xml);
  return XmlNode(in);
}

SpeakerState stateOf(ffmpegSpeaker& s) {
  SpeakerState st;
  s.getState(st);
  return st;
}

// Polls until the speaker stops decoding; the time it took, or -1 s.
std::chrono::duration<double> waitEndOfFile(ffmpegSpeaker& s, std::chrono::seconds limit = 10s) {
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < limit) {
    if (!stateOf(s).is_decoding) return Clock::now() - t0;
    std::this_thread::sleep_for(10ms);
  }
  return std::chrono::duration<double>(-1);
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

class SpeakerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tovak::test::makeTempDir("speaker_test");
    short_ = dir_ + "/short.wav";
    long_ = dir_ + "/long.wav";
    tovak::test::writeWav(short_, 0.4, 44100, 2);
    tovak::test::writeWav(long_, 5.0, 22050, 1);
    speaker_ = std::make_unique<ffmpegSpeaker>(element(R"(<ffmpegSpeaker id="spk"/>)"));
    speaker_->init();
  }
  void TearDown() override {
    speaker_.reset();
    tovak::test::removeTree(dir_);
  }
  std::string dir_, short_, long_;
  std::unique_ptr<ffmpegSpeaker> speaker_;
};

TEST(SpeakerSettings, AttributesAreCheckedByTheConstructor) {
  struct Case {
    const char* xml;
    const char* error;  // empty: accepted
  } cases[] = {
      {R"(<ffmpegSpeaker id="s"/>)", ""},
      {R"(<ffmpegSpeaker id="s" volume="0" output="alsa:default"/>)", ""},
      {R"(<ffmpegSpeaker id="s" volume="100" output="null"/>)", ""},
      {R"(<ffmpegSpeaker id="s" volume="150"/>)", "speaker s: invalid volume '150' (accepted: an integer from 0 to 100)"},
      {R"(<ffmpegSpeaker id="s" volume="-1"/>)", "invalid volume '-1'"},
      {R"(<ffmpegSpeaker id="s" volume="50%"/>)", "invalid volume '50%'"},
      {R"(<ffmpegSpeaker id="s" volume=""/>)", "invalid volume ''"},
      {R"(<ffmpegSpeaker id="s" output="pulse"/>)", "speaker s: invalid output 'pulse'"},
      {R"(<ffmpegSpeaker id="s" output="alsa:"/>)", "invalid output 'alsa:'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    if (*c.error == '\0') {
      EXPECT_NO_THROW(ffmpegSpeaker{element(c.xml)});
    } else {
      try {
        ffmpegSpeaker s{element(c.xml)};
        ADD_FAILURE() << "accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      }
    }
  }
}

TEST(SpeakerSettings, DefaultsAndParameters) {
  ffmpegSpeaker s{element(R"(<ffmpegSpeaker id="s"/>)")};
  EXPECT_EQ(s.getVolume(), 80);
  SpeakerState st = stateOf(s);
  EXPECT_FALSE(st.is_initialized);
  EXPECT_FALSE(st.is_running);
  s.updateParams({"volume", "35"});
  EXPECT_EQ(s.getVolume(), 35);
  EXPECT_THROW(s.updateParams({"volume", "101"}), std::invalid_argument);
  EXPECT_EQ(s.getVolume(), 35);
  EXPECT_NO_THROW(s.updateParams({"output", "alsa:hw:0"}));
  EXPECT_EQ(errorOf([&] { s.updateParams({"gain", "3"}); }),
            "speaker s has no parameter 'gain' (parameters: volume, output, fault)");
}

TEST_F(SpeakerTest, SetVolumeAcceptsZeroToHundredAndNamesTheRangeOtherwise) {
  for (int v : {0, 100, 57}) {
    speaker_->setVolume(v);
    EXPECT_EQ(speaker_->getVolume(), v);
    EXPECT_EQ(stateOf(*speaker_).volume, v);
  }
  EXPECT_EQ(errorOf([&] { speaker_->setVolume(101); }), "speaker spk: volume 101 is out of range 0 to 100");
  EXPECT_EQ(errorOf([&] { speaker_->setVolume(-5); }), "speaker spk: volume -5 is out of range 0 to 100");
  EXPECT_EQ(speaker_->getVolume(), 57);
}

TEST_F(SpeakerTest, LifecycleDrivesIsRunningAndPlayNeedsOnlyInit) {
  ffmpegSpeaker fresh{element(R"(<ffmpegSpeaker id="raw"/>)")};
  EXPECT_EQ(errorOf([&] { fresh.play(short_); }), "speaker raw is not initialized");

  SpeakerState st = stateOf(*speaker_);
  EXPECT_TRUE(st.is_initialized);
  EXPECT_FALSE(st.is_running);
  speaker_->play(short_);
  EXPECT_TRUE(stateOf(*speaker_).is_decoding);
  speaker_->start();
  EXPECT_TRUE(stateOf(*speaker_).is_running);
  speaker_->stop();
  st = stateOf(*speaker_);
  EXPECT_FALSE(st.is_running);
  EXPECT_FALSE(st.is_decoding);
  EXPECT_NO_THROW(speaker_->stop());  // idempotent
  // A stopped speaker plays again without start().
  speaker_->play(short_);
  EXPECT_TRUE(stateOf(*speaker_).is_decoding);
}

TEST_F(SpeakerTest, PlaysInRealTimeAndPauseHoldsThePlayback) {
  // Unpaused, the 0.4 s file ends after about 0.4 s (loose bounds).
  speaker_->play(short_);
  auto took = waitEndOfFile(*speaker_);
  EXPECT_GE(took.count(), 0.3);
  EXPECT_LT(took.count(), 3.0);

  // Paused for 0.6 s, it ends only after pause + playing time.
  const auto t0 = Clock::now();
  speaker_->play(short_);
  std::this_thread::sleep_for(100ms);
  speaker_->pause();
  SpeakerState st = stateOf(*speaker_);
  EXPECT_TRUE(st.is_decoding);
  EXPECT_TRUE(st.is_paused);
  std::this_thread::sleep_for(600ms);
  st = stateOf(*speaker_);
  EXPECT_TRUE(st.is_decoding) << "a paused file must not run out";
  EXPECT_TRUE(st.is_paused);
  EXPECT_NO_THROW(speaker_->pause());  // pausing twice changes nothing
  speaker_->resume();
  st = stateOf(*speaker_);
  EXPECT_TRUE(st.is_decoding);
  EXPECT_FALSE(st.is_paused);
  ASSERT_GE(waitEndOfFile(*speaker_).count(), 0);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 0.9);
  st = stateOf(*speaker_);
  EXPECT_FALSE(st.is_paused);
  EXPECT_EQ(errorOf([&] { speaker_->pause(); }), "speaker spk is not playing");
  EXPECT_EQ(errorOf([&] { speaker_->resume(); }), "speaker spk is not playing");
}

TEST_F(SpeakerTest, PlayDuringPlaybackReplacesTheFile) {
  speaker_->play(long_);
  std::this_thread::sleep_for(100ms);
  speaker_->pause();
  speaker_->play(short_);
  SpeakerState st = stateOf(*speaker_);
  EXPECT_TRUE(st.is_decoding);
  EXPECT_FALSE(st.is_paused) << "the new file starts playing";
  const auto took = waitEndOfFile(*speaker_);
  EXPECT_GE(took.count(), 0);
  EXPECT_LT(took.count(), 3.0) << "the 5 s file must have been replaced";
}

TEST_F(SpeakerTest, UnplayableFilesAreRefusedWithPathAndReason) {
  const std::string text = dir_ + "/notes.wav";
  tovak::test::writeFile(text, "this is not audio at all, just some words\n");
  const std::string empty = dir_ + "/empty.mp3";
  tovak::test::writeFile(empty, "");
  struct Case {
    std::string path;
    std::string error;
  } cases[] = {
      {dir_ + "/missing.wav", "speaker spk cannot play '" + dir_ + "/missing.wav': No such file or directory"},
      {"", "speaker spk cannot play '': no file name given"},
      {dir_, "speaker spk cannot play '" + dir_ + "': it is a directory"},
      {text, "speaker spk cannot play '" + text + "': "},
      {empty, "speaker spk cannot play '" + empty + "': the file is empty"},
  };
  // A refused file leaves the current playback alone.
  speaker_->play(long_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string err = errorOf([&] { speaker_->play(c.path); });
    if (c.error.back() == ' ') {  // FFmpeg's own reason follows
      EXPECT_EQ(err.rfind(c.error, 0), 0u) << err;
      EXPECT_GT(err.size(), c.error.size()) << err;
    } else {
      EXPECT_EQ(err, c.error);
    }
    EXPECT_TRUE(stateOf(*speaker_).is_decoding);
  }
  if (geteuid() != 0) {  // root reads everything
    const std::string locked = dir_ + "/locked.wav";
    tovak::test::writeWav(locked, 0.1);
    chmod(locked.c_str(), 0);
    EXPECT_EQ(errorOf([&] { speaker_->play(locked); }), "speaker spk cannot play '" + locked + "': Permission denied");
  }
}

TEST_F(SpeakerTest, AlsaOutputThatCannotOpenIsRefused) {
  speaker_->updateParams({"output", "alsa:tovak_no_such_pcm"});
  const std::string err = errorOf([&] { speaker_->play(short_); });
  EXPECT_EQ(err.rfind("speaker spk cannot open ALSA device 'tovak_no_such_pcm': ", 0), 0u) << err;
  EXPECT_FALSE(stateOf(*speaker_).is_decoding);
}

TEST_F(SpeakerTest, FaultParameterFailsTheNamedOperationOnce) {
  speaker_->updateParams({"fault", "play:decoder on fire"});
  EXPECT_EQ(errorOf([&] { speaker_->play(short_); }), "decoder on fire");
  EXPECT_NO_THROW(speaker_->play(short_));
  speaker_->updateParams({"fault", "stop:!nonstd"});
  EXPECT_THROW(speaker_->stop(), tovak::device::NonStandardFault);
  EXPECT_TRUE(stateOf(*speaker_).is_decoding) << "a failed stop changes nothing";
}

TEST_F(SpeakerTest, DestroyedWhilePlayingJoinsItsThread) {
  speaker_->play(long_);
  speaker_->pause();
  speaker_.reset();  // must neither hang nor crash
  SUCCEED();
}

// Several threads on one speaker: TSan checks the locking, the final state
// must still be consistent.
TEST_F(SpeakerTest, ConcurrentCallsKeepTheStateConsistent) {
  std::atomic<bool> go{true};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (go) {
      try {
        speaker_->play(short_);
      } catch (const std::exception&) {
      }
      std::this_thread::sleep_for(15ms);
    }
  });
  threads.emplace_back([&] {
    while (go) {
      try {
        speaker_->pause();
        speaker_->resume();
      } catch (const std::exception&) {  // "not playing" between files
      }
    }
  });
  threads.emplace_back([&] {
    int v = 0;
    while (go) {
      speaker_->setVolume(v++ % 101);
      SpeakerState st = stateOf(*speaker_);
      EXPECT_FALSE(st.is_paused && !st.is_decoding);
      EXPECT_GE(st.volume, 0);
      EXPECT_LE(st.volume, 100);
    }
  });
  threads.emplace_back([&] {
    while (go) {
      speaker_->stop();
      std::this_thread::sleep_for(40ms);
    }
  });
  std::this_thread::sleep_for(800ms);
  go = false;
  for (auto& t : threads) t.join();
  speaker_->stop();
  const SpeakerState st = stateOf(*speaker_);
  EXPECT_FALSE(st.is_decoding);
  EXPECT_FALSE(st.is_paused);
}

}  // namespace
