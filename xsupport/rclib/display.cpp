// XRCLib records: attaching a display, probing what it can do, options,
// error texts and statistics.
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <X11/Xlibint.h>
#include <X11/extensions/XTest.h>

#include "base/logging.h"
#include "base/timeval.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/control.h"
#include "xsupport/rclib/record.h"
#include "xsupport/xfont.h"

namespace palvon {

const char* xrcAttachKeyboardOff(XrcDisplay* record);
const char* xrcAttachMouseOff(XrcDisplay* record);
void xrcFreeDevices(XrcDisplay* record);

namespace {

std::mutex displayListMutex;
XrcDisplay* displayList = nullptr;
std::atomic<u32> statistics[kXrcStatCount];

constexpr char kStatLetters[kXrcStatCount + 1] = "edimbhtor";

void linkRecord(XrcDisplay* record) {
  std::lock_guard<std::mutex> lock(displayListMutex);
  record->next = displayList;
  if (displayList) displayList->previous = record;
  displayList = record;
}

void unlinkRecord(XrcDisplay* record) {
  std::lock_guard<std::mutex> lock(displayListMutex);
  if (record->previous) record->previous->next = record->next;
  else if (displayList == record) displayList = record->next;
  if (record->next) record->next->previous = record->previous;
  record->next = record->previous = nullptr;
}

void freeRecord(XrcDisplay* record) {
  xrcFreeDevices(record);
  if (record->modifierMap) XFreeModifiermap(record->modifierMap);
  std::free(record->classes);
  std::free(record);
}

u32 defaultOption(Display* display, u32 index) {
  static const u32 kDefaults[kXrcOptionCount] = {1, 100, 0, 0, 0, 0, 100, 100, 100, 0, 75, 75, 0, 1, 200};
  if (index != kXrcOptButtons) return kDefaults[index];
  unsigned char map[256];
  int count = XGetPointerMapping(display, map, sizeof map);
  return count > 0 ? static_cast<u32>(count) : 0;
}

// The XInput version and device list of a fresh record.
void probeXInput(XrcDisplay* record) {
  Display* display = record->display;
  int opcode, event, error;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) return;
  XExtensionVersion* version = XGetExtensionVersion(display, INAME);
  if (version && version != reinterpret_cast<XExtensionVersion*>(NoSuchExtension) && version->present) {
    record->xinputVersion = static_cast<u32>(version->major_version * 64 + version->minor_version);
    record->xinputOpcode = opcode;
    record->xinputFirstEvent = event;
  }
  if (version && version != reinterpret_cast<XExtensionVersion*>(NoSuchExtension)) XFree(version);
  if (!record->xinputVersion) return;
  if (record->xinputVersion > 68) {
    record->deviceEnabledAtom = XInternAtom(display, "Device Enabled", True);
    record->xtestDeviceAtom = XInternAtom(display, "XTEST Device", True);
  }
  xrcFetchDevices(record);
}

// A new record hooked into the Display; nullptr with the error set.
XrcDisplay* createRecord(Display* display, const char** error) {
  XExtCodes* codes = XAddExtension(display);
  if (!codes) {
    *error = xrcError(display, "XAddExtension() failed");
    return nullptr;
  }
  auto* record = static_cast<XrcDisplay*>(memCalloc(1, sizeof(XrcDisplay)));
  // Xlib frees the header itself (with free) after its callback.
  auto* data = static_cast<XExtData*>(memCalloc(1, sizeof(XExtData)));
  if (!record || !data) {
    std::free(record);
    std::free(data);
    *error = xrcError(display, "Out of memory");
    return nullptr;
  }
  record->display = display;
  record->extData = data;
  data->number = codes->extension;
  data->free_private = xrcDetachDisplay;
  data->private_data = reinterpret_cast<XPointer>(record);
  record->physicalMouse = record->nullMouse = kXrcNoDevice;
  record->physicalKeyboard = record->nullKeyboard = kXrcNoDevice;
  // Hooked in before the first round trip: a call given up in one of them
  // leaves the record to the close, never on the list under the address.
  linkRecord(record);
  XAddToExtensionList(XEHeadOfExtensionList(XEDataObject{.display = display}), data);
  xrcSetDefaultOptions(display);
  record->pointerRedirectionAtom = XInternAtom(display, "_XPOINTER_REDIRECTION", False);
  record->keyboardRedirectionAtom = XInternAtom(display, "_XKEYBOARD_REDIRECTION", False);
  if (!record->pointerRedirectionAtom || !record->keyboardRedirectionAtom) {
    unlinkRecord(record);  // freed with the connection's data
    *error = xrcError(display, "XInternAtom() failed");
    return nullptr;
  }
  probeXInput(record);
  xrcCount(kXrcStatDisplays);
  return record;
}

const char* attachFakeInput(XrcDisplay* record, u32 wanted) {
  bool grabProofWanted = (wanted & kXrcGrabProof) != 0;
  u8& caps = record->capabilities;
  if ((caps & kXrcFakeInput) && (!grabProofWanted || (caps & kXrcGrabProof))) return nullptr;
  bool grabProofNeeded = grabProofWanted || (caps & kXrcGrabProof);
  Display* display = record->display;
  if (xDisplayExtensionCodes(display, kControlExtensionName)) {
    record->method = kXrcControl;
    if (grabProofNeeded) caps |= kXrcGrabProof;
    caps |= static_cast<u8>(kXrcFakeInput | (wanted & kXrcGrabProof));
    return nullptr;
  }
  int event, error, major = 0, minor = 0;
  bool xtest = XTestQueryExtension(display, &event, &error, &major, &minor);
  if (xtest && !grabProofNeeded) {
    record->method = kXrcXTest;
    caps |= kXrcFakeInput;
    return nullptr;
  }
  if (xtest && (major > 2 || (major == 2 && minor >= 2))) {
    XTestGrabControl(display, True);
    xrcAutoFlush(record);
    record->method = kXrcXTest;
    caps |= kXrcFakeInput | kXrcGrabProof;
    return nullptr;
  }
  if (xDisplayExtensionCodes(display, kXTest1ExtensionName) && !xrcSetupXTestExtension1(record, grabProofNeeded)) {
    return nullptr;
  }
  return xrcError(display, "Unsupported extension XTEST (version 2.2 or higher), XTestExtension1 or XTRAP");
}

}  // namespace

