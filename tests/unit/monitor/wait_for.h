#pragma once

#include <chrono>
#include <thread>

namespace tovak::test {

// Polls `done` until it holds or `limit` has passed; the result of the last
// poll. Keeps timing out of the assertions: the limit is only a safety net.
template <class Pred>
bool waitFor(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace tovak::test
