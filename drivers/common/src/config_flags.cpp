#include "drivers/common/include/config_flags.h"

#include <libgen.h>
#include <unistd.h>

#include <cstring>

namespace tovak {
std::string defaultConfigFilePath(const std::string& file_name) {
  char exe[4096];
  std::memset(exe, 0, sizeof exe);
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) return "config/" + file_name;
  return std::string(dirname(exe)) + "/config/" + file_name;
}
}  // namespace tovak

DEFINE_string(camera_config_file, tovak::defaultConfigFilePath("camera_config.pb.txt").c_str(),
              "camera configuration file (protobuf text format)");
DEFINE_string(dexhand_config_file, tovak::defaultConfigFilePath("dexhand_config.pb.txt").c_str(),
              "dexterous hand configuration file (protobuf text format)");
