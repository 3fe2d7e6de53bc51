// Head settings without a server: clip arithmetic, placement against
// another head, the automatic border, tag rules and the checks of each
// setting, and the include/exclude rule, id-mask and keycode arithmetic of
// capability reconciliation.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/visual.h"
#include "support/configtext.h"
#include "support/logcapture.h"
#include "support/resource_rig.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

// --- Clip arithmetic --------------------------------------------------------------------

struct ClipRow {
  const char* name;
  ClipAxisInput in;
  bool accepted;
  i32 position, size;
};

// A 1280-pixel screen; the head's current clip is 1..1279.
constexpr ClipAxisInput clip(i32 border, bool borderInMask, bool posGiven, i32 position, bool sizeGiven, i32 size,
                             bool inWindow = false) {
  return {1280, border, borderInMask, posGiven, sizeGiven, position, size, 1, 1278, inWindow, false};
}

const ClipRow kClipRows[] = {
    {"ZeroIsScreenLessBorders", clip(1, false, false, 0, true, 0), true, 1, 1278},
    {"NegativeCountsFromTheFarEdge", clip(1, false, true, 100, true, -10), true, 100, 1170},
    {"NegativePastThePositionIsRefused", clip(1, false, true, 100, true, -1180), false, 0, 0},
    {"NegativeExactlyToThePositionIsRefused", clip(0, false, true, 100, true, -1180), false, 0, 0},
    {"PositionBelowTheBorderIsTheBorder", clip(4, false, true, 2, false, 0), true, 4, 1272},
    // A position or a size the screen cannot hold is refused, not wrapped
    // into a one-pixel head.
    {"PositionPastTheScreenIsRefused", clip(1, false, true, 5000, false, 0), false, 0, 0},
    {"PositionOnTheFarBorderIsRefused", clip(1, false, true, 1279, false, 0), false, 0, 0},
    {"LastPixelBeforeTheBorder", clip(1, false, true, 1278, false, 0), true, 1278, 1},
    {"SizeLargerThanTheScreenIsRefused", clip(0, false, false, 0, true, 1281), false, 0, 0},
    {"InWindowMayBeLargerThanTheScreen", clip(0, false, false, 0, true, 2000, true), true, 1, 2000},
    {"BorderInMaskNegativePosition", clip(1, true, true, -5, false, 0), true, 0, 1278},
    {"BorderInMaskCutsAtTheScreen", clip(1, true, true, 1000, true, 500), true, 1000, 280},
    {"WithoutBorderInMaskCutsBeforeTheBorder", clip(1, false, true, 1000, true, 500), true, 1000, 279},
    {"InWindowIsNotCut", clip(1, false, true, 1000, true, 500, true), true, 1000, 500},
};

class ClipAxis : public testing::TestWithParam<ClipRow> {};

