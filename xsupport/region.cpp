#include <X11/Xlib.h>

#include "xsupport/region.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace palvon {

static_assert(sizeof(RegionRectangle) == sizeof(XRectangle));
static_assert(sizeof(RegionData) % alignof(RegionBox) == 0);

namespace {

RegionData gEmptyData{0, 0};
RegionData gBrokenData{0, 0};

void* (*gRealloc)(void*, size_t) = memRealloc;

bool isOwned(const RegionData* data) { return data && data != &gEmptyData && data != &gBrokenData; }

void freeData(RegionData* data) {
  if (isOwned(data)) std::free(data);
}

RegionData* reallocData(RegionData* data, long size) {
  auto* grown = static_cast<RegionData*>(
      gRealloc(isOwned(data) ? data : nullptr, sizeof(RegionData) + size_t(size) * sizeof(RegionBox)));
  if (!grown) return nullptr;
  if (!isOwned(data)) grown->numRects = 0;
  grown->size = size;
  return grown;
}

void setEmpty(Region* region, RegionData* data) {
  freeData(region->data);
  region->data = data;
  region->extents.x2 = region->extents.x1;
  region->extents.y2 = region->extents.y1;
}

void setBroken(Region* region) {
  setEmpty(region, &gBrokenData);
  region->extents = RegionBox{0, 0, 0, 0};
}

// A region whose appended boxes still wait for regionValidate: boxes, but
// extents with no width.
bool needsValidation(const Region* region) {
  return region->data && region->data->numRects > 0 && region->extents.x1 == region->extents.x2;
}

int clampCoordinate(i64 v) { return int(std::clamp<i64>(v, kRegionMin, kRegionMax)); }

RegionBox boxFromRect(int x, int y, u32 width, u32 height) {
  return RegionBox{i16(clampCoordinate(x)), i16(clampCoordinate(y)), i16(clampCoordinate(i64(x) + width)),
                   i16(clampCoordinate(i64(y) + height))};
}

bool boxEmpty(const RegionBox& b) { return b.x1 >= b.x2 || b.y1 >= b.y2; }

bool extentsOverlap(const RegionBox& a, const RegionBox& b) {
  return a.x1 < b.x2 && b.x1 < a.x2 && a.y1 < b.y2 && b.y1 < a.y2;
}

bool boxEncloses(const RegionBox& outer, const RegionBox& inner) {
  return outer.x1 <= inner.x1 && outer.x2 >= inner.x2 && outer.y1 <= inner.y1 && outer.y2 >= inner.y2;
}

// One spare box array per thread: an operation whose destination is also a
// source writes into the spare and hands the destination's old array back as
// the next spare, so repeated operations allocate nothing.
struct SpareData {
  RegionData* data = nullptr;
  ~SpareData() { freeData(data); }
};
thread_local SpareData tSpare;

void recycle(RegionData* data) {
  if (!isOwned(data)) return;
  if (!tSpare.data) {
    tSpare.data = data;
  } else if (data->size > tSpare.data->size) {
    std::free(tSpare.data);
    tSpare.data = data;
  } else {
    std::free(data);
  }
}

// The output of an operation: boxes written in band order, with adjacent
// bands of equal spans merged as each band is closed.
struct BoxWriter {
  RegionData* data;
  long n = 0;
  long initialSize = 8;
  bool failed = false;

  RegionBox* boxes() { return regionDataBoxes(data); }

  bool grow() {
    long size = isOwned(data) ? data->size : 0;
    long growth = size == 0 ? initialSize : size <= 500 ? size : 250;
    RegionData* grown = reallocData(data, size + std::max<long>(growth, 1));
    if (!grown) return failed = true, false;
    data = grown;
    return true;
  }

  void add(int x1, int y1, int x2, int y2) {
    if ((!isOwned(data) || n == data->size) && !grow()) return;
    boxes()[n++] = RegionBox{i16(x1), i16(y1), i16(x2), i16(y2)};
  }

  // Whole bands copied as they are.
  void addRun(const RegionBox* from, long count) {
    long size = isOwned(data) ? data->size : 0;
    if (n + count > size) {
      RegionData* grown = reallocData(data, std::max(n + count, size + std::max<long>(size, initialSize)));
      if (!grown) return void(failed = true);
      data = grown;
    }
    std::memcpy(boxes() + n, from, size_t(count) * sizeof(RegionBox));
    n += count;
  }

