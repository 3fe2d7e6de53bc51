// XRCLib fake input: pointer moves, buttons and clicks, keys by keycode or
// keysym, modifier states, typed text and a single touch, injected by the
// display's method (rclib.h), plus the key and modifier look-ups they need.
//
// Every injecting call attaches the display for fake input, prints its
// progress line with the verbose option, flushes with the flush option and
// returns nullptr or an error text. Device 256 is the core pointer, 257 the
// core keyboard; most calls only log "WIP" for other devices.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// --- Pointer ----------------------------------------------------------------------
// flush: flush the connection afterwards (the flush option does too).
const char* xrcMovePointer(Display* display, u32 device, int screen, int x, int y, int flush);
const char* xrcCenterPointer(Display* display, u32 device, int screen, int flush);
const char* xrcPressOrReleaseButton(Display* display, u32 device, u32 button, int press);
const char* xrcPressButton(Display* display, u32 device, u32 button);
const char* xrcReleaseButton(Display* display, u32 device, u32 button);
// Masks of buttons 1..20: button b is bit 1 << (b + 7), as in event states.
const char* xrcPressButtons(Display* display, u32 device, u32 mask);
const char* xrcReleaseButtons(Display* display, u32 device, u32 mask);
const char* xrcSetButtonState(Display* display, u32 device, u32 mask);
const char* xrcReleaseAllButtons(Display* display, u32 device);
const char* xrcPressAllButtons(Display* display, u32 device);
const char* xrcClick(Display* display, u32 device, u32 button);
const char* xrcDoubleClick(Display* display, u32 device, u32 button);
const char* xrcTripleClick(Display* display, u32 device, u32 button);
const char* xrcQuadrupleClick(Display* display, u32 device, u32 button);
u32 xrcGetButtonState(Display* display, u32 device);
// Keyboard bell with a pitch and duration for one ring, under a server grab.
const char* xrcRingBell(Display* display, u32 device, int pitch, int duration, int percent);

// --- Keys -------------------------------------------------------------------------
const char* xrcPressOrReleaseKey(Display* display, u32 device, u32 keycode, int press);
const char* xrcPressKey(Display* display, u32 device, u32 keycode);
const char* xrcReleaseKey(Display* display, u32 device, u32 keycode);
// 32-byte key bit maps: keycode k is bit k % 8 of byte k / 8.
const char* xrcPressKeys(Display* display, u32 device, const u8* map);
const char* xrcReleaseKeys(Display* display, u32 device, const u8* map);
const char* xrcPressModifierKeys(Display* display, u32 device, u32 mask);
const char* xrcReleaseModifierKeys(Display* display, u32 device, u32 mask);
// The all-zero map; passing this one also forgets held modifiers.
extern const u8 kXrcNoKeys[32];
const char* xrcSetKeyState(Display* display, u32 device, const u8* map);
const char* xrcReleaseAllKeys(Display* display, u32 device);
void xrcForgetKeyState(Display* display);
// Releases every button and key, when fake input is set up at all.
const char* xrcReleaseAll(Display* display);

const char* xrcPressOrReleaseKeysym(Display* display, u32 device, KeySym keysym, int press);
const char* xrcPressKeysym(Display* display, u32 device, KeySym keysym);
const char* xrcReleaseKeysym(Display* display, u32 device, KeySym keysym);
const char* xrcPressChar(Display* display, u32 device, u32 character);
const char* xrcReleaseChar(Display* display, u32 device, u32 character);
const char* xrcTypeKeysym(Display* display, u32 device, KeySym keysym);
const char* xrcTypeChar(Display* display, u32 device, u32 character);
const char* xrcTypeLatin1(Display* display, u32 device, const char* text);
const char* xrcTypeUtf8(Display* display, u32 device, const char* text);
// Presses and releases modifier keys until the state holds exactly mask;
// held counts per keycode the presses the library keeps (may be nullptr).
const char* xrcSetModifiers(Display* display, u32 device, u32 mask, u16* held);
u32 xrcGetModifierState(Display* display, u32 device);

