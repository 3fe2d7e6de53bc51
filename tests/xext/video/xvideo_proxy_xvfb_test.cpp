// XVideo through the proxy program in front of two relays that give each
// Xvfb adaptors of their own (A: an image adaptor at port 0x40 and an
// output adaptor at 0x50; B: only an image adaptor at 0x60, at other
// extension codes): clients see A's adaptors that B can serve, and a port
// reaches each server as that server's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xvlib.h>

namespace palvon::test {
namespace {

constexpr uint8_t kInputMask = 0x01, kOutputMask = 0x02, kImageMask = 0x10;

struct FakeAdaptor {
  uint32_t base;
  uint16_t ports;
  uint8_t type;
  std::string name;
};

// xvQueryAdaptors' reply: per adaptor its base, name, ports, one format
// (the root visual) and type.
Bytes adaptorsReply(const std::vector<FakeAdaptor>& adaptors, uint32_t visual, char order) {
  Bytes reply(32, 0);
  reply[0] = 1;
  putWire16(reply, 8, static_cast<uint16_t>(adaptors.size()), order);
  for (const FakeAdaptor& a : adaptors) {
    size_t at = reply.size();
    size_t namePadded = (a.name.size() + 3) & ~size_t{3};
    reply.resize(at + 12 + namePadded + 8, 0);
    putWire32(reply, at, a.base, order);
    putWire16(reply, at + 4, static_cast<uint16_t>(a.name.size()), order);
    putWire16(reply, at + 6, a.ports, order);
    putWire16(reply, at + 8, 1, order);
    reply[at + 10] = a.type;
    std::copy(a.name.begin(), a.name.end(), reply.begin() + static_cast<long>(at + 12));
    putWire32(reply, at + 12 + namePadded, visual, order);
    reply[at + 12 + namePadded + 4] = 24;
  }
  return reply;
}

class XVideoPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    std::vector<std::vector<FakeAdaptor>> adaptors = {
        {{0x40, 2, kInputMask | kImageMask, "image A"}, {0x50, 1, kOutputMask, "output A"}},
        {{0x60, 2, kInputMask | kImageMask, "image B"}}};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "320x240x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      Display* direct = XOpenDisplay(servers.back()->display().c_str());
      ASSERT_NE(direct, nullptr);
      uint32_t visual = static_cast<uint32_t>(XVisualIDFromVisual(DefaultVisual(direct, 0)));
      XCloseDisplay(direct);
      relays.push_back(std::make_unique<ExtensionRelay>(*servers.back()));
      ExtensionRelay& relay = *relays.back();
      ASSERT_TRUE(relay.ok()) << relay.error();
      relay.hideExtension("XVideo");
      uint8_t major = static_cast<uint8_t>(200 + 10 * i);
      relay.addFakeExtension("XVideo", major, static_cast<uint8_t>(100 + 10 * i), static_cast<uint8_t>(180 + 10 * i));
      std::vector<FakeAdaptor> own = adaptors[static_cast<size_t>(i)];
      relay.setFakeResponder(major, [own, visual](const Bytes& request, char order) {
        Bytes reply(32, 0);
        reply[0] = 1;
        switch (request[1]) {
          case 0:  // QueryExtension: 2.2
            putWire16(reply, 8, 2, order);
            putWire16(reply, 10, 2, order);
            return reply;
          case 1:
            return adaptorsReply(own, visual, order);
          // GrabPort (Success) and the queries xvinfo makes per port:
          // empty lists.
          case 2:
          case 3:
          case 12:
          case 14:
          case 15:
          case 16:
          case 17:
            return reply;
          default:
            return Bytes{};
        }
      });
      words.push_back("screen");
      words.push_back(relay.display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  // The ports of requests of a minor that reached relay i.
  std::vector<uint32_t> portsSeen(size_t i, uint8_t minor) {
    std::vector<uint32_t> ports;
    for (const auto& r : relays[i]->allExtensionRequests())
      if (r.major == 200 + 10 * i && r.minor == minor && r.bytes.size() >= 8)
        ports.push_back(wire32(r.bytes, 4, r.order));
    return ports;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::unique_ptr<ExtensionRelay>> relays;
  std::unique_ptr<ProxyProcess> proxy;
};

TEST_F(XVideoPorts, AdaptorsBOfferAndPortsOfEachServer) {
  ProgramResult info = runProgram({"xvinfo"}, proxy->display());
  ASSERT_EQ(info.status, 0) << info.err << proxy->log();
  EXPECT_NE(info.out.find("image A"), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("output A"), std::string::npos) << "an adaptor B lacks is offered\n" << info.out;
  EXPECT_NE(info.out.find("port base: 64"), std::string::npos) << info.out;

  Display* display = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(display, nullptr);
  relays[0]->clearLog();
  relays[1]->clearLog();
  EXPECT_EQ(XvGrabPort(display, 0x41, CurrentTime), Success);
  // One reply for the client, though both servers answered: the next
  // round trip finds nothing left over.
  XSync(display, False);
  EXPECT_EQ(portsSeen(0, 3), std::vector<uint32_t>{0x41});
  EXPECT_EQ(portsSeen(1, 3), std::vector<uint32_t>{0x61});
  XvUngrabPort(display, 0x41, CurrentTime);
  XSync(display, False);
  EXPECT_EQ(portsSeen(1, 4), std::vector<uint32_t>{0x61});
  XCloseDisplay(display);
}

// Xvfb's XVideo has no adaptors: through the proxy xvinfo says the same.
TEST(XVideoPlain, XvinfoAsOnTheServer) {
  Xvfb server({"-screen", "0", "320x240x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult direct = runProgram({"xvinfo"}, server.display());
  ProgramResult through = runProgram({"xvinfo"}, proxy.display());
  ASSERT_EQ(through.status, 0) << through.err << proxy.log();
  auto body = [](const std::string& text) { return text.substr(text.find('\n') + 1); };  // after "X-Video ... version"
  EXPECT_EQ(body(through.out), body(direct.out));
}

}  // namespace
}  // namespace palvon::test
