// The life cycle's own rules: the at-exit order, the signals' flags, the
// limits the start-up clamps, the local server's command words, the
// generated authorization file and the order of the credential look-up.
#include <gtest/gtest.h>
#include <X11/Xauth.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/localserver.h"
#include "Proxy/links/serverauth.h"
#include "Proxy/proxystate.h"
#include "Proxy/startup.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/orders.h"
#include "support/configtext.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

using test::TempDir;

std::vector<int>* calls;

void first(int) { calls->push_back(1); }
// A callback may take itself off the stack while it runs.
void second(int) {
  calls->push_back(2);
  unregisterAtExit(second);
}
void third(int) { calls->push_back(3); }
void idle(int) {}

TEST(AtExit, CallbacksRunInTheOrderOfRegistration) {
  std::vector<int> order;
  calls = &order;
  ASSERT_TRUE(registerAtExit(first));
  ASSERT_TRUE(registerAtExit(second));
  ASSERT_TRUE(registerAtExit(third));
  unregisterAtExit(third);
  ASSERT_TRUE(registerAtExit(third));
  runAtExitCallbacks();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  runAtExitCallbacks();
  EXPECT_EQ(order.size(), 3u) << "each runs once";
  for (u32 i = 0; i < kAtExitSlots; i++) EXPECT_TRUE(registerAtExit(idle));
  EXPECT_FALSE(registerAtExit(idle)) << "ten slots";
  runAtExitCallbacks();
}

void noteArgument(void* argument) { calls->push_back(*static_cast<int*>(argument)); }

// Callbacks with an argument share the stack and its order; removal takes
// the callback and its argument together, and each runs once.
TEST(AtExit, CallbacksWithAnArgumentShareTheStack) {
  std::vector<int> order;
  calls = &order;
  int four = 4, five = 5;
  ASSERT_TRUE(registerAtExit(first));
  ASSERT_TRUE(addExitCallback(noteArgument, &four));
  ASSERT_TRUE(addExitCallback(noteArgument, &five));
  removeExitCallback(noteArgument, &five);
  ASSERT_TRUE(registerAtExit(third));
  ASSERT_TRUE(addExitCallback(noteArgument, &five));
  runAtExitCallbacks();
  EXPECT_EQ(order, (std::vector<int>{1, 4, 3, 5}));
  runAtExitCallbacks();
  EXPECT_EQ(order.size(), 4u);
}

// A server lost while the exit puts its state back calls the exit again
// from inside: that error is logged, and the exit ends with its own reason
// and status, each step once.
[[noreturn]] void exitWithAnErrorOnTheWayOut() {
  char name[] = "palvon";
  char* argv[] = {name, nullptr};
  logInit(1, argv, "test", "");
  registerAtExit([](int) { exitProxy("Broken connection to display :9", 1); });
  registerAtExit([](int) { fprintf(stderr, "second callback\n"); });
  exitProxy("Received exit signal 2", 0);
}

TEST(Exit, AnErrorOnTheWayOutKeepsTheFirstReason) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(exitWithAnErrorOnTheWayOut(), ::testing::ExitedWithCode(0),
              "Exiting: Received exit signal 2.*Broken connection to display :9 \\(while exiting\\).*"
              "second callback.*EXITED: Received exit signal 2");
}

TEST(Signals, HandlersOnlyNoteAndTheLoopActs) {
  ordersInit();
  proxyLife = ProxyLife{};
  onExitSignal(SIGTERM);
  EXPECT_EQ(proxyLife.exitReason, nullptr) << "nothing happens inside the handler";
  handlePendingSignals();
  ASSERT_NE(proxyLife.exitReason, nullptr);
  EXPECT_STREQ(proxyLife.exitReason, "Received exit signal 15");
  EXPECT_EQ(ordersRun(0), reinterpret_cast<uintptr_t>(proxyLife.exitReason)) << "the loop stops with the reason";
  onResetSignal(SIGHUP);
  handlePendingSignals();
  EXPECT_EQ(proxyLife.resetBySignal, 1);
  EXPECT_EQ(ordersRun(0), reinterpret_cast<uintptr_t>(kResetStop));
  onExitSignal(SIGINT);
  handlePendingSignals();
  EXPECT_STREQ(proxyLife.exitReason, "Received exit signal 15") << "the first reason stays";
  ordersRun(0);
  ordersFreeAll();
}

