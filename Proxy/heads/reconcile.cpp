// Reconciling capabilities over the heads: the stages in order, and the
// font path, resource-id, pixmap-format, keycode and backing-store stages.
// Visuals and colormaps are in visuals/reconcile.cpp.
#include "Proxy/heads/reconcile.h"
#include "Proxy/join/translucency.h"
#include "Proxy/visuals/colorheads.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/open.h"
#include "Proxy/visuals/visual.h"
#include "base/bits.h"
#include "base/logging.h"
#include "base/strlist.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/xfont.h"

namespace palvon {

u32 defaultFontPathCount;
char** defaultFontPath;
u32 keptFontPathCount;
char** keptFontPath;
PixmapFormatOffer offeredPixmapFormats[kPixmapFormatsMax];
u32 offeredPixmapFormatCount;

// Stages in visuals/reconcile.cpp.
const char* adjustVisuals();
const char* adjustDefaultColormaps();

namespace {

constexpr u32 kKeycodesMax = 248;
constexpr u8 kBackingAlways = 2, kBackingWhenMapped = 1, kBackingNotUseful = 0;

u32 headsOn(const ServerDisplay* server) {
  u32 count = 0;
  for (const Head* head = server->firstHead; head; head = head->nextOnDisplay) count++;
  return count;
}

// --- Font paths ------------------------------------------------------------------------------

// A display whose fonts the proxy's font path covers.
bool countsForFontPath(const ServerDisplay* server) {
  if (!server->display) return false;
  if (server == resourceServerDisplay && !(proxyConfig.options & kOptionDynamicServer)) return false;
  return server == fontDisplay || !server->serverFonts;
}

const char* collectServerFontPaths() {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!countsForFontPath(server)) continue;
    int count = 0;
    char** paths = XfsGetFontPath(server->display, &count);
    if (isDisplayOffline(server->display)) return displayOfflineText(server->display);
    for (int i = 0; i < count; i++) {
      if (!strlistContains(defaultFontPathCount, defaultFontPath, paths[i]) &&
          !strlistAdd(&defaultFontPathCount, &defaultFontPath, paths[i])) {
        XFreeFontPath(paths);
        return PALVON_OOM();
      }
    }
    if (paths) XFreeFontPath(paths);
  }
  return nullptr;
}

const char* applyConfiguredFontPath() {
  const NameFlag* list = proxyConfig.fontPath;
  u32 count = proxyConfig.fontPathCount;
  if (!count) return nullptr;
  for (u32 i = 0; i < count; i++) {
    if (list[i].enabled && !strlistContains(defaultFontPathCount, defaultFontPath, list[i].name) &&
        !strlistAdd(&defaultFontPathCount, &defaultFontPath, list[i].name))
      return PALVON_OOM();
  }
  for (u32 i = 0; i < defaultFontPathCount;) {
    const char* path = defaultFontPath[i];
    if (keptByList(list, count, [path](const NameFlag& entry) { return strcmp(entry.name, path) == 0; })) {
      i++;
      continue;
    }
    strlistRemoveRange(&defaultFontPathCount, &defaultFontPath, i, 1);
  }
  if (!defaultFontPathCount)
    return "No default font path left - Make sure at least one default font path is specified in your configuration";
  return nullptr;
}

struct ValidPathsCall {
  Display* display;
  u32 count;
  char** paths;
  u32* valid;
  char*** result;
};

void runValidFontPaths(void* argument) {
  auto* call = static_cast<ValidPathsCall*>(argument);
  xfontValidFontPaths(call->display, call->count, call->paths, call->result, call->valid);
}

const char* adjustFontPaths() {
  logStepf("Adjusting font paths...");
  strlistFree(defaultFontPathCount, defaultFontPath);
  defaultFontPathCount = 0, defaultFontPath = nullptr;
  if (const char* error = collectServerFontPaths()) return error;
  if (const char* error = applyConfiguredFontPath()) return error;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!countsForFontPath(server)) continue;
    u32 valid = 0;
    char** paths = nullptr;
    // The helper asks the server path by path: bounded like any other call.
    ValidPathsCall call{server->display, defaultFontPathCount, defaultFontPath, &valid, &paths};
    if (!xfsRun(server->display, runValidFontPaths, &call)) xfontReleaseCutShort();
    if (isDisplayOffline(server->display)) {
      strlistFree(valid, paths);
      return displayOfflineText(server->display);
    }
    strlistFree(defaultFontPathCount, defaultFontPath);
    defaultFontPathCount = valid, defaultFontPath = paths;
    if (!valid) return tmpPrintf("No font path left after adjusting %s", server->displayName);
  }
  return nullptr;
}

// --- Resource ids -------------------------------------------------------------------------------

