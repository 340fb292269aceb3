#pragma once

#include "common/utils/xml_parser/xml_parser.h"

// Assembles the device registry, the monitors and the eight services from the
// root configuration node and serves until the process is terminated.
// Returns only when start-up cannot go on: the process exit status (1).
int runServer(const XmlNode& cfg);
