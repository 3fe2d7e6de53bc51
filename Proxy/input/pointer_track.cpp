// Following the real pointer: positions reported by a head's server (from
// polling, from a QueryPointer reply or from motion), crossings while the
// pointer is grabbed (no crossing events come then), the neighbour a
// pointer enters, and the polling timer.
#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/rect.h"
#include "xsupport/power.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

constexpr u64 kScreenSaverStepMs = 3000;
constexpr u64 kPanPauseMs = 200;

Rect clipOnScreen(const Head* head, i32 shrink) {
  return Rect{head->clip.x + head->offsetX + shrink, head->clip.y + head->offsetY + shrink,
              u32(std::max(head->clip.width - 2 * shrink, 1)), u32(std::max(head->clip.height - 2 * shrink, 1))};
}

bool insideRect(const Rect& r, i32 x, i32 y) { return rectPointDistance(r, x, y) == 0; }

}  // namespace

void keepScreenSaversInStep() {
  if (!proxyConfig.syncScreenSavers) return;
  u64 now = ordersClock();
  if (now < inputState.screenSaverDeadlineMs) return;
  inputState.screenSaverDeadlineMs = now + kScreenSaverStepMs;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display || isDisplayOffline(server->display)) continue;
    xForceDisplayOn(server->display, nullptr);
    XfsFlush(server->display);
  }
}

namespace {

// The rotated head's movement since the last report moves the meta
// pointer turned with the head.
bool followRotatedPointer(Head* head, i32 x, i32 y) {
  HeadInput& in = head->input;
  bool rotated = head->pointerRotation && head->rotation && head->serverDisplay == inputControlDisplay;
  bool moved = in.haveRealPosition && (x != in.lastRealX || y != in.lastRealY);
  if (!rotated || !moved) return false;
  i32 dx = x - in.lastRealX, dy = y - in.lastRealY;
  in.lastRealX = x, in.lastRealY = y;
  if (head->scaler) rotateVector(head->scaler, &dx, &dy, false);
  warpPointerOnHead(kXrcMouse, CurrentTime, head, dx, dy);
  return true;
}

// The pointer grabbed: a point leaving the clip rectangle enters the
// nearest neighbour's. Returns the head the point then lies on.
Head* crossWhileGrabbed(Head* head, i32* x, i32* y, u32 state) {
  Rect clip = clipOnScreen(head, 0);
  i32 right = clip.x + i32(clip.width) - 1, bottom = clip.y + i32(clip.height) - 1;
  if (inputState.pointerGrab.window && (*x == clip.x || *x == right || *y == clip.y || *y == bottom))
    rectPushPointOutside(x, y, clipOnScreen(head, 1));
  if (insideRect(clip, *x, *y)) return head;
  if (!headDisplayOpen(head)) return head;
  pointerOffsetToUnits(&head->input.area, head->display, int(head->screen), *x - clip.x, *y - clip.y);
  Head* next = findNearestHead(head, state);
  if (!next || next == head) return head;
  bool confined = inputState.pointerGrab.client && inputState.pointerGrab.confineTo;
  if (confined && next->metaScreen != head->metaScreen) return head;
  const HeadArea& area = next->input.area;
  double pxX = next->widthMM ? double(next->width) / (next->widthMM * 10000.0) : 0;
  double pxY = next->heightMM ? double(next->height) / (next->heightMM * 10000.0) : 0;
  Rect target = clipOnScreen(next, 0);
  i32 nx = target.x + i32((area.entryX - area.originX) * pxX);
  i32 ny = target.y + i32((area.entryY - area.originY) * pxY);
  rectClampPoint(&nx, &ny, target);
  *x = nx, *y = ny;
  return next;
}

void panWithPointer(ProxyClient* client, Head* head, i32 rx, i32 ry, i32 mx, i32 my) {
  u64 now = ordersClock();
  if (!head->input.panStartMs) head->input.panStartMs = now;
  if (now - head->input.panStartMs >= kPanPauseMs) panHead(head, mx, my, client, true);
  if (insideRect(clipOnScreen(head, 1), rx, ry))
    syncInputAcrossHeads(kXrcMouse, client, head->metaScreen, mx, my, true);
}

}  // namespace

void trackServerPointer(ProxyClient* client, Head* head, i32 x, i32 y, u32 state, bool grab) {
  if (!head) return;
  inputState.buttonState = state & 0x1f00;
  inputState.modifierState = state & 0x60ff;
  if (followRotatedPointer(head, x, y)) return;
  head->input.lastRealX = x, head->input.lastRealY = y;
  head->input.haveRealPosition = 1;
  keepScreenSaversInStep();
  Rect clip = clipOnScreen(head, 0);
  if (!head->inWindow || insideRect(clip, x, y)) {
    i32 cx = x, cy = y, mx = 0, my = 0;
    rectClampPoint(&cx, &cy, clip);
    mapPointToHead(head, cx, cy, &mx, &my);
    movePointerToHead(kXrcMouse, head, mx, my, true);
  }
  Head* result = grab ? crossWhileGrabbed(head, &x, &y, state) : head;
  i32 mx = 0, my = 0;
  Rect resultClip = clipOnScreen(result, 0);
  rectClampPoint(&x, &y, resultClip);
  mapPointToHead(result, x, y, &mx, &my);
  MetaScreen* screen = result->metaScreen;
  if (!screen) return;
  if (result == inputState.pointerHead) {
    Rect metaBounds{0, 0, std::max(screen->width, 1u), std::max(screen->height, 1u)};
    if (!insideRect(metaBounds, mx, my)) {
      syncInputAcrossHeads(kXrcMouse, client, screen, mx, my, true);
    } else if (isPanModifierPressed(result, inputState.modifierState)) {
      panWithPointer(client, result, x, y, mx, my);
    } else {
      result->input.panStartMs = 0;
    }
    return;
  }
  syncInputAcrossHeads(kXrcMouse, client, screen, mx, my, true);
}

