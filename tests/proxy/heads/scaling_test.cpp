// Head scalers against references computed independently: a labelled meta
// image rotated by transposing and flipping and enlarged by rounded pixel
// boundaries, compared pixel for pixel with what the area transform paints;
// the inverse transforms; the tables against plain rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "xsupport/region.h"

namespace palvon {
namespace {

struct Zoom {
  u32 zoomed, meta;  // the same ratio on both axes, unless tall is set
  u32 rotation;
};

// Rounds half away from zero and holds the 16-bit range, as the wire does.
i32 reference(i64 c, u32 num, u32 den) {
  double v = std::round(double(c) * num / den);
  return i32(std::clamp(v, -32768.0, 32767.0));
}

struct ScalerHolder {
  HeadScaler* s = nullptr;
  ScalerHolder(u32 zw, u32 mw, u32 zh, u32 mh, u32 rotation) : s(createScaler(zw, mw, zh, mh, rotation)) {}
  ~ScalerHolder() { releaseScaler(&s); }
};

// --- Tables ----------------------------------------------------------------------

TEST(ScalerTables, EqualPlainRoundingInsideAndBeyond) {
  const Zoom zooms[] = {{640, 1280, 0}, {3, 2, 0}, {2, 1, 0}, {1, 1, 0}, {2, 3, 0}, {1280, 1024, 1}, {7, 3, 3}};
  for (const Zoom& z : zooms) {
    SCOPED_TRACE(testing::Message() << z.zoomed << "/" << z.meta << " rot " << z.rotation);
    // Zoomed height twice the width's ratio, so that the axes differ.
    ScalerHolder h(z.zoomed, z.meta, 2 * z.zoomed, z.meta, z.rotation);
    ASSERT_NE(h.s, nullptr);
    for (i64 c = -1500; c <= 9000; c++) {
      ASSERT_EQ(scaleX(h.s, i32(c)), reference(c, z.zoomed, z.meta)) << c;
      ASSERT_EQ(scaleY(h.s, i32(c)), reference(c, 2 * z.zoomed, z.meta)) << c;
    }
    for (i64 c : {-100000LL, -32768LL, 20000LL, 65535LL, 1LL << 30})
      EXPECT_EQ(scaleX(h.s, i32(c)), reference(c, z.zoomed, z.meta)) << c;
  }
}

TEST(ScalerTables, HalfZoomRoundsHalvesAwayAndKeepsOnePixel) {
  ScalerHolder h(640, 1280, 480, 960, 0);
  EXPECT_EQ(h.s->xNum, 1u);
  EXPECT_EQ(h.s->xDen, 2u);
  const i32 want[] = {0, 1, 1, 2, -1, -1};
  const i32 in[] = {0, 1, 2, 3, -1, -2};
  for (int i = 0; i < 6; i++) EXPECT_EQ(scaleX(h.s, in[i]), want[i]) << in[i];
  HeadRect r{1, 0, 1, 1};
  scaleRectangleRotated(h.s, &r, 1280, 960);
  EXPECT_EQ(r.width, 1);
  u8 dashes[] = {200, 1, 0};
  ScalerHolder twice(2, 1, 2, 1, 0);
  scaleDashes(twice.s, dashes, 3);
  EXPECT_EQ(dashes[0], 255);
  EXPECT_EQ(dashes[1], 2);
  EXPECT_EQ(dashes[2], 0);
}

// --- Pixel references ------------------------------------------------------------

using Image = std::vector<std::vector<i32>>;  // [row][column]

// A quarter turn counter-clockwise on the screen: transpose, then flip the
// rows (the new image is H wide and W tall).
Image turnOnce(const Image& in) {
  size_t h = in.size(), w = in[0].size();
  Image out(w, std::vector<i32>(h));
  for (size_t y = 0; y < h; y++)
    for (size_t x = 0; x < w; x++) out[w - 1 - x][y] = in[y][x];
  return out;
}

// Nearest enlargement by rounded boundaries: head column X shows meta
// column i when round(i f) <= X < round((i + 1) f).
Image enlarge(const Image& in, u32 numX, u32 denX, u32 numY, u32 denY) {
  size_t h = in.size(), w = in[0].size();
  Image out(size_t(reference(i64(h), numY, denY)), std::vector<i32>(size_t(reference(i64(w), numX, denX)), -1));
  for (size_t y = 0; y < h; y++)
    for (size_t x = 0; x < w; x++)
      for (i32 Y = reference(i64(y), numY, denY); Y < reference(i64(y) + 1, numY, denY); Y++)
        for (i32 X = reference(i64(x), numX, denX); X < reference(i64(x) + 1, numX, denX); X++) out[Y][X] = in[y][x];
  return out;
}

Image labelled(u32 w, u32 h) {
  Image img(h, std::vector<i32>(w));
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++) img[y][x] = i32(y * w + x);
  return img;
}

// Paints every meta pixel's scaled area; -2 marks a pixel painted twice.
Image paint(const HeadScaler* s, const Image& meta, i32 headW, i32 headH) {
  Image out(size_t(headH), std::vector<i32>(size_t(headW), -1));
  u32 h = u32(meta.size()), w = u32(meta[0].size());
  for (u32 y = 0; y < h; y++) {
    for (u32 x = 0; x < w; x++) {
      HeadRect r{i32(x), i32(y), 1, 1};
      scaleRectangleRotated(s, &r, w, h);
      for (i32 Y = r.y; Y < r.y + r.height; Y++)
        for (i32 X = r.x; X < r.x + r.width; X++) {
          if (X < 0 || Y < 0 || X >= headW || Y >= headH) continue;
          i32& cell = out[size_t(Y)][size_t(X)];
          cell = cell == -1 ? meta[y][x] : -2;
        }
    }
  }
  return out;
}

struct RotationCase {
  u32 num, den, rotation;
};

class ScalerRotation : public testing::TestWithParam<RotationCase> {};

TEST_P(ScalerRotation, PaintsTheRotatedEnlargedImage) {
  const RotationCase c = GetParam();
  if (c.num < c.den) GTEST_SKIP() << "a reduction maps several pixels to one";
  const u32 w = 7, h = 4;
  Image meta = labelled(w, h);
  Image turned = meta;
  for (u32 i = 0; i < c.rotation; i++) turned = turnOnce(turned);
  Image want = enlarge(turned, c.num, c.den, c.num, c.den);
  // The zoomed size is given as the head shows it (rotated).
  u32 tw = u32(turned[0].size()), th = u32(turned.size());
  ScalerHolder s(tw * c.num, w * c.den, th * c.num, h * c.den, c.rotation);
  Image got = paint(s.s, meta, i32(want[0].size()), i32(want.size()));
  EXPECT_EQ(got, want);
  // Points land on the pixel their 1x1 area starts at.
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++) {
      i32 px = i32(x), py = i32(y);
      scalePointInSize(s.s, &px, &py, w, h);
      EXPECT_EQ(want[size_t(py)][size_t(px)], meta[y][x]) << x << "," << y;
    }
}

