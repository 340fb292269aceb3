// The shared request handling, checked once over RPCs of three services:
// lookup failures, device failures (std and non-std), the INFO line each
// service writes or omits, and the success header.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "service/grpc/include/grpc_microphone_service.h"
#include "service/grpc/include/grpc_speaker_service.h"
#include "service/grpc/include/grpc_system_service.h"
#include "tests/service/audio/fake_devices.h"
#include "tests/support/grpc_test_utils.h"
#include "tests/support/log_capture.h"

namespace {

using namespace tovak::api;
using tovak::device::DeviceManager;
using tovak::test::FakeMicrophone;
using tovak::test::FakeSpeaker;

struct Outcome {
  grpc::Status status;
  CommandHeader_Feedback header;
};

class HandlerTest : public ::testing::Test {
 public:
  HandlerTest()
      : speaker_(std::make_shared<FakeSpeaker>()),
        mic_(std::make_shared<FakeMicrophone>()),
        registry_(DeviceManager::createForTesting({{"spk", speaker_}, {"mic", mic_}})),
        server_({&speaker_svc_, &mic_svc_, &system_svc_}),
        speaker_stub_(SpeakerService::NewStub(server_.channel())),
        mic_stub_(MicPhoneService::NewStub(server_.channel())),
        system_stub_(SystemService::NewStub(server_.channel())) {}

