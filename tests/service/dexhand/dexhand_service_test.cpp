#include <gmock/gmock.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device_manager/include/device_manager.h"
#include "devices/dexhand/abstract_dexhand.h"
#include "drivers/rh56dftp_dexhand/include/rh56dftp_dexhand.h"
#include "service/grpc/include/grpc_dexhand_service.h"
#include "tests/support/grpc_test_utils.h"
#include "tests/support/log_capture.h"
#include "tovak/api/dexhand_service.grpc.pb.h"

namespace tovak::service {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using tovak::device::AbstractDexHand;
using tovak::device::DexHandState;
using tovak::device::HandTactileSensors;
using tovak::device::TactilePoint;
namespace api = tovak::api;

struct NonStd {};

// Records what the service hands to the hand; reports what a test sets.
class RecordingHand : public AbstractDexHand {
 public:
  struct Call {
    std::string op;
    std::vector<int> values;
  };

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lk(mtx_);
    return calls_;
  }
  void throwOn(const std::string& op, std::optional<std::string> text) {
    std::lock_guard<std::mutex> lk(mtx_);
    throw_op_ = op;
    throw_text_ = std::move(text);
  }

  DexHandState reported;
  HandTactileSensors sensors;
  std::atomic<int> snapshots{0};
  // sensorSnapshot throws from this call number on (0: never).
  std::atomic<int> fail_snapshot_from{0};
  std::atomic<bool> stamp_readings{true};

  void getState(DexHandState& s) override {
    record("getState", {});
    s = reported;
  }
  void setPositions(const std::vector<int>& v) override { record("setPositions", v); }
  void setAngles(const std::vector<int>& v) override { record("setAngles", v); }
  void setVelocities(const std::vector<int>& v) override { record("setVelocities", v); }
  void setPresetAct(int act) override { record("setPresetAct", {act}); }
  void execPresetAct(int act) override { record("execPresetAct", {act}); }
  void setForce(const std::vector<int>& v) override { record("setForce", v); }
  HandTactileSensors& getSensorData() override { return sensors; }
  // Every reading of a copy carries the copy's number, so a response built
  // from more than one copy shows it.
  HandTactileSensors sensorSnapshot() override {
    const int n = ++snapshots;
    if (fail_snapshot_from > 0 && n >= fail_snapshot_from) throw std::runtime_error("tactile bus lost");
    HandTactileSensors copy = sensors;
    if (!stamp_readings) return copy;
    auto stamp = [n](auto& part) {
      for (auto& row : part.data) {
        for (auto& v : row) v = static_cast<TactilePoint>(n);
      }
    };
    for (auto* f : {&copy.pinky, &copy.ring, &copy.middle, &copy.index}) {
      stamp(f->tip);
      stamp(f->finger);
      stamp(f->pad);
    }
    stamp(copy.thumb.tip);
    stamp(copy.thumb.finger);
    stamp(copy.thumb.middle);
    stamp(copy.thumb.pad);
    stamp(copy.palm);
    return copy;
  }

 private:
  void record(const std::string& op, std::vector<int> v) {
    std::unique_lock<std::mutex> lk(mtx_);
    if (op == throw_op_ && throw_text_) {
      const std::string text = *throw_text_;
      lk.unlock();
      if (text == "!nonstd") throw NonStd{};
      throw std::runtime_error(text);
    }
    calls_.push_back({op, std::move(v)});
  }

  std::mutex mtx_;
  std::vector<Call> calls_;
  std::string throw_op_;
  std::optional<std::string> throw_text_;
};

class DexHandServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hand_ = std::make_shared<RecordingHand>();
    hand_->sensors.init();
    tovak::device::DeviceManager::createForTesting({{"hand", hand_}});
    service_ = std::make_unique<gRPCDexHandServiceImpl>();
    server_ = std::make_unique<tovak::test::InProcessServer>(std::vector<grpc::Service*>{service_.get()});
    stub_ = api::DexHandService::NewStub(server_->channel());
  }
  void TearDown() override {
    stub_.reset();
    server_.reset();
    service_.reset();
  }

  template <class Request>
  static Request req(const std::string& id = "hand") {
    Request r;
    r.mutable_header()->set_device_id(id);
    return r;
  }

  std::shared_ptr<RecordingHand> hand_;
  std::unique_ptr<gRPCDexHandServiceImpl> service_;
  std::unique_ptr<tovak::test::InProcessServer> server_;
  std::unique_ptr<api::DexHandService::Stub> stub_;
};

