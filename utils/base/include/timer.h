#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

// Periodic timer on a Linux timer descriptor with its own worker thread.
//
// start() arms the descriptor with the period (first expiry one period from
// now) and starts the worker, which calls the callback once per wake-up.
// Expiries missed while a callback was still running are folded into the next
// call instead of being replayed as a burst, so a slow callback never makes
// the timer fall further behind.
//
// The worker waits with poll() on the timer descriptor and on an eventfd that
// stop() signals, so stop() and the destructor return as soon as a running
// callback has finished, whatever the period. A callback that throws an
// std::exception is logged at ERROR and the timer keeps running.
//
// stop() is idempotent and may be called from the callback itself (the worker
// then ends after the callback returns and is joined by the next start() or by
// the destructor). The timer must not be destroyed from its own callback.
class FDTimer {
 public:
  using Callback = std::function<void()>;

  // Creates the timer and wake-up descriptors; throws std::system_error when
  // the kernel refuses them.
  FDTimer();
  ~FDTimer();
  FDTimer(const FDTimer&) = delete;
  FDTimer& operator=(const FDTimer&) = delete;

  // Throws std::invalid_argument for a period <= 0 or an empty callback,
  // std::logic_error when the timer is already running.
  void start(std::chrono::nanoseconds period, Callback callback);
  void stop();
  bool is_running() const;

 private:
  static timespec toTimespec(std::chrono::nanoseconds duration);
  void run_();
  void join_worker_();

  int fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> running_{false};
  Callback callback_;
  std::thread worker_thread_;
  // Set by the worker itself, so stop() can tell a call from the callback.
  std::atomic<std::thread::id> worker_id_{};
  // Serialises start() and stop() from threads other than the worker.
  std::mutex control_mtx_;
};
