// Every statement's value forms, ranges and messages; the metaScreen, screen
// and window blocks; the linking pass; the writers reading back; and the
// user's manual of the statements.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <set>
#include <string>

#include "Proxy/config/config.h"
#include "Proxy/config/parser.h"
#include "support/configtext.h"
#include "support/manualpage.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

using test::parseConfigText;
using test::parseConfigWords;

const ProxyConfiguration& cfg = proxyConfig;

const HeadConfig* head(int index) {
  const HeadConfig* h = cfg.heads;
  while (h && index--) h = h->next;
  return h;
}

const ScreenConfig* screen(int index) {
  const ScreenConfig* s = cfg.metaScreens;
  while (s && index--) s = s->next;
  return s;
}

// --- Value forms of the top-level statements ---------------------------------------------

struct ValueCase {
  const char* text;
  long long (*get)();
  long long expected;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class StatementValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(StatementValueTest, StoresTheValue) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(), GetParam().text), "") << GetParam().text;
  EXPECT_EQ(GetParam().get(), GetParam().expected) << GetParam().text;
}

#define FIELD(expr) [] { return static_cast<long long>(expr); }

INSTANTIATE_TEST_SUITE_P(
    Table, StatementValueTest,
    ::testing::Values(
        ValueCase{"accessControl OFF", FIELD(cfg.accessControl), 0},
        ValueCase{"accessControl off accessControl On", FIELD(cfg.accessControl), 1},
        ValueCase{"bell off", FIELD(cfg.bell), 0},
        ValueCase{"noReset on", FIELD(cfg.noReset), 1},
        ValueCase{"syncScreenSavers on disableSlaveInput on", FIELD(cfg.syncScreenSavers + cfg.disableSlaveInput), 2},
        ValueCase{"nice -5", FIELD(cfg.nice), -5},
        ValueCase{"serverNice 010", FIELD(cfg.serverNice), 8},
        ValueCase{"numberOfThreads 0x10", FIELD(cfg.numberOfThreads), 16},
        ValueCase{"xdmcpPort 12px", FIELD(cfg.xdmcpPort), 12},
        ValueCase{"maximumRequestSize 262140", FIELD(cfg.maximumRequestSize), 262140},
        ValueCase{"maximumRequestSize (1000*4)", FIELD(cfg.given), kGivenMaximumRequestSize},
        ValueCase{"maximumBigRequestSize 0xffffffff", FIELD(cfg.maximumBigRequestSize), 0xffffffffll},
        ValueCase{"maximumNumberOfScreens 128", FIELD(cfg.maximumNumberOfScreens), 128},
        ValueCase{"numberOfButtons 8", FIELD(cfg.numberOfButtons), 8},
        ValueCase{"numberOfKeyCodes 255", FIELD(cfg.numberOfKeyCodes), 255},
        ValueCase{"numberOfResourceIdBits 10", FIELD(cfg.given), kGivenNumberOfResourceIdBits},
        ValueCase{"options Keymap +Tavel -Keymap InWindow", FIELD(cfg.options), 0x280},
        ValueCase{"options Failsafe DirectGL none VisEmu", FIELD(cfg.options), 0x10000},
        ValueCase{"option dravant +failsafe", FIELD(cfg.options), 0x8002},
        ValueCase{"logTypes verbose -progress", FIELD(cfg.logTypes), 0x80},
        ValueCase{"logTypes all -Errors", FIELD(cfg.logTypes), 0xfffffffell},
        ValueCase{"logTypes all -all visuals", FIELD(cfg.logTypes), 0x40},
        ValueCase{"workarounds GLX13 NoNoXKB -glx13", FIELD(cfg.workarounds), 0x4000},
        ValueCase{"workaround MapDiscardExpose none RANDREmulation", FIELD(cfg.workarounds), 0x20000},
        ValueCase{"xdmcpMode query once", FIELD(cfg.xdmcpMode * 10 + cfg.xdmcpOnce), 31},
        ValueCase{"xdmcpMode indirect once off", FIELD(cfg.xdmcpMode * 10 + cfg.xdmcpOnce), 0},
        ValueCase{"vendorString same", FIELD(cfg.vendorStringMode), 1},
        ValueCase{"vendorString text vendorString none", FIELD(cfg.vendorStringMode), 0},
        ValueCase{"vendorString \"My X\"", FIELD(cfg.vendorStringMode * 100 + strcmp(cfg.vendorString, "My X")), 200},
        ValueCase{"vendorReleaseNumber 0x20", FIELD(cfg.vendorReleaseMode * 1000 + cfg.vendorReleaseNumber), 2032},
        ValueCase{"vendorReleaseNumber SAME", FIELD(cfg.vendorReleaseMode), 1},
        ValueCase{"extensions -RANDR +XKEYBOARD bell off", FIELD(cfg.extensionCount * 10 + cfg.bell), 40},
        ValueCase{"extensions none", FIELD(cfg.extensionCount + (cfg.extensions != nullptr)), 0},
        ValueCase{"extensions none bell off", FIELD(cfg.bell), 0},
        ValueCase{"fontPath +/a -/b fontPath /c", FIELD(cfg.fontPathCount * 10 + cfg.fontPath[1].enabled), 30},
        ValueCase{"pixmapFormats 24:32:32 -1:1", FIELD(cfg.pixmapFormatCount), 2},
        ValueCase{"authorization /a authorization none", FIELD(cfg.authorization != nullptr), 0},
        ValueCase{"serverAuthorization OFF", FIELD(cfg.serverAuthorization != nullptr), 0},
        ValueCase{"glxVendorString SAME", FIELD(cfg.glxVendorString != nullptr), 0},
        ValueCase{"connection none", FIELD(strcmp(cfg.connection, "none")), 0},
        ValueCase{"metaScreen m keepWindowsVisible -20", FIELD(screen(0)->keepWindowsVisible), -20},
        ValueCase{"logDestination stderr", FIELD(cfg.given & kGivenLogDestination), kGivenLogDestination},
        ValueCase{"set PALVON_TEST_SET \"a b\" logDestination $PALVON_TEST_SET",
                  FIELD(strcmp(cfg.logDestination, "a b")), 0},
        // The ends of the ranges are values.
        ValueCase{"nice 19 serverNice -20", FIELD(cfg.nice * 100 + cfg.serverNice), 1880},
        ValueCase{"xdmcpPort 65535", FIELD(cfg.xdmcpPort), 65535},
        ValueCase{"metaScreen m width 32767", FIELD(screen(0)->width), 32767},
        ValueCase{"screen a displayWidth -32767", FIELD(head(0)->settings.physicalWidth), -32767},
        ValueCase{"screen a screen b eastOf a -32767", FIELD(head(1)->settings.offsetX), -32767},
        ValueCase{"screen a pointer zoom 2047", FIELD(head(0)->settings.pointerZoomY), 2047},
        ValueCase{"screen a priority 0 65535", FIELD(head(0)->settings.defensePriority), 65535},
        ValueCase{"pixmapFormats -1", FIELD(cfg.pixmapFormats[0].depth * 10 + cfg.pixmapFormats[0].enabled), 10}));