// --- Library --------------------------------------------------------------------------

const char* xrcLibName() { return "XRCLib"; }

const char* xrcVersion() {
  time_t built = 0;
  parseBuildDate(__DATE__, &built);
  return tmpPrintf("%u.%u.%u", 1u, 0u, static_cast<u32>(built));
}

const char* xrcStatistics() {
  static char buffer[kXrcStatCount * 12 + 1];
  char* end = buffer + sizeof buffer;
  char* at = spanPrintf(buffer, end, "%ue", statistics[kXrcStatErrors].load());
  for (u32 i = 1; i < kXrcStatCount; i++) {
    u32 n = statistics[i].load();
    if (n) at = spanPrintf(at, end, "%u%c", n, kStatLetters[i]);
  }
  return buffer;
}

void xrcCount(XrcStat stat) { statistics[stat]++; }

const char* xrcError(Display* display, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  xrcCount(kXrcStatErrors);
  if (!display) return tmpPrintf("%s (XRC)", text);
  return tmpPrintf("%s on display %s", text, xShortDisplayName(display));
}

// --- Records ----------------------------------------------------------------------------

XrcDisplay* xrcFindDisplay(Display* display) {
  std::lock_guard<std::mutex> lock(displayListMutex);
  for (XrcDisplay* record = displayList; record; record = record->next) {
    if (record->display == display) return record;
  }
  return nullptr;
}

int xrcDetachDisplay(XExtData* data) {
  auto* record = data ? reinterpret_cast<XrcDisplay*>(data->private_data) : nullptr;
  if (!record) {
    PALVON_UNE();
    return 0;
  }
  unlinkRecord(record);
  data->private_data = nullptr;
  freeRecord(record);
  return 0;
}

const char* xrcAttachDisplay(Display* display, u32 wanted) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (record && (record->capabilities & wanted) == wanted) return nullptr;
  const char* error = nullptr;
  if (!record && !(record = createRecord(display, &error))) return error;
  if ((wanted & (kXrcFakeInput | kXrcGrabProof)) && (error = attachFakeInput(record, wanted))) return error;
  if ((wanted & kXrcKeyboardOff) && !(record->capabilities & kXrcKeyboardOff)) {
    if ((error = xrcAttachKeyboardOff(record))) return error;
    record->capabilities |= kXrcKeyboardOff;
  }
  if ((wanted & kXrcMouseOff) && !(record->capabilities & kXrcMouseOff)) {
    if ((error = xrcAttachMouseOff(record))) return error;
    record->capabilities |= kXrcMouseOff;
  }
  return nullptr;
}

XrcDisplay* xrcRecord(Display* display, u32 wanted, const char** error) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (record && (record->capabilities & wanted) == wanted) return record;
  if ((*error = xrcAttachDisplay(display, wanted))) return nullptr;
  return xrcFindDisplay(display);
}

