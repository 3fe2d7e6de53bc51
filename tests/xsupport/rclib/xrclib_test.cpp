// Input-control library rules that need no real server: null-device
// scores, UTF-8 and characters as keysyms, hotkey matching, cursor bitmaps
// and image records, modifier maps moved to another keycode range, and
// carrying a position back over a screen crossing (on the fake server).
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/peers/fakeserver.h"
#include "xsupport/rclib/hotkeys.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {
namespace {

// --- Null devices ----------------------------------------------------------------------

struct DeviceRow {
  const char* name;
  int use;
  int buttons;  // -1: no button class
  int axes;     // -1: no valuator class
  int keys;     // -1: no key class
  int minKeycode;
};

// XDeviceInfo records with their class lists, as XListInputDevices gives them.
class DeviceList {
 public:
  explicit DeviceList(const std::vector<DeviceRow>& rows) {
    for (size_t i = 0; i < rows.size(); i++) add(rows[i], i + 10);
  }
  const XDeviceInfo* data() const { return devices_.data(); }
  int size() const { return static_cast<int>(devices_.size()); }

 private:
  void add(const DeviceRow& row, XID id) {
    auto classes = std::make_unique<char[]>(sizeof(XKeyInfo) + sizeof(XButtonInfo) + sizeof(XValuatorInfo));
    char* at = classes.get();
    int count = 0;
    if (row.keys >= 0) {
      auto* keys = reinterpret_cast<XKeyInfo*>(at);
      *keys = {KeyClass, sizeof(XKeyInfo), static_cast<unsigned short>(row.minKeycode),
               static_cast<unsigned short>(row.minKeycode + row.keys - 1), static_cast<unsigned short>(row.keys)};
      at += sizeof(XKeyInfo);
      count++;
    }
    if (row.buttons >= 0) {
      auto* buttons = reinterpret_cast<XButtonInfo*>(at);
      *buttons = {ButtonClass, sizeof(XButtonInfo), static_cast<short>(row.buttons)};
      at += sizeof(XButtonInfo);
      count++;
    }
    if (row.axes >= 0) {
      auto* valuators = reinterpret_cast<XValuatorInfo*>(at);
      *valuators = {ValuatorClass, sizeof(XValuatorInfo), static_cast<unsigned char>(row.axes), Absolute, 0, nullptr};
      count++;
    }
    XDeviceInfo info = {};
    info.id = id;
    info.name = const_cast<char*>(row.name);
    info.use = row.use;
    info.num_classes = count;
    info.inputclassinfo = reinterpret_cast<XAnyClassInfo*>(classes.get());
    devices_.push_back(info);
    storage_.push_back(std::move(classes));
  }
  std::vector<XDeviceInfo> devices_;
  std::vector<std::unique_ptr<char[]>> storage_;
};

struct ScoreCase {
  DeviceRow device;
  u32 score;
};

class NullMouseScore : public ::testing::TestWithParam<ScoreCase> {};

// Core pointer with 5 buttons.
TEST_P(NullMouseScore, FollowsButtonsAxesAndName) {
  DeviceList list({GetParam().device});
  EXPECT_EQ(xrcNullMouseScore(list.data()[0], 5), GetParam().score) << GetParam().device.name;
}

INSTANTIATE_TEST_SUITE_P(Devices, NullMouseScore, ::testing::Values(
    ScoreCase{{"Null Mouse", IsXExtensionPointer, 5, 2, -1, 0}, 0},
    ScoreCase{{"nmouse", IsXExtensionPointer, 5, 2, -1, 0}, 0},
    ScoreCase{{"tablet", IsXExtensionPointer, 5, 2, -1, 0}, 8},
    ScoreCase{{"tablet", IsXExtensionPointer, 7, 2, -1, 0}, 9},
    ScoreCase{{"tablet", IsXExtensionPointer, 5, 3, -1, 0}, 10},
    ScoreCase{{"tablet", IsXExtensionPointer, 5, 0, -1, 0}, 24},
    ScoreCase{{"tablet", IsXExtensionPointer, 0, 2, -1, 0}, 24},
    ScoreCase{{"tablet", IsXExtensionPointer, 3, 1, -1, 0}, 28},
    ScoreCase{{"tablet", IsXExtensionPointer, 3, 3, -1, 0}, 14},
    ScoreCase{{"swapped", IsXExtensionPointer, 0x0500, 2, -1, 0}, 8},  // 5 buttons sent byte-swapped
    ScoreCase{{"bare", IsXExtensionPointer, -1, -1, -1, 0}, 40}));

class NullKeyboardScore : public ::testing::TestWithParam<ScoreCase> {};

// Core keyboard with 248 keys from keycode 8.
TEST_P(NullKeyboardScore, FollowsKeysAndName) {
  DeviceList list({GetParam().device});
  EXPECT_EQ(xrcNullKeyboardScore(list.data()[0], 8, 248), GetParam().score) << GetParam().device.name;
}

INSTANTIATE_TEST_SUITE_P(Devices, NullKeyboardScore, ::testing::Values(
    ScoreCase{{"NKEYBOARD", IsXExtensionKeyboard, -1, -1, 248, 8}, 0},
    ScoreCase{{"null keyboard", IsXExtensionKeyboard, -1, -1, 248, 8}, 0},
    ScoreCase{{"Power Button", IsXExtensionKeyboard, -1, -1, 248, 8}, 128},
    ScoreCase{{"kbd", IsXExtensionKeyboard, -1, -1, 248, 8}, 64},
    ScoreCase{{"kbd", IsXExtensionKeyboard, -1, -1, 248, 9}, 72},
    ScoreCase{{"kbd", IsXExtensionKeyboard, -1, -1, 250, 8}, 112},
    ScoreCase{{"kbd", IsXExtensionKeyboard, -1, -1, 100, 8}, 320},
    ScoreCase{{"kbd", IsXExtensionKeyboard, 3, 2, 248, 8}, 70},
    ScoreCase{{"bare", IsXExtensionKeyboard, -1, -1, -1, 0}, 320}));

TEST(NullDeviceChoice, LowestEligibleScoreFirstOnTies) {
  DeviceList mice({
      {"Null Mouse", IsXPointer, 5, 2, -1, 0},              // the core pointer itself: never
      {"nmouse", IsXExtensionKeyboard, 5, 2, -1, 0},        // a keyboard: never
      {"tablet", IsXExtensionPointer, 3, 3, -1, 0},         // 14
      {"pad", IsXExtensionDevice, 7, 2, -1, 0},             // 9
      {"pen", IsXExtensionPointer, 7, 2, -1, 0},            // 9, later
  });
  EXPECT_EQ(xrcChooseNullMouse(mice.data(), mice.size(), 5), 13u);
  DeviceList noMouse({{"tablet", IsXExtensionPointer, 3, 1, -1, 0}});  // 28: too high
  EXPECT_EQ(xrcChooseNullMouse(noMouse.data(), noMouse.size(), 5), kXrcNoDevice);

  DeviceList keyboards({
      {"kbd", IsXExtensionKeyboard, -1, -1, 248, 8},        // 64
      {"Power Button", IsXExtensionKeyboard, -1, -1, 248, 8},
      {"NKEYBOARD", IsXExtensionPointer, -1, -1, 248, 8},  // a pointer: never
      {"NkeyBoard", IsXExtensionDevice, -1, -1, 248, 8},   // 0
  });
  EXPECT_EQ(xrcChooseNullKeyboard(keyboards.data(), keyboards.size(), 8, 248), 13u);
  DeviceList noKeyboard({{"kbd", IsXExtensionKeyboard, -1, -1, 100, 8}});
  EXPECT_EQ(xrcChooseNullKeyboard(noKeyboard.data(), noKeyboard.size(), 8, 248), kXrcNoDevice);
}

// --- Characters ------------------------------------------------------------------------

TEST(Utf8, DecodesOneCharacterOrStops) {
  struct {
    const char* text;
    u32 length;
    u32 character;
  } cases[] = {
      {"a", 1, 'a'},
      {"\xC2\xB0", 2, 0xB0},  // the lowest two-byte lead
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xF0\x9F\x98\x80", 4, 0x1F600},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xC1\x81", 0, 0},  // overlong lead
      {"\x80", 0, 0},      // a continuation byte first
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xC3", 0, 0},          // cut by the end of the text
      {"\xE2\x28\xA1", 0, 0},  // bad continuation
      {"", 0, 0},
  };
  for (auto& c : cases) {
    u32 character = 99;
    EXPECT_EQ(xrcUtf8Next(c.text, &character), c.length) << c.text;
    EXPECT_EQ(character, c.character) << c.text;
  }
}

