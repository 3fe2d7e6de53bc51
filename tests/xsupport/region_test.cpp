// Regions: a randomised comparison against a per-pixel model with the band
// invariants checked after every step, the coordinate limits, allocation
// failures and the allocation-free steady state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "xsupport/region.h"

namespace palvon {
namespace {

constexpr int kWin = 64;  // the model covers a kWin x kWin window

bool inRange(int x, int y) { return x >= kRegionMin && x < kRegionMax && y >= kRegionMin && y < kRegionMax; }

// Pixels of a window whose top-left corner is (ox, oy); bit x of rows[y].
struct Pixels {
  int ox = 0, oy = 0;
  u64 rows[kWin] = {};

  bool get(int x, int y) const { return (rows[y] >> x) & 1; }
  int count() const {
    int n = 0;
    for (u64 r : rows) n += __builtin_popcountll(r);
    return n;
  }
  // Drops what lies outside the coordinate range of regions.
  void clampToRange() {
    for (int y = 0; y < kWin; y++) {
      for (int x = 0; x < kWin; x++) {
        if (!inRange(ox + x, oy + y)) rows[y] &= ~(u64(1) << x);
      }
    }
  }
  void addRect(int x, int y, int w, int h) {
    for (int yy = y; yy < y + h; yy++) {
      for (int xx = x; xx < x + w; xx++) {
        if (xx >= ox && xx < ox + kWin && yy >= oy && yy < oy + kWin) rows[yy - oy] |= u64(1) << (xx - ox);
      }
    }
    clampToRange();
  }
};

// Checks the banded form; returns a description of the first fault.
std::string bandFault(const Region* r) {
  long n = regionNumRects(r);
  const RegionBox& e = r->extents;
  if (regionBroken(r)) return "broken";
  if (n == 0) return r->data && r->data->numRects == 0 && e.x1 == e.x2 && e.y1 == e.y2 ? "" : "bad empty region";
  if (n == 1 && r->data) return "one box kept in an array";
  const RegionBox* b = regionRects(r);
  RegionBox ext = b[0];
  for (long i = 0; i < n; i++) {
    const RegionBox& c = b[i];
    if (c.x1 >= c.x2 || c.y1 >= c.y2) return "empty box " + std::to_string(i);
    if (c.x1 < kRegionMin || c.y1 < kRegionMin || c.x2 > kRegionMax || c.y2 > kRegionMax) return "box out of range";
    ext = RegionBox{std::min(ext.x1, c.x1), std::min(ext.y1, c.y1), std::max(ext.x2, c.x2), std::max(ext.y2, c.y2)};
    if (i == 0) continue;
    const RegionBox& p = b[i - 1];
    if (c.y1 == p.y1) {
      if (c.y2 != p.y2) return "band with uneven bottom at " + std::to_string(i);
      if (c.x1 <= p.x2) return "touching or unsorted boxes at " + std::to_string(i);
    } else if (c.y1 < p.y2) {
      return "overlapping bands at " + std::to_string(i);
    }
  }
  // Adjacent bands with equal spans must have been merged.
  for (long i = 0; i < n;) {
    long j = i;
    while (j < n && b[j].y1 == b[i].y1) j++;
    long k = j;
    while (k < n && b[k].y1 == b[j].y1) k++;
    if (j < n && b[j].y1 == b[i].y2 && k - j == j - i) {
      bool same = true;
      for (long m = 0; m < j - i; m++) same = same && b[i + m].x1 == b[j + m].x1 && b[i + m].x2 == b[j + m].x2;
      if (same) return "uncoalesced bands at " + std::to_string(j);
    }
    i = j;
  }
  if (ext.x1 != e.x1 || ext.y1 != e.y1 || ext.x2 != e.x2 || ext.y2 != e.y2) return "extents not tight";
  return "";
}

// The region as pixels of the model's window; false when a box leaves it.
bool paint(const Region* r, const Pixels& like, Pixels* out) {
  *out = Pixels{};
  out->ox = like.ox;
  out->oy = like.oy;
  const RegionBox* b = regionRects(r);
  for (long i = 0; i < regionNumRects(r); i++) {
    if (b[i].x1 < like.ox || b[i].y1 < like.oy || b[i].x2 > like.ox + kWin || b[i].y2 > like.oy + kWin) return false;
    for (int y = b[i].y1; y < b[i].y2; y++) {
      for (int x = b[i].x1; x < b[i].x2; x++) out->rows[y - like.oy] |= u64(1) << (x - like.ox);
    }
  }
  return true;
}

::testing::AssertionResult matches(const Region* r, const Pixels& model) {
  std::string fault = bandFault(r);
  if (!fault.empty()) return ::testing::AssertionFailure() << fault;
  Pixels got;
  if (!paint(r, model, &got)) return ::testing::AssertionFailure() << "box outside the model window";
  for (int y = 0; y < kWin; y++) {
    if (got.rows[y] != model.rows[y]) return ::testing::AssertionFailure() << "pixels differ in row " << y;
  }
  return ::testing::AssertionSuccess();
}

struct Fuzzer {
  std::mt19937 rng;
  int ox, oy;
  Region regions[4];
  Pixels models[4];

