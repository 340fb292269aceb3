#pragma once

#include "common/utils/xml_parser/xml_parser.h"

/// Initialises glog for the process (program name "tovak_es") and applies the
/// settings of the `Logger` element `cfg`:
///   dir      log directory, required; created with mode 0755 when missing
///            (one level, parents are not created)      -> FLAGS_log_dir
///   level    "info" | "warn" | "error" | "fatal", exact and case-sensitive;
///            other text leaves the level unchanged      -> FLAGS_minloglevel
///   bufSize  seconds of buffering, int (atoi), default 5  -> FLAGS_logbufsecs
///   logSize  rotation size in MB, int (atoi), default 1024 -> FLAGS_max_log_size
/// and always logs to files with a copy on standard error (FLAGS_logtostderr
/// false, FLAGS_alsologtostderr true).
///
/// Returns false, after "Error: no directory specified" or "Failed to create
/// directory: <dir>" on standard error, when the directory is absent, empty
/// or cannot be created; glog then keeps its own defaults. A `cfg` that refers
/// to no element (configuration without a `Logger`) counts as "no directory".
///
/// glog aborts when initialised twice, so initialisation happens once per
/// process (and not at all if the host already initialised glog); a later call
/// still validates and applies the settings. The directory only takes effect
/// while glog has not yet opened its log files.
bool initLogger(const XmlNode& cfg);
