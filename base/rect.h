// Small shared arithmetic and helpers: rectangle geometry, rounding of scaled
// coordinates and the scale tables of zoomed heads, integer helpers, unit
// lists, byte helpers, counters under a lock, word splitting, and writing
// whole buffers to stdio streams.
#pragma once

#include <cstddef>
#include <cstdio>

#include "base/strings.h"

namespace palvon {

// --- Rectangles and points -----------------------------------------------------
// A width (or height) of 0 marks an empty rectangle. The last column is
// x + width - 1.
struct Rect {
  i32 x, y;
  u32 width, height;
};

struct Point {
  i32 x, y;
};

void rectCorners(const Rect& r, i32* x1, i32* y1, i32* x2, i32* y2);
void pointDelta(const Point& a, const Point& b, i32* dx, i32* dy);  // b - a
void rectClampPoint(i32* x, i32* y, const Rect& r);
// A point strictly inside r goes to its nearest border (to the corner when
// two borders are equally near); any other point is clamped into r.
void rectPushPointToEdge(i32* x, i32* y, const Rect& r);
// rectPushPointToEdge on r grown by one pixel on every side.
void rectPushPointOutside(i32* x, i32* y, const Rect& r);
int rectContains(const Rect& a, const Rect& b);  // 1 when a lies inside b
void rectFitInBounds(Rect* out, const Rect& a, const Rect& b);
void rectClampToBounds(Rect* out, const Rect& r, const Rect& bounds);
void rectIntersect(Rect* out, const Rect& a, const Rect& b);
void rectUnionWith(Rect* r, i32 x, i32 y, u32 width, u32 height);
void rectAddPoint(Rect* out, const Rect& r, i32 x, i32 y);
// a minus b as at most four rectangles: the band above b, left of b, right of
// b, the band below b. Only the part of b inside a counts.
int rectSubtract(Rect out[4], const Rect& a, const Rect& b);
u32 rectPointDistance(const Rect& r, i32 x, i32 y);
void rectPointOffset(const Rect& r, i32 x, i32 y, u32* dx, u32* dy);
const char* rectGeometryText(const Rect& r);  // "640x480" or "640x480+10+-5"

// --- Scaling arithmetic --------------------------------------------------------
// Halves round away from zero.
i32 scaleRound(i32 n, const double* factor);
i32 scaleRoundInverse(i32 n, const double* factor);
// table[i] = min(scaleRound(i, p/q) + offset, max); returns table[0], or
// q / gcd(p, q) when n is 0. Entries are held to the i16 range.
i32 scaleTable(i16* table, u32 n, u32 p, u32 q, i32 offset, i32 max);
// table[k] = min(scaleRound(n - 1 - k, p/q) + offset, max).
void scaleTableMirrored(i16* table, u32 n, u32 p, u32 q, i32 offset, i32 max);
u32 gcd(u32 a, u32 b);
// (a/b + c/d) / 2 reduced; false for a zero denominator or a result beyond
// 32 bits.
bool fractionAverage(u32 a, u32 b, u32 c, u32 d, u32* numerator, u32* denominator);
i32 roundAwayToMultiple(i32 v, i32 m);  // 0 when m < 1
u64 ceilDiv(u64 a, u64 b);
u32 floorLog2(u64 n);  // 0 for n <= 1
// b * 100 / a - 100; 0 when a is 0 (there is no base to compare with).
i64 percentChange(i64 a, i64 b);

// --- Unit lists ---------------------------------------------------------------------
// "3 cpu 512 MB_RAM": signed decimal numbers each followed by white space and
// a unit name (a letter or '_', then letters, digits, '_' and '-').
constexpr u32 kUnitNameMax = 511;
constexpr int kUnitListMax = 4096;  // output of unitListAdd / unitListSubtract

// Parses the pair at the start of text: *rest points behind it. At the end
// of the text unit[0] is 0. Error text or nullptr.
const char* unitParseList(const char* text, int* number, char unit[kUnitNameMax + 1], const char** rest);
// The pairs as ", "-joined "%d %s", '_' in names shown as blanks.
const char* unitFormatList(const char* text, char* out, size_t outSize);
// 1 as soon as a unit of a has a number equal to / less than / at most its
// number in b (a unit missing from b counts 0); 0 when a is exhausted or
// does not parse.
int unitListAnyEqual(const char* a, const char* b);
int unitListAnyLess(const char* a, const char* b);
int unitListAnyLessEqual(const char* a, const char* b);
// a's pairs with b's numbers added (subtracted), then b's pairs whose unit a
// lacks (negated for the subtraction). out holds kUnitListMax bytes.
const char* unitListAdd(const char* a, const char* b, char* out);
const char* unitListSubtract(const char* a, const char* b, char* out);

// --- Bytes and texts --------------------------------------------------------------------

int memIsAll(const void* bytes, u8 value, size_t n);
int textHasNoControls(const void* bytes, size_t n);  // white space allowed
// Records that begin with their next pointer.
size_t listLength(const void* list);
u64 byteSum(const void* bytes, size_t n);
void xorBytes(void* destination, const void* source, size_t n);
void xorMask32(void* bytes, size_t n, u32 mask);  // most significant byte first
void bytesXorRandom(void* bytes, size_t n);
u32 byteSwap32(u32 x);
const char* skipCommonPrefix(const char* a, const char* b);
// Splits at white space into one static 1,024-byte buffer (shared by all
// callers, overwritten by the next call); at most maxWords words.
int splitWords(const char* text, const char** words, int maxWords);
size_t countChar(const char* text, char c);
const char* quoteIfNeeded(const char* text);
// Add under a process-wide lock (one per width); return the new value.
u16 atomicAdd16(u16* counter, int n);
u32 atomicAdd32(u32* counter, int n);
// The default of callback slots that have nothing to do.
void noopCallback(void* data);

// --- Stdio ------------------------------------------------------------------------------

// Writes all bytes, waiting up to 15 s for a stream that is not writable.
const char* fileWriteAll(const void* data, size_t n, FILE* stream);
// Writes at offset and returns to the current position.
const char* fileWriteAt(const void* data, size_t n, FILE* stream, long offset);

}  // namespace palvon