  Fuzzer(u32 seed, int originX, int originY) : rng(seed), ox(originX), oy(originY) {
    for (int i = 0; i < 4; i++) {
      regionInit(&regions[i], nullptr, 0);
      models[i].ox = ox;
      models[i].oy = oy;
    }
  }
  ~Fuzzer() {
    for (Region& r : regions) regionUninit(&r);
  }
  int pick(int n) { return int(rng() % u32(n)); }
  void randomRect(int* x, int* y, int* w, int* h) {
    *x = ox + pick(kWin);
    *y = oy + pick(kWin);
    *w = pick(std::min(24, ox + kWin - *x) + 1);
    *h = pick(std::min(24, oy + kWin - *y) + 1);
  }

  // 0 union (twice as often, so regions stay busy), 1 intersection, 2 subtraction.
  int pickKind() { return std::max(pick(4) - 1, 0); }
  static void combine(int kind, Pixels* m, const Pixels& other) {
    for (int y = 0; y < kWin; y++) {
      u64 o = other.rows[y];
      m->rows[y] = kind == 0 ? m->rows[y] | o : kind == 1 ? m->rows[y] & o : m->rows[y] & ~o;
    }
  }

  void setOp(int d, int a, int b) {
    Pixels m = models[a];
    int kind = pickKind();
    combine(kind, &m, models[b]);
    bool ok = kind == 0   ? regionUnion(&regions[d], &regions[a], &regions[b])
              : kind == 1 ? regionIntersect(&regions[d], &regions[a], &regions[b])
                          : regionSubtract(&regions[d], &regions[a], &regions[b]);
    ASSERT_TRUE(ok);
    models[d] = m;
  }

  void rectOp(int d, int a) {
    int x, y, w, h;
    randomRect(&x, &y, &w, &h);
    Pixels r{ox, oy, {}};
    r.addRect(x, y, w, h);
    Pixels m = models[a];
    int kind = pickKind();
    combine(kind, &m, r);
    bool ok = kind == 0   ? regionUnionRect(&regions[d], &regions[a], x, y, w, h)
              : kind == 1 ? regionIntersectRect(&regions[d], &regions[a], x, y, w, h)
                          : regionSubtractRect(&regions[d], &regions[a], x, y, w, h);
    ASSERT_TRUE(ok);
    models[d] = m;
  }

  // Appends rectangles and another region, then validates; boxes overlap
  // exactly when the pixel count falls short of the summed areas.
  void appendOp(int d, int s) {
    int area = models[d].count();
    Pixels m = models[d];
    if (pick(2)) {  // sometimes the region itself
      ASSERT_TRUE(regionAppend(&regions[d], &regions[s]));
      area += models[s].count();
      combine(0, &m, models[s]);
    }
    for (int k = pick(10); k > 0; k--) {
      int x, y, w, h;
      randomRect(&x, &y, &w, &h);
      Pixels one{ox, oy, {}};
      one.addRect(x, y, w, h);
      area += one.count();
      combine(0, &m, one);
      ASSERT_TRUE(regionAppendRect(&regions[d], x, y, w, h));
    }
    bool overlap = true;
    ASSERT_TRUE(regionValidate(&regions[d], &overlap));
    EXPECT_EQ(overlap, area != m.count());
    models[d] = m;
  }

  i64 randomShift(int origin) {
    switch (pick(12)) {
      case 0: case 1: return kRegionMax - origin - pick(kWin);  // partly over the top limit
      case 2: case 3: return kRegionMin - origin - pick(kWin);  // partly below the bottom limit
      case 4: return pick(2) ? 40000 : -40000;                 // entirely out
      default: return pick(41) - 20;
    }
  }

