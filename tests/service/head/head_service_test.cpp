// BioHeadService over a real channel, against a recording fake head that
// shows what the wire cannot: which pose fields reached the head, which calls
// were made, in what order, and with which lock held.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "service/grpc/include/grpc_head_service.h"
#include "tests/support/grpc_test_utils.h"
#include "tests/support/log_capture.h"

namespace tovak::service {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tovak::api::BioHeadService;
using tovak::api::CommandHeader_Feedback;
using tovak::api::FacialExpression;
using tovak::api::StreamFacialExpression_Feedback;
using tovak::api::StreamFacialExpression_Request;
using tovak::device::AbstractBiohead;
using tovak::device::FacialExpressionState;
using F = FacialExpressionState;

struct NonStdThrow {};

class RecordingHead : public AbstractBiohead {
 public:
  RecordingHead() : AbstractBiohead(XmlNode()) {}

  void getState(tovak::device::RobotState&) override { record("getState"); }
  void eStop() override {
    record("eStop");
    std::lock_guard<std::mutex> lk(mtx_);
    flag_at_estop_ = emergency_stop_requested;
  }
  void setExpressionPose(F& pose, double duration, double speed) override {
    record("setExpressionPose");
    const bool own_record = &pose == &expression_state_;
    const bool locked = heldByCaller();
    std::lock_guard<std::mutex> lk(mtx_);
    set_poses_.push_back(pose);
    set_own_record_ = set_own_record_ && own_record;
    set_locked_ = set_locked_ && locked;
    args_ok_ = args_ok_ && duration == 0.0 && speed == 0.0;
  }
  void streamFacialPose(F& pose, double duration, double speed) override {
    record("streamFacialPose");
    std::lock_guard<std::mutex> lk(mtx_);
    frames_.push_back(pose);
    frame_times_.push_back(Clock::now());
    args_ok_ = args_ok_ && duration == 0.0 && speed == 0.0;
  }
  void speakstart() override { record("speakstart"); }
  void speakstop() override { record("speakstop"); }
  void expressionHappy() override { record("expressionHappy"); }
  void expressionSurprised() override { record("expressionSurprised"); }
  void expressionTired() override { record("expressionTired"); }
  void expressionAngry() override { record("expressionAngry"); }
  void expressionSadness() override { record("expressionSadness"); }
  void expressionYawn() override { record("expressionYawn"); }

  // The next call of `op` throws `text` ("!nonstd": a non-std exception).
  void failNext(const std::string& op, const std::string& text) {
    std::lock_guard<std::mutex> lk(mtx_);
    fail_op_ = op;
    fail_text_ = text;
  }
  std::map<std::string, int> calls() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return calls_;
  }
  int totalCalls() const {
    int n = 0;
    for (const auto& [op, count] : calls()) n += count;
    return n;
  }
  std::vector<F> setPoses() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return set_poses_;
  }
  std::vector<F> frames() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return frames_;
  }
  std::vector<Clock::time_point> frameTimes() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return frame_times_;
  }
  bool setWasLockedOnOwnRecord() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return set_locked_ && set_own_record_;
  }
  bool argsWereZero() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return args_ok_;
  }
  bool flagAtEStop() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return flag_at_estop_;
  }

 private:
  void record(const std::string& op) {
    std::string text;
    {
      std::lock_guard<std::mutex> lk(mtx_);
      ++calls_[op];
      if (op != fail_op_) return;
      text = fail_text_;
      fail_op_.clear();
    }
    if (text == "!nonstd") throw NonStdThrow{};
    throw std::runtime_error(text);
  }
  // Whether another thread is kept out of the expression lock right now.
  bool heldByCaller() {
    return !std::async(std::launch::async, [this] {
              const bool got = expression_mtx_.try_lock();
              if (got) expression_mtx_.unlock();
              return got;
            }).get();
  }

  mutable std::mutex mtx_;
  std::map<std::string, int> calls_;
  std::string fail_op_, fail_text_;
  std::vector<F> set_poses_, frames_;
  std::vector<Clock::time_point> frame_times_;
  bool set_own_record_ = true, set_locked_ = true, args_ok_ = true, flag_at_estop_ = false;
};