TEST_P(ClipAxis, Arithmetic) {
  ClipAxisResult out{};
  ASSERT_EQ(computeClipAxis(GetParam().in, &out), GetParam().accepted);
  if (!GetParam().accepted) return;
  EXPECT_EQ(out.position, GetParam().position);
  EXPECT_EQ(out.size, GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(Rows, ClipAxis, testing::ValuesIn(kClipRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Placement ---------------------------------------------------------------------------

struct PlaceRow {
  u32 direction;
  i32 x, y;
};

class Placement : public testing::TestWithParam<PlaceRow> {};

// Against a head at (100, 50) of 640x480, a head of 300x200, offsets (7, -3).
TEST_P(Placement, AgainstAnotherHead) {
  i32 x = 0, y = 0;
  placeAgainstHead(GetParam().direction, HeadRect{100, 50, 640, 480}, 300, 200, 7, -3, &x, &y);
  EXPECT_EQ(x, GetParam().x);
  EXPECT_EQ(y, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(Directions, Placement,
                         testing::Values(PlaceRow{0, 7, -3}, PlaceRow{1, 107, 47}, PlaceRow{2, -193, 47},
                                         PlaceRow{3, 747, 47}, PlaceRow{4, 107, -153}, PlaceRow{5, 107, 527},
                                         PlaceRow{6, -193, -153}, PlaceRow{7, 747, -153},
                                         PlaceRow{8, -193, 527}, PlaceRow{9, 747, 527}));

// --- Heads without a server ------------------------------------------------------------------

// A head of a 1280x1024 screen with border 1, outside any meta screen
// unless one is given, registered under id 1 (and a second under id 2).
class SettingsTest : public testing::Test {
 protected:
  SettingsTest() {
    freeConfiguration(&proxyConfig);
    initConfiguration(&proxyConfig);
    head_ = makeHead("h", 1);
    other_ = makeHead("o", 2);
    other_->logical = {0, 0, 640, 480};
  }
  ~SettingsTest() override {
    free(head_);
    free(other_);
    proxyConfig.options = 0;
    clientCount = 0;
    colorScreen_.colorHead = nullptr;
  }
  Head* makeHead(const char* name, u32 id) {
    auto* head = static_cast<Head*>(calloc(1, sizeof(Head)));
    strcpy(head->name, name);
    head->width = 1280, head->height = 1024;
    head->borderWidth = 1;
    head->clip = {1, 1, 1278, 1022};
    head->logical = {0, 0, 1278, 1022};
    head->zoomX = head->zoomY = 1.0;
    head->id = id;
    EXPECT_EQ(addResource(id, RT_HEAD, head), 1);
    return head;
  }
  std::string apply(u32 mask) {
    const char* error = applyScreenSettings(nullptr, head_, mask, &settings_);
    return error ? error : "";
  }
  std::string applyTags(u32 tags) {
    settings_.tags = tags;
    return apply(kHeadGivenTags);
  }

  test::DatabaseRig database_;
  Head* head_;
  Head* other_;
  HeadSettings settings_{};
  MetaScreen colorScreen_{};
};

TEST_F(SettingsTest, ClipWidthZeroAndNegativeThroughTheSettings) {
  settings_.physicalWidth = 0;
  ASSERT_EQ(apply(kHeadGivenPhysicalWidth), "");
  EXPECT_EQ(head_->clip.width, 1278);
  EXPECT_EQ(head_->logical.width, 1278);
  settings_.physicalX = 100, settings_.physicalWidth = -10;
  ASSERT_EQ(apply(kHeadGivenPhysicalX | kHeadGivenPhysicalWidth), "");
  EXPECT_EQ(head_->clip.x, 100);
  EXPECT_EQ(head_->clip.width, 1170);
  // Without Tavel the logical size follows the clip size.
  EXPECT_EQ(head_->logical.width, 1170);
  settings_.physicalWidth = -2000;
  EXPECT_EQ(apply(kHeadGivenPhysicalWidth),
            "Invalid displayWidth -2000 for screen h - It leaves no room on the screen");
  EXPECT_EQ(head_->clip.width, 1170);
  // A border of half the shorter side (1024) leaves no screen either.
  settings_.borderWidth = 512;
  EXPECT_EQ(apply(kHeadGivenBorderWidth), "Invalid borderWidth 512 for screen h - It leaves no room on the screen");
  EXPECT_EQ(head_->borderWidth, 1);
  settings_.borderWidth = 511;
  EXPECT_EQ(apply(kHeadGivenBorderWidth), "");
}

TEST_F(SettingsTest, StaticDisplayRefusesClipChangesWhileClientsRun) {
  head_->tags |= kHeadTagStaticDisplay;
  clientCount = 1;
  settings_.physicalY = 20;
  EXPECT_EQ(apply(kHeadGivenPhysicalY), "Can't move or resize screen 'h' with tag StaticDisplay set");
  settings_.physicalX = 20;
  EXPECT_EQ(apply(kHeadGivenPhysicalX), "Can't move or resize screen h: with tag StaticDisplay set");
  clientCount = 0;
  EXPECT_EQ(apply(kHeadGivenPhysicalX), "");
  EXPECT_EQ(head_->clip.x, 20);
}

struct PlacementError {
  const char* name;
  u32 direction;
  u32 relativeTo;
  u32 mask;
  const char* error;
};

const PlacementError kPlacementErrors[] = {
    {"DirectionSix", 6, 2, kHeadGivenPlacement | kHeadGivenReference, "Invalid direction 6 for screen h"},
    {"NoRelativeTo", 3, 0, kHeadGivenPlacement,
     "Specified direction 3 for screen h but no relativeTo screen given"},
    {"UnknownHead", 3, 77, kHeadGivenPlacement | kHeadGivenReference, "Invalid relativeTo xid 0x4d for h"},
    {"Itself", 3, 1, kHeadGivenPlacement | kHeadGivenReference, "Cyclic relative positioning for h"},
    {"EastOfTheOther", 3, 2, kHeadGivenPlacement | kHeadGivenReference, ""},
};

class PlacementErrors : public SettingsTest, public testing::WithParamInterface<PlacementError> {};

TEST_P(PlacementErrors, AreChecked) {
  settings_.placement = GetParam().direction;
  settings_.relativeTo = GetParam().relativeTo;
  EXPECT_EQ(apply(GetParam().mask), GetParam().error);
  if (*GetParam().error) return;
  // Offsets not given count as 0: just east of the other head.
  EXPECT_EQ(head_->logical.x, 640);
  EXPECT_EQ(head_->logical.y, 0);
  EXPECT_EQ(head_->relativeHead, other_);
}

INSTANTIATE_TEST_SUITE_P(Rows, PlacementErrors, testing::ValuesIn(kPlacementErrors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, AnAbsolutePositionEndsRelativePlacement) {
  settings_.placement = 5, settings_.relativeTo = 2, settings_.offsetX = 3;
  ASSERT_EQ(apply(kHeadGivenPlacement | kHeadGivenReference | kHeadGivenOffsetX), "");
  EXPECT_EQ(head_->logical.x, 3);
  EXPECT_EQ(head_->logical.y, 480);
  settings_.logicalX = 50;
  ASSERT_EQ(apply(kHeadGivenLogicalX | kHeadGivenOffsetX), "");
  EXPECT_EQ(head_->logical.x, 50);
  EXPECT_EQ(head_->direction, 0u);
  EXPECT_EQ(head_->relativeHead, nullptr);
}

TEST_F(SettingsTest, AFixedMetaScreenClipsTheLogicalPosition) {
  test::LogCapture log({&logChStep});
  MetaScreen screen{};
  screen.width = 2000, screen.height = 1200;
  head_->metaScreen = &screen;
  clientCount = 1;  // a screen is fixed only while clients run
  settings_.logicalX = 1500, settings_.logicalY = -4;
  EXPECT_EQ(apply(kHeadGivenLogicalX | kHeadGivenLogicalY), "");
  EXPECT_EQ(head_->logical.x, 2000 - 1278);
  EXPECT_EQ(head_->logical.y, 0);
  EXPECT_TRUE(log.contains("step: Clipped logical x to 722..."));
  EXPECT_TRUE(log.contains("step: Clipped logical y to 0..."));
  head_->metaScreen = nullptr;
}

struct RotationRow {
  const char* name;
  u32 degrees;
  bool tavel;
  const char* error;
  i32 width, height;
};

const RotationRow kRotationRows[] = {
    {"QuarterSwapsTheSize", 90, true, "", 1022, 1278},
    {"HalfKeepsTheSize", 180, true, "", 1278, 1022},
    {"NeedsTavel", 90, false,
     "Palvon option Tavel is used but not enabled - Make sure this option is enabled in your configuration", 1278,
     1022},
    {"NotAQuarter", 45, true, "Screen rotation must be a multiple of 0, 90, 180 or 270", 1278, 1022},
};

class Rotations : public SettingsTest, public testing::WithParamInterface<RotationRow> {};

TEST_P(Rotations, TurnTheLogicalSize) {
  if (GetParam().tavel) proxyConfig.options |= kOptionTavel;
  settings_.rotation = GetParam().degrees;
  EXPECT_EQ(apply(kHeadGivenRotation), GetParam().error);
  EXPECT_EQ(head_->logical.width, GetParam().width);
  EXPECT_EQ(head_->logical.height, GetParam().height);
}

INSTANTIATE_TEST_SUITE_P(Rows, Rotations, testing::ValuesIn(kRotationRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Without zoom a logical size follows a clip size given explicitly; the
// head keeps its place in the meta screen.
TEST_F(SettingsTest, ALogicalWidthBowsToAnExplicitClipWidth) {
  settings_.physicalWidth = 800;
  ASSERT_EQ(apply(kHeadGivenPhysicalWidth), "");
  settings_.logicalX = 640;
  ASSERT_EQ(apply(kHeadGivenLogicalX), "");
  settings_.logicalWidth = 500;
  ASSERT_EQ(apply(kHeadGivenLogicalWidth), "");
  EXPECT_EQ(head_->logical.width, 800);
  EXPECT_EQ(head_->logical.x, 640);
  EXPECT_EQ(head_->clip.width, 800);
}

TEST_F(SettingsTest, ALogicalWidthCarriesAClipWidthNotGiven) {
  settings_.logicalWidth = 500;
  ASSERT_EQ(apply(kHeadGivenLogicalWidth), "");
  EXPECT_EQ(head_->logical.width, 500);
  EXPECT_EQ(head_->clip.width, 500);
}

TEST(ResetDelay, NeverHoldsConnectedClients) {
  clientCount = 1;
  auto started = std::chrono::steady_clock::now();
  waitResetDelay();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  clientCount = 0;
}

TEST_F(SettingsTest, PointerSettings) {
  settings_.pointer = 0, settings_.allowEnter = 0, settings_.wrapX = 1, settings_.pointerSampleRate = 10;
  ASSERT_EQ(apply(kHeadGivenPointer | kHeadGivenAllowEnter | kHeadGivenWrapX | kHeadGivenPointerSampleRate), "");
  EXPECT_EQ(head_->pointerHidden, 1);
  EXPECT_EQ(head_->noEntry, 1);
  EXPECT_EQ(head_->wrapX, 1);
  EXPECT_EQ(head_->pointerSampleRate, 10u);
  // Zooms whose cursor no coordinate could hold are refused, NaN included.
  for (double zoom : {0.0, -3.0, kPointerZoomMax * 1.001, 3e38, std::nan("")}) {
    settings_.pointerZoomX = 1, settings_.pointerZoomY = zoom;
    EXPECT_EQ(apply(kHeadGivenPointerZoom), "Invalid pointer scaling factor on h - It must lie above 0 and at most 2047")
        << zoom;
    EXPECT_EQ(head_->zoomY, 1.0);
  }
  settings_.pointerZoomX = 2, settings_.pointerZoomY = 1;
  ASSERT_EQ(apply(kHeadGivenPointerZoom), "");
  EXPECT_EQ(head_->zoomX, 2.0);
}

// --- Tags -----------------------------------------------------------------------------------

struct TagRow {
  const char* name;
  u32 before;        // stored tags
  bool inWindow;
  bool atRunTime;
  bool colourHead;
  u32 options;
  u32 wanted;
  const char* error;
  u32 after;         // stored tags afterwards (checked when there is no error)
};

constexpr u32 kZoomed = kTagZoomedFonts;

const TagRow kTagRows[] = {
    {"KeepOnTopWhileKeptBelow", kHeadTagKeepBelow, false, false, false, 0, kHeadTagKeepBelow | kHeadTagKeepOnTop,
     "Can't change tag 'keepOnTop' on h: keepBelow already set", 0},
    {"KeepBelowWhileOnTop", kHeadTagKeepOnTop, false, false, false, 0, kHeadTagKeepBelow | kHeadTagKeepOnTop,
     "Can't change tag 'keepBelow' on h: keepOnTop already set", 0},
    {"SwappedInOneCallIsRefused", kHeadTagKeepBelow, false, false, false, 0, kHeadTagKeepOnTop,
     "Can't change tag 'keepOnTop' on h: keepBelow already set", 0},
    {"AtomAtRunTime", 0, false, true, false, 0, kHeadTagAtom, "Can't change tag 'atom' on h: not at runtime", 0},
    {"AtomInWindowNeedsStatic", 0, true, false, false, 0, kHeadTagAtom,
     "Can't change tag 'atom' on h: must be static", 0},
    {"AtomWithoutServer", 0, false, false, false, 0, kHeadTagAtom, "Can't change tag 'atom' on h: no X-server", 0},
    {"IconifyOnRoot", 0, false, false, false, 0, kHeadTagIconify, "Can't change tag 'iconify' on h: must be inWindow",
     0},
    {"OverlayIsUnmanaged", 0, true, false, false, 0, kHeadTagOverlay, "", kHeadTagOverlay | kHeadTagNotManaged},
    {"OverlayAtRunTime", 0, true, true, false, 0, kHeadTagOverlay,
     "Can't change tag 'overlay' on h: not at runtime", 0},
    {"ColourOnASloppyHead", kHeadTagSloppyVisuals, false, false, false, 0,
     kHeadTagSloppyVisuals | kHeadTagColor, "Can't change tag 'color' on h: has tag 'sloppyVisuals'", 0},
    {"SloppyOnTheColourHead", 0, false, false, true, 0, kHeadTagColor | kHeadTagSloppyVisuals,
     "Can't change tag 'sloppyVisuals' on h: has tag 'color'", 0},
    {"ProbeOnlyWithoutDynamicServer", 0, false, false, false, 0, kHeadTagProbeOnly,
     "Can't change tag 'probeOnly' on h: Palvon option DynamicServer is used but not enabled - Make sure this "
     "option is enabled in your configuration",
     0},
    {"ProbeOnlyWithDynamicServer", 0, false, false, false, kOptionDynamicServer, kHeadTagProbeOnly, "",
     kHeadTagProbeOnly},
    {"StaticAtRunTime", 0, false, true, false, 0, kHeadTagStatic, "Can't change tag 'static' on h: not at runtime",
     0},
    {"CooperativeIsStored", 0, false, false, false, 0, kHeadTagCooperative | kZoomed, "",
     kHeadTagCooperative | kZoomed},
    {"TagsBeforeARefusalAreNotApplied", kHeadTagCooperative, false, false, false, 0,
     kHeadTagCooperative | kZoomed | kHeadTagIconify, "Can't change tag 'iconify' on h: must be inWindow",
     kHeadTagCooperative},
};

class Tags : public SettingsTest, public testing::WithParamInterface<TagRow> {};

TEST_P(Tags, FollowTheirRules) {
  const TagRow& row = GetParam();
  head_->tags = row.before;
  head_->inWindow = row.inWindow;
  head_->rootWindow = row.atRunTime ? 1 : 0;
  proxyConfig.options = row.options;
  if (row.colourHead) {
    colorScreen_.colorHead = head_;
    head_->metaScreen = &colorScreen_;
  }
  EXPECT_EQ(applyTags(row.wanted), row.error);
  if (!*row.error || row.after) {
    EXPECT_EQ(head_->tags, row.after);
  }
  head_->metaScreen = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Rows, Tags, testing::ValuesIn(kTagRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, KeepBelowClearedFirstMakesRoomForKeepOnTop) {
  head_->tags = kHeadTagKeepBelow;
  ASSERT_EQ(applyTags(0), "");
  ASSERT_EQ(applyTags(kHeadTagKeepOnTop), "");
  EXPECT_EQ(head_->tags, kHeadTagKeepOnTop);
}

TEST_F(SettingsTest, TheEntryFindsHeadsById) {
  settings_.minimumTextSize = 9;
  EXPECT_EQ(std::string(applyScreenSettingsById(nullptr, 99, kHeadGivenMinimumTextSize, &settings_)),
            "No head 0x63");
  EXPECT_EQ(applyScreenSettingsById(nullptr, 2, kHeadGivenMinimumTextSize, &settings_), nullptr);
  EXPECT_EQ(other_->minimumTextSize, 9);
}

// --- The automatic border ----------------------------------------------------------------------

struct BorderRow {
  const char* name;
  const char* config;
  i32 configured;
  i32 border;
};

const BorderRow kBorderRows[] = {
    {"OneHead", "screen :1.0\n", -1, 0},
    {"ScreensOfOneServerInARow", "screen :1.0\nscreen :1.1\n", -1, 0},
    {"TwoServers", "screen :1.0\nscreen :2.0\n", -1, 1},
    {"DynamicServer", "options DynamicServer\nscreen :1.0\n", -1, 1},
    {"TavelWithTwoHeads", "options Tavel\nscreen :1.0\nscreen :1.1\n", -1, 1},
    {"PlacedBelow", "screen :1.0\nscreen :1.1 southOf :1.0\n", -1, 1},
    {"FollowingThePointer", "screen :1.0 followPointerX 10\n", -1, 1},
    {"Configured", "screen :1.0\n", 5, 5},
    {"AtMostHalfTheScreen", "screen :1.0\n", 900, 640},
};

class Borders : public testing::TestWithParam<BorderRow> {};

TEST_P(Borders, AreAutomaticOnlyWhenNeeded) {
  test::TempDir dir;
  ASSERT_EQ(test::parseConfigText(dir.path(), GetParam().config), "");
  Head head{};
  head.width = 1280, head.height = 1024;
  computeHeadBorder(&head, GetParam().configured);
  EXPECT_EQ(head.borderWidth, GetParam().border);
  freeConfiguration(&proxyConfig);
}

INSTANTIATE_TEST_SUITE_P(Rows, Borders, testing::ValuesIn(kBorderRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Reconciliation rules --------------------------------------------------------------------------

struct ListRow {
  const char* name;
  std::vector<NameFlag> entries;
  const char* item;
  bool kept;
};

const ListRow kListRows[] = {
    {"EmptyKeepsAll", {}, "a", true},
    {"FirstEnabledDropsOthers", {{1, const_cast<char*>("a")}}, "b", false},
    {"FirstEnabledKeepsListed", {{1, const_cast<char*>("a")}}, "a", true},
    {"FirstDisabledKeepsOthers", {{0, const_cast<char*>("a")}}, "b", true},
    {"FirstDisabledDropsListed", {{0, const_cast<char*>("a")}}, "a", false},
    {"LastMatchDecides", {{1, const_cast<char*>("a")}, {0, const_cast<char*>("a")}}, "a", false},
};

class IncludeExclude : public testing::TestWithParam<ListRow> {};

TEST_P(IncludeExclude, LastMatchingEntryDecides) {
  const ListRow& row = GetParam();
  bool kept = keptByList(row.entries.data(), u32(row.entries.size()),
                         [&row](const NameFlag& entry) { return strcmp(entry.name, row.item) == 0; });
  EXPECT_EQ(kept, row.kept);
}

INSTANTIATE_TEST_SUITE_P(Rows, IncludeExclude, testing::ValuesIn(kListRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct MaskRow {
  const char* name;
  std::vector<IdMaskDisplay> displays;
  u32 limit, screens;
  u32 mask;
};

const MaskRow kMaskRows[] = {
    {"SmallerWins", {{0x1fffff, 1}, {0x3fffff, 1}}, 0, 0, 0x1fffff},
    {"FourScreens", {{0x1fffff, 1}, {0x3fffff, 1}}, 0, 4, 0x7ffff},
    {"TwoHeadsTakeABit", {{0x1fffff, 2}}, 0, 0, 0xfffff},
    {"ThreeHeadsTakeTwo", {{0x1fffff, 3}}, 0, 0, 0x7ffff},
    {"ConfiguredLimit", {{0x1fffff, 1}}, 16, 0, 0xffff},
    {"ShiftedServerMask", {{0x3ffff800, 1}}, 0, 0, 0x7ffff},
};

class IdMasks : public testing::TestWithParam<MaskRow> {};

TEST_P(IdMasks, TakeTheFewestBits) {
  const MaskRow& row = GetParam();
  EXPECT_EQ(reconcileIdMask(row.displays.data(), u32(row.displays.size()), row.limit, row.screens), row.mask);
}

INSTANTIATE_TEST_SUITE_P(Rows, IdMasks, testing::ValuesIn(kMaskRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct KeycodeRow {
  u32 serverMinimum, count;
  bool given;
  u32 minimum, maximum;
};

class KeycodeRanges : public testing::TestWithParam<KeycodeRow> {};

TEST_P(KeycodeRanges, NeverPass255) {
  u32 minimum = 0, maximum = 0;
  keycodeRange(GetParam().serverMinimum, GetParam().count, GetParam().given, &minimum, &maximum);
  EXPECT_EQ(minimum, GetParam().minimum);
  EXPECT_EQ(maximum, GetParam().maximum);
}

INSTANTIATE_TEST_SUITE_P(Rows, KeycodeRanges,
                         testing::Values(KeycodeRow{8, 100, true, 8, 107}, KeycodeRow{8, 255, true, 8, 255},
                                         KeycodeRow{8, 0, false, 8, 255}, KeycodeRow{9, 248, true, 8, 255},
                                         KeycodeRow{12, 10, true, 12, 21}));

TEST(VisualSpecs, MatchWhatTheyGive) {
  VisualRecord visual{};
  visual.visualClass = 4, visual.depth = 24, visual.bitsPerRgb = 8, visual.colormapSize = 256;
  VisualSpec spec{};
  EXPECT_TRUE(visualSpecMatches(spec, visual));
  spec.classGiven = 1, spec.visualClass = 4;
  spec.numberGiven[0] = 1, spec.numbers[0] = 24;
  EXPECT_TRUE(visualSpecMatches(spec, visual));
  spec.numbers[0] = 16;
  EXPECT_FALSE(visualSpecMatches(spec, visual));
  spec.numbers[0] = 24;
  spec.bufferingGiven = 1, spec.buffering = 2;
  EXPECT_FALSE(visualSpecMatches(spec, visual));
  visual.doubleBuffer = 1;
  EXPECT_TRUE(visualSpecMatches(spec, visual));
  spec.buffering = 3;
  EXPECT_TRUE(visualSpecMatches(spec, visual));
}

}  // namespace
}  // namespace palvon
