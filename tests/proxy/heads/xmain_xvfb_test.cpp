// Opening heads: the checks of a configured name, the contest of proxies
// for a server by priority, going on without unreachable heads, and what
// closing a connection puts back on the server.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <string>

#include "Proxy/config/config.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/servers/display.h"
#include "Proxy/startup.h"
#include "support/headsrig.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::HeadsRig;

const std::vector<std::string> kSmall = {"-screen", "0", "320x240x24"};

// --- Names and configuration --------------------------------------------------------------

struct OpenRow {
  const char* name;
  const char* config;
  const char* error;  // how the error starts; "@" stands for the server's display number
};

const OpenRow kOpenRows[] = {
    {"SameScreenTwice", "screen a display @0.0\nscreen b display @0.0\n",
     "Screen 'a' already configured - Make sure each screen is specified just once"},
    {"MissingScreen", "screen @0.1\n", "No screen #1 on HOST:@"},
    {"WindowWithoutInWindow", "window @0.0\n",
     "Palvon option InWindow is used but not enabled - Make sure this option is enabled in your configuration"},
    {"UnreachableStaticHeadUnderFailsafe",
     "options Failsafe\nscreen @0.0\nscreen :64999.0 tags static connectTimeout 1\n",
     "Can't connect to display ':64999' for "},
    {"UnreachableHeadUnderFailsafeIsDropped", "options Failsafe\nscreen @0.0\nscreen :64999.0 connectTimeout 1\n",
     ""},
    {"UnreachableProbeOnlyHeadHasNoDisplay",
     "options DynamicServer\nscreen @0.0\nscreen :64999.0 tags probeOnly connectTimeout 1\n", ""},
};

class Opening : public testing::TestWithParam<OpenRow> {};

TEST_P(Opening, ChecksTheConfiguredHeads) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(GetParam().config), "");
  std::string expected = GetParam().error;
  std::string number = std::to_string(rig.server(0).number());
  for (size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, number);
  if (size_t at = expected.find("HOST"); at != std::string::npos) expected.replace(at, 4, canonicalHostName(""));
  std::string error = rig.start(1);
  if (!expected.empty()) {
    EXPECT_EQ(error.substr(0, expected.size()), expected);
    return;
  }
  EXPECT_EQ(error, "");
  MetaScreen* screen = rig.screen(0);
  if (strstr(GetParam().config, "probeOnly")) {
    ASSERT_EQ(screen->headCount, 2);
    EXPECT_EQ(rig.head(0, 1)->serverDisplay, nullptr);
  } else {
    EXPECT_EQ(screen->headCount, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, Opening, testing::ValuesIn(kOpenRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpeningSelf, TheProxysOwnDisplayIsRefusedBeforeConnecting) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\n"), "");
  setProxyDisplayNumber(u32(rig.server(0).number()));
  std::string error = rig.start(1);
  EXPECT_EQ(error.rfind("Can't connect to display ':" + std::to_string(rig.server(0).number()) +
                            ".0' (same port used by ",
                        0),
            0u)
      << error;
  EXPECT_EQ(serverDisplayList, nullptr);
}

// --- Proxies contesting a server -------------------------------------------------------------

// Another proxy's lock: the selection owned by a window that carries the
// owner's priority as text.
class Contest : public testing::TestWithParam<int> {};

TEST_P(Contest, TheHigherPriorityTakesTheServer) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  Display* other = XOpenDisplay(rig.display(0).c_str());
  ASSERT_NE(other, nullptr);
  Atom lock = XInternAtom(other, "_PALVON_ATOM", False);
  Window window = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
  XChangeProperty(other, window, lock, XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*>("5"),
                  2);
  XSetSelectionOwner(other, lock, window, CurrentTime);
  XSync(other, False);
  ASSERT_EQ(rig.configure("screen @0.0 priority " + std::to_string(GetParam()) + "\n"), "");
  std::string error = rig.start(1);
  if (GetParam() <= 5) {
    EXPECT_EQ(error, "Can't add X server '" + std::string(canonicalHostName("")) + ":" +
                         std::to_string(rig.server(0).number()) + "' (priority too low)");
  } else {
    EXPECT_EQ(error, "");
    XSync(other, False);
    EXPECT_EQ(XGetSelectionOwner(other, lock), 0u);
  }
  XCloseDisplay(other);
}

INSTANTIATE_TEST_SUITE_P(Priorities, Contest, testing::Values(3, 5, 9));

// What the contest reads is what a probed proxy writes: its defence
// priority on the lock selection's owner.
TEST(Lock, AProbedDynamicServerHoldsItsServerWithItsDefencePriority) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("options DynamicServer\nscreen @0.0 priority 5 7\n"), "");
  ASSERT_EQ(rig.start(), "");
  Display* other = XOpenDisplay(rig.display(0).c_str());
  ASSERT_NE(other, nullptr);
  Window owner = 0;
  char* text = nullptr;
  ASSERT_TRUE(getSelectionText(other, XInternAtom(other, "_PALVON_ATOM", False), &owner, &text));
  EXPECT_EQ(owner, rig.head(0, 0)->window);
  EXPECT_STREQ(text, "7");
  free(text);
  XCloseDisplay(other);
}

// --- Closing puts the server's settings back ---------------------------------------------------

TEST(Closing, PutsBackTheKeyboardMappingAndTheScreenSaver) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\n"), "");
  ASSERT_EQ(rig.start(), "");
  auto keysym38 = [&rig]() {
    std::string keys = test::runProgram({"xmodmap", "-pke"}, rig.display(0)).out;
    size_t at = keys.find("keycode  38 =");
    return at == std::string::npos ? std::string() : keys.substr(at, keys.find('\n', at) - at);
  };
  std::string before = keysym38();
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(test::runProgram({"xmodmap", "-e", "keycode 38 = z Z"}, rig.display(0)).status, 0);
  ASSERT_EQ(test::runProgram({"xset", "s", "123"}, rig.display(0)).status, 0);
  ASSERT_NE(keysym38(), before);
  rig.stop();
  EXPECT_EQ(keysym38(), before);
  std::string saver = test::runProgram({"xset", "q"}, rig.display(0)).out;
  EXPECT_EQ(saver.find("timeout:  123"), std::string::npos) << saver;
}

}  // namespace
}  // namespace palvon
