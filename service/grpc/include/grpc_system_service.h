#pragma once

#include <string>

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace tovak::service {

// Text a device receives for one UpdateParams parameter: int in decimal,
// double as printf "%f", string unchanged, bool "true"/"false", bytes as
// upper-case hex pairs, and "[UNSET]" for a parameter without value.
std::string renderParamValue(const tovak::api::ConfigParam& param);

// The wire type of a registry kind name; kinds without a type of their own
// (the bionic head's "BioHead") are Unknown.
tovak::api::DeviceType deviceTypeOf(const std::string& kind_name);

class gRPCSystemServiceImpl final : public tovak::api::SystemService::Service {
 public:
  gRPCSystemServiceImpl();
  gRPCSystemServiceImpl(const gRPCSystemServiceImpl&) = delete;
  gRPCSystemServiceImpl& operator=(const gRPCSystemServiceImpl&) = delete;

  grpc::Status GetSystemInfo(grpc::ServerContext* context, const tovak::api::GetSystemInfoCommand_Request* request,
                             tovak::api::GetSystemInfoCommand_Feedback* response) override;
  grpc::Status GetSystemStatus(grpc::ServerContext* context, const tovak::api::GetSystemStatusCommand_Request* request,
                               tovak::api::GetSystemStatusCommand_Feedback* response) override;
  grpc::Status UpdateParams(grpc::ServerContext* context, const tovak::api::UpdateParamsCommand_Request* request,
                            tovak::api::UpdateParamsCommand_Feedback* response) override;
  grpc::Status StopAll(grpc::ServerContext* context, const tovak::api::StopAllCommand_Request* request,
                       tovak::api::StopAllCommand_Feedback* response) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
