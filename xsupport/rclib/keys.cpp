// XRCLib key look-ups: keysym names and characters, keycodes of keysyms,
// the modifier map and what its rows hold.
#include <cctype>
#include <cstring>
#include <strings.h>

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include "base/logging.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

XKeyEvent keyEvent(Display* display, u32 keycode, u32 state, int type = KeyPress) {
  XKeyEvent event = {};
  event.type = type;
  event.display = display;
  event.root = DefaultRootWindow(display);
  event.window = event.root;
  event.keycode = keycode;
  event.state = state;
  event.same_screen = True;
  return event;
}

// The keysym a key yields with a state: the translated one, else the first.
KeySym translate(Display* display, u32 keycode, u32 state) {
  XKeyEvent event = keyEvent(display, keycode, state);
  char text[16];
  KeySym keysym = NoSymbol;
  XLookupString(&event, text, sizeof text, &keysym, nullptr);
  return keysym != NoSymbol ? keysym : XLookupKeysym(&event, 0);
}

u32 maskOfKeycode(const XModifierKeymap* map, u32 keycode) {
  if (!map || !keycode) return 0;
  u32 mask = 0;
  for (int modifier = 0; modifier < 8; modifier++) {
    for (int i = 0; i < map->max_keypermod; i++) {
      if (map->modifiermap[modifier * map->max_keypermod + i] == keycode) mask |= 1u << modifier;
    }
  }
  return mask;
}

bool coreKeyboard(u32 device) {
  if (device == kXrcKeyboard) return true;
  PALVON_WIP();
  return false;
}

// Keysyms that stand in for each other when a layout lacks one of them.
struct KeysymTwin {
  KeySym a, b;
};
constexpr KeysymTwin kTwins[] = {
    {XK_Up, XK_KP_Up},         {XK_Down, XK_KP_Down},       {XK_Left, XK_KP_Left},
    {XK_Right, XK_KP_Right},   {XK_Home, XK_KP_Home},       {XK_End, XK_KP_End},
    {XK_Prior, XK_KP_Prior},   {XK_Next, XK_KP_Next},       {XK_Begin, XK_KP_Begin},
    {XK_Insert, XK_KP_Insert}, {XK_Delete, XK_KP_Delete},   {XK_Tab, XK_KP_Tab},
    {XK_Return, XK_KP_Enter},  {XK_space, XK_KP_Space},     {XK_F1, XK_KP_F1},
    {XK_F2, XK_KP_F2},         {XK_F3, XK_KP_F3},           {XK_F4, XK_KP_F4},
    {XK_ISO_Level3_Shift, XK_Mode_switch},
    {XK_Shift_L, XK_Shift_R},  {XK_Control_L, XK_Control_R}, {XK_Meta_L, XK_Meta_R},
    {XK_Alt_L, XK_Alt_R},      {XK_Super_L, XK_Super_R},     {XK_Hyper_L, XK_Hyper_R},
};

KeySym twinOf(KeySym keysym) {
  for (const KeysymTwin& twin : kTwins) {
    if (twin.a == keysym) return twin.b;
    if (twin.b == keysym) return twin.a;
  }
  return NoSymbol;
}

struct ModifierName {
  const char* name;
  u32 mask;       // a fixed mask, or 0 and:
  KeySym keysym;  // the modifiers holding this keysym
};
constexpr ModifierName kModifierNames[] = {
    {"Shift", ShiftMask, 0},       {"SHFT", ShiftMask, 0},       {"Control", ControlMask, 0},
    {"Ctrl", ControlMask, 0},      {"Lock", LockMask, 0},        {"Mod1", Mod1Mask, 0},
    {"Mod2", Mod2Mask, 0},         {"Mod3", Mod3Mask, 0},        {"Mod4", Mod4Mask, 0},
    {"Mod5", Mod5Mask, 0},         {"Alt", 0, XK_Alt_L},         {"AltGr", 0, XK_Mode_switch},
    {"Option", 0, XK_Mode_switch}, {"Meta", 0, XK_Meta_L},       {"Command", 0, XK_Meta_L},
    {"Win", 0, XK_Meta_L},         {"Super", 0, XK_Super_L},     {"Hyper", 0, XK_Hyper_L},
};

