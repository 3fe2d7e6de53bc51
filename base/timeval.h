// Times, durations, sizes and numbers as short texts for log lines and
// reports, and the duration, size and date forms users write in
// configurations.
//
// Texts are temporary strings (see base/strings.h) unless a function says
// otherwise; callers never free them. Times are seconds since the epoch;
// clock readings and durations are u64 milliseconds unless said otherwise.
// Parsers return 1 with the value through the out-parameter, or 0; a text
// with anything but white space after the accepted form is refused.
#pragma once

#include <cstddef>
#include <ctime>

#include "base/strings.h"

namespace palvon {

// --- Clock and calendar ---------------------------------------------------------

void sleepMs(u32 ms);
// Smallest positive step, in ns, between consecutive wall-clock readings
// (4,000,000,000 when the clock never moved).
u64 clockResolutionNs();
// Longest time, in ns, that a sleep of one microsecond took.
u64 sleepGranularityNs();
// Seconds local time is ahead of UTC now (east positive, -12 h .. +14 h).
int timeZoneOffset();
// 28..31, or 0 (logged as "UNE") for a month outside 1-12.
int daysInMonth(int month, int year);
// mktime of a checked broken-down time; -1 when a field is out of range.
time_t timeFromFields(tm* fields);

struct DateFields {
  int year, month, day;  // month 1-12
  int hour, minute, second;
};
constexpr int kLocalZone = -1;
// The instant the fields denote: local time for kLocalZone, else in the
// zone zoneOffset seconds east of UTC. 1 on success, 0 for a field out of
// range (a day the month does not have included).
int timeFromDateFields(const DateFields& fields, int zoneOffset, time_t* out);
time_t timeDayStart(time_t time, int zoneOffset);
time_t timeEndOfDay(time_t time);
time_t timeStartOfMonth(time_t time);
time_t timeEndOfMonth(time_t time);
time_t timeNextQuarterHour(time_t time);
time_t timeNextHour(time_t time);
time_t timeNextDay(time_t time);
// Puts the city's TZ setting into the environment; false for an unknown city.
bool timeZoneSetByCity(const char* city);
// Walks the cities: nullptr gives the first, the last gives nullptr. The
// argument must be a name this function returned.
const char* timeZoneNextCity(const char* city);

// --- Formatting ---------------------------------------------------------------------

const char* formatDateTimeZone(time_t time);   // "2026-12-07 10:15:00 +01:00"
const char* formatDateShort(time_t time);      // "07Dec2026"
const char* formatDurationMs(u64 ms);          // "1999 ms", "2.500 sec", "3 min", ...
const char* formatSecondsPrecise(u64 ns);
const char* formatClock(u32 seconds);          // "1:02:03", "2:03", "3"
const char* formatBytes(u64 n);                // "1 byte", "1.5 KB", ...
const char* formatLength(double millimetres);  // "1.50 m (4.92 ft)"
const char* greetingText(const char* name, time_t time);
const char* goodbyeText(const char* name);
const char* languageName(const char* code);
const char* currencyCode(const char* code);
const char* formatVersion(u32 version);  // version / 64 "." version % 64
const char* formatInt(int n);
const char* formatHex(u32 n);
const char* formatUnsignedBase(u32 n, int base);
// Into one of two static buffers used in turn: two results may be used
// together, a third call overwrites the first.
const char* ulongToText(unsigned long n);
const char* intToText(int n);
const char* u64ToDecimalTmp(u64 n);
const char* formatFloatTrimmed(double value, int decimals);
const char* hexString(const void* bytes, size_t n);
// Pairs of hex digits from the end of the text into a static buffer of
// kHexBytesMax bytes; returns the first byte and sets *count.
constexpr size_t kHexBytesMax = 256;
const u8* hexToBytes(const char* text, size_t* count);
// Offset, 16 bytes and their printable characters per line; "NO MEM" when
// the dump does not fit the temporary ring.
const char* hexDump(const void* bytes, size_t n);
// Names of the set bits (bit i named by names[i], list ended by nullptr).
const char* flagNames(u32 flags, const char* const* names);
const char* shortenText(const char* text, size_t max);
// The last max characters, the first three shown as "..." (static buffer).
const char* shortenTextLeft(const char* text, size_t max);
// Breaks a long value of a report whose values start in column 14.
const char* wrapText(const char* text);
// heap (or nullptr) grown by text; nullptr when no memory, and heap is then
// freed so that `s = appendText(s, t)` leaks nothing.
char* appendText(char* heap, const char* text);
// Formats into [position, end); the new position, or end - 1 when cut.
char* spanPrintf(char* position, char* end, const char* format, ...) __attribute__((format(printf, 3, 4)));
int parseBoolean(const char* text);  // "on" or "true"

// --- Parsing ----------------------------------------------------------------------------

int parseDurationMs(const char* text, u64* ms);
int parseByteSize(const char* text, u64* bytes);
// 0 for no form; else the family that matched: 3 year-month-day (optional
// time and zone), 4 a time of day (seconds since midnight), 5 month/day/year,
// 6 day.month.year.
int parseDateTime(const char* text, time_t* out);
// "Dec  7 2026" (local midnight).
int parseBuildDate(const char* text, time_t* out);
int parseU64Decimal(const char* text, u64* out);
// Digit runs by value, other characters without regard to case; trailing
// ".0" parts are ignored. <0, 0, >0.
int versionCompare(const char* a, const char* b);

}  // namespace palvon
