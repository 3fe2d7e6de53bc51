#include "base/fd.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "base/logging.h"

namespace palvon {

namespace {

constexpr int kWriteAllWaitMs = 120000;

FdPoll gPoll = ::poll;
i64 gWaitDeadline = 0;
bool (*gWaitAbandoned)() = nullptr;
// How often a long wait looks whether it was abandoned.
constexpr int kAbandonSliceMs = 100;

void changeNonBlocking(int descriptor, bool on) {
  int flags = fcntl(descriptor, F_GETFL);
  if (flags != -1) flags = fcntl(descriptor, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  if (flags == -1) LOGF(logChError, "fcntl(O_NONBLOCK) failed: %s", errnoText(errno));
}

i64 monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<i64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls one descriptor; ms < 0 waits without limit. A poll that fails (an
// interruption) is repeated for the time that is left. Within the process's
// wait deadline, and in slices while a wait can be abandoned.
int pollOne(int descriptor, short events, int ms) {
  i64 deadline = ms > 0 ? monotonicMs() + ms : 0;
  if (gWaitDeadline && ms != 0 && (!deadline || gWaitDeadline < deadline)) {
    deadline = gWaitDeadline;
    ms = static_cast<int>(std::max<i64>(deadline - monotonicMs(), 0));
  }
  pollfd entry{descriptor, events, 0};
  for (;;) {
    if (ms != 0 && gWaitAbandoned && gWaitAbandoned()) return 0;
    int slice = gWaitAbandoned && (ms < 0 || ms > kAbandonSliceMs) ? kAbandonSliceMs : ms;
    int ready = gPoll(&entry, 1, slice);
    if (ready > 0) return 1;
    if (ready == 0 && slice == ms) return 0;
    if (ms > 0) {
      i64 left = deadline - monotonicMs();
      if (left <= 0) return 0;
      ms = static_cast<int>(left);
    }
  }
}

}  // namespace

void fdSetNonBlocking(int descriptor) { changeNonBlocking(descriptor, true); }
void fdClearNonBlocking(int descriptor) { changeNonBlocking(descriptor, false); }
int fdIsReadable(int descriptor) { return pollOne(descriptor, POLLIN, 0); }
int fdIsWritable(int descriptor) { return pollOne(descriptor, POLLOUT, 0); }
int fdWaitReadable(int descriptor, int ms) { return pollOne(descriptor, POLLIN, ms > 0 ? ms : -1); }
int fdWaitWritable(int descriptor, int ms) { return pollOne(descriptor, POLLOUT, ms > 0 ? ms : -1); }

const char* fdWriteAll(int descriptor, const void* data, size_t n) {
  const u8* at = static_cast<const u8*>(data);
  size_t left = n;
  while (left) {
    ssize_t written = write(descriptor, at, left);
    if (written >= 0) {
      at += written;
      left -= static_cast<size_t>(written);
      continue;
    }
    if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) && fdWaitWritable(descriptor, kWriteAllWaitMs))
      continue;
    return tmpPrintf("Can't write %zu bytes to fd %d: %s", left, descriptor, errnoText(errno));
  }
  return nullptr;
}

void fdSetPoll(FdPoll poll) { gPoll = poll ? poll : ::poll; }

void fdSetWaitDeadline(long long deadlineMs) { gWaitDeadline = deadlineMs; }
long long fdWaitDeadline() { return gWaitDeadline; }
void fdSetWaitAbandoned(bool (*abandoned)()) { gWaitAbandoned = abandoned; }
bool fdWaitIsAbandoned() { return gWaitAbandoned && gWaitAbandoned(); }
long long fdMonotonicMs() { return monotonicMs(); }

}  // namespace palvon
