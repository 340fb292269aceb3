#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/utils/xml_parser/xml_parser.h"

namespace tovak::test {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tovak_registry_XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name)) << text;
    return file(name);
  }

 private:
  std::string path_;
};

inline XmlNode parseXml(const std::string& text) {
  std::istringstream in(text);
  return XmlNode(in);
}

// A DeviceManager element with all six groups; `groups` gives the content of
// some, `omit` leaves groups out entirely.
inline std::string deviceManagerXml(const std::map<std::string, std::string>& groups,
                                    const std::set<std::string>& omit = {}, const std::string& attrs = "",
                                    bool with_devices = true) {
  std::string xml = "<DeviceManager" + attrs + ">";
  if (with_devices) {
    xml += "<Devices>";
    for (const char* group : {"Battery", "AGV", "Robot", "Microphone", "Speaker", "BioHead"}) {
      if (omit.count(group)) continue;
      const auto it = groups.find(group);
      xml += std::string("<") + group + ">" + (it == groups.end() ? "" : it->second) + "</" + group + ">";
    }
    xml += "</Devices>";
  }
  return xml + "</DeviceManager>";
}

// `text` as a POSIX extended regular expression that matches it literally.
inline std::string literalRegex(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]{}()*+?^$|\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace tovak::test
