// Clock synchronisation: every real server counts its own time stamps (an
// X server's time is its own monotonic clock), so the proxy measures where
// each server's clock started against the time display's, whose clock is
// the meta clock. A round pings every server at once; each answers with a
// PropertyNotify carrying its time, and half the round trip measured here is
// taken off. A round is adopted only when no server answered slower than in
// the round before and none took 101 ms or more for half the trip; slow
// answers say little about when the time stamp was taken.
//
// The adopted start of a server is its ServerDisplay's clockOffsetMs, which
// the meta time translations read. Main thread only; rounds repeat every
// 19 s on the event loop while two or more server displays exist.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct Head;
struct ServerDisplay;

constexpr u64 kTimeSyncRepeatMs = 19000;
constexpr u32 kTimeSyncSlowHalfTripMs = 101;
// Bad rounds in a row before the proxy complains (then it counts anew).
constexpr u32 kTimeSyncBadRoundLimit = 13;

// Starts a round (and the repeat timer); with fewer than two server
// displays nothing runs. Null, or the out-of-memory text when the timer
// cannot be made.
const char* startTimeSync();
// Cancels the repeat timer and forgets the round in progress.
void stopTimeSync();
// Whether the window is the display's ping of the current round.
bool isTimeSyncWindow(const ServerDisplay* server, Window window);
// The PropertyNotify answer of the display's ping, with the server's time.
void timeSyncAnswer(ServerDisplay* server, Time time);

// Ends a round once every answer is in: the drifts are computed and, in a
// good round, each display's new start is adopted.
void finishTimeSyncRound();

// A meta time stamp as the head's server counts it: shifted by the
// difference of the adopted starts of the time display and the head's
// display. CurrentTime (0) stays 0.
u32 metaToServerTimestamp(u32 time, const Head* head);

// Reads every online display's time now, one after the other, and takes
// as its start the time it had when the first was asked (half of each
// round trip taken off): a display that joins has a start at once, not
// only after the next good round.
void sampleServerTimes();

// Bad rounds in a row so far.
u32 timeSyncBadRounds();
// Answers still awaited in the current round.
u32 timeSyncAwaited();

// The local clock of round trips in microseconds (monotonic by default);
// tests install their own. Null restores the default.
using TimeSyncClock = u64 (*)();
void setTimeSyncClock(TimeSyncClock clock);

}  // namespace palvon
