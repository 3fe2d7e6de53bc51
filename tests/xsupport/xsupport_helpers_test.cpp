// Server-free helpers: colour names, XLFD names, packed font metrics,
// display names and the connect deadline.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xsupport/colornames.h"
#include "xsupport/misc.h"
#include "xsupport/xfont.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

// Every name's value is compared with the server's database elsewhere; these
// are the length, case and spacing rules.
TEST(ColorNames, LookUpByNameWithLengthAndCase) {
  struct {
    const char* name;
    size_t length;
    bool found;
    u16 red, green, blue;
  } cases[] = {
      {"WHITE", 5, true, 65535, 65535, 65535},
      {"white", 3, false, 0, 0, 0},
      {"whitesmoke", 5, true, 65535, 65535, 65535},  // only "white" counts
      {"ALICE BLUE", 10, true, 240 * 257, 248 * 257, 255 * 257},
      {"aliceblue", 9, true, 240 * 257, 248 * 257, 255 * 257},
      {"alice  blue", 11, false, 0, 0, 0},
      {"DebianRed", 9, false, 0, 0, 0},
      {"", 0, false, 0, 0, 0},
      {"zzz", 3, false, 0, 0, 0},
  };
  for (auto& c : cases) {
    u16 r = 1, g = 1, b = 1;
    EXPECT_EQ(colorLookupName(c.name, c.length, &r, &g, &b), c.found ? 1 : 0) << c.name;
    if (!c.found) continue;
    EXPECT_EQ(r, c.red) << c.name;
    EXPECT_EQ(g, c.green) << c.name;
    EXPECT_EQ(b, c.blue) << c.name;
  }
}

TEST(ColorNames, NameOfValuePrefersNamesWithoutDigits) {
  EXPECT_STREQ(colorNameOfValue(0, 0, 0), "black");
  EXPECT_STREQ(colorNameOfValue(65535, 65535, 65535), "white");
  EXPECT_STREQ(colorNameOfValue(240 * 257, 248 * 257, 255 * 257), "alice blue");
  EXPECT_STREQ(colorNameOfValue(3 * 257, 3 * 257, 3 * 257), "grey1");  // only numbered rows have it
  EXPECT_EQ(colorNameOfValue(1 * 257, 2 * 257, 3 * 257), nullptr);
}

// --- XLFD ------------------------------------------------------------------------

TEST(Xlfd, FormatAndParseRoundTrip) {
  const char* names[] = {
      "-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1",
      "-*-*-*-*-*-*-*-*-*-*-*-*-*-*",
      "-adobe-courier-bold-o-normal--0-0-100-100-m-~60-iso10646-1",
  };
  for (const char* name : names) {
    XlfdFields* fields = xfontParseXLFD(name);
    ASSERT_NE(fields, nullptr) << name;
    char* back = xfontFormatXLFD(fields);
    EXPECT_STREQ(back, name);
    free(back);
    xfontFreeXLFDFields(fields);
  }
  XlfdFields* fields = xfontParseXLFD(names[2]);
  EXPECT_EQ(fields->averageWidth, -60);
  EXPECT_STREQ(fields->family, "courier");
  EXPECT_STREQ(fields->addStyle, "");  // empty, not a wildcard
  EXPECT_EQ(fields->pixelSize, 0);
  xfontFreeXLFDFields(fields);
  fields = xfontParseXLFD(names[1]);
  EXPECT_EQ(fields->pointSize, kXlfdNone);
  EXPECT_EQ(fields->foundry, nullptr);
  xfontFreeXLFDFields(fields);
}

TEST(Xlfd, RejectsShortOrUnanchoredNames) {
  for (const char* name : {"fixed", "-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859", "", "misc-fixed-"}) {
    EXPECT_EQ(xfontParseXLFD(name), nullptr) << name;
  }
}

// --- Packed metrics ---------------------------------------------------------------

struct SyntheticFont {
  XFontStruct font = {};
  std::vector<XCharStruct> chars;
};

