// Emulated visuals and their colour cells, without a server: which visuals
// a head gains, and the sharing, holders and planes of the cells for many
// clients.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "Proxy/visuals/emulation.h"
#include "support/logcapture.h"

namespace palvon {
namespace {

VisualRecord visual(u32 id, u8 visualClass, u8 depth, u16 colormapSize, u32 red, u32 green, u32 blue) {
  VisualRecord r{};
  r.visualId = id;
  r.visualClass = visualClass;
  r.depth = depth;
  r.colormapSize = colormapSize;
  r.bitsPerRgb = 8;
  r.mbufMono = r.mbufStereo = -1;
  setVisualMasks(&r, red, green, blue);
  return r;
}
VisualRecord direct24(u32 id) { return visual(id, kClassDirectColor, 24, 256, 0xff0000, 0xff00, 0xff); }
VisualRecord direct16(u32 id) { return visual(id, kClassDirectColor, 16, 64, 0xf800, 0x7e0, 0x1f); }
VisualRecord true24(u32 id) { return visual(id, kClassTrueColor, 24, 256, 0xff0000, 0xff00, 0xff); }
VisualRecord pseudo8(u32 id) { return visual(id, kClassPseudoColor, 8, 256, 0, 0, 0); }

// --- Which visuals are emulated ---------------------------------------------

struct Expected {
  u8 visualClass;
  u8 depth;
  u16 colormapSize;
  u32 baseId;
};

struct EmulateCase {
  const char* name;
  std::vector<VisualRecord> head;
  u32 mask;
  std::vector<Expected> expected;
};

class EmulateTest : public ::testing::TestWithParam<EmulateCase> {};

TEST_P(EmulateTest, NewVisuals) {
  const EmulateCase& c = GetParam();
  test::LogCapture log({&logChStep});
  VisualRecord* added = nullptr;
  i32 count = -1;
  ASSERT_EQ(emulateVisuals(nullptr, c.head.data(), static_cast<i32>(c.head.size()), c.mask, &added, &count),
            nullptr);
  ASSERT_EQ(count, static_cast<i32>(c.expected.size()));
  for (i32 i = 0; i < count; i++) {
    SCOPED_TRACE(i);
    const VisualRecord& r = added[i];
    const VisualRecord* base = nullptr;
    for (auto& h : c.head) {
      if (h.visualId == c.expected[i].baseId) base = &h;
    }
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(r.visualClass, c.expected[i].visualClass);
    EXPECT_EQ(r.depth, c.expected[i].depth);
    EXPECT_EQ(r.colormapSize, c.expected[i].colormapSize);
    EXPECT_EQ(r.emulatedVisualId, base->visualId);
    EXPECT_EQ(r.emulatedClass, base->visualClass);
    EXPECT_EQ(r.emulatedDepth, base->depth);
    EXPECT_EQ(r.redMask, base->redMask);  // kept although PseudoColor: the head's channels
    EXPECT_EQ(r.emulation.significantMask, 0xff00);
    EXPECT_EQ(r.glxVersion | r.dbeCapable, 0);
    for (auto& h : c.head) EXPECT_NE(r.visualId, h.visualId);
    EXPECT_TRUE(log.contains(std::string("step: Emulating ").append(describeVisual(&r)).append(" at ?...")));
  }
  freeHeadVisuals(added, count);
}

const EmulateCase kEmulateCases[] = {
    {"PseudoColor8OnDirectColor24", {true24(33), direct24(34)}, 0x2, {{kClassPseudoColor, 8, 256, 34}}},
    {"NoPseudoColor8On16Bits", {direct16(40)}, 0x2, {}},
    {"PseudoColor4On16Bits", {direct16(40)}, 0x1, {{kClassPseudoColor, 4, 16, 40}}},
    {"TableOrder", {direct24(34)}, 0x203, {{kClassPseudoColor, 4, 16, 34}, {kClassPseudoColor, 8, 256, 34},
                                            {kClassDirectColor, 8, 256, 34}}},
    {"OnlyMissing", {pseudo8(50), direct24(34)}, 0x1003, {{kClassPseudoColor, 4, 16, 34}}},
    {"NotWithoutDirectColor", {true24(33), pseudo8(50)}, 0x3, {}},
    {"LaterBaseWinsATie", {direct24(34), direct24(35)}, 0x2, {{kClassPseudoColor, 8, 256, 35}}},
    {"PlainBaseBeatsDoubleBuffered", {direct24(34), [] { auto v = direct24(35); v.dbeCapable = 1; return v; }()},
     0x2, {{kClassPseudoColor, 8, 256, 34}}},
    {"BufferedBaseWhenNoOther", {[] { auto v = direct24(35); v.glxVersion = 68; return v; }()}, 0x2,
     {{kClassPseudoColor, 8, 256, 35}}},
    {"OtherClassesNotEmulated", {direct24(34)}, 0x20 | 0x80 | 0x800, {}},
};
INSTANTIATE_TEST_SUITE_P(Emulation, EmulateTest, ::testing::ValuesIn(kEmulateCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Colour cells -------------------------------------------------------------

class CellTest : public ::testing::Test {
 protected:
  // An emulated PseudoColor colormap of the given depth (16 or 256 cells)
  // in its own heap block, so that writing past it is caught.
  void SetUp() override { make(8); }
  void make(u8 depth) {
    colormap = std::make_unique<EmulatedColormap>();
    VisualRecord base = direct24(34);
    VisualRecord* added = nullptr;
    i32 count = 0;
    ASSERT_EQ(emulateVisuals(nullptr, &base, 1, depth == 4 ? 0x1 : 0x2, &added, &count), nullptr);
    ASSERT_EQ(count, 1);
    colormap->visual = added[0];
    freeHeadVisuals(added, count);
  }
  void as(u32 number) {
    client.number = number;
    currentClient = &client;
  }
  void TearDown() override { currentClient = nullptr; }
  EmulatedColorCell& cell(u32 pixel) { return colormap->cells[pixel]; }

  std::unique_ptr<EmulatedColormap> colormap;
  ProxyClient client{};
};

TEST_F(CellTest, TwoClientsShareACellUntilBothFreeIt) {
  XColor first{0, 0x1234, 0x5678, 0x9abc, 0, 0};
  as(3);
  ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &first));
  EXPECT_EQ(first.pixel, 0u);
  EXPECT_EQ(first.red, 0x1212);  // eight significant bits spread over 16
  EXPECT_EQ(first.blue, 0x9a9a);
  XColor second{0, 0x12ff, 0x56ee, 0x9a00, 0, 0};  // the same colour at 8 significant bits
  as(4);
  ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &second));
  EXPECT_EQ(second.pixel, 0u);
  XColor other{0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &other));
  EXPECT_EQ(other.pixel, 1u);
  u32 pixel = 0;
  as(3);
  freeEmulatedColors(nullptr, colormap.get(), &pixel, 1, 0);
  EXPECT_EQ(cell(0).state, kCellShared);
  as(4);
  freeEmulatedColors(nullptr, colormap.get(), &pixel, 1, 0);
  EXPECT_EQ(cell(0).state, kCellFree);
  EXPECT_EQ(cell(1).state, kCellShared);
}