TEST(StatementValue, PixmapFormatsAndExtensionEntries) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(), "extensions -RANDR +XKEYBOARD MIT-SHM pixmapFormats 24:32:32 -1:1 ::8"), "");
  ASSERT_EQ(cfg.extensionCount, 5u);
  EXPECT_STREQ(cfg.extensions[2].name, "RANDR");
  EXPECT_EQ(cfg.extensions[2].enabled, 0u);
  EXPECT_EQ(cfg.extensions[4].enabled, 1u);
  ASSERT_EQ(cfg.pixmapFormatCount, 3u);
  const PixmapFormatSpec& second = cfg.pixmapFormats[1];
  EXPECT_EQ(second.enabled, 0u);
  EXPECT_EQ(second.depth, 1u);
  EXPECT_EQ(second.bitsPerPixel, 1u);
  EXPECT_EQ(second.scanlinePadGiven, 0u);
  const PixmapFormatSpec& third = cfg.pixmapFormats[2];
  EXPECT_EQ(third.depthGiven + third.bitsPerPixelGiven, 0u);
  EXPECT_EQ(third.scanlinePad, 8u);
  EXPECT_EQ(cfg.given, kGivenExtensions | kGivenPixmapFormats);
}

TEST(StatementValue, Defaults) {
  ASSERT_EQ(parseConfigWords({}), "");
  EXPECT_STREQ(cfg.connection, ":0");
  EXPECT_EQ(cfg.accessControl, 1u);
  EXPECT_EQ(cfg.bell, 1u);
  EXPECT_STREQ(cfg.fontName, "fixed");
  EXPECT_STREQ(cfg.xdmcpHost, "localhost");
  EXPECT_EQ(cfg.xdmcpPort, 177u);
  EXPECT_STREQ(cfg.glxVendorString, "Morvandell");
  ASSERT_EQ(cfg.extensionCount, 2u);
  EXPECT_STREQ(cfg.extensions[0].name, "XKEYBOARD");
  EXPECT_EQ(cfg.extensions[0].enabled, 0u);
  EXPECT_GE(cfg.numberOfThreads, 1u);
  EXPECT_EQ(cfg.given, 0u);
  EXPECT_EQ(cfg.heads, nullptr);
}

