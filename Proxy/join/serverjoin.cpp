// Adding a real X server to a running session, its undo, and removing a
// server by name. The session's state goes over in the order in which it
// depends on itself: connections before resources, resources before
// windows, windows before mapping, grabs and event selections; a round trip
// on every link separates the stages so that a later stage never names
// something the server has not made yet.
#include "Proxy/join/serverjoin.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/renderhook.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/join/serverjoin_steps.h"
#include "Proxy/join/translucency.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/startup.h"
#include "Proxy/sync/clocks.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/geometry.h"
#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

constexpr u32 kUnusableScore = 10000;

bool optionSet(u32 option) { return (proxyConfig.options & option) != 0; }

// The server's pixmap formats; false when the display cannot list them.
bool serverFormats(Head* head, ServerPixmapFormat* out, u32* count) {
  *count = 0;
  if (!head->display) return false;
  int n = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(head->display, &n);
  if (!formats) return false;
  for (int i = 0; i < n && *count < kPixmapFormatsMax; i++)
    out[(*count)++] = {u32(formats[i].depth), u32(formats[i].bits_per_pixel), u32(formats[i].scanline_pad)};
  XFree(formats);
  return true;
}

bool isProxyDepth(u32 depth) {
  for (u32 i = 0; i < offeredPixmapFormatCount; i++)
    if (offeredPixmapFormats[i].depth == depth) return true;
  return false;
}

// --- The stages ------------------------------------------------------------------------

const char* checkPixmapFormats(Head* head) {
  for (u32 i = 0; i < offeredPixmapFormatCount; i++) {
    const PixmapFormatOffer& f = offeredPixmapFormats[i];
    if (!checkPixmapFormatOnHead(head, f.depth, f.bitsPerPixel, f.scanlinePad))
      return tmpPrintf("Display %s has no pixmap format depth=%u bits=%u pad=%u - Make sure the common pixmap formats "
                       "are specified in the configuration",
                       head->name, u32(f.depth), u32(f.bitsPerPixel), u32(f.scanlinePad));
  }
  return nullptr;
}

const char* adjustHeadVisuals(Head* head, MetaScreen* screen) {
  logStepf("Adjusting visuals...");
  if (!head->visuals) {
    if (const char* error = readHeadVisuals(head, head->visualFlags)) return error;
  }
  return buildHeadVisualMatches(head, screen);
}

// The display's links: every client that has links gets one to the new
// server, waited for here so that the client's id base on it is known.
const char* openClientConnections(Head* head) {
  ServerDisplay* server = head->serverDisplay;
  addServerDisplay(server);
  head->serverIndex = server->index;
  rebuildClientServerList();
  if (const char* error = addServerDisplay(server, false)) LOGF(logChWarning, "%s", error);
  const LinkServerInfo* info = nullptr;
  for (u32 i = 0; i < clientServerList.count; i++)
    if (clientServerList.servers[i].display == server) info = &clientServerList.servers[i];
  if (!info) return "Can't create server connection";
  u32 clients = 0;
  for (ProxyClient* client = clientList; client; client = client->next) clients += client->hasLinks;
  logStepf("Copying %u client connections...", clients);
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (!client->hasLinks || client->stopped) continue;
    ServerLink* link = openServerLink(client, *info);
    if (!link) return "Can't create server connection";
    link->busy = 1;
    const char* error = waitServerLinkSetup(link);
    link->busy = 0;
    if (error) return error;
  }
  return nullptr;
}

void copyInputSettingsToHead(Head* head) {
  ServerDisplay* source = inputControlDisplay;
  if (!source || !source->display || source == head->serverDisplay) return;
  logStepf("Copying pointer settings...");
  if (const char* error = copyPointerMapping(source->display, head->display)) LOGF(logChWarning, "%s", error);
  logStepf("Copying keyboard settings...");
  if (const char* error = xrcCopyKeyboardMapping(source->display, head->display))
    logProblem(error, __FILE__, __LINE__);
}

