#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/utils/xml_parser/xml_parser.h"
#include "monitor/abstract_monitor.h"
#include "monitor_manager/include/monitor_factory.h"

namespace tovak::monitor {

// Process-wide owner of the background monitors, created once at start-up
// from the MonitorManager element. Each monitor runs on its own timer from its
// construction on; the manager only keeps it alive.
//
// Reads the first DiskMonitor child (others are ignored) and keeps it under
// its `id` attribute (empty when absent). Without a DiskMonitor child it runs
// no monitor and says so at INFO.
class MonitorManager {
 public:
  // The first call creates the manager from `cfg`; later calls ignore `cfg`.
  // A monitor that cannot be built is logged at ERROR and thrown on as
  // std::runtime_error; the next call then tries again, as it does after
  // destroyInstance().
  static MonitorManager& getInstance(const XmlNode& cfg);
  // Throws std::runtime_error when the manager was never created.
  static MonitorManager& getInstance();
  static void destroyInstance();

  MonitorManager(const MonitorManager&) = delete;
  MonitorManager& operator=(const MonitorManager&) = delete;
  ~MonitorManager();

  // The monitors by id; fixed once the manager exists.
  const std::unordered_map<std::string, std::shared_ptr<AbstractMonitor>>& monitors() const { return monitors_; }

 private:
  explicit MonitorManager(const XmlNode& cfg);
  void init_monitors();

  XmlNode cfg_;
  std::shared_ptr<MonitorFactory> monitor_factory_;
  std::unordered_map<std::string, std::shared_ptr<AbstractMonitor>> monitors_;

  // Creation is serialised by a mutex rather than std::call_once: a monitor
  // that cannot be built must leave creation open for a later call, and an
  // exception leaving call_once is not portable (it deadlocks the next call
  // under ThreadSanitizer's pthread_once).
  static std::mutex init_mtx_;
  static std::shared_ptr<MonitorManager> instance_;
};

}  // namespace tovak::monitor
