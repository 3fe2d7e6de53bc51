#include "xsupport/power.h"

#include <string.h>

#include <X11/Xlibint.h>
#include <X11/extensions/Xext.h>
#include <X11/extensions/dpms.h>
extern "C" {
#include <X11/extensions/extutil.h>  // declares its C functions without C linkage
}

namespace palvon {

// --- FBPM requests ----------------------------------------------------------------

namespace {

constexpr const char* kFbpmName = "FBPM";

enum FbpmMinor : u8 {
  kFbpmGetVersion = 0,
  kFbpmCapable = 1,
  kFbpmEnable = 4,
  kFbpmDisable = 5,
  kFbpmInfo = 7,
};

struct FbpmRequest {
  CARD8 reqType;
  CARD8 fbpmReqType;
  CARD16 length;
};

struct FbpmWordRequest {  // GetVersion (unused word) and Enable (level)
  CARD8 reqType;
  CARD8 fbpmReqType;
  CARD16 length;
  CARD16 value;
  CARD16 pad;
};

struct FbpmReply {
  BYTE type;
  BYTE pad;
  CARD16 sequenceNumber;
  CARD32 length;
  CARD8 data[24];  // the reply fields from byte 8 on
};
static_assert(sizeof(FbpmRequest) == 4 && sizeof(FbpmWordRequest) == 8 && sizeof(FbpmReply) == 32);

XExtensionInfo* fbpmInfo = nullptr;

int fbpmCloseDisplay(Display* display, XExtCodes*) { return XextRemoveDisplay(fbpmInfo, display); }

XExtensionHooks fbpmHooks = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, fbpmCloseDisplay, nullptr, nullptr, nullptr, nullptr,
};

XExtDisplayInfo* fbpmFindDisplay(Display* display) {
  if (!fbpmInfo && !(fbpmInfo = XextCreateExtension())) return nullptr;
  XExtDisplayInfo* info = XextFindDisplay(fbpmInfo, display);
  if (!info) info = XextAddDisplay(fbpmInfo, display, kFbpmName, &fbpmHooks, 0, nullptr);
  return info;
}

// The extension's major opcode, or 0 after reporting it missing.
int fbpmOpcode(Display* display) {
  XExtDisplayInfo* info = fbpmFindDisplay(display);
  if (!XextHasExtension(info)) {
    XMissingExtension(display, kFbpmName);
    return 0;
  }
  return info->codes->major_opcode;
}

// Sends a request of size bytes (4 or 8) and, when reply is given, reads the
// answer. Returns 0 when the extension is missing or the reply failed.
Status fbpmCall(Display* display, u8 minor, size_t size, u16 value, FbpmReply* reply) {
  int opcode = fbpmOpcode(display);
  if (!opcode) return 0;
  LockDisplay(display);
  auto* request = static_cast<FbpmWordRequest*>(_XGetRequest(display, static_cast<CARD8>(opcode), size));
  request->fbpmReqType = minor;
  if (size == sizeof(FbpmWordRequest)) {
    request->value = value;
    request->pad = 0;
  }
  Status status = 1;
  if (reply) status = _XReply(display, reinterpret_cast<xReply*>(reply), 0, xTrue);
  UnlockDisplay(display);
  if (display->synchandler) display->synchandler(display);
  return status;
}

inline u16 replyWord(const FbpmReply& reply, int offset) {
  u16 value;
  memcpy(&value, reply.data + offset - 8, 2);
  return value;
}

}  // namespace

Bool xFbpmQueryExtension(Display* display, int* eventBase, int* errorBase) {
  XExtDisplayInfo* info = fbpmFindDisplay(display);
  if (!XextHasExtension(info)) return False;
  *eventBase = info->codes->first_event;
  *errorBase = info->codes->first_error;
  return True;
}

Status xFbpmGetVersion(Display* display, int* major, int* minor) {
  FbpmReply reply;
  if (!fbpmCall(display, kFbpmGetVersion, sizeof(FbpmWordRequest), 0, &reply)) return 0;
  *major = replyWord(reply, 8);
  *minor = replyWord(reply, 10);
  return 1;
}

Bool xFbpmCapable(Display* display) {
  FbpmReply reply;
  if (!fbpmCall(display, kFbpmCapable, sizeof(FbpmRequest), 0, &reply)) return False;
  return reply.data[0] ? True : False;
}

Status xFbpmEnable(Display* display, int level) {
  return fbpmCall(display, kFbpmEnable, sizeof(FbpmWordRequest), static_cast<u16>(level), nullptr);
}

