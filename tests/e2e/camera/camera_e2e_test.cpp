// The camera service of the real server, with its simulated cameras: images,
// the conversion rows reachable through updateParams, H.264 streams decoded
// as a client would, recording, and the failure paths.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tests/unit/camera/h264_decoder.h"
#include "tests/unit/camera/recording_probe.h"
#include "tovak/api/camera_service.grpc.pb.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace tovak::test {
namespace {

using namespace std::chrono_literals;
namespace api = tovak::api;

class CameraE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new ServerProcess(TestConfig{});
    ASSERT_TRUE(server_->waitListening()) << server_->err();
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    channel_ = makeChannel(server_->port());
    cam_ = api::CameraService::NewStub(channel_);
    sys_ = api::SystemService::NewStub(channel_);
  }
  void TearDown() override {
    for (const char* id : {"head_camera", "chest_camera"}) {
      for (const char* p : {"color_pixel_type=native", "depth_pixel_type=native", "empty_image=none"}) {
        if (std::string(id) == "head_camera" && std::string(p).rfind("depth", 0) == 0) continue;
        const std::string s = p;
        updateParam(id, s.substr(0, s.find('=')), s.substr(s.find('=') + 1));
      }
      call(&api::CameraService::Stub::StopCamera, api::StopCameraCommand_Request{}, id);
    }
  }

  template <class Resp, class Req>
  Resp call(grpc::Status (api::CameraService::Stub::*m)(grpc::ClientContext*, const Req&, Resp*), Req req,
            const std::string& id) {
    req.mutable_header()->set_device_id(id);
    grpc::ClientContext ctx;
    Resp resp;
    EXPECT_TRUE(((*cam_).*m)(&ctx, req, &resp).ok());
    return resp;
  }
  void start(const std::string& id) {
    auto r = call(&api::CameraService::Stub::StartCamera, api::StartCameraCommand_Request{}, id);
    ASSERT_TRUE(r.header().success()) << r.header().error_message();
  }
  api::CameraState state(const std::string& id) {
    return call(&api::CameraService::Stub::GetStatus, api::GetCameraStateCommand_Request{}, id).state();
  }
  bool updateParam(const std::string& id, const std::string& name, const std::string& value) {
    api::UpdateParamsCommand_Request req;
    req.mutable_header()->set_device_id(id);
    auto* p = req.add_params();
    p->set_param_name(name);
    p->set_string_value(value);
    grpc::ClientContext ctx;
    api::UpdateParamsCommand_Feedback resp;
    sys_->UpdateParams(&ctx, req, &resp);
    return resp.header().success();
  }
  // Polls until `pred` holds (3 s at most).
  template <class P>
  bool eventually(P pred) {
    for (int i = 0; i < 300; ++i) {
      if (pred()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  static ServerProcess* server_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<api::CameraService::Stub> cam_;
  std::unique_ptr<api::SystemService::Stub> sys_;
};
ServerProcess* CameraE2E::server_ = nullptr;

TEST_F(CameraE2E, ImagesFromBothCamerasFollowTheLifecycle) {
  auto not_started = call(&api::CameraService::Stub::GetRGBImage, api::GetRGBImageCommand_Request{}, "head_camera");
  EXPECT_FALSE(not_started.header().success());
  EXPECT_EQ(not_started.header().error_message(), "camera head_camera is not started");
  start("head_camera");
  start("chest_camera");
  const api::CameraState s = state("chest_camera");
  EXPECT_TRUE(s.is_initialized());
  EXPECT_TRUE(s.is_opened());
  EXPECT_EQ(s.width(), 640);
  EXPECT_EQ(s.height(), 480);
  EXPECT_EQ(s.fps(), 30);

  auto rgb = call(&api::CameraService::Stub::GetRGBImage, api::GetRGBImageCommand_Request{}, "head_camera");
  ASSERT_TRUE(rgb.header().success()) << rgb.header().error_message();
  EXPECT_EQ(rgb.color_frame().type(), api::FrameData::U8C3);
  EXPECT_EQ(rgb.color_frame().data().size(), 640u * 480 * 3);
  EXPECT_FLOAT_EQ(rgb.intrinsics().cx(), 319.5f);
  EXPECT_NEAR(rgb.intrinsics().fx(), 640 / (2 * std::tan(M_PI / 6)), 1e-3);
  EXPECT_EQ(rgb.intrinsics().coeffs_size(), 5);

  auto no_depth = call(&api::CameraService::Stub::GetDepthImage, api::GetDepthImageCommand_Request{}, "head_camera");
  EXPECT_EQ(no_depth.header().error_message(), "camera head_camera has no depth sensor (colour-only UVC camera)");

  auto rgbd = call(&api::CameraService::Stub::GetRGBDImages, api::GetRGBDImagesCommand_Request{}, "chest_camera");
  ASSERT_TRUE(rgbd.header().success()) << rgbd.header().error_message();
  EXPECT_EQ(rgbd.color_frame().type(), api::FrameData::U8C3);
  EXPECT_EQ(rgbd.depth_frame().type(), api::FrameData::U16C1);
  EXPECT_EQ(rgbd.depth_frame().data().size(), 640u * 480 * 2);

  call(&api::CameraService::Stub::StopCamera, api::StopCameraCommand_Request{}, "chest_camera");
  EXPECT_FALSE(state("chest_camera").is_opened());
  auto after = call(&api::CameraService::Stub::GetDepthImage, api::GetDepthImageCommand_Request{}, "chest_camera");
  EXPECT_EQ(after.header().error_message(), "camera chest_camera is not started");
}

TEST_F(CameraE2E, EveryConversionRowIsReachableThroughTheApi) {
  start("chest_camera");
  struct Row {
    const char* type;
    bool colour_ok;  // GetRGBImage
    bool depth_ok;   // GetDepthImage
    bool rgbd_ok;    // colour of GetRGBDImages
  };
  const Row rows[] = {{"CV_8UC1", true, true, false},   {"CV_16UC1", false, true, false},
                      {"CV_8UC3", true, false, true},   {"CV_16UC3", true, false, true},
                      {"CV_16FC1", false, true, false}, {"CV_32FC1", false, true, false},
                      {"CV_32SC1", false, false, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.type);
    ASSERT_TRUE(updateParam("chest_camera", "color_pixel_type", r.type));
    ASSERT_TRUE(updateParam("chest_camera", "depth_pixel_type", r.type));
    auto c = call(&api::CameraService::Stub::GetRGBImage, api::GetRGBImageCommand_Request{}, "chest_camera");
    EXPECT_EQ(c.header().success(), r.colour_ok) << c.header().error_message();
    auto d = call(&api::CameraService::Stub::GetDepthImage, api::GetDepthImageCommand_Request{}, "chest_camera");
    EXPECT_EQ(d.header().success(), r.depth_ok) << d.header().error_message();
    auto cd = call(&api::CameraService::Stub::GetRGBDImages, api::GetRGBDImagesCommand_Request{}, "chest_camera");
    EXPECT_EQ(cd.header().success(), r.rgbd_ok) << cd.header().error_message();
    for (const auto* h : {&c.header(), &d.header(), &cd.header()}) {
      if (!h->success()) {
        EXPECT_EQ(h->error_message(), "unsupported image type");
      }
    }
  }
  // The lenient depth row: a 32-bit integer depth image travels whole, type unset.
  ASSERT_TRUE(updateParam("chest_camera", "color_pixel_type", "native"));
  auto lenient = call(&api::CameraService::Stub::GetRGBDImages, api::GetRGBDImagesCommand_Request{}, "chest_camera");
  ASSERT_TRUE(lenient.header().success()) << lenient.header().error_message();
  EXPECT_EQ(lenient.depth_frame().type(), api::FrameData::U8C1);
  EXPECT_EQ(lenient.depth_frame().data().size(), 640u * 480 * 4);
  // Empty images.
  ASSERT_TRUE(updateParam("chest_camera", "empty_image", "both"));
  auto empty = call(&api::CameraService::Stub::GetRGBImage, api::GetRGBImageCommand_Request{}, "chest_camera");
  EXPECT_TRUE(empty.header().success());
  EXPECT_EQ(empty.color_frame().width(), 0);
  auto empty_rgbd = call(&api::CameraService::Stub::GetRGBDImages, api::GetRGBDImagesCommand_Request{}, "chest_camera");
  EXPECT_EQ(empty_rgbd.header().error_message(), "unsupported image type");
  EXPECT_FALSE(updateParam("chest_camera", "color_pixel_type", "CV_8SC2"));
}

// Reads `n` frames of a stream, decoding each as a client would.
struct StreamResult {
  std::vector<int> seq;
  bool first_color_key = false;
  bool first_depth_key = false;
  bool sizes_ok = true;
  std::string error;
  std::chrono::steady_clock::duration elapsed{};
};

template <class Resp, class Req, class Open>
StreamResult readStream(Open open, const std::string& id, int n, bool with_color, bool with_depth) {
  StreamResult out;
  grpc::ClientContext ctx;
  auto rw = open(&ctx);
  Req req;
  req.mutable_header()->set_device_id(id);
  rw->Write(req);
  H264Decoder color_dec, depth_dec;
  const auto t0 = std::chrono::steady_clock::now();
  try {
    for (int i = 0; i < n; ++i) {
      Resp f;
      if (!rw->Read(&f)) throw std::runtime_error("stream ended early");
      if (!f.header().success()) throw std::runtime_error("error feedback: " + f.header().error_message());
      out.seq.push_back(f.seq_no());
      if constexpr (requires { f.color_frame(); }) {
        if (with_color) {
          if (i == 0) out.first_color_key = f.color_frame().is_key_frame();
          const cv::Mat img = color_dec.decode(f.color_frame().data());
          out.sizes_ok = out.sizes_ok && img.size() == cv::Size(f.color_frame().width(), f.color_frame().height()) &&
                         img.size() == cv::Size(640, 480);
        }
      }
      if constexpr (requires { f.depth_frame(); }) {
        if (with_depth) {
          if (i == 0) out.first_depth_key = f.depth_frame().is_key_frame();
          const cv::Mat img = depth_dec.decode(f.depth_frame().data());
          out.sizes_ok = out.sizes_ok && img.size() == cv::Size(640, 480);
        }
      }
    }
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  out.elapsed = std::chrono::steady_clock::now() - t0;
  ctx.TryCancel();
  Resp f;
  while (rw->Read(&f)) {
  }
  rw->Finish();
  return out;
}

TEST_F(CameraE2E, StreamsOnBothCamerasDecodeFromTheFirstFrame) {
  start("head_camera");
  start("chest_camera");
  const int n = 30;
  StreamResult rgb1, rgb2, rgbd, depth;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    rgb1 = readStream<api::GetRGBImageStreamCommand_Feedback, api::GetRGBImageStreamCommand_Request>(
        [&](grpc::ClientContext* c) { return cam_->GetRGBImageStream(c); }, "head_camera", n, true, false);
  });
  threads.emplace_back([&] {
    std::this_thread::sleep_for(300ms);  // joins in the middle of the first stream
    rgb2 = readStream<api::GetRGBImageStreamCommand_Feedback, api::GetRGBImageStreamCommand_Request>(
        [&](grpc::ClientContext* c) { return cam_->GetRGBImageStream(c); }, "head_camera", n, true, false);
  });
  threads.emplace_back([&] {
    rgbd = readStream<api::GetRGBDImagesStreamCommand_Feedback, api::GetRGBDImagesStreamCommand_Request>(
        [&](grpc::ClientContext* c) { return cam_->GetRGBDImagesStream(c); }, "chest_camera", n, true, true);
  });
  threads.emplace_back([&] {
    depth = readStream<api::GetDepthImageStreamCommand_Feedback, api::GetDepthImageStreamCommand_Request>(
        [&](grpc::ClientContext* c) { return cam_->GetDepthImageStream(c); }, "chest_camera", n, false, true);
  });
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(state("head_camera").is_streaming());
  EXPECT_TRUE(state("chest_camera").is_streaming());
  for (auto& t : threads) t.join();
  for (const StreamResult* r : {&rgb1, &rgb2, &rgbd, &depth}) {
    ASSERT_EQ(r->error, "");
    ASSERT_EQ(r->seq.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) EXPECT_EQ(r->seq[i], i);
    EXPECT_TRUE(r->sizes_ok);
  }
  EXPECT_TRUE(rgb1.first_color_key);
  EXPECT_TRUE(rgb2.first_color_key);
  EXPECT_TRUE(rgbd.first_color_key);
  EXPECT_TRUE(rgbd.first_depth_key);
  EXPECT_TRUE(depth.first_depth_key);
  // The colour stream pauses 33 ms after every pass.
  EXPECT_GE(rgb1.elapsed, (n - 1) * 33ms);
  // Every stream was cancelled: the cameras stop encoding.
  EXPECT_TRUE(eventually([&] { return !state("head_camera").is_streaming(); }));
  EXPECT_TRUE(eventually([&] { return !state("chest_camera").is_streaming(); }));
  EXPECT_TRUE(server_->waitStderr("(GetRGBImageStream): end,id=head_camera"));
  EXPECT_TRUE(server_->waitStderr("(GetDepthImageStream): end,id=chest_camera"));
}

TEST_F(CameraE2E, ADriverExceptionEndsTheStreamWithOneErrorFeedback) {
  start("chest_camera");
  ASSERT_TRUE(updateParam("chest_camera", "fault", "getEncodedFrame:frame grabber lost"));
  grpc::ClientContext ctx;
  auto rw = cam_->GetDepthImageStream(&ctx);
  api::GetDepthImageStreamCommand_Request req;
  req.mutable_header()->set_device_id("chest_camera");
  rw->Write(req);
  api::GetDepthImageStreamCommand_Feedback f;
  ASSERT_TRUE(rw->Read(&f));
  EXPECT_FALSE(f.header().success());
  EXPECT_EQ(f.header().error_message(), "frame grabber lost");
  EXPECT_FALSE(rw->Read(&f));
  EXPECT_TRUE(rw->Finish().ok());
  // The failed stream gave its reference back.
  EXPECT_FALSE(state("chest_camera").is_streaming());

  // Streams on a camera that is not started, or on an id of another kind.
  call(&api::CameraService::Stub::StopCamera, api::StopCameraCommand_Request{}, "chest_camera");
  for (const auto& [id, text] : {std::pair<std::string, std::string>{"chest_camera", "camera chest_camera is not started"},
                                 {"speaker", "[DeviceManager]: Device ID speaker type mismatch."}}) {
    grpc::ClientContext c2;
    auto s2 = cam_->GetRGBImageStream(&c2);
    api::GetRGBImageStreamCommand_Request r2;
    r2.mutable_header()->set_device_id(id);
    s2->Write(r2);
    api::GetRGBImageStreamCommand_Feedback f2;
    ASSERT_TRUE(s2->Read(&f2));
    EXPECT_EQ(f2.header().error_message(), text);
    EXPECT_FALSE(s2->Read(&f2));
    s2->Finish();
  }
}

TEST_F(CameraE2E, RecordingWritesAFileThatLibavformatPlays) {
  const std::string dir = makeTempDir("camrec");
  const std::string path = dir + "/clip.mp4";
  start("chest_camera");
  api::StartCameraRecordingCommand_Request req;
  req.set_video_path(path);
  auto started = call(&api::CameraService::Stub::StartRecording, req, "chest_camera");
  ASSERT_TRUE(started.header().success()) << started.header().error_message();
  EXPECT_TRUE(state("chest_camera").is_recording());
  std::this_thread::sleep_for(1500ms);
  auto stopped = call(&api::CameraService::Stub::StopRecording, api::StopCameraRecordingCommand_Request{}, "chest_camera");
  ASSERT_TRUE(stopped.header().success()) << stopped.header().error_message();
  EXPECT_FALSE(state("chest_camera").is_recording());
  const VideoFileInfo info = probeVideoFile(path);
  ASSERT_TRUE(info.opened) << info.error;
  EXPECT_EQ(info.codec, "h264");
  EXPECT_EQ(info.width, 640);
  EXPECT_EQ(info.height, 480);
  EXPECT_GT(info.duration_s, 0.9);
  EXPECT_LT(info.duration_s, 3.0);
  auto again = call(&api::CameraService::Stub::StopRecording, api::StopCameraRecordingCommand_Request{}, "chest_camera");
  EXPECT_EQ(again.header().error_message(), "camera chest_camera is not recording");
  req.set_video_path(dir + "/no/such/dir/clip.mkv");
  auto bad = call(&api::CameraService::Stub::StartRecording, req, "chest_camera");
  EXPECT_FALSE(bad.header().success());
  EXPECT_NE(bad.header().error_message().find(dir + "/no/such/dir/clip.mkv"), std::string::npos);
  removeTree(dir);
}

}  // namespace
}  // namespace tovak::test
