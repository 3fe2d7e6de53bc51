// Opening heads: checking the name, finding or opening the server's display
// record, contesting the server with other proxies, checking the server
// against the running session, and making and announcing the Head.
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/open.h"

#include <strings.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/randrhooks.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/settings.h"
#include "base/bits.h"
#include "base/logging.h"
#include "base/lookups.h"
#include "base/process.h"
#include "base/rect.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u32 kResetDelaySeconds = 2;
constexpr i32 kBorderMax = 32767;

u32 headIdCounter;

u32 statusError(u32* status, u32 value) {
  *status = value;
  return value;
}

const char* optionNotEnabled(const char* option) {
  return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                   getProductName(), option);
}

// The screen number of a display name: the decimal after the '.' that
// follows the last ':'; 0 without one, -1 when it is not a number.
i32 screenOfName(const char* name) {
  const char* colon = strrchr(name, ':');
  const char* dot = colon ? strchr(colon, '.') : nullptr;
  if (!dot) return 0;
  char* end = nullptr;
  long value = strtol(dot + 1, &end, 10);
  if (end == dot + 1 || *end || value < 0 || value > 65535) return -1;
  return i32(value);
}

u32 idBits() { return bitCount(proxyState.resourceIdMask); }

// The id bits a display leaves the proxy when it must tell `screens` of its
// screens (or heads) apart.
u32 bitsLeftFor(const ServerDisplay* server, u32 screens) {
  u32 bits = bitCount(u32(xDisplayResourceMask(server->display)));
  u32 needed = screens > 1 ? bitsNeeded(screens) : 0;
  return bits > needed ? bits - needed : 0;
}

u32 headsOnDisplay(const ServerDisplay* server) {
  u32 count = 0;
  for (const Head* head = server->firstHead; head; head = head->nextOnDisplay) count++;
  return count;
}

ServerDisplay* findDisplayByName(const char* shortName) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (strcasecmp(server->displayName, shortName) == 0) return server;
  }
  return nullptr;
}

// A head set to be removed for a proxy of higher priority on its server.
const char* yieldSameHeads(const char* fullName, u32 priority, u32* status) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->inWindow || strcasecmp(head->configuredDisplay, fullName) != 0) continue;
      if (!head->serverDisplay || head->serverDisplay->defencePriority >= priority) continue;
      if (const char* error = removeServerFromScreen(head, false)) {
        statusError(status, kHeadStatusConfig);
        return error;
      }
      waitResetDelay();
      break;
    }
  }
  return nullptr;
}

// A head of the screen outside every meta screen: added at run time and
// not placed yet, which the meta screens' heads do not show.
Head* unplacedHeadOf(const char* fullName) {
  struct Search {
    const char* name;
    Head* found;
  } search{fullName, nullptr};
  forEachResourceOfType(
      RT_HEAD,
      [](u32, void* object, ProxyClient*, void* argument, Head*) {
        auto* s = static_cast<Search*>(argument);
        auto* head = static_cast<Head*>(object);
        if (head->metaScreen || head->inWindow || !head->serverDisplay ||
            strcasecmp(head->configuredDisplay, s->name) != 0)
          return 1;
        s->found = head;
        return 0;
      },
      &search, nullptr);
  return search.found;
}

// Whether the screen is in the session already. An unplaced head whose
// server went away meanwhile is dropped now (with Failsafe): the proxy
// reads nothing from it, so only asking finds that out.
bool screenInSession(const char* fullName, const char** name) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->inWindow || strcasecmp(head->configuredDisplay, fullName) != 0) continue;
      *name = head->name;
      return true;
    }
  }
  Head* unplaced = unplacedHeadOf(fullName);
  if (!unplaced) return false;
  if (!(proxyConfig.options & kOptionFailsafe) || !syncServerDisplay(unplaced->serverDisplay)) {
    *name = unplaced->name;
    return true;
  }
  abortServerAddition(unplaced, tmpPrintf("Display %s went away before its head was placed", fullName));
  return false;
}

bool extensionMayBeMissing(const ExtensionEntry& entry, ServerDisplay* server) {
  if (strcmp(entry.name, "GLX") == 0) return true;
  if (strcmp(entry.name, "XTEST") != 0) return false;
  if (const char* error = xrcAttachDisplay(server->display, kXrcFakeInput)) {
    logProblem(error, __FILE__, __LINE__);
    return false;
  }
  proxyState.extensions.xtestThroughInputControl = true;
  return true;
}

