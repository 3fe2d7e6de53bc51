// The failsafe layer over stock Xlib.
//
// Xlib treats a broken connection as fatal: _XIOError flags the Display,
// calls the process's I/O error handler and then the Display's exit handler,
// and neither may return (the callers would unlock the display a second
// time). So each wrapper arms a jump point on its own stack frame before the
// call, and both handlers jump back there with siglongjmp. Outside a wrapper
// the handler ends the proxy.
//
// A server that is stopped rather than gone never breaks the connection, and
// Xlib waits for its replies for ever. For a display with an offline
// time-out the wrapper therefore arms a one-shot CLOCK_MONOTONIC timer aimed
// at the main thread; its signal handler shuts the socket down, which makes
// Xlib see a broken connection and take the jump above.
#include "Proxy/servers/failsafe.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include <X11/Xlibint.h>
// Xlibint.h's min and max macros would break the standard headers below.
#undef min
#undef max

#include "Proxy/servers/display.h"
#include "Proxy/startup.h"
#include "base/fd.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/extrecords.h"
#include "xsupport/misc.h"
#include "xsupport/xtarget.h"

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace palvon {

namespace {

// One armed wrapper call. Frames live on the wrappers' stacks and form a
// stack of their own, so a wrapper called from inside another one (an error
// handler) gets its own jump point and the outer one is restored after it.
struct XfsFrame {
  sigjmp_buf jump;
  XfsFrame* outer;
  Display* display;
  int descriptor;     // shut down when the deadline passes; -1: no deadline
  timespec deadline;  // CLOCK_MONOTONIC, absolute
};

XfsFrame* topFrame = nullptr;
// The descriptor the timer's signal handler shuts down; -1 for none.
volatile sig_atomic_t timedDescriptor = -1;
// The display whose I/O error made the last jump; read by the wrapper.
Display* jumpedDisplay = nullptr;

bool installed = false;
pthread_t mainThread;
timer_t deadlineTimer;
bool timerReady = false;
int timerSignal = 0;

struct TimeoutEntry {
  Display* display;
  u64 milliseconds;
  long long openingDeadlineMs;  // fdMonotonicMs; 0 once opened
  u64 openingSilenceMs;         // the longest single wait while opening
};
TimeoutEntry* timeouts = nullptr;
u32 timeoutCount = 0;
u32 timeoutCapacity = 0;

// How often a wait of the library looks whether it was abandoned, and how
// long a server then still has to answer.
constexpr u64 kAbandonSliceMs = 100;
constexpr u64 kExitAnswerMs = 200;

// The bound of a call on a display without an offline time-out of its own:
// no call may wait for a server for ever, whatever the options say.
u64 guardTimeoutMs = 0;
constexpr u64 kDefaultGuardMs = 20000;

// The last resort after an exit signal: a main thread that has not ended
// the process by then is stuck where no time-out reaches (a lock the X
// library never releases), and the process ends here.
timer_t exitTimer;
bool exitTimerReady = false;
int exitTimerSignal = 0;
struct sigaction previousAbort = {};

// The displays the proxy opened, for the bounded wait below.
Display* attached[64];
u32 attachedCount = 0;

// The display whose lock the main thread holds: the one an abort of the X
// library outside every wrapper is about. The library's own lock functions
// are kept and called.
bool onMainThread();
using LockFunction = void (*)(Display*);
LockFunction libraryLock = nullptr;
LockFunction libraryUnlock = nullptr;
Display* lockedDisplay = nullptr;

void lockDisplayHook(Display* display) {
  libraryLock(display);
  if (onMainThread()) lockedDisplay = display;
}

void unlockDisplayHook(Display* display) {
  if (onMainThread() && lockedDisplay == display) lockedDisplay = nullptr;
  libraryUnlock(display);
}

void hookDisplayLock(Display* display) {
  _XLockPtrs* functions = display->lock_fns;
  if (!functions || functions->lock_display == lockDisplayHook) return;
  if (!libraryLock) libraryLock = functions->lock_display, libraryUnlock = functions->unlock_display;
  if (functions->lock_display != libraryLock || functions->unlock_display != libraryUnlock) return;
  functions->lock_display = lockDisplayHook;
  functions->unlock_display = unlockDisplayHook;
}

bool onMainThread() { return installed && pthread_equal(pthread_self(), mainThread); }

// A server whose answer waits unread in the socket has answered: the proxy
// was late to read it (it had no processor on a busy machine, or worked on
// inside the call), and its next wait reads it and gives the call its bound
// anew (noteAnswer). Only a silent server is cut.
void onDeadline(int) {
  int saved = errno;
  int descriptor = timedDescriptor;
  char byte;
  if (descriptor >= 0 && recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) shutdown(descriptor, SHUT_RDWR);
  errno = saved;
}

void aimTimer(const XfsFrame* frame);

u64 guardTimeout() { return guardTimeoutMs ? guardTimeoutMs : kDefaultGuardMs; }

void onExitDeadline(int) {
  static const char text[] = "Exit signal not honoured in time: ending now\n";
  ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
  (void)ignored;
  _exit(1);
}

// The X library ends the process (abort) when a server's message breaks
// its own bookkeeping: a reply longer than the call consumed, a sequence
// number it never sent. Inside a wrapper that is a broken server, not a
// broken proxy: the display is marked broken and the wrapper returns.
void onAbort(int signal, siginfo_t* info, void* context) {
  if (installed && pthread_equal(pthread_self(), mainThread) && topFrame && topFrame->display) {
    Display* display = topFrame->display;
    display->flags = display->flags | XlibDisplayIOError;
    // As the library's own I/O error path does before its handlers run:
    // the display's lock is left free, or the next call on it (its close)
    // would wait for itself.
    if (lockedDisplay == display && display->lock_fns) display->lock_fns->unlock_display(display);
    shutdown(ConnectionNumber(display), SHUT_RDWR);
    sigset_t abortSet;
    sigemptyset(&abortSet);
    sigaddset(&abortSet, SIGABRT);
    pthread_sigmask(SIG_UNBLOCK, &abortSet, nullptr);
    xextNoteCallGivenUp(display);
    XfsFrame* frame = topFrame;
    topFrame = frame->outer;
    aimTimer(topFrame);
    jumpedDisplay = display;
    siglongjmp(frame->jump, 1);
  }
  // Outside every wrapper there is no call to return from: the display the
  // main thread was working on ends the proxy with a message, as a broken
  // connection there does, instead of a crash.
  Display* held = nullptr;
  if (installed && pthread_equal(pthread_self(), mainThread))
    held = lockedDisplay ? lockedDisplay : attachedCount == 1 ? attached[0] : nullptr;
  if (held) {
    held->flags = held->flags | XlibDisplayIOError;
    shutdown(ConnectionNumber(held), SHUT_RDWR);
    if (lockedDisplay == held && held->lock_fns) held->lock_fns->unlock_display(held);
    sigset_t abortSet;
    sigemptyset(&abortSet);
    sigaddset(&abortSet, SIGABRT);
    pthread_sigmask(SIG_UNBLOCK, &abortSet, nullptr);
    exitProxy(tmpPrintf("Display %s sent a message the X library cannot take - Maybe the X server is broken",
                        xShortDisplayName(held)),
              1);
  }
  if (previousAbort.sa_flags & SA_SIGINFO) {
    if (previousAbort.sa_sigaction) previousAbort.sa_sigaction(signal, info, context);
  } else if (previousAbort.sa_handler != SIG_DFL && previousAbort.sa_handler != SIG_IGN) {
    previousAbort.sa_handler(signal);
  }
}

void installAbortCatch() {
  struct sigaction action = {};
  action.sa_sigaction = onAbort;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGABRT, &action, &previousAbort);
}

void createExitTimer() {
  exitTimerSignal = SIGRTMIN + 4;
  struct sigaction action = {};
  action.sa_handler = onExitDeadline;
  sigemptyset(&action.sa_mask);
  if (sigaction(exitTimerSignal, &action, nullptr) != 0) return;
  sigevent event = {};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = exitTimerSignal;
  exitTimerReady = timer_create(CLOCK_MONOTONIC, &event, &exitTimer) == 0;
}

void createTimer() {
  timerSignal = SIGRTMIN + 3;
  struct sigaction action = {};
  action.sa_handler = onDeadline;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(timerSignal, &action, nullptr) != 0) return;
  sigevent event = {};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = timerSignal;
  event.sigev_notify_thread_id = static_cast<pid_t>(syscall(SYS_gettid));
  if (timer_create(CLOCK_MONOTONIC, &event, &deadlineTimer) != 0) {
    LOGF(logChError, "Can't create the offline timer: %s", errnoText(errno));
    return;
  }
  timerReady = true;
}

