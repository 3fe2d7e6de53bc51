// SUN_ALLPLANES.
#include "Xext/small/sunallplanes.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Xext/extmodule.h"
#include "xsupport/rclib/pointer.h"

namespace palvon {

namespace {

constexpr u8 kQueryVersion = 0, kPolyPoint = 1, kPolyLine = 2, kPolySegment = 3, kPolyRectangle = 4,
             kPolyFillRectangle = 5;

void ReplyAllPlanesQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleAllPlanes, "bbsiss"); }

// --- Coordinates of a window's drawing on a head's root ------------------------------

// A point of the window to the head's root.
void windowToHead(const ProxyWindow* window, const Head* head, i32* x, i32* y) {
  *x += window->x;
  *y += window->y;
  metaToHeadPoint(x, y, head);
}

// Points from byte 12; in relative mode each is a step from the previous
// one, so the steps are summed, converted and taken apart again.
void rewritePoints(u8* copy, u32 length, const ProxyWindow* window, const Head* head) {
  bool relative = copy[8] == CoordModePrevious;
  i32 metaX = 0, metaY = 0, lastX = 0, lastY = 0;
  for (u32 at = 12; at + 4 <= length; at += 4) {
    i32 x = static_cast<i16>(get16(copy + at)), y = static_cast<i16>(get16(copy + at + 2));
    if (relative && at > 12) {
      x += metaX;
      y += metaY;
    }
    metaX = x;
    metaY = y;
    windowToHead(window, head, &x, &y);
    i32 outX = relative && at > 12 ? x - lastX : x, outY = relative && at > 12 ? y - lastY : y;
    lastX = x;
    lastY = y;
    put16(copy + at, static_cast<u16>(outX));
    put16(copy + at + 2, static_cast<u16>(outY));
  }
}

void rewriteSegments(u8* copy, u32 length, const ProxyWindow* window, const Head* head) {
  for (u32 at = 8; at + 4 <= length; at += 4) {
    i32 x = static_cast<i16>(get16(copy + at)), y = static_cast<i16>(get16(copy + at + 2));
    windowToHead(window, head, &x, &y);
    put16(copy + at, static_cast<u16>(x));
    put16(copy + at + 2, static_cast<u16>(y));
  }
}

// A rectangle of the window to the head's root as an area: on a zoomed
// head every pixel is a block, so a rectangle 10 wide is 20 wide at zoom 2
// (converting its last pixel as a point would give 19), and an empty side
// stays empty.
void rewriteRectangles(u8* copy, u32 length, const ProxyWindow* window, const Head* head) {
  for (u32 at = 8; at + 8 <= length; at += 8) {
    HeadRect area{window->x + static_cast<i16>(get16(copy + at)) - head->logical.x,
                  window->y + static_cast<i16>(get16(copy + at + 2)) - head->logical.y, get16(copy + at + 4),
                  get16(copy + at + 6)};
    if (head->scaler)
      scaleRectangleRotated(head->scaler, &area, u32(std::max(head->logical.width, 1)),
                            u32(std::max(head->logical.height, 1)));
    put16(copy + at, static_cast<u16>(area.x + head->clip.x + head->offsetX));
    put16(copy + at + 2, static_cast<u16>(area.y + head->clip.y + head->offsetY));
    put16(copy + at + 4, static_cast<u16>(std::clamp(area.width, 0, 65535)));
    put16(copy + at + 6, static_cast<u16>(std::clamp(area.height, 0, 65535)));
  }
}

// Any other drawable keeps its coordinates, scaled for a zoomed head.
void rewriteOnDrawable(u8* copy, u32 length, u8 minor, const Head* head) {
  put32(copy + 4, mapDrawableToHead(get32(copy + 4), head));
  const HeadScaler* scaler = head->scaler;
  if (!scaler) return;
  switch (minor) {
    case kPolyPoint:
    case kPolyLine:
      scalePoints(scaler, reinterpret_cast<xPoint*>(copy + 12), (length - 12) / 4, copy[8]);
      break;
    case kPolySegment: scaleSegments(scaler, reinterpret_cast<xSegment*>(copy + 8), (length - 8) / 8); break;
    default: scaleRectangles(scaler, reinterpret_cast<xRectangle*>(copy + 8), (length - 8) / 8); break;
  }
}

