#include <google/protobuf/util/json_util.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "calls.h"
#include "tovak/api/biohead_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kFirstPoseDelay = std::chrono::milliseconds(120);
// The head applies at most one pose per 100 ms, measured on its side; a
// period a little longer than that survives network jitter.
constexpr double kDefaultRate = 9.0;

// One pose from text: a JSON object in protobuf's mapping, or blank-separated
// FIELD=VALUE pairs with dotted field paths.
api::FacialExpression parsePose(const std::vector<std::string>& words, const std::string& where) {
  api::FacialExpression e;
  if (words.size() == 1 && !words[0].empty() && words[0][0] == '{') {
    const auto st = google::protobuf::util::JsonStringToMessage(words[0], &e);
    if (!st.ok()) throw UsageError(where + "not a FacialExpression: " + std::string(st.message()));
    return e;
  }
  for (const auto& w : words) {
    auto [k, v] = splitKeyValue(w, "FIELD=VALUE");
    try {
      setFieldByPath(e, k, v);
    } catch (const UsageError& err) {
      throw UsageError(where + err.what());
    }
  }
  return e;
}

// The pose file: one pose per line, '#' starts a comment line.
std::vector<api::FacialExpression> readPoseFile(const std::string& path) {
  std::ifstream f_in;
  std::istream* in = &std::cin;
  if (path != "-") {
    f_in.open(path);
    if (!f_in) throw LocalError("cannot read pose file " + path);
    in = &f_in;
  }
  std::vector<api::FacialExpression> poses;
  std::string line;
  for (int n = 1; std::getline(*in, line); ++n) {
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<std::string> words;
    if (line[first] == '{') {
      words.push_back(line.substr(first));
    } else {
      std::istringstream ws(line);
      for (std::string w; ws >> w;) words.push_back(w);
    }
    try {
      poses.push_back(parsePose(words, ""));
    } catch (const UsageError& e) {
      throw LocalError(path + ":" + std::to_string(n) + ": " + e.what());
    }
  }
  if (poses.empty()) throw LocalError("pose file " + path + " holds no pose");
  return poses;
}

void streamPoses(Context& ctx, const Args& a) {
  const std::string id = a.need(0, "<device-id>");
  const std::string path = a.need(1, "POSE_FILE");
  a.atMost(2);
  const double rate = a.getDouble("rate", kDefaultRate);
  const long repeat = a.getInt("repeat", 1);
  if (rate <= 0 || rate > 1000) throw UsageError("--rate must be more than 0 and at most 1000 Hz");
  if (repeat < 1) throw UsageError("--repeat must be at least 1");
  const auto poses = readPoseFile(path);

  api::BioHeadService::Stub stub(ctx.channel());
  grpc::ClientContext c;
  auto stream = stub.StreamExpression(&c);
  Interrupt stop([&c] { c.TryCancel(); });

  // Acknowledgements arrive while poses are still being sent.
  std::atomic<long> acked{0};
  std::string error;
  std::thread reader([&] {
    api::StreamFacialExpression_Feedback r;
    while (stream->Read(&r)) {
      if (ctx.json) printJson(r);
      if (!r.header().success()) {
        error = r.header().error_message();
        break;
      }
      ++acked;
    }
  });

  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  long sent = 0;
  bool refused = false;
  // The head drops every pose that arrives within 100 ms of the stream's
  // start, so the first one waits a little longer than that.
  auto next = Clock::now() + kFirstPoseDelay;
  for (long round = 0; round < repeat && !refused && !stop.cancelled(); ++round) {
    for (const auto& pose : poses) {
      if (!stop.sleepUntil(next)) break;
      api::StreamFacialExpression_Request req;
      req.mutable_header()->set_device_id(id);
      *req.mutable_expr() = pose;
      if (!stream->Write(req)) {
        refused = true;
        break;
      }
      ++sent;
      next += period;
    }
  }
  if (!stop.cancelled()) stream->WritesDone();
  reader.join();
  const grpc::Status st = stream->Finish();
  if (!error.empty()) throw CallFailed("StreamExpression failed: " + error);
  checkStatus(st, "StreamExpression", stop.cancelled());
  const long total = static_cast<long>(poses.size()) * repeat;
  if (refused)
    throw CallFailed(fmt("StreamExpression ended by the server after %ld of %ld poses (emergency stop?)", sent, total));
  if (!ctx.json)
    std::cout << fmt("sent %ld of %ld poses at %g Hz, %ld applied%s", sent, total, rate, acked.load(),
                     stop.interrupted() ? " (interrupted)" : "")
              << (acked < sent ? " (the head applies at most one pose every 100 ms)" : "") << '\n';
}

// The unary head calls that take only the device id.
template <class Req, class Resp, class Rpc>
Call simple(const std::string& name, const std::string& rpc, const std::string& summary, Rpc fn) {
  return Call{name, rpc, "<device-id>", summary, "", "tovakctl head " + name + " head", {},
              [=](Context& ctx, const Args& a) {
                Req req;
                req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                a.atMost(1);
                api::BioHeadService::Stub stub(ctx.channel());
                Resp r;
                if (unary(ctx, rpc, r, [&](auto* c, auto* o) { return fn(stub, c, req, o); })) printOk(ctx, "ok");
              }};
}

std::string fieldList() {
  std::string s;
  int col = 0;
  for (const auto& p : leafPaths(api::FacialExpression::descriptor())) {
    if (col + p.size() > 76) {
      s += "\n";
      col = 0;
    }
    s += "  " + p;
    col += static_cast<int>(p.size()) + 2;
  }
  return s;
}

}  // namespace

