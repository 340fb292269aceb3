#include "utils/base/include/grpc_utils.h"

#include <chrono>

namespace tovak {
void setTimestampFromNanos(google::protobuf::Timestamp* ts, long long nanos_since_epoch) {
  // Floor division keeps nanos in [0, 1e9) also for instants before the epoch,
  // as google.protobuf.Timestamp requires.
  long long secs = nanos_since_epoch / 1000000000LL;
  long long nanos = nanos_since_epoch % 1000000000LL;
  if (nanos < 0) {
    nanos += 1000000000LL;
    secs -= 1;
  }
  ts->set_seconds(secs);
  ts->set_nanos(static_cast<int>(nanos));
}
}  // namespace tovak

void setCurrentTimestamp(google::protobuf::Timestamp* ts) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  tovak::setTimestampFromNanos(ts, std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}