// The proxy's presence on the head: default colormap, its windows and the
// meta root there.
const char* setUpHeadOnServer(Head* head) {
  if (const char* error = updateHeadDefaultVisual(head)) return error;
  if (const char* error = createHeadDefaultColormap(head)) return error;
  if (const char* error = createHeadWindow(head)) return error;
  return createHeadRootWindows(head, false);
}

// A round trip on every client's link to the new server only: the other
// servers took nothing new, and one busy with a client's drawing must not
// hold the join up (nor be taken for lost when it answers late).
const char* syncNewServerLinks(Head* head) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    // A held link goes on where its client's hold ends.
    if (!link || link->descriptor < 0 || !linkWaitable(link)) continue;
    if (const char* error = syncServerLink(link)) return error;
  }
  return nullptr;
}

// What a failed resource copy leaves: the links finish what they were
// given, and the proxy's window on the server goes.
void dropHalfCopiedHead(Head* head) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    if (!link || link->descriptor < 0) continue;
    settleServerLink(link);
  }
  if (head->display && head->window) {
    XfsDestroyWindow(head->display, head->window);
    XfsFlush(head->display);
    head->window = 0;
    head->innerWindow = head->rootWindow = head->cursorWindow = head->trackingWindow = head->keyGrabWindow = 0;
  }
}

// The head whose copies of images the new head takes: the screen's colour
// head, else its first other head.
Head* sourceHeadFor(Head* head, MetaScreen* screen) {
  if (screen->colorHead && screen->colorHead != head && screen->colorHead->display) return screen->colorHead;
  for (Head* h = screen->heads; h; h = h->next)
    if (h != head && h->display) return h;
  return nullptr;
}

// Each extension module that keeps state on the servers copies it through
// its hook (the head is the hook's state). Modules without a hook keep
// nothing there (Multi-Buffering is not offered with DynamicServer).
const char* copyExtensionState(Head* head) {
  for (u32 major = 128; major < 256; major++) {
    ExtensionEntry& entry = proxyState.extensions.entries[major];
    if (!entry.name) continue;
    if (!entry.copyHook) continue;
    if (const char* error = entry.copyHook(&entry, head)) return error;
  }
  return syncNewServerLinks(head);
}

void pointerAndFocus(Head* head) {
  ServerDisplay* server = head->serverDisplay;
  logStepf("Querying pointer...");
  if (!server->input.pointerHead) {
    updateHeadStacking(head);
    server->input.pointerHead = findPointerHeadOnDisplay(kXrcMouse, server);
  } else {
    XfsFlush(head->display);
  }
  if (!head->inWindow || server == inputControlDisplay) {
    Window focus = getServerFocusWindow(inputState.focusWindow, server);
    XfsSetInputFocus(head->display, focus, inputState.focusRevertTo, CurrentTime);
  }
  if (inputControlDisplay && inputControlDisplay == resourceServerDisplay) {
    logProblem(switchInputControl(kXrcMouse, firstOrdinaryDisplay(), 1), __FILE__, __LINE__);
  } else {
    updateInputWindows(nullptr, pointerHead(), 1);
  }
}

const char* syncEveryDisplay() {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display) continue;
    if (syncServerDisplay(server)) return displayOfflineText(server->display);
  }
  return nullptr;
}

void exposeScreen(MetaScreen* screen) {
  for (ProxyWindow* w = screen->rootWindow; w; w = nextWindowPreorder(w, screen->rootWindow)) {
    if (w->viewable && w->selections) exposeWholeWindow(w);
  }
}

void rearmEveryClient() {
  for (ProxyClient* client = clientList; client; client = client->next)
    if (client->pendingTail) armPendingOnServers(client->pendingTail, client);
}

}  // namespace

// --- Formats, coverage, displays ------------------------------------------------------

u32 pixmapFormatScore(const ServerPixmapFormat& offered, u32 depth, u32 bitsPerPixel, u32 pad) {
  if (offered.depth < depth) return kUnusableScore;
  u32 bits = offered.bitsPerPixel > bitsPerPixel ? offered.bitsPerPixel - bitsPerPixel : bitsPerPixel - offered.bitsPerPixel;
  u32 padDifference = offered.pad > pad ? offered.pad - pad : pad - offered.pad;
  return std::min(kUnusableScore - 1, 10 * (offered.depth - depth) + bits + padDifference);
}

