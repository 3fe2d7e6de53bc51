// Offline handling of server displays: what happens when a real X server
// breaks its connection or falls silent. With the option Failsafe the server
// is taken out of the session and the proxy goes on; without it the proxy
// ends.
#include <X11/Xlib.h>

#include <algorithm>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/lifecycle.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
#include "base/fd.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/misc.h"

namespace palvon {

LostServerHooks lostServerHooks = {};

namespace {

constexpr u64 kDefaultOfflineTimeoutMs = 20000;

bool failsafeSet() { return (proxyConfig.options & kOptionFailsafe) != 0; }

// How long a silent server has to answer the watchdog's ping.
constexpr u64 kWatchdogGraceMs = 1000;

void keepAliveTick(void* argument);
void watchdogExpired(void* argument);

void startKeepAlive(ServerDisplay* server) {
  server->keepAliveTimer = orderAddTimer(server->offlineTimeoutMs / 10, keepAliveTick, server);
}

void startWatchdog(ServerDisplay* server, u64 milliseconds) {
  server->watchdogTimer = orderAddTimer(milliseconds, watchdogExpired, server);
}

// The ping makes the server answer with a PropertyNotify: traffic that keeps
// the watchdog quiet while the server is alive.
void keepAliveTick(void* argument) {
  auto* server = static_cast<ServerDisplay*>(argument);
  server->keepAliveTimer = nullptr;
  if (!isDisplayOffline(server->display)) pingDisplay(server->display);
  // The ping may have found the display lost and scheduled its drop.
  if (server->display && !server->lossOrder) startKeepAlive(server);
}

// A server that may not be dropped ends the proxy; any other is dropped with
// the Failsafe warning, now or from an idle order (never inside the wrapper
// call that found the loss).
void declareLost(ServerDisplay* server, bool now) {
  const char* name = server->display ? xShortDisplayName(server->display) : server->displayName;
  if (server == atomDisplay) exitProxy(tmpPrintf("Display %s is offline (atom server)", name), 1);
  if (server == resourceServerDisplay) exitProxy(tmpPrintf("Display %s is offline (resource server)", name), 1);
  if (server->lossOrder) return;
  LOGF(logChWarning, "Display %s is offline, resuming... (option Failsafe)", server->displayName);
  orderCancel(server->keepAliveTimer);
  server->keepAliveTimer = nullptr;
  if (now) {
    dropServerDisplay(server);
    return;
  }
  server->lossOrder = orderAddIdle([](void* argument) { dropServerDisplay(static_cast<ServerDisplay*>(argument)); },
                                   server);
}

// Fires after a whole time-out without traffic (traffic in between only
// moves the deadline on, so the burst path never touches the timer list).
void watchdogExpired(void* argument) {
  auto* server = static_cast<ServerDisplay*>(argument);
  server->watchdogTimer = nullptr;
  Display* display = server->display;
  if (display && !isDisplayOffline(display)) {
    u64 now = ordersClock();
    u64 silent = now - server->lastTrafficMs;
    if (silent < server->offlineTimeoutMs) {
      server->watchdogGraceUsed = 0;
      startWatchdog(server, server->offlineTimeoutMs - silent);
      return;
    }
    bool readable = fdIsReadable(ConnectionNumber(display)) != 0;
    if (readable || XQLength(display) > 0) {
      if (lostServerHooks.processEvents) lostServerHooks.processEvents(display, readable);
      server->lastTrafficMs = now;
      server->watchdogGraceUsed = 0;
      if (server->display && !server->watchdogTimer) startWatchdog(server, server->offlineTimeoutMs);
      return;
    }
    // The proxy may have been held up itself (a blocking wait on another
    // server) and sent no keep-alive meanwhile: a server that answers one
    // ping within a short time is not lost.
    if (!server->watchdogGraceUsed) {
      server->watchdogGraceUsed = 1;
      pingDisplay(display);
      if (server->display && !isDisplayOffline(server->display) && !server->watchdogTimer)
        startWatchdog(server, std::min<u64>(server->offlineTimeoutMs, kWatchdogGraceMs));
      if (server->display && !isDisplayOffline(server->display)) return;
    }
  }
  declareLost(server, true);
}

// One head on the server display, in any meta screen; null when none.
Head* findHeadOn(const ServerDisplay* server, const Head* after) {
  bool passed = after == nullptr;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->serverDisplay != server) continue;
      if (passed) return head;
      if (head == after) passed = true;
    }
  }
  return nullptr;
}

}  // namespace