// Ranges of keysyms that have names, in order.
struct KeysymRange {
  KeySym first, last;
};
constexpr KeysymRange kKeysymRanges[] = {
    {0x0020, 0x007e}, {0x00a0, 0x00ff}, {0x01a1, 0x01ff}, {0x02a1, 0x02fe}, {0x03a2, 0x03fe},
    {0x04a1, 0x04df}, {0x058a, 0x05fe}, {0x0680, 0x06ff}, {0x07a1, 0x07f9}, {0x08a1, 0x08fe},
    {0x09df, 0x09f8}, {0x0aa1, 0x0afe}, {0x0ba3, 0x0bfc}, {0x0cdf, 0x0cfa}, {0x0da1, 0x0df9},
    {0x0ea1, 0x0efa}, {0x13bc, 0x13be}, {0x20a0, 0x20ac}, {0xfd01, 0xfd1e}, {0xfe01, 0xfeff},
    {0xff08, 0xffff},
};

}  // namespace

// --- Keysyms and characters ---------------------------------------------------------------

bool xrcIsLockKeysym(KeySym keysym) {
  switch (keysym) {
    case XK_Num_Lock: case XK_Caps_Lock: case XK_Shift_Lock: case XK_ISO_Lock: case XK_ISO_Level3_Lock:
    case XK_ISO_Group_Lock: case XK_ISO_Next_Group_Lock: case XK_ISO_Prev_Group_Lock:
    case XK_ISO_First_Group_Lock: case XK_ISO_Last_Group_Lock: case XK_Scroll_Lock: case XK_Kana_Lock:
      return true;
    default:
      return false;
  }
}

bool xrcIsModifierKeysym(KeySym keysym) {
  if ((keysym >= 0xfe01 && keysym <= 0xfe0f) || (keysym >= XK_Shift_L && keysym <= XK_Hyper_R)) return true;
  switch (keysym) {
    case XK_Num_Lock: case XK_Mode_switch: case XK_Kana_Lock: case XK_Kana_Shift: case XK_Eisu_Shift:
    case XK_Scroll_Lock:
      return true;
    default:
      return false;
  }
}

const char* xrcKeysymName(KeySym keysym) {
  // Xlib makes the names of Unicode keysyms on the heap and never frees
  // them; this is the same name.
  if ((keysym & 0xff000000) == 0x01000000) return tmpPrintf("U%04lX", keysym & 0xffffff);
  if (const char* name = XKeysymToString(keysym)) return name;
  if (keysym == NoSymbol) return "NoSymbol";
  if (keysym == 0xaae) return "ellipsis";
  if (keysym == 0x1e9e) return "Ssharp";
  return tmpPrintf("U%04u", static_cast<u32>(keysym));
}

KeySym xrcKeysymFromName(const char* name) {
  if (!name || !*name) return NoSymbol;
  KeySym keysym = XStringToKeysym(name);
  if (keysym != NoSymbol) return keysym;
  char flipped[64];
  strCopy(flipped, name, sizeof flipped);
  unsigned char first = static_cast<unsigned char>(flipped[0]);
  flipped[0] = static_cast<char>(isupper(first) ? tolower(first) : toupper(first));
  return XStringToKeysym(flipped);
}

KeySym xrcNextKeysym(KeySym keysym) {
  for (const KeysymRange& range : kKeysymRanges) {
    if (keysym < range.first) return range.first;
    if (keysym < range.last) return keysym + 1;
  }
  return NoSymbol;
}

KeySym xrcCharToKeysym(u32 character) {
  switch (character) {
    case 8: return XK_BackSpace;
    case 9: return XK_Tab;
    case 10: return XK_Return;
    case 11: return XK_Linefeed;
    default: break;
  }
  if (character < 256 || (character >= 0x20a0 && character <= 0x20ac)) return character;
  return 0x1000000 | character;
}

