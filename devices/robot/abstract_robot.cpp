#include "devices/robot/abstract_robot.h"

#include <stdexcept>

namespace tovak::device {

void AbstractRobot::unsupported_(const char* operation) const {
  throw std::runtime_error(std::string(operation) + " is not supported by robot " + id_);
}

int AbstractRobot::getDOF() { unsupported_("getDOF"); }
std::vector<std::string> AbstractRobot::getJointNames() { unsupported_("getJointNames"); }
std::unordered_map<std::string, double> AbstractRobot::getJointQ() { unsupported_("getJointQ"); }
void AbstractRobot::getJointQ(std::unordered_map<std::string, double>&) { unsupported_("getJointQ"); }
std::vector<std::string> AbstractRobot::getLinkNames() { unsupported_("getLinkNames"); }
void AbstractRobot::getJointsState(std::vector<JointState>&) { unsupported_("getJointsState"); }
void AbstractRobot::getState(RobotState&) { unsupported_("getState"); }
tovak::math::Pose3d AbstractRobot::getTransform(std::string&, std::string&) { unsupported_("getTransform"); }
void AbstractRobot::torqueOn() { unsupported_("torqueOn"); }
void AbstractRobot::torqueOn(const std::string&) { unsupported_("torqueOn"); }
void AbstractRobot::torqueOff() { unsupported_("torqueOff"); }
void AbstractRobot::torqueOff(const std::string&) { unsupported_("torqueOff"); }
void AbstractRobot::eStop() { unsupported_("eStop"); }
void AbstractRobot::moveJ(std::vector<double>&, double, double) { unsupported_("moveJ"); }
void AbstractRobot::moveJ(std::vector<JointPoint>&, double, double) { unsupported_("moveJ"); }
void AbstractRobot::moveJ(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("moveJ"); }
void AbstractRobot::moveDeltaJ(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("moveDeltaJ"); }
void AbstractRobot::moveJ_IK(tovak::math::Pose3d&, double, double) { unsupported_("moveJ_IK"); }
void AbstractRobot::moveJ_IK(const std::string&, const std::vector<tovak::ctrl::PoseTarget>&, double, double) { unsupported_("moveJ_IK"); }
void AbstractRobot::moveL(tovak::math::Pose3d&, double, double) { unsupported_("moveL"); }
void AbstractRobot::moveL(std::string&, std::vector<tovak::ctrl::PoseTarget>&, double, double) { unsupported_("moveL"); }
void AbstractRobot::moveL(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("moveL"); }
void AbstractRobot::moveDeltaL(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("moveDeltaL"); }
void AbstractRobot::speedJ(std::string&, RobotJointIndexDirection, double, double) { unsupported_("speedJ"); }
void AbstractRobot::speedL(RobotCartesian, RobotJointIndexDirection, double, double) { unsupported_("speedL"); }
void AbstractRobot::followJointTrajectory(std::vector<std::vector<double>>&, double) { unsupported_("followJointTrajectory"); }
void AbstractRobot::followJointTrajectory(std::vector<std::vector<JointPoint>>&, double) { unsupported_("followJointTrajectory"); }
void AbstractRobot::followPoseTrajectory(std::vector<tovak::math::Pose3d>&, double) { unsupported_("followPoseTrajectory"); }
void AbstractRobot::followPoseTrajectory(std::string&, std::vector<std::vector<tovak::ctrl::PoseTarget>>&, double) { unsupported_("followPoseTrajectory"); }
void AbstractRobot::servoJ(std::vector<double>&, double) { unsupported_("servoJ"); }
void AbstractRobot::servoJ(std::vector<JointPoint>&, double) { unsupported_("servoJ"); }
void AbstractRobot::servoJ(std::vector<JointPoint>&, double, double) { unsupported_("servoJ"); }
void AbstractRobot::servoJ(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("servoJ"); }
void AbstractRobot::servoDeltaJ(const std::string&, const std::string&, tovak::msgs::Pose3d, double, double) { unsupported_("servoDeltaJ"); }
void AbstractRobot::servoL(tovak::math::Pose3d&, double) { unsupported_("servoL"); }
void AbstractRobot::servoL(std::string&, std::vector<tovak::ctrl::PoseTarget>&, double) { unsupported_("servoL"); }
void AbstractRobot::calibrateZeroQ(const std::string&) { unsupported_("calibrateZeroQ"); }
tovak::msgs::Pose3d AbstractRobot::fk(const std::string&, const std::string&) { unsupported_("fk"); }
std::vector<double> AbstractRobot::ik(const std::string&, const std::string&, tovak::msgs::Pose3d) { unsupported_("ik"); }

}  // namespace tovak::device
