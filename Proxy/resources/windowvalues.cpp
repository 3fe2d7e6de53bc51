// CreateWindow and ChangeWindowAttributes value lists: read, stored in the
// model and rewritten for one head.
#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/requests/windows.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/visuals/pixels.h"

namespace palvon {

namespace {

// Bits of the value mask.
enum : u32 {
  kBackPixmap = 0,
  kBackPixel,
  kBorderPixmap,
  kBorderPixel,
  kBitGravity,
  kWinGravity,
  kBackingStore,
  kBackingPlanes,
  kBackingPixel,
  kOverrideRedirect,
  kSaveUnder,
  kEventMask,
  kDontPropagate,
  kColormap,
  kCursor,
  kValueBits
};

constexpr u32 kForgetBitGravity = 0x4;  // workaround word
constexpr u8 kGravityLimit = 11;         // bit and win gravities are below
constexpr u8 kBackingStoreLimit = 3;

bool has(const WindowValueList& list, u32 bit) { return list.mask & (1u << bit); }

void set(WindowValueList* list, u32 bit, u32 value) {
  list->mask |= 1u << bit;
  list->values[bit] = value;
}

void addTemporary(WindowValueList* list, u32 pixmap, bool made) {
  if (made && pixmap && list->temporaryCount < 2) list->temporary[list->temporaryCount++] = pixmap;
}

}  // namespace

void readWindowValues(u32 mask, const u8* list, WindowValueList* out) {
  *out = {};
  out->mask = mask & ((1u << kValueBits) - 1);
  for (u32 rest = out->mask; rest; rest &= rest - 1) {
    out->values[__builtin_ctz(rest)] = get32(list);
    list += 4;
  }
}

u32 packWindowValues(const WindowValueList& list, u8* out) {
  u32 words = 0;
  for (u32 bit = 0; bit < kValueBits; bit++) {
    if (!has(list, bit)) continue;
    put32(out + 4 * words++, list.values[bit]);
  }
  return words;
}

bool storeWindowValues(ProxyWindow* window, const WindowValueList& list, bool creating) {
  const u32* v = list.values;
  bool accepted = true;
  if (has(list, kBackPixmap)) setWindowBackgroundPixmap(window, v[kBackPixmap]);
  if (has(list, kBackPixel)) setWindowBackgroundPixel(window, v[kBackPixel]);
  if (has(list, kBorderPixmap)) setWindowBorderPixmap(window, v[kBorderPixmap]);
  if (has(list, kBorderPixel)) setWindowBorderPixel(window, v[kBorderPixel]);
  // Refused values never get here (refusedWindowValue); the bounds only
  // keep the fields within their ranges.
  if (has(list, kBitGravity) && v[kBitGravity] < kGravityLimit) window->bitGravity = u8(v[kBitGravity]);
  if (has(list, kWinGravity) && v[kWinGravity] < kGravityLimit) window->windowGravity = u8(v[kWinGravity]);
  if (has(list, kBackingStore) && v[kBackingStore] < kBackingStoreLimit) window->backingStore = u8(v[kBackingStore]);
  if (has(list, kBackingPlanes)) window->backingPlanes = v[kBackingPlanes];
  if (has(list, kBackingPixel)) window->backingPixel = v[kBackingPixel];
  if (has(list, kOverrideRedirect)) window->overrideRedirect = v[kOverrideRedirect] != 0;
  if (has(list, kSaveUnder)) window->saveUnder = v[kSaveUnder] != 0;
  if (has(list, kEventMask)) {
    if (creating) {
      setInitialEventMask(window, v[kEventMask]);
    } else {
      accepted = setWindowEventMask(window, v[kEventMask]);
    }
  }
  if (has(list, kDontPropagate)) window->doNotPropagateMask = v[kDontPropagate];
  if (has(list, kColormap)) {
    u32 colormap = v[kColormap];
    if (colormap == CopyFromParent) colormap = window->windowClass == kInputOnly || !window->parent ? 0 : window->parent->colormap;
    window->colormap = colormap;
  }
  if (has(list, kCursor)) setWindowCursor(window, v[kCursor]);
  return accepted;
}

u8 refusedWindowValue(const ProxyWindow* window, const WindowValueList& list, u32* bad) {
  constexpr u32 kEventMaskBits = 0x01ffffff;
  constexpr u32 kPropagateBits = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                 PointerMotionMask | Button1MotionMask | Button2MotionMask | Button3MotionMask |
                                 Button4MotionMask | Button5MotionMask | ButtonMotionMask;
  // An InputOnly window has no pixels, border, backing or colormap: a plain
  // server refuses any of those before it looks at a single value.
  constexpr u32 kInputOnlyBits = (1u << kWinGravity) | (1u << kEventMask) | (1u << kDontPropagate) |
                                 (1u << kOverrideRedirect) | (1u << kCursor);
  if (window->windowClass == kInputOnly && (list.mask & ~kInputOnlyBits)) {
    *bad = 0;
    return BadMatch;
  }
  // ParentRelative and CopyFromParent take the parent's, which must match.
  bool parentDepth = !window->parent || window->parent->depth == window->depth;
  const u32* v = list.values;
  for (u32 rest = list.mask; rest; rest &= rest - 1) {
    u32 bit = u32(__builtin_ctz(rest));
    u32 value = *bad = v[bit];
    switch (bit) {
      case kBackPixmap:
      case kBorderPixmap: {
        // None, ParentRelative and CopyFromParent name no pixmap.
        u32 fromParent = bit == kBackPixmap ? u32(ParentRelative) : u32(CopyFromParent);
        if (value == fromParent && !parentDepth) return BadMatch;
        if (value <= fromParent) break;
        auto* pixmap = static_cast<PixmapRecord*>(lookupResourceByType(value, RT_PIXMAP));
        if (!pixmap) return BadPixmap;
        if (pixmap->screen != window->screen || pixmap->depth != window->depth) return BadMatch;
        break;
      }
      case kBitGravity:
      case kWinGravity:
        if (value >= kGravityLimit) return BadValue;
        break;
      case kBackingStore:
        if (value >= kBackingStoreLimit) return BadValue;
        break;
      case kOverrideRedirect:
      case kSaveUnder:
        if (value > 1) return BadValue;
        break;
      case kEventMask:
        if (value & ~kEventMaskBits) return BadValue;
        break;
      case kDontPropagate:
        if (value & ~kPropagateBits) return BadValue;
        break;
      case kColormap: {
        if (value == CopyFromParent) {
          if (window->parent && window->parent->visual != window->visual) return BadMatch;
          break;
        }
        auto* colormap = static_cast<ColormapRecord*>(lookupResourceByType(value, RT_COLORMAP));
        if (!colormap) return BadColor;
        if (colormap->screen != window->screen || colormap->visual != window->visual) return BadMatch;
        break;
      }
      case kCursor:
        if (value != None && !lookupResourceByType(value, RT_CURSOR)) return BadCursor;
        break;
      default: break;
    }
  }
  return 0;
}

bool windowValuesPassAsIs(const WindowValueList& list, const ProxyWindow* window, const Head* head) {
  constexpr u32 kPlainBits = (1u << kBackPixel) | (1u << kBorderPixel) | (1u << kBitGravity) | (1u << kWinGravity) |
                             (1u << kBackingStore) | (1u << kBackingPlanes) | (1u << kBackingPixel) |
                             (1u << kOverrideRedirect) | (1u << kSaveUnder) | (1u << kEventMask) |
                             (1u << kDontPropagate) | (1u << kColormap) | (1u << kCursor);
  if (head->scaler || head->rotation || !window->parent) return false;
  u32 other = list.mask & ~kPlainBits;
  // None and ParentRelative backgrounds and a border from the parent name
  // no pixmap.
  if (has(list, kBackPixmap) && list.values[kBackPixmap] <= ParentRelative) other &= ~(1u << kBackPixmap);
  if (has(list, kBorderPixmap) && list.values[kBorderPixmap] == CopyFromParent) other &= ~(1u << kBorderPixmap);
  if (other || (has(list, kBitGravity) && (proxyConfig.workarounds & kForgetBitGravity))) return false;
  return !headLacksWindowVisual(head, window) && !getHeadVisualIfConverting(window->visual, head);
}

void translateWindowValueIds(const ProxyWindow* window, const Head* head, u32 mask, u8* list) {
  for (u32 rest = mask & ((1u << kEventMask) | (1u << kColormap) | (1u << kCursor)); rest; rest &= rest - 1) {
    u32 bit = u32(__builtin_ctz(rest));
    u8* at = list + 4 * __builtin_popcount(mask & ((1u << bit) - 1));
    u32 value = get32(at);
    if (bit == kEventMask) {
      put32(at, adjustEventMaskForHead(currentClient, window, value, head));
    } else if (bit == kColormap && value != CopyFromParent) {
      put32(at, translateXid(value, RT_COLORMAP, head));
    } else if (bit == kCursor && value != None) {
      put32(at, translateXid(value, RT_CURSOR, head));
    }
  }
}

bool headLacksWindowVisual(const Head* head, const ProxyWindow* window) {
  return (head->tags & kHeadTagSloppyVisuals) && window->visual && !headVisualMatch(head, window->visual);
}

void rewriteWindowValues(WindowValueList* list, ProxyWindow* window, Head* head, bool creating) {
  ProxyClient* client = currentClient;
  u32* v = list->values;
  bool lacksVisual = headLacksWindowVisual(head, window);
  bool made = false;
  // A root stands for the head's own root copy, which shows the head's
  // background where the client asks for none.
  if (has(*list, kBackPixmap) && (v[kBackPixmap] > ParentRelative || !window->parent)) {
    v[kBackPixmap] = mapWindowRectToHead(client, v[kBackPixmap], window, head, &made);
    addTemporary(list, v[kBackPixmap], made);
  }
  if (has(*list, kBackPixel)) v[kBackPixel] = convertPixelToHead(v[kBackPixel], window->visual, head);
  if (has(*list, kBorderPixmap) && lacksVisual && window->windowClass == kInputOutput) {
    list->mask &= ~(1u << kBorderPixmap);
    if (!has(*list, kBorderPixel)) set(list, kBorderPixel, u32(head->blackPixel));
  } else if (has(*list, kBorderPixmap) && v[kBorderPixmap] != CopyFromParent) {
    v[kBorderPixmap] = mapBackgroundPixmapToHead(client, v[kBorderPixmap], window, head, &made);
    addTemporary(list, v[kBorderPixmap], made);
  }
  if (has(*list, kBorderPixel)) v[kBorderPixel] = convertPixelToHead(v[kBorderPixel], window->visual, head);
  if (has(*list, kBitGravity)) {
    v[kBitGravity] = (proxyConfig.workarounds & kForgetBitGravity) ? 0 : rotateGravity(u8(v[kBitGravity]), head);
  }
  if (has(*list, kWinGravity)) {
    v[kWinGravity] = rotateGravity(u8(v[kWinGravity]), head);
  } else if (creating && head->rotation) {
    set(list, kWinGravity, rotateGravity(kGravityNorthWest, head));
  }
  if (has(*list, kBackingPlanes)) {
    if (const VisualRecord* headVisual = getHeadVisualIfConverting(window->visual, head))
      v[kBackingPlanes] = rescalePixelToHead(v[kBackingPlanes], window->visual, headVisual);
  }
  if (has(*list, kBackingPixel)) v[kBackingPixel] = convertPixelToHead(v[kBackingPixel], window->visual, head);
  if (creating) {
    u32 mask = adjustEventMaskForHead(client, window, has(*list, kEventMask) ? v[kEventMask] : 0, head);
    if (mask || has(*list, kEventMask)) set(list, kEventMask, mask);
  } else if (has(*list, kEventMask)) {
    v[kEventMask] = adjustEventMaskForHead(client, window, v[kEventMask], head);
  }
  if (has(*list, kColormap) && v[kColormap] != CopyFromParent) {
    v[kColormap] = lacksVisual ? u32(head->defaultColormap) : translateXid(v[kColormap], RT_COLORMAP, head);
  }
  if (has(*list, kCursor) && v[kCursor] != None) {
    v[kCursor] = lacksVisual ? u32(None) : translateXid(v[kCursor], RT_CURSOR, head);
  }
}

}  // namespace palvon