enum class Rpc { kPos, kAngle, kForce, kSpeed };

struct ScaleCase {
  const char* name;
  Rpc rpc;
  std::vector<std::pair<int, float>> values;
  std::vector<int> expected;  // empty: the call fails
  std::string error;
};

TEST_F(DexHandServiceTest, CommandedValuesAreScaledInSinglePrecision) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<ScaleCase> cases = {
      {"0.7 x 1000 is 700 in float", Rpc::kAngle, {{2, 0.7f}}, {-1, -1, 700, -1, -1, -1}, ""},
      {"0.0005 x 2000", Rpc::kPos, {{0, 0.0005f}}, {1, -1, -1, -1, -1, -1}, ""},
      {"negative speed", Rpc::kSpeed, {{1, -0.3f}}, {-1, -300, -1, -1, -1, -1}, ""},
      {"no values", Rpc::kForce, {}, {-1, -1, -1, -1, -1, -1}, ""},
      {"full scale", Rpc::kForce, {{5, 1.0f}, {0, 0.5f}}, {1500, -1, -1, -1, -1, 3000}, ""},
      {"toward zero", Rpc::kAngle, {{0, 0.12345f}, {1, -0.12345f}}, {123, -123, -1, -1, -1, -1}, ""},
      {"later value wins", Rpc::kPos, {{3, 0.2f}, {4, 0.1f}, {3, 0.9f}}, {-1, -1, -1, 1800, 200, -1}, ""},
      {"largest that fits", Rpc::kSpeed, {{1, 2147483.0f}}, {-1, 2147483008, -1, -1, -1, -1}, ""},
      {"id 6", Rpc::kAngle, {{0, 0.5f}, {6, 0.5f}}, {}, "DOF id 6 is outside 0-5"},
      {"id -1", Rpc::kPos, {{-1, 0.5f}}, {}, "DOF id -1 is outside 0-5"},
      {"NaN", Rpc::kAngle, {{0, 0.5f}, {2, nan}}, {}, "value nan for DOF 2 is not a finite number"},
      {"infinity", Rpc::kSpeed, {{1, -inf}}, {}, "value -inf for DOF 1 is not a finite number"},
      {"huge", Rpc::kForce, {{0, 1e6f}}, {}, "value 1e+06 for DOF 0 times 3000 does not fit an int"},
      {"just too big", Rpc::kSpeed, {{1, 2147484.0f}}, {}, "DOF 1 times 1000 does not fit an int"},
      {"product overflows float", Rpc::kPos, {{5, 3e38f}}, {}, "value 3e+38 for DOF 5 times 2000 does not fit an int"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = hand_->calls().size();
    grpc::ClientContext ctx;
    grpc::Status status;
    api::CommandHeader_Feedback header;
    std::string op;
    auto fill = [&](auto& request) {
      for (const auto& [id, value] : c.values) {
        auto* v = request.add_values();
        v->set_id(id);
        v->set_value(value);
      }
    };
    switch (c.rpc) {
      case Rpc::kPos: {
        auto r = req<api::SetDexHandPositionsCommand_Request>();
        fill(r);
        api::SetDexHandPositionsCommand_Feedback f;
        status = stub_->SetDexHandPos(&ctx, r, &f);
        header = f.header();
        op = "setPositions";
        break;
      }
      case Rpc::kAngle: {
        auto r = req<api::SetDexHandAnglesCommand_Request>();
        fill(r);
        api::SetDexHandAnglesCommand_Feedback f;
        status = stub_->SetDexHandAngle(&ctx, r, &f);
        header = f.header();
        op = "setAngles";
        break;
      }
      case Rpc::kForce: {
        auto r = req<api::SetDexHandForceCommand_Request>();
        fill(r);
        api::SetDexHandForceCommand_Feedback f;
        status = stub_->SetDexHandForce(&ctx, r, &f);
        header = f.header();
        op = "setForce";
        break;
      }
      case Rpc::kSpeed: {
        auto r = req<api::SetDexHandSpeedCommand_Request>();
        fill(r);
        api::SetDexHandSpeedCommand_Feedback f;
        status = stub_->SetDexHandSpeed(&ctx, r, &f);
        header = f.header();
        op = "setVelocities";
        break;
      }
    }
    ASSERT_TRUE(status.ok());
    EXPECT_TRUE(header.has_timestamp());
    const auto calls = hand_->calls();
    if (c.error.empty()) {
      EXPECT_TRUE(header.success()) << header.error_message();
      ASSERT_EQ(calls.size(), before + 1);
      EXPECT_EQ(calls.back().op, op);
      EXPECT_EQ(calls.back().values, c.expected);
    } else {
      EXPECT_FALSE(header.success());
      EXPECT_THAT(header.error_message(), HasSubstr(c.error));
      EXPECT_EQ(calls.size(), before) << "the hand must receive nothing";
    }
  }
}