// Points the timer at the innermost frame with a deadline, or stops it.
void aimTimer(const XfsFrame* frame) {
  if (!timerReady) return;
  itimerspec spec = {};
  timedDescriptor = -1;
  if (frame && frame->descriptor >= 0) spec.it_value = frame->deadline;
  timer_settime(deadlineTimer, TIMER_ABSTIME, &spec, nullptr);
  if (frame && frame->descriptor >= 0) timedDescriptor = frame->descriptor;
}

TimeoutEntry* findTimeout(const Display* display) {
  for (u32 i = 0; i < timeoutCount; i++) {
    if (timeouts[i].display == display) return &timeouts[i];
  }
  return nullptr;
}

// The longest one call may wait on the display: its offline time-out (the
// guard time-out without one), and never past the process's wait deadline
// (a proxy closing down waits only briefly for any server) nor the
// display's opening deadline.
u64 callBound(const Display* display) {
  const TimeoutEntry* entry = findTimeout(display);
  u64 bound = entry && entry->milliseconds ? entry->milliseconds : guardTimeout();
  for (long long deadline : {fdWaitDeadline(), entry ? entry->openingDeadlineMs : 0}) {
    if (!deadline) continue;
    long long left = deadline - fdMonotonicMs();
    bound = std::min<u64>(bound, left > 0 ? u64(left) : 1);
  }
  return bound;
}

