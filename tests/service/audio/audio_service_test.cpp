// What the speaker and microphone services hand to the device and copy back,
// beyond the shared handling (tests/service/handler).

#include <gtest/gtest.h>

#include <memory>

#include "service/grpc/include/grpc_microphone_service.h"
#include "service/grpc/include/grpc_speaker_service.h"
#include "tests/service/audio/fake_devices.h"
#include "tests/support/grpc_test_utils.h"

namespace {

using namespace tovak::api;
using tovak::device::DeviceManager;
using tovak::test::FakeMicrophone;
using tovak::test::FakeSpeaker;
using Calls = std::vector<std::string>;

class AudioServiceTest : public ::testing::Test {
 protected:
  AudioServiceTest()
      : speaker_(std::make_shared<FakeSpeaker>()),
        mic_(std::make_shared<FakeMicrophone>()),
        registry_(DeviceManager::createForTesting({{"spk", speaker_}, {"mic", mic_}})),
        server_({&speaker_svc_, &mic_svc_}),
        speaker_stub_(SpeakerService::NewStub(server_.channel())),
        mic_stub_(MicPhoneService::NewStub(server_.channel())) {}

  template <class Req>
  static Req request(const std::string& id) {
    Req r;
    r.mutable_header()->set_device_id(id);
    return r;
  }

