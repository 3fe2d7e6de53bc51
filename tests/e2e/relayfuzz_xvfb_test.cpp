// The proxy against a server that lies: a relay changes one message the
// real Xvfb sends on the proxy's own connection (the set-up answer, a
// reply, an event or an error: cut, lengthened, shortened, dropped, sent
// twice, or turned into a generic event of 0xffffffff words), chosen by a
// seed. Every run must end in one of three ways, each within a bound: the
// proxy serves, it dropped the server (option Failsafe), or it exited with
// status 1 and a message naming the display. An exit signal always ends
// it within the offline time-out.
//
// PALVON_RELAY_SEEDS sets the number of seeds per message kind (default
// 200). The seeds of a kind are split into shards, each a test of its own
// with its own Xvfb, so that ctest runs them side by side.
// PALVON_RELAY_FIRST skips the seeds below it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "support/peers/mutrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadyMs = 15000;  // start-up: ready or ended by then (ASan, a loaded machine)
// The connect, offline (and so guard) time-out of the runs. A lie that
// stalls a connection costs a run this long, so it is short; an honest
// server slower than this under load only turns a run into a drop or an
// exit 1, both of which the runs accept as well.
constexpr int kOfflineMs = 250;
constexpr const char* kOfflineWord = "0.250";  // seconds.milliseconds
constexpr int kExitBoundMs = kOfflineMs + 3000;  // after SIGTERM
constexpr uint32_t kShards = 4;                  // per kind

uint32_t seedCount() {
  const char* text = getenv("PALVON_RELAY_SEEDS");
  long n = text ? strtol(text, nullptr, 10) : 0;
  return n > 0 ? uint32_t(n) : 200;
}

class LyingRelay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new Xvfb({"-screen", "0", "320x240x24"}); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  static Xvfb* server;
};
Xvfb* LyingRelay::server = nullptr;

// One shard of one kind's seeds.
class LyingRelaySeeds : public LyingRelay,
                        public ::testing::WithParamInterface<std::tuple<Mutation::Kind, uint32_t>> {};

// The longest a SIGTERM took to end a proxy that was ready, over the runs.
long slowestExitMs = 0;
// How the runs ended, printed per shard: the short time-outs must not
// turn most runs into start-ups that simply gave up.
int runsServing = 0, runsEnded = 0;

