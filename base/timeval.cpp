#include "base/timeval.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/hostclock.h"
#include "base/logging.h"

namespace palvon {

// --- Clock and calendar ---------------------------------------------------------

void sleepMs(u32 ms) {
  if (ms >= 1000) {
    timeval timeout{time_t(ms / 1000), suseconds_t(ms % 1000) * 1000};
    select(0, nullptr, nullptr, nullptr, &timeout);
  } else {
    usleep(ms * 1000);
  }
}

u64 clockResolutionNs() {
  u64 best = 4000000000ull;
  timeval previous;
  gettimeofday(&previous, nullptr);
  for (int i = 0; i < 5000; i++) {
    timeval now;
    gettimeofday(&now, nullptr);
    i64 diff = (i64(now.tv_sec) - previous.tv_sec) * 1000000000 + (i64(now.tv_usec) - previous.tv_usec) * 1000;
    if (diff > 0 && u64(diff) < best) best = u64(diff);
    previous = now;
  }
  return best;
}

u64 sleepGranularityNs() {
  u64 worst = 0;
  for (int i = 0; i < 99; i++) {
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    usleep(1);
    clock_gettime(CLOCK_MONOTONIC, &end);
    i64 ns = (i64(end.tv_sec) - start.tv_sec) * 1000000000 + (end.tv_nsec - start.tv_nsec);
    worst = std::max(worst, u64(std::max<i64>(ns, 0)));
  }
  return worst;
}

namespace {

// Local minus UTC at the instant. The dates are compared too, so that zones
// twelve or more hours east (+13, +14) are not folded into the west.
int offsetAt(time_t time) {
  tm local, utc;
  localtime_r(&time, &local);
  gmtime_r(&time, &utc);
  int diff = (local.tm_hour - utc.tm_hour) * 3600 + (local.tm_min - utc.tm_min) * 60 + (local.tm_sec - utc.tm_sec);
  if (local.tm_year != utc.tm_year) diff += local.tm_year > utc.tm_year ? 86400 : -86400;
  else diff += (local.tm_yday - utc.tm_yday) * 86400;
  return diff;
}

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

int timeZoneOffset() { return offsetAt(::time(nullptr)); }

int daysInMonth(int month, int year) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) {
    PALVON_UNE();
    return 0;
  }
  return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

time_t timeFromFields(tm* fields) {
  if (fields->tm_year < 0 || fields->tm_mon < 0 || fields->tm_mon > 11 || fields->tm_mday < 1 ||
      fields->tm_mday > daysInMonth(fields->tm_mon + 1, fields->tm_year + 1900) || fields->tm_hour < 0 ||
      fields->tm_hour > 23 || fields->tm_min < 0 || fields->tm_min > 59 || fields->tm_sec < 0 || fields->tm_sec > 59) {
    return -1;
  }
  return mktime(fields);
}

int timeFromDateFields(const DateFields& f, int zoneOffset, time_t* out) {
  // The day is checked against the month: mktime would quietly turn
  // February 31 into March 3.
  if (f.year < 1970 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > daysInMonth(f.month, f.year) ||
      f.hour < 0 || f.hour >= 24 || f.minute < 0 || f.minute >= 60 || f.second < 0 || f.second >= 60) {
    return 0;
  }
  tm fields{};
  fields.tm_year = f.year - 1900;
  fields.tm_mon = f.month - 1;
  fields.tm_mday = f.day;
  fields.tm_hour = f.hour;
  fields.tm_min = f.minute;
  fields.tm_sec = f.second;
  time_t result;
  if (zoneOffset == kLocalZone) {
    fields.tm_isdst = -1;
    result = mktime(&fields);
  } else {
    result = timegm(&fields) - zoneOffset;
  }
  if (result == time_t(-1)) return 0;
  *out = result;
  return 1;
}

time_t timeDayStart(time_t time, int zoneOffset) {
  time_t shifted = time + zoneOffset;
  tm fields;
  gmtime_r(&shifted, &fields);
  return time - (fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec);
}

namespace {

// mktime of the local date of `time` changed by `change`; daylight saving is
// decided by the system for the new date.
template <typename Change>
time_t localAdjusted(time_t time, Change change) {
  tm fields;
  localtime_r(&time, &fields);
  change(fields);
  fields.tm_isdst = -1;
  return mktime(&fields);
}

}  // namespace

time_t timeEndOfDay(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_hour = 23, f.tm_min = 59, f.tm_sec = 59; });
}

