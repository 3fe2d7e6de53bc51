// XRCLib device events, grabs and windows: a single touch, XInput event
// selection on every root, grab tests, focus, picking a window with the
// pointer, and mapping changes.
#include <cstdlib>

#include <X11/Xmu/WinUtil.h>
#include <X11/extensions/XTest.h>

#include "base/logging.h"
#include "xsupport/rclib/control.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

// One XInput event class a mask bit selects, and the kind it is noted as.
struct EventRow {
  u32 bit;
  u32 kind;
};
constexpr EventRow kEventRows[] = {
    {0x2, 1}, {0x4, 2}, {0x8, 3}, {0x10, 4}, {0x20, 5}, {0x40, 6}, {0x80, 7}, {0x100, 8}, {0x200, 9}, {0x400, 10},
};

// The event type and class of one kind for an opened device; type stays 0
// when the device lacks the input class. The libXi macros look the class up.
void eventClass(XDevice* device, u32 kind, int* type, XEventClass* eventClass) {
  *type = 0;
  *eventClass = 0;
  switch (kind) {
    case 1: ChangeDeviceNotify(device, *type, *eventClass); break;
    case 2: DeviceKeyPress(device, *type, *eventClass); break;
    case 3: DeviceKeyRelease(device, *type, *eventClass); break;
    case 4: DeviceButtonPress(device, *type, *eventClass); break;
    case 5: DeviceButtonRelease(device, *type, *eventClass); break;
    case 6: DeviceMotionNotify(device, *type, *eventClass); break;
    case 7: ProximityIn(device, *type, *eventClass); break;
    case 8: ProximityOut(device, *type, *eventClass); break;
    case 9: DeviceFocusIn(device, *type, *eventClass); break;
    case 10: DeviceFocusOut(device, *type, *eventClass); break;
    default: break;
  }
}

void dropClasses(XrcDisplay* record, u32 device) {
  u32 kept = 0;
  for (u32 i = 0; i < record->classCount; i++) {
    if ((record->classes[i] >> 8) != device) record->classes[kept++] = record->classes[i];
  }
  record->classCount = kept;
}

bool addClass(XrcDisplay* record, XEventClass eventClass) {
  if (record->classCount == record->classCapacity) {
    u32 capacity = record->classCapacity ? record->classCapacity * 2 : 32;
    auto* grown = static_cast<XEventClass*>(memRealloc(record->classes, capacity * sizeof(XEventClass)));
    if (!grown) return false;
    record->classes = grown;
    record->classCapacity = capacity;
  }
  record->classes[record->classCount++] = eventClass;
  return true;
}

void selectOnEveryRoot(XrcDisplay* record) {
  Display* display = record->display;
  for (int screen = 0; screen < ScreenCount(display); screen++) {
    XSelectExtensionEvent(display, RootWindow(display, screen), record->classes,
                          static_cast<int>(record->classCount));
  }
}

const char* touchButton(XrcDisplay* record, XDevice* device, u32 button, bool press, int* axes) {
  Display* display = record->display;
  if (record->method == kXrcControl) ctrlFakeDeviceButtonEvent(display, device, button, press, axes, 2, 0);
  else XTestFakeDeviceButtonEvent(display, device, button, press, axes, 2, 0);
  XFlush(display);
  return nullptr;
}

}  // namespace

const char* xrcSingleTouch(Display* display, u32 device, int x, int y) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  xrcPrintf(display, "Single touch at %d,%d...", x, y);
  if (device >= kXrcMouse || (record->method != kXrcXTest && record->method != kXrcControl)) {
    PALVON_WIP();
    return nullptr;
  }
  if ((error = xrcUseDevice(display, device))) return error;
  XDevice* opened = record->slots[device].device;
  int axes[2] = {x, y};
  u32 button = record->options[kXrcOptTouchButton];
  touchButton(record, opened, button, true, axes);
  xrcDelay(display, record->options[kXrcOptTouchHold]);
  touchButton(record, opened, button, false, axes);
  xrcUnuseDevice(display, device);
  xrcCount(kXrcStatTouches);
  xrcAutoFlush(record);
  return nullptr;
}

const char* xrcSelectEvents(Display* display, u32 device, u32 mask) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  const char* name = xrcDeviceName(display, device);
  xrcPrintf(display, "Selecting %s events...", name);
  if (!xrcDevicePresent(display, device)) return xrcError(display, "%s not present", name);
  const XrcDeviceInfo* info = xrcFindDeviceInfo(record, device);
  if (!info || info->kind == kXrcKindPointer || info->kind == kXrcKindKeyboard) return nullptr;
  if ((error = xrcUseDevice(display, device))) return error;
  dropClasses(record, device);
  XDevice* opened = record->slots[device].device;
  for (const EventRow& row : kEventRows) {
    if (!(mask & row.bit)) continue;
    int type;
    XEventClass selected;
    eventClass(opened, row.kind, &type, &selected);
    if (!type || type > 255) continue;
    if (!addClass(record, selected)) return PALVON_OOM();
    record->eventKinds[type] = static_cast<u8>(row.kind);
  }
  selectOnEveryRoot(record);
  return nullptr;
}

const char* xrcUnselectEvents(Display* display, u32 device, int keep) {
  XrcDisplay* record = xrcFindDisplay(display);
  xrcPrintf(display, "Unselecting %s events...", xrcDeviceName(display, device));
  if (!record || device >= kXrcMouse || !record->slots[device].openCount) return nullptr;
  dropClasses(record, device);
  if (keep) return nullptr;
  selectOnEveryRoot(record);
  return xrcUnuseDevice(display, device);
}

