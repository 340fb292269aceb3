// HumanoidRobotService over a real channel, against a recording fake robot.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include "device_manager/include/device_manager.h"
#include "service/grpc/include/grpc_humanoid_robot_service.h"
#include "tests/support/grpc_test_utils.h"

namespace tovak::service {
namespace {

using namespace tovak::api;
using tovak::device::JointPoint;

// Records what the service hands to the robot; throws `fail` when set.
struct FakeRobot : tovak::device::AbstractRobot {
  FakeRobot() : AbstractRobot(XmlNode()) {}
  std::string fail;
  std::vector<std::string> calls;
  std::vector<JointPoint> points;
  double vel = 0, acc = 0;
  std::string base, link, joint, tool_at_speedL;
  int dir = -1, axis = -1;
  tovak::msgs::Pose3d pose;
  std::vector<tovak::device::JointState> states;

  void record(const std::string& call) {
    calls.push_back(call);
    if (!fail.empty()) throw std::runtime_error(fail);
  }
  void torqueOn() override { record("torqueOn"); }
  void torqueOff() override { record("torqueOff"); }
  void moveJ(std::vector<JointPoint>& p, double v, double a) override {
    points = p;
    vel = v;
    acc = a;
    record("moveJ");
  }
  void moveL(const std::string& b, const std::string& l, tovak::msgs::Pose3d p, double v, double a) override {
    base = b;
    link = l;
    pose = p;
    vel = v;
    acc = a;
    record("moveL");
  }
  void speedJ(std::string& j, tovak::device::RobotJointIndexDirection d, double v, double a) override {
    joint = j;
    dir = d;
    vel = v;
    acc = a;
    record("speedJ");
  }
  void speedL(tovak::device::RobotCartesian c, tovak::device::RobotJointIndexDirection d, double v,
              double a) override {
    tool_at_speedL = toolFrame();
    axis = c;
    dir = d;
    vel = v;
    acc = a;
    record("speedL");
  }
  void getJointsState(std::vector<tovak::device::JointState>& out) override {
    out = states;
    record("getJointsState");
  }
  tovak::msgs::Pose3d fk(const std::string& b, const std::string& l) override {
    base = b;
    link = l;
    record("fk");
    return pose;
  }
};

tovak::device::JointState jointState(const std::string& name, double q, double qd) {
  tovak::device::JointState s;
  s.name = name;
  s.position = q;
  s.velocity = qd;
  s.current = 9.9;  // not sent
  return s;
}

struct RobotService : ::testing::Test {
  void SetUp() override {
    robot = std::make_shared<FakeRobot>();
    tovak::device::DeviceManager::createForTesting(
        {{"robot", std::shared_ptr<tovak::device::AbstractRobot>(robot)}});
    service = std::make_unique<gRPCHumanoidRobotServiceImpl>();
    server = std::make_unique<tovak::test::InProcessServer>(std::vector<grpc::Service*>{service.get()});
    stub = HumanoidRobotService::NewStub(server->channel());
  }
  void TearDown() override {
    server.reset();
    tovak::device::DeviceManager::createForTesting({});
  }
  std::shared_ptr<FakeRobot> robot;
  std::unique_ptr<gRPCHumanoidRobotServiceImpl> service;
  std::unique_ptr<tovak::test::InProcessServer> server;
  std::unique_ptr<HumanoidRobotService::Stub> stub;
};

struct Outcome {
  grpc::Status status;
  CommandHeader_Feedback header;
};

// Every RPC, called on `id` with otherwise valid arguments.
std::vector<std::pair<std::string, std::function<Outcome(HumanoidRobotService::Stub&, const std::string&)>>> allCalls() {
  using Stub = HumanoidRobotService::Stub;
  return {
      {"torqueOff", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         CommandHeader_Request req;
         req.set_device_id(id);
         CommandHeader_Feedback resp;
         auto st = s.torqueOff(&ctx, req, &resp);
         return Outcome{st, resp};
       }},
      {"torqueOn", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         CommandHeader_Request req;
         req.set_device_id(id);
         CommandHeader_Feedback resp;
         auto st = s.torqueOn(&ctx, req, &resp);
         return Outcome{st, resp};
       }},
      {"moveJ", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         MoveJ_Request req;
         req.mutable_header()->set_device_id(id);
         MoveJ_Response resp;
         auto st = s.moveJ(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"moveL", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         MoveL_Request req;
         req.mutable_header()->set_device_id(id);
         MoveL_Response resp;
         auto st = s.moveL(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"speedJ", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         SpeedJ_Request req;
         req.mutable_header()->set_device_id(id);
         SpeedJ_Response resp;
         auto st = s.speedJ(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"speedL", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         SpeedL_Request req;
         req.mutable_header()->set_device_id(id);
         SpeedL_Response resp;
         auto st = s.speedL(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"getJointState", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         JointRequest req;
         req.mutable_header()->set_device_id(id);
         JointResponse resp;
         auto st = s.getJointState(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"getPose", [](Stub& s, const std::string& id) {
         grpc::ClientContext ctx;
         GetPose_Request req;
         req.mutable_header()->set_device_id(id);
         GetPose_Response resp;
         auto st = s.getPose(&ctx, req, &resp);
         return Outcome{st, resp.header()};
       }},
  };
}

// The same calls made on the service object itself: gRPC sends no response
// body with a non-OK status, so only this shows the feedback header of a failure.
std::vector<std::pair<std::string, std::function<Outcome(gRPCHumanoidRobotServiceImpl&, const std::string&)>>>
allDirectCalls() {
  using Svc = gRPCHumanoidRobotServiceImpl;
  return {
      {"torqueOff", [](Svc& s, const std::string& id) {
         CommandHeader_Request req;
         req.set_device_id(id);
         CommandHeader_Feedback resp;
         auto st = s.torqueOff(nullptr, &req, &resp);
         return Outcome{st, resp};
       }},
      {"torqueOn", [](Svc& s, const std::string& id) {
         CommandHeader_Request req;
         req.set_device_id(id);
         CommandHeader_Feedback resp;
         auto st = s.torqueOn(nullptr, &req, &resp);
         return Outcome{st, resp};
       }},
      {"moveJ", [](Svc& s, const std::string& id) {
         MoveJ_Request req;
         req.mutable_header()->set_device_id(id);
         MoveJ_Response resp;
         auto st = s.moveJ(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"moveL", [](Svc& s, const std::string& id) {
         MoveL_Request req;
         req.mutable_header()->set_device_id(id);
         MoveL_Response resp;
         auto st = s.moveL(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"speedJ", [](Svc& s, const std::string& id) {
         SpeedJ_Request req;
         req.mutable_header()->set_device_id(id);
         SpeedJ_Response resp;
         auto st = s.speedJ(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"speedL", [](Svc& s, const std::string& id) {
         SpeedL_Request req;
         req.mutable_header()->set_device_id(id);
         SpeedL_Response resp;
         auto st = s.speedL(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"getJointState", [](Svc& s, const std::string& id) {
         JointRequest req;
         req.mutable_header()->set_device_id(id);
         JointResponse resp;
         auto st = s.getJointState(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
      {"getPose", [](Svc& s, const std::string& id) {
         GetPose_Request req;
         req.mutable_header()->set_device_id(id);
         GetPose_Response resp;
         auto st = s.getPose(nullptr, &req, &resp);
         return Outcome{st, resp.header()};
       }},
  };
}

TEST_F(RobotService, FailuresReachTheClientAsInternalWithTheText) {
  const std::string not_found = "[DeviceManager]: Device ID ghost not found.";
  for (const auto& [rpc, call] : allCalls()) {
    const Outcome unknown = call(*stub, "ghost");
    EXPECT_EQ(unknown.status.error_code(), grpc::StatusCode::INTERNAL) << rpc;
    EXPECT_EQ(unknown.status.error_message(), not_found) << rpc;
  }
  robot->fail = "joint L_ELBOW_P over-temperature";
  for (const auto& [rpc, call] : allCalls()) {
    const Outcome thrown = call(*stub, "robot");
    EXPECT_EQ(thrown.status.error_code(), grpc::StatusCode::INTERNAL) << rpc;
    EXPECT_EQ(thrown.status.error_message(), robot->fail) << rpc;
  }
  EXPECT_EQ(robot->calls.size(), 8u);
  robot->fail.clear();
  for (const auto& [rpc, call] : allCalls()) {
    const Outcome ok = call(*stub, "robot");
    EXPECT_TRUE(ok.status.ok()) << rpc;
    EXPECT_TRUE(ok.header.success()) << rpc;
    EXPECT_EQ(ok.header.error_message(), "") << rpc;
    EXPECT_GT(ok.header.timestamp().seconds(), 0) << rpc;
  }
}

TEST_F(RobotService, FailedCallsFillTheHeaderWithTheStatusText) {
  for (const std::string fail : {"", "driver exploded"}) {
    robot->fail = fail;
    const std::string id = fail.empty() ? "ghost" : "robot";
    for (const auto& [rpc, call] : allDirectCalls()) {
      const Outcome o = call(*service, id);
      EXPECT_EQ(o.status.error_code(), grpc::StatusCode::INTERNAL) << rpc;
      EXPECT_FALSE(o.header.success()) << rpc;
      EXPECT_EQ(o.header.error_message(), o.status.error_message()) << rpc;
      EXPECT_EQ(o.header.error_message(), fail.empty() ? "[DeviceManager]: Device ID ghost not found." : fail)
          << rpc;
      EXPECT_GT(o.header.timestamp().seconds(), 0) << rpc;
    }
  }
}

TEST_F(RobotService, MoveJPassesPointsInOrderAndUnchanged) {
  grpc::ClientContext ctx;
  MoveJ_Request req;
  req.mutable_header()->set_device_id("robot");
  const std::tuple<const char*, double, double> cmds[] = {
      {"R_WRIST_R", 1.5707963, 0.25}, {"L_ELBOW_P", -0.5, 0.0}, {"HEAD_Y", 3.0e-7, 1.75}};
  for (const auto& [n, rad, vel] : cmds) {
    auto* c = req.add_cmds();
    c->set_joint_name(n);
    c->set_rad(rad);
    c->set_vel(vel);
  }
  req.set_vel(0.8);
  req.set_acc(2.5);
  MoveJ_Response resp;
  ASSERT_TRUE(stub->moveJ(&ctx, req, &resp).ok());
  ASSERT_EQ(robot->points.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(robot->points[i].joint_name, std::get<0>(cmds[i]));
    EXPECT_EQ(robot->points[i].rad, std::get<1>(cmds[i]));
    EXPECT_EQ(robot->points[i].vel, std::get<2>(cmds[i]));
  }
  EXPECT_EQ(robot->vel, 0.8);
  EXPECT_EQ(robot->acc, 2.5);
}

TEST_F(RobotService, MoveLAlwaysUsesThePelvisFrame) {
  grpc::ClientContext ctx;
  MoveL_Request req;
  req.mutable_header()->set_device_id("robot");
  req.set_ee_link("R_HAND");
  auto* t = req.mutable_targetpose();
  t->set_x(0.1);
  t->set_y(-0.2);
  t->set_z(0.3);
  t->set_rx(0.4);
  t->set_ry(-0.5);
  t->set_rz(0.6);
  req.set_vel(0.05);
  req.set_acc(0.2);
  MoveL_Response resp;
  ASSERT_TRUE(stub->moveL(&ctx, req, &resp).ok());
  EXPECT_EQ(robot->base, "PELVIS_S");
  EXPECT_EQ(robot->link, "R_HAND");
  EXPECT_EQ(robot->pose.position().x(), 0.1);
  EXPECT_EQ(robot->pose.position().y(), -0.2);
  EXPECT_EQ(robot->pose.position().z(), 0.3);
  EXPECT_EQ(robot->pose.euler().rx(), 0.4);
  EXPECT_EQ(robot->pose.euler().ry(), -0.5);
  EXPECT_EQ(robot->pose.euler().rz(), 0.6);
  EXPECT_FALSE(robot->pose.has_quaternion());
  EXPECT_EQ(robot->vel, 0.05);
  EXPECT_EQ(robot->acc, 0.2);
}

TEST_F(RobotService, JointStateLeavesOutExactlyTheWaist) {
  robot->states = {jointState("WAIST_P", 1, 1), jointState("L_ELBOW_P", -0.5, 0.25), jointState("WAIST_Y", 2, 2),
                   jointState("waist_p", 0.125, -0.5)};
  grpc::ClientContext ctx;
  JointRequest req;
  req.mutable_header()->set_device_id("robot");
  JointResponse resp;
  ASSERT_TRUE(stub->getJointState(&ctx, req, &resp).ok());
  ASSERT_EQ(resp.state_size(), 2);
  const std::tuple<const char*, double, double> expect[] = {{"L_ELBOW_P", -0.5, 0.25}, {"waist_p", 0.125, -0.5}};
  for (int i = 0; i < 2; ++i) {
    const auto& s = resp.state(i);
    ASSERT_EQ(s.name_size(), 1);
    ASSERT_EQ(s.position_size(), 1);
    ASSERT_EQ(s.velocity_size(), 1);
    EXPECT_EQ(s.name(0), std::get<0>(expect[i]));
    EXPECT_EQ(s.position(0), std::get<1>(expect[i]));
    EXPECT_EQ(s.velocity(0), std::get<2>(expect[i]));
  }

  robot->states = {jointState("WAIST_Y", 0, 0), jointState("WAIST_P", 0, 0)};
  grpc::ClientContext ctx2;
  JointResponse only_waist;
  ASSERT_TRUE(stub->getJointState(&ctx2, req, &only_waist).ok());
  EXPECT_TRUE(only_waist.header().success());
  EXPECT_EQ(only_waist.state_size(), 0);
}

TEST_F(RobotService, GetPosePassesBaseThenLink) {
  robot->pose.mutable_position()->set_x(0.5);
  robot->pose.mutable_position()->set_y(-0.25);
  robot->pose.mutable_position()->set_z(0.125);
  robot->pose.mutable_euler()->set_rx(1.5707963);
  robot->pose.mutable_euler()->set_ry(-0.1);
  robot->pose.mutable_euler()->set_rz(3.0);
  for (const auto& [base, link] : {std::pair{"PELVIS_S", "L_HAND"}, std::pair{"L_HAND", "PELVIS_S"}}) {
    grpc::ClientContext ctx;
    GetPose_Request req;
    req.mutable_header()->set_device_id("robot");
    req.set_base_link(base);
    req.set_ee_link(link);
    GetPose_Response resp;
    ASSERT_TRUE(stub->getPose(&ctx, req, &resp).ok());
    EXPECT_EQ(robot->base, base);
    EXPECT_EQ(robot->link, link);
    EXPECT_EQ(resp.pose().x(), 0.5);
    EXPECT_EQ(resp.pose().y(), -0.25);
    EXPECT_EQ(resp.pose().z(), 0.125);
    EXPECT_EQ(resp.pose().rx(), 1.5707963);
    EXPECT_EQ(resp.pose().ry(), -0.1);
    EXPECT_EQ(resp.pose().rz(), 3.0);
  }
}

TEST_F(RobotService, JogCallsPassTheirArgumentsAndSpeedLSetsTheToolFrameFirst) {
  robot->setToolFrame("R_HAND");
  {
    grpc::ClientContext ctx;
    SpeedL_Request req;
    req.mutable_header()->set_device_id("robot");
    req.set_ee_link("L_HAND");
    req.set_vel(0.05);
    req.set_acc(0.5);
    req.set_dir(tovak::api::ROTATE_Z);
    req.set_cart(tovak::api::RZ);
    SpeedL_Response resp;
    ASSERT_TRUE(stub->speedL(&ctx, req, &resp).ok());
    EXPECT_EQ(robot->tool_at_speedL, "L_HAND");
    EXPECT_EQ(robot->toolFrame(), "L_HAND");  // stays after the call
    EXPECT_EQ(robot->axis, 5);
    EXPECT_EQ(robot->dir, 10);
    EXPECT_EQ(robot->vel, 0.05);
    EXPECT_EQ(robot->acc, 0.5);
  }
  {
    grpc::ClientContext ctx;
    SpeedJ_Request req;
    req.mutable_header()->set_device_id("robot");
    req.set_joint_name("HEAD_P");
    req.set_vel(0.3);
    req.set_acc(1.5);
    req.set_dir(tovak::api::BACKWARD);
    SpeedJ_Response resp;
    ASSERT_TRUE(stub->speedJ(&ctx, req, &resp).ok());
    EXPECT_TRUE(resp.header().success());
    EXPECT_EQ(robot->joint, "HEAD_P");
    EXPECT_EQ(robot->dir, 1);
    EXPECT_EQ(robot->vel, 0.3);
    EXPECT_EQ(robot->acc, 1.5);
  }
}

TEST(RobotEnums, DeviceAndApiValuesAgree) {
  EXPECT_EQ(static_cast<int>(tovak::device::RZ), tovak::api::RZ);
  EXPECT_EQ(static_cast<int>(tovak::device::X), tovak::api::X);
  EXPECT_EQ(static_cast<int>(tovak::device::ROTATE_Z), tovak::api::ROTATE_Z);
  EXPECT_EQ(static_cast<int>(tovak::device::Z_NEGATIVE), tovak::api::Z_NEGATIVE);
  EXPECT_EQ(tovak::api::RobotCartesian_MAX, 5);
  EXPECT_EQ(tovak::api::RobotJointIndexDirection_MAX, 10);
}

}  // namespace
}  // namespace tovak::service
