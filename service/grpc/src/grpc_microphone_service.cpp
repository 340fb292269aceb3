#include "service/grpc/include/grpc_microphone_service.h"

#include "service/grpc/include/grpc_handler.h"

namespace tovak::service {

using namespace tovak::api;
using tovak::device::AbstractMicrophone;

namespace {
constexpr const char* kClass = "gRPCMicroPhoneServiceImpl";
}  // namespace

gRPCMicroPhoneServiceImpl::gRPCMicroPhoneServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

// is_error has no field on the wire.
grpc::Status gRPCMicroPhoneServiceImpl::GetStatus(grpc::ServerContext*, const GetMicStateCommand_Request* request,
                                                  GetMicStateCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "GetStatus", request->header().device_id(), response,
                                              [&](AbstractMicrophone& mic) {
                                                tovak::device::MicrophoneState state;
                                                mic.getState(state);
                                                MicState* out = response->mutable_state();
                                                out->set_is_initialized(state.is_initialized);
                                                out->set_is_running(state.is_running);
                                                out->set_is_recording(state.is_recording);
                                                out->set_volume(state.volume);
                                                out->set_error_message(state.error_message);
                                              });
}

// Always starts the microphone first, also when it is already started; a
// failing start() skips the recording, a failing startRecording leaves the
// microphone started.
grpc::Status gRPCMicroPhoneServiceImpl::StartRecord(grpc::ServerContext*,
                                                    const StartMicRecordingCommand_Request* request,
                                                    StartMicRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "StartRecord", request->header().device_id(), response,
                                              [&](AbstractMicrophone& mic) {
                                                mic.start();
                                                mic.startRecording(request->file_path());
                                              });
}

grpc::Status gRPCMicroPhoneServiceImpl::StopRecord(grpc::ServerContext*, const StopMicRecordingCommand_Request* request,
                                                   StopMicRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "StopRecord", request->header().device_id(), response,
                                              [](AbstractMicrophone& mic) { mic.stopRecording(); });
}

grpc::Status gRPCMicroPhoneServiceImpl::PauseRecord(grpc::ServerContext*,
                                                    const PauseMicRecordingCommand_Request* request,
                                                    PauseMicRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "PauseRecord", request->header().device_id(), response,
                                              [](AbstractMicrophone& mic) { mic.pause(); });
}

grpc::Status gRPCMicroPhoneServiceImpl::ResumeRecord(grpc::ServerContext*,
                                                     const ResumeMicRecordingCommand_Request* request,
                                                     ResumeMicRecordingCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "ResumeRecord", request->header().device_id(), response,
                                              [](AbstractMicrophone& mic) { mic.resume(); });
}

grpc::Status gRPCMicroPhoneServiceImpl::SetVolume(grpc::ServerContext*, const SetMicPhoneVolumeCommand_Request* request,
                                                  SetMicPhoneVolumeCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "SetVolume", request->header().device_id(), response,
                                              [&](AbstractMicrophone& mic) { mic.setVolume(request->volume()); });
}

grpc::Status gRPCMicroPhoneServiceImpl::GetVolume(grpc::ServerContext*, const GetMicPhoneVolumeCommand_Request* request,
                                                  GetMicPhoneVolumeCommand_Feedback* response) {
  return handleDeviceCall<AbstractMicrophone>(dmgr_, kClass, "GetVolume", request->header().device_id(), response,
                                              [&](AbstractMicrophone& mic) { response->set_volume(mic.getVolume()); });
}

}  // namespace tovak::service
