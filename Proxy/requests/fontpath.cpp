// The proxy's font path and its tests against the real servers.
#include "Proxy/requests/fontpath.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/xfont.h"

namespace palvon {

namespace {

u32 pathCount;
char** path;
bool pathSet;  // a client set the path: it no longer follows the default

// Whether the display's heads draw with the path (not with fonts the
// server keeps itself).
bool displayUsesPath(const ServerDisplay* server) { return server->display && !server->serverFonts; }

}  // namespace

char* const* currentFontPath(u32* count) {
  if (!pathSet) {
    *count = defaultFontPathCount;
    return defaultFontPath;
  }
  *count = pathCount;
  return path;
}

bool setCurrentFontPath(u32 count, char* const* paths) {
  u32 newCount = 0;
  char** copy = nullptr;
  if (!strlistCopy(&newCount, &copy, count, paths)) return false;
  strlistFree(pathCount, path);
  pathCount = newCount, path = copy, pathSet = true;
  return true;
}

void freeProxyFontPath() {
  strlistFree(pathCount, path);
  pathCount = 0, path = nullptr, pathSet = false;
}

const char* checkFontPath(u32 count, char* const* paths) {
  if (strlistEqual(count, paths, defaultFontPathCount, defaultFontPath)) return nullptr;
  if (serverDisplayCount <= 1 && !(proxyConfig.options & kOptionDynamicServer)) return nullptr;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!displayUsesPath(server)) continue;
    char** filtered = nullptr;
    u32 filteredCount = 0;
    if (!filterFontPathForDisplay(paths, count, &filtered, &filteredCount, server)) return PALVON_OOM();
    u32 valid = 0;
    char** accepted = nullptr;
    xfontValidFontPaths(server->display, filteredCount, filtered, &accepted, &valid);
    strlistFree(valid, accepted);
    strlistFree(filteredCount, filtered);
    if (valid == filteredCount) continue;
    char* joined = strlistJoin(count, paths);
    const char* text = tmpPrintf("no font path %s at %s", joined ? joined : "", server->displayName);
    std::free(joined);
    return text;
  }
  return nullptr;
}

bool filterFontPathForDisplay(char* const* paths, u32 count, char*** out, u32* outCount,
                              const ServerDisplay* display) {
  *out = nullptr, *outCount = 0;
  for (u32 i = 0; i < count; i++) {
    if (display && display->fontPathCount && !strlistContains(display->fontPathCount, display->fontPaths, paths[i]))
      continue;
    if (!strlistAdd(outCount, out, paths[i])) {
      PALVON_UNE();
      strlistFree(*outCount, *out);
      *out = nullptr, *outCount = 0;
      return false;
    }
  }
  return true;
}

}  // namespace palvon
