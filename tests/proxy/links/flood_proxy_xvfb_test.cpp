// A client that floods its link holds up no one else, as on a plain
// server: client C writes copies of its whole window onto itself with no
// round trip while M makes round trips and another client acts amid the
// flood (sets the focus, warps the pointer over the seam of two heads or
// to the other screen and back, makes a top-level window), or C itself
// fakes a motion; or client N reads none of the images it asked for while
// the pointer moves. Each row runs the same work against a plain Xvfb of
// the layout's shape and then through the proxy in front of fresh Xvfbs:
// C (or N) is never cut and gets its last answer in sequence, every
// message comes in sequence, and M's longest round trip, the acting
// client's time and the copies C's socket took in stay within a bound
// relative to the plain server's.
// bench/flood.sh runs the same work at full length and prints the numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/flood.h"
#include "support/proxyprocess.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

enum class Layout { kOneHead, kTwoHeads, kTwoScreens };

struct FloodRow {
  const char* name;
  Layout layout;
  FloodAction action;
  bool unread;
};

void PrintTo(const FloodRow& row, std::ostream* out) { *out << row.name; }

std::string describe(const char* where, const FloodOutcome& o) {
  return std::string(where) + ": M's longest " + std::to_string(long(o.longestTripMs)) + " ms" +
         (o.otherCut ? " (cut)" : "") + ", action " + std::to_string(long(o.actionMs)) + " ms" +
         (o.actorCut ? " (cut)" : "") +
         (o.cut    ? ", busy client cut"
          : o.late ? ", busy client unanswered"
                   : ", busy client served") +
         ", " + std::to_string(o.copies) + " copies, last answer " + std::to_string(long(o.finalSyncMs)) + " ms" +
         (o.outOfSequence.empty() ? "" : ", " + o.outOfSequence);
}

class BusyClient : public ::testing::TestWithParam<FloodRow> {
 protected:
  FloodPlan plan() const {
    FloodPlan p;
    p.action = GetParam().action;
    p.unread = GetParam().unread;
    p.floodMs = 3000;
    p.actionAtMs = 1000;
    p.limitMs = 30000;
    return p;
  }
};

TEST_P(BusyClient, HoldsUpNobody) {
  const FloodRow& row = GetParam();
  FloodOutcome plain;
  {
    std::vector<std::string> args{"-screen", "0", row.layout == Layout::kTwoHeads ? "2560x1024x24" : "1280x1024x24"};
    if (row.layout == Layout::kTwoScreens) args.insert(args.end(), {"-screen", "1", "1280x1024x24"});
    Xvfb server(args);
    ASSERT_TRUE(server.ok()) << server.error();
    plain = runFlood(server.display(), plan());
    ASSERT_EQ(plain.problem, "");
    ASSERT_FALSE(plain.cut || plain.late) << describe("plain", plain);
    ASSERT_EQ(plain.outOfSequence, "");
  }
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  for (int i = 0; i < (row.layout == Layout::kOneHead ? 1 : 2); i++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "1280x1024x24"}));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    if (row.layout == Layout::kTwoScreens) words.insert(words.end(), {"metaScreen", "m" + std::to_string(i)});
    words.insert(words.end(), {"screen", servers.back()->display() + ".0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  FloodOutcome through = runFlood(proxy.display(), plan());
  ASSERT_EQ(through.problem, "");
  std::string both = describe("plain", plain) + "\n" + describe("proxy", through);
  EXPECT_FALSE(through.cut) << both;
  EXPECT_FALSE(through.late) << both;
  EXPECT_FALSE(through.otherCut) << both;
  EXPECT_FALSE(through.actorCut) << both;
  EXPECT_EQ(through.outOfSequence, "") << both;
  EXPECT_LE(through.longestTripMs, std::max(1500.0, 4 * plain.longestTripMs)) << both;
  EXPECT_LE(through.actionMs, std::max(3000.0, 4 * plain.actionMs)) << both;
  // What C's socket takes in counts its own buffer and, through the proxy,
  // the proxy's buffer towards the server as well: a few times the plain
  // server's at most, not all C could write.
  if (!row.unread) {
    EXPECT_LE(through.copies, 4 * plain.copies) << both;
  }
  EXPECT_EQ(proxy.wait(0), -1) << proxy.log();
  std::cout << both << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Flood, BusyClient,
    ::testing::Values(
        FloodRow{"NothingOnOneHead", Layout::kOneHead, FloodAction::kNothing, false},
        FloodRow{"NothingOnTwoHeads", Layout::kTwoHeads, FloodAction::kNothing, false},
        FloodRow{"FocusOnOneHead", Layout::kOneHead, FloodAction::kFocus, false},
        FloodRow{"FocusOnTwoHeads", Layout::kTwoHeads, FloodAction::kFocus, false},
        FloodRow{"WarpOverTheSeam", Layout::kTwoHeads, FloodAction::kWarpOverSeam, false},
        FloodRow{"ToTheOtherScreenAndBack", Layout::kTwoScreens, FloodAction::kOtherScreenAndBack, false},
        FloodRow{"TopLevelWindowOnOneHead", Layout::kOneHead, FloodAction::kTopLevelWindow, false},
        FloodRow{"TopLevelWindowOnTwoHeads", Layout::kTwoHeads, FloodAction::kTopLevelWindow, false},
        FloodRow{"FakeMotionOnOneHead", Layout::kOneHead, FloodAction::kFakeMotion, false},
        FloodRow{"FakeMotionOnTwoScreens", Layout::kTwoScreens, FloodAction::kFakeMotion, false},
        FloodRow{"UnreadImagesOnOneHead", Layout::kOneHead, FloodAction::kWarpOverSeam, true},
        FloodRow{"UnreadImagesWhileWarpingOverTheSeam", Layout::kTwoHeads, FloodAction::kWarpOverSeam, true},
        FloodRow{"UnreadImagesWhileToTheOtherScreen", Layout::kTwoScreens, FloodAction::kOtherScreenAndBack, true}),
    [](const ::testing::TestParamInfo<FloodRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
