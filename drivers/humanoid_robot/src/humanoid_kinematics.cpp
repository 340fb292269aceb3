#include "drivers/humanoid_robot/include/humanoid_kinematics.h"

#include <algorithm>
#include <cmath>

namespace tovak::device {

Eigen::Matrix3d rotationFromEuler(double rx, double ry, double rz) {
  return (Eigen::AngleAxisd(rz, Eigen::Vector3d::UnitZ()) * Eigen::AngleAxisd(ry, Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(rx, Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

Eigen::Vector3d eulerFromRotation(const Eigen::Matrix3d& r) {
  const double s = std::clamp(-r(2, 0), -1.0, 1.0);
  double ry = std::asin(s);
  double rx, rz;
  if (std::fabs(s) > 1.0 - 1e-12) {
    // asin is too steep here to trust: the pitch is exactly ±pi/2.
    ry = std::copysign(M_PI / 2, s);
    rx = 0.0;
    rz = std::atan2(-r(0, 1), r(1, 1));
  } else {
    rx = std::atan2(r(2, 1), r(2, 2));
    rz = std::atan2(r(1, 0), r(0, 0));
  }
  return {rx, ry, rz};
}

int HumanoidKinematics::addLink_(const std::string& name, int parent, const Eigen::Vector3d& xyz,
                                 const std::string& joint, const Eigen::Vector3d& axis) {
  Link l;
  l.name = name;
  l.parent = parent;
  l.origin = Eigen::Isometry3d::Identity();
  l.origin.translation() = xyz;
  const int index = static_cast<int>(links_.size());
  if (!joint.empty()) {
    l.joint = static_cast<int>(joints_.size());
    joints_.push_back({joint, axis, index});
  }
  links_.push_back(l);
  return index;
}

HumanoidKinematics::HumanoidKinematics() {
  const Eigen::Vector3d X = Eigen::Vector3d::UnitX(), Y = Eigen::Vector3d::UnitY(), Z = Eigen::Vector3d::UnitZ();
  // Arms first so that joint indices follow the motor wiring's order:
  // left arm, right arm, waist, head. Links are added parents first.
  const int pelvis = addLink_("PELVIS_S", -1, {0, 0, 0}, "", Z);
  // Waist links must exist before the arms hang from the torso, but their
  // joints are listed after the arms': build them with placeholders.
  Link waist{"WAIST", pelvis, -1, Eigen::Isometry3d::Identity()};
  waist.origin.translation() = Eigen::Vector3d(0, 0, 0.10);
  links_.push_back(waist);
  const int waist_link = static_cast<int>(links_.size()) - 1;
  Link torso{"TORSO", waist_link, -1, Eigen::Isometry3d::Identity()};
  torso.origin.translation() = Eigen::Vector3d(0, 0, 0.08);
  links_.push_back(torso);
  const int torso_link = static_cast<int>(links_.size()) - 1;

  for (int side = 0; side < 2; ++side) {
    const std::string p = side == 0 ? "L_" : "R_";
    const double s = side == 0 ? 1.0 : -1.0;
    int l = addLink_(p + "SHOULDER_1", torso_link, {0, s * 0.18, 0.32}, p + "SHOULDER_P", Y);
    l = addLink_(p + "SHOULDER_2", l, {0, s * 0.06, 0}, p + "SHOULDER_R", X);
    l = addLink_(p + "UPPER_ARM", l, {0, 0, -0.10}, p + "SHOULDER_Y", Z);
    l = addLink_(p + "FOREARM", l, {0, 0, -0.18}, p + "ELBOW_P", Y);
    l = addLink_(p + "WRIST_1", l, {0, 0, -0.12}, p + "WRIST_Y", Z);
    l = addLink_(p + "WRIST_2", l, {0, 0, -0.12}, p + "WRIST_P", Y);
    l = addLink_(p + "WRIST_3", l, {0, 0, -0.04}, p + "WRIST_R", X);
    addLink_(p + "HAND", l, {0, 0, -0.08}, "", Z);
  }
  links_[static_cast<size_t>(waist_link)].joint = static_cast<int>(joints_.size());
  joints_.push_back({"WAIST_Y", Z, waist_link});
  links_[static_cast<size_t>(torso_link)].joint = static_cast<int>(joints_.size());
  joints_.push_back({"WAIST_P", Y, torso_link});
  int l = addLink_("NECK", torso_link, {0, 0, 0.45}, "HEAD_Y", Z);
  l = addLink_("HEAD", l, {0, 0, 0.08}, "HEAD_P", Y);
  addLink_("HEAD_CAMERA", l, {0.09, 0, 0.06}, "", Z);
}

std::vector<std::string> HumanoidKinematics::jointNames() const {
  std::vector<std::string> out;
  for (const auto& j : joints_) out.push_back(j.name);
  return out;
}

std::vector<std::string> HumanoidKinematics::linkNames() const {
  std::vector<std::string> out;
  for (const auto& l : links_) out.push_back(l.name);
  return out;
}

int HumanoidKinematics::jointIndex(const std::string& name) const {
  for (size_t i = 0; i < joints_.size(); ++i)
    if (joints_[i].name == name) return static_cast<int>(i);
  return -1;
}

int HumanoidKinematics::linkIndex(const std::string& name) const {
  for (size_t i = 0; i < links_.size(); ++i)
    if (links_[i].name == name) return static_cast<int>(i);
  return -1;
}

std::vector<Eigen::Isometry3d> HumanoidKinematics::linkPoses(const Eigen::VectorXd& q) const {
  std::vector<Eigen::Isometry3d> poses(links_.size());
  for (size_t i = 0; i < links_.size(); ++i) {  // parents precede children
    const Link& l = links_[i];
    Eigen::Isometry3d local = l.origin;
    if (l.joint >= 0) local.rotate(Eigen::AngleAxisd(q(l.joint), joints_[static_cast<size_t>(l.joint)].axis));
    poses[i] = l.parent < 0 ? local : poses[static_cast<size_t>(l.parent)] * local;
  }
  return poses;
}

Eigen::Isometry3d HumanoidKinematics::relative(const Eigen::VectorXd& q, int base, int link) const {
  const auto poses = linkPoses(q);
  return poses[static_cast<size_t>(base)].inverse() * poses[static_cast<size_t>(link)];
}

bool HumanoidKinematics::isAncestor_(int ancestor, int link) const {
  for (int l = link; l >= 0; l = links_[static_cast<size_t>(l)].parent)
    if (l == ancestor) return true;
  return false;
}

std::vector<HumanoidKinematics::PathJoint> HumanoidKinematics::path(int base, int link) const {
  std::vector<PathJoint> out;
  for (size_t j = 0; j < joints_.size(); ++j) {
    const int child = joints_[j].child;
    const bool above_link = isAncestor_(child, link);
    const bool above_base = isAncestor_(child, base);
    if (above_link != above_base) out.push_back({static_cast<int>(j), above_link});
  }
  return out;
}

Eigen::MatrixXd HumanoidKinematics::jacobian(const Eigen::VectorXd& q, int base, int link,
                                             const std::vector<PathJoint>& joints) const {
  const auto poses = linkPoses(q);
  const Eigen::Isometry3d& tb = poses[static_cast<size_t>(base)];
  const Eigen::Vector3d pl = poses[static_cast<size_t>(link)].translation();
  const Eigen::Matrix3d rb_t = tb.rotation().transpose();
  Eigen::MatrixXd jac(6, static_cast<Eigen::Index>(joints.size()));
  for (size_t c = 0; c < joints.size(); ++c) {
    const Joint& j = joints_[static_cast<size_t>(joints[c].joint)];
    const Eigen::Isometry3d& tj = poses[static_cast<size_t>(j.child)];
    const Eigen::Vector3d z = tj.rotation() * j.axis;
    const Eigen::Vector3d pj = tj.translation();
    // A joint above the base only moves the base: seen from the base, the
    // (still) link turns the opposite way about the same axis.
    const double sign = joints[c].moves_link ? 1.0 : -1.0;
    const Eigen::Vector3d v = z.cross(pl - pj);
    jac.block<3, 1>(0, static_cast<Eigen::Index>(c)) = sign * (rb_t * v);
    jac.block<3, 1>(3, static_cast<Eigen::Index>(c)) = sign * (rb_t * z);
  }
  return jac;
}

Eigen::Matrix<double, 6, 1> HumanoidKinematics::poseError(const Eigen::Isometry3d& from, const Eigen::Isometry3d& to) {
  Eigen::Matrix<double, 6, 1> e;
  e.head<3>() = to.translation() - from.translation();
  const Eigen::AngleAxisd aa(to.rotation() * from.rotation().transpose());
  e.tail<3>() = aa.axis() * aa.angle();
  return e;
}

HumanoidKinematics::IkResult HumanoidKinematics::solveIk(const Eigen::VectorXd& seed, int base, int link,
                                                         const Eigen::Isometry3d& target,
                                                         const std::vector<PathJoint>& joints,
                                                         const Eigen::VectorXd& lower, const Eigen::VectorXd& upper,
                                                         int max_iter, double pos_tol, double rot_tol) const {
  IkResult r{seed, 0.0, 0.0, 0};
  const auto n = static_cast<Eigen::Index>(joints.size());
  double lambda = 0.02;
  Eigen::Matrix<double, 6, 1> e = poseError(relative(r.q, base, link), target);
  for (; r.iterations < max_iter; ++r.iterations) {
    r.position_error = e.head<3>().norm();
    r.orientation_error = e.tail<3>().norm();
    if (r.position_error < pos_tol && r.orientation_error < rot_tol) break;
    const Eigen::MatrixXd jac = jacobian(r.q, base, link, joints);
    // Large steps leave the region where the linearisation holds.
    Eigen::Matrix<double, 6, 1> step_e = e;
    const double pn = step_e.head<3>().norm(), rn = step_e.tail<3>().norm();
    if (pn > 0.1) step_e.head<3>() *= 0.1 / pn;
    if (rn > 0.5) step_e.tail<3>() *= 0.5 / rn;
    const Eigen::Matrix<double, 6, 6> jjt = jac * jac.transpose() + lambda * lambda * Eigen::Matrix<double, 6, 6>::Identity();
    const Eigen::VectorXd dq = jac.transpose() * jjt.ldlt().solve(step_e);
    Eigen::VectorXd trial = r.q;
    for (Eigen::Index c = 0; c < n; ++c) {
      const int j = joints[static_cast<size_t>(c)].joint;
      trial(j) = std::clamp(trial(j) + dq(c), lower(j), upper(j));
    }
    const Eigen::Matrix<double, 6, 1> te = poseError(relative(trial, base, link), target);
    if (te.norm() < e.norm()) {
      r.q = trial;
      e = te;
      lambda = std::max(lambda * 0.5, 1e-4);
    } else {
      lambda = std::min(lambda * 4.0, 10.0);
      if (lambda >= 10.0) break;  // stuck: no step reduces the error
    }
  }
  r.position_error = e.head<3>().norm();
  r.orientation_error = e.tail<3>().norm();
  return r;
}

}  // namespace tovak::device
