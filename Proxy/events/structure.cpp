// Exposures, structure events, properties, selections, colormaps, client
// messages and mapping changes back to the client.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/configurenotes.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/readback.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/propertywindows.h"
#include "base/logging.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u8 kCopyAreaStash = X_CopyArea;
constexpr LayoutString kGraphicsExposeLayout = "bbsissssss";

ServerDisplay* linkServer() { return currentLink ? currentLink->server.display : nullptr; }

Head* mainHeadOf(const MetaScreen* screen) {
  if (!screen) return nullptr;
  return screen->mainHead ? screen->mainHead : screen->heads;
}

bool severalHeads(const Head* head) { return head && head->metaScreen && head->metaScreen->headCount > 1; }

// The head a server id of the current link belongs to (null without one).
Head* headOf(u32 serverId) { return findHeadForServerXid(serverId, linkServer()); }

u32 toClient(u32 serverId) { return mapServerXidToClient(serverId, linkServer()); }

// --- Exposures ----------------------------------------------------------------------------

// The area at byte 8 through the head's zoom and rotation, rounded outward.
void unscaleExposure(u8* event, Head* head, u32 drawable) {
  if (!head || !head->scaler) return;
  setScalerDrawable(head->scaler, drawable);
  HeadRect area{i16(get16(event + 8)), i16(get16(event + 10)), get16(event + 12), get16(event + 14)};
  unscaleExposeArea(head->scaler, &area);
  put16(event + 8, u16(area.x));
  put16(event + 10, u16(area.y));
  put16(event + 12, u16(area.width));
  put16(event + 14, u16(area.height));
}

bool isHeldExposureOf(const HeldMessage* held, const void* argument) {
  auto* want = static_cast<const u8*>(argument);
  return held->bytes[0] == want[0] && get32(held->bytes + 4) == get32(want + 4);
}

// A held exposure of the code for the drawable of `event`.
HeldMessage* heldExposure(PendingRequest* entry, u8 code, const u8* event) {
  u8 want[8] = {code};
  put32(want + 4, get32(event + 4));
  return entry ? findHeldMessage(&entry->exposures, isHeldExposureOf, want) : nullptr;
}

// After a CopyArea that holds its exposures, only the main head's copy is
// the client's.
bool copyAreaHeld() { return currentLink && peekStashedData(currentLink, kCopyAreaStash); }

bool isMainHead(const Head* head) { return head && head == mainHeadOf(head->metaScreen); }

// --- Geometry of structure events ------------------------------------------------------------

void parentSize(u32 window, u32* width, u32* height) {
  u32 w = 0, h = 0, border = 0;
  if (!getWindowGeometry(window, &w, &h, &border, width, height)) *width = *height = 0;
}

void putGeometry(u8* event, u32 at, const WindowGeometry& g, u32 fields) {
  if (fields & 1) put16(event + at, u16(g.x));
  if (fields & 2) put16(event + at + 2, u16(g.y));
  if (fields & 4) put16(event + at + 4, u16(g.width));
  if (fields & 8) put16(event + at + 6, u16(g.height));
  if (fields & 16) put16(event + at + 8, u16(g.border));
}

// The report of the window's geometry at `at` (x, y, and with `fields` 31
// width, height and border) answered with a geometry the proxy gave the
// window that scales to it (readback.h); false when none does.
bool answerAsGiven(u8* event, const Head* head, u32 at, u32 window, u32 fields) {
  WindowGeometry reported{i16(get16(event + at)), i16(get16(event + at + 2)), 0, 0, 0};
  if (fields & 4) {
    reported.width = get16(event + at + 4);
    reported.height = get16(event + at + 6);
    reported.border = get16(event + at + 8);
  }
  WindowGeometry meta{};
  if (!findSentGeometry(head, lookupWindow(window), reported, fields, &meta)) return false;
  putGeometry(event, at, meta, fields);
  return true;
}

// x, y, width, height and border at the offsets: as the window was given
// them, else the outer corner through the head's scaler inside the parent,
// the border unscaled.
void unscaleOuterGeometry(u8* event, Head* head, u32 at, u32 window, u32 parentWidth, u32 parentHeight) {
  if (!head || !head->scaler || answerAsGiven(event, head, at, window, 31)) return;
  HeadScaler* scaler = head->scaler;
  i32 border = get16(event + at + 8);
  HeadRect area{i16(get16(event + at)) + border, i16(get16(event + at + 2)) + border, get16(event + at + 4),
                get16(event + at + 6)};
  unscaleGeometry(scaler, &area, parentWidth, parentHeight);
  i32 metaBorder = i32(unscaleLength(scaler, u32(border)));
  put16(event + at, u16(area.x - metaBorder));
  put16(event + at + 2, u16(area.y - metaBorder));
  put16(event + at + 4, u16(area.width));
  put16(event + at + 6, u16(area.height));
  put16(event + at + 8, u16(metaBorder));
}

