#include "utils/base/include/logger.h"

#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr std::pair<std::string_view, int> kLevels[] = {
    {"info", google::GLOG_INFO},
    {"warn", google::GLOG_WARNING},
    {"error", google::GLOG_ERROR},
    {"fatal", google::GLOG_FATAL},
};

}  // namespace

bool initLogger(const XmlNode& cfg) {
  // glog must be initialised before any flag is set or line logged; a second
  // InitGoogleLogging would abort the process, so only the first call (and
  // only if nobody else did it) initialises.
  static std::once_flag glog_initialised;
  std::call_once(glog_initialised, [] {
    if (!google::IsGoogleLoggingInitialized()) google::InitGoogleLogging("tovak_es");
  });

  // A configuration without a Logger element hands us a node that refers to
  // no element (every parsed element has a name): nothing to read from it.
  const std::string dir = cfg.getNodeName().empty() ? std::string() : cfg.getAttrString("dir");
  if (dir.empty()) {
    std::cerr << "Error: no directory specified" << std::endl;
    return false;
  }
  if (access(dir.c_str(), F_OK) != 0 && mkdir(dir.c_str(), 0755) != 0) {
    std::cerr << "Failed to create directory: " << dir << std::endl;
    return false;
  }
  FLAGS_log_dir = dir;

  const std::string level = cfg.getAttrDefault("level", "info");
  for (const auto& [word, severity] : kLevels) {
    if (level == word) FLAGS_minloglevel = severity;
  }

  FLAGS_logbufsecs = cfg.getAttrDefault("bufSize", 5);
  // The glog flag is unsigned; the atoi result is stored as converted, unchecked.
  FLAGS_max_log_size = static_cast<std::uint32_t>(cfg.getAttrDefault("logSize", 1024));
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = true;
  return true;
}