// An expression whose every field has its own value. The lips use the values
// whose crosswise mapping on the right is easy to see.
FacialExpression distinctExpression() {
  FacialExpression e;
  auto* b = e.mutable_eyebrow();
  b->set_left_outside_y(0.01f);
  b->set_left_inside_y(0.02f);
  b->set_right_outside_y(0.03f);
  b->set_right_inside_y(0.04f);
  auto* l = e.mutable_eyelid();
  l->set_left_upper_y(0.05f);
  l->set_left_lower_y(0.06f);
  l->set_right_upper_y(0.07f);
  l->set_right_lower_y(0.08f);
  auto* eye = e.mutable_eyeball();
  eye->set_left_x(0.5f);
  eye->set_left_y(0.10f);
  eye->set_right_x(0.11f);
  eye->set_right_y(0.12f);
  e.mutable_nose()->set_left_y(0.13f);
  e.mutable_nose()->set_right_y(0.14f);
  auto* m = e.mutable_mouth();
  m->set_upper_lip_y(0.15f);
  m->set_lower_lip_y(0.16f);
  m->mutable_left_lip()->set_upper_y(0.17f);
  m->mutable_left_lip()->set_corner_y(0.2f);
  m->mutable_left_lip()->set_lower_y(0.7f);
  m->mutable_right_lip()->set_upper_y(0.18f);
  m->mutable_right_lip()->set_corner_y(0.2f);
  m->mutable_right_lip()->set_lower_y(0.7f);
  e.mutable_jaw()->set_x(0.23f);
  e.mutable_jaw()->set_y(0.24f);
  return e;
}

struct FieldCase {
  const char* name;
  float F::*field;
  float expected;
};

void expectFields(const F& pose, const std::vector<FieldCase>& table) {
  ASSERT_EQ(table.size(), 32u);
  for (const auto& c : table) EXPECT_EQ(pose.*c.field, c.expected) << c.name;
}

class HeadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    head_ = std::make_shared<RecordingHead>();
    tovak::device::DeviceManager::createForTesting({
        {"head", head_},
        {"nullhead", std::shared_ptr<AbstractBiohead>()},
        {"speaker", std::shared_ptr<tovak::device::AbstractSpeaker>()},
    });
    service_ = std::make_unique<gRPCMBioHeadServiceImpl>();
    server_ = std::make_unique<tovak::test::InProcessServer>(std::vector<grpc::Service*>{service_.get()});
    stub_ = BioHeadService::NewStub(server_->channel());
  }
  void TearDown() override {
    server_.reset();
    service_.reset();
  }

  using Stream = grpc::ClientReaderWriter<StreamFacialExpression_Request, StreamFacialExpression_Feedback>;

  static StreamFacialExpression_Request frame(const std::string& id, float marker = 0.0f) {
    StreamFacialExpression_Request r;
    r.mutable_header()->set_device_id(id);
    r.mutable_expr()->mutable_eyebrow()->set_left_outside_y(marker);
    return r;
  }

  CommandHeader_Feedback emergencyStop(const std::string& id) {
    grpc::ClientContext ctx;
    tovak::api::EmergencyStop_Request req;
    tovak::api::EmergencyStop_Feedback resp;
    req.mutable_header()->set_device_id(id);
    EXPECT_TRUE(stub_->EmergencyStop(&ctx, req, &resp).ok());
    return resp.header();
  }

  // Closes the client side and collects the replies still to come.
  static std::vector<StreamFacialExpression_Feedback> finish(Stream& stream, grpc::Status* status) {
    stream.WritesDone();
    std::vector<StreamFacialExpression_Feedback> rest;
    StreamFacialExpression_Feedback fb;
    while (stream.Read(&fb)) rest.push_back(fb);
    *status = stream.Finish();
    return rest;
  }

  tovak::test::LogCapture log_;
  std::shared_ptr<RecordingHead> head_;
  std::unique_ptr<gRPCMBioHeadServiceImpl> service_;
  std::unique_ptr<tovak::test::InProcessServer> server_;
  std::unique_ptr<BioHeadService::Stub> stub_;
};

// The eleven unary calls: one table, each checked on success and on every
// failure the API can produce.
struct UnaryCall {
  const char* rpc;
  const char* op;  // head operation; empty for the status probe
  std::function<grpc::Status(BioHeadService::Stub&, const std::string&, CommandHeader_Feedback&)> call;
};

