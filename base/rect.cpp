#include "base/rect.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <strings.h>

namespace palvon {

// --- Rectangles and points -----------------------------------------------------

namespace {

i64 rectRight(const Rect& r) { return i64(r.x) + r.width; }    // one past the last column
i64 rectBottom(const Rect& r) { return i64(r.y) + r.height; }  // one past the last row

Rect rectFromEdges(i64 x1, i64 y1, i64 x2, i64 y2) {
  if (x2 <= x1 || y2 <= y1) return Rect{i32(x1), i32(y1), 0, 0};
  return Rect{i32(x1), i32(y1), u32(x2 - x1), u32(y2 - y1)};
}

}  // namespace

void rectCorners(const Rect& r, i32* x1, i32* y1, i32* x2, i32* y2) {
  *x1 = r.x;
  *y1 = r.y;
  *x2 = i32(rectRight(r) - 1);
  *y2 = i32(rectBottom(r) - 1);
}

void pointDelta(const Point& a, const Point& b, i32* dx, i32* dy) {
  *dx = b.x - a.x;
  *dy = b.y - a.y;
}

void rectClampPoint(i32* x, i32* y, const Rect& r) {
  *x = i32(std::clamp<i64>(*x, r.x, std::max<i64>(r.x, rectRight(r) - 1)));
  *y = i32(std::clamp<i64>(*y, r.y, std::max<i64>(r.y, rectBottom(r) - 1)));
}

void rectPushPointToEdge(i32* x, i32* y, const Rect& r) {
  i64 x1 = r.x, y1 = r.y, x2 = rectRight(r) - 1, y2 = rectBottom(r) - 1;
  if (*x <= x1 || *x >= x2 || *y <= y1 || *y >= y2) return rectClampPoint(x, y, r);
  i64 left = *x - x1, right = x2 - *x, top = *y - y1, bottom = y2 - *y;
  i64 nearest = std::min({left, right, top, bottom});
  if (nearest == left) *x = i32(x1);
  else if (nearest == right) *x = i32(x2);
  if (nearest == top) *y = i32(y1);
  else if (nearest == bottom) *y = i32(y2);
}

void rectPushPointOutside(i32* x, i32* y, const Rect& r) {
  Rect grown{r.x - 1, r.y - 1, r.width + 2, r.height + 2};
  rectPushPointToEdge(x, y, grown);
}

int rectContains(const Rect& a, const Rect& b) {
  return a.x >= b.x && a.y >= b.y && rectRight(a) <= rectRight(b) && rectBottom(a) <= rectBottom(b);
}

void rectFitInBounds(Rect* out, const Rect& a, const Rect& b) {
  u32 width = std::min(a.width, b.width), height = std::min(a.height, b.height);
  i64 x = std::min<i64>(std::max(a.x, b.x), rectRight(a) - width);
  i64 y = std::min<i64>(std::max(a.y, b.y), rectBottom(a) - height);
  *out = Rect{i32(x), i32(y), width, height};
}

void rectClampToBounds(Rect* out, const Rect& r, const Rect& bounds) {
  u32 width = std::min(r.width, bounds.width), height = std::min(r.height, bounds.height);
  i64 x = r.x, y = r.y;
  if (x < bounds.x) x = bounds.x;
  else if (x + width > rectRight(bounds)) x = rectRight(bounds) - width;
  if (y < bounds.y) y = bounds.y;
  else if (y + height > rectBottom(bounds)) y = rectBottom(bounds) - height;
  *out = Rect{i32(x), i32(y), width, height};
}

void rectIntersect(Rect* out, const Rect& a, const Rect& b) {
  *out = rectFromEdges(std::max(a.x, b.x), std::max(a.y, b.y), std::min(rectRight(a), rectRight(b)),
                       std::min(rectBottom(a), rectBottom(b)));
}

void rectUnionWith(Rect* r, i32 x, i32 y, u32 width, u32 height) {
  if (width == 0 || height == 0) return;
  Rect other{x, y, width, height};
  if (r->width == 0 || r->height == 0) {
    *r = other;
    return;
  }
  *r = rectFromEdges(std::min(r->x, x), std::min(r->y, y), std::max(rectRight(*r), rectRight(other)),
                     std::max(rectBottom(*r), rectBottom(other)));
}

void rectAddPoint(Rect* out, const Rect& r, i32 x, i32 y) {
  *out = r;
  if (r.width == 0 || r.height == 0) *out = Rect{x, y, 1, 1};
  else rectUnionWith(out, x, y, 1, 1);
}

int rectSubtract(Rect out[4], const Rect& a, const Rect& b) {
  if (a.width == 0 || a.height == 0) return 0;
  // Only the part of b inside a is taken away; a b that sticks out of a
  // would otherwise produce pieces outside a.
  Rect cut;
  rectIntersect(&cut, a, b);
  if (cut.width == 0 || cut.height == 0) {
    out[0] = a;
    return 1;
  }
  int n = 0;
  auto keep = [&](i64 x1, i64 y1, i64 x2, i64 y2) {
    Rect piece = rectFromEdges(x1, y1, x2, y2);
    if (piece.width && piece.height) out[n++] = piece;
  };
  keep(a.x, a.y, rectRight(a), cut.y);
  keep(a.x, cut.y, cut.x, rectBottom(cut));
  keep(rectRight(cut), cut.y, rectRight(a), rectBottom(cut));
  keep(a.x, rectBottom(cut), rectRight(a), rectBottom(a));
  return n;
}

void rectPointOffset(const Rect& r, i32 x, i32 y, u32* dx, u32* dy) {
  i64 last = rectRight(r) - 1, bottom = rectBottom(r) - 1;
  *dx = u32(x < r.x ? r.x - i64(x) : x > last ? x - last : 0);
  *dy = u32(y < r.y ? r.y - i64(y) : y > bottom ? y - bottom : 0);
}

u32 rectPointDistance(const Rect& r, i32 x, i32 y) {
  u32 dx, dy;
  rectPointOffset(r, x, y, &dx, &dy);
  return dx + dy;
}

const char* rectGeometryText(const Rect& r) {
  if (r.x == 0 && r.y == 0) return tmpPrintf("%ux%u", r.width, r.height);
  return tmpPrintf("%ux%u+%d+%d", r.width, r.height, r.x, r.y);
}

// --- Scaling arithmetic --------------------------------------------------------

namespace {

i32 roundToI32(double v) { return i32(std::clamp(std::round(v), double(INT32_MIN), double(INT32_MAX))); }

i16 tableEntry(u32 i, double factor, i32 offset, i32 max) {
  i64 v = std::min<i64>(i64(roundToI32(i * factor)) + offset, max);
  return i16(std::clamp<i64>(v, INT16_MIN, INT16_MAX));
}

}  // namespace

i32 scaleRound(i32 n, const double* factor) { return roundToI32(n * *factor); }

i32 scaleRoundInverse(i32 n, const double* factor) { return roundToI32(n / *factor); }

i32 scaleTable(i16* table, u32 n, u32 p, u32 q, i32 offset, i32 max) {
  if (q == 0) return 0;
  if (n == 0) return i32(q / gcd(p, q));
  double factor = double(p) / q;
  for (u32 i = n; i-- > 0;) table[i] = tableEntry(i, factor, offset, max);
  return table[0];
}

void scaleTableMirrored(i16* table, u32 n, u32 p, u32 q, i32 offset, i32 max) {
  if (q == 0) return;
  double factor = double(p) / q;
  for (u32 k = 0; k < n; k++) table[k] = tableEntry(n - 1 - k, factor, offset, max);
}

u32 gcd(u32 a, u32 b) {
  while (b) {
    u32 r = a % b;
    a = b;
    b = r;
  }
  return a;
}

bool fractionAverage(u32 a, u32 b, u32 c, u32 d, u32* numerator, u32* denominator) {
  if (b == 0 || d == 0) return false;
  using u128 = unsigned __int128;
  u128 num = u128(a) * d + u128(c) * b, den = u128(2) * b * d;
  u128 x = num, y = den;
  while (y) {
    u128 r = x % y;
    x = y;
    y = r;
  }
  num /= x;
  den /= x;
  if (num > UINT32_MAX || den > UINT32_MAX) return false;
  *numerator = u32(num);
  *denominator = u32(den);
  return true;
}

i32 roundAwayToMultiple(i32 v, i32 m) {
  if (m < 1) return 0;
  i64 magnitude = std::abs(i64(v));
  i64 rounded = (magnitude + m - 1) / m * m;
  return i32(std::clamp<i64>(v < 0 ? -rounded : rounded, INT32_MIN, INT32_MAX));
}

u64 ceilDiv(u64 a, u64 b) { return b ? a / b + (a % b ? 1 : 0) : 0; }

u32 floorLog2(u64 n) {
  u32 log = 0;
  while (n > 1) n >>= 1, log++;
  return log;
}

i64 percentChange(i64 a, i64 b) { return a == 0 ? 0 : b * 100 / a - 100; }

// --- Unit lists ---------------------------------------------------------------------

namespace {

const char* invalidNear(const char* p) {
  return tmpPrintf("Invalid unit string near '%s'", tmpStrndup(p, std::min<size_t>(strlen(p), 60)));
}

bool unitChar(char c) { return isalnum(u8(c)) || c == '_' || c == '-'; }

// The number of the first pair of list with the unit; false when there is
// none (or the list stops parsing before one).
bool unitFind(const char* list, const char* unit, int* number) {
  char name[kUnitNameMax + 1];
  int n;
  while (!unitParseList(list, &n, name, &list) && name[0]) {
    if (strcasecmp(name, unit) == 0) return *number = n, true;
  }
  return false;
}

template <typename Test>
int unitListAny(const char* a, const char* b, Test test) {
  char name[kUnitNameMax + 1];
  int n;
  while (!unitParseList(a, &n, name, &a) && name[0]) {
    int other = 0;
    unitFind(b, name, &other);
    if (test(n, other)) return 1;
  }
  return 0;
}

// a's pairs combined with b's numbers (sign +1 or -1), then b's own pairs.
const char* unitListCombine(const char* a, const char* b, char* out, int sign) {
  char name[kUnitNameMax + 1];
  int n;
  size_t used = 0;
  out[0] = 0;
  auto put = [&](i64 value, const char* unit, char separator) {
    int length = snprintf(out + used, kUnitListMax - used, "%lld %s%c", (long long)value, unit, separator);
    if (length < 0 || used + size_t(length) >= size_t(kUnitListMax)) return false;
    used += size_t(length);
    return true;
  };
  const char* error;
  for (const char* p = a; !(error = unitParseList(p, &n, name, &p)) && name[0];) {
    int other = 0;
    unitFind(b, name, &other);
    if (!put(i64(n) + sign * i64(other), name, *p == '\n' ? '\n' : ' ')) {
      return tmpPrintf("Unit string bigger than %d characters", kUnitListMax - 1);
    }
  }
  if (error) return error;
  for (const char* p = b; !(error = unitParseList(p, &n, name, &p)) && name[0];) {
    int ignored;
    if (unitFind(a, name, &ignored)) continue;
    if (!put(sign * i64(n), name, ' ')) return tmpPrintf("Unit string bigger than %d characters", kUnitListMax - 1);
  }
  if (error) return error;
  if (used > 0) out[used - 1] = 0;
  return nullptr;
}

}  // namespace

const char* unitParseList(const char* text, int* number, char unit[kUnitNameMax + 1], const char** rest) {
  unit[0] = 0;
  const char* p = text;
  while (isspace(u8(*p))) p++;
  *rest = p;
  if (!*p) return nullptr;
  if (!isdigit(u8(*p)) && !((*p == '-' || *p == '+') && isdigit(u8(p[1])))) return invalidNear(p);
  char* end;
  errno = 0;
  long value = strtol(p, &end, 10);
  if (errno || value < INT_MIN || value > INT_MAX || !isspace(u8(*end))) return invalidNear(p);
  p = end;
  while (isspace(u8(*p))) p++;
  if (!isalpha(u8(*p)) && *p != '_') return invalidNear(p);
  const char* q = p;
  while (unitChar(*q)) q++;
  if (size_t(q - p) > kUnitNameMax) return tmpPrintf("Unit name exceeds %u characters", kUnitNameMax);
  if (*q && !isspace(u8(*q))) return invalidNear(p);
  memcpy(unit, p, size_t(q - p));
  unit[q - p] = 0;
  *number = int(value);
  *rest = q;
  return nullptr;
}

const char* unitFormatList(const char* text, char* out, size_t outSize) {
  char name[kUnitNameMax + 1];
  int n;
  size_t used = 0;
  if (outSize == 0) return tmpPrintf("Unit string exceed %u characters", 0u);
  out[0] = 0;
  const char* error;
  for (const char* p = text; !(error = unitParseList(p, &n, name, &p)) && name[0];) {
    for (char* c = name; *c; c++) {
      if (*c == '_') *c = ' ';
    }
    int length = snprintf(out + used, outSize - used, "%s%d %s", used ? ", " : "", n, name);
    if (length < 0 || used + size_t(length) >= outSize) {
      out[used] = 0;
      return tmpPrintf("Unit string exceed %u characters", u32(outSize - 1));
    }
    used += size_t(length);
  }
  return error;
}

int unitListAnyEqual(const char* a, const char* b) {
  return unitListAny(a, b, [](int x, int y) { return x == y; });
}

int unitListAnyLess(const char* a, const char* b) {
  return unitListAny(a, b, [](int x, int y) { return x < y; });
}

int unitListAnyLessEqual(const char* a, const char* b) {
  return unitListAny(a, b, [](int x, int y) { return x <= y; });
}

const char* unitListAdd(const char* a, const char* b, char* out) { return unitListCombine(a, b, out, 1); }

const char* unitListSubtract(const char* a, const char* b, char* out) { return unitListCombine(a, b, out, -1); }

// --- Bytes and texts --------------------------------------------------------------------

int memIsAll(const void* bytes, u8 value, size_t n) {
  const u8* p = static_cast<const u8*>(bytes);
  for (size_t i = 0; i < n; i++) {
    if (p[i] != value) return 0;
  }
  return 1;
}

int textHasNoControls(const void* bytes, size_t n) {
  const u8* p = static_cast<const u8*>(bytes);
  for (size_t i = 0; i < n; i++) {
    if (iscntrl(p[i]) && !isspace(p[i])) return 0;
  }
  return 1;
}

size_t listLength(const void* list) {
  size_t n = 0;
  for (; list; list = *static_cast<const void* const*>(list)) n++;
  return n;
}

u64 byteSum(const void* bytes, size_t n) {
  const u8* p = static_cast<const u8*>(bytes);
  u64 sum = 0;
  for (size_t i = 0; i < n; i++) sum += p[i];
  return sum;
}

void xorBytes(void* destination, const void* source, size_t n) {
  u8* d = static_cast<u8*>(destination);
  const u8* s = static_cast<const u8*>(source);
  for (size_t i = 0; i < n; i++) d[i] ^= s[i];
}

void xorMask32(void* bytes, size_t n, u32 mask) {
  u8* p = static_cast<u8*>(bytes);
  for (size_t i = 0; i < n; i++) p[i] ^= u8(mask >> (24 - 8 * (i % 4)));
}

void bytesXorRandom(void* bytes, size_t n) {
  srandom(u32(random()) ^ u32(time(nullptr)));
  u8* p = static_cast<u8*>(bytes);
  for (size_t i = 0; i < n; i++) p[i] ^= u8(random());
}

u32 byteSwap32(u32 x) { return __builtin_bswap32(x); }

const char* skipCommonPrefix(const char* a, const char* b) {
  while (*a && *a == *b) a++, b++;
  return a;
}

int splitWords(const char* text, const char** words, int maxWords) {
  static char buffer[1024];
  strCopy(buffer, text, sizeof buffer);
  int count = 0;
  char* p = buffer;
  while (count < maxWords) {
    while (isspace(u8(*p))) p++;
    if (!*p) break;
    words[count++] = p;
    while (*p && !isspace(u8(*p))) p++;
    if (*p) *p++ = 0;
  }
  return count;
}

size_t countChar(const char* text, char c) {
  size_t n = 0;
  for (; *text; text++) n += *text == c;
  return n;
}

const char* quoteIfNeeded(const char* text) {
  const char* copy = tmpStrndup(text, std::min<size_t>(strlen(text), 1020));
  bool blank = !*copy;
  for (const char* p = copy; *p && !blank; p++) blank = isspace(u8(*p));
  return blank ? tmpPrintf("\"%s\"", copy) : copy;
}

u16 atomicAdd16(u16* counter, int n) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  return *counter = u16(*counter + n);
}