time_t timeStartOfMonth(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_mday = 1, f.tm_hour = 0, f.tm_min = 0, f.tm_sec = 0; });
}

time_t timeEndOfMonth(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_mon += 1, f.tm_mday = 1, f.tm_hour = 0, f.tm_min = 0, f.tm_sec = 0; }) - 1;
}

time_t timeNextQuarterHour(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_min = f.tm_min / 15 * 15 + 15, f.tm_sec = 0; });
}

time_t timeNextHour(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_hour += 1, f.tm_min = 0, f.tm_sec = 0; });
}

time_t timeNextDay(time_t time) {
  return localAdjusted(time, [](tm& f) { f.tm_mday += 1, f.tm_hour = 0, f.tm_min = 0, f.tm_sec = 0; });
}

namespace {

struct TimeZoneCity {
  const char* city;
  const char* setting;
};

constexpr TimeZoneCity kCities[] = {
    {"Hawaii", "TZ=HST+10"},
    {"Los Angeles", "TZ=PST+8PDT,M4.1.0/2:00,M10.5.0/2:00"},
    {"Denver", "TZ=MST+7MDT,M4.1.0/2:00,M10.5.0/2:00"},
    {"Chicago", "TZ=CST+6CDT,M4.1.0/2:00,M10.5.0/2:00"},
    {"New York", "TZ=EST+5EDT,M4.1.0/2:00,M10.5.0/2:00"},
    {"Rio de Janeiro", "TZ=EST3EDT,M10.3.0/0,M.2.2.0/0"},
    {"London", "TZ=GMT0BST,M3.5.0/1:00,M10.5.0/2:00"},
    {"Paris", "TZ=CET-1CEST,M3.5.0/2:00,M10.5.0/3:00"},
    {"Johannesburg", "TZ=SAT-2"},
    {"Istanbul", "TZ=TST-2TDST,M3.5.0/3:00,M10.5.0/4:00"},
    {"Teheran", "TZ=IT-3:30IST,M3.5.0/2:00,M10.5.0/3:00"},
    {"Bombay", "TZ=IST-5:30"},
    {"Hong Kong", "TZ=HST-8"},
    {"Tokyo", "TZ=JST-9"},
    {"Sydney", "TZ=AST-10ASDT,M10.1.0/2:00,M3.3.0/3:00"},
    {"Wellington", "TZ=NZST-12NZDT,M10.1.0/2:00,M3.3.0/3:00"},
};
constexpr int kCityCount = int(sizeof kCities / sizeof kCities[0]);

}  // namespace

bool timeZoneSetByCity(const char* city) {
  for (int i = kCityCount - 1; i >= 0; i--) {
    if (strcasecmp(kCities[i].city, city) != 0) continue;
    // putenv keeps the pointer; the table is never written.
    putenv(const_cast<char*>(kCities[i].setting));
    tzset();
    return true;
  }
  return false;
}

const char* timeZoneNextCity(const char* city) {
  if (!city) return kCities[0].city;
  for (int i = 0; i < kCityCount - 1; i++) {
    if (kCities[i].city == city) return kCities[i + 1].city;
  }
  return nullptr;
}

// --- Formatting ---------------------------------------------------------------------