template <class Req, class Resp, class Method>
UnaryCall unary(const char* rpc, const char* op, Method method) {
  return {rpc, op, [method](BioHeadService::Stub& stub, const std::string& id, CommandHeader_Feedback& out) {
            grpc::ClientContext ctx;
            Req req;
            Resp resp;
            req.mutable_header()->set_device_id(id);
            const grpc::Status s = (stub.*method)(&ctx, req, &resp);
            out = resp.header();
            return s;
          }};
}

const std::vector<UnaryCall>& unaryCalls() {
  using namespace tovak::api;
  using S = BioHeadService::Stub;
  static const std::vector<UnaryCall> calls = {
      unary<SetFacialExpression_Request, SetFacialExpression_Feedback>("SetExpression", "setExpressionPose",
                                                                       &S::SetExpression),
      unary<GetStatus_Request, GetStatus_Feedback>("GetSystemStatus", "", &S::GetSystemStatus),
      unary<EmergencyStop_Request, EmergencyStop_Feedback>("EmergencyStop", "eStop", &S::EmergencyStop),
      unary<SpeakStart_Request, SpeakStart_Feedback>("SpeakStart", "speakstart", &S::SpeakStart),
      unary<SpeakStop_Request, SpeakStop_Feedback>("SpeakStop", "speakstop", &S::SpeakStop),
      unary<Happy_Request, Happy_Feedback>("Happy", "expressionHappy", &S::Happy),
      unary<Surprise_Request, Surprise_Feedback>("Surprise", "expressionSurprised", &S::Surprise),
      unary<ExpressionTired_Request, ExpressionTired_Feedback>("ExpressionTired", "expressionTired",
                                                               &S::ExpressionTired),
      unary<ExpressionAngry_Request, ExpressionAngry_Feedback>("ExpressionAngry", "expressionAngry",
                                                               &S::ExpressionAngry),
      unary<ExpressionSadness_Request, ExpressionSadness_Feedback>("ExpressionSadness", "expressionSadness",
                                                                   &S::ExpressionSadness),
      unary<ExpressionYawn_Request, ExpressionYawn_Feedback>("ExpressionYawn", "expressionYawn", &S::ExpressionYawn),
  };
  return calls;
}

TEST_F(HeadServiceTest, UnaryCallsReachTheirOperationAndReportEveryFailure) {
  for (const auto& c : unaryCalls()) {
    SCOPED_TRACE(c.rpc);
    const std::string op = c.op;
    auto before = head_->calls();

    CommandHeader_Feedback fb;
    ASSERT_TRUE(c.call(*stub_, "head", fb).ok());
    EXPECT_TRUE(fb.success());
    EXPECT_EQ(fb.error_message(), "");
    EXPECT_GT(fb.timestamp().seconds(), 0);
    auto after = head_->calls();
    if (!op.empty()) {
      EXPECT_EQ(after[op], before[op] + 1);
    }

    struct Failure {
      std::string id, expected;
    };
    const std::vector<Failure> lookups = {
        {"nope", "[DeviceManager]: Device ID nope not found."},
        {"", "[DeviceManager]: Device ID  not found."},
        {"speaker", "[DeviceManager]: Device ID speaker type mismatch."},
        {"nullhead", "Biohead device not found"},
    };
    for (const auto& f : lookups) {
      ASSERT_TRUE(c.call(*stub_, f.id, fb).ok());
      EXPECT_FALSE(fb.success()) << f.id;
      EXPECT_EQ(fb.error_message(), f.expected);
      EXPECT_GT(fb.timestamp().seconds(), 0);
    }
    EXPECT_EQ(head_->calls(), after) << "a failed lookup reached the head";

    if (op.empty()) continue;
    for (const auto& [text, expected] : {std::pair{"servo 3 jammed", "servo 3 jammed"}, {"!nonstd", "unknown error"}}) {
      head_->failNext(op, text);
      ASSERT_TRUE(c.call(*stub_, "head", fb).ok());
      EXPECT_FALSE(fb.success());
      EXPECT_EQ(fb.error_message(), expected);
      EXPECT_GT(fb.timestamp().seconds(), 0);
    }
  }
  EXPECT_EQ(log_.count("gRPCMBioHeadServiceImpl"), 0) << "the head's calls write no log line";
}

TEST_F(HeadServiceTest, StatusProbeDoesNotTouchTheHead) {
  CommandHeader_Feedback fb;
  ASSERT_TRUE(unaryCalls()[1].call(*stub_, "head", fb).ok());
  EXPECT_TRUE(fb.success());
  EXPECT_EQ(head_->totalCalls(), 0);
}

