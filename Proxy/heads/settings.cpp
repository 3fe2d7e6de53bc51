// Applying a head's settings: each setting of the value mask in a fixed
// order, checked against the head's state and the proxy's phase; then the
// proxy's windows on the real server follow the new geometry.
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/files.h"
#include "Proxy/config/parser.h"
#include "Proxy/heads/geometry.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/selections.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/resources/windowtree.h"
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

constexpr u32 kDirectionMax = 5;
// Tags that name roles or display flags: computed, never stored in the head.
constexpr u32 kRoleTagBits = kHeadTagAtom | kHeadTagColor | kHeadTagFont | kHeadTagImage | kHeadTagGlx |
                             kHeadTagTime | kHeadTagInputControl | kHeadTagServerFonts | kTagSelectionSync |
                             kTagRefreshSelectionSync | kHeadTagByteSwap;

u32 optimizedDrawHeads;

bool atRunTime(const Head* head) { return head->rootWindow != 0; }
bool tavelSet() { return (proxyConfig.options & kOptionTavel) != 0; }

const char* optionNotEnabled(const char* option) {
  return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                   getProductName(), option);
}

bool isFirstHeadOf(const Head* head, const ServerDisplay* server) {
  return server && head->serverDisplay == server && server->firstHead == head;
}

ServerLink* linkOfHead(ProxyClient* client, const Head* head) {
  if (!client || head->serverIndex >= client->linkCount) return nullptr;
  return client->links[head->serverIndex];
}

i16 clampToI16(i64 v) { return i16(std::clamp<i64>(v, INT16_MIN, INT16_MAX)); }
u16 clampToU16(i64 v) { return u16(std::clamp<i64>(v, 1, UINT16_MAX)); }

// Moves (and resizes) a window through the client's link or the proxy's own
// connection.
void configureHeadWindow(ProxyClient* client, Head* head, Window window, i64 x, i64 y, i64 width, i64 height,
                         bool moveOnly) {
  if (!window) return;
  if (ServerLink* link = linkOfHead(client, head)) {
    u32 values[4] = {u32(i32(clampToI16(x))), u32(i32(clampToI16(y))), clampToU16(width), clampToU16(height)};
    xprotoConfigureWindow(&link->writer, u32(window), moveOnly ? 0x3 : 0xf, values);
    return;
  }
  if (moveOnly) XfsMoveWindow(head->display, window, clampToI16(x), clampToI16(y));
  else XfsMoveResizeWindow(head->display, window, clampToI16(x), clampToI16(y), clampToU16(width), clampToU16(height));
}

// One call: the head, what was asked and what changed. The steps run
// twice: first on a copy of the head (trial), where they only refuse and
// change the copy, so that a refusal finds the head as it was; then on the
// head itself, where only a server or the memory can still fail.
struct Apply {
  ProxyClient* client;
  Head* head;
  u32 mask;   // grows when one setting implies others
  u32 asked;  // the mask as given
  const HeadSettings* s;
  u32 changed;
  bool geometry;
  bool trial;
  const Head* self;  // the head itself (in a trial, head is its copy)
  bool colorChosen;  // a trial's tag change made the head the colour head
};

// --- Name, placement, border, clip ---------------------------------------------------

const char* applyName(Apply& a) {
  if (a.trial || !(a.mask & kHeadGivenName) || !a.s->name || strcmp(a.s->name, a.head->name) == 0) return nullptr;
  strCopy(a.head->name, a.s->name, kHeadNameMax + 1);
  a.changed |= kHeadGivenName;
  return setInWindowHeadTitle(a.head);
}

const char* applyDirection(Apply& a) {
  Head* head = a.head;
  if ((a.mask & kHeadGivenPlacement) && a.s->placement != head->direction) {
    u32 direction = a.s->placement;
    if (direction > kDirectionMax) return tmpPrintf("Invalid direction %d for screen %s", i32(direction), head->name);
    if (direction && !(a.mask & kHeadGivenReference))
      return tmpPrintf("Specified direction %d for screen %s but no relativeTo screen given", i32(direction),
                       head->name);
    head->direction = direction;
    if (!direction) head->relativeHead = nullptr;
    a.mask |= kHeadGivenOffsetX | kHeadGivenOffsetY;
    a.changed |= kHeadGivenPlacement;
    a.geometry = true;
  }
  if ((a.mask & kHeadGivenReference) && head->direction) {
    Head* other = nullptr;
    if (a.s->relativeTo) {
      other = static_cast<Head*>(lookupResourceByType(a.s->relativeTo, RT_HEAD));
      if (!other) return tmpPrintf("Invalid relativeTo xid 0x%x for %s", a.s->relativeTo, head->name);
      if (other == a.self) return tmpPrintf("Cyclic relative positioning for %s", head->name);
    } else {
      head->direction = 0;
    }
    if (other != head->relativeHead) a.changed |= kHeadGivenReference, a.geometry = true;
    head->relativeHead = other;
  }
  // Offsets the direction change added to the mask count as 0.
  for (int axis = 0; axis < 2; axis++) {
    u32 bit = axis ? kHeadGivenOffsetY : kHeadGivenOffsetX;
    if (!(a.mask & bit)) continue;
    i32 value = (a.asked & bit) ? (axis ? a.s->offsetY : a.s->offsetX) : 0;
    i32& stored = axis ? head->relativeOffsetY : head->relativeOffsetX;
    if (stored != value) stored = value, a.changed |= bit;
  }
  return nullptr;
}

