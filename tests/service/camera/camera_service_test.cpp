// CameraService over a real in-process channel, with a scripted fake camera:
// the conversion tables, the log lines, the lookups and every stream path.

#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "devices/battery/abstract_battery.h"
#include "devices/camera/abstract_camera.h"
#include "service/grpc/include/grpc_camera_service.h"
#include "tests/support/grpc_test_utils.h"
#include "tests/support/log_capture.h"
#include "tovak/api/camera_service.grpc.pb.h"

namespace tovak::service {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using tovak::device::AbstractCamera;
using tovak::device::CameraState;
using tovak::device::Rs2Intrinsics;
using tovak::device::StreamFrameData;
namespace api = tovak::api;

struct NonStd {};

// Returns what a test put in; records what the service asked for.
class FakeCamera : public AbstractCamera {
 public:
  cv::Mat color, depth;
  Rs2Intrinsics intrinsics;
  std::string throw_text;  // image calls, start, stop, recording throw this when set
  CameraState reported;
  std::string recorded_path = "<none>";
  std::atomic<int> start_streaming{0}, stop_streaming{0}, encoded_calls{0};
  std::string start_streaming_throws, stop_streaming_throws;

  // getEncodedFrame: pops the next scripted entry; with an empty script it
  // waits a little and delivers nothing. A non-empty `throw_text` entry throws.
  struct Entry {
    StreamFrameData fd;
    std::string throw_text;
    bool non_std = false;
  };
  void script(StreamFrameData fd) { push(Entry{std::move(fd), "", false}); }
  void scriptThrow(const std::string& text, bool non_std = false) { push(Entry{StreamFrameData(), text, non_std}); }

  void start() override { maybeThrow(); }
  void stop() override { maybeThrow(); }
  CameraState lockedState() override { return reported; }
  void getRGBImage(cv::Mat& image, Rs2Intrinsics& k) override {
    k = intrinsics;
    maybeThrow();
    image = color;
  }
  void getDepthImage(cv::Mat& image, Rs2Intrinsics& k) override {
    k = intrinsics;
    maybeThrow();
    image = depth;
  }
  void getRGBDImages(cv::Mat& c, cv::Mat& d, Rs2Intrinsics& k) override {
    k = intrinsics;
    maybeThrow();
    c = color;
    d = depth;
  }
  void startRecording(const std::string& path) override {
    maybeThrow();
    recorded_path = path;
  }
  void stopRecording() override { maybeThrow(); }
  void pauseRecording() override {}
  void resumeRecording() override {}
  void getEncodedFrame(StreamFrameData& fd, size_t& index) override {
    ++encoded_calls;
    Entry e;
    {
      std::lock_guard<std::mutex> lk(mtx_);
      if (script_.empty()) {
        fd = StreamFrameData();
      } else {
        e = std::move(script_.front());
        script_.pop_front();
      }
    }
    if (e.non_std) throw NonStd{};
    if (!e.throw_text.empty()) throw std::runtime_error(e.throw_text);
    if (e.fd.rgbFrame.empty() && e.fd.depthFrame.empty()) std::this_thread::sleep_for(2ms);
    fd = e.fd;
    ++index;
  }
  bool startStreaming() override {
    ++start_streaming;
    if (!start_streaming_throws.empty()) throw std::runtime_error(start_streaming_throws);
    return true;
  }
  void stopStreaming() override {
    ++stop_streaming;
    if (!stop_streaming_throws.empty()) throw std::runtime_error(stop_streaming_throws);
  }
  Eigen::Vector3f get3DPointFromPixel(int, int) override { return {}; }