// --- Ranges and invalid values --------------------------------------------------------------

const std::string kWhere = " in FILE, line 1";

TEST(StatementMessage, BoundsNegativesAndUnknownNames) {
  struct {
    const char* statement;
    long long low, high;  // high 0: none below the type's
  } cases[] = {{"maximumRequestSize", 1000, 262140}, {"maximumBigRequestSize", 1000, 0},
               {"maximumNumberOfScreens", 1, 128},   {"numberOfButtons", 1, 8},
               {"numberOfKeyCodes", 1, 255},         {"numberOfResourceIdBits", 10, 31}};
  test::TempDir dir;
  for (const auto& c : cases) {
    std::string name = c.statement;
    auto parse = [&](long long v) { return parseConfigText(dir.path(), name + " " + std::to_string(v)); };
    EXPECT_EQ(parse(c.low - 1), name + " must be greater or equal than " + std::to_string(c.low) + kWhere);
    if (c.high) {
      EXPECT_EQ(parse(c.high + 1), name + " must be lower or equal than " + std::to_string(c.high) + kWhere);
    }
  }
  const char* const others[][2] = {
      {"numberOfThreads 100000", "numberOfThreads must be lower or equal than 1024"},
      {"numberOfButtons -1", "numberOfButtons must be greater or equal than 1"},
      {"screen a borderWidth 70000", "screen borderWidth must be lower or equal than 32767"},
      {"screen a borderWidth -2", "screen borderWidth must be greater or equal than -1"},
      {"metaScreen a eastOf nowhere", "Unknown meta screen 'nowhere'"},
      {"screen a screen b eastOf zz", "No screen 'zz' in meta screen '.0'"}};
  for (const auto& m : others) EXPECT_EQ(parseConfigText(dir.path(), m[0]), m[1] + kWhere) << m[0];
}

// Numbers outside what they can become (a 16-bit coordinate or size, a
// port, a priority, a zoom whose cursor the coordinates hold) are refused
// with the statement and the bound, never wrapped or kept without effect.
struct RangeCase {
  const char* text;
  const char* message;
};

