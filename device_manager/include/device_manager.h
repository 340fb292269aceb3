#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>

#include <glog/logging.h>

#include "common/utils/xml_parser/xml_parser.h"
#include "device_manager/include/system_monitor.h"
#include "devices/agv/abstract_agv.h"
#include "devices/battery/abstract_battery.h"
#include "devices/biohead/abstract_biohead.h"
#include "devices/camera/abstract_camera.h"
#include "devices/dexhand/abstract_dexhand.h"
#include "devices/gripper/abstract_gripper.h"
#include "devices/microphone/abstract_microphone.h"
#include "devices/robot/abstract_robot.h"
#include "devices/speaker/abstract_speaker.h"

namespace tovak::device {

class DeviceFactory;

// The alternative records the device's kind.
using DeviceVariant =
    std::variant<std::shared_ptr<AbstractAGV>, std::shared_ptr<AbstractBattery>, std::shared_ptr<AbstractCamera>,
                 std::shared_ptr<AbstractDexHand>, std::shared_ptr<AbstractGripper>,
                 std::shared_ptr<AbstractMicrophone>, std::shared_ptr<AbstractRobot>,
                 std::shared_ptr<AbstractSpeaker>, std::shared_ptr<AbstractBiohead>>;

struct SystemInfo {
  std::string version;
  std::string name;
  std::string description;
  std::string os;
  std::string kernel_version;
  std::string architecture;
};

std::shared_ptr<AbstractDevice> getDeviceBasePtr(DeviceVariant& variant);

// The process-wide registry of devices. Built once at start-up from the
// DeviceManager element and the camera and hand configuration files; only
// read afterwards, so lookups take no lock.
class DeviceManager {
 public:
  static DeviceManager& getInstance(const XmlNode& cfg);
  static DeviceManager& getInstance();
  static void destroyInstance();

  // Test support: installs (or replaces) the singleton with a registry that
  // holds exactly `devices`, without reading any configuration or calling
  // init(). Never used by the server itself.
  static DeviceManager& createForTesting(std::unordered_map<std::string, DeviceVariant> devices,
                                         SystemInfo info = {});

  DeviceManager(const DeviceManager&) = delete;
  DeviceManager& operator=(const DeviceManager&) = delete;
  ~DeviceManager();

  void start();
  void stop();
  void restart();
  void updateParam(const std::string& id, const std::pair<std::string, std::string>& param);
  void getDeviceList(std::list<std::pair<std::string, std::string>>& device_list);
  void getSystemInfo(SystemInfo& info) const;
  void getSystemStatus(SystemStatus& status) const;

  template <class T>
  std::shared_ptr<T> getDevice(const std::string& device_id) {
    auto it = devices_.find(device_id);
    if (it == devices_.end()) {
      const std::string msg = "[DeviceManager]: Device ID " + device_id + " not found.";
      LOG(WARNING) << msg;
      throw std::runtime_error(msg);
    }
    if (auto* p = std::get_if<std::shared_ptr<T>>(&it->second)) return *p;
    const std::string msg = "[DeviceManager]: Device ID " + device_id + " type mismatch.";
    LOG(WARNING) << msg;
    throw std::runtime_error(msg);
  }

 private:
  explicit DeviceManager(const XmlNode& cfg);
  DeviceManager(std::unordered_map<std::string, DeviceVariant> devices, SystemInfo info);
  void init_devices_();
  void get_os_info_();

  XmlNode cfg_;
  SystemInfo info_;
  std::unordered_map<std::string, DeviceVariant> devices_;
  std::unique_ptr<DeviceFactory> dev_factory_;
  std::unique_ptr<SystemMonitor> sys_monitor_;

  static std::shared_ptr<DeviceManager> instance_;
  static std::once_flag init_flag_;
};

}  // namespace tovak::device
