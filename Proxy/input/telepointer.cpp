// Telepointers: the session's pointer shown on a head that does not hold the
// real pointer (a shaped window, or a second master pointer), following the
// meta pointer over heads that overlap others.
#include <algorithm>
#include <cstdlib>

#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/cursors.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

namespace {

// Set when the proxy does not use SHAPE on the servers (no extension of that
// name offered).
bool shapeDisabled() { return isExtensionDisabled("SHAPE"); }

void showCursorImage(CursorRecord* cursor, Head* head) {
  const HeadCursor* images = nullptr;
  u32 count = 0;
  if (!cursor || !describeCursorImages(cursor, &images, &count) || !count) return;
  createHeadCursor(head->display, head->root, head->telepointer, &images[0]);
}

}  // namespace

const char* createTelepointer(CursorRecord* cursor, [[maybe_unused]] u32 device, Head* head, bool withShape) {
  if (!headDisplayOpen(head)) return nullptr;
  if (!head->telepointer) {
    head->telepointer = static_cast<Telepointer*>(calloc(1, sizeof(Telepointer)));
    if (!head->telepointer) return PALVON_OOM();
  }
  Telepointer* telepointer = head->telepointer;
  if (withShape) {
    if (!xrcTelepointerExists(telepointer)) {
      int screen = int(head->screen);
      if (!xrcTelepointerCreate(head->display, head->screen, head->name, head->root,
                                DefaultDepth(head->display, screen), DefaultVisual(head->display, screen),
                                DefaultColormap(head->display, screen), 0, !shapeDisabled(), telepointer)) {
        LOGF(logChError, "No SHAPE extension on %s", head->name);
        free(head->telepointer);
        head->telepointer = nullptr;
        return nullptr;
      }
      XColor foreground{}, background{};
      foreground.red = foreground.green = foreground.blue = 0;
      background.red = background.green = background.blue = 0xffff;
      if (!xrcTelepointerSetColors(head->display, telepointer, &foreground, &background))
        LOGF(logChXhint, "Can't allocate telepointer colors at %s", head->name);
    }
    showCursorImage(cursor, head);
  } else {
    head->input.clickCursorBlank = 0;
  }
  head->input.lastCursor = cursor;
  return nullptr;
}

void removeTelepointer(Head* head) {
  if (!head->telepointer) return;
  if (headDisplayOpen(head)) xrcTelepointerDestroy(head->display, head->telepointer);
  free(head->telepointer);
  head->telepointer = nullptr;
  head->input.telepointerPlaced = 0;
  head->input.lastCursor = nullptr;
}

void updateTelepointer(Head* head, i32 x, i32 y) {
  Head* holder = inputState.pointerHead;
  HeadInput& in = head->input;
  bool visible = !head->inWindow || !in.obscured;
  Rect logical{head->logical.x, head->logical.y, u32(std::max(head->logical.width, 0)),
               u32(std::max(head->logical.height, 0))};
  bool shows = head != holder && holder && holder->metaScreen == head->metaScreen && visible &&
               logical.width && logical.height && rectPointDistance(logical, x, y) == 0;
  if (!headDisplayOpen(head)) return;
  if (!shows) {
    if (headNeedsPanWindow(head)) {
      if (head->telepointer) xrcTelepointerHide(head->display, head->telepointer);
    } else if (!in.clickCursorBlank && headClickWindow(head)) {
      logProblem(xrcSetBlankCursor(head->display, int(head->screen), headClickWindow(head), kXrcMouse), __FILE__,
                 __LINE__);
      in.clickCursorBlank = 1;
    }
    in.lastCursor = nullptr;
    in.telepointerPlaced = 0;
    return;
  }
  i32 hx = x, hy = y;
  metaToHeadPoint(&hx, &hy, head);
  CursorRecord* cursor = cursorAtMetaPoint(head->metaScreen, x, y);
  if (cursor != in.lastCursor || !head->telepointer) {
    logProblem(createTelepointer(cursor, kXrcMouse, head, headNeedsPanWindow(head)), __FILE__, __LINE__);
    in.telepointerPlaced = 0;
  }
  if (in.telepointerPlaced && in.telepointerX == hx && in.telepointerY == hy) return;
  if (isPanModifierPressed(head, inputState.modifierState)) panHead(head, x, y, nullptr, true);
  in.telepointerX = hx, in.telepointerY = hy, in.telepointerPlaced = 1;
  if (!headNeedsPanWindow(head)) {
    warpMetaPointerToHead(kXrcMouse, nullptr, head, x, y);
    XfsFlush(head->display);
    return;
  }
  if (head->telepointer) xrcTelepointerMove(head->display, head->telepointer, hx, hy);
}

void leaveOverlayHead(Head* head, const XCrossingEvent* event) {
  if (event->send_event || head != inputState.pointerHead) return;
  if (!findHeadByRoot(head->display, event->root)) return;
  ServerPointerHit hit = findHeadAtServerPointer(head->display, event->root, event->x_root, event->y_root);
  if (!hit.head) {
    PALVON_UNE();
    return;
  }
  movePointerToHead(kXrcMouse, hit.head, hit.x, hit.y, false);
}

}  // namespace palvon
