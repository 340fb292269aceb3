#include "client.h"

#include <google/protobuf/util/json_util.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "tovak/api/hlc_service.grpc.pb.h"

namespace tovakctl {

namespace {

// Images of 1920x1080 and more exceed gRPC's default 4 MiB receive limit.
constexpr int kMaxReceiveBytes = 256 * 1024 * 1024;

std::atomic<bool> g_sigint{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT flag must be usable from a signal handler");

extern "C" void onSigint(int) { g_sigint.store(true); }

const char* stateName(grpc_connectivity_state s) {
  switch (s) {
    case GRPC_CHANNEL_IDLE: return "idle";
    case GRPC_CHANNEL_CONNECTING: return "still connecting";
    case GRPC_CHANNEL_READY: return "ready";
    case GRPC_CHANNEL_TRANSIENT_FAILURE: return "connection failed";
    case GRPC_CHANNEL_SHUTDOWN: return "shut down";
  }
  return "unknown state";
}

}  // namespace

std::chrono::system_clock::time_point Context::deadline() const {
  return std::chrono::system_clock::now() +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(timeout_s));
}

void Context::prepare(grpc::ClientContext& c) const { c.set_deadline(deadline()); }

std::shared_ptr<grpc::Channel> Context::channel() {
  if (channel_) return channel_;
  grpc::ChannelArguments args;
  args.SetMaxReceiveMessageSize(kMaxReceiveBytes);
  auto ch = grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
  channel_ = ch;
  if (!ch->WaitForConnected(deadline())) throw Unreachable("cannot reach " + address + ": " + unreachableReason());
  return ch;
}

// gRPC keeps the cause of a failed connection attempt in the status of a call
// that does not wait for the channel: one short probe fetches that text.
std::string Context::unreachableReason() {
  const auto state = channel_->GetState(false);
  const std::string waited = fmt("no connection within %g s", timeout_s);
  if (state != GRPC_CHANNEL_TRANSIENT_FAILURE) return waited + " (" + stateName(state) + ")";
  tovak::api::HlcService::Stub stub(channel_);
  grpc::ClientContext c;
  c.set_wait_for_ready(false);
  c.set_deadline(std::chrono::system_clock::now() + std::chrono::milliseconds(250));
  tovak::api::Touch_Request req;
  tovak::api::Touch_Response resp;
  const grpc::Status st = stub.touch(&c, req, &resp);
  if (st.ok() || st.error_message().empty()) return waited;
  return st.error_message();
}

void checkStatus(const grpc::Status& st, const std::string& rpc, bool cancelled_by_us) {
  if (st.ok()) return;
  if (cancelled_by_us && st.error_code() == grpc::StatusCode::CANCELLED) return;
  switch (st.error_code()) {
    case grpc::StatusCode::UNAVAILABLE:
      throw Unreachable(rpc + ": server unavailable: " + st.error_message());
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      throw CallFailed(rpc + " failed: no answer within the timeout (" + st.error_message() + ")");
    case grpc::StatusCode::UNIMPLEMENTED:
      throw CallFailed(rpc + " failed: the server does not implement it (" + st.error_message() + ")");
    default:
      throw CallFailed(rpc + " failed: " + st.error_message());
  }
}

void printJson(const google::protobuf::Message& m) {
  google::protobuf::util::JsonPrintOptions o;
  o.always_print_primitive_fields = true;
  o.preserve_proto_field_names = true;
  std::string s;
  const auto st = google::protobuf::util::MessageToJsonString(m, &s, o);
  if (!st.ok()) throw LocalError("cannot render JSON: " + std::string(st.message()));
  std::cout << s << '\n' << std::flush;
}

void printOk(const Context& ctx, const std::string& what) {
  if (!ctx.json) std::cout << what << '\n';
}

Table::Table(std::vector<std::string> headers, std::vector<bool> right)
    : headers_(std::move(headers)), right_(std::move(right)) {
  right_.resize(headers_.size(), false);
}

void Table::row(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  rows_.push_back(std::move(cells));
}

void Table::print(std::ostream& os) const {
  std::vector<size_t> w(headers_.size());
  for (size_t i = 0; i < w.size(); ++i) w[i] = headers_[i].size();
  for (const auto& r : rows_)
    for (size_t i = 0; i < w.size(); ++i) w[i] = std::max(w[i], r[i].size());
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s;
    for (size_t i = 0; i < cells.size(); ++i) {
      const size_t pad = w[i] - cells[i].size();
      const bool last = i + 1 == cells.size();
      if (right_[i]) s += std::string(pad, ' ') + cells[i];
      else s += cells[i] + (last ? "" : std::string(pad, ' '));
      if (!last) s += "  ";
    }
    os << s << '\n';
  };
  line(headers_);
  for (const auto& r : rows_) line(r);
}

std::string fmt(const char* f, ...) {
  va_list ap;
  va_start(ap, f);
  char buf[512];
  const int n = std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string s(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, f);
  std::vsnprintf(s.data(), s.size(), f, ap);
  va_end(ap);
  s.resize(static_cast<size_t>(n));
  return s;
}

std::string humanBytes(double b) {
  if (b < 1024) return fmt("%.0f B", b);
  if (b < 1024 * 1024) return fmt("%.1f KiB", b / 1024);
  return fmt("%.1f MiB", b / (1024 * 1024));
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

Interrupt::Interrupt(std::function<void()> cancel, std::chrono::steady_clock::time_point deadline)
    : cancel_(std::move(cancel)), deadline_(deadline) {
  g_sigint.store(false);
  struct sigaction sa {};
  sa.sa_handler = onSigint;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process the usual way
  sigaction(SIGINT, &sa, nullptr);
  watcher_ = std::thread([this] { watch(); });
}

Interrupt::~Interrupt() {
  {
    std::lock_guard<std::mutex> l(m_);
    stop_ = true;
  }
  cv_.notify_all();
  watcher_.join();
  signal(SIGINT, SIG_DFL);
}

bool Interrupt::interrupted() const { return g_sigint.load(); }
bool Interrupt::expired() const { return expired_.load(); }

void Interrupt::cancelNow() {
  if (!cancelled_.exchange(true)) cancel_();
  cv_.notify_all();
}

// A signal handler cannot wake a condition variable, so the watcher looks at
// the flag every 50 ms; that bounds the reaction time to Ctrl-C.
void Interrupt::watch() {
  std::unique_lock<std::mutex> l(m_);
  while (!stop_) {
    const auto now = std::chrono::steady_clock::now();
    if (g_sigint.load()) {
      l.unlock();
      cancelNow();
      l.lock();
    } else if (now >= deadline_) {
      expired_.store(true);
      l.unlock();
      cancelNow();
      l.lock();
    }
    if (cancelled_.load()) {
      cv_.wait(l, [this] { return stop_; });
      break;
    }
    cv_.wait_for(l, std::chrono::milliseconds(50));
  }
}

bool Interrupt::sleepUntil(std::chrono::steady_clock::time_point t) {
  std::unique_lock<std::mutex> l(m_);
  while (!cancelled_.load() && !stop_) {
    if (std::chrono::steady_clock::now() >= t) return true;
    const auto step = std::min(t, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    cv_.wait_until(l, step);
    if (g_sigint.load()) {
      l.unlock();
      cancelNow();
      l.lock();
    }
  }
  return false;
}

}  // namespace tovakctl
