// What the extension libraries keep of a connection that was given up
// while its first calls ran: nothing. A server that answers its set-up and
// then stalls is given up at every point of those calls; a connection to a
// real server opened next at the same address must set the libraries up
// afresh, and XInput, XKEYBOARD and the input-control library work on it.
//
// The address comes back only when freed memory is handed out again at
// once: ctest runs this file with the sanitizer's quarantine off.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <X11/extensions/XInput.h>
#undef min
#undef max

#include <cstring>
#include <string>
#include <vector>

#include "Proxy/servers/failsafe.h"
#include "base/fd.h"
#include "support/peers/tcprelay.h"
#include "support/xvfb.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/xtarget.h"

// What a library call given up part-way had allocated is lost, and so is
// the X library's first graphics context when a connection breaks inside
// its opening.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));
extern "C" const char* __lsan_default_suppressions() { return "leak:XCreateGC\n"; }

namespace palvon {
namespace {

Display* openTarget(const std::string& name, u64 timeoutMs = 5000) {
  TargetOptions options;
  xtargetInitOptions(&options);
  options.displayName = name.c_str();
  options.connectTimeoutMs = timeoutMs;
  Display* display = nullptr;
  return xtargetOpenDisplay(&options, "records test", &display) ? nullptr : display;
}

// The first calls the proxy makes on a new server: the input-control
// library's record (XInput's version and devices, XTEST), the keyboard's
// description, a graphics context per depth.
struct Uses {
  Display* display;
  int devices = -1;
  int keycodes = -1;
  const char* attached = "not run";
};

void useLibraries(void* argument) {
  auto* uses = static_cast<Uses*>(argument);
  Display* display = uses->display;
  uses->attached = xrcAttachDisplay(display, kXrcFakeInput | kXrcGrabProof);
  if (XDeviceInfo* list = XListInputDevices(display, &uses->devices)) XFreeDeviceList(list);
  if (XkbDescPtr keyboard = XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd)) {
    uses->keycodes = keyboard->max_key_code - keyboard->min_key_code + 1;
    XkbFreeKeyboard(keyboard, 0, True);
  }
  getDepthGC(display, 0, DefaultDepth(display, 0));
}

Uses use(Display* display) {
  Uses uses{display};
  useLibraries(&uses);
  return uses;
}

// Whether XInput set itself up on this connection (rather than finding a
// record it kept of another).
bool xinputSetUpOn(Display* display) {
  for (_XExtension* ext = display->ext_procs; ext; ext = ext->next)
    if (ext->name && strcmp(ext->name, "XInputExtension") == 0) return true;
  return false;
}

// A connection to `name` at `wanted`'s address: through the program's own
// opener, else on this thread (where a sanitizer hands the last block freed
// on it out first). The others made on the way stay open until the end.
Display* openAt(const std::string& name, const Display* wanted, std::vector<Display*>* others) {
  for (bool own : {true, false}) {
    Display* display = own ? openTarget(name) : XOpenDisplay(name.c_str());
    if (display == wanted || !display) return display;
    others->push_back(display);
  }
  return nullptr;
}

TEST(ExtensionRecords, AConnectionGivenUpLeavesNoneForTheNextAtItsAddress) {
  test::Xvfb behind, server;
  ASSERT_TRUE(behind.ok() && server.ok());
  test::TcpRelay relay(behind.socketPath());
  ASSERT_TRUE(relay.ok());
  xfsInstall();
  Display* fresh = XOpenDisplay(server.display().c_str());
  ASSERT_NE(fresh, nullptr);
  Uses expected = use(fresh);
  ASSERT_EQ(expected.attached, nullptr);
  ASSERT_GT(expected.devices, 0);
  ASSERT_GT(expected.keycodes, 0);
  int givenUp = 0;
  std::vector<Display*> others;
  // Each number of answers the peer still gives after its set-up stops it
  // at another point of the calls.
  for (int answers = 0; answers < 40; answers++) {
    ASSERT_TRUE(relay.setMode(test::TcpRelay::Mode::kStallAfterSetup, answers));
    Display* stalled = openTarget(relay.display(), 1000);
    if (!stalled) continue;  // stalled inside the opening itself
    xfsAttach(stalled);
    xfsSetOpeningDeadline(stalled, fdMonotonicMs() + 300);
    Uses givenUpUses{stalled};
    if (__lsan_disable) __lsan_disable();
    bool whole = xfsRun(stalled, useLibraries, &givenUpUses);
    xfsForget(stalled);
    xtargetCloseDisplay(stalled);
    if (__lsan_enable) __lsan_enable();
    if (whole) break;  // past the last point
    givenUp++;
    Display* next = openAt(server.display(), stalled, &others);
    ASSERT_EQ(next, stalled) << "the allocator gave the address of the connection given up to nobody";
    Uses uses = use(next);
    EXPECT_TRUE(xinputSetUpOn(next)) << "stalled after " << answers;
    EXPECT_EQ(uses.attached, nullptr) << "stalled after " << answers << ": " << uses.attached;
    EXPECT_EQ(uses.devices, expected.devices) << "stalled after " << answers;
    EXPECT_EQ(uses.keycodes, expected.keycodes) << "stalled after " << answers;
    xtargetCloseDisplay(next);
  }
  EXPECT_GT(givenUp, 5);
  for (Display* display : others) XCloseDisplay(display);
  XCloseDisplay(fresh);
}

}  // namespace
}  // namespace palvon