// Every extension the clients may already use must exist on a server added
// while they run.
const char* checkRegisteredExtensions(ServerDisplay* server) {
  ExtensionServer target{server->display, server->displayName, &server->codes};
  for (u32 major = 128; major < 256; major++) {
    const ExtensionEntry& entry = proxyState.extensions.entries[major];
    if (!entry.name || bindExtensionToServer(&entry, target)) continue;
    if (extensionMayBeMissing(entry, server)) continue;
    return tmpPrintf("Display %s does not support extension %s", xShortDisplayName(server->display), entry.name);
  }
  return nullptr;
}

// The proxy's contest for the server: a proxy that holds it with an equal
// or higher priority keeps it; one with a lower priority is asked to let go.
const char* contestServer(ServerDisplay* server, bool probeOnly, u32* status) {
  Window owner = 0;
  char* text = nullptr;
  if (!server->lockSelection || !getSelectionText(server->display, server->lockSelection, &owner, &text))
    return nullptr;
  u32 held = u32(strtoul(text, nullptr, 10));
  free(text);
  if (server->priority <= held) {
    statusError(status, kHeadStatusConfig);
    return tmpPrintf("Can't add X server '%s' (priority too low)", server->displayName);
  }
  XfsSetSelectionOwner(server->display, server->lockSelection, None, CurrentTime);
  XfsFlush(server->display);
  disconnectServerDisplay(server, false);
  waitResetDelay();
  return connectHeadDisplay(server, probeOnly, status);
}

const char* checkServer(ServerDisplay* server, const HeadOpenRequest& request, u32* status) {
  Display* display = server->display;
  if (ProtocolVersion(display) != X_PROTOCOL && clientCount) {
    statusError(status, kHeadStatusCannotServe);
    return tmpPrintf("X protocol version too old on server '%s'", server->displayName);
  }
  if (clientCount) {
    if (const char* error = checkRegisteredExtensions(server)) {
      statusError(status, kHeadStatusCannotServe);
      return error;
    }
  }
  if (server->local) {
    if (const char* reason = probeMitShm(display))
      LOGF(logChWarning, "Display %s does not support shared memory: %s", xShortDisplayName(display), reason);
    else
      server->shmUsable = 1;
  }
  u64 largest = 4 * u64(XMaxRequestSize(display));
  if (largest < proxyState.maxRequestBytes) {
    if (clientCount) {
      statusError(status, kHeadStatusCannotServe);
      return tmpPrintf("Maximum request size too small on server '%s'", server->displayName);
    }
    proxyState.maxRequestBytes = u32(largest);
  }
  // A history of the pointer's motion is one server's; with many servers,
  // or servers that may still come, the proxy offers none.
  if (serverDisplayCount >= 2 || (proxyConfig.options & kOptionDynamicServer)) proxyState.motionBufferSize = 0;
  if (!clientCount)
    proxyState.motionBufferSize = std::min(proxyState.motionBufferSize, u32(XDisplayMotionBufferSize(display)));
  if (!inputControlDisplay) {
    if (const char* error = switchInputControl(kXrcMouse, server, 1)) LOGF(logChWarning, "%s", error);
  }
  if (clientCount && !request.inWindow) {
    if (bitsLeftFor(server, server->screenCount) < idBits()) {
      statusError(status, kHeadStatusCannotServe);
      return tmpPrintf("Number of resource id bits too small on X server '%s' - Use the maximumNumberOfScreens "
                       "statement",
                       server->displayName);
    }
    computeIdPartition(server, proxyState.resourceIdMask);
  }
  return nullptr;
}

}  // namespace

