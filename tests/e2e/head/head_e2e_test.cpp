// The real server with its simulated face, driven through the public API.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tovak/api/biohead_service.grpc.pb.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace tovak::test {
namespace {

using namespace std::chrono_literals;
using tovak::api::BioHeadService;
using tovak::api::StreamFacialExpression_Feedback;
using tovak::api::StreamFacialExpression_Request;

class HeadE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(TestConfig{});
    ASSERT_TRUE(server_->waitListening()) << server_->err();
    channel_ = makeChannel(server_->port());
    stub_ = BioHeadService::NewStub(channel_);
  }

  tovak::api::SetFacialExpression_Feedback setExpression(const tovak::api::FacialExpression& e,
                                                         const std::string& id = "head") {
    grpc::ClientContext ctx;
    tovak::api::SetFacialExpression_Request req;
    tovak::api::SetFacialExpression_Feedback resp;
    req.mutable_header()->set_device_id(id);
    *req.mutable_expression() = e;
    EXPECT_TRUE(stub_->SetExpression(&ctx, req, &resp).ok());
    return resp;
  }

  static StreamFacialExpression_Request frame(float jaw_y) {
    StreamFacialExpression_Request r;
    r.mutable_header()->set_device_id("head");
    r.mutable_expr()->mutable_jaw()->set_y(jaw_y);
    r.mutable_expr()->mutable_mouth()->mutable_right_lip()->set_corner_y(0.2f);
    return r;
  }

  using Stream = grpc::ClientReaderWriter<StreamFacialExpression_Request, StreamFacialExpression_Feedback>;

  // Sends `r` every 150 ms until the first reply arrives: how soon after the
  // stream opens the server starts its rate limit depends on the machine's
  // load, and frames within its first 100 ms get no reply.
  static bool exchange(Stream& stream, const StreamFacialExpression_Request& r, StreamFacialExpression_Feedback* fb) {
    std::atomic<bool> replied{false};
    std::thread writer([&] {
      for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(150ms);
        if (replied || !stream.Write(r)) return;
      }
    });
    const bool ok = stream.Read(fb);
    replied = true;
    writer.join();
    return ok;
  }

  // Closes the client side; every reply still to come must be a success.
  static void finishQuietly(Stream& stream) {
    stream.WritesDone();
    StreamFacialExpression_Feedback fb;
    while (stream.Read(&fb)) EXPECT_TRUE(fb.header().success()) << fb.header().error_message();
    EXPECT_TRUE(stream.Finish().ok());
  }

  std::unique_ptr<ServerProcess> server_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<BioHeadService::Stub> stub_;
};

TEST_F(HeadE2E, EveryCallWorksOnTheSimulatedFace) {
  tovak::api::FacialExpression pose;
  pose.mutable_eyebrow()->set_left_outside_y(0.4f);
  pose.mutable_eyeball()->set_left_x(0.5f);
  pose.mutable_mouth()->set_lower_lip_y(-0.3f);
  auto set = setExpression(pose);
  EXPECT_TRUE(set.header().success()) << set.header().error_message();

  using Call = std::function<grpc::Status(tovak::api::CommandHeader_Feedback&)>;
  auto call = [&](auto method, auto req, auto resp) -> Call {
    return [this, method, req, resp](tovak::api::CommandHeader_Feedback& out) mutable {
      grpc::ClientContext ctx;
      req.mutable_header()->set_device_id("head");
      const auto s = ((*stub_).*method)(&ctx, req, &resp);
      out = resp.header();
      return s;
    };
  };
  using S = BioHeadService::Stub;
  using namespace tovak::api;
  const std::vector<std::pair<const char*, Call>> calls = {
      {"GetSystemStatus", call(&S::GetSystemStatus, GetStatus_Request{}, GetStatus_Feedback{})},
      {"SpeakStart", call(&S::SpeakStart, SpeakStart_Request{}, SpeakStart_Feedback{})},
      {"SpeakStop", call(&S::SpeakStop, SpeakStop_Request{}, SpeakStop_Feedback{})},
      {"Happy", call(&S::Happy, Happy_Request{}, Happy_Feedback{})},
      {"Surprise", call(&S::Surprise, Surprise_Request{}, Surprise_Feedback{})},
      {"ExpressionTired", call(&S::ExpressionTired, ExpressionTired_Request{}, ExpressionTired_Feedback{})},
      {"ExpressionAngry", call(&S::ExpressionAngry, ExpressionAngry_Request{}, ExpressionAngry_Feedback{})},
      {"ExpressionSadness", call(&S::ExpressionSadness, ExpressionSadness_Request{}, ExpressionSadness_Feedback{})},
      {"ExpressionYawn", call(&S::ExpressionYawn, ExpressionYawn_Request{}, ExpressionYawn_Feedback{})},
      {"EmergencyStop", call(&S::EmergencyStop, EmergencyStop_Request{}, EmergencyStop_Feedback{})},
  };
  for (auto& [name, c] : calls) {
    CommandHeader_Feedback fb;
    ASSERT_TRUE(c(fb).ok()) << name;
    EXPECT_TRUE(fb.success()) << name << ": " << fb.error_message();
  }
  // A pose after the stop re-arms the face.
  set = setExpression(pose);
  EXPECT_TRUE(set.header().success()) << set.header().error_message();

  // Unknown head: the registry's text.
  set = setExpression(pose, "nope");
  EXPECT_FALSE(set.header().success());
  EXPECT_EQ(set.header().error_message(), "[DeviceManager]: Device ID nope not found.");
}

