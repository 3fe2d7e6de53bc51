// The meta pointer's state and coordinates: meta to head and back, finding
// heads by root, screen and server pointer position, making a head the
// pointer's head, real moves with their rate limit, meta time stamps and
// the focus on every head.
#include "Proxy/input/pointer.h"

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/orders.h"
#include "base/rect.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

InputState inputState = [] {
  InputState state{};
  state.deviceLastX = state.deviceLastY = kNoDevicePosition;
  return state;
}();

namespace {

constexpr u32 kTagIconify = 0x1000;
constexpr u32 kTagNotManaged = 0x2000;
constexpr u32 kWorkaroundFixPointerCoordinates = 0x80;

Rect clipRect(const Head* head, i32 grow) {
  return Rect{head->clip.x + head->offsetX - grow, head->clip.y + head->offsetY - grow,
              u32(std::max(head->clip.width + 2 * grow, 1)), u32(std::max(head->clip.height + 2 * grow, 1))};
}

Rect logicalRect(const Head* head) {
  return Rect{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 1)),
              u32(std::max(head->logical.height, 1))};
}

// A point of the head's real screen in meta coordinates (not clamped).
void headToMetaPoint(const Head* head, i32* x, i32* y) {
  *x -= head->clip.x + head->offsetX;
  *y -= head->clip.y + head->offsetY;
  if (head->scaler)
    unscalePointInSize(head->scaler, x, y, u32(std::max(head->logical.width, 1)),
                       u32(std::max(head->logical.height, 1)));
  *x += head->logical.x;
  *y += head->logical.y;
}

void defaultMoveSink(Head* head, bool relative, i32 x, i32 y) {
  if (!headDisplayOpen(head)) return;
  const char* error = relative ? xrcWarpPointer(head->display, kXrcMouse, x, y)
                               : xrcMovePointer(head->display, kXrcMouse, int(head->screen), x, y, 0);
  logProblem(error, __FILE__, __LINE__);
  if (head->pointerSync) XfsSync(head->display, False);
}

PointerMoveSink moveSink = defaultMoveSink;

void sendPendingMotion(void* argument) {
  auto* head = static_cast<Head*>(argument);
  PendingMotion& motion = head->input.motion;
  motion.timer = nullptr;
  if (!motion.pending) return;
  motion.pending = 0;
  moveSink(head, motion.relative, motion.x, motion.y);
}

}  // namespace

// --- Predicates ------------------------------------------------------------------------------

bool headDisplayOpen(const Head* head) { return head && head->display && !isDisplayOffline(head->display); }
bool headIsOverlay(const Head* head) { return (head->tags & kHeadTagOverlay) != 0; }
bool headIsManaged(const Head* head) { return !(head->tags & kTagNotManaged); }
Window headPanWindow(const Head* head) { return head->trackingWindow; }
Window headClickWindow(const Head* head) { return head->cursorWindow; }

// --- Coordinates ------------------------------------------------------------------------------

void metaToHeadPoint(i32* x, i32* y, const Head* head) {
  *x -= head->logical.x;
  *y -= head->logical.y;
  if (head->scaler)
    scalePointInSize(head->scaler, x, y, u32(std::max(head->logical.width, 1)),
                     u32(std::max(head->logical.height, 1)));
  *x += head->clip.x + head->offsetX;
  *y += head->clip.y + head->offsetY;
}

ServerPointerHit findHeadAtServerPointer(Display* display, Window root, i32 x, i32 y) {
  ServerPointerHit hit{};
  u32 best = UINT32_MAX;
  i32 bestStacking = 0;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->display != display || head->root != root) continue;
      u32 distance = rectPointDistance(clipRect(head, head->borderWidth), x, y);
      if (distance < best || (distance == best && head->stacking < bestStacking)) {
        best = distance, bestStacking = head->stacking, hit.head = head;
      }
    }
  }
  if (!hit.head) return hit;
  Head* head = hit.head;
  i32 mx = x, my = y;
  Rect clip = clipRect(head, 0);
  if ((proxyConfig.workarounds & kWorkaroundFixPointerCoordinates) && rectPointDistance(clip, x, y)) {
    headToMetaPoint(head, &mx, &my);
    hit.x = mx, hit.y = my, hit.sameScreen = false, hit.outsideClip = true;
    return hit;
  }
  headToMetaPoint(head, &mx, &my);
  Rect logical = logicalRect(head);
  hit.sameScreen = rectPointDistance(logical, mx, my) == 0;
  rectClampPoint(&mx, &my, logical);
  hit.x = mx, hit.y = my;
  return hit;
}

