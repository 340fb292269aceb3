#pragma once

// The table of services and calls tovakctl knows. Each service file fills
// one Service; main dispatches on it and builds the help from it.

#include <functional>
#include <string>
#include <vector>

#include "cli.h"
#include "client.h"

namespace tovakctl {

struct Call {
  std::string name;      // kebab-case name on the command line
  std::string rpc;       // the RPC it calls (also accepted as the call's name)
  std::string synopsis;  // arguments after the call name
  std::string summary;   // one line
  std::string details;   // further lines for `<service> <call> --help`; may be empty
  std::string example;   // a complete command line
  std::vector<OptionDef> options;
  std::function<void(Context&, const Args&)> run;
};

struct Service {
  std::string name;
  std::vector<std::string> aliases;
  std::string summary;
  std::vector<Call> calls;
};

Service systemService();
Service cameraService();
Service robotService();
Service handService();
Service headService();
Service speakerService();
Service micService();
Service hlcService();

// `tovakctl list`: the devices and their kinds.
void listDevices(Context& ctx);

// Options shared by several calls.
inline OptionDef outputOpt(const std::string& help) { return {"o", "FILE", help}; }

}  // namespace tovakctl
