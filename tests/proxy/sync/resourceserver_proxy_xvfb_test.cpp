// The auxiliary resource server through the proxy program: with
// "options +Failsafe +DynamicServer" and no static head it holds the atoms,
// properties and selections, so losing any real server (kill -9) leaves the
// clients served.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {


bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Which real server dies: 0 the first configured, 1 the second.
class LosingAServer : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    for (auto* s : {&first, &second}) ASSERT_TRUE(s->ok()) << s->error();
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{
        "noReset", "on", "options", "+Failsafe", "+DynamicServer", "screen", first.display() + ".0", "screen",
        second.display() + ".0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  Xvfb first{{"-screen", "0", "320x200x24"}};
  Xvfb second{{"-screen", "0", "320x200x24"}};
  std::unique_ptr<ProxyProcess> proxy;
};

TEST_P(LosingAServer, LeavesClientsServed) {
  Display* kept = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(kept, nullptr);
  Atom atom = XInternAtom(kept, "_TEST_KEPT", False);
  BackgroundProgram xlogo({"xlogo"}, proxy->display());
  ASSERT_TRUE(xlogo.ok());
  ProgramResult before = runProgramUntil({"xprop", "-name", "xlogo", "WM_CLASS"}, proxy->display(), "XLogo");
  ASSERT_TRUE(contains(before.out, "XLogo")) << before.err << proxy->log();

  Xvfb& lost = GetParam() == 0 ? first : second;
  kill(lost.pid(), SIGKILL);
  lost.stop();
  ASSERT_TRUE(proxy->waitForLog("is offline, resuming", 10000)) << proxy->log();

  // The running clients and new ones are served; the atoms and the
  // properties set before are still there.
  ProgramResult after = runProgramUntil({"xprop", "-name", "xlogo", "WM_CLASS"}, proxy->display(), "XLogo");
  EXPECT_TRUE(contains(after.out, "XLogo")) << after.err << proxy->log();
  char* name = XGetAtomName(kept, atom);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "_TEST_KEPT");
  XFree(name);
  ProgramResult info = runProgram({"xdpyinfo"}, proxy->display());
  EXPECT_EQ(info.status, 0) << info.err;
  XCloseDisplay(kept);
  EXPECT_EQ(kill(proxy->pid(), 0), 0) << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(Servers, LosingAServer, ::testing::Values(0, 1));

}  // namespace
}  // namespace palvon::test