// One run; failures name the run and the mutation.
void runOnce(const Xvfb& real, const std::string& name, const Mutation& mutation, bool failsafe, bool onLink) {
  SCOPED_TRACE(name + ": " + mutation.describe() + (failsafe ? " (Failsafe)" : "") +
               (onLink ? " on a client's MSB-first link" : ""));
  MutatingRelay relay(real.socketPath(), mutation, onLink ? 1 : 0);
  ASSERT_TRUE(relay.ok());
  std::vector<std::string> words{"noReset", "on", "screen", relay.display() + ".0", "connectTimeout", kOfflineWord,
                                 "failsafeTimeout", kOfflineWord};
  if (onLink) words.insert(words.end(), {"tags", "ByteSwapToXServer"});
  if (failsafe) words.insert(words.end(), {"options", "Failsafe"});
  // A sanitizer report must not pass for the exit status 1 of a refusal.
  TempDir reports;
  std::string asan = "ASAN_OPTIONS=exitcode=86:detect_leaks=0:log_path=" + reports.file("asan");
  std::string ubsan = "UBSAN_OPTIONS=exitcode=87:log_path=" + reports.file("ubsan");
  ProxyProcess proxy(words, {asan, ubsan}, kReadyMs);
  // Whatever a sanitizer wrote, shown with any failure of this run.
  auto sanitizerReports = [&] {
    std::string text;
    if (DIR* dir = opendir(reports.path().c_str())) {
      while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') text += readFile(reports.file(entry->d_name));
      closedir(dir);
    }
    return text;
  };
  if (!proxy.ok()) {
    int status = proxy.wait(0);
    if (status == -1) {
      // Neither ready nor ended: a hang. The exit signal must still work.
      ADD_FAILURE() << "start-up neither ended nor finished in " << kReadyMs << " ms\n" << proxy.log();
      proxy.signal(SIGTERM);
      EXPECT_NE(proxy.wait(kExitBoundMs), -1) << "SIGTERM not honoured";
      return;
    }
    runsEnded++;
    EXPECT_EQ(status, 1) << proxy.log() << sanitizerReports();
    EXPECT_NE(proxy.log().find(relay.display()), std::string::npos) << proxy.log();
    // A lying server is no shortage of memory here.
    EXPECT_EQ(proxy.log().find("Out of memory"), std::string::npos) << proxy.log();
    return;
  }
  runsServing++;
  if (onLink) {
    // The client whose link is lied to ends, served or dropped, in time;
    // except that a reply the server never sends leaves its client waiting
    // through the proxy as it would without it.
    ProgramResult info = runProgram({"xdpyinfo"}, proxy.display(), 10000);
    bool replyWithheld = mutation.op == Mutation::Op::kDrop && mutation.kind != Mutation::Kind::kSetup;
    EXPECT_TRUE(!info.timedOut || replyWithheld) << "a client on a lying link was left hanging\n" << proxy.log();
  }
  // A client is then either served or refused, never left hanging.
  {
    RawClient client;
    if (client.connectUnix(proxy.number())) {
      int answer = client.setup('l', "", {}, 5000);
      EXPECT_TRUE(answer != -1 || client.closed()) << "no answer to a client's set-up\n" << proxy.log();
      if (answer == 1) {
        client.send(client.request(43, 0));
        Bytes reply = client.readMessage(5000);
        EXPECT_TRUE(!reply.empty() || client.closed()) << "a client was left hanging\n" << proxy.log();
      }
    }
  }
  // A proxy that ended by itself meanwhile ended on a failure: status 1,
  // never the status of an exit that was asked for.
  if (int ended = proxy.wait(20); ended != -1) {
    EXPECT_EQ(ended, 1) << proxy.log() << sanitizerReports();
    return;
  }
  auto signalled = Clock::now();
  proxy.signal(SIGTERM);
  int status = proxy.wait(kExitBoundMs);
  EXPECT_NE(status, -1) << "SIGTERM not honoured within " << kExitBoundMs << " ms\n" << proxy.log();
  EXPECT_TRUE(status == 0 || status == 1) << "status " << status << "\n" << proxy.log() << sanitizerReports();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - signalled).count();
  slowestExitMs = std::max(slowestExitMs, long(took));
}

// A seed decides the mutation, whether Failsafe is on (odd seeds), and
// whether the lie is on the proxy's own connection or, every other pair of
// seeds, on a client's link, which the proxy then speaks MSB first (its own
// connection speaks the host's LSB).
void runSeed(const Xvfb& real, Mutation::Kind kind, uint32_t seed) {
  runOnce(real, "seed " + std::to_string(seed), Mutation::fromSeed(kind, seed), seed % 2, (seed / 2) % 2);
}

TEST_P(LyingRelaySeeds, EveryRunEndsInTime) {
  ASSERT_TRUE(server && server->ok());
  runsServing = runsEnded = 0;
  auto [kind, shard] = GetParam();
  uint32_t count = seedCount();
  uint32_t size = (count + kShards - 1) / kShards;
  // PALVON_RELAY_FIRST starts at a later seed (to rerun one that failed).
  const char* first = getenv("PALVON_RELAY_FIRST");
  uint32_t from = std::max(shard * size, first ? uint32_t(strtoul(first, nullptr, 10)) : 0);
  for (uint32_t seed = from; seed < std::min(count, (shard + 1) * size); seed++) {
    runSeed(*server, kind, seed);
    if (HasFatalFailure()) return;
  }
  printf("%d runs served, %d ended at start-up; slowest exit after SIGTERM: %ld ms\n", runsServing, runsEnded,
         slowestExitMs);
}

