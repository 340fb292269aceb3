#include "common/utils/config_helper/include/config_helper.h"

#include <glog/logging.h>

#include "common/utils/io/proto_message_utils.h"
#include "drivers/common/include/config_flags.h"

namespace tovak {

template <class T>
bool ConfigHelper::getConfig(const std::string& file_name, T& message) {
  if (file_name.empty()) {
    LOG(ERROR) << "Empty file name.";
    return false;
  }
  if (ProtoMessageIo::getProtoFromAsciiFile(file_name, &message, false)) return true;
  LOG(ERROR) << "Failed to load ASCII proto config from: " << file_name;
  return false;
}

bool ConfigHelper::getCamerasConfig(tovak::config::CameraConfig& config) {
  LOG(INFO) << "FLAGS_camera_config_file = " << FLAGS_camera_config_file;
  return getConfig(FLAGS_camera_config_file, config);
}

bool ConfigHelper::getDexHandsConfig(tovak::config::DexHandConfig& config) {
  LOG(INFO) << "FLAGS_dexhand_config_file = " << FLAGS_dexhand_config_file;
  return getConfig(FLAGS_dexhand_config_file, config);
}

}  // namespace tovak
