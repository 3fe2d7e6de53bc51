#include "xsupport/xtarget.h"

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <X11/Xatom.h>
#include <X11/Xlibint.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xext.h>

#include "base/hostclock.h"
#include "base/logging.h"
#include "xsupport/extrecords.h"
#include "xsupport/misc.h"

namespace palvon {

u32 imperviousXOpenDisplay = 0;
bool (*xtargetWaitAbandoned)() = nullptr;

namespace {
void closeWithoutTraffic(Display* display);
// Set on a connection thread while it is inside XOpenDisplay.
thread_local sigjmp_buf* openJump = nullptr;
thread_local Display* openLost = nullptr;
}  // namespace

namespace {

// The trap: which display's errors are swallowed, and whether one came.
Display* trappedDisplay = nullptr;
int trapFlag = 0;

XErrorFormatter errorFormatter = xtargetFormatErrorPlain;

const char* const kCoreErrorNames[] = {
    "BadRequest", "BadValue",  "BadWindow",   "BadPixmap", "BadAtom",     "BadCursor",
    "BadFont",    "BadMatch",  "BadDrawable", "BadAccess", "BadAlloc",    "BadColor",
    "BadGC",      "BadIDChoice", "BadName",   "BadLength", "BadImplementation",
};

// One connection attempt, shared by the waiting caller and the connection
// thread. Whoever lets go last frees it: the thread can outlive the caller's
// wait and must then clean up after itself.
struct ConnectAttempt {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  char* displayName;
  Display* display;
  bool done;       // the thread stored a display
  bool abandoned;  // the caller stopped waiting
  bool opening;    // the thread is inside XOpenDisplay
  int refs;
};

void releaseAttempt(ConnectAttempt* attempt) {
  pthread_mutex_lock(&attempt->mutex);
  bool last = --attempt->refs == 0;
  pthread_mutex_unlock(&attempt->mutex);
  if (!last) return;
  pthread_mutex_destroy(&attempt->mutex);
  pthread_cond_destroy(&attempt->cond);
  free(attempt->displayName);
  free(attempt);
}

// The pause after the first failed attempt, and the longest: a server that
// refused the first attempt (still closing a connection that just left, or
// starting) must be reached well within a bound of a second or two, and a
// failed local connect costs next to nothing.
constexpr u64 kFirstPauseMs = 20, kLongestPauseMs = 250;

// Waits until the caller abandons the attempt or pauseMs pass; returns
// true when abandoned. Called with the mutex held.
bool pauseOrAbandoned(ConnectAttempt* attempt, u64 pauseMs) {
  timeval now;
  gettimeofday(&now, nullptr);
  timespec deadline = xtargetDeadline(now, pauseMs);
  while (!attempt->abandoned) {
    if (pthread_cond_timedwait(&attempt->cond, &attempt->mutex, &deadline) == ETIMEDOUT) break;
  }
  return attempt->abandoned;
}

// A server that goes away while the connection is being set up makes Xlib
// report an I/O error; the process's handler jumps back here (through
// xtargetFailOpeningDisplay) and this attempt fails instead of the process.
// Only this thread knows the half-made Display, so closing it here is safe.
Display* openDisplayGuarded(const char* name) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) {
    openJump = nullptr;
    // Not through the error trap: it belongs to the main thread, and a
    // broken connection brings no errors anyway.
    if (openLost) closeWithoutTraffic(openLost);
    openLost = nullptr;
    return nullptr;
  }
  openJump = &jump;
  Display* display = XOpenDisplay(name);
  openJump = nullptr;
  return display;
}

void* xtargetOpenThread(void* argument) {
  auto* attempt = static_cast<ConnectAttempt*>(argument);
  for (u64 pauseMs = kFirstPauseMs;; pauseMs = 2 * pauseMs < kLongestPauseMs ? 2 * pauseMs : kLongestPauseMs) {
    pthread_mutex_lock(&attempt->mutex);
    bool abandoned = attempt->abandoned;
    attempt->opening = !abandoned;
    pthread_mutex_unlock(&attempt->mutex);
    if (abandoned) break;
    Display* display = openDisplayGuarded(attempt->displayName);
    pthread_mutex_lock(&attempt->mutex);
    attempt->opening = false;
    pthread_cond_broadcast(&attempt->cond);
    if (display) {
      bool late = attempt->abandoned;
      if (!late) {
        attempt->display = display;
        attempt->done = true;
      }
      pthread_mutex_unlock(&attempt->mutex);
      // The caller may have shut the connection down already: a close that
      // talked to the server would meet a broken connection on this thread.
      if (late) closeWithoutTraffic(display);
      break;
    }
    abandoned = pauseOrAbandoned(attempt, pauseMs);
    pthread_mutex_unlock(&attempt->mutex);
    if (abandoned) break;
  }
  releaseAttempt(attempt);
  return nullptr;
}