  // Merges the band starting at curBand into the band before it when they
  // touch vertically and have the same spans; returns the start of the band
  // the next one must be compared with.
  long coalesce(long prevBand, long curBand) {
    if (prevBand < 0 || n == curBand) return n == curBand ? prevBand : curBand;
    long count = n - curBand;
    if (curBand - prevBand != count) return curBand;
    RegionBox* prev = boxes() + prevBand;
    RegionBox* cur = boxes() + curBand;
    if (prev[0].y2 != cur[0].y1) return curBand;
    for (long i = 0; i < count; i++) {
      if (prev[i].x1 != cur[i].x1 || prev[i].x2 != cur[i].x2) return curBand;
    }
    for (long i = 0; i < count; i++) prev[i].y2 = cur[0].y2;
    n = curBand;
    return prevBand;
  }
};

const RegionBox* bandEnd(const RegionBox* r, const RegionBox* end) {
  const RegionBox* e = r + 1;
  while (e != end && e->y1 == r->y1) e++;
  return e;
}

// The first box from r on that reaches below `y`: bands lie in order, so
// the bottoms never decrease, and a band is found whole.
const RegionBox* firstBelow(const RegionBox* r, const RegionBox* end, int y) {
  return std::partition_point(r, end, [y](const RegionBox& b) { return b.y2 <= y; });
}

// Bands r..end (whole bands, in order) copied behind the output: only the
// first can join the band before it; the ones after it were apart already.
// Returns the start of the last band copied, for the next join.
long copyBands(BoxWriter& out, const RegionBox* r, const RegionBox* end, long prevBand) {
  const RegionBox* first = bandEnd(r, end);
  long band = out.n;
  out.addRun(r, first - r);
  prevBand = out.coalesce(prevBand, band);
  if (first == end || out.failed) return prevBand;
  const RegionBox* last = end - 1;
  while (last != first && (last - 1)->y1 == last->y1) last--;
  out.addRun(first, end - first);
  return out.n - (end - last);
}

void appendBand(BoxWriter& out, const RegionBox* r, const RegionBox* end, int y1, int y2) {
  for (; r != end && !out.failed; r++) out.add(r->x1, y1, r->x2, y2);
}

using OverlapFunction = void (*)(BoxWriter& out, const RegionBox* r1, const RegionBox* r1End,
                                 const RegionBox* r2, const RegionBox* r2End, int y1, int y2);

void unionBand(BoxWriter& out, const RegionBox* r1, const RegionBox* r1End, const RegionBox* r2,
               const RegionBox* r2End, int y1, int y2) {
  int x1 = 0, x2 = 0;
  bool open = false;
  auto take = [&](const RegionBox* r) {
    if (!open) {
      x1 = r->x1, x2 = r->x2, open = true;
    } else if (r->x1 <= x2) {
      x2 = std::max<int>(x2, r->x2);
    } else {
      out.add(x1, y1, x2, y2);
      x1 = r->x1, x2 = r->x2;
    }
  };
  while (r1 != r1End && r2 != r2End) take(r1->x1 < r2->x1 ? r1++ : r2++);
  while (r1 != r1End) take(r1++);
  while (r2 != r2End) take(r2++);
  if (open) out.add(x1, y1, x2, y2);
}

void intersectBand(BoxWriter& out, const RegionBox* r1, const RegionBox* r1End, const RegionBox* r2,
                   const RegionBox* r2End, int y1, int y2) {
  while (r1 != r1End && r2 != r2End) {
    int x1 = std::max(r1->x1, r2->x1);
    int x2 = std::min(r1->x2, r2->x2);
    if (x1 < x2) out.add(x1, y1, x2, y2);
    if (r1->x2 == x2) r1++;
    if (r2->x2 == x2) r2++;
  }
}

// r1 is the minuend band, r2 the subtrahend band; x1 is the left edge of
// what is left of the current minuend box.
void subtractBand(BoxWriter& out, const RegionBox* r1, const RegionBox* r1End, const RegionBox* r2,
                  const RegionBox* r2End, int y1, int y2) {
  int x1 = r1->x1;
  auto nextMinuend = [&] {
    if (++r1 != r1End) x1 = r1->x1;
  };
  while (r1 != r1End && r2 != r2End) {
    if (r2->x2 <= x1) {
      r2++;
    } else if (r2->x1 < r1->x2) {
      if (r2->x1 > x1) out.add(x1, y1, r2->x1, y2);
      x1 = r2->x2;
      if (x1 >= r1->x2) nextMinuend();
      else r2++;
    } else {
      out.add(x1, y1, r1->x2, y2);
      nextMinuend();
    }
  }
  while (r1 != r1End) {
    out.add(x1, y1, r1->x2, y2);
    nextMinuend();
  }
}

// Extents from the boxes of a banded list.
RegionBox boxesExtents(const RegionBox* boxes, long n) {
  RegionBox e{boxes[0].x1, boxes[0].y1, boxes[0].x2, boxes[n - 1].y2};
  for (long i = 1; i < n; i++) {
    e.x1 = std::min(e.x1, boxes[i].x1);
    e.x2 = std::max(e.x2, boxes[i].x2);
  }
  return e;
}

// Gives dst the writer's boxes; the arrays no longer needed go to the spare.
bool finish(Region* dst, BoxWriter& out, RegionData* oldData, const RegionBox* extents) {
  dst->data = nullptr;  // oldData holds it when dst was a source
  if (out.failed) {
    recycle(out.data);
    recycle(oldData);
    setBroken(dst);
    return false;
  }
  if (out.n <= 1) {
    if (out.n == 1) dst->extents = out.boxes()[0];
    recycle(out.data);
    dst->data = out.n == 1 ? nullptr : &gEmptyData;
    if (out.n == 0) dst->extents = RegionBox{0, 0, 0, 0};
  } else {
    out.data->numRects = out.n;
    dst->data = out.data;
    dst->extents = extents ? *extents : boxesExtents(out.boxes(), out.n);
  }
  recycle(oldData);
  return true;
}

// Takes the array the result is written into: the destination's own when it
// is not a source, otherwise the spare.
RegionData* takeOutput(Region* dst, const Region* a, const Region* b, RegionData** oldData) {
  *oldData = nullptr;
  if (dst != a && dst != b) {
    RegionData* own = dst->data;
    dst->data = nullptr;
    if (isOwned(own)) return own;
  } else {
    *oldData = dst->data;
  }
  RegionData* spare = tSpare.data;
  tSpare.data = nullptr;
  return spare;
}

// Walks the bands of both regions from the top. Rows covered by only one
// region are copied when that side's flag is set; rows covered by both go
// through the overlap function. A stretch of whole bands of one region
// above the other's next band is copied in one piece, or skipped by a
// search when it is not kept, so that an operation with a small region
// costs little more than a copy of the large one. `extents`, when known,
// spares the scan of the result for them.
bool regionOp(Region* dst, const Region* a, const Region* b, OverlapFunction overlap, bool keepA, bool keepB,
              const RegionBox* extents = nullptr) {
  const RegionBox* r1 = regionRects(a);
  const RegionBox* r1End = r1 + regionNumRects(a);
  const RegionBox* r2 = regionRects(b);
  const RegionBox* r2End = r2 + regionNumRects(b);
  RegionData* oldData;
  BoxWriter out{takeOutput(dst, a, b, &oldData)};
  out.initialSize = 2 * std::max<long>(std::max(r1End - r1, r2End - r2), 4);
  long prevBand = -1;
  int ybot = std::min(r1->y1, r2->y1);
  // Rows where only the upper region has boxes, down to the other's top.
  auto keepAlone = [&](const RegionBox* r, const RegionBox* rEnd, const RegionBox* other, bool keep) {
    int top = std::max<int>(r->y1, ybot), bot = std::min(r->y2, other->y1);
    if (!keep || top >= bot) return;
    long band = out.n;
    appendBand(out, r, rEnd, top, bot);
    prevBand = out.coalesce(prevBand, band);
  };
  // Whole bands of r that end above the other's top: kept in one copy, or
  // passed over.
  auto passBands = [&](const RegionBox*& r, const RegionBox* rEnd, const RegionBox* other, bool keep) {
    const RegionBox* stop = firstBelow(r, rEnd, other->y1);
    if (keep && stop != r) prevBand = copyBands(out, r, stop, prevBand);
    r = stop;
  };
  while (r1 != r1End && r2 != r2End && !out.failed) {
    const RegionBox* r1BandEnd = bandEnd(r1, r1End);
    const RegionBox* r2BandEnd = bandEnd(r2, r2End);
    if (r1->y2 <= r2->y1 || r2->y2 <= r1->y1) {
      // The first band may have lost rows above ybot to an overlap.
      if (r1->y2 <= r2->y1) {
        keepAlone(r1, r1BandEnd, r2, keepA);
        r1 = r1BandEnd;
        if (r1 != r1End) passBands(r1, r1End, r2, keepA);
      } else {
        keepAlone(r2, r2BandEnd, r1, keepB);
        r2 = r2BandEnd;
        if (r2 != r2End) passBands(r2, r2End, r1, keepB);
      }
      continue;
    }
    int ytop = std::max(r1->y1, r2->y1);
    if (r1->y1 < r2->y1) keepAlone(r1, r1BandEnd, r2, keepA);
    else if (r2->y1 < r1->y1) keepAlone(r2, r2BandEnd, r1, keepB);
    ybot = std::min(r1->y2, r2->y2);
    if (ybot > ytop) {
      long band = out.n;
      overlap(out, r1, r1BandEnd, r2, r2BandEnd, ytop, ybot);
      prevBand = out.coalesce(prevBand, band);
    }
    if (r1->y2 == ybot) r1 = r1BandEnd;
    if (r2->y2 == ybot) r2 = r2BandEnd;
  }
  const RegionBox* rest = keepA && r1 != r1End ? r1 : keepB && r2 != r2End ? r2 : nullptr;
  const RegionBox* restEnd = rest == r1 ? r1End : r2End;
  if (rest && !out.failed) {
    const RegionBox* end = bandEnd(rest, restEnd);
    long band = out.n;
    appendBand(out, rest, end, std::max<int>(rest->y1, ybot), rest->y2);
    prevBand = out.coalesce(prevBand, band);
    if (end != restEnd) copyBands(out, end, restEnd, prevBand);
  }
  return finish(dst, out, oldData, extents);
}

// The same operations with one box, the most common second operand (a
// window's bounding box against a clip list): one walk of the region's
// bands, those above or below the box passed or copied whole.
bool intersectWithBox(Region* dst, const Region* a, RegionBox box) {
  const RegionBox* r = regionRects(a);
  const RegionBox* end = r + regionNumRects(a);
  RegionData* oldData;
  BoxWriter out{takeOutput(dst, a, nullptr, &oldData)};
  out.initialSize = std::max<long>(end - r, 4);
  long prevBand = -1;
  for (r = firstBelow(r, end, box.y1); r != end && r->y1 < box.y2 && !out.failed;) {
    const RegionBox* rBandEnd = bandEnd(r, end);
    int y1 = std::max(r->y1, box.y1), y2 = std::min(r->y2, box.y2);
    long band = out.n;
    for (; r != rBandEnd && r->x1 < box.x2; r++) {
      if (r->x2 > box.x1) out.add(std::max(r->x1, box.x1), y1, std::min(r->x2, box.x2), y2);
    }
    prevBand = out.coalesce(prevBand, band);
    r = rBandEnd;
  }
  return finish(dst, out, oldData, nullptr);
}

bool subtractBox(Region* dst, const Region* a, RegionBox box) {
  const RegionBox* r = regionRects(a);
  const RegionBox* end = r + regionNumRects(a);
  RegionData* oldData;
  BoxWriter out{takeOutput(dst, a, nullptr, &oldData)};
  out.initialSize = 2 * std::max<long>(end - r, 4);
  long prevBand = -1;
  const RegionBox* stop = firstBelow(r, end, box.y1);
  if (stop != r) prevBand = copyBands(out, r, stop, prevBand);
  for (r = stop; r != end && r->y1 < box.y2 && !out.failed;) {
    const RegionBox* rBandEnd = bandEnd(r, end);
    long band = out.n;
    if (r->y1 < box.y1) {
      appendBand(out, r, rBandEnd, r->y1, box.y1);
      prevBand = out.coalesce(prevBand, band);
      band = out.n;
    }
    int y1 = std::max(r->y1, box.y1), y2 = std::min(r->y2, box.y2);
    for (const RegionBox* b = r; b != rBandEnd; b++) {
      if (b->x2 <= box.x1 || b->x1 >= box.x2) {
        out.add(b->x1, y1, b->x2, y2);
        continue;
      }
      if (b->x1 < box.x1) out.add(b->x1, y1, box.x1, y2);
      if (b->x2 > box.x2) out.add(box.x2, y1, b->x2, y2);
    }
    prevBand = out.coalesce(prevBand, band);
    if (r->y2 > box.y2) {
      band = out.n;
      appendBand(out, r, rBandEnd, box.y2, r->y2);
      prevBand = out.coalesce(prevBand, band);
    }
    r = rBandEnd;
  }
  if (r != end && !out.failed) copyBands(out, r, end, prevBand);
  return finish(dst, out, oldData, nullptr);
}

// Brings a banded box list that was changed in place (clipped, or built
// from parts) back to the region's normal form: equal neighbouring bands
// merged, tight extents, one box without data, none as the empty region.
void normalise(Region* region) {
  RegionData* data = region->data;
  if (!isOwned(data)) return;
  RegionBox* boxes = regionDataBoxes(data);
  if (data->numRects >= 2) {
    BoxWriter out{data};
    const RegionBox* end = boxes + data->numRects;
    long prevBand = -1;
    for (const RegionBox* r = boxes; r != end;) {
      const RegionBox* e = bandEnd(r, end);
      long band = out.n;
      for (; r != e; r++) boxes[out.n++] = *r;  // never ahead of the reading position
      prevBand = out.coalesce(prevBand, band);
    }
    data->numRects = out.n;
  }
  if (data->numRects == 0) {
    setEmpty(region, &gEmptyData);
    region->extents = RegionBox{0, 0, 0, 0};
  } else if (data->numRects == 1) {
    region->extents = boxes[0];
    freeData(data);
    region->data = nullptr;
  } else {
    region->extents = boxesExtents(boxes, data->numRects);
  }
}

void initFromBox(Region* region, const RegionBox* box) {
  if (!box || boxEmpty(*box)) {
    region->extents = RegionBox{0, 0, 0, 0};
    region->data = &gEmptyData;
  } else {
    region->extents = *box;
    region->data = nullptr;
  }
}

}  // namespace

