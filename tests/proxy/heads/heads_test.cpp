// Heads without real servers: numbering, roles and refusals of removal,
// pan offsets, visual-id and depth mapping, event masks and cursor images.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"

namespace palvon {
namespace {

// A screen list of the test's own; heads are made offline (no display).
class OfflineHeads : public testing::Test {
 protected:
  void SetUp() override {
    savedScreens_ = proxyState.screens;
    proxyState.screens = nullptr;
    screen_ = createMetaScreen();
    screen_->width = 2000, screen_->height = 1000;
  }
  void TearDown() override {
    while (screen_->heads) {
      Head* h = screen_->heads;
      destroyHead(h, true);
      unbindHeadFromServerDisplay(h);
      free(h);
    }
    free(screen_);
    proxyState.screens = savedScreens_;
  }
  Head* add(const char* name, ServerDisplay* server) {
    Head* head = nullptr;
    EXPECT_EQ(createHead(name, ":0", nullptr, 0, 0, &head), nullptr);
    bindHeadToServerDisplay(head, server);
    head->display = nullptr;  // offline: nothing is sent anywhere
    addHeadToScreen(head, screen_);
    return head;
  }
  MetaScreen* screen_ = nullptr;
  // Server display records as the server-display module frees them: when
  // their last head is unbound. Made at first use.
  ServerDisplay& server(int n) {
    if (!servers_[n]) servers_[n] = static_cast<ServerDisplay*>(calloc(1, sizeof(ServerDisplay)));
    return *servers_[n];
  }
  ServerDisplay* servers_[2] = {};