const char* xrcEnsureAttached(Display* display) {
  return xrcFindDisplay(display) ? nullptr : xrcAttachDisplay(display, 0);
}

u32 xrcCapabilities(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  return record ? record->capabilities : 0;
}

u32 xrcInjectionMethod(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  return record ? record->method : u32{kXrcXTest};
}

const char* xrcSetInjectionMethod(Display* display, u32 method) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (!record) return error;
  int event, xerror, major, minor;
  switch (method) {
    case kXrcXTest:
      if (!XTestQueryExtension(display, &event, &xerror, &major, &minor)) return xrcError(display, "No XTEST");
      break;
    case kXrcXTest1:
      if (!xDisplayExtensionCodes(display, kXTest1ExtensionName)) return xrcError(display, "No XTestExtension1");
      break;
    case kXrcControl:
      if (!xDisplayExtensionCodes(display, kControlExtensionName)) {
        return xrcError(display, "No %s", kControlExtensionName);
      }
      break;
    case kXrcSynthetic:
      break;
    default:
      return xrcError(display, "No injection method #%u", method);
  }
  record->method = static_cast<u8>(method);
  record->capabilities |= kXrcFakeInput;
  return nullptr;
}

u16 xrcPushBusy(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? ++record->busy : 0;
}

u16 xrcPopBusy(Display* display) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record ? --record->busy : 0;
}

void xrcAutoFlush(XrcDisplay* record) {
  if (record->options[kXrcOptFlush]) XFlush(record->display);
}

XModifierKeymap* xrcModmap(XrcDisplay* record) {
  if (!record->modifierMap) record->modifierMap = XGetModifierMapping(record->display);
  return record->modifierMap;
}

void xrcForgetModmap(XrcDisplay* record) {
  if (record->modifierMap) XFreeModifiermap(record->modifierMap);
  record->modifierMap = nullptr;
}

// --- XTestExtension1 --------------------------------------------------------------------

const char* xrcSetupXTestExtension1(XrcDisplay* record, bool needGrabProof) {
  Display* display = record->display;
  if (!xDisplayExtensionCodes(display, kXTest1ExtensionName)) return xrcError(display, "No XTestExtension1");
  if (!needGrabProof) {
    record->method = kXrcXTest1;
    record->capabilities |= kXrcFakeInput;
    return nullptr;
  }
  record->xtest1Pointer = xrcCorePointerId(display);
  record->xtest1Keyboard = xrcCoreKeyboardId(display);
  Window root, child;
  int x = 0, y = 0, winX, winY;
  unsigned int state;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &winX, &winY, &state);
  xtest1FakeJump(display, record->xtest1Pointer, x, y);
  XFlush(display);
  if (!xServerGrabLeaksInput(display)) return xrcError(display, "XTestExtension1 not impervious");
  record->capabilities |= kXrcFakeInput | kXrcGrabProof;
  record->method = kXrcXTest1;
  record->xtest1SetUp = 1;
  return nullptr;
}

// --- Options ------------------------------------------------------------------------------

void xrcSetOption(Display* display, u32 index, u32 value) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  if (record && index < kXrcOptionCount) record->options[index] = value;
}

u32 xrcGetOption(Display* display, u32 index) {
  const char* error = nullptr;
  XrcDisplay* record = xrcRecord(display, 0, &error);
  return record && index < kXrcOptionCount ? record->options[index] : 0;
}

void xrcSetDefaultOptions(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record) return;
  for (u32 i = 0; i < kXrcOptionCount; i++) record->options[i] = defaultOption(display, i);
}

void xrcDelay(Display* display, u32 ms) {
  XrcDisplay* record = xrcFindDisplay(display);
  u64 scale = record ? record->options[kXrcOptDelayScale] : 100;
  u64 scaled = u64{ms} * scale / 100;
  if (scaled) sleepMs(static_cast<u32>(scaled > 0xffffffffu ? 0xffffffffu : scaled));
}

void xrcPrintf(Display* display, const char* format, ...) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || !record->options[kXrcOptVerbose]) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  printf("\n%s", text);
  fflush(stdout);
}

int wildcardMatch(const char* pattern, const char* text) {
  for (;; pattern++, text++) {
    if (*pattern == '*') return 1;
    if (tolower(static_cast<unsigned char>(*pattern)) != tolower(static_cast<unsigned char>(*text))) return 0;
    if (!*pattern) return 1;
  }
}

}  // namespace palvon
