// The local X server that the proxy may start from its `serverCommand`, and
// the proxy's own XDMCP start (the local server never runs XDMCP itself:
// its XDMCP options are taken over by the proxy).
//
// Main thread only. Returned error texts are temporary strings.
#pragma once

#include "base/strings.h"

namespace palvon {

// What the walk over a server command keeps and takes over.
struct LocalServerWords {
  u32 count;           // words kept, the program first
  char** words;        // heap list (base/strlist.h), null-terminated
  u32 displayNumber;   // from the first ":n" word, 0 when none
  bool hasAuth;        // an "-auth" word was given
  const char* authFile;  // its value (points into words)
};

// Applies the walk to a copy of the words: XDMCP options go into the
// configuration's XDMCP fields and are removed, a first ":n" word stays and
// gives the display number, later ones go, "-auth" stays (and names the
// authority file when none is set yet). Null or "Out of memory".
const char* filterLocalServerWords(u32 count, char* const* words, LocalServerWords* out);
void freeLocalServerWords(LocalServerWords* words);

// Starts the command (nothing when no word is left). The server is always
// started with an authority file: the command's own "-auth", else a
// generated one. A command that cannot be started is logged and is no
// error. Null or the error text.
const char* startLocalXServer(u32 count, char* const* words, i32 nice);
void stopLocalXServer(int unused = 0);
// Sends the signal to the local server when one runs.
void signalLocalXServer(int signal);
// The local server's process id, 0 when none runs.
int localXServerPid();

// The proxy's XDMCP session from the configuration: checks the mode's host
// and builds the option words in the order the XDMCP option parser reads
// them. Null or the error text.
const char* initXdmcp(u32 mode, const char* host, u32 port, bool once, const char* displayClass,
                      const char* displayId, const char* cookie);
// The option words the last initXdmcp built (for the log and tests).
u32 xdmcpOptionWords(char*** words);
// Restarts XDMCP after a reset when it was started.
void restartXdmcp();

}  // namespace palvon