 private:
  MetaScreen* savedScreens_ = nullptr;
};

TEST_F(OfflineHeads, NumbersReuseTheSmallestFreeOne) {
  Head* a = add("a", &server(0));
  Head* b = add("b", &server(0));
  Head* c = add("c", &server(1));
  EXPECT_EQ(a->numberOnDisplay, 0u);
  EXPECT_EQ(b->numberOnDisplay, 1u);
  EXPECT_EQ(c->numberOnDisplay, 0u);
  EXPECT_EQ(c->numberInScreen, 2u);
  EXPECT_EQ(server(0).firstHead, a);
  EXPECT_EQ(screen_->mainHead, a);
  EXPECT_EQ(screen_->headCount, 3);
  ASSERT_EQ(removeServerFromScreen(a, true), nullptr);
  // Roles and the first-head role move on; a new head takes number 0.
  EXPECT_EQ(screen_->mainHead, b);
  EXPECT_EQ(screen_->colorHead, b);
  EXPECT_EQ(server(0).firstHead, b);
  Head* d = add("d", &server(0));
  EXPECT_EQ(d->numberOnDisplay, 0u);
  EXPECT_EQ(d->numberInScreen, 0u);
  EXPECT_EQ(screen_->headCount, 3);
}

TEST_F(OfflineHeads, RemovalRefusals) {
  Head* only = add("only", &server(0));
  EXPECT_EQ(std::string(removeServerFromScreen(only, true)), "Can't remove only - still needed");
  Head* fixed = add("fixed", &server(1));
  fixed->tags = kHeadTagStatic;
  EXPECT_EQ(std::string(removeServerFromScreen(fixed, true)), "Can't remove fixed - tag STATIC is set");
  fixed->tags = 0;
  fixed->inWindow = 1;
  u32 saved = proxyConfig.options;
  proxyConfig.options &= ~kOptionDynamicServer;
  EXPECT_NE(std::string(removeServerFromScreen(fixed, true)).find("option DynamicServer is used but not enabled"),
            std::string::npos);
  proxyConfig.options = saved;
}

TEST_F(OfflineHeads, PanOffsetsAndAxesWithoutOffset) {
  Head* h = add("pan", &server(0));
  h->tags = kHeadTagStaticDisplay;
  EXPECT_EQ(std::string(setHeadPanOffset(h, 16, 0)),
            "Can't enable screen pan at pan - Make sure the StaticDisplay tag is disabled");
  EXPECT_EQ(setHeadPanOffset(h, 0, 0), nullptr);
  h->tags = 0;
  ASSERT_EQ(setHeadPanOffset(h, 100, 0), nullptr);
  h->panModifiers = ShiftMask;
  EXPECT_TRUE(isPanModifierPressed(h, ShiftMask | ControlMask));
  EXPECT_FALSE(isPanModifierPressed(h, ControlMask));
  h->logical = {0, 0, 800, 600};
  // Beyond the bottom edge with no offset on y: nothing pans (and nothing
  // divides by that zero).
  EXPECT_FALSE(panHead(h, 10, 650, nullptr, false));
  EXPECT_EQ(h->logical.y, 0);
}

TEST(HeadDepths, SloppyDepthTableGrowsAndMapsTheRestToThemselves) {
  Head head{};
  strcpy(head.name, "h");
  ASSERT_TRUE(mapSloppyPixmapDepth(&head, 24, 32));
  EXPECT_EQ(head.depthTableSize, 25);
  for (u32 d = 0; d < 24; d++) EXPECT_EQ(mapDepthForHead(d, &head), d);
  EXPECT_EQ(mapDepthForHead(24, &head), 32u);
  ASSERT_TRUE(mapSloppyPixmapDepth(&head, 30, 24));
  EXPECT_EQ(head.depthTableSize, 31);
  EXPECT_EQ(mapDepthForHead(24, &head), 32u);
  EXPECT_EQ(mapDepthForHead(30, &head), 24u);
  EXPECT_FALSE(mapSloppyPixmapDepth(&head, 40, 24));
}

TEST(HeadVisuals, IdsMapBothWaysAndMissingOnesGiveNone) {
  VisualRecord meta[3]{};
  meta[0].visualId = 0x21, meta[0].depth = 24;
  meta[1].visualId = 0x22, meta[1].depth = 8;
  meta[2].visualId = 0x23, meta[2].depth = 16;
  VisualRecord matches[3]{};
  matches[0].visualId = 0x101;
  matches[1].visualId = 0x55, matches[1].emulatedVisualId = 0x102;  // emulated on the head
  MetaScreen screen{};
  screen.visuals = meta;
  screen.visualCount = 3;
  Head head{};
  head.metaScreen = &screen;
  head.visualMatches = matches;
  EXPECT_EQ(mapVisualIdToHead(0, &head), 0u);
  EXPECT_EQ(mapVisualIdToHead(0x21, &head), 0x101u);
  EXPECT_EQ(mapVisualIdToHead(0x22, &head), 0x102u);
  EXPECT_EQ(mapVisualIdToHead(0x23, &head), 0u);      // no record on the head
  EXPECT_EQ(mapVisualIdToHead(0x777, &head), 0x777u);  // not a meta visual
  EXPECT_EQ(mapHeadVisualIdToClient(0x102, nullptr, &head), 0x22u);
  EXPECT_EQ(mapHeadVisualIdToClient(0x999, nullptr, &head), 0x999u);
  EXPECT_TRUE(isDepthMissingOnHead(16, &head));
  EXPECT_FALSE(isDepthMissingOnHead(24, &head));
  EXPECT_FALSE(isDepthMissingOnHead(15, &head));  // not offered at all
  EXPECT_TRUE(isEmulatedVisual(false, &meta[1], &head));
  EXPECT_FALSE(isEmulatedVisual(false, &meta[0], &head));
}

TEST(HeadEventMasks, CompletedForInputTracking) {
  const struct {
    u32 in, out;
  } complete[] = {{0, ButtonReleaseMask},
                  {EnterWindowMask, EnterWindowMask | LeaveWindowMask | ButtonReleaseMask},
                  {LeaveWindowMask | ExposureMask, EnterWindowMask | LeaveWindowMask | ExposureMask | ButtonReleaseMask}};
  for (const auto& c : complete) EXPECT_EQ(completeEventMask(c.in), c.out) << std::hex << c.in;
  Head head{};
  const struct {
    u32 in, out;
  } adjust[] = {{KeyPressMask, KeyPressMask | KeyReleaseMask},
                {ButtonPressMask, ButtonPressMask | ButtonReleaseMask},
                {LeaveWindowMask, EnterWindowMask | LeaveWindowMask},
                {FocusChangeMask | ExposureMask, FocusChangeMask | ExposureMask}};
  for (const auto& c : adjust) EXPECT_EQ(adjustEventMaskForHead(nullptr, nullptr, c.in, &head), c.out) << std::hex << c.in;
  EXPECT_EQ(kInputEventMask, 0x3f4fu);
}

// A cursor image turns and grows with the head; its hot spot follows.
TEST(HeadCursors, ImageSetsTurnAndScaleWithTheirHotSpots) {
  const u32 w = 16, h = 8;
  std::vector<u8> bits(2 * h, 0);
  bits[0] = 0x01;  // the top-left pixel only (bitmaps are LSB first)
  std::vector<u8> mask(2 * h, 0xff);
  HeadImageRecord record{u16(w), u16(h), 1, 0, 0, 0, bits.data(), mask.data()};
  const struct {
    u32 num, den, rotation;
    u16 width, height;
    i16 hotX, hotY;
  } cases[] = {{1, 1, 0, 16, 8, 0, 0}, {1, 1, 1, 8, 16, 0, 15}, {2, 1, 0, 32, 16, 0, 0}, {2, 1, 2, 32, 16, 30, 14},
               {1, 1, 3, 8, 16, 7, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.num << "/" << c.den << " rot " << c.rotation);
    Head head{};
    head.rotation = c.rotation;
    u32 tw = (c.rotation & 1) ? h : w, th = (c.rotation & 1) ? w : h;
    head.scaler = createScaler(tw * c.num, w * c.den, th * c.num, h * c.den, c.rotation);
    if (c.num == c.den && c.rotation == 0) releaseScaler(&head.scaler);
    HeadImageRecord* out = convertImageSetForHead(&record, 1, &head);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->width, c.width);
    EXPECT_EQ(out->height, c.height);
    EXPECT_EQ(out->hotX, c.hotX);
    EXPECT_EQ(out->hotY, c.hotY);
    // The set pixel is where the hot spot went. (Images enlarged and turned
    // at once are resampled by rounded source positions, half a head pixel
    // away from the edge-scaled hot spot: not checked here.)
    u32 stride = (out->width + 7) / 8;
    if (c.num == c.den || c.rotation == 0) {
      EXPECT_TRUE(out->data[u32(out->hotY) * stride + u32(out->hotX) / 8] & (1u << (out->hotX % 8)));
    }
    EXPECT_NE(out->mask, nullptr);
    freeImageSet(out, 1);
    releaseScaler(&head.scaler);
  }
}

TEST(HeadFonts, TextIsDrawnAsBitmapsWhereFontsDoNotFit) {
  ServerDisplay font{}, same{}, other{}, own{};
  strcpy(font.displayName, "hostA:1");
  strcpy(same.displayName, "hostA:2");
  strcpy(other.displayName, "hostB:1");
  strcpy(own.displayName, "hostB:3");
  own.serverFonts = 1;
  ServerDisplay* savedFont = fontDisplay;
  fontDisplay = &font;
  HeadScaler* zoom = createScaler(2, 1, 2, 1, 0);
  const struct {
    ServerDisplay* server;
    u32 rotation;
    HeadScaler* scaler;
    u8 bitmaps;
  } cases[] = {{&font, 0, nullptr, 0}, {&same, 0, nullptr, 0}, {&other, 0, nullptr, 1}, {&own, 0, nullptr, 0},
               {&own, 1, nullptr, 1},  {&own, 0, zoom, 0},     {&font, 0, zoom, 1}};
  for (const auto& c : cases) {
    Head head{};
    head.serverDisplay = c.server, head.rotation = c.rotation, head.scaler = c.scaler;
    head.fontBitmaps = 7;
    checkFontBitmaps(&head);
    EXPECT_EQ(head.fontBitmaps, c.bitmaps) << c.server->displayName << " rot " << c.rotation;
  }
  releaseScaler(&zoom);
  fontDisplay = savedFont;
}

TEST(HeadWindows, ConfigureValuesAreScaledAsOneArea) {
  Head head{};
  MetaScreen screen{};
  screen.width = 1000, screen.height = 800;
  head.metaScreen = &screen;
  head.scaler = createScaler(2, 1, 2, 1, 0);
  const u32 in[] = {10, 20, 7, 0x1234, Above};
  u32 out[7] = {};
  // x, y, border, sibling, stack mode: all four geometry values go out.
  u16 mask = scaleConfigureValues(&head, nullptr, CWX | CWY | CWBorderWidth | CWSibling | CWStackMode, in, out);
  EXPECT_EQ(mask, CWX | CWY | CWWidth | CWHeight | CWBorderWidth | CWSibling | CWStackMode);
  EXPECT_EQ((std::vector<u32>(out, out + 7)), (std::vector<u32>{20, 40, 2, 2, 14, 0x1234, Above}));
  releaseScaler(&head.scaler);
  // Without a scaler the values pass as given.
  mask = scaleConfigureValues(&head, nullptr, CWX | CWStackMode, in, out);
  EXPECT_EQ(mask, CWX | CWStackMode);
  EXPECT_EQ(out[0], 10u);
  EXPECT_EQ(out[1], 20u);
}

// The copies of a shifted tile, replayed on arrays, against the pattern
// itself: target (x, y) shows tile ((x + ox) mod w, (y + oy) mod h).
TEST(HeadTiles, ShiftedTilesRepeatThePatternFromTheOrigin) {
  const struct {
    u32 tw, th;
    i32 ox, oy;
    u32 w, h;
  } cases[] = {{8, 8, 0, 0, 20, 9}, {5, 3, 2, 1, 37, 11}, {5, 3, -7, -1, 6, 40}, {16, 16, 40, 3, 4, 4},
               {1, 1, 0, 0, 33, 2},  {7, 4, 6, 3, 7, 4},   {3, 9, 1, 0, 100, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tw << "x" << c.th << " at " << c.ox << "," << c.oy << " over " << c.w << "x"
                                    << c.h);
    TileCopy copies[40];
    u32 n = planShiftedTile(c.tw, c.th, c.ox, c.oy, c.w, c.h, copies, 40);
    std::vector<i32> target(c.w * c.h, -1);
    auto tile = [&](i64 x, i64 y) { return i32(y * c.tw + x); };
    for (u32 i = 0; i < n; i++) {
      const TileCopy& k = copies[i];
      for (u32 y = 0; y < k.height; y++)
        for (u32 x = 0; x < k.width; x++) {
          i64 sx = k.sourceX + x, sy = k.sourceY + y, dx = k.destinationX + x, dy = k.destinationY + y;
          ASSERT_TRUE(dx >= 0 && dy >= 0 && dx < c.w && dy < c.h);
          i32 v = k.fromTarget ? target[size_t(sy * c.w + sx)] : tile(sx, sy);
          ASSERT_TRUE(k.fromTarget || (sx < c.tw && sy < c.th));
          ASSERT_NE(v, -1) << "copied before it was filled";
          target[size_t(dy * c.w + dx)] = v;
        }
    }
    i64 ox = ((c.ox % i64(c.tw)) + c.tw) % c.tw, oy = ((c.oy % i64(c.th)) + c.th) % c.th;
    for (u32 y = 0; y < c.h; y++)
      for (u32 x = 0; x < c.w; x++)
        ASSERT_EQ(target[y * c.w + x], tile((x + ox) % c.tw, (y + oy) % c.th)) << x << "," << y;
  }
  TileCopy copies[40];
  EXPECT_LE(planShiftedTile(1, 1, 0, 0, 65535, 65535, copies, 40), 36u);
  EXPECT_EQ(planShiftedTile(0, 4, 0, 0, 10, 10, copies, 40), 0u);
}

}  // namespace
}  // namespace palvon
