// XRCLib: switching a server's physical keyboard and mouse off and on, and
// the root properties that record it.
//
// Servers with XInput device properties switch the physical devices off
// through "Device Enabled". Older servers make a null device the core
// device instead and note the pair in a root property, so that a later run
// finds the physical device again.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <X11/Xatom.h>

#include "base/logging.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

bool usesDeviceEnabled(const XrcDisplay* record) {
  return record->xinputVersion > 68 && record->deviceEnabledAtom != None;
}

// Devices the XTEST extension made for its own fake input carry a property
// of their own. They must stay enabled: the library's fake input uses them.
bool isXTestDevice(XrcDisplay* record, XDevice* device) {
  if (record->xtestDeviceAtom == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  int status = XGetDeviceProperty(record->display, device, record->xtestDeviceAtom, 0, 1, False, AnyPropertyType,
                                  &type, &format, &count, &after, &data);
  if (data) XFree(data);
  return status == Success && type != None;
}

// Calls visit(id, device) for every non-XTEST extension device of the use,
// the device opened for the call.
template <typename Visit>
const char* forEachSwitchable(XrcDisplay* record, int use, Visit visit) {
  Display* display = record->display;
  for (int i = 0; i < record->xiDeviceCount; i++) {
    const XDeviceInfo& info = record->xiDevices[i];
    if (info.use != use || info.id >= kXrcMouse) continue;
    u32 id = static_cast<u32>(info.id);
    if (const char* error = xrcUseDevice(display, id)) return error;
    XDevice* device = record->slots[id].device;
    if (!isXTestDevice(record, device)) visit(id, device);
    xrcUnuseDevice(display, id);
  }
  return nullptr;
}

const char* setDevicesEnabled(XrcDisplay* record, int use, u8 value) {
  return forEachSwitchable(record, use, [&](u32, XDevice* device) {
    XChangeDeviceProperty(record->display, device, record->deviceEnabledAtom, XA_INTEGER, 8, PropModeReplace,
                          &value, 1);
  });
}

const char* switchReason(int status) {
  switch (status) {
    case AlreadyGrabbed: return "AlreadyGrabed";
    case GrabFrozen: return "GrabFrozen";
    case BadMatch: return "BadMatch";
    default: return "BadDevice";
  }
}

// The two core devices a switch works on.
struct CoreSwitch {
  bool pointer;
  int extensionUse;
  u32 physical;
  u32 null;
  const char* what;  // "mouse" or "keyboard"
};

CoreSwitch coreSwitch(const XrcDisplay* record, bool pointer) {
  if (pointer) return {true, IsXExtensionPointer, record->physicalMouse, record->nullMouse, "mouse"};
  return {false, IsXExtensionKeyboard, record->physicalKeyboard, record->nullKeyboard, "keyboard"};
}

u32 currentCore(Display* display, bool pointer) {
  return pointer ? xrcCorePointerId(display) : xrcCoreKeyboardId(display);
}

// Makes an opened device the core device; the X status.
int makeCore(XrcDisplay* record, bool pointer, u32 device) {
  XDevice* opened = record->slots[device].device;
  int status = pointer ? XChangePointerDevice(record->display, opened, 0, 1)
                       : XChangeKeyboardDevice(record->display, opened);
  if (status == Success) xrcFetchDevices(record);
  return status;
}

const char* switchOff(XrcDisplay* record, bool pointer) {
  Display* display = record->display;
  CoreSwitch s = coreSwitch(record, pointer);
  if (usesDeviceEnabled(record)) return setDevicesEnabled(record, s.extensionUse, 0);
  if (currentCore(display, pointer) == s.null) return nullptr;
  if (const char* error = xrcUseDevice(display, s.null)) return error;
  int status = makeCore(record, pointer, s.null);
  if (status != Success) {
    xrcUnuseDevice(display, s.null);
    return xrcError(display, "Can't set %s as core %s (%s)", xrcDeviceName(display, s.null), s.what,
                    switchReason(status));
  }
  xrcUseDevice(display, s.physical);  // kept open while the null device serves
  xrcSetOffProperty(display, pointer ? kXrcMouse : kXrcKeyboard,
                    tmpPrintf("physical=%u null=%u", s.physical, s.null));
  return nullptr;
}

const char* switchOn(XrcDisplay* record, bool pointer) {
  Display* display = record->display;
  CoreSwitch s = coreSwitch(record, pointer);
  if (usesDeviceEnabled(record)) return setDevicesEnabled(record, s.extensionUse, 1);
  if (currentCore(display, pointer) != s.null) return nullptr;
  if (const char* error = xrcUseDevice(display, s.physical)) return error;
  int status = makeCore(record, pointer, s.physical);
  if (status != Success) {
    xrcUnuseDevice(display, s.physical);
    return xrcError(display, "Can't set %s as core %s (%s)", xrcDeviceName(display, s.physical), s.what,
                    switchReason(status));
  }
  // Once for this call and once for the use kept while switched off.
  xrcUnuseDevice(display, s.physical);
  const char* error = xrcUnuseDevice(display, s.physical);
  const char* nullError = xrcUnuseDevice(display, s.null);
  return error ? error : nullError;
}

}  // namespace

