#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/dexhand_service.grpc.pb.h"

namespace tovak::service {

// DexHandService: per-DOF state and commands of the dexterous hands, preset
// actions, and their tactile matrices once or as a stream (about 30 per
// second).
class gRPCDexHandServiceImpl final : public tovak::api::DexHandService::Service {
 public:
  gRPCDexHandServiceImpl();
  gRPCDexHandServiceImpl(const gRPCDexHandServiceImpl&) = delete;
  gRPCDexHandServiceImpl& operator=(const gRPCDexHandServiceImpl&) = delete;

  grpc::Status GetStatus(grpc::ServerContext* context, const tovak::api::GetDexHandStateCommand_Request* request,
                         tovak::api::GetDexHandStateCommand_Feedback* response) override;
  grpc::Status SetDexHandPos(grpc::ServerContext* context,
                             const tovak::api::SetDexHandPositionsCommand_Request* request,
                             tovak::api::SetDexHandPositionsCommand_Feedback* response) override;
  grpc::Status SetDexHandAngle(grpc::ServerContext* context, const tovak::api::SetDexHandAnglesCommand_Request* request,
                               tovak::api::SetDexHandAnglesCommand_Feedback* response) override;
  grpc::Status SetDexHandForce(grpc::ServerContext* context, const tovak::api::SetDexHandForceCommand_Request* request,
                               tovak::api::SetDexHandForceCommand_Feedback* response) override;
  grpc::Status SetDexHandSpeed(grpc::ServerContext* context, const tovak::api::SetDexHandSpeedCommand_Request* request,
                               tovak::api::SetDexHandSpeedCommand_Feedback* response) override;
  grpc::Status SetDexHandPresetAct(grpc::ServerContext* context,
                                   const tovak::api::SetDexHandPresetActCommand_Request* request,
                                   tovak::api::SetDexHandPresetActCommand_Feedback* response) override;
  grpc::Status GetSensorData(grpc::ServerContext* context, const tovak::api::GetSensorDataCommand_Request* request,
                             tovak::api::GetSensorDataCommand_Feedback* response) override;
  // Reads one request, then writes the 17 parts about every 33 ms until a
  // write fails, the call is cancelled, or the hand throws. Nothing is
  // written when the lookup fails; the status is always OK.
  grpc::Status GetSensorDataStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<tovak::api::GetSensorDataStreamCommand_Feedback,
                               tovak::api::GetSensorDataStreamCommand_Request>* stream) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
