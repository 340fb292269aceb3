// The system monitor against fixture files and a fake statvfs, never this
// machine's own figures.

#include <cerrno>
#include <cmath>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_manager/include/system_monitor.h"
#include "tests/support/log_capture.h"
#include "tests/unit/registry/registry_test_util.h"

namespace tovak::device {
namespace {

const std::string kMeminfo =
    "MemTotal:       16384000 kB\n"
    "MemFree:         1024000 kB\n"
    "MemAvailable:    8192000 kB\n"
    "Buffers:          100000 kB\n"
    "HugePages_Total:       0\n";

// 1 000 000 blocks of 4096 bytes, 250 000 of them free (200 000 for users).
int fakeStatvfs(const char*, struct statvfs* out) {
  *out = {};
  out->f_frsize = 4096;
  out->f_bsize = 8192;
  out->f_blocks = 1000000;
  out->f_bfree = 250000;
  out->f_bavail = 200000;
  return 0;
}

class SystemMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeStat("cpu 1 1 1 1 1 1 1 1 0 0");
    dir_.write("thermal", "48500\n");
    dir_.write("meminfo", kMeminfo);
  }

  SystemMonitorSources sources(std::function<int(const char*, struct statvfs*)> fs = fakeStatvfs) const {
    SystemMonitorSources s;
    s.proc_stat = dir_.file("stat");
    s.meminfo = dir_.file("meminfo");
    s.thermal = dir_.file("thermal");
    s.disk_path = "/srv/data";
    s.statvfs_fn = std::move(fs);
    return s;
  }

  void writeStat(const std::string& cpu_line) const {
    dir_.write("stat", cpu_line + "\ncpu0 1 2 3 4 5 6 7 8 0 0\nintr 12345\n");
  }

  static SystemStatus sample(SystemMonitor& monitor) {
    SystemStatus status;
    monitor.getStatus(status);
    return status;
  }

  tovak::test::ScratchDir dir_;
};

struct CpuCase {
  const char* name;
  std::string baseline;  // previous counters: idle time 100, total time 400
  std::string now;
  float expected_usage;
};
void PrintTo(const CpuCase& c, std::ostream* os) { *os << c.name; }

class CpuUsageTest : public SystemMonitorTest, public ::testing::WithParamInterface<CpuCase> {};

TEST_P(CpuUsageTest, UsageOverTheIntervalSinceThePreviousSample) {
  SystemMonitor monitor(sources());
  writeStat(GetParam().baseline);
  sample(monitor);
  writeStat(GetParam().now);
  const SystemStatus status = sample(monitor);
  EXPECT_FLOAT_EQ(status.cpu_usage, GetParam().expected_usage);
  EXPECT_FLOAT_EQ(status.cpu_temperature, 48.5f);
}

