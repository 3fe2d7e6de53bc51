// XRCLib keys by keysym and typed text: the modifier state a keysym needs
// is made with modifier keys before its key is pressed.
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

// Presses or releases modifier keys until the state holds exactly wanted.
// The device's wanted mask is left as it is.
const char* applyModifiers(XrcDisplay* record, u32 device, u32 wanted, u16* held) {
  Display* display = record->display;
  u32 current = xrcGetModifierState(display, device);
  // Group 2 without group 3: the switch key's modifier is down.
  if ((current & 0x2000) && !(current & 0x4000)) {
    u32 level3 = xrcModifierMaskOfKeysym(display, device, XK_ISO_Level3_Shift);
    current |= level3 ? level3 : xrcModifierMaskOfKeysym(display, device, XK_Mode_switch);
  }
  current &= 0xff;
  wanted &= 0xff;
  for (u32 modifier = 0; modifier < 8; modifier++) {
    u32 bit = 1u << modifier;
    if (!(current & bit) || (wanted & bit)) continue;
    u32 keycode = xrcModifierKeycode(display, device, modifier, held);
    if (!keycode) {
      PALVON_UNE();
      continue;
    }
    // A lock is switched off by one more press.
    if (xrcIsLockKeysym(xrcKeycodeToKeysym(display, device, keycode))) {
      if (const char* error = xrcPressKey(display, device, keycode)) return error;
    }
    if (const char* error = xrcReleaseKey(display, device, keycode)) return error;
    current &= ~xrcModifierMaskOfKeycode(display, device, keycode);
    if (held && held[keycode]) held[keycode]--;
  }
  for (u32 modifier = 0; modifier < 8; modifier++) {
    u32 bit = 1u << modifier;
    if ((current & bit) || !(wanted & bit)) continue;
    u32 keycode = xrcModifierKeycode(display, device, modifier, held);
    if (!keycode) {
      PALVON_UNE();
      continue;
    }
    if (const char* error = xrcPressKey(display, device, keycode)) return error;
    if (xrcIsLockKeysym(xrcKeycodeToKeysym(display, device, keycode))) {
      if (const char* error = xrcReleaseKey(display, device, keycode)) return error;
    }
    current |= xrcModifierMaskOfKeycode(display, device, keycode);
    if (held) held[keycode]++;
  }
  XrcDeviceSlot& slot = record->slots[device];
  slot.cachedModifiers = current;
  slot.cachedValid = record->options[kXrcOptCacheModifiers] ? 1 : 0;
  return nullptr;
}

// A state in which the key yields the keysym: the wanted one first, then
// every other from 0 up; the wanted one when none does.
u32 stateFor(Display* display, u32 keycode, KeySym keysym, u32 wanted) {
  auto yields = [&](u32 state) {
    XKeyEvent event = {};
    event.type = KeyPress;
    event.display = display;
    event.keycode = keycode;
    event.state = state;
    char text[16];
    KeySym got = NoSymbol;
    XLookupString(&event, text, sizeof text, &got, nullptr);
    if (got == NoSymbol) got = XLookupKeysym(&event, 0);
    return got == keysym;
  };
  if (yields(wanted)) return wanted;
  for (u32 state = 0; state < 256; state++) {
    if (state != wanted && yields(state)) return state;
  }
  return wanted;
}

}  // namespace

const char* xrcSetModifiers(Display* display, u32 device, u32 mask, u16* held) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  if (device != kXrcKeyboard) {
    PALVON_WIP();
    return nullptr;
  }
  error = applyModifiers(record, device, mask, held);
  record->slots[device].wantedModifiers = mask;
  xrcAutoFlush(record);
  return error;
}

const char* xrcPressOrReleaseKeysym(Display* display, u32 device, KeySym keysym, int press) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcFakeInput, &error);
  if (!record) return error;
  if (device != kXrcKeyboard) {
    PALVON_WIP();
    return nullptr;
  }
  u32& wanted = record->slots[device].wantedModifiers;
  if (xrcIsModifierKeysym(keysym)) {
    u32 bits = xrcModifierMaskOfKeysym(display, device, keysym);
    return xrcSetModifiers(display, device, press ? wanted | bits : wanted & ~bits, record->heldKeys);
  }
  u32 keycode = xrcKeysymToKeycode(display, device, keysym);
  if (!keycode) {
    return xrcError(display, "No keysym '%s' in %s mapping", xrcKeysymName(keysym), xrcDeviceName(display, device));
  }
  if (!press) {
    error = xrcReleaseKey(display, device, keycode);
    const char* modifierError = applyModifiers(record, device, wanted, record->heldKeys);
    xrcAutoFlush(record);
    return error ? error : modifierError;
  }
  u32 state = stateFor(display, keycode, keysym, wanted);
  if ((error = applyModifiers(record, device, state, record->heldKeys))) return error;
  return xrcPressKey(display, device, keycode);
}

const char* xrcPressKeysym(Display* display, u32 device, KeySym keysym) {
  return xrcPressOrReleaseKeysym(display, device, keysym, 1);
}

const char* xrcReleaseKeysym(Display* display, u32 device, KeySym keysym) {
  return xrcPressOrReleaseKeysym(display, device, keysym, 0);
}

const char* xrcPressChar(Display* display, u32 device, u32 character) {
  return xrcPressKeysym(display, device, xrcCharToKeysym(character));
}

const char* xrcReleaseChar(Display* display, u32 device, u32 character) {
  return xrcReleaseKeysym(display, device, xrcCharToKeysym(character));
}

const char* xrcTypeKeysym(Display* display, u32 device, KeySym keysym) {
  if (const char* error = xrcPressKeysym(display, device, keysym)) return error;
  XFlush(display);
  xrcDelay(display, xrcGetOption(display, kXrcOptKeyHold));
  const char* error = xrcReleaseKeysym(display, device, keysym);
  XFlush(display);
  return error;
}

const char* xrcTypeChar(Display* display, u32 device, u32 character) {
  return xrcTypeKeysym(display, device, xrcCharToKeysym(character));
}

const char* xrcTypeLatin1(Display* display, u32 device, const char* text) {
  xrcPrintf(display, "Entering Latin1 text...");
  for (const char* at = text; *at; at++) {
    if (at != text) xrcDelay(display, xrcGetOption(display, kXrcOptTypeGap));
    if (const char* error = xrcTypeChar(display, device, static_cast<unsigned char>(*at))) return error;
  }
  return nullptr;
}

const char* xrcTypeUtf8(Display* display, u32 device, const char* text) {
  xrcPrintf(display, "Entering UTF-8 text...");
  u32 character = 0;
  for (const char* at = text; u32 length = xrcUtf8Next(at, &character); at += length) {
    if (at != text) xrcDelay(display, xrcGetOption(display, kXrcOptTypeGap));
    if (const char* error = xrcTypeChar(display, device, character)) return error;
  }
  return nullptr;
}

}  // namespace palvon
