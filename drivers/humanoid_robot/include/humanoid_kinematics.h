#pragma once

#include <string>
#include <vector>

#include <Eigen/Dense>
#include <Eigen/Geometry>

namespace tovak::device {

// Rotation from Euler angles: R = Rz(rz)·Ry(ry)·Rx(rx), i.e. rotations about
// the fixed x, then y, then z axes (roll, pitch, yaw). Radians.
Eigen::Matrix3d rotationFromEuler(double rx, double ry, double rz);
// The inverse: (rx, ry, rz) with ry in [-pi/2, pi/2] and rx, rz in (-pi, pi].
// At ry = ±pi/2 (gimbal lock) rx is reported as 0.
Eigen::Vector3d eulerFromRotation(const Eigen::Matrix3d& r);

// Kinematic tree of the humanoid body: links joined by revolute joints (or
// fixed), rooted at PELVIS_S. Frames: x forward, y to the robot's left, z up;
// metres and radians. At zero joint positions the arms hang straight down and
// the head looks forward.
//
//   PELVIS_S -WAIST_Y(z)-> WAIST -WAIST_P(y)-> TORSO
//   TORSO -L_SHOULDER_P(y)-> L_SHOULDER_1 -L_SHOULDER_R(x)-> L_SHOULDER_2
//         -L_SHOULDER_Y(z)-> L_UPPER_ARM -L_ELBOW_P(y)-> L_FOREARM
//         -L_WRIST_Y(z)-> L_WRIST_1 -L_WRIST_P(y)-> L_WRIST_2 -L_WRIST_R(x)-> L_WRIST_3
//         -fixed-> L_HAND (palm centre)
//   the same for the right arm (R_...), mirrored in y
//   TORSO -HEAD_Y(z)-> NECK -HEAD_P(y)-> HEAD -fixed-> HEAD_CAMERA
class HumanoidKinematics {
 public:
  struct Joint {
    std::string name;
    Eigen::Vector3d axis;  // in the child link's frame (= parent frame at q = 0)
    int child = -1;        // link moved by the joint
  };
  struct Link {
    std::string name;
    int parent = -1;            // -1 for the root
    int joint = -1;             // joint between parent and this link; -1: fixed
    Eigen::Isometry3d origin;   // this link's frame in the parent's at q = 0
  };
  // A joint on the path between two links, with the side it sits on.
  struct PathJoint {
    int joint;
    bool moves_link;  // true: above the link, not the base; false: above the base only
  };
  struct IkResult {
    Eigen::VectorXd q;         // all joints
    double position_error;     // m
    double orientation_error;  // rad
    int iterations;
  };

  HumanoidKinematics();

  const std::vector<Joint>& joints() const { return joints_; }
  const std::vector<Link>& links() const { return links_; }
  std::vector<std::string> jointNames() const;
  std::vector<std::string> linkNames() const;
  int jointIndex(const std::string& name) const;  // -1 when unknown
  int linkIndex(const std::string& name) const;   // -1 when unknown

  // Pose of every link in PELVIS_S for joint positions q (one per joint).
  std::vector<Eigen::Isometry3d> linkPoses(const Eigen::VectorXd& q) const;
  // Pose of `link` in the frame of `base`.
  Eigen::Isometry3d relative(const Eigen::VectorXd& q, int base, int link) const;
  // Joints whose motion changes the pose of `link` relative to `base`.
  std::vector<PathJoint> path(int base, int link) const;
  // Geometric Jacobian of `link` relative to `base`, expressed in `base`
  // (rows: linear velocity of the link's origin, then angular velocity),
  // one column per entry of `joints`.
  Eigen::MatrixXd jacobian(const Eigen::VectorXd& q, int base, int link, const std::vector<PathJoint>& joints) const;

  // Damped-least-squares IK: moves only `joints`, keeps every joint inside
  // [lower, upper]; stops when within tolerances or after max_iter steps.
  IkResult solveIk(const Eigen::VectorXd& seed, int base, int link, const Eigen::Isometry3d& target,
                   const std::vector<PathJoint>& joints, const Eigen::VectorXd& lower, const Eigen::VectorXd& upper,
                   int max_iter = 200, double pos_tol = 1e-5, double rot_tol = 1e-4) const;

  // 6-vector from `from` to `to`, both in the same frame: position
  // difference, then the rotation vector (axis·angle) of to·from⁻¹.
  static Eigen::Matrix<double, 6, 1> poseError(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to);

 private:
  int addLink_(const std::string& name, int parent, const Eigen::Vector3d& xyz, const std::string& joint,
               const Eigen::Vector3d& axis);
  bool isAncestor_(int ancestor, int link) const;

  std::vector<Joint> joints_;
  std::vector<Link> links_;
};

}  // namespace tovak::device
