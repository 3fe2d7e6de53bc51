// Regions of 16-bit boxes: clip lists, exposures, shapes and head coverage.
//
// A region is a list of boxes in y-x bands: a band is a horizontal strip of
// boxes with equal top and bottom, the boxes of a band are sorted by x and do
// not touch, bands are sorted by y and do not overlap, and two adjacent bands
// with the same x spans are merged into one. Box coordinates stay within
// -32767..32767; right and bottom edges are exclusive.
//
// Storage: `data` is null for a region that is exactly its extents (one box),
// the shared empty record for an empty region, otherwise an owned record. The
// set operations reuse the destination's array and allocate only when a
// result needs more room than it has.
//
// Allocation failure: an operation that cannot get memory leaves its
// destination broken (regionBroken), returns false, and every later operation
// with a broken source gives a broken result, so a lost allocation is never
// mistaken for a smaller region. A broken region reads as empty;
// regionEmpty, regionReset and a successful regionCopy make it whole again.
//
// Regions are not locked: one thread at a time per region.
#pragma once

#include <cstddef>

#include "base/strings.h"

namespace palvon {

constexpr int kRegionMin = -32767;
constexpr int kRegionMax = 32767;

struct RegionBox {
  i16 x1, y1, x2, y2;
};

// The boxes follow the header in the same block.
struct RegionData {
  long size;      // capacity in boxes
  long numRects;  // boxes in use
};

struct Region {
  RegionBox extents;
  RegionData* data;
};

// Same layout as the X protocol's RECTANGLE.
struct RegionRectangle {
  i16 x, y;
  u16 width, height;
};

inline RegionBox* regionDataBoxes(RegionData* data) { return reinterpret_cast<RegionBox*>(data + 1); }
inline long regionNumRects(const Region* region) { return region->data ? region->data->numRects : 1; }
// The boxes in band order; for a one-box region the extents.
inline const RegionBox* regionRects(const Region* region) {
  return region->data ? regionDataBoxes(region->data) : &region->extents;
}

// With a box: that one box. Without: empty, with room for `size` boxes when
// size is above 1. regionCreate returns null when no memory could be had.
Region* regionCreate(const RegionBox* box, long size);
void regionInit(Region* region, const RegionBox* box, long size);
void regionDestroy(Region* region);  // accepts null
void regionUninit(Region* region);

bool regionCopy(Region* dst, const Region* src);
// dst may be one of the sources.
bool regionIntersect(Region* dst, const Region* a, const Region* b);
bool regionUnion(Region* dst, const Region* a, const Region* b);
bool regionSubtract(Region* dst, const Region* minuend, const Region* subtrahend);

// Appends src's boxes to dst without re-banding; follow with regionValidate.
bool regionAppend(Region* dst, const Region* src);
// Turns an appended box list into a banded region; *overlap (may be null)
// tells whether boxes overlapped.
bool regionValidate(Region* region, bool* overlap);

// 0 outside, 1 entirely inside, 2 partly inside.
int regionContainsRect(const Region* region, const RegionBox* box);
int regionContainsRectXYWH(int x, int y, u32 width, u32 height, const Region* region);
int regionContainsPoint(int x, int y, const Region* region);

// Moves the region; what leaves the coordinate range is clipped away.
void regionTranslate(Region* region, int dx, int dy);

void regionReset(Region* region, const RegionBox* box);
void regionEmpty(Region* region);
inline const RegionBox* regionExtents(const Region* region) { return &region->extents; }
inline bool regionNotEmpty(const Region* region) { return regionNumRects(region) != 0; }
bool regionBroken(const Region* region);

// Rectangles are clamped to the coordinate range.
Region* regionCreateRect(int x, int y, u32 width, u32 height);
void regionResetRect(Region* region, int x, int y, u32 width, u32 height);
// Nothing for an empty rectangle; follow with regionValidate.
bool regionAppendRect(Region* region, int x, int y, u32 width, u32 height);
bool regionUnionRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height);
bool regionIntersectRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height);
bool regionSubtractRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height);

void boxToRect(const RegionBox* box, int* x, int* y, u32* width, u32* height);
// The index-th box; false when index is out of range.
bool regionGetRect(const Region* region, long index, int* x, int* y, u32* width, u32* height);

// A new array (release with free) of all boxes in region order; null and a
// count of 0 for an empty region or when no memory could be had.
RegionRectangle* regionToRectangles(const Region* region, long* count);
#ifdef _X11_XLIB_H_
XRectangle* regionToXRectangles(const Region* region, long* count);
#endif

// Lets tests make the region allocator fail; null restores memRealloc.
void regionSetReallocForTesting(void* (*reallocFunction)(void* pointer, size_t size));

}  // namespace palvon