TimeoutEntry* addTimeout(Display* display) {
  if (TimeoutEntry* entry = findTimeout(display)) return entry;
  if (timeoutCount == timeoutCapacity) {
    u32 capacity = timeoutCapacity ? timeoutCapacity * 2 : 8;
    void* grown = memRealloc(timeouts, capacity * sizeof(TimeoutEntry));
    if (!grown) return nullptr;
    timeouts = static_cast<TimeoutEntry*>(grown);
    timeoutCapacity = capacity;
  }
  TimeoutEntry* entry = &timeouts[timeoutCount++];
  *entry = {display, 0, 0, 0};
  return entry;
}

// Jumps back into the innermost armed wrapper; returns when none is armed on
// this thread.
void jumpToArmedCall(Display* display) {
  xtargetFailOpeningDisplay(display);
  if (!onMainThread() || !topFrame) return;
  xextNoteCallGivenUp(display);
  XfsFrame* frame = topFrame;
  topFrame = frame->outer;
  aimTimer(topFrame);
  jumpedDisplay = display;
  siglongjmp(frame->jump, 1);
}

[[noreturn]] void onDisplayIOError(Display* display) {
  exitProxy(tmpPrintf("Broken connection to display %s (%u requests, %u processed, %s:%d) - Maybe "
                      "the X server has been stopped or is unavailable",
                      xShortDisplayName(display), static_cast<u32>(NextRequest(display) - 1),
                      static_cast<u32>(LastKnownRequestProcessed(display)),
                      sourceModule(__FILE__), __LINE__),
            1);
}

