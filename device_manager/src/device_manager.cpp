#include "device_manager/include/device_manager.h"

#include <sys/utsname.h>

#include <array>
#include <exception>
#include <fstream>
#include <iostream>

#include "common/utils/config_helper/include/config_helper.h"
#include "device_manager/include/device_factory.h"
#include "tovak/config/camera_config/camera_config.pb.h"
#include "tovak/config/dexhand_config/dexhand_config.pb.h"

namespace tovak::device {

std::shared_ptr<DeviceManager> DeviceManager::instance_;
std::once_flag DeviceManager::init_flag_;

std::shared_ptr<AbstractDevice> getDeviceBasePtr(DeviceVariant& variant) {
  return std::visit([](auto& device) -> std::shared_ptr<AbstractDevice> { return device; }, variant);
}

namespace {

using DeviceMap = std::unordered_map<std::string, DeviceVariant>;

// The groups under Devices, in the order their kinds are created.
constexpr std::array<const char*, 6> kXmlGroups = {"Battery", "AGV", "Robot", "Microphone", "Speaker", "BioHead"};

// Kind names by DeviceVariant alternative.
constexpr std::array<const char*, std::variant_size_v<DeviceVariant>> kKindNames = {
    "AGV", "Battery", "Camera", "DexHand", "Gripper", "Microphone", "Robot", "Speaker", "BioHead"};

void refuseDuplicate(const DeviceMap& devices, const std::string& id, const std::string& duplicate_msg) {
  if (devices.count(id) == 0) return;
  const std::string msg = duplicate_msg + id;
  LOG(ERROR) << msg;
  throw std::runtime_error(msg);
}

template <class T>
void registerDevice(DeviceMap& devices, const std::string& id, std::shared_ptr<T> device) {
  if (!device) throw std::runtime_error("[DeviceManager]: Factory returned nullptr for device ID: " + id);
  devices[id] = device;
  device->init();
}

template <class T>
void addXmlGroup(DeviceMap& devices, DeviceFactory& factory, const XmlNode& devices_cfg, const char* group,
                 const std::string& duplicate_msg, const std::string& init_msg) {
  for (const XmlNode& child : devices_cfg.getChild(group).getChildren()) {
    const std::string id = child.getAttrString("id");
    refuseDuplicate(devices, id, duplicate_msg);
    registerDevice(devices, id, factory.create<T>(child));
    LOG(INFO) << init_msg << id << " Success";
  }
}

template <class T, class Entries>
void addRecords(DeviceMap& devices, DeviceFactory& factory, const Entries& entries, const char* label,
                const std::string& duplicate_msg) {
  for (int i = 0; i < entries.size(); ++i) {
    const auto& entry = entries.Get(i);
    const std::string id = entry.id();
    refuseDuplicate(devices, id, duplicate_msg);
    std::cout << label << "[" << i << "]: " << id << std::endl;
    registerDevice(devices, id, factory.createFromConfig<T>(entry));
  }
}

}  // namespace

DeviceManager& DeviceManager::getInstance(const XmlNode& cfg) {
  std::call_once(init_flag_, [&cfg] { instance_.reset(new DeviceManager(cfg)); });
  return getInstance();
}

DeviceManager& DeviceManager::getInstance() {
  if (!instance_) {
    throw std::runtime_error(
        "[DeviceManager] (getInstance): DeviceManager not initialized. Call getInstance(const XmlNode&) first.");
  }
  return *instance_;
}

void DeviceManager::destroyInstance() { instance_.reset(); }

DeviceManager& DeviceManager::createForTesting(std::unordered_map<std::string, DeviceVariant> devices,
                                               SystemInfo info) {
  // Later getInstance(cfg) calls must find this registry, not build another.
  std::call_once(init_flag_, [] {});
  instance_.reset(new DeviceManager(std::move(devices), std::move(info)));
  return *instance_;
}

DeviceManager::DeviceManager(const XmlNode& cfg) : cfg_(cfg) {
  try {
    info_.version = cfg_.getAttrDefault("ver", "1.0");
    info_.name = cfg_.getAttrDefault("name", "tovak_es");
    info_.description = cfg_.getAttrDefault("description", "empty");
    get_os_info_();
    dev_factory_ = std::make_unique<DeviceFactory>();
    sys_monitor_ = std::make_unique<SystemMonitor>();
    init_devices_();
  } catch (const std::exception& e) {
    LOG(FATAL) << "[DeviceManager] (DeviceManager): Device manager initialization failed: " << e.what();
  }
}

DeviceManager::DeviceManager(std::unordered_map<std::string, DeviceVariant> devices, SystemInfo info)
    : info_(std::move(info)),
      devices_(std::move(devices)),
      dev_factory_(std::make_unique<DeviceFactory>()),
      sys_monitor_(std::make_unique<SystemMonitor>()) {}

DeviceManager::~DeviceManager() = default;

void DeviceManager::init_devices_() {
  try {
    // A missing element would come back as a node that refers to nothing and
    // silently yield no devices; a robot without its groups is misconfigured.
    if (!cfg_.hasChild("Devices")) throw std::runtime_error("[DeviceManager]: missing element Devices");
    const XmlNode devices_cfg = cfg_.getChild("Devices");
    for (const char* group : kXmlGroups) {
      if (!devices_cfg.hasChild(group)) {
        throw std::runtime_error(std::string("[DeviceManager]: missing element Devices/") + group);
      }
    }

    addXmlGroup<AbstractBattery>(devices_, *dev_factory_, devices_cfg, "Battery",
                                 "[DeviceManager]: Duplicate Battery Device ID ", "[DeviceManager]: Init Battery ");
    addXmlGroup<AbstractAGV>(devices_, *dev_factory_, devices_cfg, "AGV", "[DeviceManager]: Duplicate AGV Device ID",
                             "[DeviceManager]: Init AGV ");

    tovak::config::CameraConfig cameras;
    ConfigHelper::getCamerasConfig(cameras);
    addRecords<AbstractCamera>(devices_, *dev_factory_, cameras.uvc_cameras(), "UVCCamera",
                               "[DeviceManager]: Duplicate Camera Device ID");
    addRecords<AbstractCamera>(devices_, *dev_factory_, cameras.realsense_cameras(), "RealsenseCamera",
                               "[DeviceManager]: Duplicate Camera Device ID");

    tovak::config::DexHandConfig hands;
    ConfigHelper::getDexHandsConfig(hands);
    addRecords<AbstractDexHand>(devices_, *dev_factory_, hands.rh56dftp_dexhands(), "DexHand",
                                "[DeviceManager]: Duplicate DexHand Device ID");

    addXmlGroup<AbstractRobot>(devices_, *dev_factory_, devices_cfg, "Robot",
                               "[DeviceManager]: Duplicate robot Device ID", "[DeviceManager]: Init Robot ");
    addXmlGroup<AbstractMicrophone>(devices_, *dev_factory_, devices_cfg, "Microphone",
                                    "[DeviceManager]: Duplicate Microphone Device ID",
                                    "[DeviceManager]: Init Microphone ");
    addXmlGroup<AbstractSpeaker>(devices_, *dev_factory_, devices_cfg, "Speaker",
                                 "[DeviceManager]: Duplicate AbstractSpeaker Device ID",
                                 "[DeviceManager]: Init Speaker ");
    addXmlGroup<AbstractBiohead>(devices_, *dev_factory_, devices_cfg, "BioHead",
                                 "[DeviceManager]: Duplicate AbstractBiohead Device ID", "[BioHead]: Init biohead ");
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
    throw std::runtime_error(e.what());
  }
}

void DeviceManager::get_os_info_() {
  struct utsname uts{};
  if (uname(&uts) == 0) {
    info_.kernel_version = uts.release;
    info_.architecture = uts.machine;
  }
  std::ifstream os_release("/etc/os-release");
  if (os_release) readPrettyName(os_release, info_.os);
}

namespace {
// The start-all and stop-all walk: `verb` names the operation in the log
// ("Start"/"Stop") and `method` in the failure text ("start"/"stop").
template <class Map, class Op>
void forEachDevice(Map& devices, const char* verb, const char* method, Op op) {
  for (auto& [id, variant] : devices) {
    const std::shared_ptr<AbstractDevice> device = getDeviceBasePtr(variant);
    if (!device) {
      LOG(WARNING) << "[DeviceManager]: Null pointer for device " << id;
      continue;
    }
    try {
      op(*device);
      LOG(INFO) << "[DeviceManager]: " << verb << " device " << id << " Success";
    } catch (const std::exception& e) {
      LOG(ERROR) << "[DeviceManager]: " << e.what();
      throw std::runtime_error(std::string("[DeviceManager] (") + method + "): Device manager " + method +
                               " failed: " + e.what());
    }
  }
}
}  // namespace

void DeviceManager::start() {
  forEachDevice(devices_, "Start", "start", [](AbstractDevice& d) { d.start(); });
}

void DeviceManager::stop() {
  forEachDevice(devices_, "Stop", "stop", [](AbstractDevice& d) { d.stop(); });
}

void DeviceManager::restart() {
  try {
    stop();
    start();
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

void DeviceManager::updateParam(const std::string& id, const std::pair<std::string, std::string>& param) {
  auto it = devices_.find(id);
  if (it == devices_.end()) {
    const std::string msg = "[DeviceManager]: Device ID " + id + " not found.";
    LOG(WARNING) << msg;
    throw std::runtime_error(msg);
  }
  const std::shared_ptr<AbstractDevice> device = getDeviceBasePtr(it->second);
  if (!device) throw std::runtime_error("[DeviceManager]: Null pointer for device " + id);
  device->updateParams(param);
}

void DeviceManager::getDeviceList(std::list<std::pair<std::string, std::string>>& device_list) {
  try {
    device_list.clear();
    for (const auto& [id, variant] : devices_) device_list.emplace_back(id, kKindNames.at(variant.index()));
    LOG(INFO) << "[DeviceManager] (getDeviceList): get device list success";
  } catch (const std::exception& e) {
    LOG(INFO) << "[DeviceManager] (getDeviceList): get device list failed: " << e.what();
    throw std::runtime_error(e.what());
  }
}

void DeviceManager::getSystemInfo(SystemInfo& info) const { info = info_; }

void DeviceManager::getSystemStatus(SystemStatus& status) const {
  try {
    sys_monitor_->getStatus(status);
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
}

}  // namespace tovak::device
