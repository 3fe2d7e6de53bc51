// One run of the event loop, the reset between runs, the exit, the signals
// and the two core timers.
#include "Proxy/lifecycle.h"
#include "Proxy/requests/fontpath.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/links/localserver.h"
#include "Proxy/links/serverauth.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
#include "xsupport/xtarget.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/open.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/screen.h"
#include "base/fd.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/process.h"

namespace palvon {

const char kResetStop[] = "Reset";
// The longest the exit waits for the servers, all together, to take back
// their saved state: an exit signal is honoured within a second even when
// a head has stopped.
constexpr long long kExitServerWaitMs = 400;
// The same for what a run's end sends them (the clients' last requests as
// their connections close, the saved state put back): a server stopped
// meanwhile must not hold the reset up.
constexpr long long kResetServerWaitMs = 1000;
ProxyLife proxyLife;

namespace {

// A slot holds either form of callback.
struct AtExitSlot {
  AtExitCallback plain;
  void (*callback)(void* argument);
  void* argument;
};
AtExitSlot atExitSlots[kAtExitSlots];

// What the signal handlers leave for the main thread: the pipe wakes the
// loop, the flags say why. Written from handlers, hence atomics.
int signalPipe[2] = {-1, -1};
Order* signalOrder;
std::atomic<int> pendingExitSignal{0};
std::atomic<bool> pendingResetSignal{false};

void wakeLoop() {
  if (signalPipe[1] < 0) return;
  char byte = 0;
  // A full pipe already holds a wake-up; nothing else to do.
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
}

void onSignalPipe(void*) {
  char bytes[64];
  while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
  }
  handlePendingSignals();
}

const char* openSignalPipe() {
  if (signalPipe[0] >= 0) return nullptr;
  if (pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
    return tmpPrintf("Can't create signal pipe: %s", strerror(errno));
  return nullptr;
}

void watchSignalPipe() {
  orderCancel(signalOrder);
  signalOrder = signalPipe[0] >= 0 ? orderAddFd(signalPipe[0], onSignalPipe, nullptr) : nullptr;
}

void armPingTimer() {
  orderCancel(proxyLife.pingTimer);
  proxyLife.pingTimer = orderAddTimerSorted(kPingIdleMs, [](void*) { pingHeadDisplays(); }, nullptr);
}

void armRequiredProcessCheck() {
  proxyLife.requiredProcessTimer = orderAddTimer(kRequiredProcessCheckMs, checkRequiredProcess,
                                                 reinterpret_cast<void*>(uintptr_t{proxyLife.requiredProcess}));
}

u32 decimalEnvironment(const char* name, u32 fallback) {
  const char* text = getenv(name);
  return text && *text ? static_cast<u32>(strtoul(text, nullptr, 10)) : fallback;
}

u64 monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return u64(now.tv_sec) * 1000 + u64(now.tv_nsec) / 1000000;
}

// Sleeps the reset delay; an exit signal cuts it short. The loop is not
// running here: every client has gone and the listeners are quiet.
void sleepResetDelay() {
  u64 until = monotonicMs() + 1000ull * proxyLife.resetDelaySeconds;
  while (!proxyLife.exitReason) {
    u64 now = monotonicMs();
    if (now >= until) break;
    pollfd wake{signalPipe[0], POLLIN, 0};
    if (poll(&wake, signalPipe[0] >= 0 ? 1 : 0, static_cast<int>(until - now)) > 0) onSignalPipe(nullptr);
  }
}

// Bounds every wait on a server while it lives.
struct ServerWaitLimit {
  explicit ServerWaitLimit(long long ms) { fdSetWaitDeadline(fdMonotonicMs() + ms); }
  ~ServerWaitLimit() { fdSetWaitDeadline(0); }
};

// The end of a run: every client goes, also the kept ones.
void stopAllClients() {
  currentClient = nullptr;
  while (ProxyClient* client = clientList) {
    client->reinitStop = 1;
    stopClient(client, "reinit", 0);
    if (clientList == client) {
      // The record could not leave the list (a parse still runs on it).
      PALVON_UNE();
      break;
    }
  }
}

void resetListeners() {
  for (Listener* listener = listenerList; listener; listener = listener->next) {
    orderCancel(listener->readOrder);
    orderCancel(listener->acceptOrder);
    listener->readOrder = listener->acceptOrder = nullptr;
  }
}

const char* reopenListeners() {
  for (Listener* listener = listenerList; listener; listener = listener->next) {
    if (!resetListener(listener->transport)) return "Can't reset listening connections";
    listener->descriptor = getTransportFd(listener->transport);
    listener->readOrder = orderAddFd(listener->descriptor, onListenerReadable, listener);
    if (!listener->readOrder) return "Can't reset listening connections";
  }
  return nullptr;
}

}  // namespace

