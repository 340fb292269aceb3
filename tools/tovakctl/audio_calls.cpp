#include <iostream>

#include "calls.h"
#include "tovak/api/hlc_service.grpc.pb.h"
#include "tovak/api/microphone_service.grpc.pb.h"
#include "tovak/api/speaker_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;

namespace {

std::string yn(bool b) { return b ? "yes" : "no"; }

// A call that sends the device id and perhaps one more field, and answers
// with its header only.
template <class Stub, class Req, class Resp, class Rpc, class Fill>
Call headerOnly(const std::string& name, const std::string& rpc,
                const std::string& synopsis, const std::string& summary, const std::string& example, Rpc fn,
                Fill fill, std::string done) {
  return Call{name, rpc, synopsis, summary, "", example, {}, [=](Context& ctx, const Args& a) {
                Req req;
                req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                fill(req, a);
                Stub stub(ctx.channel());
                Resp r;
                if (unary(ctx, rpc, r, [&](auto* c, auto* o) { return fn(stub, c, req, o); })) printOk(ctx, done);
              }};
}

auto noArgs = [](auto&, const Args& a) { a.atMost(1); };

template <class Req>
void volumeArg(Req& req, const Args& a) {
  req.set_volume(static_cast<int>(parseInt(a.need(1, "VOLUME"), "VOLUME")));
  a.atMost(2);
}

template <class Stub, class Req, class Resp, class Rpc>
Call getVolume(const std::string& example, Rpc fn) {
  return Call{"get-volume", "GetVolume", "<device-id>", "reads the volume", "", example, {},
              [=](Context& ctx, const Args& a) {
                Req req;
                req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                a.atMost(1);
                Stub stub(ctx.channel());
                Resp r;
                if (unary(ctx, "GetVolume", r, [&](auto* c, auto* o) { return fn(stub, c, req, o); }))
                  std::cout << "volume " << r.volume() << '\n';
              }};
}

}  // namespace

Service speakerService() {
  using S = api::SpeakerService::Stub;
  Service s{"speaker", {}, "audio playback of files that lie on the robot", {}};
  s.calls.push_back(Call{"status", "GetStatus", "<device-id>", "state of the speaker", "",
                         "tovakctl speaker status speaker", {}, [](Context& ctx, const Args& a) {
                           api::GetSpeakerStateCommand_Request req;
                           req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                           a.atMost(1);
                           S stub(ctx.channel());
                           api::GetSpeakerStateCommand_Feedback r;
                           if (!unary(ctx, "GetStatus", r, [&](auto* c, auto* o) { return stub.GetStatus(c, req, o); }))
                             return;
                           Table t({"FIELD", "VALUE"});
                           t.row({"initialized", yn(r.state().is_initialized())});
                           t.row({"running", yn(r.state().is_running())});
                           t.row({"playing", yn(r.state().is_decoding())});
                           t.row({"paused", yn(r.state().is_paused())});
                           t.row({"volume", std::to_string(r.state().volume())});
                           t.print(std::cout);
                         }});
  s.calls.push_back(headerOnly<S, api::PlayAudioCommand_Request, api::PlayAudioCommand_Feedback>(
      "play", "PlayAudio", "<device-id> AUDIO_PATH", "plays an audio file that lies on the robot",
      "tovakctl speaker play speaker /usr/share/sounds/alsa/Front_Center.wav",
      [](auto& st, auto* c, auto& q, auto* o) { return st.PlayAudio(c, q, o); },
      [](auto& req, const Args& a) {
        req.set_audio_path(a.need(1, "AUDIO_PATH"));
        a.atMost(2);
      },
      "ok: playing"));
  s.calls.push_back(headerOnly<S, api::StopSpeakerCommand_Request, api::StopSpeakerCommand_Feedback>(
      "stop", "StopPlayback", "<device-id>", "stops playback", "tovakctl speaker stop speaker",
      [](auto& st, auto* c, auto& q, auto* o) { return st.StopPlayback(c, q, o); }, noArgs, "ok: stopped"));
  s.calls.push_back(headerOnly<S, api::PauseSpeakerCommand_Request, api::PauseSpeakerCommand_Feedback>(
      "pause", "PausePlayback", "<device-id>", "pauses playback", "tovakctl speaker pause speaker",
      [](auto& st, auto* c, auto& q, auto* o) { return st.PausePlayback(c, q, o); }, noArgs, "ok: paused"));
  s.calls.push_back(headerOnly<S, api::ResumeSpeakerCommand_Request, api::ResumeSpeakerCommand_Feedback>(
      "resume", "ResumePlayback", "<device-id>", "resumes paused playback", "tovakctl speaker resume speaker",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ResumePlayback(c, q, o); }, noArgs, "ok: resumed"));
  s.calls.push_back(headerOnly<S, api::SetSpeakerVolumeCommand_Request, api::SetSpeakerVolumeCommand_Feedback>(
      "set-volume", "SetVolume", "<device-id> VOLUME", "sets the output volume (the speaker's scale)",
      "tovakctl speaker set-volume speaker 60",
      [](auto& st, auto* c, auto& q, auto* o) { return st.SetVolume(c, q, o); },
      [](auto& req, const Args& a) { volumeArg(req, a); }, "ok: volume set"));
  s.calls.push_back(getVolume<S, api::GetSpeakerVolumeCommand_Request, api::GetSpeakerVolumeCommand_Feedback>(
      "tovakctl speaker get-volume speaker",
      [](auto& st, auto* c, auto& q, auto* o) { return st.GetVolume(c, q, o); }));
  return s;
}