void PrintTo(const RangeCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class OutOfRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(OutOfRangeTest, NamesTheStatementAndTheBound) {
  test::TempDir dir;
  EXPECT_EQ(parseConfigText(dir.path(), GetParam().text), GetParam().message + kWhere);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutOfRangeTest,
    ::testing::Values(
        RangeCase{"nice 1000", "nice must be lower or equal than 19"},
        RangeCase{"serverNice -1000", "serverNice must be greater or equal than -20"},
        RangeCase{"xdmcpPort 70000", "xdmcpPort must be lower or equal than 65535"},
        RangeCase{"xdmcpPort 0", "xdmcpPort must be greater or equal than 1"},
        RangeCase{"pixmapFormats 24:32:32 33", "pixmapFormat depth must be lower or equal than 32"},
        RangeCase{"pixmapFormats 24:32:4", "pixmapFormat scanlinePad must be greater or equal than 8"},
        RangeCase{"metaScreen m width 70000", "metaScreen width must be lower or equal than 32767"},
        RangeCase{"metaScreen m height 0", "metaScreen height must be greater or equal than 1"},
        RangeCase{"metaScreen m offsetX 40000", "metaScreen offsetX must be lower or equal than 32767"},
        RangeCase{"metaScreen m eastOf n -40000", "metaScreen offsetX must be greater or equal than -32767"},
        RangeCase{"metaScreen m widthMM 0", "metaScreen widthMM must be greater or equal than 1"},
        RangeCase{"metaScreen m heightMM 70000", "metaScreen heightMM must be lower or equal than 65535"},
        RangeCase{"metaScreen m keepWindowsVisible 70000", "keepWindowsVisible must be lower or equal than 65535"},
        RangeCase{"metaScreen m visuals TrueColor:48", "visual depth must be lower or equal than 32"},
        RangeCase{"screen a displayX 70000", "convert physicalX must be lower or equal than 32767"},
        RangeCase{"screen a displayX -70000", "convert physicalX must be greater or equal than 0"},
        RangeCase{"screen a displayWidth 70000", "convert physicalWidth must be lower or equal than 32767"},
        RangeCase{"screen a displayGeometry 10x10+40000+0", "convert physicalX must be lower or equal than 32767"},
        RangeCase{"screen a clipWidth -5", "convert logicalWidth must be greater or equal than 1"},
        RangeCase{"screen a clipWidth 0", "convert logicalWidth must be greater or equal than 1"},
        RangeCase{"screen a clipGeometry 40000x10", "convert logicalWidth must be lower or equal than 32767"},
        RangeCase{"screen a clipX -40000", "convert logicalX must be greater or equal than -32767"},
        RangeCase{"screen a screen b initialX 2147483000", "screen initialX must be lower or equal than 32767"},
        RangeCase{"screen a screen b eastOf a 40000", "screen offsetX must be lower or equal than 32767"},
        RangeCase{"screen a followPointerX -5", "screen followPointerX must be greater or equal than 0"},
        RangeCase{"screen a minimumTextSize -1", "screen minimumTextSize must be greater or equal than 0"},
        RangeCase{"screen a priority -1", "screen priority must be greater or equal than 0"},
        RangeCase{"screen a failsafeTimeout 249ms", "screen failsafeTimeout must be greater or equal than 250ms"},
        RangeCase{"screen a failsafeTimeout 0s", "screen failsafeTimeout must be greater or equal than 250ms"},
        RangeCase{"screen a priority 1 70000", "screen defensePriority must be lower or equal than 65535"},
        RangeCase{"screen a pointer sampleRate 70000", "screen pointerSampleRate must be lower or equal than 65535"},
        RangeCase{"screen a pointer zoom 100000", "pointer zoom must be lower or equal than 2047"},
        RangeCase{"screen a pointer zoom 1e308", "pointer zoom must be lower or equal than 2047"},
        RangeCase{"screen a pointer zoom inf", "pointer zoom must be lower or equal than 2047"}));

struct InvalidCase {
  const char* text;
  const char* statement;
  const char* value = nullptr;  // null: the text's last word
};

void PrintTo(const InvalidCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class InvalidValueTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidValueTest, NamesTheValueAndTheStatement) {
  test::TempDir dir;
  const InvalidCase& c = GetParam();
  std::string text = c.text, value = c.value ? c.value : text.substr(text.rfind(' ') + 1);
  EXPECT_EQ(parseConfigText(dir.path(), text), "Invalid value '" + value + "' for statement " + c.statement + kWhere);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidValueTest,
    ::testing::Values(
        InvalidCase{"accessControl maybe", "accessControl"}, InvalidCase{"noReset 1", "noReset"},
        // Numbers that do not fit the statement's 32 bits are not wrapped or
        // clipped into it.
        InvalidCase{"maximumBigRequestSize -1", "maximumBigRequestSize"},
        InvalidCase{"maximumBigRequestSize 4294967296", "maximumBigRequestSize"},
        InvalidCase{"maximumBigRequestSize 99999999999", "maximumBigRequestSize"},
        InvalidCase{"maximumRequestSize -1", "maximumRequestSize"},
        InvalidCase{"metaScreen m offsetX 2147483648", "metaScreen offsetX"},
        InvalidCase{"screen a offsetY -2147483649", "screen offsetY"},
        InvalidCase{"screen a screen b eastOf a 5 4294967296", "screen offsetY"},
        InvalidCase{"screen a failsafeTimeout 4294967297", "screen failsafeTimeout"},
        InvalidCase{"nice abc", "nice"}, InvalidCase{"vendorReleaseNumber x", "vendorReleaseNumber"},
        InvalidCase{"pixmapFormats 24:x", "pixmapFormat", "x"},
        InvalidCase{"metaScreen m direction sideways", "direction"},
        InvalidCase{"metaScreen m offsetX q", "metaScreen offsetX"},
        InvalidCase{"metaScreen m width wide", "metaScreen width"},
        InvalidCase{"metaScreen m heightMM tall", "metaScreen heightMM"},
        InvalidCase{"metaScreen m visuals TrueColor:x", "visual", "x"},
        InvalidCase{"metaScreen m defaultVisual Bogus:8", "visual", "Bogus"},
        InvalidCase{"metaScreen m keepWindowsVisible no", "keepWindowsVisible"},
        InvalidCase{"screen a rotation sideways", "screen rotation"},
        InvalidCase{"screen a clipWidth w", "convert logicalWidth"},
        InvalidCase{"screen a displayY y", "convert physicalY"},
        InvalidCase{"screen a clipGeometry junk", "logical geometry"},
        InvalidCase{"screen a initialX i", "screen initialX"}, InvalidCase{"screen a priority p", "screen priority"},
        InvalidCase{"screen a priority 1 4294967296", "screen defensePriority"},
        InvalidCase{"screen a connectTimeout soon", "screen connectTimeout"},
        InvalidCase{"screen a followPointerMode hop", "followPointerMode"},
        InvalidCase{"screen a input clickTransfer maybe", "clickTransfer"},
        InvalidCase{"screen a pointer allowEnter 1", "allowEnter"},
        InvalidCase{"screen a pointer sync x", "pointerSync"},
        InvalidCase{"screen a pointer sampleRate fast", "screen pointerSampleRate"},
        InvalidCase{"screen a selectionSync maybe", "selectionSync"},
        InvalidCase{"screen a emulateDoubleBuffer yes", "emulateDoubleBuffer"}));

// --- Blocks ------------------------------------------------------------------------------------

TEST(Blocks, HeadKeysAndLists) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(),
                            "screen a\n"
                            "  display host:0.1 tags static -zoomedFonts selectionSync\n"
                            "  rotation half noPointer\n"
                            "  pointer off allowEnter off zoom 1.5 sampleRate 30 wrapX on\n"
                            "  input on clickTransfer on\n"
                            "  dravant on libraryPath /x/libGL.so\n"
                            "  followPointerRestrict shift mod4 followPointerMode jump\n"
                            "  priority 3 4 clipGeometry 640x480+10-20 connectTimeout 2:30\n"
                            "  emulateVisuals PseudoColor:8 only keyboardMapping de\n"),
            "");
  const HeadSettings& s = head(0)->settings;
  EXPECT_STREQ(head(0)->display, "host:0.1");
  EXPECT_EQ(s.tags, 0x400u | kTagSelectionSync);
  EXPECT_EQ(s.rotation, 180u);
  EXPECT_EQ(s.rotateWithoutPointer, 1);
  EXPECT_EQ(s.pointer, 0);
  EXPECT_EQ(s.allowEnter, 0);
  EXPECT_EQ(s.pointerZoomX, 1.5);
  EXPECT_EQ(s.pointerSampleRate, 30u);
  EXPECT_EQ(s.wrapX, 1);
  EXPECT_EQ(s.input + s.clickTransfer, 2);
  EXPECT_EQ(s.directGL, 1u);
  EXPECT_STREQ(s.glLibraryPath, "/x/libGL.so");
  EXPECT_EQ(s.followPointerFlags, kFollowPointerJump | 0x41u);
  EXPECT_EQ(s.priority, 3);
  EXPECT_EQ(s.defensePriority, 4);
  EXPECT_EQ(s.logicalWidth, 640);
  EXPECT_EQ(s.logicalY, -20);
  EXPECT_EQ(s.connectTimeoutMs, 150000u);
  EXPECT_EQ(s.failsafeTimeoutMs, 20000u);
  EXPECT_EQ(s.emulatedVisuals, 0x2002);
  EXPECT_STREQ(s.keyboardMapping, "de");
  u32 expectGiven = kHeadGivenName | kHeadGivenMetaScreen | kHeadGivenTags | kHeadGivenRotation |
                    kHeadGivenPointer | kHeadGivenAllowEnter | kHeadGivenPointerZoom |
                    kHeadGivenPointerSampleRate | kHeadGivenWrapX | kHeadGivenInput |
                    kHeadGivenClickTransfer | kHeadGivenFollowPointerFlags | kHeadGivenLogicalX |
                    kHeadGivenLogicalY | kHeadGivenLogicalWidth | kHeadGivenLogicalHeight |
                    kHeadGivenKeyboardMapping;
  EXPECT_EQ(head(0)->given, expectGiven);
}

