// Times, durations, sizes, dates and versions as texts, and their parsers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/timeval.h"

namespace palvon {
namespace {

// Fixes the local zone for the test and restores it afterwards.
class Zone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    saved_ = tz ? tz : "";
    hadZone_ = tz != nullptr;
    use("UTC0");
  }
  void TearDown() override {
    if (hadZone_) setenv("TZ", saved_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  static void use(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

 private:
  std::string saved_;
  bool hadZone_ = false;
};

constexpr time_t kJan2 = 1704153600;    // 2024-01-02 00:00:00 UTC
constexpr time_t kFeb29 = 1709164800;   // 2024-02-29 00:00:00 UTC

struct FormatCase {
  u64 value;
  const char* text;
};

TEST(TimevalFormat, DurationsSizesAndClocksAtTheUnitEdges) {
  const FormatCase durations[] = {{1999, "1999 ms"},       {2500, "2.500 sec"},       {120000, "2 min"},
                                  {7199999, "120 min"},    {7200000, "2 h"},          {1814400000, "3 weeks"},
                                  {94607999999, "36 months"}, {94608000000, "3 years"}};
  for (const auto& c : durations) EXPECT_STREQ(formatDurationMs(c.value), c.text) << c.value;
  const FormatCase sizes[] = {{1, "1 byte"}, {1023, "1023 bytes"}, {1536, "1.5 KB"}, {0xFFFFFFFFFF, "1024.0 GB"},
                              {1ull << 40, "1.0 TB"}};
  for (const auto& c : sizes) EXPECT_STREQ(formatBytes(c.value), c.text) << c.value;
  EXPECT_STREQ(formatClock(59), "59");
  EXPECT_STREQ(formatClock(3661), "1:01:01");
  EXPECT_STREQ(formatSecondsPrecise(90000000000), "1.500 minutes");
  EXPECT_STREQ(formatLength(303.6), "30.36 cm (1.00 ft)");  // 0.996 ft rounds up to a foot
  EXPECT_STREQ(formatLength(2000000), "2.00 km (1.24 mi)");
}

TEST(TimevalFormat, TextsAreCutNotOverrun) {
  EXPECT_STREQ(formatFloatTrimmed(100, 0), "100");  // no point: zeros of the integer stay
  const char* const names[] = {"a", "b", "c", nullptr};
  EXPECT_STREQ(flagNames(5, names), "a c");
  EXPECT_STREQ(flagNames(0, names), "none");
  EXPECT_STREQ(shortenText("abcdefghij", 8), "abcde...");
  EXPECT_STREQ(shortenTextLeft("abcdefghij", 8), "...fghij");

  size_t count = 0;
  const u8* bytes = hexToBytes("0a1B2", &count);  // an odd count gets a leading zero
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(hexString(bytes, count), "00a1b2");
  std::string dump = hexDump("ABCDEFGHIJKLMNOP\x01", 17);
  EXPECT_NE(dump.find("ABCDEFGHIJKLMNOP\n00000010   01 "), std::string::npos);

  char buffer[8];
  char* end = buffer + sizeof buffer;
  char* p = spanPrintf(buffer, end, "%s", "abc");
  EXPECT_EQ(p, buffer + 3);
  EXPECT_EQ(spanPrintf(p, end, "%s", "too long"), end - 1);
}

TEST(TimevalFormat, WrappedLinesStayWithinTheReportWidth) {
  std::string text = std::string(80, 'x');  // a first word longer than a line is kept whole
  for (int i = 0; i < 40; i++) text += " word" + std::to_string(i);
  std::string out = wrapText(text.c_str());
  size_t start = 0;
  int lines = 0;
  for (size_t nl; start <= out.size(); start = nl + 1, lines++) {
    nl = out.find('\n', start);
    if (nl == std::string::npos) nl = out.size();
    std::string line = out.substr(start, nl - start);
    if (lines > 0) {
      ASSERT_EQ(line.substr(0, 13), std::string(13, ' '));
      line = line.substr(13);
      EXPECT_LE(line.size(), 66u) << line;
    }
    EXPECT_NE(line[0], ' ');
  }
  EXPECT_GT(lines, 3);
  EXPECT_EQ(out.substr(0, 80), std::string(80, 'x'));
}

struct ParseCase {
  int (*parse)(const char*, u64*);
  const char* text;
  int ok;
  u64 value;
};

TEST(TimevalParse, DurationsAndSizesRefuseTrailingText) {
  const auto d = parseDurationMs;
  const auto b = parseByteSize;
  const ParseCase cases[] = {
      {d, "1.5", 1, 1005},        {d, "2:30", 1, 150000},      {d, "1:02:03.5", 1, 3723005}, {d, "2:03.250", 1, 123250},
      {d, "2 HOURS", 1, 7200000}, {d, "1.5 h", 1, 5400000},    {d, "1 year", 1, 31536000000}, {d, "10", 1, 10000},
      {d, "", 0, 0},              {d, "-5", 0, 0},             {d, "10 parsecs", 0, 0},     {d, "1:2:3 junk", 0, 0},
      {d, "5 min later", 0, 0},
      // Numbers past 32 bits are refused, not wrapped (4294967297 s as 1 s).
      {d, "4294967297", 0, 0},    {d, "4294967295", 1, 4294967295000}, {d, "1:4294967296", 0, 0},
      {d, "1:-5", 0, 0},          {d, "4294967297 s", 1, 4294967297000}, {b, "4 MiB", 1, 4194304},    {b, "16 Bits", 1, 2},        {b, "2K", 1, 2048},
      {b, "1.5 GB", 1, 1610612736}, {b, "4 XB", 0, 0},         {b, "-1", 0, 0},             {b, "5 MiB extra", 0, 0}};
  for (const auto& c : cases) {
    u64 value = 0;
    EXPECT_EQ(c.parse(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  u64 n = 0;
  EXPECT_EQ(parseU64Decimal("18446744073709551616", &n), 0);
}

struct DateCase {
  const char* text;
  int family;
  time_t time;
};

TEST_F(Zone, DatesInEveryForm) {
  const DateCase cases[] = {
      {"2024-02-29 12:00:00 Z", 3, kFeb29 + 43200},
      {"2024-02-29 12:00:00 +14:00", 3, kFeb29 + 43200 - 50400},
      {"2024-02-29 12:00:00+13:00", 3, kFeb29 + 43200 - 46800},
      {"2024-02-29 12:00:00 -05:30", 3, kFeb29 + 43200 + 19800},
      {"2024-02-29 12:00:00 +15:00", 0, 0},
      {"2024-02-31", 0, 0},  // not March 2
      {"2023-02-29", 0, 0},
      {"2024-03-01 10:20", 3, kFeb29 + 86400 + 37200},
      {"10:20:30", 4, 37230},
      {"24:00", 0, 0},
      {"1/2/2024 12:30 AM", 5, kJan2 + 1800},  // just after midnight
      {"1/2/2024 12:30 PM", 5, kJan2 + 45000},
      {"1/2/2024 1:05 pm", 5, kJan2 + 47100},
      {"1/2/2024 13:05 PM", 0, 0},
      {"1/2/2024", 5, kJan2},
      {"02.01.2024 08:00", 6, kJan2 + 28800},
      {"31.04.2024", 0, 0},
      {"yesterday", 0, 0},
  };
  for (const auto& c : cases) {
    time_t t = -1;
    EXPECT_EQ(parseDateTime(c.text, &t), c.family) << c.text;
    if (c.family) {
      EXPECT_EQ(t, c.time) << c.text;
    }
  }
  time_t t = 0;
  EXPECT_EQ(parseBuildDate("Feb 29 2024", &t), 1);
  EXPECT_EQ(t, kFeb29);
  EXPECT_EQ(parseBuildDate("Feb 30 2024", &t), 0);
  EXPECT_EQ(parseBuildDate("Foo 1 2024", &t), 0);
}

TEST_F(Zone, OffsetsEastOfTwelveHoursStayPositive) {
  const struct {
    const char* tz;
    int offset;
  } zones[] = {{"UTC0", 0}, {"<+13>-13", 46800}, {"<+14>-14", 50400}, {"<-11>11", -39600}, {"IST-5:30", 19800}};
  for (const auto& z : zones) {
    use(z.tz);
    EXPECT_EQ(timeZoneOffset(), z.offset) << z.tz;
  }
  use("<+13>-13");
  EXPECT_STREQ(formatDateTimeZone(0), "1970-01-01 13:00:00 +13:00");
  use("<-03>3");
  EXPECT_STREQ(formatDateTimeZone(0), "1969-12-31 21:00:00 -03:00");
}

TEST_F(Zone, CitiesAndCalendarSteps) {
  EXPECT_TRUE(timeZoneSetByCity("tokyo"));
  EXPECT_FALSE(timeZoneSetByCity("Atlantis"));  // the zone stays
  EXPECT_EQ(timeZoneOffset(), 9 * 3600);
  use("UTC0");

  time_t morning = kJan2 + 8 * 3600 + 7 * 60;  // 08:07
  EXPECT_EQ(timeNextQuarterHour(kJan2 + 23 * 3600 + 50 * 60), kJan2 + 86400);
  EXPECT_EQ(timeNextDay(kJan2 - 10), kJan2);
  EXPECT_EQ(timeStartOfMonth(kFeb29 + 5), kFeb29 - 28 * 86400);
  EXPECT_EQ(timeEndOfMonth(kFeb29 + 5), kFeb29 + 86399);
  EXPECT_EQ(timeDayStart(morning, 3600), kJan2 - 3600);
  EXPECT_STREQ(greetingText("Ann", morning), "Good Morning Ann");

  const int days[][3] = {{2, 1900, 28}, {2, 2000, 29}, {2, 2024, 29}, {4, 2023, 30}, {13, 2023, 0}};
  for (const auto& d : days) EXPECT_EQ(daysInMonth(d[0], d[1]), d[2]) << d[0] << "/" << d[1];
  tm feb30{};
  feb30.tm_year = 124;
  feb30.tm_mon = 1;
  feb30.tm_mday = 30;
  EXPECT_EQ(timeFromFields(&feb30), -1);
}

TEST(TimevalParse, VersionsCompareByNumbers) {
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {{"1.10", "1.9", 1}, {"1.2.0", "1.2", 0}, {"1.2", "1.2.0", 0}, {"1.2", "1.20", -1},
               {"ABC1", "abc1", 0}, {"1.0a", "1.0b", -1}, {"2", "10", -1}, {"1.2 ", "1.2", 0},
               {"1.05", "1", 1},   {"1.0.1", "1", 1}};
  for (const auto& c : cases) {
    int r = versionCompare(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
}

}  // namespace
}  // namespace palvon
