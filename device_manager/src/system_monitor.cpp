#include "device_manager/include/system_monitor.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <glog/logging.h>

namespace tovak::device {

namespace {

// One lock and one pair of previous CPU counters for the whole process: the
// counters describe the host, not a SystemMonitor object.
std::mutex sample_mtx;
int64_t prevIdleTime = 0;
int64_t prevTotalTime = 0;

}  // namespace

SystemMonitor::SystemMonitor() : SystemMonitor(SystemMonitorSources{}) {}

SystemMonitor::SystemMonitor(SystemMonitorSources sources) : sources_(std::move(sources)) {
  if (!sources_.statvfs_fn) {
    sources_.statvfs_fn = [](const char* path, struct statvfs* out) { return ::statvfs(path, out); };
  }
}

void SystemMonitor::getStatus(SystemStatus& status) {
  std::lock_guard<std::mutex> lock(sample_mtx);
  try {
    get_cpu_();
    get_disk_();
    get_memory_();
    status = status_;
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

void SystemMonitor::get_cpu_() {
  try {
    std::string line;
    {
      std::ifstream in(sources_.proc_stat);
      std::getline(in, line);
    }
    std::istringstream words(line);
    std::string label;
    int64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    words >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    if (!words || label.rfind("cpu", 0) != 0) {
      // No counters to compare: report no load rather than a made-up figure.
      status_.cpu_usage = 0.0f;
      throw std::runtime_error("[SystemMonitor] (get_cpu_):cannot read the cpu line of " + sources_.proc_stat);
    }

    const int64_t idle_time = idle + iowait;
    const int64_t total_time = idle_time + user + nice + system + irq + softirq + steal;
    const int64_t delta_idle = idle_time - prevIdleTime;
    const int64_t delta_total = total_time - prevTotalTime;
    prevIdleTime = idle_time;
    prevTotalTime = total_time;

    if (delta_total == 0) {
      status_.cpu_usage = 0.0f;
      throw std::runtime_error("[SystemMonitor] (get_cpu_):CPU usage is zero");
    }
    status_.cpu_usage = 100.0f * (1.0f - static_cast<float>(delta_idle) / static_cast<float>(delta_total));

    std::ifstream thermal(sources_.thermal);
    int millidegrees = 0;
    if (thermal >> millidegrees) status_.cpu_temperature = static_cast<float>(millidegrees) / 1000.0f;
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SystemMonitor] (get_cpu_): " << e.what();
  }
}

void SystemMonitor::get_memory_() {
  try {
    int64_t total = 0;
    int64_t available = 0;
    {
      std::ifstream in(sources_.meminfo);
      std::string key;
      std::string unit;
      int64_t value = 0;
      while (in >> key >> value >> unit) {
        if (key == "MemTotal:") total = value;
        if (key == "MemAvailable:") {
          available = value;
          break;
        }
      }
    }
    if (total == 0) {
      status_.used_memory = 0.0f;
      status_.total_memory = 0.0f;
      throw std::runtime_error("[SystemMonitor] (get_memory_): invalid memory status: no MemTotal in " +
                               sources_.meminfo);
    }
    status_.total_memory = static_cast<float>(total) / 1024.0f;
    status_.used_memory = static_cast<float>(total - available) / 1024.0f;
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SystemMonitor] (get_memory_): " << e.what();
  }
}

void SystemMonitor::get_disk_() {
  try {
    struct statvfs st{};
    if (sources_.statvfs_fn(sources_.disk_path.c_str(), &st) != 0) {
      status_.used_disk = 0.0f;
      status_.total_disk = 0.0f;
      throw std::runtime_error("[SystemMonitor] (get_disk_): invalid disk status");
    }
    const uint64_t total = static_cast<uint64_t>(st.f_blocks) * static_cast<uint64_t>(st.f_frsize);
    const uint64_t free = static_cast<uint64_t>(st.f_bfree) * static_cast<uint64_t>(st.f_frsize);
    status_.used_disk = static_cast<float>(total - free) / 1048576.0f;
    status_.total_disk = static_cast<float>(total) / 1048576.0f;
  } catch (const std::exception& e) {
    LOG(ERROR) << "[SystemMonitor] (get_disk_): " << e.what();
  }
}

bool readPrettyName(std::istream& os_release, std::string& os) {
  static const std::string key = "PRETTY_NAME=";
  std::string line;
  while (std::getline(os_release, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      std::string unescaped;
      for (size_t i = 1; i + 1 < value.size(); ++i) {
        const char next = value[i + 1];
        if (value[i] == '\\' && i + 2 < value.size() &&
            (next == '"' || next == '\\' || next == '$' || next == '`')) {
          ++i;
        }
        unescaped += value[i];
      }
      value = unescaped;
    } else if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    os = value;
    return true;
  }
  return false;
}

}  // namespace tovak::device