ServerDisplay* openHeadDisplay(const char* name, const char* configuredName, const HeadOpenRequest& request,
                               bool inMetaScreen, u32* status, const char** error) {
  if (request.inWindow && !(proxyConfig.options & kOptionInWindow)) {
    statusError(status, kHeadStatusConfig);
    *error = optionNotEnabled("InWindow");
    return nullptr;
  }
  ServerDisplay* server = newServerDisplay(name, configuredName);
  if (!server) {
    statusError(status, kHeadStatusNoMemory);
    *error = PALVON_OOM();
    return nullptr;
  }
  server->connectTimeoutMs = request.connectTimeoutMs;
  if (proxyConfig.options & kOptionFailsafe) server->offlineTimeoutMs = request.offlineTimeoutMs;
  server->probeOnly = request.probeOnly;
  server->inWindowOpened = request.inWindow;
  server->namedByClient = request.namedByClient;
  if ((*error = connectHeadDisplay(server, request.probeOnly, status))) {
    freeServerDisplay(server);
    return nullptr;
  }
  server->priority = request.priority;
  server->defencePriority = request.defencePriority;
  if (!request.inWindow) *error = contestServer(server, request.probeOnly, status);
  if (!*error) {
    struct Check {
      ServerDisplay* server;
      const HeadOpenRequest& request;
      u32* status;
      const char* error;
    } check{server, request, status, nullptr};
    runWhileOpening(server->display, [](void* argument) {
      auto* c = static_cast<Check*>(argument);
      c->error = checkServer(c->server, c->request, c->status);
    }, &check);
    *error = check.error;
  }
  if (!*error && isDisplayOffline(server->display)) {
    statusError(status, kHeadStatusOffline);
    *error = displayOfflineText(server->display);
  }
  if (*error) {
    freeServerDisplay(server);
    return nullptr;
  }
  if (!imageDisplay) setImageDisplay(server);
  else updateImageFormatFlag(server);
  if (inMetaScreen) {
    addServerDisplay(server);
    // Its clock and screen saver follow the others from the start.
    if (const char* problem = addServerDisplay(server, false)) LOGF(logChWarning, "%s", problem);
  }
  return server;
}

Head* initHead(const HeadOpenRequest& request, u32* status, const char** error) {
  *status = 0;
  *error = nullptr;
  // The name's look-ups count into the bound of opening while clients are
  // served.
  LookUpBound bound(servedOpeningDeadline());
  const char* resolved = nullptr;
  if (const char* lookup = lookupDisplayName(request.name, &resolved)) {
    statusError(status, kHeadStatusConfig);
    *error = lookup;
    return nullptr;
  }
  char* host = nullptr;
  u32 number = 0, family = 0;
  i32 screenNumber = resolved ? screenOfName(resolved) : -1;
  if (!resolved || screenNumber < 0 || !parseDisplayName(resolved, &host, &number, &family)) {
    free(host);
    statusError(status, kHeadStatusConfig);
    *error = tmpPrintf("Invalid X display name '%s'", resolved ? resolved : "NULL");
    return nullptr;
  }
  if (number == getProxyDisplayNumber() && hostIsLocal(host)) {
    free(host);
    statusError(status, kHeadStatusOffline);
    *error = tmpPrintf("Can't connect to display '%s' (same port used by %s)", resolved, logProgramName());
    return nullptr;
  }
  char shortName[kDisplayNameMax], fullName[kDisplayNameMax];
  snprintf(shortName, sizeof shortName, "%s:%u", host, number);
  snprintf(fullName, sizeof fullName, "%s:%u.%d", host, number, screenNumber);
  free(host);
  if (!request.inWindow && (proxyConfig.options & kOptionDynamicServer)) {
    if ((*error = yieldSameHeads(fullName, request.priority, status))) return nullptr;
  }
  const char* existing = nullptr;
  if (!request.inWindow && screenInSession(fullName, &existing)) {
    statusError(status, kHeadStatusConfig);
    *error = tmpPrintf("Screen '%s' already configured - Make sure each screen is specified just once", existing);
    return nullptr;
  }
  ServerDisplay* server = request.display;
  if (!server && (server = findDisplayByName(shortName)) && clientCount && server->display) {
    u32 heads = headsOnDisplay(server);
    if (bitsLeftFor(server, heads ? heads + 1 : 0) < idBits()) {
      statusError(status, kHeadStatusCannotServe);
      *error = tmpPrintf("Number of resource id bits too small on X server '%s' - Use the maximumNumberOfScreens "
                         "statement",
                         server->displayName);
      return nullptr;
    }
  }
  bool opened = false;
  if (!server) {
    server = openHeadDisplay(shortName, resolved, request, request.screen != nullptr, status, error);
    if (!server) {
      if (!request.probeOnly) return nullptr;
      LOGF(logChWarning, "%s", *error);
      *error = nullptr;
      *status = 0;
    }
    opened = server != nullptr;
  }
  Display* display = server ? server->display : nullptr;
  if (display && (screenNumber >= ScreenCount(display))) {
    if (opened) freeServerDisplay(server);
    statusError(status, kHeadStatusConfig);
    *error = tmpPrintf("No screen #%d on %s", screenNumber, shortName);
    return nullptr;
  }
  if (display && clientCount && !opened) {
    u32 heads = headsOnDisplay(server);
    if (bitsLeftFor(server, heads + 1) < idBits()) {
      statusError(status, kHeadStatusConfig);
      *error = tmpPrintf("Too many screens at '%s' - Use the configuration statement 'maximumNumberOfScreens' or "
                         "'numberOfResourceIdBits' to raise this limit",
                         shortName);
      return nullptr;
    }
  }
  Head* head = nullptr;
  const char* name = request.headName ? request.headName : request.name ? request.name : resolved;
  if ((*error = createHead(name, fullName, display, u32(screenNumber),
                           request.visualFlags, &head))) {
    if (opened && !server->firstHead) freeServerDisplay(server);
    statusError(status, kHeadStatusNoMemory);
    return nullptr;
  }
  if (!display) {
    head->width = head->height = 1;
  }
  computeHeadBorder(head, request.border);
  i32 b = head->borderWidth;
  head->clip = {b, b, std::max(i32(head->width) - 2 * b, 1), std::max(i32(head->height) - 2 * b, 1)};
  head->logical = {0, 0, head->clip.width, head->clip.height};
  if (request.inWindow) {
    head->inWindow = 1;
    head->inWindowParent = head->root;
  }
  if (server) bindHeadToServerDisplay(head, server);
  if (request.screen) addHeadToScreen(head, request.screen);
  head->id = nextHeadId();
  if (!head->id || !addResource(head->id, RT_HEAD, head)) PALVON_UNE();
  announceHeadChange(head, kHeadChangeCreated, 0);
  logStepf("Init head %s (screen=%d xid=0x%x border=%u)...", head->name,
           request.screen ? i32(request.screen->number) : -1, head->id, u32(head->borderWidth));
  return head;
}