void regionSetReallocForTesting(void* (*reallocFunction)(void*, size_t)) {
  gRealloc = reallocFunction ? reallocFunction : memRealloc;
}

// --- Creation and copies ------------------------------------------------------

void regionInit(Region* region, const RegionBox* box, long size) {
  initFromBox(region, box);
  if (!box && size > 1) {
    RegionData* data = reallocData(nullptr, size);
    region->data = data ? data : &gBrokenData;
  }
}

Region* regionCreate(const RegionBox* box, long size) {
  auto* region = static_cast<Region*>(memAlloc(sizeof(Region)));
  if (region) regionInit(region, box, size);
  return region;
}

void regionUninit(Region* region) {
  freeData(region->data);
  region->data = &gEmptyData;
}

void regionDestroy(Region* region) {
  if (!region) return;
  freeData(region->data);
  std::free(region);
}

bool regionBroken(const Region* region) { return region->data == &gBrokenData; }

void regionEmpty(Region* region) { setEmpty(region, &gEmptyData); }

void regionReset(Region* region, const RegionBox* box) {
  freeData(region->data);
  initFromBox(region, box);
}

bool regionCopy(Region* dst, const Region* src) {
  if (dst == src) return !regionBroken(src);
  if (regionBroken(src)) return setBroken(dst), false;
  if (!isOwned(src->data) || src->data->numRects == 0) {
    freeData(dst->data);
    dst->data = src->data ? &gEmptyData : nullptr;
    dst->extents = src->extents;
    return true;
  }
  long n = src->data->numRects;
  if (!isOwned(dst->data) || dst->data->size < n) {
    RegionData* data = reallocData(nullptr, n);
    if (!data) return setBroken(dst), false;
    freeData(dst->data);
    dst->data = data;
  }
  dst->data->numRects = n;
  std::memcpy(regionDataBoxes(dst->data), regionDataBoxes(src->data), size_t(n) * sizeof(RegionBox));
  dst->extents = src->extents;
  return true;
}