// --- Signals -------------------------------------------------------------------------

void onResetSignal(int) {
  pendingResetSignal = true;
  wakeLoop();
}

void onExitSignal(int signal) {
  pendingExitSignal = signal;
  // A main thread stuck where no time-out reaches must not keep the
  // process alive.
  if (signal != SIGABRT) xfsExitRequested();
  wakeLoop();
}

const char* exitSignalText(int signal) {
  // The exit reason must outlive every temporary string.
  static char text[80];
  snprintf(text, sizeof text, "Received exit signal %d", signal);
  return text;
}

bool exitAwaited() { return !proxyLife.exiting && (pendingExitSignal != 0 || proxyLife.exitReason); }

void honourExitRequest() {
  if (proxyLife.exiting) return;
  handlePendingSignals();
  if (proxyLife.exitReason) exitProxy(proxyLife.exitReason, 0);
}

void handlePendingSignals() {
  if (int signal = pendingExitSignal.exchange(0)) {
    // The first reason stays: its text must not be formatted over.
    const char* text = proxyLife.exitReason ? tmpPrintf("Received exit signal %d", signal) : exitSignalText(signal);
    LOGF(logChInfo, "%s...", text);
    requestProxyExit(text);
  }
  if (pendingResetSignal.exchange(false)) {
    LOGF(logChInfo, "Received reset signal SIGHUP...");
    requestProxyReset("Received reset signal SIGHUP");
    proxyLife.resetBySignal = 1;
  }
}

void requestProxyExit(const char* reason) {
  if (!proxyLife.exitReason) proxyLife.exitReason = reason ? reason : "";
  ordersStop(reinterpret_cast<uintptr_t>(proxyLife.exitReason));
}

namespace {
void logResetRequest(const char* reason) {
  LOGF(logChXhint, "Resetting %s (#%u, %s, noReset=%d, delay=%us)...", logProgramName(), proxyLife.generation + 1u,
       reason, proxyLife.noReset, u32{proxyLife.resetDelaySeconds});
}
}  // namespace

void requestProxyReset(const char* reason) {
  logResetRequest(reason);
  ordersStop(reinterpret_cast<uintptr_t>(kResetStop));
}

void requestResetAfterLastClient(const char* reason) {
  logResetRequest(reason);
  // Stopping the loop would stop every client: the kept ones would lose
  // what they left behind (a root's pixmap that the next xsetroot kills)
  // and a client still connecting would be cut, though nothing is reset.
  if (!proxyLife.noReset) ordersStop(reinterpret_cast<uintptr_t>(kResetStop));
}

// --- At-exit stack -----------------------------------------------------------------------

namespace {

bool takeAtExitSlot(const AtExitSlot& entry) {
  // From the top slot down: the exit calls the slots in the same order, so
  // callbacks run in the order of their registration.
  for (u32 slot = kAtExitSlots; slot-- > 0;) {
    AtExitSlot& free = atExitSlots[slot];
    if (!free.plain && !free.callback) {
      free = entry;
      return true;
    }
  }
  PALVON_UNE();
  return false;
}

}  // namespace

bool registerAtExit(AtExitCallback callback) { return takeAtExitSlot(AtExitSlot{callback, nullptr, nullptr}); }

void unregisterAtExit(AtExitCallback callback) {
  for (AtExitSlot& slot : atExitSlots)
    if (slot.plain == callback) slot = AtExitSlot{};
}

bool addExitCallback(void (*callback)(void* argument), void* argument) {
  return takeAtExitSlot(AtExitSlot{nullptr, callback, argument});
}

void removeExitCallback(void (*callback)(void* argument), void* argument) {
  for (AtExitSlot& slot : atExitSlots)
    if (slot.callback == callback && slot.argument == argument) slot = AtExitSlot{};
}