// Counted up past every id in use: the default ids of visuals, roots and
// colormaps count up from 32 in the same slot, and a head that shared one
// (the 32nd head made, or an earlier one after resets) took that record
// with it when it left.
u32 nextHeadId() {
  u32 mask = proxyState.resourceIdMask;
  for (u32 tries = 0; tries < mask; tries++) {
    headIdCounter = headIdCounter >= mask ? 1 : headIdCounter + 1;
    if (!lookupResourceObject(headIdCounter)) return headIdCounter;
  }
  PALVON_UNE();
  return 0;
}

// --- Geometry ------------------------------------------------------------------------------

namespace {

// A configuration that is one row of screens of one server, left to right,
// without extra placement, shows no border between them.
bool needsAutomaticBorder() {
  u32 options = proxyConfig.options;
  if (options & kOptionDynamicServer) return true;
  const HeadConfig* first = proxyConfig.heads;
  u32 heads = 0;
  for (const HeadConfig* h = first; h; h = h->next) {
    heads++;
    if (!isSameDisplay(h->serverDisplayName ? h->serverDisplayName : h->display,
                       first->serverDisplayName ? first->serverDisplayName : first->display))
      return true;
    if (h->settings.followPointerX > 0 || h->settings.followPointerY > 0) return true;
    u32 direction = h->settings.placement;
    if (h == first ? direction != kPlaceNone : (direction != kPlaceNone && direction != kPlaceEast)) return true;
  }
  if ((options & kOptionTavel) && heads > 1) return true;
  for (const ScreenConfig* s = proxyConfig.metaScreens; s; s = s->next) {
    bool placed = s->placement != kPlaceNone;
    if (s == proxyConfig.metaScreens ? placed : (placed && s->placement != kPlaceEast)) return true;
  }
  return false;
}

}  // namespace

bool computeHeadBorder(Head* head, i32 configured) {
  // A configured value is taken as unsigned: anything but -1 is a width.
  u64 border = configured != -1 ? u32(configured) : (needsAutomaticBorder() ? 1 : 0);
  border = std::min<u64>(border, kBorderMax);
  if (head->width && head->height) {
    u64 half = std::max(head->height / 2, head->width / 2);
    if (half <= border) border = half;
  }
  bool changed = head->borderWidth != i32(border);
  head->borderWidth = i32(border);
  return changed;
}

