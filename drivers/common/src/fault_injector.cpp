#include "drivers/common/include/fault_injector.h"

#include <stdexcept>

namespace tovak::device {

bool FaultInjector::handleParam(const std::pair<std::string, std::string>& param, const std::string& device) {
  if (param.first != kParam) return false;
  const auto colon = param.second.find(':');
  if (colon == std::string::npos || colon == 0) {
    throw std::invalid_argument("device " + device + ": fault value '" + param.second +
                                "' must be <operation>:<text>");
  }
  const std::string op = param.second.substr(0, colon);
  const std::string text = param.second.substr(colon + 1);
  std::lock_guard<std::mutex> lk(mtx_);
  if (text.empty()) {
    if (op == "*")
      pending_.clear();
    else
      pending_.erase(op);
  } else {
    pending_[op] = text;
  }
  return true;
}

void FaultInjector::check(const std::string& operation) {
  std::string text;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    auto it = pending_.find(operation);
    if (it == pending_.end()) return;
    text = std::move(it->second);
    pending_.erase(it);
  }
  if (text == "!nonstd") throw NonStandardFault{operation};
  throw std::runtime_error(text);
}

}  // namespace tovak::device