 private:
  void maybeThrow() {
    if (!throw_text.empty()) throw std::runtime_error(throw_text);
  }
  void push(Entry e) {
    std::lock_guard<std::mutex> lk(mtx_);
    script_.push_back(std::move(e));
  }
  std::mutex mtx_;
  std::deque<Entry> script_;
};

class FakeBattery : public tovak::device::AbstractBattery {
 public:
  FakeBattery() : AbstractBattery(XmlNode()) {}
};

StreamFrameData frameSet(const std::string& rgb, const std::string& depth, bool key = false) {
  StreamFrameData fd;
  fd.rgbFrame.assign(rgb.begin(), rgb.end());
  fd.depthFrame.assign(depth.begin(), depth.end());
  fd.bKey = key;
  fd.depthKey = !key;
  fd.width = 64;
  fd.height = 48;
  fd.intrinsics.fx = 50;
  fd.intrinsics.coeffs[4] = 0.5f;
  return fd;
}

class CameraServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cam_ = std::make_shared<FakeCamera>();
    cam_->intrinsics.cx = 31.5f;
    cam_->intrinsics.cy = 23.5f;
    cam_->intrinsics.fx = 40;
    cam_->intrinsics.fy = 41;
    tovak::device::DeviceManager::createForTesting(
        {{"cam", std::shared_ptr<AbstractCamera>(cam_)},
         {"battery", std::shared_ptr<tovak::device::AbstractBattery>(std::make_shared<FakeBattery>())}});
    service_ = std::make_unique<gRPCCameraServiceImpl>();
    server_ = std::make_unique<tovak::test::InProcessServer>(std::vector<grpc::Service*>{service_.get()});
    stub_ = api::CameraService::NewStub(server_->channel());
  }
  void TearDown() override {
    server_.reset();
    tovak::device::DeviceManager::destroyInstance();
  }

  template <class Req>
  static Req request(const std::string& id) {
    Req r;
    r.mutable_header()->set_device_id(id);
    return r;
  }

  std::shared_ptr<FakeCamera> cam_;
  std::unique_ptr<gRPCCameraServiceImpl> service_;
  std::unique_ptr<tovak::test::InProcessServer> server_;
  std::unique_ptr<api::CameraService::Stub> stub_;
  tovak::test::LogCapture log_;
};