TEST_F(DexHandServiceTest, EveryUnaryCallLogsItsLineAndReportsLookupFailures) {
  using Call = std::function<api::CommandHeader_Feedback(const std::string& id)>;
  const std::vector<std::pair<std::string, Call>> calls = {
      {"GetStatus",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::GetDexHandStateCommand_Feedback f;
         stub_->GetStatus(&ctx, req<api::GetDexHandStateCommand_Request>(id), &f);
         return f.header();
       }},
      {"SetDexHandPos",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::SetDexHandPositionsCommand_Feedback f;
         stub_->SetDexHandPos(&ctx, req<api::SetDexHandPositionsCommand_Request>(id), &f);
         return f.header();
       }},
      {"SetDexHandAngle",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::SetDexHandAnglesCommand_Feedback f;
         stub_->SetDexHandAngle(&ctx, req<api::SetDexHandAnglesCommand_Request>(id), &f);
         return f.header();
       }},
      {"SetDexHandForce",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::SetDexHandForceCommand_Feedback f;
         stub_->SetDexHandForce(&ctx, req<api::SetDexHandForceCommand_Request>(id), &f);
         return f.header();
       }},
      {"SetDexHandSpeed",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::SetDexHandSpeedCommand_Feedback f;
         stub_->SetDexHandSpeed(&ctx, req<api::SetDexHandSpeedCommand_Request>(id), &f);
         return f.header();
       }},
      {"SetDexHandPresetAct",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::SetDexHandPresetActCommand_Feedback f;
         stub_->SetDexHandPresetAct(&ctx, req<api::SetDexHandPresetActCommand_Request>(id), &f);
         return f.header();
       }},
      {"GetSensorData",
       [&](const std::string& id) {
         grpc::ClientContext ctx;
         api::GetSensorDataCommand_Feedback f;
         stub_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>(id), &f);
         return f.header();
       }},
  };
  for (const auto& [rpc, call] : calls) {
    SCOPED_TRACE(rpc);
    tovak::test::LogCapture log;
    const auto ok = call("hand");
    EXPECT_TRUE(ok.success()) << ok.error_message();
    EXPECT_EQ(log.count("[gRPCDexHandServiceImpl] (" + rpc + "): id=hand", google::GLOG_INFO), 1);

    const auto missing = call("nope");
    EXPECT_FALSE(missing.success());
    EXPECT_EQ(missing.error_message(), "[DeviceManager]: Device ID nope not found.");
    EXPECT_TRUE(missing.has_timestamp());
    EXPECT_EQ(log.count("[gRPCDexHandServiceImpl] (" + rpc + "): id=nope", google::GLOG_INFO), 1);
  }
}