u32 xrcUtf8Next(const char* text, u32* character) {
  auto* bytes = reinterpret_cast<const unsigned char*>(text);
  unsigned char lead = bytes[0];
  *character = 0;
  if (lead < 0x80) {
    *character = lead;
    return lead ? 1 : 0;
  }
  // 0x80-0xBF continue a character, 0xC0 and 0xC1 would only give overlong
  // forms, 0xF5 and above lie past U+10FFFF.
  if (lead < 0xc2 || lead > 0xf4) return 0;
  u32 length = lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
  u32 value = lead & (0x7f >> length);
  for (u32 i = 1; i < length; i++) {
    if ((bytes[i] & 0xc0) != 0x80) return 0;  // also stops at the terminating 0
    value = value << 6 | (bytes[i] & 0x3f);
  }
  *character = value;
  return length;
}

// --- Keycodes -------------------------------------------------------------------------------

u32 xrcMinKeycode(Display* display, u32 device) {
  if (!coreKeyboard(device)) return 0;
  int min = 0, max = 0;
  XDisplayKeycodes(display, &min, &max);
  return static_cast<u32>(min);
}

u32 xrcMaxKeycode(Display* display, u32 device) {
  if (!coreKeyboard(device)) return 0;
  int min = 0, max = 0;
  XDisplayKeycodes(display, &min, &max);
  return static_cast<u32>(max);
}

u32 xrcKeycodeCount(Display* display, u32 device) {
  if (!coreKeyboard(device)) return 0;
  int min = 0, max = 0;
  XDisplayKeycodes(display, &min, &max);
  return max >= min ? static_cast<u32>(max - min + 1) : 0;
}

const char* xrcQueryKeymap(Display* display, u32 device, u8* map) {
  memset(map, 0, 32);
  if (!coreKeyboard(device)) return nullptr;
  XQueryKeymap(display, reinterpret_cast<char*>(map));
  return nullptr;
}

int xrcKeyIsDown(Display* display, u32 device, u32 keycode) {
  u8 map[32];
  xrcQueryKeymap(display, device, map);
  return keycode < 256 && ((map[keycode / 8] >> (keycode % 8)) & 1);
}

KeySym xrcKeycodeToKeysym(Display* display, u32, u32 keycode) {
  XKeyEvent event = keyEvent(display, keycode, 0);
  return XLookupKeysym(&event, 0);
}

KeySym xrcFirstDownNonLockKey(Display* display, u32 device) {
  u8 map[32];
  xrcQueryKeymap(display, device, map);
  for (u32 keycode = 1; keycode < 256; keycode++) {
    if (!((map[keycode / 8] >> (keycode % 8)) & 1)) continue;
    KeySym keysym = xrcKeycodeToKeysym(display, device, keycode);
    if (!xrcIsLockKeysym(keysym)) return keysym;
  }
  return NoSymbol;
}

KeySym xrcLookupKeysym(Display* display, u32, u32 keycode, u32 state, int pressed) {
  XrcDisplay* record = xrcFindDisplay(display);
  keycode &= 0xff;
  if (!pressed && record && record->pressedKeysyms[keycode] != NoSymbol) {
    KeySym remembered = record->pressedKeysyms[keycode];
    record->pressedKeysyms[keycode] = NoSymbol;
    return remembered;
  }
  KeySym keysym = translate(display, keycode, state);
  if (pressed && record) record->pressedKeysyms[keycode] = keysym;
  return keysym;
}

u32 xrcKeysymToKeycode(Display* display, u32 device, KeySym keysym) {
  if (xrcIsModifierKeysym(keysym)) {
    const XModifierKeymap* map = xrcModifierMap(display, device);
    for (int i = 0; map && i < 8 * map->max_keypermod; i++) {
      u32 keycode = map->modifiermap[i];
      if (keycode && xrcKeycodeToKeysym(display, device, keycode) == keysym) return keycode;
    }
  }
  u32 keycode = XKeysymToKeycode(display, keysym);
  if (keycode) return keycode;
  KeySym twin = twinOf(keysym);
  return twin != NoSymbol ? XKeysymToKeycode(display, twin) : 0;
}