u32 atomicAdd32(u32* counter, int n) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  return *counter = u32(*counter + u32(n));
}

void noopCallback(void*) {}

// --- Stdio ------------------------------------------------------------------------------

const char* fileWriteAll(const void* data, size_t n, FILE* stream) {
  const u8* p = static_cast<const u8*>(data);
  while (n > 0) {
    errno = 0;
    size_t written = fwrite(p, 1, n, stream);
    p += written;
    n -= written;
    if (n == 0) break;
    if (errno != EAGAIN && errno != EINTR) return tmpPrintf("Can't write %u bytes: %s", u32(n), errnoText(errno));
    clearerr(stream);
    if (errno == EAGAIN) {
      pollfd waiter{fileno(stream), POLLOUT, 0};
      int ready;
      do ready = poll(&waiter, 1, 15000);
      while (ready < 0 && errno == EINTR);
      if (ready == 0) return "Can't write for 15 seconds";
    }
  }
  return nullptr;
}

const char* fileWriteAt(const void* data, size_t n, FILE* stream, long offset) {
  if (fflush(stream) != 0) return tmpPrintf("Can't update file content: %s", errnoText(errno));
  long position = ftell(stream);
  if (position < 0 || fseek(stream, offset, SEEK_SET) != 0) {
    return tmpPrintf("Can't update file content: %s", errnoText(errno));
  }
  const char* error = fileWriteAll(data, n, stream);
  if (!error && fflush(stream) != 0) error = errnoText(errno);
  if (fseek(stream, position, SEEK_SET) != 0 && !error) error = errnoText(errno);
  return error ? tmpPrintf("Can't update file content: %s", error) : nullptr;
}

}  // namespace palvon
