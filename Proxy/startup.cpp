// The start-up sequence and the outer cycle of runs.
#include "Proxy/startup.h"
#include "Proxy/testcontrol.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/config/parser.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/localserver.h"
#include "Proxy/links/serverauth.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/resourceserver.h"
#include "Proxy/sync/selections.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "base/logging.h"
#include "base/process.h"

namespace palvon {

namespace {

// Log type bits and what they switch on.
constexpr u32 kLogXErrors = 0x1;
constexpr u32 kLogExtensionDetails = 0x4;
constexpr u32 kLogAuthorizationDetails = 0x8;
constexpr u32 kLogVisualDetails = 0x40;
constexpr u32 kLogHints = 0x80;
constexpr u32 kLogClients = 0x100;
constexpr u32 kLogSteps = 0x200;

constexpr u32 kDetailClientLines = 0x1;
constexpr u32 kDetailExtensions = 0x400;
constexpr u32 kDetailVisuals = 0x8000000;
constexpr u32 kDetailAuthorization = 0x10000000;

constexpr u32 kTagCooperative = 0x4000;

constexpr u32 kMaxRequestBytes = 0x3fffc;
constexpr u32 kDefaultButtons = 32;
constexpr u32 kDefaultKeycodes = 248;
constexpr u32 kDefaultRelease = 81;

const char* createConfiguredScreens() {
  for (ScreenConfig* config = proxyConfig.metaScreens; config; config = config->next) {
    MetaScreen* screen = createMetaScreen();
    if (!screen) return PALVON_OOM();
    if (config->name && !(screen->name = memStrdup(config->name))) return PALVON_OOM();
    if (config->given & kScreenGivenPlacement) {
      screen->placement = config->placement;
      screen->referenceScreen = config->referenceNumber >= 0 ? u32(config->referenceNumber) : 0;
      screen->offsetX = config->offsetX;
      screen->offsetY = config->offsetY;
    }
  }
  return nullptr;
}

const char* checkScreensHaveHeads() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    if (!screen->heads) return tmpPrintf("No screens specified for %s", screen->name ? screen->name : screenName(screen));
  return nullptr;
}

// Every screen of a display that the proxy takes over must be one of its
// heads: a screen left out would still show the server's own desktop.
const char* checkUnspecifiedScreens() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      ServerDisplay* server = head->serverDisplay;
      if (head->inWindow || (head->tags & kTagCooperative) || !server || !server->display) continue;
      u32 onRoot = 0;
      for (Head* other = server->firstHead; other; other = other->nextOnDisplay)
        if (!other->inWindow) onRoot++;
      int screens = ScreenCount(server->display);
      if (onRoot != u32(screens))
        return tmpPrintf("Unspecified screen on %s found - Make sure all %d screens are specified in your "
                         "configuration",
                         server->displayName, screens);
    }
  }
  return nullptr;
}

const char* setupExtensionsOfAllDisplays() {
  ExtensionServer servers[kMaxServerLinks];
  u32 count = 0;
  for (ServerDisplay* server = serverDisplayList; server && count < kMaxServerLinks; server = server->next) {
    if (!server->display) continue;
    servers[count++] = {server->display, server->displayName, &server->codes};
  }
  return setupServerExtensions(servers, count);
}

// The default log file is named by the proxy's display number, which the
// listeners learn only later: it is read from the configured connection
// here, so that the proxies of one installation write files of their own.
const char* logTarget() {
  ProxyConfiguration& config = proxyConfig;
  if (!(config.given & kGivenLogDestination)) {
    int number = parseDisplayNumber(config.connection ? config.connection : ":0");
    setProxyDisplayNumber(number < 0 ? 0 : u32(number));
    if (char* name = memStrdup(getLogFileName())) {
      free(config.logDestination);
      config.logDestination = name;
    }
  }
  return config.logDestination ? config.logDestination : "stderr";
}

void describeScreens() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    LOGF(logChInfo, "%s: %s", screenName(screen), describeMetaScreen(screen));
    for (Head* head = screen->heads; head; head = head->next)
      LOGF(logChInfo, "  %s: %s", headName(head), describeHead(head));
  }
}

// After a reset: the heads come back, their capabilities are reconciled
// again and the extensions set up anew.
const char* restartHeads() {
  reopenLostHeads();
  if (const char* error = adjustScreenCapabilities(true)) return error;
  if (const char* error = probeHeads(false)) return error;
  if (const char* error = setupExtensionsOfAllDisplays()) return error;
  rebuildClientServerList();
  return nullptr;
}

}  // namespace

