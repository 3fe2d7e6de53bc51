// Per-head translations of visuals, depths, ids, atoms, event masks and
// cursors, the damage of the current request, and the screen-saver and
// clock side of server displays joining and leaving.
#include "Proxy/heads/headmap.h"

#include <X11/Xutil.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/resources/dbebuffer.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/resources/xidpair.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/clocks.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/screen.h"
#include "Proxy/resources/resourcefacts.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/power.h"
#include "xsupport/region.h"
#include "xsupport/xfont.h"

namespace palvon {

namespace {

// The id a head uses for its record of a meta visual.
u32 headRecordId(const VisualRecord* match) { return match->emulatedVisualId ? match->emulatedVisualId : match->visualId; }

bool visualMissingOnHead(const VisualRecord* visual, const Head* head) {
  return visual && !headVisualMatch(head, visual);
}

ServerLink* headLink(ProxyClient* client, const Head* head) {
  return client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
}

// The key under which the pointer poll runs while screen savers follow
// the input-control display.
constexpr u32 kScreenSaverPollKey = 256;

bool syncsScreenSavers() {
  return proxyConfig.syncScreenSavers && serverDisplayCount >= 2 && inputControlDisplay;
}

}  // namespace

// --- Visuals and depths ---------------------------------------------------------

bool isDepthMissingOnHead(u32 depth, const Head* head) {
  const MetaScreen* screen = head->metaScreen;
  if (!screen) return false;
  bool offered = false;
  for (i32 i = 0; i < screen->visualCount; i++) {
    if (screen->visuals[i].depth != depth) continue;
    if (headVisualMatch(head, &screen->visuals[i])) return false;
    offered = true;
  }
  return offered;
}

bool needsVisualEmulation(u32 id, const Head* head) {
  if (!(head->tags & kHeadTagSloppyVisuals)) return false;
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  u32 depth = 0;
  const VisualRecord* visual = nullptr;
  switch (type) {
    case RT_WINDOW:
    case RT_VISUAL:
    case RT_COLORMAP:
    case RT_DBE_BUFFER:
    case RT_GLX_CONTEXT:
    case RT_GLX_PIXMAP:
    case RT_GLX_PBUFFER:
    case RT_MBUF_BUFFER:
      return describeResourceVisual(type, object, &depth, &visual) && visualMissingOnHead(visual, head);
    case RT_PIXMAP:
    case RT_GC:
    case RT_PICT_FORMAT:
    case RT_PICTURE:
    case RT_GLYPHSET:
      if (!(head->tags & kHeadTagSloppyDepths)) return false;
      return describeResourceVisual(type, object, &depth, &visual) && isDepthMissingOnHead(depth, head);
    default:
      return false;
  }
}

bool mapSloppyPixmapDepth(Head* head, u32 clientDepth, u32 headDepth) {
  LOGF(logChXhint, "Sloppy pixmap depth %u mapped to depth %u on %s", clientDepth, headDepth, head->name);
  if (clientDepth >= kHeadDepthTableMax || headDepth >= kHeadDepthTableMax) return false;
  // New entries map to themselves; the table has room for every depth.
  for (u32 d = head->depthTableSize; d <= clientDepth; d++) head->depthTable[d] = u8(d);
  head->depthTableSize = u8(std::max<u32>(head->depthTableSize, clientDepth + 1));
  head->depthTable[clientDepth] = u8(headDepth);
  if (clientDepth != headDepth) proxyState.headsFoldDepths = true;
  return true;
}

u32 mapVisualIdToHead(u32 visualId, const Head* head) {
  if (!visualId || !head->metaScreen) return visualId;
  const VisualRecord* visual = findScreenVisual(head->metaScreen, visualId);
  if (!visual) return visualId;
  const VisualRecord* match = headVisualMatch(head, visual);
  return match ? headRecordId(match) : 0;
}

const VisualRecord* findScreenVisualForHeadVisual(const Head* head, u32 headVisualId) {
  const MetaScreen* screen = head->metaScreen;
  if (!screen) return nullptr;
  for (i32 i = screen->visualCount; i-- > 0;) {
    const VisualRecord* match = headVisualMatch(head, &screen->visuals[i]);
    if (match && headRecordId(match) == headVisualId) return &screen->visuals[i];
  }
  return nullptr;
}

u32 mapHeadVisualIdToClient(u32 headVisualId, const ServerDisplay* server, const Head* head) {
  if (!headVisualId) return 0;
  if (head) {
    const VisualRecord* v = findScreenVisualForHeadVisual(head, headVisualId);
    return v ? v->visualId : headVisualId;
  }
  for (const MetaScreen* s = proxyState.screens; s; s = s->next) {
    for (const Head* h = s->heads; h; h = h->next) {
      if (h->serverDisplay != server) continue;
      if (const VisualRecord* v = findScreenVisualForHeadVisual(h, headVisualId)) return v->visualId;
    }
  }
  return headVisualId;
}

bool isEmulatedVisual(bool known, const VisualRecord* clientVisual, const Head* head) {
  if (known) return true;
  const VisualRecord* match = clientVisual ? headVisualMatch(head, clientVisual) : nullptr;
  return match && match->emulatedVisualId;
}

// --- Ids and atoms ----------------------------------------------------------------

namespace {

const Head* firstPlainHeadOf(const Display* display) {
  for (const MetaScreen* s = proxyState.screens; s; s = s->next) {
    for (const Head* h = s->heads; h; h = h->next) {
      if (h->display == display && !h->inWindow) return h;
    }
  }
  return nullptr;
}

}  // namespace

u32 mapXidOnDisplay(u32 windowId, Display* display) {
  const Head* head = firstPlainHeadOf(display);
  return head ? translateXid(windowId, RT_WINDOW, head) : windowId;
}

u32 mapServerXidOnDisplay(u32 serverId, Display* display) {
  const Head* head = firstPlainHeadOf(display);
  return head ? reverseMapServerXid(serverId, head) : serverId;
}

u32 mapDrawableToHead(u32 id, const Head* head) {
  return translateXid(resolveDoubleBufferDrawable(id, head), RT_DRAWABLE, head);
}

void mapDrawableAndGCToHead(u32 drawable, u32 gc, const Head* head, u32 out[2]) {
  // Only a server that emulates double buffers can name another drawable.
  if (head && head->serverDisplay && head->serverDisplay->dbeEmulated)
    drawable = resolveDoubleBufferDrawable(drawable, head);
  translateDrawableAndGC(drawable, gc, head, out);
}

Atom mapAtomToHead(Atom atom, const Head* head) {
  if (atom < kFirstDynamicAtom || !atomDisplay || head->serverDisplay == atomDisplay) return atom;
  char* name = XfsGetAtomName(atomDisplay->display, atom);
  if (!name) return 0;
  Atom mapped = XfsInternAtom(head->display, name, False);
  XFree(name);
  return mapped;
}

// --- Event masks ------------------------------------------------------------------

u32 completeEventMask(u32 mask) {
  mask |= ButtonReleaseMask;
  if (mask & (EnterWindowMask | LeaveWindowMask | KeymapStateMask)) mask |= EnterWindowMask | LeaveWindowMask;
  return mask;
}

u32 adjustEventMaskForHead(ProxyClient* client, const ProxyWindow* window, u32 mask, const Head* head) {
  // A KeymapNotify is judged by the EnterNotify or FocusIn it follows,
  // which the server sends then whether the client selected them or not.
  if (mask & KeymapStateMask) mask |= FocusChangeMask;
  if (mask & (EnterWindowMask | LeaveWindowMask | KeymapStateMask)) mask |= EnterWindowMask | LeaveWindowMask;
  if (mask & (KeyPressMask | KeyReleaseMask)) mask |= KeyPressMask | KeyReleaseMask;
  WindowFacts facts{};
  describeWindow(window, &facts);
  if (!facts.parent && client && (mask & FocusChangeMask)) {
    // The root's focus changes come from two windows: the real root has
    // those to and from PointerRoot and None, the head's copy of the root
    // the others (it is the window the focus goes to when a client names
    // the root).
    if (ServerLink* link = headLink(client, head)) {
      XSetWindowAttributes values{};
      values.event_mask = FocusChangeMask;
      xprotoChangeWindowAttributes(&link->writer, u32(head->root), CWEventMask, &values);
    }
  }
  if (mask & ButtonPressMask) mask |= ButtonReleaseMask;
  if ((head->tags & kHeadTagSloppyVisuals) && visualMissingOnHead(facts.visual, head)) mask &= ~kInputEventMask;
  return mask;
}

// --- Cursors ----------------------------------------------------------------------

u32 copyCursorToHead(void* cursor, ProxyClient* client, Head* head) {
  ServerLink* link = headLink(client, head);
  u32 id = link ? allocProxyXid(client) : 0;
  // The server takes ids of its own connection's range only.
  u32 server = id ? translateXid(id, RT_CURSOR, head) : 0;
  if (!server) return 0;
  // Several requests (pixmaps, images, pictures, the cursor): none of their
  // errors is the client's.
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  int made = replicateCursorOnHead(static_cast<CursorRecord*>(cursor), client, &link->writer, server, head);
  link->writingProxyCopies = marking;
  return made ? server : 0;
}

// --- Damage of the current request ---------------------------------------------

ProxyWindow* getCurrentDamageWindow() {
  void* object = nullptr;
  u32 type = currentDamageTarget(&object);
  switch (type) {
    case RT_WINDOW: return static_cast<ProxyWindow*>(object);
    case RT_DBE_BUFFER:
    case RT_MBUF_BUFFER:
    case RT_PICTURE: return resourceWindow(type, object);
    default: return nullptr;
  }
}

namespace {

ProxyWindow* setDamage(ProxyWindow* window, i32 x, i32 y, u32 width, u32 height) {
  Region* region = currentDamageRegion();
  if (!region) return window;
  WindowFacts facts{};
  describeWindow(window, &facts);
  i64 x0 = std::max<i64>(x, 0), y0 = std::max<i64>(y, 0);
  i64 x1 = std::min<i64>(i64(x) + width, facts.width), y1 = std::min<i64>(i64(y) + height, facts.height);
  if (x1 <= x0 || y1 <= y0) regionEmpty(region);
  else regionResetRect(region, int(x0), int(y0), u32(x1 - x0), u32(y1 - y0));
  return window;
}

}  // namespace

ProxyWindow* addDamageRect(i32 x, i32 y, u32 width, u32 height) {
  ProxyWindow* window = getCurrentDamageWindow();
  return window ? setDamage(window, x, y, width, height) : nullptr;
}

XFontStruct* getGCFontInfo(u32 gc) {
  if (XFontStruct* info = gcFontInfo(gc)) return info;
  // The default GC's font of the first server, asked once.
  static XFontStruct* fallback;
  static bool asked;
  if (!asked && serverDisplayList && serverDisplayList->display) {
    asked = true;
    Display* d = serverDisplayList->display;
    fallback = XfsQueryFont(d, XGContextFromGC(DefaultGC(d, DefaultScreen(d))));
  }
  return fallback;
}

ProxyWindow* addDamageText(u32 gc, i32 x, i32 y, const char* text, u32 count, u32 bits) {
  ProxyWindow* window = getCurrentDamageWindow();
  if (!window) return nullptr;
  XFontStruct* font = getGCFontInfo(gc);
  if (!font) return setDamage(window, 0, 0, UINT32_MAX >> 1, UINT32_MAX >> 1);
  XRectangle box;
  xfontTextBox(font, x, y, text, int(count), int(bits), &box);
  return setDamage(window, box.x, box.y, box.width, box.height);
}

// --- Server displays --------------------------------------------------------------

namespace {

// The displays whose screen-saver settings follow the input-control
// display: each pushed the poll interval once and pops it once.
bool pollingScreenSaver[kMaxServerIndexes];

}  // namespace

const char* addServerDisplay(ServerDisplay* server, bool quiet) {
  if (syncsScreenSavers() && !quiet && server != inputControlDisplay && server->display &&
      server->index < kMaxServerIndexes && !pollingScreenSaver[server->index]) {
    xCopyPowerSettings(inputControlDisplay->display, server->display);
    XfsFlush(server->display);
    pushPointerPollInterval(kScreenSaverPollKey, 1000);
    pollingScreenSaver[server->index] = true;
  }
  if (!timeDisplay) timeDisplay = serverDisplayList;
  sampleServerTimes();
  return startTimeSync();
}

void removeServerDisplay(ServerDisplay* server) {
  if (server->index >= kMaxServerIndexes || !pollingScreenSaver[server->index]) return;
  pollingScreenSaver[server->index] = false;
  popPointerPollInterval(kScreenSaverPollKey);
}

}  // namespace palvon
