#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef TOVAK_BIN_DIR
#error "TOVAK_BIN_DIR must name the build's bin folder"
#endif

namespace fs = std::filesystem;

namespace tovak::test {

int pickFreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);
  close(fd);
  return port;
}

std::string makeTempDir(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
  return tmpl;
}

void removeTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f << text;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string serverBinary() { return std::string(TOVAK_BIN_DIR) + "/tovak_es"; }

std::string TestConfig::xml() const {
  if (!xml_override.empty()) return xml_override;
  std::ostringstream x;
  x << "<?xml version=\"1.0\"?>\n<TovakES>\n"
    << "  <Logger dir=\"" << log_dir << "\" " << logger_attrs << "/>\n"
    << "  <DeviceManager>\n    <Devices>\n"
    << "      <Battery>" << battery << "</Battery>\n"
    << "      <AGV>" << agv << "</AGV>\n"
    << "      <Robot>" << robot << "</Robot>\n"
    << "      <Microphone>" << microphone << "</Microphone>\n"
    << "      <Speaker>" << speaker << "</Speaker>\n"
    << "      <BioHead>" << biohead << "</BioHead>\n"
    << "    </Devices>\n  </DeviceManager>\n"
    << "  <MonitorManager>" << monitors << "</MonitorManager>\n"
    << "  <gRPCServer port=\"" << port << "\"/>\n</TovakES>\n";
  return x.str();
}

ServerProcess::ServerProcess(TestConfig cfg, std::vector<std::string> args) {
  dir_ = makeTempDir("tovak_es_test_");
  if (cfg.port == 0) cfg.port = pickFreePort();
  if (cfg.log_dir.empty()) cfg.log_dir = dir_ + "/logs";
  port_ = cfg.port;
  fs::create_directories(dir_ + "/config");
  fs::copy_file(serverBinary(), dir_ + "/tovak_es", fs::copy_options::overwrite_existing);
  writeFile(dir_ + "/config/pelmo_robot.xml", cfg.xml());
  writeFile(dir_ + "/config/camera_config.pb.txt", cfg.cameras);
  writeFile(dir_ + "/config/dexhand_config.pb.txt", cfg.hands);

  const std::string exe = dir_ + "/tovak_es";
  const std::string out_path = dir_ + "/stdout.txt";
  const std::string err_path = dir_ + "/stderr.txt";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // A test process that dies (a sanitizer halting it, say) must not leave
    // its server running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (chdir(dir_.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
}

ServerProcess::~ServerProcess() {
  stop();
  if (!std::getenv("TOVAK_KEEP_TEST_DIRS")) removeTree(dir_);
}

std::string ServerProcess::out() const { return readFile(dir_ + "/stdout.txt"); }
std::string ServerProcess::err() const { return readFile(dir_ + "/stderr.txt"); }

int ServerProcess::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ServerProcess::waitListening(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (out().find("Server listening on") != std::string::npos) return true;
    if (waitExit(std::chrono::milliseconds(0)) != -1) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ServerProcess::waitStderr(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (err().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return err().find(text) != std::string::npos;
}

void ServerProcess::stop() {
  if (pid_ < 0) return;
  kill(pid_, SIGTERM);
  if (waitExit(std::chrono::seconds(5)) == -1) {
    kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(5));
  }
}

}  // namespace tovak::test
