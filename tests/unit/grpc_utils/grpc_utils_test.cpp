#include "utils/base/include/grpc_utils.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

struct Case {
  long long nanos;
  long long seconds;
  int nanos_part;
};

TEST(TimestampTest, SplitsNanosecondsSinceEpoch) {
  const Case cases[] = {
      {2'500'000'000LL, 2, 500'000'000},
      {7'000'000'001LL, 7, 1},
      {0, 0, 0},
      {999'999'999LL, 0, 999'999'999},
      // Before the epoch the nanos part must stay non-negative.
      {-1LL, -1, 999'999'999},
  };
  for (const auto& c : cases) {
    google::protobuf::Timestamp ts;
    tovak::setTimestampFromNanos(&ts, c.nanos);
    EXPECT_EQ(ts.seconds(), c.seconds) << c.nanos;
    EXPECT_EQ(ts.nanos(), c.nanos_part) << c.nanos;
  }
}

TEST(TimestampTest, CurrentTimestampIsNow) {
  const auto before = std::chrono::system_clock::now();
  google::protobuf::Timestamp ts;
  setCurrentTimestamp(&ts);
  const auto after = std::chrono::system_clock::now();
  const auto stamped = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::seconds(ts.seconds()) +
                                                                      std::chrono::nanoseconds(ts.nanos())));
  EXPECT_LE(before, stamped);
  EXPECT_LE(stamped, after);
}

}  // namespace
