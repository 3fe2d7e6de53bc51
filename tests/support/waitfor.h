// Waiting in tests for what a test expects (a state read back, a log line,
// a program's window), never for a fixed time: a condition asked again and
// again until it holds or a deadline passes. Deadlines are meant to be
// generous (a loaded machine); a condition that holds at once costs
// nothing.
#pragma once

#include <functional>

namespace palvon::test {

// Asks `done` until it holds, pausing `pauseMs` between asks, for at most
// `timeoutMs`. It is asked once more at the deadline, so a condition that
// came true during the last pause counts. True when it held.
bool waitFor(const std::function<bool()>& done, int timeoutMs, int pauseMs = 50);

// The same with the caller's pause: `pause(ms)` waits at most that long and
// may end early, when what the condition reads has changed (a relay that
// passed bytes wakes its waiters).
bool waitFor(const std::function<bool()>& done, int timeoutMs, const std::function<void(int ms)>& pause);

}  // namespace palvon::test