TEST_P(ScalerRotation, UnscaledFormsInvertTheScaledOnes) {
  const RotationCase c = GetParam();
  if (c.num < c.den) GTEST_SKIP() << "a reduction maps several pixels to one";
  const u32 w = 37, h = 23;
  u32 tw = (c.rotation & 1) ? h : w, th = (c.rotation & 1) ? w : h;
  ScalerHolder s(tw * c.num, w * c.den, th * c.num, h * c.den, c.rotation);
  setScalerFrame(s.s, 0, 0, w, h);
  std::mt19937 random(c.num * 97 + c.rotation);
  for (int i = 0; i < 2000; i++) {
    i32 x = i32(random() % w), y = i32(random() % h);
    i32 aw = i32(random() % (w - u32(x))) + 1, ah = i32(random() % (h - u32(y))) + 1;
    HeadRect a{x, y, aw, ah}, b = a;
    scaleArea32(s.s, &b);
    unscaleArea32(s.s, &b);
    ASSERT_EQ((std::vector<i32>{b.x, b.y, b.width, b.height}), (std::vector<i32>{x, y, aw, ah}));
    i32 px = x, py = y;
    scalePoint(s.s, &px, &py);
    unscalePoint(s.s, &px, &py);
    ASSERT_EQ(px, x);
    ASSERT_EQ(py, y);
    i32 qx = x, qy = y, qw = aw, qh = ah;
    scalePoint32(s.s, &qx, &qy, &qw, &qh);
    unscalePoint32(s.s, &qx, &qy, &qw, &qh);
    ASSERT_EQ((std::vector<i32>{qx, qy, qw, qh}), (std::vector<i32>{x, y, aw, ah}));
    qx = x, qy = y;
    scalePoint32(s.s, &qx, &qy, nullptr, nullptr);
    unscalePoint32(s.s, &qx, &qy, nullptr, nullptr);
    ASSERT_EQ(qx, x);
    ASSERT_EQ(qy, y);
    u16 sw = u16(aw), sh = u16(ah);
    scaleSize(s.s, &sw, &sh);
    unscaleSize(s.s, &sw, &sh);
    ASSERT_EQ(sw, aw);
    ASSERT_EQ(sh, ah);
    ASSERT_EQ(unscaleLength(s.s, scaleBorderWidth(s.s, u32(aw))), u32(aw));
  }
}