  // Translates a copy away and back; only what left the range is lost.
  void translateOp(int d) {
    int dx = int(std::clamp<i64>(randomShift(ox), -70000, 70000));
    int dy = int(std::clamp<i64>(randomShift(oy), -70000, 70000));
    Region moved;
    regionInit(&moved, nullptr, 0);
    ASSERT_TRUE(regionCopy(&moved, &regions[d]));
    regionTranslate(&moved, dx, dy);
    Pixels there = models[d];
    there.ox += dx;
    there.oy += dy;
    there.clampToRange();
    EXPECT_TRUE(matches(&moved, there)) << "moved by " << dx << "," << dy;
    regionTranslate(&moved, -dx, -dy);
    Pixels back = there;
    back.ox = ox;
    back.oy = oy;
    EXPECT_TRUE(matches(&moved, back)) << "moved back by " << dx << "," << dy;
    ASSERT_TRUE(regionCopy(&regions[d], &moved));
    models[d] = back;
    regionUninit(&moved);
  }

  void containsQuery(int d) {
    int x, y, w, h;
    randomRect(&x, &y, &w, &h);
    int in = 0, out = 0;
    for (int yy = y; yy < y + h; yy++) {
      for (int xx = x; xx < x + w; xx++) {
        if (inRange(xx, yy)) (models[d].get(xx - ox, yy - oy) ? in : out)++;
      }
    }
    int want = in == 0 ? 0 : out == 0 ? 1 : 2;
    EXPECT_EQ(regionContainsRectXYWH(x, y, w, h, &regions[d]), want) << x << "," << y << " " << w << "x" << h;
  }

