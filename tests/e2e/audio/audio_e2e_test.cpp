// The speaker, microphone and system services through the real tovak_es:
// real files played and recorded, the error texts a client sees, the log
// lines on standard error.

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/grpc_test_utils.h"
#include "tests/support/server_process.h"
#include "tests/unit/audio/audio_files.h"
#include "tovak/api/microphone_service.grpc.pb.h"
#include "tovak/api/speaker_service.grpc.pb.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace {

using namespace tovak::api;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Only the audio devices: this test does not depend on the other drivers.
tovak::test::TestConfig audioOnly() {
  tovak::test::TestConfig cfg;
  cfg.robot = "";
  cfg.biohead = "";
  cfg.cameras = "";
  cfg.hands = "";
  cfg.monitors = "";
  return cfg;
}

class AudioEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<tovak::test::ServerProcess>(audioOnly());
    ASSERT_TRUE(server_->waitListening()) << server_->err();
    auto channel = tovak::test::makeChannel(server_->port());
    speaker_ = SpeakerService::NewStub(channel);
    mic_ = MicPhoneService::NewStub(channel);
    system_ = SystemService::NewStub(channel);
    files_ = tovak::test::makeTempDir("audio_e2e_");
  }
  void TearDown() override {
    server_->stop();
    tovak::test::removeTree(files_);
  }

  template <class Req>
  static Req req(const std::string& id) {
    Req r;
    r.mutable_header()->set_device_id(id);
    return r;
  }
  // Calls `method` with `request` and returns the response (status must be OK).
  template <class Resp, class Stub, class Method, class Req>
  static Resp call(Stub& stub, Method method, const Req& request) {
    grpc::ClientContext ctx;
    ctx.set_deadline(std::chrono::system_clock::now() + 10s);
    Resp resp;
    const grpc::Status st = (stub.*method)(&ctx, request, &resp);
    EXPECT_TRUE(st.ok()) << st.error_message();
    return resp;
  }

  SpeakerState speakerState() {
    auto r = call<GetSpeakerStateCommand_Feedback>(*speaker_, &SpeakerService::Stub::GetStatus,
                                                   req<GetSpeakerStateCommand_Request>("speaker"));
    EXPECT_TRUE(r.header().success()) << r.header().error_message();
    return r.state();
  }
  MicState micState() {
    auto r = call<GetMicStateCommand_Feedback>(*mic_, &MicPhoneService::Stub::GetStatus,
                                               req<GetMicStateCommand_Request>("microphone"));
    EXPECT_TRUE(r.header().success()) << r.header().error_message();
    return r.state();
  }
  CommandHeader_Feedback play(const std::string& path) {
    auto r = req<PlayAudioCommand_Request>("speaker");
    r.set_audio_path(path);
    return call<PlayAudioCommand_Feedback>(*speaker_, &SpeakerService::Stub::PlayAudio, r).header();
  }
  CommandHeader_Feedback startRecord(const std::string& path) {
    auto r = req<StartMicRecordingCommand_Request>("microphone");
    r.set_file_path(path);
    return call<StartMicRecordingCommand_Feedback>(*mic_, &MicPhoneService::Stub::StartRecord, r).header();
  }
  CommandHeader_Feedback updateParam(const std::string& id, const std::string& name, const std::string& value) {
    auto r = req<UpdateParamsCommand_Request>(id);
    auto* p = r.add_params();
    p->set_param_name(name);
    p->set_string_value(value);
    return call<UpdateParamsCommand_Feedback>(*system_, &SystemService::Stub::UpdateParams, r).header();
  }

  std::unique_ptr<tovak::test::ServerProcess> server_;
  std::unique_ptr<SpeakerService::Stub> speaker_;
  std::unique_ptr<MicPhoneService::Stub> mic_;
  std::unique_ptr<SystemService::Stub> system_;
  std::string files_;
};