void rewriteForHead(u8* copy, u32 length, u8 minor, const ProxyWindow* window, const Head* head) {
  if (!head) return;
  if (!window) return rewriteOnDrawable(copy, length, minor, head);
  put32(copy + 4, static_cast<u32>(head->root));
  switch (minor) {
    case kPolyPoint:
    case kPolyLine: return rewritePoints(copy, length, window, head);
    case kPolySegment: return rewriteSegments(copy, length, window, head);
    default: return rewriteRectangles(copy, length, window, head);
  }
}

// --- Drawing on every head -----------------------------------------------------------

struct Drawing {
  const u8* request;
  u32 length;
  u32 drawable;
  const ProxyWindow* window;  // null: not a window
  LayoutString layout;
  bool failed;
};

bool skipsHead(const Drawing& drawing, const Head* head) {
  if (!head) return false;
  if ((head->tags & kHeadTagOptimizedDraw) && drawing.window && !windowOverlapsHead(head, drawing.window)) return true;
  return (head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(drawing.drawable, head);
}

// The head's telepointer window when it shows (a telepointer of its own
// pointer device has no window to take down).
Window shownTelepointer(const Head* head) {
  const Telepointer* telepointer = head ? head->telepointer : nullptr;
  if (!telepointer || !xrcTelepointerExists(telepointer) || !xrcTelepointerShown(telepointer)) return None;
  return xrcTelepointerWindow(telepointer);
}

bool drawOnHead(const RouteTarget& target, void* argument) {
  auto* drawing = static_cast<Drawing*>(argument);
  if (skipsHead(*drawing, target.head)) return true;
  ServerLink* link = target.link;
  Window telepointer = shownTelepointer(target.head);
  if (telepointer != None) {
    requestGrabServer(link);
    xprotoUnmapWindow(&link->writer, static_cast<u32>(telepointer));
  }
  u8* copy = copyRequestToServer(drawing->request, drawing->length, link);
  if (copy) {
    rewriteForHead(copy, drawing->length, drawing->request[1], drawing->window, target.head);
    swapServerRequest(link, copy, drawing->length, drawing->layout);
  }
  // Put back on a failed copy too: the server must not stay grabbed.
  if (telepointer != None) {
    xprotoMapWindow(&link->writer, static_cast<u32>(telepointer));
    requestUngrabServer(link);
  }
  drawing->failed = copy == nullptr;
  return copy != nullptr;
}

void ProcAllPlanesDraw(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 drawable = get32(request + 4);
  setRequestResource(client, drawable);
  Drawing drawing{request, length, drawable, lookupWindow(drawable), currentRequest.row->requestLayout, false};
  forEachTarget(Route::kEveryHead, drawOnHead, &drawing);
  if (drawing.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "AllPlanesQueryVersion", forwardOrAnswer, ReplyAllPlanesQueryVersion, "bbs", "bbsiss",
     exactSize(4), Route::kMainHead},
    {kPolyPoint, "AllPlanesPolyPoint", ProcAllPlanesDraw, nullptr, "bbsibbS", "", atLeastSize(12),
     Route::kEveryHead},
    {kPolyLine, "AllPlanesPolyLine", ProcAllPlanesDraw, nullptr, "bbsibbS", "", atLeastSize(12),
     Route::kEveryHead},
    {kPolySegment, "AllPlanesPolySegment", ProcAllPlanesDraw, nullptr, "bbsiS", "", listSize(8, 8),
     Route::kEveryHead},
    {kPolyRectangle, "AllPlanesPolyRectangle", ProcAllPlanesDraw, nullptr, "bbsiS", "", listSize(8, 8),
     Route::kEveryHead},
    {kPolyFillRectangle, "AllPlanesPolyFillRectangle", ProcAllPlanesDraw, nullptr, "bbsiS", "", listSize(8, 8),
     Route::kEveryHead},
};

}  // namespace

const char* initAllPlanesExtension(ExtensionEntry* entry) {
  return registerModule(entry, "SUN_ALLPLANES", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleAllPlanes, nullptr, nullptr, false});
}

}  // namespace palvon
