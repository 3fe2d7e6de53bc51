// Stand-ins for the heads layer's start-up entries (heads_pending.h): a
// minimal path that lets clients run through the proxy until that layer
// lands. Every configured head gets its server connection and sits beside
// the previous head of its meta screen; a meta screen offers the visuals
// that all of its heads match, its first head's default visual as root
// visual, and each head's real root stands for the meta root. The whole
// file goes when the heads layer's definitions arrive.
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/config.h"
#include "Proxy/heads_pending.h"
#include "Proxy/proxystate.h"
#include "Proxy/records.h"
#include "Proxy/resource.h"
#include "Proxy/window.h"
#include "Proxy/xdisplay.h"
#include "Proxy/xfs.h"
// Xlibint.h (through xfs.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/xscreen.h"
#include "Proxy/xvisual.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

PixmapFormatOffer offeredPixmapFormats[kPixmapFormatsMax];
u32 offeredPixmapFormatCount;

namespace {

constexpr u32 kDefaultConnectMs = 10000;

u32 screenNumberOf(const char* name) {
  const char* colon = name ? strrchr(name, ':') : nullptr;
  const char* dot = colon ? strchr(colon, '.') : nullptr;
  return dot ? u32(strtoul(dot + 1, nullptr, 10)) : 0;
}

ServerDisplay* findOpenDisplay(const char* name) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display && isSameDisplay(server->configuredName, name)) return server;
  return nullptr;
}

const char* openHead(HeadConfig* entry) {
  MetaScreen* screen = entry->metaScreen ? findMetaScreen(entry->metaScreen->number) : proxyState.screens;
  if (!screen) return "No meta screen for head";
  char serverName[kDisplayNameMax];
  strCopy(serverName, entry->display ? entry->display : ":0", sizeof serverName);
  if (char* colon = strrchr(serverName, ':'))
    if (char* dot = strchr(colon, '.')) *dot = '\0';
  ServerDisplay* server = findOpenDisplay(serverName);
  if (!server) {
    u32 timeout = entry->settings.connectTimeoutMs ? entry->settings.connectTimeoutMs : kDefaultConnectMs;
    if (const char* error = openServerDisplay(serverName, timeout, &server)) return error;
  }
  u32 screenNumber = screenNumberOf(entry->display);
  if (screenNumber >= u32(ScreenCount(server->display)))
    return tmpPrintf("No screen %u on display %s", screenNumber, server->displayName);
  Head* head = nullptr;
  const char* name = entry->settings.name ? entry->settings.name : entry->display;
  if (const char* error = createHead(name, entry->display, server->display, screenNumber, 0, &head)) return error;
  head->tags = entry->settings.tags;
  bindHeadToServerDisplay(head, server);
  addHeadToScreen(head, screen);
  return nullptr;
}

const char* offerPixmapFormats() {
  offeredPixmapFormatCount = 0;
  if (!serverDisplayList || !serverDisplayList->display) return "XListPixmapFormats(none) failed";
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(serverDisplayList->display, &count);
  if (!formats) return "XListPixmapFormats failed";
  for (int i = 0; i < count && offeredPixmapFormatCount < kPixmapFormatsMax; i++)
    offeredPixmapFormats[offeredPixmapFormatCount++] = {u8(formats[i].depth), u8(formats[i].bits_per_pixel),
                                                        u8(formats[i].scanline_pad)};
  XFree(formats);
  return nullptr;
}

// The first head's visuals, with proxy ids, matched on every head.
const char* offerVisuals(MetaScreen* screen) {
  Head* first = screen->heads;
  if (!first || !first->display) return "No screens specified";
  screen->visuals = copyVisualRecords(first->visuals, first->visualCount);
  if (!screen->visuals && first->visualCount) return PALVON_OOM();
  screen->visualCount = first->visualCount;
  VisualID defaultId = XVisualIDFromVisual(DefaultVisual(first->display, int(first->screen)));
  screen->rootVisual = nullptr;
  for (i32 i = 0; i < screen->visualCount; i++) {
    VisualRecord* visual = &screen->visuals[i];
    if (visual->visualId == defaultId && !screen->rootVisual) screen->rootVisual = visual;
  }
  for (Head* head = screen->heads; head; head = head->next) {
    if (const char* error = buildHeadVisualMatches(head, screen)) return error;
  }
  for (i32 i = 0; i < screen->visualCount; i++) {
    VisualRecord* visual = &screen->visuals[i];
    visual->visualId = allocDefaultXid();
    if (!addResource(visual->visualId, RT_VISUAL, visual)) return PALVON_OOM();
  }
  screen->visualIdsConsecutive = visualIdsConsecutive(screen->visuals, screen->visualCount);
  if (!screen->rootVisual) screen->rootVisual = screen->visuals;
  return screen->rootVisual ? nullptr : "No default visual found";
}

