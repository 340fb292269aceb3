#pragma once

#include <memory>
#include <type_traits>

#include "common/utils/xml_parser/xml_parser.h"
#include "devices/agv/abstract_agv.h"
#include "devices/battery/abstract_battery.h"
#include "devices/biohead/abstract_biohead.h"
#include "devices/camera/abstract_camera.h"
#include "devices/dexhand/abstract_dexhand.h"
#include "devices/gripper/abstract_gripper.h"
#include "devices/microphone/abstract_microphone.h"
#include "devices/robot/abstract_robot.h"
#include "devices/speaker/abstract_speaker.h"

namespace tovak::config {
class UVCCameraConfig;
class RealSenseCameraConfig;
class RH56DFTPDexHandConfig;
}  // namespace tovak::config

namespace tovak::device {

// Turns one device description into a driver typed as its kind's interface.
//
// An XML element is chosen by its own name, exactly and case-sensitively:
//   camera     UVCCamera, RealsenseCamera (MechMind is not supported)
//   dexhand    RH56DFTP
//   microphone ffmpegMicPhone
//   robot      Humanoid (the process-wide motor wiring is set up from the
//              same element first; AuboRobot is not supported)
//   biohead    esp32
//   speaker    ffmpegSpeaker
// No driver exists for AGVs, batteries and grippers.
//
// Never throws: an unknown or unsupported name is logged at ERROR
// ("[DeviceFactory]: Unsupported device type <name>") and a driver whose
// construction fails is dropped silently; both give an empty pointer, which
// the caller reports.
class DeviceFactory {
 public:
  DeviceFactory() = default;

  template <class T>
  std::shared_ptr<T> create(const XmlNode& cfg) {
    if constexpr (std::is_same_v<T, AbstractAGV>) {
      return create_agv_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractBattery>) {
      return create_battery_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractCamera>) {
      return create_camera_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractDexHand>) {
      return create_dexhand_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractGripper>) {
      return create_gripper_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractMicrophone>) {
      return create_mic_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractRobot>) {
      return create_robot_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractSpeaker>) {
      return create_speaker_(cfg);
    } else if constexpr (std::is_same_v<T, AbstractBiohead>) {
      return create_biohead_(cfg);
    } else {
      static_assert(sizeof(T) == 0, "DeviceFactory::create: not a device kind of the registry");
    }
  }

  // Defined for (AbstractCamera, UVCCameraConfig),
  // (AbstractCamera, RealSenseCameraConfig) and
  // (AbstractDexHand, RH56DFTPDexHandConfig).
  template <class T, class Config>
  std::shared_ptr<T> createFromConfig(const Config& cfg);

 private:
  std::shared_ptr<AbstractAGV> create_agv_(const XmlNode& cfg);
  std::shared_ptr<AbstractBattery> create_battery_(const XmlNode& cfg);
  std::shared_ptr<AbstractCamera> create_camera_(const XmlNode& cfg);
  std::shared_ptr<AbstractDexHand> create_dexhand_(const XmlNode& cfg);
  std::shared_ptr<AbstractGripper> create_gripper_(const XmlNode& cfg);
  std::shared_ptr<AbstractMicrophone> create_mic_(const XmlNode& cfg);
  std::shared_ptr<AbstractRobot> create_robot_(const XmlNode& cfg);
  std::shared_ptr<AbstractSpeaker> create_speaker_(const XmlNode& cfg);
  std::shared_ptr<AbstractBiohead> create_biohead_(const XmlNode& cfg);
};

template <>
std::shared_ptr<AbstractCamera> DeviceFactory::createFromConfig<AbstractCamera, tovak::config::UVCCameraConfig>(
    const tovak::config::UVCCameraConfig& cfg);
template <>
std::shared_ptr<AbstractCamera>
DeviceFactory::createFromConfig<AbstractCamera, tovak::config::RealSenseCameraConfig>(
    const tovak::config::RealSenseCameraConfig& cfg);
template <>
std::shared_ptr<AbstractDexHand>
DeviceFactory::createFromConfig<AbstractDexHand, tovak::config::RH56DFTPDexHandConfig>(
    const tovak::config::RH56DFTPDexHandConfig& cfg);

}  // namespace tovak::device