TEST_F(AudioEndToEnd, PlaysAFileDecodingPausedDecodingThenDone) {
  const std::string path = files_ + "/hello.wav";
  tovak::test::writeWav(path, 1.0, 44100, 2);

  const auto t0 = Clock::now();
  const auto played = play(path);
  ASSERT_TRUE(played.success()) << played.error_message();
  SpeakerState st = speakerState();
  EXPECT_TRUE(st.is_initialized());
  EXPECT_TRUE(st.is_decoding());
  EXPECT_FALSE(st.is_paused());
  EXPECT_EQ(st.volume(), 80);

  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(call<PauseSpeakerCommand_Feedback>(*speaker_, &SpeakerService::Stub::PausePlayback,
                                                 req<PauseSpeakerCommand_Request>("speaker"))
                  .header()
                  .success());
  st = speakerState();
  EXPECT_TRUE(st.is_decoding());
  EXPECT_TRUE(st.is_paused());
  std::this_thread::sleep_for(1000ms);
  st = speakerState();
  EXPECT_TRUE(st.is_decoding()) << "a paused file does not run out";
  EXPECT_TRUE(st.is_paused());

  EXPECT_TRUE(call<ResumeSpeakerCommand_Feedback>(*speaker_, &SpeakerService::Stub::ResumePlayback,
                                                  req<ResumeSpeakerCommand_Request>("speaker"))
                  .header()
                  .success());
  st = speakerState();
  EXPECT_TRUE(st.is_decoding());
  EXPECT_FALSE(st.is_paused());

  // The rest of the file (about 0.8 s) plays, then decoding ends by itself.
  while (speakerState().is_decoding() && Clock::now() - t0 < 10s) std::this_thread::sleep_for(20ms);
  const double took = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_FALSE(speakerState().is_decoding());
  EXPECT_GE(took, 1.9) << "1 s of audio plus 1 s of pause";
  EXPECT_LT(took, 6.0);

  // The log shows the calls, except the status polls.
  EXPECT_TRUE(server_->waitStderr("[gRPCSpeakerServiceImpl] (ResumePlayback): id=speaker"));
  const std::string err = server_->err();
  EXPECT_NE(err.find("[gRPCSpeakerServiceImpl] (PlayAudio): id=speaker"), std::string::npos);
  EXPECT_NE(err.find("[gRPCSpeakerServiceImpl] (PausePlayback): id=speaker"), std::string::npos);
  EXPECT_EQ(err.find("[gRPCSpeakerServiceImpl] (GetStatus)"), std::string::npos);

  // StopPlayback ends a playback; the next PlayAudio needs no start.
  ASSERT_TRUE(play(path).success());
  EXPECT_TRUE(call<StopSpeakerCommand_Feedback>(*speaker_, &SpeakerService::Stub::StopPlayback,
                                                req<StopSpeakerCommand_Request>("speaker"))
                  .header()
                  .success());
  EXPECT_FALSE(speakerState().is_decoding());
  ASSERT_TRUE(play(path).success());
  EXPECT_TRUE(speakerState().is_decoding());
}

// 1.5 s recorded with a 0.7 s pause in the middle, in an uncompressed and a
// compressed container.
TEST_F(AudioEndToEnd, RecordsWithAPauseAndTheFileHasTheRecordedDuration) {
  for (const char* name : {"take.wav", "take.ogg"}) {
    SCOPED_TRACE(name);
    const std::string path = files_ + "/" + name;
    ASSERT_TRUE(startRecord(path).success());
    const auto t0 = Clock::now();
    MicState st = micState();
    EXPECT_TRUE(st.is_running());
    EXPECT_TRUE(st.is_recording());
    std::this_thread::sleep_for(750ms);
    const auto t1 = Clock::now();
    ASSERT_TRUE(call<PauseMicRecordingCommand_Feedback>(*mic_, &MicPhoneService::Stub::PauseRecord,
                                                        req<PauseMicRecordingCommand_Request>("microphone"))
                    .header()
                    .success());
    std::this_thread::sleep_for(700ms);
    ASSERT_TRUE(call<ResumeMicRecordingCommand_Feedback>(*mic_, &MicPhoneService::Stub::ResumeRecord,
                                                         req<ResumeMicRecordingCommand_Request>("microphone"))
                    .header()
                    .success());
    const auto t2 = Clock::now();
    std::this_thread::sleep_for(750ms);
    const auto t3 = Clock::now();
    const auto stopped = call<StopMicRecordingCommand_Feedback>(*mic_, &MicPhoneService::Stub::StopRecord,
                                                                req<StopMicRecordingCommand_Request>("microphone"));
    ASSERT_TRUE(stopped.header().success()) << stopped.header().error_message();
    const double recorded = std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count();

    const auto info = tovak::test::readAudio(path);
    std::printf("%s: recorded %.3f s, container %.3f s, decoded %.3f s\n", name, recorded, info.container_seconds,
                info.decoded_seconds);
    EXPECT_NEAR(info.container_seconds, recorded, 0.1);
    EXPECT_NEAR(info.decoded_seconds, recorded, 0.1);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    st = micState();
    EXPECT_FALSE(st.is_recording());
    EXPECT_TRUE(st.is_running()) << "StopRecord leaves the microphone started";
    EXPECT_EQ(st.error_message(), "");
  }
  EXPECT_NE(server_->err().find("[gRPCMicroPhoneServiceImpl] (StartRecord): id=microphone"), std::string::npos);
}

