#include "service/grpc/include/grpc_system_service.h"

#include <list>
#include <utility>

#include <glog/logging.h>

#include "service/grpc/include/grpc_handler.h"

namespace tovak::service {

using namespace tovak::api;

namespace {
constexpr const char* kClass = "gRPCSystemServiceImpl";
// The registry's figures are in MiB; the wire carries GiB.
constexpr float kMibPerGib = 1024.0f;
}  // namespace

std::string renderParamValue(const ConfigParam& param) {
  switch (param.param_value_case()) {
    case ConfigParam::kIntValue:
      return std::to_string(param.int_value());
    case ConfigParam::kDoubleValue:
      return std::to_string(param.double_value());
    case ConfigParam::kStringValue:
      return param.string_value();
    case ConfigParam::kBoolValue:
      return param.bool_value() ? "true" : "false";
    case ConfigParam::kBytesValue: {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      std::string hex;
      hex.reserve(param.bytes_value().size() * 2);
      for (unsigned char b : param.bytes_value()) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
      }
      return hex;
    }
    case ConfigParam::PARAM_VALUE_NOT_SET:
      break;
  }
  return "[UNSET]";
}

DeviceType deviceTypeOf(const std::string& kind_name) {
  static const std::pair<const char*, DeviceType> kTypes[] = {
      {"AGV", AGV},           {"Battery", Battery}, {"Camera", Camera},   {"DexHand", DexHand}, {"Gripper", Gripper},
      {"Microphone", Microphone}, {"Robot", Robot}, {"Speaker", Speaker}, {"Unknown", Unknown},
  };
  for (const auto& [name, type] : kTypes) {
    if (kind_name == name) return type;
  }
  return Unknown;
}

gRPCSystemServiceImpl::gRPCSystemServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCSystemServiceImpl::GetSystemInfo(grpc::ServerContext*, const GetSystemInfoCommand_Request*,
                                                  GetSystemInfoCommand_Feedback* response) {
  return reportInHeader(response, [&] {
    tovak::device::SystemInfo info;
    dmgr_.getSystemInfo(info);
    response->set_version(info.version);
    response->set_system_name(info.name);
    response->set_os(info.os);
    response->set_kernel_version(info.kernel_version);
    response->set_architecture(info.architecture);
  });
}

grpc::Status gRPCSystemServiceImpl::GetSystemStatus(grpc::ServerContext*, const GetSystemStatusCommand_Request*,
                                                    GetSystemStatusCommand_Feedback* response) {
  return reportInHeader(response, [&] {
    tovak::device::SystemStatus status;
    dmgr_.getSystemStatus(status);
    response->set_cpu_usage(status.cpu_usage);
    response->set_mem_total_mb(status.total_memory);
    response->set_mem_used_mb(status.used_memory);
    response->set_disk_total_gb(status.total_disk / kMibPerGib);
    response->set_disk_used_gb(status.used_disk / kMibPerGib);
    std::list<std::pair<std::string, std::string>> devices;
    dmgr_.getDeviceList(devices);
    for (const auto& [id, kind] : devices) {
      DeviceList* entry = response->add_device_list();
      entry->set_device_id(id);
      entry->set_device_type(deviceTypeOf(kind));
    }
  });
}

grpc::Status gRPCSystemServiceImpl::UpdateParams(grpc::ServerContext*, const UpdateParamsCommand_Request* request,
                                                 UpdateParamsCommand_Feedback* response) {
  return reportInHeader(response, [&] {
    const std::string id = request->header().device_id();
    logCall(kClass, "UpdateParams", id);
    const auto params = request->params();
    for (const ConfigParam& param : params) {
      const std::string& name = param.param_name();
      if (param.param_value_case() == ConfigParam::PARAM_VALUE_NOT_SET) {
        LOG(WARNING) << "[UpdateParams] Param '" << name << "' has no value";
      }
      dmgr_.updateParam(id, {name, renderParamValue(param)});
    }
  });
}

grpc::Status gRPCSystemServiceImpl::StopAll(grpc::ServerContext*, const StopAllCommand_Request*,
                                            StopAllCommand_Feedback* response) {
  return reportInHeader(response, [&] { dmgr_.stop(); });
}

}  // namespace tovak::service