TEST_P(ScalerRotation, ExposedHeadPixelsAreCovered) {
  const RotationCase c = GetParam();
  const u32 w = 29, h = 17;
  u32 tw = (c.rotation & 1) ? h : w, th = (c.rotation & 1) ? w : h;
  ScalerHolder s(tw * c.num, w * c.den, th * c.num, h * c.den, c.rotation);
  setScalerFrame(s.s, 0, 0, w, h);
  i32 headW = reference(tw, c.num, c.den), headH = reference(th, c.num, c.den);
  std::mt19937 random(c.num * 13 + c.rotation);
  for (int i = 0; i < 500; i++) {
    i32 x = i32(random() % u32(headW)), y = i32(random() % u32(headH));
    HeadRect exposed{x, y, i32(random() % u32(headW - x)) + 1, i32(random() % u32(headH - y)) + 1};
    HeadRect meta = exposed;
    unscaleExposeArea(s.s, &meta);
    ASSERT_GE(meta.x, 0);
    ASSERT_GE(meta.y, 0);
    ASSERT_LE(meta.x + meta.width, i32(w));
    ASSERT_LE(meta.y + meta.height, i32(h));
    HeadRect back = meta;
    scaleArea32(s.s, &back);
    ASSERT_LE(back.x, exposed.x);
    ASSERT_LE(back.y, exposed.y);
    ASSERT_GE(back.x + back.width, exposed.x + exposed.width);
    ASSERT_GE(back.y + back.height, exposed.y + exposed.height);
  }
}

INSTANTIATE_TEST_SUITE_P(ZoomsAndTurns, ScalerRotation,
                         testing::Values(RotationCase{1, 1, 0}, RotationCase{1, 1, 1}, RotationCase{1, 1, 2},
                                         RotationCase{1, 1, 3}, RotationCase{2, 1, 0}, RotationCase{2, 1, 1},
                                         RotationCase{2, 1, 2}, RotationCase{2, 1, 3}, RotationCase{3, 2, 0},
                                         RotationCase{3, 2, 1}, RotationCase{3, 2, 2}, RotationCase{3, 2, 3},
                                         RotationCase{1, 2, 0}, RotationCase{1, 2, 1}));