PixmapFormatVerdict judgePixmapFormat(const ServerPixmapFormat* formats, u32 count, u32 depth, u32 bitsPerPixel,
                                      u32 pad, u32 tags, bool bestDepthOffered, u32* bestDepth) {
  const ServerPixmapFormat* best = nullptr;
  u32 bestScore = kUnusableScore;
  for (u32 i = 0; i < count; i++) {
    u32 score = pixmapFormatScore(formats[i], depth, bitsPerPixel, pad);
    if (score == 0) return PixmapFormatVerdict::kServed;
    if (score < bestScore || !best) best = &formats[i], bestScore = score;
  }
  bool usable = best && bestScore < kUnusableScore;
  *bestDepth = best ? best->depth : 0;
  if ((tags & kHeadTagSloppyDepths) && usable) {
    if (best->depth == depth) return PixmapFormatVerdict::kServed;
    if (!bestDepthOffered) return PixmapFormatVerdict::kSubstitute;
  }
  if (tags & kHeadTagSloppyVisuals) return PixmapFormatVerdict::kServed;
  return usable && best->depth == depth ? PixmapFormatVerdict::kServed : PixmapFormatVerdict::kRefused;
}

bool checkPixmapFormatOnHead(Head* head, u32 depth, u32 bitsPerPixel, u32 pad) {
  ServerPixmapFormat formats[kPixmapFormatsMax];
  u32 count = 0;
  if (!serverFormats(head, formats, &count)) return false;
  // Whether the best format's depth is one the proxy offers itself decides
  // whether it may stand in for another: ask for the depth the scores pick.
  u32 bestDepth = 0;
  PixmapFormatVerdict verdict = judgePixmapFormat(formats, count, depth, bitsPerPixel, pad, head->tags, true, &bestDepth);
  if (verdict == PixmapFormatVerdict::kServed || !(head->tags & kHeadTagSloppyDepths) || isProxyDepth(bestDepth))
    return verdict == PixmapFormatVerdict::kServed;
  verdict = judgePixmapFormat(formats, count, depth, bitsPerPixel, pad, head->tags, false, &bestDepth);
  if (verdict == PixmapFormatVerdict::kSubstitute) return mapSloppyPixmapDepth(head, depth, bestDepth);
  return verdict == PixmapFormatVerdict::kServed;
}

bool headHasUncoveredArea(Head* head, MetaScreen* screen) {
  const HeadRect& r = head->logical;
  if (r.width <= 0 || r.height <= 0) return false;
  Region* rest = regionCreateRect(r.x, r.y, u32(r.width), u32(r.height));
  if (!rest) return true;
  for (Head* other = screen ? screen->heads : nullptr; other; other = other->next) {
    const HeadRect& o = other->logical;
    if (other == head || o.width <= 0 || o.height <= 0) continue;
    regionSubtractRect(rest, rest, o.x, o.y, u32(o.width), u32(o.height));
  }
  bool uncovered = regionNotEmpty(rest);
  regionDestroy(rest);
  return uncovered;
}

ServerDisplay* firstOrdinaryDisplay() {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server != resourceServerDisplay && server->display) return server;
  return serverDisplayList;
}

// --- Addition -------------------------------------------------------------------------

namespace {
// A head that leaves without its screen's bookkeeping (never placed, or
// placed by a failed addition): its copies, its windows on the server, its
// binding (the display goes with its last head) and the head itself.
void discardHead(Head* head, bool lost);
}  // namespace

const char* abortServerAddition(Head* head, const char* error) {
  ServerDisplay* server = head->serverDisplay;
  LOGF(logChWarning, "%s", error);
  // A server that stopped answering is lost (a wait on a link timed out):
  // with Failsafe it is dropped like any lost server.
  bool lost = optionSet(kOptionFailsafe) && server && server->display && syncServerDisplay(server);
  if (lost && head->metaScreen) {
    dropServerDisplay(server);
    return error;
  }
  discardHead(head, lost);
  return error;
}