// One display number for the whole proxy: the listeners' (client.h).
u32 getProxyDisplayNumber() { return proxyDisplayNumber < 0 ? 0 : static_cast<u32>(proxyDisplayNumber); }
void setProxyDisplayNumber(u32 number) { proxyDisplayNumber = static_cast<i32>(number); }

// --- Steps ------------------------------------------------------------------------------

void applyLogTypes(u32 logTypes) {
  detailFlags = 0;
  if (logTypes & kLogXErrors) {
    detailFlags |= kDetailClientErrors;
    logPrepareChannel(logChXerror);
  } else if (logChXerror) {
    logChXerror->activeTemplate = nullptr;
  }
  if (logTypes & kLogExtensionDetails) detailFlags |= kDetailExtensions;
  if (logTypes & kLogAuthorizationDetails) detailFlags |= kDetailAuthorization;
  if (logTypes & kLogVisualDetails) detailFlags |= kDetailVisuals;
  if (logTypes & kLogHints) logPrepareChannel(logChXhint);
  if (logTypes & kLogClients) {
    detailFlags |= kDetailClientLines;
    logPrepareChannel(logChXclient);
  }
  if (logTypes & kLogSteps) logPrepareChannel(logChStep);
}

void setProxyStateDefaults() {
  ProxyState& state = proxyState;
  state.protocolMajor = 11;
  state.protocolMinor = 0;
  state.maxRequestBytes = kMaxRequestBytes;
  state.maxBigRequestBytes = 0xffffffffu;
  state.resourceIdMask = 0xfffff;
  state.resourceIdShift = 20;
  state.pointerAccelThreshold = 4;
  state.pointerAccelNumerator = 2;
  state.pointerAccelDenominator = 1;
  state.pointerButtons = kDefaultButtons;
  state.motionBufferSize = 0xffffffffu;  // lowered to the servers' own as they open
  for (u32 i = 0; i < sizeof state.pointerMap; i++) state.pointerMap[i] = u8(i + 1);
  state.keycodeCount = kDefaultKeycodes;
  const ProxyConfiguration& config = proxyConfig;
  if ((config.given & kGivenMaximumRequestSize) && config.maximumRequestSize >= 4 &&
      config.maximumRequestSize <= kMaxRequestBytes)
    state.maxRequestBytes = config.maximumRequestSize;
  if (config.given & kGivenNumberOfButtons)
    state.pointerButtons = config.numberOfButtons == 0 ? 1 : config.numberOfButtons > 32 ? 32 : config.numberOfButtons;
  if (config.given & kGivenNumberOfKeyCodes)
    state.keycodeCount = config.numberOfKeyCodes == 0 ? 1 : config.numberOfKeyCodes > 248 ? 248 : config.numberOfKeyCodes;
}

void chooseVendor() {
  Display* first = serverDisplayList ? serverDisplayList->display : nullptr;
  char* vendor = proxyLife.vendor;
  switch (proxyConfig.vendorStringMode) {
    case 0: snprintf(vendor, sizeof proxyLife.vendor, "%s %s", getMakerName(), getProductName()); break;
    case 1: strCopy(vendor, first ? ServerVendor(first) : "", sizeof proxyLife.vendor); break;
    case 2: strCopy(vendor, proxyConfig.vendorString ? proxyConfig.vendorString : "", sizeof proxyLife.vendor); break;
    default: PALVON_UNE(); break;
  }
  switch (proxyConfig.vendorReleaseMode) {
    case 1: proxyLife.vendorRelease = first ? u32(VendorRelease(first)) : kDefaultRelease; break;
    case 2: proxyLife.vendorRelease = proxyConfig.vendorReleaseNumber; break;
    default: proxyLife.vendorRelease = kDefaultRelease; break;
  }
}

const char* adjustHeadTags() {
  logStepf("Adjusting tags...");
  // The role tags 'atom' and 'font' name their server as they are applied
  // (the resource server's heads take both): only a role nobody took is
  // chosen here.
  if (!atomDisplay && !(atomDisplay = firstRootHeadDisplay())) return "No atom server found";
  // Clients' selections live on the atom server: it takes part in the
  // synchronisation whenever another display does.
  if (isSelectionSyncActive() && !atomDisplay->selectionSync) {
    if (const char* error = startSelectionSync(atomDisplay, atomDisplay->selectionRefresh)) return error;
    atomDisplay->selectionSync = 1;
  }
  if (!fontDisplay && !(fontDisplay = chooseFontServerDisplay())) return "No X font server found";
  // The meta clock is the first server's until clocks are synchronised.
  if (!timeDisplay) timeDisplay = serverDisplayList;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    Head* main = nullptr;
    for (Head* head = screen->heads; head && !main; head = head->next)
      if (resourceServerDisplay && head->serverDisplay == resourceServerDisplay) main = head;
    for (Head* head = screen->heads; head && !main; head = head->next)
      if ((head->tags & kHeadTagStatic) || !head->inWindow) main = head;
    screen->mainHead = main ? main : screen->heads;
    // A head's tag 'color' chose the colour head already when it was applied
    // (the tag is a role: the head's tag word does not keep it). The first
    // head is every screen's colour head until then, so only another head
    // shows a choice.
    Head* chosen = screen->colorHead;
    bool tagged = chosen && chosen->metaScreen == screen && chosen != screen->heads;
    screen->colorHead = tagged ? chosen : screen->mainHead;
    for (Head* head = screen->heads; head; head = head->next)
      if (head->tags & kHeadTagColor) {
        screen->colorHead = head;
        break;
      }
  }
  return nullptr;
}