Head* findHeadByRoot(Display* display, Window root) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->display == display && head->root == root) return head;
  return nullptr;
}

Head* findHeadByScreenNumber(Display* display, u32 screenNumber) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->display == display && head->screen == screenNumber) return head;
  return nullptr;
}

Head* findPointerHeadOnDisplay([[maybe_unused]] u32 device, ServerDisplay* server) {
  if (!server) return nullptr;
  Display* display = server->display;
  if (!display || isDisplayOffline(display)) return server->firstHead;
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned mask = 0;
  XfsQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy, &mask);
  if (isDisplayOffline(display) || !root) return server->firstHead;
  ServerPointerHit hit = findHeadAtServerPointer(display, root, rx, ry);
  return hit.head ? hit.head : server->firstHead;
}

// --- Making a head the pointer's head ---------------------------------------------------------------

namespace {

bool overBareRoot(MetaScreen* screen, i32 x, i32 y) {
  return screen && pointerWindowAt(screen, x, y) == screen->rootWindow;
}

}  // namespace

void movePointerToHead([[maybe_unused]] u32 device, Head* head, i32 x, i32 y, [[maybe_unused]] bool warped) {
  if (!head) return;
  const MetaScreen* was = inputState.pointerHead ? inputState.pointerHead->metaScreen : nullptr;
  bool moved = inputState.pointerX != x || inputState.pointerY != y;
  // The window under the pointer is looked for only on a change of screen
  // and while the pointer stays on the bare root after one.
  if (was && was != head->metaScreen)
    inputState.pointerInNoWindow = overBareRoot(head->metaScreen, x, y);
  else if (inputState.pointerInNoWindow && moved)
    inputState.pointerInNoWindow = overBareRoot(head->metaScreen, x, y);
  if (inputState.pointerHead != head) {
    inputState.pointerHead = head;
    recordPointerHeadChange(head);
    bool colormapsWanted = !head->inWindow || !headIsManaged(head);
    if (headDisplayOpen(head) && colormapsWanted) installColormapsOnHead(head, nullptr);
  }
  if (moved) {
    inputState.pointerX = x, inputState.pointerY = y;
    recordPointerMotion(x, y);
    recordCursorChange(kXrcMouse);
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* other = screen->heads; other; other = other->next)
      if (other->input.overlapped) updateTelepointer(other, x, y);
}

void setPointerHead(Head* head) { movePointerToHead(kXrcMouse, head, inputState.pointerX, inputState.pointerY, false); }

Head* pointerHead() { return inputState.pointerHead; }
Head* focusHead() { return inputState.focusHead; }
void setFocusHead(Head* head) { inputState.focusHead = head; }

void lastPointerPosition(i32* x, i32* y) {
  *x = inputState.pointerX;
  *y = inputState.pointerY;
}

u8 seamPhaseOf(const ServerLink* link) {
  if (!inputState.seamPhase || !link) return kSeamNone;
  bool move = inputState.seamPhase == kSeamMove;
  const ServerDisplay* server = link->server.display;
  if (server == inputState.seamServers[0]) return move ? u8(kSeamParked) : u8(kSeamLeaving);
  return move && server == inputState.seamServers[1] ? u8(kSeamEntered) : u8(kSeamNone);
}

bool pointerGrabPending() { return inputState.pointerGrab.client != nullptr; }
bool pointerPollActive() { return inputState.polling != 0; }

void movePointerToScreen(MetaScreen* screen, i32 x, i32 y) {
  syncInputAcrossHeads(kXrcMouse, nullptr, screen, x, y, true);
}

// --- Real moves ----------------------------------------------------------------------------------

void warpMetaPointerToHead([[maybe_unused]] u32 device, ProxyClient* client, Head* head, i32 x, i32 y) {
  if (!head) return;
  metaToHeadPoint(&x, &y, head);
  i32 width = head->width ? i32(head->width) : 1, height = head->height ? i32(head->height) : 1;
  x = std::clamp(x, 0, width - 1);
  y = std::clamp(y, 0, height - 1);
  ServerLink* link = client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
  if (link) {
    requestWarpPointer(link, u32(head->root), i16(x), i16(y));
  } else if (headDisplayOpen(head)) {
    moveServerPointer(kXrcMouse, head, x, y, false);
  }
  head->input.lastRealX = x, head->input.lastRealY = y;
  head->input.haveRealPosition = 1;
}

