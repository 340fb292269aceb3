#include "devices/abstract_device.h"

#include <stdexcept>

namespace tovak::device {

AbstractDevice::AbstractDevice(const XmlNode& cfg) : cfg_(cfg), id_(cfg.getAttrString("id")) {}

void AbstractDevice::updateParams(const std::pair<std::string, std::string>& param) {
  throw std::runtime_error("device " + id_ + " has no parameter " + param.first);
}

void AbstractDevice::customCommand(const Json::Value&, Json::Value&) {
  throw std::runtime_error("device " + id_ + " accepts no custom command");
}

}  // namespace tovak::device