u32 xrcDrainEvents(Display* display, u32 device, u32 ms) {
  if (xrcSelectEvents(display, device, 0x7fe)) return 0;
  XSync(display, False);
  xrcDelay(display, ms);
  xrcUnselectEvents(display, device, 0);
  XSync(display, False);
  u32 count = 0;
  XEvent event;
  while (XPending(display)) {
    XNextEvent(display, &event);
    count++;
  }
  return count;
}

const char* xrcGrabDevice(Display* display, u32 device) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  const char* name = xrcDeviceName(display, device);
  xrcPrintf(display, "Grabbing %s events...", name);
  if (device >= kXrcMouse) {
    PALVON_WIP();
    return nullptr;
  }
  if ((error = xrcUseDevice(display, device))) return error;
  XEventClass classes[32];
  int count = 0;
  for (u32 i = 0; i < record->classCount && count < 32; i++) {
    if ((record->classes[i] >> 8) == device) classes[count++] = record->classes[i];
  }
  if (XGrabDevice(display, record->slots[device].device, DefaultRootWindow(display), True, count, classes,
                  GrabModeAsync, GrabModeAsync, CurrentTime) != Success) {
    xrcUnuseDevice(display, device);
    return xrcError(display, "Can't grab %s", name);
  }
  return nullptr;
}

const char* xrcUngrabDevice(Display* display, u32 device) {
  const char* name = xrcDeviceName(display, device);
  xrcPrintf(display, "Ungrab %s events...", name);
  XDevice* opened = xrcOpenedDevice(display, device);
  if (!opened) return xrcError(display, "Can't ungrab %s", name);
  int status = XUngrabDevice(display, opened, CurrentTime);
  xrcUnuseDevice(display, device);
  return status == Success ? nullptr : xrcError(display, "Can't ungrab %s", name);
}

// A test grab that succeeds is released at once: the device was free.
int xrcIsGrabbed(Display* display, u32 device) {
  Window root = DefaultRootWindow(display);
  int status;
  if (device == kXrcMouse) {
    status = XGrabPointer(display, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
    if (status == GrabSuccess) XUngrabPointer(display, CurrentTime);
  } else if (device == kXrcKeyboard) {
    status = XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) XUngrabKeyboard(display, CurrentTime);
  } else {
    if (xrcUseDevice(display, device)) return 0;
    XDevice* opened = xrcOpenedDevice(display, device);
    status = XGrabDevice(display, opened, root, False, 0, nullptr, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) XUngrabDevice(display, opened, CurrentTime);
    xrcUnuseDevice(display, device);
  }
  // A test grab is let go before the answer is given: another client's
  // grab right after must not find it still held.
  XSync(display, False);
  return status != GrabSuccess;
}

Window xrcFocusWindow(Display* display, u32 device) {
  Window focus = None;
  int revert = 0;
  if (device == kXrcKeyboard) {
    XGetInputFocus(display, &focus, &revert);
    return focus;
  }
  if (device >= kXrcMouse || xrcUseDevice(display, device)) return None;
  Time time = 0;
  XGetDeviceFocus(display, xrcOpenedDevice(display, device), &focus, &revert, &time);
  xrcUnuseDevice(display, device);
  return focus;
}

Window xrcPickWindow(Display* display, int screen, u32 button) {
  if (screen < 0 || screen >= ScreenCount(display)) screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  Cursor cross = XCreateFontCursor(display, 34);  // crosshair
  long mask = ButtonPressMask | ButtonReleaseMask;
  if (XGrabPointer(display, root, False, static_cast<unsigned>(mask), GrabModeAsync, GrabModeAsync, root, cross,
                   CurrentTime) != GrabSuccess) {
    XFreeCursor(display, cross);
    return None;
  }
  Window picked = root;
  for (;;) {
    XEvent event;
    XMaskEvent(display, mask, &event);
    if (event.type != ButtonRelease || (button && event.xbutton.button != button)) continue;
    if (event.xbutton.subwindow) picked = event.xbutton.subwindow;
    break;
  }
  XUngrabPointer(display, CurrentTime);
  XFreeCursor(display, cross);
  XFlush(display);
  return picked;
}

Window xrcPickClientWindow(Display* display, int screen, u32 button) {
  Window picked = xrcPickWindow(display, screen, button);
  for (int i = 0; i < ScreenCount(display); i++) {
    if (picked == RootWindow(display, i)) return picked;
  }
  return picked ? XmuClientWindow(display, picked) : None;
}

void xrcMappingNotify(Display* display, XEvent* event) {
  if (event->type != MappingNotify) {
    PALVON_UNE();
    return;
  }
  if (event->xmapping.send_event) return;  // made by a client, not the server
  XrcDisplay* record = xrcFindDisplay(display);
  switch (event->xmapping.request) {
    case MappingModifier:
    case MappingKeyboard:
      xrcPrintf(display, event->xmapping.request == MappingModifier ? "Refresh modifier mapping..."
                                                                    : "Refresh keyboard mapping...");
      XRefreshKeyboardMapping(&event->xmapping);
      if (record) xrcForgetModmap(record);
      break;
    case MappingPointer:
      xrcPrintf(display, "Refresh pointer mapping...");
      if (record) record->options[kXrcOptButtons] = xrcButtonCount(display, kXrcMouse);
      break;
    default:
      PALVON_UNE();
      return;
  }
  xrcCount(kXrcStatRefreshes);
}

u32 xrcEventKind(Display* display, const XEvent* event) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || event->type < 0 || event->type > 255) return 0;
  return record->eventKinds[event->type];
}

int xPeekEventIs(Display* display, int type) {
  XEvent event;
  XPeekEvent(display, &event);
  return event.type == type;
}

void xDrainMotionEvents(Display* display) {
  XEvent event;
  while (XCheckTypedEvent(display, MotionNotify, &event)) {
  }
}

}  // namespace palvon
