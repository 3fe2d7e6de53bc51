// A link finds its server's own credentials (never another host's through a
// wildcard match) and presents them in the form the protocol asks for.
#include <gtest/gtest.h>
#include <X11/X.h>
#include <X11/Xauth.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Proxy/links/serverauth.h"
#include "Proxy/links/serverlink.h"
#include "base/hostclock.h"
#include "support/linkrig.h"
#include "support/netns.h"
#include "support/tempdir.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

struct Credential {
  u16 family;
  std::string address;
  std::string number;
  std::string name;
  std::string data;
};

void writeAuthority(const std::string& path, const std::vector<Credential>& entries) {
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  for (const Credential& c : entries) {
    Xauth auth{};
    auth.family = c.family;
    auth.address = const_cast<char*>(c.address.data());
    auth.address_length = static_cast<unsigned short>(c.address.size());
    auth.number = const_cast<char*>(c.number.data());
    auth.number_length = static_cast<unsigned short>(c.number.size());
    auth.name = const_cast<char*>(c.name.data());
    auth.name_length = static_cast<unsigned short>(c.name.size());
    auth.data = const_cast<char*>(c.data.data());
    auth.data_length = static_cast<unsigned short>(c.data.size());
    ASSERT_EQ(XauWriteAuth(file, &auth), 1);
  }
  std::fclose(file);
}

// The server authorization file for the scope; the proxy's environment is
// never where it looks.
struct ServerAuthority {
  explicit ServerAuthority(const std::string& path) { setServerAuthorityFile(path.c_str()); }
  ~ServerAuthority() { forgetServerCredentials(); }
};

// An XDM-AUTHORIZATION-1 key's first byte is zero (servers refuse others).
const std::string kRight("01234567\0abcdefg", 16);
const std::string kWrong("76543210\0gfedcba", 16);
const std::string kOtherHost("\x0a\x01\x02\x03", 4);

class LinkAuthorization : public ::testing::TestWithParam<const char*> {
 protected:
  // A server that only knows the right key, whatever display it becomes.
  void startServer(bool tcp) {
    writeAuthority(dir.file("server"), {{FamilyLocal, hostName(), "0", protocol, kRight}});
    std::vector<std::string> args{"-screen", "0", "640x480x24", "-auth", dir.file("server")};
    if (tcp) args.insert(args.end(), {"-listen", "tcp"});
    xvfb.emplace(args);
    ASSERT_TRUE(xvfb->ok()) << xvfb->error();
    number = std::to_string(xvfb->number());
  }
  // Opens a link to `name` with `entries` as the client's authority; the
  // set-up's error, "" when the server accepted.
  std::string setUpLink(const std::string& name, const std::vector<Credential>& entries, u16* family = nullptr) {
    writeAuthority(dir.file("client"), entries);
    ServerAuthority authority(dir.file("client"));
    LinkServerInfo info{};
    info.displayName = name.c_str();
    info.offlineTimeoutMs = 5000;
    ServerLink* link = openServerLink(rig.client(), info);
    if (!link) return "no link";
    if (family) *family = link->family;
    const char* error = waitServerLinkSetup(link);
    std::string result = error ? error : "";
    // The server's slot is free again for the next try.
    closeServerLink(link);
    return result;
  }
  const std::string protocol = GetParam();
  TempDir dir;
  std::optional<Xvfb> xvfb;
  std::string number;
  LinkRig rig;
};

// Another host's entry for the same display number comes first: a wildcard
// look-up would pick it.
TEST_P(LinkAuthorization, UsesTheServersOwnCredentialsAndReportsARefusal) {
  startServer(false);
  EXPECT_EQ(setUpLink(xvfb->display(), {{FamilyInternet, kOtherHost, number, protocol, kWrong},
                                        {FamilyLocal, hostName(), number, protocol, kRight}}),
            "");
  EXPECT_EQ(setUpLink(xvfb->display(), {{FamilyLocal, hostName(), number, protocol, kWrong}}),
            "Failed client setup from " + xvfb->display() + " - Maybe maximum number of clients reached");
}

// A TCP server is found by its own address: inside a network of the test's
// own, so that nothing reaches beyond this machine's loopback.
TEST_P(LinkAuthorization, UsesTheTcpServersOwnAddress) {
  PrivateNetwork network;
  if (!network.ok()) GTEST_SKIP() << "no private network: " << network.error();
  startServer(true);
  std::string address = PrivateNetwork::addressBytes();
  u16 family = 0;
  EXPECT_EQ(setUpLink(std::string(PrivateNetwork::kPrivateAddress) + ":" + number,
                      {{FamilyInternet, kOtherHost, number, protocol, kWrong},
                       {FamilyLocal, hostName(), number, protocol, kWrong},
                       {FamilyInternet, address, number, protocol, kRight}},
                      &family),
            "");
  EXPECT_EQ(family, FamilyInternet);
}

INSTANTIATE_TEST_SUITE_P(Protocols, LinkAuthorization, ::testing::Values("MIT-MAGIC-COOKIE-1", "XDM-AUTHORIZATION-1"),
                         [](const auto& info) { return std::string(info.param)[0] == 'M' ? "Mit" : "Xdm"; });

TEST(LinkLimits, AThirtyThirdServerIsRefused) {
  LinkRig rig;
  LinkServerInfo info{};
  info.displayName = ":0";
  info.serverIndex = 32;
  EXPECT_EQ(allocServerLink(rig.client(), info), nullptr);
  EXPECT_EQ(rig.client()->linkCount, 0u);
}

}  // namespace
}  // namespace palvon::test