TEST(Blocks, SecondValuesAndRestrictionsEndAtTheNextKey) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(), "screen a priority 5 borderWidth 2 followPointerRestrict lock none "
                                        "rotation none tags none input off"),
            "");
  const HeadSettings& s = head(0)->settings;
  EXPECT_EQ(s.priority, 5);
  EXPECT_EQ(s.defensePriority, 0);
  EXPECT_EQ(s.borderWidth, 2);
  EXPECT_EQ(s.followPointerFlags, 0u);
  EXPECT_EQ(s.tags, 0u);
}

TEST(Blocks, LeftOfEndsAScreenBlockAndNamesAFile) {
  test::TempDir dir;
  test::writeFile(dir.file("leftOf"), "bell off\n");
  EXPECT_EQ(parseConfigText(dir.path(), "screen a leftOf"),
            "Syntax error or no configuration file 'leftOf' in FILE, line 1");
  // The same word is a placement key of a metaScreen block.
  EXPECT_EQ(parseConfigText(dir.path(), "metaScreen a metaScreen b leftOf a 10 -20 bell off"), "");
  EXPECT_EQ(screen(1)->placement, kPlaceWest);
  EXPECT_EQ(screen(1)->reference, screen(0));
  EXPECT_EQ(screen(1)->offsetX, 10);
  EXPECT_EQ(screen(1)->offsetY, -20);
  EXPECT_EQ(cfg.bell, 0u);
}

