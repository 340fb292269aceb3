#include "monitor/abstract_monitor.h"

#include <chrono>
#include <stdexcept>
#include <string>

namespace tovak::monitor {

AbstractMonitor::AbstractMonitor(const XmlNode& cfg)
    : cfg_(cfg), freq_(cfg.getAttrDefault("freq", 1)), timer_(std::make_unique<FDTimer>()) {}

AbstractMonitor::~AbstractMonitor() { timer_->stop(); }

void AbstractMonitor::run() {
  if (freq_ <= 0) {
    throw std::invalid_argument("[AbstractMonitor] (run): freq must be at least 1 Hz, got " +
                                std::to_string(freq_));
  }
  const auto period = std::chrono::nanoseconds(std::chrono::seconds(1)) / freq_;
  timer_->start(period, [this] {
    if (check_()) execution_();
  });
}

bool AbstractMonitor::check_() { return false; }

bool AbstractMonitor::execution_() { return true; }

}  // namespace tovak::monitor