void makeFont(SyntheticFont* f, int scale) {
  f->font.min_char_or_byte2 = 32;
  f->font.max_char_or_byte2 = 36;
  f->font.min_byte1 = 0;
  f->font.max_byte1 = 1;
  f->font.default_char = 33;
  f->font.ascent = static_cast<short>(11 * scale);
  f->font.descent = 3;
  f->font.direction = FontRightToLeft;
  f->font.all_chars_exist = False;
  for (int i = 0; i < 10; i++) {
    XCharStruct c = {};
    if (i != 4) {  // one missing glyph
      c.lbearing = static_cast<short>(-i);
      c.rbearing = static_cast<short>(i * scale);
      c.width = static_cast<short>(7 + i);
      c.ascent = static_cast<short>(10 * scale);
      c.descent = static_cast<short>(i % 3);
    }
    f->chars.push_back(c);
  }
  f->font.per_char = f->chars.data();
  f->font.min_bounds = XCharStruct{-9, 0, 7, 0, 0, 0};
  f->font.max_bounds = XCharStruct{0, static_cast<short>(9 * scale), 16, static_cast<short>(10 * scale), 2, 0};
}

bool sameMetrics(const XCharStruct& a, const XCharStruct& b) {
  return a.lbearing == b.lbearing && a.rbearing == b.rbearing && a.width == b.width && a.ascent == b.ascent &&
         a.descent == b.descent;
}

TEST(PackedMetrics, RoundTripInBothForms) {
  for (int scale : {1, 40}) {
    SyntheticFont f;
    makeFont(&f, scale);
    size_t size = 0;
    u8* blob = xfontPackMetrics(&f.font, &size);
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob[11], scale == 1 ? 1 : 0);  // one byte per value only while all fit
    EXPECT_EQ(blob[2] << 8 | blob[3], 11 * scale);  // ascent, big-endian
    XFontStruct* back = xfontUnpackMetrics(blob, size);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->ascent == f.font.ascent && back->descent == 3 && back->default_char == 33u &&
                back->direction == FontRightToLeft && back->all_chars_exist == False && back->max_byte1 == 1u &&
                back->min_char_or_byte2 == 32u)
        << scale;
    EXPECT_TRUE(sameMetrics(back->min_bounds, f.font.min_bounds));
    EXPECT_TRUE(sameMetrics(back->max_bounds, f.font.max_bounds));
    for (int i = 0; i < 10; i++) EXPECT_TRUE(sameMetrics(back->per_char[i], f.chars[i])) << i;
    free(back);
    free(blob);
  }
}

TEST(PackedMetrics, RejectsBlobsThatPromiseMoreGlyphs) {
  SyntheticFont f;
  makeFont(&f, 1);
  size_t size = 0;
  u8* blob = xfontPackMetrics(&f.font, &size);
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(xfontUnpackMetrics(blob, size - 5), nullptr);  // one glyph short
  blob[9] = 200;                                             // ranges far larger than the data
  EXPECT_EQ(xfontUnpackMetrics(blob, size), nullptr);
  EXPECT_EQ(xfontUnpackMetrics(blob, 5), nullptr);
  // Bounds alone (no per-character metrics) are a valid blob.
  XFontStruct* bare = xfontUnpackMetrics(blob, 22);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->per_char, nullptr);
  free(bare);
  free(blob);
}

// --- Names and numbers ---------------------------------------------------------------

TEST(DisplayNames, NumbersAndIdTexts) {
  EXPECT_EQ(displayNameNumber("host:12.1"), 12u);
  EXPECT_EQ(displayNameNumber(":1.0"), 1u);
  EXPECT_EQ(displayNameNumber("host"), 0u);
  EXPECT_EQ(displayNameNumber(nullptr), 0u);
  EXPECT_EQ(displayNameNumber("[::1]:7"), 7u);
  EXPECT_STREQ(xidToText(999), "999");
  EXPECT_STREQ(xidToText(1000), "0x3e8");
  EXPECT_STREQ(xidToText(0xffffffffUL), "0xffffffff");
}

TEST(TargetOptions, DeadlineCarriesIntoSeconds) {
  timespec d = xtargetDeadline(timeval{100, 400000}, 1500);
  EXPECT_EQ(d.tv_sec, 101);
  EXPECT_EQ(d.tv_nsec, 900000000);
  d = xtargetDeadline(timeval{100, 600000}, 1500);
  EXPECT_EQ(d.tv_sec, 102);
  EXPECT_EQ(d.tv_nsec, 100000000);
  d = xtargetDeadline(timeval{100, 999999}, 999);
  EXPECT_EQ(d.tv_sec, 101);
  EXPECT_EQ(d.tv_nsec, 998999000);
}

}  // namespace
}  // namespace palvon