Service micService() {
  using S = api::MicPhoneService::Stub;
  Service s{"mic", {"microphone"}, "recording into files on the robot", {}};
  s.calls.push_back(Call{"status", "GetStatus", "<device-id>", "state of the microphone", "",
                         "tovakctl mic status microphone", {}, [](Context& ctx, const Args& a) {
                           api::GetMicStateCommand_Request req;
                           req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                           a.atMost(1);
                           S stub(ctx.channel());
                           api::GetMicStateCommand_Feedback r;
                           if (!unary(ctx, "GetStatus", r, [&](auto* c, auto* o) { return stub.GetStatus(c, req, o); }))
                             return;
                           Table t({"FIELD", "VALUE"});
                           t.row({"initialized", yn(r.state().is_initialized())});
                           t.row({"running", yn(r.state().is_running())});
                           t.row({"recording", yn(r.state().is_recording())});
                           t.row({"volume", std::to_string(r.state().volume())});
                           t.row({"error", r.state().error_message().empty() ? "-" : r.state().error_message()});
                           t.print(std::cout);
                         }});
  s.calls.push_back(headerOnly<S, api::StartMicRecordingCommand_Request, api::StartMicRecordingCommand_Feedback>(
      "start-record", "StartRecord", "<device-id> FILE_PATH",
      "starts the microphone and records into a file on the robot (format from the extension)",
      "tovakctl mic start-record microphone /tmp/take.wav",
      [](auto& st, auto* c, auto& q, auto* o) { return st.StartRecord(c, q, o); },
      [](auto& req, const Args& a) {
        req.set_file_path(a.need(1, "FILE_PATH"));
        a.atMost(2);
      },
      "ok: recording"));
  s.calls.push_back(headerOnly<S, api::StopMicRecordingCommand_Request, api::StopMicRecordingCommand_Feedback>(
      "stop-record", "StopRecord", "<device-id>", "stops the recording and closes the file",
      "tovakctl mic stop-record microphone",
      [](auto& st, auto* c, auto& q, auto* o) { return st.StopRecord(c, q, o); }, noArgs, "ok: recording stopped"));
  s.calls.push_back(headerOnly<S, api::PauseMicRecordingCommand_Request, api::PauseMicRecordingCommand_Feedback>(
      "pause-record", "PauseRecord", "<device-id>", "pauses the recording (the pause is left out of the file)",
      "tovakctl mic pause-record microphone",
      [](auto& st, auto* c, auto& q, auto* o) { return st.PauseRecord(c, q, o); }, noArgs, "ok: paused"));
  s.calls.push_back(headerOnly<S, api::ResumeMicRecordingCommand_Request, api::ResumeMicRecordingCommand_Feedback>(
      "resume-record", "ResumeRecord", "<device-id>", "resumes a paused recording",
      "tovakctl mic resume-record microphone",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ResumeRecord(c, q, o); }, noArgs, "ok: resumed"));
  s.calls.push_back(headerOnly<S, api::SetMicPhoneVolumeCommand_Request, api::SetMicPhoneVolumeCommand_Feedback>(
      "set-volume", "SetVolume", "<device-id> VOLUME", "sets the input volume (the microphone's scale)",
      "tovakctl mic set-volume microphone 80",
      [](auto& st, auto* c, auto& q, auto* o) { return st.SetVolume(c, q, o); },
      [](auto& req, const Args& a) { volumeArg(req, a); }, "ok: volume set"));
  s.calls.push_back(getVolume<S, api::GetMicPhoneVolumeCommand_Request, api::GetMicPhoneVolumeCommand_Feedback>(
      "tovakctl mic get-volume microphone",
      [](auto& st, auto* c, auto& q, auto* o) { return st.GetVolume(c, q, o); }));
  return s;
}

Service hlcService() {
  Service s{"hlc", {}, "liveness probe of the server", {}};
  s.calls.push_back(Call{"touch", "touch", "", "answers at once when the server is up; prints the round trip", "",
                         "tovakctl hlc touch", {}, [](Context& ctx, const Args& a) {
                           a.atMost(0);
                           api::HlcService::Stub stub(ctx.channel());
                           api::Touch_Request req;
                           req.mutable_touch()->set_client("tovakctl");
                           api::Touch_Response r;
                           const auto t0 = std::chrono::steady_clock::now();
                           if (!unary(ctx, "touch", r, [&](auto* c, auto* o) { return stub.touch(c, req, o); })) return;
                           const double ms = std::chrono::duration<double, std::milli>(
                                                 std::chrono::steady_clock::now() - t0).count();
                           std::cout << fmt("ok: %s answered in %.2f ms", ctx.address.c_str(), ms) << '\n';
                         }});
  return s;
}

}  // namespace tovakctl
