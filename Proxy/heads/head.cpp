// Heads in meta screens: creation, numbering, binding to their server
// displays, removal (also at run time), panning a head's view over its
// meta screen, and installing colormaps on a head.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/rawtricks.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/emulation.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/sync/propertywindows.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/rect.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

// Change flags of a head joining or leaving, with and without a size
// recomputation of the screen.
constexpr u32 kHeadAddedResize = 0x2006;
constexpr u32 kHeadAdded = 0x2000;
constexpr u32 kHeadRemovedResize = 0x4006;
constexpr u32 kHeadRemoved = 0x4000;
constexpr u32 kHeadPanned = 0xc000;  // logical x and y of the head settings

// The standard-colormap properties of a root (RGB_COLOR_MAP .. RGB_RED_MAP),
// which describe the real screen's colormaps and not the meta screen's.
constexpr Atom kFirstStandardMap = 24, kLastStandardMap = 30;

void logIfProblem(const char* message) {
  if (message) logProblem(message, __FILE__, __LINE__);
}

// Recomputes the screen after a head came or went.
void recomputeScreen(MetaScreen* screen, u32 resizeFlags, u32 relayoutFlags) {
  if (clientCount && isMetaScreenResizable(screen)) {
    MetaScreenSettings settings{};
    settings.mask = resizeFlags;
    logIfProblem(computeMetaScreenSize(screen, &settings));
  } else {
    logIfProblem(relayoutMetaScreens(screen, relayoutFlags));
  }
}

template <typename Used>
u32 smallestUnused(Used used) {
  u32 n = 0;
  while (used(n)) n++;
  return n;
}

void numberHead(Head* head) {
  head->numberInScreen = smallestUnused([head](u32 n) {
    for (MetaScreen* s = proxyState.screens; s; s = s->next)
      for (Head* h = s->heads; h; h = h->next)
        if (h != head && h->numberInScreen == n) return true;
    return false;
  });
  head->numberOnDisplay = smallestUnused([head](u32 n) {
    for (MetaScreen* s = proxyState.screens; s; s = s->next)
      for (Head* h = s->heads; h; h = h->next)
        if (h != head && h->serverDisplay == head->serverDisplay && h->numberOnDisplay == n) return true;
    return false;
  });
}

void deleteStandardColormaps(Head* head) {
  if (!isHeadOnline(head)) return;
  XfsGrabServer(head->display);
  for (Atom a = kFirstStandardMap; a <= kLastStandardMap; a++) XfsDeleteProperty(head->display, head->root, a);
  XfsUngrabServer(head->display);
}

bool displayHasOtherHead(const Head* head) {
  for (const MetaScreen* s = proxyState.screens; s; s = s->next)
    for (const Head* h = s->heads; h; h = h->next)
      if (h != head && h->serverDisplay == head->serverDisplay) return true;
  return false;
}

// The flag that keeps only the emulated visuals of a head.
constexpr u32 kOnlyEmulatedVisuals = 0x2000;


}  // namespace

const char* readHeadVisuals(Head* head, u32 visualFlags) {
  VisualRecord* real = nullptr;
  i32 realCount = 0;
  if (const char* error = getHeadVisuals(head->display, int(head->screen), &real, &realCount)) return error;
  VisualRecord* emulated = nullptr;
  i32 emulatedCount = 0;
  logIfProblem(emulateVisuals(head->display, real, realCount, visualFlags & ~kOnlyEmulatedVisuals, &emulated,
                              &emulatedCount));
  bool onlyEmulated = visualFlags & kOnlyEmulatedVisuals;
  if (onlyEmulated || !emulatedCount) {
    head->visuals = onlyEmulated ? emulated : real;
    head->visualCount = onlyEmulated ? emulatedCount : realCount;
    freeHeadVisuals(onlyEmulated ? real : emulated, onlyEmulated ? realCount : emulatedCount);
    return nullptr;
  }
  // The records move into one array; their own tables go with them.
  auto* all = static_cast<VisualRecord*>(memRealloc(real, sizeof(VisualRecord) * size_t(realCount + emulatedCount)));
  if (!all) {
    freeHeadVisuals(real, realCount);
    freeHeadVisuals(emulated, emulatedCount);
    return PALVON_OOM();
  }
  memcpy(all + realCount, emulated, sizeof(VisualRecord) * size_t(emulatedCount));
  free(emulated);
  head->visuals = all;
  head->visualCount = realCount + emulatedCount;
  return nullptr;
}

