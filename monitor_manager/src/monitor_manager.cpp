#include "monitor_manager/include/monitor_manager.h"

#include <exception>
#include <stdexcept>

#include <glog/logging.h>

#include "monitor/diskmonitor/include/disk_monitor.h"

namespace tovak::monitor {

std::mutex MonitorManager::init_mtx_;
std::shared_ptr<MonitorManager> MonitorManager::instance_;

MonitorManager& MonitorManager::getInstance(const XmlNode& cfg) {
  std::lock_guard<std::mutex> lock(init_mtx_);
  if (!instance_) instance_.reset(new MonitorManager(cfg));
  return *instance_;
}

MonitorManager& MonitorManager::getInstance() {
  std::lock_guard<std::mutex> lock(init_mtx_);
  if (!instance_) {
    throw std::runtime_error(
        "[MonitorManager] (getInstance): MonitorManager not initialized. Call getInstance(const XmlNode&) first.");
  }
  return *instance_;
}

void MonitorManager::destroyInstance() {
  std::shared_ptr<MonitorManager> released;
  {
    std::lock_guard<std::mutex> lock(init_mtx_);
    released.swap(instance_);
  }
  // The monitors stop their timers outside the lock.
}

MonitorManager::MonitorManager(const XmlNode& cfg) {
  monitor_factory_ = std::make_shared<MonitorFactory>();
  cfg_ = cfg;
  init_monitors();
}

MonitorManager::~MonitorManager() = default;

void MonitorManager::init_monitors() {
  try {
    // A missing child would come back as a node that refers to nothing; its
    // settings must not be read as if they were defaults.
    if (!cfg_.hasChild("DiskMonitor")) {
      LOG(INFO) << "[MonitorManager] (init_monitors): no DiskMonitor configured, running without monitors";
      return;
    }
    const XmlNode node = cfg_.getChild("DiskMonitor");
    const std::string id = node.getAttrString("id");
    std::shared_ptr<DiskMonitor> monitor = monitor_factory_->create<DiskMonitor>(node);
    monitors_[id] = monitor;
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
    throw std::runtime_error(e.what());
  }
}

}  // namespace tovak::monitor
