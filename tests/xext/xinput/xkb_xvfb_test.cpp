// A server joining the session hears UseExtension again for every client
// that used XKEYBOARD; without it the server refuses that client's XKB
// requests.
#include <gtest/gtest.h>
// After gtest: Xlib's None and Bool would clash with gtest's.
#include <X11/Xlib.h>

#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Xext/xinput/xkb.h"
#include "support/linkrig.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

class XkbJoin : public ::testing::TestWithParam<bool> {};

TEST_P(XkbJoin, GetStateAfterTheRepeatedUseExtension) {
  bool repeated = GetParam();
  Xvfb joining;
  ASSERT_TRUE(joining.ok()) << joining.error();
  Display* display = XOpenDisplay(joining.display().c_str());
  ASSERT_NE(display, nullptr);
  int major = 0, event = 0, error = 0;
  ASSERT_TRUE(XQueryExtension(display, "XKEYBOARD", &major, &event, &error));
  XCloseDisplay(display);
  LinkRig rig;
  // The proxy offers XKEYBOARD at the joining server's own codes.
  ExtensionEntry saved = proxyState.extensions.entries[major];
  ExtensionEntry& entry = proxyState.extensions.entries[major];
  entry = {};
  entry.name = "XKEYBOARD";
  entry.major = u8(major);
  entry.version = 64;
  entry.firstEvent = u8(event);
  entry.firstError = u8(error);
  void* savedWord = proxyState.extensions.moduleState[kModuleXkb];
  proxyState.extensions.moduleState[kModuleXkb] = &entry;
  ServerLink* link = rig.open(joining, false, 0);
  ASSERT_NE(link, nullptr);
  rig.client()->usesXkb = 1;
  if (repeated) {
    ASSERT_TRUE(repeatXkbUseExtension(rig.client(), 0));
  }
  rig.nextRequest();
  u8* state = beginRequest(&link->writer, u8(major), 4, 8);  // GetState
  ASSERT_NE(state, nullptr);
  put16(state + 4, 0x100);
  put16(state + 6, 0);
  finishRequest(&link->writer, state, 8, u8(major), 4);
  EXPECT_TRUE(rig.sync());
  std::vector<Message> seen = rig.take();
  proxyState.extensions.entries[major] = saved;
  proxyState.extensions.moduleState[kModuleXkb] = savedWord;
  // Without the repeat the server refuses GetState; with it the client
  // hears GetState's reply alone, not the repeated request's.
  bool replied = false;
  for (const Message& m : seen) replied = replied || (m.size() >= 32 && m[0] == 1);
  EXPECT_EQ(replied, repeated);
  if (repeated) {
    EXPECT_EQ(seen.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Repeated, XkbJoin, ::testing::Values(false, true));

}  // namespace
}  // namespace palvon::test