TEST_F(HeadServiceTest, EmergencyStopRaisesTheFlagAfterTheStopOnly) {
  EXPECT_TRUE(emergencyStop("head").success());
  EXPECT_FALSE(head_->flagAtEStop()) << "flag raised before eStop returned";
  EXPECT_TRUE(head_->emergency_stop_requested);

  head_->emergency_stop_requested = false;
  head_->failNext("eStop", "bus down");
  EXPECT_EQ(emergencyStop("head").error_message(), "bus down");
  EXPECT_FALSE(head_->emergency_stop_requested) << "a failed stop must not look like a stop";
}

TEST_F(HeadServiceTest, SetExpressionWritesSixteenFieldsOfTheHeadsOwnPose) {
  const float keep = 0.9f;
  {
    auto lock = head_->lockExpression();
    F& s = head_->expression_state_;
    for (float* p = &s.left_eyebrow_outside_y; p <= &s.jaw_y; ++p) *p = keep;
  }
  grpc::ClientContext ctx;
  tovak::api::SetFacialExpression_Request req;
  tovak::api::SetFacialExpression_Feedback resp;
  req.mutable_header()->set_device_id("head");
  *req.mutable_expression() = distinctExpression();
  ASSERT_TRUE(stub_->SetExpression(&ctx, req, &resp).ok());
  ASSERT_TRUE(resp.header().success());

  const auto poses = head_->setPoses();
  ASSERT_EQ(poses.size(), 1u);
  EXPECT_TRUE(head_->setWasLockedOnOwnRecord()) << "expression_state_ not handed over under the head's lock";
  EXPECT_TRUE(head_->argsWereZero());
  expectFields(poses[0], {
                             {"left_eyebrow_outside_y", &F::left_eyebrow_outside_y, 0.01f},
                             {"left_eyebrow_inside_y", &F::left_eyebrow_inside_y, 0.02f},
                             {"right_eyebrow_outside_y", &F::right_eyebrow_outside_y, 0.03f},
                             {"right_eyebrow_inside_y", &F::right_eyebrow_inside_y, 0.04f},
                             {"left_eye_upper_lid_y", &F::left_eye_upper_lid_y, 0.05f},
                             {"left_eye_lower_lid_y", &F::left_eye_lower_lid_y, 0.06f},
                             {"right_eye_upper_lid_y", &F::right_eye_upper_lid_y, 0.07f},
                             {"right_eye_lower_lid_y", &F::right_eye_lower_lid_y, 0.08f},
                             {"left_eye_ball_x", &F::left_eye_ball_x, 0.5f},
                             {"left_eye_ball_y", &F::left_eye_ball_y, 0.10f},
                             {"right_eye_ball_x", &F::right_eye_ball_x, 0.11f},
                             {"right_eye_ball_y", &F::right_eye_ball_y, 0.12f},
                             {"left_nose_y", &F::left_nose_y, 0.13f},
                             {"right_nose_y", &F::right_nose_y, 0.14f},
                             {"upper_lip_y", &F::upper_lip_y, 0.15f},
                             {"upper_lip_z", &F::upper_lip_z, keep},
                             {"lower_lip_y", &F::lower_lip_y, 0.16f},
                             {"lower_lip_z", &F::lower_lip_z, keep},
                             {"upper_left_lip_x", &F::upper_left_lip_x, keep},
                             {"upper_left_lip_y", &F::upper_left_lip_y, keep},
                             {"left_corner_lip_x", &F::left_corner_lip_x, keep},
                             {"left_corner_lip_y", &F::left_corner_lip_y, keep},
                             {"lower_left_lip_x", &F::lower_left_lip_x, keep},
                             {"lower_left_lip_y", &F::lower_left_lip_y, keep},
                             {"upper_right_lip_x", &F::upper_right_lip_x, keep},
                             {"upper_right_lip_y", &F::upper_right_lip_y, keep},
                             {"right_corner_lip_x", &F::right_corner_lip_x, keep},
                             {"right_corner_lip_y", &F::right_corner_lip_y, keep},
                             {"lower_right_lip_x", &F::lower_right_lip_x, keep},
                             {"lower_right_lip_y", &F::lower_right_lip_y, keep},
                             {"jaw_x", &F::jaw_x, keep},
                             {"jaw_y", &F::jaw_y, keep},
                         });
}