// --- Limits -----------------------------------------------------------------------------

struct LimitCase {
  u32 given;
  u32 maximumRequestSize, buttons, keycodes;
  u32 expectedRequestBytes, expectedButtons, expectedKeycodes;
};

class Limits : public ::testing::TestWithParam<LimitCase> {};

// The start-up's own guard, whatever the configuration let through.
TEST_P(Limits, ConfiguredValuesAreClamped) {
  ASSERT_EQ(test::parseConfigWords({}), "");
  const LimitCase& c = GetParam();
  proxyConfig.given = c.given;
  proxyConfig.maximumRequestSize = c.maximumRequestSize;
  proxyConfig.numberOfButtons = c.buttons;
  proxyConfig.numberOfKeyCodes = c.keycodes;
  setProxyStateDefaults();
  EXPECT_EQ(proxyState.maxRequestBytes, c.expectedRequestBytes);
  EXPECT_EQ(proxyState.pointerButtons, c.expectedButtons);
  EXPECT_EQ(proxyState.keycodeCount, c.expectedKeycodes);
  EXPECT_EQ(proxyState.maxBigRequestBytes, 0xffffffffu);
  EXPECT_EQ(proxyState.resourceIdMask, 0xfffffu);
  EXPECT_EQ(proxyState.resourceIdShift, 20u);
}

constexpr u32 kAll = kGivenMaximumRequestSize | kGivenNumberOfButtons | kGivenNumberOfKeyCodes;

INSTANTIATE_TEST_SUITE_P(Start, Limits,
                         ::testing::Values(LimitCase{0, 2, 0, 300, 0x3fffc, 32, 248},
                                           LimitCase{kAll, 2, 0, 300, 0x3fffc, 1, 248},
                                           LimitCase{kAll, 4, 33, 0, 4, 32, 1},
                                           LimitCase{kAll, 0x3fffc, 32, 248, 0x3fffc, 32, 248},
                                           LimitCase{kAll, 0x3fffd, 5, 100, 0x3fffc, 5, 100}));

// --- The local server's words -------------------------------------------------------------

struct WordsCase {
  std::string command;
  std::string kept;
  u32 display;
  u32 xdmcpMode;
  std::string xdmcpHost;
};

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
    size_t end = text.find(' ', at);
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

class LocalServerCommand : public ::testing::TestWithParam<WordsCase> {};

TEST_P(LocalServerCommand, XdmcpOptionsAreTakenOverAndTheFirstDisplayStays) {
  ASSERT_EQ(test::parseConfigWords({}), "");
  std::vector<std::string> words = split(GetParam().command);
  std::vector<char*> raw;
  for (std::string& w : words) raw.push_back(w.data());
  LocalServerWords kept;
  ASSERT_EQ(filterLocalServerWords(u32(raw.size()), raw.data(), &kept), nullptr);
  std::string joined;
  for (u32 i = 0; i < kept.count; i++) joined += (i ? " " : "") + std::string(kept.words[i]);
  EXPECT_EQ(joined, GetParam().kept);
  EXPECT_EQ(kept.displayNumber, GetParam().display);
  EXPECT_EQ(proxyConfig.xdmcpMode, GetParam().xdmcpMode);
  if (!GetParam().xdmcpHost.empty()) {
    EXPECT_STREQ(proxyConfig.xdmcpHost, GetParam().xdmcpHost.c_str());
  }
  freeLocalServerWords(&kept);
}