const char* formatDateTimeZone(time_t time) {
  int offset = offsetAt(time);
  u32 magnitude = u32(std::abs(offset));
  return tmpPrintf("%s %c%02u:%02u", timeFormatLocal(time, "%Y-%m-%d %H:%M:%S"), offset < 0 ? '-' : '+',
                   magnitude / 3600, magnitude / 60 % 60);
}

const char* formatDateShort(time_t time) { return timeFormatLocal(time, "%d%b%Y"); }

const char* formatDurationMs(u64 ms) {
  if (ms < 2000) return tmpPrintf("%u ms", u32(ms));
  if (ms < 120000) {
    if (ms % 1000 == 0) return tmpPrintf("%d sec", int(ms / 1000));
    return tmpPrintf("%d.%03d sec", int(ms / 1000), int(ms % 1000));
  }
  if (ms < 7200000) return tmpPrintf("%d min", int((ms + 29999) / 60000));
  if (ms < 259200000) return tmpPrintf("%d h", int((ms + 1799999) / 3600000));
  if (ms < 1814400000) return tmpPrintf("%d days", int((ms + 43199999) / 86400000));
  if (ms < 7776000000ull) return tmpPrintf("%d weeks", int((ms + 302399999) / 604800000));
  if (ms > 94607999999ull) return tmpPrintf("%llu years", (unsigned long long)((ms + 15767999999ull) / 31536000000ull));
  return tmpPrintf("%d months", int((ms + 1295999999) / 2592000000ull));
}

const char* formatSecondsPrecise(u64 ns) {
  if (ns <= 999) return tmpPrintf("%d nanoseconds", int(ns));
  if (ns <= 999999) return tmpPrintf("%.3f microseconds", double(ns) / 1e3);
  if (ns <= 999999999) return tmpPrintf("%.3f milliseconds", double(ns) / 1e6);
  if (ns <= 59999999999ull) return tmpPrintf("%.3f seconds", double(ns) / 1e9);
  if (ns <= 3599999999999ull) return tmpPrintf("%.3f minutes", double(ns) / 6e10);
  return tmpPrintf("%.3f hours", double(ns) / 3.6e12);
}

const char* formatClock(u32 s) {
  if (s >= 3600) return tmpPrintf("%u:%.2u:%.2u", s / 3600, s / 60 % 60, s % 60);
  if (s >= 60) return tmpPrintf("%u:%.2u", s / 60, s % 60);
  return tmpPrintf("%u", s);
}

const char* formatBytes(u64 n) {
  if (n > 0xFFFFFFFFFFull) return tmpPrintf("%.1f TB", double(n) / double(1ull << 40));
  if (n >= (1ull << 30)) return tmpPrintf("%.1f GB", double(n) / double(1ull << 30));
  if (n >= (1ull << 20)) return tmpPrintf("%.1f MB", double(n) / double(1ull << 20));
  if (n >= 1024) return tmpPrintf("%.1f KB", double(n) / 1024.0);
  return tmpPrintf(n == 1 ? "%d byte" : "%d bytes", int(n));
}

const char* formatLength(double mm) {
  const char* metric = mm >= 1000000 ? tmpPrintf("%.2f km", mm / 1000000)
                       : mm >= 1000  ? tmpPrintf("%.2f m", mm / 1000)
                       : mm >= 10    ? tmpPrintf("%.2f cm", mm / 10)
                                     : tmpPrintf("%.2f mm", mm);
  static const struct {
    double mm;
    const char* format;
  } kImperial[] = {{1609344, "%s (%.2f mi)"}, {914.4, "%s (%.2f yd)"}, {304.8, "%s (%.2f ft)"}};
  for (const auto& unit : kImperial) {
    if (mm / unit.mm + 0.004 >= 1) return tmpPrintf(unit.format, metric, mm / unit.mm);
  }
  return tmpPrintf("%s (%.2f in)", metric, mm / 25.4);
}