// --- Creation and linking -----------------------------------------------------------

const char* createHead(const char* name, const char* displayText, Display* display, u32 screen, u32 visualFlags,
                       Head** out) {
  *out = nullptr;
  auto* head = static_cast<Head*>(memCalloc(1, sizeof(Head)));
  if (!head) return PALVON_OOM();
  strCopy(head->name, name ? name : "", kHeadNameMax);
  strCopy(head->configuredDisplay, displayText ? displayText : "", sizeof head->configuredDisplay);
  head->display = display;
  head->screen = screen;
  head->zoomX = head->zoomY = 1.0;
  head->equivalentHead = head;
  head->visualFlags = visualFlags;
  // Set by default: a configured head's tags start with it and only a
  // tags statement that clears it takes it away, which the head's settings
  // apply only when the statement is there.
  head->tags = kTagZoomedFonts;
  if (display) {
    int s = int(screen);
    head->root = RootWindow(display, s);
    head->defaultColormap = DefaultColormap(display, s);
    head->defaultDepth = u32(DefaultDepth(display, s));
    head->blackPixel = BlackPixel(display, s);
    head->whitePixel = WhitePixel(display, s);
    head->width = u32(DisplayWidth(display, s)), head->height = u32(DisplayHeight(display, s));
    head->widthMM = u32(DisplayWidthMM(display, s)), head->heightMM = u32(DisplayHeightMM(display, s));
    logStepf("Querying visuals of %s...", head->name);
    if (const char* error = readHeadVisuals(head, visualFlags)) {
      free(head);
      return error;
    }
  }
  if ((proxyConfig.options & kOptionTranslucent) && !startTranslucency(head)) {
    freeHeadVisuals(head->visuals, head->visualCount);
    free(head);
    return PALVON_OOM();
  }
  *out = head;
  return nullptr;
}

void addHeadToScreen(Head* head, MetaScreen* screen) {
  head->metaScreen = screen;
  head->next = nullptr;
  Head** tail = &screen->heads;
  Head* back = nullptr;
  while (*tail) back = *tail, tail = &(*tail)->next;
  *tail = head;
  head->back = back;
  screen->headCount++;
  proxyState.headCount++;
  proxyState.maxHeadsPerScreen = std::max<u32>(proxyState.maxHeadsPerScreen, screen->headCount);
  if (!screen->colorHead) screen->colorHead = head;
  if (!screen->mainHead) screen->mainHead = head;
  if (!screen->tag40Head) screen->tag40Head = head;
  numberHead(head);
  if (!head->inWindow) deleteStandardColormaps(head);
  recomputeScreen(screen, kHeadAddedResize, kHeadAdded);
  startPointerTransformation(head);
}

void bindHeadToServerDisplay(Head* head, ServerDisplay* server) {
  head->display = server->display;
  head->serverDisplay = server;
  head->serverIndex = server->index;
  head->nextOnDisplay = nullptr;
  Head** link = &server->firstHead;
  while (*link) link = &(*link)->nextOnDisplay;
  *link = head;
}

void unbindHeadFromServerDisplay(Head* head) {
  ServerDisplay* server = head->serverDisplay;
  if (!server) return;
  // Unlinking hands the first-head role to the next head of the display.
  for (Head** link = &server->firstHead; *link; link = &(*link)->nextOnDisplay) {
    if (*link == head) {
      *link = head->nextOnDisplay;
      break;
    }
  }
  head->nextOnDisplay = nullptr;
  head->serverDisplay = nullptr;
  if (!server->firstHead) {
    removeServerDisplay(server);
    freeServerDisplay(server);
    head->display = nullptr;
  }
}

Head* findEquivalentHead(Head* head) {
  for (MetaScreen* s = proxyState.screens; s; s = s->next)
    for (Head* h = s->heads; h; h = h->next)
      if (h->serverDisplay == head->serverDisplay && h->screen == head->screen && h->scaler == head->scaler)
        return h;
  return head;
}

// --- Removal --------------------------------------------------------------------------