// Without the head's lock, two requests could interleave their writes and
// hand the head a pose made of both.
TEST_F(HeadServiceTest, ConcurrentSetExpressionsNeverMixTheirPoses) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto stub = BioHeadService::NewStub(server_->channel());
      for (int i = 0; i < 25; ++i) {
        const float v = static_cast<float>(t * 100 + i) / 1000.0f;
        grpc::ClientContext ctx;
        tovak::api::SetFacialExpression_Request req;
        tovak::api::SetFacialExpression_Feedback resp;
        req.mutable_header()->set_device_id("head");
        auto* e = req.mutable_expression();
        e->mutable_eyebrow()->set_left_outside_y(v);
        e->mutable_eyelid()->set_right_lower_y(v);
        e->mutable_eyeball()->set_right_y(v);
        e->mutable_mouth()->set_lower_lip_y(v);
        EXPECT_TRUE(stub->SetExpression(&ctx, req, &resp).ok());
      }
    });
  }
  for (auto& t : threads) t.join();
  const auto poses = head_->setPoses();
  ASSERT_EQ(poses.size(), 100u);
  for (const auto& p : poses) {
    EXPECT_EQ(p.right_eye_lower_lid_y, p.left_eyebrow_outside_y);
    EXPECT_EQ(p.right_eye_ball_y, p.left_eyebrow_outside_y);
    EXPECT_EQ(p.lower_lip_y, p.left_eyebrow_outside_y);
  }
}

TEST_F(HeadServiceTest, StreamFrameIsACompletePoseWithTheRightLipCrosswise) {
  grpc::ClientContext ctx;
  auto stream = stub_->StreamExpression(&ctx);
  std::this_thread::sleep_for(150ms);  // past the rate limit's first interval
  StreamFacialExpression_Request req;
  req.mutable_header()->set_device_id("head");
  *req.mutable_expr() = distinctExpression();
  ASSERT_TRUE(stream->Write(req));
  StreamFacialExpression_Feedback fb;
  ASSERT_TRUE(stream->Read(&fb));
  EXPECT_TRUE(fb.header().success());
  EXPECT_EQ(fb.header().error_message(), "");
  EXPECT_GT(fb.header().timestamp().seconds(), 0);
  grpc::Status status;
  EXPECT_TRUE(finish(*stream, &status).empty());
  EXPECT_TRUE(status.ok());

  const auto frames = head_->frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(head_->argsWereZero());
  expectFields(frames[0], {
                              {"left_eyebrow_outside_y", &F::left_eyebrow_outside_y, 0.01f},
                              {"left_eyebrow_inside_y", &F::left_eyebrow_inside_y, 0.02f},
                              {"right_eyebrow_outside_y", &F::right_eyebrow_outside_y, 0.03f},
                              {"right_eyebrow_inside_y", &F::right_eyebrow_inside_y, 0.04f},
                              {"left_eye_upper_lid_y", &F::left_eye_upper_lid_y, 0.05f},
                              {"left_eye_lower_lid_y", &F::left_eye_lower_lid_y, 0.06f},
                              {"right_eye_upper_lid_y", &F::right_eye_upper_lid_y, 0.07f},
                              {"right_eye_lower_lid_y", &F::right_eye_lower_lid_y, 0.08f},
                              {"left_eye_ball_x", &F::left_eye_ball_x, 0.0f},
                              {"left_eye_ball_y", &F::left_eye_ball_y, 0.10f},
                              {"right_eye_ball_x", &F::right_eye_ball_x, 0.0f},
                              {"right_eye_ball_y", &F::right_eye_ball_y, 0.12f},
                              {"left_nose_y", &F::left_nose_y, 0.13f},
                              {"right_nose_y", &F::right_nose_y, 0.14f},
                              {"upper_lip_y", &F::upper_lip_y, 0.15f},
                              {"upper_lip_z", &F::upper_lip_z, 0.0f},
                              {"lower_lip_y", &F::lower_lip_y, 0.16f},
                              {"lower_lip_z", &F::lower_lip_z, 0.0f},
                              {"upper_left_lip_x", &F::upper_left_lip_x, 0.0f},
                              {"upper_left_lip_y", &F::upper_left_lip_y, 0.0f},
                              {"left_corner_lip_x", &F::left_corner_lip_x, 0.17f},
                              {"left_corner_lip_y", &F::left_corner_lip_y, 0.2f},
                              {"lower_left_lip_x", &F::lower_left_lip_x, 0.0f},
                              {"lower_left_lip_y", &F::lower_left_lip_y, 0.7f},
                              {"upper_right_lip_x", &F::upper_right_lip_x, 0.0f},
                              {"upper_right_lip_y", &F::upper_right_lip_y, 0.0f},
                              {"right_corner_lip_x", &F::right_corner_lip_x, 0.18f},
                              {"right_corner_lip_y", &F::right_corner_lip_y, 0.7f},
                              {"lower_right_lip_x", &F::lower_right_lip_x, 0.0f},
                              {"lower_right_lip_y", &F::lower_right_lip_y, 0.2f},
                              {"jaw_x", &F::jaw_x, 0.23f},
                              {"jaw_y", &F::jaw_y, 0.24f},
                          });
  EXPECT_EQ(head_->calls().count("setExpressionPose"), 0u);
  EXPECT_TRUE(log_.contains("StreamExpression started.", google::GLOG_INFO));
  EXPECT_TRUE(log_.contains("StreamExpression finished for device: head", google::GLOG_INFO));
}