void setHeadClipWidth(Head* head, i32 value) { head->clip.width = std::max(value, 1); }
void setHeadClipHeight(Head* head, i32 value) { head->clip.height = std::max(value, 1); }

namespace {

struct PointerReturn {
  Head* head;
  ProxyClient* client;
  i32 x, y;
  bool warp;
} pointerReturn;

}  // namespace

void markPointerReturn(Head* head, ProxyClient* client, i32 x, i32 y, bool warp) {
  pointerReturn = {head, client, x, y, warp};
}

void announceHeadChange(Head* head, u32 kind, u32 mask) {
  Rect r{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 0)),
         u32(std::max(head->logical.height, 0))};
  const char* geometry = rectGeometryText(r);
  const char* by = clientName(currentClient);
  if (kind == kHeadChangeCreated)
    logStepf("%s created by %s (%s, %ux%u mm) ...", head->name, by, geometry, head->widthMM, head->heightMM);
  else if (kind == kHeadChangeRemoved)
    logStepf("%s removed by %s (%s) ...", head->name, by, geometry);
  else
    logStepf("%s changed by %s (%s, mask 0x%x) ...", head->name, by, geometry, mask);
  MetaScreen* screen = head->metaScreen;
  if (!screen) return;
  if (screen->rootWindow) sendRandrHeadNotify(head);
  if (kind == kHeadChangeChanged && (mask & kHeadGeometryBits) && isMetaScreenResizable(screen)) {
    MetaScreenSettings settings{};
    settings.mask = kMetaWidth | kMetaHeight;
    if (const char* error = computeMetaScreenSize(screen, &settings)) logProblem(error, __FILE__, __LINE__);
  }
  if (kind == kHeadChangeChanged) restartPointerRotation(head);
  if (pointerReturn.head == head) {
    PointerReturn back = pointerReturn;
    pointerReturn = {};
    bool moved = kind == kHeadChangeRemoved || (mask & (kHeadGeometryBits | kHeadClipBorderBits));
    if (moved) {
      logStepf("Pointer repositioned to screen %d +%d+%d...", int(screen->number), back.x, back.y);
      syncInputAcrossHeads(kXrcMouse, back.client, screen, back.x, back.y, back.warp);
    }
  }
  recalcKeepWindowsVisible(screen);
  sendMetaScreenEvent(head, screen, kind, mask);
}

// --- Roles and waiting ---------------------------------------------------------------------

XImage imageDisplayFormat;

void updateImageFormatFlag(ServerDisplay* server) {
  Display* display = server->display;
  if (!display) return;
  bool same = ImageByteOrder(display) == imageDisplayFormat.byte_order &&
              BitmapBitOrder(display) == imageDisplayFormat.bitmap_bit_order &&
              BitmapUnit(display) == imageDisplayFormat.bitmap_unit &&
              BitmapPad(display) == imageDisplayFormat.bitmap_pad;
  server->imageFormatDiffers = same ? 0 : 1;
}

void setImageDisplay(ServerDisplay* server) {
  imageDisplay = server;
  if (server) imageDisplayFormat = server->defaultImage;
  for (ServerDisplay* other = serverDisplayList; other; other = other->next) updateImageFormatFlag(other);
  if (server) updateImageFormatFlag(server);
}

void waitResetDelay() {
  if (clientCount) {
    logStepf("Not waiting %u seconds: clients are connected", kResetDelaySeconds);
    return;
  }
  logStepf("Sleeping %d seconds...", int(kResetDelaySeconds));
  timespec delay{kResetDelaySeconds, 0};
  while (nanosleep(&delay, &delay) != 0) {
  }
}

void computeIdPartition(ServerDisplay* server, u32 proxyMask) {
  if (!server->display) return;
  u32 mask = u32(xDisplayResourceMask(server->display));
  u32 shift = trailingZeros(mask);
  u32 m = bitCount(mask), p = bitCount(proxyMask);
  u32 spare = m > p ? m - p : 0;
  server->baseShift = shift;
  server->proxyIdShift = shift + spare;
  server->indexMask = spare ? u32(((u64(1) << spare) - 1) << shift) : 0;
  server->foreignMask = server->indexMask | ~(mask | 0xE0000000u);
}

ServerDisplay* firstRootHeadDisplay() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->inWindow && head->serverDisplay) return head->serverDisplay;
    }
  }
  return nullptr;
}

}  // namespace palvon
