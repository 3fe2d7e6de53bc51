// The extension registry without servers: the configured extension list,
// code allocation, look-ups, module refusal and reset.

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/proxystate.h"
#include "Xext/modules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace palvon::test {
namespace {

// The configuration's lists hold mutable names; the registry only reads them.
char* name(const char* text) { return const_cast<char*>(text); }

void moduleRequest(u8*, u32) {}
constexpr RequestRow kModuleRows[] = {{0, "ModuleRequest", moduleRequest, nullptr, "bbs", "", anySize(), Route::kNone},
                                      {7, "ModuleRequest7", moduleRequest, nullptr, "bbs", "", anySize(), Route::kNone}};

// The module's rows on its major, as registerExtensionRows puts them.
void putModuleRows(u8 major) {
  for (const RequestRow& row : kModuleRows) proxyState.dispatch.requests[requestKey(major, row.opcode)] = &row;
}

bool unsupportedAt(u32 key) {
  return requestRowOf(key)->request == handleUnsupportedRequest && requestRowOf(key)->reply == handleUnsupportedReply;
}

// A module as tests need it: events and errors registered and filled.
template <u32 Events, u32 Errors>
const char* countingInit(ExtensionEntry* entry) {
  static const char* const kNames[] = {"ALPHA", "BETA", "GAMMA"};
  const char* failure = registerExtension(entry, kNames[entry->major % 3], Events, Errors);
  if (failure) return failure;
  entry->eventCount = Events;
  entry->errorCount = Errors;
  putModuleRows(entry->major);
  return nullptr;
}
const char* refusingInit(ExtensionEntry* entry) {
  registerExtension(entry, "REFUSER", 0, 0);
  putModuleRows(entry->major);
  return "Display :0 does not support extension REFUSER";
}

int closed = 0;
const char* closingInit(ExtensionEntry* entry) {
  entry->closeHook = [](ExtensionEntry*) { closed++; };
  return registerExtension(entry, "CLOSER", 0, 0);
}

// Points the configured extension list at entries of a test.
void configureExtensions(std::vector<NameFlag>& list) {
  proxyConfig.extensions = list.data();
  proxyConfig.extensionCount = static_cast<u32>(list.size());
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    resetAllExtensions();
    saved_ = proxyConfig;
    proxyConfig.extensions = nullptr;
    proxyConfig.extensionCount = 0;
    ASSERT_EQ(initCoreDispatchTables(), nullptr);
  }
  void TearDown() override {
    resetAllExtensions();
    setExtensionModules(nullptr, 0);
    proxyConfig.extensions = saved_.extensions;
    proxyConfig.extensionCount = saved_.extensionCount;
  }
  ProxyConfiguration saved_;
};

struct SwitchCase {
  const char* name;
  std::vector<NameFlag> list;
  std::vector<const char*> disabled;
  std::vector<const char*> enabled;
};

