// The pointer leaving a proxy window on a real server: where it went, and
// moving the meta pointer there (onto a head of another server when the
// pointer left the last head of this one).
#include <algorithm>

#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/displayevents_handlers.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

Rect clipGrownBy(const Head* head, i32 grow) {
  return Rect{head->clip.x + head->offsetX - grow, head->clip.y + head->offsetY - grow,
              u32(std::max(head->clip.width + 2 * grow, 1)), u32(std::max(head->clip.height + 2 * grow, 1))};
}

bool contains(i64 start, i64 extent, i64 v) { return v >= start && v < start + extent; }

// A head not shown in a window whose place among all heads holds the
// global point.
Head* headAtGlobalPoint(i64 x, i64 y) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->inWindow || head->noEntry || !headDisplayOpen(head)) continue;
      if (contains(i32(headGlobalX(head)), std::max(head->clip.width, 1), x) &&
          contains(i32(headGlobalY(head)), std::max(head->clip.height, 1), y))
        return head;
    }
  }
  return nullptr;
}

// Steps taken for every crossing out of a head: the server's pointer
// position, the head that shows it, and the meta pointer moved there.
bool followCrossing(DisplayEvents& d, Head* left, const XCrossingEvent& crossing) {
  i32 x = crossing.x_root, y = crossing.y_root;
  Window root = crossing.root;
  if (root != left->root) {
    Head* other = findHeadByRoot(d.display, root);
    // A screen of this server that no head shows has no place to carry the
    // point from; the pointer stays where the proxy has it.
    if (!other) return true;
    xrcUndoScreenCrossing(d.display, int(other->screen), int(headGlobalX(other)), int(headGlobalY(other)), x, y,
                          int(left->screen), int(headGlobalX(left)), int(headGlobalY(left)), &x, &y);
    root = left->root;
  }
  ServerPointerHit hit = findHeadAtServerPointer(d.display, root, x, y);
  if (!hit.head) {
    PALVON_UNE();
    return true;
  }
  i32 px = x, py = y;
  rectClampPoint(&px, &py, clipGrownBy(hit.head, hit.head->borderWidth));
  Head* next = nullptr;
  i32 nx = 0, ny = 0;
  translateCrossingPoint(left, hit.head, px, py, &next, &nx, &ny);
  if (next->inWindow && !next->noEntry) {
    if (next->input.inputControlNote && next->input.inputControlNote != inputControlDisplay)
      logProblem(switchInputControl(kXrcMouse, next->input.inputControlNote, 1), __FILE__, __LINE__);
    return true;
  }
  i32 mx = 0, my = 0;
  mapPointToHead(next, nx, ny, &mx, &my);
  bool sameScreen = next->serverDisplay == left->serverDisplay && next->screen == left->screen;
  if (sameScreen && !left->inWindow && !inputState.pointerGrab.client) {
    if (nx == crossing.x_root && ny == crossing.y_root) {
      movePointerToHead(kXrcMouse, next, mx, my, false);
      return true;
    }
  }
  syncInputAcrossHeads(kXrcMouse, nullptr, next->metaScreen, mx, my, true);
  return true;
}

}  // namespace

void translateCrossingPoint(Head* from, Head* to, i32 x, i32 y, Head** outHead, i32* outX, i32* outY) {
  *outHead = to, *outX = x, *outY = y;
  if (!to || (from && from->noEntry) || to->noEntry || to->inWindow) return;
  // Into the space all heads share (each head's place in its own pixels).
  i64 gx = i64(x) - (to->clip.x + to->offsetX) + headGlobalX(to);
  i64 gy = i64(y) - (to->clip.y + to->offsetY) + headGlobalY(to);
  Head* found = headAtGlobalPoint(gx, gy);
  if (!found) return;
  i32 hx = i32(gx - headGlobalX(found)) + found->clip.x + found->offsetX;
  i32 hy = i32(gy - headGlobalY(found)) + found->clip.y + found->offsetY;
  rectClampPoint(&hx, &hy, clipGrownBy(found, 0));
  *outHead = found, *outX = hx, *outY = hy;
}

bool onLeaveNotify(DisplayEvents& d, XEvent* event) {
  const XCrossingEvent& crossing = event->xcrossing;
  // Into a child of the window: the pointer is still on the head.
  if (crossing.detail == NotifyInferior) return true;
  Head* holder = inputState.pointerHead;
  bool captured = d.server && d.server == inputControlDisplay && holder && holder->serverDisplay != d.server;
  Head* pan = findHeadByWindow(d.display, crossing.window, &Head::trackingWindow);
  if (pan) {
    if (captured) warpPointerToHeadCenter(kXrcMouse, nullptr, pan, 1);
    return true;
  }
  Head* head = findHeadByWindow(d.display, crossing.window, &Head::innerWindow);
  if (!head) head = findHeadByWindow(d.display, crossing.window, &Head::window);
  // While the pointer is on another server, this server's pointer only
  // lends its motion: a jump past the pan window is no crossing.
  if (head && captured) {
    warpPointerToHeadCenter(kXrcMouse, nullptr, head, 1);
    return true;
  }
  if (head && head->inWindow && headIsOverlay(head) && crossing.window == head->window) {
    leaveOverlayHead(head, &crossing);
    return true;
  }
  if (!head) {
    Head* onRoot = findHeadByRoot(d.display, crossing.window);
    bool direct = onRoot && (crossing.mode == NotifyNormal || crossing.send_event) &&
                  rootCrossingFlag(onRoot->metaScreen);
    return direct ? followCrossing(d, onRoot, crossing) : true;
  }
  if (crossing.send_event) {
    LOGF(logChStep, "LeaveEvent by XSendEvent ignored ...");
    return true;
  }
  if (windowDragActive(d.display) || crossing.mode != NotifyNormal) {
    LOGF(logChStep, "LeaveEvent ignored while grabbed (handled by doXPointerTracking) ...");
    return true;
  }
  LOGF(logChStep, "Pointer left %s at %d,%d (mode=%d detail=%d) ...", head->name, crossing.x_root, crossing.y_root,
       crossing.mode, crossing.detail);
  if (head->inWindow) {
    if (panHeadWithPointer(head, &crossing)) return true;
    if (head->serverDisplay == inputControlDisplay && !isHeadPointerTarget(head))
      logProblem(switchInputControl(kXrcMouse, firstOrdinaryDisplay(), 1), __FILE__, __LINE__);
    if (head->input.colormapsFollowPointer) {
      uninstallColormapsOnHead(head);
      head->input.entered = 0;
    }
  }
  return followCrossing(d, head, crossing);
}

}  // namespace palvon