// Runs that once crashed or hung the proxy, kept whatever the seeds do.
struct KnownLie {
  const char* name;
  Mutation mutation;
  bool failsafe;
  bool onLink;
};

const KnownLie kKnownLies[] = {
    // A reply shorter than its call reads: the X library aborted.
    {"ShortReplyAborted53", {Mutation::Kind::kReply, Mutation::Op::kShorten, 53, 16384}, false, false},
    {"ShortReplyAborted71", {Mutation::Kind::kReply, Mutation::Op::kShorten, 71, 16384}, false, false},
    {"ShortReplyAborted73", {Mutation::Kind::kReply, Mutation::Op::kShorten, 73, 16384}, true, false},
    {"ShortReplyAborted76", {Mutation::Kind::kReply, Mutation::Op::kShorten, 76, 16384}, true, false},
    // A reply cut off with the connection left open: a wait for ever.
    {"CutReplyStalled", {Mutation::Kind::kReply, Mutation::Op::kCut, 42, 1}, true, false},
    {"CutReplyStalledNoFailsafe", {Mutation::Kind::kReply, Mutation::Op::kCut, 90, 2}, false, false},
    // A longer reply while the font path is checked, and one later on.
    {"LongReplyAtFontPath", {Mutation::Kind::kReply, Mutation::Op::kLengthen, 63, 1}, false, false},
    {"LongReplyLate", {Mutation::Kind::kReply, Mutation::Op::kLengthen, 116, 1}, true, false},
    {"HugeLongerReply", {Mutation::Kind::kReply, Mutation::Op::kLengthen, 24, 0xfff0}, true, false},
    // An error answering the modifier map request was told as a shortage
    // of memory, without the display's name.
    {"ModifierMapErrorNotMemory", {Mutation::Kind::kError, Mutation::Op::kDuplicate, 28, 64}, false, false},
    // A generic event that claims 0xffffffff words.
    {"EndlessGenericEvent", {Mutation::Kind::kEvent, Mutation::Op::kEndlessGeneric, 30, 1}, true, false},
    {"EndlessGenericOnLink", {Mutation::Kind::kError, Mutation::Op::kEndlessGeneric, 7, 1}, true, true},
    // A corrupted set-up answer, on the proxy's connection and on a link.
    {"SetUpCut", {Mutation::Kind::kSetup, Mutation::Op::kCut, 0, 7}, false, false},
    {"SetUpLonger", {Mutation::Kind::kSetup, Mutation::Op::kLengthen, 0, 2}, false, false},
    {"SetUpDroppedOnLink", {Mutation::Kind::kSetup, Mutation::Op::kDrop, 0, 1}, false, true},
    {"SetUpShortOnLink", {Mutation::Kind::kSetup, Mutation::Op::kShorten, 0, 16384}, false, true},
};

TEST_F(LyingRelay, KnownLiesEndInTime) {
  ASSERT_TRUE(server && server->ok());
  for (const KnownLie& lie : kKnownLies) runOnce(*server, lie.name, lie.mutation, lie.failsafe, lie.onLink);
}

std::string shardName(const ::testing::TestParamInfo<std::tuple<Mutation::Kind, uint32_t>>& info) {
  static const char* const names[] = {"SetUp", "Replies", "Events", "Errors"};
  return std::string(names[int(std::get<0>(info.param))]) + "_" + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LyingRelaySeeds,
                         ::testing::Combine(::testing::Values(Mutation::Kind::kSetup, Mutation::Kind::kReply,
                                                              Mutation::Kind::kEvent, Mutation::Kind::kError),
                                            ::testing::Range(uint32_t(0), kShards)),
                         shardName);

}  // namespace
}  // namespace palvon::test