Service headService() {
  Service s{"head", {"biohead", "face"}, "the animatronic face: poses, pose streams, expressions, speech, emergency stop",
            {}};
  s.calls.push_back(Call{
      "set", "SetExpression", "<device-id> FIELD=VALUE... | <device-id> JSON",
      "sets one face pose (eyebrows, eyelids, eyeballs, nose, upper and lower lip)",
      "Fields not named are sent as 0. The lips' left_lip/right_lip and the jaw are\n"
      "applied by `head stream` only. A single argument starting with '{' is read as\n"
      "a FacialExpression in JSON. Fields:\n" + fieldList(),
      "tovakctl head set head eyebrow.left_outside_y=0.3 eyebrow.right_outside_y=0.3", {},
      [](Context& ctx, const Args& a) {
        api::SetFacialExpression_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        if (a.pos.size() < 2) throw UsageError("missing FIELD=VALUE");
        *req.mutable_expression() = parsePose({a.pos.begin() + 1, a.pos.end()}, "");
        api::BioHeadService::Stub stub(ctx.channel());
        api::SetFacialExpression_Feedback r;
        if (unary(ctx, "SetExpression", r, [&](auto* c, auto* o) { return stub.SetExpression(c, req, o); }))
          printOk(ctx, "ok: pose set");
      }});
  s.calls.push_back(Call{
      "stream", "StreamExpression", "<device-id> POSE_FILE [--rate HZ] [--repeat N]",
      "sends the poses of a file at a chosen rate (default 9 Hz)",
      "POSE_FILE (or - for standard input) holds one pose per line, either as\n"
      "FIELD=VALUE pairs separated by blanks (the fields of `head set`), or as a JSON\n"
      "object in protobuf's mapping; empty lines and lines starting with # are\n"
      "skipped. Each pose is complete: fields not named are 0. Example lines:\n"
      "  eyebrow.left_outside_y=0.4 jaw.y=0.2 mouth.left_lip.corner_y=0.1\n"
      "  {\"jaw\": {\"y\": 0.3}, \"eyelid\": {\"left_upper_y\": 0.5}}\n"
      "The head applies at most one pose every 100 ms and answers each applied pose:\n"
      "up to about 9 Hz every pose is applied, faster rates see poses dropped (the\n"
      "summary counts them). The first pose goes out 120 ms after the stream opens,\n"
      "as the head drops poses that arrive sooner. An emergency stop ends the\n"
      "stream (exit 2).",
      "tovakctl head stream head smile.poses --rate 5",
      {{"rate", "HZ", "poses per second (default 9)"}, {"repeat", "N", "send the file N times (default 1)"}},
      streamPoses});
  s.calls.push_back(simple<api::GetStatus_Request, api::GetStatus_Feedback>(
      "status", "GetSystemStatus", "succeeds when the head is registered (the head is not contacted)",
      [](auto& st, auto* c, auto& q, auto* o) { return st.GetSystemStatus(c, q, o); }));
  s.calls.push_back(simple<api::EmergencyStop_Request, api::EmergencyStop_Feedback>(
      "estop", "EmergencyStop", "stops every actuator; running pose streams end",
      [](auto& st, auto* c, auto& q, auto* o) { return st.EmergencyStop(c, q, o); }));
  s.calls.push_back(simple<api::SpeakStart_Request, api::SpeakStart_Feedback>(
      "speak-start", "SpeakStart", "starts the speaking motion of jaw and lips",
      [](auto& st, auto* c, auto& q, auto* o) { return st.SpeakStart(c, q, o); }));
  s.calls.push_back(simple<api::SpeakStop_Request, api::SpeakStop_Feedback>(
      "speak-stop", "SpeakStop", "stops the speaking motion",
      [](auto& st, auto* c, auto& q, auto* o) { return st.SpeakStop(c, q, o); }));
  s.calls.push_back(simple<api::Happy_Request, api::Happy_Feedback>(
      "happy", "Happy", "built-in expression: happy", [](auto& st, auto* c, auto& q, auto* o) { return st.Happy(c, q, o); }));
  s.calls.push_back(simple<api::Surprise_Request, api::Surprise_Feedback>(
      "surprise", "Surprise", "built-in expression: surprised",
      [](auto& st, auto* c, auto& q, auto* o) { return st.Surprise(c, q, o); }));
  s.calls.push_back(simple<api::ExpressionTired_Request, api::ExpressionTired_Feedback>(
      "tired", "ExpressionTired", "built-in expression: tired",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ExpressionTired(c, q, o); }));
  s.calls.push_back(simple<api::ExpressionAngry_Request, api::ExpressionAngry_Feedback>(
      "angry", "ExpressionAngry", "built-in expression: angry",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ExpressionAngry(c, q, o); }));
  s.calls.push_back(simple<api::ExpressionSadness_Request, api::ExpressionSadness_Feedback>(
      "sadness", "ExpressionSadness", "built-in expression: sadness",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ExpressionSadness(c, q, o); }));
  s.calls.push_back(simple<api::ExpressionYawn_Request, api::ExpressionYawn_Feedback>(
      "yawn", "ExpressionYawn", "built-in expression: yawn",
      [](auto& st, auto* c, auto& q, auto* o) { return st.ExpressionYawn(c, q, o); }));
  return s;
}

}  // namespace tovakctl
