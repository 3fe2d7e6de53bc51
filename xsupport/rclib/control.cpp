#include "xsupport/rclib/control.h"

#include <cstdint>
#include <cstring>

#include <X11/Xlibint.h>
#include <X11/extensions/Xext.h>
extern "C" {
#include <X11/extensions/extutil.h>  // declares its C functions without C linkage
}

namespace palvon {

namespace {

enum ControlMinor : u8 { kGetVersion = 0, kFakeInput = 1 };

// Core event types and XInput event offsets from the XInput first event.
enum : u8 { kKeyPress = 2, kKeyRelease = 3, kButtonPress = 4, kButtonRelease = 5, kMotionNotify = 6 };
enum : u8 {
  kDeviceValuator = 0,
  kDeviceKeyPress = 1,
  kDeviceKeyRelease = 2,
  kDeviceButtonPress = 3,
  kDeviceButtonRelease = 4,
  kDeviceMotionNotify = 5,
  kProximityIn = 8,
  kProximityOut = 9,
};
constexpr u8 kMoreEvents = 0x80;  // valuator events follow the request
constexpr int kAxesPerEvent = 6;

struct GetVersionRequest {
  u8 majorOpcode;
  u8 minorOpcode;
  u16 length;
  u8 clientMajor;
  u8 pad;
  u16 clientMinor;
};

struct GetVersionReply {
  u8 type;
  u8 serverMajor;
  u16 sequence;
  u32 length;
  u16 serverMinor;
  u8 pad[22];
};

struct FakeInputRequest {
  u8 majorOpcode;
  u8 minorOpcode;
  u16 length;
  u8 type;
  u8 detail;
  u16 pad0;
  u32 delay;
  u32 root;
  u32 pad1[2];
  i16 x;
  i16 y;
  u8 pad2[7];
  u8 deviceId;
};

struct ValuatorEvent {
  u8 type;
  u8 deviceId;
  u16 sequence;
  u16 deviceState;
  u8 count;
  u8 firstValuator;
  i32 values[kAxesPerEvent];
};
static_assert(sizeof(GetVersionRequest) == 8 && sizeof(GetVersionReply) == 32);
static_assert(sizeof(FakeInputRequest) == 36 && sizeof(ValuatorEvent) == 32);

XExtensionInfo* controlInfo = nullptr;

int controlCloseDisplay(Display* display, XExtCodes*) { return XextRemoveDisplay(controlInfo, display); }

XExtensionHooks controlHooks = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, controlCloseDisplay, nullptr, nullptr, nullptr, nullptr,
};

// The display's extension record; its private data is XInput's first event
// code (0 without XInput).
XExtDisplayInfo* controlFindDisplay(Display* display) {
  if (!controlInfo && !(controlInfo = XextCreateExtension())) return nullptr;
  XExtDisplayInfo* info = XextFindDisplay(controlInfo, display);
  if (info) return info;
  int opcode = 0, firstEvent = 0, firstError = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError)) firstEvent = 0;
  return XextAddDisplay(controlInfo, display, kControlExtensionName, &controlHooks, 0,
                        reinterpret_cast<XPointer>(static_cast<intptr_t>(firstEvent)));
}

// The major opcode, or 0 after reporting the extension missing.
int controlOpcode(Display* display, XExtDisplayInfo** infoOut = nullptr) {
  XExtDisplayInfo* info = controlFindDisplay(display);
  if (!XextHasExtension(info)) {
    XMissingExtension(display, kControlExtensionName);
    return 0;
  }
  if (infoOut) *infoOut = info;
  return info->codes->major_opcode;
}

u8 xinputFirstEvent(XExtDisplayInfo* info) { return static_cast<u8>(reinterpret_cast<intptr_t>(info->data)); }

struct FakeInput {
  u8 type;
  u8 detail;
  u32 root;
  i16 x;
  i16 y;
  u8 deviceId;
  u8 firstValuatorType;  // XInput first event, for valuator events
  const int* axes;
  int axisCount;
  int firstAxis;
};

