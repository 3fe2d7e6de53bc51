// Descriptor helpers: the non-blocking flag, readiness polls and a write of a
// whole block. Any returned poll event (error and hang-up included) counts as
// ready; a poll interrupted by a signal is repeated for the time left.
#pragma once

#include <poll.h>

#include <cstddef>

namespace palvon {

// Failures log "fcntl(O_NONBLOCK) failed: ..." on the error channel.
void fdSetNonBlocking(int descriptor);
void fdClearNonBlocking(int descriptor);
int fdIsReadable(int descriptor);  // 1 ready now, else 0
int fdIsWritable(int descriptor);
// Wait up to ms (0: without limit); 1 ready, 0 time-out.
int fdWaitReadable(int descriptor, int ms);
int fdWaitWritable(int descriptor, int ms);
// Writes all n bytes, waiting up to 120 s whenever the descriptor is full;
// nullptr, or "Can't write %u bytes to fd %d: %s" (bytes left).
const char* fdWriteAll(int descriptor, const void* data, size_t n);

// The bounds of every wait above, for a process that is closing down or
// asked to: no wait lasts past the deadline (CLOCK_MONOTONIC ms, as
// fdMonotonicMs reads it; 0 for none), and a wait ends (as a time-out)
// within a tenth of a second once `abandoned` says so (nullptr: never).
// Main thread only.
void fdSetWaitDeadline(long long deadlineMs);
long long fdWaitDeadline();
void fdSetWaitAbandoned(bool (*abandoned)());
bool fdWaitIsAbandoned();
long long fdMonotonicMs();

// The poll behind every wait above (::poll by default). Tests install one
// that answers a time-out at once instead of sleeping, and can see which
// time-out was asked for; nullptr restores the default. Main thread only.
using FdPoll = int (*)(pollfd* table, nfds_t count, int timeoutMs);
void fdSetPoll(FdPoll poll);

}  // namespace palvon