INSTANTIATE_TEST_SUITE_P(
    Words, LocalServerCommand,
    ::testing::Values(WordsCase{"Xvfb :5 -screen 0 64x64x8", "Xvfb :5 -screen 0 64x64x8", 5, 0, ""},
                      WordsCase{"Xvfb :5 -query dm -once :6 -port 178", "Xvfb :5", 5, 3, "dm"},
                      WordsCase{"X -INDIRECT chooser -cookie c -class k -displayID d", "X", 0, 2, "chooser"},
                      WordsCase{"X -broadcast -auth /a/file :2", "X -auth /a/file :2", 2, 1, ""},
                      WordsCase{"-query dm -broadcast", "", 0, 1, "dm"}));

TEST(LocalServerCommand, APortOutsideSixteenBitsIsRefused) {
  const char* words[] = {"Xvfb", ":5", "-port", "70000"};
  LocalServerWords kept;
  EXPECT_STREQ(filterLocalServerWords(4, const_cast<char**>(words), &kept),
               "Invalid value '70000' for statement serverCommand -port - A port lies between 1 and 65535");
}

TEST(LocalServerCommand, AnAuthorityFileNamesTheProxysClientsFileWhenNoneIsSet) {
  forgetServerCredentials();
  const char* words[] = {"X", "-auth", "/some/cookies", ":4"};
  LocalServerWords kept;
  ASSERT_EQ(filterLocalServerWords(4, const_cast<char**>(words), &kept), nullptr);
  EXPECT_TRUE(kept.hasAuth);
  EXPECT_STREQ(kept.authFile, "/some/cookies");
  EXPECT_STREQ(authorityFile(), "/some/cookies");
  freeLocalServerWords(&kept);
  forgetServerCredentials();
}

// --- Credentials ---------------------------------------------------------------------------

class Credentials : public ::testing::Test {
 protected:
  void SetUp() override {
    forgetServerCredentials();
    setenv("PALVON_VAR", dir.path().c_str(), 1);
    setenv("XAUTHORITY", "/nonexistent/untouched", 1);
  }
  void TearDown() override { forgetServerCredentials(); }
  // name:data of what the look-up finds for this host, or "".
  std::string find(u32 number, const std::string& host = hostName(), bool clientNamed = false) {
    char *name = nullptr, *data = nullptr;
    u16 nameLength = 0, dataLength = 0;
    if (!findServerAuthorization(host.c_str(), u32(host.size()), number, kFamilyLocalAuth, &name, &nameLength, &data,
                                 &dataLength, clientNamed))
      return "";
    std::string found = std::string(name, nameLength) + ":" + std::string(data, dataLength);
    free(name);
    free(data);
    return found;
  }
  TempDir dir;
};

