#include "service/grpc/include/grpc_dexhand_service.h"

#include <chrono>
#include <thread>

#include "service/grpc/include/dexhand_conversions.h"
#include "service/grpc/include/grpc_handler.h"

namespace tovak::service {

using tovak::device::AbstractDexHand;

namespace {
constexpr const char* kClass = "gRPCDexHandServiceImpl";
constexpr std::chrono::milliseconds kStreamPause{33};
}  // namespace

gRPCDexHandServiceImpl::gRPCDexHandServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCDexHandServiceImpl::GetStatus(grpc::ServerContext*,
                                               const tovak::api::GetDexHandStateCommand_Request* request,
                                               tovak::api::GetDexHandStateCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "GetStatus", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             tovak::device::DexHandState state;
                                             hand.getState(state);
                                             toProto(state, response->mutable_state());
                                           });
}

grpc::Status gRPCDexHandServiceImpl::SetDexHandPos(grpc::ServerContext*,
                                                   const tovak::api::SetDexHandPositionsCommand_Request* request,
                                                   tovak::api::SetDexHandPositionsCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "SetDexHandPos", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             hand.setPositions(scaleDofValues(request->values(), kDexHandPositionScale));
                                           });
}

grpc::Status gRPCDexHandServiceImpl::SetDexHandAngle(grpc::ServerContext*,
                                                     const tovak::api::SetDexHandAnglesCommand_Request* request,
                                                     tovak::api::SetDexHandAnglesCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "SetDexHandAngle", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             hand.setAngles(scaleDofValues(request->values(), kDexHandAngleScale));
                                           });
}

grpc::Status gRPCDexHandServiceImpl::SetDexHandForce(grpc::ServerContext*,
                                                     const tovak::api::SetDexHandForceCommand_Request* request,
                                                     tovak::api::SetDexHandForceCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "SetDexHandForce", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             hand.setForce(scaleDofValues(request->values(), kDexHandForceScale));
                                           });
}

grpc::Status gRPCDexHandServiceImpl::SetDexHandSpeed(grpc::ServerContext*,
                                                     const tovak::api::SetDexHandSpeedCommand_Request* request,
                                                     tovak::api::SetDexHandSpeedCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "SetDexHandSpeed", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             hand.setVelocities(scaleDofValues(request->values(), kDexHandSpeedScale));
                                           });
}

grpc::Status gRPCDexHandServiceImpl::SetDexHandPresetAct(grpc::ServerContext*,
                                                         const tovak::api::SetDexHandPresetActCommand_Request* request,
                                                         tovak::api::SetDexHandPresetActCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "SetDexHandPresetAct", request->header().device_id(),
                                           response,
                                           [&](AbstractDexHand& hand) { hand.setPresetAct(request->presetactid()); });
}

grpc::Status gRPCDexHandServiceImpl::GetSensorData(grpc::ServerContext*,
                                                   const tovak::api::GetSensorDataCommand_Request* request,
                                                   tovak::api::GetSensorDataCommand_Feedback* response) {
  return handleDeviceCall<AbstractDexHand>(dmgr_, kClass, "GetSensorData", request->header().device_id(), response,
                                           [&](AbstractDexHand& hand) {
                                             // One copy: all 17 parts come from the same refresh.
                                             const auto sensors = hand.sensorSnapshot();
                                             appendSensorData(sensors, response->mutable_sensor());
                                           });
}

grpc::Status gRPCDexHandServiceImpl::GetSensorDataStream(
    grpc::ServerContext* context,
    grpc::ServerReaderWriter<tovak::api::GetSensorDataStreamCommand_Feedback,
                             tovak::api::GetSensorDataStreamCommand_Request>* stream) {
  tovak::api::GetSensorDataStreamCommand_Request request;
  stream->Read(&request);  // a failed read leaves the id empty, and the lookup refuses it
  const std::string id = request.header().device_id();
  LOG(INFO) << "[" << kClass << "] (GetSensorDataStream): start,id=" << id;
  try {
    std::shared_ptr<AbstractDexHand> hand = dmgr_.getDevice<AbstractDexHand>(id);
    if (!hand) return grpc::Status::OK;
    for (;;) {
      if (context->IsCancelled()) {
        LOG(INFO) << "[" << kClass << "] (GetSensorDataStream): cancelled,id=" << id;
        break;
      }
      tovak::api::GetSensorDataStreamCommand_Feedback feedback;
      appendSensorData(hand->sensorSnapshot(), feedback.mutable_sensor());
      if (!stream->Write(feedback)) {
        LOG(INFO) << "[" << kClass << "] (stream->Write) failed,id=" << id;
        break;
      }
      std::this_thread::sleep_for(kStreamPause);
    }
  } catch (...) {
    // The stream just ends: the client sees the end of the messages and status OK.
  }
  return grpc::Status::OK;
}

}  // namespace tovak::service
