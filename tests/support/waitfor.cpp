#include "support/waitfor.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace palvon::test {

bool waitFor(const std::function<bool()>& done, int timeoutMs, int pauseMs) {
  return waitFor(done, timeoutMs, [pauseMs](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, pauseMs)));
  });
}

bool waitFor(const std::function<bool()>& done, int timeoutMs, const std::function<void(int ms)>& pause) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pause(int(left));
  }
}

}  // namespace palvon::test
