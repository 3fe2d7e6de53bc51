// Pointer settings of a server, the null mouse, the window-manager hints of
// heads shown in a window and dragging such a window with the pointer.
#include "Proxy/input/pointerutil.h"

#include <X11/Xutil.h>
#include <X11/extensions/XInput.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

// --- Pointer settings ---------------------------------------------------------------

const char* savePointerSettings(Display* display, PointerSettings* settings) {
  *settings = {};
  int numerator = 0, denominator = 0, threshold = 0;
  XfsGetPointerControl(display, &numerator, &denominator, &threshold);
  int buttons = XfsGetPointerMapping(display, settings->buttonMap, int(kSavedButtonsMax));
  if (isDisplayOffline(display)) return displayOfflineText(display);
  settings->accelNumerator = numerator;
  settings->accelDenominator = denominator;
  settings->threshold = threshold;
  settings->buttonCount = std::min(buttons, int(kSavedButtonsMax));
  return nullptr;
}

void mergeButtonMaps(const u8* source, u32 sourceCount, u8* target, u32 targetCount) {
  for (u32 i = 0; i < targetCount; i++) target[i] = i < sourceCount ? source[i] : 0;
}

void restorePointerSettings(Display* display, const PointerSettings* settings) {
  if (settings->accelDenominator > 0)
    XfsChangePointerControl(display, True, True, settings->accelNumerator, settings->accelDenominator,
                            settings->threshold);
  // The server wants a map of exactly its own length: buttons beyond the
  // saved ones keep their identity.
  u8 map[256];
  int count = XfsGetPointerMapping(display, map, 255);
  if (count <= 0 || settings->buttonCount <= 0) return;
  for (int i = 0; i < count && i < settings->buttonCount; i++) map[i] = settings->buttonMap[i];
  XfsSetPointerMapping(display, map, count);
}

const char* copyPointerMapping(Display* from, Display* to) {
  if (!from || !to || from == to) return nullptr;
  u8 source[256], target[256];
  int sourceCount = XfsGetPointerMapping(from, source, 255);
  if (isDisplayOffline(from)) return displayOfflineText(from);
  int targetCount = XfsGetPointerMapping(to, target, 255);
  if (isDisplayOffline(to)) return displayOfflineText(to);
  if (targetCount <= 0) return nullptr;
  mergeButtonMaps(source, u32(std::max(sourceCount, 0)), target, u32(targetCount));
  int status = XfsSetPointerMapping(to, target, targetCount);
  if (isDisplayOffline(to)) return displayOfflineText(to);
  if (status != MappingSuccess) return tmpPrintf("Pointer mapping of %s is busy", xShortDisplayName(to));
  return nullptr;
}

// --- The null mouse -------------------------------------------------------------------

const char* initNullMouseState(Display* display, NullMouseState* state) {
  u32 physical = kXrcNoDevice, null = kXrcNoDevice;
  int relative = 0;
  if (const char* error = xrcFindNullMouse(display, &physical, &null, &relative)) return error;
  XDevice* open = state->physical;  // stays open across set-ups
  *state = {};
  state->active = 1;
  state->physicalId = physical;
  state->nullId = null;
  state->physical = open && state->physicalId == physical ? open : nullptr;
  return nullptr;
}

namespace {

// The event classes of the physical mouse's motion and buttons; their types
// go into the state.
int physicalMouseClasses(NullMouseState* state, XEventClass* classes) {
  XDevice* device = state->physical;
  int count = 0;
  int type = 0;
  XEventClass cls = 0;
  DeviceMotionNotify(device, type, cls);
  if (cls) classes[count++] = cls, state->motionType = u8(type);
  cls = 0;
  DeviceButtonPress(device, type, cls);
  if (cls) classes[count++] = cls, state->pressType = u8(type);
  cls = 0;
  DeviceButtonRelease(device, type, cls);
  if (cls) classes[count++] = cls, state->releaseType = u8(type);
  return count;
}

}  // namespace

const char* setupNullMouse(Display* display, NullMouseState* state) {
  state->nullDevice = XfsOpenDevice(display, XID(state->nullId));
  if (!state->nullDevice)
    return tmpPrintf("Can't open null mouse device #%d on %s", int(state->nullId), xShortDisplayName(display));
  // The physical mouse is opened before the switch, so that a failure here
  // never leaves the server driven by the null mouse.
  if (!state->physical) state->physical = XfsOpenDevice(display, XID(state->physicalId));
  if (!state->physical) {
    XfsCloseDevice(display, state->nullDevice);
    state->nullDevice = nullptr;
    return tmpPrintf("Can't open physical mouse device #%d on %s", int(state->physicalId),
                     xShortDisplayName(display));
  }
  if (XfsChangePointerDevice(display, state->nullDevice, 0, 1) != Success) {
    XfsCloseDevice(display, state->nullDevice);
    state->nullDevice = nullptr;
    return "Can't use null mouse as core mouse";
  }
  XEventClass classes[3];
  int count = physicalMouseClasses(state, classes);
  Window root = DefaultRootWindow(display);
  if (XfsGrabDevice(display, state->physical, root, True, count, classes, GrabModeAsync, GrabModeAsync,
                    CurrentTime) != GrabSuccess) {
    releaseNullMouse(display, state);
    return "XGrabDevice of physical mouse failed";
  }
  state->grabbed = kNullMouseGrabbed;
  return nullptr;
}