Status xFbpmDisable(Display* display) { return fbpmCall(display, kFbpmDisable, sizeof(FbpmRequest), 0, nullptr); }

Status xFbpmInfo(Display* display, u16* level, u8* enabled) {
  FbpmReply reply;
  if (!fbpmCall(display, kFbpmInfo, sizeof(FbpmRequest), 0, &reply)) return 0;
  *level = replyWord(reply, 8);
  *enabled = reply.data[2];
  return 1;
}

// --- Settings -----------------------------------------------------------------------

namespace {

bool dpmsListed(Display* display, int* opcode) {
  int event, error;
  return XQueryExtension(display, "DPMS", opcode, &event, &error) && DPMSCapable(display);
}

bool fbpmUsable(Display* display) {
  return XextHasExtension(fbpmFindDisplay(display)) && xFbpmCapable(display);
}

}  // namespace

const char* xGetPowerSettings(Display* display, PowerSettings* settings) {
  *settings = PowerSettings{};
  XGetScreenSaver(display, &settings->timeout, &settings->interval, &settings->preferBlanking,
                  &settings->allowExposures);
  int opcode = 0;
  if (dpmsListed(display, &opcode)) {
    settings->dpmsPresent = 1;
    settings->dpmsOpcode = static_cast<u8>(opcode);
    CARD16 level = 0;
    BOOL enabled = 0;
    if (DPMSInfo(display, &level, &enabled)) {
      settings->dpmsLevel = level;
      settings->dpmsEnabled = enabled ? 1 : 0;
    }
    CARD16 standby = 0, suspend = 0, off = 0;
    if (DPMSGetTimeouts(display, &standby, &suspend, &off)) {
      settings->dpmsStandby = standby;
      settings->dpmsSuspend = suspend;
      settings->dpmsOff = off;
    }
  }
  if (fbpmUsable(display)) {
    settings->fbpmPresent = 1;
    xFbpmInfo(display, &settings->fbpmLevel, &settings->fbpmEnabled);
  }
  return nullptr;
}

void xSetPowerSettings(Display* display, const PowerSettings* settings) {
  XSetScreenSaver(display, settings->timeout, settings->interval, settings->preferBlanking,
                  settings->allowExposures);
  int opcode = 0;
  if (settings->dpmsPresent && dpmsListed(display, &opcode)) {
    if (settings->dpmsEnabled) {
      DPMSEnable(display);
      DPMSForceLevel(display, settings->dpmsLevel);
      DPMSSetTimeouts(display, settings->dpmsStandby, settings->dpmsSuspend, settings->dpmsOff);
    } else {
      DPMSDisable(display);
    }
  }
  if (settings->fbpmPresent && fbpmUsable(display)) {
    if (settings->fbpmEnabled) xFbpmEnable(display, settings->fbpmLevel);
    else xFbpmDisable(display);
  }
}

void xCopyPowerSettings(Display* from, Display* to) {
  if (from == to) return;
  PowerSettings settings;
  xGetPowerSettings(from, &settings);
  xSetPowerSettings(to, &settings);
}

void xResetIdle(Display* display) {
  XWarpPointer(display, None, None, 0, 0, 0, 0, 0, 0);
  XResetScreenSaver(display);
  XFlush(display);
}

void xForceDisplayOn(Display* display, const PowerSettings* settings) {
  xResetIdle(display);
  int opcode = 0;
  bool dpms = settings ? settings->dpmsPresent != 0 : dpmsListed(display, &opcode);
  CARD16 level = 0;
  BOOL enabled = 0;
  if (dpms && DPMSInfo(display, &level, &enabled) && enabled && level != 0) DPMSForceLevel(display, 0);
  bool fbpm = settings ? settings->fbpmPresent != 0 : fbpmUsable(display);
  u16 fbpmLevel = 0;
  u8 fbpmEnabled = 0;
  if (fbpm && xFbpmInfo(display, &fbpmLevel, &fbpmEnabled) && fbpmEnabled && fbpmLevel != 0) {
    xFbpmEnable(display, 0);
  }
}

void xWakeDisplay(Display* display) {
  PowerSettings settings;
  xGetPowerSettings(display, &settings);
  xForceDisplayOn(display, &settings);
  XFlush(display);
}

void xActivateScreenSaver(Display* display) {
  XActivateScreenSaver(display);
  XFlush(display);
}

u32 xScreenOfRoot(Display* display, Window window) {
  for (int i = 0; i < ScreenCount(display); i++) {
    if (RootWindow(display, i) == window) return static_cast<u32>(i);
  }
  return ~0u;
}

}  // namespace palvon