void runAtExitCallbacks() {
  for (u32 slot = kAtExitSlots; slot-- > 0;) {
    AtExitSlot entry = atExitSlots[slot];
    atExitSlots[slot] = AtExitSlot{};
    if (entry.plain) entry.plain(0);
    if (entry.callback) entry.callback(entry.argument);
  }
}

// --- Timers ----------------------------------------------------------------------------------

void pingHeadDisplays() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      Display* display = head->display;
      if (!display || isDisplayOffline(display) || !head->window) continue;
      XfsClearArea(display, head->window, 0, 0, 0, 0, False);
      XfsFlush(display);
    }
  }
}

void checkRequiredProcess(void* argument) {
  auto pid = static_cast<pid_t>(reinterpret_cast<uintptr_t>(argument));
  proxyLife.requiredProcessTimer = nullptr;
  errno = 0;
  if (getpriority(PRIO_PROCESS, static_cast<id_t>(pid)) == -1 && errno == ESRCH)
    exitProxy("Required process is dead", 1);
  armRequiredProcessCheck();
}

// --- Init, run, reset ------------------------------------------------------------------------

const char* initProxy() {
  proxyLife.options = 0;
  setProxyDisplayNumber(0);
  proxyLife.exitReason = nullptr;
  proxyLife.maxPendingBufferSwaps = 0;
  proxyLife.maxBandSize = decimalEnvironment("ZAVmaxBandSize", 65536);
  clientList = nullptr;
  clientCount = 0;
  initDefaultXids();
  clearAuthorizationEntries(true);
  // A parent that ignored SIGUSR1 waits for it as the ready signal.
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR1, &ignore, &previous);
  proxyLife.readySignalWanted = previous.sa_handler == SIG_IGN;
  if (const char* error = openSignalPipe()) return error;
  signalPush(onResetSignal, SIGHUP);
  for (int signal : {SIGINT, SIGQUIT, SIGABRT, SIGTERM}) signalPush(onExitSignal, signal);
  signal(SIGPIPE, SIG_IGN);
  // A connect to a server that never answers is no reason to outlive an
  // exit signal.
  xtargetWaitAbandoned = [] { return pendingExitSignal != 0 || proxyLife.exitReason != nullptr; };
  // Nor is any other wait on a server: a stopped one would hold the exit
  // up for its whole time-out.
  fdSetWaitAbandoned(exitAwaited);
  xfsInstall();
  ordersInit();
  watchSignalPipe();
  if (const char* error = initCoreDispatchTables()) return error;
  registerAtExit([](int) { ordersFreeAll(); });
  armPingTimer();
  proxyState.pointerAccelThreshold = 4;
  proxyState.pointerAccelNumerator = 2;
  proxyState.pointerAccelDenominator = 1;
  proxyLife.requiredProcess = decimalEnvironment("ZAVProcessRequired", 0);
  if (proxyLife.requiredProcess) armRequiredProcessCheck();
  return nullptr;
}

const char* runProxy() {
  if (proxyLife.exitReason) return proxyLife.exitReason;
  char directory[kInstallPathSize];
  if (makeInstallPath(".", kPathVar, directory) || chdir(directory) != 0)
    LOGF(logChWarning, "Can't access directory '%s'", directory);
  // A signal noted before the loop started is handled in its first step.
  if (pendingExitSignal || pendingResetSignal) wakeLoop();
  ordersMainLoop();
  if (proxyLife.exitReason) return proxyLife.exitReason;
  ServerWaitLimit limit(kResetServerWaitMs);
  stopAllClients();
  return proxyLife.exitReason;
}

