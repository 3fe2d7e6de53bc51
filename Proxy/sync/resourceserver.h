// The auxiliary resource server: a private X server (the installation's
// `holdsrv` program) that the proxy starts and keeps for the session. It
// holds the resources that must survive when real servers come and go, and
// offers one screen per meta screen, each opened as a head of that screen.
//
// Main thread, during the start-up. The server is stopped, and its
// authorization file removed, by the proxy's at-exit callbacks.
#pragma once

#include <sys/types.h>

#include "base/strings.h"

namespace palvon {

// The first display number the resource server may take.
constexpr u32 kResourceServerFirstNumber = 91;

// Starts the server on the first free display number from 91 and opens a
// head on each of its screens (one per meta screen). Null or the error text.
const char* startResourceServer();

// Whether a display number is free for the resource server: no lock file
// and no socket of a server that has it. Nothing is removed.
bool isResourceServerNumberFree(u32 number);

// The running server's display number and process id (0 when none).
u32 resourceServerNumber();
pid_t resourceServerPid();

}  // namespace palvon
