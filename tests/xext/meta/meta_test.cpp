// The control extension's arithmetic in-process: a head's position against
// its reference head read back as the offsets that place it there, the
// walk that keeps siblings ordered by layer, and configuration values as
// text.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/settings.h"
#include "Proxy/resources/window.h"
#include "Xext/meta/meta.h"

namespace palvon {
namespace {

// --- Relative positions -------------------------------------------------------------

class RelativePosition : public ::testing::TestWithParam<u32> {};

// Placing with offsets and reading the place back gives the offsets, for
// every direction and for heads smaller and larger than the reference.
TEST_P(RelativePosition, ReadsBackTheOffsetsThatPlacedTheHead) {
  u32 kind = GetParam();
  const HeadRect reference{300, 200, 640, 480};
  for (auto [width, height] : {std::pair{400, 300}, std::pair{1280, 1024}}) {
    for (auto [ox, oy] : {std::pair{0, 0}, std::pair{-100, 35}, std::pair{17, -9}}) {
      i32 x = 0, y = 0;
      placeAgainstHead(kind, reference, width, height, ox, oy, &x, &y);
      i32 dx = 99, dy = 99;
      relativeHeadPosition(kind, HeadRect{x, y, width, height}, reference, &dx, &dy);
      EXPECT_EQ(dx, ox) << "kind " << kind << " size " << width << "x" << height;
      EXPECT_EQ(dy, oy) << "kind " << kind << " size " << width << "x" << height;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Directions, RelativePosition, ::testing::Range(1u, 10u));

TEST(RelativePositionNone, GivesZeroWithoutADirection) {
  i32 dx = 5, dy = 5;
  relativeHeadPosition(0, HeadRect{10, 20, 30, 40}, HeadRect{1, 2, 3, 4}, &dx, &dy);
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);
}

// --- Layers --------------------------------------------------------------------------

struct LayerCase {
  const char* name;
  std::vector<int> layers;  // bottom to top
  int changed;              // index of the window whose layer changes
  int layer;                // its new layer
  std::vector<int> order;   // expected stacking, bottom to top, by index
};

class LayerWalk : public ::testing::TestWithParam<LayerCase> {};

// The siblings are linked in the given order; the window then goes where
// findLayerPlace says, and the order that results is compared.
TEST_P(LayerWalk, PutsTheWindowAmongItsLayer) {
  const LayerCase& c = GetParam();
  size_t n = c.layers.size();
  std::vector<ProxyWindow> windows(n);
  for (size_t k = 0; k < n; k++) {
    windows[k] = ProxyWindow{};
    windows[k].layer = std::int8_t(c.layers[k]);
    windows[k].nextLower = k ? &windows[k - 1] : nullptr;
    windows[k].nextUpper = k + 1 < n ? &windows[k + 1] : nullptr;
  }
  ProxyWindow* window = &windows[size_t(c.changed)];
  window->layer = std::int8_t(c.layer);
  ProxyWindow* above = nullptr;
  std::vector<int> order;
  for (size_t k = 0; k < n; k++) order.push_back(int(k));
  if (findLayerPlace(window, &above)) {
    order.erase(std::find(order.begin(), order.end(), c.changed));
    auto at = above ? std::find(order.begin(), order.end(), int(above - windows.data())) + 1 : order.begin();
    order.insert(at, c.changed);
  }
  EXPECT_EQ(order, c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayerWalk,
    ::testing::Values(LayerCase{"BottomRaisedAboveAllOfLayerZero", {0, 0, 0}, 0, 1, {1, 2, 0}},
                      LayerCase{"RaisedBelowAHigherLayer", {0, 0, 0, 2}, 0, 1, {1, 2, 0, 3}},
                      LayerCase{"TopLoweredUnderAllOfLayerZero", {0, 0, 0}, 2, -1, {2, 0, 1}},
                      LayerCase{"LoweredAboveALowerLayer", {-2, 0, 0, 0}, 3, -1, {0, 3, 1, 2}},
                      LayerCase{"AlreadyInPlaceStays", {0, 1, 1, 2}, 1, 1, {0, 1, 2, 3}},
                      LayerCase{"LowerLayerStaysAtTheBottom", {0, 0, 0}, 0, -3, {0, 1, 2}},
                      LayerCase{"AWindowAboveItsLayerIsBroughtDown", {0, 1, 1, 1}, 3, 0, {0, 3, 1, 2}},
                      LayerCase{"TheOnlyWindowStays", {0}, 0, 5, {0}}),
    [](const ::testing::TestParamInfo<LayerCase>& info) { return std::string(info.param.name); });

// --- Parameters ----------------------------------------------------------------------

class Parameters : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = proxyConfig;
    proxyConfig = ProxyConfiguration{};
  }
  void TearDown() override { proxyConfig = saved; }
  std::string get(u32 parameter, u32 argument = 0) {
    char text[8192];
    const char* value = formatMetaParameter(parameter, argument, text, sizeof text);
    return value ? value : "(unknown)";
  }
  ProxyConfiguration saved;
};

TEST_F(Parameters, UnknownNumbersAreNotParameters) {
  for (u32 number : {0u, 12u, 35u, 1000u, 0xffffffffu}) EXPECT_EQ(get(number), "(unknown)") << number;
}

// An argument that names no screen or head gives an empty text, whatever
// its value.
TEST_F(Parameters, AnUnknownScreenOrHeadGivesAnEmptyText) {
  for (u32 number : {20u, 21u, 30u, 31u, 34u})
    for (u32 argument : {0u, 7u, 0xffffffffu}) EXPECT_EQ(get(number, argument), "") << number << " " << argument;
  EXPECT_EQ(get(33, 12345), "0");
}

TEST_F(Parameters, ListsAreWrittenEntryByEntry) {
  // The key that "-cookie" gives the local server is never shown.
  char cmd0[] = "Xvfb", cmd1[] = "-nolisten", cmd2[] = "tcp", cmd3[] = "-Cookie", cmd4[] = "0x0123456789abcdef";
  char* command[] = {cmd0, cmd1, cmd3, cmd4, cmd2};
  proxyConfig.serverCommand = command;
  proxyConfig.serverCommandCount = 5;
  char shape[] = "SHAPE", render[] = "RENDER";
  NameFlag extensions[] = {{1, shape}, {0, render}};
  proxyConfig.extensions = extensions;
  proxyConfig.extensionCount = 2;
  PixmapFormatSpec formats[] = {{1, 1, 1, 1, 24, 32, 32}, {0, 1, 0, 0, 15, 0, 0}};
  proxyConfig.pixmapFormats = formats;
  proxyConfig.pixmapFormatCount = 2;
  proxyConfig.nice = -5;
  EXPECT_EQ(get(7), "Xvfb -nolisten tcp");
  char key[] = "0x0123456789abcdef";
  proxyConfig.xdmcpAuthorizationCookie = key;
  EXPECT_EQ(get(25), "");
  EXPECT_EQ(get(17), "\"+SHAPE\" \"-RENDER\" ");
  EXPECT_EQ(get(18), "+24:32:32 -15:: ");
  EXPECT_EQ(get(3), "-5");
  EXPECT_EQ(get(1), "");
}

// A text longer than the buffer is cut, never written past it.
TEST_F(Parameters, ALongListIsCutAtTheBuffer) {
  std::vector<NameFlag> many(2000);
  char name[] = "A-LONG-EXTENSION-NAME";
  for (NameFlag& entry : many) entry = {1, name};
  proxyConfig.extensions = many.data();
  proxyConfig.extensionCount = u32(many.size());
  char text[64];
  ASSERT_NE(formatMetaParameter(17, 0, text, sizeof text), nullptr);
  EXPECT_LT(std::string(text).size(), sizeof text);
}

}  // namespace
}  // namespace palvon
