// XRCLib fake input by keycode and button: one event injected by the
// display's method, pointer moves, clicks, and key and button states.
#include "xsupport/rclib/input.h"

#include <X11/extensions/XTest.h>

#include "base/logging.h"
#include "xsupport/rclib/control.h"
#include "xsupport/rclib/record.h"

namespace palvon {

const u8 kXrcNoKeys[32] = {};

namespace {

struct PointerPosition {
  Window root;
  int x, y;
  unsigned int state;
};

PointerPosition queryPointer(Display* display, Window root) {
  PointerPosition p = {root, 0, 0, 0};
  Window child;
  int winX, winY;
  XQueryPointer(display, root, &p.root, &child, &p.x, &p.y, &winX, &winY, &p.state);
  return p;
}

// A client-made event: what the synthetic method has when no extension
// helps. Buttons go to the window under the pointer, keys to the focus.
void sendSynthetic(Display* display, int type, u32 detail) {
  Window root = DefaultRootWindow(display);
  PointerPosition p = queryPointer(display, root);
  XEvent event = {};
  event.type = type;
  event.xkey.display = display;
  event.xkey.window = root;
  event.xkey.root = root;
  event.xkey.x = event.xkey.x_root = p.x;
  event.xkey.y = event.xkey.y_root = p.y;
  event.xkey.same_screen = True;
  if (type == ButtonPress || type == ButtonRelease) {
    event.xbutton.button = detail;
    XSendEvent(display, PointerWindow, True, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &event);
  } else {
    event.xkey.keycode = detail;
    XSendEvent(display, InputFocus, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &event);
  }
}

void injectButton(XrcDisplay* record, u32 button, bool press) {
  Display* display = record->display;
  switch (record->method) {
    case kXrcXTest:
      XTestFakeButtonEvent(display, button, press, 0);
      break;
    case kXrcXTest1:
      if (!record->xtest1SetUp) xrcSetupXTestExtension1(record, false);
      xtest1FakeKeyOrButton(display, record->xtest1Pointer, button, press);
      XWarpPointer(display, None, None, 0, 0, 0, 0, 0, 0);
      break;
    case kXrcControl:
      ctrlFakeButtonEvent(display, button, press, 0);
      break;
    case kXrcSynthetic:
      sendSynthetic(display, press ? ButtonPress : ButtonRelease, button);
      break;
    default:
      PALVON_UNE();
  }
}

void injectKey(XrcDisplay* record, u32 keycode, bool press) {
  Display* display = record->display;
  switch (record->method) {
    case kXrcXTest:
      XTestFakeKeyEvent(display, keycode, press, 0);
      break;
    case kXrcXTest1:
      if (!record->xtest1SetUp) xrcSetupXTestExtension1(record, false);
      xtest1FakeKeyOrButton(display, record->xtest1Keyboard, keycode, press);
      XWarpPointer(display, None, None, 0, 0, 0, 0, 0, 0);
      break;
    case kXrcControl:
      ctrlFakeKeyEvent(display, keycode, press, 0);
      break;
    case kXrcSynthetic:
      sendSynthetic(display, press ? KeyPress : KeyRelease, keycode);
      break;
    default:
      PALVON_UNE();
  }
}

// One move of the core pointer or an XInput device, without steps.
void moveOnce(XrcDisplay* record, u32 device, int screen, int x, int y) {
  Display* display = record->display;
  xrcCount(kXrcStatMoves);
  if (device == kXrcMouse) {
    if (record->method == kXrcControl) ctrlFakeMotionEvent(display, screen, x, y, 0);
    else XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, x, y);
    return;
  }
  int axes[2] = {x, y};
  if (device < kXrcMouse && record->method == kXrcXTest1) {
    xtest1FakeJump(display, device, x, y);
    return;
  }
  if (device >= kXrcMouse || (record->method != kXrcXTest && record->method != kXrcControl)) {
    PALVON_WIP();
    return;
  }
  if (xrcUseDevice(display, device)) return;
  XDevice* opened = record->slots[device].device;
  if (record->method == kXrcXTest) XTestFakeDeviceMotionEvent(display, opened, False, 0, axes, 2, 0);
  else ctrlFakeDeviceMotionEvent(display, opened, False, 0, axes, 2, 0);
  xrcUnuseDevice(display, device);
}

int step(int from, int to) { return from < to ? from + 1 : from > to ? from - 1 : from; }

u32 buttonBit(u32 button) { return 1u << (button + 7); }

}  // namespace

// --- Pointer ----------------------------------------------------------------------------

