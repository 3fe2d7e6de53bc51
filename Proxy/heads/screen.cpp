// Meta screens: creation and look-up, names, the settings that size and
// place them, their relative placement in millimetres, pixel and millimetre
// conversions over their heads, root colours and one-line descriptions.
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/screen.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/randrhooks.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/emulation.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/scaling.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "Xext/small/pose.h"
#include "base/logging.h"
#include "base/rect.h"

namespace palvon {

namespace {

u32 screenCounter;

constexpr u32 kPlacementDepth = 99;

i64 roundHalfAway(double v) { return std::llround(v); }

// The head whose millimetres per pixel convert a screen's pixels: the first
// online head not on the resource server, else the first online head.
const Head* referenceHead(const MetaScreen* screen) {
  const Head* any = nullptr;
  for (const Head* h = screen->heads; h; h = h->next) {
    if (!isHeadOnline(h)) continue;
    if (h->serverDisplay != resourceServerDisplay || !h->serverDisplay) return h;
    if (!any) any = h;
  }
  return any;
}

// A head turned by a quarter or three shows the meta screen's x axis along
// its real screen's y axis: millimetres of a meta width are those of the
// real screen's height.
bool turned(const Head* h) { return h->rotation & 1; }

// The real screen's millimetres and pixels along one of its axes.
struct RealAxis {
  u32 millimetres, pixels;
  i32 shown;  // the clip's extent on that axis, 0 when unknown
};

RealAxis realAxis(const Head* h, bool vertical) {
  if (vertical) return {h->heightMM, h->height, h->clip.height};
  return {h->widthMM, h->width, h->clip.width};
}

// Millimetre width and height (in the meta screen's terms) of the part of
// the real screen a head shows.
double shownMillimetres(const Head* h, bool metaVertical) {
  RealAxis a = realAxis(h, metaVertical != turned(h));
  u32 shown = a.shown > 0 ? u32(a.shown) : a.pixels;
  return a.pixels ? double(a.millimetres) * shown / a.pixels : 0.0;
}

double headWidthMM(const Head* h) { return shownMillimetres(h, false); }
double headHeightMM(const Head* h) { return shownMillimetres(h, true); }

// Millimetres of meta pixels along a meta axis at the real screen's
// resolution on the axis that shows it.
double metaMillimetres(const Head* h, bool metaVertical, double pixels) {
  RealAxis a = realAxis(h, metaVertical != turned(h));
  return a.pixels ? pixels * a.millimetres / a.pixels : 0.0;
}

// A meta position on the head's real screen: scaled by the scaler's table
// of the real axis that shows the meta axis.
i64 scaledPosition(const Head* h, bool metaVertical, i32 position) {
  if (!h->scaler) return position;
  return metaVertical != turned(h) ? scaleY(h->scaler, position) : scaleX(h->scaler, position);
}

// The bounds of the online heads: min and max edges; false when none.
template <typename Edges>
bool onlineBounds(const MetaScreen* screen, Edges edges, i64* x0, i64* y0, i64* x1, i64* y1) {
  bool any = false;
  for (const Head* h = screen->heads; h; h = h->next) {
    if (!isHeadOnline(h)) continue;
    i64 a, b, c, d;
    edges(h, &a, &b, &c, &d);
    if (!any) *x0 = a, *y0 = b, *x1 = c, *y1 = d;
    *x0 = std::min(*x0, a), *y0 = std::min(*y0, b), *x1 = std::max(*x1, c), *y1 = std::max(*y1, d);
    any = true;
  }
  return any;
}

void pixelEdges(const Head* h, i64* x0, i64* y0, i64* x1, i64* y1) {
  *x0 = h->logical.x, *y0 = h->logical.y;
  *x1 = i64(h->logical.x) + h->logical.width, *y1 = i64(h->logical.y) + h->logical.height;
}

void millimetreEdges(const Head* h, i64* x0, i64* y0, i64* x1, i64* y1) {
  *x0 = headMillimetreX(h), *y0 = headMillimetreY(h);
  *x1 = *x0 + i64(headWidthMM(h)), *y1 = *y0 + i64(headHeightMM(h));
}

u32 boundsExtent(i64 low, i64 high) { return high > low ? u32(std::min<i64>(high - low, UINT32_MAX)) : 1; }

}  // namespace

// --- Creation and look-up ------------------------------------------------------------

MetaScreen* createMetaScreen() {
  auto* screen = static_cast<MetaScreen*>(memCalloc(1, sizeof(MetaScreen)));
  if (!screen) return nullptr;
  screen->number = screenCounter++;
  if (MetaScreen* first = proxyState.screens) {
    first->tail->next = screen;
    first->tail = screen;
  } else {
    proxyState.screens = screen;
    screen->tail = screen;
  }
  proxyState.screenCount++;
  return screen;
}

MetaScreen* findMetaScreen(u32 number) {
  for (MetaScreen* s = proxyState.screens; s; s = s->next) {
    if (s->number == number) return s;
  }
  return nullptr;
}

MetaScreen* findMetaScreenByRoot(u32 rootId) {
  for (MetaScreen* s = proxyState.screens; s; s = s->next) {
    if (s->rootId == rootId) return s;
  }
  return nullptr;
}

MetaScreen* firstMetaScreen() { return proxyState.screens; }

const char* screenName(const MetaScreen* screen) {
  if (!screen) return "no X screen";
  if (!screen->name) return tmpPrintf("screen %u", screen->number);
  if (isdigit(u8(screen->name[0])) || screen->name[0] == ':') return tmpPrintf("screen %s", screen->name);
  return tmpCopy(screen->name);
}

const char* headName(const Head* head) { return head ? head->name : "no head"; }

const char* clientName(const ProxyClient* client) {
  static char text[80];
  if (!client) return "no client";
  const char* name = client->programName[0] ? client->programName : client->className[0] ? client->className : nullptr;
  if (client->transport && !isLocalTransport(client->transport)) {
    if (name) snprintf(text, sizeof text, "%s@%s", name, getClientHostName(client));
    else snprintf(text, sizeof text, "client #%u@%s", client->number, getClientHostName(client));
  } else if (name) {
    snprintf(text, sizeof text, "%s", name);
  } else {
    snprintf(text, sizeof text, "client %u", client->number);
  }
  return text;
}

VisualRecord* findScreenVisual(const MetaScreen* screen, u32 visualId) {
  if (!screen->visuals || screen->visualCount <= 0) return nullptr;
  if (screen->visualIdsConsecutive) {
    u32 index = visualId - screen->visuals[0].visualId;
    return index < u32(screen->visualCount) ? &screen->visuals[index] : nullptr;
  }
  for (i32 i = screen->visualCount; i-- > 0;) {
    if (screen->visuals[i].visualId == visualId) return &screen->visuals[i];
  }
  return nullptr;
}

i32 screenVisualIndex(const MetaScreen* screen, const VisualRecord* visual) {
  if (!screen || !visual || !screen->visuals) return -1;
  if (visual < screen->visuals || visual >= screen->visuals + screen->visualCount) return -1;
  return i32(visual - screen->visuals);
}

VisualRecord* headVisualMatch(const Head* head, const VisualRecord* screenVisual) {
  i32 index = screenVisualIndex(head->metaScreen, screenVisual);
  if (index < 0 || !head->visualMatches) return nullptr;
  VisualRecord* match = &head->visualMatches[index];
  return match->visualId ? match : nullptr;
}

Head* nextHeadPerServer(const Head* head) {
  ServerDisplay* server = head ? (head->serverDisplay ? head->serverDisplay->next : nullptr) : serverDisplayList;
  for (; server; server = server->next) {
    if (server->firstHead) return server->firstHead;
  }
  return nullptr;
}

bool isHeadOnline(const Head* head) {
  return head && !isDisplayOffline(head->display);
}

bool isMetaScreenResizable(const MetaScreen* screen) {
  if (clientCount == 0) return true;
  if (screen->resizePolicy == 0) return false;
  return randrEmulationActive();
}

// --- Pixels and millimetres -----------------------------------------------------------

double pixelsToMillimetresX(const MetaScreen* screen, i64 pixels) {
  const Head* h = referenceHead(screen);
  return h ? metaMillimetres(h, false, double(pixels)) : 0.0;
}

double pixelsToMillimetresY(const MetaScreen* screen, i64 pixels) {
  const Head* h = referenceHead(screen);
  return h ? metaMillimetres(h, true, double(pixels)) : 0.0;
}

u32 headMillimetreX(const Head* head) {
  return u32(i64(metaMillimetres(head, false, double(scaledPosition(head, false, head->logical.x)))));
}

u32 headMillimetreY(const Head* head) {
  return u32(i64(metaMillimetres(head, true, double(scaledPosition(head, true, head->logical.y)))));
}

u32 headGlobalX(const Head* head) {
  const MetaScreen* screen = head->metaScreen;
  i64 base = screen && head->widthMM ? roundHalfAway(screen->positionMMX * head->width / head->widthMM) : 0;
  return u32(base + (head->scaler ? scaleX(head->scaler, head->logical.x) : head->logical.x));
}

u32 headGlobalY(const Head* head) {
  const MetaScreen* screen = head->metaScreen;
  i64 base = screen && head->heightMM ? roundHalfAway(screen->positionMMY * head->height / head->heightMM) : 0;
  return u32(base + (head->scaler ? scaleY(head->scaler, head->logical.y) : head->logical.y));
}

u32 headsPixelWidth(const MetaScreen* screen) {
  i64 x0, y0, x1, y1;
  return onlineBounds(screen, pixelEdges, &x0, &y0, &x1, &y1) ? boundsExtent(x0, x1) : 1;
}

u32 headsPixelHeight(const MetaScreen* screen) {
  i64 x0, y0, x1, y1;
  return onlineBounds(screen, pixelEdges, &x0, &y0, &x1, &y1) ? boundsExtent(y0, y1) : 1;
}

u32 headsMillimetreWidth(const MetaScreen* screen) {
  i64 x0, y0, x1, y1;
  return onlineBounds(screen, millimetreEdges, &x0, &y0, &x1, &y1) ? boundsExtent(x0, x1) : 1;
}

u32 headsMillimetreHeight(const MetaScreen* screen) {
  i64 x0, y0, x1, y1;
  return onlineBounds(screen, millimetreEdges, &x0, &y0, &x1, &y1) ? boundsExtent(y0, y1) : 1;
}

void normalizeHeadPositions(MetaScreen* screen) {
  i32 minX = 0, minY = 0;
  for (const Head* h = screen->heads; h; h = h->next) {
    if (!isHeadOnline(h)) continue;
    minX = std::min(minX, h->logical.x);
    minY = std::min(minY, h->logical.y);
  }
  for (Head* h = screen->heads; h; h = h->next) h->logical.x -= minX, h->logical.y -= minY;
}

// --- Placement ------------------------------------------------------------------------

bool computeScreenPlacement(const MetaScreen* screen, u32 depth, double* x, double* y, double* w, double* h) {
  if (depth <= 1) return false;
  *w = screen->widthMM, *h = screen->heightMM;
  double ox = pixelsToMillimetresX(screen, screen->offsetX), oy = pixelsToMillimetresY(screen, screen->offsetY);
  if (screen->placement == kPlaceNone) {
    *x = ox, *y = oy;
    return true;
  }
  if (screen->placement > kPlaceSouth) {
    PALVON_UNE();
    return false;
  }
  const MetaScreen* reference = findMetaScreen(screen->referenceScreen);
  double rx, ry, rw, rh;
  if (!reference || !computeScreenPlacement(reference, depth - 1, &rx, &ry, &rw, &rh)) return false;
  switch (screen->placement) {
    case kPlaceSame: *x = rx + ox, *y = ry + oy; break;
    case kPlaceWest: *x = rx - *w + ox, *y = ry + oy; break;
    case kPlaceEast: *x = rx + rw + ox, *y = ry + oy; break;
    case kPlaceNorth: *x = rx + ox, *y = ry - *h + oy; break;
    default: *x = rx + ox, *y = ry + rh + oy; break;  // below
  }
  return true;
}

const char* relayoutMetaScreens(MetaScreen* screen, u32 mask) {
  logStepf("%s changed by %s (mask 0x%x) ...", screenName(screen), clientName(currentClient), mask);
  if (mask & kMetaPlaceBits) {
    for (MetaScreen* s = proxyState.screens; s; s = s->next) {
      double x, y, w, h;
      if (!computeScreenPlacement(s, kPlacementDepth, &x, &y, &w, &h))
        return tmpPrintf("Cyclic relative positioning of %s", screenName(s));
      s->positionMMX = x, s->positionMMY = y;
      s->widthMM = w, s->heightMM = h;
    }
    for (MetaScreen* s = proxyState.screens; s; s = s->next) {
      for (Head* head = s->heads; head; head = head->next) computePointerTransformation(head);
    }
  }
  bool resized = mask & (kMetaWidth | kMetaHeight);
  if (resized && screen->width && screen->height) {
    Rect bounds{0, 0, screen->width, screen->height};
    for (Head* head = screen->heads; head; head = head->next) {
      if (!isHeadOnline(head) || head->logical.width <= 0 || head->logical.height <= 0) continue;
      Rect r{head->logical.x, head->logical.y, u32(head->logical.width), u32(head->logical.height)}, fitted;
      rectClampToBounds(&fitted, r, bounds);
      head->logical = {fitted.x, fitted.y, i32(fitted.width), i32(fitted.height)};
      placeHeadRootWindow(head, nullptr, false);
    }
  }
  sendMetaScreenChangeEvent(screen, 0, mask);
  screen->changed |= mask;
  if (resized && screen->rootWindow) {
    sendRRScreenChangeNotify(screen);
    resizeRootWindow(screen->rootWindow, screen->width, screen->height);
    sendRootConfigureNotify(screen->rootWindow);
  }
  recalcKeepWindowsVisible(screen);
  if (mask) recordScreenChange(screen, mask);
  return nullptr;
}

// --- Settings ---------------------------------------------------------------------------

namespace {

struct AxisSize {
  u32 (*headsPixels)(const MetaScreen*);
  u32 (*headsMillimetres)(const MetaScreen*);
  double (*toMillimetres)(const MetaScreen*, i64);
  i32 HeadRect::*start;
  i32 HeadRect::*extent;
  u32 MetaScreen::*pixels;
  double MetaScreen::*millimetres;
  u32 pixelBit, millimetreBit;
  const char* tooSmall;
  const char* tooLarge;
};

constexpr AxisSize kAxisWidth{headsPixelWidth, headsMillimetreWidth, pixelsToMillimetresX, &HeadRect::x,
                              &HeadRect::width, &MetaScreen::width, &MetaScreen::widthMM, kMetaWidth,
                              kMetaWidthMM, "Screen %s has more pixels in width than the specified meta screen width %d",
                              "Meta screen %s would be %u pixels wide - Coordinates reach %d at most"};
constexpr AxisSize kAxisHeight{headsPixelHeight, headsMillimetreHeight, pixelsToMillimetresY, &HeadRect::y,
                               &HeadRect::height, &MetaScreen::height, &MetaScreen::heightMM, kMetaHeight,
                               kMetaHeightMM,
                               "Screen %s has more pixels in height than the specified meta screen height %d",
                               "Meta screen %s would be %u pixels high - Coordinates reach %d at most"};

// One axis of the size: 0, -10 and -11 take the heads' extent once, twice
// or three times; any other size must hold every head (online or not).
const char* applyAxisSize(MetaScreen* screen, i32 size, const AxisSize& axis, u32* changes) {
  u32 pixels;
  double millimetres;
  if (size == 0 || size == kScreenSizeDouble || size == kScreenSizeTriple) {
    u32 times = size == 0 ? 1 : size == kScreenSizeDouble ? 2 : 3;
    // The heads' extent may reach past the coordinates, and twice or three
    // times it further still: the screen would wrap in the set-up reply.
    u64 extent = u64(axis.headsPixels(screen)) * times;
    if (extent > u64(kCoordinateMax)) return tmpPrintf(axis.tooLarge, screenName(screen), u32(extent), kCoordinateMax);
    pixels = u32(extent);
    millimetres = double(axis.headsMillimetres(screen)) * times;
  } else {
    for (const Head* h = screen->heads; h; h = h->next) {
      if (i64(h->logical.*axis.start) + h->logical.*axis.extent > size)
        return tmpPrintf(axis.tooSmall, h->name, size);
    }
    pixels = u32(std::max(size, 1));
    millimetres = double(i64(axis.toMillimetres(screen, pixels)));
  }
  if (screen->*axis.pixels != pixels) screen->*axis.pixels = pixels, *changes |= axis.pixelBit;
  if (millimetres != double(roundHalfAway(screen->*axis.millimetres)))
    screen->*axis.millimetres = millimetres, *changes |= axis.millimetreBit;
  return nullptr;
}

template <typename T>
void storeIfChanged(T* field, T value, u32 bit, u32* changes) {
  if (*field != value) *field = value, *changes |= bit;
}

}  // namespace

// Whether the settings can all be applied; checked before anything is
// changed, so that a refused request leaves the screen as it was.
const char* checkScreenSettings(const MetaScreen* screen, const MetaScreenSettings* settings) {
  u32 mask = settings->mask;
  if ((mask & kMetaName) && settings->name) {
    size_t length = strnlen(settings->name, kHeadNameMax + 1);
    if (length == 0 || length > kHeadNameMax) return "Invalid meta screen name";
    for (size_t i = 0; i < length; i++) {
      u8 c = u8(settings->name[i]);
      if (c < 0x20 || c == 0x7f) return "Invalid meta screen name";
    }
  }
  u32 placement = (mask & kMetaPlacement) ? settings->placement : screen->placement;
  u32 reference = (mask & kMetaReference) ? settings->referenceScreen : screen->referenceScreen;
  if (placement > kPlaceSouth) return tmpPrintf("Invalid placement %u of %s", placement, screenName(screen));
  // The chain of screens placed relative to each other must end.
  const MetaScreen* at = screen;
  for (u32 depth = 0; placement != kPlaceNone; depth++) {
    // An unknown screen ends the chain; the request handler refuses one
    // named by the request itself.
    const MetaScreen* next = findMetaScreen(reference);
    if (!next) break;
    if (next == screen || depth >= kPlacementDepth) return tmpPrintf("Cyclic relative positioning of %s", screenName(screen));
    at = next;
    placement = at->placement;
    reference = at->referenceScreen;
  }
  // Sizes and offsets as the statements allow them; 0 and the codes of
  // double and triple take the heads' extent.
  const char* const names[] = {"width", "height", "offsetX", "offsetY"};
  const u32 bits[] = {kMetaWidth, kMetaHeight, kMetaOffsetX, kMetaOffsetY};
  const i32 values[] = {settings->width, settings->height, settings->offsetX, settings->offsetY};
  for (u32 k = 0; k < 4; k++) {
    i32 v = values[k], low = k < 2 ? 1 : -kCoordinateMax;
    bool code = k < 2 && (v == 0 || v == kScreenSizeDouble || v == kScreenSizeTriple);
    if ((mask & bits[k]) && !code && (v < low || v > kCoordinateMax))
      return tmpPrintf("Invalid %s %d of %s - It must lie between %d and %d", names[k], v, screenName(screen), low,
                       kCoordinateMax);
  }
  if (!isMetaScreenResizable(screen)) return nullptr;
  const AxisSize* axes[] = {&kAxisWidth, &kAxisHeight};
  const i32 sizes[] = {settings->width, settings->height};
  for (u32 k = 0; k < 2; k++) {
    i32 size = sizes[k];
    if (!(mask & axes[k]->pixelBit) || size == 0 || size == kScreenSizeDouble || size == kScreenSizeTriple) continue;
    // Positions are normalised before the size is applied.
    i32 minStart = 0;
    for (const Head* o = screen->heads; o; o = o->next)
      if (isHeadOnline(o)) minStart = std::min(minStart, o->logical.*axes[k]->start);
    for (const Head* h = screen->heads; h; h = h->next) {
      if (i64(h->logical.*axes[k]->start) - minStart + h->logical.*axes[k]->extent > size)
        return tmpPrintf(axes[k]->tooSmall, h->name, size);
    }
  }
  return nullptr;
}

const char* computeMetaScreenSize(MetaScreen* screen, const MetaScreenSettings* settings) {
  if (const char* error = checkScreenSettings(screen, settings)) return error;
  u32 mask = settings->mask, changes = mask & kMetaPassThrough;
  if (mask & kMetaName) {
    char* copy = settings->name ? memStrdup(settings->name) : nullptr;
    if (settings->name && !copy) return PALVON_OOM();
    free(screen->name);
    screen->name = copy;
    changes |= kMetaName;
  }
  if (mask & kMetaPlacement) storeIfChanged(&screen->placement, settings->placement, kMetaPlacement, &changes);
  if (mask & kMetaReference)
    storeIfChanged(&screen->referenceScreen, settings->referenceScreen, kMetaReference, &changes);
  if (mask & kMetaOffsetX) storeIfChanged(&screen->offsetX, settings->offsetX, kMetaOffsetX, &changes);
  if (mask & kMetaOffsetY) storeIfChanged(&screen->offsetY, settings->offsetY, kMetaOffsetY, &changes);
  bool resizable = isMetaScreenResizable(screen);
  if ((mask & kMetaWidth) && resizable) {
    normalizeHeadPositions(screen);
    if (const char* error = applyAxisSize(screen, settings->width, kAxisWidth, &changes)) return error;
  }
  if ((mask & kMetaHeight) && resizable) {
    normalizeHeadPositions(screen);
    if (const char* error = applyAxisSize(screen, settings->height, kAxisHeight, &changes)) return error;
  }
  // Compared after clamping: an out-of-range value given again is no change.
  if (mask & kMetaKeepVisible)
    storeIfChanged(&screen->keepVisible, std::clamp(settings->keepVisible, -65535, 65535), kMetaKeepVisible, &changes);
  if (mask & kMetaResizePolicy) screen->resizePolicy = settings->resizePolicy, changes |= kMetaResizePolicy;
  if (mask & kMetaWidthMM) storeIfChanged(&screen->widthMM, double(settings->widthMM), kMetaWidthMM, &changes);
  if (mask & kMetaHeightMM) storeIfChanged(&screen->heightMM, double(settings->heightMM), kMetaHeightMM, &changes);
  return changes ? relayoutMetaScreens(screen, changes) : nullptr;
}

// --- Colours ------------------------------------------------------------------------------

VisualRecord* headRootVisual(Head* head) {
  static VisualRecord fallback;
  VisualRecord* match = head->metaScreen ? headVisualMatch(head, head->metaScreen->rootVisual) : nullptr;
  if (match && (match->visualClass == TrueColor || match->visualClass == DirectColor || match->emulatedVisualId))
    return match;
  fallback = {};
  fallback.visualId = 999;
  fallback.screen = u8(head->screen);
  fallback.colormapSize = 256;
  fallback.visualClass = TrueColor;
  fallback.depth = 24;
  fallback.bitsPerRgb = 8;
  fallback.redMask = 0xff, fallback.greenMask = 0xff00, fallback.blueMask = 0xff0000;
  fallback.redShift = 0, fallback.greenShift = 8, fallback.blueShift = 16;
  fallback.redBits = fallback.greenBits = fallback.blueBits = 8;
  return &fallback;
}

namespace {

// The head whose colours become the screen's: the colour head first, and
// a head that shows the root visual with its own default visual before one
// that does not.
Head* colourSourceHead(MetaScreen* screen) {
  Head* best = nullptr;
  u32 bestScore = 999999;
  for (Head* h = screen->heads; h; h = h->next) {
    u32 score = h == screen->colorHead ? 0 : 200;
    const VisualRecord* match = headVisualMatch(h, screen->rootVisual);
    bool ownDefault = match && h->display && match->visualId == XVisualIDFromVisual(DefaultVisual(h->display, int(h->screen)));
    if (!ownDefault) score += 50;
    if (score < bestScore) best = h, bestScore = score;
  }
  return best;
}

// Black and white of the screen from emulated colour cells of its default
// colormap, stored into the head's colormap in the head's visual.
bool emulatedBlackAndWhite(MetaScreen* screen, Head* head, Colormap colormap) {
  EmulatedColormap* cells = emulatedColormapOf(screen->defaultColormap);
  XColor colours[2] = {};
  colours[1].red = colours[1].green = colours[1].blue = 0xffff;
  for (XColor& c : colours) {
    c.flags = DoRed | DoGreen | DoBlue;
    if (!cells || !allocEmulatedColor(head->display, cells, &c)) return false;
  }
  screen->blackPixel = colours[0].pixel, screen->whitePixel = colours[1].pixel;
  for (XColor& c : colours) c.pixel = convertPixelToHead(u32(c.pixel), screen->rootVisual, head);
  XfsStoreColors(head->display, colormap, colours, 2);
  return true;
}

}  // namespace

void setupMetaScreenColors(MetaScreen* screen) {
  logStepf("Adjusting colors of %s ...", screenName(screen));
  Head* head = colourSourceHead(screen);
  if (head && isHeadOnline(head)) {
    const VisualRecord* match = headVisualMatch(head, screen->rootVisual);
    Colormap colormap = head->colormap ? head->colormap : head->defaultColormap;
    if (!match || !match->emulatedVisualId) {
      XColor black{}, white{};
      white.red = white.green = white.blue = 0xffff;
      XfsAllocColor(head->display, colormap, &black);
      XfsAllocColor(head->display, colormap, &white);
      screen->blackPixel = convertPixelFromHead(u32(black.pixel), screen->rootVisual, head);
      screen->whitePixel = convertPixelFromHead(u32(white.pixel), screen->rootVisual, head);
    } else if (!emulatedBlackAndWhite(screen, head, colormap)) {
      screen->blackPixel = 0, screen->whitePixel = 1;
    }
    if (detailFlags & kDetailVisuals) {
      LOGF(logChInfo, "BlackPixel = 0x%x (meta %d, from %s, cmap 0x%x)", u32(screen->blackPixel), screen->number,
           head->name, u32(colormap));
      LOGF(logChInfo, "WhitePixel = 0x%x (meta %d, from %s, cmap 0x%x)", u32(screen->whitePixel), screen->number,
           head->name, u32(colormap));
    }
  }
  screen->minInstalledMaps = screen->maxInstalledMaps = 0xffffffffu;
  for (const Head* h = screen->heads; h; h = h->next) {
    if (!isHeadOnline(h)) continue;
    Screen* real = ScreenOfDisplay(h->display, int(h->screen));
    screen->minInstalledMaps = std::min(screen->minInstalledMaps, u32(MinCmapsOfScreen(real)));
    screen->maxInstalledMaps = std::min(screen->maxInstalledMaps, u32(MaxCmapsOfScreen(real)));
  }
}

bool isScreenSharedByHeads(const Head* head) {
  for (const MetaScreen* s = proxyState.screens; s; s = s->next) {
    for (const Head* h = s->heads; h; h = h->next) {
      if (h != head && h->serverDisplay == head->serverDisplay && h->screen == head->screen) return true;
    }
  }
  return false;
}

// --- Descriptions --------------------------------------------------------------------------

namespace {

constexpr size_t kDescriptionMax = 80;

// A description built by appending; cut to its limit at the end.
struct Description {
  char text[256];
  size_t used = 0;
  void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (used >= sizeof text) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + used, sizeof text - used, format, args);
    va_end(args);
    if (n > 0) used = std::min(sizeof text, used + size_t(n));
  }
  const char* result() const { return tmpStrndup(text, std::min(strlen(text), kDescriptionMax)); }
};

}  // namespace