void destroyHead(Head* head, bool offline) {
  MetaScreen* screen = head->metaScreen;
  if (screen) {
    if (head->back) head->back->next = head->next;
    else screen->heads = head->next;
    if (head->next) head->next->back = head->back;
    head->next = head->back = nullptr;
    screen->headCount--;
    proxyState.headCount--;
    for (Head** role : {&screen->colorHead, &screen->mainHead, &screen->tag40Head})
      if (*role == head) *role = screen->heads;
    for (MetaScreen* s = proxyState.screens; s; s = s->next)
      for (Head* h = s->heads; h; h = h->next)
        if (h->relatedHead == head) h->relatedHead = nullptr;
    recomputeScreen(screen, kHeadRemovedResize, kHeadRemoved);
  }
  if (!offline && isHeadOnline(head)) {
    removeTelepointer(head);
    if (head->window) XfsDestroyWindow(head->display, head->window);
    if (head->colormap && head->colormap != head->defaultColormap) XfsFreeColormap(head->display, head->colormap);
    if (head->backgroundPixmap) XfsFreePixmap(head->display, head->backgroundPixmap);
    for (Cursor c : head->cursors)
      if (c) XfsFreeCursor(head->display, c);
  }
  // A lost server's telepointer window went with it; the record is ours.
  free(head->telepointer);
  head->telepointer = nullptr;
  head->window = 0, head->colormap = 0, head->backgroundPixmap = 0;
  head->cursors[0] = head->cursors[1] = 0;
  for (MetaScreen* s = proxyState.screens; s; s = s->next)
    for (Head* h = s->heads; h; h = h->next)
      if (h->equivalentHead == head) h->equivalentHead = findEquivalentHead(h);
  head->equivalentHead = findEquivalentHead(head);
  regionDestroy(head->staleRegion);
  head->staleRegion = nullptr;
}

namespace {

// The head that a screen's millimetres are measured on: removing it would
// change every other head's place.
bool isScreenReference(const Head* head) {
  const MetaScreen* screen = head->metaScreen;
  for (const Head* h = screen->heads; h; h = h->next) {
    if (isHeadOnline(h) && h->serverDisplay != resourceServerDisplay) return h == head;
  }
  return false;
}

const char* refuseRemoval(const Head* head) {
  if (head->inWindow && !(proxyConfig.options & kOptionDynamicServer))
    return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                     getProductName(), "DynamicServer");
  if (head->tags & kHeadTagStatic) return tmpPrintf("Can't remove %s - tag STATIC is set", head->name);
  if (!head->metaScreen || head->metaScreen->headCount <= 1 || isScreenReference(head))
    return tmpPrintf("Can't remove %s - still needed", head->name);
  return nullptr;
}

}  // namespace

const char* removeServerFromScreen(Head* head, bool offline) {
  if (const char* refusal = refuseRemoval(head)) return refusal;
  MetaScreen* screen = head->metaScreen;
  logStepf("Removing %s from %s by %s (offline=%d)...", head->name, screenName(screen), clientName(currentClient),
           int(offline));
  if (!offline) {
    if (const char* error = flushAllServerLinks()) return error;
  }
  bool atomMain = atomDisplay && head->serverDisplay == atomDisplay && atomDisplay->firstHead == head;
  destroyHead(head, offline);
  // The stand-ins holding properties lay below the head's window and went
  // with it: they are made again, on the atom server's next head, when
  // asked for.
  if (atomMain) forgetPropertyWindows();
  if (proxyConfig.options & kOptionTranslucent) removeTranslucencyForHead(head);
  freeHeadResources(head, screen, offline || !displayHasOtherHead(head));
  if (isHeadOnline(head)) XfsFlush(head->display);
  orderCancel(head->timer);
  head->timer = nullptr;
  for (u32 i = kHeadCleanupSlots; i-- > 0;) {
    if (head->cleanup[i]) head->cleanup[i](head, head->cleanupArgument[i]);
    head->cleanup[i] = nullptr;
  }
  bool hadPointer = pointerHead() == head;
  unbindHeadFromServerDisplay(head);
  if (screen) {
    if (hadPointer) {
      i32 x, y;
      lastPointerPosition(&x, &y);
      markPointerReturn(head, nullptr, x, y, true);
    }
    announceHeadChange(head, kHeadChangeRemoved, 0);
  }
  if (focusHead() == head) setFocusHead(pointerHead());
  releaseScaler(&head->scaler);
  freeHeadVisuals(head->visuals, head->visualCount);
  head->visuals = nullptr, head->visualCount = 0;
  freeHeadVisuals(head->visualMatches, head->visualMatchCount);
  head->visualMatches = nullptr, head->visualMatchCount = 0;
  if (screen->mainHead && isHeadOnline(screen->mainHead)) XfsFlush(screen->mainHead->display);
  recomputeOverlappingHeads();
  forgetHeadInput(head);
  // The head's id must not outlive it (a request naming it would reach
  // freed memory).
  if (head->id) freeResourceById(head->id, RT_NONE);
  forgetConfiguredHead(head);
  free(head);
  return nullptr;
}

