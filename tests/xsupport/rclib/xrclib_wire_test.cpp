// Fake input through extensions no real server here offers (CONTROL and the
// old XTestExtension1), checked byte for byte against the fake server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <X11/extensions/Xext.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/peers/fakeserver.h"
#include "xsupport/rclib/control.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

using test::Bytes;
using test::FakeXServer;

constexpr uint8_t kControl = 150;
constexpr uint8_t kXTest1 = 151;
constexpr uint8_t kXInput = 131;
constexpr uint8_t kXInputEvent = 70;
constexpr uint32_t kRoot = 0x2b;  // the fake server's root window

Bytes le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// A FakeInput request as the extension defines it.
Bytes fakeInput(uint8_t type, uint8_t detail, uint32_t root, int16_t x, int16_t y, uint8_t device,
                uint16_t length = 9) {
  Bytes r = {kControl, 1};
  for (const Bytes& part : {le16(length), Bytes{type, detail, 0, 0}, le32(0), le32(root), Bytes(8, 0),
                            le16(static_cast<uint16_t>(x)), le16(static_cast<uint16_t>(y)), Bytes(7, 0),
                            Bytes{device}}) {
    r.insert(r.end(), part.begin(), part.end());
  }
  return r;
}

int missingReports = 0;
int countMissing(Display*, const char*, const char* reason) {
  if (std::string(reason) == "missing") missingReports++;
  return 0;
}

class XrcWire : public ::testing::Test {
 protected:
  void open(std::vector<std::pair<std::string, uint8_t>> extensions) {
    ASSERT_TRUE(server_.ok());
    for (auto& [name, major] : extensions) server_.addExtension(name, major, name == "XInputExtension" ? kXInputEvent : 0);
    server_.setResponder(117, [](const Bytes&) {  // GetPointerMapping: three buttons
      Bytes r = FakeXServer::reply(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3},
                                   3);
      return r;
    });
    server_.setResponder(38, [](const Bytes&) {  // QueryPointer: at 5,6 on the root
      Bytes r = FakeXServer::reply(Bytes{0x2b, 0, 0, 0, 0, 0, 0, 0, 5, 0, 6, 0, 5, 0, 6, 0}, 1);
      return r;
    });
    display_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(display_, nullptr);
    XSetErrorHandler(xtargetErrorHandler);
    XSetExtensionErrorHandler(countMissing);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }
  std::vector<Bytes> sent(uint8_t major) {
    XSync(display_, False);
    return server_.requestsWithMajor(major);
  }

  FakeXServer server_;
  Display* display_ = nullptr;
};

TEST_F(XrcWire, ControlCarriesCoreInputAndIsGrabProof) {
  open({{kControlExtensionName, kControl}});
  ASSERT_EQ(xrcAttachDisplay(display_, kXrcFakeInput | kXrcGrabProof), nullptr);
  EXPECT_EQ(xrcInjectionMethod(display_), kXrcControl);
  EXPECT_EQ(xrcCapabilities(display_) & 3, 3u);
  EXPECT_EQ(xrcMovePointer(display_, kXrcMouse, 0, 10, 20, 1), nullptr);
  EXPECT_EQ(xrcPressButton(display_, kXrcMouse, 3), nullptr);
  EXPECT_EQ(xrcReleaseKey(display_, kXrcKeyboard, 38), nullptr);
  ctrlFakeRelativeMotionEvent(display_, -2, 3, 7);
  std::vector<Bytes> requests = sent(kControl);
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0], fakeInput(6, 0, kRoot, 10, 20, 0));
  EXPECT_EQ(requests[1], fakeInput(4, 3, 0, 0, 0, 0));
  EXPECT_EQ(requests[2], fakeInput(3, 38, 0, 0, 0, 0));
  Bytes relative = fakeInput(6, 1, 0, -2, 3, 0);
  relative[8] = 7;  // the delay
  EXPECT_EQ(requests[3], relative);
  // Three buttons from the pointer mapping: a fourth is refused unsent.
  const char* error = xrcPressButton(display_, kXrcMouse, 4);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), std::string("No mouse button #4 on display ").append(server_.display()));
  EXPECT_EQ(sent(kControl).size(), 4u);
}