int ioErrorHandler(Display* display) {
  jumpToArmedCall(display);
  onDisplayIOError(display);
}

void ioErrorExit(Display* display, void*) {
  jumpToArmedCall(display);
  onDisplayIOError(display);
}

// The frame's deadline: the display's call bound from now.
void setDeadline(XfsFrame* frame) {
  u64 milliseconds = callBound(frame->display);
  clock_gettime(CLOCK_MONOTONIC, &frame->deadline);
  u64 nanos = static_cast<u64>(frame->deadline.tv_nsec) + (milliseconds % 1000) * 1000000;
  frame->deadline.tv_sec += static_cast<time_t>(milliseconds / 1000 + nanos / 1000000000);
  frame->deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
}

// Arms the frame; the jump point itself was set by the caller.
void enterCall(XfsFrame* frame, Display* display) {
  frame->outer = topFrame;
  frame->display = display;
  frame->descriptor = -1;
  if (timerReady) {
    setDeadline(frame);
    frame->descriptor = ConnectionNumber(display);
  }
  topFrame = frame;
  if (frame->descriptor >= 0) aimTimer(frame);
}

// The server answered inside a call: the calls on its display wait again
// from now, so that a call that does much work of its own between its
// questions (a helper asking path by path) is cut for the server's silence
// only, never for its length. Within the same bounds as at the call's entry
// (the wait and opening deadlines).
void restartCallsOn(Display* display) {
  if (!timerReady || !topFrame) return;
  bool moved = false;
  for (XfsFrame* frame = topFrame; frame; frame = frame->outer) {
    if (frame->display != display || frame->descriptor < 0) continue;
    setDeadline(frame);
    moved = true;
  }
  if (moved) aimTimer(topFrame);
}

void leaveCall(XfsFrame* frame) {
  topFrame = frame->outer;
  if (frame->descriptor >= 0 || (topFrame && topFrame->descriptor >= 0)) aimTimer(topFrame);
}

// Step 4 of every wrapper: report the broken display (and any other display
// whose break made the jump), never a display some earlier call lost.
void reportFailure(Display* display) {
  Display* jumped = jumpedDisplay;
  jumpedDisplay = nullptr;
  if (jumped && jumped != display && isDisplayOffline(jumped)) handleDisplayOffline(jumped);
  if (display && isDisplayOffline(display)) handleDisplayOffline(display);
}

// A failed XGetWindowProperty must not leave its outputs undefined: callers
// test the status, but a caller that does not must read an empty property.
void clearPropertyOutputs(Window, Atom, long, long, Bool, Atom, Atom* type, int* format,
                          unsigned long* count, unsigned long* after, unsigned char** data) {
  if (type) *type = None;
  if (format) *format = 0;
  if (count) *count = 0;
  if (after) *after = 0;
  if (data) *data = nullptr;
}

}  // namespace

bool isDisplayOffline(const Display* display) {
  return display == nullptr || (display->flags & XlibDisplayIOError) != 0;
}

void xfsInstall() {
  if (installed) return;
  installed = true;
  mainThread = pthread_self();
  XSetIOErrorHandler(ioErrorHandler);
  createTimer();
  createExitTimer();
  installAbortCatch();
}

void xfsSetGuardTimeout(u64 milliseconds) {
  if (milliseconds > guardTimeoutMs) guardTimeoutMs = milliseconds;
}

u64 xfsGuardTimeout() { return guardTimeout(); }

void xfsExitRequested() {
  if (!exitTimerReady) return;
  itimerspec spec = {};
  u64 milliseconds = guardTimeout() + 1000;
  spec.it_value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  spec.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  timer_settime(exitTimer, 0, &spec, nullptr);
}

void xfsAttach(Display* display) {
  if (!display) return;
  xfsInstall();
  bool known = false;
  for (u32 i = 0; i < attachedCount; i++) known |= attached[i] == display;
  if (!known && attachedCount < sizeof attached / sizeof attached[0]) attached[attachedCount++] = display;
  hookDisplayLock(display);
  XSetIOErrorExitHandler(display, ioErrorExit, nullptr);
}

