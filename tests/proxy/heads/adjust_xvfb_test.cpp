// What a meta screen offers over heads of different servers: resource-id
// bits, backing store, pixmap formats, keycodes, font paths, visuals and
// each head's default colormap.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "Proxy/visuals/visual.h"
#include "base/bits.h"
#include "support/headsrig.h"
#include "support/logcapture.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::HeadsRig;
using Args = std::vector<std::string>;

const Args kSmall = {"-screen", "0", "320x240x24"};

// --- Resource-id bits ------------------------------------------------------------

struct IdBitsRow {
  const char* name;
  Args second;
  const char* extra;
  u32 bits;
};

const IdBitsRow kIdBitsRows[] = {
    {"SmallestMaskWins", {"-screen", "0", "320x240x24", "-maxclients", "512"}, "", 20},
    {"ScreensTakeBits", {"-screen", "0", "320x240x24", "-maxclients", "512"}, "maximumNumberOfScreens 4\n", 18},
    {"ConfiguredLimit", kSmall, "numberOfResourceIdBits 17\n", 17},
};

class IdBits : public testing::TestWithParam<IdBitsRow> {};

TEST_P(IdBits, AreTheFewestAnyServerLeaves) {
  HeadsRig rig({kSmall, GetParam().second});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(std::string(GetParam().extra) + "screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(3), "");
  EXPECT_EQ(bitCount(proxyState.resourceIdMask), GetParam().bits);
  EXPECT_EQ(proxyState.resourceIdShift, GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(Servers, IdBits, testing::ValuesIn(kIdBitsRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Backing store, pixmap formats, keycodes -----------------------------------------

TEST(Backing, OneServerWithoutItMakesItNotUseful) {
  HeadsRig rig({kSmall, {"-screen", "0", "320x240x24", "-bs"}});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(3), "");
  EXPECT_EQ(rig.screen(0)->backingStore, 0);
}

TEST(Backing, ServersWithItGiveWhenMapped) {
  HeadsRig rig({kSmall, kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(3), "");
  EXPECT_EQ(rig.screen(0)->backingStore, 1);
}

struct FormatRow {
  const char* name;
  const char* config;
  u32 count;
  const char* error;
};

const FormatRow kFormatRows[] = {
    {"All", "", 6, ""},
    {"WithoutDepth4", "pixmapFormats -4\n", 5, ""},
    {"OnlyListed", "pixmapFormats 1 24\n", 2, ""},
    {"NoneLeft", "pixmapFormats 3\n", 0,
     "No pixmap format left - Make sure at least one pixmap format is specified in your configuration"},
};

class Formats : public testing::TestWithParam<FormatRow> {};

TEST_P(Formats, FollowTheConfiguredList) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(std::string(GetParam().config) + "screen @0.0\n"), "");
  EXPECT_EQ(rig.start(3), GetParam().error);
  if (*GetParam().error) return;
  EXPECT_EQ(offeredPixmapFormatCount, GetParam().count);
  if (strstr(GetParam().config, "-4")) {
    for (u32 i = 0; i < offeredPixmapFormatCount; i++) EXPECT_NE(offeredPixmapFormats[i].depth, 4) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, Formats, testing::ValuesIn(kFormatRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct KeycodeRow {
  const char* config;
  u32 minimum, maximum;
};

class Keycodes : public testing::TestWithParam<KeycodeRow> {};

TEST_P(Keycodes, StayInTheProtocolRange) {
  HeadsRig rig({kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(std::string(GetParam().config) + "screen @0.0\n"), "");
  ASSERT_EQ(rig.start(3), "");
  EXPECT_EQ(proxyState.minKeycode, GetParam().minimum);
  EXPECT_EQ(proxyState.maxKeycode, GetParam().maximum);
}

INSTANTIATE_TEST_SUITE_P(Counts, Keycodes,
                         testing::Values(KeycodeRow{"numberOfKeyCodes 100\n", 8, 107},
                                         KeycodeRow{"numberOfKeyCodes 255\n", 8, 255},
                                         KeycodeRow{"", 8, 255}));

// --- Font paths --------------------------------------------------------------------

// Both servers know the built-in fonts and the misc directory; the proxy's
// path goes to each of them.
struct FontPathRow {
  const char* name;
  const char* config;
  bool builtins, misc;
};

const FontPathRow kFontPathRows[] = {
    {"Unconfigured", "", true, true},
    {"OpensEnabled", "fontPath built-ins\n", true, false},
    {"OpensDisabled", "fontPath -built-ins\n", false, true},
};

class FontPaths : public testing::TestWithParam<FontPathRow> {};

TEST_P(FontPaths, ReachEveryServer) {
  HeadsRig rig({kSmall, kSmall});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(std::string(GetParam().config) + "screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(), "");
  for (size_t i = 0; i < 2; i++) {
    std::string out = test::runProgram({"xset", "q"}, rig.display(i)).out;
    std::string path = out.substr(out.find("Font Path:"));
    path = path.substr(0, path.find('\n', path.find('\n') + 1));
    EXPECT_EQ(path.find("built-ins") != std::string::npos, GetParam().builtins) << path;
    EXPECT_EQ(path.find("misc") != std::string::npos, GetParam().misc) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Lists, FontPaths, testing::ValuesIn(kFontPathRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Visuals and colormaps -------------------------------------------------------------

const Args kDepth24 = {"-screen", "0", "320x240x24"};
const Args kDepth16 = {"-screen", "0", "320x240x16"};

class Visuals : public testing::Test {
 protected:
  Visuals() : rig_({kDepth24, kDepth16}), log_({&logChInfo, &logChXhint, &logChStep}) {
    detailFlags |= kDetailVisuals;
  }
  ~Visuals() override { detailFlags &= ~kDetailVisuals; }
  bool logged(const std::string& part) const {
    for (const std::string& line : log_.lines()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  HeadsRig rig_;
  test::LogCapture log_;
};

// The wide head has no 16-bit visual and maps no depth 16 (its server has
// a 16-bit pixmap format): the screen takes the wide head's visuals, which
// the narrow head shows through deeper ones, so the root is TrueColor 24 as
// with the wide head first, not the depth-32 visual both servers have.
TEST_F(Visuals, ASixteenBitColourHeadKeepsWhatTheWideHeadShows) {
  ASSERT_TRUE(rig_.ok());
  ASSERT_EQ(rig_.configure("screen @0.0\nscreen @1.0 tags color\n"), "");
  ASSERT_EQ(rig_.start(), "");
  MetaScreen* screen = rig_.screen(0);
  ASSERT_NE(screen->rootVisual, nullptr);
  EXPECT_EQ(screen->rootVisual->depth, 24);
  EXPECT_EQ(screen->rootVisual->visualClass, TrueColor);
  Head* wide = rig_.head(0, 0);
  Head* narrow = rig_.head(0, 1);
  ASSERT_GT(screen->visualCount, 0);
  for (i32 i = 0; i < screen->visualCount; i++) {
    EXPECT_NE(screen->visuals[i].depth, 16);
    EXPECT_NE(lookupHeadVisual(&screen->visuals[i], wide), nullptr) << describeVisual(&screen->visuals[i]);
    EXPECT_NE(lookupHeadVisual(&screen->visuals[i], narrow), nullptr);
  }
  EXPECT_TRUE(logged(" [default]"));
  EXPECT_TRUE(logged("@" + std::string(wide->name)));
  EXPECT_TRUE(logged("@" + std::string(narrow->name)));
  // The wide server's default visual is the root's; only the narrow head
  // makes a colormap of its own and says why.
  EXPECT_FALSE(logged("Creating default colormap on " + std::string(wide->name) + " (visual)"));
  EXPECT_TRUE(logged("Creating default colormap on " + std::string(narrow->name) + " (visual)"));
}

// Both heads of 24 bits: the servers' own colormaps stand for the meta
// screen's.
TEST(DefaultColormaps, SameServersUseTheirOwn) {
  HeadsRig rig({kSmall, kSmall});
  test::LogCapture log({&logChStep});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(), "");
  EXPECT_EQ(rig.screen(0)->rootVisual->depth, 24);
  for (u32 i = 0; i < 2; i++) {
    EXPECT_TRUE(log.contains("step: " + std::string(rig.head(0, i)->name) + " uses default colormap 0x20 ..."));
    EXPECT_EQ(rig.head(0, i)->colormap, 0u);
  }
}

struct ColourRow {
  const char* name;
  const char* config;
  bool dropped;
};

class ColourHead : public Visuals, public testing::WithParamInterface<ColourRow> {};

// The 16-bit head shows the 24-bit colour head's root visual at its 32-bit
// TrueColor one (a plain 24-bit server's root, not one with alpha); what it
// cannot show at all (DirectColor 24) goes unless it is sloppy.
TEST_P(ColourHead, OfTwentyFourBitsKeepsItsRootLosesWhatTheOtherCannotShow) {
  ASSERT_TRUE(rig_.ok());
  ASSERT_EQ(rig_.configure(GetParam().config), "");
  ASSERT_EQ(rig_.start(), "");
  MetaScreen* screen = rig_.screen(0);
  ASSERT_NE(screen->rootVisual, nullptr);
  EXPECT_EQ(screen->rootVisual->depth, 24);
  EXPECT_EQ(screen->rootVisual->visualClass, kClassTrueColor);
  EXPECT_NE(lookupHeadVisual(screen->rootVisual, rig_.head(0, 1)), nullptr);
  EXPECT_EQ(logged("No DirectColor 24 bit"), GetParam().dropped);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, ColourHead,
    testing::Values(ColourRow{"Strict", "screen @0.0 tags color\nscreen @1.0\n", true},
                    ColourRow{"Sloppy", "screen @0.0 tags color\nscreen @1.0 tags sloppyVisuals\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon
