#pragma once

// The connection, the response checks and the output helpers every call of
// tovakctl shares.

#include <grpcpp/grpcpp.h>

#include <google/protobuf/message.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "cli.h"
#include "tovak/api/common.pb.h"

namespace tovakctl {

// Settings from the global options, and the channel built from them.
class Context {
 public:
  std::string address = "localhost:50051";
  double timeout_s = 5.0;
  bool json = false;

  // The channel, connected: waits at most the timeout for the connection and
  // throws Unreachable (address and reason) when it does not come up.
  std::shared_ptr<grpc::Channel> channel();
  // Applies the per-call deadline of unary calls.
  void prepare(grpc::ClientContext& c) const;
  std::chrono::system_clock::time_point deadline() const;

 private:
  std::shared_ptr<grpc::Channel> channel_;
  std::string unreachableReason();
};

// Turns a finished call's status into the right error: UNAVAILABLE means the
// server went away (exit 3), anything else not OK is a failed call (exit 2).
void checkStatus(const grpc::Status& st, const std::string& rpc, bool cancelled_by_us = false);

// One line of JSON in protobuf's mapping, field names as in the schema and
// default values included, so a script sees success=false and zeros.
void printJson(const google::protobuf::Message& m);

// Runs one unary call and checks it: a non-OK status or a feedback header
// with success=false throws CallFailed with the server's text; with --json
// the response (also a failed one) is printed as one JSON object. Returns
// true when the caller should print the human form.
template <class Resp, class Fn>
bool unary(Context& ctx, const std::string& rpc, Resp& resp, Fn&& fn) {
  auto ch = ctx.channel();
  (void)ch;
  grpc::ClientContext c;
  ctx.prepare(c);
  const grpc::Status st = fn(&c, &resp);
  checkStatus(st, rpc);
  const tovak::api::CommandHeader_Feedback* h = nullptr;
  if constexpr (std::is_same_v<Resp, tovak::api::CommandHeader_Feedback>) {
    h = &resp;
  } else if constexpr (requires { resp.header().success(); }) {
    h = &resp.header();
  }
  if (ctx.json) printJson(resp);
  if (h && !h->success()) throw CallFailed(rpc + " failed: " + h->error_message());
  return !ctx.json;
}

// Prints "ok" (human form) for calls whose answer is only the header.
void printOk(const Context& ctx, const std::string& what);

// An aligned text table; numeric columns are right-aligned.
class Table {
 public:
  explicit Table(std::vector<std::string> headers, std::vector<bool> right = {});
  void row(std::vector<std::string> cells);
  void print(std::ostream& os) const;

 private:
  std::vector<std::string> headers_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

// printf-style formatting into a std::string.
std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string humanBytes(double bytes);

// Ctrl-C handling for long-running calls: while an Interrupt is alive the
// first SIGINT sets a flag (a second one kills the process as usual), and
// cancel() is called once, from a watcher thread, when the flag is set or
// the optional deadline passes.
class Interrupt {
 public:
  explicit Interrupt(std::function<void()> cancel,
                     std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  bool interrupted() const;  // Ctrl-C was pressed
  bool expired() const;      // the deadline passed
  // Cancels now (for example after the requested number of frames).
  void cancelNow();
  bool cancelled() const { return cancelled_.load(); }
  // Sleeps until `t`, returning early (false) when cancelled.
  bool sleepUntil(std::chrono::steady_clock::time_point t);

 private:
  void watch();
  std::function<void()> cancel_;
  std::chrono::steady_clock::time_point deadline_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> expired_{false};
  bool stop_ = false;
  std::mutex m_;
  std::condition_variable cv_;
  std::thread watcher_;
};

// True when the stream is a terminal (live progress lines, heat maps).
bool isTerminal(int fd);

}  // namespace tovakctl