// --- Set operations -------------------------------------------------------------

bool regionIntersect(Region* dst, const Region* a, const Region* b) {
  if (regionBroken(a) || regionBroken(b)) return setBroken(dst), false;
  if (!regionNotEmpty(a) || !regionNotEmpty(b) || !extentsOverlap(a->extents, b->extents)) {
    regionEmpty(dst);
    dst->extents = RegionBox{0, 0, 0, 0};
    return true;
  }
  if (!a->data && !b->data) {
    RegionBox box{std::max(a->extents.x1, b->extents.x1), std::max(a->extents.y1, b->extents.y1),
                  std::min(a->extents.x2, b->extents.x2), std::min(a->extents.y2, b->extents.y2)};
    regionReset(dst, &box);
    return true;
  }
  if (!b->data && boxEncloses(b->extents, a->extents)) return regionCopy(dst, a);
  if (!a->data && boxEncloses(a->extents, b->extents)) return regionCopy(dst, b);
  if (a == b) return regionCopy(dst, a);
  if (!b->data) return intersectWithBox(dst, a, b->extents);
  if (!a->data) return intersectWithBox(dst, b, a->extents);
  return regionOp(dst, a, b, intersectBand, false, false);
}

bool regionUnion(Region* dst, const Region* a, const Region* b) {
  if (regionBroken(a) || regionBroken(b)) return setBroken(dst), false;
  if (a == b || !regionNotEmpty(b)) return regionCopy(dst, a);
  if (!regionNotEmpty(a)) return regionCopy(dst, b);
  if (!a->data && boxEncloses(a->extents, b->extents)) return regionCopy(dst, a);
  if (!b->data && boxEncloses(b->extents, a->extents)) return regionCopy(dst, b);
  // A union reaches exactly as far as its two parts.
  RegionBox extents{std::min(a->extents.x1, b->extents.x1), std::min(a->extents.y1, b->extents.y1),
                    std::max(a->extents.x2, b->extents.x2), std::max(a->extents.y2, b->extents.y2)};
  return regionOp(dst, a, b, unionBand, true, true, &extents);
}

