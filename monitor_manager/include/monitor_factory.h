#pragma once

#include <memory>

#include "common/utils/xml_parser/xml_parser.h"
#include "monitor/abstract_monitor.h"

namespace tovak::monitor {

// Makes monitors from their configuration elements. Creates or throws: it
// never returns an empty pointer.
class MonitorFactory {
 public:
  MonitorFactory() = default;

  // Chooses the monitor by the element's name ("DiskMonitor"); throws
  // std::runtime_error "[MonitorFactory]: Unsupported monitor type <name>"
  // for any other name.
  std::shared_ptr<AbstractMonitor> create(const XmlNode& node);

  template <class T>
  std::shared_ptr<T> create(const XmlNode& node) {
    return std::make_shared<T>(node);
  }
};

}  // namespace tovak::monitor
