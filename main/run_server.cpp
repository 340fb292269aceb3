#include "main/run_server.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include <glog/logging.h>
#include <grpcpp/ext/proto_server_reflection_plugin.h>
#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "monitor_manager/include/monitor_manager.h"
#include "service/grpc/include/grpc_camera_service.h"
#include "service/grpc/include/grpc_dexhand_service.h"
#include "service/grpc/include/grpc_head_service.h"
#include "service/grpc/include/grpc_hlc_service.h"
#include "service/grpc/include/grpc_humanoid_robot_service.h"
#include "service/grpc/include/grpc_microphone_service.h"
#include "service/grpc/include/grpc_speaker_service.h"
#include "service/grpc/include/grpc_system_service.h"

namespace {

// A TCP port as the configuration gives it: decimal digits only, 1 to 65535.
bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::strtol(port.c_str(), nullptr, 10);
  return value >= 1 && value <= 65535;
}

}  // namespace

int runServer(const XmlNode& cfg) {
  if (!cfg.hasChild("DeviceManager")) {
    LOG(ERROR) << "Device Manager node not found";
    return 1;
  }
  // Checked before anything is created: a missing element must not be read
  // as a node that refers to nothing.
  for (const char* required : {"MonitorManager", "gRPCServer"}) {
    if (!cfg.hasChild(required)) {
      LOG(ERROR) << "Configuration has no " << required << " element";
      return 1;
    }
  }

  try {
    grpc::reflection::InitProtoReflectionServerBuilderPlugin();

    tovak::device::DeviceManager::getInstance(cfg.getChild("DeviceManager"));
    tovak::monitor::MonitorManager::getInstance(cfg.getChild("MonitorManager"));

    const std::string port = cfg.getChild("gRPCServer").getAttrDefault("port", "50051");
    const std::string address = "0.0.0.0:" + port;
    if (!validPort(port)) {
      LOG(ERROR) << "Invalid gRPCServer port '" << port << "': expected a number from 1 to 65535";
      return 1;
    }

    tovak::service::gRPCCameraServiceImpl camera_service;
    tovak::service::gRPCSystemServiceImpl system_service;
    tovak::service::gRPCSpeakerServiceImpl speaker_service;
    tovak::service::gRPCMicroPhoneServiceImpl microphone_service;
    tovak::service::gRPCDexHandServiceImpl dexhand_service;
    tovak::service::gRPCMBioHeadServiceImpl head_service;
    tovak::service::gRPCHumanoidRobotServiceImpl robot_service;
    tovak::service::gRPCHlcServiceImpl hlc_service;

    grpc::ServerBuilder builder;
    builder.AddListeningPort(address, grpc::InsecureServerCredentials());
    builder.RegisterService(&camera_service);
    builder.RegisterService(&system_service);
    builder.RegisterService(&speaker_service);
    builder.RegisterService(&microphone_service);
    builder.RegisterService(&dexhand_service);
    builder.RegisterService(&head_service);
    builder.RegisterService(&robot_service);
    builder.RegisterService(&hlc_service);

    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server) {
      LOG(ERROR) << "Failed to listen on " << address << " (port in use or not bindable)";
      return 1;
    }
    std::cout << "Server listening on " << address << std::endl;
    server->Wait();
  } catch (const std::exception& e) {
    LOG(FATAL) << e.what();
  }
  return 0;
}
