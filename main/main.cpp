#include <libgen.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include <glog/logging.h>

#include "common/utils/xml_parser/xml_parser.h"
#include "main/run_server.h"
#include "utils/base/include/logger.h"

int main(int argc, char** argv) {
  std::string config_path;
  if (argc == 1) {
    char exe[4096];
    std::memset(exe, 0, sizeof exe);
    // One byte is kept back so the path stays NUL-terminated even when the
    // link fills the buffer.
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) {
      std::cerr << "Failed to read /proc/self/exe" << std::endl;
      return 1;
    }
    config_path = std::string(dirname(exe)) + "/config/pelmo_robot.xml";
    std::cout << "Using default config path: " << config_path << std::endl;
  } else if (argc == 2) {
    config_path = argv[1];
  }

  XmlNode root;
  try {
    root = XmlNode(config_path);
  } catch (const std::exception& e) {
    std::cerr << "Failed to load configuration file '" << config_path << "': " << e.what() << std::endl;
    return 1;
  }
  if (root.getNodeName().empty()) {
    std::cerr << "Configuration file '" << config_path << "' holds no XML element" << std::endl;
    return 1;
  }
  if (!root.hasChild("Logger")) {
    std::cerr << "Configuration file '" << config_path << "' has no Logger element" << std::endl;
    return 1;
  }
  {
    XmlNode logger = root.getChild("Logger");
    initLogger(logger);
  }

  const int status = runServer(root);
  google::ShutdownGoogleLogging();
  return status;
}
