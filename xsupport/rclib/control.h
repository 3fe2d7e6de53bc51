// Client side of the private CONTROL extension that some real X servers
// offer: fake input that other clients' server grabs do not block. Its two
// requests have the sizes and field offsets of XTEST's GetVersion and
// FakeInput, under their own extension name and major opcode.
//
// Every call queues its request in the Display's output buffer and returns
// 1, or 0 without a request: the core calls report a display without the
// extension through XMissingExtension, the device calls also return 0 when
// the display has no XInput.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include "base/strings.h"

namespace palvon {

inline constexpr const char* kControlExtensionName = "MORVANDELL CONTROL";

// Waits for the reply; also gives the extension's first event and error.
Status ctrlQueryVersion(Display* display, int* eventBase, int* errorBase, int* major, int* minor);
Status ctrlFakeKeyEvent(Display* display, u32 keycode, Bool press, u32 delay);
Status ctrlFakeButtonEvent(Display* display, u32 button, Bool press, u32 delay);
// screen -1 sends no root window.
Status ctrlFakeMotionEvent(Display* display, int screen, int x, int y, u32 delay);
Status ctrlFakeRelativeMotionEvent(Display* display, int dx, int dy, u32 delay);
// Axis values follow the request as XInput valuator events, six per event.
Status ctrlFakeDeviceKeyEvent(Display* display, XDevice* device, u32 keycode, Bool press, const int* axes,
                              int axisCount, u32 delay);
Status ctrlFakeDeviceButtonEvent(Display* display, XDevice* device, u32 button, Bool press, const int* axes,
                                 int axisCount, u32 delay);
Status ctrlFakeProximityEvent(Display* display, XDevice* device, Bool in, const int* axes, int axisCount,
                              u32 delay);
Status ctrlFakeDeviceMotionEvent(Display* display, XDevice* device, Bool relative, int firstAxis, const int* axes,
                                 int axisCount, u32 delay);
// --- XTestExtension1 ---------------------------------------------------------------
// Fake input of the old XTestExtension1, one action per FakeInput request
// and no acknowledgement awaited. Device ids above 15 do not fit its action
// headers and are sent as 0.
inline constexpr const char* kXTest1ExtensionName = "XTestExtension1";
Status xtest1FakeKeyOrButton(Display* display, u32 device, u32 code, Bool press);
Status xtest1FakeJump(Display* display, u32 device, int x, int y);

// Drops every request still in the output buffer (the request counter goes
// back with them); 1 when there were any.
int ctrlDiscard(Display* display);

}  // namespace palvon
