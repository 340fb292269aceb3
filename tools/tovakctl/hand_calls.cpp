#include <iostream>

#include "calls.h"
#include "heatmap.h"
#include "tovak/api/dexhand_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;

namespace {

// DOF=VALUE arguments into FreedomValue entries, in the order given.
template <class Req>
void addValues(Req& req, const Args& a) {
  if (a.pos.size() < 2) throw UsageError("missing DOF=VALUE");
  for (size_t i = 1; i < a.pos.size(); ++i) {
    auto [dof, value] = splitKeyValue(a.pos[i], "DOF=VALUE");
    auto* v = req.add_values();
    v->set_id(static_cast<int>(parseInt(dof, a.pos[i])));
    v->set_value(static_cast<float>(parseDouble(value, a.pos[i])));
  }
}

template <class Req, class Resp, class Rpc>
void setCall(Context& ctx, const Args& a, const std::string& rpc, Rpc fn, const char* quantity) {
  Req req;
  req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
  addValues(req, a);
  api::DexHandService::Stub stub(ctx.channel());
  Resp r;
  if (unary(ctx, rpc, r, [&](auto* c, auto* o) { return fn(stub, c, req, o); }))
    printOk(ctx, fmt("ok: %s set for %d DOF(s)", quantity, req.values_size()));
}

Call setter(const std::string& name, const std::string& rpc, const std::string& quantity, int factor,
            const std::string& example, std::function<void(Context&, const Args&)> run) {
  return Call{name,
              rpc,
              "<device-id> DOF=VALUE...",
              "commands " + quantity + " of the named DOFs (0-5); the others keep theirs",
              fmt("The hand receives VALUE x %d, truncated to an integer; DOFs not named are\n"
                  "sent as -1 (no new value).",
                  factor),
              example,
              {},
              std::move(run)};
}

void printSensorTable(const google::protobuf::RepeatedPtrField<api::SensorData>& sensors) {
  Table t({"PART", "NAME", "SIZE", "MIN", "MAX", "MEAN", "SUM"}, {false, false, true, true, true, true, true});
  for (const auto& s : sensors) {
    long sum = 0, n = 0;
    int lo = 0, hi = 0;
    for (const auto& row : s.data())
      for (int v : row.values()) {
        lo = n ? std::min(lo, v) : v;
        hi = n ? std::max(hi, v) : v;
        sum += v;
        ++n;
      }
    t.row({partName(s), s.sensor_name(), fmt("%dx%d", s.rows(), s.cols()), n ? std::to_string(lo) : "-",
           n ? std::to_string(hi) : "-", n ? fmt("%.1f", static_cast<double>(sum) / static_cast<double>(n)) : "-",
           std::to_string(sum)});
  }
  t.print(std::cout);
}

void tactileStream(Context& ctx, const Args& a, const std::string& id) {
  const long max_frames = a.getInt("frames", 0);
  if (a.has("frames") && max_frames <= 0) throw UsageError("--frames must be at least 1");
  api::DexHandService::Stub stub(ctx.channel());
  grpc::ClientContext c;
  auto stream = stub.GetSensorDataStream(&c);
  Interrupt stop([&c] { c.TryCancel(); });
  api::GetSensorDataStreamCommand_Request req;
  req.mutable_header()->set_device_id(id);
  stream->Write(req);
  stream->WritesDone();

  const bool tty = isTerminal(1);
  HeatMap map;
  long frames = 0;
  api::GetSensorDataStreamCommand_Feedback r;
  if (tty && !ctx.json) std::cout << "\x1b[2J\x1b[?25l";  // clear, hide the cursor while redrawing
  while (stream->Read(&r)) {
    ++frames;
    if (ctx.json) {
      printJson(r);
    } else {
      std::cout << (tty ? "\x1b[H" : (frames > 1 ? "\n" : "")) << map.render(r.sensor(), frames)
                << (tty ? "Ctrl-C stops\x1b[K\n" : "") << std::flush;
    }
    if (max_frames > 0 && frames >= max_frames) {
      stop.cancelNow();
      break;
    }
  }
  if (stop.cancelled())
    while (stream->Read(&r)) {
    }
  if (tty && !ctx.json) std::cout << "\x1b[?25h" << std::flush;
  const grpc::Status st = stream->Finish();
  checkStatus(st, "GetSensorDataStream", stop.cancelled());
  // The stream sends no error message: a hand it cannot find ends it at once.
  if (frames == 0 && !stop.cancelled())
    throw CallFailed("GetSensorDataStream failed: the server ended the stream without data (is '" + id +
                     "' a hand? `tovakctl list` shows the devices)");
  if (!stop.cancelled()) throw CallFailed(fmt("GetSensorDataStream ended by the server after %ld frames", frames));
  std::cerr << fmt("GetSensorDataStream: %ld frames%s\n", frames, stop.interrupted() ? " (interrupted)" : "");
}

}  // namespace

