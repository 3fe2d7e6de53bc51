// Offline handling of server displays: what happens when a real X server
// breaks its connection or falls silent. With the option Failsafe the server
// is taken out of the session and the proxy goes on; without it the proxy
// ends.
#include <X11/Xlib.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/serverlink.h"
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

bool failsafeSet() { return (proxyConfig.options & kOptionFailsafe) != 0; }

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
  if (!isDisplayOffline(server->display)) {
    pingDisplay(server->display);
    noteServerAsked(server);
  }
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

// Whether a link of a client to the server has bytes the loop is about to
// read.
bool linkInputUnread(const ServerDisplay* server) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    for (ServerLink* link : linksOf(client)) {
      if (link->server.display == server && link->readOrder && link->descriptor >= 0 &&
          fdIsReadable(link->descriptor))
        return true;
    }
  }
  return false;
}

// What the server sent that the proxy has not read yet, on its display
// connection (handed to the event intake) or on a client's link (read by
// the loop next), counts as traffic now: the proxy, held up elsewhere, was
// silent, not the server. True when there was any.
bool takeUnreadTraffic(ServerDisplay* server) {
  Display* display = server->display;
  bool readable = fdIsReadable(ConnectionNumber(display)) != 0;
  bool unread = readable || XQLength(display) > 0;
  if (unread && lostServerHooks.processEvents) lostServerHooks.processEvents(display, readable);
  if (!unread) unread = linkInputUnread(server);
  if (unread) noteServerDisplayTraffic(server);
  return unread;
}

// Fires at the server's due time (traffic in between only moves that on,
// so the burst path never touches the timer list).
void watchdogExpired(void* argument) {
  auto* server = static_cast<ServerDisplay*>(argument);
  server->watchdogTimer = nullptr;
  if (server->display && !isDisplayOffline(server->display)) {
    if (declareSilentServerLost(server)) return;
    // Not due yet, owing nothing, or talking after all.
    u64 due = failsafeDueMs(server), now = ordersClockNow();
    if (server->display && !server->watchdogTimer)
      startWatchdog(server, due > now ? due - now : server->offlineTimeoutMs);
    return;
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
  noteServerDisplayTraffic(server);
  startWatchdog(server, server->offlineTimeoutMs);
}

// Traffic is noted with or without a watchdog: a link's stall looks at it
// as well (serverKeptThroughSilence).
void restartDisplayWatchdog(Display* display) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (server->display != display) continue;
    noteServerDisplayTraffic(server);
    return;
  }
}

// Stamped with the clock as it is now, not as the loop read it at the
// start of its step: within one long step (the start-up, a server opened
// while clients are served) the server answers many times, and an answer
// stamped with the step's start would count the proxy's own work since as
// the server's silence.
void noteServerDisplayTraffic(ServerDisplay* server) {
  if (!server) return;
  server->lastTrafficMs = ordersClockNow();
  server->askedSinceMs = 0;
}

bool serverKeptThroughSilence(const ServerDisplay* server, u64 ms) {
  if (!server || !failsafeSet()) return false;
  if (server != atomDisplay && server != resourceServerDisplay && !displayHasStaticHead(server)) return false;
  u64 now = ordersClockNow();
  return now > server->lastTrafficMs && now - server->lastTrafficMs >= ms;
}

void noteServerAsked(ServerDisplay* server) {
  if (server && !server->askedSinceMs) server->askedSinceMs = ordersClockNow();
}

// The proxy asks a server something at least once a keep-alive period, so
// its silence counts from its last traffic. A first question that came
// later than that after it (the proxy was held up elsewhere and asked
// nothing) moves the start on: a silence nobody asked into is not the
// server's. Questions are marked on the clock as it is read then, so that
// a blocking wait within one long step of the loop counts from when it
// asked; what the wait reads clears the mark.
u64 failsafeDueMs(const ServerDisplay* server) {
  if (!server || !server->askedSinceMs || !failsafeSet() || !server->display || !server->offlineTimeoutMs ||
      displayHasStaticHead(server))
    return 0;
  u64 period = server->offlineTimeoutMs / 10;
  u64 asked = server->askedSinceMs > period ? server->askedSinceMs - period : 0;
  return std::max(server->lastTrafficMs, asked) + server->offlineTimeoutMs;
}

bool declareSilentServerLost(ServerDisplay* server) {
  // A loss found already is its drop's to handle, at the loop's next step:
  // whatever waits on the server waits for that.
  if (server->lossOrder) return true;
  u64 due = failsafeDueMs(server);
  if (!due || ordersClockNow() < due || takeUnreadTraffic(server)) return false;
  declareLost(server, false);
  return true;
}

u64 failsafeWaitLeftMs(Display* display, u64 waitBeganMs) {
  ServerDisplay* server = findServerDisplay(display);
  noteServerAsked(server);
  u64 due = failsafeDueMs(server), now = ordersClockNow();
  if (!due) return UINT64_MAX;
  // The wait gets a keep-alive period to be answered in, whatever the
  // server owed before: a proxy held up elsewhere has read nothing of it.
  due = std::max(due, waitBeganMs + server->offlineTimeoutMs / 10);
  if (now < due) return due - now;
  // Only the links are looked at: the library holds the display itself,
  // whose connection has nothing unread, or the wait would have ended. A
  // server that sent something there meanwhile is not silent, and the
  // call's own bound applies (the loop reads it after the call).
  return linkInputUnread(server) ? UINT64_MAX : 0;
}

bool serverDisplayLost(ServerDisplay* server) {
  if (!failsafeSet() || !server) return false;
  if (!server->display || server->lossOrder || declareSilentServerLost(server)) return true;
  return syncServerDisplay(server);
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