TEST_F(XrcWire, ControlVersionAndDeviceValuators) {
  open({{kControlExtensionName, kControl}, {"XInputExtension", kXInput}});
  server_.setResponder(kControl, [](const Bytes& r) {
    if (r[1] != 0) return Bytes{};
    return FakeXServer::reply({4, 0}, 2);  // version 2.4
  });
  int event = -1, error = -1, major = 0, minor = 0;
  ASSERT_EQ(ctrlQueryVersion(display_, &event, &error, &major, &minor), 1);
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 4);
  XDevice device = {};
  device.device_id = 5;
  int axes[8] = {10, 11, 12, 13, 14, 15, 16, 17};
  ASSERT_EQ(ctrlFakeDeviceMotionEvent(display_, &device, False, 0, axes, 8, 0), 1);
  ASSERT_EQ(ctrlFakeDeviceButtonEvent(display_, &device, 2, True, nullptr, 0, 0), 1);
  std::vector<Bytes> requests = sent(kControl);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], (Bytes{kControl, 0, 2, 0, 1, 0, 0, 0}));
  // Eight axes: length 9 + 2 * 8, two valuator events of 6 and 2 axes.
  const Bytes& motion = requests[1];
  ASSERT_EQ(motion.size(), 36u + 64u);
  EXPECT_EQ(Bytes(motion.begin(), motion.begin() + 36), fakeInput(kXInputEvent + 5, 0, 0, 0, 0, 0x85, 25));
  for (int e = 0; e < 2; e++) {
    const uint8_t* v = motion.data() + 36 + 32 * e;
    EXPECT_EQ(v[0], kXInputEvent);  // DeviceValuator
    EXPECT_EQ(v[1], 5);
    EXPECT_EQ(v[6], e ? 2 : 6);
    EXPECT_EQ(v[7], e ? 6 : 0);
    for (int i = 0; i < (e ? 2 : 6); i++) {
      int32_t value;
      memcpy(&value, v + 8 + 4 * i, 4);
      EXPECT_EQ(value, axes[6 * e + i]);
    }
  }
  EXPECT_EQ(requests[2], fakeInput(kXInputEvent + 3, 2, 0, 0, 0, 5));
}

TEST_F(XrcWire, WithoutControlOneMissingReportAndNoRequest) {
  open({});
  missingReports = 0;
  EXPECT_EQ(ctrlFakeKeyEvent(display_, 38, True, 0), 0);
  EXPECT_EQ(missingReports, 1);
  EXPECT_EQ(ctrlFakeMotionEvent(display_, 0, 1, 1, 0), 0);
  EXPECT_EQ(missingReports, 2);
  XSync(display_, False);
  for (const Bytes& r : server_.requests()) {
    EXPECT_TRUE(r[0] < 128) << "extension request " << int(r[0]);
  }
  const char* error = xrcAttachDisplay(display_, kXrcFakeInput);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Unsupported extension XTEST"), std::string::npos);
}

// Requests still in the output buffer are dropped with their sequence
// numbers, a BIG-REQUESTS form among them, and the connection stays in step.
TEST_F(XrcWire, DiscardDropsQueuedRequestsAndKeepsSequence) {
  open({{kControlExtensionName, kControl}});
  ctrlFakeKeyEvent(display_, 38, False, 0);  // looks the extension up
  XSync(display_, False);
  EXPECT_EQ(ctrlDiscard(display_), 0);
  unsigned long before = NextRequest(display_);
  ctrlFakeKeyEvent(display_, 38, True, 0);
  LockDisplay(display_);
  auto* big = static_cast<uint8_t*>(_XGetRequest(display_, X_NoOperation, 8));
  big[2] = big[3] = 0;  // length 0: the real length follows
  uint32_t words = 2;
  memcpy(big + 4, &words, 4);
  UnlockDisplay(display_);
  ctrlFakeKeyEvent(display_, 38, False, 0);
  EXPECT_EQ(NextRequest(display_), before + 3);
  server_.clearLog();
  EXPECT_EQ(ctrlDiscard(display_), 1);
  EXPECT_EQ(NextRequest(display_), before);
  Window root, child;
  int x, y, wx, wy;
  unsigned int state;
  ASSERT_TRUE(XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &wx, &wy, &state));
  EXPECT_EQ(x, 5);
  XSync(display_, False);
  EXPECT_TRUE(server_.requestsWithMajor(kControl).empty());
  EXPECT_TRUE(server_.requestsWithMajor(X_NoOperation).empty());
}

// The old extension: fake input goes out as action lists.
TEST_F(XrcWire, XTestExtension1CarriesButtonsAndKeys) {
  open({{"XTestExtension1", kXTest1}});
  ASSERT_EQ(xrcAttachDisplay(display_, kXrcFakeInput), nullptr);
  EXPECT_EQ(xrcInjectionMethod(display_), kXrcXTest1);
  EXPECT_EQ(xrcPressButton(display_, kXrcMouse, 2), nullptr);
  EXPECT_EQ(xrcReleaseKey(display_, kXrcKeyboard, 40), nullptr);
  std::vector<Bytes> requests = sent(kXTest1);
  ASSERT_EQ(requests.size(), 2u);
  for (const Bytes& r : requests) {
    EXPECT_EQ(r[1], 1);        // FakeInput
    EXPECT_EQ(r[2], 18);       // 2 + 64 / 4 words
    EXPECT_EQ(r.size(), 72u);
  }
  // Key action: header (device 0, key action 1, down 0 / up 4), code, delay.
  EXPECT_EQ(Bytes(requests[0].begin() + 8, requests[0].begin() + 12), (Bytes{0x01, 2, 0, 0}));
  EXPECT_EQ(Bytes(requests[1].begin() + 8, requests[1].begin() + 12), (Bytes{0x05, 40, 0, 0}));
  EXPECT_EQ(server_.requestsWithMajor(41).size(), 2u);  // the warps that follow each
}

}  // namespace
}  // namespace palvon