Head* findNearestHead(Head* head, u32 state) {
  HeadArea& from = head->input.area;
  if (!isPanModifierPressed(head, state) && from.width > 0 && from.height > 0) {
    from.pointerX = std::clamp(from.pointerX, from.x - 1, from.x + from.width);
    from.pointerY = std::clamp(from.pointerY, from.y - 1, from.y + from.height);
  }
  Head* best = nullptr;
  u32 bestScore = kNoEntrySameArea;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* other = screen->heads; other; other = other->next) {
      if (headIsOverlay(other) || !other->inWindow != !head->inWindow || !headDisplayOpen(other)) continue;
      u32 score = findHeadEntry(&from, &other->input.area);
      if (score < bestScore) bestScore = score, best = other;
    }
  }
  return best;
}

void selectInputOnHeads([[maybe_unused]] ProxyClient* client, u32 eventMask) {
  // The selection is the proxy's own (its crossings), so it goes through the
  // proxy's connections even when a client's warp follows.
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->innerWindow || !headDisplayOpen(head)) continue;
      XfsSelectInput(head->display, head->innerWindow, long(eventMask));
      XfsFlush(head->display);
    }
  }
}

// --- Polling ---------------------------------------------------------------------------------

void restartPointerTracking() {
  orderCancel(inputState.pollTimer);
  inputState.pollTimer = nullptr;
  inputState.polling = inputState.pollCount > 0 && inputState.pollInterval > 0;
  if (inputState.polling) inputState.pollTimer = orderAddTimer(inputState.pollInterval, pointerTrackingTick, nullptr);
}

namespace {

// A client that records events sees the pointer through its own link.
ServerLink* recordingLinkTo(const Head* head) {
  for (ProxyClient* client = clientList; client; client = client->next)
    if (client->recording && head->serverIndex < client->linkCount && client->links[head->serverIndex])
      return client->links[head->serverIndex];
  return nullptr;
}

void queryPointerOf(Head* head) {
  if (ServerLink* link = recordingLinkTo(head)) {
    requestQueryPointer(link, u32(head->root));
    addReplyHook(link, handleTrackingPointerReply, nullptr);
    return;
  }
  Display* display = head->display;
  if (!headDisplayOpen(head)) return;
  if (XfsEventsQueued(display, QueuedAlready) > 0) processDisplayEvents(display, false);
  if (!headDisplayOpen(head) || inputState.pointerHead != head) return;
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  if (!XfsQueryPointer(display, head->root, &root, &child, &rx, &ry, &wx, &wy, &mask) && !root) return;
  i32 x = rx, y = ry;
  if (root != head->root) {
    Head* other = findHeadByRoot(display, root);
    if (!other) return;
    xrcUndoScreenCrossing(display, int(other->screen), int(headGlobalX(other)), int(headGlobalY(other)), rx, ry,
                          int(head->screen), int(headGlobalX(head)), int(headGlobalY(head)), &x, &y);
    rectPushPointOutside(&x, &y, clipOnScreen(head, 0));
  }
  trackServerPointer(nullptr, head, x, y, mask, inputState.pointerGrab.client != nullptr);
}

}  // namespace

void pointerTrackingTick([[maybe_unused]] void* argument) {
  inputState.pollTimer = nullptr;
  if (inputState.pointerHead) queryPointerOf(inputState.pointerHead);
  if (!inputState.pollTimer && inputState.polling)
    inputState.pollTimer = orderAddTimer(inputState.pollInterval, pointerTrackingTick, nullptr);
}

int handleTrackingPointerReply(ServerLink* link, const u8* reply, [[maybe_unused]] void* argument) {
  if (inputState.polling) inputState.replySeen = 1;
  bool swap = link->server.bigEndian;  // the proxy runs least significant byte first
  auto word = [&](u32 at) {
    u32 v = u32(reply[at]) | u32(reply[at + 1]) << 8 | u32(reply[at + 2]) << 16 | u32(reply[at + 3]) << 24;
    return swap ? __builtin_bswap32(v) : v;
  };
  auto half = [&](u32 at) {
    u16 v = u16(reply[at] | reply[at + 1] << 8);
    return swap ? __builtin_bswap16(v) : v;
  };
  ServerDisplay* server = link->server.display;
  Display* display = server ? server->display : nullptr;
  const char* name = link->server.displayName;
  Window root = word(8);
  i32 x = i16(half(16)), y = i16(half(18));
  ServerPointerHit hit = display ? findHeadAtServerPointer(display, root, x, y) : ServerPointerHit{};
  if (!hit.head) {
    LOGF(logChXhint, "Ignoring query pointer reply (unknown root 0x%x) from %s", u32(root), name);
    return 1;
  }
  if (inputState.pointerHead && hit.head->serverDisplay != inputState.pointerHead->serverDisplay) {
    LOGF(logChXhint, "Ignoring query pointer reply (wrong server) from %s", name);
    return 1;
  }
  trackServerPointer(link->client, hit.head, x, y, half(24), inputState.pointerGrab.client != nullptr);
  return 1;
}

}  // namespace palvon
