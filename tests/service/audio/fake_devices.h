#pragma once

// Recording fake devices for service tests: each records the calls it
// receives, and can be told to throw a std::exception, to throw something
// else, or to reject one parameter name.

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/biohead/abstract_biohead.h"
#include "devices/camera/abstract_camera.h"
#include "devices/microphone/abstract_microphone.h"
#include "devices/speaker/abstract_speaker.h"

namespace tovak::test {

class CallRecorder {
 public:
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return calls_;
  }
  // Forgets the recorded calls and every failure setting.
  void reset() {
    std::lock_guard<std::mutex> lk(mtx_);
    calls_.clear();
    fail_text_.clear();
    fail_nonstd_ = false;
    fail_call_.clear();
  }
  // Every later call throws std::runtime_error(text); empty: none.
  void failWith(const std::string& text) {
    std::lock_guard<std::mutex> lk(mtx_);
    fail_text_ = text;
  }
  // Every later call throws an int.
  void failNonStd() {
    std::lock_guard<std::mutex> lk(mtx_);
    fail_nonstd_ = true;
  }
  // Only `call` (the text it is recorded as) throws std::runtime_error(text).
  void failCall(const std::string& call, const std::string& text) {
    std::lock_guard<std::mutex> lk(mtx_);
    fail_call_ = call;
    fail_call_text_ = text;
  }

 protected:
  void enter(const std::string& call) {
    std::lock_guard<std::mutex> lk(mtx_);
    calls_.push_back(call);
    if (fail_nonstd_) throw 42;
    if (!fail_text_.empty()) throw std::runtime_error(fail_text_);
    if (call == fail_call_) throw std::runtime_error(fail_call_text_);
  }

 private:
  mutable std::mutex mtx_;
  std::vector<std::string> calls_;
  std::string fail_text_;
  bool fail_nonstd_ = false;
  std::string fail_call_;
  std::string fail_call_text_;
};

class FakeSpeaker : public tovak::device::AbstractSpeaker, public CallRecorder {
 public:
  FakeSpeaker() : AbstractSpeaker(XmlNode()) {}
  tovak::device::SpeakerState reported{};
  int volume_reported = 0;

  void start() override { enter("start"); }
  void stop() override { enter("stop"); }
  void updateParams(const std::pair<std::string, std::string>& p) override {
    enter("updateParams:" + p.first + "=" + p.second);
  }
  void getState(tovak::device::SpeakerState& state) override {
    enter("getState");
    state = reported;
  }
  void play(const std::string& path) override { enter("play:" + path); }
  void setVolume(int volume) override { enter("setVolume:" + std::to_string(volume)); }
  int getVolume() override {
    enter("getVolume");
    return volume_reported;
  }
  void pause() override { enter("pause"); }
  void resume() override { enter("resume"); }
};

class FakeMicrophone : public tovak::device::AbstractMicrophone, public CallRecorder {
 public:
  FakeMicrophone() : AbstractMicrophone(XmlNode()) {}
  tovak::device::MicrophoneState reported{};
  int volume_reported = 0;

  void start() override { enter("start"); }
  void stop() override { enter("stop"); }
  void updateParams(const std::pair<std::string, std::string>& p) override {
    enter("updateParams:" + p.first + "=" + p.second);
  }
  void getState(tovak::device::MicrophoneState& state) override {
    enter("getState");
    state = reported;
  }
  void startRecording(const std::string& path) override { enter("startRecording:" + path); }
  void stopRecording() override { enter("stopRecording"); }
  void pause() override { enter("pause"); }
  void resume() override { enter("resume"); }
  void setVolume(int volume) override { enter("setVolume:" + std::to_string(volume)); }
  int getVolume() override {
    enter("getVolume");
    return volume_reported;
  }
};

// Only the lifecycle is recorded; the camera operations are never called by
// the services under test here.
class FakeCamera : public tovak::device::AbstractCamera, public CallRecorder {
 public:
  void stop() override { enter("stop"); }
  void getRGBImage(cv::Mat&, tovak::device::Rs2Intrinsics&) override { enter("getRGBImage"); }
  void getDepthImage(cv::Mat&, tovak::device::Rs2Intrinsics&) override { enter("getDepthImage"); }
  void getRGBDImages(cv::Mat&, cv::Mat&, tovak::device::Rs2Intrinsics&) override { enter("getRGBDImages"); }
  void startRecording(const std::string&) override { enter("startRecording"); }
  void stopRecording() override { enter("stopRecording"); }
  void pauseRecording() override { enter("pauseRecording"); }
  void resumeRecording() override { enter("resumeRecording"); }
  void getEncodedFrame(tovak::device::StreamFrameData&, size_t&) override { enter("getEncodedFrame"); }
  bool startStreaming() override {
    enter("startStreaming");
    return true;
  }
  void stopStreaming() override { enter("stopStreaming"); }
  Eigen::Vector3f get3DPointFromPixel(int, int) override {
    enter("get3DPointFromPixel");
    return {};
  }
};

class FakeHead : public tovak::device::AbstractBiohead, public CallRecorder {
 public:
  FakeHead() : AbstractBiohead(XmlNode()) {}
  void stop() override { enter("stop"); }
  void getState(tovak::device::RobotState&) override { enter("getState"); }
  void eStop() override { enter("eStop"); }
  void setExpressionPose(tovak::device::FacialExpressionState&, double, double) override { enter("setExpressionPose"); }
  void streamFacialPose(tovak::device::FacialExpressionState&, double, double) override { enter("streamFacialPose"); }
  void speakstart() override { enter("speakstart"); }
  void speakstop() override { enter("speakstop"); }
  void expressionHappy() override { enter("expressionHappy"); }
  void expressionSurprised() override { enter("expressionSurprised"); }
  void expressionTired() override { enter("expressionTired"); }
  void expressionAngry() override { enter("expressionAngry"); }
  void expressionSadness() override { enter("expressionSadness"); }
  void expressionYawn() override { enter("expressionYawn"); }
};

}  // namespace tovak::test
