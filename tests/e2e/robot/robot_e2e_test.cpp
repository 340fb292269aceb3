// The real server with its simulated humanoid, driven through the generated client.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tovak/api/humanoid_robot_service.grpc.pb.h"

namespace {

using namespace std::chrono_literals;
using namespace tovak::api;

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return pred();
}

struct RobotE2E : ::testing::Test {
  void SetUp() override {
    tovak::test::TestConfig cfg;
    cfg.robot = R"(<Humanoid id="humanoid" deadman_ms="200"/>)";
    cfg.microphone = cfg.speaker = cfg.biohead = cfg.monitors = cfg.cameras = cfg.hands = "";
    server = std::make_unique<tovak::test::ServerProcess>(cfg);
    ASSERT_TRUE(server->waitListening()) << server->err();
    stub = HumanoidRobotService::NewStub(tovak::test::makeChannel(server->port()));
  }

  std::map<std::string, std::pair<double, double>> joints() {
    grpc::ClientContext ctx;
    JointRequest req;
    req.mutable_header()->set_device_id("humanoid");
    JointResponse resp;
    const auto st = stub->getJointState(&ctx, req, &resp);
    EXPECT_TRUE(st.ok()) << st.error_message();
    std::map<std::string, std::pair<double, double>> out;
    for (const auto& s : resp.state()) out[s.name(0)] = {s.position(0), s.velocity(0)};
    return out;
  }
  grpc::Status moveJ(const std::vector<std::pair<std::string, double>>& targets, double vel = 1.5, double acc = 6) {
    grpc::ClientContext ctx;
    MoveJ_Request req;
    req.mutable_header()->set_device_id("humanoid");
    for (const auto& [n, q] : targets) {
      auto* c = req.add_cmds();
      c->set_joint_name(n);
      c->set_rad(q);
    }
    req.set_vel(vel);
    req.set_acc(acc);
    MoveJ_Response resp;
    return stub->moveJ(&ctx, req, &resp);
  }
  bool settledAt(const std::vector<std::pair<std::string, double>>& targets, double tol) {
    const auto j = joints();
    for (const auto& [n, q] : targets) {
      const auto it = j.find(n);
      if (it == j.end() || std::fabs(it->second.first - q) > tol || std::fabs(it->second.second) > 1e-3) return false;
    }
    return true;
  }
  GetPose_Response pose(const std::string& base, const std::string& link) {
    grpc::ClientContext ctx;
    GetPose_Request req;
    req.mutable_header()->set_device_id("humanoid");
    req.set_base_link(base);
    req.set_ee_link(link);
    GetPose_Response resp;
    EXPECT_TRUE(stub->getPose(&ctx, req, &resp).ok());
    return resp;
  }
  grpc::Status torque(bool on) {
    grpc::ClientContext ctx;
    CommandHeader_Request req;
    req.set_device_id("humanoid");
    CommandHeader_Feedback resp;
    return on ? stub->torqueOn(&ctx, req, &resp) : stub->torqueOff(&ctx, req, &resp);
  }

  std::unique_ptr<tovak::test::ServerProcess> server;
  std::unique_ptr<HumanoidRobotService::Stub> stub;
};

TEST_F(RobotE2E, MoveJConvergesWithMotionReportedOnTheWay) {
  const auto start = joints();
  EXPECT_EQ(start.size(), 16u);  // 18 joints, waist left out
  EXPECT_EQ(start.count("WAIST_P"), 0u);
  EXPECT_EQ(start.count("L_ELBOW_P"), 1u);

  const std::vector<std::pair<std::string, double>> targets = {{"L_ELBOW_P", -1.5707963}, {"R_SHOULDER_P", -0.7}};
  ASSERT_TRUE(moveJ(targets, 0.5, 2.0).ok());
  // The call returned long before the motion (about 3.4 s) could end.
  EXPECT_GT(std::fabs(joints()["L_ELBOW_P"].first + 1.5707963), 0.3);
  double max_v = 0;
  ASSERT_TRUE(waitFor([&] {
    max_v = std::max(max_v, std::fabs(joints()["L_ELBOW_P"].second));
    return settledAt(targets, 2e-3);
  }, 20s));
  EXPECT_GT(max_v, 0.2);
  EXPECT_LT(max_v, 0.6);
}