TEST(CharToKeysym, ControlsLatin1CurrencyAndUnicode) {
  struct {
    u32 character;
    KeySym keysym;
  } cases[] = {
      {8, 0xff08}, {9, 0xff09}, {10, 0xff0d}, {11, 0xff0a}, {'a', 'a'}, {0xb0, 0xb0},
      {0xff, 0xff}, {0x20a0, 0x20a0}, {0x20ac, 0x20ac}, {0x20ad, 0x10020ad}, {0x100, 0x1000100}, {0x1f600, 0x101f600},
  };
  for (auto& c : cases) EXPECT_EQ(xrcCharToKeysym(c.character), c.keysym) << c.character;
}

// --- Hotkeys -----------------------------------------------------------------------------

struct MatchCase {
  Hotkey hotkey;
  u32 keycode;
  u32 state;
  u32 keyModifiers;
  bool matches;
};

class HotkeyMatch : public ::testing::TestWithParam<MatchCase> {};

constexpr u32 kLocks = LockMask | Mod2Mask;  // Caps Lock and Num Lock
constexpr Hotkey kControlF1 = {ControlMask, 67, nullptr, nullptr};
constexpr Hotkey kAnyF1 = {kHotkeyAnyModifier, 67, nullptr, nullptr};
constexpr Hotkey kControlShift = {ControlMask | ShiftMask, kHotkeyModifiersOnly, nullptr, nullptr};
constexpr Hotkey kNoHotkey = {0, kHotkeyNone, nullptr, nullptr};