TEST_F(HeadServiceTest, FirstFrameWithinTheFirstIntervalBindsButIsDropped) {
  head_->emergency_stop_requested = true;
  grpc::ClientContext ctx;
  auto stream = stub_->StreamExpression(&ctx);
  ASSERT_TRUE(stream->Write(frame("head", 0.1f)));
  std::this_thread::sleep_for(250ms);
  // Later headers are not read: the stream stays with its first head.
  ASSERT_TRUE(stream->Write(frame("nope", 0.2f)));
  StreamFacialExpression_Feedback fb;
  ASSERT_TRUE(stream->Read(&fb));
  EXPECT_TRUE(fb.header().success());
  grpc::Status status;
  EXPECT_TRUE(finish(*stream, &status).empty());
  EXPECT_TRUE(status.ok());
  const auto frames = head_->frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].left_eyebrow_outside_y, 0.2f);
  EXPECT_FALSE(head_->emergency_stop_requested) << "binding clears the stop flag";
}

// Frames are applied at most every 100 ms whatever the client sends; frames
// further apart than that are all applied.
TEST_F(HeadServiceTest, StreamAppliesAtMostOneFramePerHundredMilliseconds) {
  struct Case {
    std::chrono::milliseconds interval;
    int frames;
  };
  for (const Case c : {Case{50ms, 20}, Case{200ms, 5}}) {
    SCOPED_TRACE(c.interval.count());
    const std::size_t applied_before = head_->frames().size();
    grpc::ClientContext ctx;
    auto stream = stub_->StreamExpression(&ctx);
    std::atomic<int> replies{0};
    std::thread reader([&] {
      StreamFacialExpression_Feedback fb;
      while (stream->Read(&fb)) {
        EXPECT_TRUE(fb.header().success());
        ++replies;
      }
    });
    const auto start = Clock::now();
    for (int i = 0; i < c.frames; ++i) {
      if (c.interval < 100ms)
        std::this_thread::sleep_until(start + (i + 1) * c.interval);  // the average rate stays 20 Hz
      else
        std::this_thread::sleep_for(c.interval);  // every gap at least this long
      ASSERT_TRUE(stream->Write(frame("head", static_cast<float>(i + 1) / 100.0f)));
    }
    stream->WritesDone();
    reader.join();
    const double elapsed_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_TRUE(stream->Finish().ok());

    const auto times = head_->frameTimes();
    const int applied = static_cast<int>(times.size() - applied_before);
    EXPECT_EQ(replies, applied) << "one reply per applied frame, none for dropped ones";
    for (std::size_t k = applied_before + 1; k < times.size(); ++k) {
      EXPECT_GE(times[k] - times[k - 1], 90ms) << "frames applied closer than the limit";
    }
    if (c.interval < 100ms) {
      EXPECT_GE(applied, c.frames / 4);
      EXPECT_LE(applied, static_cast<int>(elapsed_ms / 100.0) + 1);
    } else {
      EXPECT_EQ(applied, c.frames);
    }
  }
}

