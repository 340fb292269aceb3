#pragma once

#include <sys/statvfs.h>

#include <functional>
#include <istream>
#include <mutex>
#include <string>

namespace tovak::device {

// Figures of the host, as last sampled. Memory and disk in MiB (2^20 bytes),
// CPU usage in percent of all CPU time, temperature in degrees Celsius.
struct SystemStatus {
  float cpu_usage = 0.0f;
  float used_memory = 0.0f;
  float total_memory = 0.0f;
  float used_disk = 0.0f;
  float total_disk = 0.0f;
  float cpu_temperature = 0.0f;
};

// Where the figures are read from. The defaults are the host's own files and
// its root file system; tests point them at fixture files.
struct SystemMonitorSources {
  std::string proc_stat = "/proc/stat";
  std::string meminfo = "/proc/meminfo";
  std::string thermal = "/sys/class/thermal/thermal_zone0/temp";
  std::string disk_path = "/";
  // statvfs(3) unless replaced.
  std::function<int(const char* path, struct statvfs* out)> statvfs_fn;
};

// Samples CPU load and temperature, memory and disk use each time it is
// asked.
//
// CPU usage is measured over the interval since the previous sample of any
// caller in the process (the previous counters are process-wide; the first
// sample after start-up gives the average since boot). Calls are serialised,
// also across instances, so concurrent callers share one baseline per
// interval instead of interleaving their updates.
//
// A sampler that fails logs "[SystemMonitor] (<sampler>): <text>" at ERROR
// and leaves defined figures; getStatus itself does not fail for it:
// - CPU: when no time has passed since the previous sample, or /proc/stat
//   has no readable "cpu" line, cpu_usage is 0 and the temperature is not
//   read (it keeps its last value);
// - temperature: an unreadable thermal file leaves it unchanged, without a
//   log line (many machines have no thermal zone 0);
// - memory: no MemTotal (or an unreadable file) gives 0 for both figures;
//   no MemAvailable (old kernels) counts nothing as available, so used equals
//   total;
// - disk: a failing statvfs gives 0 for both figures.
class SystemMonitor {
 public:
  SystemMonitor();
  explicit SystemMonitor(SystemMonitorSources sources);

  // Samples and copies the figures into `status`.
  void getStatus(SystemStatus& status);

 private:
  void get_cpu_();
  void get_memory_();
  void get_disk_();

  SystemMonitorSources sources_;
  SystemStatus status_;
};

// The operating system's description from os-release text: the value of the
// first line that begins with "PRETTY_NAME=". The os-release format allows
// the value in double quotes (with \" \\ \$ \` escapes), in single quotes, or
// bare; the quotes are removed. Returns false, leaving `os` unchanged, when
// there is no such line.
bool readPrettyName(std::istream& os_release, std::string& os);

}  // namespace tovak::device
