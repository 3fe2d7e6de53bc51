// Rectangle geometry, scaling arithmetic, unit lists, byte helpers, locked
// counters and whole-buffer stdio writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/rect.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

bool same(const Rect& a, const Rect& b) { return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height; }

// Pixels of a minus b, by brute force, against the pieces rectSubtract gives.
void checkSubtract(const Rect& a, const Rect& b) {
  Rect pieces[4];
  int n = rectSubtract(pieces, a, b);
  for (i32 y = a.y - 2; y < a.y + i32(a.height) + 2; y++) {
    for (i32 x = a.x - 2; x < a.x + i32(a.width) + 2; x++) {
      Rect pixel{x, y, 1, 1};
      bool want = rectContains(pixel, a) && !rectContains(pixel, b);
      int covered = 0;
      for (int i = 0; i < n; i++) covered += rectContains(pixel, pieces[i]);
      ASSERT_EQ(covered, want ? 1 : 0) << x << "," << y;
    }
  }
}

TEST(Rect, SubtractCoversExactlyTheRest) {
  Rect pieces[4];
  EXPECT_EQ(rectSubtract(pieces, Rect{0, 0, 0, 10}, Rect{2, 2, 3, 3}), 0);
  // b sticking out of a on every side, partly, or not touching a at all.
  const Rect cases[] = {{-5, -5, 30, 30}, {-3, 4, 6, 2}, {8, -2, 10, 20}, {3, 8, 4, 9}, {20, 20, 5, 5},
                        {0, 0, 0, 0},     {2, 2, 3, 3}};
  for (const Rect& b : cases) {
    SCOPED_TRACE(rectGeometryText(b));
    checkSubtract(Rect{0, 0, 10, 10}, b);
  }
}

TEST(Rect, PointsMoveToBordersAndInside) {
  const Rect r{0, 0, 10, 10};
  const struct {
    i32 x, y, wantX, wantY;
  } edge[] = {{3, 5, 0, 5}, {5, 8, 5, 9}, {1, 1, 0, 0}, {8, 8, 9, 9}, {-4, 20, 0, 9}, {0, 5, 0, 5}, {5, 5, 9, 9}};
  for (const auto& c : edge) {
    i32 x = c.x, y = c.y;
    rectPushPointToEdge(&x, &y, r);
    EXPECT_EQ(x, c.wantX) << c.x << "," << c.y;
    EXPECT_EQ(y, c.wantY) << c.x << "," << c.y;
  }
  i32 x = 0, y = 4;
  rectPushPointOutside(&x, &y, r);
  EXPECT_EQ(x, -1);
  EXPECT_EQ(y, 4);
  EXPECT_EQ(rectPointDistance(r, 12, -3), 6u);
}

TEST(Rect, BoundsUnionsAndTexts) {
  Rect out;
  rectClampToBounds(&out, Rect{95, -5, 20, 10}, Rect{0, 0, 100, 100});
  EXPECT_TRUE(same(out, Rect{80, 0, 20, 10}));
  rectClampToBounds(&out, Rect{10, 10, 300, 5}, Rect{0, 0, 100, 100});
  EXPECT_TRUE(same(out, Rect{0, 10, 100, 5}));
  rectFitInBounds(&out, Rect{0, 0, 50, 50}, Rect{40, 10, 20, 20});
  EXPECT_TRUE(same(out, Rect{30, 10, 20, 20}));
  rectIntersect(&out, Rect{0, 0, 10, 10}, Rect{10, 0, 5, 5});
  EXPECT_EQ(out.width, 0u);
  Rect u{0, 0, 0, 0};
  rectUnionWith(&u, 5, 5, 2, 2);
  rectUnionWith(&u, -1, 6, 1, 10);
  rectUnionWith(&u, 100, 100, 0, 5);
  EXPECT_TRUE(same(u, Rect{-1, 5, 8, 11}));
  EXPECT_STREQ(rectGeometryText(Rect{0, 0, 640, 480}), "640x480");
  EXPECT_STREQ(rectGeometryText(Rect{10, -5, 640, 480}), "640x480+10+-5");
}

TEST(Scaling, RoundingTablesAndFractions) {
  const double half = 0.5, third = 1.0 / 3;
  EXPECT_EQ(scaleRound(-3, &half), -2);
  EXPECT_EQ(scaleRoundInverse(-5, &third), -15);
  i16 table[6];
  EXPECT_EQ(scaleTable(table, 6, 3, 2, 10, 15), 10);
  const i16 want[6] = {10, 12, 13, 15, 15, 15};  // 1.5 rounds to 2 (12), 4.5 to 5 (clamped)
  for (int i = 0; i < 6; i++) EXPECT_EQ(table[i], want[i]) << i;
  scaleTableMirrored(table, 6, 3, 2, 10, 15);
  for (int i = 0; i < 6; i++) EXPECT_EQ(table[i], want[5 - i]) << i;
  scaleTable(table, 2, 40000, 1, 0, 100000);
  EXPECT_EQ(table[1], INT16_MAX);  // held to the table's range, not wrapped
  u32 num, den;
  EXPECT_FALSE(fractionAverage(1, 0, 3, 4, &num, &den));
  EXPECT_EQ(roundAwayToMultiple(-5, 4), -8);
  EXPECT_EQ(roundAwayToMultiple(5, 0), 0);
  EXPECT_EQ(percentChange(0, 300), 0);  // no base
}

