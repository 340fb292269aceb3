#pragma once

#include <memory>

#include "common/utils/xml_parser/xml_parser.h"
#include "utils/base/include/timer.h"

namespace tovak::monitor {

// Base of the background monitors. A monitor watches one condition of the
// robot's computer on its own FDTimer: run() starts the timer, and on every
// tick check_() samples the condition and returns true when something is to
// be done, which execution_() then does.
//
// freq_ is the number of ticks per second, read from the element's `freq`
// attribute (default 1). The base does not judge the value; run() refuses a
// frequency <= 0 and a monitor may refuse more.
//
// The timer calls the virtual operations of the derived object, so a derived
// class must stop timer_ in its own destructor, before its members go away.
class AbstractMonitor {
 public:
  explicit AbstractMonitor(const XmlNode& cfg);
  virtual ~AbstractMonitor();
  AbstractMonitor(const AbstractMonitor&) = delete;
  AbstractMonitor& operator=(const AbstractMonitor&) = delete;

  // Starts the periodic checks; throws std::invalid_argument when freq_ <= 0
  // and std::logic_error when they already run.
  void run();

 protected:
  // Default: nothing to do.
  virtual bool check_();
  // Default: nothing done, reports success.
  virtual bool execution_();

  XmlNode cfg_;
  int freq_ = 1;
  std::unique_ptr<FDTimer> timer_;
};

}  // namespace tovak::monitor
