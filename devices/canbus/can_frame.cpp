#include <cstdio>

#include "devices/canbus/abstract_canbus.h"

namespace tovak::device {

std::string CanFrame::CanFrameString() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "id=0x%03X len=%u data=", id, static_cast<unsigned>(len));
  std::string out = buf;
  for (unsigned i = 0; i < len && i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
    out += buf;
  }
  return out;
}

}  // namespace tovak::device
