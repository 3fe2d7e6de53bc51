// Pixel conversion between a client's visual and a head's: channel layouts,
// emulated visuals, the all-planes pixel, the sloppy-depth table.
#include <gtest/gtest.h>

#include <X11/X.h>

#include "Proxy/heads/screen.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"

namespace palvon {
namespace {

VisualRecord trueColor(u32 id, u32 red, u32 green, u32 blue, u8 depth) {
  VisualRecord v{};
  v.visualId = id;
  v.visualClass = TrueColor;
  v.depth = depth;
  v.colormapSize = 256;
  v.redMask = red, v.greenMask = green, v.blueMask = blue;
  return v;
}

// One meta screen with one client visual, and a head whose match for it is
// `headVisual`.
struct OneVisualHead {
  MetaScreen screen{};
  Head head{};
  VisualRecord client;
  VisualRecord match;
  OneVisualHead(const VisualRecord& c, const VisualRecord& h) : client(c), match(h) {
    screen.visuals = &client;
    screen.visualCount = 1;
    head.metaScreen = &screen;
    head.visualMatches = &match;
  }
};

struct PixelCase {
  const char* name;
  VisualRecord client, head;
  u32 pixel, onHead, back;
};

class PixelConversion : public testing::TestWithParam<PixelCase> {};

TEST_P(PixelConversion, ToTheHeadAndBack) {
  const PixelCase& c = GetParam();
  OneVisualHead h(c.client, c.head);
  EXPECT_EQ(convertPixelToHead(c.pixel, &h.client, &h.head), c.onHead);
  EXPECT_EQ(convertPixelFromHead(c.onHead, &h.client, &h.head), c.back);
  EXPECT_EQ(convertPixelToHead(0xffffffffu, &h.client, &h.head), 0xffffffffu);
  EXPECT_EQ(convertPixelFromHead(0xffffffffu, &h.client, &h.head), 0xffffffffu);
}

VisualRecord emulatedOnTrueColor() {
  VisualRecord v = trueColor(0x21, 0xff0000, 0xff00, 0xff, 24);
  v.emulatedVisualId = 0x99;
  v.emulatedDepth = 24;
  return v;
}

VisualRecord emulatedOn565() {
  VisualRecord v = trueColor(0x31, 0xf800, 0x7e0, 0x1f, 16);
  v.emulatedVisualId = 0x98;
  v.emulatedDepth = 16;
  return v;
}

VisualRecord pseudoColor() {
  VisualRecord v{};
  v.visualId = 0x40;
  v.visualClass = PseudoColor;
  v.depth = 8;
  v.colormapSize = 256;
  return v;
}

const PixelCase kPixelCases[] = {
    // Plain shifts: 16-bit white is not 24-bit white (kept as the channel
    // arithmetic gives it).
    {"565to888", trueColor(1, 0xf800, 0x7e0, 0x1f, 16), trueColor(2, 0xff0000, 0xff00, 0xff, 24), 0xffff, 0xf8fcf8,
     0xffff},
    {"565toBGR", trueColor(1, 0xf800, 0x7e0, 0x1f, 16), trueColor(2, 0xff, 0xff00, 0xff0000, 24), 0x8010, 0x800080,
     0x8010},
    {"888to565", trueColor(2, 0xff0000, 0xff00, 0xff, 24), trueColor(1, 0xf800, 0x7e0, 0x1f, 16), 0x123456, 0x11aa,
     0x103450},
    {"sameMasks", trueColor(3, 0xff0000, 0xff00, 0xff, 24), trueColor(4, 0xff0000, 0xff00, 0xff, 24), 0x123456,
     0x123456, 0x123456},
    // A colour index spread into every channel; the red channel brings it back.
    {"emulated", pseudoColor(), emulatedOnTrueColor(), 300, 0x2c2c2c, 44},
    // Channels narrower than the index keep to their own bits.
    {"emulatedNarrow", pseudoColor(), emulatedOn565(), 0xff, 0xffff, 0x1f},
};

INSTANTIATE_TEST_SUITE_P(Visuals, PixelConversion, testing::ValuesIn(kPixelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PixelConversion, NoMatchOrNoEmulationNeedsNoConversion) {
  OneVisualHead h(pseudoColor(), pseudoColor());
  EXPECT_EQ(getHeadVisualIfConverting(&h.client, &h.head), nullptr);
  h.match.visualId = 0;  // the head has no record of the visual
  EXPECT_EQ(convertPixelToHead(300, &h.client, &h.head), 300u);
  VisualRecord other = pseudoColor();
  EXPECT_EQ(getHeadVisualIfConverting(&other, &h.head), nullptr);  // not a meta visual
}

TEST(PixelConversion, DepthTableMapsOnlyInsideItsSize) {
  Head head{};
  EXPECT_EQ(mapDepthForHead(24, &head), 24u);
  for (u32 d = 0; d < 25; d++) head.depthTable[d] = u8(d);
  head.depthTable[24] = 32;
  head.depthTableSize = 25;
  EXPECT_EQ(mapDepthForHead(24, &head), 32u);
  EXPECT_EQ(mapDepthForHead(16, &head), 16u);
  EXPECT_EQ(mapDepthForHead(30, &head), 30u);
}

}  // namespace
}  // namespace palvon