const char* applyBorder(Apply& a) {
  if (!(a.mask & kHeadGivenBorderWidth)) return nullptr;
  Head* head = a.head;
  i32 old = head->borderWidth;
  // A border as wide as half the screen's shorter side leaves nothing to
  // show (the head would shrink to a pixel).
  // (A width other than -1 is taken as unsigned, as computeHeadBorder does.)
  u64 border = u32(a.s->borderWidth);
  if (a.s->borderWidth != -1 && head->width && head->height && 2 * border >= std::min(head->width, head->height))
    return tmpPrintf("Invalid borderWidth %d for screen %s - It leaves no room on the screen", a.s->borderWidth,
                     head->name);
  if (!computeHeadBorder(head, a.s->borderWidth)) return nullptr;
  a.changed |= kHeadGivenBorderWidth;
  // A clip that nobody placed stands just inside the border it was opened
  // with (a server added at run time gets the automatic one): it moves with
  // the border, else the head would show the meta screen off by the old
  // border and lose as much at the far edges.
  for (u32 bit : {kHeadGivenPhysicalX, kHeadGivenPhysicalY}) {
    i32& position = bit == kHeadGivenPhysicalX ? head->clip.x : head->clip.y;
    if ((a.mask & bit) || (head->given & bit) || position != old) continue;
    position = head->borderWidth;
    a.changed |= bit;
  }
  return nullptr;
}

const char* applyClipAxis(Apply& a, bool vertical) {
  Head* head = a.head;
  u32 posBit = vertical ? kHeadGivenPhysicalY : kHeadGivenPhysicalX;
  u32 sizeBit = vertical ? kHeadGivenPhysicalHeight : kHeadGivenPhysicalWidth;
  if (!(a.mask & (posBit | sizeBit))) return nullptr;
  ClipAxisInput in{};
  in.screen = i32(vertical ? head->height : head->width);
  in.border = head->borderWidth;
  in.borderInMask = (a.mask & kHeadGivenBorderWidth) != 0;
  in.posGiven = (a.mask & posBit) != 0;
  in.sizeGiven = (a.mask & sizeBit) != 0;
  in.position = vertical ? a.s->physicalY : a.s->physicalX;
  in.size = vertical ? a.s->physicalHeight : a.s->physicalWidth;
  in.currentPosition = vertical ? head->clip.y : head->clip.x;
  in.currentSize = vertical ? head->clip.height : head->clip.width;
  in.inWindow = head->inWindow;
  in.screenUnknown = !head->display;
  ClipAxisResult out{};
  if (!computeClipAxis(in, &out)) {
    if (out.refusal == ClipRefusal::kPastTheEdge)
      return tmpPrintf("Invalid %s %d for screen %s - It lies past the edge of the screen (%d pixels)",
                       vertical ? "displayY" : "displayX", in.position, head->name, in.screen);
    if (out.refusal == ClipRefusal::kLargerThanTheScreen)
      return tmpPrintf("Invalid %s %d for screen %s - It is larger than the screen (%d pixels)",
                       vertical ? "displayHeight" : "displayWidth", in.size, head->name, in.screen);
    return tmpPrintf("Invalid %s %d for screen %s - It leaves no room on the screen",
                     vertical ? "displayHeight" : "displayWidth", in.size, head->name);
  }
  bool moved = out.position != in.currentPosition;
  bool resized = std::max(out.size, 1) != in.currentSize;
  if ((moved || resized) && (head->tags & kHeadTagStaticDisplay) && clientCount) {
    return vertical ? tmpPrintf("Can't move or resize screen '%s' with tag StaticDisplay set", head->name)
                    : tmpPrintf("Can't move or resize screen %s: with tag StaticDisplay set", head->name);
  }
  if (out.sizeFromScreen) head->given &= ~sizeBit;
  if (moved) {
    (vertical ? head->clip.y : head->clip.x) = out.position;
    a.changed |= posBit;
  }
  if (resized) {
    if (vertical) setHeadClipHeight(head, out.size);
    else setHeadClipWidth(head, out.size);
    a.changed |= sizeBit;
    if (!tavelSet()) {
      (vertical ? head->logical.height : head->logical.width) = vertical ? head->clip.height : head->clip.width;
      a.changed |= vertical ? kHeadGivenLogicalHeight : kHeadGivenLogicalWidth;
      a.geometry = true;
    }
  }
  return nullptr;
}

// --- Logical position --------------------------------------------------------------------

void applyLogicalAxis(Apply& a, bool vertical) {
  Head* head = a.head;
  u32 absoluteBit = vertical ? kHeadGivenLogicalY : kHeadGivenLogicalX;
  u32 offsetBit = vertical ? kHeadGivenOffsetY : kHeadGivenOffsetX;
  bool absolute = (a.mask & absoluteBit) != 0;
  bool relative = !absolute && (a.mask & offsetBit) && head->direction && head->relativeHead;
  if (!absolute && !relative) return;
  i32 value;
  if (absolute) {
    value = vertical ? a.s->logicalY : a.s->logicalX;
  } else {
    i32 x, y;
    placeAgainstHead(head->direction, head->relativeHead->logical, head->logical.width, head->logical.height,
                     head->relativeOffsetX, head->relativeOffsetY, &x, &y);
    value = vertical ? y : x;
  }
  MetaScreen* screen = head->metaScreen;
  if (screen && !isMetaScreenResizable(screen)) {
    i32 extent = vertical ? head->logical.height : head->logical.width;
    u32 screenExtent = vertical ? screen->height : screen->width;
    i32 clipped = value;
    if (clipped < 0) clipped = 0;
    // Logical positions count from the meta screen's own origin.
    if (screenExtent && i64(clipped) + extent > i64(screenExtent)) clipped = i32(screenExtent) - extent;
    if (clipped != value) {
      if (!a.trial) logStepf(vertical ? "Clipped logical y to %d..." : "Clipped logical x to %d...", clipped);
      value = clipped;
    }
  }
  if (absolute) {
    head->direction = 0;
    head->relativeHead = nullptr;
  }
  i32& stored = vertical ? head->logical.y : head->logical.x;
  if (stored != value) {
    stored = value;
    a.changed |= absoluteBit;
    a.geometry = true;
  }
}