const char* xrcMovePointer(Display* display, u32 device, int screen, int x, int y, int flush) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  xrcPrintf(display, "Moving %s to %d,%d...", xrcDeviceName(display, device), x, y);
  if (screen < 0 || screen >= ScreenCount(display)) screen = DefaultScreen(display);
  u32 delay = record->options[kXrcOptSmoothMotion];
  if (!delay || device != kXrcMouse) {
    moveOnce(record, device, screen, x, y);
  } else {
    PointerPosition at = queryPointer(display, RootWindow(display, screen));
    while (at.x != x || at.y != y) {
      at.x = step(at.x, x);
      at.y = step(at.y, y);
      moveOnce(record, device, screen, at.x, at.y);
      XFlush(display);
      xrcDelay(display, delay);
    }
  }
  if (flush) XFlush(display);
  xrcAutoFlush(record);
  return nullptr;
}

const char* xrcCenterPointer(Display* display, u32 device, int screen, int flush) {
  if (screen < 0 || screen >= ScreenCount(display)) screen = DefaultScreen(display);
  return xrcMovePointer(display, device, screen, DisplayWidth(display, screen) / 2,
                        DisplayHeight(display, screen) / 2, flush);
}

const char* xrcPressOrReleaseButton(Display* display, u32 device, u32 button, int press) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  if (button == 0 || button > record->options[kXrcOptButtons]) {
    return xrcError(display, "No %s button #%d", xrcDeviceName(display, device), static_cast<int>(button));
  }
  xrcPrintf(display, "%s %s button %u...", press ? "Pressing" : "Releasing", xrcDeviceName(display, device), button);
  if (device != kXrcMouse) {
    PALVON_WIP();
    return nullptr;
  }
  injectButton(record, button, press != 0);
  if (press && record->options[kXrcOptButtonBell]) xrcRingBell(display, kXrcKeyboard, 600, 30, 100);
  xrcAutoFlush(record);
  return nullptr;
}

const char* xrcPressButton(Display* display, u32 device, u32 button) {
  return xrcPressOrReleaseButton(display, device, button, 1);
}

const char* xrcReleaseButton(Display* display, u32 device, u32 button) {
  return xrcPressOrReleaseButton(display, device, button, 0);
}

const char* xrcPressButtons(Display* display, u32 device, u32 mask) {
  for (u32 button = 1; button <= 20; button++) {
    if (!(mask & buttonBit(button))) continue;
    if (const char* error = xrcPressButton(display, device, button)) return error;
  }
  return nullptr;
}

const char* xrcReleaseButtons(Display* display, u32 device, u32 mask) {
  for (u32 button = 1; button <= 20; button++) {
    if (!(mask & buttonBit(button))) continue;
    if (const char* error = xrcReleaseButton(display, device, button)) return error;
  }
  return nullptr;
}

u32 xrcGetButtonState(Display* display, u32 device) {
  if (device != kXrcMouse) {
    PALVON_WIP();
    return 0;
  }
  return queryPointer(display, DefaultRootWindow(display)).state & 0x1f00;
}

// Buttons above the display's button count cannot be in the state and are
// left alone.
const char* xrcSetButtonState(Display* display, u32 device, u32 mask) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  u32 state = xrcGetButtonState(display, device);
  u32 count = record->options[kXrcOptButtons];
  for (u32 button = 1; button <= 20 && button <= count; button++) {
    u32 bit = buttonBit(button);
    if ((mask & bit) == (state & bit)) continue;
    if ((error = xrcPressOrReleaseButton(display, device, button, (mask & bit) != 0))) return error;
  }
  return nullptr;
}

const char* xrcReleaseAllButtons(Display* display, u32 device) { return xrcSetButtonState(display, device, 0); }

const char* xrcPressAllButtons(Display* display, u32 device) { return xrcSetButtonState(display, device, ~0u); }

namespace {

const char* clicks(Display* display, u32 device, u32 button, const char* verb, u32 count, u32 gapOption) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  xrcPrintf(display, "%s %s button %u...", verb, xrcDeviceName(display, device), button);
  for (u32 i = 0; i < count; i++) {
    if (i) xrcDelay(display, record->options[gapOption]);
    if ((error = xrcPressButton(display, device, button))) return error;
    XFlush(display);
    xrcDelay(display, record->options[kXrcOptClickHold]);
    if ((error = xrcReleaseButton(display, device, button))) return error;
    XFlush(display);
    xrcCount(kXrcStatClicks);
  }
  return nullptr;
}

}  // namespace

const char* xrcClick(Display* display, u32 device, u32 button) {
  return clicks(display, device, button, "Clicking", 1, kXrcOptDoubleClickGap);
}

const char* xrcDoubleClick(Display* display, u32 device, u32 button) {
  return clicks(display, device, button, "Double-clicking", 2, kXrcOptDoubleClickGap);
}

const char* xrcTripleClick(Display* display, u32 device, u32 button) {
  return clicks(display, device, button, "Triple-clicking", 3, kXrcOptMultiClickGap);
}

