#include <atomic>
#include <cerrno>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "monitor/diskmonitor/include/disk_monitor.h"
#include "tests/support/log_capture.h"
#include "tests/unit/monitor/wait_for.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak::monitor {
namespace {

using tovak::test::parseXml;
using tovak::test::waitFor;

// A file system of 1000 blocks whose use the test sets; counts the samples.
struct FakeDisk {
  std::atomic<int> used_percent{50};
  std::atomic<bool> fail{false};
  std::atomic<int> samples{0};
  std::string last_path;  // written before the timer starts only

  DiskMonitor::StatvfsFunction fn() {
    return [this](const char* path, struct statvfs* out) {
      ++samples;
      if (samples == 1) last_path = path;
      if (fail) {
        errno = EIO;
        return -1;
      }
      *out = {};
      out->f_frsize = 4096;
      out->f_blocks = 1000;
      out->f_bfree = static_cast<fsblkcnt_t>(1000 - used_percent * 10);
      out->f_bavail = 0;  // reserved blocks still count as free
      return 0;
    };
  }
};

TEST(DiskMonitorTest, DefaultsWatchTheRootOncePerSecondAtNinetyPercent) {
  FakeDisk disk;
  DiskMonitor monitor(parseXml("<DiskMonitor/>"), disk.fn());
  EXPECT_EQ(monitor.path(), "/");
  EXPECT_EQ(monitor.freq(), 1);
  EXPECT_EQ(monitor.threshold(), 90);
  EXPECT_EQ(disk.last_path, "/");
}

struct SettingCase {
  const char* name;
  std::string attrs;
  std::string expected_error;
};
void PrintTo(const SettingCase& c, std::ostream* os) { *os << c.name; }

class DiskMonitorSettingsTest : public ::testing::TestWithParam<SettingCase> {};

TEST_P(DiskMonitorSettingsTest, RefusedWithTheValueNamed) {
  FakeDisk disk;
  try {
    DiskMonitor monitor(parseXml("<DiskMonitor " + GetParam().attrs + "/>"), disk.fn());
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), GetParam().expected_error);
  }
}

const std::string kFreqRange = "' is not valid: expected an integer from 1 to 1000";
const std::string kThresholdRange = "' is not valid: expected an integer from 1 to 100";

INSTANTIATE_TEST_SUITE_P(
    DiskMonitor, DiskMonitorSettingsTest,
    ::testing::Values(SettingCase{"freq_zero", R"(freq="0")", "[DiskMonitor]: freq '0" + kFreqRange},
                      SettingCase{"freq_negative", R"(freq="-2")", "[DiskMonitor]: freq '-2" + kFreqRange},
                      SettingCase{"freq_fraction", R"(freq="1.5")", "[DiskMonitor]: freq '1.5" + kFreqRange},
                      SettingCase{"freq_text", R"(freq="fast")", "[DiskMonitor]: freq 'fast" + kFreqRange},
                      SettingCase{"freq_empty", R"(freq="")", "[DiskMonitor]: freq '" + kFreqRange},
                      SettingCase{"freq_too_high", R"(freq="1001")", "[DiskMonitor]: freq '1001" + kFreqRange},
                      SettingCase{"threshold_zero", R"(threshold="0")",
                                  "[DiskMonitor]: threshold '0" + kThresholdRange},
                      SettingCase{"threshold_over_100", R"(threshold="101")",
                                  "[DiskMonitor]: threshold '101" + kThresholdRange},
                      SettingCase{"threshold_percent_sign", R"(threshold="90%")",
                                  "[DiskMonitor]: threshold '90%" + kThresholdRange},
                      SettingCase{"path_empty", R"(path="")", "[DiskMonitor]: path '' is not valid: expected a path"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiskMonitorTest, RefusesAPathThatDoesNotExist) {
  try {
    DiskMonitor monitor(parseXml(R"(<DiskMonitor path="/no/such/folder/tovak"/>)"));
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "[DiskMonitor]: path '/no/such/folder/tovak' cannot be watched: No such file or directory");
  }
}

TEST(DiskMonitorTest, CrossingTheThresholdIsReportedOnceEachWay) {
  tovak::test::LogCapture logs;
  FakeDisk disk;
  DiskMonitor monitor(parseXml(R"(<DiskMonitor path="/data" freq="200" threshold="90"/>)"), disk.fn());
  const std::string full = "[DiskMonitor]: /data is 95.0% full (threshold 90%)";
  const std::string back = "[DiskMonitor]: /data is back below its threshold: 40.0% full (threshold 90%)";
  auto samplesAfter = [&](int n) {
    const int target = disk.samples + n;
    return waitFor([&] { return disk.samples >= target; });
  };

  ASSERT_TRUE(samplesAfter(3));
  EXPECT_EQ(logs.count("[DiskMonitor]"), 0);

  disk.used_percent = 95;
  ASSERT_TRUE(waitFor([&] { return logs.contains(full); }));
  ASSERT_TRUE(samplesAfter(10));
  EXPECT_EQ(logs.count(full, google::GLOG_WARNING), 1);

  disk.used_percent = 40;
  ASSERT_TRUE(waitFor([&] { return logs.contains(back); }));
  ASSERT_TRUE(samplesAfter(10));
  EXPECT_EQ(logs.count(back, google::GLOG_INFO), 1);
  EXPECT_EQ(logs.count("[DiskMonitor]"), 2);
}

TEST(DiskMonitorTest, AFileSystemAlreadyFullIsReportedAtConstruction) {
  tovak::test::LogCapture logs;
  FakeDisk disk;
  disk.used_percent = 90;  // at the threshold counts as full
  DiskMonitor monitor(parseXml(R"(<DiskMonitor path="/data" threshold="90"/>)"), disk.fn());
  EXPECT_EQ(logs.count("[DiskMonitor]: /data is 90.0% full (threshold 90%)", google::GLOG_WARNING), 1);
}

TEST(DiskMonitorTest, AFileSystemThatCannotBeReadIsReportedOnce) {
  tovak::test::LogCapture logs;
  FakeDisk disk;
  DiskMonitor monitor(parseXml(R"(<DiskMonitor path="/data" freq="200"/>)"), disk.fn());
  disk.fail = true;
  const int before = disk.samples;
  ASSERT_TRUE(waitFor([&] { return disk.samples >= before + 10; }));
  EXPECT_EQ(logs.count("[DiskMonitor]: cannot read /data: Input/output error", google::GLOG_ERROR), 1);
}

}  // namespace
}  // namespace tovak::monitor
