#include "device_manager/include/device_factory.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "drivers/common/include/motors_info.h"
#include "drivers/ffmpeg_microphone/include/ffmpeg_microphone.h"
#include "drivers/ffmpeg_speaker/include/ffmpeg_speaker.h"
#include "drivers/head_esp32/include/head_esp32.h"
#include "drivers/humanoid_robot/include/humanoid_robot.h"
#include "drivers/realsense_camera/include/realsense_camera.h"
#include "drivers/rh56dftp_dexhand/include/rh56dftp_dexhand.h"
#include "drivers/uvc_camera/include/uvc_camera.h"
#include "tovak/config/camera_config/camera_config.pb.h"
#include "tovak/config/dexhand_config/dexhand_config.pb.h"

namespace tovak::device {

namespace {

// One row of a kind's type-name table; a row without a maker names a type
// that is known but not supported.
template <class T>
struct TypeRow {
  const char* name;
  std::function<std::shared_ptr<T>(const XmlNode&)> make;
};

template <class T, class Driver>
TypeRow<T> supported(const char* name) {
  return {name, [](const XmlNode& cfg) -> std::shared_ptr<T> { return std::make_shared<Driver>(cfg); }};
}

template <class T>
TypeRow<T> notSupported(const char* name) {
  return {name, nullptr};
}

template <class T>
std::shared_ptr<T> createByName(const std::vector<TypeRow<T>>& rows, const XmlNode& cfg) {
  try {
    const std::string type = cfg.getNodeName();
    for (const auto& row : rows) {
      if (type != row.name) continue;
      if (row.make) return row.make(cfg);
      break;
    }
    LOG(ERROR) << "[DeviceFactory]: Unsupported device type " << type;
  } catch (const std::exception&) {
    // The driver refused its settings; the registry reports the empty result.
  }
  return nullptr;
}

template <class T, class Driver, class Config>
std::shared_ptr<T> createFromRecord(const Config& cfg) {
  try {
    return std::make_shared<Driver>(cfg);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace

std::shared_ptr<AbstractAGV> DeviceFactory::create_agv_(const XmlNode&) { return nullptr; }

std::shared_ptr<AbstractBattery> DeviceFactory::create_battery_(const XmlNode&) { return nullptr; }

std::shared_ptr<AbstractGripper> DeviceFactory::create_gripper_(const XmlNode&) { return nullptr; }

std::shared_ptr<AbstractCamera> DeviceFactory::create_camera_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractCamera>> rows = {
      supported<AbstractCamera, UVCCamera>("UVCCamera"),
      notSupported<AbstractCamera>("MechMind"),
      supported<AbstractCamera, RealsenseCamera>("RealsenseCamera"),
  };
  return createByName(rows, cfg);
}

std::shared_ptr<AbstractDexHand> DeviceFactory::create_dexhand_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractDexHand>> rows = {
      supported<AbstractDexHand, RH56DFTPDexhand>("RH56DFTP"),
  };
  return createByName(rows, cfg);
}

std::shared_ptr<AbstractMicrophone> DeviceFactory::create_mic_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractMicrophone>> rows = {
      supported<AbstractMicrophone, ffmpegMicroPhone>("ffmpegMicPhone"),
  };
  return createByName(rows, cfg);
}

std::shared_ptr<AbstractRobot> DeviceFactory::create_robot_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractRobot>> rows = {
      {"Humanoid",
       [](const XmlNode& robot_cfg) -> std::shared_ptr<AbstractRobot> {
         // The robot drives its joints through the process-wide motor wiring,
         // which must exist before the robot does.
         tovak::MotorsInfo::getInstance()->init(robot_cfg);
         return std::make_shared<HumanoidRobot<14>>(robot_cfg);
       }},
      notSupported<AbstractRobot>("AuboRobot"),
  };
  return createByName(rows, cfg);
}

std::shared_ptr<AbstractSpeaker> DeviceFactory::create_speaker_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractSpeaker>> rows = {
      supported<AbstractSpeaker, ffmpegSpeaker>("ffmpegSpeaker"),
  };
  return createByName(rows, cfg);
}

std::shared_ptr<AbstractBiohead> DeviceFactory::create_biohead_(const XmlNode& cfg) {
  static const std::vector<TypeRow<AbstractBiohead>> rows = {
      supported<AbstractBiohead, BioHeadRobot>("esp32"),
  };
  return createByName(rows, cfg);
}

template <>
std::shared_ptr<AbstractCamera> DeviceFactory::createFromConfig<AbstractCamera, tovak::config::UVCCameraConfig>(
    const tovak::config::UVCCameraConfig& cfg) {
  return createFromRecord<AbstractCamera, UVCCamera>(cfg);
}

template <>
std::shared_ptr<AbstractCamera>
DeviceFactory::createFromConfig<AbstractCamera, tovak::config::RealSenseCameraConfig>(
    const tovak::config::RealSenseCameraConfig& cfg) {
  return createFromRecord<AbstractCamera, RealsenseCamera>(cfg);
}

template <>
std::shared_ptr<AbstractDexHand>
DeviceFactory::createFromConfig<AbstractDexHand, tovak::config::RH56DFTPDexHandConfig>(
    const tovak::config::RH56DFTPDexHandConfig& cfg) {
  return createFromRecord<AbstractDexHand, RH56DFTPDexhand>(cfg);
}

}  // namespace tovak::device