// Queues one FakeInput request and its valuator events.
Status sendFakeInput(Display* display, int opcode, const FakeInput& input, u32 delay) {
  int axisCount = input.axes ? input.axisCount : 0;
  if (axisCount < 0) axisCount = 0;
  int events = (axisCount + kAxesPerEvent - 1) / kAxesPerEvent;
  LockDisplay(display);
  auto* request = static_cast<FakeInputRequest*>(
      _XGetRequest(display, static_cast<CARD8>(opcode), sizeof(FakeInputRequest)));
  std::memset(reinterpret_cast<u8*>(request) + 4, 0, sizeof(FakeInputRequest) - 4);
  request->minorOpcode = kFakeInput;
  request->type = input.type;
  request->detail = input.detail;
  request->delay = delay;
  request->root = input.root;
  request->x = input.x;
  request->y = input.y;
  request->deviceId = static_cast<u8>(input.deviceId | (events ? kMoreEvents : 0));
  request->length = static_cast<u16>(request->length + events * (sizeof(ValuatorEvent) / 4));
  ValuatorEvent event = {};
  event.type = input.firstValuatorType;
  event.deviceId = input.deviceId;
  for (int done = 0; done < axisCount; done += kAxesPerEvent) {
    int n = axisCount - done < kAxesPerEvent ? axisCount - done : kAxesPerEvent;
    event.count = static_cast<u8>(n);
    event.firstValuator = static_cast<u8>(input.firstAxis + done);
    std::memset(event.values, 0, sizeof event.values);
    for (int i = 0; i < n; i++) event.values[i] = input.axes[done + i];
    Data(display, reinterpret_cast<const char*>(&event), sizeof event);
  }
  UnlockDisplay(display);
  if (display->synchandler) display->synchandler(display);
  return 1;
}

Status sendCore(Display* display, u8 type, u8 detail, u32 root, int x, int y, u32 delay) {
  int opcode = controlOpcode(display);
  if (!opcode) return 0;
  FakeInput input = {};
  input.type = type;
  input.detail = detail;
  input.root = root;
  input.x = static_cast<i16>(x);
  input.y = static_cast<i16>(y);
  return sendFakeInput(display, opcode, input, delay);
}

// A device event: XInput first event plus offset.
Status sendDevice(Display* display, XDevice* device, u8 offset, u8 detail, int firstAxis, const int* axes,
                  int axisCount, u32 delay) {
  XExtDisplayInfo* info = nullptr;
  int opcode = controlOpcode(display, &info);
  if (!opcode || !device) return 0;
  u8 first = xinputFirstEvent(info);
  if (!first) return 0;
  FakeInput input = {};
  input.type = static_cast<u8>(first + offset);
  input.detail = detail;
  input.deviceId = static_cast<u8>(device->device_id);
  input.firstValuatorType = static_cast<u8>(first + kDeviceValuator);
  input.axes = axes;
  input.axisCount = axisCount;
  input.firstAxis = firstAxis;
  return sendFakeInput(display, opcode, input, delay);
}

}  // namespace

Status ctrlQueryVersion(Display* display, int* eventBase, int* errorBase, int* major, int* minor) {
  XExtDisplayInfo* info = nullptr;
  int opcode = controlOpcode(display, &info);
  if (!opcode) return 0;
  LockDisplay(display);
  auto* request = static_cast<GetVersionRequest*>(
      _XGetRequest(display, static_cast<CARD8>(opcode), sizeof(GetVersionRequest)));
  request->minorOpcode = kGetVersion;
  request->clientMajor = 1;
  request->pad = 0;
  request->clientMinor = 0;
  GetVersionReply reply;
  Status status = _XReply(display, reinterpret_cast<xReply*>(&reply), 0, xTrue);
  UnlockDisplay(display);
  if (display->synchandler) display->synchandler(display);
  if (!status) return 0;
  *eventBase = info->codes->first_event;
  *errorBase = info->codes->first_error;
  *major = reply.serverMajor;
  *minor = reply.serverMinor;
  return 1;
}

Status ctrlFakeKeyEvent(Display* display, u32 keycode, Bool press, u32 delay) {
  return sendCore(display, press ? kKeyPress : kKeyRelease, static_cast<u8>(keycode), None, 0, 0, delay);
}

Status ctrlFakeButtonEvent(Display* display, u32 button, Bool press, u32 delay) {
  return sendCore(display, press ? kButtonPress : kButtonRelease, static_cast<u8>(button), None, 0, 0, delay);
}

Status ctrlFakeMotionEvent(Display* display, int screen, int x, int y, u32 delay) {
  u32 root = screen < 0 || screen >= ScreenCount(display) ? None : static_cast<u32>(RootWindow(display, screen));
  return sendCore(display, kMotionNotify, 0, root, x, y, delay);
}

Status ctrlFakeRelativeMotionEvent(Display* display, int dx, int dy, u32 delay) {
  return sendCore(display, kMotionNotify, 1, None, dx, dy, delay);
}

Status ctrlFakeDeviceKeyEvent(Display* display, XDevice* device, u32 keycode, Bool press, const int* axes,
                              int axisCount, u32 delay) {
  return sendDevice(display, device, press ? kDeviceKeyPress : kDeviceKeyRelease, static_cast<u8>(keycode), 0,
                    axes, axisCount, delay);
}

Status ctrlFakeDeviceButtonEvent(Display* display, XDevice* device, u32 button, Bool press, const int* axes,
                                 int axisCount, u32 delay) {
  return sendDevice(display, device, press ? kDeviceButtonPress : kDeviceButtonRelease, static_cast<u8>(button),
                    0, axes, axisCount, delay);
}