TEST(UnitList, ParsingAndErrors) {
  char unit[kUnitNameMax + 1];
  int n = 0;
  const char* rest;
  EXPECT_EQ(unitParseList("  -12 hard_disk-2 7 cpu", &n, unit, &rest), nullptr);
  EXPECT_EQ(n, -12);
  EXPECT_STREQ(unit, "hard_disk-2");
  EXPECT_STREQ(rest, " 7 cpu");
  EXPECT_EQ(unitParseList("   ", &n, unit, &rest), nullptr);
  EXPECT_EQ(unit[0], 0);
  const std::string tooLong = "1 " + std::string(512, 'u');
  const struct {
    const char* text;
    const char* error;
  } bad[] = {{"x 5", "Invalid unit string near 'x 5'"},
             {"- 5 cpu", "Invalid unit string near '- 5 cpu'"},
             {"5 9cpu", "Invalid unit string near '9cpu'"},
             {"5 cpu! 3 mb", "Invalid unit string near 'cpu! 3 mb'"},
             {"99999999999 cpu", "Invalid unit string near '99999999999 cpu'"},
             {tooLong.c_str(), "Unit name exceeds 511 characters"}};
  for (const auto& c : bad) EXPECT_STREQ(unitParseList(c.text, &n, unit, &rest), c.error) << c.text;

  char out[32];
  EXPECT_EQ(unitFormatList("3 cpu 512 MB_RAM", out, sizeof out), nullptr);
  EXPECT_STREQ(out, "3 cpu, 512 MB RAM");
  EXPECT_STREQ(unitFormatList("1 aaaaaaaaaa 2 bbbbbbbbbb 3 cccccccccc", out, sizeof out),
               "Unit string exceed 31 characters");
}

TEST(UnitList, ComparisonsAndArithmetic) {
  EXPECT_EQ(unitListAnyLess("5 cpu 3 gpu", "4 CPU 4 gpu"), 1);
  EXPECT_EQ(unitListAnyLess("5 cpu 3 gpu", "4 cpu 3 gpu"), 0);
  EXPECT_EQ(unitListAnyLessEqual("5 cpu 3 gpu", "4 cpu 3 gpu"), 1);
  EXPECT_EQ(unitListAnyEqual("0 disk", "4 cpu"), 1);  // missing from b counts 0
  EXPECT_EQ(unitListAnyEqual("x", "4 cpu"), 0);
  char out[kUnitListMax];
  EXPECT_EQ(unitListAdd("5 cpu\n3 gpu", "2 gpu 1 disk 4 CPU", out), nullptr);
  EXPECT_STREQ(out, "9 cpu\n5 gpu 1 disk");
  EXPECT_EQ(unitListSubtract("5 cpu 3 gpu", "2 gpu 1 disk", out), nullptr);
  EXPECT_STREQ(out, "5 cpu 1 gpu -1 disk");
  EXPECT_STREQ(unitListAdd("5 cpu", "2 7gpu", out), "Invalid unit string near '7gpu'");
  std::string big;
  for (int i = 0; i < 600; i++) big += "1 unit" + std::to_string(i) + " ";
  EXPECT_STREQ(unitListAdd(big.c_str(), "", out), "Unit string bigger than 4095 characters");
}

TEST(Helpers, BytesWordsAndCounters) {
  u8 bytes[] = {1, 2, 3, 4, 5};
  xorMask32(bytes, 5, 0x01020304);
  const u8 masked[] = {0, 0, 0, 0, 4};
  EXPECT_EQ(memcmp(bytes, masked, 5), 0);
  EXPECT_EQ(memIsAll(bytes, 0, 4), 1);
  EXPECT_EQ(memIsAll(bytes, 0, 5), 0);
  EXPECT_EQ(textHasNoControls("a\tb\n", 4), 1);
  EXPECT_EQ(textHasNoControls("a\x01", 2), 0);
  const char* words[4];
  ASSERT_EQ(splitWords("  one two\tthree four five", words, 4), 4);
  EXPECT_STREQ(words[2], "three");
  EXPECT_STREQ(quoteIfNeeded(""), "\"\"");

  u32 counter = 0;
  u16 small = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) atomicAdd32(&counter, 1), atomicAdd16(&small, 1);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000u);
  EXPECT_EQ(small, 40000u);
}

TEST(Helpers, WritesAtAnOffsetReturnToThePosition) {
  test::TempDir dir;
  std::string path = dir.path() + "/f";
  FILE* f = fopen(path.c_str(), "w+");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fileWriteAll("hello world", 11, f), nullptr);
  EXPECT_EQ(fileWriteAt("J", 1, f, 6), nullptr);
  EXPECT_EQ(fileWriteAll("!", 1, f), nullptr);
  fclose(f);
  EXPECT_EQ(test::readFile(path), "hello Jorld!");
  FILE* readOnly = fopen(path.c_str(), "r");
  ASSERT_NE(readOnly, nullptr);
  const char* error = fileWriteAt("x", 1, readOnly, 0);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error).rfind("Can't update file content: ", 0), 0u) << error;
  fclose(readOnly);
}

}  // namespace
}  // namespace palvon
