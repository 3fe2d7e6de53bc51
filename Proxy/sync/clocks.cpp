// Clock synchronisation rounds over the server displays.
#include "Proxy/sync/clocks.h"

#include <ctime>

#include "Proxy/heads/screen.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

namespace {

u64 monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return u64(now.tv_sec) * 1000000 + u64(now.tv_nsec) / 1000;
}

TimeSyncClock clockNow = monotonicMicroseconds;
u64 roundStartUs;
u32 awaited;
u32 badRounds;
Order* repeatTimer;

void onRepeat(void*) {
  // The one-shot order is spent: it must not be cancelled again.
  repeatTimer = nullptr;
  logProblem(startTimeSync(), __FILE__, __LINE__);
}

ServerDisplay* clockDisplay() { return timeDisplay ? timeDisplay : serverDisplayList; }


// Whether any display answered slower than before, or too slowly at all.
bool isBadRound() {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->halfRoundTripMs > server->previousHalfRoundTripMs) return true;
    if (server->halfRoundTripMs >= kTimeSyncSlowHalfTripMs) return true;
  }
  return false;
}

}  // namespace

void finishTimeSyncRound() {
  const ServerDisplay* reference = clockDisplay();
  i64 referenceNew = reference ? reference->newStartMs : 0;
  i64 referenceAdopted = reference ? reference->clockOffsetMs : 0;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server == reference) continue;
    server->driftMs = (server->newStartMs - referenceNew) - (server->clockOffsetMs - referenceAdopted);
  }
  bool good = !isBadRound();
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (good) server->clockOffsetMs = server->newStartMs;
    server->previousHalfRoundTripMs = server->halfRoundTripMs;
    server->previousDriftMs = server->driftMs;
  }
  if (good) {
    badRounds = 0;
    return;
  }
  if (++badRounds >= kTimeSyncBadRoundLimit) {
    LOGF(logChWarning, "Can't sync time of X servers for %u times", kTimeSyncBadRoundLimit - 1);
    badRounds = 0;
  }
}

const char* startTimeSync() {
  orderCancel(repeatTimer);
  repeatTimer = nullptr;
  if (serverDisplayCount < 2) return nullptr;
  awaited = 0;
  roundStartUs = clockNow();
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    server->pingWindow = 0;
    if (!server->display || isDisplayOffline(server->display)) continue;
    server->pingWindow = pingDisplay(server->display);
    if (server->pingWindow) awaited++;
  }
  repeatTimer = orderAddTimer(kTimeSyncRepeatMs, onRepeat, nullptr);
  return repeatTimer ? nullptr : PALVON_OOM();
}

void stopTimeSync() {
  orderCancel(repeatTimer);
  repeatTimer = nullptr;
  awaited = 0;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) server->pingWindow = 0;
}

bool isTimeSyncWindow(const ServerDisplay* server, Window window) {
  return window && server && server->pingWindow == window;
}

void timeSyncAnswer(ServerDisplay* server, Time time) {
  if (!server->pingWindow) return;
  server->pingWindow = 0;
  u64 elapsedUs = clockNow() - roundStartUs;
  server->halfRoundTripMs = u32(elapsedUs / 1000 / 2);
  server->newStartMs = i64(u32(time)) - i64(server->halfRoundTripMs);
  if (awaited) awaited--;
  if (awaited) return;
  finishTimeSyncRound();
}

u32 metaToServerTimestamp(u32 time, const Head* head) {
  if (!time || !head || !head->serverDisplay) return time;
  i64 meta = timeDisplay ? timeDisplay->clockOffsetMs : 0;
  return u32(i64(time) - meta + head->serverDisplay->clockOffsetMs);
}

void sampleServerTimes() {
  u64 firstUs = clockNow();
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display || isDisplayOffline(server->display)) continue;
    u64 beforeUs = clockNow();
    Time time = getServerTime(server->display);
    if (time == CurrentTime) continue;
    i64 halfTripMs = i64((clockNow() - beforeUs) / 1000 / 2);
    i64 sinceFirstMs = i64((beforeUs - firstUs) / 1000);
    server->clockOffsetMs = server->newStartMs = i64(u32(time)) - halfTripMs - sinceFirstMs;
  }
}

u32 timeSyncBadRounds() { return badRounds; }
u32 timeSyncAwaited() { return awaited; }

void setTimeSyncClock(TimeSyncClock clock) { clockNow = clock ? clock : monotonicMicroseconds; }

}  // namespace palvon
