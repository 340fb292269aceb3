#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tovak/api/dexhand_service.grpc.pb.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace api = tovak::api;

// Each test starts its own server with the two default hands, left_hand and
// right_hand.
class DexHandE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<tovak::test::ServerProcess>(tovak::test::TestConfig{});
    ASSERT_TRUE(server_->waitListening()) << server_->err();
    auto channel = tovak::test::makeChannel(server_->port());
    hand_ = api::DexHandService::NewStub(channel);
    system_ = api::SystemService::NewStub(channel);
  }

  template <class Request>
  static Request req(const std::string& id) {
    Request r;
    r.mutable_header()->set_device_id(id);
    return r;
  }

  api::CommandHeader_Feedback setParam(const std::string& id, const std::string& name, const std::string& value) {
    auto r = req<api::UpdateParamsCommand_Request>(id);
    auto* p = r.add_params();
    p->set_param_name(name);
    p->set_string_value(value);
    grpc::ClientContext ctx;
    api::UpdateParamsCommand_Feedback f;
    EXPECT_TRUE(system_->UpdateParams(&ctx, r, &f).ok());
    return f.header();
  }

  api::GetDexHandStateCommand_Feedback status(const std::string& id) {
    grpc::ClientContext ctx;
    api::GetDexHandStateCommand_Feedback f;
    EXPECT_TRUE(hand_->GetStatus(&ctx, req<api::GetDexHandStateCommand_Request>(id), &f).ok());
    return f;
  }

  api::CommandHeader_Feedback preset(const std::string& id, int number) {
    auto r = req<api::SetDexHandPresetActCommand_Request>(id);
    r.set_presetactid(number);
    grpc::ClientContext ctx;
    api::SetDexHandPresetActCommand_Feedback f;
    EXPECT_TRUE(hand_->SetDexHandPresetAct(&ctx, r, &f).ok());
    return f.header();
  }

  static int peak(const api::SensorData& part) {
    int m = 0;
    for (const auto& row : part.data()) {
      for (int v : row.values()) m = std::max(m, v);
    }
    return m;
  }

  std::unique_ptr<tovak::test::ServerProcess> server_;
  std::unique_ptr<api::DexHandService::Stub> hand_;
  std::unique_ptr<api::SystemService::Stub> system_;
};

TEST_F(DexHandE2E, ClosingTheHandOnTheObjectRaisesTheTouchingPartsReadings) {
  const auto before = status("right_hand");
  ASSERT_TRUE(before.header().success()) << before.header().error_message();
  EXPECT_TRUE(before.state().is_initialized());
  ASSERT_EQ(before.state().hands_size(), 6);

  grpc::ClientContext stream_ctx;
  auto stream = hand_->GetSensorDataStream(&stream_ctx);
  ASSERT_TRUE(stream->Write(req<api::GetSensorDataStreamCommand_Request>("right_hand")));
  api::GetSensorDataStreamCommand_Feedback f;
  ASSERT_TRUE(stream->Read(&f));
  ASSERT_EQ(f.sensor_size(), 17);
  for (const auto& part : f.sensor()) EXPECT_EQ(peak(part), 0) << part.sensor_name();

  ASSERT_TRUE(preset("right_hand", 2).success());
  // Watch the stream until the grip has settled at the default force limit.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline && peak(f.sensor(7)) < 1000) ASSERT_TRUE(stream->Read(&f));
  stream_ctx.TryCancel();
  stream->Finish();

  for (int i : {1, 4, 7, 10, 13}) EXPECT_EQ(peak(f.sensor(i)), 1000) << f.sensor(i).sensor_name();  // finger sections
  for (int i : {2, 5, 8, 11, 15}) EXPECT_EQ(peak(f.sensor(i)), 800) << f.sensor(i).sensor_name();   // pads
  EXPECT_GT(peak(f.sensor(16)), 0);  // palm
  EXPECT_EQ(f.sensor(16).sensor_name(), "palm");

  const auto held = status("right_hand");
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(held.state().hands(i).force(), 1000);
    EXPECT_GT(held.state().hands(i).current(), 0);
    EXPECT_EQ(held.state().hands(i).angle(), 475);  // stopped at the object, stroke 1050
  }

  // The other hand felt nothing.
  grpc::ClientContext ctx;
  api::GetSensorDataCommand_Feedback left;
  ASSERT_TRUE(hand_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>("left_hand"), &left).ok());
  ASSERT_EQ(left.sensor_size(), 17);
  EXPECT_EQ(peak(left.sensor(7)), 0);

  EXPECT_TRUE(preset("right_hand", 1).success());
}

