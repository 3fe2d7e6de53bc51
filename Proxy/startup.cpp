// The first steps of the start-up: everything up to a read configuration.
#include "Proxy/startup.h"

#include <cstdio>
#include <cstdlib>

#include "Proxy/client.h"
#include "Proxy/config.h"
#include "Proxy/dispatch.h"
#include "Proxy/files.h"
#include "Proxy/palvonparser.h"
#include "base/logging.h"

namespace palvon {

// One display number for the whole proxy: the listeners' (client.h).
u32 getProxyDisplayNumber() { return proxyDisplayNumber < 0 ? 0 : static_cast<u32>(proxyDisplayNumber); }
void setProxyDisplayNumber(u32 number) { proxyDisplayNumber = static_cast<i32>(number); }

const char* startProxy(int argc, char** argv) {
  // Messages of the X libraries and of the system must not depend on the
  // user's locale: the log is read by tools.
  if (setenv("LANG", "C", 1) != 0)
    return tmpPrintf("Out of memory (%s:%d)", sourceModule(__FILE__), __LINE__);
  if (logInit(argc, argv, getProductVersion(), "") == 1) {
    printVersionReport(stdout);
    exit(0);
  }
  const char* error = parseCommandLine(argc, argv, true);
  logSetTarget(proxyConfig.logDestination ? proxyConfig.logDestination : "stderr");
  if (error) return error;
  if (!getHomeDirectory()) return missingEnvironmentText("HOME");
  if (!getEtcDirectory()) return missingEnvironmentText("ETC");
  // Every request, reply, event and error has its row before any client.
  return initCoreDispatchTables();
}

void exitProxy(const char* reason, int status) {
  LOGF(logChInfo, "Exiting: %s...", reason ? reason : "");
  if (reason) logFatal(__FILE__, __LINE__, bigPrintf("%s", reason));
  fflush(stdout);
  fflush(stderr);
  exit(status);
}

}  // namespace palvon
