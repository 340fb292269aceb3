#pragma once

#include <sys/statvfs.h>

#include <functional>
#include <string>

#include "monitor/abstract_monitor.h"

namespace tovak::monitor {

// Watches how full one file system is.
//
// Element attributes (all optional):
//   path       a path on the file system to watch; default "/"
//   freq       checks per second, an integer from 1 to 1000; default 1
//   threshold  use in percent, an integer from 1 to 100, at or above which the
//              file system counts as full; default 90
// Use is the share of all blocks that are not free ((f_blocks - f_bfree) /
// f_blocks), the same figures the system status reports.
//
// Reports transitions, not states: WARNING
//   "[DiskMonitor]: <path> is <x>% full (threshold <t>%)"
// once when the use reaches the threshold (also when it already has at
// construction), and INFO
//   "[DiskMonitor]: <path> is back below its threshold: <x>% full (threshold <t>%)"
// once when it falls below again. A file system that cannot be read any more
// is reported at ERROR once, until it can be read again.
//
// The constructor checks the settings and the path, takes the first sample
// and starts the timer; the destructor stops it.
class DiskMonitor : public AbstractMonitor {
 public:
  // Where the figures come from; statvfs(3) unless a test puts in its own.
  using StatvfsFunction = std::function<int(const char* path, struct statvfs* out)>;

  // Throws std::invalid_argument naming the value for a setting out of range,
  // a non-numeric setting, or a path whose file system cannot be read.
  explicit DiskMonitor(const XmlNode& node, StatvfsFunction fs_stat = {});
  ~DiskMonitor() override;

  const std::string& path() const { return path_; }
  int threshold() const { return threshold_; }
  int freq() const { return freq_; }

 protected:
  // Samples the use; true when it is on the other side of the threshold than
  // last reported.
  bool check_() override;
  // Reports the crossing found by check_().
  bool execution_() override;

 private:
  // Use in percent, or a negative value with `error` set.
  double sample_(std::string& error) const;

  std::string path_;
  int threshold_ = 90;
  StatvfsFunction fs_stat_;
  // Touched by the constructor before the timer starts, then only by the
  // timer's thread.
  double use_ = 0.0;
  bool full_ = false;
  bool read_failed_ = false;
};

}  // namespace tovak::monitor
