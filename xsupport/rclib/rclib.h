// XRCLib: remote control of a real X server's input through the program's
// own Xlib connection to it. This header holds the per-display state, what a
// display can do (capabilities), the injection method, the input devices,
// switching the physical keyboard and mouse off and on, the options, the
// error texts and the statistics. Fake input is in input.h, keyboard
// mappings in keymap.h, telepointers and cursors in pointer.h,
// hotkeys in hotkeys.h.
//
// Every operation takes the Display first and finds its record, attaching the
// display (with the capabilities it needs) on first use; an attach error is
// returned as the operation's error. Operations that can fail return nullptr
// on success, else an error text from xrcError (a temporary string).
//
// Threads: the display list is shared under a mutex; everything else belongs
// to the thread that uses the Display. A record lives until XCloseDisplay
// frees it (the connection is gone by then, so it only frees memory).
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include "base/strings.h"

namespace palvon {

struct XrcDisplay;

// Device numbers: XInput device ids below 256, and these three.
constexpr u32 kXrcMouse = 256;     // the core pointer
constexpr u32 kXrcKeyboard = 257;  // the core keyboard
constexpr u32 kXrcNoDevice = 258;

// Capability bits, wanted by callers and available after attaching.
enum : u32 {
  kXrcFakeInput = 1,
  kXrcGrabProof = 2,    // fake input that other clients' server grabs do not block
  kXrcKeyboardOff = 4,  // the keyboard can be switched off
  kXrcMouseOff = 8,
};

// Injection methods, one per display.
enum : u32 {
  kXrcXTest = 0,
  kXrcXTest1 = 1,     // the old XTestExtension1
  kXrcControl = 2,    // the private CONTROL extension (control.h)
  kXrcSynthetic = 4,  // XSendEvent; never chosen by an attach
};

enum XrcOption : u32 {
  kXrcOptFlush = 0,           // 1: flush after each operation
  kXrcOptDelayScale = 1,      // percent applied to every library delay
  kXrcOptVerbose = 2,         // 1: progress lines on standard output
  kXrcOptCacheModifiers = 3,  // 1: keep the modifier state per device
  kXrcOptSmoothMotion = 4,    // ms between one-pixel steps; 0 jumps
  kXrcOptButtons = 5,         // pointer buttons; higher ones are refused
  kXrcOptClickHold = 6,
  kXrcOptDoubleClickGap = 7,
  kXrcOptMultiClickGap = 8,
  kXrcOptButtonBell = 9,
  kXrcOptKeyHold = 10,
  kXrcOptTypeGap = 11,
  kXrcOptKeyBell = 12,
  kXrcOptTouchButton = 13,
  kXrcOptTouchHold = 14,
  kXrcOptionCount = 15,
};

// Kinds of devices, from their XInput use.
enum : u32 {
  kXrcKindPointer = 1,
  kXrcKindKeyboard = 2,
  kXrcKindExtensionPointer = 3,
  kXrcKindExtensionKeyboard = 4,
  kXrcKindOther = 10,
};

// One input device as the library sees it. name points into the display's
// device list and lives until the list is fetched again.
struct XrcDeviceInfo {
  u32 id;
  u32 kind;
  const char* name;
  u32 buttons;
  u32 axes;
  u32 minKeycode;
  u32 keyCount;
  u8 relative;  // valuators report relative motion
};

// --- Library ----------------------------------------------------------------------
const char* xrcLibName();
const char* xrcVersion();
// "%ue" then the non-zero counters of displays, devices opened, moves,
// clicks, hotkeys, touches, input switched off and mapping refreshes, each
// with its letter (d i m b h t o r). A library buffer, overwritten by the
// next call.
const char* xrcStatistics();
// "%s on display %s" (short name) or, without a display, "%s (XRC)"; counts
// an error.
const char* xrcError(Display* display, const char* format, ...) __attribute__((format(printf, 2, 3)));

// --- Displays ---------------------------------------------------------------------
const char* xrcAttachDisplay(Display* display, u32 wanted);
XrcDisplay* xrcFindDisplay(Display* display);
// Attaches with no capability when the display has no record yet.
const char* xrcEnsureAttached(Display* display);
u32 xrcCapabilities(Display* display);
u32 xrcInjectionMethod(Display* display);
// Makes fake input use the given method; 4 (synthetic events) works on every
// display, the others need their extension. Marks fake input available.
const char* xrcSetInjectionMethod(Display* display, u32 method);
// The record's busy counter; both return the new value.
u16 xrcPushBusy(Display* display);
u16 xrcPopBusy(Display* display);

void xrcSetOption(Display* display, u32 index, u32 value);
u32 xrcGetOption(Display* display, u32 index);
void xrcSetDefaultOptions(Display* display);
// Sleeps ms scaled by the display's delay option.
void xrcDelay(Display* display, u32 ms);
// A progress line on standard output, only with the verbose option.
void xrcPrintf(Display* display, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Case-insensitive; '*' matches the rest of the text.
int wildcardMatch(const char* pattern, const char* text);

// --- Devices ----------------------------------------------------------------------
// "mouse", "keyboard", else "input device #%u" (a temporary string).
const char* xrcDeviceName(Display* display, u32 device);
const char* xrcParseDevice(Display* display, const char* name, u32* device);
// Fetches the XInput device list again.
const char* xrcListDevices(Display* display);
// Opens an XInput device on first use and counts its users; 256 and 257
// need no opening.
const char* xrcUseDevice(Display* display, u32 device);
const char* xrcUnuseDevice(Display* display, u32 device);
// The opened XInput device of a used slot, nullptr otherwise.
XDevice* xrcOpenedDevice(Display* display, u32 device);
const char* xrcEnableDevice(Display* display, u32 device);
const char* xrcDisableDevice(Display* display, u32 device);
// Switch the physical keyboard and mouse off and on. Devices of the XTEST
// extension are left alone: the library's own fake input goes through them.
const char* xrcEnableInput(Display* display);
const char* xrcDisableInput(Display* display);
int xrcInputDisabled(Display* display);
const char* xrcEnablePhysicalMouse(Display* display);
const char* xrcDisablePhysicalMouse(Display* display);
const char* xrcEnablePhysicalKeyboard(Display* display);
const char* xrcDisablePhysicalKeyboard(Display* display);

// major * 64 + minor; 0 without XInput. The second name attaches first.
u32 xrcXInputVersion(Display* display);
u32 xrcInputVersion(Display* display);
const XrcDeviceInfo* xrcDeviceInfo(Display* display, u32 device);
const XrcDeviceInfo* xrcListDeviceInfo(Display* display, u32* count);
int xrcDevicePresent(Display* display, u32 device);
u32 xrcCorePointerId(Display* display);
u32 xrcCoreKeyboardId(Display* display);
u32 xrcOtherCoreDevice(u32 device);
u32 xrcButtonCount(Display* display, u32 device);
// The text of the pointer (256) or keyboard (257) redirection property of
// the first root, a temporary string; nullptr when there is none.
const char* xrcRedirectionProperty(Display* display, u32 device);
// Writes (text) or deletes (nullptr) the mouse-off (256) or keyboard-off
// (257) property on the first root.
const char* xrcSetOffProperty(Display* display, u32 device, const char* text);

// The physical device and the device that stands in for it while it is off.
const char* xrcFindNullMouse(Display* display, u32* physical, u32* null, int* relative);
const char* xrcFindNullKeyboard(Display* display, u32* physical, u32* null);

// The null device the display's record uses for the mouse (256) or the
// keyboard (257), after an attach for switching it off; 258 before.
u32 xrcNullDevice(Display* display, u32 device);

// Scores of candidates for the null device (lower is better; a mouse needs
// a score below 16, a keyboard below 256), and the choice over a list: the
// lowest score, the first on ties; kXrcNoDevice when none qualifies.
u32 xrcNullMouseScore(const XDeviceInfo& device, u32 coreButtons);
u32 xrcNullKeyboardScore(const XDeviceInfo& device, u32 coreMinKeycode, u32 coreKeyCount);
u32 xrcChooseNullMouse(const XDeviceInfo* devices, int count, u32 coreButtons);
u32 xrcChooseNullKeyboard(const XDeviceInfo* devices, int count, u32 coreMinKeycode, u32 coreKeyCount);

}  // namespace palvon
