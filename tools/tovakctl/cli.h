#pragma once

// Command-line plumbing of tovakctl: the error kinds that decide the exit
// status, the parsed arguments of one call, and strict value parsing.

#include <google/protobuf/message.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tovakctl {

// Exit statuses; the README lists them for scripts.
enum ExitCode : int {
  kExitOk = 0,
  kExitLocal = 1,        // a local problem: unwritable output file, unreadable pose file
  kExitCallFailed = 2,   // the server answered with a failure
  kExitUnreachable = 3,  // no connection within the timeout, or the connection was lost
  kExitUsage = 64,       // the command line is wrong (EX_USAGE)
};

// The command line is wrong; main prints the message and the usage line.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The server reported a failure (feedback header or gRPC status).
struct CallFailed : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The server cannot be reached, or went away during the call.
struct Unreachable : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Something on this side failed (files).
struct LocalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An option a call accepts, e.g. {"vel", "V", "overall velocity"}; an empty
// metavar makes it a flag.
struct OptionDef {
  std::string name;  // without dashes; one letter means "-o", else "--name"
  std::string metavar;
  std::string help;
  bool takesValue() const { return !metavar.empty(); }
};

// The positional arguments and options given to one call.
class Args {
 public:
  std::vector<std::string> pos;
  std::map<std::string, std::string> opts;

  // Positional argument i, or a usage error naming `what`.
  const std::string& need(size_t i, const std::string& what) const;
  // Fails when more than n positional arguments were given.
  void atMost(size_t n) const;
  bool has(const std::string& name) const { return opts.count(name) != 0; }
  std::optional<std::string> get(const std::string& name) const;
  double getDouble(const std::string& name, double fallback) const;
  long getInt(const std::string& name, long fallback) const;
};

// Splits raw tokens into positional arguments and the options in `options`.
// "--name value", "--name=value" and "-o value" are accepted; a token that
// starts with '-' but reads as a number ("-0.3") is positional.
Args parseCallArgs(const std::vector<std::string>& raw, const std::vector<OptionDef>& options);

// Strict number parsing: the whole text must be a finite number; otherwise a
// usage error that quotes `context` (the argument the text came from).
double parseDouble(const std::string& text, const std::string& context);
long parseInt(const std::string& text, const std::string& context);
bool parseBool(const std::string& text, const std::string& context);

// "key=value" -> {key, value}; a usage error when there is no '='.
std::pair<std::string, std::string> splitKeyValue(const std::string& arg, const std::string& shape);

// Sets the scalar field at a dotted path ("mouth.left_lip.upper_y") of a
// message from text, through reflection. Unknown fields and bad values are
// usage errors that list what the message accepts.
void setFieldByPath(google::protobuf::Message& msg, const std::string& path, const std::string& value);
// Every scalar leaf path of a message type, in declaration order.
std::vector<std::string> leafPaths(const google::protobuf::Descriptor* d, const std::string& prefix = "");

// Parses an enum value name case-insensitively ("backward", "RX"); a usage
// error listing the accepted names otherwise.
int parseEnum(const google::protobuf::EnumDescriptor* e, const std::string& text, const std::string& context);
std::string enumNames(const google::protobuf::EnumDescriptor* e);

std::string lower(std::string s);

}  // namespace tovakctl
