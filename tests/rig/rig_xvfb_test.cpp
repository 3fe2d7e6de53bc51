// The test rig itself against real Xvfb servers: servers start on their own
// display numbers and are gone afterwards, the raw client speaks both byte
// orders, X programs run with a deadline.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

TEST(Rig, TwoServersAtOnceAndNothingLeftBehind) {
  pid_t first, second;
  {
    Xvfb a({"-screen", "0", "640x480x24"});
    Xvfb b({"-screen", "0", "800x600x16"});
    ASSERT_TRUE(a.ok()) << a.error();
    ASSERT_TRUE(b.ok()) << b.error();
    EXPECT_NE(a.number(), b.number());
    first = a.pid();
    second = b.pid();
    ProgramResult ra = runProgram({"xdpyinfo"}, a.display());
    ProgramResult rb = runProgram({"xdpyinfo"}, b.display());
    ASSERT_EQ(ra.status, 0) << ra.err;
    ASSERT_EQ(rb.status, 0) << rb.err;
    EXPECT_NE(ra.out.find("640x480 pixels"), std::string::npos);
    EXPECT_NE(rb.out.find("800x600 pixels"), std::string::npos);
    EXPECT_NE(rb.out.find("depth of root window:    16 planes"), std::string::npos);
  }
  EXPECT_EQ(kill(first, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(kill(second, 0), -1);
}

class RigByteOrder : public ::testing::TestWithParam<char> {};

TEST_P(RigByteOrder, SetupAndRoundTrip) {
  Xvfb x({"-screen", "0", "320x200x24"});
  ASSERT_TRUE(x.ok()) << x.error();
  RawClient c;
  ASSERT_TRUE(c.connectUnix(x.number()));
  ASSERT_EQ(c.setup(GetParam()), 1);
  EXPECT_EQ(c.get16(c.setupReply(), 2), 11);  // protocol major
  EXPECT_NE(c.resourceIdBase(), 0u);
  uint32_t root = c.rootWindow();
  ASSERT_NE(root, 0u);

  // GetGeometry of the root: the reply's sequence and fields come back in
  // this client's byte order.
  Bytes body(4);
  c.put32(body, 0, root);
  ASSERT_TRUE(c.send(c.request(14, 0, body)));
  Bytes reply = c.readMessage();
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(c.get16(reply, 2), 1);
  EXPECT_EQ(c.get32(reply, 8), root);
  EXPECT_EQ(c.get16(reply, 16), 320);
  EXPECT_EQ(c.get16(reply, 18), 200);

  // A bad window gives an error for sequence 2.
  c.put32(body, 0, 0x1234);
  ASSERT_TRUE(c.send(c.request(14, 0, body)));
  Bytes error = c.readMessage();
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], 9);  // BadDrawable
  EXPECT_EQ(c.get16(error, 2), 2);
  EXPECT_EQ(c.get32(error, 4), 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, RigByteOrder, ::testing::Values('l', 'B'));

TEST(Rig, ProgramDeadlineAndExitStatus) {
  ProgramResult slow = runProgram({"sleep", "5"}, "", 200);
  EXPECT_TRUE(slow.timedOut);
  ProgramResult missing = runProgram({"/nonexistent/program"}, "", 2000);
  EXPECT_EQ(missing.status, 127);
  ClaimedDisplay absent(7000);
  ASSERT_TRUE(absent.ok());
  ProgramResult noServer = runProgram({"xdpyinfo"}, absent.name(), 5000);
  EXPECT_NE(noServer.status, 0);
  EXPECT_FALSE(noServer.timedOut);
}

}  // namespace
}  // namespace palvon::test