TEST_P(HotkeyMatch, LocksStrippedOtherModifiersKept) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(hotkeyMatches(c.hotkey, c.keycode, c.state, kLocks, c.keyModifiers), c.matches);
}

INSTANTIATE_TEST_SUITE_P(Cases, HotkeyMatch, ::testing::Values(
    MatchCase{kControlF1, 67, ControlMask, 0, true},
    MatchCase{kControlF1, 67, ControlMask | Mod2Mask, 0, true},
    MatchCase{kControlF1, 67, ControlMask | LockMask | Mod2Mask, 0, true},
    MatchCase{kControlF1, 67, ControlMask | ShiftMask, 0, false},
    MatchCase{kControlF1, 67, ControlMask | ShiftMask | Mod2Mask, 0, false},
    MatchCase{kControlF1, 67, ControlMask | Mod1Mask, 0, false},
    MatchCase{kControlF1, 68, ControlMask, 0, false},
    MatchCase{kControlF1, 67, 0, 0, false},
    MatchCase{kAnyF1, 67, Mod1Mask | ShiftMask | Mod2Mask, 0, true},
    MatchCase{kAnyF1, 68, 0, 0, false},
    MatchCase{kControlShift, 50, ControlMask | ShiftMask, 0, true},
    MatchCase{kControlShift, 50, ControlMask, ShiftMask, true},             // Shift pressed last
    MatchCase{kControlShift, 50, ControlMask | Mod2Mask, ShiftMask, true},  // ... with Num Lock on
    MatchCase{kControlShift, 38, ControlMask, 0, false},                    // a plain key
    MatchCase{kNoHotkey, 1, 0, 0, false},
    MatchCase{kNoHotkey, 67, 0, 0, false}));