const char* adjustIdMasks(bool afterReset) {
  logStepf("Adjusting xid masks...");
  constexpr u32 kMaxDisplays = 256;
  IdMaskDisplay displays[kMaxDisplays];
  u32 count = 0;
  for (ServerDisplay* server = serverDisplayList; server && count < kMaxDisplays; server = server->next) {
    if (!server->display) continue;
    displays[count++] = {u32(xDisplayResourceMask(server->display)), headsOn(server)};
  }
  u32 limit = (proxyConfig.given & kGivenNumberOfResourceIdBits) ? proxyConfig.numberOfResourceIdBits : 0;
  u32 screens = (proxyConfig.given & kGivenMaximumNumberOfScreens) ? proxyConfig.maximumNumberOfScreens : 0;
  u32 mask = reconcileIdMask(displays, count, limit, screens);
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) computeIdPartition(server, mask);
  proxyState.resourceIdMask = mask;
  proxyState.resourceIdShift = bitCount(mask) + (mask ? trailingZeros(mask) : 0);
  if (afterReset && !initClientResourceTable(0)) return PALVON_OOM();
  return nullptr;
}

// --- Pixmap formats -------------------------------------------------------------------------------

bool pixmapSpecMatches(const PixmapFormatSpec& spec, const XPixmapFormatValues& format) {
  return (!spec.depthGiven || spec.depth == u32(format.depth)) &&
         (!spec.bitsPerPixelGiven || spec.bitsPerPixel == u32(format.bits_per_pixel)) &&
         (!spec.scanlinePadGiven || spec.scanlinePad == u32(format.scanline_pad));
}

// A format some head of another display cannot serve is not offered.
bool servedByAllHeads(const ServerDisplay* first, const XPixmapFormatValues& format) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->display || head->serverDisplay == first) continue;
      if (!checkPixmapFormatOnHead(head, u32(format.depth), u32(format.bits_per_pixel), u32(format.scanline_pad)))
        return false;
    }
  }
  return true;
}

const char* adjustPixmapFormats() {
  logStepf("Adjusting pixmap formats...");
  ServerDisplay* first = serverDisplayList;
  while (first && !first->display) first = first->next;
  if (!first) return "XListPixmapFormats(none) failed";
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(first->display, &count);
  if (!formats) return tmpPrintf("XListPixmapFormats(%s) failed", first->displayName);
  offeredPixmapFormatCount = 0;
  bool configuredLeft = false;
  const PixmapFormatSpec* specs = proxyConfig.pixmapFormats;
  u32 specCount = proxyConfig.pixmapFormatCount;
  for (int i = 0; i < count && offeredPixmapFormatCount < kPixmapFormatsMax; i++) {
    const XPixmapFormatValues& format = formats[i];
    if (!keptByList(specs, specCount, [&format](const PixmapFormatSpec& s) { return pixmapSpecMatches(s, format); }))
      continue;
    configuredLeft = true;
    if (!servedByAllHeads(first, format)) continue;
    offeredPixmapFormats[offeredPixmapFormatCount++] = {u8(format.depth), u8(format.bits_per_pixel),
                                                        u8(format.scanline_pad)};
  }
  XFree(formats);
  if (!configuredLeft)
    return "No pixmap format left - Make sure at least one pixmap format is specified in your configuration";
  if (!offeredPixmapFormatCount) return "No pixmap format left after adjusting";
  return nullptr;
}

// --- Keycodes, head ids, backing store ----------------------------------------------------------

void adjustKeycodes() {
  u32 serverMinimum = 8;
  if (inputControlDisplay && inputControlDisplay->display)
    serverMinimum = xrcMinKeycode(inputControlDisplay->display, kXrcKeyboard);
  keycodeRange(serverMinimum, proxyConfig.numberOfKeyCodes, (proxyConfig.given & kGivenNumberOfKeyCodes) != 0,
               &proxyState.minKeycode, &proxyState.maxKeycode);
}

// After a reset the heads' servers may be other processes: their roots and
// default colormaps are read again, and every head is registered anew.
const char* renewHeads() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display) {
        head->root = RootWindow(head->display, int(head->screen));
        head->defaultColormap = DefaultColormap(head->display, int(head->screen));
      }
      head->id = nextHeadId();
      if (!addResource(head->id, RT_HEAD, head)) return PALVON_OOM();
    }
  }
  return nullptr;
}

// Every meta visual, root window and default colormap gets a proxy id.
const char* registerScreenIds() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (i32 i = 0; i < screen->visualCount; i++) {
      VisualRecord* visual = &screen->visuals[i];
      visual->visualId = allocDefaultXid();
      if (!addResource(visual->visualId, RT_VISUAL, visual)) return PALVON_OOM();
    }
    screen->visualIdsConsecutive = visualIdsConsecutive(screen->visuals, screen->visualCount);
    screen->rootId = allocDefaultXid();
    u32 colormap = allocDefaultXid();
    if (!createColormapRecord(nullptr, colormap, screen, screen->rootVisual, AllocNone)) return PALVON_OOM();
    screen->defaultColormap = colormap;
    clearInstalledColormaps(screen);
    setInstalledColormap(screen, colormap);
  }
  return nullptr;
}

