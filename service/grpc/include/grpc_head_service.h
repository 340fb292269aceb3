#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/biohead_service.grpc.pb.h"

namespace tovak::service {

class gRPCMBioHeadServiceImpl final : public tovak::api::BioHeadService::Service {
 public:
  gRPCMBioHeadServiceImpl();
  gRPCMBioHeadServiceImpl(const gRPCMBioHeadServiceImpl&) = delete;
  gRPCMBioHeadServiceImpl& operator=(const gRPCMBioHeadServiceImpl&) = delete;

  grpc::Status SetExpression(grpc::ServerContext* context, const tovak::api::SetFacialExpression_Request* request,
                             tovak::api::SetFacialExpression_Feedback* response) override;
  grpc::Status StreamExpression(grpc::ServerContext* context,
                                grpc::ServerReaderWriter<tovak::api::StreamFacialExpression_Feedback,
                                                         tovak::api::StreamFacialExpression_Request>* stream) override;
  grpc::Status GetSystemStatus(grpc::ServerContext* context, const tovak::api::GetStatus_Request* request,
                               tovak::api::GetStatus_Feedback* response) override;
  grpc::Status EmergencyStop(grpc::ServerContext* context, const tovak::api::EmergencyStop_Request* request,
                             tovak::api::EmergencyStop_Feedback* response) override;
  grpc::Status SpeakStart(grpc::ServerContext* context, const tovak::api::SpeakStart_Request* request,
                          tovak::api::SpeakStart_Feedback* response) override;
  grpc::Status SpeakStop(grpc::ServerContext* context, const tovak::api::SpeakStop_Request* request,
                         tovak::api::SpeakStop_Feedback* response) override;
  grpc::Status Happy(grpc::ServerContext* context, const tovak::api::Happy_Request* request,
                     tovak::api::Happy_Feedback* response) override;
  grpc::Status Surprise(grpc::ServerContext* context, const tovak::api::Surprise_Request* request,
                        tovak::api::Surprise_Feedback* response) override;
  grpc::Status ExpressionTired(grpc::ServerContext* context, const tovak::api::ExpressionTired_Request* request,
                               tovak::api::ExpressionTired_Feedback* response) override;
  grpc::Status ExpressionAngry(grpc::ServerContext* context, const tovak::api::ExpressionAngry_Request* request,
                               tovak::api::ExpressionAngry_Feedback* response) override;
  grpc::Status ExpressionSadness(grpc::ServerContext* context, const tovak::api::ExpressionSadness_Request* request,
                                 tovak::api::ExpressionSadness_Feedback* response) override;
  grpc::Status ExpressionYawn(grpc::ServerContext* context, const tovak::api::ExpressionYawn_Request* request,
                              tovak::api::ExpressionYawn_Feedback* response) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