void adoptScreenFacts(MetaScreen* screen) {
  Head* first = screen->heads;
  Screen* real = ScreenOfDisplay(first->display, int(first->screen));
  screen->backingStore = u8(DoesBackingStore(real));
  screen->saveUnders = DoesSaveUnders(real) ? 1 : 0;
  screen->minInstalledMaps = u32(MinCmapsOfScreen(real));
  screen->maxInstalledMaps = u32(MaxCmapsOfScreen(real));
  setupMetaScreenColors(screen);
  for (Head* head = screen->heads; head; head = head->next) head->rootWindow = head->root;
}

}  // namespace

const char* openConfiguredHeads() {
  for (HeadConfig* entry = proxyConfig.heads; entry; entry = entry->next) {
    if (const char* error = openHead(entry)) return error;
  }
  return nullptr;
}

const char* applyConfiguredScreenSettings() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    i32 x = 0;
    u32 height = 0, heightMM = 0, widthMM = 0;
    for (Head* head = screen->heads; head; head = head->next) {
      head->clip = {0, 0, i32(head->width), i32(head->height)};
      head->logical = {x, 0, i32(head->width), i32(head->height)};
      x += i32(head->width);
      height = std::max(height, head->height);
      widthMM += head->widthMM;
      heightMM = std::max(heightMM, head->heightMM);
    }
    screen->width = u32(x);
    screen->height = height;
    screen->widthMM = widthMM;
    screen->heightMM = heightMM;
  }
  return nullptr;
}

const char* adjustScreenCapabilities(bool afterReset) {
  if (afterReset && !initClientResourceTable(0)) return PALVON_OOM();
  if (const char* error = offerPixmapFormats()) return error;
  if (Display* input = serverDisplayList ? serverDisplayList->display : nullptr) {
    int minimum = 8, maximum = 255;
    XDisplayKeycodes(input, &minimum, &maximum);
    proxyState.minKeycode = u32(minimum);
    proxyState.maxKeycode = std::min<u32>(u32(minimum) + proxyState.keycodeCount - 1, 255);
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (const char* error = offerVisuals(screen)) return error;
    adoptScreenFacts(screen);
    screen->rootId = allocDefaultXid();
    screen->defaultColormap = allocDefaultXid();
    if (!createColormapRecord(nullptr, screen->defaultColormap, screen, screen->rootVisual, 0)) return PALVON_OOM();
  }
  return nullptr;
}

const char* probeHeads(bool) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    ProxyWindow* root = allocProxyWindow();
    if (!root) return PALVON_OOM();
    root->id = screen->rootId;
    root->windowClass = kInputOutput;
    root->depth = screen->rootVisual ? screen->rootVisual->depth : 24;
    initWindowDefaults(root);
    root->width = u16(screen->width);
    root->height = u16(screen->height);
    computeWindowClip(root);
    computeBorderClip(root);
    root->screen = screen;
    root->visual = screen->rootVisual;
    root->colormap = screen->defaultColormap;
    root->mapped = root->viewable = root->shown = 1;
    if (!addResource(screen->rootId, RT_WINDOW, root)) return PALVON_OOM();
    screen->rootWindow = root;
  }
  if (!inputControlDisplay) inputControlDisplay = serverDisplayList;
  if (!imageDisplay) imageDisplay = serverDisplayList;
  return nullptr;
}

void closeHeadsOnReset() {
  // The records of slot 0 go with the reset; the visuals are offered anew.
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    screen->rootWindow = nullptr;
    for (Head* head = screen->heads; head; head = head->next) {
      freeHeadVisuals(head->visualMatches, head->visualMatchCount);
      head->visualMatches = nullptr;
      head->visualMatchCount = 0;
    }
  }
}

void finishHeadsReset() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    freeHeadVisuals(screen->visuals, screen->visualCount);
    screen->visuals = nullptr;
    screen->visualCount = 0;
    screen->rootVisual = nullptr;
  }
}

void reopenLostHeads() { finishHeadsReset(); }

ServerDisplay* firstRootHeadDisplay() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (!head->inWindow) return head->serverDisplay;
  return nullptr;
}

ServerDisplay* chooseFontServerDisplay() {
  ServerDisplay* server = firstRootHeadDisplay();
  return server ? server : serverDisplayList;
}

const char* decideResourceServer(bool* needed) {
  *needed = false;
  return nullptr;
}

const char* startResourceServer() {
  PALVON_WIP();
  return "The auxiliary resource server is not available yet";
}

void decideHeadFontScaling(Head*) {}

void restoreDisplayOnExit(ServerDisplay*) {}

}  // namespace palvon
