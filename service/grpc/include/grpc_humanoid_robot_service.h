#pragma once

#include <grpcpp/grpcpp.h>

#include "device_manager/include/device_manager.h"
#include "tovak/api/humanoid_robot_service.grpc.pb.h"

namespace tovak::service {

// HumanoidRobotService: every call looks the robot up by header.device_id,
// calls one robot operation and reports a failure both in the feedback header
// and as status INTERNAL with the same text. No unit is converted anywhere.
class gRPCHumanoidRobotServiceImpl final : public tovak::api::HumanoidRobotService::Service {
 public:
  gRPCHumanoidRobotServiceImpl();
  gRPCHumanoidRobotServiceImpl(const gRPCHumanoidRobotServiceImpl&) = delete;
  gRPCHumanoidRobotServiceImpl& operator=(const gRPCHumanoidRobotServiceImpl&) = delete;

  grpc::Status torqueOff(grpc::ServerContext* context, const tovak::api::CommandHeader_Request* request,
                         tovak::api::CommandHeader_Feedback* response) override;
  grpc::Status torqueOn(grpc::ServerContext* context, const tovak::api::CommandHeader_Request* request,
                        tovak::api::CommandHeader_Feedback* response) override;
  grpc::Status moveJ(grpc::ServerContext* context, const tovak::api::MoveJ_Request* request,
                     tovak::api::MoveJ_Response* response) override;
  grpc::Status moveL(grpc::ServerContext* context, const tovak::api::MoveL_Request* request,
                     tovak::api::MoveL_Response* response) override;
  grpc::Status speedJ(grpc::ServerContext* context, const tovak::api::SpeedJ_Request* request,
                      tovak::api::SpeedJ_Response* response) override;
  grpc::Status speedL(grpc::ServerContext* context, const tovak::api::SpeedL_Request* request,
                      tovak::api::SpeedL_Response* response) override;
  grpc::Status getJointState(grpc::ServerContext* context, const tovak::api::JointRequest* request,
                             tovak::api::JointResponse* response) override;
  grpc::Status getPose(grpc::ServerContext* context, const tovak::api::GetPose_Request* request,
                       tovak::api::GetPose_Response* response) override;

 private:
  tovak::device::DeviceManager& dmgr_;
};

}  // namespace tovak::service
