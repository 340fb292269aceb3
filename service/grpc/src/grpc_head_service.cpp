#include "service/grpc/include/grpc_head_service.h"

#include <string>

#include "service/grpc/include/grpc_handler.h"
#include "service/grpc/include/head_stream.h"

namespace tovak::service {

using tovak::device::AbstractBiohead;

namespace {

constexpr const char* kClass = "gRPCMBioHeadServiceImpl";
// The head's calls write no INFO line and name a missing head themselves.
constexpr CallOptions kHeadCall{.log = false, .null_device_text = "Biohead device not found"};

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
  runExpressionStream(dmgr_, *stream, [context] { return context->IsCancelled(); });
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
