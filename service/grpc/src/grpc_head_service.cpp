#include "service/grpc/include/grpc_head_service.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <glog/logging.h>

#include "service/grpc/include/grpc_handler.h"
#include "service/grpc/include/head_conversions.h"

namespace tovak::service {

using tovak::device::AbstractBiohead;

namespace {

constexpr const char* kClass = "gRPCMBioHeadServiceImpl";
// The head's calls write no INFO line and name a missing head themselves.
constexpr CallOptions kHeadCall{.log = false, .null_device_text = "Biohead device not found"};

// The head's controller takes at most 10 poses per second.
constexpr std::chrono::milliseconds kMinFrameInterval{100};

}  // namespace

gRPCMBioHeadServiceImpl::gRPCMBioHeadServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCMBioHeadServiceImpl::SetExpression(grpc::ServerContext*,
                                                    const tovak::api::SetFacialExpression_Request* request,
                                                    tovak::api::SetFacialExpression_Feedback* response) {
  return handleDeviceCall<AbstractBiohead>(
      dmgr_, kClass, "SetExpression", request->header().device_id(), response,
      [&](AbstractBiohead& head) {
        // Concurrent requests would otherwise interleave their writes into
        // the head's one pose record.
        auto lock = head.lockExpression();
        applySetExpression(request->expression(), head.expression_state_);
        head.setExpressionPose(head.expression_state_, 0.0, 0.0);
      },
      kHeadCall);
}

grpc::Status gRPCMBioHeadServiceImpl::StreamExpression(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<tovak::api::StreamFacialExpression_Feedback, tovak::api::StreamFacialExpression_Request>*
        stream) {
  using Clock = std::chrono::steady_clock;
  tovak::api::StreamFacialExpression_Feedback feedback;
  std::string id;
  std::shared_ptr<AbstractBiohead> head;
  bool first = true;
  Clock::time_point last_applied = Clock::now();

  // Ends the stream with one error feedback; the write's outcome does not
  // matter, the stream is over either way.
  auto fail = [&](const std::string& what) {
    LOG(ERROR) << "StreamExpression error: " << what;
    auto* header = feedback.mutable_header();
    header->set_success(false);
    header->set_error_message(what);
    setCurrentTimestamp(header->mutable_timestamp());
    stream->Write(feedback);
  };

  LOG(INFO) << "StreamExpression started.";
  try {
    tovak::api::StreamFacialExpression_Request request;
    // A cancelled call ends the stream even while every frame is dropped by
    // the rate limit.
    while (stream->Read(&request) && !context->IsCancelled()) {
      if (first) {
        id = request.header().device_id();
        if (id.empty()) throw std::runtime_error("Device ID is empty in first message");
        head = dmgr_.getDevice<AbstractBiohead>(id);
        if (!head) throw std::runtime_error("Biohead device not found: " + id);
        head->emergency_stop_requested = false;
        first = false;
      }
      if (head->emergency_stop_requested) {
        LOG(WARNING) << "[Stream] Emergency stop requested. Terminating stream for device: " << id;
        break;
      }
      const Clock::time_point now = Clock::now();
      if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_applied) < kMinFrameInterval) continue;

      tovak::device::FacialExpressionState frame = streamFrameToPose(request.expr());
      head->streamFacialPose(frame, 0.0, 0.0);
      last_applied = now;

      auto* header = feedback.mutable_header();
      header->set_success(true);
      header->clear_error_message();
      setCurrentTimestamp(header->mutable_timestamp());
      if (!stream->Write(feedback)) break;
    }
    LOG(INFO) << "StreamExpression finished for device: " << id;
  } catch (const std::exception& e) {
    fail(e.what());
  } catch (...) {
    fail(kUnknownError);
  }
  return grpc::Status::OK;
}

grpc::Status gRPCMBioHeadServiceImpl::GetSystemStatus(grpc::ServerContext*, const tovak::api::GetStatus_Request* request,
                                                      tovak::api::GetStatus_Feedback* response) {
  // A probe of the registry only: the head itself is not contacted.
  return handleDeviceCall<AbstractBiohead>(
      dmgr_, kClass, "GetSystemStatus", request->header().device_id(), response, [](AbstractBiohead&) {}, kHeadCall);
}

grpc::Status gRPCMBioHeadServiceImpl::EmergencyStop(grpc::ServerContext*,
                                                    const tovak::api::EmergencyStop_Request* request,
                                                    tovak::api::EmergencyStop_Feedback* response) {
  return handleDeviceCall<AbstractBiohead>(
      dmgr_, kClass, "EmergencyStop", request->header().device_id(), response,
      [](AbstractBiohead& head) {
        head.eStop();
        // Running streams on this head end at their next frame.
        head.emergency_stop_requested = true;
      },
      kHeadCall);
}

#define TOVAK_HEAD_SIMPLE_CALL(Rpc, Op)                                                                          \
  grpc::Status gRPCMBioHeadServiceImpl::Rpc(grpc::ServerContext*, const tovak::api::Rpc##_Request* request,     \
                                            tovak::api::Rpc##_Feedback* response) {                             \
    return handleDeviceCall<AbstractBiohead>(                                                                    \
        dmgr_, kClass, #Rpc, request->header().device_id(), response, [](AbstractBiohead& head) { head.Op(); }, \
        kHeadCall);                                                                                              \
  }

TOVAK_HEAD_SIMPLE_CALL(SpeakStart, speakstart)
TOVAK_HEAD_SIMPLE_CALL(SpeakStop, speakstop)
TOVAK_HEAD_SIMPLE_CALL(Happy, expressionHappy)
TOVAK_HEAD_SIMPLE_CALL(Surprise, expressionSurprised)
TOVAK_HEAD_SIMPLE_CALL(ExpressionTired, expressionTired)
TOVAK_HEAD_SIMPLE_CALL(ExpressionAngry, expressionAngry)
TOVAK_HEAD_SIMPLE_CALL(ExpressionSadness, expressionSadness)
TOVAK_HEAD_SIMPLE_CALL(ExpressionYawn, expressionYawn)

#undef TOVAK_HEAD_SIMPLE_CALL

}  // namespace tovak::service