bool regionSubtract(Region* dst, const Region* minuend, const Region* subtrahend) {
  if (regionBroken(minuend) || regionBroken(subtrahend)) return setBroken(dst), false;
  if (!regionNotEmpty(minuend) || !regionNotEmpty(subtrahend) ||
      !extentsOverlap(minuend->extents, subtrahend->extents)) {
    return regionCopy(dst, minuend);
  }
  if (minuend == subtrahend || (!subtrahend->data && boxEncloses(subtrahend->extents, minuend->extents))) {
    regionEmpty(dst);
    dst->extents = RegionBox{0, 0, 0, 0};
    return true;
  }
  if (!subtrahend->data) return subtractBox(dst, minuend, subtrahend->extents);
  return regionOp(dst, minuend, subtrahend, subtractBand, true, false);
}

// --- Appending and validation -------------------------------------------------------

namespace {

// Makes room for `more` boxes behind the existing ones; a one-box region
// gets an array that starts with its box.
bool reserveBoxes(Region* region, long more) {
  RegionData* data = region->data;
  if (!data) {
    data = reallocData(nullptr, more + 1);
    if (!data) return false;
    data->numRects = 1;
    regionDataBoxes(data)[0] = region->extents;
  } else if (!isOwned(data)) {
    data = reallocData(nullptr, std::max<long>(more, 1));
    if (!data) return false;
  } else if (data->numRects + more > data->size) {
    long growth = more == 1 ? (data->numRects <= 500 ? data->numRects : 250) : more;
    data = reallocData(data, data->numRects + std::max(growth, more));
    if (!data) return false;
  }
  region->data = data;
  return true;
}

// Whether boxes `first` (leading a banded list) can follow `last` (ending
// one) without breaking the bands.
bool bandsFollow(const RegionBox& last, const RegionBox& first) {
  if (first.y1 >= last.y2) return true;
  return first.y1 == last.y1 && first.y2 == last.y2 && first.x1 > last.x2;
}

}  // namespace

