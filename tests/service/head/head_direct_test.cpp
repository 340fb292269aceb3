// The head service's handlers and stream loop driven directly, on the real
// simulated face, from several threads: no gRPC in between, so
// ThreadSanitizer sees every synchronisation between the service, the
// emergency-stop flag and the driver.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "drivers/head_esp32/include/head_esp32.h"
#include "service/grpc/include/grpc_head_service.h"
#include "service/grpc/include/head_stream.h"
#include "tests/support/log_capture.h"

namespace tovak::service {
namespace {

using namespace std::chrono_literals;
using tovak::api::StreamFacialExpression_Feedback;
using tovak::api::StreamFacialExpression_Request;

// Delivers one frame every `pace` until `frames` were read or it is closed.
class PacedStream {
 public:
  PacedStream(std::chrono::milliseconds pace, int frames) : pace_(pace), frames_(frames) {}

  bool Read(StreamFacialExpression_Request* r) {
    if (closed_ || reads_ >= frames_) return false;
    std::this_thread::sleep_for(pace_);
    r->mutable_header()->set_device_id("head");
    r->mutable_expr()->mutable_jaw()->set_y(static_cast<float>(reads_ % 10) / 10.0f);
    ++reads_;
    return true;
  }
  bool Write(const StreamFacialExpression_Feedback& fb) {
    std::lock_guard<std::mutex> lk(mtx_);
    replies_.push_back(fb);
    return true;
  }
  std::vector<StreamFacialExpression_Feedback> replies() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return replies_;
  }
  int reads() const { return reads_; }
  void close() { closed_ = true; }

 private:
  std::chrono::milliseconds pace_;
  int frames_;
  std::atomic<int> reads_{0};
  std::atomic<bool> closed_{false};
  mutable std::mutex mtx_;
  std::vector<StreamFacialExpression_Feedback> replies_;
};

class HeadDirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::istringstream xml(R"(<esp32 id="head" rate_hz="200"/>)");
    head_ = std::make_shared<tovak::device::BioHeadRobot>(XmlNode(xml));
    head_->init();
    dmgr_ = &tovak::device::DeviceManager::createForTesting({{"head", head_}});
    service_ = std::make_unique<gRPCMBioHeadServiceImpl>();
  }

  tovak::api::CommandHeader_Feedback emergencyStop() {
    grpc::ServerContext ctx;
    tovak::api::EmergencyStop_Request req;
    tovak::api::EmergencyStop_Feedback resp;
    req.mutable_header()->set_device_id("head");
    service_->EmergencyStop(&ctx, &req, &resp);
    return resp.header();
  }

  tovak::test::LogCapture log_;
  std::shared_ptr<tovak::device::BioHeadRobot> head_;
  tovak::device::DeviceManager* dmgr_ = nullptr;
  std::unique_ptr<gRPCMBioHeadServiceImpl> service_;
};

TEST_F(HeadDirectTest, EmergencyStopOnAnotherThreadEndsTheStreamAndFreezesTheFace) {
  PacedStream stream(30ms, 200);
  std::thread runner([&] { runExpressionStream(*dmgr_, stream, [] { return false; }); });
  while (stream.replies().size() < 2 && stream.reads() < 200) std::this_thread::sleep_for(5ms);
  ASSERT_GE(stream.replies().size(), 2u);

  ASSERT_TRUE(emergencyStop().success());
  const int reads_at_stop = stream.reads();
  runner.join();
  EXPECT_LE(stream.reads() - reads_at_stop, 2) << "the stream ran on after the stop";
  const auto replies = stream.replies();
  if (!replies.back().header().success()) {
    // The rare frame already past the stream's check when the stop landed:
    // the face refuses it and the stream ends with its error.
    EXPECT_NE(replies.back().header().error_message().find("emergency-stopped"), std::string::npos);
  } else {
    EXPECT_EQ(
        log_.count("[Stream] Emergency stop requested. Terminating stream for device: head", google::GLOG_WARNING), 1);
    EXPECT_EQ(log_.count("StreamExpression finished for device: head", google::GLOG_INFO), 1);
  }
  for (std::size_t i = 0; i + 1 < replies.size(); ++i) EXPECT_TRUE(replies[i].header().success());

  tovak::device::RobotState state;
  head_->getState(state);
  EXPECT_TRUE(state.error);
  const auto frozen = state.joint_positions;
  std::this_thread::sleep_for(100ms);
  head_->getState(state);
  EXPECT_EQ(state.joint_positions, frozen);
}

// Streams, single poses, expressions and stops from several threads at once.
TEST_F(HeadDirectTest, ConcurrentCallsOnOneHeadAreSafe) {
  std::atomic<bool> done{false};
  std::atomic<int> set_failures{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!done) {
      PacedStream stream(15ms, 30);
      runExpressionStream(*dmgr_, stream, [&] { return done.load(); });
      for (const auto& fb : stream.replies()) {
        // A frame that raced with a stop is refused by the face, never applied.
        if (!fb.header().success()) {
          EXPECT_NE(fb.header().error_message().find("emergency-stopped"), std::string::npos)
              << fb.header().error_message();
        }
      }
    }
  });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !done; ++i) {
        grpc::ServerContext ctx;
        tovak::api::SetFacialExpression_Request req;
        tovak::api::SetFacialExpression_Feedback resp;
        req.mutable_header()->set_device_id("head");
        const float v = static_cast<float>((i + t * 5) % 10) / 10.0f;
        req.mutable_expression()->mutable_eyebrow()->set_left_outside_y(v);
        req.mutable_expression()->mutable_mouth()->set_lower_lip_y(-v);
        service_->SetExpression(&ctx, &req, &resp);
        if (!resp.header().success()) ++set_failures;
        std::this_thread::sleep_for(3ms);
      }
    });
  }
  threads.emplace_back([&] {
    while (!done) {
      grpc::ServerContext ctx;
      tovak::api::Happy_Request happy;
      tovak::api::Happy_Feedback happy_fb;
      happy.mutable_header()->set_device_id("head");
      service_->Happy(&ctx, &happy, &happy_fb);
      tovak::api::SpeakStart_Request speak;
      tovak::api::SpeakStart_Feedback speak_fb;
      speak.mutable_header()->set_device_id("head");
      service_->SpeakStart(&ctx, &speak, &speak_fb);
      std::this_thread::sleep_for(60ms);
      EXPECT_TRUE(emergencyStop().success());
      std::this_thread::sleep_for(60ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  done = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(set_failures, 0);
  EXPECT_GE(log_.count("[Stream] Emergency stop requested", google::GLOG_WARNING), 1);
}

}  // namespace
}  // namespace tovak::service