// --- Pointer -----------------------------------------------------------------------------

bool pointerZoomChanges(const Apply& a) {
  return (a.mask & kHeadGivenPointerZoom) &&
         (a.head->zoomX != a.s->pointerZoomX || a.head->zoomY != a.s->pointerZoomY);
}

const char* applyPointer(Apply& a) {
  Head* head = a.head;
  const HeadSettings* s = a.s;
  if (a.trial) {
    if (!pointerZoomChanges(a)) return nullptr;
    if (head->metaScreen && clientCount) return tmpPrintf("Can't change pointer scaling of %s at runtime", head->name);
    // A head placed later makes its cursor then: its server must show it.
    return checkHeadCursorZoom(head, s->pointerZoomX, s->pointerZoomY);
  }
  if (a.mask & kHeadGivenPointer) {
    u8 hidden = s->pointer ? 0 : 1;
    if (hidden != head->pointerHidden) {
      head->pointerHidden = hidden;
      a.changed |= kHeadGivenPointer;
      recomputeOverlappingHeads();
      if (hidden && head->display && head->cursorWindow) {
        if (isDisplayOffline(head->display)) return displayOfflineText(head->display);
        if (const char* error = xrcSetBlankCursor(head->display, int(head->screen), head->cursorWindow, kXrcMouse))
          return error;
      }
    }
  }
  struct Flag {
    u32 bit;
    u8* field;
    u8 value;
  };
  const Flag flags[] = {
      {kHeadGivenAllowEnter, &head->noEntry, u8(s->allowEnter ? 0 : 1)},
      {kHeadGivenPointerSync, &head->pointerSync, s->pointerSync},
      {kHeadGivenWrapX, &head->wrapX, s->wrapX},
      {kHeadGivenWrapY, &head->wrapY, s->wrapY},
  };
  for (const Flag& flag : flags) {
    if ((a.mask & flag.bit) && *flag.field != flag.value) *flag.field = flag.value, a.changed |= flag.bit;
  }
  if ((a.mask & kHeadGivenPointerSampleRate) && head->pointerSampleRate != s->pointerSampleRate) {
    head->pointerSampleRate = s->pointerSampleRate;
    a.changed |= kHeadGivenPointerSampleRate;
  }
  if (pointerZoomChanges(a)) {
    head->zoomX = s->pointerZoomX, head->zoomY = s->pointerZoomY;
    a.changed |= kHeadGivenPointerZoom;
  }
  return nullptr;
}

// --- Tags ----------------------------------------------------------------------------------

// The checks a tag change passes before its action, in this order.
enum TagCheck : u8 {
  kNotAtRuntime = 0x1,
  kMustBeStatic = 0x2,  // an in-window head needs the tag static
  kNeedsServer = 0x4,
  kMustBeInWindow = 0x8,
};

// The refusal returns the reason a change is refused, or null; it reads
// only the head (the trial's copy) and changes nothing. The action makes
// the change and returns null, or what failed on the way.
using TagRefusal = const char* (*)(const Apply& a, bool set);
using TagAction = const char* (*)(Apply& a, u32 bit, bool set);

struct TagRule {
  u32 bit;
  const char* word;  // as the error names it
  bool onSetOnly;    // clearing is accepted without action
  u8 checks;
  TagAction action;
  TagRefusal refuse = nullptr;
};

void storeTag(Head* head, u32 bit, bool set) {
  if (set) head->tags |= bit;
  else head->tags &= ~bit;
}