TEST(ScalerRotation, FourQuarterTurnsAreTheIdentity) {
  ScalerHolder quarter(1, 1, 1, 1, 1);
  const u32 w = 100, h = 50;
  for (i32 x : {0, 1, 57, 99})
    for (i32 y : {0, 13, 49}) {
      i32 px = x, py = y;
      HeadRect a{x, y, i32(w) - x, 1};
      u32 fw = w, fh = h;
      for (int turn = 0; turn < 4; turn++) {
        scalePointInSize(quarter.s, &px, &py, fw, fh);
        scaleRectangleRotated(quarter.s, &a, fw, fh);
        std::swap(fw, fh);
      }
      EXPECT_EQ(px, x);
      EXPECT_EQ(py, y);
      EXPECT_EQ((std::vector<i32>{a.x, a.y, a.width, a.height}), (std::vector<i32>{x, y, i32(w) - x, 1}));
    }
  i32 x = 0, y = 0;
  scalePointInSize(quarter.s, &x, &y, 100, 50);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 99);
  for (u8 g = 0; g <= 10; g++) {
    u8 turned = g;
    for (int i = 0; i < 4; i++) turned = rotateGravityBy(turned, 1);
    EXPECT_EQ(turned, g);
    EXPECT_EQ(rotateGravityBy(rotateGravityBy(g, 1), 1), rotateGravityBy(g, 2));
    EXPECT_EQ(rotateGravityBy(rotateGravityBy(g, 2), 1), rotateGravityBy(g, 3));
  }
}

// Adjacent rectangles of any widths share their edges after scaling.
TEST(ScalerRotation, AdjacentRectanglesStayAdjacent) {
  for (u32 rotation = 0; rotation < 4; rotation++) {
    for (auto [num, den] : {std::pair{1u, 2u}, {2u, 3u}, {3u, 2u}, {5u, 7u}}) {
      ScalerHolder s(num * 300, den * 300, num * 200, den * 200, rotation);
      setScalerFrame(s.s, 11, 5, 300, 200);
      xRectangle row[40];
      i16 x = 0;
      for (int i = 0; i < 40; i++) {
        u16 width = u16(1 + (i * 7) % 9 + (den > num ? den : 0));
        row[i] = {x, 10, width, 3};
        x = i16(x + width);
      }
      scaleRectangles(s.s, row, 40);
      for (int i = 1; i < 40; i++) {
        const xRectangle& a = row[i - 1];
        const xRectangle& b = row[i];
        // Along the row's axis on the head: x for 0 and 180, y for 90 and 270.
        const i32 edges[4][2] = {{a.x + a.width, b.x}, {b.y + b.height, a.y}, {b.x + b.width, a.x},
                                 {a.y + a.height, b.y}};
        EXPECT_EQ(edges[rotation][0], edges[rotation][1]) << rotation << " " << i;
      }
    }
  }
}

// --- Lists ----------------------------------------------------------------------

TEST(ScalerLists, RelativePointsEndWhereAbsolutePointsDo) {
  for (u32 rotation = 0; rotation < 4; rotation++) {
    ScalerHolder s(3 * 60, 2 * 60, 5 * 40, 4 * 40, rotation);
    setScalerFrame(s.s, 3, 7, 60, 40);
    xPoint absolute[6] = {{1, 2}, {10, 2}, {10, 30}, {59, 39}, {0, 0}, {-5, 44}};
    xPoint relative[6];
    relative[0] = absolute[0];
    for (int i = 1; i < 6; i++)
      relative[i] = {i16(absolute[i].x - absolute[i - 1].x), i16(absolute[i].y - absolute[i - 1].y)};
    scalePoints(s.s, absolute, 6, CoordModeOrigin);
    scalePoints(s.s, relative, 6, CoordModePrevious);
    i32 x = 0, y = 0;
    for (int i = 0; i < 6; i++) {
      x += relative[i].x, y += relative[i].y;
      EXPECT_EQ(x, absolute[i].x) << rotation << " " << i;
      EXPECT_EQ(y, absolute[i].y) << rotation << " " << i;
    }
  }
}