TEST(HotkeyLocks, StrippedOnlyBesideOtherModifiers) {
  EXPECT_EQ(hotkeyStripLocks(ShiftMask | ControlMask, ShiftMask | kLocks), ShiftMask | ControlMask);
  EXPECT_EQ(hotkeyStripLocks(ControlMask | Mod2Mask, kLocks), ControlMask);
  EXPECT_EQ(hotkeyStripLocks(Mod1Mask | LockMask, kLocks), Mod1Mask);
}

// --- Cursors -------------------------------------------------------------------------------

TEST(CursorBits, BoxIsFilledWithAFrameMask) {
  u8 source[3] = {}, mask[3] = {};
  ASSERT_TRUE(xrcBoxCursorBits(5, 3, source, mask));
  EXPECT_EQ(std::vector<u8>(source, source + 3), (std::vector<u8>{0x1f, 0x1f, 0x1f}));
  EXPECT_EQ(std::vector<u8>(mask, mask + 3), (std::vector<u8>{0x1f, 0x11, 0x1f}));
  u8 wide[2 * 2] = {}, wideMask[2 * 2] = {};
  ASSERT_TRUE(xrcBoxCursorBits(9, 2, wide, wideMask));  // rows of two bytes
  EXPECT_EQ(std::vector<u8>(wideMask, wideMask + 4), (std::vector<u8>{0xff, 0x01, 0xff, 0x01}));
  EXPECT_FALSE(xrcBoxCursorBits(0, 0, source, mask));
}

TEST(CursorBits, CrossThroughTheCentre) {
  u8 source[3] = {}, mask[3] = {};
  ASSERT_TRUE(xrcCrossCursorBits(5, 3, source, mask));
  EXPECT_EQ(std::vector<u8>(source, source + 3), (std::vector<u8>{0x04, 0x1f, 0x04}));
  EXPECT_EQ(std::vector<u8>(mask, mask + 3), (std::vector<u8>{0x04, 0x1f, 0x04}));
  EXPECT_FALSE(xrcCrossCursorBits(2, 5, source, mask));
}

TEST(CursorImages, CopiesOwnTheirBuffersAndShareAMaskOnlyWithTheImage) {
  u8 bits[4] = {1, 2, 3, 4};
  HeadCursor shared = {};
  shared.width = 16;
  shared.height = 2;
  shared.depth = 1;
  shared.image = bits;
  shared.mask = bits;
  HeadCursor argb = {};
  argb.width = 2;
  argb.height = 1;
  argb.depth = 32;
  argb.renderFormat = 7;
  u8 pixels[8] = {9, 9, 9, 9, 8, 8, 8, 8};
  u8 maskBits[1] = {3};
  argb.image = pixels;
  argb.mask = maskBits;
  EXPECT_EQ(cursorImageSize(16, 2, 1), 4u);
  EXPECT_EQ(cursorImageSize(3, 2, 1), 2u);
  EXPECT_EQ(cursorImageSize(2, 1, 32), 8u);
  HeadCursor images[2] = {shared, argb};
  HeadCursor* copies = cursorImageArrayDup(images, 2);
  ASSERT_NE(copies, nullptr);
  EXPECT_NE(copies[0].image, bits);
  EXPECT_EQ(copies[0].mask, copies[0].image);
  EXPECT_EQ(memcmp(copies[0].image, bits, 4), 0);
  EXPECT_NE(copies[1].mask, copies[1].image);
  EXPECT_EQ(memcmp(copies[1].image, pixels, 8), 0);
  EXPECT_EQ(copies[1].mask[0], 3);
  EXPECT_EQ(copies[1].renderFormat, 7u);
  EXPECT_EQ(cursorImageAssign(&copies[0], &copies[0]), 1);  // itself: untouched
  EXPECT_EQ(cursorImageAssign(&copies[0], &copies[1]), 1);
  EXPECT_EQ(copies[0].width, 2);
  cursorImageArrayFree(copies, 2);  // the sanitizer checks nothing is freed twice
}