  void step() {
    int d = pick(4), a = pick(4), b = pick(4);
    switch (pick(8)) {
      case 0: case 1: return setOp(d, a, b);
      case 2: return rectOp(d, a);
      case 3: return appendOp(d, a);
      case 4: return translateOp(d);
      case 5: return containsQuery(d);
      case 6:
        if (pick(4) == 0) {
          regionEmpty(&regions[d]);
          models[d] = Pixels{ox, oy, {}};
        } else {
          ASSERT_TRUE(regionCopy(&regions[d], &regions[a]));
          models[d] = models[a];
        }
        return;
      default: {
        int x, y, w, h;
        randomRect(&x, &y, &w, &h);
        regionResetRect(&regions[d], x, y, w, h);
        models[d] = Pixels{ox, oy, {}};
        models[d].addRect(x, y, w, h);
        return appendOp(d, d);
      }
    }
  }
};

struct Origin {
  int x, y;
};

class RegionFuzz : public ::testing::TestWithParam<Origin> {};

TEST_P(RegionFuzz, AgreesWithPixelModel) {
  Fuzzer f(u32(GetParam().x * 31 + GetParam().y), GetParam().x, GetParam().y);
  for (int i = 0; i < 3000; i++) {
    f.step();
    if (HasFatalFailure()) FAIL() << "step " << i;
    for (int r = 0; r < 4; r++) ASSERT_TRUE(matches(&f.regions[r], f.models[r])) << "step " << i << " region " << r;
    if (HasFailure()) FAIL() << "step " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, RegionFuzz,
                         ::testing::Values(Origin{-30, -20}, Origin{kRegionMax - 40, kRegionMax - 40},
                                           Origin{kRegionMin - 24, kRegionMin - 24},
                                           Origin{kRegionMax - 40, kRegionMin - 24}));

TEST(Region, RectanglesAreClampedToTheRange) {
  Region* r = regionCreateRect(30000, 0, 5000, 10);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->extents.x1, 30000);
  EXPECT_EQ(r->extents.x2, kRegionMax);
  regionResetRect(r, -40000, -40000, 10000, 7300);
  // The right edge is where the rectangle ends, not the raised left plus the width.
  EXPECT_EQ(r->extents.x1, kRegionMin);
  EXPECT_EQ(r->extents.x2, -30000);
  EXPECT_EQ(r->extents.y2, -32700);
  ASSERT_TRUE(regionAppendRect(r, 0, 0, 0, 5));
  EXPECT_EQ(regionNumRects(r), 1);
  regionDestroy(r);
}

TEST(Region, RectangleArrays) {
  Region r;
  regionInit(&r, nullptr, 0);
  long count = 7;
  EXPECT_EQ(regionToRectangles(&r, &count), nullptr);
  EXPECT_EQ(count, 0);
  ASSERT_TRUE(regionUnionRect(&r, &r, 0, 0, 10, 10));
  ASSERT_TRUE(regionUnionRect(&r, &r, 20, -5, 10, 10));
  RegionRectangle* rects = regionToRectangles(&r, &count);
  ASSERT_EQ(count, 4);  // three bands, the middle one of two boxes
  EXPECT_EQ(rects[1].x, 0);
  EXPECT_EQ(rects[1].y, 0);
  EXPECT_EQ(rects[1].width, 10);
  EXPECT_EQ(rects[1].height, 5);
  std::free(rects);
  regionUninit(&r);
}

int gReallocCalls;
int gFailAfter;

void* countingRealloc(void* pointer, size_t size) {
  gReallocCalls++;
  if (gFailAfter >= 0 && gReallocCalls > gFailAfter) return nullptr;
  return std::realloc(pointer, size);
}

// A striped region of n bands of two boxes.
void stripes(Region* r, int n, int shift) {
  regionEmpty(r);
  for (int i = 0; i < n; i++) {
    ASSERT_TRUE(regionUnionRect(r, r, shift + i % 7, 2 * i, 5, 1));
    ASSERT_TRUE(regionUnionRect(r, r, shift + 20 + i % 5, 2 * i, 5, 1));
  }
}

TEST(Region, RepeatedOperationsDoNotAllocate) {
  Region a, b;
  regionInit(&a, nullptr, 0);
  regionInit(&b, nullptr, 0);
  stripes(&a, 60, 0);
  stripes(&b, 60, 3);
  gReallocCalls = 0;
  gFailAfter = -1;
  regionSetReallocForTesting(countingRealloc);
  for (int round = 0; round < 50; round++) {
    ASSERT_TRUE(regionUnion(&a, &a, &b));
    ASSERT_TRUE(regionSubtract(&a, &a, &b));
    ASSERT_TRUE(regionIntersect(&b, &b, &b));
  }
  int warm = gReallocCalls;
  for (int round = 0; round < 50; round++) {
    ASSERT_TRUE(regionUnion(&a, &a, &b));
    ASSERT_TRUE(regionSubtract(&a, &a, &b));
  }
  regionSetReallocForTesting(nullptr);
  EXPECT_LE(warm, 4);
  EXPECT_EQ(gReallocCalls, warm);
  regionUninit(&a);
  regionUninit(&b);
}

// Every operation is made to fail at each of its allocations in turn: it
// reports the failure and leaves a broken region, never a wrong one.
TEST(Region, AllocationFailureLeavesBrokenRegion) {
  Region a, b, dst;
  regionInit(&a, nullptr, 0);
  regionInit(&b, nullptr, 0);
  stripes(&a, 40, 0);
  stripes(&b, 40, 11);
  for (int op = 0; op < 4; op++) {
    for (int failAfter = 0;; failAfter++) {
      regionInit(&dst, nullptr, 0);
      gReallocCalls = 0;
      gFailAfter = failAfter;
      regionSetReallocForTesting(countingRealloc);
      bool ok = op == 0   ? regionUnion(&dst, &a, &b)
                : op == 1 ? regionSubtract(&dst, &a, &b)
                : op == 2 ? regionIntersect(&dst, &a, &b)
                          : regionAppend(&dst, &a) && regionAppend(&dst, &b) && regionValidate(&dst, nullptr);
      regionSetReallocForTesting(nullptr);
      EXPECT_EQ(ok, !regionBroken(&dst)) << op << " " << failAfter;
      if (!ok) {
        Region later;
        regionInit(&later, nullptr, 0);
        EXPECT_FALSE(regionUnion(&later, &a, &dst));
        EXPECT_TRUE(regionBroken(&later));
        EXPECT_EQ(regionContainsPoint(0, 0, &dst), 0);
        regionEmpty(&dst);
        EXPECT_FALSE(regionBroken(&dst));
        regionUninit(&later);
      }
      regionUninit(&dst);
      if (ok) break;
    }
  }
  regionUninit(&a);
  regionUninit(&b);
}

}  // namespace
}  // namespace palvon