TEST(ScalerLists, ArcsTurnTheirStartUnlessFull) {
  ScalerHolder s(1, 1, 1, 1, 1);
  setScalerFrame(s.s, 0, 0, 100, 50);
  xArc arcs[3] = {{10, 5, 20, 10, 0, kArcFull}, {10, 5, 20, 10, 64 * 30, 64 * 45}, {0, 0, 4, 4, 20000, 100}};
  scaleArcs(s.s, arcs, 3);
  EXPECT_EQ(arcs[0].angle1, 0);
  EXPECT_EQ(arcs[1].angle1, 64 * 120);
  EXPECT_EQ(arcs[1].angle2, 64 * 45);
  EXPECT_EQ(arcs[2].angle1, (20000 + kArcQuarter) % kArcFull);
  // Bounding box (10, 5, 20, 10) turned in a 100 x 50 drawable.
  EXPECT_EQ((std::vector<i32>{arcs[0].x, arcs[0].y, arcs[0].width, arcs[0].height}),
            (std::vector<i32>{5, 70, 10, 20}));
}

TEST(ScalerLists, GlyphElementsKeepTheirScaledAbsolutePositions) {
  ScalerHolder s(3, 2, 3, 2, 0);
  setScalerFrame(s.s, 0, 0, 500, 500);
  // Two elements of three 8-bit glyphs, a glyph-set change between them.
  u8 items[12 + 12 + 12] = {};
  auto put = [&](u32 at, u8 n, i16 dx, i16 dy) {
    items[at] = n;
    memcpy(items + at + 4, &dx, 2);
    memcpy(items + at + 6, &dy, 2);
  };
  put(0, 3, 11, 21);
  put(12, 255, 0, 0);
  put(24, 3, 7, -5);
  i16 sx = 5, sy = 9;
  scaleGlyphOrigin(s.s, &sx, &sy, items, sizeof items, 1);
  i16 d[4];
  memcpy(&d[0], items + 4, 2);
  memcpy(&d[1], items + 6, 2);
  memcpy(&d[2], items + 28, 2);
  memcpy(&d[3], items + 30, 2);
  EXPECT_EQ(sx, reference(5, 3, 2));
  EXPECT_EQ(d[0], reference(11, 3, 2));
  EXPECT_EQ(d[0] + d[2], reference(18, 3, 2));
  EXPECT_EQ(d[1] + d[3], reference(16, 3, 2));
}

TEST(ScalerLists, ClipRectanglesMergeIntoRegionBoxes) {
  ScalerHolder s(2, 1, 2, 1, 0);
  setScalerFrame(s.s, 0, 0, 200, 200);
  const xRectangle in[] = {{0, 0, 10, 5}, {10, 0, 10, 5}, {0, 5, 20, 5}, {50, 50, 0, 4}};
  i16 ox = 3, oy = 1;
  u32 n = 0;
  xRectangle* out = scaleClipRectangles(s.s, &ox, &oy, in, 4, &n);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(ox, 6);
  EXPECT_EQ(oy, 2);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ((std::vector<i32>{out[0].x, out[0].y, out[0].width, out[0].height}), (std::vector<i32>{0, 0, 40, 20}));
  free(out);
}

TEST(ScalerLists, OverlappingCopiesKeepAShiftOfAtLeastOnePixel) {
  ScalerHolder half(1, 3, 1, 3, 0);
  setScalerFrame(half.s, 0, 0, 600, 300);
  // Scrolling up by one meta pixel would round to no move at all.
  i16 sx = 0, sy = 1, dx = 0, dy = 0;
  u16 w = 600, h = 299;
  ASSERT_EQ(scaleCopyArea(half.s, &sx, &sy, &dx, &dy, &w, &h), 1);
  EXPECT_EQ(sy - dy, 1);
  EXPECT_LE(sy + h, 100);
  // Disjoint areas and equal positions are left to the caller.
  sx = 0, sy = 0, dx = 100, dy = 0, w = 50, h = 50;
  EXPECT_EQ(scaleCopyArea(half.s, &sx, &sy, &dx, &dy, &w, &h), 0);
  dx = 0;
  EXPECT_EQ(scaleCopyArea(half.s, &sx, &sy, &dx, &dy, &w, &h), 0);
}