bool regionAppend(Region* dst, const Region* src) {
  if (regionBroken(dst)) return false;
  if (regionBroken(src)) return setBroken(dst), false;
  long n = regionNumRects(src);
  if (n == 0) return true;
  long dstCount = regionNumRects(dst);
  if (dstCount == 0 && n == 1) {
    regionReset(dst, &src->extents);
    return true;
  }
  const RegionBox* srcBoxes = regionRects(src);
  bool srcValid = !needsValidation(src);
  bool dstValid = !needsValidation(dst);
  bool after = false, before = false;
  if (dstCount > 0 && srcValid && dstValid) {
    after = bandsFollow(regionRects(dst)[dstCount - 1], srcBoxes[0]);
    before = !after && bandsFollow(srcBoxes[n - 1], regionRects(dst)[0]);
  }
  RegionBox srcExtents = src->extents;
  Region copy;
  if (src == dst) {  // the source array may move while growing
    regionInit(&copy, nullptr, 0);
    if (!regionCopy(&copy, src)) return setBroken(dst), false;
    srcBoxes = regionRects(&copy);
  }
  long more = dstCount == 0 && n < 200 ? 200 : n;
  bool ok = reserveBoxes(dst, more);
  if (ok) {
    RegionBox* boxes = regionDataBoxes(dst->data);
    if (before) std::memmove(boxes + n, boxes, size_t(dstCount) * sizeof(RegionBox));
    std::memcpy(boxes + (before ? 0 : dstCount), srcBoxes, size_t(n) * sizeof(RegionBox));
    dst->data->numRects = dstCount + n;
    if (dstCount == 0) {
      dst->extents = srcExtents;
      if (!srcValid) dst->extents.x2 = dst->extents.x1;
    } else if (after || before) {
      dst->extents = RegionBox{std::min(dst->extents.x1, srcExtents.x1), std::min(dst->extents.y1, srcExtents.y1),
                               std::max(dst->extents.x2, srcExtents.x2), std::max(dst->extents.y2, srcExtents.y2)};
    } else {
      dst->extents.x2 = dst->extents.x1;
    }
  }
  if (src == dst) regionUninit(&copy);
  if (!ok) setBroken(dst);
  return ok;
}

bool regionAppendRect(Region* region, int x, int y, u32 width, u32 height) {
  if (width == 0 || height == 0) return !regionBroken(region);
  Region one;
  RegionBox box = boxFromRect(x, y, width, height);
  initFromBox(&one, &box);
  return regionAppend(region, &one);
}

namespace {

bool boxBefore(const RegionBox& a, const RegionBox& b) { return a.y1 != b.y1 ? a.y1 < b.y1 : a.x1 < b.x1; }

// Where a box taken in (y1, x1) order can go in a banded part: -1 nowhere,
// 0 merged into the touching or overlapping last box of the last band,
// 1 behind the last box (same band or a new band below).
int partFit(Region* part, const RegionBox& box) {
  long n = regionNumRects(part);
  if (n == 0) return 1;
  RegionBox& last = regionDataBoxes(part->data)[n - 1];
  if (box.y1 == last.y1 && box.y2 == last.y2) {
    if (box.x1 > last.x2) return 1;
    last.x2 = std::max(last.x2, box.x2);
    return 0;
  }
  return box.y1 >= last.y2 ? 1 : -1;
}

i64 boxesArea(const RegionBox* boxes, long n) {
  i64 area = 0;
  for (long i = 0; i < n; i++) area += i64(boxes[i].x2 - boxes[i].x1) * (boxes[i].y2 - boxes[i].y1);
  return area;
}

// Puts each sorted box into the first banded part it fits, opening a new
// part when none fits.
bool splitIntoParts(const RegionBox* boxes, long n, Region** parts, long* partCount) {
  long size = 0;
  for (long i = 0; i < n; i++) {
    if (boxEmpty(boxes[i])) continue;
    long p = 0;
    int fit = -1;
    while (p < *partCount && (fit = partFit(&(*parts)[p], boxes[i])) < 0) p++;
    if (fit == 0) continue;
    if (p == *partCount) {
      if (*partCount == size) {
        size = size ? 2 * size : 8;
        auto* grown = static_cast<Region*>(gRealloc(*parts, size_t(size) * sizeof(Region)));
        if (!grown) return false;
        *parts = grown;
      }
      initFromBox(&(*parts)[(*partCount)++], nullptr);
    }
    Region* part = &(*parts)[p];
    if (!reserveBoxes(part, 1)) return false;
    regionDataBoxes(part->data)[part->data->numRects++] = boxes[i];
  }
  return true;
}

// Splits sorted boxes into banded parts, then unions the parts pairwise.
bool validateSorted(Region* region, const RegionBox* boxes, long n) {
  Region* parts = nullptr;
  long partCount = 0;
  bool ok = splitIntoParts(boxes, n, &parts, &partCount);
  for (long p = 0; ok && p < partCount; p++) normalise(&parts[p]);
  for (long step = 1; ok && step < partCount; step *= 2) {
    for (long p = 0; p + step < partCount && ok; p += 2 * step) ok = regionUnion(&parts[p], &parts[p], &parts[p + step]);
  }
  if (ok && partCount > 0) {
    freeData(region->data);
    *region = parts[0];
    parts[0].data = &gEmptyData;
  } else if (ok) {
    regionEmpty(region);
  }
  for (long p = 0; p < partCount; p++) freeData(parts[p].data);
  std::free(parts);
  return ok;
}

// Lists up to this long are banded by a sweep with arrays on the stack;
// longer ones by parts, whose cost grows more slowly with the list.
constexpr long kSweepMax = 128;

// Sorted boxes banded by a sweep down their distinct edges: each slab
// between two edges takes the spans of the boxes across it, kept in x
// order, merged where they meet. Nothing is allocated but the result,
// written into the spare array.
bool validateBySweep(Region* region, const RegionBox* boxes, long n) {
  i16 edges[2 * kSweepMax];
  long edgeCount = 0;
  for (long i = 0; i < n; i++) {
    if (boxEmpty(boxes[i])) continue;
    edges[edgeCount++] = boxes[i].y1;
    edges[edgeCount++] = boxes[i].y2;
  }
  std::sort(edges, edges + edgeCount);
  edgeCount = std::unique(edges, edges + edgeCount) - edges;
  BoxWriter out{tSpare.data};
  tSpare.data = nullptr;
  out.initialSize = 2 * std::max<long>(n, 4);
  const RegionBox* across[kSweepMax];
  long acrossCount = 0, next = 0, prevBand = -1;
  for (long e = 0; e + 1 < edgeCount && !out.failed; e++) {
    int top = edges[e], bottom = edges[e + 1];
    long kept = 0;
    for (long i = 0; i < acrossCount; i++)
      if (across[i]->y2 > top) across[kept++] = across[i];
    acrossCount = kept;
    for (; next < n && boxes[next].y1 <= top; next++) {
      if (boxEmpty(boxes[next])) continue;
      long at = acrossCount++;
      for (; at > 0 && across[at - 1]->x1 > boxes[next].x1; at--) across[at] = across[at - 1];
      across[at] = &boxes[next];
    }
    if (!acrossCount) continue;
    long band = out.n;
    int x1 = across[0]->x1, x2 = across[0]->x2;
    for (long i = 1; i < acrossCount; i++) {
      if (across[i]->x1 <= x2) {
        x2 = std::max<int>(x2, across[i]->x2);
      } else {
        out.add(x1, top, x2, bottom);
        x1 = across[i]->x1, x2 = across[i]->x2;
      }
    }
    out.add(x1, top, x2, bottom);
    prevBand = out.coalesce(prevBand, band);
  }
  return finish(region, out, nullptr, nullptr);
}

}  // namespace

