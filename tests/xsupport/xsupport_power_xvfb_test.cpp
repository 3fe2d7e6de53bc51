// Screen-saver, DPMS and FBPM control: settings copied between two real
// servers, and the extension requests checked byte for byte against the
// fake server (no server here offers FBPM).
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xext.h>

#include <vector>

#include "support/peers/fakeserver.h"
#include "support/xvfb.h"
#include "xsupport/power.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

using test::Bytes;
using test::FakeXServer;

constexpr uint8_t kDpms = 140;
constexpr uint8_t kFbpm = 141;

TEST(PowerOnXvfb, ScreenSaverSettingsAreCopied) {
  test::Xvfb a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  Display* from = XOpenDisplay(a.display().c_str());
  Display* to = XOpenDisplay(b.display().c_str());
  ASSERT_TRUE(from && to);
  XSetScreenSaver(from, 123, 45, DontPreferBlanking, AllowExposures);
  XSetScreenSaver(to, 600, 600, PreferBlanking, DontAllowExposures);
  xCopyPowerSettings(from, to);
  int timeout, interval, prefer, allow;
  XGetScreenSaver(to, &timeout, &interval, &prefer, &allow);
  EXPECT_EQ(timeout, 123);
  EXPECT_EQ(interval, 45);
  EXPECT_EQ(prefer, DontPreferBlanking);
  EXPECT_EQ(allow, AllowExposures);
  PowerSettings settings;
  EXPECT_EQ(xGetPowerSettings(to, &settings), nullptr);
  EXPECT_EQ(settings.fbpmPresent, 0);
  EXPECT_EQ(xScreenOfRoot(to, DefaultRootWindow(to)), 0u);
  EXPECT_EQ(xScreenOfRoot(to, 12345), ~0u);
  xWakeDisplay(to);  // no extension to ask: only the idle reset
  XCloseDisplay(from);
  XCloseDisplay(to);
}

// DPMS and FBPM with a power state that tests set.
struct PowerState {
  uint16_t dpmsLevel = 0;
  uint8_t dpmsEnabled = 1;
  uint16_t fbpmLevel = 0;
  uint8_t fbpmEnabled = 1;
};

class PowerOnFakeServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    server_.addExtension("DPMS", kDpms);
    server_.addExtension("FBPM", kFbpm);
    server_.setResponder(kDpms, [this](const Bytes& r) { return dpmsAnswer(r); });
    server_.setResponder(kFbpm, [this](const Bytes& r) { return fbpmAnswer(r); });
    display_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }
  Bytes dpmsAnswer(const Bytes& request) {
    switch (request[1]) {
      case 0: return FakeXServer::reply({1, 0, 1, 0});  // version 1.1
      case 1: return FakeXServer::reply({1});           // capable
      case 2: return FakeXServer::reply({10, 0, 20, 0, 30, 0});
      case 7: return FakeXServer::reply({static_cast<uint8_t>(state_.dpmsLevel), 0, state_.dpmsEnabled});
      default: return {};
    }
  }
  Bytes fbpmAnswer(const Bytes& request) {
    switch (request[1]) {
      case 0: return FakeXServer::reply({1, 0, 2, 0});
      case 1: return FakeXServer::reply({1});
      case 7: return FakeXServer::reply({static_cast<uint8_t>(state_.fbpmLevel), 0, state_.fbpmEnabled});
      default: return {};
    }
  }
  // The requests of one extension since the log was cleared.
  std::vector<Bytes> sent(uint8_t major) {
    XSync(display_, False);
    return server_.requestsWithMajor(major);
  }
  static bool has(const std::vector<Bytes>& requests, const Bytes& bytes) {
    for (const Bytes& r : requests) {
      if (r == bytes) return true;
    }
    return false;
  }
  static bool hasMinor(const std::vector<Bytes>& requests, uint8_t minor) {
    for (const Bytes& r : requests) {
      if (r[1] == minor) return true;
    }
    return false;
  }

  FakeXServer server_;
  PowerState state_;
  Display* display_ = nullptr;
};

