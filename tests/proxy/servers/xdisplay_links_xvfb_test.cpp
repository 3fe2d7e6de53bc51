// A client's links when one of its servers is lost under Failsafe: the
// server goes with its links, the client stays on the others.
#include <gtest/gtest.h>

#include <signal.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "support/linkrig.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

TEST(LostServerLinks, AClientKeepsItsOtherServersWhenOneIsLost) {
  proxyConfig.options = kOptionFailsafe;
  test::Xvfb lost, kept;
  ASSERT_TRUE(lost.ok() && kept.ok());
  test::LinkRig rig;
  ServerDisplay* lostRecord = nullptr;
  ServerDisplay* keptRecord = nullptr;
  ASSERT_EQ(openServerDisplay(lost.display().c_str(), 5000, &lostRecord), nullptr);
  ASSERT_EQ(openServerDisplay(kept.display().c_str(), 5000, &keptRecord), nullptr);
  ServerLink* lostLink = rig.open(lost, false, 0);
  ServerLink* keptLink = rig.open(kept, false, 1);
  ASSERT_TRUE(lostLink && keptLink);
  lostLink->server.display = lostRecord;
  keptLink->server.display = keptRecord;
  ProxyClient* client = rig.client();
  client->previous = client;
  clientList = client;

  kill(lost.pid(), SIGKILL);
  test::stopProcess(lost.pid(), SIGKILL, 2000);
  EXPECT_TRUE(rig.pump([&] { return openLinkCount(client) == 1; }, 5000));
  ASSERT_EQ(openLinkCount(client), 1u);
  // The kept server's link stays in its slot; the lost one's slot is empty.
  EXPECT_EQ(clientLink(client, 0), nullptr);
  EXPECT_EQ(clientLink(client, 1), keptLink);
  EXPECT_EQ(keptLink->server.serverIndex, 1u);
  ASSERT_EQ(serverDisplayList, keptRecord);
  EXPECT_EQ(keptRecord->index, 1u);
  EXPECT_EQ(keptRecord->next, nullptr);
  EXPECT_TRUE(rig.sync());

  clientList = nullptr;
  freeServerDisplay(keptRecord);
  proxyConfig.options = 0;
}

}  // namespace
}  // namespace palvon
