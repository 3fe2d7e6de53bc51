// Exact colour cells on a real 8-bit server: the proxy's connection gets
// the very pixels it asks for, also when the server would hand out others,
// and gets nothing (leaving no cell behind) when another client holds one.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <set>
#include <string>
#include <vector>

#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorcells.h"
#include "base/orders.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

// Another client of the same server, holding cells the proxy must respect.
struct Other {
  enum Kind { kNone, kShared, kPrivate };
  Kind kind;
  u32 pixel;   // for kShared: taken by allocating `colour` until it lands there
  u16 colour;  // grey level of a shared cell
};

class ExactCellsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    ServerDisplay* record = nullptr;
    ASSERT_EQ(openServerDisplay(server_.display().c_str(), 5000, &record), nullptr);
    proxy_ = record->display;
    other_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(other_, nullptr);
    ASSERT_EQ(DefaultVisual(proxy_, 0)->c_class, PseudoColor);
    colormap_ = XCreateColormap(proxy_, DefaultRootWindow(proxy_), DefaultVisual(proxy_, 0), AllocNone);
    XSync(proxy_, False);
  }
  void TearDown() override {
    if (other_) XCloseDisplay(other_);
    while (serverDisplayList) freeServerDisplay(serverDisplayList);
    ordersFreeAll();
  }

  // Free cells, counted from a third connection that takes and frees them.
  u32 freeCells() {
    Display* counter = XOpenDisplay(server_.display().c_str());
    unsigned long pixel;
    u32 count = 0;
    while (XAllocColorCells(counter, colormap_, False, nullptr, 0, &pixel, 1)) count++;
    XCloseDisplay(counter);
    return count;
  }
  // A private cell of the other client at exactly that pixel.
  void holdPrivate(u32 wanted) {
    std::vector<unsigned long> taken;
    unsigned long pixel;
    while (XAllocColorCells(other_, colormap_, False, nullptr, 0, &pixel, 1) && pixel != wanted) taken.push_back(pixel);
    ASSERT_EQ(pixel, wanted);
    if (!taken.empty()) XFreeColors(other_, colormap_, taken.data(), int(taken.size()), 0);
    XSync(other_, False);
  }
  // A shared cell of the other client holding grey `level` at that pixel.
  void holdShared(u32 wanted, u16 level) {
    holdPrivate(wanted);
    unsigned long pixel = wanted;
    XFreeColors(other_, colormap_, &pixel, 1, 0);
    std::vector<unsigned long> fillers;
    while (true) {
      XColor c{0, level, level, level, DoRed | DoGreen | DoBlue, 0};
      ASSERT_TRUE(XAllocColor(other_, colormap_, &c));
      if (c.pixel == wanted) break;
      // Lower cells first: fill each with a colour of its own.
      XFreeColors(other_, colormap_, &c.pixel, 1, 0);
      unsigned long filler;
      ASSERT_TRUE(XAllocColorCells(other_, colormap_, False, nullptr, 0, &filler, 1));
      fillers.push_back(filler);
    }
    if (!fillers.empty()) XFreeColors(other_, colormap_, fillers.data(), int(fillers.size()), 0);
    XSync(other_, False);
  }
  void hold(const Other& o) {
    if (o.kind == Other::kPrivate) holdPrivate(o.pixel);
    if (o.kind == Other::kShared) holdShared(o.pixel, o.colour);
  }
  XColor queryCell(u32 pixel) {
    XColor c{};
    c.pixel = pixel;
    XQueryColor(other_, colormap_, &c);
    return c;
  }

  test::Xvfb server_{{"-screen", "0", "320x200x8"}};
  Display* proxy_ = nullptr;
  Display* other_ = nullptr;
  Colormap colormap_ = 0;
};

// --- One read-only cell ----------------------------------------------------------------

struct PixelCase {
  const char* name;
  Other other;
  u32 wanted;
  u16 level;      // grey asked for
  bool taken;
  u16 shows;      // grey level the cell shows afterwards (8 significant bits)
  i32 cellsUsed;  // free cells lost by the proxy's call
};

class ExactPixel : public ExactCellsTest, public ::testing::WithParamInterface<PixelCase> {};

TEST_P(ExactPixel, IsTakenOnlyWhereTheServerCanGiveIt) {
  const PixelCase& c = GetParam();
  hold(c.other);
  u32 before = freeCells();
  XColor colour{c.wanted, c.level, c.level, c.level, DoRed | DoGreen | DoBlue, 0};
  EXPECT_EQ(allocPixelExactly(proxy_, colormap_, &colour, true), c.taken ? 1 : 0);
  XSync(proxy_, False);
  EXPECT_EQ(i32(before) - i32(freeCells()), c.cellsUsed);
  if (c.taken) {
    EXPECT_EQ(queryCell(c.wanted).red >> 8, c.shows);
    EXPECT_EQ(colour.red >> 8, c.shows);
  }
}