TEST(Blocks, DuplicateScreenReopensItsHead) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(),
                            "metaScreen m1\n screen a borderWidth 2\n"
                            "metaScreen m2\n screen b\n"
                            "screen A minimumTextSize 5\n"
                            "window w\n"),
            "");
  ASSERT_NE(head(2), nullptr);
  EXPECT_EQ(head(3), nullptr);
  EXPECT_EQ(configuredHeadCount(), 3u);
  EXPECT_EQ(head(0)->settings.borderWidth, 2);
  EXPECT_EQ(head(0)->settings.minimumTextSize, 5);
  EXPECT_STREQ(head(0)->metaScreenName, "m1");  // kept when reopened
  EXPECT_EQ(head(0)->metaScreen, screen(0));
  EXPECT_STREQ(head(1)->metaScreenName, "m2");
  EXPECT_EQ(head(2)->settings.inWindow, 1);
  EXPECT_EQ(head(0)->settings.inWindow, 0);
}

TEST(Blocks, MetaScreenKeys) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(),
                            "metaScreen one\n"
                            "metaScreen two width double height triple widthMM 300 noResize\n"
                            "  keepWindowsVisible 3 visuals TrueColor:24 -PseudoColor:8::::1:doubleBuffered\n"
                            "  defaultVisual DirectColor\n"
                            "metaScreen gone delete screen h\n"
                            "metaScreen ONE visuals TrueColor none offsetY 4\n"),
            "");
  EXPECT_EQ(cfg.numberOfMetaScreens, 2u);
  EXPECT_EQ(screen(2), nullptr);
  const ScreenConfig* two = screen(1);
  EXPECT_EQ(two->placement, kPlaceEast);
  EXPECT_EQ(two->reference, screen(0));
  EXPECT_EQ(two->width, kScreenSizeDouble);
  EXPECT_EQ(two->height, kScreenSizeTriple);
  EXPECT_EQ(two->widthMM, 300u);
  EXPECT_EQ(two->flags2, 0x10FFu | kScreenGivenWidthMM);
  EXPECT_EQ(two->resize, 0u);
  EXPECT_EQ(two->keepWindowsVisible, 3);
  ASSERT_EQ(two->visualCount, 2u);
  EXPECT_EQ(two->visuals[1].enabled, 0u);
  EXPECT_EQ(two->visuals[1].visualClass, 3u);
  EXPECT_EQ(two->visuals[1].numbers[4], 1u);
  EXPECT_EQ(two->visuals[1].buffering, 2u);
  EXPECT_EQ(two->defaultVisual.visualClass, 5u);
  EXPECT_EQ(screen(0)->visualCount, 0u);
  EXPECT_EQ(screen(0)->offsetY, 4);
  EXPECT_EQ(screen(0)->placement, kPlaceNone);
  EXPECT_EQ(head(0)->metaScreen, screen(0));  // not a new "gone"
}