TEST_F(DexHandE2E, AnglesCommandedAsFractionsReachTheHand) {
  ASSERT_TRUE(setParam("left_hand", "object", "off").success());
  auto r = req<api::SetDexHandAnglesCommand_Request>("left_hand");
  auto* v = r.add_values();
  v->set_id(2);
  v->set_value(0.7f);
  grpc::ClientContext ctx;
  api::SetDexHandAnglesCommand_Feedback f;
  ASSERT_TRUE(hand_->SetDexHandAngle(&ctx, r, &f).ok());
  ASSERT_TRUE(f.header().success()) << f.header().error_message();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  auto s = status("left_hand");
  while (std::chrono::steady_clock::now() < deadline && s.state().hands(2).angle() != 700) {
    std::this_thread::sleep_for(20ms);
    s = status("left_hand");
  }
  EXPECT_EQ(s.state().hands(2).angle(), 700);
  EXPECT_EQ(s.state().hands(2).position(), 600);
  EXPECT_EQ(s.state().hands(0).angle(), 1000);  // not named: unchanged
  ASSERT_TRUE(setParam("left_hand", "object", "on").success());
}

TEST_F(DexHandE2E, ErrorPathsAreReachableThroughTheApi) {
  struct Case {
    const char* name;
    std::function<api::CommandHeader_Feedback()> call;
    std::string expected;
  };
  auto angles = [&](const std::string& id, int dof, float value) {
    auto r = req<api::SetDexHandAnglesCommand_Request>(id);
    auto* v = r.add_values();
    v->set_id(dof);
    v->set_value(value);
    grpc::ClientContext ctx;
    api::SetDexHandAnglesCommand_Feedback f;
    hand_->SetDexHandAngle(&ctx, r, &f);
    return f.header();
  };
  auto speeds = [&](int dof, float value) {
    auto r = req<api::SetDexHandSpeedCommand_Request>("right_hand");
    auto* v = r.add_values();
    v->set_id(dof);
    v->set_value(value);
    grpc::ClientContext ctx;
    api::SetDexHandSpeedCommand_Feedback f;
    hand_->SetDexHandSpeed(&ctx, r, &f);
    return f.header();
  };
  auto sensors = [&] {
    grpc::ClientContext ctx;
    api::GetSensorDataCommand_Feedback f;
    hand_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>("right_hand"), &f);
    return f.header();
  };
  const std::vector<Case> cases = {
      {"angle out of range", [&] { return angles("right_hand", 0, 1.5f); },
       "angle 1500 for DOF 0 is outside 0-1000 on hand right_hand"},
      {"negative speed", [&] { return speeds(1, -0.3f); }, "speed -300 for DOF 1 is outside 0-1000"},
      {"DOF id", [&] { return angles("right_hand", 7, 0.5f); }, "DOF id 7 is outside 0-5"},
      {"unknown preset", [&] { return preset("right_hand", 9); }, "preset action 9 is not one of 1-6"},
      {"unknown hand", [&] { return angles("third_hand", 0, 0.5f); }, "Device ID third_hand not found."},
      {"not a hand", [&] { return angles("speaker", 0, 0.5f); }, "Device ID speaker type mismatch."},
      {"injected fault",
       [&] {
         EXPECT_TRUE(setParam("right_hand", "fault", "getSensorData:tactile bus down").success());
         return sensors();
       },
       "tactile bus down"},
      {"bad setting", [&] { return setParam("right_hand", "object_stiffness", "0"); },
       "hand right_hand: setting object_stiffness value '0' is not an integer in 1-1000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto header = c.call();
    EXPECT_FALSE(header.success());
    EXPECT_THAT(header.error_message(), HasSubstr(c.expected));
  }
  EXPECT_TRUE(sensors().success());  // the fault was used up
}

TEST_F(DexHandE2E, InjectedDofErrorsShowInTheStatus) {
  ASSERT_TRUE(setParam("left_hand", "dof_error", "3:6").success());
  const auto s = status("left_hand");
  ASSERT_EQ(s.state().hands_size(), 6);
  EXPECT_EQ(s.state().hands(3).dof_id(), 3);
  EXPECT_EQ(s.state().hands(3).error(), 6);
  ASSERT_EQ(s.state().hands(3).error_message_size(), 2);
  EXPECT_EQ(s.state().hands(3).error_message(0), "over temperature");
  EXPECT_EQ(s.state().hands(3).error_message(1), "over current");
  EXPECT_EQ(s.state().hands(2).error_message_size(), 0);
  ASSERT_TRUE(setParam("left_hand", "dof_error", "3:0").success());
  EXPECT_EQ(status("left_hand").state().hands(3).error(), 0);
}

TEST_F(DexHandE2E, StreamForAnUnknownHandEndsWithoutAMessage) {
  grpc::ClientContext ctx;
  auto stream = hand_->GetSensorDataStream(&ctx);
  ASSERT_TRUE(stream->Write(req<api::GetSensorDataStreamCommand_Request>("no_hand")));
  api::GetSensorDataStreamCommand_Feedback f;
  EXPECT_FALSE(stream->Read(&f));
  EXPECT_TRUE(stream->Finish().ok());
  EXPECT_TRUE(server_->waitStderr("[gRPCDexHandServiceImpl] (GetSensorDataStream): start,id=no_hand"));
}

}  // namespace