const char* xrcQuadrupleClick(Display* display, u32 device, u32 button) {
  return clicks(display, device, button, "Quadruple-clicking", 4, kXrcOptMultiClickGap);
}

const char* xrcRingBell(Display* display, u32 device, int pitch, int duration, int percent) {
  if (device != kXrcKeyboard) {
    PALVON_WIP();
    return nullptr;
  }
  XKeyboardState old;
  XGetKeyboardControl(display, &old);
  XGrabServer(display);
  XKeyboardControl control = {};
  control.bell_pitch = pitch;
  control.bell_duration = duration;
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &control);
  XBell(display, percent);
  control.bell_pitch = old.bell_pitch;
  control.bell_duration = old.bell_duration;
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &control);
  XUngrabServer(display);
  return nullptr;
}

// --- Keys ---------------------------------------------------------------------------------

const char* xrcPressOrReleaseKey(Display* display, u32 device, u32 keycode, int press) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  xrcPrintf(display, "%s %s key %u...", press ? "Pressing" : "Releasing", xrcDeviceName(display, device), keycode);
  if (device != kXrcKeyboard) {
    PALVON_WIP();
    return nullptr;
  }
  injectKey(record, keycode, press != 0);
  if (press && record->options[kXrcOptKeyBell]) xrcRingBell(display, kXrcKeyboard, 300, 30, 100);
  record->slots[kXrcKeyboard].cachedValid = 0;
  xrcAutoFlush(record);
  return nullptr;
}

const char* xrcPressKey(Display* display, u32 device, u32 keycode) {
  return xrcPressOrReleaseKey(display, device, keycode, 1);
}

const char* xrcReleaseKey(Display* display, u32 device, u32 keycode) {
  return xrcPressOrReleaseKey(display, device, keycode, 0);
}

namespace {

bool keyBit(const u8* map, u32 keycode) { return (map[keycode / 8] >> (keycode % 8)) & 1; }

const char* keysInMap(Display* display, u32 device, const u8* map, int press) {
  u32 min = xrcMinKeycode(display, device), max = xrcMaxKeycode(display, device);
  for (u32 keycode = min; keycode && keycode <= max && keycode < 256; keycode++) {
    if (!keyBit(map, keycode)) continue;
    if (const char* error = xrcPressOrReleaseKey(display, device, keycode, press)) return error;
  }
  return nullptr;
}

const char* modifierKeys(Display* display, u32 device, u32 mask, int press) {
  for (u32 modifier = 0; modifier < 8; modifier++) {
    if (!(mask & (1u << modifier))) continue;
    u32 keycode = xrcModifierKeycode(display, device, modifier, nullptr);
    if (!keycode) continue;
    if (const char* error = xrcPressOrReleaseKey(display, device, keycode, press)) return error;
  }
  return nullptr;
}

}  // namespace

const char* xrcPressKeys(Display* display, u32 device, const u8* map) { return keysInMap(display, device, map, 1); }

const char* xrcReleaseKeys(Display* display, u32 device, const u8* map) {
  return keysInMap(display, device, map, 0);
}

const char* xrcPressModifierKeys(Display* display, u32 device, u32 mask) {
  return modifierKeys(display, device, mask, 1);
}

const char* xrcReleaseModifierKeys(Display* display, u32 device, u32 mask) {
  return modifierKeys(display, device, mask, 0);
}

const char* xrcSetKeyState(Display* display, u32 device, const u8* map) {
  if (device != kXrcKeyboard) {
    PALVON_WIP();
    return nullptr;
  }
  u8 current[32];
  if (const char* error = xrcQueryKeymap(display, device, current)) return error;
  u32 min = xrcMinKeycode(display, device), max = xrcMaxKeycode(display, device);
  for (u32 keycode = min; keycode && keycode <= max && keycode < 256; keycode++) {
    bool wanted = keyBit(map, keycode);
    if (wanted == keyBit(current, keycode)) continue;
    if (const char* error = xrcPressOrReleaseKey(display, device, keycode, wanted)) return error;
  }
  if (map == kXrcNoKeys) xrcForgetKeyState(display);
  return nullptr;
}

const char* xrcReleaseAllKeys(Display* display, u32 device) { return xrcSetKeyState(display, device, kXrcNoKeys); }

void xrcForgetKeyState(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record) return;
  for (u16& held : record->heldKeys) held = 0;
  for (XrcDeviceSlot& slot : record->slots) {
    slot.wantedModifiers = 0;
    slot.cachedValid = 0;
  }
}

const char* xrcReleaseAll(Display* display) {
  if (!(xrcCapabilities(display) & kXrcFakeInput)) return nullptr;
  const char* error = xrcReleaseAllButtons(display, kXrcMouse);
  const char* keyError = xrcReleaseAllKeys(display, kXrcKeyboard);
  return error ? error : keyError;
}

}  // namespace palvon
