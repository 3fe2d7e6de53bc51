// A connection given up at each point of its first calls (a server that
// answers its set-up and then stalls) leaves no extension library a record
// of it: a real server's connection opened next at the same address sets
// XInput up afresh, and XInput, XKEYBOARD and the input-control library
// answer on it as on a fresh one. The address comes back only when freed
// memory is handed out again at once: in the sanitizer build, whose
// quarantine ctest turns off for this file, and in a build without one,
// where the test hands the given-up connection's block to the next one
// itself (the C library's own allocator may place it elsewhere).
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlibint.h>
#include <X11/extensions/XInput.h>
#undef min
#undef max

#include <atomic>
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

// What a call given up part-way had allocated is lost, as is the X
// library's first graphics context when a connection breaks in its opening.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));
extern "C" const char* __lsan_default_suppressions() { return "leak:XCreateGC\n"; }

#if PALVON_PLAIN_ALLOCATOR
// The block of the connection named here is kept when it is freed and
// given to the next connection opened (the X library allocates a
// connection's record with calloc, and nothing else of that size).
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void __libc_free(void* block);
namespace {
std::atomic<void*> recycled{nullptr}, kept{nullptr};
}  // namespace
extern "C" void free(void* block) {
  void* expected = block;
  if (block && recycled.compare_exchange_strong(expected, nullptr)) {
    kept = block;
    return;
  }
  __libc_free(block);
}
extern "C" void* calloc(size_t count, size_t size) {
  if (count * size == sizeof(Display)) {
    if (void* block = kept.exchange(nullptr)) return memset(block, 0, sizeof(Display));
  }
  return __libc_calloc(count, size);
}
#endif

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

// The proxy's first calls on a server: the input-control record (XInput's
// version and devices, XTEST), the keyboard, a context per depth; what
// they answered, and whether XInput set itself up on the connection.
struct Uses {
  Display* display;
  const char* attached = "not run";
  u32 xinput = 0;  // as the input-control record took it
  int devices = -1, keycodes = -1;
  bool xinputHere = false;
  bool operator==(const Uses& o) const {
    return !attached && !o.attached && xinput == o.xinput && devices == o.devices && keycodes == o.keycodes &&
           xinputHere == o.xinputHere;
  }
};

void useLibraries(void* argument) {
  auto* uses = static_cast<Uses*>(argument);
  Display* display = uses->display;
  uses->attached = xrcAttachDisplay(display, kXrcFakeInput | kXrcGrabProof);
  uses->xinput = xrcXInputVersion(display);
  if (XDeviceInfo* list = XListInputDevices(display, &uses->devices)) XFreeDeviceList(list);
  if (XkbDescPtr keyboard = XkbGetMap(display, XkbAllClientInfoMask, XkbUseCoreKbd)) {
    uses->keycodes = keyboard->max_key_code - keyboard->min_key_code + 1;
    XkbFreeKeyboard(keyboard, 0, True);
  }
  getDepthGC(display, 0, DefaultDepth(display, 0));
  for (_XExtension* ext = display->ext_procs; ext; ext = ext->next)
    uses->xinputHere |= ext->name && strcmp(ext->name, "XInputExtension") == 0;
}

Uses use(Display* display) {
  Uses uses{display};
  useLibraries(&uses);
  return uses;
}

TEST(ExtensionRecords, AConnectionGivenUpLeavesNoneForTheNextAtItsAddress) {
  test::Xvfb behind, server;
  ASSERT_TRUE(behind.ok() && server.ok());
  test::TcpRelay relay(behind.socketPath());
  ASSERT_TRUE(relay.ok());
  xfsInstall();
  Display* fresh = XOpenDisplay(server.display().c_str());
  ASSERT_NE(fresh, nullptr);
  const Uses expected = use(fresh);
  ASSERT_TRUE(!expected.attached && expected.xinputHere && expected.devices > 0 && expected.keycodes > 0);
  int givenUp = 0;
  std::vector<Display*> others;
  for (int answers = 0; answers < 40; answers++) {
    ASSERT_TRUE(relay.setMode(test::TcpRelay::Mode::kStallAfterSetup, answers));
    Display* stalled = openTarget(relay.display(), 1000);
    if (!stalled) continue;  // stalled in the opening itself
    xfsAttach(stalled);
    xfsSetOpeningDeadline(stalled, fdMonotonicMs() + 300, 300);
    Uses partly{stalled};
    if (__lsan_disable) __lsan_disable();
    bool whole = xfsRun(stalled, useLibraries, &partly);
#if PALVON_PLAIN_ALLOCATOR
    if (!whole) recycled = stalled;
#endif
    xfsForget(stalled);
    xtargetCloseDisplay(stalled);
    if (__lsan_enable) __lsan_enable();
    if (whole) break;  // past the last point
    givenUp++;
    // Through the program's opener, else on this thread, where a sanitizer
    // hands the block freed last on it out first.
    Display* next = openTarget(server.display());
    if (next && next != stalled) others.push_back(next), next = XOpenDisplay(server.display().c_str());
    ASSERT_EQ(next, stalled) << "the allocator gave the address to nobody";
    EXPECT_TRUE(use(next) == expected) << "stalled after " << answers << " answers";
    xtargetCloseDisplay(next);
  }
  EXPECT_GT(givenUp, 5);
  for (Display* display : others) XCloseDisplay(display);
  XCloseDisplay(fresh);
}

}  // namespace
}  // namespace palvon