// --- Modifiers ------------------------------------------------------------------------------

XModifierKeymap* xrcModifierMap(Display* display, u32 device) {
  if (!coreKeyboard(device)) return nullptr;
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? xrcModmap(record) : nullptr;
}

u32 xrcModifierMaskOfKeycode(Display* display, u32 device, u32 keycode) {
  return maskOfKeycode(xrcModifierMap(display, device), keycode);
}

u32 xrcModifierMaskOfKeysym(Display* display, u32 device, KeySym keysym) {
  return xrcModifierMaskOfKeycode(display, device, xrcKeysymToKeycode(display, device, keysym));
}

u32 xrcModifierMaskByName(Display* display, u32 device, const char* name) {
  for (const ModifierName& row : kModifierNames) {
    if (strcasecmp(row.name, name) != 0) continue;
    return row.mask ? row.mask : xrcModifierMaskOfKeysym(display, device, row.keysym);
  }
  return 0;
}

u32 xrcLockMask(Display* display, u32 device) {
  u32 mask = LockMask;
  const XModifierKeymap* map = xrcModifierMap(display, device);
  for (int modifier = 0; map && modifier < 8; modifier++) {
    for (int i = 0; i < map->max_keypermod; i++) {
      u32 keycode = map->modifiermap[modifier * map->max_keypermod + i];
      if (keycode && xrcIsLockKeysym(xrcKeycodeToKeysym(display, device, keycode))) mask |= 1u << modifier;
    }
  }
  return mask;
}

// A key of this modifier alone beats one shared with others, a key the
// library already holds beats a fresh one, and ISO_Level3_Shift beats
// Mode_switch beats the rest.
u32 xrcModifierKeycode(Display* display, u32 device, u32 modifier, const u16* held) {
  const XModifierKeymap* map = xrcModifierMap(display, device);
  if (!map || modifier > 7) return 0;
  u32 best = 0, bestScore = 100;
  for (int i = 0; i < map->max_keypermod; i++) {
    u32 keycode = map->modifiermap[static_cast<int>(modifier) * map->max_keypermod + i];
    if (!keycode) continue;
    u32 score = maskOfKeycode(map, keycode) == (1u << modifier) ? 0 : 8;
    if (held && held[keycode] < 1) score += 4;
    KeySym keysym = xrcKeycodeToKeysym(display, device, keycode);
    score += keysym == XK_ISO_Level3_Shift ? 0 : keysym == XK_Mode_switch ? 1 : 2;
    if (score < bestScore) {
      best = keycode;
      bestScore = score;
    }
  }
  return best;
}

int xrcIsKeypadKey(Display* display, u32 keycode, u32 state) {
  XKeyEvent event = keyEvent(display, keycode, state);
  KeySym third = XLookupKeysym(&event, 2);
  u32 numLock = xrcModifierMaskOfKeysym(display, kXrcKeyboard, XK_Num_Lock);
  if (numLock && (state & numLock) && third > 0xff80 && third < 0xffbe) return 1;
  KeySym yielded = translate(display, keycode, state);
  return yielded >= XK_F11 && yielded <= XK_F35 && third != NoSymbol;
}

u32 xrcGetModifierState(Display* display, u32 device) {
  if (!coreKeyboard(device)) return 0;
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  XrcDeviceSlot* slot = record ? &record->slots[device] : nullptr;
  bool cache = record && record->options[kXrcOptCacheModifiers];
  if (cache && slot->cachedValid) return slot->cachedModifiers;
  Window root, child;
  int x, y, winX, winY;
  unsigned int state = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY, &state);
  state &= 0x60ff;
  if (cache) {
    slot->cachedModifiers = state;
    slot->cachedValid = 1;
  }
  return state;
}

}  // namespace palvon
