// The proxy's life cycle around the event loop: one run, the reset between
// two runs, the orderly exit, the signals that ask for a reset or an exit,
// the at-exit callbacks and the two core timers.
//
// Signal handlers only set flags and wake the loop through a pipe; the
// logging, the stop of the loop and the reset or exit itself happen on the
// main thread when the loop reads that pipe. Everything else here runs on
// the main thread between steps of the event loop.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Order;

// The stop value of the event loop that asks for a reset (the exit reason
// stays null).
extern const char kResetStop[];

// Process-wide state of the life cycle.
struct ProxyLife {
  const char* exitReason;  // set once an exit is requested; null until then
  u8 resetBySignal;        // the reset was asked for by SIGHUP
  u8 noReset;              // the reset does nothing; the next run starts at once
  u8 readySignalWanted;    // SIGUSR1 was ignored when the proxy started
  u8 started;              // the start-up sequence completed
  u8 exiting;              // exitProxy runs
  u16 resetDelaySeconds;   // the pause between two runs
  u16 generation;          // completed resets
  u32 options;             // the option words of this run
  u32 maxBandSize;         // ZAVmaxBandSize, else 65536
  u32 maxPendingBufferSwaps;
  u8 bellOff;
  Order* pingTimer;        // the idle keep-alive of the heads' displays
  Order* requiredProcessTimer;
  u32 requiredProcess;     // ZAVProcessRequired, 0 when unset
  char vendor[128];        // the vendor string of the clients' set-up reply
  u32 vendorRelease;
};
extern ProxyLife proxyLife;

constexpr u32 kPingIdleMs = 2972;
constexpr u32 kRequiredProcessCheckMs = 10000;
constexpr u32 kAtExitSlots = 10;

// Environment, signals, the Xlib I/O error handler, the event loop, the
// core dispatch tables and the timers. Null or the error text.
const char* initProxy();
// One run of the event loop; the exit reason or null.
const char* runProxy();
// The reset between two runs; the exit reason, an error text or null.
const char* resetProxy();
// The orderly exit; status 0 after the outer cycle, 1 after a failed
// start-up. Called again while it runs (an error on the way out), it logs
// that error and goes on with the first reason and status.
[[noreturn]] void exitProxy(const char* reason, int status);
// The exit after a failed start-up: status 1 with the error, unless an
// exit signal came meanwhile (then its reason and status 0).
[[noreturn]] void exitFailedStart(const char* error);
// The exit after the outer cycle with its reason: status 0 when the exit
// was asked for, 1 when a reset or the restart of the heads failed.
[[noreturn]] void exitAfterCycles(const char* reason);
// Remember the reason (the first one stays) and stop the event loop; the
// exit happens in the outer cycle.
void requestProxyExit(const char* reason);
// Logs the reset line and stops the event loop with kResetStop.
void requestProxyReset(const char* reason);
// The same when the last client left; with noReset only the line is
// logged and the loop runs on.
void requestResetAfterLastClient(const char* reason);

// The at-exit stack: callbacks run in the order of their registration,
// each with 0. False when all slots are taken. A callback may remove itself.
using AtExitCallback = void (*)(int);
bool registerAtExit(AtExitCallback callback);
void unregisterAtExit(AtExitCallback callback);
// The same stack for a callback with an argument; removal takes the pair.
bool addExitCallback(void (*callback)(void* argument), void* argument);
void removeExitCallback(void (*callback)(void* argument), void* argument);
// Runs and clears every registered callback, first registered first.
void runAtExitCallbacks();

// Clears the parent window of the proxy's windows on every online head and
// flushes its display.
void pingHeadDisplays();
// Ends the proxy when the process no longer exists, else re-arms itself.
// (The Xlib I/O error handler of the proxy's own connections is the
// failsafe layer's, Proxy/servers/failsafe.h, installed by initProxy.)
void checkRequiredProcess(void* pid);

// The signal handlers: they only note the signal and wake the loop.
void onResetSignal(int signal);
void onExitSignal(int signal);
// Handles noted signals now (what the loop does when it wakes up); also for
// tests that raise a signal and step the loop.
void handlePendingSignals();
// Called where a wait on a server ended early or failed: an exit asked for
// meanwhile (a signal, which also cuts such waits short) ends the proxy
// now, as the loop would have. Returns otherwise, and always once the
// exit runs.
void honourExitRequest();
// Whether an exit was asked for and has not begun yet: waits on servers
// end then (the failsafe layer and the descriptor waits look).
bool exitAwaited();

// The text of an exit signal ("Received exit signal %d").
const char* exitSignalText(int signal);

}  // namespace palvon
