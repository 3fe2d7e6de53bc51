// The rules behind servers joining at run time: which pixmap formats a
// joining server serves, whether a head shows area no other head covers,
// how many image rows one band of a pixmap copy carries, and the test
// control's command table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/join/serverjoin.h"
#include "Proxy/testcontrol.h"

namespace palvon {
namespace {

// --- Pixmap formats ------------------------------------------------------------------

struct FormatCase {
  const char* name;
  std::vector<ServerPixmapFormat> formats;
  u32 depth, bitsPerPixel, pad, tags;
  bool bestDepthOffered;
  PixmapFormatVerdict verdict;
  u32 bestDepth;  // checked for a substitution only
};

class Formats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Formats, Verdict) {
  const FormatCase& c = GetParam();
  u32 best = 0;
  EXPECT_EQ(judgePixmapFormat(c.formats.data(), u32(c.formats.size()), c.depth, c.bitsPerPixel, c.pad, c.tags,
                              c.bestDepthOffered, &best),
            c.verdict);
  if (c.verdict == PixmapFormatVerdict::kSubstitute) {
    EXPECT_EQ(best, c.bestDepth);
  }
}

const std::vector<ServerPixmapFormat> kTrueColor = {{1, 1, 32}, {24, 32, 32}};
const std::vector<ServerPixmapFormat> kWithEight = {{1, 1, 32}, {8, 8, 32}, {24, 32, 32}};

INSTANTIATE_TEST_SUITE_P(
    JoiningServer, Formats,
    ::testing::Values(
        FormatCase{"Exact", kTrueColor, 24, 32, 32, 0, true, PixmapFormatVerdict::kServed, 0},
        FormatCase{"OtherPadSameDepth", kTrueColor, 24, 32, 8, 0, true, PixmapFormatVerdict::kServed, 0},
        FormatCase{"MissingDepthRefused", kTrueColor, 8, 8, 32, 0, true, PixmapFormatVerdict::kRefused, 0},
        FormatCase{"OnlySmallerDepthsRefused", kWithEight, 32, 32, 32, kHeadTagSloppyDepths, false,
                   PixmapFormatVerdict::kRefused, 0},
        FormatCase{"SloppyDepthsSubstitutesADeeperOne", kTrueColor, 8, 8, 32, kHeadTagSloppyDepths, false,
                   PixmapFormatVerdict::kSubstitute, 24},
        FormatCase{"SloppyDepthsKeepsAnOfferedDepth", kTrueColor, 8, 8, 32, kHeadTagSloppyDepths, true,
                   PixmapFormatVerdict::kRefused, 0},
        FormatCase{"SloppyVisualsServesAnything", kTrueColor, 8, 8, 32, kHeadTagSloppyVisuals, true,
                   PixmapFormatVerdict::kServed, 0},
        FormatCase{"NoFormatsRefused", {}, 24, 32, 32, 0, true, PixmapFormatVerdict::kRefused, 0}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(FormatScore, DeeperCostsTenPerStepSmallerIsUnusable) {
  EXPECT_EQ(pixmapFormatScore({24, 32, 32}, 24, 32, 32), 0u);
  EXPECT_EQ(pixmapFormatScore({24, 32, 32}, 16, 16, 32), 80u + 16u);
  EXPECT_EQ(pixmapFormatScore({8, 8, 32}, 24, 32, 32), 10000u);
}

// --- Uncovered area ----------------------------------------------------------------------

struct CoverCase {
  const char* name;
  std::vector<HeadRect> others;
  bool uncovered;
};

class Cover : public ::testing::TestWithParam<CoverCase> {};

TEST_P(Cover, HeadAgainstTheOthers) {
  std::vector<Head> heads(GetParam().others.size() + 1);
  MetaScreen screen{};
  heads[0].logical = {100, 100, 200, 100};
  for (size_t i = 1; i < heads.size(); i++) heads[i].logical = GetParam().others[i - 1];
  for (size_t i = 0; i + 1 < heads.size(); i++) heads[i].next = &heads[i + 1];
  screen.heads = &heads[0];
  EXPECT_EQ(headHasUncoveredArea(&heads[0], &screen), GetParam().uncovered);
}

INSTANTIATE_TEST_SUITE_P(
    JoiningServer, Cover,
    ::testing::Values(CoverCase{"Alone", {}, true},
                      CoverCase{"SamePlaceAsAnother", {{100, 100, 200, 100}}, false},
                      CoverCase{"CoveredByTwoHalves", {{0, 0, 200, 300}, {200, 50, 150, 200}}, false},
                      CoverCase{"OneColumnLeft", {{100, 100, 199, 100}}, true},
                      CoverCase{"NeighbourOnly", {{300, 100, 200, 100}}, true}),
    [](const ::testing::TestParamInfo<CoverCase>& info) { return std::string(info.param.name); });

// --- Image bands ----------------------------------------------------------------------

TEST(Bands, RowsPerBand) {
  EXPECT_EQ(rowsPerBand(65536, 4096), 16u);
  EXPECT_EQ(rowsPerBand(65536, 5000), 13u);
  // A line longer than the band still moves, one line at a time.
  EXPECT_EQ(rowsPerBand(65536, 65537), 1u);
  EXPECT_EQ(rowsPerBand(1, 0), 1u);
}

// --- The test control's table ------------------------------------------------------------

TEST(TestControl, CommandTable) {
  struct Case {
    std::string line, reply;
  } cases[] = {
      {"", "error empty command"},
      {"fly away", "error unknown command 'fly'"},
      {"screen 1 2", "error usage: screen <head id> <meta screen> <x> <y> <width> <height>"},
      {"screen 1 0 x 0 1 1", "error Bad number 'x'"},
      {"removeserver :5", "error Palvon option DynamicServer is used but not enabled - Make sure this option is "
                          "enabled in your configuration"},
  };
  u32 options = proxyConfig.options;
  proxyConfig.options = 0;
  for (const Case& c : cases) {
    std::vector<char> line(c.line.begin(), c.line.end());
    line.push_back('\0');
    EXPECT_EQ(std::string(runTestControlLine(line.data())), c.reply) << c.line;
  }
  proxyConfig.options = options;
}

}  // namespace
}  // namespace palvon
