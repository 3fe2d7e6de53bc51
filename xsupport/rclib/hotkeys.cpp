#include "xsupport/rclib/hotkeys.h"

#include <cctype>
#include <cstring>
#include <strings.h>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "base/logging.h"
#include "base/timeval.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/record.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

constexpr u32 kAllScreens = ~1u;
constexpr const char* kModifierNames[8] = {"Shift", "Lock", "Control", "Mod1", "Mod2", "Mod3", "Mod4", "Mod5"};
constexpr int kTextOrder[8] = {2, 0, 1, 3, 4, 5, 6, 7};  // Control first, as people write it

bool wordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Calls grab(keycode, modifiers) for every combination a hotkey needs: its
// mask with every subset of the lock modifiers, and for a hotkey of
// modifiers only, every key of each of its modifiers with the others.
template <typename Grab>
void forEachCombination(Display* display, const Hotkey& hotkey, Grab grab) {
  if (hotkey.keycode == kHotkeyNone) return;
  u32 locks = xrcLockMask(display, kXrcKeyboard);
  // AnyModifier cannot be combined with other bits, and covers the locks.
  if (hotkey.mask == kHotkeyAnyModifier) locks = 0;
  for (u32 subset = 0;; subset = (subset - locks) & locks) {  // every subset of locks, 0 first
    u32 mask = hotkey.mask | subset;
    if (hotkey.keycode != kHotkeyModifiersOnly) {
      grab(hotkey.keycode, mask);
    } else {
      const XModifierKeymap* map = xrcModifierMap(display, kXrcKeyboard);
      for (int modifier = 0; map && modifier < 8; modifier++) {
        if (!(hotkey.mask & (1u << modifier))) continue;
        for (int i = 0; i < map->max_keypermod; i++) {
          u32 keycode = map->modifiermap[modifier * map->max_keypermod + i];
          if (keycode) grab(keycode, mask & ~(1u << modifier));
        }
      }
    }
    if (subset == locks) break;
  }
}

template <typename Visit>
void forEachRoot(Display* display, u32 screen, Visit visit) {
  for (int i = 0; i < ScreenCount(display); i++) {
    if (screen == kAllScreens || static_cast<u32>(i) == screen) visit(RootWindow(display, i));
  }
}

void ungrabHotkey(Display* display, u32 screen, const Hotkey& hotkey) {
  forEachRoot(display, screen, [&](Window root) {
    forEachCombination(display, hotkey, [&](u32 keycode, u32 mask) {
      XUngrabKey(display, static_cast<int>(keycode), mask, root);
    });
  });
}

// The modifier bits a key adds when its keysym is a modifier keysym.
u32 keyModifiers(Display* display, u32 keycode) {
  KeySym keysym = xrcKeycodeToKeysym(display, kXrcKeyboard, keycode);
  bool modifierKey = keysym == XK_Mode_switch || keysym == XK_Num_Lock || (keysym >= XK_Shift_L && keysym <= XK_Hyper_R);
  return modifierKey ? xrcModifierMaskOfKeycode(display, kXrcKeyboard, keycode) : 0;
}

}  // namespace

u32 hotkeyStripLocks(u32 state, u32 lockMask) {
  if (!(state & ~(ShiftMask | ControlMask))) return state;
  return state & ~lockMask;
}

bool hotkeyMatches(const Hotkey& hotkey, u32 keycode, u32 state, u32 lockMask, u32 addedModifiers) {
  if (hotkey.keycode == kHotkeyNone) return false;
  auto stateMatches = [&](u32 s) {
    return hotkey.mask == kHotkeyAnyModifier || (s & 255) == hotkey.mask || hotkeyStripLocks(s, lockMask) == hotkey.mask;
  };
  if (hotkey.keycode != kHotkeyModifiersOnly) return hotkey.keycode == keycode && stateMatches(state);
  if (stateMatches(state)) return true;
  if (!addedModifiers) return false;
  u32 with = state | addedModifiers;
  return (with & 255) == hotkey.mask || hotkeyStripLocks(with, lockMask) == hotkey.mask;
}

u32 xrcStripLocks(Display* display, u32 state) {
  return hotkeyStripLocks(state, xrcLockMask(display, kXrcKeyboard));
}

const char* xrcHotkeyParse(Display* display, const char* text, Hotkey* hotkey) {
  *hotkey = Hotkey{0, kHotkeyModifiersOnly, nullptr, nullptr};
  if (!text || !*text || strcasecmp(text, "none") == 0) {
    hotkey->keycode = kHotkeyNone;
    return nullptr;
  }
  for (const char* at = text; *at;) {
    if (!wordChar(*at)) {
      at++;
      continue;
    }
    size_t length = 0;
    while (wordChar(at[length])) length++;
    const char* word = tmpStrndup(at, length);
    at += length;
    if (u32 mask = xrcModifierMaskByName(display, kXrcKeyboard, word)) {
      hotkey->mask |= mask;
      continue;
    }
    KeySym keysym = xrcKeysymFromName(word);
    u32 keycode = keysym != NoSymbol ? xrcKeysymToKeycode(display, kXrcKeyboard, keysym) : 0;
    if (!keycode) {
      const char* name = keysym != NoSymbol ? xrcKeysymName(keysym) : word;
      return xrcError(display, "Display %s has no %s key for hotkey '%s'", xShortDisplayName(display), name, text);
    }
    if (xrcIsModifierKeysym(keysym)) hotkey->mask |= xrcModifierMaskOfKeycode(display, kXrcKeyboard, keycode);
    else hotkey->keycode = keycode;
  }
  return nullptr;
}

