#pragma once

#include <string>
#include <utility>

#include <json/json.h>

#include "common/utils/xml_parser/xml_parser.h"

namespace tovak::device {

// Base of every device. Holds the device's configuration element and its id
// (the element's `id` attribute, or the `id` of a configuration record for
// drivers built from one). The lifecycle operations have harmless defaults;
// operations a device does not support throw, so nothing pretends to succeed.
class AbstractDevice {
 public:
  AbstractDevice() = default;
  explicit AbstractDevice(const XmlNode& cfg);
  AbstractDevice(const AbstractDevice&) = default;
  AbstractDevice& operator=(const AbstractDevice&) = default;
  virtual ~AbstractDevice() = default;

  virtual void getState() {}
  virtual void init() {}
  virtual void start() {}
  virtual void stop() {}
  virtual void update() {}
  // Default: refuses every parameter, naming it and the device.
  virtual void updateParams(const std::pair<std::string, std::string>& param);
  // Default: refuses the command.
  virtual void customCommand(const Json::Value& request, Json::Value& reply);

  XmlNode getConfig() { return cfg_; }
  const std::string& id() const { return id_; }

 protected:
  XmlNode cfg_;
  std::string id_;
};

}  // namespace tovak::device