void moveServerPointer([[maybe_unused]] u32 device, Head* head, i32 x, i32 y, bool relative) {
  if (!head->pointerSampleRate) {
    moveSink(head, relative, x, y);
    return;
  }
  PendingMotion& motion = head->input.motion;
  if (motion.pending && motion.relative && relative) {
    motion.x += x, motion.y += y;
  } else {
    motion.x = x, motion.y = y;
  }
  motion.relative = relative;
  motion.pending = 1;
  if (!motion.timer) motion.timer = orderAddTimer(std::max(1000u / head->pointerSampleRate, 1u), sendPendingMotion, head);
}

void forgetHeadInput(Head* head) {
  orderCancel(head->input.motion.timer);
  head->input.motion = {};
  if (inputState.rotationHead == head) endPointerRotation(head);
  if (inputState.pointerHead == head) inputState.pointerHead = nullptr;
  if (inputState.focusHead == head) inputState.focusHead = nullptr;
  for (InputGrab* grab : {&inputState.pointerGrab, &inputState.keyboardGrab})
    if (grab->lending == head) grab->lending = nullptr;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->input.pointerHead == head) server->input.pointerHead = nullptr;
}

void forgetInputOnReset() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      forgetHeadInput(head);
      head->input.haveRealPosition = 0;
    }
  }
  inputState.deviceLastX = inputState.deviceLastY = kNoDevicePosition;
}

void setPointerMoveSink(PointerMoveSink sink) { moveSink = sink ? sink : defaultMoveSink; }

// --- Crossing areas ----------------------------------------------------------------------------

void computePointerTransformation(Head* head) {
  HeadInput& in = head->input;
  double mmX = head->width ? double(head->widthMM) / head->width : 0;
  double mmY = head->height ? double(head->heightMM) / head->height : 0;
  const MetaScreen* screen = head->metaScreen;
  i32 scaledX = head->scaler ? scaleX(head->scaler, head->logical.x) : head->logical.x;
  i32 scaledY = head->scaler ? scaleY(head->scaler, head->logical.y) : head->logical.y;
  double originX = ((screen ? screen->positionMMX : 0) + scaledX * mmX) * 10000;
  double originY = ((screen ? screen->positionMMY : 0) + scaledY * mmY) * 10000;
  in.transformX = i32(originX);
  in.transformY = i32(originY);
  in.transformWidth = u32(std::max(head->clip.width, 1) * mmX * 10000);
  in.transformHeight = u32(std::max(head->clip.height, 1) * mmY * 10000);
  HeadArea& area = in.area;
  area.originX = area.x = in.transformX;
  area.originY = area.y = in.transformY;
  area.width = i32(in.transformWidth);
  area.height = i32(in.transformHeight);
  area.excluded = head->noEntry;
  area.wrapX = head->wrapX;
  area.wrapY = head->wrapY;
}

void startPointerTransformation(Head* head) {
  computePointerTransformation(head);
  if (inputState.pointerHead == head) restartPointerRotation(head);
}

// --- Time stamps ----------------------------------------------------------------------------------

u32 translateServerTimestamp(u32 time, const ServerDisplay* display) {
  if (!time || !display) return time;
  i64 offset = timeDisplay ? timeDisplay->clockOffsetMs : 0;
  u32 meta = u32(i64(time) - display->clockOffsetMs + offset);
  // Server clocks wrap after 49.7 days: compare as X does, within half the
  // range, so a wrap counts as later and never freezes meta time.
  bool later = !inputState.lastTimeDisplay || i32(meta - inputState.lastMetaTime) > 0;
  if (later) {
    inputState.lastMetaTime = meta;
    inputState.lastMetaClockMs = ordersClockNow();
    inputState.lastTimeDisplay = display;
    return meta;
  }
  return display == inputState.lastTimeDisplay ? meta : inputState.lastMetaTime;
}

// --- Focus ------------------------------------------------------------------------------------------

u32 getServerFocusWindow(u32 focus, ServerDisplay* display) {
  if (!display || !display->firstHead) return PointerRoot;
  Head* focused = inputState.focusHead;
  if (focused && focused->serverDisplay == display) {
    return focus <= PointerRoot ? focus : translateXid(focus, RT_WINDOW, focused);
  }
  return u32(display->firstHead->keyGrabWindow);
}

void applyInputFocusToHeads() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!headDisplayOpen(head)) continue;
      if (head->inWindow && head->serverDisplay == inputControlDisplay && headIsManaged(head)) continue;
      u32 window = getServerFocusWindow(inputState.focusWindow, head->serverDisplay);
      if (window) XfsSetInputFocus(head->display, window, inputState.focusRevertTo, CurrentTime);
    }
  }
}

bool headIconified(const Head* head) { return head->input.iconified || (head->tags & kTagIconify); }

}  // namespace palvon
