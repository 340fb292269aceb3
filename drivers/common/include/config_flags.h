#pragma once

#include <string>

#include <gflags/gflags.h>

// Paths of the camera and hand configuration files (protobuf text format).
// The server parses no command line, so they keep their defaults: the files
// in the config/ folder beside the running executable.
DECLARE_string(camera_config_file);
DECLARE_string(dexhand_config_file);

namespace tovak {
// "<directory of /proc/self/exe>/config/<file_name>".
std::string defaultConfigFilePath(const std::string& file_name);
}  // namespace tovak