const char* greetingText(const char* name, time_t time) {
  int hour = -1;
  if (time != 0) {
    tm local;
    localtime_r(&time, &local);
    hour = local.tm_hour;
  }
  if (hour >= 5 && hour <= 11) return tmpPrintf("Good Morning %s", name);
  if (hour >= 12 && hour <= 17) return tmpPrintf("Good Afternoon %s", name);
  if (hour >= 18 && hour <= 22) return tmpPrintf("Good Evening %s", name);
  return tmpPrintf("Welcome %s", name);
}

const char* goodbyeText(const char* name) { return tmpPrintf("Good bye %s", name); }

const char* languageName(const char* code) {
  static const char* const kLanguages[][2] = {{"en", "English"}, {"de", "German"}, {"fr", "French"}, {"es", "Spanish"}};
  for (const auto& row : kLanguages) {
    if (strcmp(row[0], code) == 0) return row[1];
  }
  return "Unknown";
}

const char* currencyCode(const char* code) {
  static const char* const kCurrencies[] = {"USD", "EUR", "CAD", "CHF", "GBP", "JPY", "RUB", "DKK", "SEK", "ISK",
                                            "NOK", "BGN", "CPY", "EEK", "HUF", "LTL", "LVL", "MTL", "PLN", "ROL",
                                            "SIT", "SKK", "TRL", "AUD", "HKD", "NZD", "SGD", "KRW", "ZAR"};
  for (const char* currency : kCurrencies) {
    if (strcasecmp(currency, code) == 0) return currency;
  }
  return code;
}

const char* formatVersion(u32 v) { return tmpPrintf("%u.%u", v / 64, v % 64); }
const char* formatInt(int n) { return tmpPrintf("%i", n); }
const char* formatHex(u32 n) { return tmpPrintf("0x%x", n); }

const char* formatUnsignedBase(u32 n, int base) {
  if (base == 16) return tmpPrintf("0x%x", n);
  if (base == 8) return tmpPrintf("0%o", n);
  return tmpPrintf("%u", n);
}

namespace {

char* nextNumberBuffer() {
  static char buffers[2][30];
  static int turn;
  turn ^= 1;
  return buffers[turn];
}

}  // namespace

const char* ulongToText(unsigned long n) {
  char* buffer = nextNumberBuffer();
  snprintf(buffer, 30, "%lu", n);
  return buffer;
}

const char* intToText(int n) {
  char* buffer = nextNumberBuffer();
  snprintf(buffer, 30, "%d", n);
  return buffer;
}

const char* u64ToDecimalTmp(u64 n) {
  char* piece = tmpAlloc(64);
  snprintf(piece, 64, "%llu", (unsigned long long)n);
  return piece;
}

const char* formatFloatTrimmed(double value, int decimals) {
  char* piece = tmpAlloc(400);
  int length = snprintf(piece, 400, "%.*f", std::clamp(decimals, 0, 60), value);
  if (length <= 0 || length >= 400 || !strchr(piece, '.')) return piece;
  while (piece[length - 1] == '0') piece[--length] = 0;
  if (piece[length - 1] == '.') piece[--length] = 0;
  return piece;
}