TEST_F(DexHandServiceTest, HandFailuresReachTheFeedbackHeader) {
  hand_->throwOn("setAngles", "finger jammed");
  {
    grpc::ClientContext ctx;
    api::SetDexHandAnglesCommand_Feedback f;
    ASSERT_TRUE(stub_->SetDexHandAngle(&ctx, req<api::SetDexHandAnglesCommand_Request>(), &f).ok());
    EXPECT_FALSE(f.header().success());
    EXPECT_EQ(f.header().error_message(), "finger jammed");
  }
  hand_->throwOn("getState", "!nonstd");
  {
    grpc::ClientContext ctx;
    api::GetDexHandStateCommand_Feedback f;
    ASSERT_TRUE(stub_->GetStatus(&ctx, req<api::GetDexHandStateCommand_Request>(), &f).ok());
    EXPECT_FALSE(f.header().success());
    EXPECT_EQ(f.header().error_message(), "unknown error");
  }
  hand_->fail_snapshot_from = 1;
  {
    grpc::ClientContext ctx;
    api::GetSensorDataCommand_Feedback f;
    ASSERT_TRUE(stub_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>(), &f).ok());
    EXPECT_FALSE(f.header().success());
    EXPECT_EQ(f.header().error_message(), "tactile bus lost");
    EXPECT_EQ(f.sensor_size(), 0);
  }
}

TEST_F(DexHandServiceTest, GetStatusSendsSixEntriesFieldByField) {
  hand_->reported.is_initialized = true;
  for (int i = 0; i < 6; ++i) {
    auto& d = hand_->reported.hands[static_cast<size_t>(i)];
    d.angle = 100 * i + 1;
    d.speed = 100 * i + 2;
    d.force = 100 * i + 3;
    d.position = 100 * i + 4;
    d.current = 100 * i + 5;
    d.temperature = 100 * i + 6;
    d.error = 100 * i + 7;
  }
  hand_->reported.hands[3].error_message = {"over temperature", "locked rotor"};
  grpc::ClientContext ctx;
  api::GetDexHandStateCommand_Feedback f;
  ASSERT_TRUE(stub_->GetStatus(&ctx, req<api::GetDexHandStateCommand_Request>(), &f).ok());
  ASSERT_TRUE(f.header().success());
  EXPECT_TRUE(f.state().is_initialized());
  ASSERT_EQ(f.state().hands_size(), 6);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const auto& s = f.state().hands(i);
    EXPECT_EQ(s.dof_id(), i);
    EXPECT_EQ(s.angle(), 100 * i + 1);
    EXPECT_EQ(s.speed(), 100 * i + 2);
    EXPECT_EQ(s.force(), 100 * i + 3);
    EXPECT_EQ(s.position(), 100 * i + 4);
    EXPECT_EQ(s.current(), 100 * i + 5);
    EXPECT_EQ(s.temperature(), 100 * i + 6);
    EXPECT_EQ(s.error(), 100 * i + 7);
    if (i == 3) {
      ASSERT_EQ(s.error_message_size(), 2);
      EXPECT_EQ(s.error_message(0), "over temperature");
      EXPECT_EQ(s.error_message(1), "locked rotor");
    } else {
      EXPECT_EQ(s.error_message_size(), 0);
    }
  }
}

TEST_F(DexHandServiceTest, PresetActSelectsTheActionWithoutExecutingIt) {
  auto r = req<api::SetDexHandPresetActCommand_Request>();
  r.set_presetactid(4);
  grpc::ClientContext ctx;
  api::SetDexHandPresetActCommand_Feedback f;
  ASSERT_TRUE(stub_->SetDexHandPresetAct(&ctx, r, &f).ok());
  EXPECT_TRUE(f.header().success());
  const auto calls = hand_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].op, "setPresetAct");
  EXPECT_EQ(calls[0].values, std::vector<int>{4});
}

struct PartRow {
  api::SensorData::FingerType finger;
  api::SensorData::PartType part;
  const char* name;
  int rows;
  int cols;
};