TEST_F(HeadServiceTest, EmergencyStopEndsARunningStreamAndANewStreamMovesAgain) {
  {
    grpc::ClientContext ctx;
    auto stream = stub_->StreamExpression(&ctx);
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(stream->Write(frame("head", 0.1f)));
    StreamFacialExpression_Feedback fb;
    ASSERT_TRUE(stream->Read(&fb));
    ASSERT_TRUE(fb.header().success());

    ASSERT_TRUE(emergencyStop("head").success());
    std::this_thread::sleep_for(150ms);
    stream->Write(frame("head", 0.2f));
    EXPECT_FALSE(stream->Read(&fb)) << "the stream went on after the stop, or sent an error feedback";
    EXPECT_TRUE(stream->Finish().ok());
  }
  EXPECT_EQ(head_->frames().size(), 1u) << "the frame after the stop was applied";
  EXPECT_TRUE(log_.contains("[Stream] Emergency stop requested. Terminating stream for device: head",
                            google::GLOG_WARNING));
  EXPECT_TRUE(log_.contains("StreamExpression finished for device: head", google::GLOG_INFO));
  EXPECT_FALSE(log_.contains("StreamExpression error"));
  EXPECT_TRUE(head_->emergency_stop_requested) << "the flag stays up until a new stream starts";

  grpc::ClientContext ctx;
  auto stream = stub_->StreamExpression(&ctx);
  std::this_thread::sleep_for(150ms);
  ASSERT_TRUE(stream->Write(frame("head", 0.3f)));
  StreamFacialExpression_Feedback fb;
  ASSERT_TRUE(stream->Read(&fb));
  EXPECT_TRUE(fb.header().success());
  EXPECT_FALSE(head_->emergency_stop_requested);
  grpc::Status status;
  finish(*stream, &status);
  EXPECT_TRUE(status.ok());
  const auto frames = head_->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].left_eyebrow_outside_y, 0.3f);
}

// Every way a stream fails: exactly one error feedback, then status OK.
TEST_F(HeadServiceTest, StreamFailuresEndWithOneErrorFeedback) {
  struct Case {
    std::string id;
    std::string fault;  // text the head's streamFacialPose throws
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "", "Device ID is empty in first message"},
      {"nope", "", "[DeviceManager]: Device ID nope not found."},
      {"speaker", "", "[DeviceManager]: Device ID speaker type mismatch."},
      {"nullhead", "", "Biohead device not found: nullhead"},
      {"head", "servo 9 jammed", "servo 9 jammed"},
      {"head", "!nonstd", "unknown error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    log_.clear();
    if (!c.fault.empty()) head_->failNext("streamFacialPose", c.fault);
    grpc::ClientContext ctx;
    auto stream = stub_->StreamExpression(&ctx);
    if (!c.fault.empty()) std::this_thread::sleep_for(150ms);  // the frame must get past the rate limit
    stream->Write(frame(c.id));
    stream->Write(frame(c.id));
    grpc::Status status;
    const auto replies = finish(*stream, &status);
    EXPECT_TRUE(status.ok());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].header().success());
    EXPECT_EQ(replies[0].header().error_message(), c.expected);
    EXPECT_GT(replies[0].header().timestamp().seconds(), 0);
    EXPECT_TRUE(log_.contains("StreamExpression error: " + c.expected, google::GLOG_ERROR));
    EXPECT_FALSE(log_.contains("StreamExpression finished"));
  }
}

// A client that cancels, whether it bound a head or sent nothing, frees the
// stream's thread at once.
TEST_F(HeadServiceTest, CancelledStreamEnds) {
  for (const bool send_frame : {true, false}) {
    SCOPED_TRACE(send_frame);
    log_.clear();
    grpc::ClientContext ctx;
    auto stream = stub_->StreamExpression(&ctx);
    if (send_frame) {
      ASSERT_TRUE(stream->Write(frame("head")));  // dropped by the rate limit
    }
    const std::string line = send_frame ? "StreamExpression finished for device: head"
                                        : "StreamExpression finished for device: ";
    ASSERT_TRUE([&] {
      const auto end = Clock::now() + 2s;
      while (!log_.contains("StreamExpression started.") && Clock::now() < end) std::this_thread::sleep_for(5ms);
      return log_.contains("StreamExpression started.");
    }());
    std::this_thread::sleep_for(20ms);
    ctx.TryCancel();
    const auto end = Clock::now() + 3s;
    while (!log_.contains(line) && Clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(log_.count(line), 1);
    EXPECT_EQ(head_->frames().size(), 0u);
    stream->Finish();
  }
}

}  // namespace
}  // namespace tovak::service