int xrcHotkeyText(Display* display, const Hotkey* hotkey, char* out, size_t size) {
  if (!size) return 0;
  out[0] = 0;
  if (hotkey->keycode == kHotkeyNone || (hotkey->mask == 0 && hotkey->keycode == kHotkeyModifiersOnly)) {
    strCopy(out, "none", size);
    return 1;
  }
  for (int bit : kTextOrder) {
    if (hotkey->mask & (1u << bit)) {
      strAppend(out, kModifierNames[bit], size);
      strAppend(out, " ", size);
    }
  }
  if (hotkey->keycode > kHotkeyNone) {
    XKeyEvent event = {};
    event.type = KeyPress;
    event.display = display;
    event.keycode = hotkey->keycode;
    event.state = hotkey->mask & 255;
    char text[16];
    KeySym keysym = NoSymbol;
    XLookupString(&event, text, sizeof text, &keysym, nullptr);
    const char* name = keysym != NoSymbol ? XKeysymToString(keysym) : nullptr;
    if (!name) return 0;
    char word[64];
    strCopy(word, name, sizeof word);
    word[0] = static_cast<char>(toupper(static_cast<unsigned char>(word[0])));
    strAppend(out, word, size);
    return 1;
  }
  size_t length = strlen(out);
  if (length && out[length - 1] == ' ') out[length - 1] = 0;
  return 1;
}

const char* xrcHotkeyRegister(Display* display, u32 screen, const char* text, HotkeyCallback callback,
                              void* argument) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  Hotkey* slot = nullptr;
  for (Hotkey& hotkey : record->hotkeys) {
    if (!hotkey.callback) {
      slot = &hotkey;
      break;
    }
  }
  if (!slot) {
    PALVON_UNE();
    return xrcError(display, "UNE");
  }
  Hotkey parsed;
  if ((error = xrcHotkeyParse(display, text, &parsed))) return error;
  xErrorTrapBegin(display);
  forEachRoot(display, screen, [&](Window root) {
    forEachCombination(display, parsed, [&](u32 keycode, u32 mask) {
      XGrabKey(display, static_cast<int>(keycode), mask, root, True, GrabModeAsync, GrabModeAsync);
    });
  });
  XSync(display, False);
  if (xErrorTrapEnd()) {
    // Some combinations may have been grabbed before one failed: release
    // them all, so that nothing of a failed hotkey stays grabbed.
    ungrabHotkey(display, screen, parsed);
    XSync(display, False);
    return xrcError(display, "Hotkey '%s' is already occupied on %s", text ? text : "", xShortDisplayName(display));
  }
  parsed.callback = callback;
  parsed.argument = argument;
  *slot = parsed;
  return nullptr;
}

void xrcHotkeyUnregister(Display* display, HotkeyCallback callback) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || !callback) return;
  for (Hotkey& hotkey : record->hotkeys) {
    if (hotkey.callback != callback) continue;
    ungrabHotkey(display, kAllScreens, hotkey);
    hotkey = Hotkey{};
  }
  XFlush(display);
}

int xrcHotkeyDispatch(Display* display, u32 keycode, u32 state) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record) return 0;
  u32 locks = xrcLockMask(display, kXrcKeyboard);
  u32 added = keyModifiers(display, keycode);
  for (const Hotkey& hotkey : record->hotkeys) {
    if (!hotkey.callback || !hotkeyMatches(hotkey, keycode, state, locks, added)) continue;
    hotkey.callback(display, hotkey.argument);
    return 1;
  }
  return 0;
}

const char* xrcEnterHotkey(Display* display, u32 device, const char* text) {
  xrcPrintf(display, "Entering %s hotkey '%s'...", xrcDeviceName(display, device), text ? text : "");
  Hotkey hotkey;
  if (const char* error = xrcHotkeyParse(display, text, &hotkey)) return error;
  if (const char* error = xrcSetModifiers(display, device, hotkey.mask, nullptr)) return error;
  if (hotkey.keycode > kHotkeyNone) {
    if (const char* error = xrcPressKey(display, device, hotkey.keycode)) return error;
    XFlush(display);
    xrcDelay(display, xrcGetOption(display, kXrcOptKeyHold));
    if (const char* error = xrcReleaseKey(display, device, hotkey.keycode)) return error;
  }
  const char* error = xrcSetModifiers(display, device, 0, nullptr);
  xrcCount(kXrcStatHotkeys);
  return error;
}

}  // namespace palvon
