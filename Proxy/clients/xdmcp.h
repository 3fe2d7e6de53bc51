// The proxy's XDMCP client (protocol version 1): it announces the proxy to
// an X display manager as an X server does, by a direct, broadcast or
// indirect query, requests and manages a session, keeps it alive, and
// resets the proxy (or ends it, in "once" mode) when the session ends.
//
// One client per process, driven by the event loop (its UDP socket, an idle
// order and a one-shot timer); main thread only. Datagrams are untrusted:
// one that does not decode exactly, comes from anyone but the chosen
// manager once a manager answered, or does not fit the current state
// changes nothing.
#pragma once

#include <sys/socket.h>

#include "base/strings.h"

namespace palvon {

// States of the machine.
enum XdmcpState : u32 {
  kXdmcpQuery = 0,
  kXdmcpBroadcast = 1,
  kXdmcpIndirect = 2,
  kXdmcpCollectQuery = 3,
  kXdmcpCollectBroadcast = 4,
  kXdmcpCollectIndirect = 5,
  kXdmcpStartConnection = 6,
  kXdmcpAwaitRequestResponse = 7,
  kXdmcpAwaitManageResponse = 8,
  kXdmcpManage = 9,
  kXdmcpRunSession = 10,
  kXdmcpOff = 11,
  kXdmcpAwaitUserInput = 12,
  kXdmcpKeepAlive = 13,
  kXdmcpAwaitAlive = 14,
};

constexpr u32 kXdmcpDefaultPort = 177;
constexpr u32 kXdmcpDormancySeconds = 180;
constexpr u32 kXdmcpMaxBroadcasts = 10;

// What the session does to the proxy's life. The start-up installs the
// proxy's own; tests install recorders. Each reason is a literal or a
// temporary string.
struct XdmcpLifeHooks {
  void (*requestReset)(const char* reason);  // reset after this turn of the loop
  void (*requestExit)(const char* reason);   // orderly exit after this turn
  void (*fail)(const char* reason);          // end the proxy now, status 1
};
extern XdmcpLifeHooks xdmcpLifeHooks;

// Examines argv[index]: returns the index of the next argument not consumed,
// or index itself when the argument is no XDMCP option ("-query" host,
// "-broadcast", "-indirect" host, "-port" n, "-once", "-class" text,
// "-cookie" text, "-displayID" text).
int xdmcpParseOption(int argc, char** argv, int index);
// Resolves argv[index] (IPv4) into the manager's address. A missing or
// unknown host ends the proxy through the fail hook.
void xdmcpSetManagerHost(int argc, char** argv, int index);

// Starts the machine in the mode the options chose (nothing when none):
// registers what it needs with host access, authorization and the client
// layer, opens its socket and sends the first packet. Once, after the
// listeners exist.
void xdmcpInit();
// After a proxy reset: the machine starts again from its first state.
void xdmcpReset();
// Stops everything and forgets all options (tests, and the exit).
void xdmcpShutdown();

// A client was authorized: the session counts as started.
void xdmcpSessionStarted(int descriptor);
// A client's connection closed: when it is the session's, the session ends.
void xdmcpCloseDisplay(int descriptor);

// The socket is readable: one datagram is handled.
void handleXdmcpPacket(void* unused);
// The timer: the due retransmission or keep-alive.
void xdmcpTimeout(void* unused);

// For tests and the log.
XdmcpState xdmcpState();
u32 xdmcpRetransmissions();
u32 xdmcpSessionId();
int xdmcpSocket();

}  // namespace palvon
