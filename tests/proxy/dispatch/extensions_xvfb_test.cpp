// The registry against two real X servers with different extension sets:
// it offers exactly what both have (and what needs no server), under the
// first server's codes, and translates the second server's codes.

#include "Proxy/config/config.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/proxystate.h"

#include "support/xvfb.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <utility>

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>

namespace palvon::test {
namespace {

struct Row {
  const char* name;
  u32 events;
  u32 errors;
  bool needsNoServer;
};
const Row kRows[] = {
    {"RENDER", 0, 5, false},         {"RANDR", 2, 4, false},     {"SHAPE", 1, 0, false},
    {"MIT-SCREEN-SAVER", 1, 0, false}, {"XVideo", 2, 3, false},  {"SYNC", 2, 2, false},
    {"XFIXES", 2, 1, false},         {"DAMAGE", 1, 1, false},    {"XKEYBOARD", 1, 1, false},
    {"XInputExtension", 17, 5, false}, {"XC-MISC", 0, 0, false}, {"BIG-REQUESTS", 0, 0, false},
    {"DOUBLE-BUFFER", 0, 1, false},  {"MORVANDELL META", 2, 1, true}, {"MORVANDELL KEYMAP", 0, 0, true},
    {"MORVANDELL TRANSLUCENT", 0, 0, true},
};
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

// A module that registers its events and errors and fills their slots.
template <int N>
const char* rowInit(ExtensionEntry* entry) {
  entry->needsNoServer = kRows[N].needsNoServer;
  const char* failure = registerExtension(entry, kRows[N].name, kRows[N].events, kRows[N].errors);
  entry->eventCount = static_cast<u8>(kRows[N].events);
  entry->errorCount = static_cast<u8>(kRows[N].errors);
  return failure;
}

template <int... N>
constexpr std::array<ExtensionModule, sizeof...(N)> modulesOf(std::integer_sequence<int, N...>) {
  return {ExtensionModule{kRows[N].name, 64, rowInit<N>}...};
}
const auto kModules = modulesOf(std::make_integer_sequence<int, kRowCount>{});

struct Codes {
  int major = 0, event = 0, error = 0;
};
bool query(Display* d, const char* name, Codes& c) { return XQueryExtension(d, name, &c.major, &c.event, &c.error); }

TEST(RegistryWithServers, OffersWhatBothServersHaveUnderTheFirstServersCodes) {
  Xvfb first({"-screen", "0", "800x600x24", "-extension", "XVideo"});
  // Without MIT-SHM the second server numbers the later extensions apart.
  Xvfb second({"-screen", "0", "800x600x24", "-extension", "MIT-SHM", "-extension", "MIT-SCREEN-SAVER", "-extension",
               "DAMAGE"});
  ASSERT_TRUE(first.ok()) << first.error();
  ASSERT_TRUE(second.ok()) << second.error();
  Display* a = XOpenDisplay(first.display().c_str());
  Display* b = XOpenDisplay(second.display().c_str());
  ASSERT_TRUE(a && b);

  resetAllExtensions();
  setExtensionModules(kModules.data(), kRowCount);
  ProxyConfiguration saved = proxyConfig;
  NameFlag switches[] = {{0, const_cast<char*>("SYNC")}};
  proxyConfig.extensions = switches;
  proxyConfig.extensionCount = 1;
  proxyConfig.options = kOptionKeymap;  // and no option Translucent
  ExtensionCodeMap mapA{}, mapB{};
  // The names must outlive the set-up: display() gives a new string each time.
  std::string firstName = first.display(), secondName = second.display();
  ExtensionServer servers[] = {{a, firstName.c_str(), &mapA}, {b, secondName.c_str(), &mapB}};
  ASSERT_EQ(setupServerExtensions(servers, 2), nullptr);

  std::set<std::string> offered;
  for (u32 k = 128; k < 256; k++) {
    if (proxyState.extensions.entries[k].name) offered.insert(proxyState.extensions.entries[k].name);
  }
  // XVideo: the first server lacks it. MIT-SCREEN-SAVER, DAMAGE: the second
  // does, and the set-up goes on after each to DOUBLE-BUFFER, listed later
  // (which must keep the first server's codes). SYNC: disabled.
  std::set<std::string> expected = {"RENDER",       "RANDR",         "SHAPE",           "XFIXES",
                                    "XKEYBOARD",    "XInputExtension", "XC-MISC",       "BIG-REQUESTS",
                                    "DOUBLE-BUFFER", "MORVANDELL META", "MORVANDELL KEYMAP"};
  EXPECT_EQ(offered, expected);

  bool someCodeDiffers = false;
  for (const std::string& name : expected) {
    if (name.rfind("MORVANDELL", 0) == 0) continue;
    SCOPED_TRACE(name);
    Codes ca, cb;
    ASSERT_TRUE(query(a, name.c_str(), ca) && query(b, name.c_str(), cb));
    const ExtensionEntry* e = findExtensionByName(name.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->major, ca.major);
    EXPECT_EQ(e->firstEvent, ca.event);
    EXPECT_EQ(e->firstError, ca.error);
    EXPECT_EQ(mapA.majorToServer[e->major], ca.major);
    EXPECT_EQ(mapB.majorToServer[e->major], cb.major);
    for (u32 k = 0; k < e->eventCount; k++) {
      EXPECT_EQ(mapB.eventToServer[e->firstEvent + k], cb.event + k);
      EXPECT_EQ(mapB.eventFromServer[cb.event + k], e->firstEvent + k);
      EXPECT_EQ(mapA.eventFromServer[ca.event + k], e->firstEvent + k);
    }
    for (u32 k = 0; k < e->errorCount; k++) EXPECT_EQ(mapB.errorFromServer[cb.error + k], e->firstError + k);
    someCodeDiffers |= ca.major != cb.major || ca.event != cb.event || ca.error != cb.error;
  }
  EXPECT_TRUE(someCodeDiffers) << "the servers number their extensions alike; the translation is not exercised";

  // The proxy's own extension got fresh codes of its own numbering.
  const ExtensionEntry* meta = findExtensionByName("MORVANDELL META");
  ASSERT_NE(meta, nullptr);
  EXPECT_GE(meta->firstEvent, 36);
  EXPECT_GE(meta->firstError, 128);
  EXPECT_EQ(mapB.majorToServer[meta->major], 0);

  // Set-up runs once until the registry is reset.
  EXPECT_EQ(setupServerExtensions(servers, 2), nullptr);
  EXPECT_EQ(findExtensionByName("MORVANDELL META"), meta);

  resetAllExtensions();
  setExtensionModules(nullptr, 0);
  proxyConfig.extensions = saved.extensions;
  proxyConfig.extensionCount = saved.extensionCount;
  proxyConfig.options = saved.options;
  XCloseDisplay(a);
  XCloseDisplay(b);
}

TEST(RegistryWithServers, OfflineFirstServerFailsTheSetUp) {
  resetAllExtensions();
  ExtensionCodeMap map{};
  ExtensionServer servers[] = {{nullptr, ":99", &map}};
  const char* failure = setupServerExtensions(servers, 1);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("Connection to :99 is offline", 0), 0u) << failure;
  EXPECT_FALSE(proxyState.extensions.setUp);
}

}  // namespace
}  // namespace palvon::test