const char* tagAtom(Apply& a, u32, bool) {
  atomDisplay = a.head->serverDisplay;
  return nullptr;
}
const char* tagTime(Apply& a, u32, bool) {
  timeDisplay = a.head->serverDisplay;
  return nullptr;
}
const char* tagFont(Apply& a, u32, bool) {
  fontDisplay = a.head->serverDisplay;
  return nullptr;
}
const char* tagGlx(Apply& a, u32, bool) {
  if (a.head->metaScreen) a.head->metaScreen->tag40Head = a.head;
  return nullptr;
}
const char* tagImage(Apply& a, u32, bool) {
  setImageDisplay(a.head->serverDisplay);
  return nullptr;
}
const char* tagServerFonts(Apply& a, u32, bool set) {
  a.head->serverDisplay->serverFonts = set;
  return nullptr;
}
const char* tagStore(Apply& a, u32 bit, bool set) {
  storeTag(a.head, bit, set);
  return nullptr;
}
const char* tagIconify(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagIconify, set);
  Head* head = a.head;
  if (atRunTime(head) && head->window && !requestWMState(head->display, int(head->screen), head->window, set))
    LOGF(logChWarning, "Can't iconify/deiconify window %s", head->name);
  return nullptr;
}
const char* tagKeepOnTop(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagKeepOnTop, set);
  updateHeadStacking(a.head);
  return nullptr;
}
const char* tagKeepBelow(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagKeepBelow, set);
  updateHeadStacking(a.head);
  return nullptr;
}
const char* tagOptimizedDraw(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagOptimizedDraw, set);
  if (set) optimizedDrawHeads++;
  else if (optimizedDrawHeads) optimizedDrawHeads--;
  return nullptr;
}
const char* tagOverlay(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagOverlay, set);
  if (set) a.head->tags |= kHeadTagNotManaged;
  return nullptr;
}
const char* tagColor(Apply& a, u32, bool) {
  if (a.head->metaScreen) a.head->metaScreen->colorHead = a.head;
  return nullptr;
}
const char* tagStatic(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagStatic, set);
  if (a.head->serverDisplay) armOfflineTimeout(a.head->serverDisplay);
  return nullptr;
}
const char* tagSloppyVisuals(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagSloppyVisuals, set);
  return nullptr;
}
const char* tagProbeOnly(Apply& a, u32, bool set) {
  storeTag(a.head, kHeadTagProbeOnly, set);
  return nullptr;
}
const char* tagRefresh(Apply& a, u32, bool set) {
  a.head->serverDisplay->selectionRefresh = set;
  return nullptr;
}
const char* tagSelectionSync(Apply& a, u32, bool set) {
  ServerDisplay* servers[2] = {a.head->serverDisplay, atomDisplay};
  for (ServerDisplay* server : servers) {
    if (!server || bool(server->selectionSync) == set) continue;
    if (set) {
      if (const char* error = startSelectionSync(server, server->selectionRefresh)) return error;
      server->selectionSync = 1;
    } else {
      stopSelectionSync(server);
      server->selectionSync = 0;
    }
  }
  return nullptr;
}
const char* tagByteSwap(Apply& a, u32 bit, bool set) {
  ServerDisplay* server = a.head->serverDisplay;
  if (!server) return tagStore(a, bit, set);
  if (set) {
    LOGF(logChInfo, "Enabling byte-swapping to %s ...", server->displayName);
    server->byteOrderDiffers = 1;
  }
  return nullptr;
}

const char* refuseKeepOnTop(const Apply& a, bool set) {
  return set && (a.head->tags & kHeadTagKeepBelow) ? "keepBelow already set" : nullptr;
}
const char* refuseKeepBelow(const Apply& a, bool set) {
  return set && (a.head->tags & kHeadTagKeepOnTop) ? "keepOnTop already set" : nullptr;
}
const char* refuseColor(const Apply& a, bool) {
  if (a.head->tags & kHeadTagSloppyVisuals) return "has tag 'sloppyVisuals'";
  return a.head->serverDisplay ? nullptr : "no X-server";
}
const char* refuseSloppyVisuals(const Apply& a, bool) {
  const MetaScreen* screen = a.head->metaScreen;
  return screen && (a.colorChosen || screen->colorHead == a.self) ? "has tag 'color'" : nullptr;
}
const char* refuseProbeOnly(const Apply&, bool set) {
  return set && !(proxyConfig.options & kOptionDynamicServer) ? optionNotEnabled("DynamicServer") : nullptr;
}
const char* refuseByteSwap(const Apply& a, bool) {
  return a.head->serverDisplay && atRunTime(a.head) ? "not at runtime" : nullptr;
}

// In the order the changes are made; a tag without a row is stored.
constexpr TagRule kTagRules[] = {
    {kHeadTagAtom, "atom", true, kNotAtRuntime | kMustBeStatic | kNeedsServer, tagAtom},
    {kHeadTagTime, "time", true, kNotAtRuntime | kNeedsServer, tagTime},
    {kHeadTagFont, "font", true, kNotAtRuntime | kMustBeStatic | kNeedsServer, tagFont},
    {kHeadTagGlx, "glx", true, 0, tagGlx},
    {kHeadTagImage, "image", true, kNotAtRuntime | kNeedsServer, tagImage},
    {kHeadTagServerFonts, "serverFonts", false, kNotAtRuntime | kNeedsServer, tagServerFonts},
    {kTagZoomedFonts, "zoomedFonts", false, 0, tagStore},
    {kHeadTagIconify, "iconify", false, kMustBeInWindow, tagIconify},
    {kHeadTagNotManaged, "notManaged", false, kNotAtRuntime | kMustBeInWindow, tagStore},
    {kHeadTagKeepOnTop, "keepOnTop", false, 0, tagKeepOnTop, refuseKeepOnTop},
    {kHeadTagKeepBelow, "keepBelow", false, 0, tagKeepBelow, refuseKeepBelow},
    {kHeadTagOptimizedDraw, "optimizedDraw", false, 0, tagOptimizedDraw},
    {kHeadTagOverlay, "overlay", false, kNotAtRuntime | kMustBeInWindow, tagOverlay},
    {kHeadTagColor, "color", true, kNotAtRuntime, tagColor, refuseColor},
    {kHeadTagStatic, "static", false, kNotAtRuntime, tagStatic},
    {kHeadTagSloppyVisuals, "sloppyVisuals", false, kNotAtRuntime, tagSloppyVisuals, refuseSloppyVisuals},
    {kHeadTagSloppyDepths, "sloppyDepths", false, kNotAtRuntime, tagStore},
    {kHeadTagStaticDisplay, "staticDisplay", false, kNotAtRuntime, tagStore},
    {kHeadTagProbeOnly, "probeOnly", false, 0, tagProbeOnly, refuseProbeOnly},
    {kTagRefreshSelectionSync, "selectionSyncRefresh", false, kNeedsServer, tagRefresh},
    {kTagSelectionSync, "selectionSync", false, kMustBeInWindow, tagSelectionSync},
    {kHeadTagBuggyRandr, "buggyRANDR", false, 0, tagStore},
    {kHeadTagByteSwap, "ByteSwapToXServer", false, 0, tagByteSwap, refuseByteSwap},
};