// --- Modifier maps -------------------------------------------------------------------------

TEST(ModifierMap, ShiftedToAnotherKeycodeRange) {
  XModifierKeymap* map = XNewModifiermap(2);
  ASSERT_NE(map, nullptr);
  memset(map->modifiermap, 0, 16);
  map->modifiermap[1 * 2] = 66;       // Lock
  map->modifiermap[4 * 2] = 77;       // Mod2
  map->modifiermap[4 * 2 + 1] = 250;  // leaves 16..255 after moving by 8
  map->modifiermap[0] = 8;
  XModifierKeymap* moved = xrcShiftModifierMap(map, 8, 16, 255);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->max_keypermod, 2);
  EXPECT_EQ(moved->modifiermap[0], 16);
  EXPECT_EQ(moved->modifiermap[1], 0);  // an empty place stays empty
  EXPECT_EQ(moved->modifiermap[2], 74);
  EXPECT_EQ(moved->modifiermap[8], 85);
  EXPECT_EQ(moved->modifiermap[9], 0);
  XModifierKeymap* down = xrcShiftModifierMap(map, -8, 8, 247);
  EXPECT_EQ(down->modifiermap[0], 0);  // keycode 0 is below 8
  EXPECT_EQ(down->modifiermap[9], 242);
  XFreeModifiermap(map);
  XFreeModifiermap(moved);
  XFreeModifiermap(down);
}

// --- Error texts and statistics ------------------------------------------------------------

TEST(XrcLibrary, ErrorsAreCountedInTheStatistics) {
  EXPECT_STREQ(xrcStatistics(), "0e");
  EXPECT_STREQ(xrcError(nullptr, "No %s button #%d", "mouse", 33), "No mouse button #33 (XRC)");
  EXPECT_STREQ(xrcStatistics(), "1e");
  EXPECT_STREQ(xrcLibName(), "XRCLib");
  EXPECT_EQ(std::string(xrcVersion()).rfind("1.0.", 0), 0u);
}

// --- Screen crossings ----------------------------------------------------------------------

TEST(ScreenCrossing, PositionIsCarriedBackOntoTheTargetEdge) {
  test::FakeXServer server;  // one screen of 1024x768
  ASSERT_TRUE(server.ok());
  Display* display = XOpenDisplay(server.display().c_str());
  ASSERT_NE(display, nullptr);
  struct {
    int fromX, fromY, x, y, toX, toY, outX, outY;
  } cases[] = {
      {0, 0, 1030, 10, 0, 0, 1023, 10},     // beyond the right edge: clamped
      {0, 0, 500, 5, 0, 0, 500, 0},         // inside: to the nearest edge
      {1024, 0, -3, 100, 0, 0, 1023, 100},  // from the screen on the right
      {0, 0, 1000, 50, 1024, 0, 0, 50},     // back onto a screen on the right
      {0, 0, 2, 2, 0, 0, 0, 0},             // a corner
  };
  for (auto& c : cases) {
    int x = -1, y = -1;
    xrcUndoScreenCrossing(display, 1, c.fromX, c.fromY, c.x, c.y, 0, c.toX, c.toY, &x, &y);
    EXPECT_EQ(x, c.outX) << c.x << "," << c.y;
    EXPECT_EQ(y, c.outY) << c.x << "," << c.y;
  }
  XCloseDisplay(display);
}

}  // namespace
}  // namespace palvon
