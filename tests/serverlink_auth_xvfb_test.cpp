// A link finds its server's own credentials (never another host's through a
// wildcard match) and presents them in the form the protocol asks for.
#include <gtest/gtest.h>
#include <X11/X.h>
#include <X11/Xauth.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Proxy/serverlink.h"
#include "base/hostclock.h"
#include "support/linkrig.h"
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

// Restores XAUTHORITY at the end of the scope.
class AuthorityEnvironment {
 public:
  explicit AuthorityEnvironment(const std::string& path) {
    const char* old = std::getenv("XAUTHORITY");
    had_ = old != nullptr;
    if (old) old_ = old;
    setenv("XAUTHORITY", path.c_str(), 1);
  }
  ~AuthorityEnvironment() {
    if (had_)
      setenv("XAUTHORITY", old_.c_str(), 1);
    else
      unsetenv("XAUTHORITY");
  }

 private:
  bool had_ = false;
  std::string old_;
};

class LinkAuthorization : public ::testing::TestWithParam<const char*> {};

TEST_P(LinkAuthorization, UsesTheServersOwnCredentials) {
  TempDir dir;
  const std::string protocol = GetParam();
  // An XDM-AUTHORIZATION-1 key's first byte is zero (servers refuse others).
  const std::string right("01234567\0abcdefg", 16);
  const std::string wrong("76543210\0gfedcba", 16);
  // The server only knows the right key, whatever display it becomes.
  writeAuthority(dir.file("server"), {{FamilyLocal, hostName(), "0", protocol, right}});
  Xvfb xvfb({"-screen", "0", "640x480x24", "-auth", dir.file("server")});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  std::string number = std::to_string(xvfb.number());
  // Another host's entry for the same display number comes first: a
  // wildcard look-up would pick it.
  writeAuthority(dir.file("client"), {{FamilyInternet, std::string("\x0a\x01\x02\x03", 4), number, protocol, wrong},
                                      {FamilyLocal, hostName(), number, protocol, right}});
  AuthorityEnvironment environment(dir.file("client"));
  LinkRig rig;
  ServerLink* link = rig.open(xvfb, false);
  ASSERT_NE(link, nullptr);
  EXPECT_FALSE(link->refused);
}

// This host's first IPv4 address that is not loopback, or "".
std::string externalAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string found;
  for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK)) continue;
    auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
    found.assign(reinterpret_cast<const char*>(&in->sin_addr), 4);
  }
  freeifaddrs(list);
  return found;
}

TEST_P(LinkAuthorization, UsesTheTcpServersOwnAddress) {
  std::string address = externalAddress();
  if (address.empty()) GTEST_SKIP() << "no IPv4 address besides loopback";
  TempDir dir;
  const std::string protocol = GetParam();
  const std::string right("01234567\0abcdefg", 16);
  const std::string wrong("76543210\0gfedcba", 16);
  writeAuthority(dir.file("server"), {{FamilyLocal, hostName(), "0", protocol, right}});
  Xvfb xvfb({"-screen", "0", "640x480x24", "-listen", "tcp", "-auth", dir.file("server")});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  std::string number = std::to_string(xvfb.number());
  writeAuthority(dir.file("client"), {{FamilyInternet, std::string("\x0a\x01\x02\x03", 4), number, protocol, wrong},
                                      {FamilyLocal, hostName(), number, protocol, wrong},
                                      {FamilyInternet, address, number, protocol, right}});
  AuthorityEnvironment environment(dir.file("client"));
  char dotted[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, address.data(), dotted, sizeof dotted);
  std::string name = std::string(dotted) + ":" + number;
  LinkRig rig;
  LinkServerInfo info{};
  info.displayName = name.c_str();
  info.offlineTimeoutMs = 5000;
  ServerLink* link = openServerLink(rig.client(), info);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->family, FamilyInternet);
  EXPECT_EQ(waitServerLinkSetup(link), nullptr);
}

TEST_P(LinkAuthorization, RefusedSetupIsReported) {
  TempDir dir;
  const std::string protocol = GetParam();
  writeAuthority(dir.file("server"), {{FamilyLocal, hostName(), "0", protocol, std::string("01234567\0abcdefg", 16)}});
  Xvfb xvfb({"-screen", "0", "640x480x24", "-auth", dir.file("server")});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  writeAuthority(dir.file("client"),
                 {{FamilyLocal, hostName(), std::to_string(xvfb.number()), protocol, std::string("76543210\0gfedcba", 16)}});
  AuthorityEnvironment environment(dir.file("client"));
  LinkRig rig;
  std::string name = xvfb.display();
  LinkServerInfo info{};
  info.displayName = name.c_str();
  info.offlineTimeoutMs = 5000;
  ServerLink* link = openServerLink(rig.client(), info);
  ASSERT_NE(link, nullptr);
  const char* error = waitServerLinkSetup(link);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Failed client setup from " + name + " - Maybe maximum number of clients reached");
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
