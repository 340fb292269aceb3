#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace tovak::device {

// Lets a client make a named driver operation fail, so that every error path
// of the services can be reached through the public API.
//
// Set through updateParams with the parameter name "fault" and the value
// "<operation>:<text>": the next call of <operation> throws
// std::runtime_error(<text>) and the fault is used up. The text "!nonstd"
// throws an exception that does not derive from std::exception instead.
// "<operation>:" (empty text) removes a pending fault; "*:" removes all.
class FaultInjector {
 public:
  static constexpr const char* kParam = "fault";

  // True when `param` was a fault setting (and was applied). Throws
  // std::invalid_argument naming the device when the value has no ':'.
  bool handleParam(const std::pair<std::string, std::string>& param, const std::string& device);

  // Throws the pending fault of `operation`, if any.
  void check(const std::string& operation);

 private:
  std::mutex mtx_;
  std::unordered_map<std::string, std::string> pending_;
};

// Thrown for "!nonstd": deliberately not derived from std::exception.
struct NonStandardFault {
  std::string operation;
};

}  // namespace tovak::device
