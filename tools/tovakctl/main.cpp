// tovakctl: every call of the device server's eight services from a terminal.
//
//   tovakctl [--address HOST:PORT] [--timeout S] [--json] <service> <call> [device-id] [arguments]

#include <exception>
#include <iostream>
#include <sstream>

#include "calls.h"

namespace tovakctl {
namespace {

const char* kUsage = "usage: tovakctl [--address HOST:PORT] [--timeout S] [--json] <service> <call> [device-id] [arguments]";

const char* kGlobalHelp = R"(Options (anywhere on the line):
  --address HOST:PORT  server address (default localhost:50051)
  --timeout S          seconds to wait for the connection and for each unary call (default 5)
  --json               print each response as one JSON object (protobuf's JSON mapping, field
                       names as in the schema); image and video bytes are left out
  --help               this text; `tovakctl <service> --help` explains every call of a service

Exit status:
  0   the call succeeded
  1   a local problem (an output file cannot be written, a pose file cannot be read)
  2   the server answered with a failure; its error message is printed
  3   the server cannot be reached within the timeout, or the connection was lost
  64  the command line is wrong; the usage line is printed
)";

std::vector<Service> services() {
  return {systemService(), cameraService(), robotService(), handService(),
          headService(),   speakerService(), micService(),   hlcService()};
}

const Service* findService(const std::vector<Service>& all, const std::string& name) {
  const std::string n = lower(name);
  for (const auto& s : all) {
    if (s.name == n) return &s;
    for (const auto& a : s.aliases)
      if (a == n) return &s;
  }
  return nullptr;
}

// A call by its command-line name or by its RPC name, in any case.
const Call* findCall(const Service& s, const std::string& name) {
  const std::string n = lower(name);
  for (const auto& c : s.calls)
    if (c.name == n || lower(c.rpc) == n) return &c;
  return nullptr;
}

std::string callUsage(const Service& s, const Call& c) {
  return "usage: tovakctl [options] " + s.name + " " + c.name + (c.synopsis.empty() ? "" : " " + c.synopsis);
}

std::string serviceUsage(const Service& s) { return "usage: tovakctl [options] " + s.name + " <call> ..."; }

void printCallHelp(std::ostream& os, const Call& c) {
  os << "  " << c.name << (c.synopsis.empty() ? "" : " " + c.synopsis) << "\n";
  os << "      " << c.summary << "  [" << c.rpc << "]\n";
  if (!c.details.empty()) {
    std::istringstream in(c.details);
    for (std::string l; std::getline(in, l);) os << "      " << l << "\n";
  }
  size_t w = 0;
  for (const auto& o : c.options) w = std::max(w, o.name.size() + o.metavar.size() + 3);
  for (const auto& o : c.options) {
    std::string flag = (o.name.size() == 1 ? "-" : "--") + o.name + (o.takesValue() ? " " + o.metavar : "");
    os << "      " << flag << std::string(w - flag.size() + 2, ' ') << o.help << "\n";
  }
  os << "      e.g. " << c.example << "\n";
}

void printServiceHelp(std::ostream& os, const Service& s) {
  os << "tovakctl " << s.name << ": " << s.summary << "\n";
  if (!s.aliases.empty()) {
    os << "(also:";
    for (const auto& a : s.aliases) os << " " << a;
    os << ")\n";
  }
  os << serviceUsage(s) << "\n\nCalls (by name, or by the RPC name in brackets):\n";
  for (const auto& c : s.calls) printCallHelp(os, c);
}

void printOverview(std::ostream& os, const std::vector<Service>& all) {
  os << "tovakctl: the command-line client of the robot's device server.\n" << kUsage << "\n\n";
  os << "  list                 the devices and their kinds (SystemService/GetSystemStatus)\n";
  for (const auto& s : all) {
    os << "\n" << s.name << ": " << s.summary << "\n";
    for (const auto& c : s.calls)
      os << "  " << c.name << (c.synopsis.empty() ? "" : " " + c.synopsis) << "\n      " << c.summary << "\n";
  }
  os << "\n" << kGlobalHelp
     << "\nExamples:\n"
        "  tovakctl list\n"
        "  tovakctl camera start head_camera && tovakctl camera rgb head_camera -o colour.png\n"
        "  tovakctl hand set-angles left_hand 2=0.7 3=0.5\n"
        "  tovakctl robot movej humanoid L_SHOULDER_P=0.5 --vel 0.3\n";
}

struct Global {
  Context ctx;
  bool help = false;
  std::vector<std::string> rest;  // service, call and the call's own arguments
};

Global parseGlobal(int argc, char** argv) {
  Global g;
  for (int i = 1; i < argc; ++i) {
    std::string t = argv[i];
    std::optional<std::string> inline_value;
    if (t.rfind("--", 0) == 0 && t.find('=') != std::string::npos) {
      inline_value = t.substr(t.find('=') + 1);
      t.resize(t.find('='));
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) throw UsageError("option '" + t + "' needs a value");
      return argv[++i];
    };
    if (t == "--address" || t == "-a") {
      g.ctx.address = value();
      if (g.ctx.address.empty()) throw UsageError("--address is empty");
    } else if (t == "--timeout") {
      g.ctx.timeout_s = parseDouble(value(), "--timeout");
      if (g.ctx.timeout_s <= 0) throw UsageError("--timeout must be more than 0 seconds");
    } else if (t == "--json") {
      g.ctx.json = true;
    } else if (t == "--help" || t == "-h") {
      g.help = true;
    } else {
      g.rest.push_back(argv[i]);
    }
  }
  return g;
}