Status ctrlFakeProximityEvent(Display* display, XDevice* device, Bool in, const int* axes, int axisCount,
                              u32 delay) {
  return sendDevice(display, device, in ? kProximityIn : kProximityOut, 0, 0, axes, axisCount, delay);
}

Status ctrlFakeDeviceMotionEvent(Display* display, XDevice* device, Bool relative, int firstAxis, const int* axes,
                                 int axisCount, u32 delay) {
  return sendDevice(display, device, kDeviceMotionNotify, relative ? 1 : 0, firstAxis, axes, axisCount, delay);
}

// --- XTestExtension1 -------------------------------------------------------------------

// The client library of this extension keeps one opcode and one action
// buffer for all displays, looks the extension up while it holds the display
// lock (a deadlock with a thread-safe Xlib) and waits for the server's
// acknowledgement at every flush. These writers share none of that.
namespace {

enum : u8 { kXTest1FakeInput = 1, kKeyAction = 1, kJumpAction = 3, kKeyUp = 0x04 };
constexpr size_t kActionListSize = 64;

struct XTest1FakeInputRequest {
  u8 majorOpcode;
  u8 minorOpcode;
  u16 length;
  u32 ack;
  u8 actions[kActionListSize];  // a zero header ends the list
};
static_assert(sizeof(XTest1FakeInputRequest) == 72);

u8 actionHeader(u32 device, u8 action) { return static_cast<u8>((device <= 15 ? device : 0) << 4 | action); }

Status sendActions(Display* display, const u8* actions, size_t size) {
  XExtCodes* codes = XInitExtension(display, kXTest1ExtensionName);
  if (!codes) {
    XMissingExtension(display, kXTest1ExtensionName);
    return 0;
  }
  LockDisplay(display);
  auto* request = static_cast<XTest1FakeInputRequest*>(
      _XGetRequest(display, static_cast<CARD8>(codes->major_opcode), sizeof(XTest1FakeInputRequest)));
  request->minorOpcode = kXTest1FakeInput;
  request->ack = 0;
  std::memset(request->actions, 0, kActionListSize);
  std::memcpy(request->actions, actions, size);
  UnlockDisplay(display);
  if (display->synchandler) display->synchandler(display);
  return 1;
}

}  // namespace

Status xtest1FakeKeyOrButton(Display* display, u32 device, u32 code, Bool press) {
  const u8 action[4] = {static_cast<u8>(actionHeader(device, kKeyAction) | (press ? 0 : kKeyUp)),
                        static_cast<u8>(code), 0, 0};
  return sendActions(display, action, sizeof action);
}

Status xtest1FakeJump(Display* display, u32 device, int x, int y) {
  u8 action[8] = {actionHeader(device, kJumpAction), 0};
  u16 jumpX = static_cast<u16>(x), jumpY = static_cast<u16>(y);
  std::memcpy(action + 2, &jumpX, 2);
  std::memcpy(action + 4, &jumpY, 2);
  return sendActions(display, action, sizeof action);
}

// --- Discarding queued requests -----------------------------------------------------

namespace {

// The number of requests in bytes [begin, end) of an output buffer. A zero
// length field marks a BIG-REQUESTS request whose length follows in the next
// word; a length that cannot be right ends the walk, so it always ends.
u32 countRequests(const u8* begin, const u8* end) {
  u32 count = 0;
  for (const u8* at = begin; at < end; count++) {
    size_t left = static_cast<size_t>(end - at);
    if (left < 4) return count + 1;
    u16 length16;
    std::memcpy(&length16, at + 2, 2);
    u64 bytes = u64{length16} * 4;
    if (length16 == 0) {
      u32 length32 = 0;
      if (left >= 8) std::memcpy(&length32, at + 4, 4);
      bytes = u64{length32} * 4;
      if (length32 < 2) return count + 1;
    }
    if (bytes > left) return count + 1;
    at += bytes;
  }
  return count;
}

const xReq discardedRequest = {};

}  // namespace

int ctrlDiscard(Display* display) {
  LockDisplay(display);
  int any = display->bufptr != display->buffer;
  if (any) {
    u32 count = countRequests(reinterpret_cast<const u8*>(display->buffer),
                              reinterpret_cast<const u8*>(display->bufptr));
    X_DPY_SET_REQUEST(display, X_DPY_GET_REQUEST(display) - count);
    display->bufptr = display->buffer;
    display->last_req = const_cast<char*>(reinterpret_cast<const char*>(&discardedRequest));
  }
  UnlockDisplay(display);
  if (display->synchandler) display->synchandler(display);
  return any;
}

}  // namespace palvon
