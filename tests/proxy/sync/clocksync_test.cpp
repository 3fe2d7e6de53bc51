// The rules of a clock synchronisation round over server display records
// (no server involved): when a round is adopted, how drift is measured,
// how a slow answer spoils a round, and the complaint after twelve bad
// rounds in a row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Proxy/servers/display.h"
#include "Proxy/sync/clocks.h"
#include "support/logcapture.h"

namespace palvon {
namespace {

// One display's state before the round: its previous and current half
// round trips, the start this round measured and the start adopted before.
struct DisplayRound {
  u32 previousHalf, half;
  i64 newStart, adopted;
};

struct RoundCase {
  const char* name;
  std::vector<DisplayRound> displays;  // the first is the time display
  bool adopted;
  std::vector<i64> drifts;             // of the displays after the first
};

class Records {
 public:
  explicit Records(const std::vector<DisplayRound>& rounds) : records_(rounds.size()) {
    for (size_t i = 0; i < rounds.size(); i++) {
      ServerDisplay& s = records_[i];
      s.previousHalfRoundTripMs = rounds[i].previousHalf;
      s.halfRoundTripMs = rounds[i].half;
      s.newStartMs = rounds[i].newStart;
      s.clockOffsetMs = rounds[i].adopted;
      s.next = i + 1 < rounds.size() ? &records_[i + 1] : nullptr;
    }
    serverDisplayList = &records_[0];
    serverDisplayCount = u32(records_.size());
    timeDisplay = &records_[0];
  }
  ~Records() {
    serverDisplayList = nullptr;
    serverDisplayCount = 0;
    timeDisplay = nullptr;
  }
  ServerDisplay& operator[](size_t i) { return records_[i]; }

 private:
  std::vector<ServerDisplay> records_;
};

class ClockRound : public ::testing::TestWithParam<RoundCase> {};

TEST_P(ClockRound, AdoptsOnlyWhenNoAnswerCameSlower) {
  const RoundCase& c = GetParam();
  Records records(c.displays);
  finishTimeSyncRound();
  for (size_t i = 0; i < c.displays.size(); i++) {
    const DisplayRound& d = c.displays[i];
    EXPECT_EQ(records[i].clockOffsetMs, c.adopted ? d.newStart : d.adopted) << i;
    // The round's trips are the next round's measure either way.
    EXPECT_EQ(records[i].previousHalfRoundTripMs, d.half) << i;
    if (i) {
      EXPECT_EQ(records[i].driftMs, c.drifts[i - 1]) << i;
    }
  }
  EXPECT_EQ(timeSyncBadRounds(), c.adopted ? 0u : 1u);
  // Leave the counter clear for the next case.
  Records good({{0, 0, 0, 0}, {0, 0, 0, 0}});
  finishTimeSyncRound();
}

INSTANTIATE_TEST_SUITE_P(
    Rounds, ClockRound,
    ::testing::Values(
        RoundCase{"SteadyAnswers", {{5, 5, 1000, 990}, {7, 6, 3601000, 3600980}}, true, {10}},
        RoundCase{"TheTimeDisplayAnsweredSlower", {{5, 6, 1000, 990}, {7, 6, 3601000, 3600980}}, false, {10}},
        RoundCase{"AnotherDisplayAnsweredSlower", {{5, 5, 1000, 990}, {7, 8, 3601000, 3600980}}, false, {10}},
        RoundCase{"AHundredMillisecondsStillCount", {{100, 100, 50, 40}, {150, 100, 70, 20}}, true, {40}},
        RoundCase{"AHundredAndOneSpoilIt", {{200, 101, 50, 40}, {150, 100, 70, 20}}, false, {40}},
        RoundCase{"ThreeDisplaysEachWithItsDrift",
                  {{3, 3, 500, 500}, {3, 2, 800, 790}, {4, 4, -100, -95}},
                  true,
                  {10, -5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClockRounds, TwelveBadRoundsInARowAreReportedOnceAndCountedAnew) {
  test::LogCapture log({&logChWarning});
  const std::string warning = "warning: Can't sync time of X servers for 12 times";
  for (int round = 1; round <= 12; round++) {
    Records slow({{0, 1, 0, 0}, {0, 1, 0, 0}});
    finishTimeSyncRound();
    EXPECT_EQ(timeSyncBadRounds(), u32(round));
  }
  EXPECT_FALSE(log.contains(warning));
  {
    Records slow({{0, 1, 0, 0}, {0, 1, 0, 0}});
    finishTimeSyncRound();
  }
  EXPECT_TRUE(log.contains(warning));
  EXPECT_EQ(timeSyncBadRounds(), 0u);
  Records slow({{0, 1, 0, 0}, {0, 1, 0, 0}});
  finishTimeSyncRound();
  EXPECT_EQ(timeSyncBadRounds(), 1u);
  Records good({{1, 1, 0, 0}, {1, 0, 0, 0}});
  finishTimeSyncRound();
  EXPECT_EQ(timeSyncBadRounds(), 0u);
}

u64 gNowUs;
u64 fakeMicroseconds() { return gNowUs; }

TEST(ClockRounds, HalfTheRoundTripIsTakenOffTheServersTime) {
  // The answer comes 41 ms after the round began (the round starts at 0
  // here): 20 ms of it is counted back from the server's time.
  Records records({{30, 30, 0, 0}, {30, 30, 0, 0}});
  setTimeSyncClock(fakeMicroseconds);
  gNowUs = 41000;
  records[1].pingWindow = 7;
  timeSyncAnswer(&records[1], 5000);
  EXPECT_EQ(records[1].halfRoundTripMs, 20u);
  EXPECT_EQ(records[1].newStartMs, 4980);
  EXPECT_EQ(records[1].pingWindow, 0u);
  // A second answer to the same ping counts no more.
  timeSyncAnswer(&records[1], 9000);
  EXPECT_EQ(records[1].newStartMs, 4980);
  setTimeSyncClock(nullptr);
  EXPECT_TRUE(isTimeSyncWindow(&records[0], 0) == false);
}

}  // namespace
}  // namespace palvon
