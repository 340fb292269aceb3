#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/abstract_device.h"
#include "devices/state_define.h"
#include "tovak/msgs/geometry.pb.h"
#include "utils/math/include/geometry.h"

namespace tovak::ctrl {
// Target record of the robot's Cartesian controller: one link's pose.
struct PoseTarget {
  std::string link;
  tovak::math::Pose3d pose;
};
}  // namespace tovak::ctrl

namespace tovak::device {

// One joint set-point: radians, and a velocity for this joint.
struct JointPoint {
  std::string joint_name;
  double rad = 0.0;
  double vel = 0.0;

  JointPoint() = default;
  JointPoint(const std::string& name, double rad, double vel) : joint_name(name), rad(rad), vel(vel) {}
  // vel 0 means "use the move's overall velocity".
  JointPoint(const std::string& name, double rad) : joint_name(name), rad(rad), vel(0.0) {}
};

// A jointed robot body. Every operation a driver does not override throws
// "<operation> is not supported by robot <id>".
class AbstractRobot : public AbstractDevice {
 public:
  explicit AbstractRobot(const XmlNode& cfg) : AbstractDevice(cfg) {}
  virtual ~AbstractRobot() = default;

  // Concurrent jog calls may set the frame while the driver reads it, hence the lock.
  void setToolFrame(const std::string& name) {
    std::lock_guard<std::mutex> lk(tool_frame_mtx_);
    toolFrame_ = name;
  }
  std::string toolFrame() const {
    std::lock_guard<std::mutex> lk(tool_frame_mtx_);
    return toolFrame_;
  }

  virtual int getDOF();
  virtual std::vector<std::string> getJointNames();
  virtual std::unordered_map<std::string, double> getJointQ();
  virtual void getJointQ(std::unordered_map<std::string, double>& q);
  virtual std::vector<std::string> getLinkNames();
  virtual void getJointsState(std::vector<JointState>& states);
  virtual void getState(RobotState& state);
  virtual tovak::math::Pose3d getTransform(std::string& from, std::string& to);
  virtual void torqueOn();
  virtual void torqueOn(const std::string& joint);
  virtual void torqueOff();
  virtual void torqueOff(const std::string& joint);
  virtual void eStop();
  virtual void moveJ(std::vector<double>& q, double vel, double acc);
  virtual void moveJ(std::vector<JointPoint>& points, double vel, double acc);
  virtual void moveJ(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel, double acc);
  virtual void moveDeltaJ(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                          double acc);
  virtual void moveJ_IK(tovak::math::Pose3d& pose, double vel, double acc);
  virtual void moveJ_IK(const std::string& base, const std::vector<tovak::ctrl::PoseTarget>& targets, double vel,
                        double acc);
  virtual void moveL(tovak::math::Pose3d& pose, double vel, double acc);
  virtual void moveL(std::string& base, std::vector<tovak::ctrl::PoseTarget>& targets, double vel, double acc);
  virtual void moveL(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                     double acc);
  virtual void moveDeltaL(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                          double acc);
  virtual void speedJ(std::string& joint, RobotJointIndexDirection dir, double vel, double acc);
  virtual void speedL(RobotCartesian axis, RobotJointIndexDirection dir, double vel, double acc);
  virtual void followJointTrajectory(std::vector<std::vector<double>>& trajectory, double dt);
  virtual void followJointTrajectory(std::vector<std::vector<JointPoint>>& trajectory, double dt);
  virtual void followPoseTrajectory(std::vector<tovak::math::Pose3d>& trajectory, double dt);
  virtual void followPoseTrajectory(std::string& base, std::vector<std::vector<tovak::ctrl::PoseTarget>>& trajectory,
                                    double dt);
  virtual void servoJ(std::vector<double>& q, double dt);
  virtual void servoJ(std::vector<JointPoint>& points, double dt);
  virtual void servoJ(std::vector<JointPoint>& points, double vel, double acc);
  virtual void servoJ(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                      double acc);
  virtual void servoDeltaJ(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose, double vel,
                           double acc);
  virtual void servoL(tovak::math::Pose3d& pose, double dt);
  virtual void servoL(std::string& base, std::vector<tovak::ctrl::PoseTarget>& targets, double dt);
  virtual void calibrateZeroQ(const std::string& joint);
  virtual tovak::msgs::Pose3d fk(const std::string& base, const std::string& link);
  virtual std::vector<double> ik(const std::string& base, const std::string& link, tovak::msgs::Pose3d pose);

 protected:
  [[noreturn]] void unsupported_(const char* operation) const;

  int dof_ = 0;
  RobotState state_;
  std::string toolFrame_;
  mutable std::mutex tool_frame_mtx_;
};

}  // namespace tovak::device