bool displayHasStaticHead(const ServerDisplay* server) {
  for (Head* head = findHeadOn(server, nullptr); head; head = findHeadOn(server, head)) {
    if (head->tags & kHeadTagStatic) return true;
  }
  return false;
}

void armOfflineTimeout(ServerDisplay* server) {
  orderCancel(server->keepAliveTimer);
  orderCancel(server->watchdogTimer);
  server->keepAliveTimer = nullptr;
  server->watchdogTimer = nullptr;
  if (!failsafeSet() || displayHasStaticHead(server)) {
    if (server->display) xfsSetOfflineTimeout(server->display, 0);
    return;
  }
  if (server->offlineTimeoutMs == 0) server->offlineTimeoutMs = kDefaultOfflineTimeoutMs;
  if (!server->display) return;
  xfsSetOfflineTimeout(server->display, server->offlineTimeoutMs);
  startKeepAlive(server);
  // Silence is counted from here, so a server that never answers at all is
  // caught as well.
  server->lastTrafficMs = ordersClock();
  startWatchdog(server, server->offlineTimeoutMs);
}

// Traffic is noted with or without a watchdog: a link's stall looks at it
// as well (serverKeptThroughSilence).
void restartDisplayWatchdog(Display* display) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display != display) continue;
    server->lastTrafficMs = ordersClock();
    return;
  }
}

void noteServerDisplayTraffic(ServerDisplay* server) {
  if (server) server->lastTrafficMs = ordersClock();
}

bool serverKeptThroughSilence(const ServerDisplay* server, u64 ms) {
  if (!server || !failsafeSet()) return false;
  if (server != atomDisplay && server != resourceServerDisplay && !displayHasStaticHead(server)) return false;
  return ordersClock() - server->lastTrafficMs >= ms;
}

bool serverDisplayLost(ServerDisplay* server) {
  if (!failsafeSet() || !server) return false;
  return !server->display || syncServerDisplay(server);
}

bool dropLostServer(ServerDisplay* server) {
  if (!serverDisplayLost(server)) return false;
  // What the clients wait for is read from their links to the server, so it
  // is answered before they close.
  if (server->display && lostServerHooks.answerClients) lostServerHooks.answerClients(server);
  // The links go first and in every case: a record that keeps its heads
  // outlives the drop, and its links must not fail again and again.
  closeLinksToServer(server);
  if (server->display) dropServerDisplay(server);
  return true;
}

const char* serverLinkLostText(ServerDisplay* server, const char* text) {
  if (!serverDisplayLost(server)) return text;
  return tmpPrintf("Connection to %s is offline - Maybe the X Window server is unavailable or network is down",
                   server->displayName);
}

bool syncServerDisplay(ServerDisplay* server) {
  if (server->display) XfsSync(server->display, False);
  return isDisplayOffline(server->display);
}

void handleDisplayOffline(Display* display) {
  // A wait cut short by an exit request, or a server that broke while the
  // exit talks to it, is no loss to handle: the exit goes on.
  honourExitRequest();
  if (proxyLife.exiting) return;
  // A server given up while it is being opened is its opener's failure to
  // report (AddServer refused), not a loss of the session.
  if (!failsafeSet() && !xfsOpening(display)) {
    exitProxy(tmpPrintf("Display %s is offline (no option Failsafe)", xShortDisplayName(display)), 1);
  }
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display == display && !server->closing) declareLost(server, false);
  }
}

void dropServerDisplay(ServerDisplay* server) {
  if (lostServerHooks.answerClients) lostServerHooks.answerClients(server);
  // Answered once: the links go with the answers, as in dropLostServer.
  closeLinksToServer(server);
  disconnectServerDisplay(server, true);
  bool hadHead = false;
  if (lostServerHooks.removeHead) {
    // Removing a head changes the lists, so the search starts over each time.
    while (Head* head = findHeadOn(server, nullptr)) {
      hadHead = true;
      if (const char* message = lostServerHooks.removeHead(head, true)) exitProxy(message, 1);
      if (findHeadOn(server, nullptr) == head) break;
    }
  } else {
    hadHead = findHeadOn(server, nullptr) != nullptr;
  }
  // Clients connecting from now on open links only to the servers left
  // (freeing the record rebuilds their list itself).
  if (!hadHead) freeServerDisplay(server);
  else rebuildClientServerList();
  if (lostServerHooks.rearmPending) lostServerHooks.rearmPending();
}

}  // namespace palvon
