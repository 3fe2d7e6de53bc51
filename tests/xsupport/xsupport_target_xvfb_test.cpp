// Target displays against real Xvfb servers: the connect time-out, a server
// that comes up late, the error trap, the careful close and the small
// display helpers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#undef min
#undef max

#include "base/hostclock.h"
#include "support/netns.h"
#include "support/xvfb.h"
#include "xsupport/misc.h"
#include "xsupport/xfont.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

using Clock = std::chrono::steady_clock;
using test::Xvfb;
using test::PrivateNetwork;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int threadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

Display* openTarget(const std::string& name, u64 timeoutMs, const char** error) {
  TargetOptions options;
  xtargetInitOptions(&options);
  options.displayName = name.c_str();
  options.connectTimeoutMs = timeoutMs;
  Display* display = nullptr;
  *error = xtargetOpenDisplay(&options, "xsupport test", &display);
  return display;
}

TEST(TargetDisplay, AbsentServerFailsAtTheDeadline) {
  test::ClaimedDisplay absent(640);
  ASSERT_TRUE(absent.ok());
  std::string name = absent.name();
  int threadsBefore = threadCount();
  for (u64 timeout : {1500u, 400u}) {
    auto start = Clock::now();
    const char* error = nullptr;
    Display* display = openTarget(name, timeout, &error);
    double took = secondsSince(start);
    EXPECT_EQ(display, nullptr);
    ASSERT_NE(error, nullptr);
    std::string expected = "Can't connect to display '" + name + "' for " + std::to_string(timeout / 1000) +
                           " seconds - Make sure the X Window server is available and access is granted";
    EXPECT_EQ(std::string(error), expected);
    EXPECT_GE(took, timeout / 1000.0 - 0.01);
    EXPECT_LT(took, timeout / 1000.0 + 0.4);
  }
  // The abandoned connection threads give up by themselves, promptly.
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (threadCount() > threadsBefore && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(TargetDisplay, ReachesAServerThatStartsLate) {
  // After two seconds of a long bound, and after one second of a bound not
  // much longer: the attempts that failed before must not keep the one
  // that can succeed past the bound. The server is up before the open
  // begins and becomes reachable under the late name at its time (its
  // socket linked there), so that a busy machine's slow start of a server
  // does not eat into the bound.
  Xvfb server;
  ASSERT_TRUE(server.ok()) << server.error();
  struct Row {
    int startAfterMs;
    u64 timeoutMs;
  } rows[] = {{2000, 10000}, {1000, 1900}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.startAfterMs);
    // The claim keeps the late number free of every other server.
    test::ClaimedDisplay late(700);
    ASSERT_TRUE(late.ok());
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(late.number());
    bool linked = false;
    std::thread starter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(row.startAfterMs));
      linked = symlink(server.socketPath().c_str(), path.c_str()) == 0;
    });
    auto start = Clock::now();
    const char* error = nullptr;
    Display* display = openTarget(late.name(), row.timeoutMs, &error);
    double took = secondsSince(start);
    starter.join();
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_NE(display, nullptr);
    EXPECT_GE(took, row.startAfterMs / 1000.0);
    if (display) xtargetCloseDisplay(display);
    ASSERT_TRUE(linked) << path;
    unlink(path.c_str());
  }
}

class TargetOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
    const char* error = nullptr;
    auto start = Clock::now();
    display_ = openTarget(xvfb_.display(), 5000, &error);
    ASSERT_NE(display_, nullptr) << error;
    EXPECT_LT(secondsSince(start), 2.0);  // a running server is not waited for to the time-out
  }
  void TearDown() override {
    if (display_) {
      EXPECT_EQ(xtargetCloseDisplay(display_), 0);
    }
  }
  Xvfb xvfb_;
  Display* display_ = nullptr;
};

TEST_F(TargetOnXvfb, TrapIsAFlagPerDisplay) {
  xErrorTrapBegin(display_);
  XFreePixmap(display_, 0x1234567);
  XSync(display_, False);
  EXPECT_EQ(xErrorTrapEnd(), 1);

  xErrorTrapBegin(display_);
  XFreePixmap(display_, 0x1234567);
  XFreeGC(display_, XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr));
  XFreePixmap(display_, 0x1234568);
  XSync(display_, False);
  EXPECT_EQ(xErrorTrapEnd(), 1);

  {
    XErrorTrap trap(display_);
    Pixmap pixmap = XCreatePixmap(display_, DefaultRootWindow(display_), 4, 4, 24);
    XFreePixmap(display_, pixmap);
    XSync(display_, False);
    EXPECT_EQ(trap.result(), 0);
  }
}

