#pragma once

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

namespace tovak::test {

// Collects glog lines written while it exists (in-process tests).
class LogCapture : public google::LogSink {
 public:
  struct Line {
    google::LogSeverity severity;
    std::string text;
  };

  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }

  void send(google::LogSeverity severity, const char*, const char*, int, const struct ::tm*, const char* message,
            size_t message_len) override {
    std::lock_guard<std::mutex> lk(mtx_);
    lines_.push_back({severity, std::string(message, message_len)});
  }

  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lk(mtx_);
    return lines_;
  }
  // Number of lines of `severity` (any when -1) that contain `text`.
  int count(const std::string& text, int severity = -1) const {
    std::lock_guard<std::mutex> lk(mtx_);
    int n = 0;
    for (const auto& l : lines_) {
      if ((severity < 0 || l.severity == severity) && l.text.find(text) != std::string::npos) ++n;
    }
    return n;
  }
  bool contains(const std::string& text, int severity = -1) const { return count(text, severity) > 0; }
  void clear() {
    std::lock_guard<std::mutex> lk(mtx_);
    lines_.clear();
  }

 private:
  mutable std::mutex mtx_;
  std::vector<Line> lines_;
};

}  // namespace tovak::test
