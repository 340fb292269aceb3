#include "service/grpc/include/grpc_speaker_service.h"

#include "service/grpc/include/grpc_handler.h"

namespace tovak::service {

using namespace tovak::api;
using tovak::device::AbstractSpeaker;

namespace {
constexpr const char* kClass = "gRPCSpeakerServiceImpl";
}  // namespace

gRPCSpeakerServiceImpl::gRPCSpeakerServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

// The only speaker call without a log line: clients poll it.
grpc::Status gRPCSpeakerServiceImpl::GetStatus(grpc::ServerContext*, const GetSpeakerStateCommand_Request* request,
                                               GetSpeakerStateCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(
      dmgr_, kClass, "GetStatus", request->header().device_id(), response,
      [&](AbstractSpeaker& speaker) {
        tovak::device::SpeakerState state;
        speaker.getState(state);
        SpeakerState* out = response->mutable_state();
        out->set_is_initialized(state.is_initialized);
        out->set_is_running(state.is_running);
        out->set_is_decoding(state.is_decoding);
        out->set_is_paused(state.is_paused);
        out->set_volume(state.volume);
      },
      CallOptions{.log = false});
}

grpc::Status gRPCSpeakerServiceImpl::PlayAudio(grpc::ServerContext*, const PlayAudioCommand_Request* request,
                                               PlayAudioCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "PlayAudio", request->header().device_id(), response,
                                           [&](AbstractSpeaker& speaker) { speaker.play(request->audio_path()); });
}

// Stopping playback is the speaker's lifecycle stop.
grpc::Status gRPCSpeakerServiceImpl::StopPlayback(grpc::ServerContext*, const StopSpeakerCommand_Request* request,
                                                  StopSpeakerCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "StopPlayback", request->header().device_id(), response,
                                           [](AbstractSpeaker& speaker) { speaker.stop(); });
}

grpc::Status gRPCSpeakerServiceImpl::PausePlayback(grpc::ServerContext*, const PauseSpeakerCommand_Request* request,
                                                   PauseSpeakerCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "PausePlayback", request->header().device_id(), response,
                                           [](AbstractSpeaker& speaker) { speaker.pause(); });
}

grpc::Status gRPCSpeakerServiceImpl::ResumePlayback(grpc::ServerContext*, const ResumeSpeakerCommand_Request* request,
                                                    ResumeSpeakerCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "ResumePlayback", request->header().device_id(), response,
                                           [](AbstractSpeaker& speaker) { speaker.resume(); });
}

grpc::Status gRPCSpeakerServiceImpl::SetVolume(grpc::ServerContext*, const SetSpeakerVolumeCommand_Request* request,
                                               SetSpeakerVolumeCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "SetVolume", request->header().device_id(), response,
                                           [&](AbstractSpeaker& speaker) { speaker.setVolume(request->volume()); });
}

grpc::Status gRPCSpeakerServiceImpl::GetVolume(grpc::ServerContext*, const GetSpeakerVolumeCommand_Request* request,
                                               GetSpeakerVolumeCommand_Feedback* response) {
  return handleDeviceCall<AbstractSpeaker>(dmgr_, kClass, "GetVolume", request->header().device_id(), response,
                                           [&](AbstractSpeaker& speaker) { response->set_volume(speaker.getVolume()); });
}

}  // namespace tovak::service