TEST_F(Credentials, TheGeneratedFileIsPrivateRandomAndRemembered) {
  const char* path = nullptr;
  ASSERT_EQ(writeAuthorizationFile(7, &path), nullptr);
  EXPECT_EQ(std::string(path), dir.file("palvo-7"));
  struct stat info {};
  ASSERT_EQ(lstat(path, &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  FILE* file = fopen(path, "rb");
  ASSERT_NE(file, nullptr);
  Xauth* record = XauReadAuth(file);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->family, kFamilyLocalAuth);
  EXPECT_EQ(std::string(record->address, record->address_length), hostName());
  EXPECT_EQ(std::string(record->number, record->number_length), "7");
  EXPECT_EQ(std::string(record->name, record->name_length), "MIT-MAGIC-COOKIE-1");
  ASSERT_EQ(record->data_length, 16);
  std::string cookie(record->data, 16);
  XauDisposeAuth(record);
  EXPECT_EQ(XauReadAuth(file), nullptr) << "one record";
  fclose(file);
  EXPECT_EQ(find(7), "MIT-MAGIC-COOKIE-1:" + cookie) << "kept as a permanent entry";
  clearAuthorizationEntries(false);
  EXPECT_EQ(find(7), "MIT-MAGIC-COOKIE-1:" + cookie) << "a reset keeps it";
  // A second file takes the place of the first, with a fresh cookie; a link
  // put where the file goes is replaced, not followed.
  std::string victim = dir.file("victim");
  test::writeFile(victim, "keep");
  unlink(path);
  ASSERT_EQ(symlink(victim.c_str(), dir.file("palvo-7").c_str()), 0);
  clearAuthorizationEntries(true);
  ASSERT_EQ(writeAuthorizationFile(7, &path), nullptr);
  EXPECT_EQ(test::readFile(victim), "keep");
  ASSERT_EQ(lstat(path, &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_NE(find(7), "MIT-MAGIC-COOKIE-1:" + cookie);
  EXPECT_STREQ(getenv("XAUTHORITY"), "/nonexistent/untouched");
}

TEST_F(Credentials, TheServerFileComesFirstAndItsBestTypeWins) {
  std::string host = hostName();
  std::string server = dir.file("server");
  test::writeAuthorityFile(server, {{kFamilyLocalAuth, host, "3", "MIT-MAGIC-COOKIE-1", "mit"},
                        {kFamilyLocalAuth, host, "3", "XDM-AUTHORIZATION-1", "xdm"},
                        {kFamilyLocalAuth, host, "4", "MIT-MAGIC-COOKIE-1", "four"},
                        {kFamilyLocalAuth, "elsewhere", "5", "MIT-MAGIC-COOKIE-1", "other"},
                        {kFamilyWildAuth, "", "6", "MIT-MAGIC-COOKIE-1", "wild"},
                        {kFamilyLocalAuth, "anyhost", "", "MIT-MAGIC-COOKIE-1", "any"}});
  setServerAuthorityFile(server.c_str());
  ASSERT_EQ(addAuthorizationEntry(kFamilyLocalAuth, host.c_str(), 4, "MIT-MAGIC-COOKIE-1", 18,
                                  reinterpret_cast<const u8*>("learnt"), 6, false),
            nullptr);
  ASSERT_EQ(addAuthorizationEntry(kFamilyLocalAuth, "OtherHost", 8, "MIT-MAGIC-COOKIE-1", 18,
                                  reinterpret_cast<const u8*>("entry"), 5, false),
            nullptr);
  EXPECT_EQ(find(3), "XDM-AUTHORIZATION-1:xdm");
  EXPECT_EQ(find(4), "MIT-MAGIC-COOKIE-1:four") << "the file before the entries";
  EXPECT_EQ(find(5), "") << "another host's record";
  EXPECT_EQ(find(6), "MIT-MAGIC-COOKIE-1:wild") << "a wild record matches any host";
  EXPECT_EQ(find(8, "otherhost"), "MIT-MAGIC-COOKIE-1:entry") << "entries by host in any case";
  EXPECT_EQ(find(10, "anyhost"), "MIT-MAGIC-COOKIE-1:any") << "a record without a number matches any number";
  // A display a client named gets only the records of its own name.
  EXPECT_EQ(find(3, host, true), "XDM-AUTHORIZATION-1:xdm");
  EXPECT_EQ(find(6, host, true), "") << "no wild record";
  EXPECT_EQ(find(10, "anyhost", true), "") << "no record without a number";
  EXPECT_EQ(find(8, "otherhost", true), "") << "no learnt entry";
  clearAuthorizationEntries(false);
  EXPECT_EQ(find(8, "otherhost"), "") << "learnt entries go at a reset";
  EXPECT_STREQ(getenv("XAUTHORITY"), "/nonexistent/untouched");
}

TEST_F(Credentials, TheProxysOwnFileIsLearntForThisHost) {
  std::string clients = dir.file("clients");
  test::writeAuthorityFile(clients, {{kFamilyLocalAuth, "localhost", "0", "MIT-MAGIC-COOKIE-1", "own"}});
  setAuthorityFile(clients.c_str());
  EXPECT_EQ(find(9, hostName(), true), "") << "never for a display a client named";
  EXPECT_EQ(find(9), "MIT-MAGIC-COOKIE-1:own");
  // Learnt for display 9, as a non-permanent entry.
  setAuthorityFile("");
  unlink(clients.c_str());
  EXPECT_EQ(find(9), "MIT-MAGIC-COOKIE-1:own");
  clearAuthorizationEntries(false);
  EXPECT_EQ(find(9), "");
}

}  // namespace
}  // namespace palvon
