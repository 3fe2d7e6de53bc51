// Fake input through the proxy program in front of two Xvfb side by side
// (A at 0..1279, B at 1280..2559 of one meta screen): xdotool moves the
// pointer onto the head it names, and its keys, text and clicks reach a
// window as they would on one server. Forwarded where the servers have
// XTEST, carried out by the proxy where they lack it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Mode {
  const char* name;
  bool serversLackXTest;
};

class FakeInput : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      std::vector<std::string> args{"-screen", "0", "1280x1024x24"};
      if (GetParam().serversLackXTest) args.insert(args.end(), {"-extension", "XTEST"});
      servers.push_back(std::make_unique<Xvfb>(args));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  // Where B's own pointer is, as xdotool reads it there.
  std::string pointerOnB() {
    return runProgram({"xdotool", "getmouselocation"}, servers[1]->display()).out;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  TempDir dir;
};

// The meta position 1500,300 lies 220 pixels into B: the pointer must go
// there, not to 1500,300 of A's root (which the servers do not know).
TEST_P(FakeInput, AbsoluteMotionLandsOnTheNamedHead) {
  ProgramResult moved = runProgram({"xdotool", "mousemove", "1500", "300"}, proxy->display());
  ASSERT_EQ(moved.status, 0) << moved.err << proxy->log();
  std::string where;
  for (int i = 0; i < 50 && !contains(where, "x:220 y:300"); i++) {
    where = pointerOnB();
    if (!contains(where, "x:220 y:300")) runProgram({"sleep", "0.1"}, "");
  }
  EXPECT_TRUE(contains(where, "x:220 y:300")) << where << proxy->log();
  ProgramResult location = runProgram({"xdotool", "getmouselocation"}, proxy->display());
  EXPECT_TRUE(contains(location.out, "x:1500 y:300")) << location.out;
}

// A window under the pointer receives the click, the key and the typed
// text through the proxy.
TEST_P(FakeInput, KeysTextAndClicksReachTheWindow) {
  std::string out = dir.file("xev");
  std::string script =
      "xev -geometry 300x300+100+100 > " + out + " 2>&1 & ev=$!; "
      "for i in $(seq 100); do xwininfo -root -tree | grep -q '300x300+100+100' && break; sleep 0.1; done; "
      "xdotool mousemove 250 250 && sleep 0.3 && xdotool click 1 && xdotool key a && xdotool type hi; "
      "sleep 0.5; kill $ev";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy->display(), 30000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  std::string events = readFile(out);
  EXPECT_TRUE(contains(events, "ButtonPress event")) << events;
  EXPECT_TRUE(contains(events, "ButtonRelease event")) << events;
  EXPECT_TRUE(contains(events, "(keysym 0x61, a)")) << events;
  EXPECT_TRUE(contains(events, "(keysym 0x68, h)")) << events;
  EXPECT_TRUE(contains(events, "(keysym 0x69, i)")) << events;
}

INSTANTIATE_TEST_SUITE_P(XTest, FakeInput,
                         ::testing::Values(Mode{"Forwarded", false}, Mode{"Emulated", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
