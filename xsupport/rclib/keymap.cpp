#include "xsupport/rclib/keymap.h"

#include <cstring>

#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

const char* outOfMemory(int line) {
  const char* text = tmpPrintf("Out of memory (%s:%d)", "xrclib", line);
  logProblem(text, __FILE__, static_cast<u32>(line));
  return text;
}

void keycodeRange(Display* display, u32* min, u32* max) {
  int low = 0, high = 0;
  XDisplayKeycodes(display, &low, &high);
  *min = static_cast<u32>(low);
  *max = static_cast<u32>(high);
}

XModifierKeymap* copyModifierMap(const XModifierKeymap* map) {
  XModifierKeymap* copy = XNewModifiermap(map->max_keypermod);
  if (copy && map->max_keypermod > 0) {
    memcpy(copy->modifiermap, map->modifiermap, static_cast<size_t>(8 * map->max_keypermod));
  }
  return copy;
}

const char* setModifierMapping(Display* display, XModifierKeymap* map) {
  int status = XSetModifierMapping(display, map);
  if (status == MappingSuccess) return nullptr;
  return xrcError(display, "XSetModifierMapping() on %s failed (%d)", XDisplayName(XDisplayString(display)), status);
}

// Bell, key click, LEDs and auto-repeat as saved, for the saved keycodes.
void restoreControls(Display* display, const KeyboardMappingSave* save) {
  const XKeyboardState& saved = save->controls;
  XKeyboardControl control = {};
  control.key_click_percent = saved.key_click_percent;
  control.bell_percent = saved.bell_percent;
  control.bell_pitch = static_cast<int>(saved.bell_pitch);
  control.bell_duration = static_cast<int>(saved.bell_duration);
  control.auto_repeat_mode = saved.global_auto_repeat;
  XChangeKeyboardControl(display, KBKeyClickPercent | KBBellPercent | KBBellPitch | KBBellDuration | KBAutoRepeatMode,
                         &control);
  for (int led = 1; led <= 32; led++) {
    control.led = led;
    control.led_mode = (saved.led_mask >> (led - 1)) & 1 ? LedModeOn : LedModeOff;
    XChangeKeyboardControl(display, KBLed | KBLedMode, &control);
  }
  for (u32 keycode = save->minKeycode; keycode <= save->maxKeycode && keycode < 256; keycode++) {
    control.key = static_cast<int>(keycode);
    bool repeats = (saved.auto_repeats[keycode / 8] >> (keycode % 8)) & 1;
    control.auto_repeat_mode = repeats ? AutoRepeatModeOn : AutoRepeatModeOff;
    XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &control);
  }
}

bool rowsDiffer(const KeySym* a, int widthA, const KeySym* b, int widthB) {
  for (int i = 0; i < widthA || i < widthB; i++) {
    if ((i < widthA ? a[i] : NoSymbol) != (i < widthB ? b[i] : NoSymbol)) return true;
  }
  return false;
}

// Puts the saved rows on the keycodes from min on, writing only the rows
// that differ from the server's. A server with XKB rebuilds a written key's
// type from the row, which can change how other keys of that type read
// back: rewriting equal rows would alter the very table being restored, so
// differences left by one pass are written again, a few times at most.
void writeChangedRows(Display* display, u32 min, u32 count, const KeyboardMappingSave* save) {
  int savedWidth = save->keysymsPerKeycode;
  for (int pass = 0; pass < 3; pass++) {
    int width = 0;
    KeySym* current = XGetKeyboardMapping(display, static_cast<KeyCode>(min), static_cast<int>(count), &width);
    if (!current) {
      XChangeKeyboardMapping(display, static_cast<int>(min), savedWidth, save->keysyms, static_cast<int>(count));
      return;
    }
    bool wrote = false;
    u32 runStart = 0;
    bool inRun = false;
    for (u32 i = 0; i <= count; i++) {
      bool differs = i < count && rowsDiffer(save->keysyms + size_t{i} * savedWidth, savedWidth,
                                             current + size_t{i} * width, width);
      if (differs && !inRun) runStart = i;
      if (!differs && inRun) {
        XChangeKeyboardMapping(display, static_cast<int>(min + runStart), savedWidth,
                               save->keysyms + size_t{runStart} * savedWidth, static_cast<int>(i - runStart));
        wrote = true;
      }
      inRun = differs;
    }
    XFree(current);
    if (!wrote) return;
  }
}

}  // namespace

