#pragma once

#include <google/protobuf/timestamp.pb.h>

// Stamps `ts` with the current wall-clock time: whole seconds since the Unix
// epoch and the remaining nanoseconds.
void setCurrentTimestamp(google::protobuf::Timestamp* ts);

namespace tovak {
// Same conversion for a given instant; split out so the arithmetic can be
// checked without depending on the clock.
void setTimestampFromNanos(google::protobuf::Timestamp* ts, long long nanos_since_epoch);
}  // namespace tovak