TEST_F(CellTest, EveryClientSlotHoldsTheLastCellWithoutOverrun) {
  // Cells 0..254 taken, so the shared colour lands in the last cell, whose
  // holder bits end the colormap's heap block.
  as(0);
  std::vector<u32> pixels(255);
  ASSERT_TRUE(allocEmulatedCells(colormap.get(), kCellPrivate, pixels.data(), 255));
  EmulatedColorCell before = cell(254);
  for (u32 n = 0; n < kMaxClientSlots; n++) {
    as(n);
    XColor colour{0, 0xffff, 0, 0, 0, 0};
    ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &colour));
    ASSERT_EQ(colour.pixel, 255u);
  }
  EXPECT_EQ(memcmp(&before, &cell(254), sizeof(before)), 0);
  as(kMaxClientSlots);  // no such slot: nothing may be touched
  XColor colour{0, 0xffff, 0, 0, 0, 0};
  EXPECT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &colour));
  u32 last = 255;
  for (u32 n = kMaxClientSlots; n-- > 1;) {
    as(n);
    freeEmulatedColors(nullptr, colormap.get(), &last, 1, 0);
    ASSERT_EQ(cell(255).state, kCellShared) << n;
  }
  as(0);
  freeEmulatedColors(nullptr, colormap.get(), &last, 1, 0);
  EXPECT_EQ(cell(255).state, kCellFree);
  EXPECT_EQ(cell(254).state, kCellPrivate);  // client 0 holds it too, but was not asked to free it
}

struct PlaneCase {
  const char* name;
  u8 depth;
  std::vector<u32> taken;
  u32 planes;
  u32 count;
  bool contiguous;
  bool ok;
  std::vector<u32> masks;
  std::vector<u32> pixels;
};

class PlaneTest : public CellTest, public ::testing::WithParamInterface<PlaneCase> {};