  std::shared_ptr<FakeSpeaker> speaker_;
  std::shared_ptr<FakeMicrophone> mic_;
  DeviceManager& registry_;
  tovak::service::gRPCSpeakerServiceImpl speaker_svc_;
  tovak::service::gRPCMicroPhoneServiceImpl mic_svc_;
  tovak::service::gRPCSystemServiceImpl system_svc_;
  tovak::test::InProcessServer server_;
  std::unique_ptr<SpeakerService::Stub> speaker_stub_;
  std::unique_ptr<MicPhoneService::Stub> mic_stub_;
  std::unique_ptr<SystemService::Stub> system_stub_;
};

// Calls one RPC on `id` and returns its status and feedback header.
template <class Req, class Resp, class Stub, class Method>
Outcome invoke(Stub& stub, Method method, const std::string& id, const std::function<void(Req&)>& fill = {}) {
  Req req;
  req.mutable_header()->set_device_id(id);
  if (fill) fill(req);
  Resp resp;
  grpc::ClientContext ctx;
  Outcome o;
  o.status = (stub.*method)(&ctx, req, &resp);
  o.header = resp.header();
  return o;
}

struct Rpc {
  const char* name;
  const char* log_line;     // INFO line before the id; nullptr: the call logs nothing
  bool speaker;             // device kind it looks up (speaker or microphone); system: neither
  bool system;              // UpdateParams: no kind, so no type mismatch
  const char* device_call;  // what the fake must record on success
  std::function<Outcome(HandlerTest&, const std::string&)> call;
};

std::vector<Rpc> rpcs() {
  using S = SpeakerService::Stub;
  using M = MicPhoneService::Stub;
  return {
      {"Speaker/GetStatus", nullptr, true, false, "getState",
       [](HandlerTest& t, const std::string& id) {
         return invoke<GetSpeakerStateCommand_Request, GetSpeakerStateCommand_Feedback>(*t.speaker_stub_, &S::GetStatus, id);
       }},
      {"Speaker/PlayAudio", "[gRPCSpeakerServiceImpl] (PlayAudio): id=", true, false, "play:/data/a.wav",
       [](HandlerTest& t, const std::string& id) {
         return invoke<PlayAudioCommand_Request, PlayAudioCommand_Feedback>(
             *t.speaker_stub_, &S::PlayAudio, id, [](auto& r) { r.set_audio_path("/data/a.wav"); });
       }},
      {"Speaker/StopPlayback", "[gRPCSpeakerServiceImpl] (StopPlayback): id=", true, false, "stop",
       [](HandlerTest& t, const std::string& id) {
         return invoke<StopSpeakerCommand_Request, StopSpeakerCommand_Feedback>(*t.speaker_stub_, &S::StopPlayback, id);
       }},
      {"Speaker/PausePlayback", "[gRPCSpeakerServiceImpl] (PausePlayback): id=", true, false, "pause",
       [](HandlerTest& t, const std::string& id) {
         return invoke<PauseSpeakerCommand_Request, PauseSpeakerCommand_Feedback>(*t.speaker_stub_, &S::PausePlayback,
                                                                                  id);
       }},
      {"Speaker/ResumePlayback", "[gRPCSpeakerServiceImpl] (ResumePlayback): id=", true, false, "resume",
       [](HandlerTest& t, const std::string& id) {
         return invoke<ResumeSpeakerCommand_Request, ResumeSpeakerCommand_Feedback>(*t.speaker_stub_,
                                                                                    &S::ResumePlayback, id);
       }},
      {"Speaker/SetVolume", "[gRPCSpeakerServiceImpl] (SetVolume): id=", true, false, "setVolume:-7",
       [](HandlerTest& t, const std::string& id) {
         return invoke<SetSpeakerVolumeCommand_Request, SetSpeakerVolumeCommand_Feedback>(
             *t.speaker_stub_, &S::SetVolume, id, [](auto& r) { r.set_volume(-7); });
       }},
      {"Speaker/GetVolume", "[gRPCSpeakerServiceImpl] (GetVolume): id=", true, false, "getVolume",
       [](HandlerTest& t, const std::string& id) {
         return invoke<GetSpeakerVolumeCommand_Request, GetSpeakerVolumeCommand_Feedback>(*t.speaker_stub_,
                                                                                          &S::GetVolume, id);
       }},
      {"Mic/GetStatus", "[gRPCMicroPhoneServiceImpl] (GetStatus): id=", false, false, "getState",
       [](HandlerTest& t, const std::string& id) {
         return invoke<GetMicStateCommand_Request, GetMicStateCommand_Feedback>(*t.mic_stub_, &M::GetStatus, id);
       }},
      {"Mic/StartRecord", "[gRPCMicroPhoneServiceImpl] (StartRecord): id=", false, false, "start",
       [](HandlerTest& t, const std::string& id) {
         return invoke<StartMicRecordingCommand_Request, StartMicRecordingCommand_Feedback>(
             *t.mic_stub_, &M::StartRecord, id, [](auto& r) { r.set_file_path("/data/r.wav"); });
       }},
      {"Mic/StopRecord", "[gRPCMicroPhoneServiceImpl] (StopRecord): id=", false, false, "stopRecording",
       [](HandlerTest& t, const std::string& id) {
         return invoke<StopMicRecordingCommand_Request, StopMicRecordingCommand_Feedback>(*t.mic_stub_,
                                                                                          &M::StopRecord, id);
       }},
      {"Mic/PauseRecord", "[gRPCMicroPhoneServiceImpl] (PauseRecord): id=", false, false, "pause",
       [](HandlerTest& t, const std::string& id) {
         return invoke<PauseMicRecordingCommand_Request, PauseMicRecordingCommand_Feedback>(*t.mic_stub_,
                                                                                            &M::PauseRecord, id);
       }},
      {"Mic/ResumeRecord", "[gRPCMicroPhoneServiceImpl] (ResumeRecord): id=", false, false, "resume",
       [](HandlerTest& t, const std::string& id) {
         return invoke<ResumeMicRecordingCommand_Request, ResumeMicRecordingCommand_Feedback>(*t.mic_stub_,
                                                                                              &M::ResumeRecord, id);
       }},
      {"Mic/SetVolume", "[gRPCMicroPhoneServiceImpl] (SetVolume): id=", false, false, "setVolume:100000",
       [](HandlerTest& t, const std::string& id) {
         return invoke<SetMicPhoneVolumeCommand_Request, SetMicPhoneVolumeCommand_Feedback>(
             *t.mic_stub_, &M::SetVolume, id, [](auto& r) { r.set_volume(100000); });
       }},
      {"Mic/GetVolume", "[gRPCMicroPhoneServiceImpl] (GetVolume): id=", false, false, "getVolume",
       [](HandlerTest& t, const std::string& id) {
         return invoke<GetMicPhoneVolumeCommand_Request, GetMicPhoneVolumeCommand_Feedback>(*t.mic_stub_,
                                                                                            &M::GetVolume, id);
       }},
      {"System/UpdateParams", "[gRPCSystemServiceImpl] (UpdateParams): id=", true, true, "updateParams:gain=7",
       [](HandlerTest& t, const std::string& id) {
         return invoke<UpdateParamsCommand_Request, UpdateParamsCommand_Feedback>(
             *t.system_stub_, &SystemService::Stub::UpdateParams, id, [](auto& r) {
               auto* p = r.add_params();
               p->set_param_name("gain");
               p->set_int_value(7);
             });
       }},
  };
}

void expectStamped(const CommandHeader_Feedback& h) {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  EXPECT_TRUE(h.has_timestamp());
  EXPECT_NEAR(static_cast<double>(h.timestamp().seconds()), static_cast<double>(now), 5.0);
  EXPECT_GE(h.timestamp().nanos(), 0);
  EXPECT_LT(h.timestamp().nanos(), 1'000'000'000);
}

enum class Scenario { kSuccess, kUnknownId, kWrongKind, kStdThrow, kNonStdThrow };

struct ScenarioCase {
  const char* name;
  Scenario scenario;
};

void PrintTo(const ScenarioCase& c, std::ostream* os) { *os << c.name; }

class HandlerTableTest : public HandlerTest, public ::testing::WithParamInterface<ScenarioCase> {};

TEST_P(HandlerTableTest, EveryRpcReportsInItsHeader) {
  const Scenario sc = GetParam().scenario;
  for (const Rpc& rpc : rpcs()) {
    if (sc == Scenario::kWrongKind && rpc.system) continue;  // UpdateParams addresses any kind
    SCOPED_TRACE(rpc.name);
    speaker_->reset();
    mic_->reset();
    tovak::test::CallRecorder& target = rpc.speaker ? static_cast<tovak::test::CallRecorder&>(*speaker_) : *mic_;
    std::string id = rpc.speaker ? "spk" : "mic";
    std::string expected_error;
    switch (sc) {
      case Scenario::kSuccess: break;
      case Scenario::kUnknownId:
        id = "ghost";
        expected_error = "[DeviceManager]: Device ID ghost not found.";
        break;
      case Scenario::kWrongKind:
        id = rpc.speaker ? "mic" : "spk";
        expected_error = "[DeviceManager]: Device ID " + id + " type mismatch.";
        break;
      case Scenario::kStdThrow:
        target.failWith("driver says no");
        expected_error = "driver says no";
        break;
      case Scenario::kNonStdThrow:
        target.failNonStd();
        expected_error = "unknown error";
        break;
    }
    tovak::test::LogCapture log;
    const Outcome o = rpc.call(*this, id);
    EXPECT_TRUE(o.status.ok()) << o.status.error_message();
    EXPECT_EQ(o.header.success(), expected_error.empty());
    EXPECT_EQ(o.header.error_message(), expected_error);
    expectStamped(o.header);
    if (rpc.log_line) {
      EXPECT_EQ(log.count(rpc.log_line + id, google::GLOG_INFO), 1);
    } else {
      EXPECT_EQ(log.count("[gRPCSpeakerServiceImpl]"), 0);
    }
    const auto calls = target.calls();
    if (sc == Scenario::kSuccess || sc == Scenario::kStdThrow || sc == Scenario::kNonStdThrow) {
      ASSERT_FALSE(calls.empty());
      EXPECT_EQ(calls.front(), rpc.device_call);
    } else {
      EXPECT_TRUE(calls.empty()) << "the device is not called when the lookup fails";
      EXPECT_TRUE(speaker_->calls().empty());
      EXPECT_TRUE(mic_->calls().empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HandlerTableTest,
                         ::testing::Values(ScenarioCase{"Success", Scenario::kSuccess},
                                           ScenarioCase{"UnknownId", Scenario::kUnknownId},
                                           ScenarioCase{"WrongKind", Scenario::kWrongKind},
                                           ScenarioCase{"StdException", Scenario::kStdThrow},
                                           ScenarioCase{"NonStdException", Scenario::kNonStdThrow}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