Service handService() {
  Service s{"hand", {"dexhand"}, "the six-DOF dexterous hands and their tactile sensors", {}};
  s.calls.push_back(Call{
      "status", "GetStatus", "<device-id>", "state of the six DOFs, in the hand's own integer units", "",
      "tovakctl hand status left_hand", {}, [](Context& ctx, const Args& a) {
        api::GetDexHandStateCommand_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        a.atMost(1);
        api::DexHandService::Stub stub(ctx.channel());
        api::GetDexHandStateCommand_Feedback r;
        if (!unary(ctx, "GetStatus", r, [&](auto* c, auto* o) { return stub.GetStatus(c, req, o); })) return;
        std::cout << "initialized: " << (r.state().is_initialized() ? "yes" : "no") << '\n';
        Table t({"DOF", "ANGLE", "POSITION", "SPEED", "FORCE", "CURRENT", "TEMP", "ERROR"},
                {true, true, true, true, true, true, true, false});
        for (const auto& d : r.state().hands()) {
          std::string err = std::to_string(d.error());
          for (const auto& m : d.error_message()) err += " " + m;
          t.row({std::to_string(d.dof_id()), std::to_string(d.angle()), std::to_string(d.position()),
                 std::to_string(d.speed()), std::to_string(d.force()), std::to_string(d.current()),
                 std::to_string(d.temperature()), err});
        }
        t.print(std::cout);
      }});
  s.calls.push_back(setter("set-angles", "SetDexHandAngle", "angles", 1000,
                           "tovakctl hand set-angles left_hand 2=0.7 3=0.5", [](Context& ctx, const Args& a) {
                             setCall<api::SetDexHandAnglesCommand_Request, api::SetDexHandAnglesCommand_Feedback>(
                                 ctx, a, "SetDexHandAngle",
                                 [](auto& st, auto* c, auto& q, auto* o) { return st.SetDexHandAngle(c, q, o); },
                                 "angles");
                           }));
  s.calls.push_back(setter("set-positions", "SetDexHandPos", "actuator positions", 2000,
                           "tovakctl hand set-positions left_hand 0=0.2 1=0.2", [](Context& ctx, const Args& a) {
                             setCall<api::SetDexHandPositionsCommand_Request, api::SetDexHandPositionsCommand_Feedback>(
                                 ctx, a, "SetDexHandPos",
                                 [](auto& st, auto* c, auto& q, auto* o) { return st.SetDexHandPos(c, q, o); },
                                 "positions");
                           }));
  s.calls.push_back(setter("set-force", "SetDexHandForce", "force limits", 3000,
                           "tovakctl hand set-force left_hand 0=0.1 1=0.1", [](Context& ctx, const Args& a) {
                             setCall<api::SetDexHandForceCommand_Request, api::SetDexHandForceCommand_Feedback>(
                                 ctx, a, "SetDexHandForce",
                                 [](auto& st, auto* c, auto& q, auto* o) { return st.SetDexHandForce(c, q, o); },
                                 "force limits");
                           }));
  s.calls.push_back(setter("set-speed", "SetDexHandSpeed", "speeds", 1000, "tovakctl hand set-speed left_hand 2=0.5",
                           [](Context& ctx, const Args& a) {
                             setCall<api::SetDexHandSpeedCommand_Request, api::SetDexHandSpeedCommand_Feedback>(
                                 ctx, a, "SetDexHandSpeed",
                                 [](auto& st, auto* c, auto& q, auto* o) { return st.SetDexHandSpeed(c, q, o); },
                                 "speeds");
                           }));
  s.calls.push_back(Call{"preset", "SetDexHandPresetAct", "<device-id> PRESETACTID", "selects a numbered preset action",
                         "", "tovakctl hand preset left_hand 1", {}, [](Context& ctx, const Args& a) {
                           api::SetDexHandPresetActCommand_Request req;
                           req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
                           req.set_presetactid(static_cast<int>(parseInt(a.need(1, "PRESETACTID"), "PRESETACTID")));
                           a.atMost(2);
                           api::DexHandService::Stub stub(ctx.channel());
                           api::SetDexHandPresetActCommand_Feedback r;
                           if (unary(ctx, "SetDexHandPresetAct", r,
                                     [&](auto* c, auto* o) { return stub.SetDexHandPresetAct(c, req, o); }))
                             printOk(ctx, fmt("ok: preset action %d selected", req.presetactid()));
                         }});
  s.calls.push_back(Call{
      "tactile", "GetSensorData", "<device-id> [--map] [--stream [--frames N]]",
      "the 17 tactile matrices: a table once, a heat map with --map, live with --stream",
      "--stream redraws the heat map about 30 times a second until Ctrl-C (or N\n"
      "frames); the colour scale grows with the largest reading seen. Calls\n"
      "GetSensorData, or GetSensorDataStream with --stream.",
      "tovakctl hand tactile left_hand --stream",
      {{"map", "", "draw the matrices as a heat map"},
       {"stream", "", "follow the readings live (GetSensorDataStream)"},
       {"frames", "N", "with --stream: stop after N frames"}},
      [](Context& ctx, const Args& a) {
        const std::string id = a.need(0, "<device-id>");
        a.atMost(1);
        if (a.has("stream")) return tactileStream(ctx, a, id);
        if (a.has("frames")) throw UsageError("--frames needs --stream");
        api::GetSensorDataCommand_Request req;
        req.mutable_header()->set_device_id(id);
        api::DexHandService::Stub stub(ctx.channel());
        api::GetSensorDataCommand_Feedback r;
        if (!unary(ctx, "GetSensorData", r, [&](auto* c, auto* o) { return stub.GetSensorData(c, req, o); })) return;
        if (a.has("map")) std::cout << HeatMap().render(r.sensor(), 1);
        else printSensorTable(r.sensor());
      }});
  return s;
}

}  // namespace tovakctl