void xfsForget(Display* display) {
  if (lockedDisplay == display) lockedDisplay = nullptr;
  for (u32 i = 0; i < attachedCount; i++)
    if (attached[i] == display) attached[i--] = attached[--attachedCount];
  TimeoutEntry* entry = findTimeout(display);
  if (entry) *entry = timeouts[--timeoutCount];
  if (jumpedDisplay == display) jumpedDisplay = nullptr;
}

void xfsSetOfflineTimeout(Display* display, u64 milliseconds) {
  if (!display || (milliseconds == 0 && !findTimeout(display))) return;
  if (TimeoutEntry* entry = addTimeout(display)) entry->milliseconds = milliseconds;
}

void xfsSetOpeningDeadline(Display* display, long long deadlineMs, u64 silenceMs) {
  if (!display) return;
  if (TimeoutEntry* entry = addTimeout(display)) {
    entry->openingDeadlineMs = deadlineMs;
    entry->openingSilenceMs = silenceMs;
  }
}

bool xfsOpening(const Display* display) {
  const TimeoutEntry* entry = findTimeout(display);
  return entry && entry->openingDeadlineMs;
}

void xfsEndOpenings() {
  for (u32 i = 0; i < timeoutCount; i++) timeouts[i].openingDeadlineMs = 0;
}

u64 xfsOfflineTimeout(const Display* display) {
  const TimeoutEntry* entry = findTimeout(display);
  return entry ? entry->milliseconds : 0;
}

const char* displayOfflineText(Display* display) {
  return tmpPrintf("Connection to %s is offline (%u requests, %u processed) - Maybe the X server is "
                   "unavailable or network is down",
                   display ? xShortDisplayName(display) : "(none)",
                   display ? static_cast<u32>(NextRequest(display) - 1) : 0u,
                   display ? static_cast<u32>(LastKnownRequestProcessed(display)) : 0u);
}

// --- The one wrapper pattern -------------------------------------------------

template <typename Result, typename... Args, Result (*Function)(Display*, Args...), auto Failure>
Result XfsWrapper<Function, Failure>::call(Display* display, Args... args) {
  if (!onMainThread()) return Function(display, args...);
  if (!isDisplayOffline(display)) {
    XfsFrame frame;
    if (sigsetjmp(frame.jump, 0) == 0) {
      enterCall(&frame, display);
      if constexpr (std::is_void_v<Result>) {
        Function(display, args...);
        leaveCall(&frame);
        if (!isDisplayOffline(display)) return;
      } else {
        Result result = Function(display, args...);
        leaveCall(&frame);
        if (!isDisplayOffline(display)) return result;
      }
    }
  }
  reportFailure(display);
  if constexpr (std::is_same_v<decltype(Function), decltype(&XGetWindowProperty)>) {
    clearPropertyOutputs(args...);
  }
  if constexpr (!std::is_void_v<Result>) return static_cast<Result>(Failure);
}

namespace {

// What a wait of the library found to read is the server talking: its
// silence, and the bound of the calls waiting on it, count from now. The
// library reads it after the wait, where the loop never sees it: within one
// long step (the start-up, an opening, a long handler) the server's answers
// would otherwise not count, and a server that answered everything would be
// taken for silent once the step outlasts its time-out.
void noteAnswer(Display* display, const pollfd& fd, int result) {
  if (result <= 0 || !(fd.revents & POLLIN) || (fd.revents & (POLLERR | POLLHUP | POLLNVAL))) return;
  restartDisplayWatchdog(display);
  restartCallsOn(display);
}

}  // namespace