TEST_F(AudioEndToEnd, ClientsSeeTheDriversErrorTexts) {
  const std::string missing = files_ + "/missing.wav";
  auto h = play(missing);
  EXPECT_FALSE(h.success());
  EXPECT_EQ(h.error_message(), "speaker speaker cannot play '" + missing + "': No such file or directory");

  auto vol = req<SetSpeakerVolumeCommand_Request>("speaker");
  vol.set_volume(101);
  h = call<SetSpeakerVolumeCommand_Feedback>(*speaker_, &SpeakerService::Stub::SetVolume, vol).header();
  EXPECT_EQ(h.error_message(), "speaker speaker: volume 101 is out of range 0 to 100");
  auto mvol = req<SetMicPhoneVolumeCommand_Request>("microphone");
  mvol.set_volume(-1);
  h = call<SetMicPhoneVolumeCommand_Feedback>(*mic_, &MicPhoneService::Stub::SetVolume, mvol).header();
  EXPECT_EQ(h.error_message(), "microphone microphone: volume -1 is out of range 0 to 100");

  const std::string nowhere = files_ + "/no/such/dir/take.wav";
  h = startRecord(nowhere);
  EXPECT_FALSE(h.success());
  EXPECT_EQ(h.error_message(), "microphone microphone cannot record to '" + nowhere + "': cannot create '" + nowhere +
                                   ".part': No such file or directory");
  EXPECT_EQ(micState().error_message(), h.error_message()) << "the microphone keeps its last error";
  const std::string odd = files_ + "/take.aiff";
  h = startRecord(odd);
  EXPECT_EQ(h.error_message(), "microphone microphone cannot record to '" + odd +
                                   "': unknown file extension '.aiff' (supported: .wav, .flac, .ogg, .opus, .mp3)");

  h = call<PauseSpeakerCommand_Feedback>(*speaker_, &SpeakerService::Stub::PausePlayback,
                                         req<PauseSpeakerCommand_Request>("speaker"))
          .header();
  EXPECT_EQ(h.error_message(), "speaker speaker is not playing");
  h = call<StopMicRecordingCommand_Feedback>(*mic_, &MicPhoneService::Stub::StopRecord,
                                             req<StopMicRecordingCommand_Request>("microphone"))
          .header();
  EXPECT_EQ(h.error_message(), "microphone microphone is not recording");

  // Faults injected through UpdateParams reach the client, std or not.
  ASSERT_TRUE(updateParam("speaker", "fault", "getVolume:amplifier overheated").success());
  h = call<GetSpeakerVolumeCommand_Feedback>(*speaker_, &SpeakerService::Stub::GetVolume,
                                             req<GetSpeakerVolumeCommand_Request>("speaker"))
          .header();
  EXPECT_EQ(h.error_message(), "amplifier overheated");
  ASSERT_TRUE(updateParam("microphone", "fault", "getState:!nonstd").success());
  auto ms = call<GetMicStateCommand_Feedback>(*mic_, &MicPhoneService::Stub::GetStatus,
                                              req<GetMicStateCommand_Request>("microphone"));
  EXPECT_FALSE(ms.header().success());
  EXPECT_EQ(ms.header().error_message(), "unknown error");
  EXPECT_FALSE(ms.has_state());

  // A setting refused by the driver names the value.
  h = updateParam("speaker", "volume", "150");
  EXPECT_EQ(h.error_message(), "speaker speaker: invalid volume '150' (accepted: an integer from 0 to 100)");
}

TEST_F(AudioEndToEnd, SystemServiceDescribesTheRobot) {
  auto info = call<GetSystemInfoCommand_Feedback>(*system_, &SystemService::Stub::GetSystemInfo,
                                                  GetSystemInfoCommand_Request());
  EXPECT_TRUE(info.header().success());
  EXPECT_EQ(info.version(), "1.0");
  EXPECT_EQ(info.system_name(), "tovak_es");
  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(info.architecture(), u.machine);
  EXPECT_EQ(info.kernel_version(), u.release);
  EXPECT_FALSE(info.os().empty());

  auto status = call<GetSystemStatusCommand_Feedback>(*system_, &SystemService::Stub::GetSystemStatus,
                                                      GetSystemStatusCommand_Request());
  EXPECT_TRUE(status.header().success());
  std::map<std::string, DeviceType> listed;
  for (const auto& d : status.device_list()) listed[d.device_id()] = d.device_type();
  EXPECT_EQ(listed, (std::map<std::string, DeviceType>{{"microphone", Microphone}, {"speaker", Speaker}}));
  EXPECT_GT(status.disk_total_gb(), 0.0f);
  EXPECT_LT(status.disk_total_gb(), 1e6f) << "GiB, not MiB";

  // StopAll ends a playback; a device that fails to stop fails the call.
  const std::string path = files_ + "/long.wav";
  tovak::test::writeWav(path, 3.0);
  ASSERT_TRUE(play(path).success());
  auto stop = call<StopAllCommand_Feedback>(*system_, &SystemService::Stub::StopAll, StopAllCommand_Request());
  EXPECT_TRUE(stop.header().success()) << stop.header().error_message();
  EXPECT_FALSE(speakerState().is_decoding());
  ASSERT_TRUE(updateParam("microphone", "fault", "stop:relay stuck").success());
  stop = call<StopAllCommand_Feedback>(*system_, &SystemService::Stub::StopAll, StopAllCommand_Request());
  EXPECT_FALSE(stop.header().success());
  EXPECT_EQ(stop.header().error_message(), "[DeviceManager] (stop): Device manager stop failed: relay stuck");
}

}  // namespace
