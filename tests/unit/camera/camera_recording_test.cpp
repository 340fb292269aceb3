// Recording to video files.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/unit/camera/camera_test_utils.h"
#include "tests/unit/camera/recording_probe.h"

namespace tovak::test {
namespace {

using tovak::device::CameraState;
using tovak::device::RealsenseCamera;
using tovak::device::UVCCamera;
using namespace std::chrono_literals;

class CameraRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("camrec-" + std::to_string(::getpid()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  static bool recording(tovak::device::AbstractCamera& cam) {
    CameraState s;
    cam.getState(s);
    return s.is_recording;
  }

  std::filesystem::path dir_;
};

TEST_F(CameraRecording, WritesAPlayableFileInTheContainerOfTheExtension) {
  auto cam = makeCamera<RealsenseCamera>("rs", "width=\"320\" height=\"240\"");
  cam->start();
  for (const std::string name : {"clip.mp4", "clip.mkv"}) {
    SCOPED_TRACE(name);
    cam->startRecording(file(name));
    EXPECT_TRUE(recording(*cam));
    std::this_thread::sleep_for(1200ms);
    cam->stopRecording();
    EXPECT_FALSE(recording(*cam));
    const VideoFileInfo info = probeVideoFile(file(name));
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_EQ(info.codec, "h264");
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 240);
    EXPECT_GT(info.duration_s, 0.7);
    EXPECT_LT(info.duration_s, 2.5);
    EXPECT_GT(info.frames, 15);
  }
}

TEST_F(CameraRecording, PausedTimeIsLeftOut) {
  auto cam = makeCamera<UVCCamera>("uvc", "width=\"160\" height=\"120\"");
  cam->start();
  cam->startRecording(file("paused.mkv"));
  std::this_thread::sleep_for(600ms);
  cam->pauseRecording();
  EXPECT_TRUE(recording(*cam));
  std::this_thread::sleep_for(1500ms);
  cam->resumeRecording();
  std::this_thread::sleep_for(600ms);
  cam->stopRecording();
  const VideoFileInfo info = probeVideoFile(file("paused.mkv"));
  ASSERT_TRUE(info.opened) << info.error;
  // 1.2 s recorded out of 2.7 s.
  EXPECT_GT(info.duration_s, 0.8);
  EXPECT_LT(info.duration_s, 2.0);
}

TEST_F(CameraRecording, RefusalsNameTheCameraAndTheProblem) {
  auto cam = makeCamera<UVCCamera>("head_camera");
  EXPECT_EQ(thrownText([&] { cam->startRecording(file("a.mp4")); }), "camera head_camera is not started");
  cam->start();
  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"", "camera head_camera: recording path is empty"},
      {file("missing/dir/a.mp4"), "cannot open '" + file("missing/dir/a.mp4") + "' for writing"},
      {file("a.xyz"), "the file extension names no video container"},
      {file("noextension"), "the file extension names no video container"},
  };
  for (const auto& c : cases) {
    const std::string text = thrownText([&] { cam->startRecording(c.path); });
    EXPECT_NE(text.find(c.expected), std::string::npos) << c.path << ": " << text;
    EXPECT_FALSE(recording(*cam));
  }
  EXPECT_EQ(thrownText([&] { cam->stopRecording(); }), "camera head_camera is not recording");
  EXPECT_EQ(thrownText([&] { cam->pauseRecording(); }), "camera head_camera is not recording");
  cam->startRecording(file("a.mp4"));
  EXPECT_EQ(thrownText([&] { cam->startRecording(file("b.mp4")); }),
            "camera head_camera is already recording to " + file("a.mp4"));
  EXPECT_EQ(thrownText([&] { cam->resumeRecording(); }), "recording of camera head_camera is not paused");
  cam->pauseRecording();
  EXPECT_EQ(thrownText([&] { cam->pauseRecording(); }), "recording of camera head_camera is already paused");
  cam->stopRecording();
}

TEST_F(CameraRecording, StoppingOrDestroyingTheCameraFinishesTheFile) {
  {
    auto cam = makeCamera<UVCCamera>("uvc", "width=\"160\" height=\"120\"");
    cam->start();
    cam->startRecording(file("stopped.mp4"));
    std::this_thread::sleep_for(500ms);
    cam->stop();
    EXPECT_FALSE(recording(*cam));
    EXPECT_EQ(thrownText([&] { cam->stopRecording(); }), "camera uvc is not recording");
    auto destroyed = makeCamera<UVCCamera>("uvc2", "width=\"160\" height=\"120\"");
    destroyed->start();
    destroyed->startStreaming();
    destroyed->startRecording(file("destroyed.mkv"));
    std::this_thread::sleep_for(500ms);
  }  // destroyed without stop()
  for (const std::string name : {"stopped.mp4", "destroyed.mkv"}) {
    const VideoFileInfo info = probeVideoFile(file(name));
    ASSERT_TRUE(info.opened) << name << ": " << info.error;
    EXPECT_EQ(info.width, 160);
    EXPECT_GT(info.duration_s, 0.2) << name;
  }
}

}  // namespace
}  // namespace tovak::test