// A position without a size (ReparentNotify, GravityNotify): as the window
// was given it, else with the window's own size and border from its
// attribute block, scaled to the head.
void unscalePosition(u8* event, Head* head, u32 at, u32 window, u32 parentWidth, u32 parentHeight) {
  if (!head || !head->scaler || answerAsGiven(event, head, at, window, 3)) return;
  HeadScaler* scaler = head->scaler;
  u32 width = 1, height = 1, border = 0, pw = 0, ph = 0;
  getWindowGeometry(window, &width, &height, &border, &pw, &ph);
  u16 w = u16(width), h = u16(height);
  scaleSize(scaler, &w, &h);
  i32 headBorder = i32(scaleBorderWidth(scaler, border));
  HeadRect area{i16(get16(event + at)) + headBorder, i16(get16(event + at + 2)) + headBorder, w, h};
  unscaleGeometry(scaler, &area, parentWidth, parentHeight);
  put16(event + at, u16(area.x - i32(border)));
  put16(event + at + 2, u16(area.y - i32(border)));
}

// The structure event counts only from the main head of the window at
// `sourceAt` (an unknown window drops it).
Head* structureSource(const u8* event, u32 sourceAt) {
  Head* head = headOf(get32(event + sourceAt));
  return isMainHead(head) ? head : nullptr;
}

void mapIds(u8* event, std::initializer_list<u32> offsets) {
  for (u32 at : offsets) put32(event + at, toClient(get32(event + at)));
}

// Ids at the offsets, then delivered, when the main head of the window at
// `sourceAt` sent it.
void passStructureEvent(u8* event, u32 sourceAt, std::initializer_list<u32> offsets) {
  if (passedUntranslated(event)) return;
  if (!structureSource(event, sourceAt)) return;
  mapIds(event, offsets);
  deliverEvent(event);
}

}  // namespace

// --- Exposures ---------------------------------------------------------------------------------

void EventExpose(u8* event) {
  if (passedUntranslated(event)) return;
  u32 serverWindow = get32(event + 4);
  Head* head = headOf(serverWindow);
  u32 window = toClient(serverWindow);
  put32(event + 4, window);
  unscaleExposure(event, head, window);
  if ((proxyConfig.options & kOptionTranslucent) && translucentExposeHook(currentLink, window)) return;
  // Every head exposes its part: the parts merge on the held entry into
  // one series.
  if (severalHeads(head)) holdingEntry(event, true);
  deliverEvent(event);
}

void EventGraphicsExpose(u8* event) {
  if (passedUntranslated(event)) return;
  u32 serverDrawable = get32(event + 4);
  Head* head = headOf(serverDrawable);
  u32 drawable = toClient(serverDrawable);
  put32(event + 4, drawable);
  unscaleExposure(event, head, drawable);
  if (severalHeads(head)) {
    if (copyAreaHeld()) {
      if (!isMainHead(head)) return;
    } else if (PendingRequest* entry = holdingEntry(event, false)) {
      if (HeldMessage* held = heldExposure(entry, NoExpose, event)) {
        LOGF(logChStep, "Replacing NoExpose event for %s...", clientNameText(currentClient));
        replaceHeldExposure(held, event, kGraphicsExposeLayout);
        return;
      }
    }
  }
  deliverEvent(event);
}

void EventNoExpose(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = headOf(get32(event + 4));
  if (!head) return;
  put32(event + 4, toClient(get32(event + 4)));
  if (severalHeads(head)) {
    if (copyAreaHeld()) {
      if (!isMainHead(head)) return;
    } else if (PendingRequest* entry = holdingEntry(event, false)) {
      if (heldExposure(entry, GraphicsExpose, event) || heldExposure(entry, NoExpose, event)) return;
    }
  }
  deliverEvent(event);
}

// --- Structure events ---------------------------------------------------------------------------

void EventCreateNotify(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 8);
  if (!head) return;
  mapIds(event, {4, 8});
  u32 width = 0, height = 0;
  parentSize(get32(event + 8), &width, &height);
  unscaleOuterGeometry(event, head, 12, get32(event + 8), width, height);
  deliverEvent(event);
}

void EventDestroyNotify(u8* event) { passStructureEvent(event, 8, {4, 8}); }
void EventUnmapNotify(u8* event) { passStructureEvent(event, 4, {4, 8}); }
void EventMapNotify(u8* event) { passStructureEvent(event, 4, {4, 8}); }

void EventMapRequest(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 8);
  if (!head) return;
  put32(event + 4, mapServerXidToClientByType(RT_WINDOW, get32(event + 4), head));
  put32(event + 8, mapServerXidToClientByType(RT_WINDOW, get32(event + 8), head));
  deliverEvent(event);
}

void EventReparentNotify(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 4);
  if (!head) return;
  mapIds(event, {4, 8, 12});
  u32 width = 0, height = 0, border = 0, pw = 0, ph = 0;
  if (!getWindowGeometry(get32(event + 12), &width, &height, &border, &pw, &ph)) width = height = 0;
  unscalePosition(event, head, 16, get32(event + 8), width, height);
  deliverEvent(event);
}