class ExtensionList : public Registry, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(ExtensionList, DecidesWhichNamesAreDisabled) {
  SwitchCase c = GetParam();
  configureExtensions(c.list);
  for (const char* name : c.disabled) EXPECT_TRUE(isExtensionDisabled(name)) << name;
  for (const char* name : c.enabled) EXPECT_FALSE(isExtensionDisabled(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtensionList,
    ::testing::Values(SwitchCase{"Empty", {}, {}, {"GLX", "XKEYBOARD"}},
                      SwitchCase{"OnlyPlus", {{1, name("GLX")}}, {"XKEYBOARD", "RENDER"}, {"GLX", "glx"}},
                      SwitchCase{"OnlyMinus", {{0, name("XKEYBOARD")}}, {"XKEYBOARD", "xkeyboard"}, {"GLX", "RANDR"}},
                      SwitchCase{"LastMatchWins", {{1, name("RANDR")}, {0, name("RANDR")}}, {"RANDR", "GLX"}, {}},
                      SwitchCase{"MinusThenPlus", {{0, name("RANDR")}, {1, name("RANDR")}}, {}, {"RANDR", "GLX"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Registry, AllocatesEventAndErrorCodesAfterEachOther) {
  static const ExtensionModule modules[] = {
      {"ALPHA", 64, countingInit<2, 2>}, {"BETA", 65, countingInit<3, 1>}, {"GAMMA", 66, countingInit<0, 0>}};
  setExtensionModules(modules, 3);
  ExtensionEntry* alpha = initExtensionRegistry("ALPHA", 0, 129, 0, 0);  // 129 % 3 == 0
  ExtensionEntry* beta = initExtensionRegistry("BETA", 0, 130, 0, 0);
  ASSERT_TRUE(alpha && beta);
  EXPECT_EQ(alpha->firstEvent, 36);
  EXPECT_EQ(beta->firstEvent, 39);  // the code after ALPHA's last event stays free
  EXPECT_EQ(alpha->firstError, 128);
  EXPECT_EQ(beta->firstError, 131);
  EXPECT_EQ(std::string(listRegisteredExtensions()), "ALPHA 1.0, BETA 1.1");

  // A preset base (a server's own code) is kept.
  ExtensionEntry* gamma = initExtensionRegistry("GAMMA", 70, 131, 90, 200);
  ASSERT_NE(gamma, nullptr);
  EXPECT_EQ(registerExtension(gamma, "GAMMA", 4, 2), nullptr);
  EXPECT_EQ(gamma->firstEvent, 90);
  EXPECT_EQ(gamma->firstError, 200);

  // No room for 250 events or 128 errors.
  ExtensionEntry& spare = proxyState.extensions.entries[140];
  EXPECT_STREQ(registerExtension(&spare, "BIG", 250, 0), "X extension event base exhausted");
  spare = ExtensionEntry{};
  EXPECT_STREQ(registerExtension(&spare, "BIG", 0, 128), "X extension error base exhausted");
  spare = ExtensionEntry{};
}

TEST_F(Registry, FindsNamesAndWritesTheirList) {
  static const ExtensionModule modules[] = {{"ALPHA", 64, countingInit<1, 0>}, {"BETA", 64, countingInit<0, 0>}};
  setExtensionModules(modules, 2);
  ASSERT_NE(initExtensionRegistry("ALPHA", 0, 129, 0, 0), nullptr);
  ASSERT_NE(initExtensionRegistry("BETA", 0, 130, 0, 0), nullptr);
  EXPECT_EQ(findExtensionByName("alpha"), &proxyState.extensions.entries[129]);
  EXPECT_EQ(findExtensionByCountedName(reinterpret_cast<const u8*>("ALPHA"), 5), &proxyState.extensions.entries[129]);
  EXPECT_EQ(findExtensionByCountedName(reinterpret_cast<const u8*>("alpha"), 5), nullptr);
  EXPECT_EQ(findExtensionByCountedName(reinterpret_cast<const u8*>("ALPH"), 4), nullptr);
  std::vector<u8> names(65536);
  u32 length = 0;
  EXPECT_EQ(collectExtensionNames(names.data(), &length), 2u);
  EXPECT_EQ(std::string(names.begin(), names.begin() + length), std::string("\x05" "ALPHA" "\x04" "BETA"));
}

TEST_F(Registry, RefusedUnknownAndDisabledExtensionsAreNotOffered) {
  static const ExtensionModule modules[] = {
      {"REFUSER", 64, refusingInit}, {"KNOWN", 64, nullptr}, {"ALPHA", 64, countingInit<0, 0>}};
  setExtensionModules(modules, 3);
  EXPECT_EQ(initExtensionRegistry("REFUSER", 0, 150, 0, 0), nullptr);
  EXPECT_EQ(proxyState.extensions.entries[150].name, nullptr);
  // The refusing module's handlers are gone from its major.
  for (u32 minor : {0u, 7u, 255u}) EXPECT_TRUE(unsupportedAt(150 + 256 * minor)) << minor;
  EXPECT_EQ(initExtensionRegistry("KNOWN", 0, 151, 0, 0), nullptr);
  EXPECT_EQ(initExtensionRegistry("NOBODY", 0, 152, 0, 0), nullptr);
  std::vector<NameFlag> off = {{0, name("alpha")}};
  configureExtensions(off);
  EXPECT_EQ(initExtensionRegistry("ALPHA", 0, 153, 0, 0), nullptr);
  EXPECT_EQ(findExtensionByName("ALPHA"), nullptr);
  EXPECT_EQ(initExtensionRegistry("ALPHA", 0, 100, 0, 0), nullptr);  // not an extension major
}

TEST_F(Registry, ServicesThatAreNotOfferedRefuse) {
  u32 count = 0;
  const ExtensionModule* builtin = builtinExtensionModules(&count);
  setExtensionModules(builtin, count);
  for (const char* name : {"GLX", "SGI-GLX", "MORVANDELL POSE", "MORVANDELL MULTIMEDIA"}) {
    u8 major = allocExtensionEntry();
    EXPECT_EQ(initExtensionRegistry(name, 0, major, 0, 0), nullptr) << name;
  }
  EXPECT_STREQ(listRegisteredExtensions(), "");
}

// A server that lists XInput under its other name offers it all the same,
// once: both names lead to the one module.
TEST_F(Registry, XInputDeviceEventsIsTheXInputModule) {
  u32 count = 0;
  const ExtensionModule* builtin = builtinExtensionModules(&count);
  setExtensionModules(builtin, count);
  u8 major = allocExtensionEntry();
  ExtensionEntry* entry = initExtensionRegistry("XInputDeviceEvents", 0, major, 0, 0);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(initExtensionRegistry("XInputExtension", 0, major, 0, 0), entry);
  EXPECT_EQ(findExtensionByName("XInputExtension"), entry);
}

TEST_F(Registry, MajorsRunOutAndResetFreesEverything) {
  static const ExtensionModule modules[] = {{"CLOSER", 64, closingInit}};
  setExtensionModules(modules, 1);
  closed = 0;
  for (u32 k = 128; k < 256; k++) {
    u8 major = allocExtensionEntry();
    ASSERT_EQ(major, k);
    ASSERT_NE(initExtensionRegistry("CLOSER", 0, major, 0, 0), nullptr);
  }
  EXPECT_EQ(allocExtensionEntry(), 0);
  proxyState.extensions.setUp = true;
  resetAllExtensions();
  EXPECT_EQ(closed, 128);
  EXPECT_FALSE(proxyState.extensions.setUp);
  EXPECT_EQ(allocExtensionEntry(), 128);
  EXPECT_TRUE(unsupportedAt(200 + 256 * 7));
}

// Mapping against real servers is tested with two of them; here a server
// that reports no event or error base of its own.
TEST_F(Registry, ServerWithoutEventsOrErrorsMapsNone) {
  static const ExtensionModule modules[] = {{"ALPHA", 64, countingInit<2, 3>}};
  setExtensionModules(modules, 1);
  ExtensionEntry* alpha = initExtensionRegistry("ALPHA", 0, 129, 70, 140);
  ASSERT_NE(alpha, nullptr);
  ExtensionCodeMap none{};
  mapHeadExtensionCodes(alpha, &none, 140, 0, 0);
  EXPECT_EQ(none.eventToServer[70], 0);
  EXPECT_EQ(none.eventFromServer[0], 0);
  EXPECT_EQ(none.errorFromServer[0], 0);
}

}  // namespace
}  // namespace palvon::test
