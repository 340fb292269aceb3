#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/camera_service.grpc.pb.h"

namespace tovak::service {

class gRPCCameraServiceImpl final : public tovak::api::CameraService::Service {
 public:
  gRPCCameraServiceImpl();
  gRPCCameraServiceImpl(const gRPCCameraServiceImpl&) = delete;
  gRPCCameraServiceImpl& operator=(const gRPCCameraServiceImpl&) = delete;

  grpc::Status GetStatus(grpc::ServerContext* context, const tovak::api::GetCameraStateCommand_Request* request,
                         tovak::api::GetCameraStateCommand_Feedback* response) override;
  grpc::Status StartCamera(grpc::ServerContext* context, const tovak::api::StartCameraCommand_Request* request,
                           tovak::api::StartCameraCommand_Feedback* response) override;
  grpc::Status StopCamera(grpc::ServerContext* context, const tovak::api::StopCameraCommand_Request* request,
                          tovak::api::StopCameraCommand_Feedback* response) override;
  grpc::Status GetRGBImage(grpc::ServerContext* context, const tovak::api::GetRGBImageCommand_Request* request,
                           tovak::api::GetRGBImageCommand_Feedback* response) override;
  grpc::Status GetDepthImage(grpc::ServerContext* context, const tovak::api::GetDepthImageCommand_Request* request,
                             tovak::api::GetDepthImageCommand_Feedback* response) override;
  grpc::Status GetRGBDImages(grpc::ServerContext* context, const tovak::api::GetRGBDImagesCommand_Request* request,
                             tovak::api::GetRGBDImagesCommand_Feedback* response) override;
  grpc::Status StartRecording(grpc::ServerContext* context,
                              const tovak::api::StartCameraRecordingCommand_Request* request,
                              tovak::api::StartCameraRecordingCommand_Feedback* response) override;
  grpc::Status StopRecording(grpc::ServerContext* context,
                             const tovak::api::StopCameraRecordingCommand_Request* request,
                             tovak::api::StopCameraRecordingCommand_Feedback* response) override;

  grpc::Status GetRGBImageStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<tovak::api::GetRGBImageStreamCommand_Feedback,
                               tovak::api::GetRGBImageStreamCommand_Request>* stream) override;
  grpc::Status GetDepthImageStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<tovak::api::GetDepthImageStreamCommand_Feedback,
                               tovak::api::GetDepthImageStreamCommand_Request>* stream) override;
  grpc::Status GetRGBDImagesStream(
      grpc::ServerContext* context,
      grpc::ServerReaderWriter<tovak::api::GetRGBDImagesStreamCommand_Feedback,
                               tovak::api::GetRGBDImagesStreamCommand_Request>* stream) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
