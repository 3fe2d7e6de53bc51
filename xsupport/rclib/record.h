// The per-display record of XRCLib and the helpers its modules share. Only
// the library's own files include this; callers see XrcDisplay as opaque.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include "xsupport/rclib/hotkeys.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {

struct XrcDeviceSlot {
  u16 openCount;
  XDevice* device;  // while openCount > 0
  u32 wantedModifiers;
  u32 cachedModifiers;
  u8 cachedValid;
};

constexpr u32 kXrcSlots = 258;  // device numbers 0..257

struct XrcDisplay {
  XExtData* extData;  // on the Display's extension list; frees the record
  XrcDisplay* next;
  XrcDisplay* previous;
  Display* display;
  u8 capabilities;
  u8 method;
  u8 xtest1SetUp;
  u16 busy;
  Atom pointerRedirectionAtom;
  Atom keyboardRedirectionAtom;
  Atom deviceEnabledAtom;  // None without XInput 1.5 device properties
  Atom xtestDeviceAtom;    // marks the XTEST extension's own devices
  u16 heldKeys[256];       // presses the library holds for modifiers
  KeySym pressedKeysyms[256];
  u32 xinputVersion;
  int xinputOpcode;
  int xinputFirstEvent;
  XDeviceInfo* xiDevices;
  int xiDeviceCount;
  XrcDeviceInfo* devices;  // converted from xiDevices
  u32 deviceCount;
  XEventClass* classes;    // selected XInput event classes
  u32 classCount;
  u32 classCapacity;
  u32 physicalMouse;
  u32 nullMouse;
  u32 physicalKeyboard;
  u32 nullKeyboard;
  u32 xtest1Pointer;
  u32 xtest1Keyboard;
  XrcDeviceSlot slots[kXrcSlots];
  u8 eventKinds[256];
  u32 options[kXrcOptionCount];
  XModifierKeymap* modifierMap;  // cached; dropped on mapping changes
  Hotkey hotkeys[kHotkeySlots];
};

// The record of a display with the wanted capabilities, attaching as
// needed; nullptr with *error set when that fails.
XrcDisplay* xrcRecord(Display* display, u32 wanted, const char** error);
// The free callback of the record's extension data: unlinks and frees the
// record while XCloseDisplay runs (no requests: the connection is gone).
int xrcDetachDisplay(XExtData* data);
// Flushes when the flush option is on.
void xrcAutoFlush(XrcDisplay* record);

// Statistics counters by letter.
enum XrcStat : u32 {
  kXrcStatErrors,
  kXrcStatDisplays,
  kXrcStatDevices,
  kXrcStatMoves,
  kXrcStatClicks,
  kXrcStatHotkeys,
  kXrcStatTouches,
  kXrcStatInputOff,
  kXrcStatRefreshes,
  kXrcStatCount,
};
void xrcCount(XrcStat stat);

// The modifier map, loaded when missing (nullptr when the server gives none).
XModifierKeymap* xrcModmap(XrcDisplay* record);
void xrcForgetModmap(XrcDisplay* record);

// Fetches the device list again (records and converted copy).
const char* xrcFetchDevices(XrcDisplay* record);
const XrcDeviceInfo* xrcFindDeviceInfo(const XrcDisplay* record, u32 device);

// The XTestExtension1 set-up; with needGrabProof it also checks that the
// display's requests pass other clients' server grabs.
const char* xrcSetupXTestExtension1(XrcDisplay* record, bool needGrabProof);

}  // namespace palvon