// --- Panning --------------------------------------------------------------------------

const char* panOffsetRefusal(const Head* head, i32 x, i32 y) {
  if ((x || y) && (head->tags & kHeadTagStaticDisplay))
    return tmpPrintf("Can't enable screen pan at %s - Make sure the StaticDisplay tag is disabled", head->name);
  return nullptr;
}

const char* setHeadPanOffset(Head* head, i32 x, i32 y) {
  if (const char* refusal = panOffsetRefusal(head, x, y)) return refusal;
  head->panOffsetX = i16(std::clamp(x, i32(INT16_MIN), i32(INT16_MAX)));
  head->panOffsetY = i16(std::clamp(y, i32(INT16_MIN), i32(INT16_MAX)));
  return nullptr;
}

bool isPanModifierPressed(const Head* head, u32 state) {
  return (head->panOffsetX || head->panOffsetY) && !(head->tags & kHeadTagStaticDisplay) &&
         (state & head->panModifiers) == head->panModifiers;
}

namespace {

// How far v lies outside [start, start + extent).
i32 outside(i32 v, i32 start, i32 extent) {
  if (v < start) return v - start;
  i64 last = i64(start) + extent - 1;
  return v > last ? i32(v - last) : 0;
}

// The distance rounded away from zero to whole steps of the pan offset; an
// axis without an offset does not pan.
i32 panStep(i32 distance, i16 offset, bool bounded) {
  i32 step = std::abs(i32(offset));
  if (!distance || !step) return 0;
  i32 moved = roundAwayToMultiple(distance, step);
  return bounded ? std::clamp(moved, -step, step) : moved;
}

constexpr u32 kWorkaroundActiveDrawInWindow = 0x1;

bool staleDrawingKept(const Head* head) {
  return head->inWindow && (proxyConfig.workarounds & kWorkaroundActiveDrawInWindow);
}

// What the head shows now and did not show at `before`.
void addUncoveredParts(Head* head, const Rect& before) {
  if (!head->staleRegion && !(head->staleRegion = regionCreate(nullptr, 0))) {
    PALVON_OOM();
    return;
  }
  Region* uncovered = regionCreateRect(head->logical.x, head->logical.y, u32(std::max(head->logical.width, 0)),
                                       u32(std::max(head->logical.height, 0)));
  if (!uncovered || !regionSubtractRect(uncovered, uncovered, before.x, before.y, before.width, before.height) ||
      !regionUnion(head->staleRegion, head->staleRegion, uncovered))
    PALVON_OOM();
  regionDestroy(uncovered);
}

void exposeStaleRegion(Head* head) {
  long count = regionNumRects(head->staleRegion);
  auto* boxes = static_cast<xRectangle*>(std::malloc(sizeof(xRectangle) * size_t(std::max(count, 1L))));
  if (!boxes) {
    PALVON_OOM();
    return;
  }
  for (long i = 0; i < count; i++) {
    int x = 0, y = 0;
    u32 width = 0, height = 0;
    regionGetRect(head->staleRegion, i, &x, &y, &width, &height);
    boxes[i] = {i16(x), i16(y), u16(width), u16(height)};
  }
  if (head->scaler) {
    setScalerDrawable(head->scaler, head->metaScreen->rootId);
    scaleRectangles(head->scaler, boxes, u32(count));
  }
  exposeRectanglesByWindows(head->display, head->rootWindow, boxes, u32(count));
  std::free(boxes);
}

}  // namespace

