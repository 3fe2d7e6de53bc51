// XRCLib input devices: the XInput device list, device slots opened by
// count, and the choice of the null devices that stand in for the physical
// keyboard and mouse while these are switched off.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <X11/Xatom.h>

#include "base/logging.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

u32 kindOfUse(int use) {
  switch (use) {
    case IsXPointer: return kXrcKindPointer;
    case IsXKeyboard: return kXrcKindKeyboard;
    case IsXExtensionPointer: return kXrcKindExtensionPointer;
    case IsXExtensionKeyboard: return kXrcKindExtensionKeyboard;
    default: return kXrcKindOther;
  }
}

// Calls visit for every input class of a device. The walk stops at a class
// of length 0, which would otherwise never end.
template <typename Visit>
void forEachClass(const XDeviceInfo& device, Visit visit) {
  auto* any = reinterpret_cast<const XAnyClassInfo*>(device.inputclassinfo);
  for (int i = 0; any && i < device.num_classes; i++) {
    visit(any);
    if (any->length <= 0) break;
    any = reinterpret_cast<const XAnyClassInfo*>(reinterpret_cast<const char*>(any) + any->length);
  }
}

// A button count above 255 comes from servers that send it byte-swapped.
u32 buttonCount(const XButtonInfo* info) {
  u32 n = static_cast<u16>(info->num_buttons);
  return n > 255 ? ((n & 0xff) << 8) | (n >> 8) : n;
}

XrcDeviceInfo convertDevice(const XDeviceInfo& device) {
  XrcDeviceInfo info = {};
  info.id = static_cast<u32>(device.id);
  info.kind = kindOfUse(device.use);
  info.name = device.name ? device.name : "";
  forEachClass(device, [&](const XAnyClassInfo* any) {
    if (any->c_class == ButtonClass) {
      info.buttons = buttonCount(reinterpret_cast<const XButtonInfo*>(any));
    } else if (any->c_class == ValuatorClass) {
      auto* valuators = reinterpret_cast<const XValuatorInfo*>(any);
      info.axes = valuators->num_axes;
      info.relative = valuators->mode == Relative;
    } else if (any->c_class == KeyClass) {
      auto* keys = reinterpret_cast<const XKeyInfo*>(any);
      info.minKeycode = keys->min_keycode;
      info.keyCount = keys->num_keys;
    }
  });
  return info;
}

void freeDeviceList(XrcDisplay* record) {
  if (record->xiDevices) XFreeDeviceList(record->xiDevices);
  std::free(record->devices);
  record->xiDevices = nullptr;
  record->xiDeviceCount = 0;
  record->devices = nullptr;
  record->deviceCount = 0;
}

const XrcDeviceInfo* findByKind(const XrcDisplay* record, u32 kind) {
  for (u32 i = 0; i < record->deviceCount; i++) {
    if (record->devices[i].kind == kind) return &record->devices[i];
  }
  return nullptr;
}

bool nameIs(const char* name, const char* a, const char* b = nullptr) {
  return name && (strcasecmp(name, a) == 0 || (b && strcasecmp(name, b) == 0));
}

// The device numbers of a "physical=%d null=%d" root property, taken only
// when both name listed devices: any client may write the property.
bool readOffProperty(XrcDisplay* record, const char* atomName, u32* physical, u32* null) {
  Display* display = record->display;
  Atom atom = XInternAtom(display, atomName, True);
  if (atom == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  int status = XGetWindowProperty(display, RootWindow(display, 0), atom, 0, 64, False, XA_STRING, &type, &format,
                                  &count, &after, &data);
  int p = -1, n = -1;
  bool parsed = status == Success && data && type == XA_STRING && format == 8 &&
                sscanf(reinterpret_cast<char*>(data), "physical=%d null=%d", &p, &n) == 2;
  if (data) XFree(data);
  if (!parsed || p < 0 || p > 255 || n < 0 || n > 255) return false;
  if (!xrcFindDeviceInfo(record, static_cast<u32>(p)) || !xrcFindDeviceInfo(record, static_cast<u32>(n))) {
    return false;
  }
  *physical = static_cast<u32>(p);
  *null = static_cast<u32>(n);
  return true;
}

}  // namespace

