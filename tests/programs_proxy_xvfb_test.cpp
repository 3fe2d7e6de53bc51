// Real X programs through the proxy program in front of one, two and three
// Xvfb side by side: xterm, xlogo and xeyes start, their windows stand on
// every head at the same place under the meta root, a cursor from the
// cursor font is made on every server without an error reaching the client,
// and x11perf runs its tests to the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The sections of the script's output, one per real server, each holding
// that server's "xwininfo -root -tree".
std::vector<std::string> sections(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("== ", 0) == 0) parts.emplace_back();
    else if (!parts.empty()) parts.back() += line + "\n";
  }
  return parts;
}

class Programs : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < GetParam(); i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  TempDir dir;
};

// Glyph cursors are made on every server from the cursor font's bits: the
// bits must reach each server in its own image layout.
TEST_P(Programs, CursorFromTheCursorFont) {
  ProgramResult result = runProgram({"xsetroot", "-cursor_name", "left_ptr"}, proxy->display());
  EXPECT_EQ(result.status, 0) << result.err << proxy->log();
  EXPECT_EQ(result.err, "");
}

TEST_P(Programs, WindowsStandOnEveryHead) {
  std::string first = servers[0]->display();
  std::string dump;
  for (const auto& server : servers) {
    dump += "echo '== " + server->display() + "'; xwininfo -display " + server->display() + " -root -tree; ";
  }
  // Run inside xterm: its window exists while the script runs. xlogo spans
  // the first seam when there is one.
  std::string script =
      "xlogo -geometry 150x120+330+40 & logo=$!; xeyes -geometry 120x90+20+150 & eyes=$!; "
      "for i in $(seq 300); do xwininfo -display " + first + " -root -tree | grep -q '120x90+20+150' && "
      "xwininfo -display " + first + " -root -tree | grep -q '150x120+330+40' && break; sleep 0.1; done; " +
      dump + "kill $logo $eyes";
  std::string out = dir.file("trees");
  ProgramResult result = runProgram(
      {"xterm", "-geometry", "40x4+100+10", "-e", "sh", "-c", "(" + script + ") > " + out + " 2>&1"},
      proxy->display(), 60000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  std::vector<std::string> trees = sections(readFile(out));
  ASSERT_EQ(trees.size(), servers.size()) << readFile(out);
  for (size_t i = 0; i < trees.size(); i++) {
    SCOPED_TRACE(servers[i]->display());
    EXPECT_TRUE(contains(trees[i], "150x120+330+40")) << trees[i];  // xlogo
    EXPECT_TRUE(contains(trees[i], "120x90+20+150")) << trees[i];   // xeyes
    EXPECT_TRUE(contains(trees[i], "+100+10")) << trees[i];         // xterm
  }
}

// x11perf measures drawing, copies, images, text and round trips through the
// proxy: each test it runs reports its repetitions, none stops on an error.
TEST_P(Programs, X11perfReportsEveryTest) {
  ProgramResult result = runProgram({"x11perf", "-repeat", "1", "-reps", "20", "-rect10", "-seg10", "-ftext",
                                     "-copywinwin10", "-putimage10", "-getimage10", "-prop"},
                                    proxy->display(), 60000);
  EXPECT_EQ(result.status, 0) << result.err;
  size_t reports = 0;
  for (size_t at = result.out.find(" reps @ "); at != std::string::npos; at = result.out.find(" reps @ ", at + 1))
    reports++;
  EXPECT_EQ(reports, 7u) << result.out << result.err;
  EXPECT_FALSE(contains(result.err, "X Error")) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Heads, Programs, ::testing::Values(1, 2, 3));

// The last client leaving resets the proxy: the next client finds the
// default font path again, not the one the last client set.
TEST(Reset, StartsFromTheDefaultFontPath) {
  Xvfb server{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // Runs the program as the only client and waits until the reset its end
  // causes has opened the server again.
  auto alone = [&proxy](const std::vector<std::string>& argv) {
    size_t mark = proxy.log().size();
    ProgramResult result = runProgram(argv, proxy.display());
    bool reset = proxy.waitForLog("Resetting authorization", 20000, mark);
    size_t at = proxy.log().find("Resetting authorization", mark);
    reset = reset && proxy.waitForLog("Connected to X server", 20000, at);
    EXPECT_TRUE(reset) << proxy.log();
    return result;
  };
  std::string before = alone({"xset", "q"}).out;
  ASSERT_TRUE(contains(before, "/usr/share/fonts/X11/misc,built-ins")) << before;
  ASSERT_EQ(alone({"xset", "fp=", "built-ins"}).status, 0);
  // The proxy serves again once its start-up steps after the reset are done.
  ProgramResult after;
  for (int i = 0; i < 50 && (after = runProgram({"xset", "q"}, proxy.display())).status != 0; i++) usleep(100000);
  ASSERT_EQ(after.status, 0) << after.err << proxy.log();
  EXPECT_TRUE(contains(after.out, "/usr/share/fonts/X11/misc,built-ins")) << after.out;
}

}  // namespace
}  // namespace palvon::test