const char* tagCheckReason(const Apply& a, u8 checks) {
  const Head* head = a.head;
  if ((checks & kNotAtRuntime) && atRunTime(head)) return "not at runtime";
  if ((checks & kMustBeStatic) && head->inWindow && !(head->tags & kHeadTagStatic)) return "must be static";
  if ((checks & kNeedsServer) && !head->serverDisplay) return "no X-server";
  if ((checks & kMustBeInWindow) && !head->inWindow) return "must be inWindow";
  return nullptr;
}

const char* applyTags(Apply& a) {
  if (!(a.mask & kHeadGivenTags)) return nullptr;
  u32 wanted = a.s->tags;
  // The roles are the head's own, found by its address.
  u32 differ = (wanted ^ getHeadTags(a.self)) & ~kHeadTagInputControl;
  if (!differ) return nullptr;
  for (const TagRule& rule : kTagRules) {
    if (!(differ & rule.bit)) continue;
    differ &= ~rule.bit;
    bool set = (wanted & rule.bit) != 0;
    if (rule.onSetOnly && !set) continue;
    const char* reason = tagCheckReason(a, rule.checks);
    if (!reason && rule.refuse) reason = rule.refuse(a, set);
    if (!reason && a.trial) {
      // The later rules see what this one would leave.
      storeTag(a.head, rule.bit, set);
      a.colorChosen = a.colorChosen || (rule.bit == kHeadTagColor && set);
    } else if (!reason) {
      reason = rule.action(a, rule.bit, set);
    }
    if (reason) return tmpPrintf("Can't change tag '%s' on %s: %s", rule.word, a.head->name, reason);
    a.changed |= kHeadGivenTags;
  }
  // Tags without a rule (cooperative, anyScreen) are only stored.
  differ &= ~kRoleTagBits;
  if (differ) {
    a.head->tags = (a.head->tags & ~differ) | (wanted & differ);
    a.changed |= kHeadGivenTags;
  }
  return nullptr;
}

// --- Keyboard map, rotation, logical size ----------------------------------------------

const char* applyKeyboardMap(Apply& a) {
  ServerDisplay* server = a.head->serverDisplay;
  if (a.trial || !(a.mask & kHeadGivenKeyboardMapping) || !server) return nullptr;
  const char* text = a.s->keyboardMapping;
  char* copy = nullptr;
  if (text && !(copy = memStrdup(text))) return PALVON_OOM();
  free(server->keyboardMapText);
  server->keyboardMapText = copy;
  a.changed |= kHeadGivenKeyboardMapping;
  if (clientCount || !copy || !*copy) return nullptr;
  if (const char* error = runKeyboardMapTool(server)) return error;
  return saveKeyboardAndPointer(server);
}

const char* applyRotation(Apply& a) {
  Head* head = a.head;
  if (!(a.mask & kHeadGivenRotation)) return nullptr;
  int quarters = 0;
  if (!degreesToQuarterTurns(int(a.s->rotation), &quarters))
    return "Screen rotation must be a multiple of 0, 90, 180 or 270";
  u8 pointerRotation = quarters && !a.s->rotateWithoutPointer;
  if (u32(quarters) != head->rotation) {
    if (head->metaScreen && clientCount) return tmpPrintf("Can't rotate content of head %s at runtime", head->name);
    if (quarters && !tavelSet()) return optionNotEnabled("Tavel");
    if ((u32(quarters) ^ head->rotation) & 1) std::swap(head->logical.width, head->logical.height);
    head->rotation = u32(quarters);
    a.changed |= kHeadGivenRotation;
    a.geometry = true;
  }
  if (pointerRotation != head->pointerRotation) {
    head->pointerRotation = pointerRotation;
    a.changed |= kHeadGivenRotation;
    Head* holder = pointerHead();
    if (!a.trial && pointerRotation && holder == head && head->serverDisplay == inputControlDisplay)
      beginPointerRotation(head);
  }
  return nullptr;
}

const char* applyLogicalSize(Apply& a, bool vertical) {
  Head* head = a.head;
  u32 bit = vertical ? kHeadGivenLogicalHeight : kHeadGivenLogicalWidth;
  if (!(a.mask & bit)) return nullptr;
  u32 clipBit = vertical ? kHeadGivenPhysicalHeight : kHeadGivenPhysicalWidth;
  bool turned = head->rotation & 1;
  i32 value = vertical ? a.s->logicalHeight : a.s->logicalWidth;
  if (value <= 0) value = (vertical != turned) ? head->clip.height : head->clip.width;
  i32& stored = vertical ? head->logical.height : head->logical.width;
  if (value != stored && clientCount && head->metaScreen && !head->inWindow)
    return tmpPrintf(vertical ? "Can't change logical height of %s to %d at runtime"
                              : "Can't change logical width of %s to %d at runtime",
                     head->name, value);
  if (value != stored) stored = value, a.changed |= bit, a.geometry = true;
  if (tavelSet()) return nullptr;
  // Without zoom the head shows its logical size one to one.
  bool clipFixed = (a.changed & clipBit) || (head->given & clipBit);
  i32 clipSize = vertical ? head->clip.height : head->clip.width;
  if (!clipFixed) {
    if (clipSize != stored) {
      if (vertical) setHeadClipHeight(head, stored);
      else setHeadClipWidth(head, stored);
      a.changed |= clipBit;
    }
  } else if (stored != clipSize) {
    stored = clipSize;
    a.changed |= bit;
    a.geometry = true;
  }
  return nullptr;
}