TEST_P(PlaneTest, AllocColorCells) {
  const PlaneCase& c = GetParam();
  make(c.depth);
  as(9);
  for (u32 pixel : c.taken) cell(pixel).state = kCellShared;
  std::vector<u32> masks(c.planes + 1, 0xdead), pixels(c.count + 1, 0xdead);
  bool ok = allocEmulatedColorCellsRequest(nullptr, colormap.get(), c.contiguous, masks.data(), c.planes,
                                           pixels.data(), c.count);
  ASSERT_EQ(ok, c.ok);
  if (!ok) return;
  masks.resize(c.planes);
  pixels.resize(c.count);
  EXPECT_EQ(masks, c.masks);
  EXPECT_EQ(pixels, c.pixels);
  u32 planeMask = 0;
  for (u32 m : masks) planeMask |= m;
  for (u32 base : pixels) {
    for (u32 subset = 0;; subset = (subset - planeMask) & planeMask) {
      EXPECT_EQ(cell(base | subset).state, kCellPrivate) << (base | subset);
      if (((subset - planeMask) & planeMask) == 0) break;
    }
  }
}

const PlaneCase kPlaneCases[] = {
    {"TwoPlanesOnFreeCells", 8, {}, 2, 1, true, true, {1, 2}, {0}},
    {"TwoPlanesPastTakenCell", 8, {1}, 2, 2, true, true, {1, 2}, {4, 8}},
    {"NoPlanes", 8, {0, 2}, 0, 3, true, true, {}, {1, 3, 4}},
    {"NonContiguous", 4, {0, 5, 10, 15}, 2, 1, false, true, {1, 4}, {2}},
    {"ContiguousRequired", 4, {0, 5, 10, 15}, 2, 1, true, false, {}, {}},
    {"MorePlanesThanDepth", 4, {}, 5, 1, true, false, {}, {}},
    {"MoreCellsThanTheColormap", 4, {}, 2, 5, true, false, {}, {}},
    {"NoCells", 8, {}, 0, 0, true, false, {}, {}},
};
INSTANTIATE_TEST_SUITE_P(Emulation, PlaneTest, ::testing::ValuesIn(kPlaneCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CellTest, ClientShutDownReleasesItsPrivateAndSharedCells) {
  as(5);
  u32 masks[1], pixels[2];
  ASSERT_TRUE(allocEmulatedColorCellsRequest(nullptr, colormap.get(), true, masks, 1, pixels, 2));
  XColor colour{0, 0x8000, 0x8000, 0x8000, 0, 0};
  ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &colour));
  as(6);
  ASSERT_TRUE(allocEmulatedColor(nullptr, colormap.get(), &colour));
  as(5);
  freeClientEmulatedCells(colormap.get());
  for (u32 pixel : {pixels[0], pixels[0] | masks[0], pixels[1], pixels[1] | masks[0]})
    EXPECT_EQ(cell(pixel).state, kCellFree) << pixel;
  EXPECT_EQ(cell(colour.pixel).state, kCellShared);  // client 6 still holds it
}

TEST_F(CellTest, AClientsWidePlaneMaskEndsAtTheColormap) {
  as(2);
  u32 pixels[4];
  ASSERT_TRUE(allocEmulatedCells(colormap.get(), kCellPrivate, pixels, 4));
  as(3);
  u32 other;
  ASSERT_TRUE(allocEmulatedCells(colormap.get(), kCellPrivate, &other, 1));
  as(2);
  // Every cell, and promptly: only plane bits inside the colormap count.
  u32 bases[16] = {};
  auto start = std::chrono::steady_clock::now();
  freeEmulatedColors(nullptr, colormap.get(), bases, 16, 0xffffffffu);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  for (u32 pixel : pixels) EXPECT_EQ(cell(pixel).state, kCellFree);
  EXPECT_EQ(cell(other).state, kCellPrivate);
}

TEST_F(CellTest, StoredColoursStayInsideTheColormap) {
  make(4);
  as(1);
  XColor items[2] = {{3, 0xffff, 0x1234, 0x00ff, 0, 0}, {16, 1, 1, 1, 0, 0}};
  setEmulatedColorCells(colormap.get(), items, 2);
  // The visual's eight bits spread over 16, as a plain server stores them.
  EXPECT_EQ(cell(3).red, 0xffff);
  EXPECT_EQ(cell(3).green, 0x1212);
  EXPECT_EQ(cell(3).blue, 0);
  EXPECT_EQ(cell(16).red, 0);
  EXPECT_EQ(cell(16).holders[0], 0);
  u32 pixels[17];
  EXPECT_FALSE(allocEmulatedCells(colormap.get(), kCellPrivate, pixels, 17));
  EXPECT_EQ(cell(0).state, kCellFree);
}

}  // namespace
}  // namespace palvon
