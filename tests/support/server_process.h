#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace tovak::test {

// A port on 127.0.0.1 that was free a moment ago.
int pickFreePort();

// A fresh directory under $TMPDIR (or /tmp); removed by removeTree.
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

// Path of the freshly built server binary.
std::string serverBinary();

// The parts of a test configuration. Defaults give the same devices as the
// shipped configuration; each test overrides what it checks.
struct TestConfig {
  int port = 0;                      // 0: pick a free port
  std::string log_dir;               // empty: <folder>/logs
  std::string logger_attrs;          // extra attributes of <Logger>
  std::string battery;               // children of <Battery>
  std::string agv;
  std::string robot = R"(<Humanoid id="humanoid"/>)";
  std::string microphone = R"(<ffmpegMicPhone id="microphone"/>)";
  std::string speaker = R"(<ffmpegSpeaker id="speaker"/>)";
  std::string biohead = R"(<esp32 id="head"/>)";
  std::string monitors = R"(<DiskMonitor id="disk" path="/"/>)";
  std::string cameras = "uvc_cameras { id: \"head_camera\" }\nrealsense_cameras { id: \"chest_camera\" }\n";
  std::string hands = "rh56dftp_dexhands { id: \"left_hand\" side: \"left\" }\n"
                      "rh56dftp_dexhands { id: \"right_hand\" side: \"right\" }\n";
  std::string xml_override;          // non-empty: used verbatim as pelmo_robot.xml

  std::string xml() const;
};

// A copy of tovak_es in a temporary folder with its own config/ beside it,
// started with no argument (so it reads that config), with standard output
// and standard error captured. Always stopped on destruction.
class ServerProcess {
 public:
  // Lays out the folder and starts the server; does not wait.
  explicit ServerProcess(TestConfig cfg, std::vector<std::string> args = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Waits for "Server listening on" on standard output; false on exit or timeout.
  bool waitListening(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until `text` appears on standard error (log lines); false on timeout.
  bool waitStderr(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the process to end; its exit status, 128+signal, or -1 on timeout.
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // SIGTERM, then SIGKILL after a grace period. Idempotent.
  void stop();

  std::string out() const;
  std::string err() const;
  int port() const { return port_; }
  const std::string& dir() const { return dir_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace tovak::test