// --- The sequence ------------------------------------------------------------------------

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
  // A configuration that failed to parse was dropped: its error goes to
  // stderr.
  logSetTarget(error ? "stderr" : logTarget());
  if (error) return error;
  if (!getHomeDirectory()) return missingEnvironmentText("HOME");
  if (!getEtcDirectory()) return missingEnvironmentText("ETC");
  const ProxyConfiguration& config = proxyConfig;
  applyLogTypes(config.logTypes);
  proxyLife.resetDelaySeconds = 2;
  proxyLife.noReset = config.noReset;
  proxyLife.bellOff = !config.bell;
  if ((error = initProxy())) return error;
  proxyLife.options = config.options;
  LOGF(logChInfo, "Starting %s (options %s) on %s as %s...", logProgramName(), formatOptionWords(config.options),
       config.connection ? config.connection : ":0", logCommandLine());
  if (config.workarounds)
    LOGF(logChNote, "Enabling workarounds %s ...", formatWorkarounds(config.workarounds));
  if (config.serverCommandCount &&
      (error = startLocalXServer(config.serverCommandCount, config.serverCommand, config.serverNice)))
    return error;
  logStepf("Raising process limits...");
  processRaiseLimits();
  if ((error = openListeningPorts(config.connection, int(config.accessControl)))) return error;
  if (config.nice) processSetPriority(getpid(), config.nice);
  setAuthorityFile(config.authorization);
  // The default file (XAUTHORITY, else ~/.Xauthority) need not exist when
  // the proxy made the cookie of the server it started itself.
  bool defaultFile = !(config.given & kGivenServerAuthorization);
  setServerAuthorityFile(config.serverAuthorization, !(defaultFile && generatedAuthorizationFile()[0]));
  setProxyStateDefaults();
  if (!initClientResourceTable(0)) return PALVON_OOM();
  if ((error = createConfiguredScreens())) return error;
  if ((error = openConfiguredHeads())) return error;
  if ((error = checkScreensHaveHeads())) return error;
  if ((error = applyConfiguredScreenSettings())) return error;
  bool resourceServerNeeded = false;
  if ((error = decideResourceServer(&resourceServerNeeded))) return error;
  if (resourceServerNeeded && (error = startResourceServer())) return error;
  if ((error = checkUnspecifiedScreens())) return error;
  if ((error = adjustHeadTags())) return error;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next) decideHeadFontScaling(head);
  if ((error = adjustScreenCapabilities(false))) return error;
  if ((error = probeHeads(true))) return error;
  if ((error = setupExtensionsOfAllDisplays())) return error;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next) head->equivalentHead = findEquivalentHead(head);
  chooseVendor();
  if (const char* swaps = getenv("maxPendingBufferSwaps"))
    proxyLife.maxPendingBufferSwaps = u32(strtoul(swaps, nullptr, 10));
  if (config.xdmcpMode &&
      (error = initXdmcp(config.xdmcpMode, config.xdmcpHost, config.xdmcpPort, config.xdmcpOnce != 0,
                         config.xdmcpDisplayClass, config.xdmcpDisplayID, config.xdmcpAuthorizationCookie)))
    return error;
  warnAboutAuthorityFile();
  installProxySeams();
  startTestControl();
  if (proxyLife.readySignalWanted) {
    LOGF(logChInfo, "Sending ready signal to parent process %d...", getppid());
    kill(getppid(), SIGUSR1);
  }
  describeScreens();
  proxyLife.started = 1;
  return nullptr;
}

void runProxyCycles() {
  const char* reason = nullptr;
  do {
    if ((reason = runProxy())) break;
    reason = resetProxy();
    if (!reason && !proxyLife.noReset) reason = restartHeads();
  } while (!reason);
  exitAfterCycles(reason);
}

}  // namespace palvon
