#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/speaker_service.grpc.pb.h"

namespace tovak::service {

class gRPCSpeakerServiceImpl final : public tovak::api::SpeakerService::Service {
 public:
  gRPCSpeakerServiceImpl();
  gRPCSpeakerServiceImpl(const gRPCSpeakerServiceImpl&) = delete;
  gRPCSpeakerServiceImpl& operator=(const gRPCSpeakerServiceImpl&) = delete;

  grpc::Status GetStatus(grpc::ServerContext* context, const tovak::api::GetSpeakerStateCommand_Request* request,
               tovak::api::GetSpeakerStateCommand_Feedback* response) override;
  grpc::Status PlayAudio(grpc::ServerContext* context, const tovak::api::PlayAudioCommand_Request* request,
               tovak::api::PlayAudioCommand_Feedback* response) override;
  grpc::Status StopPlayback(grpc::ServerContext* context, const tovak::api::StopSpeakerCommand_Request* request,
               tovak::api::StopSpeakerCommand_Feedback* response) override;
  grpc::Status PausePlayback(grpc::ServerContext* context, const tovak::api::PauseSpeakerCommand_Request* request,
               tovak::api::PauseSpeakerCommand_Feedback* response) override;
  grpc::Status ResumePlayback(grpc::ServerContext* context, const tovak::api::ResumeSpeakerCommand_Request* request,
               tovak::api::ResumeSpeakerCommand_Feedback* response) override;
  grpc::Status SetVolume(grpc::ServerContext* context, const tovak::api::SetSpeakerVolumeCommand_Request* request,
               tovak::api::SetSpeakerVolumeCommand_Feedback* response) override;
  grpc::Status GetVolume(grpc::ServerContext* context, const tovak::api::GetSpeakerVolumeCommand_Request* request,
               tovak::api::GetSpeakerVolumeCommand_Feedback* response) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