void EventConfigureNotify(u8* event) {
  if (passedUntranslated(event)) return;
  // The translucency markers are the proxy's own windows: no head claims them.
  if (proxyConfig.options & kOptionTranslucent) {
    if (translucentConfigureNotifyHook(currentLink, get32(event + 8), get32(event + 4), i16(get16(event + 16)),
                                       i16(get16(event + 18)), get16(event + 20), get16(event + 22)))
      return;
  }
  Head* head = structureSource(event, 4);
  if (!head) return;
  mapIds(event, {4, 8, 12});
  // A head's copy of the meta root moves and resizes with the head: the
  // root's own changes are told by the proxy (with its screen's new size).
  const ProxyWindow* configured = lookupWindow(get32(event + 8));
  if (configured && !configured->parent) return;
  u32 width = 0, height = 0;
  parentSize(get32(event + 8), &width, &height);
  unscaleOuterGeometry(event, head, 16, get32(event + 8), width, height);
  deliverEvent(event);
}

void EventConfigureRequest(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 8);
  if (!head) return;
  mapIds(event, {4, 8, 12});
  u32 window = get32(event + 8);
  if (head->scaler) {
    // A zoomed or turned head's copy of the request named every geometry
    // value, scaled: the client gets the mask and the values its own
    // request had.
    u16 mask = get16(event + 26);
    WindowGeometry asked{};
    if (takeConfigureNote(currentClient, window, &mask, &asked)) {
      putGeometry(event, 16, asked, 31);
    } else {
      PALVON_UNE();
      mask = 0;
      u32 width = 0, height = 0;
      parentSize(window, &width, &height);
      unscaleOuterGeometry(event, head, 16, window, width, height);
    }
    put16(event + 26, mask);
  }
  adjustConfigureRequestPosition(event);
  deliverEvent(event);
}

void EventGravityNotify(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 4);
  if (!head) return;
  mapIds(event, {4, 8});
  u32 width = 0, height = 0;
  parentSize(get32(event + 8), &width, &height);
  unscalePosition(event, head, 12, get32(event + 8), width, height);
  deliverEvent(event);
}

void EventResizeRequest(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = structureSource(event, 4);
  if (!head) return;
  mapIds(event, {4});
  if (head->scaler) {
    u16 width = get16(event + 8), height = get16(event + 10);
    unscaleSize(head->scaler, &width, &height);
    put16(event + 8, width);
    put16(event + 10, height);
  }
  deliverEvent(event);
}

void EventCirculateNotify(u8* event) { passStructureEvent(event, 4, {4, 8, 12}); }
void EventCirculateRequest(u8* event) { passStructureEvent(event, 4, {4, 8, 12}); }

// --- Properties, selections, colormaps ------------------------------------------------------------

void EventPropertyNotify(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = headOf(get32(event + 4));
  // A stand-in the proxy made on its own connection (for a root window)
  // belongs to no head by its id.
  if (!head && atomDisplay && linkServer() == atomDisplay) head = atomDisplay->firstHead;
  // Properties live on the atom server only; without one the screen's
  // main head speaks for them.
  bool propertyHead = head && (atomDisplay ? head->serverDisplay == atomDisplay : isMainHead(head));
  if (!propertyHead) return;
  ServerDisplay* server = linkServer();
  put32(event + 4, findWindowByPropertyWindow(get32(event + 4), server));
  put32(event + 12, translateServerTimestamp(get32(event + 12), server));
  deliverEvent(event);
}

namespace {

void passSelectionEvent(u8* event, std::initializer_list<u32> windows) {
  if (passedUntranslated(event)) return;
  ServerDisplay* server = linkServer();
  for (u32 at : windows) put32(event + at, findWindowByPropertyWindow(get32(event + at), server));
  put32(event + 4, translateServerTimestamp(get32(event + 4), server));
  deliverEvent(event);
}

}  // namespace

void EventSelectionClear(u8* event) { passSelectionEvent(event, {8}); }
void EventSelectionRequest(u8* event) { passSelectionEvent(event, {8, 12}); }
void EventSelectionNotify(u8* event) { passSelectionEvent(event, {8}); }

void EventColormapNotify(u8* event) {
  if (passedUntranslated(event)) return;
  Head* head = headOf(get32(event + 4));
  if (!head || !head->metaScreen) return;
  Head* colorHead = head->metaScreen->colorHead ? head->metaScreen->colorHead : mainHeadOf(head->metaScreen);
  if (head != colorHead) return;
  put32(event + 4, mapServerXidToClientByType(RT_WINDOW, get32(event + 4), head));
  put32(event + 8, mapServerXidToClientByType(RT_COLORMAP, get32(event + 8), head));
  deliverEvent(event);
}

void EventClientMessage(u8* event) { deliverEvent(event); }

void EventMappingNotify(u8* event) {
  if (passedUntranslated(event)) return;
  ServerDisplay* server = linkServer();
  if (!currentClient || !currentClient->transport) return;
  if (inputControlDisplay && server != inputControlDisplay) return;
  if (event[4] == MappingKeyboard && server) event[5] = u8(headToMetaKeycode(kXrcKeyboard, event[5], server));
  deliverEvent(event);
}

}  // namespace palvon