void adjustBackingStore() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    u8 backing = kBackingAlways, saveUnders = 1;
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->display || head->serverDisplay == resourceServerDisplay) continue;
      Screen* real = ScreenOfDisplay(head->display, int(head->screen));
      int does = DoesBackingStore(real);
      if (does == NotUseful) backing = kBackingNotUseful;
      else if (does == WhenMapped && backing == kBackingAlways) backing = kBackingWhenMapped;
      if (!DoesSaveUnders(real)) saveUnders = 0;
    }
    screen->backingStore = backing;
    screen->saveUnders = saveUnders;
  }
}

// A server that cannot be reached again after a reset, with Failsafe, is
// left out as at start-up: the session goes on with the others (a server
// lost during the reset's sleep must not end it). Its heads leave their
// screens once every other server is connected, so that its roles pass to
// one that answers.
bool mayLeaveOut(const ServerDisplay* server, u32 status) {
  return (proxyConfig.options & kOptionFailsafe) && status == kHeadStatusOffline && !server->probeOnly &&
         !displayHasStaticHead(server);
}

const char* reconnectDisplays(bool afterReset) {
  ServerDisplay* unreachable[kMaxServerIndexes];
  u32 count = 0;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    u32 status = 0;
    const char* error = connectHeadDisplay(server, server->probeOnly, &status);
    if (!error) continue;
    if (!afterReset || !mayLeaveOut(server, status) || count == kMaxServerIndexes) return error;
    LOGF(logChWarning, "%s (trying to continue...)", error);
    unreachable[count++] = server;
  }
  for (u32 i = 0; i < count; i++) {
    // The display record goes with its last head; a head the session
    // cannot do without (the last of its screen) ends it after all.
    while (Head* head = unreachable[i]->firstHead) {
      bool last = head->nextOnDisplay == nullptr;
      if (const char* refusal = removeServerFromScreen(head, true)) return refusal;
      if (last) break;
    }
  }
  return nullptr;
}

}  // namespace

// --- Rules ------------------------------------------------------------------------------------------

u32 reconcileIdMask(const IdMaskDisplay* displays, u32 count, u32 limitBits, u32 maximumScreens) {
  u32 mask = 0xffffffffu;
  for (u32 i = 0; i < count; i++) {
    u32 available = bitCount(displays[i].mask);
    if (limitBits) available = std::min(available, limitBits);
    u32 screenBits = displays[i].heads != 1 ? bitsNeeded(displays[i].heads) : 0;
    if (maximumScreens && maximumScreens != 1) screenBits = std::max(screenBits, bitsNeeded(maximumScreens));
    u32 left = available > screenBits ? available - screenBits : 0;
    if (left < bitCount(mask)) mask = left >= 32 ? 0xffffffffu : (1u << left) - 1;
  }
  return mask;
}

void keycodeRange(u32 serverMinimum, u32 configuredCount, bool given, u32* minimum, u32* maximum) {
  u32 count = given ? std::clamp<u32>(configuredCount, 1, kKeycodesMax) : kKeycodesMax;
  *minimum = serverMinimum;
  *maximum = serverMinimum + count - 1;
  if (*maximum > 255) *minimum = 8, *maximum = count + 7;
}

ServerDisplay* chooseFontServerDisplay() {
  if ((proxyConfig.options & kOptionDynamicServer) && resourceServerDisplay) return resourceServerDisplay;
  for (int inWindow = 0; inWindow < 2; inWindow++) {
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
      for (Head* head = screen->heads; head; head = head->next) {
        if (bool(head->inWindow) != bool(inWindow) || !head->serverDisplay) continue;
        if (head->serverDisplay != resourceServerDisplay) return head->serverDisplay;
      }
    }
  }
  return serverDisplayList;
}

// --- The stages --------------------------------------------------------------------------------------

const char* adjustScreenCapabilities(bool afterReset) {
  if (const char* error = reconnectDisplays(afterReset)) return error;
  if (const char* error = adjustFontPaths()) return error;
  if (const char* error = adjustIdMasks(afterReset)) return error;
  if (const char* error = adjustPixmapFormats()) return error;
  if (const char* error = adjustVisuals()) return error;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) setupMetaScreenColors(screen);
  adjustKeycodes();
  if (afterReset) {
    if (const char* error = renewHeads()) return error;
  }
  if (const char* error = registerScreenIds()) return error;
  adjustBackingStore();
  if (afterReset && (proxyConfig.options & kOptionTranslucent)) {
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
      for (Head* head = screen->heads; head; head = head->next) {
        if (!startTranslucency(head)) return PALVON_OOM();
      }
    }
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (const char* error = updateHeadDefaultVisual(head)) return error;
    }
  }
  return adjustDefaultColormaps();
}

}  // namespace palvon
