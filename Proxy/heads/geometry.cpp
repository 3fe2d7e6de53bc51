// A head window's geometry and stacking as its server reports them.
#include "Proxy/heads/geometry.h"

#include <algorithm>

#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/pointer.h"
#include "Proxy/servers/failsafe.h"

namespace palvon {

namespace {

// The pan window lies this much inside the head's area on every side.
constexpr i32 kPanWindowShrink = 4;

i32 atLeastOne(i64 value) { return value < 1 ? 1 : value > INT32_MAX ? INT32_MAX : i32(value); }

// The head's rectangle into a meta screen of known size: shrunk to fit,
// then moved inside.
void clampIntoScreen(HeadRect* rect, const MetaScreen* screen) {
  if (!screen || !screen->width || !screen->height) return;
  i32 width = i32(std::min<u32>(screen->width, INT32_MAX)), height = i32(std::min<u32>(screen->height, INT32_MAX));
  rect->width = std::min(rect->width, width);
  rect->height = std::min(rect->height, height);
  rect->x = std::clamp(rect->x, 0, width - rect->width);
  rect->y = std::clamp(rect->y, 0, height - rect->height);
}

}  // namespace

void setHeadWindowOrigin(Head* head, i32 x, i32 y) {
  // The area's place on the real screen is clip + offset; clip holds where
  // the window was made, so the offset is how far it moved since.
  i32 b = head->borderWidth;
  head->offsetX = i32(i64(x) + b - head->clip.x);
  head->offsetY = i32(i64(y) + b - head->clip.y);
}

void setHeadWindowSize(Head* head, u32 width, u32 height) {
  i32 b = head->borderWidth;
  // A window no larger than twice the border leaves an area of 1, never 0:
  // the next resize divides by it.
  i32 oldWidth = atLeastOne(head->clip.width), oldHeight = atLeastOne(head->clip.height);
  i32 newWidth = atLeastOne(i64(width) - 2 * i64(b)), newHeight = atLeastOne(i64(height) - 2 * i64(b));
  head->clip.width = newWidth;
  head->clip.height = newHeight;
  head->logical.width = atLeastOne(i64(newWidth) * head->logical.width / oldWidth);
  head->logical.height = atLeastOne(i64(newHeight) * head->logical.height / oldHeight);
  clampIntoScreen(&head->logical, head->metaScreen);
  Display* display = head->display;
  if (!display || isDisplayOffline(display)) return;
  if (head->innerWindow) XfsResizeWindow(display, head->innerWindow, u32(newWidth), u32(newHeight));
  if (Window pan = headPanWindow(head))
    XfsResizeWindow(display, pan, u32(atLeastOne(i64(newWidth) - kPanWindowShrink)),
                    u32(atLeastOne(i64(newHeight) - kPanWindowShrink)));
  XfsFlush(display);
}

void applyHeadWindowState(Head* head) {
  updateHeadStacking(head);
  refreshHeadCursor(head);
}

void updateHeadStacking(Head* head) {
  Display* display = head->display;
  if (!display || isDisplayOffline(display) || !head->window) return;
  Window frame = findFrameWindow(display, head->window);
  if (!frame) return;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XfsQueryTree(display, head->root, &root, &parent, &children, &count)) return;
  // The children come bottom first.
  unsigned index = count;
  for (unsigned i = 0; i < count; i++)
    if (children[i] == frame) index = i;
  if (children) XFree(children);
  if (index == count) return;
  head->stacking = i32(count - 1 - index);
  if (head->inWindow) head->input.frame = frame;
  XWindowChanges changes{};
  if ((head->tags & kHeadTagKeepOnTop) && head->stacking != 0) {
    changes.stack_mode = Above;
  } else if ((head->tags & kHeadTagKeepBelow) && index != 0) {
    changes.stack_mode = Below;
  } else {
    return;
  }
  XfsReconfigureWMWindow(display, head->window, int(head->screen), CWStackMode, &changes);
  XfsFlush(display);
}

}  // namespace palvon
