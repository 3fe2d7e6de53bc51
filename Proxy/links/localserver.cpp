// The local X server and the proxy's XDMCP start.
#include "Proxy/links/localserver.h"

#include <signal.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/xdmcp.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/serverauth.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/strlist.h"

namespace palvon {

namespace {

pid_t localServer;
u32 xdmcpWordCount;
char** xdmcpWords;
bool xdmcpStarted;

bool is(const char* word, const char* option) { return strcasecmp(word, option) == 0; }

// Replaces a configured XDMCP text.
bool takeText(char** field, const char* value) {
  char* copy = memStrdup(value);
  if (!copy) return false;
  free(*field);
  *field = copy;
  return true;
}

}  // namespace

const char* filterLocalServerWords(u32 count, char* const* words, LocalServerWords* out) {
  *out = {};
  if (!strlistCopy(&out->count, &out->words, count, words)) return PALVON_OOM();
  bool displaySeen = false;
  // The program stays; a command without one (an option first) is walked
  // whole, so that a command of options only can lose all its words.
  u32 i = out->count && out->words[0][0] != '-' && out->words[0][0] != ':' ? 1 : 0;
  ProxyConfiguration& config = proxyConfig;
  while (i < out->count) {
    const char* word = out->words[i];
    bool hasValue = i + 1 < out->count;
    const char* value = hasValue ? out->words[i + 1] : nullptr;
    u32 remove = 0;
    bool ok = true;
    if (is(word, "-auth") && hasValue) {
      out->hasAuth = true;
      if (!authorityFile()[0]) setAuthorityFile(value);
      i += 2;
      continue;
    } else if (is(word, "-query") && hasValue) {
      config.xdmcpMode = 3, ok = takeText(&config.xdmcpHost, value), remove = 2;
    } else if (is(word, "-broadcast")) {
      config.xdmcpMode = 1, remove = 1;
    } else if (is(word, "-indirect") && hasValue) {
      config.xdmcpMode = 2, ok = takeText(&config.xdmcpHost, value), remove = 2;
    } else if (is(word, "-port") && hasValue) {
      // The port goes out in 16 bits: a larger one would name another port.
      char* end = nullptr;
      unsigned long port = strtoul(value, &end, 10);
      if (end == value || port < 1 || port > 65535) {
        const char* error = tmpPrintf(
            "Invalid value '%s' for statement serverCommand -port - A port lies between 1 and 65535", value);
        freeLocalServerWords(out);
        return error;
      }
      config.xdmcpPort = static_cast<u32>(port), remove = 2;
    } else if (is(word, "-once")) {
      config.xdmcpOnce = 1, remove = 1;
    } else if (is(word, "-cookie") && hasValue) {
      ok = takeText(&config.xdmcpAuthorizationCookie, value), remove = 2;
    } else if (is(word, "-class") && hasValue) {
      ok = takeText(&config.xdmcpDisplayClass, value), remove = 2;
    } else if (is(word, "-displayID") && hasValue) {
      ok = takeText(&config.xdmcpDisplayID, value), remove = 2;
    } else if (word[0] == ':') {
      if (displaySeen) {
        remove = 1;
      } else {
        displaySeen = true;
        out->displayNumber = static_cast<u32>(strtoul(word + 1, nullptr, 10));
      }
    }
    if (!ok) {
      freeLocalServerWords(out);
      return PALVON_OOM();
    }
    if (remove) strlistRemoveRange(&out->count, &out->words, i, remove);
    else i++;
  }
  for (u32 k = 0; k + 1 < out->count; k++)
    if (is(out->words[k], "-auth")) out->authFile = out->words[k + 1];
  return nullptr;
}

void freeLocalServerWords(LocalServerWords* words) {
  strlistFree(words->count, words->words);
  *words = {};
}

const char* startLocalXServer(u32 count, char* const* words, i32 nice) {
  LOGF(logChInfo, "Starting local X-server: %s...", count ? words[0] : "");
  LocalServerWords kept;
  if (const char* error = filterLocalServerWords(count, words, &kept)) return error;
  if (!kept.count) {
    freeLocalServerWords(&kept);
    return nullptr;
  }
  // Without an authority file the server would admit every local user.
  if (!kept.hasAuth) {
    const char* path = nullptr;
    if (const char* error = writeAuthorizationFile(kept.displayNumber, &path)) {
      freeLocalServerWords(&kept);
      return error;
    }
    if (!strlistAdd(&kept.count, &kept.words, "-auth") || !strlistAdd(&kept.count, &kept.words, path)) {
      freeLocalServerWords(&kept);
      return PALVON_OOM();
    }
    if (serverAuthorizationIsOwn()) setenv("XAUTHORITY", path, 1);
  }
  if (!strlistTerminate(&kept.count, &kept.words)) {
    freeLocalServerWords(&kept);
    return PALVON_OOM();
  }
  // The server is the proxy's own: it ends with the proxy, even a killed one.
  pid_t pid = processSpawn(static_cast<int>(kept.count), kept.words, SIGTERM);
  if (pid > 0) {
    localServer = pid;
    registerAtExit(stopLocalXServer);
    if (nice) processSetPriority(pid, nice);
  } else {
    LOGF(logChWarning, "Can't start X server '%s'", kept.words[0]);
  }
  freeLocalServerWords(&kept);
  return nullptr;
}

void stopLocalXServer(int) {
  if (localServer > 0) {
    LOGF(logChInfo, "Stopping X server process %d...", localServer);
    if (const char* error = processTerminate(localServer)) LOGF(logChWarning, "%s", error);
    localServer = 0;
  }
  unregisterAtExit(stopLocalXServer);
}

void signalLocalXServer(int signal) {
  if (localServer > 0) processKill(signal, localServer);
}

int localXServerPid() { return localServer; }

// --- XDMCP ----------------------------------------------------------------------------

const char* initXdmcp(u32 mode, const char* host, u32 port, bool once, const char* displayClass,
                      const char* displayId, const char* cookie) {
  LOGF(logChInfo, "Init XDMCP (mode=%d host=%s port=%d)...", mode, host ? host : "(NULL)", port);
  if (mode == 2 && !host) return "No XDMCP host specified (mode=indirect)";
  if (mode == 3 && !host) return "No XDMCP host specified (mode=query)";
  strlistFree(xdmcpWordCount, xdmcpWords);
  xdmcpWordCount = 0, xdmcpWords = nullptr;
  auto add = [](const char* word) { return strlistAdd(&xdmcpWordCount, &xdmcpWords, word) != 0; };
  const char* defaultClass = tmpPrintf("%s-%s", getMakerName(), logProgramName());
  const char* defaultId = tmpPrintf("%s-0", getMakerName());
  char portText[16];
  snprintf(portText, sizeof portText, "%u", port);
  bool ok = add("-class") && add(defaultClass) && add("-displayID") && add(defaultId);
  if (ok && mode == 1) ok = add("-broadcast");
  if (ok && mode == 2) ok = add("-indirect") && add(host);
  if (ok && mode == 3) ok = add("-query") && add(host);
  if (ok && once) ok = add("-once");
  if (ok && port) ok = add("-port") && add(portText);
  if (ok && cookie) ok = add("-cookie") && add(cookie);
  if (ok && displayClass) ok = add("-class") && add(displayClass);
  if (ok && displayId) ok = add("-displayID") && add(displayId);
  if (!ok) return PALVON_OOM();
  xdmcpLifeHooks.requestReset = requestProxyReset;
  xdmcpLifeHooks.requestExit = requestProxyExit;
  xdmcpLifeHooks.fail = [](const char* reason) { exitProxy(reason, 1); };
  for (int i = 0; i < int(xdmcpWordCount);) {
    int next = xdmcpParseOption(int(xdmcpWordCount), xdmcpWords, i);
    // Every word above is an XDMCP option: one not taken is a fault here.
    if (next == i) {
      PALVON_UNE();
      break;
    }
    i = next;
  }
  xdmcpInit();
  xdmcpStarted = true;
  return nullptr;
}

u32 xdmcpOptionWords(char*** words) {
  *words = xdmcpWords;
  return xdmcpWordCount;
}

void restartXdmcp() {
  if (xdmcpStarted) xdmcpReset();
}

}  // namespace palvon