// The API's fixed order, with the shapes the recording hand stores.
const std::vector<PartRow> kOrder = {
    {api::SensorData::PINKY, api::SensorData::TIP, "pinky_tip", 3, 3},
    {api::SensorData::PINKY, api::SensorData::FINGER, "pinky_finger", 12, 8},
    {api::SensorData::PINKY, api::SensorData::PAD, "pinky_pad", 10, 8},
    {api::SensorData::RING, api::SensorData::TIP, "ring_tip", 3, 3},
    {api::SensorData::RING, api::SensorData::FINGER, "ring_finger", 12, 8},
    {api::SensorData::RING, api::SensorData::PAD, "ring_pad", 10, 8},
    {api::SensorData::MIDDLE_FINGER, api::SensorData::TIP, "middle_tip", 3, 3},
    {api::SensorData::MIDDLE_FINGER, api::SensorData::FINGER, "middle_finger", 12, 8},
    {api::SensorData::MIDDLE_FINGER, api::SensorData::PAD, "middle_pad", 10, 8},
    {api::SensorData::INDEX, api::SensorData::TIP, "index_tip", 3, 3},
    {api::SensorData::INDEX, api::SensorData::FINGER, "index_finger", 12, 8},
    {api::SensorData::INDEX, api::SensorData::PAD, "index_pad", 10, 8},
    {api::SensorData::THUMB, api::SensorData::TIP, "thumb_tip", 3, 3},
    {api::SensorData::THUMB, api::SensorData::FINGER, "thumb_finger", 12, 8},
    {api::SensorData::THUMB, api::SensorData::THUMB_MIDDLE, "thumb_middle", 3, 3},
    {api::SensorData::THUMB, api::SensorData::PAD, "thumb_pad", 12, 8},
    {api::SensorData::PALM, api::SensorData::PALM_PAD, "palm", 8, 14},
};

// Checks the 17 entries against the order table; all readings must equal `stamp`.
void expectSeventeenInOrder(const google::protobuf::RepeatedPtrField<api::SensorData>& sensors, int stamp) {
  ASSERT_EQ(sensors.size(), 17);
  for (int i = 0; i < 17; ++i) {
    SCOPED_TRACE(kOrder[static_cast<size_t>(i)].name);
    const auto& e = sensors.Get(i);
    const auto& row = kOrder[static_cast<size_t>(i)];
    EXPECT_EQ(e.finger_type(), row.finger);
    EXPECT_EQ(e.part_type(), row.part);
    EXPECT_EQ(e.sensor_name(), row.name);
    EXPECT_EQ(e.rows(), row.rows);
    EXPECT_EQ(e.cols(), row.cols);
    ASSERT_EQ(e.data_size(), row.rows);
    for (const auto& r : e.data()) {
      ASSERT_EQ(r.values_size(), row.cols);
      for (int v : r.values()) ASSERT_EQ(v, stamp);
    }
  }
}

TEST_F(DexHandServiceTest, SensorDataComesFromOneCopyInTheFixedOrder) {
  for (int call = 1; call <= 2; ++call) {
    grpc::ClientContext ctx;
    api::GetSensorDataCommand_Feedback f;
    ASSERT_TRUE(stub_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>(), &f).ok());
    ASSERT_TRUE(f.header().success());
    expectSeventeenInOrder(f.sensor(), call);
  }
  EXPECT_EQ(hand_->snapshots.load(), 2);
}

