// XINERAMA through the proxy program: xdpyinfo lists the heads of the meta
// screen in their order (reversed by XineramaOrdering), a lone head covering
// the screen is inactive unless servers may join, and a raw client of the
// other byte order reads every request's answer, errors included.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

std::string xineramaSection(const std::string& text) {
  size_t at = text.find("XINERAMA version");
  return at == std::string::npos ? "" : text.substr(at);
}

struct Layout {
  const char* name;
  int servers;
  std::vector<std::string> words;
  std::vector<std::string> environment;
  std::vector<std::string> heads;  // xdpyinfo's lines, in order
  bool active;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class XineramaLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(XineramaLayouts, XdpyinfoListsTheHeads) {
  const Layout& layout = GetParam();
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  for (const std::string& word : layout.words) words.push_back(word);
  for (int i = 0; i < layout.servers; i++) {
    servers.push_back(std::make_unique<Xvfb>());
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    words.push_back("screen");
    words.push_back(servers.back()->display() + ".0");
    words.insert(words.end(), {"borderWidth", "0"});
  }
  ProxyProcess proxy(words, layout.environment);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult result = runProgram({"xdpyinfo", "-ext", "XINERAMA"}, proxy.display());
  ASSERT_EQ(result.status, 0) << result.err;
  std::string section = xineramaSection(result.out);
  ASSERT_NE(section, "") << result.out.substr(0, 400);
  size_t at = 0;
  for (size_t i = 0; i < layout.heads.size(); i++) {
    std::string line = "head #" + std::to_string(i) + ": " + layout.heads[i] + "\n";
    size_t found = section.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << section;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(section.find("head #" + std::to_string(layout.heads.size())), std::string::npos) << section;
  EXPECT_EQ(section.find("inactive") == std::string::npos, layout.active) << section;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, XineramaLayouts,
    ::testing::Values(
        Layout{"SideBySide", 2, {}, {}, {"1024x768 @ 0,0", "1024x768 @ 1024,0"}, true},
        Layout{"Reversed", 2, {}, {"XineramaOrdering=REVERSE"}, {"1024x768 @ 1024,0", "1024x768 @ 0,0"}, true},
        // xdpyinfo lists no heads of an inactive XINERAMA.
        Layout{"Alone", 1, {}, {}, {}, false},
        Layout{"AloneServersMayJoin", 1, {"options", "+DynamicServer"}, {}, {"1024x768 @ 0,0"}, true}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// --- The raw wire, in the byte order other than the proxy's -------------------------------

class XineramaWire : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers_.push_back(std::make_unique<Xvfb>());
      ASSERT_TRUE(servers_.back()->ok()) << servers_.back()->error();
      words.push_back("screen");
      words.push_back(servers_.back()->display() + ".0");
      words.insert(words.end(), {"borderWidth", "0"});
    }
    proxy_ = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy_->ok()) << proxy_->log();
    ASSERT_TRUE(raw.connectUnix(proxy_->number()));
    ASSERT_EQ(raw.setup('B'), 1);
    Bytes body(4 + 8, 0);
    raw.put16(body, 0, 8);
    std::copy_n("XINERAMA", 8, body.begin() + 4);
    Bytes reply = call(raw.request(98, 0, body));
    ASSERT_EQ(reply.size(), 32u);
    ASSERT_EQ(reply[8], 1) << "XINERAMA is not offered";
    major = reply[9];
  }

  // Sends a request and gives the reply or error that answers it.
  Bytes call(const Bytes& request) {
    raw.send(request);
    sequence++;
    for (;;) {
      Bytes message = raw.readMessage();
      if (message.empty()) return message;
      if ((message[0] == 0 || message[0] == 1) && raw.get16(message, 2) == sequence) return message;
    }
  }
  Bytes xinerama(uint8_t minor, const std::vector<uint32_t>& words) {
    Bytes body(4 * words.size(), 0);
    for (size_t i = 0; i < words.size(); i++) raw.put32(body, 4 * i, words[i]);
    return call(raw.request(major, minor, body));
  }

  RawClient raw;
  uint8_t major = 0;
  uint16_t sequence = 0;