// --- Meta screen, input, follow-pointer -------------------------------------------------

const char* applyMetaScreen(Apply& a) {
  if (!(a.mask & kHeadGivenMetaScreen) || !clientCount) return nullptr;
  Head* head = a.head;
  MetaScreen* target = findMetaScreen(u32(a.s->metaScreenNumber));
  if (!target || a.s->metaScreenNumber < 0) return tmpPrintf("No meta screen %d", a.s->metaScreenNumber);
  if (a.trial) return nullptr;
  HeadRect logical = head->logical;
  if (!isMetaScreenResizable(target) && target->width && target->height) {
    logical.width = std::min(logical.width, i32(target->width));
    logical.height = std::min(logical.height, i32(target->height));
    logical.x = std::clamp(logical.x, 0, i32(target->width) - logical.width);
    logical.y = std::clamp(logical.y, 0, i32(target->height) - logical.height);
  }
  if (!tavelSet()) {
    if (head->clip.width > logical.width) setHeadClipWidth(head, logical.width);
    if (head->clip.height > logical.height) setHeadClipHeight(head, logical.height);
  }
  if (target == head->metaScreen) {
    head->logical = logical;
    return nullptr;
  }
  // A head made outside every meta screen (a server added at run time)
  // joins as it is.
  if (!head->metaScreen) {
    head->logical = logical;
    a.changed |= kHeadGivenMetaScreen;
    return addServerToScreen(head, target, a.client);
  }
  ServerDisplay* server = head->serverDisplay;
  HeadOpenRequest request{};
  char name[kHeadNameMax + 1];
  strCopy(name, head->configuredDisplay[0] ? head->configuredDisplay : head->name, sizeof name);
  request.name = name;
  request.inWindow = head->inWindow;
  request.connectTimeoutMs = server ? server->connectTimeoutMs : 0;
  request.offlineTimeoutMs = server ? u32(server->offlineTimeoutMs) : 0;
  request.priority = server ? server->priority : 0;
  request.defencePriority = server ? server->defencePriority : 0;
  request.border = head->borderWidth;
  if (const char* error = removeServerFromScreen(head, false)) return error;
  a.head = nullptr;
  u32 status = 0;
  const char* error = nullptr;
  Head* fresh = initHead(request, &status, &error);
  if (!fresh) return error;
  fresh->logical = logical;
  a.head = fresh;
  a.changed |= kHeadGivenMetaScreen;
  return addServerToScreen(fresh, target, a.client);
}

const char* applyInputAndFollow(Apply& a) {
  Head* head = a.head;
  const HeadSettings* s = a.s;
  if (a.trial) {
    if (!(a.mask & (kHeadGivenFollowPointerX | kHeadGivenFollowPointerY))) return nullptr;
    i32 x = (a.mask & kHeadGivenFollowPointerX) ? s->followPointerX : head->panOffsetX;
    i32 y = (a.mask & kHeadGivenFollowPointerY) ? s->followPointerY : head->panOffsetY;
    return x != head->panOffsetX || y != head->panOffsetY ? panOffsetRefusal(head, x, y) : nullptr;
  }
  if ((a.mask & kHeadGivenInput) && s->input && head->serverDisplay && head->serverDisplay != inputControlDisplay) {
    if (a.client) {
      if (const char* error = syncClientLinks(a.client)) return error;
    }
    if (const char* error = switchInputControl(kXrcMouse, head->serverDisplay, 1)) return error;
    a.changed |= kHeadGivenInput;
  }
  if (a.mask & kHeadGivenClickTransfer) {
    if (head->clickTransfer != s->clickTransfer) a.changed |= kHeadGivenClickTransfer;
    head->clickTransfer = s->clickTransfer;
    refreshHeadCursor(head);
  }
  if (a.mask & (kHeadGivenFollowPointerX | kHeadGivenFollowPointerY)) {
    i32 x = (a.mask & kHeadGivenFollowPointerX) ? s->followPointerX : head->panOffsetX;
    i32 y = (a.mask & kHeadGivenFollowPointerY) ? s->followPointerY : head->panOffsetY;
    if (x != head->panOffsetX || y != head->panOffsetY) {
      if (const char* error = setHeadPanOffset(head, x, y)) return error;
      a.changed |= a.mask & (kHeadGivenFollowPointerX | kHeadGivenFollowPointerY);
    }
  }
  if (a.mask & kHeadGivenFollowPointerFlags) {
    u32 modifiers = s->followPointerFlags & 0xff;
    u8 jump = (s->followPointerFlags & kFollowPointerJump) ? 1 : 0;
    if (modifiers != head->panModifiers || jump != head->panJump) a.changed |= kHeadGivenFollowPointerFlags;
    head->panModifiers = modifiers;
    head->panJump = jump;
  }
  return nullptr;
}

// --- Ranges -------------------------------------------------------------------------------

bool zoomInRange(double zoom) { return zoom > 0 && zoom <= kPointerZoomMax; }

