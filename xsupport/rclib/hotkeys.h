// XRCLib hotkeys: key combinations grabbed on a real X server that call back
// into the program when pressed, their text form, and typing them. A hotkey
// is written as words: modifier names, then a keysym name ("Control F1").
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

using HotkeyCallback = void (*)(Display* display, void* argument);

constexpr u32 kHotkeyAnyModifier = 32768;
constexpr u32 kHotkeyModifiersOnly = 0;  // keycode of a hotkey made of modifiers only
constexpr u32 kHotkeyNone = 1;           // keycode of the empty hotkey
constexpr int kHotkeySlots = 20;

struct Hotkey {
  u32 mask;     // modifier bits; kHotkeyAnyModifier matches every state
  u32 keycode;  // or kHotkeyModifiersOnly / kHotkeyNone
  HotkeyCallback callback;  // a slot is free while this is null
  void* argument;
};

// Empty text and "none" give the empty hotkey.
const char* xrcHotkeyParse(Display* display, const char* text, Hotkey* hotkey);
// "Control Shift F1"; 1, or 0 when the key yields no keysym. At most size
// bytes, always terminated.
int xrcHotkeyText(Display* display, const Hotkey* hotkey, char* out, size_t size);
// Grabs the hotkey on the root of one screen, or of every screen with
// screen ~1, in every combination with the lock modifiers. A combination
// another client holds fails the whole registration and leaves nothing
// grabbed.
const char* xrcHotkeyRegister(Display* display, u32 screen, const char* text, HotkeyCallback callback,
                              void* argument);
void xrcHotkeyUnregister(Display* display, HotkeyCallback callback);
// Runs the first matching hotkey's callback; 1 when one ran.
int xrcHotkeyDispatch(Display* display, u32 keycode, u32 state);
const char* xrcEnterHotkey(Display* display, u32 device, const char* text);
// The state without the lock modifiers, unless it holds nothing but Shift
// and Control.
u32 xrcStripLocks(Display* display, u32 state);

// The matching rule with the display's facts given: lockMask from
// xrcLockMask, keyModifiers the modifier bits of the pressed key when its
// keysym is a modifier keysym, else 0.
u32 hotkeyStripLocks(u32 state, u32 lockMask);
bool hotkeyMatches(const Hotkey& hotkey, u32 keycode, u32 state, u32 lockMask, u32 keyModifiers);

}  // namespace palvon
