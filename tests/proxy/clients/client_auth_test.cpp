// Authorization of connecting clients over a real socket. Loading cookies
// switches the local host off for the rest of the process, hence a file of
// its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::RawClient;
using ClientAuthorization = test::ProxyLoopTest;

TEST_F(ClientAuthorization, MitCookieFromXauthIsAcceptedAndAWrongOneRefused) {
  test::TempDir dir;
  std::string file = dir.file("auth");
  std::string hex = "0123456789abcdef0123456789abcdef";
  test::ProgramResult r = test::runProgram(
      {"xauth", "-f", file, "add", ":" + std::to_string(display), "MIT-MAGIC-COOKIE-1", hex}, "", 10000);
  ASSERT_EQ(r.status, 0) << r.err;
  setHostAccessFile(file.c_str());
  static int sessions;
  sessions = 0;
  clientHooks.sessionStarted = [](int) { sessions++; };
  std::string cookie;
  for (size_t i = 0; i < hex.size(); i += 2) cookie += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));

  RawClient good;
  ASSERT_TRUE(good.connectUnix(display));
  ASSERT_TRUE(stepUntil([] { return clientCount == 1; }));
  ProxyClient* client = clientList;
  good.send(setupBytes('l', 11, 0, 0, 0, "MIT-MAGIC-COOKIE-1", cookie));
  ASSERT_TRUE(stepUntil([&] { return client->parser.bytesNeeded == kParserRequests; }));
  EXPECT_GT(client->authorizationId, 0u);
  ASSERT_EQ(client->grantedLength, 16u);
  EXPECT_EQ(0, memcmp(client->grantedData, cookie.data(), 16));
  EXPECT_EQ(sessions, 1);

  std::string wrong = cookie;
  wrong[0] ^= 1;
  for (const std::string& data : {wrong, std::string()}) {
    RawClient bad;
    ASSERT_TRUE(bad.connectUnix(display));
    bad.send(setupBytes('l', 11, 0, 0, 0, "MIT-MAGIC-COOKIE-1", data));
    EXPECT_EQ(refusalText(bad), "Invalid MIT-MAGIC-COOKIE-1 key");
    EXPECT_TRUE(peerClosed(bad));
  }
  EXPECT_EQ(sessions, 1);  // a display-manager session starts only with an authorized client
  setHostAccessFile(nullptr);
}

}  // namespace
}  // namespace palvon
