// Window geometry read back from a zoomed or turned head (see readback.h).
#include "Proxy/heads/readback.h"

#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/window.h"

namespace palvon {

namespace {

// The last geometries noted, of any window: more than a client changes one
// window before the head reports the first change (a move and a resize or
// two, each moving the window's children by their gravity).
constexpr u32 kNotedMax = 64;

struct Noted {
  u32 window;
  const Head* head;
  WindowGeometry onHead, meta;
};

Noted noted[kNotedMax];
u32 nextNoted;

const Head* scaledMainHead(const ProxyWindow* window) {
  const MetaScreen* screen = window ? window->screen : nullptr;
  const Head* main = screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
  return main && main->scaler && window->parent ? main : nullptr;
}

// What the head is given for the window at that meta geometry, within its
// parent as the model has it now.
WindowGeometry geometryOnHead(const Head* head, const ProxyWindow* window, const WindowGeometry& meta) {
  u32 values[5] = {u32(meta.x), u32(meta.y), u32(meta.width), u32(meta.height), u32(meta.border)};
  u32 out[7] = {};
  scaleConfigureValues(head, window, 0x1f, values, out);
  return {i32(out[0]), i32(out[1]), i32(out[2]), i32(out[3]), i32(out[4])};
}

// Compared as an event carries them: positions in 16 bits with sign, sizes
// without.
bool fits(const WindowGeometry& a, const WindowGeometry& b, u32 compare) {
  return (!(compare & 1) || i16(a.x) == i16(b.x)) && (!(compare & 2) || i16(a.y) == i16(b.y)) &&
         (!(compare & 4) || u16(a.width) == u16(b.width)) && (!(compare & 8) || u16(a.height) == u16(b.height)) &&
         (!(compare & 16) || u16(a.border) == u16(b.border));
}

}  // namespace

WindowGeometry modelGeometry(const ProxyWindow* window) {
  i32 border = window->borderWidth;
  return {window->relativeX - border, window->relativeY - border, window->width, window->height, border};
}

void noteWindowGeometry(const ProxyWindow* window) {
  const Head* head = scaledMainHead(window);
  if (!head) return;
  WindowGeometry meta = modelGeometry(window);
  noted[nextNoted] = {window->id, head, geometryOnHead(head, window, meta), meta};
  nextNoted = (nextNoted + 1) % kNotedMax;
}

bool findSentGeometry(const Head* head, const ProxyWindow* window, const WindowGeometry& reported, u32 compare,
                      WindowGeometry* meta) {
  if (!window || !window->parent) return false;
  WindowGeometry current = modelGeometry(window);
  if (fits(geometryOnHead(head, window, current), reported, compare)) {
    *meta = current;
    return true;
  }
  for (u32 k = 1; k <= kNotedMax; k++) {
    const Noted& entry = noted[(nextNoted + kNotedMax - k) % kNotedMax];
    if (entry.window == window->id && entry.head == head && fits(entry.onHead, reported, compare)) {
      *meta = entry.meta;
      return true;
    }
  }
  return false;
}

}  // namespace palvon
