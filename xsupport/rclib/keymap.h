// XRCLib keyboard mappings: a server's keysym table, modifier map and
// keyboard controls saved, put back and copied to another server.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// Filled by xrcSaveKeyboardMapping and owned by the caller, who empties it
// with xrcFreeKeyboardMapping. Zero it before the first save.
struct KeyboardMappingSave {
  u32 minKeycode;
  u32 maxKeycode;
  i32 keysymsPerKeycode;
  KeySym* keysyms;  // from XGetKeyboardMapping, min..max
  XModifierKeymap* modifiers;
  XKeyboardState controls;
  u8 keyState[32];  // only when saved with the key state
};

const char* xrcSaveKeyboardMapping(Display* display, int withKeyState, KeyboardMappingSave* save);
// Nothing (and nullptr) for a record without keysyms or modifier map. The
// saved rows are laid from the server's minimum keycode on, and only rows
// that differ from the server's are written. On a server with another
// keycode range only the keysyms and the modifier map are put back.
const char* xrcRestoreKeyboardMapping(Display* display, int withKeyState, const KeyboardMappingSave* save);
void xrcFreeKeyboardMapping(KeyboardMappingSave* save);
// Nothing for the same display; else the first error.
const char* xrcCopyKeyboardMapping(Display* from, Display* to);

// A copy of a modifier map with every keycode moved by shift; keycodes that
// leave min..max become 0. nullptr when memory runs out.
XModifierKeymap* xrcShiftModifierMap(const XModifierKeymap* map, int shift, u32 min, u32 max);

}  // namespace palvon
