// Encoded streams of the simulated cameras, without gRPC in between.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "drivers/camera_sim/include/depth_video.h"
#include "drivers/camera_sim/include/h264_encoder.h"
#include "drivers/camera_sim/include/scene_renderer.h"
#include "tests/unit/camera/camera_test_utils.h"
#include "tests/unit/camera/h264_decoder.h"

namespace tovak::test {
namespace {

using tovak::device::CameraState;
using tovak::device::RealsenseCamera;
using tovak::device::StreamFrameData;
using tovak::device::UVCCamera;

std::string bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Waits for the next frame set (the camera returns empty-handed after 1 s).
StreamFrameData nextFrame(tovak::device::AbstractCamera& cam, size_t& index) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    StreamFrameData fd;
    cam.getEncodedFrame(fd, index);
    if (!fd.rgbFrame.empty()) return fd;
  }
  throw std::runtime_error("no frame within 5 s");
}

TEST(CameraStream, FramesDecodeFromTheFirstWhichIsAKeyFrameWithParameterSets) {
  auto cam = makeCamera<RealsenseCamera>("rs", "width=\"320\" height=\"240\" gop=\"10\"");
  cam->start();
  // Join in the middle of the camera's life, not at its first frame.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(cam->startStreaming());
  H264Decoder color_dec, depth_dec;
  size_t index = 0;
  int color_keys = 0;
  for (int i = 0; i < 25; ++i) {
    SCOPED_TRACE(i);
    const StreamFrameData fd = nextFrame(*cam, index);
    EXPECT_EQ(fd.codec, ".h264");
    EXPECT_EQ(fd.width, 320);
    EXPECT_EQ(fd.height, 240);
    EXPECT_FLOAT_EQ(fd.intrinsics.cx, 159.5f);
    ASSERT_FALSE(fd.depthFrame.empty());
    if (i == 0) {
      EXPECT_TRUE(fd.bKey);
      EXPECT_TRUE(fd.depthKey);
    }
    if (fd.bKey) {
      ++color_keys;
      EXPECT_TRUE(hasNalUnit(bytes(fd.rgbFrame), 7)) << "SPS in front of every key frame";
      EXPECT_TRUE(hasNalUnit(bytes(fd.rgbFrame), 8)) << "PPS in front of every key frame";
      EXPECT_TRUE(hasNalUnit(bytes(fd.rgbFrame), 5)) << "key frames are IDR frames";
      EXPECT_TRUE(hasNalUnit(bytes(fd.depthFrame), 7));
    }
    const cv::Mat luma = color_dec.decode(bytes(fd.rgbFrame));
    ASSERT_EQ(luma.size(), cv::Size(320, 240));
    EXPECT_EQ(color_dec.lastWasKey(), fd.bKey);
    ASSERT_EQ(depth_dec.decode(bytes(fd.depthFrame)).size(), cv::Size(320, 240));
  }
  EXPECT_GE(color_keys, 3);  // the first, then every 10 frames
  cam->stopStreaming();
}