TEST(Blocks, DeletedHeadTakesItsCommentsAlong) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(), "screen a delete\n# after\nscreen b\n"), "");
  EXPECT_STREQ(head(0)->settings.name, "b");
  EXPECT_EQ(head(1), nullptr);
  EXPECT_STREQ(cfg.comment, "# after\n");
}

// --- Linking ----------------------------------------------------------------------------------

TEST(Linking, DefaultsGiveOneHeadInOneScreen) {
  ASSERT_EQ(parseConfigWords({}, true), "");
  ASSERT_NE(head(0), nullptr);
  EXPECT_EQ(head(1), nullptr);
  EXPECT_STREQ(head(0)->settings.name, ":1.0");
  EXPECT_STREQ(head(0)->display, ":1.0");
  EXPECT_STREQ(head(0)->serverDisplayName, ":1");
  ASSERT_NE(screen(0), nullptr);
  EXPECT_EQ(screen(1), nullptr);
  EXPECT_STREQ(screen(0)->name, ".0");
  EXPECT_EQ(head(0)->metaScreen, screen(0));
  EXPECT_EQ(head(0)->given, kHeadGivenMetaScreen);
  EXPECT_EQ(head(0)->settings.placement, kPlaceNone);
}

struct DisplayCase {
  const char* display;
  const char* serverDisplay;
};

void PrintTo(const DisplayCase& c, std::ostream* os) { *os << '"' << c.display << '"'; }

class ServerDisplayTest : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(ServerDisplayTest, CutsOnlyTheScreenSuffix) {
  ASSERT_EQ(parseConfigWords({"screen", "h", "display", GetParam().display}), "");
  EXPECT_STREQ(head(0)->serverDisplayName, GetParam().serverDisplay);
}

INSTANTIATE_TEST_SUITE_P(Table, ServerDisplayTest,
                         ::testing::Values(DisplayCase{":1.0", ":1"}, DisplayCase{":1", ":1"},
                                           DisplayCase{"192.168.1.5:0.0", "192.168.1.5:0"},
                                           DisplayCase{"host.example.org:1", "host.example.org:1"},
                                           DisplayCase{"host.example.org:1.2", "host.example.org:1"},
                                           DisplayCase{"unix/:7.1", "unix/:7"}));

TEST(Linking, HeadPlacementsWithinTheirMetaScreen) {
  ASSERT_EQ(parseConfigWords({"screen", "a", "screen", "b", "screen", "c", "northOf", "a", "5",
                              "metaScreen", "m", "screen", "d", "sameAs", ""}),
            "No screen '' in meta screen 'm' in command-line parameter, line 1");
  // Heads before any metaScreen statement join the first meta screen.
  ASSERT_EQ(parseConfigWords({"screen", "a", "screen", "b", "screen", "c", "northOf", "A", "5",
                              "metaScreen", "m", "screen", "d", "relativeTo", "x", "screen", "e"}),
            "No screen 'x' in meta screen 'm' in command-line parameter, line 1");
  ASSERT_EQ(parseConfigWords({"metaScreen", "first", "screen", "a", "screen", "b", "screen", "c", "northOf",
                              "A", "5", "metaScreen", "m", "screen", "d", "relativeTo", "x", "screen", "e"}),
            "");
  EXPECT_EQ(head(0)->settings.placement, kPlaceNone);
  EXPECT_EQ(head(1)->settings.placement, kPlaceEast);
  EXPECT_EQ(head(1)->reference, head(0));
  EXPECT_EQ(head(2)->settings.placement, kPlaceNorth);
  EXPECT_EQ(head(2)->reference, head(0));
  EXPECT_EQ(head(2)->settings.offsetX, 5);
  EXPECT_EQ(head(3)->settings.placement, kPlaceNone);  // first head of m
  EXPECT_EQ(head(4)->reference, head(3));
  EXPECT_EQ(head(4)->settings.metaScreenNumber, 1);
  EXPECT_EQ(screen(0)->number, 0u);
  EXPECT_STREQ(screen(0)->name, "first");
  EXPECT_EQ(screen(1)->placement, kPlaceEast);
}

// --- Writers read back -----------------------------------------------------------------------