const char* describeMetaScreen(const MetaScreen* screen) {
  u32 depth = screen->rootVisual ? screen->rootVisual->depth : 0;
  double dpiX = screen->widthMM > 0 ? screen->width / (screen->widthMM / 25.4) : 0;
  double dpiY = screen->heightMM > 0 ? screen->height / (screen->heightMM / 25.4) : 0;
  Description d;
  d.add("%ux%ux%u %ux%umm %.0fx%.0fdpi h%u vis%u", screen->width, screen->height, depth, u32(screen->widthMM),
        u32(screen->heightMM), dpiX, dpiY, u32(screen->headCount), u32(std::max(screen->visualCount, 0)));
  if (screen->resizePolicy) d.add(" rp%u", screen->resizePolicy);
  if (screen->backingStore) d.add(" bs%u", u32(screen->backingStore));
  if (screen->saveUnders) d.add(" su%u", u32(screen->saveUnders));
  if (screen->keepVisible) d.add(" kv%d", screen->keepVisible);
  return d.result();
}

const char* describeHead(const Head* head) {
  Rect r{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 0)),
         u32(std::max(head->logical.height, 0))};
  Description d;
  d.add("%s %ux%u+%d+%dmm vis%d", rectGeometryText(r), u32(headWidthMM(head)), u32(headHeightMM(head)),
        i32(headMillimetreX(head)), i32(headMillimetreY(head)), head->visualCount);
  if (!isHeadOnline(head)) d.add(" offline");
  if (head->scaler) d.add(" scaling");
  if (head->rotation) d.add(" rot%d", i32(90 * head->rotation));
  if (head->panOffsetX) d.add(" panX%d", head->panOffsetX);
  if (head->panOffsetY) d.add(" panY%d", head->panOffsetY);
  if (head->borderWidth) d.add(" bw%d", head->borderWidth);
  return d.result();
}

}  // namespace palvon