TEST(CameraStream, EveryStreamGetsEveryFrameOnceAndInOrder) {
  auto cam = makeCamera<UVCCamera>("uvc", "width=\"160\" height=\"120\" fps=\"60\"");
  cam->start();
  struct Seen {
    std::vector<size_t> seq;  // the camera's frame number, index - 1 after each delivery
    std::vector<std::string> data;
    bool first_key = false;
  };
  auto consume = [&](Seen& seen, int frames) {
    cam->startStreaming();
    H264Decoder dec;
    size_t index = 0;
    for (int i = 0; i < frames; ++i) {
      const StreamFrameData fd = nextFrame(*cam, index);
      if (i == 0) seen.first_key = fd.bKey;
      seen.seq.push_back(index - 1);
      seen.data.push_back(bytes(fd.rgbFrame));
      dec.decode(seen.data.back());
    }
    cam->stopStreaming();
  };
  Seen early, late;
  std::thread a([&] { consume(early, 60); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread b([&] { consume(late, 30); });
  a.join();
  b.join();
  for (const Seen* s : {&early, &late}) {
    EXPECT_TRUE(s->first_key);
    for (size_t i = 1; i < s->seq.size(); ++i) ASSERT_EQ(s->seq[i], s->seq[i - 1] + 1) << "frame " << i;
  }
  // Where the two streams overlap they received the very same frames.
  std::map<size_t, std::string> by_seq;
  for (size_t i = 0; i < early.seq.size(); ++i) by_seq[early.seq[i]] = early.data[i];
  int shared = 0;
  for (size_t i = 0; i < late.seq.size(); ++i) {
    auto it = by_seq.find(late.seq[i]);
    if (it == by_seq.end()) continue;
    ++shared;
    EXPECT_EQ(it->second, late.data[i]);
  }
  EXPECT_GT(shared, 10);
  EXPECT_FALSE([&] { CameraState s; cam->getState(s); return s.is_streaming; }());
}

TEST(CameraStream, AStreamThatFallsBehindTheRingRejoinsAtAKeyFrame) {
  auto cam = makeCamera<UVCCamera>("uvc", "width=\"160\" height=\"120\" fps=\"60\" gop=\"600\"");
  cam->start();
  cam->startStreaming();
  size_t index = 0;
  nextFrame(*cam, index);
  const StreamFrameData second = nextFrame(*cam, index);
  EXPECT_FALSE(second.bKey);
  const size_t before = index;
  // A second stream counts the frames produced meanwhile: more than the ring holds.
  {
    cam->startStreaming();
    size_t other = 0;
    for (size_t n = 0; n < 2 * tovak::device::sim::SimulatedCamera::kRingFrames; ++n) nextFrame(*cam, other);
    cam->stopStreaming();
  }
  const StreamFrameData after = nextFrame(*cam, index);
  EXPECT_TRUE(after.bKey);
  EXPECT_GT(index, before + tovak::device::sim::SimulatedCamera::kRingFrames);
  cam->stopStreaming();
}

TEST(CameraStream, OpenStreamsAreCountedAndStopEndsThem) {
  auto cam = makeCamera<RealsenseCamera>("rs", "width=\"160\" height=\"120\" fps=\"1\"");
  auto streaming = [&] {
    CameraState s;
    cam->getState(s);
    return s.is_streaming;
  };
  cam->start();
  StreamFrameData fd;
  size_t index = 0;
  EXPECT_EQ(thrownText([&] { cam->getEncodedFrame(fd, index); }),
            "camera rs is not streaming: call startStreaming first");
  cam->startStreaming();
  cam->startStreaming();
  EXPECT_TRUE(streaming());
  cam->stopStreaming();
  EXPECT_TRUE(streaming());
  cam->stopStreaming();
  EXPECT_FALSE(streaming());
  cam->stopStreaming();  // one too many: harmless
  cam->startStreaming();
  EXPECT_TRUE(streaming());

  // A stream waiting for the next frame (1 per second here) is woken by stop().
  nextFrame(*cam, index);
  std::atomic<bool> done{false};
  std::string text;
  std::chrono::steady_clock::time_point ended;
  std::thread waiter([&] {
    text = thrownText([&] {
      for (int i = 0; i < 5; ++i) {
        StreamFrameData f;
        cam->getEncodedFrame(f, index);
      }
    });
    ended = std::chrono::steady_clock::now();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto stopped = std::chrono::steady_clock::now();
  cam->stop();
  waiter.join();
  EXPECT_EQ(text, "camera rs is not started");
  EXPECT_LT(ended - stopped, std::chrono::milliseconds(500));
  EXPECT_FALSE(streaming());
}

// The depth mapping survives coding: decoded luma * 32 is close to the depth.
TEST(DepthVideo, DepthRecoveredFromTheDecodedStreamIsCloseToTheTruth) {
  namespace sim = tovak::device::sim;
  const int w = 640, h = 480;
  const auto k = sim::pinholeIntrinsics(w, h, 69.0);
  sim::SceneRenderer scene(w, h, k);
  sim::H264Encoder::Options opt;
  opt.width = w;
  opt.height = h;
  opt.crf = 12;
  sim::H264Encoder enc(opt);
  H264Decoder dec;
  double sum = 0;
  int worst_frame_p99 = 0;
  long n = 0;
  for (int i = 0; i < 10; ++i) {
    cv::Mat color, depth;
    scene.render(i / 30.0, color, &depth);
    std::vector<uint8_t> out;
    enc.encodeToBytes(sim::depthToLuma(depth), false, out);
    const cv::Mat back = sim::lumaToDepth(dec.decode(bytes(out)));
    ASSERT_EQ(back.size(), depth.size());
    cv::Mat err;
    cv::absdiff(back, depth, err);
    std::vector<uint16_t> e(err.begin<uint16_t>(), err.end<uint16_t>());
    std::sort(e.begin(), e.end());
    worst_frame_p99 = std::max<int>(worst_frame_p99, e[e.size() * 99 / 100]);
    sum += cv::sum(err)[0];
    n += static_cast<long>(e.size());
  }
  const double mean = sum / n;
  std::printf("depth through H.264: mean error %.1f mm, worst 99th percentile %d mm\n", mean, worst_frame_p99);
  EXPECT_LT(mean, 25.0);
  EXPECT_LT(worst_frame_p99, 60);
}

}  // namespace
}  // namespace tovak::test