// --- The device list ------------------------------------------------------------------------

void xrcFreeDevices(XrcDisplay* record) {
  for (XrcDeviceSlot& slot : record->slots) {
    if (slot.device) XFree(slot.device);  // the connection is gone: memory only
    slot.device = nullptr;
    slot.openCount = 0;
  }
  freeDeviceList(record);
}

const char* xrcFetchDevices(XrcDisplay* record) {
  Display* display = record->display;
  freeDeviceList(record);
  int count = 0;
  XDeviceInfo* list = XListInputDevices(display, &count);
  if (!list) return xrcError(display, "Can't list input devices on %s", xShortDisplayName(display));
  auto* devices = static_cast<XrcDeviceInfo*>(memCalloc(count > 0 ? static_cast<size_t>(count) : 1,
                                                         sizeof(XrcDeviceInfo)));
  if (!devices) {
    XFreeDeviceList(list);
    return PALVON_OOM();
  }
  for (int i = 0; i < count; i++) devices[i] = convertDevice(list[i]);
  record->xiDevices = list;
  record->xiDeviceCount = count;
  record->devices = devices;
  record->deviceCount = static_cast<u32>(count);
  return nullptr;
}

const XrcDeviceInfo* xrcFindDeviceInfo(const XrcDisplay* record, u32 device) {
  for (u32 i = 0; i < record->deviceCount; i++) {
    if (record->devices[i].id == device) return &record->devices[i];
  }
  return nullptr;
}

const char* xrcListDevices(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? xrcFetchDevices(record) : error;
}

const char* xrcDeviceName(Display*, u32 device) {
  if (device == kXrcMouse) return "mouse";
  if (device == kXrcKeyboard) return "keyboard";
  return tmpPrintf("input device #%u", device);
}

const char* xrcParseDevice(Display* display, const char* name, u32* device) {
  if (nameIs(name, "mouse")) {
    *device = kXrcMouse;
    return nullptr;
  }
  if (nameIs(name, "keyboard")) {
    *device = kXrcKeyboard;
    return nullptr;
  }
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  for (u32 i = 0; i < record->deviceCount; i++) {
    if (nameIs(name, record->devices[i].name)) {
      *device = record->devices[i].id;
      return nullptr;
    }
  }
  return xrcError(display, "No input device '%s'", name ? name : "");
}

u32 xrcXInputVersion(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  return record ? record->xinputVersion : 0;
}

u32 xrcInputVersion(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? record->xinputVersion : 0;
}

const XrcDeviceInfo* xrcDeviceInfo(Display* display, u32 device) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? xrcFindDeviceInfo(record, device) : nullptr;
}

const XrcDeviceInfo* xrcListDeviceInfo(Display* display, u32* count) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  *count = record ? record->deviceCount : 0;
  return record ? record->devices : nullptr;
}

int xrcDevicePresent(Display* display, u32 device) {
  return device == kXrcMouse || device == kXrcKeyboard || xrcDeviceInfo(display, device) != nullptr;
}

u32 xrcCorePointerId(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  const XrcDeviceInfo* core = record ? findByKind(record, kXrcKindPointer) : nullptr;
  return core ? core->id : kXrcMouse;
}

u32 xrcCoreKeyboardId(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  const XrcDeviceInfo* core = record ? findByKind(record, kXrcKindKeyboard) : nullptr;
  return core ? core->id : kXrcKeyboard;
}

u32 xrcOtherCoreDevice(u32 device) {
  if (device == kXrcMouse) return kXrcKeyboard;
  if (device == kXrcKeyboard) return kXrcMouse;
  PALVON_WIP();
  return kXrcNoDevice;
}