const PixelCase kPixels[] = {
    // The server would give the lowest free cell; the juggling gets 100.
    {"FreeCellAfterOthers", {Other::kNone, 0, 0}, 100, 0x8080, true, 0x80, 1},
    {"LowestFreeCell", {Other::kNone, 0, 0}, 0, 0x4040, true, 0x40, 1},
    // Held read-only with the same colour: shared, no new cell.
    {"SharedSameColour", {Other::kShared, 30, 0x2020}, 30, 0x2020, true, 0x20, 0},
    // Held read-only with another colour: this server would show the pixel
    // unlike the others, so it is not taken.
    {"SharedOtherColour", {Other::kShared, 30, 0x2020}, 30, 0x9090, false, 0, 0},
    // Held read-write: not the proxy's to have, and nothing is left behind.
    {"HeldPrivately", {Other::kPrivate, 40, 0}, 40, 0x9090, false, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Cells, ExactPixel, ::testing::ValuesIn(kPixels),
                         [](const ::testing::TestParamInfo<PixelCase>& info) { return info.param.name; });

// --- Writable cells -------------------------------------------------------------------

struct CellsCase {
  const char* name;
  Other other;
  bool planes;  // AllocColorPlanes rather than AllocColorCells
  std::vector<u32> pixels;
  std::vector<u32> masks;  // planes: red, green, blue
  bool taken;
};

class ExactWritable : public ExactCellsTest, public ::testing::WithParamInterface<CellsCase> {};

TEST_P(ExactWritable, GetsExactlyTheWantedCellsOrNone) {
  const CellsCase& c = GetParam();
  hold(c.other);
  u32 before = freeCells();
  u32 planes = 0;
  for (u32 m : c.masks) planes |= m;
  int result = c.planes ? allocColorPlanesExactly(proxy_, colormap_, c.masks[0], c.masks[1], c.masks[2],
                                                  c.pixels.data(), u32(c.pixels.size()))
                        : allocColorCellsExactly(proxy_, colormap_, c.pixels.data(), u32(c.pixels.size()),
                                                 c.masks.data(), u32(c.masks.size()));
  EXPECT_EQ(result, c.taken ? 1 : 0);
  XSync(proxy_, False);
  u32 cells = u32(c.pixels.size()) << __builtin_popcount(planes);
  EXPECT_EQ(before - freeCells(), c.taken ? cells : 0);
  if (!c.taken) return;
  // Exactly those cells are the proxy's, writable: each takes a colour.
  for (u32 base : c.pixels) {
    for (u32 p = base;; p = nextPixelValue(p, nullptr, base, planes)) {
      XColor colour{p, 0x1234, 0x5678, 0x9abc, DoRed | DoGreen | DoBlue, 0};
      XStoreColor(proxy_, colormap_, &colour);
      XSync(proxy_, False);
      EXPECT_EQ(queryCell(p).green >> 8, 0x56) << p;
      if (p == (base | planes)) break;
    }
  }
}

const CellsCase kWritable[] = {
    {"OneCellHigh", {Other::kNone, 0, 0}, false, {77}, {}, true},
    {"PlanePair", {Other::kNone, 0, 0}, false, {48, 52}, {1, 2}, true},
    {"SplitPlanes", {Other::kNone, 0, 0}, false, {16}, {1, 64}, true},
    {"ColorPlanes", {Other::kNone, 0, 0}, true, {64}, {1, 2, 4}, true},
    {"OneHeldPrivately", {Other::kPrivate, 50, 0}, false, {48}, {1, 2}, false},
    {"OneHeldShared", {Other::kShared, 51, 0x7070}, true, {48}, {1, 0, 2}, false},
};

INSTANTIATE_TEST_SUITE_P(Cells, ExactWritable, ::testing::ValuesIn(kWritable),
                         [](const ::testing::TestParamInfo<CellsCase>& info) { return info.param.name; });

// --- Lists, queries and fills --------------------------------------------------------

TEST_F(ExactCellsTest, AListSkipsOnlyTheCellsOthersHoldPrivately) {
  holdPrivate(11);
  XColor colours[3];
  for (u32 i = 0; i < 3; i++) colours[i] = XColor{10 + i, u16(0x1000 * (i + 1)), 0, 0, DoRed | DoGreen | DoBlue, 0};
  u32 before = freeCells();
  EXPECT_EQ(allocPixelsExactly(proxy_, colormap_, colours, 3), 1);
  XSync(proxy_, False);
  EXPECT_EQ(before - freeCells(), 2u);
  EXPECT_EQ(queryCell(10).red >> 8, 0x10);
  EXPECT_EQ(queryCell(12).red >> 8, 0x30);
}

TEST_F(ExactCellsTest, QueryGivesTheAllocatedCellsWithTheirColours) {
  holdShared(5, 0x4444);
  holdPrivate(9);
  u32 count = 0;
  XColor* cells = queryAllocatedColors(proxy_, colormap_, 256, &count);
  ASSERT_NE(cells, nullptr);
  std::set<unsigned long> pixels;
  for (u32 i = 0; i < count; i++) pixels.insert(cells[i].pixel);
  EXPECT_EQ(pixels, (std::set<unsigned long>{5, 9}));
  for (u32 i = 0; i < count; i++) {
    if (cells[i].pixel == 5) {
      EXPECT_EQ(cells[i].red >> 8, 0x44);
    }
  }
  free(cells);
  // Asking took nothing for good.
  EXPECT_EQ(freeCells(), 254u);
}

TEST_F(ExactCellsTest, FillPaintsEveryFreeCellAndFreesIt) {
  holdPrivate(3);
  EXPECT_EQ(fillFreeColorCells(proxy_, colormap_, 0xff00, 0, 0xff00), 255u);
  XSync(proxy_, False);
  EXPECT_EQ(freeCells(), 255u);
  EXPECT_EQ(queryCell(200).red >> 8, 0xff);
  EXPECT_EQ(queryCell(200).green, 0);
}

}  // namespace
}  // namespace palvon