TEST_F(DexHandServiceTest, PartsAreSentAsStoredEvenWhenEmptyOrInconsistent) {
  // An empty part keeps its stored shape; a 16-bit reading is widened, not
  // sign-extended; rows and cols are not checked against the data.
  hand_->stamp_readings = false;
  hand_->sensors.ring.pad.data.clear();
  hand_->sensors.palm.rows = 5;
  hand_->sensors.palm.data.resize(2);
  hand_->sensors.palm.data[1][13] = 65535;
  grpc::ClientContext ctx;
  api::GetSensorDataCommand_Feedback f;
  ASSERT_TRUE(stub_->GetSensorData(&ctx, req<api::GetSensorDataCommand_Request>(), &f).ok());
  ASSERT_EQ(f.sensor_size(), 17);
  const auto& ring_pad = f.sensor(5);
  EXPECT_EQ(ring_pad.sensor_name(), "ring_pad");
  EXPECT_EQ(ring_pad.data_size(), 0);
  EXPECT_EQ(ring_pad.rows(), 10);
  EXPECT_EQ(ring_pad.cols(), 8);
  const auto& palm = f.sensor(16);
  EXPECT_EQ(palm.rows(), 5);
  EXPECT_EQ(palm.cols(), 14);
  ASSERT_EQ(palm.data_size(), 2);
  EXPECT_EQ(palm.data(1).values(13), 65535);
}

using StreamClient = grpc::ClientReaderWriter<api::GetSensorDataStreamCommand_Request,
                                              api::GetSensorDataStreamCommand_Feedback>;

// Waits until `done` holds; false on timeout.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST_F(DexHandServiceTest, StreamWritesAboutThirtyMessagesASecondUntilCancelled) {
  tovak::test::LogCapture log;
  grpc::ClientContext ctx;
  auto stream = stub_->GetSensorDataStream(&ctx);
  ASSERT_TRUE(stream->Write(req<api::GetSensorDataStreamCommand_Request>()));
  api::GetSensorDataStreamCommand_Feedback f;
  ASSERT_TRUE(stream->Read(&f));
  const auto start = std::chrono::steady_clock::now();
  int messages = 0;
  int last_stamp = 0;
  while (std::chrono::steady_clock::now() - start < 1s) {
    ASSERT_TRUE(stream->Read(&f));
    ++messages;
    EXPECT_FALSE(f.has_header());
    ASSERT_EQ(f.sensor_size(), 17);
    // Each message is one fresh copy.
    const int stamp = f.sensor(0).data(0).values(0);
    EXPECT_GT(stamp, last_stamp);
    last_stamp = stamp;
    expectSeventeenInOrder(f.sensor(), stamp);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("tactile stream: %d messages in %.3f s (%.1f per second)\n", messages, seconds, messages / seconds);
  // 33 ms between writes: a little under 30 per second. Loose bounds.
  EXPECT_GE(messages, 10);
  EXPECT_LE(messages, 32);
  EXPECT_EQ(log.count("[gRPCDexHandServiceImpl] (GetSensorDataStream): start,id=hand", google::GLOG_INFO), 1);

  // The stream held the hand; after the cancel it lets go and copies no more.
  EXPECT_GT(hand_.use_count(), 2);
  ctx.TryCancel();
  EXPECT_TRUE(eventually([&] { return hand_.use_count() == 2; }));  // this test + the registry
  const int copies = hand_->snapshots.load();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(hand_->snapshots.load(), copies);
  // Whichever the handler noticed first, the cancel or the failed write, it says so.
  EXPECT_EQ(log.count("(GetSensorDataStream): cancelled,id=hand") + log.count("(stream->Write) failed,id=hand"), 1);
  stream->Finish();
}

TEST_F(DexHandServiceTest, StreamWithAnUnknownIdEndsWithoutWriting) {
  tovak::test::LogCapture log;
  grpc::ClientContext ctx;
  auto stream = stub_->GetSensorDataStream(&ctx);
  ASSERT_TRUE(stream->Write(req<api::GetSensorDataStreamCommand_Request>("nope")));
  api::GetSensorDataStreamCommand_Feedback f;
  EXPECT_FALSE(stream->Read(&f));
  EXPECT_TRUE(stream->Finish().ok());
  EXPECT_EQ(log.count("[gRPCDexHandServiceImpl] (GetSensorDataStream): start,id=nope", google::GLOG_INFO), 1);
  EXPECT_EQ(log.count("[DeviceManager]: Device ID nope not found.", google::GLOG_WARNING), 1);
  EXPECT_EQ(hand_->snapshots.load(), 0);
}

