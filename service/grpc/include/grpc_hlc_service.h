#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/hlc_service.grpc.pb.h"

namespace tovak::service {

// Liveness probe: `touch` answers an empty success at once.
class gRPCHlcServiceImpl final : public tovak::api::HlcService::Service {
 public:
  gRPCHlcServiceImpl();
  gRPCHlcServiceImpl(const gRPCHlcServiceImpl&) = delete;
  gRPCHlcServiceImpl& operator=(const gRPCHlcServiceImpl&) = delete;

  grpc::Status touch(grpc::ServerContext* context, const tovak::api::Touch_Request* request,
                     tovak::api::Touch_Response* response) override;

 private:
  [[maybe_unused]] tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
