#include "service/grpc/include/grpc_hlc_service.h"

namespace tovak::service {

gRPCHlcServiceImpl::gRPCHlcServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCHlcServiceImpl::touch(grpc::ServerContext*, const tovak::api::Touch_Request*,
                                       tovak::api::Touch_Response*) {
  return grpc::Status::OK;
}

}  // namespace tovak::service