XModifierKeymap* xrcShiftModifierMap(const XModifierKeymap* map, int shift, u32 min, u32 max) {
  XModifierKeymap* copy = copyModifierMap(map);
  if (!copy) return nullptr;
  for (int i = 0; i < 8 * copy->max_keypermod; i++) {
    if (!copy->modifiermap[i]) continue;
    int moved = copy->modifiermap[i] + shift;
    bool inside = moved >= static_cast<int>(min) && moved <= static_cast<int>(max);
    copy->modifiermap[i] = inside ? static_cast<KeyCode>(moved) : 0;
  }
  return copy;
}

void xrcFreeKeyboardMapping(KeyboardMappingSave* save) {
  if (save->keysyms) XFree(save->keysyms);
  if (save->modifiers) XFreeModifiermap(save->modifiers);
  save->keysyms = nullptr;
  save->modifiers = nullptr;
}

const char* xrcSaveKeyboardMapping(Display* display, int withKeyState, KeyboardMappingSave* save) {
  xrcFreeKeyboardMapping(save);
  u32 min, max;
  keycodeRange(display, &min, &max);
  int perKeycode = 0;
  KeySym* keysyms = XGetKeyboardMapping(display, static_cast<KeyCode>(min), static_cast<int>(max - min + 1),
                                        &perKeycode);
  if (!keysyms) {
    return xrcError(display, "XGetKeyboardMapping() on %s failed", XDisplayName(XDisplayString(display)));
  }
  // No map is the server's failure (an error for the request, a broken
  // connection), not a shortage of memory here.
  XModifierKeymap* current = XGetModifierMapping(display);
  if (!current) {
    XFree(keysyms);
    return xrcError(display, "XGetModifierMapping() on %s failed", XDisplayName(XDisplayString(display)));
  }
  XModifierKeymap* modifiers = copyModifierMap(current);
  XFreeModifiermap(current);
  if (!modifiers) {
    XFree(keysyms);
    return outOfMemory(__LINE__);
  }
  save->keysyms = keysyms;
  save->keysymsPerKeycode = perKeycode;
  save->modifiers = modifiers;
  XGetKeyboardControl(display, &save->controls);
  if (withKeyState) XQueryKeymap(display, reinterpret_cast<char*>(save->keyState));
  save->minKeycode = min;
  save->maxKeycode = max;
  return nullptr;
}

const char* xrcRestoreKeyboardMapping(Display* display, int withKeyState, const KeyboardMappingSave* save) {
  if (!save->keysyms || !save->modifiers) return nullptr;
  u32 min, max;
  keycodeRange(display, &min, &max);
  u32 count = max - min + 1;
  u32 savedCount = save->maxKeycode - save->minKeycode + 1;
  if (savedCount < count) count = savedCount;
  writeChangedRows(display, min, count, save);
  if (XrcDisplay* record = xrcFindDisplay(display)) xrcForgetModmap(record);
  if (min == save->minKeycode && max == save->maxKeycode) {
    if (const char* error = setModifierMapping(display, save->modifiers)) return error;
    restoreControls(display, save);
    if (withKeyState) return xrcSetKeyState(display, kXrcKeyboard, save->keyState);
    return nullptr;
  }
  XModifierKeymap* shifted = xrcShiftModifierMap(save->modifiers, static_cast<int>(min) -
                                                 static_cast<int>(save->minKeycode), min, max);
  if (!shifted) return outOfMemory(__LINE__);
  const char* error = setModifierMapping(display, shifted);
  XFreeModifiermap(shifted);
  return error;
}

const char* xrcCopyKeyboardMapping(Display* from, Display* to) {
  if (from == to) return nullptr;
  KeyboardMappingSave save = {};
  const char* error = xrcSaveKeyboardMapping(from, 0, &save);
  if (!error) error = xrcRestoreKeyboardMapping(to, 0, &save);
  xrcFreeKeyboardMapping(&save);
  return error;
}

}  // namespace palvon
