// The proxy's start-up and exit.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

// The display number the proxy listens on (0 until the listeners are open).
u32 getProxyDisplayNumber();
void setProxyDisplayNumber(u32 number);

// The start-up sequence as far as it is built: environment, logging, the
// command line and its configuration files, the log target and the
// installation environment. -version, --version, -info or --info alone
// prints the version report and ends the process with status 0. Returns
// null or the error text that ends the start-up.
const char* startProxy(int argc, char** argv);

// Logs "Exiting: <reason>...", writes the reason as the fatal report and ends
// the process with the status (1 after a failed start-up).
[[noreturn]] void exitProxy(const char* reason, int status);

}  // namespace palvon