// Every number of the mask within the range its statement gives it, and the
// pointer zoom within what the coordinates hold: a client's value is held to
// what the configuration may say. Checked before anything changes.
const char* checkValueRanges(const Head* head, u32 mask, const HeadSettings* s) {
  for (u32 bits = mask; bits; bits &= bits - 1) {
    HeadSettingRange range;
    if (!headSettingRange(bits & (~bits + 1), &range)) continue;
    i32 value;
    memcpy(&value, reinterpret_cast<const char*>(s) + range.offset, sizeof value);
    if (value < range.low || value > range.high)
      return tmpPrintf("Invalid %s %d for screen %s - It must lie between %d and %d", range.keyword, value,
                       head->name, range.low, range.high);
  }
  // A head placed where its far edge leaves the coordinates would make a
  // meta screen that no size can hold.
  for (bool vertical : {false, true}) {
    u32 bit = vertical ? kHeadGivenLogicalY : kHeadGivenLogicalX;
    i64 end = i64(vertical ? s->logicalY : s->logicalX) + (vertical ? head->logical.height : head->logical.width);
    if ((mask & bit) && end > kCoordinateMax)
      return tmpPrintf("Invalid %s %d for screen %s - The head would end at %lld, past %d", vertical ? "clipY" : "clipX",
                       vertical ? s->logicalY : s->logicalX, head->name, static_cast<long long>(end), kCoordinateMax);
  }
  if ((mask & kHeadGivenPointerZoom) && !(zoomInRange(s->pointerZoomX) && zoomInRange(s->pointerZoomY)))
    return tmpPrintf("Invalid pointer scaling factor on %s - It must lie above 0 and at most %g", head->name,
                     kPointerZoomMax);
  return nullptr;
}

// --- Finishing ----------------------------------------------------------------------------

void finishSettings(Apply& a, HeadRect oldLogical) {
  Head* head = a.head;
  if (!a.geometry && !(a.changed & kHeadClipBorderBits)) {
    announceHeadChange(head, kHeadChangeChanged, a.changed);
    head->given |= a.changed;
    return;
  }
  if (!head->window) {
    computePointerTransformation(head);
    announceHeadChange(head, kHeadChangeChanged, a.changed);
    head->given |= a.changed;
    return;
  }
  MetaScreen* screen = head->metaScreen;
  Head* holder = pointerHead();
  bool pointerHere = holder && holder->serverDisplay == head->serverDisplay && head->display;
  i32 px = 0, py = 0;
  if (pointerHere) {
    Head* under = nullptr;
    pointerHere = queryMetaPointer(head->display, a.client, &under, &px, &py) == nullptr;
  }
  if (a.geometry) {
    if (screen) shiftHeadFollowers(screen, head, oldLogical);
    placeHeadRootWindow(head, a.client, a.mask == (kHeadGivenLogicalX | kHeadGivenLogicalY));
  }
  if (a.changed & kHeadClipBorderBits) {
    i32 b = head->borderWidth;
    if (!head->inWindow || head->inWindowParent == head->root)
      configureHeadWindow(a.client, head, head->window, head->clip.x - b, head->clip.y - b, head->clip.width + 2 * b,
                          head->clip.height + 2 * b, false);
    configureHeadWindow(a.client, head, head->innerWindow, b, b, head->clip.width, head->clip.height, false);
    if (linkOfHead(a.client, head)) {
      if (const char* error = flushClientServerLinks(a.client)) logProblem(error, __FILE__, __LINE__);
    } else if (head->display) {
      XfsFlush(head->display);
    }
  }
  // The pointer keeps its meta point: the announcement puts it back there
  // on the head's new place.
  pointerHere = pointerHere && screen && px >= 0 && py >= 0 && u32(px) < screen->width && u32(py) < screen->height;
  if (pointerHere) markPointerReturn(head, a.client, px, py, false);
  if (screen) refreshScreenWindowTree(screen);
  recomputeOverlappingHeads();
  computePointerTransformation(head);
  announceHeadChange(head, kHeadChangeChanged, a.changed);
  head->given |= a.changed;
  if (pointerHere) {
    if (a.client) {
      if (const char* error = syncClientLinks(a.client)) LOGF(logChWarning, "%s", error);
    }
    head->serverDisplay->input.pointerHead = findPointerHeadOnDisplay(kXrcMouse, head->serverDisplay);
  }
}

}  // namespace

// --- Arithmetic ----------------------------------------------------------------------------

bool computeClipAxis(const ClipAxisInput& in, ClipAxisResult* out) {
  i32 position = in.currentPosition, size = in.currentSize;
  out->sizeFromScreen = false;
  out->refusal = ClipRefusal::kNone;
  if (!in.inWindow && !in.screenUnknown) {
    i32 limit = in.borderInMask ? in.screen : in.screen - in.border;
    if (in.posGiven && in.position >= limit) out->refusal = ClipRefusal::kPastTheEdge;
    else if (in.sizeGiven && in.size > in.screen) out->refusal = ClipRefusal::kLargerThanTheScreen;
    if (out->refusal != ClipRefusal::kNone) return false;
  }
  if (in.posGiven) {
    if (in.borderInMask) position = in.position >= 0 ? std::min(in.position, in.screen) : 0;
    else if (in.position < in.border) position = in.border;
    else position = std::min(in.position, in.screen - 2 * in.border);
  }
  if (in.sizeGiven) {
    if (in.size == 0) {
      size = in.screen - 2 * in.border;
      out->sizeFromScreen = true;
    } else if (in.size < 0) {
      // Counted back from the far edge; a count past the position leaves an
      // empty or negative rectangle, which no later step could repair.
      i64 room = i64(in.screen) - position + in.size;
      if (room <= 0) {
        out->refusal = ClipRefusal::kNoRoom;
        return false;
      }
      size = i32(room);
    } else {
      size = in.size;
    }
  }
  if (!in.inWindow) {
    i32 limit = in.borderInMask ? in.screen : in.screen - in.border;
    if (i64(position) + size > limit) size = limit - position;
  }
  out->position = position;
  out->size = size;
  return true;
}