u32 xrcButtonCount(Display* display, u32 device) {
  if (device != kXrcMouse) return 0;
  unsigned char map[256];
  int count = XGetPointerMapping(display, map, sizeof map);
  return count > 0 ? static_cast<u32>(count) : 0;
}

// --- Device slots -------------------------------------------------------------------------

const char* xrcUseDevice(Display* display, u32 device) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  if (device >= kXrcMouse) return nullptr;
  xrcPrintf(display, "Using %s...", xrcDeviceName(display, device));
  XrcDeviceSlot& slot = record->slots[device];
  if (slot.openCount == 0) {
    if (!record->xinputVersion) return xrcError(display, "No XInputExtension");
    // Opening an unlisted id would only earn an X error.
    XDevice* opened = xrcFindDeviceInfo(record, device) ? XOpenDevice(display, device) : nullptr;
    if (!opened) return xrcError(display, "Can't open %s", xrcDeviceName(display, device));
    slot.device = opened;
    xrcCount(kXrcStatDevices);
  }
  slot.openCount++;
  return nullptr;
}

const char* xrcUnuseDevice(Display* display, u32 device) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || device >= kXrcMouse) return nullptr;
  xrcPrintf(display, "Unusing %s...", xrcDeviceName(display, device));
  XrcDeviceSlot& slot = record->slots[device];
  if (slot.openCount == 0 || --slot.openCount > 0) return nullptr;
  XDevice* opened = slot.device;
  slot.device = nullptr;
  if (XCloseDevice(display, opened) != Success) return xrcError(display, "Can't close %s", xrcDeviceName(display, device));
  return nullptr;
}

XDevice* xrcOpenedDevice(Display* display, u32 device) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || device >= kXrcMouse) return nullptr;
  return record->slots[device].openCount ? record->slots[device].device : nullptr;
}

// --- Null devices -------------------------------------------------------------------------

u32 xrcNullKeyboardScore(const XDeviceInfo& device, u32 coreMinKeycode, u32 coreKeyCount) {
  u32 score = 64;
  if (nameIs(device.name, "Power Button")) score = 128;
  else if (nameIs(device.name, "Null Keyboard", "NKEYBOARD")) score = 0;
  if (device.num_classes <= 0) return score + 256;
  u32 minKeycode = 0, keyCount = 0;
  forEachClass(device, [&](const XAnyClassInfo* any) {
    if (any->c_class == ButtonClass) {
      if (reinterpret_cast<const XButtonInfo*>(any)->num_buttons > 0) score += 4;
    } else if (any->c_class == ValuatorClass) {
      if (reinterpret_cast<const XValuatorInfo*>(any)->num_axes > 0) score += 2;
    } else if (any->c_class == KeyClass) {
      minKeycode = reinterpret_cast<const XKeyInfo*>(any)->min_keycode;
      keyCount = reinterpret_cast<const XKeyInfo*>(any)->num_keys;
    } else {
      score += 1;
    }
  });
  if (keyCount == 0 || keyCount < coreKeyCount) score += 256;
  else if (keyCount == coreKeyCount) score += minKeycode == coreMinKeycode ? 0 : 8;
  else score += 16;
  if (keyCount >= 249) score += 32;
  return score;
}

u32 xrcNullMouseScore(const XDeviceInfo& device, u32 coreButtons) {
  u32 n = nameIs(device.name, "Null Mouse", "NMOUSE") ? 0 : 8;
  if (device.num_classes <= 0) return n + 32;
  u32 buttons = 0, axes = 0;
  forEachClass(device, [&](const XAnyClassInfo* any) {
    if (any->c_class == ButtonClass) buttons = buttonCount(reinterpret_cast<const XButtonInfo*>(any));
    else if (any->c_class == ValuatorClass) axes = reinterpret_cast<const XValuatorInfo*>(any)->num_axes;
  });
  u32 axisScore = axes > 1 ? (axes < 3 ? 0 : 2) : 16;
  if (buttons == 0) return n + 16 + axisScore;
  if (buttons >= coreButtons) return n + (buttons > coreButtons ? 1 : 0) + axisScore;
  return axes < 2 ? n + 20 : n + 4 + (axes < 3 ? 0 : 2);
}