const char* xrcDisablePhysicalMouse(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcMouseOff, &error);
  return record ? switchOff(record, true) : error;
}

const char* xrcEnablePhysicalMouse(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcMouseOff, &error);
  return record ? switchOn(record, true) : error;
}

const char* xrcDisablePhysicalKeyboard(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcKeyboardOff, &error);
  return record ? switchOff(record, false) : error;
}

const char* xrcEnablePhysicalKeyboard(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, kXrcKeyboardOff, &error);
  return record ? switchOn(record, false) : error;
}

const char* xrcEnableDevice(Display* display, u32 device) {
  if (device == kXrcMouse) {
    xrcPrintf(display, "Enabling mouse...");
    return xrcEnablePhysicalMouse(display);
  }
  if (device == kXrcKeyboard) {
    xrcPrintf(display, "Enabling keyboard...");
    return xrcEnablePhysicalKeyboard(display);
  }
  PALVON_WIP();
  return nullptr;
}

const char* xrcDisableDevice(Display* display, u32 device) {
  if (device == kXrcMouse) {
    xrcPrintf(display, "Disabling mouse...");
    return xrcDisablePhysicalMouse(display);
  }
  if (device == kXrcKeyboard) {
    xrcPrintf(display, "Disabling keyboard...");
    return xrcDisablePhysicalKeyboard(display);
  }
  PALVON_WIP();
  return nullptr;
}

const char* xrcDisableInput(Display* display) {
  xrcPrintf(display, "Disabling input...");
  if (const char* error = xrcAttachDisplay(display, kXrcKeyboardOff | kXrcMouseOff)) return error;
  if (const char* error = xrcDisablePhysicalMouse(display)) return error;
  if (const char* error = xrcDisablePhysicalKeyboard(display)) {
    xrcEnablePhysicalMouse(display);
    return error;
  }
  xrcCount(kXrcStatInputOff);
  return nullptr;
}

const char* xrcEnableInput(Display* display) {
  xrcPrintf(display, "Enabling input...");
  if (const char* error = xrcEnablePhysicalMouse(display)) return error;
  if (const char* error = xrcEnablePhysicalKeyboard(display)) {
    xrcDisablePhysicalMouse(display);
    return error;
  }
  return nullptr;
}

// With "Device Enabled" the physical devices stay core devices: input is
// off when every switchable device reads 0.
int xrcInputDisabled(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return 0;
  if (!usesDeviceEnabled(record)) {
    return record->nullMouse != kXrcNoDevice && xrcCorePointerId(display) == record->nullMouse &&
           record->nullKeyboard != kXrcNoDevice && xrcCoreKeyboardId(display) == record->nullKeyboard;
  }
  int seen = 0, enabled = 0;
  for (int use : {IsXExtensionPointer, IsXExtensionKeyboard}) {
    forEachSwitchable(record, use, [&](u32, XDevice* device) {
      Atom type = None;
      int format = 0;
      unsigned long count = 0, after = 0;
      unsigned char* data = nullptr;
      XGetDeviceProperty(display, device, record->deviceEnabledAtom, 0, 1, False, XA_INTEGER, &type, &format,
                         &count, &after, &data);
      seen++;
      if (data && count && format == 8 && data[0]) enabled++;
      if (data) XFree(data);
    });
  }
  return seen > 0 && enabled == 0;
}

// --- Root properties ----------------------------------------------------------------------

const char* xrcRedirectionProperty(Display* display, u32 device) {
  const char* name = device == kXrcMouse ? "_XPOINTER_REDIRECTION" : "_XKEYBOARD_REDIRECTION";
  Atom atom = XInternAtom(display, name, True);
  if (atom == None) return nullptr;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  int status = XGetWindowProperty(display, RootWindow(display, 0), atom, 0, 1024, False, XA_STRING, &type, &format,
                                  &count, &after, &data);
  const char* text = nullptr;
  if (status == Success && data && type == XA_STRING && format == 8) text = tmpStrndup(data, count);
  if (data) XFree(data);
  return text;
}

const char* xrcSetOffProperty(Display* display, u32 device, const char* text) {
  const char* name = device == kXrcMouse ? "_ZAV_MOUSE_OFF" : "_ZAV_KEYBOARD_OFF";
  Atom atom = XInternAtom(display, name, text ? False : True);
  if (atom == None) return nullptr;
  Window root = RootWindow(display, 0);
  if (!text) XDeleteProperty(display, root, atom);
  else XChangeProperty(display, root, atom, XA_STRING, 8, PropModeReplace,
                       reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)));
  return nullptr;
}

}  // namespace palvon