const char* hexString(const void* bytes, size_t n) {
  n = std::min(n, kTmpStrndupMax / 2);
  char* piece = tmpAlloc(2 * n + 1);
  const u8* p = static_cast<const u8*>(bytes);
  for (size_t i = 0; i < n; i++) snprintf(piece + 2 * i, 3, "%02x", p[i]);
  piece[2 * n] = 0;
  return piece;
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = char(tolower(u8(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

const u8* hexToBytes(const char* text, size_t* count) {
  static u8 buffer[kHexBytesMax];
  size_t n = 0;
  const char* p = text + strlen(text);
  while (p > text && n < kHexBytesMax) {
    int low = hexValue(p[-1]);
    if (low < 0) break;
    int high = p - 1 > text ? hexValue(p[-2]) : -1;
    p -= high < 0 ? 1 : 2;
    buffer[kHexBytesMax - ++n] = u8(std::max(high, 0) << 4 | low);
    if (high < 0) break;
  }
  *count = n;
  return buffer + kHexBytesMax - n;
}

const char* hexDump(const void* bytes, size_t n) {
  constexpr size_t kLine = 1 + 8 + 3 + 16 * 3 + 16;
  size_t lines = (n + 15) / 16;
  if (lines > (kTmpRingSize - 1) / kLine / 2) return "NO MEM";
  char* out = tmpAlloc(lines * kLine + 1);
  if (!out) return "NO MEM";
  const u8* p = static_cast<const u8*>(bytes);
  char* w = out;
  *w = 0;
  for (size_t offset = 0; offset < n; offset += 16) {
    w += sprintf(w, "\n%08zx   ", offset);
    for (size_t i = offset; i < offset + 16; i++) w += i < n ? sprintf(w, "%02hhx ", p[i]) : sprintf(w, "   ");
    for (size_t i = offset; i < offset + 16 && i < n; i++) *w++ = isprint(p[i]) ? char(p[i]) : '.';
    *w = 0;
  }
  return out;
}

const char* flagNames(u32 flags, const char* const* names) {
  if (flags == 0) return "none";
  char* out = tmpAlloc(kTmpPiece);
  out[0] = 0;
  for (int bit = 0; bit < 32 && names[bit]; bit++) {
    if (!(flags & (u32(1) << bit))) continue;
    if (out[0]) strAppend(out, " ", kTmpPiece);
    strAppend(out, names[bit], kTmpPiece);
  }
  return out;
}

const char* shortenText(const char* text, size_t max) {
  size_t length = strlen(text);
  if (length <= max) return text;
  max = std::clamp<size_t>(max, 3, kTmpPiece - 1);
  char* out = tmpAlloc(kTmpPiece);
  memcpy(out, text, max - 3);
  strcpy(out + max - 3, "...");
  return out;
}

const char* shortenTextLeft(const char* text, size_t max) {
  static char buffer[kTmpPiece];
  size_t length = strlen(text);
  if (length <= max) return text;
  max = std::clamp<size_t>(max, 3, sizeof buffer - 1);
  memcpy(buffer, text + length - max, max + 1);
  memcpy(buffer, "...", 3);
  return buffer;
}

namespace {

// Appends n bytes within the 1,024-byte piece, cutting what does not fit.
void appendCut(char* out, size_t* used, const char* data, size_t n) {
  n = std::min(n, kTmpPiece - 1 - *used);
  memcpy(out + *used, data, n);
  *used += n;
  out[*used] = 0;
}

}  // namespace

const char* wrapText(const char* text) {
  constexpr size_t kWidth = 66;
  static const char kBreak[] = "\n             ";  // values start in column 14
  char* out = tmpAlloc(kTmpPiece);
  size_t used = 0, column = 0;
  out[0] = 0;
  const char* p = text + strspn(text, " \t");
  for (bool first = true; *p; first = false) {
    size_t separatorLength = first ? 0 : strspn(p, " \t");
    const char* separator = p;
    p += separatorLength;
    if (!*p) break;
    size_t wordLength = strcspn(p, " \t");
    if (!first && column + separatorLength + wordLength > kWidth) {
      appendCut(out, &used, kBreak, sizeof kBreak - 1);
      column = 0;
    } else {
      appendCut(out, &used, separator, separatorLength);
      column += separatorLength;
    }
    appendCut(out, &used, p, wordLength);
    column += wordLength;
    p += wordLength;
  }
  return out;
}

char* appendText(char* heap, const char* text) {
  size_t had = heap ? strlen(heap) : 0, more = strlen(text);
  char* grown = static_cast<char*>(memRealloc(heap, had + more + 1));
  if (!grown) {
    std::free(heap);
    return nullptr;
  }
  memcpy(grown + had, text, more + 1);
  return grown;
}

char* spanPrintf(char* position, char* end, const char* format, ...) {
  if (position >= end) return end - 1;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(position, size_t(end - position), format, args);
  va_end(args);
  if (n < 0 || n >= end - position) return end - 1;
  return position + n;
}

int parseBoolean(const char* text) { return strcmp(text, "on") == 0 || strcmp(text, "true") == 0; }

// --- Parsing ----------------------------------------------------------------------------

namespace {

// sscanf of the whole text: the form must match every conversion and only
// white space may follow.
template <typename... Args>
bool scanAll(const char* text, const char* format, int conversions, Args*... args) {
  char full[64];
  snprintf(full, sizeof full, "%s%%n", format);
  int consumed = -1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int matched = sscanf(text, full, args..., &consumed);
#pragma GCC diagnostic pop
  if (matched != conversions || consumed < 0) return false;
  return text[consumed + strspn(text + consumed, " \t\r\n")] == 0;
}

// Numbers of durations and sizes are never negative; %u would wrap a sign.
bool unsignedText(const char* text) {
  const char* p = text + strspn(text, " \t");
  return isdigit(u8(*p)) || (*p == '.' && isdigit(u8(p[1])));
}

struct UnitRow {
  const char* name;
  double factor;
};

const UnitRow kDurationUnits[] = {
    {"ms", 1},          {"seconds", 1e3},   {"second", 1e3},    {"sec.", 1e3},      {"sec", 1e3},
    {"s", 1e3},         {"minutes", 6e4},   {"minute", 6e4},    {"min.", 6e4},      {"min", 6e4},
    {"m", 6e4},         {"hours", 3.6e6},   {"hour", 3.6e6},    {"h", 3.6e6},       {"days", 8.64e7},
    {"day", 8.64e7},    {"d", 8.64e7},      {"weeks", 6.048e8}, {"week", 6.048e8},  {"months", 2.592e9},
    {"month", 2.592e9}, {"years", 3.1536e10}, {"year", 3.1536e10},
};

const UnitRow kSizeUnits[] = {
    {"Bytes", 1},       {"Byte", 1},        {"B", 1},           {"KiB", 1024},      {"KB", 1024},
    {"K", 1024},        {"MiB", 1048576.0}, {"MB", 1048576.0},  {"M", 1048576.0},   {"GiB", 1073741824.0},
    {"GB", 1073741824.0}, {"G", 1073741824.0}, {"TiB", 1099511627776.0}, {"TB", 1099511627776.0},
    {"T", 1099511627776.0}, {"Bit", 0.125}, {"Bits", 0.125},
};

bool toU64(double value, u64* out) {
  if (!(value >= 0) || value >= 18446744073709551615.0) return false;
  *out = u64(std::llround(value));
  return true;
}

// The forms of whole numbers (h:m:s.ms and the like) read each number as
// 32 bits, which scanf would wrap without a word (4294967297 seconds would
// be one): only digits, colons, one point and blanks, and no number past
// that range.
bool wholeNumbersFit(const char* text) {
  if (text[strspn(text, "0123456789:. \t\r\n")] != 0) return false;
  for (const char* p = text; *p;) {
    if (!isdigit(u8(*p))) {
      p++;
      continue;
    }
    u64 value = 0;
    for (; isdigit(u8(*p)); p++) {
      value = value * 10 + u64(*p - '0');
      if (value > 0xffffffffull) return false;
    }
  }
  return true;
}

}  // namespace

int parseDurationMs(const char* text, u64* ms) {
  if (!unsignedText(text)) return 0;
  bool whole = wholeNumbersFit(text);
  unsigned h, m, s, f;
  if (whole && scanAll(text, "%u:%u:%u.%u", 4, &h, &m, &s, &f)) return *ms = ((u64(h) * 60 + m) * 60 + s) * 1000 + f, 1;
  if (whole && scanAll(text, "%u:%u:%u", 3, &h, &m, &s)) return *ms = ((u64(h) * 60 + m) * 60 + s) * 1000, 1;
  if (whole && scanAll(text, "%u:%u.%u", 3, &m, &s, &f)) return *ms = (u64(m) * 60 + s) * 1000 + f, 1;
  if (whole && scanAll(text, "%u:%u", 2, &m, &s)) return *ms = (u64(m) * 60 + s) * 1000, 1;
  double value;
  char unit[100];
  if (scanAll(text, "%lf %99s", 2, &value, unit)) {
    for (const UnitRow& row : kDurationUnits) {
      if (strcasecmp(row.name, unit) == 0) return toU64(value * row.factor, ms) ? 1 : 0;
    }
    return 0;
  }
  if (!whole) return 0;
  if (scanAll(text, "%u.%u", 2, &s, &f)) return *ms = u64(s) * 1000 + f, 1;
  if (scanAll(text, "%u", 1, &s)) return *ms = u64(s) * 1000, 1;
  return 0;
}

int parseByteSize(const char* text, u64* bytes) {
  if (!unsignedText(text)) return 0;
  char* end;
  double value = strtod(text, &end);
  if (end == text) return 0;
  const char* unit = end + strspn(end, " \t");
  size_t unitLength = strcspn(unit, " \t\r\n");
  if (unit[unitLength + strspn(unit + unitLength, " \t\r\n")] != 0) return 0;
  if (unitLength == 0) return toU64(value, bytes) ? 1 : 0;
  for (const UnitRow& row : kSizeUnits) {
    if (strlen(row.name) == unitLength && strncmp(row.name, unit, unitLength) == 0) {
      return toU64(value * row.factor, bytes) ? 1 : 0;
    }
  }
  return 0;
}

namespace {

// The zone behind "year-month-day hour:minute:second": "+hh:mm", "-hh:mm"
// or "Z"; kLocalZone when there is none, false when it is malformed.
bool parseZone(const char* zone, int* offset) {
  zone += strspn(zone, " \t");
  if (*zone == 0) return *offset = kLocalZone, true;
  if ((zone[0] == 'Z' || zone[0] == 'z') && zone[1 + strspn(zone + 1, " \t\r\n")] == 0) return *offset = 0, true;
  if (zone[0] != '+' && zone[0] != '-') return false;
  if (!isdigit(u8(zone[1]))) return false;
  unsigned hours, minutes;
  if (!scanAll(zone + 1, "%u:%u", 2, &hours, &minutes) || hours > 14 || minutes > 59) return false;
  int magnitude = int(hours * 3600 + minutes * 60);
  *offset = zone[0] == '-' ? -magnitude : magnitude;
  return true;
}

int parseIsoDate(const char* text, time_t* out) {
  DateFields f{};
  int consumed = -1;
  if (sscanf(text, "%d-%d-%d %d:%d:%d%n", &f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second, &consumed) == 6 &&
      consumed > 0) {
    int zone;
    if (!parseZone(text + consumed, &zone)) return 0;
    return timeFromDateFields(f, zone, out) ? 3 : 0;
  }
  f = DateFields{};
  if (scanAll(text, "%d-%d-%d %d:%d", 5, &f.year, &f.month, &f.day, &f.hour, &f.minute) ||
      scanAll(text, "%d-%d-%d", 3, &f.year, &f.month, &f.day)) {
    return timeFromDateFields(f, kLocalZone, out) ? 3 : 0;
  }
  return -1;
}

int parseUsDate(const char* text, time_t* out) {
  DateFields f{};
  if (scanAll(text, "%d/%d/%d %d:%d:%d", 6, &f.month, &f.day, &f.year, &f.hour, &f.minute, &f.second)) {
    return timeFromDateFields(f, kLocalZone, out) ? 5 : 0;
  }
  f = DateFields{};
  char half[3];
  if (scanAll(text, "%d/%d/%d %d:%d %2s", 6, &f.month, &f.day, &f.year, &f.hour, &f.minute, half)) {
    bool pm = strcmp(half, "PM") == 0 || strcmp(half, "pm") == 0;
    if (!pm && strcmp(half, "AM") != 0 && strcmp(half, "am") != 0) return 0;
    // The twelve-hour clock runs 12, 1, ..., 11: 12 AM is midnight, 12 PM noon.
    if (f.hour < 1 || f.hour > 12) return 0;
    f.hour = f.hour % 12 + (pm ? 12 : 0);
    return timeFromDateFields(f, kLocalZone, out) ? 5 : 0;
  }
  f = DateFields{};
  if (scanAll(text, "%d/%d/%d %d:%d", 5, &f.month, &f.day, &f.year, &f.hour, &f.minute) ||
      scanAll(text, "%d/%d/%d", 3, &f.month, &f.day, &f.year)) {
    return timeFromDateFields(f, kLocalZone, out) ? 5 : 0;
  }
  return -1;
}

int parseEuropeanDate(const char* text, time_t* out) {
  DateFields f{};
  if (scanAll(text, "%d.%d.%d %d:%d:%d", 6, &f.day, &f.month, &f.year, &f.hour, &f.minute, &f.second) ||
      scanAll(text, "%d.%d.%d %d:%d", 5, &f.day, &f.month, &f.year, &f.hour, &f.minute) ||
      scanAll(text, "%d.%d.%d", 3, &f.day, &f.month, &f.year)) {
    return timeFromDateFields(f, kLocalZone, out) ? 6 : 0;
  }
  return -1;
}

}  // namespace

int parseDateTime(const char* text, time_t* out) {
  int family = parseIsoDate(text, out);
  if (family >= 0) return family;
  int h, m, s = 0;
  if (scanAll(text, "%d:%d:%d", 3, &h, &m, &s) || scanAll(text, "%d:%d", 2, &h, &m)) {
    if (h < 0 || h >= 24 || m < 0 || m >= 60 || s < 0 || s >= 60) return 0;
    *out = h * 3600 + m * 60 + s;
    return 4;
  }
  family = parseUsDate(text, out);
  if (family >= 0) return family;
  family = parseEuropeanDate(text, out);
  return family >= 0 ? family : 0;
}

int parseBuildDate(const char* text, time_t* out) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4];
  DateFields f{};
  if (!scanAll(text, "%3s %d %d", 3, month, &f.day, &f.year)) return 0;
  for (int i = 0; i < 12; i++) {
    if (strcmp(kMonths[i], month) == 0) f.month = i + 1;
  }
  return f.month ? timeFromDateFields(f, kLocalZone, out) : 0;
}

int parseU64Decimal(const char* text, u64* out) {
  const char* p = text;
  while (isspace(u8(*p))) p++;
  if (!isdigit(u8(*p))) return 0;
  u64 value = 0;
  for (; isdigit(u8(*p)); p++) {
    u64 digit = u64(*p - '0');
    if (value > (~u64(0) - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  *out = value;
  return 1;
}

namespace {

bool ignorableTail(const char* p) { return p[strspn(p, ". 0")] == 0; }

}  // namespace

int versionCompare(const char* a, const char* b) {
  while (*a && *b) {
    if (isdigit(u8(*a)) && isdigit(u8(*b))) {
      while (*a == '0') a++;
      while (*b == '0') b++;
      size_t la = strspn(a, "0123456789"), lb = strspn(b, "0123456789");
      if (la != lb) return la < lb ? -1 : 1;
      int c = strncmp(a, b, la);
      if (c != 0) return c < 0 ? -1 : 1;
      a += la;
      b += lb;
      continue;
    }
    int ca = tolower(u8(*a)), cb = tolower(u8(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    a++;
    b++;
  }
  if (ignorableTail(a) && ignorableTail(b)) return 0;
  return *a ? 1 : -1;
}

}  // namespace palvon