u32 xrcChooseNullMouse(const XDeviceInfo* devices, int count, u32 coreButtons) {
  u32 best = kXrcNoDevice, bestScore = 16;
  for (int i = 0; i < count; i++) {
    if (devices[i].use != IsXExtensionDevice && devices[i].use != IsXExtensionPointer) continue;
    u32 score = xrcNullMouseScore(devices[i], coreButtons);
    if (score < bestScore && devices[i].id < kXrcMouse) {
      best = static_cast<u32>(devices[i].id);
      bestScore = score;
    }
  }
  return best;
}

u32 xrcChooseNullKeyboard(const XDeviceInfo* devices, int count, u32 coreMinKeycode, u32 coreKeyCount) {
  u32 best = kXrcNoDevice, bestScore = 256;
  for (int i = 0; i < count; i++) {
    if (devices[i].use != IsXExtensionDevice && devices[i].use != IsXExtensionKeyboard) continue;
    u32 score = xrcNullKeyboardScore(devices[i], coreMinKeycode, coreKeyCount);
    if (score < bestScore && devices[i].id < kXrcMouse) {
      best = static_cast<u32>(devices[i].id);
      bestScore = score;
    }
  }
  return best;
}

const char* xrcFindNullMouse(Display* display, u32* physical, u32* null, int* relative) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  if (!record->xinputVersion) return xrcError(display, "No XInputExtension");
  const XrcDeviceInfo* core = findByKind(record, kXrcKindPointer);
  if (!core) return xrcError(display, "No core mouse device");
  u32 chosen = xrcChooseNullMouse(record->xiDevices, record->xiDeviceCount, core->buttons);
  if (chosen == kXrcNoDevice) return xrcError(display, "No null mouse device");
  *physical = core->id;
  *null = chosen;
  if (relative) *relative = core->relative;
  return nullptr;
}

const char* xrcFindNullKeyboard(Display* display, u32* physical, u32* null) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  if (!record->xinputVersion) return xrcError(display, "No XInputExtension");
  const XrcDeviceInfo* core = findByKind(record, kXrcKindKeyboard);
  if (!core) return xrcError(display, "No core keyboard device");
  u32 chosen = xrcChooseNullKeyboard(record->xiDevices, record->xiDeviceCount, core->minKeycode, core->keyCount);
  if (chosen == kXrcNoDevice) return xrcError(display, "No null keyboard device");
  *physical = core->id;
  *null = chosen;
  return nullptr;
}

u32 xrcNullDevice(Display* display, u32 device) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record) return kXrcNoDevice;
  return device == kXrcMouse ? record->nullMouse : device == kXrcKeyboard ? record->nullKeyboard : kXrcNoDevice;
}

const char* xrcAttachKeyboardOff(XrcDisplay* record) {
  if (!record->xinputVersion) return xrcError(record->display, "No XInputExtension");
  if (readOffProperty(record, "_ZAV_KEYBOARD_OFF", &record->physicalKeyboard, &record->nullKeyboard)) return nullptr;
  return xrcFindNullKeyboard(record->display, &record->physicalKeyboard, &record->nullKeyboard);
}

const char* xrcAttachMouseOff(XrcDisplay* record) {
  if (!record->xinputVersion) return xrcError(record->display, "No XInputExtension");
  if (readOffProperty(record, "_ZAV_MOUSE_OFF", &record->physicalMouse, &record->nullMouse)) return nullptr;
  return xrcFindNullMouse(record->display, &record->physicalMouse, &record->nullMouse, nullptr);
}

}  // namespace palvon