TEST_F(RobotE2E, PoseAndLinearMoveAgree) {
  const std::vector<std::pair<std::string, double>> bent = {
      {"L_SHOULDER_P", -0.6}, {"L_SHOULDER_R", 0.3}, {"L_ELBOW_P", -1.2}, {"L_WRIST_P", 0.3}};
  ASSERT_TRUE(moveJ(bent).ok());
  ASSERT_TRUE(waitFor([&] { return settledAt(bent, 2e-3); }, 10s));
  std::this_thread::sleep_for(100ms);
  const auto p0 = pose("PELVIS_S", "L_HAND").pose();

  grpc::ClientContext ctx;
  MoveL_Request req;
  req.mutable_header()->set_device_id("humanoid");
  req.set_ee_link("L_HAND");
  *req.mutable_targetpose() = p0;
  req.mutable_targetpose()->set_z(p0.z() + 0.04);
  req.mutable_targetpose()->set_x(p0.x() - 0.02);
  req.set_vel(0.1);
  req.set_acc(0.5);
  MoveL_Response resp;
  const auto st = stub->moveL(&ctx, req, &resp);
  ASSERT_TRUE(st.ok()) << st.error_message();
  ASSERT_TRUE(waitFor([&] {
    const auto p = pose("PELVIS_S", "L_HAND").pose();
    return std::fabs(p.z() - (p0.z() + 0.04)) < 1e-3 && std::fabs(p.x() - (p0.x() - 0.02)) < 1e-3;
  }, 10s));
  std::this_thread::sleep_for(200ms);
  const auto p1 = pose("PELVIS_S", "L_HAND").pose();
  EXPECT_NEAR(p1.y(), p0.y(), 1e-3);
  EXPECT_NEAR(p1.rx(), p0.rx(), 1e-2);
  EXPECT_NEAR(p1.ry(), p0.ry(), 1e-2);
  EXPECT_NEAR(p1.rz(), p0.rz(), 1e-2);
  // The inverse query is the inverse transform: same distance.
  const auto back = pose("L_HAND", "PELVIS_S").pose();
  EXPECT_NEAR(std::hypot(back.x(), back.y(), back.z()), std::hypot(p1.x(), p1.y(), p1.z()), 1e-6);
}

TEST_F(RobotE2E, RefusalsArriveAsInternalWithTheirText) {
  auto st = moveJ({{"L_ELBOW_P", 1.0}});
  EXPECT_EQ(st.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_NE(st.error_message().find("L_ELBOW_P"), std::string::npos) << st.error_message();
  st = moveJ({{"ELBOW", -1.0}});
  EXPECT_NE(st.error_message().find("unknown joint 'ELBOW'"), std::string::npos) << st.error_message();

  grpc::ClientContext ctx;
  MoveL_Request far;
  far.mutable_header()->set_device_id("humanoid");
  far.set_ee_link("R_HAND");
  far.mutable_targetpose()->set_x(2.0);
  far.set_vel(0.1);
  far.set_acc(0.5);
  MoveL_Response resp;
  st = stub->moveL(&ctx, far, &resp);
  EXPECT_EQ(st.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_NE(st.error_message().find("out of reach"), std::string::npos) << st.error_message();

  ASSERT_TRUE(torque(false).ok());
  st = moveJ({{"L_ELBOW_P", -1.0}});
  EXPECT_EQ(st.error_code(), grpc::StatusCode::INTERNAL);
  EXPECT_NE(st.error_message().find("torque is off"), std::string::npos) << st.error_message();
  ASSERT_TRUE(torque(true).ok());
  EXPECT_TRUE(moveJ({{"L_ELBOW_P", -1.0}}).ok());
}

TEST_F(RobotE2E, JogStopsSoonAfterTheLastCall) {
  auto jog = [&] {
    grpc::ClientContext ctx;
    SpeedJ_Request req;
    req.mutable_header()->set_device_id("humanoid");
    req.set_joint_name("HEAD_Y");
    req.set_dir(FORWARD);
    req.set_vel(0.8);
    req.set_acc(8.0);
    SpeedJ_Response resp;
    return stub->speedJ(&ctx, req, &resp);
  };
  const auto end = std::chrono::steady_clock::now() + 500ms;
  while (std::chrono::steady_clock::now() < end) {
    ASSERT_TRUE(jog().ok());
    std::this_thread::sleep_for(50ms);
  }
  const auto last = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitFor([&] { return std::fabs(joints()["HEAD_Y"].second) < 1e-3; }, 5s));
  // Window 200 ms plus braking; loose, since each poll is an RPC on a shared machine.
  EXPECT_LT(std::chrono::steady_clock::now() - last, 2s);
  const double q = joints()["HEAD_Y"].first;
  EXPECT_GT(q, 0.1);
  std::this_thread::sleep_for(300ms);
  EXPECT_NEAR(joints()["HEAD_Y"].first, q, 1e-3);
}

}  // namespace