const char* resetProxy() {
  if (proxyLife.exitReason || proxyLife.noReset) return proxyLife.exitReason;
  LOGF(logChInfo, "Resetting X proxy...");
  {
    ServerWaitLimit limit(kResetServerWaitMs);
    closeHeadsOnReset();
    stopAllClients();
  }
  clientCount = 0;
  LOGF(logChInfo, "Removing xid's...");
  freeAllClientResources();
  LOGF(logChInfo, "Init default xids...");
  initDefaultXids();
  freeAllDestroyedWindowAttributes();
  freeProxyFontPath();
  LOGF(logChInfo, "Removing X extensions...");
  resetAllExtensions();
  resetListeners();
  orderCancel(proxyLife.pingTimer);
  proxyLife.pingTimer = nullptr;
  LOGF(logChInfo, "Resetting authorization...");
  resetAuthorizationProtocols();
  warnAboutAuthorityFile();
  clearAuthorizationEntries(false);
  if (proxyLife.resetBySignal) {
    proxyLife.resetBySignal = 0;
    signalLocalXServer(SIGHUP);
  }
  if (proxyLife.exitReason) return proxyLife.exitReason;
  LOGF(logChInfo, "Sleeping %d seconds...", proxyLife.resetDelaySeconds);
  sleepResetDelay();
  if (proxyLife.exitReason) return proxyLife.exitReason;
  // The sleep is no time the loop waited: a deadline stamped from now on
  // (XDMCP's resend) must not find itself passed in the first step.
  ordersSkipBlockedTime();
  proxyLife.generation++;
  armPingTimer();
  watchSignalPipe();
  if (const char* error = reopenListeners()) return error;
  char number[16];
  snprintf(number, sizeof number, "%u", getProxyDisplayNumber());
  readHostsFile(number);
  restartXdmcp();
  return nullptr;
}

// --- Exit ----------------------------------------------------------------------------------------

void exitFailedStart(const char* error) {
  // A start-up cut short by an exit signal ends as the signal asked.
  handlePendingSignals();
  if (proxyLife.exitReason) exitProxy(proxyLife.exitReason, 0);
  exitProxy(error, 1);
}

void exitAfterCycles(const char* reason) {
  // An exit that was asked for (a signal, the control extension) is no
  // failure; a reset or a restart of the heads that failed is.
  handlePendingSignals();
  if (proxyLife.exitReason) exitProxy(proxyLife.exitReason, 0);
  exitProxy(reason, 1);
}

namespace {

// The exit under way. An error met on the way out (a server that went away
// while its state is put back, which Xlib reports through the I/O error
// handler) calls exitProxy again from inside: that error is only logged,
// and the exit goes on from where it stood, with its own reason and status.
struct Exiting {
  bool active;
  bool hasReason;
  int status;
  bool recordingsStopped;
  ServerDisplay* nextServer;  // the next display whose state goes back
  char reason[1024];
} exiting;

}  // namespace

void exitProxy(const char* reason, int status) {
  if (exiting.active) {
    LOGF(logChWarning, "%s (while exiting)", reason ? reason : "");
  } else {
    exiting.active = true;
    proxyLife.exiting = 1;
    exiting.hasReason = reason != nullptr;
    exiting.status = status;
    strCopy(exiting.reason, reason ? reason : "", sizeof exiting.reason);
    exiting.nextServer = serverDisplayList;
    // A server that has stopped must not hold the exit up: every wait on
    // one from here on ends within a short time, and what it did not take
    // is left undone.
    fdSetWaitDeadline(fdMonotonicMs() + kExitServerWaitMs);
    LOGF(logChInfo, "Exiting: %s...", exiting.reason);
  }
  reason = exiting.hasReason ? exiting.reason : nullptr;
  if (!exiting.recordingsStopped) {
    exiting.recordingsStopped = true;
    for (ProxyClient* client = clientList; client; client = client->next) {
      if (client->recording && serviceHooks.stopRecording)
        serviceHooks.stopRecording(client->recording, reason ? reason : "Exited", 5);
    }
  }
  while (ServerDisplay* server = exiting.nextServer) {
    exiting.nextServer = server->next;
    if (!server->display || isDisplayOffline(server->display)) continue;
    // What was put back must reach the server before the connection goes.
    if (putServerStateBack(server)) XfsSync(server->display, False);
  }
  // The at-exit stack frees every order: the listeners must not hold theirs.
  resetListeners();
  orderCancel(signalOrder);
  signalOrder = nullptr;
  runAtExitCallbacks();
  removeGeneratedAuthorizationFile();
  closeListeningPorts();
  if (reason) logFatal(__FILE__, __LINE__, bigPrintf("%s", reason));
  fflush(stdout);
  fflush(stderr);
  exit(exiting.status);
}

}  // namespace palvon
