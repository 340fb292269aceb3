#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/microphone_service.grpc.pb.h"

namespace tovak::service {

class gRPCMicroPhoneServiceImpl final : public tovak::api::MicPhoneService::Service {
 public:
  gRPCMicroPhoneServiceImpl();
  gRPCMicroPhoneServiceImpl(const gRPCMicroPhoneServiceImpl&) = delete;
  gRPCMicroPhoneServiceImpl& operator=(const gRPCMicroPhoneServiceImpl&) = delete;

  grpc::Status GetStatus(grpc::ServerContext* context, const tovak::api::GetMicStateCommand_Request* request,
               tovak::api::GetMicStateCommand_Feedback* response) override;
  grpc::Status StartRecord(grpc::ServerContext* context, const tovak::api::StartMicRecordingCommand_Request* request,
               tovak::api::StartMicRecordingCommand_Feedback* response) override;
  grpc::Status StopRecord(grpc::ServerContext* context, const tovak::api::StopMicRecordingCommand_Request* request,
               tovak::api::StopMicRecordingCommand_Feedback* response) override;
  grpc::Status PauseRecord(grpc::ServerContext* context, const tovak::api::PauseMicRecordingCommand_Request* request,
               tovak::api::PauseMicRecordingCommand_Feedback* response) override;
  grpc::Status ResumeRecord(grpc::ServerContext* context, const tovak::api::ResumeMicRecordingCommand_Request* request,
               tovak::api::ResumeMicRecordingCommand_Feedback* response) override;
  grpc::Status SetVolume(grpc::ServerContext* context, const tovak::api::SetMicPhoneVolumeCommand_Request* request,
               tovak::api::SetMicPhoneVolumeCommand_Feedback* response) override;
  grpc::Status GetVolume(grpc::ServerContext* context, const tovak::api::GetMicPhoneVolumeCommand_Request* request,
               tovak::api::GetMicPhoneVolumeCommand_Feedback* response) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