// The descriptors open when an attempt began, as a bit set; bits null when
// they could not be listed.
struct OpenDescriptors {
  u8* bits = nullptr;
  u32 size = 0;  // bytes of bits
  bool has(long fd) const { return u64(fd) / 8 < size && (bits[fd / 8] >> (fd % 8) & 1); }
};

// Calls visit(descriptor) for every open descriptor but the listing's own;
// false when they cannot be listed.
template <typename Visit>
bool forEachOpenDescriptor(Visit visit) {
  DIR* list = opendir("/proc/self/fd");
  if (!list) return false;
  int own = dirfd(list);
  while (dirent* entry = readdir(list)) {
    char* end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && !*end && fd != own) visit(fd);
  }
  closedir(list);
  return true;
}

bool addDescriptor(OpenDescriptors* set, long fd) {
  if (u64(fd) / 8 >= set->size) {
    u32 size = u32(fd / 8 + 64);
    auto* grown = static_cast<u8*>(realloc(set->bits, size));
    if (!grown) return false;
    memset(grown + set->size, 0, size - set->size);
    set->bits = grown, set->size = size;
  }
  set->bits[fd / 8] = u8(set->bits[fd / 8] | 1u << (fd % 8));
  return true;
}

void noteOpenDescriptors(OpenDescriptors* set) {
  bool complete = true;
  if (forEachOpenDescriptor([&](long fd) { complete = complete && addDescriptor(set, fd); }) && complete) return;
  free(set->bits);
  *set = {};
}

bool notBefore(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// Shuts down every socket that was not open when the attempt began.
void shutDownNewSockets(const OpenDescriptors& before) {
  forEachOpenDescriptor([&before](long fd) {
    struct stat status;
    if (!before.has(fd) && fstat(int(fd), &status) == 0 && S_ISSOCK(status.st_mode)) shutdown(int(fd), SHUT_RDWR);
  });
}

constexpr long kStallEndMs = 1000;

// A thread inside XOpenDisplay holds the X library's global lock from the
// connect to the end of the set-up exchange, and a peer that accepts and
// never answers holds it there for good: the caller's next XOpenDisplay or
// XSetErrorHandler would wait for it, and with it every client. Shutting
// the attempt's sockets down ends its waits at once (a connect under way
// too), so the attempt fails and lets go of the lock. While the caller waits
// for it no other thread opens descriptors, so every socket that was not
// open when the attempt began is the attempt's own; a name lookup's sockets
// come and go, hence the repeat. Called with the attempt's mutex held.
void endStalledAttempt(ConnectAttempt* attempt, const OpenDescriptors& before) {
  if (!before.bits) return;
  timeval now;
  gettimeofday(&now, nullptr);
  timespec deadline = xtargetDeadline(now, kStallEndMs);
  while (attempt->opening) {
    shutDownNewSockets(before);
    gettimeofday(&now, nullptr);
    timespec slice = xtargetDeadline(now, 100);
    bool last = notBefore(slice, deadline);
    if (pthread_cond_timedwait(&attempt->cond, &attempt->mutex, last ? &deadline : &slice) == ETIMEDOUT && last) break;
  }
}

constexpr long kAbandonSliceNs = 100000000L;

// Runs the connection thread and waits for it until the deadline. Returns an
// error text for set-up failures; *display stays null on a time-out.
const char* connectWithDeadline(const char* name, const timespec& deadline, Display** display) {
  auto* attempt = static_cast<ConnectAttempt*>(calloc(1, sizeof(ConnectAttempt)));
  if (!attempt) return PALVON_OOM();
  attempt->displayName = strdup(name);
  if (!attempt->displayName) {
    free(attempt);
    return PALVON_OOM();
  }
  if (pthread_cond_init(&attempt->cond, nullptr) != 0) {
    free(attempt->displayName);
    free(attempt);
    return "Can't create condition";
  }
  if (pthread_mutex_init(&attempt->mutex, nullptr) != 0) {
    pthread_cond_destroy(&attempt->cond);
    free(attempt->displayName);
    free(attempt);
    return "Can't create mutex";
  }
  attempt->refs = 2;
  OpenDescriptors before;
  noteOpenDescriptors(&before);
  pthread_mutex_lock(&attempt->mutex);
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&thread, &attributes, xtargetOpenThread, attempt);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    attempt->refs = 1;
    pthread_mutex_unlock(&attempt->mutex);
    releaseAttempt(attempt);
    free(before.bits);
    return "Can't create thread";
  }
  // A spurious or early wake-up only re-checks the predicate; the wait
  // goes in slices so that an abandoned one ends within a slice.
  bool abandoned = false;
  while (!attempt->done && !abandoned) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec slice = now;
    slice.tv_nsec += kAbandonSliceNs;
    if (slice.tv_nsec >= 1000000000L) slice.tv_sec++, slice.tv_nsec -= 1000000000L;
    bool last = notBefore(slice, deadline);
    int rc = pthread_cond_timedwait(&attempt->cond, &attempt->mutex, last ? &deadline : &slice);
    if (rc == ETIMEDOUT && last) break;
    abandoned = xtargetWaitAbandoned && xtargetWaitAbandoned();
  }
  if (attempt->done) {
    *display = attempt->display;
  } else {
    attempt->abandoned = true;
    pthread_cond_broadcast(&attempt->cond);
    endStalledAttempt(attempt, before);
  }
  pthread_mutex_unlock(&attempt->mutex);
  releaseAttempt(attempt);
  free(before.bits);
  return nullptr;
}