void forgetStaleDrawing() {
  if (!(proxyConfig.workarounds & kWorkaroundActiveDrawInWindow)) return;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->staleRegion) regionEmpty(head->staleRegion);
}

void refreshStaleDrawing() {
  if (!(proxyConfig.workarounds & kWorkaroundActiveDrawInWindow)) return;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->staleRegion) continue;
      if (regionNotEmpty(head->staleRegion) && head->rootWindow && isHeadOnline(head)) exposeStaleRegion(head);
      regionDestroy(head->staleRegion);
      head->staleRegion = nullptr;
    }
  }
}

bool panHead(Head* head, i32 x, i32 y, [[maybe_unused]] ProxyClient* client, bool bounded) {
  logStepf("Pan %s to %d,%d", head->name, x, y);
  MetaScreen* screen = head->metaScreen;
  i32 dx = outside(x, head->logical.x, head->logical.width);
  i32 dy = outside(y, head->logical.y, head->logical.height);
  if (!dx && !dy) return false;
  dx = panStep(dx, head->panOffsetX, bounded);
  dy = panStep(dy, head->panOffsetY, bounded);
  if (!dx && !dy) return false;
  Rect bounds{0, 0, screen ? screen->width : 0, screen ? screen->height : 0};
  for (Head* h = screen ? screen->heads : head; h; h = screen ? h->next : nullptr) {
    if (!(h->panOffsetX || h->panOffsetY) || !h->display) continue;
    if (h != head && (head->inWindow || h->inWindow)) continue;
    Rect moved{h->logical.x + dx, h->logical.y + dy, u32(std::max(h->logical.width, 0)),
               u32(std::max(h->logical.height, 0))};
    if (bounds.width && bounds.height) rectClampToBounds(&moved, moved, bounds);
    Rect before{h->logical.x, h->logical.y, moved.width, moved.height};
    h->logical.x = moved.x, h->logical.y = moved.y;
    if (!pointerHead()) {
      logIfProblem(reapplyHeadGeometry(h, kHeadPanned));
    } else {
      // Re-applying the settings would put the pointer back where it stood
      // in the view: with the pointer on a head only the view moves.
      placeHeadRootWindow(h, nullptr, true);
      if (h->rootWindow && isHeadOnline(h)) XfsFlush(h->display);
    }
    if (staleDrawingKept(h)) addUncoveredParts(h, before);
  }
  if (screen) logIfProblem(relayoutMetaScreens(screen, 0));
  recomputeOverlappingHeads();
  return true;
}

void mapPointToHead(const Head* head, i32 x, i32 y, i32* outX, i32* outY) {
  // The clip origin on the real screen: the clip position plus the offset
  // of an in-window head's window.
  x -= head->clip.x + head->offsetX, y -= head->clip.y + head->offsetY;
  if (head->scaler)
    unscalePointInSize(head->scaler, &x, &y, u32(std::max(head->logical.width, 1)),
                       u32(std::max(head->logical.height, 1)));
  *outX = x + head->logical.x;
  *outY = y + head->logical.y;
}

bool panHeadWithPointer(Head* head, const XCrossingEvent* event) {
  if (!isPanModifierPressed(head, event->state)) return false;
  i32 x, y;
  mapPointToHead(head, event->x_root, event->y_root, &x, &y);
  const HeadRect& r = head->logical;
  bool onBorder = x == r.x || y == r.y || x == r.x + r.width - 1 || y == r.y + r.height - 1;
  if (!onBorder) return false;
  Rect rect{r.x, r.y, u32(std::max(r.width, 0)), u32(std::max(r.height, 0))};
  rectPushPointOutside(&x, &y, rect);
  if (!panHead(head, x, y, nullptr, true)) return false;
  Rect visible{head->clip.x, head->clip.y, u32(std::max(head->clip.width, 1)), u32(std::max(head->clip.height, 1))};
  if (head->warpsPointer) {
    i32 px = event->x_root, py = event->y_root;
    rectClampPoint(&px, &py, visible);
    warpPointerOnHead(head, visible.x + i32(visible.width / 2), visible.y + i32(visible.height / 2));
    warpPointerOnHead(head, px, py);
    XfsFlush(head->display);
    return true;
  }
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  bool onRoot = XfsQueryPointer(head->display, head->root, &root, &child, &rx, &ry, &wx, &wy, &mask);
  Rect probe{rx, ry, 1, 1};
  if (onRoot && rectContains(probe, visible)) return true;
  // The pointer left the head while the view moved: the window under the
  // crossing learns it as a leave.
  XEvent leave{};
  leave.xcrossing = *event;
  leave.xcrossing.send_event = True;
  leave.xcrossing.same_screen = True;
  leave.xcrossing.root = head->root;
  if (onRoot) leave.xcrossing.x_root = rx, leave.xcrossing.y_root = ry;
  XfsSendEvent(head->display, event->window, False, LeaveWindowMask, &leave);
  XfsFlush(head->display);
  return true;
}