int run(int argc, char** argv) {
  const auto all = services();
  const Service* service = nullptr;
  const Call* call = nullptr;
  try {
    Global g = parseGlobal(argc, argv);
    auto& rest = g.rest;
    if (!rest.empty() && rest[0] == "help") {
      rest.erase(rest.begin());
      g.help = true;
    }
    if (rest.empty()) {
      if (g.help) {
        printOverview(std::cout, all);
        return kExitOk;
      }
      throw UsageError("missing <service>; `tovakctl --help` lists them");
    }
    if (lower(rest[0]) == "list" || lower(rest[0]) == "devices") {
      if (g.help) {
        std::cout << "usage: tovakctl [options] list\n  the devices, their kinds and the service that drives each\n";
        return kExitOk;
      }
      if (rest.size() > 1) throw UsageError("unexpected argument '" + rest[1] + "'");
      listDevices(g.ctx);
      return kExitOk;
    }
    service = findService(all, rest[0]);
    if (!service) throw UsageError("unknown service '" + rest[0] + "'; services: list, system, camera, robot, hand, head, speaker, mic, hlc");
    if (rest.size() < 2 || rest[1].empty() || rest[1][0] == '-') {
      if (g.help) {
        printServiceHelp(std::cout, *service);
        return kExitOk;
      }
      std::string names;
      for (const auto& c : service->calls) names += " " + c.name;
      throw UsageError("missing <call>; " + service->name + " calls:" + names);
    }
    call = findCall(*service, rest[1]);
    if (!call) {
      std::string names;
      for (const auto& c : service->calls) names += " " + c.name;
      throw UsageError(service->name + " has no call '" + rest[1] + "'; calls:" + names);
    }
    if (g.help) {
      std::cout << callUsage(*service, *call) << "\n";
      printCallHelp(std::cout, *call);
      return kExitOk;
    }
    const Args args = parseCallArgs({rest.begin() + 2, rest.end()}, call->options);
    call->run(g.ctx, args);
    return kExitOk;
  } catch (const UsageError& e) {
    std::cerr << "tovakctl: " << e.what() << "\n"
              << (call ? callUsage(*service, *call) : service ? serviceUsage(*service) : kUsage) << "\n";
    return kExitUsage;
  } catch (const CallFailed& e) {
    std::cerr << "tovakctl: " << e.what() << "\n";
    return kExitCallFailed;
  } catch (const Unreachable& e) {
    std::cerr << "tovakctl: " << e.what() << "\n";
    return kExitUnreachable;
  } catch (const LocalError& e) {
    std::cerr << "tovakctl: " << e.what() << "\n";
    return kExitLocal;
  } catch (const std::exception& e) {
    std::cerr << "tovakctl: " << e.what() << "\n";
    return kExitLocal;
  } catch (...) {
    std::cerr << "tovakctl: unexpected error\n";
    return kExitLocal;
  }
}

}  // namespace
}  // namespace tovakctl

int main(int argc, char** argv) { return tovakctl::run(argc, argv); }