// The window carries the program's name and host so that server-side tools
// can tell whose connection this is.
void announceClient(Display* display, const char* windowName) {
  Window root = RootWindow(display, 0);
  XSetWindowAttributes attributes = {};
  Window window = XCreateWindow(display, root, 0, 0, 1, 1, 0, CopyFromParent, InputOnly,
                                CopyFromParent, 0, &attributes);
  if (windowName) XStoreName(display, window, windowName);
  const char* host = hostName();
  XTextProperty property;
  property.value = reinterpret_cast<unsigned char*>(const_cast<char*>(host));
  property.encoding = XA_STRING;
  property.format = 8;
  property.nitems = strlen(host);
  XSetWMClientMachine(display, window, &property);
  XDestroyWindow(display, window);
}

}  // namespace

void xtargetInitOptions(TargetOptions* options) {
  *options = TargetOptions{};
  const char* name = getenv("DISPLAY");
  options->displayName = name ? name : ":0.0";
  options->connectTimeoutMs = 10000;
  options->secondTimeoutMs = 10000;
}

timespec xtargetDeadline(const timeval& now, u64 timeoutMs) {
  u64 seconds = static_cast<u64>(now.tv_sec) + timeoutMs / 1000;
  u64 micros = static_cast<u64>(now.tv_usec) + (timeoutMs % 1000) * 1000;
  seconds += micros / 1000000;
  micros %= 1000000;
  timespec deadline;
  deadline.tv_sec = static_cast<time_t>(seconds);
  deadline.tv_nsec = static_cast<long>(micros * 1000);
  return deadline;
}

void xtargetFailOpeningDisplay(Display* display) {
  if (!openJump) return;
  openLost = display;
  siglongjmp(*openJump, 1);
}

const char* xtargetOpenDisplay(const TargetOptions* options, const char* windowName, Display** out) {
  timeval now;
  gettimeofday(&now, nullptr);
  timespec deadline = xtargetDeadline(now, options->connectTimeoutMs);
  const char* name = options->displayName ? options->displayName : ":0.0";
  // Not even begun: an abandoned attempt's thread may still hold the X
  // library's lock inside XOpenDisplay, which the calls below would wait for.
  if (xtargetWaitAbandoned && xtargetWaitAbandoned()) return tmpPrintf("Connecting to display '%s' abandoned", name);
  imperviousXOpenDisplay = options->failsafeFlags | (options->extraFailsafe ? 2u : 0u);
  signal(SIGPIPE, SIG_IGN);
  bool withAuth = options->authName != nullptr;
  if (withAuth) {
    XSetAuthorization(const_cast<char*>(options->authName), options->authNameLength,
                      const_cast<char*>(options->authData), options->authDataLength);
  }
  XSetErrorHandler(xtargetErrorHandler);
  XSetExtensionErrorHandler(xtargetExtensionErrorHandler);
  Display* display = nullptr;
  // With no time left (a bound that earlier steps used up) nothing is begun.
  const char* error = options->connectTimeoutMs ? connectWithDeadline(name, deadline, &display) : nullptr;
  if (withAuth) XSetAuthorization(nullptr, 0, nullptr, 0);
  if (error) return error;
  if (!display) {
    return tmpPrintf("Can't connect to display '%s' for %u seconds - Make sure the X Window server "
                     "is available and access is granted",
                     name, static_cast<unsigned>((options->waitedBeforeMs + options->connectTimeoutMs) / 1000));
  }
  xextFollowDisplay(display);
  if (options->synchronous) XSynchronize(display, True);
  announceClient(display, windowName);
  *out = display;
  return nullptr;
}

