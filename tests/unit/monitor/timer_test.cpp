#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "monitor/abstract_monitor.h"
#include "tests/support/log_capture.h"
#include "tests/unit/monitor/wait_for.h"
#include "tests/unit/registry/registry_test_util.h"
#include "utils/base/include/timer.h"

namespace {

using namespace std::chrono_literals;
using tovak::test::waitFor;

template <class Call>
std::chrono::milliseconds timed(Call call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(FDTimerTest, TicksAtRoughlyItsPeriodOnItsOwnThread) {
  FDTimer timer;
  std::atomic<int> ticks{0};
  std::atomic<bool> on_caller_thread{false};
  const auto caller = std::this_thread::get_id();
  timer.start(20ms, [&] {
    if (std::this_thread::get_id() == caller) on_caller_thread = true;
    ++ticks;
  });
  EXPECT_TRUE(timer.is_running());
  std::this_thread::sleep_for(300ms);
  timer.stop();
  // 15 ticks expected; the bounds only catch a wrong unit or a stuck timer.
  EXPECT_GE(ticks.load(), 5);
  EXPECT_LE(ticks.load(), 25);
  EXPECT_FALSE(on_caller_thread.load());
  EXPECT_FALSE(timer.is_running());
}

TEST(FDTimerTest, StopAndDestructionDoNotWaitForTheNextExpiry) {
  std::atomic<int> ticks{0};
  auto timer = std::make_unique<FDTimer>();
  timer->start(10s, [&] { ++ticks; });
  std::this_thread::sleep_for(20ms);
  EXPECT_LT(timed([&] { timer->stop(); }), 1000ms);
  EXPECT_FALSE(timer->is_running());

  timer->start(10s, [&] { ++ticks; });
  std::this_thread::sleep_for(20ms);
  EXPECT_LT(timed([&] { timer.reset(); }), 1000ms);
  EXPECT_EQ(ticks.load(), 0);
}

TEST(FDTimerTest, StopIsIdempotentAndTheTimerCanBeRestarted) {
  FDTimer timer;
  timer.stop();  // never started
  std::atomic<int> ticks{0};
  timer.start(5ms, [&] { ++ticks; });
  ASSERT_TRUE(waitFor([&] { return ticks >= 2; }));
  timer.stop();
  timer.stop();
  const int after_stop = ticks;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), after_stop);

  timer.start(5ms, [&] { ++ticks; });
  EXPECT_TRUE(waitFor([&] { return ticks >= after_stop + 2; }));
}

TEST(FDTimerTest, RefusesBadArgumentsAndADoubleStart) {
  FDTimer timer;
  EXPECT_THROW(timer.start(0ms, [] {}), std::invalid_argument);
  EXPECT_THROW(timer.start(-5ms, [] {}), std::invalid_argument);
  EXPECT_THROW(timer.start(5ms, FDTimer::Callback()), std::invalid_argument);
  EXPECT_FALSE(timer.is_running());
  timer.start(1s, [] {});
  EXPECT_THROW(timer.start(1s, [] {}), std::logic_error);
  EXPECT_TRUE(timer.is_running());
}

TEST(FDTimerTest, StopWaitsForARunningCallback) {
  FDTimer timer;
  std::atomic<bool> entered{false};
  std::atomic<bool> finished{false};
  timer.start(1ms, [&] {
    if (entered.exchange(true)) return;
    std::this_thread::sleep_for(100ms);
    finished = true;
  });
  ASSERT_TRUE(waitFor([&] { return entered.load(); }));
  timer.stop();
  EXPECT_TRUE(finished.load());
}

TEST(FDTimerTest, CallbackMayStopItsOwnTimer) {
  FDTimer timer;
  std::atomic<int> ticks{0};
  timer.start(2ms, [&] {
    if (++ticks == 3) timer.stop();
  });
  ASSERT_TRUE(waitFor([&] { return !timer.is_running(); }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), 3);
  // The ended worker is joined by the next start.
  timer.start(2ms, [&] { ++ticks; });
  EXPECT_TRUE(waitFor([&] { return ticks >= 5; }));
}

TEST(FDTimerTest, ThrowingCallbackIsLoggedAndTheTimerGoesOn) {
  tovak::test::LogCapture logs;
  FDTimer timer;
  std::atomic<int> ticks{0};
  timer.start(2ms, [&] {
    ++ticks;
    throw std::runtime_error("sensor gone");
  });
  ASSERT_TRUE(waitFor([&] { return ticks >= 3; }));
  EXPECT_TRUE(timer.is_running());
  timer.stop();
  EXPECT_EQ(logs.count("[FDTimer]: callback failed: sensor gone", google::GLOG_ERROR), ticks.load());
}

// A monitor whose check finds something on every second tick.
class AlternatingMonitor : public tovak::monitor::AbstractMonitor {
 public:
  using AbstractMonitor::AbstractMonitor;
  ~AlternatingMonitor() override { timer_->stop(); }
  void halt() { timer_->stop(); }
  int freq() const { return freq_; }
  std::atomic<int> checks{0};
  std::atomic<int> executions{0};

 protected:
  bool check_() override { return ++checks % 2 == 0; }
  bool execution_() override {
    ++executions;
    return true;
  }
};

TEST(AbstractMonitorTest, RunActsOnlyOnTicksWhoseCheckFoundSomething) {
  AlternatingMonitor monitor(tovak::test::parseXml(R"(<Probe freq="200"/>)"));
  EXPECT_EQ(monitor.freq(), 200);
  monitor.run();
  ASSERT_TRUE(waitFor([&] { return monitor.checks >= 10; }));
  monitor.halt();
  EXPECT_EQ(monitor.executions.load(), monitor.checks.load() / 2);
}

TEST(AbstractMonitorTest, RunRefusesAFrequencyBelowOne) {
  AlternatingMonitor monitor(tovak::test::parseXml(R"(<Probe freq="0"/>)"));
  EXPECT_THROW(monitor.run(), std::invalid_argument);
  AlternatingMonitor by_default(tovak::test::parseXml(R"(<Probe/>)"));
  EXPECT_EQ(by_default.freq(), 1);
}

}  // namespace