TEST_F(TargetOnXvfb, ErrorTextsAndExtensionErrors) {
  XErrorEvent event = {};
  event.error_code = BadPixmap;
  event.resourceid = 0x12345;
  event.request_code = 54;
  event.serial = 7;
  std::string shortName = xShortDisplayName(display_);
  EXPECT_EQ(std::string(xtargetFormatErrorPlain(display_, &event)),
            "X error BadPixmap 0x12345 in 54 #7 from " + shortName);
  event.error_code = 200;
  event.request_code = 130;
  event.minor_code = 3;
  EXPECT_NE(std::string(xtargetFormatErrorPlain(display_, &event)).find(" in 130.3 #7"), std::string::npos);

  testing::internal::CaptureStderr();
  xtargetExtensionErrorHandler(display_, "FOO", "missing");
  xtargetExtensionErrorHandler(display_, "FOO", "broken");
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed, "Error in X extension FOO: broken (display " + std::string(XDisplayString(display_)) + ")\n");
  xErrorTrapBegin(display_);
  testing::internal::CaptureStderr();
  xtargetExtensionErrorHandler(display_, "FOO", "broken");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(xErrorTrapEnd(), 1);
}

TEST_F(TargetOnXvfb, CloseDoesNotWaitForADeadServer) {
  // Leave the output buffer nearly full, take the server away, close: no
  // request of the close may need a write.
  getDepthGC(display_, 0, 24);  // registers a close hook
  XSync(display_, False);
  while (display_->bufmax - display_->bufptr >= 8) XNoOp(display_);
  xvfb_.stop();
  auto start = Clock::now();
  xtargetCloseDisplay(display_);
  display_ = nullptr;
  EXPECT_LT(secondsSince(start), 1.0);
}

// The server listens on TCP inside a network of the test's own.
TEST(DisplayNames, ShortAndFullForms) {
  PrivateNetwork network;
  if (!network.ok()) GTEST_SKIP() << "no private network: " << network.error();
  Xvfb xvfb({"-screen", "0", "320x200x24", "-listen", "tcp"});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  std::string host = hostName();
  for (std::string prefix : {"", "unix", "localhost"}) {
    Display* display = XOpenDisplay((prefix + xvfb.display() + ".0").c_str());
    ASSERT_NE(display, nullptr) << prefix;
    EXPECT_EQ(std::string(xShortDisplayName(display)), xvfb.display() + ".0") << prefix;
    EXPECT_EQ(std::string(xFullDisplayName(display)), host + xvfb.display() + ".0") << prefix;
    EXPECT_EQ(xFullDisplayNumber(display), static_cast<u32>(xvfb.number()));
    EXPECT_EQ(xDisplayResourceBase(display) & xDisplayResourceMask(display), 0u);
    XCloseDisplay(display);
  }
}

TEST_F(TargetOnXvfb, ExtensionCodesAreRecordedOnce) {
  XExtCodes* shm = xDisplayExtensionCodes(display_, "MIT-SHM");
  ASSERT_NE(shm, nullptr);
  EXPECT_GE(shm->major_opcode, 128);
  EXPECT_EQ(xDisplayExtensionCodes(display_, "MIT-SHM"), shm);
  EXPECT_EQ(xDisplayExtensionCodes(display_, "NO-SUCH-EXTENSION"), nullptr);
  EXPECT_EQ(xDisplayExtensionCodes(nullptr, "MIT-SHM"), nullptr);
  unsigned long before = NextRequest(display_);
  display_->flags = display_->flags | XlibDisplayClosing;
  EXPECT_EQ(xDisplayExtensionCodes(display_, "SHAPE"), nullptr);
  display_->flags = display_->flags & ~XlibDisplayClosing;
  EXPECT_EQ(NextRequest(display_), before);  // no request made
}

TEST_F(TargetOnXvfb, DepthGraphicsContexts) {
  GC gc24 = getDepthGC(display_, 0, 24);
  GC gc1 = getDepthGC(display_, 0, 1);
  ASSERT_NE(gc24, nullptr);
  ASSERT_NE(gc1, nullptr);
  EXPECT_EQ(getDepthGC(display_, 0, 24), gc24);
  EXPECT_EQ(getDepthGC(display_, 0, 7), nullptr);
  EXPECT_EQ(getDepthGC(display_, 3, 24), nullptr);
}

int errorsSeen = 0;
int countErrors(Display*, XErrorEvent*) {
  errorsSeen++;
  return 0;
}

TEST_F(TargetOnXvfb, ServerGrabHoldsAndLeavesNoFailingRequest) {
  EXPECT_EQ(xServerGrabLeaksInput(display_), 0);
  errorsSeen = 0;
  XErrorHandler old = XSetErrorHandler(countErrors);
  XSync(display_, False);
  XSetErrorHandler(old);
  EXPECT_EQ(errorsSeen, 0);
}

}  // namespace
}  // namespace palvon