TEST_F(HeadE2E, OutOfRangeSetPointsAreRefusedWithTheirField) {
  tovak::api::FacialExpression pose;
  pose.mutable_eyebrow()->set_left_outside_y(1.5f);
  const auto set = setExpression(pose);
  EXPECT_FALSE(set.header().success());
  EXPECT_EQ(set.header().error_message(), "head head: left_eyebrow_outside_y = 1.5 is outside its range [-1, 1]");

  grpc::ClientContext ctx;
  auto stream = stub_->StreamExpression(&ctx);
  StreamFacialExpression_Feedback fb;
  ASSERT_TRUE(exchange(*stream, frame(-0.5f), &fb));
  stream->WritesDone();
  EXPECT_FALSE(fb.header().success());
  EXPECT_EQ(fb.header().error_message(), "head head: jaw_y = -0.5 is outside its range [0, 1]");
  EXPECT_FALSE(stream->Read(&fb));
  EXPECT_TRUE(stream->Finish().ok());
  EXPECT_TRUE(server_->waitStderr("StreamExpression error: head head: jaw_y = -0.5"));
}

TEST_F(HeadE2E, EmergencyStopEndsTheStreamAndANewStreamMovesTheFaceAgain) {
  {
    grpc::ClientContext ctx;
    auto stream = stub_->StreamExpression(&ctx);
    StreamFacialExpression_Feedback fb;
    ASSERT_TRUE(exchange(*stream, frame(0.5f), &fb));
    ASSERT_TRUE(fb.header().success()) << fb.header().error_message();

    grpc::ClientContext stop_ctx;
    tovak::api::EmergencyStop_Request stop;
    tovak::api::EmergencyStop_Feedback stopped;
    stop.mutable_header()->set_device_id("head");
    ASSERT_TRUE(stub_->EmergencyStop(&stop_ctx, stop, &stopped).ok());
    ASSERT_TRUE(stopped.header().success()) << stopped.header().error_message();

    std::this_thread::sleep_for(150ms);
    stream->Write(frame(0.6f));
    // The stream ends without an error feedback (a frame applied before the
    // stop may still be acknowledged).
    finishQuietly(*stream);
  }
  EXPECT_TRUE(server_->waitStderr("[Stream] Emergency stop requested. Terminating stream for device: head"));
  EXPECT_TRUE(server_->waitStderr("StreamExpression finished for device: head"));

  grpc::ClientContext ctx;
  auto stream = stub_->StreamExpression(&ctx);
  StreamFacialExpression_Feedback fb;
  ASSERT_TRUE(exchange(*stream, frame(0.3f), &fb));
  EXPECT_TRUE(fb.header().success()) << fb.header().error_message();
  finishQuietly(*stream);
}

// The head's settings and fault injection reach it through the system
// service, so its error paths can be exercised from a client.
TEST_F(HeadE2E, FaultInjectedThroughUpdateParamsFailsTheNextCall) {
  auto system = tovak::api::SystemService::NewStub(channel_);
  auto update = [&](const std::string& name, const std::string& value) {
    grpc::ClientContext ctx;
    tovak::api::UpdateParamsCommand_Request req;
    tovak::api::UpdateParamsCommand_Feedback resp;
    req.mutable_header()->set_device_id("head");
    auto* p = req.add_params();
    p->set_param_name(name);
    p->set_string_value(value);
    const grpc::Status s = system->UpdateParams(&ctx, req, &resp);
    return std::make_pair(s, resp.header());
  };
  auto [status, header] = update("fault", "expressionHappy:servo 4 overheated");
  if (status.error_code() == grpc::StatusCode::UNIMPLEMENTED) GTEST_SKIP() << "SystemService.UpdateParams not served yet";
  ASSERT_TRUE(status.ok());
  ASSERT_TRUE(header.success()) << header.error_message();

  grpc::ClientContext ctx;
  tovak::api::Happy_Request req;
  tovak::api::Happy_Feedback resp;
  req.mutable_header()->set_device_id("head");
  ASSERT_TRUE(stub_->Happy(&ctx, req, &resp).ok());
  EXPECT_FALSE(resp.header().success());
  EXPECT_EQ(resp.header().error_message(), "servo 4 overheated");

  std::tie(status, header) = update("max_speed", "fast");
  EXPECT_FALSE(header.success());
  EXPECT_EQ(header.error_message(),
            "head head: setting max_speed = 'fast' is not valid: expected a number from 0.01 to 100");
}

}  // namespace
}  // namespace tovak::test