// --- Key and modifier look-ups ------------------------------------------------------
// The keysym a press yields with the state; a release gives (and forgets)
// the keysym its press yielded.
KeySym xrcLookupKeysym(Display* display, u32 device, u32 keycode, u32 state, int pressed);
u32 xrcKeysymToKeycode(Display* display, u32 device, KeySym keysym);
u32 xrcModifierMaskByName(Display* display, u32 device, const char* name);
u32 xrcLockMask(Display* display, u32 device);
int xrcIsKeypadKey(Display* display, u32 keycode, u32 state);
// The keycode to press for modifier 0..7; 0 when the modifier has none.
u32 xrcModifierKeycode(Display* display, u32 device, u32 modifier, const u16* held);
u32 xrcKeycodeCount(Display* display, u32 device);
u32 xrcMinKeycode(Display* display, u32 device);
u32 xrcMaxKeycode(Display* display, u32 device);
const char* xrcQueryKeymap(Display* display, u32 device, u8* map);
int xrcKeyIsDown(Display* display, u32 device, u32 keycode);
KeySym xrcFirstDownNonLockKey(Display* display, u32 device);
// The library's copy, valid until the next mapping change it is told of.
XModifierKeymap* xrcModifierMap(Display* display, u32 device);
u32 xrcModifierMaskOfKeycode(Display* display, u32 device, u32 keycode);
u32 xrcModifierMaskOfKeysym(Display* display, u32 device, KeySym keysym);
KeySym xrcKeycodeToKeysym(Display* display, u32 device, u32 keycode);

// --- Keysyms and characters -------------------------------------------------------
// XKeysymToString, else "NoSymbol", "ellipsis", "Ssharp" or "U%04u".
const char* xrcKeysymName(KeySym keysym);
KeySym xrcKeysymFromName(const char* name);
// The next defined keysym after keysym; 0 after the last.
KeySym xrcNextKeysym(KeySym keysym);
KeySym xrcCharToKeysym(u32 character);
// Decodes one UTF-8 character; the bytes it took, 0 at the end of the text
// or at a byte sequence that is not UTF-8.
u32 xrcUtf8Next(const char* text, u32* character);
bool xrcIsLockKeysym(KeySym keysym);
bool xrcIsModifierKeysym(KeySym keysym);

// --- Touch, device events, grabs and windows ----------------------------------------
const char* xrcSingleTouch(Display* display, u32 device, int x, int y);
const char* xrcGrabDevice(Display* display, u32 device);
const char* xrcUngrabDevice(Display* display, u32 device);
// Event mask bits: 0x2 change-device, 0x4/0x8 key press/release, 0x10/0x20
// button press/release, 0x40 motion, 0x80/0x100 proximity in/out, 0x200/0x400
// focus in/out.
const char* xrcSelectEvents(Display* display, u32 device, u32 mask);
const char* xrcUnselectEvents(Display* display, u32 device, int keep);
// The number of events the device delivered within ms.
u32 xrcDrainEvents(Display* display, u32 device, u32 ms);
// 1 when another client holds a grab of the device.
int xrcIsGrabbed(Display* display, u32 device);
Window xrcFocusWindow(Display* display, u32 device);
// Waits for a click and returns the window clicked (the root when none).
Window xrcPickWindow(Display* display, int screen, u32 button);
Window xrcPickClientWindow(Display* display, int screen, u32 button);
// Takes a server's MappingNotify into the library's copies.
void xrcMappingNotify(Display* display, XEvent* event);
// The kind xrcSelectEvents noted for the event's type (1..10), 0 when none.
u32 xrcEventKind(Display* display, const XEvent* event);
int xPeekEventIs(Display* display, int type);
void xDrainMotionEvents(Display* display);

}  // namespace palvon
