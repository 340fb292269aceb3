#include <iostream>

#include "calls.h"
#include "tovak/api/biohead_service.grpc.pb.h"
#include "tovak/api/system_service.grpc.pb.h"

namespace tovakctl {

namespace api = tovak::api;

namespace {

// A value given as "name:type=value" is sent as that one-of member; a bare
// "name=value" is typed by its look (integer, number, true/false, text); a
// bare "name" is sent without a value.
api::ConfigParam parseParam(const std::string& arg) {
  api::ConfigParam p;
  const auto eq = arg.find('=');
  std::string key = arg.substr(0, eq);
  std::string type;
  if (auto colon = key.find(':'); colon != std::string::npos) {
    type = lower(key.substr(colon + 1));
    key.resize(colon);
  }
  if (key.empty()) throw UsageError("'" + arg + "' has no parameter name");
  p.set_param_name(key);
  if (eq == std::string::npos) {
    if (!type.empty()) throw UsageError("'" + arg + "' has a type but no value");
    return p;
  }
  const std::string v = arg.substr(eq + 1);
  if (type.empty()) {
    char* end = nullptr;
    const long iv = std::strtol(v.c_str(), &end, 10);
    if (!v.empty() && *end == '\0' && iv >= INT32_MIN && iv <= INT32_MAX) {
      p.set_int_value(static_cast<int>(iv));
    } else if (std::strtod(v.c_str(), &end), !v.empty() && *end == '\0') {
      p.set_double_value(parseDouble(v, arg));
    } else if (v == "true" || v == "false") {
      p.set_bool_value(v == "true");
    } else {
      p.set_string_value(v);
    }
  } else if (type == "int") {
    p.set_int_value(static_cast<int>(parseInt(v, arg)));
  } else if (type == "double") {
    p.set_double_value(parseDouble(v, arg));
  } else if (type == "string") {
    p.set_string_value(v);
  } else if (type == "bool") {
    p.set_bool_value(parseBool(v, arg));
  } else if (type == "bytes") {
    if (v.size() % 2) throw UsageError("'" + v + "' is not an even number of hex digits (in " + arg + ")");
    std::string bytes;
    for (size_t i = 0; i < v.size(); i += 2) {
      char* end = nullptr;
      const std::string pair = v.substr(i, 2);
      const long b = std::strtol(pair.c_str(), &end, 16);
      if (*end != '\0') throw UsageError("'" + v + "' is not hexadecimal (in " + arg + ")");
      bytes.push_back(static_cast<char>(b));
    }
    p.set_bytes_value(bytes);
  } else {
    throw UsageError("unknown parameter type '" + type + "' (in " + arg + "); types: int, double, string, bool, bytes");
  }
  return p;
}

std::string serviceFor(api::DeviceType t) {
  switch (t) {
    case api::Camera: return "camera";
    case api::DexHand: return "hand";
    case api::Robot: return "robot";
    case api::Speaker: return "speaker";
    case api::Microphone: return "mic";
    default: return "-";
  }
}

}  // namespace

void listDevices(Context& ctx) {
  api::SystemService::Stub stub(ctx.channel());
  api::GetSystemStatusCommand_Request req;
  api::GetSystemStatusCommand_Feedback resp;
  if (!unary(ctx, "GetSystemStatus", resp, [&](auto* c, auto* r) { return stub.GetSystemStatus(c, req, r); }))
    return;
  // The device list gives the bionic head no kind of its own; the head
  // service's status probe (which does not touch the device) tells.
  api::BioHeadService::Stub head(ctx.channel());
  Table t({"DEVICE", "KIND", "SERVICE"});
  for (const auto& d : resp.device_list()) {
    std::string kind = api::DeviceType_Name(d.device_type());
    std::string service = serviceFor(d.device_type());
    if (service == "-") {
      grpc::ClientContext c;
      ctx.prepare(c);
      api::GetStatus_Request hr;
      hr.mutable_header()->set_device_id(d.device_id());
      api::GetStatus_Feedback hf;
      if (head.GetSystemStatus(&c, hr, &hf).ok() && hf.header().success()) {
        kind += " (bionic head)";
        service = "head";
      }
    }
    t.row({d.device_id(), kind, service});
  }
  t.print(std::cout);
}

Service systemService() {
  Service s{"system", {"sys"}, "the robot's computer and the device registry as a whole", {}};
  s.calls.push_back(Call{
      "info", "GetSystemInfo", "", "system name, version, operating system, kernel and architecture", "",
      "tovakctl system info", {}, [](Context& ctx, const Args& a) {
        a.atMost(0);
        api::SystemService::Stub stub(ctx.channel());
        api::GetSystemInfoCommand_Request req;
        api::GetSystemInfoCommand_Feedback r;
        if (!unary(ctx, "GetSystemInfo", r, [&](auto* c, auto* o) { return stub.GetSystemInfo(c, req, o); })) return;
        Table t({"FIELD", "VALUE"});
        t.row({"system", r.system_name()});
        t.row({"version", r.version()});
        t.row({"os", r.os()});
        t.row({"kernel", r.kernel_version()});
        t.row({"architecture", r.architecture()});
        t.print(std::cout);
      }});
  s.calls.push_back(Call{
      "status", "GetSystemStatus", "", "CPU, memory and disk figures, and the registered devices",
      "CPU usage is measured since the previous status call of any client.", "tovakctl system status", {},
      [](Context& ctx, const Args& a) {
        a.atMost(0);
        api::SystemService::Stub stub(ctx.channel());
        api::GetSystemStatusCommand_Request req;
        api::GetSystemStatusCommand_Feedback r;
        if (!unary(ctx, "GetSystemStatus", r, [&](auto* c, auto* o) { return stub.GetSystemStatus(c, req, o); }))
          return;
        auto pct = [](double used, double total) { return total > 0 ? fmt(" (%.1f %%)", 100.0 * used / total) : ""; };
        Table t({"FIGURE", "VALUE"});
        t.row({"cpu", fmt("%.1f %%", r.cpu_usage())});
        t.row({"memory", fmt("%.0f / %.0f MiB", r.mem_used_mb(), r.mem_total_mb()) +
                             pct(r.mem_used_mb(), r.mem_total_mb())});
        t.row({"disk", fmt("%.1f / %.1f GiB", r.disk_used_gb(), r.disk_total_gb()) +
                           pct(r.disk_used_gb(), r.disk_total_gb())});
        t.row({"devices", std::to_string(r.device_list_size())});
        t.print(std::cout);
        std::cout << '\n';
        Table d({"DEVICE", "KIND"});
        for (const auto& e : r.device_list()) d.row({e.device_id(), api::DeviceType_Name(e.device_type())});
        d.print(std::cout);
      }});
  s.calls.push_back(Call{
      "update-params", "UpdateParams", "<device-id> NAME[:TYPE]=VALUE...",
      "hands named parameters to one device, in order",
      "A value is sent as an integer, a number, true/false or text by its look;\n"
      "NAME:TYPE=VALUE forces the type (int, double, string, bool, bytes as hex\n"
      "digits), and a bare NAME is sent without a value. The device gets every\n"
      "value as text. Drivers also take fault=<operation>:<text> here, which makes\n"
      "the next call of that operation fail with the text.",
      "tovakctl system update-params head_camera width=1280 height=720", {}, [](Context& ctx, const Args& a) {
        api::UpdateParamsCommand_Request req;
        req.mutable_header()->set_device_id(a.need(0, "<device-id>"));
        if (a.pos.size() < 2) throw UsageError("missing NAME=VALUE");
        for (size_t i = 1; i < a.pos.size(); ++i) *req.add_params() = parseParam(a.pos[i]);
        api::SystemService::Stub stub(ctx.channel());
        api::UpdateParamsCommand_Feedback r;
        if (unary(ctx, "UpdateParams", r, [&](auto* c, auto* o) { return stub.UpdateParams(c, req, o); }))
          printOk(ctx, fmt("ok: %d parameter(s) handed to %s", req.params_size(), req.header().device_id().c_str()));
      }});
  s.calls.push_back(Call{
      "stop-all", "StopAll", "", "stops every registered device", "", "tovakctl system stop-all", {},
      [](Context& ctx, const Args& a) {
        a.atMost(0);
        api::SystemService::Stub stub(ctx.channel());
        api::StopAllCommand_Request req;
        api::StopAllCommand_Feedback r;
        if (unary(ctx, "StopAll", r, [&](auto* c, auto* o) { return stub.StopAll(c, req, o); }))
          printOk(ctx, "ok: every device stopped");
      }});
  return s;
}

}  // namespace tovakctl