namespace {

void discardHead(Head* head, bool lost) {
  MetaScreen* screen = head->metaScreen;
  // The copies already made go, so that no record keeps the head.
  if (screen) freeHeadResources(head, screen, lost);
  destroyHead(head, lost);
  releaseScaler(&head->scaler);
  // The links to a server that leaves with this head close with it (and
  // the record goes).
  unbindHeadFromServerDisplay(head);
  rearmEveryClient();
  freeHeadVisuals(head->visuals, head->visualCount);
  freeHeadVisuals(head->visualMatches, head->visualMatchCount);
  forgetHeadInput(head);
  if (head->id) freeResourceById(head->id, RT_NONE);
  forgetConfiguredHead(head);
  free(head);
}

}  // namespace

namespace {

// The head checked against the session and put into its screen, with the
// clients' connections to its server.
const char* joinHeadToScreen(Head* head, MetaScreen* screen) {
  if (const char* error = checkPixmapFormats(head)) return error;
  if (const char* error = adjustHeadVisuals(head, screen)) return error;
  logStepf("Checking for font bitmaps...");
  decideHeadFontScaling(head);
  if (!(head->tags & kHeadTagServerFonts)) {
    if (const char* error = applyFontPathToHead(head)) return error;
  }
  bool uncovered = headHasUncoveredArea(head, screen);
  if (uncovered) {
    logStepf("Starting X remote control...");
    if (const char* error = xrcAttachDisplay(head->display, kXrcFakeInput)) return error;
  }
  ServerDisplay* server = head->serverDisplay;
  bool known = false;
  for (ServerDisplay* s = serverDisplayList; s; s = s->next) known |= s == server;
  addHeadToScreen(head, screen);
  if (const char* error = setupHeadScaling(head)) return error;
  if (const char* error = adjustPictFormatsForHead(head)) return error;
  head->equivalentHead = findEquivalentHead(head);
  if (known) {
    // Another head of the server has the links already.
    head->serverIndex = server->index;
    for (ProxyClient* c = clientList; c; c = c->next) {
      if (ServerLink* link = clientLink(c, server->index)) setClientServerIdBase(c->number, head, link->serverIdBase);
    }
    return nullptr;
  }
  if (const char* error = openClientConnections(head)) return error;
  if (!head->inWindow && uncovered) copyInputSettingsToHead(head);
  return nullptr;
}

// The proxy's windows, the resources, windows, extension state and mapping.
const char* copySessionOntoHead(Head* head, MetaScreen* screen) {
  if (const char* error = setUpHeadOnServer(head)) return error;
  logStepf("Copying resources...");
  if (const char* error = copyResourcesToHead(sourceHeadFor(head, screen), head)) {
    dropHalfCopiedHead(head);
    return error;
  }
  if (const char* error = copyWindowsToHead(head, screen)) return error;
  if (const char* error = copyExtensionState(head)) return error;
  logStepf("Copying window mapping...");
  copyWindowMappingToHead(screen->rootWindow, head);
  if (serviceHooks.copyGLXPixmapsToHead) {
    if (const char* error = serviceHooks.copyGLXPixmapsToHead(head, head)) return error;
  }
  if (serviceHooks.copyGLXObjectsToHead) {
    if (const char* error = serviceHooks.copyGLXObjectsToHead(head)) return error;
  }
  if (!serviceHooks.copyGLXPixmapsToHead && !serviceHooks.copyGLXObjectsToHead)
    LOGF(logChXhint, "Copying GLX objects onto %s: not yet", head->name);
  XfsMapRaised(head->display, head->window);
  if (pointerHead() && pointerHead()->serverDisplay == resourceServerDisplay) {
    logStepf("Warping pointer back to screen...");
    if (const char* error = syncNewServerLinks(head)) return error;
    i32 x = 0, y = 0;
    lastPointerPosition(&x, &y);
    syncInputAcrossHeads(kXrcMouse, nullptr, pointerHead()->metaScreen, x, y, true);
  }
  return nullptr;
}

// Save sets, grabs, event selections, pointer and focus; then every
// display synchronised.
const char* settleInputOnHead(Head* head, MetaScreen* screen) {
  copySaveSetsAndGrabs(head, screen);
  if (const char* error = syncNewServerLinks(head)) return error;
  selectWindowEventsOnHead(head, screen);
  if (const char* error = syncNewServerLinks(head)) return error;
  pointerAndFocus(head);
  if (optionSet(kOptionTranslucent)) {
    if (const char* error = copyTranslucencyToDisplay(nullptr, head)) return error;
  }
  if (const char* error = syncEveryDisplay()) {
    // Only a lost new display undoes the addition: another server's loss
    // is that server's own drop.
    if (isDisplayOffline(head->display)) return error;
    LOGF(logChWarning, "%s", error);
  }
  return nullptr;
}

}  // namespace