// A matrix of `type` with distinct bytes, so the copied data can be compared.
cv::Mat patterned(int type, int rows = 3, int cols = 4) {
  cv::Mat m(rows, cols, type);
  auto* p = m.ptr<uint8_t>();
  for (size_t i = 0; i < m.total() * m.elemSize(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
  return m;
}

std::string bytesOf(const cv::Mat& m) { return std::string(reinterpret_cast<const char*>(m.data), m.total() * m.elemSize()); }

void expectIntrinsics(const api::CameraIntrinsics& k) {
  EXPECT_FLOAT_EQ(k.cx(), 31.5f);
  EXPECT_FLOAT_EQ(k.cy(), 23.5f);
  EXPECT_FLOAT_EQ(k.fx(), 40);
  EXPECT_FLOAT_EQ(k.fy(), 41);
  EXPECT_EQ(k.coeffs_size(), 5);
}

struct TableRow {
  int cv_type;
  bool accepted;
  api::FrameData::FrameType type;
};
const TableRow kAllTypes[] = {{CV_8UC1, false, api::FrameData::U8C1},   {CV_16UC1, false, api::FrameData::U16C1},
                              {CV_8UC3, false, api::FrameData::U8C3},   {CV_16UC3, false, api::FrameData::U16C3},
                              {CV_16FC1, false, api::FrameData::F16C1}, {CV_32FC1, false, api::FrameData::F32C1},
                              {CV_32SC1, false, api::FrameData::U8C1}};

std::vector<TableRow> table(std::initializer_list<int> accepted) {
  std::vector<TableRow> rows;
  for (TableRow r : kAllTypes) {
    r.accepted = std::find(accepted.begin(), accepted.end(), r.cv_type) != accepted.end();
    rows.push_back(r);
  }
  return rows;
}

void expectFrame(const api::FrameData& f, const cv::Mat& m, api::FrameData::FrameType type) {
  EXPECT_EQ(f.type(), type);
  EXPECT_EQ(f.data(), bytesOf(m));
  EXPECT_EQ(f.width(), m.cols);
  EXPECT_EQ(f.height(), m.rows);
  EXPECT_EQ(f.codec(), "none");
  EXPECT_FALSE(f.is_key_frame());
}

TEST_F(CameraServiceTest, GetRGBImageAcceptsOnlyTheColourTable) {
  for (const TableRow& row : table({CV_8UC1, CV_8UC3, CV_16UC3})) {
    SCOPED_TRACE(row.cv_type);
    log_.clear();
    cam_->color = patterned(row.cv_type);
    grpc::ClientContext ctx;
    api::GetRGBImageCommand_Feedback resp;
    ASSERT_TRUE(stub_->GetRGBImage(&ctx, request<api::GetRGBImageCommand_Request>("cam"), &resp).ok());
    EXPECT_EQ(resp.header().success(), row.accepted);
    EXPECT_TRUE(resp.header().has_timestamp());
    expectIntrinsics(resp.intrinsics());
    if (row.accepted) {
      EXPECT_EQ(resp.header().error_message(), "");
      expectFrame(resp.color_frame(), cam_->color, row.type);
    } else {
      EXPECT_EQ(resp.header().error_message(), "unsupported image type");
      EXPECT_FALSE(resp.has_color_frame());
      EXPECT_EQ(log_.count("unsupported image type", google::GLOG_ERROR), 1);
    }
  }
}

TEST_F(CameraServiceTest, GetDepthImageAcceptsOnlyTheDepthTable) {
  for (const TableRow& row : table({CV_8UC1, CV_16UC1, CV_16FC1, CV_32FC1})) {
    SCOPED_TRACE(row.cv_type);
    log_.clear();
    cam_->depth = patterned(row.cv_type);
    grpc::ClientContext ctx;
    api::GetDepthImageCommand_Feedback resp;
    ASSERT_TRUE(stub_->GetDepthImage(&ctx, request<api::GetDepthImageCommand_Request>("cam"), &resp).ok());
    EXPECT_EQ(resp.header().success(), row.accepted);
    expectIntrinsics(resp.intrinsics());
    if (row.accepted) {
      expectFrame(resp.depth_frame(), cam_->depth, row.type);
    } else {
      EXPECT_EQ(resp.header().error_message(), "unsupported image type");
      EXPECT_FALSE(resp.has_depth_frame());
      EXPECT_EQ(log_.count("unsupported image type", google::GLOG_ERROR), 1);
    }
  }
}

TEST_F(CameraServiceTest, GetRGBDImagesIsStrictOnColourAndLenientOnDepth) {
  cam_->depth = patterned(CV_16UC1);
  for (const TableRow& row : table({CV_8UC3, CV_16UC3})) {
    SCOPED_TRACE(row.cv_type);
    cam_->color = patterned(row.cv_type);
    grpc::ClientContext ctx;
    api::GetRGBDImagesCommand_Feedback resp;
    ASSERT_TRUE(stub_->GetRGBDImages(&ctx, request<api::GetRGBDImagesCommand_Request>("cam"), &resp).ok());
    EXPECT_EQ(resp.header().success(), row.accepted);
    expectIntrinsics(resp.intrinsics());
    if (row.accepted) {
      expectFrame(resp.color_frame(), cam_->color, row.type);
      expectFrame(resp.depth_frame(), cam_->depth, api::FrameData::U16C1);
    } else {
      EXPECT_EQ(resp.header().error_message(), "unsupported image type");
      EXPECT_FALSE(resp.has_color_frame());
      EXPECT_FALSE(resp.has_depth_frame());
    }
  }
  // Depth: a type outside the table is sent anyway, with type left at U8C1.
  cam_->color = patterned(CV_8UC3);
  for (const TableRow& row : table({CV_8UC1, CV_16UC1, CV_16FC1, CV_32FC1})) {
    SCOPED_TRACE(row.cv_type);
    log_.clear();
    cam_->depth = patterned(row.cv_type);
    grpc::ClientContext ctx;
    api::GetRGBDImagesCommand_Feedback resp;
    ASSERT_TRUE(stub_->GetRGBDImages(&ctx, request<api::GetRGBDImagesCommand_Request>("cam"), &resp).ok());
    EXPECT_TRUE(resp.header().success());
    expectFrame(resp.depth_frame(), cam_->depth, row.accepted ? row.type : api::FrameData::U8C1);
    EXPECT_EQ(log_.count("unsupported image type"), 0);
  }
}

TEST_F(CameraServiceTest, EmptyMatricesPassExceptAsRgbdColour) {
  cam_->color = cv::Mat();
  cam_->depth = cv::Mat();
  {
    grpc::ClientContext ctx;
    api::GetRGBImageCommand_Feedback resp;
    stub_->GetRGBImage(&ctx, request<api::GetRGBImageCommand_Request>("cam"), &resp);
    EXPECT_TRUE(resp.header().success());
    expectFrame(resp.color_frame(), cv::Mat(), api::FrameData::U8C1);
  }
  {
    grpc::ClientContext ctx;
    api::GetDepthImageCommand_Feedback resp;
    stub_->GetDepthImage(&ctx, request<api::GetDepthImageCommand_Request>("cam"), &resp);
    EXPECT_TRUE(resp.header().success());
    expectFrame(resp.depth_frame(), cv::Mat(), api::FrameData::U8C1);
  }
  {
    grpc::ClientContext ctx;
    api::GetRGBDImagesCommand_Feedback resp;
    stub_->GetRGBDImages(&ctx, request<api::GetRGBDImagesCommand_Request>("cam"), &resp);
    EXPECT_FALSE(resp.header().success());
    EXPECT_EQ(resp.header().error_message(), "unsupported image type");
  }
  {
    cam_->color = patterned(CV_8UC3);
    grpc::ClientContext ctx;
    api::GetRGBDImagesCommand_Feedback resp;
    stub_->GetRGBDImages(&ctx, request<api::GetRGBDImagesCommand_Request>("cam"), &resp);
    EXPECT_TRUE(resp.header().success());
    EXPECT_TRUE(resp.has_depth_frame());
    EXPECT_EQ(resp.depth_frame().data(), "");
  }
}

TEST_F(CameraServiceTest, CoefficientsAreCopiedInOrderAlsoWhenTheCallFails) {
  for (int i = 0; i < 5; ++i) cam_->intrinsics.coeffs[i] = 0.1f * (i + 1);
  cam_->throw_text = "sensor fault";
  grpc::ClientContext ctx;
  api::GetRGBImageCommand_Feedback resp;
  stub_->GetRGBImage(&ctx, request<api::GetRGBImageCommand_Request>("cam"), &resp);
  EXPECT_FALSE(resp.header().success());
  EXPECT_EQ(resp.header().error_message(), "sensor fault");
  // The fake filled the intrinsics before it threw; the service copies them only on success.
  EXPECT_FALSE(resp.has_intrinsics());
  cam_->throw_text.clear();
  cam_->color = patterned(CV_8UC3);
  grpc::ClientContext ctx2;
  api::GetRGBImageCommand_Feedback ok;
  stub_->GetRGBImage(&ctx2, request<api::GetRGBImageCommand_Request>("cam"), &ok);
  ASSERT_EQ(ok.intrinsics().coeffs_size(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(ok.intrinsics().coeffs(i), 0.1f * (i + 1));
}

TEST_F(CameraServiceTest, UnaryCallsLogTheirNameAndReportLookupsAndDeviceErrors) {
  cam_->reported = CameraState{true, true, false, true, true, "lens cap on", 15, 320, 240};
  cam_->color = patterned(CV_8UC3);
  cam_->depth = patterned(CV_16UC1);
  // Each call, by name, run against one id; returns (success, error text).
  using Call = std::function<std::pair<bool, std::string>(const std::string&)>;
  auto unary = [this](auto method, auto req_tag, auto resp_tag, std::function<void(decltype(req_tag)&)> fill = {}) {
    return Call([=, this](const std::string& id) {
      grpc::ClientContext ctx;
      auto req = request<decltype(req_tag)>(id);
      if (fill) fill(req);
      decltype(resp_tag) resp;
      EXPECT_TRUE(((*stub_).*method)(&ctx, req, &resp).ok());
      return std::make_pair(resp.header().success(), resp.header().error_message());
    });
  };
  const std::vector<std::pair<std::string, Call>> calls = {
      {"GetStatus", unary(&api::CameraService::Stub::GetStatus, api::GetCameraStateCommand_Request{},
                          api::GetCameraStateCommand_Feedback{})},
      {"StartCamera", unary(&api::CameraService::Stub::StartCamera, api::StartCameraCommand_Request{},
                            api::StartCameraCommand_Feedback{})},
      {"StopCamera", unary(&api::CameraService::Stub::StopCamera, api::StopCameraCommand_Request{},
                           api::StopCameraCommand_Feedback{})},
      {"GetRGBImage", unary(&api::CameraService::Stub::GetRGBImage, api::GetRGBImageCommand_Request{},
                            api::GetRGBImageCommand_Feedback{})},
      {"GetDepthImage", unary(&api::CameraService::Stub::GetDepthImage, api::GetDepthImageCommand_Request{},
                              api::GetDepthImageCommand_Feedback{})},
      {"GetRGBDImages", unary(&api::CameraService::Stub::GetRGBDImages, api::GetRGBDImagesCommand_Request{},
                              api::GetRGBDImagesCommand_Feedback{})},
      {"StartRecording", unary(&api::CameraService::Stub::StartRecording,
                               api::StartCameraRecordingCommand_Request{}, api::StartCameraRecordingCommand_Feedback{})},
      {"StopRecording", unary(&api::CameraService::Stub::StopRecording, api::StopCameraRecordingCommand_Request{},
                              api::StopCameraRecordingCommand_Feedback{})},
  };
  for (const auto& [rpc, call] : calls) {
    SCOPED_TRACE(rpc);
    log_.clear();
    EXPECT_EQ(call("cam"), std::make_pair(true, std::string()));
    EXPECT_EQ(log_.count("[gRPCCameraServiceImpl] (" + rpc + "): id=cam", google::GLOG_INFO), 1);
    EXPECT_EQ(call("nope"), std::make_pair(false, std::string("[DeviceManager]: Device ID nope not found.")));
    EXPECT_EQ(call("battery"), std::make_pair(false, std::string("[DeviceManager]: Device ID battery type mismatch.")));
    if (rpc != "GetStatus") {
      cam_->throw_text = "driver says no";
      EXPECT_EQ(call("cam"), std::make_pair(false, std::string("driver says no")));
      cam_->throw_text.clear();
    }
  }
  grpc::ClientContext ctx;
  api::GetCameraStateCommand_Feedback st;
  stub_->GetStatus(&ctx, request<api::GetCameraStateCommand_Request>("cam"), &st);
  EXPECT_TRUE(st.state().is_initialized());
  EXPECT_TRUE(st.state().is_opened());
  EXPECT_FALSE(st.state().is_streaming());
  EXPECT_TRUE(st.state().is_recording());
  EXPECT_TRUE(st.state().is_error());
  EXPECT_EQ(st.state().error_message(), "lens cap on");
  EXPECT_EQ(st.state().fps(), 15);
  EXPECT_EQ(st.state().width(), 320);
  EXPECT_EQ(st.state().height(), 240);
  // The recording path goes to the camera unchanged, also when empty.
  grpc::ClientContext rctx;
  auto rec = request<api::StartCameraRecordingCommand_Request>("cam");
  api::StartCameraRecordingCommand_Feedback rresp;
  stub_->StartRecording(&rctx, rec, &rresp);
  EXPECT_TRUE(rresp.header().success());
  EXPECT_EQ(cam_->recorded_path, "");
}

// ------------------------------------------------------------------ streams

template <class Resp, class Req>
struct OpenStream {
  grpc::ClientContext ctx;
  std::unique_ptr<grpc::ClientReaderWriter<Req, Resp>> rw;
};

TEST_F(CameraServiceTest, RgbStreamNumbersWrittenFramesFromZeroAndPausesEveryPass) {
  for (int i = 0; i < 5; ++i) {
    cam_->script(StreamFrameData());  // nothing new: no message, no number used
    cam_->script(frameSet("rgb" + std::to_string(i), "depth", i == 0));
  }
  grpc::ClientContext ctx;
  auto rw = stub_->GetRGBImageStream(&ctx);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(rw->Write(request<api::GetRGBImageStreamCommand_Request>("cam")));
  for (int i = 0; i < 5; ++i) {
    api::GetRGBImageStreamCommand_Feedback f;
    ASSERT_TRUE(rw->Read(&f));
    EXPECT_EQ(f.seq_no(), i);
    EXPECT_TRUE(f.header().success());
    EXPECT_FALSE(f.header().has_timestamp());
    EXPECT_EQ(f.color_frame().data(), "rgb" + std::to_string(i));
    EXPECT_EQ(f.color_frame().is_key_frame(), i == 0);
    EXPECT_EQ(f.color_frame().codec(), ".h264");
    EXPECT_EQ(f.color_frame().width(), 64);
    EXPECT_EQ(f.color_frame().height(), 48);
    EXPECT_EQ(f.color_frame().type(), api::FrameData::U8C1);
    EXPECT_FLOAT_EQ(f.intrinsics().fx(), 50);
    ASSERT_EQ(f.intrinsics().coeffs_size(), 5);
    EXPECT_FLOAT_EQ(f.intrinsics().coeffs(4), 0.5f);
  }
  // Ten passes (five of them empty), each followed by the 33 ms pause.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 9 * 33ms);
  ctx.TryCancel();
  api::GetRGBImageStreamCommand_Feedback f;
  while (rw->Read(&f)) {
  }
  rw->Finish();
  for (int i = 0; i < 200 && cam_->stop_streaming == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(cam_->start_streaming, 1);
  EXPECT_EQ(cam_->stop_streaming, 1);
  EXPECT_EQ(log_.count("[gRPCCameraServiceImpl] (GetRGBImageStream): start,id=cam"), 1);
  EXPECT_EQ(log_.count("[gRPCCameraServiceImpl] (GetRGBImageStream): end,id=cam"), 1);
  EXPECT_EQ(log_.count("[gRPCCameraServiceImpl](GetRGBImageStream) context is cancelled,id=cam") +
                log_.count("[gRPCCameraServiceImpl] (stream->Write) failed,id=cam"),
            1);
}

TEST_F(CameraServiceTest, DepthAndRgbdStreamsGoByTheColourBytes) {
  cam_->script(frameSet("", "depth-only"));  // no colour bytes: nothing is written
  cam_->script(frameSet("rgb", ""));         // colour but no depth: an empty depth frame
  cam_->script(frameSet("rgb2", "d2", true));
  {
    grpc::ClientContext ctx;
    auto rw = stub_->GetDepthImageStream(&ctx);
    rw->Write(request<api::GetDepthImageStreamCommand_Request>("cam"));
    api::GetDepthImageStreamCommand_Feedback f;
    ASSERT_TRUE(rw->Read(&f));
    EXPECT_EQ(f.seq_no(), 0);
    EXPECT_TRUE(f.has_depth_frame());
    EXPECT_EQ(f.depth_frame().data(), "");
    ASSERT_TRUE(rw->Read(&f));
    EXPECT_EQ(f.seq_no(), 1);
    EXPECT_EQ(f.depth_frame().data(), "d2");
    EXPECT_FALSE(f.depth_frame().is_key_frame());  // depthKey, not bKey
    EXPECT_EQ(f.depth_frame().width(), 64);
    ctx.TryCancel();
    while (rw->Read(&f)) {
    }
    rw->Finish();
  }
  // The depth stream's handler must be gone before it can take the next entry.
  for (int i = 0; i < 300 && cam_->stop_streaming < 1; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(cam_->stop_streaming, 1);
  cam_->script(frameSet("c", "d", true));
  grpc::ClientContext ctx;
  auto rw = stub_->GetRGBDImagesStream(&ctx);
  rw->Write(request<api::GetRGBDImagesStreamCommand_Request>("cam"));
  api::GetRGBDImagesStreamCommand_Feedback f;
  ASSERT_TRUE(rw->Read(&f));
  EXPECT_EQ(f.seq_no(), 0);
  EXPECT_EQ(f.color_frame().data(), "c");
  EXPECT_TRUE(f.color_frame().is_key_frame());
  EXPECT_EQ(f.depth_frame().data(), "d");
  EXPECT_FALSE(f.depth_frame().is_key_frame());
  EXPECT_EQ(f.depth_frame().width(), 64);
  EXPECT_EQ(f.depth_frame().height(), 48);
  ctx.TryCancel();
  while (rw->Read(&f)) {
  }
  rw->Finish();
  for (int i = 0; i < 200 && cam_->stop_streaming < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(cam_->stop_streaming, 2);
  EXPECT_EQ(log_.count("(GetDepthImageStream): end,id=cam"), 1);
  EXPECT_EQ(log_.count("(GetRGBDImagesStream): end,id=cam"), 1);
}

// The failure paths: what the client reads, and what the camera was told.
TEST_F(CameraServiceTest, StreamFailuresEndWithOneErrorFeedback) {
  struct Case {
    std::string name;
    std::string id;
    std::function<void(FakeCamera&)> arrange;
    int frames_before;
    std::string error;
    int start_calls;
    int stop_calls;
  };
  const std::vector<Case> cases = {
      {"half-closed without request", "", nullptr, 0, "[DeviceManager]: Device ID  not found.", 0, 0},
      {"id of another kind", "battery", nullptr, 0, "[DeviceManager]: Device ID battery type mismatch.", 0, 0},
      {"startStreaming throws", "cam", [](FakeCamera& c) { c.start_streaming_throws = "no encoder"; }, 0,
       "no encoder", 1, 0},
      {"getEncodedFrame throws after two frames", "cam",
       [](FakeCamera& c) {
         c.script(frameSet("a", ""));
         c.script(frameSet("b", ""));
         c.scriptThrow("camera unplugged");
       },
       2, "camera unplugged", 1, 1},
      {"a non-standard throw", "cam", [](FakeCamera& c) { c.scriptThrow("", true); }, 0,
       "unknown error", 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();  // a fresh fake and server per case
    log_.clear();
    if (c.arrange) c.arrange(*cam_);
    grpc::ClientContext ctx;
    auto rw = stub_->GetRGBDImagesStream(&ctx);
    if (c.name == "half-closed without request") {
      rw->WritesDone();
    } else {
      rw->Write(request<api::GetRGBDImagesStreamCommand_Request>(c.id));
    }
    api::GetRGBDImagesStreamCommand_Feedback f;
    for (int i = 0; i < c.frames_before; ++i) {
      ASSERT_TRUE(rw->Read(&f));
      EXPECT_TRUE(f.header().success());
      EXPECT_EQ(f.seq_no(), i);
    }
    ASSERT_TRUE(rw->Read(&f));
    EXPECT_FALSE(f.header().success());
    EXPECT_EQ(f.header().error_message(), c.error);
    EXPECT_TRUE(f.header().has_timestamp());
    EXPECT_FALSE(f.has_color_frame());
    EXPECT_FALSE(f.has_intrinsics());
    EXPECT_FALSE(rw->Read(&f)) << "one error feedback, then the end";
    EXPECT_TRUE(rw->Finish().ok());
    EXPECT_EQ(cam_->start_streaming, c.start_calls);
    EXPECT_EQ(cam_->stop_streaming, c.stop_calls);
    EXPECT_EQ(log_.count("(GetRGBDImagesStream): start,id=" + c.id), 1);
    EXPECT_EQ(log_.count("(GetRGBDImagesStream): end,id="), 0);
    TearDown();
  }
}

TEST_F(CameraServiceTest, AThrowingStopStreamingIsCalledOnce) {
  cam_->stop_streaming_throws = "encoder stuck";
  cam_->script(frameSet("a", ""));
  grpc::ClientContext ctx;
  auto rw = stub_->GetRGBImageStream(&ctx);
  rw->Write(request<api::GetRGBImageStreamCommand_Request>("cam"));
  api::GetRGBImageStreamCommand_Feedback f;
  ASSERT_TRUE(rw->Read(&f));
  ctx.TryCancel();
  while (rw->Read(&f)) {
  }
  rw->Finish();
  for (int i = 0; i < 200 && !log_.contains("(GetRGBImageStream): end,id=cam"); ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(cam_->stop_streaming, 1);
}

}  // namespace
}  // namespace tovak::service