TEST(Writers, VisualSpecificationsReadBack) {
  test::TempDir dir;
  const char* words[] = {"TrueColor:24", "-PseudoColor:8::::1:doubleBuffered", ":::::7", "StaticGrey",
                         "GreyScale:4:5:6:2:8:singleOnDoubleBuffered", "-", "+", "DirectColor::16"};
  std::string text = "metaScreen m visuals";
  for (const char* word : words) text += std::string(" ") + word;
  ASSERT_EQ(parseConfigText(dir.path(), text), "");
  ASSERT_EQ(screen(0)->visualCount, std::size(words));
  std::vector<VisualSpec> first(screen(0)->visuals, screen(0)->visuals + screen(0)->visualCount);
  std::string written = "metaScreen m visuals";
  for (const VisualSpec& spec : first) {
    char out[200];
    formatDoubleBufferModes(out, sizeof out, &spec);
    written += std::string(" ") + out;
  }
  ASSERT_EQ(parseConfigText(dir.path(), written), "") << written;
  ASSERT_EQ(screen(0)->visualCount, first.size());
  for (size_t i = 0; i < first.size(); i++)
    EXPECT_EQ(memcmp(&first[i], &screen(0)->visuals[i], sizeof(VisualSpec)), 0) << words[i];
}

TEST(Writers, WordSetsAndPlacementsReadBack) {
  test::TempDir dir;
  const u32 allWorkarounds = 0x1ffdffu;  // every bit a word sets
  std::string text = std::string("workarounds ") + formatWorkarounds(allWorkarounds) + " options " +
                     formatOptionWords(0x1aab3) + "\nmetaScreen a";
  for (u32 code = kPlaceNone; code <= kPlaceSouthEast; code++)
    text += std::string("\nmetaScreen s") + std::to_string(code) + " " + getPlacementKeyword(code) + " a";
  ASSERT_EQ(parseConfigText(dir.path(), text), "") << text;
  EXPECT_EQ(cfg.workarounds, allWorkarounds);
  EXPECT_EQ(cfg.options, 0x1aab3u);
  for (u32 code = kPlaceNone; code <= kPlaceSouthEast; code++) {
    EXPECT_EQ(screen(int(code) + 1)->placement, code) << getPlacementName(code);
    if (code != kPlaceNone) {
      EXPECT_EQ(screen(int(code) + 1)->reference, screen(0));
    }
  }
  EXPECT_STREQ(formatWorkarounds(0), "none");
  EXPECT_STREQ(formatWorkarounds(0x300), "BogusSunKeyboard SimulateAllExtensions");
}

// --- The manual --------------------------------------------------------------------------

std::string wordsMissingFrom(const std::set<std::string>& words, const std::set<std::string>& from) {
  std::string missing;
  for (const std::string& word : words)
    if (!from.count(word)) missing += " " + word;
  return missing;
}

// docs/configuration.md has an entry for every statement, block key and word
// of the tables, and none for what they lack: a statement added, renamed or
// removed without its entry fails here.
TEST(Manual, DocumentsEveryStatementKeyAndWord) {
  std::string page = test::readFile(PALVON_SOURCE_DIR "/docs/configuration.md");
  ASSERT_FALSE(page.empty());
  auto keywords = [](StatementScope scope) {
    std::set<std::string> words;
    for (u32 i = 0; i < statementKeywordCount(scope); i++) words.insert(statementKeyword(scope, i));
    return words;
  };
  auto setWords = [](const WordSet& set) {
    std::set<std::string> words;
    for (size_t i = 0; i < set.count; i++) words.insert(set.rows[i].word);
    if (set.hasAll) words.insert("all");
    return words;
  };
  const std::pair<const char*, std::set<std::string>> parts[] = {
      {"Statements", keywords(StatementScope::kTop)},
      {"The metaScreen block", keywords(StatementScope::kMetaScreen)},
      {"The screen and window blocks", keywords(StatementScope::kHead)},
      {"Options", setWords(kOptionWords)},
      {"Workarounds", setWords(kWorkaroundWords)},
      {"Log types", setWords(kLogTypeWords)},
      {"Tags", setWords(kTagWords)},
      {"Emulated visuals", setWords(kEmulatedVisualWords)},
  };
  for (const auto& [heading, words] : parts) {
    std::set<std::string> documented = test::tableKeys(test::pageSection(page, heading));
    EXPECT_EQ(wordsMissingFrom(words, documented), "") << "no entry under \"" << heading << "\"";
    EXPECT_EQ(wordsMissingFrom(documented, words), "") << "entries under \"" << heading << "\" the table lacks";
  }
}

}  // namespace
}  // namespace palvon