  std::shared_ptr<FakeSpeaker> speaker_;
  std::shared_ptr<FakeMicrophone> mic_;
  DeviceManager& registry_;
  tovak::service::gRPCSpeakerServiceImpl speaker_svc_;
  tovak::service::gRPCMicroPhoneServiceImpl mic_svc_;
  tovak::test::InProcessServer server_;
  std::unique_ptr<SpeakerService::Stub> speaker_stub_;
  std::unique_ptr<MicPhoneService::Stub> mic_stub_;
};

TEST_F(AudioServiceTest, SpeakerStatusCopiesEveryFieldFromItsNamesake) {
  // Two complementary patterns catch fields copied from the wrong source.
  const tovak::device::SpeakerState patterns[] = {{true, false, true, false, 17}, {false, true, false, true, -3}};
  for (const auto& p : patterns) {
    speaker_->reported = p;
    GetSpeakerStateCommand_Feedback resp;
    grpc::ClientContext ctx;
    ASSERT_TRUE(speaker_stub_->GetStatus(&ctx, request<GetSpeakerStateCommand_Request>("spk"), &resp).ok());
    ASSERT_TRUE(resp.header().success());
    EXPECT_EQ(resp.state().is_initialized(), p.is_initialized);
    EXPECT_EQ(resp.state().is_running(), p.is_running);
    EXPECT_EQ(resp.state().is_decoding(), p.is_decoding);
    EXPECT_EQ(resp.state().is_paused(), p.is_paused);
    EXPECT_EQ(resp.state().volume(), p.volume);
    EXPECT_EQ(resp.state().error_message(), "");
  }
  speaker_->failWith("no state");
  GetSpeakerStateCommand_Feedback resp;
  grpc::ClientContext ctx;
  ASSERT_TRUE(speaker_stub_->GetStatus(&ctx, request<GetSpeakerStateCommand_Request>("spk"), &resp).ok());
  EXPECT_FALSE(resp.header().success());
  EXPECT_FALSE(resp.has_state()) << "a failed GetStatus carries no state";
}

TEST_F(AudioServiceTest, MicrophoneStatusCopiesEveryFieldButIsError) {
  const tovak::device::MicrophoneState patterns[] = {{true, false, true, false, 23, "stale text"},
                                                     {false, true, false, true, 0, ""}};
  for (const auto& p : patterns) {
    mic_->reported = p;
    GetMicStateCommand_Feedback resp;
    grpc::ClientContext ctx;
    ASSERT_TRUE(mic_stub_->GetStatus(&ctx, request<GetMicStateCommand_Request>("mic"), &resp).ok());
    ASSERT_TRUE(resp.header().success());
    EXPECT_EQ(resp.state().is_initialized(), p.is_initialized);
    EXPECT_EQ(resp.state().is_running(), p.is_running);
    EXPECT_EQ(resp.state().is_recording(), p.is_recording);
    EXPECT_EQ(resp.state().volume(), p.volume);
    EXPECT_EQ(resp.state().error_message(), p.error_message) << "reported as the driver left it";
  }
}

TEST_F(AudioServiceTest, VolumesTravelUnchangedBothWays) {
  speaker_->volume_reported = 250;
  mic_->volume_reported = -4;
  GetSpeakerVolumeCommand_Feedback sv;
  GetMicPhoneVolumeCommand_Feedback mv;
  grpc::ClientContext c1, c2;
  ASSERT_TRUE(speaker_stub_->GetVolume(&c1, request<GetSpeakerVolumeCommand_Request>("spk"), &sv).ok());
  ASSERT_TRUE(mic_stub_->GetVolume(&c2, request<GetMicPhoneVolumeCommand_Request>("mic"), &mv).ok());
  EXPECT_EQ(sv.volume(), 250);
  EXPECT_EQ(mv.volume(), -4);

  mic_->failWith("muted");
  GetMicPhoneVolumeCommand_Feedback failed;
  grpc::ClientContext c3;
  ASSERT_TRUE(mic_stub_->GetVolume(&c3, request<GetMicPhoneVolumeCommand_Request>("mic"), &failed).ok());
  EXPECT_FALSE(failed.header().success());
  EXPECT_EQ(failed.volume(), 0) << "a failed GetVolume carries no volume";
}

TEST_F(AudioServiceTest, StopPlaybackIsTheLifecycleStopAndPlayNeedsNoStart) {
  grpc::ClientContext c1, c2, c3;
  StopSpeakerCommand_Feedback stop;
  PlayAudioCommand_Feedback play;
  ASSERT_TRUE(speaker_stub_->StopPlayback(&c1, request<StopSpeakerCommand_Request>("spk"), &stop).ok());
  auto req = request<PlayAudioCommand_Request>("spk");
  req.set_audio_path("/srv/sounds/hello.ogg");
  ASSERT_TRUE(speaker_stub_->PlayAudio(&c2, req, &play).ok());
  req.set_audio_path("");
  ASSERT_TRUE(speaker_stub_->PlayAudio(&c3, req, &play).ok());
  EXPECT_EQ(speaker_->calls(), (Calls{"stop", "play:/srv/sounds/hello.ogg", "play:"}));
}

TEST_F(AudioServiceTest, StartRecordStartsFirstAndStopRecordOnlyStopsTheRecording) {
  struct Case {
    const char* failing_call;  // nullptr: none
    Calls expected;
    bool success;
  } cases[] = {
      {nullptr, {"start", "startRecording:/rec/a.wav"}, true},
      {"start", {"start"}, false},  // a failing start skips the recording
      {"startRecording:/rec/a.wav", {"start", "startRecording:/rec/a.wav"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing_call ? c.failing_call : "none");
    mic_->reset();
    if (c.failing_call) mic_->failCall(c.failing_call, "refused");
    auto req = request<StartMicRecordingCommand_Request>("mic");
    req.set_file_path("/rec/a.wav");
    StartMicRecordingCommand_Feedback resp;
    grpc::ClientContext ctx;
    ASSERT_TRUE(mic_stub_->StartRecord(&ctx, req, &resp).ok());
    EXPECT_EQ(resp.header().success(), c.success);
    EXPECT_EQ(resp.header().error_message(), c.success ? "" : "refused");
    EXPECT_EQ(mic_->calls(), c.expected);
  }
  mic_->reset();
  StopMicRecordingCommand_Feedback stop;
  StartMicRecordingCommand_Feedback start;
  grpc::ClientContext c1, c2;
  ASSERT_TRUE(mic_stub_->StopRecord(&c1, request<StopMicRecordingCommand_Request>("mic"), &stop).ok());
  ASSERT_TRUE(mic_stub_->StartRecord(&c2, request<StartMicRecordingCommand_Request>("mic"), &start).ok());
  EXPECT_EQ(mic_->calls(), (Calls{"stopRecording", "start", "startRecording:"}));
}

}  // namespace
