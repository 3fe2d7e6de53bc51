// keepWindowsVisible through the proxy program against real Xvfb servers:
// when the server showing xlogo is lost, xlogo moves onto the head beside
// it until 50 pixels of it show there. The proxy and the remaining server
// agree on the new place.
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

// xlogo's top-level window in "xwininfo -root -tree": its id and its
// "+x+y" relative to the root; empty when it is not there.
struct Placed {
  std::string id, at;
};
Placed findLogo(const std::string& display) {
  ProgramResult tree = runProgram({"xwininfo", "-root", "-tree"}, display);
  std::istringstream in(tree.out);
  for (std::string line; std::getline(in, line);) {
    if (line.find("(\"xlogo\" \"XLogo\")") == std::string::npos) continue;
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

Placed waitForLogo(const std::string& display, const std::string& at = "") {
  Placed p;
  for (int i = 0; i < 100; i++) {
    p = findLogo(display);
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

// A | B with Failsafe: B's server dies, B's head goes, and xlogo, shown on
// B only, moves onto A.
TEST(KeepWindowsVisible, AWindowOfALostServerMovesOntoTheHeadBeside) {
  Xvfb a({"-screen", "0", "1280x1024x24"}), b({"-screen", "0", "1280x1024x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::vector<std::string> words{"noReset", "on", "options", "Failsafe", "metaScreen", "m", "keepWindowsVisible", "50"};
  for (const Xvfb* server : {&a, &b})
    words.insert(words.end(), {"screen", server->display() + ".0", "ofMetaScreen", "m", "borderWidth", "0"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  BackgroundProgram logo({"xlogo", "-geometry", "100x100+1500+100"}, proxy.display());
  Placed before = waitForLogo(proxy.display());
  ASSERT_EQ(before.at, "+1500+100") << "a window B shows stays where it was asked for\n" << proxy.log();
  RawClient watcher;
  ASSERT_TRUE(watcher.connectUnix(proxy.number()));
  ASSERT_EQ(watcher.setup('l'), 1);
  uint32_t window = uint32_t(std::strtoul(before.id.c_str(), nullptr, 16));
  ASSERT_EQ(geometryAt(watcher, window), "+1500+100");

  kill(b.pid(), SIGKILL);
  ASSERT_TRUE(proxy.waitForLog("is offline, resuming", 30000)) << proxy.log();
  EXPECT_EQ(waitForLogo(a.display(), "+1230+100").at, "+1230+100") << proxy.log();
  EXPECT_EQ(geometryAt(watcher, window), "+1230+100") << "the proxy agrees with A";
  // A client connecting now opens links only to the server left.
  RawClient late;
  ASSERT_TRUE(late.connectUnix(proxy.number()));
  EXPECT_EQ(late.setup('l'), 1) << proxy.log();
  EXPECT_EQ(geometryAt(late, window), "+1230+100");
  b.stop();
}

}  // namespace
}  // namespace palvon::test