TEST(ScalerLists, TrapezoidsScaleOrTurnIntoCornerFans) {
  const xTrapezoid t{0 << 16, 10 << 16, {{0, 0}, {0, 10 << 16}}, {{20 << 16, 0}, {30 << 16, 10 << 16}}};
  ScalerHolder flat(2, 1, 3, 1, 0);
  setScalerFrame(flat.s, 0, 0, 100, 100);
  i16 sx = 1, sy = 1;
  ScaledTrapezoids out;
  ASSERT_TRUE(scaleTrapezoids(flat.s, &t, 1, &sx, &sy, &out));
  auto* scaled = static_cast<xTrapezoid*>(out.data);
  EXPECT_EQ(out.kind, 0u);
  EXPECT_EQ(scaled[0].bottom, 30 << 16);
  EXPECT_EQ(scaled[0].right.p2.x, 60 << 16);
  free(out.data);
  ScalerHolder turned(1, 1, 1, 1, 1);
  setScalerFrame(turned.s, 0, 0, 100, 50);
  ASSERT_TRUE(scaleTrapezoids(turned.s, &t, 1, &sx, &sy, &out));
  auto* corners = static_cast<xPointFixed*>(out.data);
  ASSERT_EQ(out.count, 4u);
  // Top-left (0, 0) lies on the far edge after a quarter turn; bottom-right
  // (30, 10) goes to (10, 70).
  EXPECT_EQ(corners[0].x, 0);
  EXPECT_EQ(corners[0].y, 100 << 16);
  EXPECT_EQ(corners[2].x, 10 << 16);
  EXPECT_EQ(corners[2].y, 70 << 16);
  free(out.data);
  // Edges between the ends of 32 bits, turned: bands inside the head's
  // reach, whose corners lie on the edges (here x = y and x = -y turned).
  const i32 low = INT32_MIN, high = INT32_MAX;
  const xTrapezoid far{low, high, {{low, low}, {high, high}}, {{high, low}, {low, high}}};
  ASSERT_TRUE(scaleTrapezoids(turned.s, &far, 1, &sx, &sy, &out));
  corners = static_cast<xPointFixed*>(out.data);
  ASSERT_GT(out.count, 0u);
  for (u32 k = 0; k < out.count; k++) {
    EXPECT_LE(std::abs(i64(corners[k].x)), i64(1) << 30) << k;
    i64 metaX = (100 << 16) - i64(corners[k].y), metaY = corners[k].x;
    EXPECT_LE(std::abs(std::abs(metaX) - std::abs(metaY)), 2) << k;
  }
  free(out.data);
}

// --- Heads sharing a scaler ------------------------------------------------------