INSTANTIATE_TEST_SUITE_P(
    SystemMonitor, CpuUsageTest,
    ::testing::Values(CpuCase{"all_idle", "cpu 200 0 100 50 50 0 0 0", "cpu 200 0 100 150 50 0 0 0", 0.0f},
                      CpuCase{"half_busy", "cpu 200 0 100 50 50 0 0 0", "cpu 250 0 100 130 20 0 0 0", 50.0f},
                      // irq, softirq and steal count as busy time; guest columns are ignored
                      CpuCase{"irq_softirq_steal_busy", "cpu 200 0 100 50 50 0 0 0 900 900",
                              "cpu 200 0 100 50 50 10 20 30 5 5", 100.0f},
                      CpuCase{"quarter_busy", "cpu 200 0 100 50 50 0 0 0", "cpu 210 5 105 115 60 0 0 5", 25.0f}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SystemMonitorTest, NoTimePassedGivesZeroOneErrorAndKeepsTheTemperature) {
  SystemMonitor monitor(sources());
  writeStat("cpu 300 0 100 50 50 0 0 0");
  EXPECT_FLOAT_EQ(sample(monitor).cpu_temperature, 48.5f);

  dir_.write("thermal", "70000\n");
  tovak::test::LogCapture logs;
  const SystemStatus status = sample(monitor);
  EXPECT_FLOAT_EQ(status.cpu_usage, 0.0f);
  EXPECT_FLOAT_EQ(status.cpu_temperature, 48.5f);
  ASSERT_EQ(logs.lines().size(), 1u);
  EXPECT_EQ(logs.lines()[0].severity, google::GLOG_ERROR);
  EXPECT_EQ(logs.lines()[0].text, "[SystemMonitor] (get_cpu_): [SystemMonitor] (get_cpu_):CPU usage is zero");
  // The other figures are still sampled.
  EXPECT_FLOAT_EQ(status.total_memory, 16000.0f);
  EXPECT_FLOAT_EQ(status.total_disk, 3906.25f);
}

TEST_F(SystemMonitorTest, UnreadableCpuOrThermalFileLeavesDefinedFigures) {
  SystemMonitor monitor(sources());
  writeStat("cpu 400 0 100 50 50 0 0 0");
  sample(monitor);

  // Without a thermal file the temperature keeps its value; the usage is still measured.
  std::filesystem::remove(dir_.file("thermal"));
  writeStat("cpu 500 0 100 50 50 0 0 0");
  SystemStatus status = sample(monitor);
  EXPECT_FLOAT_EQ(status.cpu_usage, 100.0f);
  EXPECT_FLOAT_EQ(status.cpu_temperature, 48.5f);

  // Without a cpu line there is nothing to compare: no load, one error naming the file.
  dir_.write("stat", "intr 12345\n");
  tovak::test::LogCapture logs;
  status = sample(monitor);
  EXPECT_FLOAT_EQ(status.cpu_usage, 0.0f);
  EXPECT_FLOAT_EQ(status.cpu_temperature, 48.5f);
  EXPECT_EQ(logs.count("[SystemMonitor] (get_cpu_): [SystemMonitor] (get_cpu_):cannot read the cpu line of " +
                           dir_.file("stat"),
                       google::GLOG_ERROR),
            1);
  EXPECT_EQ(logs.lines().size(), 1u);
}

struct MemCase {
  const char* name;
  std::optional<std::string> meminfo;  // nullopt: no file
  float expected_used;
  float expected_total;
  bool error_logged;
};
void PrintTo(const MemCase& c, std::ostream* os) { *os << c.name; }

class MemoryTest : public SystemMonitorTest, public ::testing::WithParamInterface<MemCase> {};

TEST_P(MemoryTest, FiguresInMiB) {
  SystemMonitor monitor(sources());
  sample(monitor);  // leaves the memory figures non-zero
  if (GetParam().meminfo) {
    dir_.write("meminfo", *GetParam().meminfo);
  } else {
    std::filesystem::remove(dir_.file("meminfo"));
  }
  tovak::test::LogCapture logs;
  const SystemStatus status = sample(monitor);
  EXPECT_FLOAT_EQ(status.used_memory, GetParam().expected_used);
  EXPECT_FLOAT_EQ(status.total_memory, GetParam().expected_total);
  EXPECT_EQ(logs.count("[SystemMonitor] (get_memory_): [SystemMonitor] (get_memory_): invalid memory status",
                       google::GLOG_ERROR),
            GetParam().error_logged ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    SystemMonitor, MemoryTest,
    ::testing::Values(MemCase{"total_and_available", kMeminfo, 8000.0f, 16000.0f, false},
                      // Older kernels: nothing counts as available.
                      MemCase{"no_available", "MemTotal: 16384000 kB\nMemFree: 1024000 kB\nBuffers: 5 kB\n", 16000.0f,
                              16000.0f, false},
                      MemCase{"no_total", "MemFree: 1024000 kB\nMemAvailable: 8192000 kB\n", 0.0f, 0.0f, true},
                      MemCase{"no_file", std::nullopt, 0.0f, 0.0f, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SystemMonitorTest, DiskFiguresCountBlocksFreeToTheSuperuser) {
  std::string asked_path;
  SystemMonitor monitor(sources([&](const char* path, struct statvfs* out) {
    asked_path = path;
    return fakeStatvfs(path, out);
  }));
  const SystemStatus status = sample(monitor);
  EXPECT_EQ(asked_path, "/srv/data");
  EXPECT_FLOAT_EQ(status.total_disk, 3906.25f);
  EXPECT_FLOAT_EQ(status.used_disk, 2929.6875f);
}

TEST_F(SystemMonitorTest, FailingStatvfsZeroesTheDiskFigures) {
  bool fail = false;
  SystemMonitor monitor(sources([&](const char* path, struct statvfs* out) {
    if (!fail) return fakeStatvfs(path, out);
    errno = EIO;
    return -1;
  }));
  EXPECT_FLOAT_EQ(sample(monitor).total_disk, 3906.25f);
  fail = true;
  tovak::test::LogCapture logs;
  const SystemStatus status = sample(monitor);
  EXPECT_FLOAT_EQ(status.total_disk, 0.0f);
  EXPECT_FLOAT_EQ(status.used_disk, 0.0f);
  EXPECT_FLOAT_EQ(status.total_memory, 16000.0f);
  EXPECT_EQ(logs.count("[SystemMonitor] (get_disk_): [SystemMonitor] (get_disk_): invalid disk status",
                       google::GLOG_ERROR),
            1);
}

// Concurrent callers are serialised: every caller gets one consistent
// sample, and (under ThreadSanitizer) nothing is shared unprotected.
TEST_F(SystemMonitorTest, ConcurrentCallersShareOneMonitor) {
  SystemMonitor monitor(sources());
  SystemMonitor second(sources());
  std::vector<std::thread> threads;
  std::vector<SystemStatus> results(8);
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      SystemMonitor& m = (t % 2 == 0) ? monitor : second;
      for (int i = 0; i < 50; ++i) m.getStatus(results[t]);
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& r : results) {
    EXPECT_FLOAT_EQ(r.total_memory, 16000.0f);
    EXPECT_FLOAT_EQ(r.used_disk, 2929.6875f);
    EXPECT_GE(r.cpu_usage, 0.0f);
    EXPECT_LE(r.cpu_usage, 100.0f);
  }
}

struct OsCase {
  const char* name;
  std::string text;
  bool expected_found;
  std::string expected_os;  // "(unchanged)" when not found
};
void PrintTo(const OsCase& c, std::ostream* os) { *os << c.name; }

class OsReleaseTest : public ::testing::TestWithParam<OsCase> {};

TEST_P(OsReleaseTest, PrettyName) {
  std::istringstream in(GetParam().text);
  std::string os = "(unchanged)";
  EXPECT_EQ(readPrettyName(in, os), GetParam().expected_found);
  EXPECT_EQ(os, GetParam().expected_os);
}

INSTANTIATE_TEST_SUITE_P(
    SystemMonitor, OsReleaseTest,
    ::testing::Values(
        OsCase{"double_quoted", "NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n", true,
               "Debian GNU/Linux 12 (bookworm)"},
        OsCase{"first_line_wins", "PRETTY_NAME=\"First\"\nPRETTY_NAME=\"Second\"\n", true, "First"},
        OsCase{"empty_quoted", "PRETTY_NAME=\"\"\n", true, ""},
        OsCase{"single_quoted", "PRETTY_NAME='Alpine Linux v3.19'\n", true, "Alpine Linux v3.19"},
        OsCase{"unquoted", "PRETTY_NAME=Arch\n", true, "Arch"},
        OsCase{"escaped_quote", "PRETTY_NAME=\"Say \\\"hi\\\" \\\\ \\$HOME\"\n", true, "Say \"hi\" \\ $HOME"},
        OsCase{"lone_quote_kept", "PRETTY_NAME=\"\n", true, "\""},
        OsCase{"key_must_start_the_line", " PRETTY_NAME=\"Indented\"\nXPRETTY_NAME=\"Other\"\n", false,
               "(unchanged)"},
        OsCase{"no_pretty_name", "NAME=\"Debian\"\n", false, "(unchanged)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovak::device