// The wait of the X library itself. It waits for a server without a time
// limit, and the proxy calls it from more places than its wrappers reach
// (the font, image and input helpers below it). On the main thread a wait
// on one of the proxy's displays is bounded by that display's time-out: a
// server silent that long has its connection shut down, which the library
// then meets as a broken connection.
int boundedPoll(int (*next)(pollfd*, nfds_t, int), pollfd* fds, nfds_t count, int timeout) {
  if (count != 1 || !onMainThread()) return next(fds, count, timeout);
  Display* display = nullptr;
  for (u32 i = 0; i < attachedCount && !display; i++)
    if (ConnectionNumber(attached[i]) == fds[0].fd) display = attached[i];
  if (!display) return next(fds, count, timeout);
  // The connection is cut at `cut`; the library's own time-out (none when
  // negative) ends the wait without that.
  u64 cut = callBound(display);
  // While the display is being opened a server silent for one wait is
  // given up, one that keeps answering only at the opening's deadline.
  if (const TimeoutEntry* entry = findTimeout(display); entry && entry->openingDeadlineMs)
    cut = std::min(cut, entry->openingSilenceMs);
  u64 own = timeout >= 0 ? u64(timeout) : UINT64_MAX;
  if (own == 0) {
    int result = next(fds, count, 0);
    noteAnswer(display, fds[0], result);
    return result;
  }
  bool hurried = false;
  // In slices, so that an exit asked for meanwhile shortens the wait: a
  // server that answers at once is not cut (the exit puts its state back),
  // one that has stopped is, a moment later. With Failsafe the wait also
  // ends when the server is due to be dropped for its silence, counted from
  // its last traffic, not from the call: the drop comes when the watchdog
  // would have made it, and no longer holds the loop up.
  bool due = false;
  u64 began = ordersClockNow();
  for (u64 waited = 0;;) {
    if (!hurried && fdWaitIsAbandoned()) {
      hurried = true;
      cut = std::min(cut, waited + kExitAnswerMs);
    }
    u64 end = std::min(own, cut);
    if (waited >= end) break;
    u64 left = failsafeWaitLeftMs(display, began);
    if (left == 0) {
      due = true;
      break;
    }
    int slice = int(std::min<u64>({end - waited, kAbandonSliceMs, left}));
    int result = next(fds, count, slice);
    if (result != 0) {
      noteAnswer(display, fds[0], result);
      return result;
    }
    waited += u64(slice);
  }
  if (own <= cut && !due) return 0;
  // A last look before the cut: an answer that came while the proxy was
  // held up between two slices (no processor) is read, not cut.
  if (int result = next(fds, count, 0); result > 0 && (fds[0].revents & POLLIN)) {
    noteAnswer(display, fds[0], result);
    return result;
  }
  shutdown(fds[0].fd, SHUT_RDWR);
  return next(fds, count, 0);
}

bool xfsRun(Display* display, void (*work)(void*), void* argument) {
  if (!onMainThread()) {
    work(argument);
    return !isDisplayOffline(display);
  }
  if (!isDisplayOffline(display)) {
    XfsFrame frame;
    if (sigsetjmp(frame.jump, 0) == 0) {
      enterCall(&frame, display);
      work(argument);
      leaveCall(&frame);
      if (!isDisplayOffline(display)) return true;
    }
  }
  reportFailure(display);
  return false;
}

#define PALVON_XFS_INSTANTIATE(name, function, failure) \
  template struct XfsWrapper<&function, failure>;
PALVON_XFS_CALLS(PALVON_XFS_INSTANTIATE)
#undef PALVON_XFS_INSTANTIATE

}  // namespace palvon

// Every poll of the process passes here; only the X library's waits on the
// proxy's own displays are changed (boundedPoll).
extern "C" int poll(pollfd* fds, nfds_t count, int timeout) {
  using PollFunction = int (*)(pollfd*, nfds_t, int);
  static PollFunction next = reinterpret_cast<PollFunction>(dlsym(RTLD_NEXT, "poll"));
  return palvon::boundedPoll(next, fds, count, timeout);
}