bool regionValidate(Region* region, bool* overlap) {
  if (overlap) *overlap = false;
  if (regionBroken(region)) return false;
  if (!needsValidation(region)) return true;
  long n = region->data->numRects;
  RegionBox* boxes = regionDataBoxes(region->data);
  std::sort(boxes, boxes + n, boxBefore);
  i64 area = boxesArea(boxes, n);
  // The boxes are read from the old array while the parts are built.
  RegionData* old = region->data;
  region->data = &gEmptyData;
  bool ok = n <= kSweepMax ? validateBySweep(region, regionDataBoxes(old), n)
                           : validateSorted(region, regionDataBoxes(old), n);
  recycle(old);
  if (!ok) return setBroken(region), false;
  if (overlap) *overlap = boxesArea(regionRects(region), regionNumRects(region)) != area;
  return true;
}

// --- Queries ----------------------------------------------------------------------

int regionContainsRect(const Region* region, const RegionBox* rect) {
  long n = regionNumRects(region);
  if (n == 0 || boxEmpty(*rect) || !extentsOverlap(region->extents, *rect)) return 0;
  if (n == 1) return boxEncloses(region->extents, *rect) ? 1 : 2;
  bool partIn = false, partOut = false;
  int x = rect->x1, y = rect->y1;
  const RegionBox* box = regionRects(region);
  for (const RegionBox* end = box + n; box != end; box++) {
    if (box->y2 <= y) continue;  // a band above the rows still to cover
    if (box->y1 > y) {           // rows between bands are uncovered
      partOut = true;
      if (partIn || box->y1 >= rect->y2) break;
      y = box->y1;
      x = rect->x1;
    }
    if (box->x2 <= x) continue;  // left of what is still to cover
    if (box->x1 > x) {
      partOut = true;
      if (partIn) break;
    }
    if (box->x1 < rect->x2) {
      partIn = true;
      if (partOut) break;
    }
    if (box->x2 >= rect->x2) {  // this band covers the row: go to the next band
      y = box->y2;
      if (y >= rect->y2) break;
      x = rect->x1;
    } else {  // boxes of a band never touch, so a gap follows
      partOut = true;
      break;
    }
  }
  if (y < rect->y2) partOut = true;
  return partIn ? (partOut ? 2 : 1) : 0;
}

int regionContainsRectXYWH(int x, int y, u32 width, u32 height, const Region* region) {
  RegionBox box = boxFromRect(x, y, width, height);
  return regionContainsRect(region, &box);
}

