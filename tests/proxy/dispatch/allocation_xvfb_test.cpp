// Allocations on the hot path: requests forwarded through the in-process
// proxy to real servers and their replies read back by a raw client, with
// every malloc, calloc and realloc of the program counted (this test is
// linked with the allocator's entry points wrapped).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "base/orders.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"
#include "support/xvfb.h"

namespace {
// Counted only while a measurement runs; the test's own bookkeeping keeps
// out of the window.
bool counting = false;
unsigned long allocations = 0;
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* pointer, size_t size);
void* __wrap_malloc(size_t size) {
  if (counting) allocations++;
  return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
  if (counting) allocations++;
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* pointer, size_t size) {
  if (counting) allocations++;
  return __real_realloc(pointer, size);
}
}

namespace palvon {
namespace {

using test::RawClient;

constexpr u32 kBatch = 1000;         // GetInputFocus requests per write
constexpr u32 kMeasured = 100000;    // requests in the measured window

// The proxy's forwarding of a request that has a reply: along its row's
// route (one head), answered by that head's server.
void forwardToRoute(u8* request, u32 length) { forwardRequest(request, length); }

class Forwarding : public test::ProxyLoopTest, public ::testing::WithParamInterface<u32> {
 protected:
  void SetUp() override {
    for (u32 i = 0; i < GetParam(); i++) {
      servers_.push_back(std::make_unique<test::Xvfb>());
      ASSERT_TRUE(servers_.back()->ok()) << servers_.back()->error();
      names_.push_back(servers_.back()->display());
    }
    for (u32 i = 0; i < GetParam(); i++) {
      LinkServerInfo info{};
      info.displayName = names_[i].c_str();
      info.serverIndex = i;
      info.offlineTimeoutMs = 10000;
      infos_.push_back(info);
    }
    clientServerList = ClientServerList{infos_.data(), GetParam()};
    ProxyLoopTest::SetUp();
    test::setTestRequestRow(43, forwardToRoute, "bbs", exactSize(4), nullptr, "bbsii", Route::kMainHead);
    for (u32 k = 0; k < kBatch; k++) {
      const u8 getInputFocus[4] = {43, 0, 1, 0};
      batch_.insert(batch_.end(), getInputFocus, getInputFocus + 4);
    }
  }
  void TearDown() override {
    ProxyLoopTest::TearDown();
    clientServerList = ClientServerList{};
  }

  // Sends one batch and runs the proxy until every reply is read back;
  // false when they did not come.
  bool roundOfRequests(RawClient& raw) {
    static u8 replies[kBatch * 32];
    size_t sent = 0, got = 0;
    for (int step = 0; step < 20000 && got < sizeof replies; step++) {
      if (sent < batch_.size()) {
        ssize_t n = ::send(raw.fd(), batch_.data() + sent, batch_.size() - sent, MSG_DONTWAIT);
        if (n > 0) sent += static_cast<size_t>(n);
      }
      ordersRun(1);
      ssize_t n = recv(raw.fd(), replies + got, sizeof replies - got, MSG_DONTWAIT);
      if (n > 0) got += static_cast<size_t>(n);
    }
    for (size_t k = 0; k < got; k += 32) {
      if (replies[k] != 1) return false;
    }
    return got == sizeof replies;
  }

  std::vector<std::unique_ptr<test::Xvfb>> servers_;
  std::vector<std::string> names_;
  std::vector<LinkServerInfo> infos_;
  std::vector<u8> batch_;
};

// One head: nothing is allocated once the buffers exist. Two heads: every
// request waits on a pending entry until both servers have passed it; the
// entries, their held replies and the round trips are recycled, so the
// bound of one block per entry is met with room to spare.
TEST_P(Forwarding, HundredThousandRequestsAllocateNothingInSteadyState) {
  RawClient raw;
  ProxyClient* client = connect(raw);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(openLinkCount(client), GetParam());
  for (int warm = 0; warm < 3; warm++) ASSERT_TRUE(roundOfRequests(raw)) << "warm-up " << warm;
  u64 sentBefore[2] = {};
  for (u32 i = 0; i < GetParam(); i++) sentBefore[i] = clientLink(client, i)->requestsSent;
  allocations = 0;
  counting = true;
  bool answered = true;
  for (u32 k = 0; k < kMeasured / kBatch && answered; k++) answered = roundOfRequests(raw);
  counting = false;
  ASSERT_TRUE(answered);
  // The requests go to the first head; the round trips that release them
  // are one per link per flush, not one per request.
  for (u32 i = 0; i < GetParam(); i++) {
    u64 sent = clientLink(client, i)->requestsSent - sentBefore[i];
    u64 forwarded = i == 0 ? kMeasured : 0;
    EXPECT_GE(sent, forwarded) << "link " << i;
    if (GetParam() > 1) {
      EXPECT_LE(sent, forwarded + kMeasured / 10) << "link " << i;
    }
  }
  if (GetParam() == 1) {
    EXPECT_EQ(allocations, 0u);
  } else {
    EXPECT_LE(allocations, kMeasured) << "at most one block per pending entry";
    EXPECT_LE(allocations, 100u) << "recycled records allocate nothing in steady state";
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, Forwarding, ::testing::Values(1u, 2u),
                         [](const auto& info) { return info.param == 1 ? "OneHead" : "TwoHeads"; });

}  // namespace
}  // namespace palvon