TEST_F(PowerOnFakeServer, FbpmRequestsOnTheWire) {
  int major = 0, minor = 0;
  ASSERT_EQ(xFbpmGetVersion(display_, &major, &minor), 1);
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minor, 2);
  EXPECT_TRUE(xFbpmCapable(display_));
  state_.fbpmLevel = 3;
  u16 level = 0;
  u8 enabled = 0;
  ASSERT_EQ(xFbpmInfo(display_, &level, &enabled), 1);
  EXPECT_EQ(level, 3);
  EXPECT_EQ(enabled, 1);
  xFbpmEnable(display_, 0x0102);
  xFbpmDisable(display_);
  std::vector<Bytes> requests = sent(kFbpm);
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0], (Bytes{kFbpm, 0, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(requests[1], (Bytes{kFbpm, 1, 1, 0}));
  EXPECT_EQ(requests[2], (Bytes{kFbpm, 7, 1, 0}));
  EXPECT_EQ(requests[3], (Bytes{kFbpm, 4, 2, 0, 2, 1, 0, 0}));
  EXPECT_EQ(requests[4], (Bytes{kFbpm, 5, 1, 0}));
  int event = -1, error = -1;
  EXPECT_TRUE(xFbpmQueryExtension(display_, &event, &error));
}

TEST_F(PowerOnFakeServer, ForceOnWakesOnlyWhatSleeps) {
  state_.dpmsLevel = 3;
  state_.fbpmLevel = 2;
  server_.clearLog();
  xForceDisplayOn(display_, nullptr);
  EXPECT_TRUE(has(sent(kDpms), (Bytes{kDpms, 6, 2, 0, 0, 0, 0, 0})));  // ForceLevel 0
  EXPECT_TRUE(has(sent(kFbpm), (Bytes{kFbpm, 4, 2, 0, 0, 0, 0, 0})));  // Enable at level 0
  EXPECT_EQ(server_.requestsWithMajor(41).size(), 1u);   // the pointer warp
  EXPECT_EQ(server_.requestsWithMajor(115).size(), 1u);  // the screen-saver reset

  state_.dpmsLevel = 0;
  state_.fbpmLevel = 0;
  server_.clearLog();
  PowerSettings settings;
  xGetPowerSettings(display_, &settings);
  EXPECT_EQ(settings.dpmsPresent, 1);
  EXPECT_EQ(settings.dpmsOpcode, kDpms);
  EXPECT_EQ(settings.dpmsStandby, 10);
  EXPECT_EQ(settings.dpmsSuspend, 20);
  EXPECT_EQ(settings.dpmsOff, 30);
  EXPECT_EQ(settings.fbpmPresent, 1);
  server_.clearLog();
  xForceDisplayOn(display_, &settings);
  EXPECT_FALSE(hasMinor(sent(kDpms), 6));
  EXPECT_FALSE(hasMinor(sent(kFbpm), 4));
  // Settings that mark the extensions absent keep their requests away.
  settings.dpmsPresent = 0;
  settings.fbpmPresent = 0;
  server_.clearLog();
  xForceDisplayOn(display_, &settings);
  EXPECT_TRUE(sent(kDpms).empty());
  EXPECT_TRUE(sent(kFbpm).empty());
}

TEST_F(PowerOnFakeServer, SettingsWrittenPerEnabledState) {
  PowerSettings settings = {};
  settings.timeout = 300;
  settings.interval = 60;
  settings.dpmsPresent = 1;
  settings.dpmsEnabled = 1;
  settings.dpmsLevel = 1;
  settings.dpmsStandby = 0x0102;
  settings.dpmsSuspend = 0x0203;
  settings.dpmsOff = 0x0304;
  settings.fbpmPresent = 1;
  settings.fbpmEnabled = 1;
  settings.fbpmLevel = 2;
  server_.clearLog();
  xSetPowerSettings(display_, &settings);
  std::vector<Bytes> dpms = sent(kDpms);
  EXPECT_TRUE(has(dpms, (Bytes{kDpms, 4, 1, 0})));                              // Enable
  EXPECT_TRUE(has(dpms, (Bytes{kDpms, 6, 2, 0, 1, 0, 0, 0})));                  // ForceLevel 1
  // SetTimeouts; the library leaves its last two pad bytes as they were.
  bool timeouts = false;
  for (const Bytes& r : dpms) {
    timeouts |= r.size() == 12 && Bytes(r.begin(), r.begin() + 10) == Bytes{kDpms, 3, 3, 0, 2, 1, 3, 2, 4, 3};
  }
  EXPECT_TRUE(timeouts);
  EXPECT_TRUE(has(sent(kFbpm), (Bytes{kFbpm, 4, 2, 0, 2, 0, 0, 0})));
  std::vector<Bytes> saver = server_.requestsWithMajor(107);
  ASSERT_EQ(saver.size(), 1u);
  EXPECT_EQ(saver[0][4] | saver[0][5] << 8, 300);

  settings.dpmsEnabled = 0;
  settings.fbpmEnabled = 0;
  server_.clearLog();
  xSetPowerSettings(display_, &settings);
  dpms = sent(kDpms);
  EXPECT_TRUE(has(dpms, (Bytes{kDpms, 5, 1, 0})));  // Disable
  EXPECT_FALSE(hasMinor(dpms, 3));                   // time-outs left alone
  EXPECT_FALSE(hasMinor(dpms, 6));
  EXPECT_TRUE(has(sent(kFbpm), (Bytes{kFbpm, 5, 1, 0})));

  server_.clearLog();
  xCopyPowerSettings(display_, display_);
  XSync(display_, False);
  EXPECT_EQ(server_.requests().size(), 1u);  // only the sync itself
}

TEST(PowerWithoutExtensions, FbpmCallsFailWithoutRequests) {
  FakeXServer server;
  ASSERT_TRUE(server.ok());
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  XSetExtensionErrorHandler(xtargetExtensionErrorHandler);  // "missing" stays quiet
  EXPECT_FALSE(xFbpmCapable(display));
  EXPECT_EQ(xFbpmDisable(display), 0);
  u16 level;
  u8 enabled;
  EXPECT_EQ(xFbpmInfo(display, &level, &enabled), 0);
  int event, error;
  EXPECT_FALSE(xFbpmQueryExtension(display, &event, &error));
  PowerSettings settings;
  xGetPowerSettings(display, &settings);
  EXPECT_EQ(settings.dpmsPresent, 0);
  EXPECT_EQ(settings.fbpmPresent, 0);
  EXPECT_EQ(settings.timeout, 600);
  XSync(display, False);
  EXPECT_TRUE(server.requestsWithMajor(kFbpm).empty());
  XCloseDisplay(display);
}

}  // namespace
}  // namespace palvon