int regionContainsPoint(int x, int y, const Region* region) {
  if (x < kRegionMin || x >= kRegionMax || y < kRegionMin || y >= kRegionMax) return 0;
  return regionContainsRectXYWH(x, y, 1, 1, region);
}

// --- Translation ------------------------------------------------------------------

void regionTranslate(Region* region, int dx, int dy) {
  long n = regionNumRects(region);
  RegionBox& e = region->extents;
  i64 x1 = i64(e.x1) + dx, y1 = i64(e.y1) + dy, x2 = i64(e.x2) + dx, y2 = i64(e.y2) + dy;
  if (n == 0) {
    e = RegionBox{i16(clampCoordinate(x1)), i16(clampCoordinate(y1)), i16(clampCoordinate(x1)),
                  i16(clampCoordinate(y1))};
    return;
  }
  if (x2 <= kRegionMin || x1 >= kRegionMax || y2 <= kRegionMin || y1 >= kRegionMax) {
    regionEmpty(region);
    e = RegionBox{i16(clampCoordinate(x1)), i16(clampCoordinate(y1)), i16(clampCoordinate(x1)),
                  i16(clampCoordinate(y1))};
    return;
  }
  bool inside = x1 >= kRegionMin && y1 >= kRegionMin && x2 <= kRegionMax && y2 <= kRegionMax;
  if (inside) {
    // Nothing reaches the range's ends: every box moves as it is (a window
    // moved with its subtree moves four regions a window this way).
    e = RegionBox{i16(x1), i16(y1), i16(x2), i16(y2)};
    if (!region->data) return;
    RegionBox* boxes = regionDataBoxes(region->data);
    for (long i = 0; i < n; i++) {
      boxes[i] = RegionBox{i16(boxes[i].x1 + dx), i16(boxes[i].y1 + dy), i16(boxes[i].x2 + dx), i16(boxes[i].y2 + dy)};
    }
    return;
  }
  auto move = [&](RegionBox& b) {
    b = RegionBox{i16(clampCoordinate(i64(b.x1) + dx)), i16(clampCoordinate(i64(b.y1) + dy)),
                  i16(clampCoordinate(i64(b.x2) + dx)), i16(clampCoordinate(i64(b.y2) + dy))};
  };
  if (!region->data) return move(e);
  RegionBox* boxes = regionDataBoxes(region->data);
  long kept = 0;
  for (long i = 0; i < n; i++) {
    move(boxes[i]);
    if (!boxEmpty(boxes[i])) boxes[kept++] = boxes[i];
  }
  region->data->numRects = kept;
  // Clipping may have made neighbouring bands equal.
  normalise(region);
}

// --- Rectangles ---------------------------------------------------------------------

Region* regionCreateRect(int x, int y, u32 width, u32 height) {
  RegionBox box = boxFromRect(x, y, width, height);
  return regionCreate(&box, 0);
}

void regionResetRect(Region* region, int x, int y, u32 width, u32 height) {
  RegionBox box = boxFromRect(x, y, width, height);
  regionReset(region, &box);
}

bool regionUnionRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height) {
  Region one;
  RegionBox box = boxFromRect(x, y, width, height);
  initFromBox(&one, &box);
  return regionUnion(dst, src, &one);
}

bool regionIntersectRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height) {
  Region one;
  RegionBox box = boxFromRect(x, y, width, height);
  initFromBox(&one, &box);
  return regionIntersect(dst, src, &one);
}

bool regionSubtractRect(Region* dst, const Region* src, int x, int y, u32 width, u32 height) {
  Region one;
  RegionBox box = boxFromRect(x, y, width, height);
  initFromBox(&one, &box);
  return regionSubtract(dst, src, &one);
}

void boxToRect(const RegionBox* box, int* x, int* y, u32* width, u32* height) {
  *x = box->x1;
  *y = box->y1;
  *width = u32(std::max(box->x2 - box->x1, 0));
  *height = u32(std::max(box->y2 - box->y1, 0));
}

bool regionGetRect(const Region* region, long index, int* x, int* y, u32* width, u32* height) {
  if (index < 0 || index >= regionNumRects(region)) return false;
  boxToRect(&regionRects(region)[index], x, y, width, height);
  return true;
}

RegionRectangle* regionToRectangles(const Region* region, long* count) {
  *count = 0;
  long n = regionNumRects(region);
  if (n == 0) return nullptr;
  auto* out = static_cast<RegionRectangle*>(gRealloc(nullptr, size_t(n) * sizeof(RegionRectangle)));
  if (!out) return nullptr;
  const RegionBox* boxes = regionRects(region);
  for (long i = 0; i < n; i++) {
    out[i] = RegionRectangle{boxes[i].x1, boxes[i].y1, u16(boxes[i].x2 - boxes[i].x1), u16(boxes[i].y2 - boxes[i].y1)};
  }
  *count = n;
  return out;
}

XRectangle* regionToXRectangles(const Region* region, long* count) {
  return reinterpret_cast<XRectangle*>(regionToRectangles(region, count));
}

}  // namespace palvon
