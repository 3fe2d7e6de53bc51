// The proxy's start-up: from the command line to a proxy that listens,
// with its server displays, meta screens and heads; and the outer cycle of
// run, reset and run again.
//
// Main thread only.
#pragma once

#include "Proxy/lifecycle.h"
#include "base/strings.h"

namespace palvon {

struct Head;
enum class Route : u8;

// The display number the proxy listens on (0 until the listeners are open).
u32 getProxyDisplayNumber();
void setProxyDisplayNumber(u32 number);

// The whole start-up sequence. -version, --version, -info or --info alone
// prints the version report and ends the process with status 0. Returns
// null or the error text that ends the start-up (status 1).
const char* startProxy(int argc, char** argv);
// Run, reset and run again until an exit reason exists; then the exit.
[[noreturn]] void runProxyCycles();

// --- Steps, also for tests -------------------------------------------------------

// Detail flags and log channels from the configured log types.
void applyLogTypes(u32 logTypes);
// The limits of ProxyState: defaults, then the configured values clamped.
void setProxyStateDefaults();
// The vendor string and release of the clients' set-up reply.
void chooseVendor();
// The roles (atom server, font server) and each meta screen's main and
// colour head. Null or the error text.
const char* adjustHeadTags();

// --- What the start-up wires between the layers ----------------------------------

// The client hooks, the servers every client gets a link to, the handler of
// the servers' set-up replies, the reverse id map and the route roles.
void installProxySeams();
// The link list every new client gets: one entry per connected server
// display, at its server index.
void rebuildClientServerList();
// The head of a single-head route role (atom, property, pointer, input,
// font, image); null lets the dispatcher take the main head.
Head* routeHead(Route route);

}  // namespace palvon
