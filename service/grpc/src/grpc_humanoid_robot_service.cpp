#include "service/grpc/include/grpc_humanoid_robot_service.h"

#include <string>
#include <vector>

#include "service/grpc/include/grpc_handler.h"

namespace tovak::service {

using tovak::api::CommandHeader_Feedback;
using tovak::device::AbstractRobot;

gRPCHumanoidRobotServiceImpl::gRPCHumanoidRobotServiceImpl() : dmgr_(tovak::device::DeviceManager::getInstance()) {}

grpc::Status gRPCHumanoidRobotServiceImpl::torqueOff(grpc::ServerContext*,
                                                     const tovak::api::CommandHeader_Request* request,
                                                     CommandHeader_Feedback* response) {
  return handleRobotCall<AbstractRobot>(dmgr_, request->device_id(), response,
                                        [&](AbstractRobot& robot, CommandHeader_Feedback&) { robot.torqueOff(); });
}

grpc::Status gRPCHumanoidRobotServiceImpl::torqueOn(grpc::ServerContext*,
                                                    const tovak::api::CommandHeader_Request* request,
                                                    CommandHeader_Feedback* response) {
  return handleRobotCall<AbstractRobot>(dmgr_, request->device_id(), response,
                                        [&](AbstractRobot& robot, CommandHeader_Feedback&) { robot.torqueOn(); });
}

grpc::Status gRPCHumanoidRobotServiceImpl::moveJ(grpc::ServerContext*, const tovak::api::MoveJ_Request* request,
                                                 tovak::api::MoveJ_Response* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback&) {
        std::vector<tovak::device::JointPoint> points;
        points.reserve(static_cast<size_t>(request->cmds_size()));
        for (const auto& cmd : request->cmds()) points.emplace_back(cmd.joint_name(), cmd.rad(), cmd.vel());
        robot.moveJ(points, request->vel(), request->acc());
      });
}

grpc::Status gRPCHumanoidRobotServiceImpl::moveL(grpc::ServerContext*, const tovak::api::MoveL_Request* request,
                                                 tovak::api::MoveL_Response* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback&) {
        tovak::msgs::Pose3d pose;
        const auto& t = request->targetpose();
        pose.mutable_position()->set_x(t.x());
        pose.mutable_position()->set_y(t.y());
        pose.mutable_position()->set_z(t.z());
        pose.mutable_euler()->set_rx(t.rx());
        pose.mutable_euler()->set_ry(t.ry());
        pose.mutable_euler()->set_rz(t.rz());
        // Linear moves are always expressed in the pelvis frame.
        robot.moveL("PELVIS_S", request->ee_link(), pose, request->vel(), request->acc());
      });
}

grpc::Status gRPCHumanoidRobotServiceImpl::speedJ(grpc::ServerContext*, const tovak::api::SpeedJ_Request* request,
                                                  tovak::api::SpeedJ_Response* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback&) {
        std::string joint = request->joint_name();
        robot.speedJ(joint, static_cast<tovak::device::RobotJointIndexDirection>(request->dir()), request->vel(),
                     request->acc());
      });
}

grpc::Status gRPCHumanoidRobotServiceImpl::speedL(grpc::ServerContext*, const tovak::api::SpeedL_Request* request,
                                                  tovak::api::SpeedL_Response* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback&) {
        robot.setToolFrame(request->ee_link());
        robot.speedL(static_cast<tovak::device::RobotCartesian>(request->cart()),
                     static_cast<tovak::device::RobotJointIndexDirection>(request->dir()), request->vel(),
                     request->acc());
      });
}

grpc::Status gRPCHumanoidRobotServiceImpl::getJointState(grpc::ServerContext*,
                                                         const tovak::api::JointRequest* request,
                                                         tovak::api::JointResponse* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback& header) {
        std::vector<tovak::device::JointState> states;
        robot.getJointsState(states);
        header.set_success(true);
        header.set_error_message("");
        for (const auto& s : states) {
          // The waist is not reported to clients; the comparison is exact.
          if (s.name == "WAIST_P" || s.name == "WAIST_Y") continue;
          auto* out = response->add_state();
          out->add_name(s.name);
          out->add_position(s.position);
          out->add_velocity(s.velocity);
        }
      });
}

grpc::Status gRPCHumanoidRobotServiceImpl::getPose(grpc::ServerContext*, const tovak::api::GetPose_Request* request,
                                                   tovak::api::GetPose_Response* response) {
  return handleRobotCall<AbstractRobot>(
      dmgr_, request->header().device_id(), response, [&](AbstractRobot& robot, CommandHeader_Feedback& header) {
        const tovak::msgs::Pose3d pose = robot.fk(request->base_link(), request->ee_link());
        header.set_success(true);
        header.set_error_message("");
        auto* out = response->mutable_pose();
        out->set_x(pose.position().x());
        out->set_y(pose.position().y());
        out->set_z(pose.position().z());
        out->set_rx(pose.euler().rx());
        out->set_ry(pose.euler().ry());
        out->set_rz(pose.euler().rz());
      });
}

}  // namespace tovak::service
