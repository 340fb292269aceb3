#include "monitor/diskmonitor/include/disk_monitor.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <glog/logging.h>

namespace tovak::monitor {

namespace {

// An optional integer attribute, read strictly: the whole text must be a
// decimal integer within [min, max]. atoi would turn "1.5" into 1 and "abc"
// into 0 without a word.
int intSetting(const XmlNode& node, const std::string& key, int def, int min, int max) {
  const auto attrs = node.getAllAttr();
  const auto it = attrs.find(key);
  if (it == attrs.end()) return def;
  const std::string& text = it->second;
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
    throw std::invalid_argument("[DiskMonitor]: " + key + " '" + text + "' is not valid: expected an integer from " +
                                std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

std::string percentText(double value) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << value;
  return out.str();
}

}  // namespace

DiskMonitor::DiskMonitor(const XmlNode& node, StatvfsFunction fs_stat)
    : AbstractMonitor(node), path_(node.getAttrDefault("path", "/")), fs_stat_(std::move(fs_stat)) {
  if (!fs_stat_) fs_stat_ = [](const char* path, struct statvfs* out) { return ::statvfs(path, out); };
  freq_ = intSetting(node, "freq", 1, 1, 1000);
  threshold_ = intSetting(node, "threshold", 90, 1, 100);
  if (path_.empty()) throw std::invalid_argument("[DiskMonitor]: path '' is not valid: expected a path");

  std::string error;
  use_ = sample_(error);
  if (use_ < 0) throw std::invalid_argument("[DiskMonitor]: path '" + path_ + "' cannot be watched: " + error);
  // A file system that is already full at start-up is reported right away.
  if (use_ >= threshold_) execution_();
  run();
}

DiskMonitor::~DiskMonitor() { timer_->stop(); }

double DiskMonitor::sample_(std::string& error) const {
  struct statvfs st{};
  if (fs_stat_(path_.c_str(), &st) != 0) {
    error = std::strerror(errno);
    return -1.0;
  }
  if (st.f_blocks == 0) {
    error = "the file system reports no blocks";
    return -1.0;
  }
  const double used = static_cast<double>(st.f_blocks - st.f_bfree);
  return 100.0 * used / static_cast<double>(st.f_blocks);
}

bool DiskMonitor::check_() {
  std::string error;
  const double use = sample_(error);
  if (use < 0) {
    if (!read_failed_) LOG(ERROR) << "[DiskMonitor]: cannot read " << path_ << ": " << error;
    read_failed_ = true;
    return false;
  }
  read_failed_ = false;
  use_ = use;
  return (use_ >= threshold_) != full_;
}

bool DiskMonitor::execution_() {
  full_ = use_ >= threshold_;
  if (full_) {
    LOG(WARNING) << "[DiskMonitor]: " << path_ << " is " << percentText(use_) << "% full (threshold " << threshold_
                 << "%)";
  } else {
    LOG(INFO) << "[DiskMonitor]: " << path_ << " is back below its threshold: " << percentText(use_)
              << "% full (threshold " << threshold_ << "%)";
  }
  return true;
}

}  // namespace tovak::monitor
