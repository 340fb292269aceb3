// The kinematic model: Euler convention, relative poses, Jacobian and IK.
#include <gtest/gtest.h>

#include <random>

#include "drivers/humanoid_robot/include/humanoid_kinematics.h"

namespace tovak::device {
namespace {

TEST(Euler, RotationIsRzRyRxAndRoundTrips) {
  // Extrinsic x-y-z: a pure yaw of 90° turns x into y.
  EXPECT_TRUE((rotationFromEuler(0, 0, M_PI / 2) * Eigen::Vector3d::UnitX()).isApprox(Eigen::Vector3d::UnitY(), 1e-12));
  // Roll applied first, then pitch: R = Ry(ry)·Rx(rx) for rz = 0.
  const Eigen::Matrix3d expect = (Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY()) *
                                  Eigen::AngleAxisd(0.2, Eigen::Vector3d::UnitX())).toRotationMatrix();
  EXPECT_TRUE(rotationFromEuler(0.2, 0.3, 0).isApprox(expect, 1e-12));
  const Eigen::Vector3d cases[] = {{0.1, -0.2, 0.3}, {-3.0, 1.2, 2.9}, {0, 0, 0}, {1.0, -1.5, -2.0}};
  for (const auto& c : cases) {
    EXPECT_TRUE(eulerFromRotation(rotationFromEuler(c.x(), c.y(), c.z())).isApprox(c, 1e-9)) << c.transpose();
  }
  // Gimbal lock: the angles differ but the rotation is the same.
  const Eigen::Matrix3d r = rotationFromEuler(0.4, M_PI / 2, 0.1);
  const Eigen::Vector3d e = eulerFromRotation(r);
  EXPECT_TRUE(rotationFromEuler(e.x(), e.y(), e.z()).isApprox(r, 1e-9));
}

struct Kin : ::testing::Test {
  HumanoidKinematics kin;
  Eigen::VectorXd randomQ(std::mt19937& rng, double span = 0.8) {
    std::uniform_real_distribution<double> d(-span, span);
    Eigen::VectorXd q(static_cast<Eigen::Index>(kin.joints().size()));
    for (auto i = 0; i < q.size(); ++i) q(i) = d(rng);
    return q;
  }
};

TEST_F(Kin, NamesAndZeroPose) {
  EXPECT_EQ(kin.joints().size(), 18u);
  EXPECT_EQ(kin.jointNames().front(), "L_SHOULDER_P");
  EXPECT_GE(kin.linkIndex("L_HAND"), 0);
  EXPECT_GE(kin.linkIndex("HEAD"), 0);
  EXPECT_EQ(kin.linkIndex("l_hand"), -1);
  const Eigen::VectorXd q = Eigen::VectorXd::Zero(18);
  const auto hand = kin.relative(q, kin.linkIndex("PELVIS_S"), kin.linkIndex("L_HAND"));
  // Arm hanging straight down from the left shoulder.
  EXPECT_NEAR(hand.translation().x(), 0.0, 1e-12);
  EXPECT_NEAR(hand.translation().y(), 0.24, 1e-12);
  EXPECT_NEAR(hand.translation().z(), 0.10 + 0.08 + 0.32 - 0.64, 1e-12);
}

TEST_F(Kin, RelativePosesCompose) {
  std::mt19937 rng(7);
  const auto q = randomQ(rng);
  const int a = kin.linkIndex("L_HAND"), b = kin.linkIndex("R_FOREARM"), c = kin.linkIndex("HEAD");
  EXPECT_TRUE((kin.relative(q, a, b) * kin.relative(q, b, a)).isApprox(Eigen::Isometry3d::Identity(), 1e-12));
  EXPECT_TRUE((kin.relative(q, a, b) * kin.relative(q, b, c)).isApprox(kin.relative(q, a, c), 1e-12));
}

// The analytic Jacobian must match finite differences, including for a base
// that itself hangs below joints (R_HAND as base of L_HAND).
TEST_F(Kin, JacobianMatchesFiniteDifferences) {
  std::mt19937 rng(11);
  const std::pair<const char*, const char*> cases[] = {
      {"PELVIS_S", "L_HAND"}, {"R_HAND", "L_HAND"}, {"HEAD", "R_WRIST_2"}, {"TORSO", "HEAD_CAMERA"}};
  for (const auto& [bn, ln] : cases) {
    const int b = kin.linkIndex(bn), l = kin.linkIndex(ln);
    const auto q = randomQ(rng);
    const auto path = kin.path(b, l);
    ASSERT_FALSE(path.empty()) << bn << " " << ln;
    const Eigen::MatrixXd jac = kin.jacobian(q, b, l, path);
    const double h = 1e-6;
    for (size_t c = 0; c < path.size(); ++c) {
      Eigen::VectorXd qp = q;
      qp(path[c].joint) += h;
      const Eigen::Matrix<double, 6, 1> d =
          HumanoidKinematics::poseError(kin.relative(q, b, l), kin.relative(qp, b, l)) / h;
      EXPECT_TRUE(d.isApprox(jac.col(static_cast<Eigen::Index>(c)), 1e-4))
          << bn << "->" << ln << " joint " << kin.joints()[static_cast<size_t>(path[c].joint)].name << "\n"
          << d.transpose() << "\n"
          << jac.col(static_cast<Eigen::Index>(c)).transpose();
    }
  }
}

TEST_F(Kin, PathExcludesJointsAboveBoth) {
  const auto path = kin.path(kin.linkIndex("TORSO"), kin.linkIndex("L_HAND"));
  EXPECT_EQ(path.size(), 7u);
  for (const auto& pj : path) EXPECT_TRUE(pj.moves_link);
}

TEST_F(Kin, IkReachesPosesOfRandomPostures) {
  std::mt19937 rng(3);
  const int b = kin.linkIndex("PELVIS_S"), l = kin.linkIndex("L_HAND");
  std::vector<HumanoidKinematics::PathJoint> arm;
  for (const auto& pj : kin.path(b, l))
    if (kin.joints()[static_cast<size_t>(pj.joint)].name.rfind("L_", 0) == 0) arm.push_back(pj);
  const Eigen::VectorXd lower = Eigen::VectorXd::Constant(18, -2.5), upper = Eigen::VectorXd::Constant(18, 2.5);
  for (int k = 0; k < 10; ++k) {
    Eigen::VectorXd goal_q = randomQ(rng, 0.6);
    goal_q(kin.jointIndex("L_ELBOW_P")) = -1.0;  // away from the straight-arm singularity
    const auto target = kin.relative(goal_q, b, l);
    Eigen::VectorXd seed = goal_q;
    for (const auto& pj : arm) seed(pj.joint) += 0.15;
    const auto r = kin.solveIk(seed, b, l, target, arm, lower, upper);
    EXPECT_LT(r.position_error, 1e-5) << k;
    EXPECT_LT(r.orientation_error, 1e-4) << k;
    EXPECT_TRUE(kin.relative(r.q, b, l).isApprox(target, 1e-4));
  }
}

}  // namespace
}  // namespace tovak::device
