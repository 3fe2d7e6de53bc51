// Authorization protocols: cookies from an authority file written by xauth,
// XDM-AUTHORIZATION-1 authenticators wrapped with libXdmcp, and the refusal
// paths of SUN-DES-1 without a key server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>

extern "C" {
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "Proxy/clients/access.h"
#include "Proxy/clients/auth.h"
#include "support/tempdir.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

const char kMit[] = "MIT-MAGIC-COOKIE-1";
const char kXdm[] = "XDM-AUTHORIZATION-1";
const char kDes[] = "SUN-DES-1";
// ONC RPC authentication flavours.
constexpr u32 kAuthNone = 0, kAuthUnix = 1, kAuthDes = 3;

std::string bytesOf(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
  return out;
}

i32 check(const char* name, const std::string& data, const char** reason, const AccessClient* client = nullptr) {
  *reason = nullptr;
  return checkAuthorization(static_cast<u16>(strlen(name)), name, static_cast<u16>(data.size()),
                            reinterpret_cast<const u8*>(data.data()), client, reason);
}

void xauthAdd(const std::string& file, const char* display, const char* hex) {
  test::ProgramResult r = test::runProgram({"xauth", "-f", file, "add", display, kMit, hex}, "", 10000);
  ASSERT_EQ(r.status, 0) << r.err;
}

// Moves the file's modification time forward so that a reload is seen even
// within the clock's granularity.
void touchLater(const std::string& file, int seconds) {
  struct stat info{};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  timespec times[2] = {info.st_atim, info.st_mtim};
  times[1].tv_sec += seconds;
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(Authorization, ProtocolNamesAndMitCookiesFromTheAuthorityFile) {
  test::TempDir dir;
  std::string file = dir.file("auth");
  xauthAdd(file, ":0", "00112233445566778899aabbccddeeff");
  xauthAdd(file, ":1", "ffeeddccbbaa99887766554433221100");
  setHostAccessFile(file.c_str());
  const char* reason;
  EXPECT_EQ(check("", "", &reason), -1);
  EXPECT_STREQ(reason, "No protocol specified\n");
  EXPECT_EQ(check("NO-SUCH-PROTOCOL", "x", &reason), -1);
  EXPECT_STREQ(reason, "Protocol not supported by server\n");

  i32 first = check(kMit, bytesOf("00112233445566778899aabbccddeeff"), &reason);
  i32 second = check(kMit, bytesOf("ffeeddccbbaa99887766554433221100"), &reason);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  EXPECT_EQ(check(kMit, bytesOf("0011"), &reason), -1);
  EXPECT_STREQ(reason, "Invalid MIT-MAGIC-COOKIE-1 key");
  // Every byte counts, the last eight as much as the first.
  EXPECT_EQ(check(kMit, bytesOf("0011223344556677" "8899aabbccddee00"), &reason), -1);
  EXPECT_EQ(check(kMit, bytesOf("0011223344556677" "0000000000000000"), &reason), -1);

  // A cookie removed from the file stops being valid at the next check, and
  // the old entries do not stay behind.
  test::ProgramResult r = test::runProgram({"xauth", "-f", file, "remove", ":1"}, "", 10000);
  ASSERT_EQ(r.status, 0) << r.err;
  touchLater(file, 5);
  EXPECT_EQ(check(kMit, bytesOf("ffeeddccbbaa99887766554433221100"), &reason), -1);
  i32 reloaded = check(kMit, bytesOf("00112233445566778899aabbccddeeff"), &reason);
  EXPECT_GT(reloaded, std::max(first, second));
  u16 nameLength = 0, dataLength = 0;
  const char* name = nullptr;
  const u8* data = nullptr;
  EXPECT_FALSE(authorizationFromID(first, &nameLength, &name, &dataLength, &data));
  setHostAccessFile(nullptr);
  resetAuthorizationProtocols();
}

// The plain authenticator: rho, address, port, time, six zero bytes.
std::string xdmPlain(const u8 rho[8], const u8 address[4], u16 port, i64 t) {
  std::string plain(24, '\0');
  memcpy(&plain[0], rho, 8);
  memcpy(&plain[8], address, 4);
  plain[12] = static_cast<char>(port >> 8);
  plain[13] = static_cast<char>(port);
  for (int i = 0; i < 4; i++) plain[14 + i] = static_cast<char>(t >> (24 - 8 * i));
  return plain;
}

std::string xdmWrap(std::string plain, const u8 key[8]) {
  std::string out(plain.size(), '\0');
  XdmcpWrap(reinterpret_cast<u8*>(&plain[0]), const_cast<u8*>(key), reinterpret_cast<u8*>(&out[0]),
            static_cast<int>(plain.size()));
  return out;
}

TEST(Authorization, XdmAuthorizationAcceptsOnceAndRefusesReplays) {
  setHostAccessFile(nullptr);
  resetAuthorizationProtocols();
  const u8 rho[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const u8 key[8] = {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  std::string entry(reinterpret_cast<const char*>(rho), 8);
  entry.append(reinterpret_cast<const char*>(key), 8);
  ASSERT_TRUE(addAuthorization(19, kXdm, 16, reinterpret_cast<const u8*>(entry.data())));
  std::string badKey = entry;
  badKey[8] = 1;  // a DES key's first byte must be 0
  EXPECT_FALSE(addAuthorization(19, kXdm, 16, reinterpret_cast<const u8*>(badKey.data())));

  AccessClient client{};
  client.descriptor = -1;
  auto* in = reinterpret_cast<sockaddr_in*>(&client.peer);
  in->sin_family = AF_INET;
  inet_pton(AF_INET, "192.0.2.5", &in->sin_addr);
  client.peerLength = sizeof(sockaddr_in);
  const u8 address[4] = {192, 0, 2, 5}, otherAddress[4] = {192, 0, 2, 6};
  i64 now = time(nullptr);
  const char* reason;

  std::string authenticator = xdmWrap(xdmPlain(rho, address, 4000, now), key);
  EXPECT_GE(check(kXdm, authenticator, &reason, &client), 0);
  EXPECT_EQ(check(kXdm, authenticator, &reason, &client), -1);
  EXPECT_STREQ(reason, "XDM authorization key matches an existing client!");
  // The same moment from another port is another client.
  EXPECT_GE(check(kXdm, xdmWrap(xdmPlain(rho, address, 4001, now), key), &reason, &client), 0);

  struct Case {
    const char* name;
    std::string data;
    const char* reason;
  } cases[] = {
      {"not a multiple of 8", std::string(20, 'x'), nullptr},
      {"wrong length", std::string(16, 'x'), "Bad XDM authorization key length"},
      {"wrong rho", xdmWrap(xdmPlain(key, address, 1, now), key),
       "Invalid XDM-AUTHORIZATION-1 key (failed key comparison)"},
      {"other address", xdmWrap(xdmPlain(rho, otherAddress, 1, now), key),
       "Invalid XDM-AUTHORIZATION-1 key (failed address comparison)"},
      {"clock far ahead", xdmWrap(xdmPlain(rho, address, 2, now + 1300), key),
       "Excessive XDM-AUTHORIZATION-1 time offset"},
      {"clock far behind", xdmWrap(xdmPlain(rho, address, 2, now - 1300), key),
       "Excessive XDM-AUTHORIZATION-1 time offset"},
  };
  std::string tail = xdmPlain(rho, address, 3, now);
  tail[20] = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check(kXdm, c.data, &reason, &client), -1);
    if (c.reason) {
      EXPECT_STREQ(reason, c.reason);
    }
  }
  // Inside the window on either side is accepted.
  EXPECT_GE(check(kXdm, xdmWrap(xdmPlain(rho, address, 5, now + 1100), key), &reason, &client), 0);
  EXPECT_GE(check(kXdm, xdmWrap(xdmPlain(rho, address, 6, now - 1100), key), &reason, &client), 0);
  EXPECT_EQ(check(kXdm, xdmWrap(tail, key), &reason, &client), -1);
  EXPECT_STREQ(reason, "Invalid XDM-AUTHORIZATION-1 key (failed NULL check)");

  EXPECT_TRUE(removeAuthorization(19, kXdm, 16, reinterpret_cast<const u8*>(entry.data())));
  EXPECT_EQ(check(kXdm, xdmWrap(xdmPlain(rho, address, 4002, now), key), &reason, &client), -1);
  resetAuthorizationProtocols();
}

std::string xdrCredential(u32 flavour, const std::string& body) {
  std::string out;
  auto put32 = [&out](u32 v) {
    u32 n = htonl(v);
    out.append(reinterpret_cast<const char*>(&n), 4);
  };
  put32(flavour);
  put32(static_cast<u32>(body.size()));
  out += body;
  out.append((4 - body.size() % 4) % 4, '\0');
  return out;
}

TEST(Authorization, SecureRpcRefusesWithoutAKeyServer) {
  setHostAccessFile(nullptr);
  resetAuthorizationProtocols();
  const char* reason;
  std::string unixCredential = xdrCredential(kAuthUnix, "abcd") + xdrCredential(kAuthNone, "");
  EXPECT_EQ(check(kDes, unixCredential, &reason), -1);
  EXPECT_STREQ(reason, "Secure RPC authorization not initialized");

  sunDesInit();
  EXPECT_EQ(check(kDes, unixCredential, &reason), -1);
  EXPECT_STREQ(reason, "Unable to authenticate secure RPC client (why=5)");
  EXPECT_EQ(check(kDes, "abc", &reason), -1);  // not even one record
  EXPECT_STREQ(reason, "Unable to authenticate secure RPC client (why=1)");
  std::string huge = xdrCredential(kAuthDes, std::string(1000, 'x'));  // over the record limit
  EXPECT_EQ(check(kDes, huge + xdrCredential(kAuthNone, ""), &reason), -1);
  EXPECT_STREQ(reason, "Unable to authenticate secure RPC client (why=1)");
  // A nickname credential names no conversation the platform knows.
  std::string nickname = xdrCredential(kAuthDes, std::string("\0\0\0\1\0\0\0\7", 8)) +
                         xdrCredential(kAuthDes, std::string(12, '\0'));
  EXPECT_EQ(check(kDes, nickname, &reason), -1);
  EXPECT_NE(strstr(reason, "Unable to authenticate secure RPC client"), nullptr);
  resetAuthorizationProtocols();
}

}  // namespace
}  // namespace palvon
