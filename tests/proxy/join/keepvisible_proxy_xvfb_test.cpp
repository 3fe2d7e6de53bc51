// keepWindowsVisible through the proxy program against real Xvfb servers:
// when the server showing xlogo is lost, xlogo moves onto the head beside
// it until 50 pixels of it show there; with a negative value a window that
// reaches less than that far into the lost area stays, one that reaches
// further moves into the area grown by it. The proxy and the remaining
// server agree on the new place.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

// The top-level window of the xlogo of that name in "xwininfo -root -tree":
// its id and its "+x+y" relative to the root; empty when it is not there.
struct Placed {
  std::string id, at;
};
Placed findLogo(const std::string& display, const std::string& name) {
  ProgramResult tree = runProgram({"xwininfo", "-root", "-tree"}, display);
  std::istringstream in(tree.out);
  for (std::string line; std::getline(in, line);) {
    if (line.find("(\"" + name + "\" \"XLogo\")") == std::string::npos) continue;
    std::istringstream words(line);
    Placed p;
    std::string word;
    words >> p.id;
    while (words >> word) {
      size_t plus = word.find('+');
      if (word.find('x') != std::string::npos && plus != std::string::npos) p.at = word.substr(plus);
    }
    return p;
  }
  return {};
}

Placed waitForLogo(const std::string& display, const std::string& name, const std::string& at = "") {
  Placed p;
  for (int i = 0; i < 100; i++) {
    p = findLogo(display, name);
    if (!p.id.empty() && (at.empty() || p.at == at)) break;
    usleep(100000);
  }
  return p;
}

// The window's outer corner as the proxy answers GetGeometry.
std::string geometryAt(RawClient& client, uint32_t window) {
  Bytes body(4);
  client.put32(body, 0, window);
  if (!client.send(client.request(14, 0, body))) return "(not sent)";
  Bytes reply = client.readMessage(10000);
  if (reply.size() < 32 || reply[0] != 1) return "(no reply)";
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + string at -O3.
  return std::string("+")
      .append(std::to_string(int16_t(client.get16(reply, 12))))
      .append("+")
      .append(std::to_string(int16_t(client.get16(reply, 14))));
}

// A window (named, 100x100 at y 100) and where it stands once B is lost.
struct Logo {
  const char* name;
  int x;
  int expectedX;
};
struct KeepRow {
  const char* value;
  std::vector<Logo> logos;
};
void PrintTo(const KeepRow& row, std::ostream* os) { *os << "keepWindowsVisible " << row.value; }

std::string at(int x) { return "+" + std::to_string(x) + "+100"; }

class KeepWindowsVisible : public ::testing::TestWithParam<KeepRow> {};

// A | B (1280 wide each) with Failsafe: B's server dies, B's head goes, and
// the windows that reach into B's area are held as the value says. The
// windows that move are listed last: once they stand, the others had their
// chance to move.
TEST_P(KeepWindowsVisible, WhenAServerIsLost) {
  const KeepRow& row = GetParam();
  Xvfb a({"-screen", "0", "1280x1024x24"}), b({"-screen", "0", "1280x1024x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::vector<std::string> words{"noReset", "on", "options", "Failsafe", "metaScreen", "m", "keepWindowsVisible",
                                 row.value};
  for (const Xvfb* server : {&a, &b})
    words.insert(words.end(), {"screen", server->display() + ".0", "ofMetaScreen", "m", "borderWidth", "0"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  std::vector<std::unique_ptr<BackgroundProgram>> programs;
  std::vector<uint32_t> windows;
  RawClient watcher;
  ASSERT_TRUE(watcher.connectUnix(proxy.number()));
  ASSERT_EQ(watcher.setup('l'), 1);
  for (const Logo& logo : row.logos) {
    programs.push_back(std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"xlogo", "-name", logo.name, "-geometry", "100x100" + at(logo.x)}, proxy.display()));
    Placed before = waitForLogo(proxy.display(), logo.name);
    ASSERT_EQ(before.at, at(logo.x)) << "a window stays where it was asked for\n" << proxy.log();
    windows.push_back(uint32_t(std::strtoul(before.id.c_str(), nullptr, 16)));
    ASSERT_EQ(geometryAt(watcher, windows.back()), at(logo.x));
  }

  kill(b.pid(), SIGKILL);
  ASSERT_TRUE(proxy.waitForLog("is offline, resuming", 30000)) << proxy.log();
  for (size_t k = row.logos.size(); k-- > 0;) {
    const Logo& logo = row.logos[k];
    std::string expected = at(logo.expectedX);
    EXPECT_EQ(waitForLogo(a.display(), logo.name, expected).at, expected) << logo.name << "\n" << proxy.log();
    EXPECT_EQ(geometryAt(watcher, windows[k]), expected) << logo.name << ": the proxy agrees with A";
  }
  // A client connecting now opens links only to the server left.
  RawClient late;
  ASSERT_TRUE(late.connectUnix(proxy.number()));
  EXPECT_EQ(late.setup('l'), 1) << proxy.log();
  EXPECT_EQ(geometryAt(late, windows.back()), at(row.logos.back().expectedX));
  b.stop();
}

INSTANTIATE_TEST_SUITE_P(
    Values, KeepWindowsVisible,
    ::testing::Values(KeepRow{"50", {{"far", 1500, 1230}}},
                      // 17 pixels into B's area (the border included) stay; 32
                      // move into A's area grown by 20.
                      KeepRow{"-20", {{"reach17", 1195, 1195}, {"reach32", 1210, 1198}}}),
    [](const ::testing::TestParamInfo<KeepRow>& info) {
      return std::string(info.param.value[0] == '-' ? "Minus" : "Plus") + (info.param.value + (info.param.value[0] == '-'));
    });

}  // namespace
}  // namespace palvon::test
