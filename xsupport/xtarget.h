// The program's own Xlib connections to real X servers (target displays):
// opening with a time-out that never hangs the caller, closing without
// blocking on a broken connection, the process-wide Xlib error handlers and a
// one-display error trap.
#pragma once

#include <sys/time.h>
#include <time.h>

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct TargetOptions {
  const char* displayName;       // not owned; default $DISPLAY, else ":0.0"
  u64 connectTimeoutMs;          // how long xtargetOpenDisplay waits; default 10000
  u64 secondTimeoutMs;           // default 10000; carried for the caller only
  const char* authName;          // when set, used for this connect only
  int authNameLength;
  const char* authData;
  int authDataLength;
  u32 failsafeFlags;             // copied into imperviousXOpenDisplay
  u32 extraFailsafe;             // non-zero adds the value 2 to that word
  u32 synchronous;               // non-zero: XSynchronize(display, True)
  u64 waitedBeforeMs;            // spent on earlier attempts; counted in the failure text
};

// The flag word that the failsafe layer reads while a display is opened.
extern u32 imperviousXOpenDisplay;

// For the process's Xlib I/O error handler: when the calling thread is a
// connection thread inside XOpenDisplay, fails that attempt (the half-made
// display is closed) and does not return; otherwise returns.
void xtargetFailOpeningDisplay(Display* display);

void xtargetInitOptions(TargetOptions* options);

// Connects on a separate thread that retries soon, then every quarter second; waits at most the
// connect time-out, which covers the connect and the set-up exchange. On
// success stores the Display and returns nullptr, else an error text
// (temporary string). An attempt still under way when the time-out passes is
// ended: the sockets it opened are shut down (a peer that accepts and never
// answers would otherwise keep it, and the X library's global lock, for
// good), and a Display that arrives too late is closed without traffic. The
// caller waits at most a second more for that. Main thread; no other thread
// may open descriptors meanwhile.
const char* xtargetOpenDisplay(const TargetOptions* options, const char* windowName, Display** out);
// Asked about every tenth of a second while xtargetOpenDisplay waits: true
// ends the wait at once (the process is asked to end; a connect to a server
// that never answers must not hold that up). Null: waits run their course.
// Must be safe to call from the main thread at any time.
extern bool (*xtargetWaitAbandoned)();

// Closes without waiting for the server: pending output is discarded and
// X errors are trapped. Returns 1 when an X error arrived during the close.
// Every extension library's close hook runs, but on a record that a call
// given up part-way left half made (xsupport/extrecords.h).
int xtargetCloseDisplay(Display* display);

// The absolute wall-clock deadline of a wait of timeoutMs from now.
timespec xtargetDeadline(const timeval& now, u64 timeoutMs);

// --- Error trap (main thread; does not nest) -------------------------------
// Begin, make the request, XSync, End: End returns 1 when at least one X error
// arrived for that display meanwhile, else 0.
void xErrorTrapBegin(Display* display);
int xErrorTrapEnd();

// Scope guard for the trap; result() ends it early and returns the flag.
class XErrorTrap {
 public:
  explicit XErrorTrap(Display* display) { xErrorTrapBegin(display); }
  ~XErrorTrap() {
    if (!ended_) xErrorTrapEnd();
  }
  int result() {
    ended_ = true;
    return xErrorTrapEnd();
  }
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

 private:
  bool ended_ = false;
};

// --- Error handlers --------------------------------------------------------
int xtargetErrorHandler(Display* display, XErrorEvent* event);
int xtargetExtensionErrorHandler(Display* display, const char* extension, const char* reason);

// The text that xtargetErrorHandler logs for an untrapped X error. Upper
// layers that know request names install their own; the default names the
// error and gives the request's major and minor codes as numbers. The result
// is a temporary string.
using XErrorFormatter = const char* (*)(Display* display, const XErrorEvent* event);
void xtargetSetErrorFormatter(XErrorFormatter formatter);
const char* xtargetFormatErrorPlain(Display* display, const XErrorEvent* event);
// "BadRequest" ... "BadImplementation" for codes 1 to 17, else nullptr.
const char* xCoreErrorName(int code);

}  // namespace palvon
