// Many threads on one camera at once, without gRPC in between, so
// ThreadSanitizer sees every access.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/unit/camera/camera_test_utils.h"

namespace tovak::test {
namespace {

using namespace std::chrono_literals;

TEST(CameraConcurrency, StreamsImagesStateRecordingAndRestartsTogether) {
  auto cam = makeCamera<tovak::device::RealsenseCamera>("rs", "width=\"160\" height=\"120\" fps=\"60\"");
  cam->start();
  const auto until = std::chrono::steady_clock::now() + 2s;
  std::atomic<int> frames{0}, images{0};
  std::mutex mtx;
  std::vector<std::string> unexpected;
  // Texts a caller may legitimately meet while another thread restarts the camera.
  auto expected = [](const std::string& t) {
    for (const char* ok : {"is not started", "is not recording", "is already recording", "is not streaming"}) {
      if (t.find(ok) != std::string::npos) return true;
    }
    return false;
  };
  auto guard = [&](auto&& body) {
    return [&, body] {
      while (std::chrono::steady_clock::now() < until) {
        try {
          body();
        } catch (const std::exception& e) {
          if (!expected(e.what())) {
            std::lock_guard<std::mutex> lk(mtx);
            unexpected.push_back(e.what());
          }
          std::this_thread::sleep_for(5ms);
        }
      }
    };
  };
  const std::string rec = (std::filesystem::temp_directory_path() / "camconc.mkv").string();
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back(guard([&] {
      cam->startStreaming();
      size_t index = 0;
      try {
        for (int n = 0; n < 20; ++n) {
          tovak::device::StreamFrameData fd;
          cam->getEncodedFrame(fd, index);
          if (!fd.rgbFrame.empty()) ++frames;
        }
      } catch (...) {
        cam->stopStreaming();
        throw;
      }
      cam->stopStreaming();
    }));
  }
  threads.emplace_back(guard([&] {
    cv::Mat c, d;
    tovak::device::Rs2Intrinsics k;
    cam->getRGBDImages(c, d, k);
    ++images;
  }));
  threads.emplace_back(guard([&] {
    tovak::device::CameraState s;
    cam->getState(s);
    std::this_thread::sleep_for(1ms);
  }));
  threads.emplace_back(guard([&] {
    cam->startRecording(rec);
    std::this_thread::sleep_for(150ms);
    cam->stopRecording();
  }));
  threads.emplace_back(guard([&] {
    std::this_thread::sleep_for(400ms);
    cam->stop();
    std::this_thread::sleep_for(50ms);
    cam->start();
  }));
  for (auto& t : threads) t.join();
  cam->stop();
  std::filesystem::remove(rec);
  EXPECT_TRUE(unexpected.empty()) << unexpected.front();
  EXPECT_GT(frames.load(), 10);
  EXPECT_GT(images.load(), 10);
  tovak::device::CameraState s;
  cam->getState(s);
  EXPECT_FALSE(s.is_streaming);
  EXPECT_FALSE(s.is_recording);
  EXPECT_FALSE(s.is_opened);
}

}  // namespace
}  // namespace tovak::test
