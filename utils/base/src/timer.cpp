#include "utils/base/include/timer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include <glog/logging.h>

FDTimer::FDTimer() {
  fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "[FDTimer]: timerfd_create");
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    const int err = errno;
    close(fd_);
    throw std::system_error(err, std::generic_category(), "[FDTimer]: eventfd");
  }
}

FDTimer::~FDTimer() {
  stop();
  join_worker_();
  close(wake_fd_);
  close(fd_);
}

timespec FDTimer::toTimespec(std::chrono::nanoseconds duration) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(duration);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(secs.count());
  ts.tv_nsec = static_cast<long>((duration - secs).count());
  return ts;
}

void FDTimer::start(std::chrono::nanoseconds period, Callback callback) {
  if (period <= std::chrono::nanoseconds::zero()) {
    throw std::invalid_argument("[FDTimer]: period must be positive, got " + std::to_string(period.count()) +
                                " ns");
  }
  if (!callback) throw std::invalid_argument("[FDTimer]: empty callback");
  if (worker_id_.load() == std::this_thread::get_id()) {
    throw std::logic_error("[FDTimer]: start() called from the timer's own callback");
  }

  std::lock_guard<std::mutex> lock(control_mtx_);
  if (running_) throw std::logic_error("[FDTimer]: timer is already running");
  // A worker that ended through a stop() from its own callback is still to be
  // joined, and its wake-up is still pending.
  join_worker_();
  uint64_t pending = 0;
  while (read(wake_fd_, &pending, sizeof pending) > 0) {
  }

  itimerspec timer_spec{};
  timer_spec.it_value = toTimespec(period);
  timer_spec.it_interval = timer_spec.it_value;
  if (timerfd_settime(fd_, 0, &timer_spec, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "[FDTimer]: timerfd_settime");
  }
  callback_ = std::move(callback);
  running_ = true;
  worker_thread_ = std::thread(&FDTimer::run_, this);
}

void FDTimer::stop() {
  const uint64_t one = 1;
  if (worker_id_.load() == std::this_thread::get_id()) {
    // Called from the callback: joining here would wait for ourselves.
    running_ = false;
    [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof one);
    return;
  }
  std::lock_guard<std::mutex> lock(control_mtx_);
  if (running_.exchange(false)) {
    [[maybe_unused]] auto n = write(wake_fd_, &one, sizeof one);
  }
  join_worker_();
  itimerspec disarm{};
  timerfd_settime(fd_, 0, &disarm, nullptr);
  uint64_t pending = 0;
  while (read(wake_fd_, &pending, sizeof pending) > 0) {
  }
}

bool FDTimer::is_running() const { return running_; }

void FDTimer::join_worker_() {
  if (worker_thread_.joinable()) worker_thread_.join();
}

void FDTimer::run_() {
  worker_id_ = std::this_thread::get_id();
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  while (running_) {
    const int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      PLOG(ERROR) << "[FDTimer]: poll failed, timer stops";
      running_ = false;
      break;
    }
    if (fds[1].revents != 0) break;  // stop() asked us to leave
    if ((fds[0].revents & POLLIN) == 0) continue;
    uint64_t expirations = 0;
    if (read(fd_, &expirations, sizeof expirations) != static_cast<ssize_t>(sizeof expirations)) continue;
    if (!running_) break;
    try {
      callback_();
    } catch (const std::exception& e) {
      LOG(ERROR) << "[FDTimer]: callback failed: " << e.what();
    }
  }
  // Thread ids are reused once a thread has ended.
  worker_id_ = std::thread::id();
}