namespace {
// Closes without sending anything: queued output is discarded first.
void closeWithoutTraffic(Display* display) {
  display->flags = display->flags | XlibDisplayClosing;
  // Queued output is dropped first as well, so that the requests made below
  // fit into the buffer and never make Xlib write to a dead server.
  display->bufptr = display->buffer;
  for (int i = 0; i < display->nscreens; i++) {
    Screen* screen = &display->screens[i];
    if (screen->default_gc) XFreeGC(display, screen->default_gc);
    screen->default_gc = nullptr;
  }
  if (display->cursor_font != None) XUnloadFont(display, display->cursor_font);
  display->cursor_font = None;
  // Every library drops its record of the connection, or one opened later
  // at this address would find it; a record a given-up call left half made
  // is taken out without its library.
  LibraryCloseHook skipped = xextTakeOutHalfMadeRecord(display);
  for (_XExtension* ext = display->ext_procs; ext; ext = ext->next) {
    if (!ext->close_display) continue;
    if (ext->close_display != skipped) ext->close_display(display, &ext->codes);
    else skipped = nullptr;
    ext->close_display = nullptr;
  }
  // The atom cache is freed here, once, so the final free has nothing left.
  if (display->free_funcs && display->free_funcs->atoms) {
    display->free_funcs->atoms(display);
    display->free_funcs->atoms = nullptr;
  }
  display->atoms = nullptr;
  // Events still queued go to the free list, which the close frees; the
  // close itself skips the discarding sync that would otherwise do this.
  if (display->head) {
    display->tail->next = display->qfree;
    display->qfree = display->head;
    display->head = display->tail = nullptr;
    display->qlen = 0;
  }
  // Nothing more is sent: a dead server must not make the close block.
  display->bufptr = display->buffer;
  XCloseDisplay(display);
}
}  // namespace

int xtargetCloseDisplay(Display* display) {
  xErrorTrapBegin(display);
  closeWithoutTraffic(display);
  return xErrorTrapEnd();
}

void xErrorTrapBegin(Display* display) {
  trappedDisplay = display;
  trapFlag = 0;
}

int xErrorTrapEnd() {
  trappedDisplay = nullptr;
  return trapFlag;
}

const char* xCoreErrorName(int code) {
  if (code < 1 || code > 17) return nullptr;
  return kCoreErrorNames[code - 1];
}

const char* xtargetFormatErrorPlain(Display* display, const XErrorEvent* event) {
  const char* name = xCoreErrorName(event->error_code);
  if (!name) {
    char* text = tmpAlloc(80);
    XGetErrorText(display, event->error_code, text, 80);
    name = text;
  }
  const char* request = event->request_code < 128
                            ? tmpPrintf("%u", event->request_code)
                            : tmpPrintf("%u.%u", event->request_code, event->minor_code);
  return tmpPrintf("X error %s %s in %s #%lu from %s", name, xidToText(event->resourceid), request,
                   event->serial, xShortDisplayName(display));
}

void xtargetSetErrorFormatter(XErrorFormatter formatter) {
  errorFormatter = formatter ? formatter : xtargetFormatErrorPlain;
}

int xtargetErrorHandler(Display* display, XErrorEvent* event) {
  if (display == trappedDisplay) {
    trapFlag = 1;
    return 0;
  }
  LOGF(logChXerror, "%s", errorFormatter(display, event));
  return 0;
}

int xtargetExtensionErrorHandler(Display* display, const char* extension, const char* reason) {
  if (display == trappedDisplay) {
    trapFlag = 1;
    return 0;
  }
  if (strcmp(reason, "missing") == 0) return 0;
  fprintf(stderr, "Error in X extension %s: %s (display %s)\n", extension, reason,
          XDisplayName(XDisplayString(display)));
  return 0;
}

}  // namespace palvon