void placeAgainstHead(u32 direction, const HeadRect& r, i32 width, i32 height, i32 offsetX, i32 offsetY, i32* x,
                      i32* y) {
  // Directions 6..9 combine a horizontal (2 or 3) and a vertical (4 or 5) one.
  i32 west = r.x - width, east = r.x + r.width;
  i32 north = r.y - height, south = r.y + r.height;
  i32 px = r.x, py = r.y;
  switch (direction) {
    case 0: px = 0, py = 0; break;
    case 1: break;
    case 2: px = west; break;
    case 3: px = east; break;
    case 4: py = north; break;
    case 5: py = south; break;
    case 6: px = west, py = north; break;
    case 7: px = east, py = north; break;
    case 8: px = west, py = south; break;
    case 9: px = east, py = south; break;
    default: break;
  }
  *x = px + offsetX;
  *y = py + offsetY;
}

// --- Settings ----------------------------------------------------------------------------------

u32 getHeadTags(const Head* head) {
  u32 tags = head->tags & ~kRoleTagBits;
  const ServerDisplay* server = head->serverDisplay;
  const MetaScreen* screen = head->metaScreen;
  if (isFirstHeadOf(head, atomDisplay)) tags |= kHeadTagAtom;
  if (screen && screen->colorHead == head) tags |= kHeadTagColor;
  if (isFirstHeadOf(head, fontDisplay)) tags |= kHeadTagFont;
  if (isFirstHeadOf(head, imageDisplay)) tags |= kHeadTagImage;
  if (screen && screen->tag40Head == head) tags |= kHeadTagGlx;
  if (server && server == timeDisplay) tags |= kHeadTagTime;
  if (server && server == inputControlDisplay) tags |= kHeadTagInputControl;
  if (server) {
    if (server->serverFonts) tags |= kHeadTagServerFonts;
    if (server->selectionSync) tags |= kTagSelectionSync;
    if (server->selectionRefresh) tags |= kTagRefreshSelectionSync;
    if (server->byteOrderDiffers) tags |= kHeadTagByteSwap;
  }
  return tags;
}

const char* applyScreenSettings(ProxyClient* client, Head* head, u32 mask, const HeadSettings* settings) {
  if (head->serverDisplay && head->display && isDisplayOffline(head->display))
    return displayOfflineText(head->display);
  if (const char* error = checkValueRanges(head, mask, settings)) return error;
  HeadRect oldLogical = head->logical;
  using Step = const char* (*)(Apply&);
  static constexpr Step kBefore[] = {
      applyName,
      applyDirection,
      applyBorder,
      [](Apply& x) { return applyClipAxis(x, false); },
      [](Apply& x) { return applyClipAxis(x, true); },
      [](Apply& x) -> const char* {
        applyLogicalAxis(x, false);
        applyLogicalAxis(x, true);
        return nullptr;
      },
      applyPointer,
      applyTags,
      applyKeyboardMap,
      applyRotation,
      [](Apply& x) { return applyLogicalSize(x, false); },
      [](Apply& x) { return applyLogicalSize(x, true); },
      [](Apply& x) -> const char* {
        if (x.mask & kHeadGivenMinimumTextSize) x.head->minimumTextSize = u16(x.s->minimumTextSize);
        return nullptr;
      },
      applyMetaScreen,
      applyInputAndFollow,
  };
  // Every refusal first, on a copy: a change refused part-way would leave
  // the values before it applied.
  Head copy = *head;
  Apply trial{client, &copy, mask, mask, settings, 0, false, true, head, false};
  for (Step step : kBefore) {
    if (const char* refusal = step(trial)) return refusal;
  }
  Apply a{client, head, mask, mask, settings, 0, false, false, head, false};
  for (Step step : kBefore) {
    if (const char* error = step(a)) return error;
  }
  finishSettings(a, oldLogical);
  return nullptr;
}

const char* applyScreenSettingsById(ProxyClient* client, u32 headId, u32 mask, const HeadSettings* settings) {
  auto* head = static_cast<Head*>(lookupResourceByType(headId, RT_HEAD));
  if (!head) return tmpPrintf("No head 0x%x", headId);
  return applyScreenSettings(client, head, mask, settings);
}

void placeHeadRootWindow(Head* head, ProxyClient* client, bool moveOnly) {
  if (!head->rootWindow || !head->metaScreen) return;
  MetaScreen* screen = head->metaScreen;
  HeadRect area{-head->logical.x, -head->logical.y, i32(screen->width), i32(screen->height)};
  if (head->scaler)
    scaleRectangleRotated(head->scaler, &area, u32(std::max(head->logical.width, 1)),
                          u32(std::max(head->logical.height, 1)));
  if (head->display && !isDisplayOffline(head->display))
    configureHeadWindow(client, head, head->rootWindow, area.x, area.y, area.width, area.height, moveOnly);
  computePointerTransformation(head);
}

const char* reapplyHeadGeometry(Head* head, u32 changeFlags) {
  // The pan moved the logical origin already: the settings see no change,
  // and the head's root window follows the new origin here.
  HeadSettings settings{};
  settings.logicalX = head->logical.x, settings.logicalY = head->logical.y;
  const char* error = applyScreenSettings(nullptr, head, changeFlags & (kHeadGivenLogicalX | kHeadGivenLogicalY), &settings);
  placeHeadRootWindow(head, nullptr, true);
  if (head->display && head->rootWindow && !isDisplayOffline(head->display)) XfsFlush(head->display);
  return error;
}

}  // namespace palvon