const char* releaseNullMouse(Display* display, NullMouseState* state) {
  state->motionType = state->pressType = state->releaseType = 0;
  const char* error = nullptr;
  if (state->physical) {
    if (state->grabbed == kNullMouseGrabbed && XfsUngrabDevice(display, state->physical, CurrentTime) != Success)
      error = "XUngrabDevice of physical mouse failed";
    state->grabbed = 0;
    if (!error && state->nullDevice && XfsChangePointerDevice(display, state->physical, 0, 1) != Success)
      error = "XChangePointerDevice of physical mouse failed";
  }
  if (!error && state->nullDevice) {
    if (XfsCloseDevice(display, state->nullDevice) != Success) error = "XCloseDevice of null mouse failed";
    state->nullDevice = nullptr;
  }
  XfsFlush(display);
  return error;
}

// --- Heads inside a window -------------------------------------------------------------

void setWindowTitle(Display* display, Window window, const char* format, ...) {
  char title[256];
  va_list args;
  va_start(args, format);
  vsnprintf(title, sizeof title, format, args);
  va_end(args);
  XfsStoreName(display, window, title);
}

namespace {

void changeNormalHints(Display* display, Window window, long flag, i32 a, i32 b) {
  XSizeHints hints{};
  long supplied = 0;
  if (!XfsGetWMNormalHints(display, window, &hints, &supplied)) hints = {};
  hints.flags |= flag;
  if (flag == PPosition) hints.x = a, hints.y = b;
  if (flag == USSize) hints.width = a, hints.height = b;
  if (flag == PMaxSize) hints.max_width = a, hints.max_height = b;
  XfsSetWMNormalHints(display, window, &hints);
}

}  // namespace

void setWindowPositionHint(Display* display, Window window, i32 x, i32 y) {
  changeNormalHints(display, window, PPosition, x, y);
}

void setWindowSizeHint(Display* display, Window window, i32 width, i32 height) {
  changeNormalHints(display, window, USSize, width, height);
}

void setWindowMaxSizeHint(Display* display, Window window, i32 width, i32 height) {
  changeNormalHints(display, window, PMaxSize, width, height);
}

// --- Dragging a window ------------------------------------------------------------------

namespace {

// The one drag that can run at a time: the pointer is grabbed for it, so a
// second press cannot reach another drag window meanwhile.
struct WindowDrag {
  Display* display;
  Window window;
  i32 lastX, lastY;   // root position of the last step
  u32 buttons;        // the buttons held when the drag began
};
WindowDrag drag;

constexpr u32 kButtonBits = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;

void endDrag() {
  XfsUngrabPointer(drag.display, CurrentTime);
  XfsFlush(drag.display);
  drag = {};
}

void moveDraggedWindow(i32 rootX, i32 rootY) {
  XWindowAttributes attributes{};
  if (!XfsGetWindowAttributes(drag.display, drag.window, &attributes)) return;
  XfsMoveWindow(drag.display, drag.window, attributes.x + rootX - drag.lastX, attributes.y + rootY - drag.lastY);
  drag.lastX = rootX, drag.lastY = rootY;
}

}  // namespace

bool dragWindowWithPointer(Display* display, Window window, Cursor cursor, i32 startX, i32 startY) {
  if (drag.display) return true;
  Window root = 0, child = 0;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned mask = 0;
  if (!XfsQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &x, &y, &mask))
    return !isDisplayOffline(display);
  // The button that started the drag is up already: nothing to follow.
  if (!(mask & kButtonBits)) return true;
  int status = XfsGrabPointer(display, window, False, ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                              GrabModeAsync, root, cursor, CurrentTime);
  if (status != GrabSuccess) {
    XfsFlush(display);
    return false;
  }
  drag = {display, window, startX, startY, mask & kButtonBits};
  moveDraggedWindow(rootX, rootY);
  XfsFlush(display);
  return true;
}

bool handleWindowDragEvent(Display* display, const XEvent* event) {
  if (!drag.display || display != drag.display) return false;
  switch (event->type) {
    case MotionNotify:
      moveDraggedWindow(event->xmotion.x_root, event->xmotion.y_root);
      XfsFlush(display);
      return true;
    case ButtonRelease: {
      moveDraggedWindow(event->xbutton.x_root, event->xbutton.y_root);
      // The state holds the buttons before this release.
      u32 button = event->xbutton.button;
      u32 released = button >= 1 && button <= 5 ? u32(Button1Mask) << (button - 1) : 0;
      u32 left = (event->xbutton.state & kButtonBits) & ~released;
      if (!(left & drag.buttons)) endDrag();
      return true;
    }
    case ButtonPress: return true;
    default: return false;
  }
}

bool windowDragActive(const Display* display) { return display && drag.display == display; }

void cancelWindowDrag(const Display* display) {
  if (display && drag.display == display) drag = {};
}

}  // namespace palvon