TEST_F(DexHandServiceTest, StreamWithoutAFirstRequestEndsWithoutWriting) {
  tovak::test::LogCapture log;
  grpc::ClientContext ctx;
  auto stream = stub_->GetSensorDataStream(&ctx);
  stream->WritesDone();
  api::GetSensorDataStreamCommand_Feedback f;
  EXPECT_FALSE(stream->Read(&f));
  EXPECT_TRUE(stream->Finish().ok());
  EXPECT_TRUE(log.contains("(GetSensorDataStream): start,id="));
  EXPECT_TRUE(log.contains("[DeviceManager]: Device ID  not found."));
}

TEST_F(DexHandServiceTest, StreamEndsWhenTheHandThrows) {
  hand_->fail_snapshot_from = 4;
  grpc::ClientContext ctx;
  auto stream = stub_->GetSensorDataStream(&ctx);
  ASSERT_TRUE(stream->Write(req<api::GetSensorDataStreamCommand_Request>()));
  api::GetSensorDataStreamCommand_Feedback f;
  int messages = 0;
  while (stream->Read(&f)) {
    ++messages;
    EXPECT_FALSE(f.has_header());  // no error message on the stream
  }
  EXPECT_EQ(messages, 3);
  EXPECT_TRUE(stream->Finish().ok());
}

// The simulated hand behind the real service: streams copy its readings while
// its thread refreshes them (run under ThreadSanitizer), and closing the hand
// on its object shows up in the stream.
TEST(DexHandServiceWithSimulatedHand, StreamsFollowTheHandClosingOnTheObject) {
  tovak::config::RH56DFTPDexHandConfig cfg;
  cfg.set_id("right_hand");
  cfg.set_update_rate_hz(200);
  auto hand = std::make_shared<tovak::device::RH56DFTPDexhand>(cfg);
  hand->init();
  tovak::device::DeviceManager::createForTesting({{"right_hand", hand}});
  gRPCDexHandServiceImpl service;
  tovak::test::InProcessServer server({&service});
  auto stub = api::DexHandService::NewStub(server.channel());

  auto watch = [&](std::atomic<int>& peak_seen) {
    grpc::ClientContext ctx;
    auto stream = stub->GetSensorDataStream(&ctx);
    api::GetSensorDataStreamCommand_Request r;
    r.mutable_header()->set_device_id("right_hand");
    stream->Write(r);
    api::GetSensorDataStreamCommand_Feedback f;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline && stream->Read(&f)) {
      int peak = 0;
      for (const auto& row : f.sensor(7).data()) {  // middle_finger
        for (int v : row.values()) peak = std::max(peak, v);
      }
      peak_seen = peak;
      if (peak >= 1000) break;
    }
    ctx.TryCancel();
    stream->Finish();
  };
  std::atomic<int> peak_a{0};
  std::atomic<int> peak_b{0};
  std::thread a(watch, std::ref(peak_a));
  std::thread b(watch, std::ref(peak_b));
  std::this_thread::sleep_for(100ms);
  {
    grpc::ClientContext ctx;
    api::SetDexHandPresetActCommand_Request r;
    r.mutable_header()->set_device_id("right_hand");
    r.set_presetactid(2);
    api::SetDexHandPresetActCommand_Feedback f;
    ASSERT_TRUE(stub->SetDexHandPresetAct(&ctx, r, &f).ok());
    EXPECT_TRUE(f.header().success()) << f.header().error_message();
  }
  a.join();
  b.join();
  // Default force limit 1000 gf: the middle finger section reads 1000 at its centre.
  EXPECT_EQ(peak_a.load(), 1000);
  EXPECT_EQ(peak_b.load(), 1000);

  grpc::ClientContext ctx;
  api::GetDexHandStateCommand_Request r;
  r.mutable_header()->set_device_id("right_hand");
  api::GetDexHandStateCommand_Feedback f;
  ASSERT_TRUE(stub->GetStatus(&ctx, r, &f).ok());
  EXPECT_EQ(f.state().hands(2).force(), 1000);
  EXPECT_GT(f.state().hands(2).current(), 0);
}

}  // namespace
}  // namespace tovak::service
