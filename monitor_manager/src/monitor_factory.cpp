#include "monitor_manager/include/monitor_factory.h"

#include <stdexcept>
#include <string>

#include "monitor/diskmonitor/include/disk_monitor.h"

namespace tovak::monitor {

std::shared_ptr<AbstractMonitor> MonitorFactory::create(const XmlNode& node) {
  const std::string type = node.getNodeName();
  if (type == "DiskMonitor") return create<DiskMonitor>(node);
  throw std::runtime_error("[MonitorFactory]: Unsupported monitor type " + type);
}

}  // namespace tovak::monitor
