#pragma once

#include <string>

#include "tovak/config/camera_config/camera_config.pb.h"
#include "tovak/config/dexhand_config/dexhand_config.pb.h"

namespace tovak {

// Knows which flag names which driver configuration file. Each call reads
// the file afresh; nothing is cached.
class ConfigHelper {
 public:
  // The file named by FLAGS_camera_config_file; false when it is unnamed,
  // missing or not valid (then `config` is untouched or partly filled).
  static bool getCamerasConfig(tovak::config::CameraConfig& config);
  // The file named by FLAGS_dexhand_config_file; as getCamerasConfig.
  static bool getDexHandsConfig(tovak::config::DexHandConfig& config);

 private:
  // Reads one required text-format file into `message`.
  template <class T>
  static bool getConfig(const std::string& file_name, T& message);
};

}  // namespace tovak