const char* queryMetaPointer([[maybe_unused]] Display* display, ProxyClient* client, Head** outHead, i32* outX, i32* outY) {
  Head* pointer = pointerHead();
  *outHead = pointer;
  lastPointerPosition(outX, outY);
  if (!pointer) return nullptr;
  ServerLink* link = client ? clientLink(client, pointer->serverIndex) : nullptr;
  if (!pointerGrabPending() && !pointerPollActive() && link) {
    if (const char* error = syncServerLink(link)) return error;
  }
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  if (isHeadOnline(pointer) &&
      XfsQueryPointer(pointer->display, pointer->root, &root, &child, &rx, &ry, &wx, &wy, &mask)) {
    for (MetaScreen* s = proxyState.screens; s; s = s->next) {
      for (Head* h = s->heads; h; h = h->next) {
        if (h->display != pointer->display || h->root != root || h->inWindow) continue;
        Rect shown{h->clip.x, h->clip.y, u32(std::max(h->clip.width, 1)), u32(std::max(h->clip.height, 1))};
        Rect probe{rx, ry, 1, 1};
        if (h->clip.width > 0 && !rectContains(probe, shown)) continue;
        *outHead = h;
        mapPointToHead(h, rx, ry, outX, outY);
        return nullptr;
      }
    }
  }
  return nullptr;
}

bool windowOverlapsHead(const Head* head, const ProxyWindow* window) {
  WindowFacts facts{};
  describeWindow(window, &facts);
  // The protocol's 16-bit position and size.
  Rect w{i16(facts.x), i16(facts.y), u16(facts.width), u16(facts.height)};
  Rect h{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 0)),
         u32(std::max(head->logical.height, 0))};
  Rect both;
  rectIntersect(&both, w, h);
  return both.width && both.height;
}

// --- Colormaps ------------------------------------------------------------------------

namespace {

constexpr u32 kMaxInstalled = 256;
constexpr u32 kColormapKind = 5;

void installOne(Head* head, RequestWriter* writer, u32 colormap) {
  if (writer) xprotoInstallColormap(writer, colormap);
  else XfsInstallColormap(head->display, colormap);
}

}  // namespace

void installColormapsOnHead(Head* head, RequestWriter* writer) {
  u32 installed[kMaxInstalled];
  u32 count = head->metaScreen ? installedColormaps(head->metaScreen, installed, kMaxInstalled) : 0;
  if (head->inWindow) {
    if (!(head->tags & kHeadTagOverlay)) logIfProblem(setHeadColormapWindows(head, installed, count));
    return;
  }
  if (!writer && !isHeadOnline(head)) return;
  if (head->metaScreen && head->metaScreen->colorHead == head) {
    installOne(head, writer, u32(head->colormap ? head->colormap : head->defaultColormap));
  } else {
    for (u32 i = 0; i < count; i++) installOne(head, writer, translateXid(installed[i], kColormapKind, head));
  }
  if (!writer) XfsFlush(head->display);
}

void uninstallColormapsOnHead(Head* head) {
  if (!isHeadOnline(head) || !head->metaScreen) return;
  u32 installed[kMaxInstalled];
  u32 count = installedColormaps(head->metaScreen, installed, kMaxInstalled);
  for (u32 i = 0; i < count; i++) {
    // The head's stand-in for the meta screen's default colormap stays
    // installed, as a plain server's default colormap does.
    u32 onHead = translateXid(installed[i], kColormapKind, head);
    if (onHead != head->defaultColormap && onHead != head->colormap) XfsUninstallColormap(head->display, onHead);
  }
  XfsFlush(head->display);
}

}  // namespace palvon