 private:
  std::vector<std::unique_ptr<Xvfb>> servers_;
  std::unique_ptr<ProxyProcess> proxy_;
};

TEST_F(XineramaWire, EveryRequestAnswersInTheClientsOrder) {
  uint32_t root = raw.rootWindow();
  Bytes version = xinerama(0, {0x01010000});
  ASSERT_EQ(version.size(), 32u);
  EXPECT_EQ(raw.get16(version, 8), 1);
  EXPECT_EQ(raw.get16(version, 10), 1);

  Bytes state = xinerama(1, {root});
  ASSERT_EQ(state.size(), 32u);
  EXPECT_EQ(state[0], 1);
  EXPECT_EQ(state[1], 1);

  Bytes count = xinerama(2, {root});
  EXPECT_EQ(count[1], 2);
  // An unknown window counts every meta screen's heads.
  EXPECT_EQ(xinerama(2, {0x7777})[1], 2);

  Bytes size = xinerama(3, {root, 1});
  ASSERT_EQ(size[0], 1);
  EXPECT_EQ(raw.get32(size, 8), 1024u);
  EXPECT_EQ(raw.get32(size, 12), 768u);
  Bytes badWindow = xinerama(3, {0x7777, 0});
  ASSERT_EQ(badWindow[0], 0);
  EXPECT_EQ(badWindow[1], 3);
  EXPECT_EQ(raw.get32(badWindow, 4), 0x7777u);
  Bytes badIndex = xinerama(3, {root, 2});
  ASSERT_EQ(badIndex[0], 0);
  EXPECT_EQ(badIndex[1], 2);
  EXPECT_EQ(raw.get32(badIndex, 4), 2u);

  Bytes active = xinerama(4, {});
  EXPECT_EQ(raw.get32(active, 8), 1u);

  Bytes screens = xinerama(5, {});
  ASSERT_EQ(screens.size(), 32u + 16);
  EXPECT_EQ(raw.get32(screens, 8), 2u);
  const uint16_t expected[] = {0, 0, 1024, 768, 1024, 0, 1024, 768};
  for (int k = 0; k < 8; k++) EXPECT_EQ(raw.get16(screens, 32 + 2 * k), expected[k]) << k;

  // A request of neither length of minor 4.
  Bytes wrong = xinerama(4, {root, 0});
  ASSERT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 16);
}

TEST_F(XineramaWire, WindowAcrossTheSeamIsSplitPerScreen) {
  uint32_t window = raw.resourceIdBase() + 1;
  Bytes create(28, 0);
  raw.put32(create, 0, window);
  raw.put32(create, 4, raw.rootWindow());
  raw.put16(create, 8, 900);
  raw.put16(create, 10, 100);
  raw.put16(create, 12, 300);
  raw.put16(create, 14, 200);
  raw.put16(create, 18, 1);  // InputOutput
  raw.send(raw.request(1, 0, create));
  sequence++;
  Bytes info = xinerama(4, {window});
  ASSERT_EQ(info.size(), 460u) << (info.empty() ? -1 : info[0]);
  EXPECT_EQ(raw.get32(info, 8), window);
  struct Entry {
    uint32_t screenX, x, width;
  } entries[] = {{0, 900, 124}, {1024, 0, 176}};
  for (int i = 0; i < 2; i++) {
    size_t e = 12 + 28 * i;
    EXPECT_EQ(raw.get32(info, e), window) << i;
    EXPECT_EQ(raw.get32(info, e + 4), entries[i].screenX) << i;
    EXPECT_EQ(raw.get32(info, e + 12), entries[i].x) << i;
    EXPECT_EQ(raw.get32(info, e + 16), 100u) << i;
    EXPECT_EQ(raw.get32(info, e + 20), entries[i].width) << i;
    EXPECT_EQ(raw.get32(info, e + 24), 200u) << i;
  }
  EXPECT_EQ(raw.get32(info, 12 + 28 * 2), 0u);
  Bytes unknown = xinerama(4, {0x7777});
  ASSERT_EQ(unknown[0], 0);
  EXPECT_EQ(unknown[1], 3);
}

}  // namespace
}  // namespace palvon::test