const char* addServerToScreen(Head* head, MetaScreen* screen, ProxyClient* client) {
  LOGF(logChXhint, "Adding %s to screen %u by %s...", head->name, screen->number, client ? clientName(client) : "proxy");
  if (!head->serverDisplay || !head->display) return abortServerAddition(head, "Can't create server connection");
  // Every wait on the new server is bounded from here on.
  armOfflineTimeout(head->serverDisplay);
  using Stage = const char* (*)(Head*, MetaScreen*);
  for (Stage stage : {joinHeadToScreen, copySessionOntoHead, settleInputOnHead}) {
    if (const char* error = stage(head, screen)) return abortServerAddition(head, error);
  }
  recalcKeepWindowsVisible(screen);
  markOverlappingHeads();
  exposeScreen(screen);
  rearmEveryClient();
  if (serviceHooks.grabRecordingHotkey) {
    if (const char* error = serviceHooks.grabRecordingHotkey(head)) LOGF(logChWarning, "%s", error);
  } else {
    LOGF(logChXhint, "Recording hotkey on %s: not yet", head->name);
  }
  if (const char* error = startTimeSync()) LOGF(logChWarning, "%s", error);
  return nullptr;
}

// --- Removal ----------------------------------------------------------------------------

namespace {

bool namesServer(const ServerDisplay* server, const char* name) {
  return isSameDisplay(server->configuredName[0] ? server->configuredName : server->displayName, name);
}

// The server display of that name: on the list, or held by a head that was
// opened but not yet placed in a meta screen (its display joins the list
// only with the head).
ServerDisplay* findServerByName(const char* name) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (namesServer(server, name)) return server;
  struct Search {
    const char* name;
    ServerDisplay* found;
  } search{name, nullptr};
  forEachResourceOfType(
      RT_HEAD,
      [](u32, void* object, ProxyClient*, void* argument, Head*) {
        auto* s = static_cast<Search*>(argument);
        const ServerDisplay* server = static_cast<Head*>(object)->serverDisplay;
        if (!server || !namesServer(server, s->name)) return 1;
        s->found = const_cast<ServerDisplay*>(server);
        return 0;
      },
      &search, nullptr);
  return search.found;
}

}  // namespace

const char* removeServer(const char* name) {
  if (!optionSet(kOptionDynamicServer))
    return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                     getProductName(), "DynamicServer");
  ServerDisplay* server = findServerByName(name);
  if (!server) return tmpPrintf("Can't remove the unknown X server '%s'", name);
  for (Head* head = server->firstHead; head; head = head->nextOnDisplay) {
    if (head->tags & kHeadTagStatic) return tmpPrintf("Can't remove %s - has tag STATIC set", head->name);
    MetaScreen* screen = head->metaScreen;
    bool centre = screen && screen->mainHead == head;
    if (screen && (screen->headCount < 2 || head->inWindow || centre))
      return tmpPrintf("Can't remove X server '%s' - still in use", name);
  }
  // Removing a head changes the display's list: start over each time. A
  // head that was opened but never placed in a screen simply goes.
  while (Head* head = server->firstHead) {
    bool last = head->nextOnDisplay == nullptr;
    if (!head->metaScreen) {
      discardHead(head, false);
    } else if (const char* error = removeServerFromScreen(head, false)) {
      return error;
    }
    if (last) break;
  }
  rebuildClientServerList();
  return nullptr;
}

}  // namespace palvon