TEST(ScalerHeads, EqualZoomsOnOneDisplayShareAScaler) {
  u32 savedOptions = proxyConfig.options;
  proxyConfig.options |= kOptionTavel;
  MetaScreen screen{};
  Head a{}, b{}, c{};
  ServerDisplay display{};
  for (Head* h : {&a, &b, &c}) {
    h->serverDisplay = &display;
    h->clip = {0, 0, 640, 480};
    h->logical = {0, 0, 1280, 960};
  }
  c.rotation = 1;
  c.clip = {0, 0, 480, 640};
  screen.heads = &a;
  a.next = &b;
  b.next = &c;
  MetaScreen* savedScreens = proxyState.screens;
  proxyState.screens = &screen;
  u32 live = liveScalerCount();
  ASSERT_EQ(setupHeadScaling(&a), nullptr);
  ASSERT_EQ(setupHeadScaling(&b), nullptr);
  ASSERT_EQ(setupHeadScaling(&c), nullptr);
  EXPECT_EQ(a.scaler, b.scaler);
  EXPECT_NE(a.scaler, c.scaler);
  EXPECT_EQ(a.scaler->extraUsers, 1u);
  EXPECT_EQ(liveScalerCount(), live + 2);
  releaseScaler(&a.scaler);
  ASSERT_NE(b.scaler, nullptr);
  EXPECT_EQ(scaleX(b.scaler, 3), 2);
  releaseScaler(&b.scaler);
  releaseScaler(&c.scaler);
  EXPECT_EQ(liveScalerCount(), live);

  a.tags = kHeadTagStatic;
  EXPECT_STREQ(setupHeadScaling(&a), "Can't zoom or rotate head with attribute static set");
  a.tags = 0;
  proxyConfig.options &= ~kOptionTavel;
  EXPECT_NE(strstr(setupHeadScaling(&a), "option Tavel is used but not enabled"), nullptr);
  a.clip = a.logical;
  EXPECT_EQ(setupHeadScaling(&a), nullptr);
  EXPECT_EQ(a.scaler, nullptr);
  proxyState.screens = savedScreens;
  proxyConfig.options = savedOptions;
}

// --- Which heads draw text as bitmaps ---------------------------------------------

struct FontCase {
  const char* name;
  HeadRect clip, logical;
  u32 rotation;
  bool serverFonts;
  bool bitmaps;
};

void PrintTo(const FontCase& c, std::ostream* out) { *out << c.name; }

class FontBitmaps : public testing::TestWithParam<FontCase> {};

// A head joining at run time is decided on before its scaler is made; the
// decision equals the one made for it after the scaler exists (as for a
// head probed at start-up).
TEST_P(FontBitmaps, TheDecisionBeforeTheScalerEqualsTheOneAfter) {
  const FontCase& c = GetParam();
  u32 savedOptions = proxyConfig.options;
  proxyConfig.options |= kOptionTavel;
  MetaScreen screen{};
  ServerDisplay display{};
  display.serverFonts = c.serverFonts;
  std::snprintf(display.displayName, sizeof display.displayName, ":5");
  Head head{};
  head.serverDisplay = &display;
  head.clip = c.clip, head.logical = c.logical, head.rotation = c.rotation;
  screen.heads = &head;
  MetaScreen* savedScreens = proxyState.screens;
  ServerDisplay* savedFonts = fontDisplay;
  proxyState.screens = &screen;
  fontDisplay = &display;
  decideHeadFontScaling(&head);
  bool before = head.fontBitmaps;
  ASSERT_EQ(setupHeadScaling(&head), nullptr);
  head.fontBitmaps = 0;
  checkFontBitmaps(&head);
  EXPECT_EQ(before, bool(head.fontBitmaps));
  EXPECT_EQ(before, c.bitmaps);
  releaseScaler(&head.scaler);
  proxyState.screens = savedScreens;
  fontDisplay = savedFonts;
  proxyConfig.options = savedOptions;
}

INSTANTIATE_TEST_SUITE_P(
    Heads, FontBitmaps,
    testing::Values(FontCase{"Plain", {0, 0, 640, 480}, {0, 0, 640, 480}, 0, false, false},
                    FontCase{"Zoomed", {0, 0, 640, 480}, {0, 0, 320, 240}, 0, false, true},
                    FontCase{"Shrunk", {0, 0, 640, 480}, {0, 0, 1280, 960}, 0, false, true},
                    FontCase{"Turned", {0, 0, 480, 640}, {0, 0, 640, 480}, 1, false, true},
                    FontCase{"ZoomedWithServerFonts", {0, 0, 640, 480}, {0, 0, 320, 240}, 0, true, false}),
    [](const testing::TestParamInfo<FontCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon
