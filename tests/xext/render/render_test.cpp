// RENDER's own parts without servers: which server format stands for a
// proxy format, the environment limits, the QueryPictFormats reply built
// from the set, and freed glyphs leaving the kept uploads.
#include <gtest/gtest.h>

#include <X11/extensions/render.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/visual.h"
#include "Xext/render/internal.h"
#include "support/resource_rig.h"

namespace palvon {
namespace {

// --- Matching ---------------------------------------------------------------------------

PictFormatRecord serverFormat(u32 id, u8 type, u8 depth, u8 screen, bool visuals, u8 alphaShift = 24,
                              u32 colormap = 0) {
  PictFormatRecord f{};
  f.id = id;
  f.type = type;
  f.depth = depth;
  f.screen = screen;
  f.colormap = colormap;
  if (type == PictTypeDirect) {
    f.redBits = f.greenBits = f.blueBits = 8;
    f.alphaBits = depth == 32 ? 8 : 0;
    f.redShift = 16, f.greenShift = 8, f.blueShift = 0, f.alphaShift = depth == 32 ? alphaShift : 0;
  }
  if (visuals) f.visuals[0] = 0x21;
  return f;
}

ProxyPictFormat proxyFormat(u8 type, u8 depth, bool visuals, u32 colormap = 0) {
  ProxyPictFormat f{};
  f.type = type;
  f.depth = depth;
  f.colormap = colormap;
  if (type == PictTypeDirect) {
    f.bits[0] = f.bits[1] = f.bits[2] = 8;
    f.bits[3] = depth == 32 ? 8 : 0;
    f.shifts[0] = 16, f.shifts[1] = 8, f.shifts[3] = depth == 32 ? 24 : 0;
  }
  static u32 visual = 0x40;
  if (visuals) f.visuals = &visual, f.visualCount = 1;
  return f;
}

struct MatchCase {
  const char* name;
  ProxyPictFormat wanted;
  std::vector<PictFormatRecord> server;
  u32 headScreen;
  i32 expected;
};

class Matching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(Matching, FirstServerFormatThatCanStandForIt) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(findMatchingPictFormat(c.wanted, c.server.data(), u32(c.server.size()), c.headScreen), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Matching,
    ::testing::Values(
        MatchCase{"sameDirect", proxyFormat(1, 32, false), {serverFormat(7, 1, 32, 0, false)}, 0, 0},
        MatchCase{"otherDepthSkipped",
                  proxyFormat(1, 24, false),
                  {serverFormat(7, 1, 32, 0, false), serverFormat(8, 1, 24, 0, false)},
                  0,
                  1},
        MatchCase{"shiftDiffers", proxyFormat(1, 32, false), {serverFormat(7, 1, 32, 0, false, 0)}, 0, -1},
        // A format that windows use must be one the head's screen has.
        MatchCase{"visualsNeedTheHeadsScreen",
                  proxyFormat(1, 24, true),
                  {serverFormat(7, 1, 24, 0, true), serverFormat(8, 1, 24, 1, true)},
                  1,
                  1},
        MatchCase{"visualsNotMatchedByPlainFormat", proxyFormat(1, 24, true), {serverFormat(7, 1, 24, 0, false)}, 0,
                  -1},
        MatchCase{"plainNotMatchedByVisualFormat", proxyFormat(1, 24, false), {serverFormat(7, 1, 24, 0, true)}, 0,
                  -1},
        MatchCase{"indexedWithoutColormap", proxyFormat(0, 8, false), {serverFormat(7, 0, 8, 0, false)}, 0, 0},
        MatchCase{"indexedColormapNeedsOne", proxyFormat(0, 8, false, 0x99), {serverFormat(7, 0, 8, 0, false)}, 0,
                  -1},
        MatchCase{"indexedColormapFound",
                  proxyFormat(0, 8, false, 0x99),
                  {serverFormat(7, 0, 8, 0, false), serverFormat(9, 0, 8, 0, false, 24, 0x33)},
                  0,
                  1},
        MatchCase{"typeMismatch", proxyFormat(1, 8, false), {serverFormat(7, 0, 8, 0, false)}, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

struct LimitCase {
  u8 depth, redBits;
  u32 maxDepth, maxBits;
  bool within;
};

class Limits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limits, DepthAndRedBits) {
  const LimitCase& c = GetParam();
  PictFormatRecord f{};
  f.depth = c.depth;
  f.redBits = c.redBits;
  EXPECT_EQ(pictFormatWithinLimits(f, c.maxDepth, c.maxBits), c.within);
}

INSTANTIATE_TEST_SUITE_P(Environment, Limits,
                         ::testing::Values(LimitCase{32, 8, 24, ~0u, false}, LimitCase{24, 8, 24, ~0u, true},
                                           LimitCase{16, 5, ~0u, 5, true}, LimitCase{16, 6, ~0u, 5, false},
                                           LimitCase{32, 8, ~0u, ~0u, true}));

// --- The QueryPictFormats reply ---------------------------------------------------------------

TEST(PictFormatsReply, CountsFormatsScreensDepthsAndVisuals) {
  u32 visualsA[] = {0x20, 0x22}, visualsB[] = {0x30};
  ProxyPictFormat formats[4] = {};
  formats[0] = proxyFormat(1, 32, false);
  formats[0].id = 100;
  formats[1] = proxyFormat(1, 24, false);
  formats[1].id = 101, formats[1].visuals = visualsA, formats[1].visualCount = 2, formats[1].screen = 0;
  formats[2] = proxyFormat(1, 24, false);
  formats[2].id = 102, formats[2].visuals = visualsB, formats[2].visualCount = 1, formats[2].screen = 1;
  formats[3] = proxyFormat(0, 8, false, 0x77);
  formats[3].id = 103;
  u32 screens[] = {0, 1};
  u32 size = pictFormatsReplySize(formats, 4, screens, 2);
  // 32 + 28 per format + 8 per screen + 8 per depth + 8 per visual.
  ASSERT_EQ(size, 32u + 28 * 4 + 8 * 2 + 8 * 2 + 8 * 3);
  std::vector<u8> reply(size + 16, 0xee);
  writePictFormatsReply(reply.data(), formats, 4, screens, 2);
  EXPECT_EQ(reply[size], 0xee) << "written past the reply";
  EXPECT_EQ(get32(&reply[4]), (size - 32) / 4);
  EXPECT_EQ(get32(&reply[8]), 4u);   // formats
  EXPECT_EQ(get32(&reply[12]), 2u);  // screens
  EXPECT_EQ(get32(&reply[16]), 2u);  // depths
  EXPECT_EQ(get32(&reply[20]), 3u);  // visuals
  EXPECT_EQ(get32(&reply[24]), 0u);  // no subpixel list
  const u8* direct = &reply[32];
  EXPECT_EQ(get32(direct), 100u);
  EXPECT_EQ(get16(direct + 8), 16u);     // red shift
  EXPECT_EQ(get16(direct + 10), 0xffu);  // red mask
  EXPECT_EQ(get16(direct + 20), 24u);    // alpha shift
  EXPECT_EQ(get16(direct + 22), 0xffu);  // alpha mask
  EXPECT_EQ(get32(direct + 24), 0u);
  EXPECT_EQ(get32(&reply[32 + 3 * 28 + 24]), 0x77u);  // the indexed format's colormap
  const u8* screen0 = &reply[32 + 4 * 28];
  EXPECT_EQ(get32(screen0), 1u);   // one depth
  EXPECT_EQ(screen0[8], 24);       // depth 24
  EXPECT_EQ(get16(screen0 + 10), 2u);
  EXPECT_EQ(get32(screen0 + 16), 0x20u);
  EXPECT_EQ(get32(screen0 + 20), 101u);
  EXPECT_EQ(get32(screen0 + 24), 0x22u);
  const u8* screen1 = screen0 + 8 + 8 + 16;
  EXPECT_EQ(get32(screen1), 1u);
  EXPECT_EQ(get32(screen1 + 16), 0x30u);
  EXPECT_EQ(get32(screen1 + 20), 102u);
}

TEST(PictFormatsReply, FormatsWithoutVisualsGiveScreensWithoutDepths) {
  ProxyPictFormat formats[2] = {proxyFormat(1, 32, false), proxyFormat(1, 8, false)};
  u32 screens[] = {0, 1, 2};
  u32 size = pictFormatsReplySize(formats, 2, screens, 3);
  ASSERT_EQ(size, 32u + 28 * 2 + 8 * 3);
  std::vector<u8> reply(size);
  writePictFormatsReply(reply.data(), formats, 2, screens, 3);
  EXPECT_EQ(get32(&reply[16]), 0u);
  for (u32 s = 0; s < 3; s++) EXPECT_EQ(get32(&reply[32 + 56 + 8 * s]), 0u);
}

// --- Pruning of kept glyph uploads ------------------------------------------------------------

// An AddGlyphs body of 8-bit glyphs: ids, infos (width, height, x, y, xOff,
// yOff), then each image filled with its glyph id.
std::vector<u8> glyphBody(const std::vector<std::pair<u32, u16>>& glyphs) {
  std::vector<u8> ids, infos, images;
  for (auto [id, width] : glyphs) {
    u8 word[4];
    put32(word, id);
    ids.insert(ids.end(), word, word + 4);
    u8 info[12] = {};
    put16(info, width);
    put16(info + 2, 2);
    infos.insert(infos.end(), info, info + 12);
    images.insert(images.end(), glyphImageBytes(8, width, 2), u8(id));
  }
  std::vector<u8> body = ids;
  body.insert(body.end(), infos.begin(), infos.end());
  body.insert(body.end(), images.begin(), images.end());
  return body;
}

GlyphUpload* makeUpload(const std::vector<u8>& body, u32 count) {
  auto* upload = static_cast<GlyphUpload*>(calloc(1, sizeof(GlyphUpload) + body.size()));
  upload->count = count;
  upload->length = u32(body.size());
  memcpy(upload->data, body.data(), body.size());
  return upload;
}

class Pruning : public ::testing::Test {
 protected:
  void SetUp() override {
    format = proxyFormat(1, 8, false);
    set.format = &format;
    add({{1, 3}, {2, 5}, {3, 1}});
    add({{4, 4}});
  }
  void TearDown() override {
    for (GlyphUpload* u = set.first; u;) {
      GlyphUpload* next = u->next;
      free(u);
      u = next;
    }
  }
  void add(const std::vector<std::pair<u32, u16>>& glyphs) {
    GlyphUpload* u = makeUpload(glyphBody(glyphs), u32(glyphs.size()));
    if (set.last) set.last->next = u;
    else set.first = u;
    set.last = u;
  }
  void prune(std::vector<u32> ids) {
    std::vector<u8> bytes(4 * ids.size());
    for (size_t i = 0; i < ids.size(); i++) put32(&bytes[4 * i], ids[i]);
    pruneGlyphUploads(&set, bytes.data(), u32(ids.size()));
  }
  ProxyPictFormat format;
  GlyphSetRecord set{};
};

TEST_F(Pruning, FreedGlyphLeavesItsUploadWithTheOthersIntact) {
  prune({2});
  GlyphUpload* u = set.first;
  ASSERT_EQ(u->count, 2u);
  std::vector<u8> expected = glyphBody({{1, 3}, {3, 1}});
  ASSERT_EQ(u->length, expected.size());
  EXPECT_EQ(memcmp(u->data, expected.data(), expected.size()), 0);
  EXPECT_EQ(u->next, set.last);
}

TEST_F(Pruning, EmptiedUploadsAreDroppedAndTheTailKept) {
  prune({4, 9});
  EXPECT_EQ(set.first->count, 3u);
  EXPECT_EQ(set.first->next, nullptr);
  EXPECT_EQ(set.last, set.first);
  prune({1, 2, 3});
  EXPECT_EQ(set.first, nullptr);
  EXPECT_EQ(set.last, nullptr);
  add({{5, 2}});  // appending after everything went works again
  EXPECT_EQ(set.first, set.last);
}

TEST_F(Pruning, UnknownGlyphsChangeNothing) {
  std::vector<u8> before(set.first->data, set.first->data + set.first->length);
  prune({77});
  EXPECT_EQ(set.first->count, 3u);
  EXPECT_EQ(std::vector<u8>(set.first->data, set.first->data + set.first->length), before);
}

// --- Drawing repeated into a tile ------------------------------------------------------------

// A request as 16-bit words from byte 0 (header words are left zero).
std::vector<u8> words16(u8 minor, u32 size, std::vector<std::pair<u32, i16>> fields) {
  std::vector<u8> r(size, 0);
  r[1] = minor;
  for (auto [at, v] : fields) put16(&r[at], u16(v));
  return r;
}

struct ShiftCase {
  const char* name;
  u32 zoom;
  std::vector<u8> request;
  std::vector<std::pair<u32, i16>> expected;  // fields after the shift by (10, 4)
};

class TileShift : public ::testing::TestWithParam<ShiftCase> {};

// Only where the drawing lands moves: by minus the window's offset in the
// picture's window, scaled for the head.
TEST_P(TileShift, MovesOnlyWhereTheDrawingLands) {
  const ShiftCase& c = GetParam();
  Head head{};
  if (c.zoom != 1) head.scaler = createScaler(400 * c.zoom, 400, 300 * c.zoom, 300, 0);
  std::vector<u8> copy = c.request;
  EXPECT_TRUE(shiftRenderDrawing(copy.data(), u32(copy.size()), 10, 4, &head));
  for (auto [at, v] : c.expected) EXPECT_EQ(i16(get16(&copy[at])), v) << "field at " << at;
  releaseScaler(&head.scaler);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, TileShift,
    ::testing::Values(
        // Composite: source and mask origins stay, the destination moves.
        ShiftCase{"Composite", 1, words16(X_RenderComposite, 36, {{20, 3}, {22, 4}, {24, 5}, {26, 6}, {28, 50}, {30, 60}}),
                  {{20, 3}, {22, 4}, {24, 5}, {26, 6}, {28, 40}, {30, 56}}},
        ShiftCase{"CompositeZoomed", 2,
                  words16(X_RenderComposite, 36, {{20, 3}, {22, 4}, {28, 100}, {30, 120}}),
                  {{20, 3}, {22, 4}, {28, 80}, {30, 112}}},
        // CompositeGlyphs: the source stays, the first glyph item moves and
        // the later items stay relative to it; a set switch carries none.
        ShiftCase{"CompositeGlyphs",
                  1,
                  [] {
                    std::vector<u8> r = words16(X_RenderCompositeGlyphs8, 28 + 12 + 12 + 12,
                                                {{24, 7}, {26, 8}, {32, 1}, {34, 1}, {44, 30}, {46, 40}, {56, 5}});
                    r[28] = 255, r[40] = 2, r[52] = 1;
                    return r;
                  }(),
                  {{24, 7}, {26, 8}, {32, 1}, {34, 1}, {44, 20}, {46, 36}, {56, 5}}},
        // FillRectangles: every rectangle moves, sizes stay.
        ShiftCase{"FillRectangles", 1,
                  words16(X_RenderFillRectangles, 36, {{20, 0}, {22, 0}, {24, 9}, {26, 9}, {28, 20}, {30, 30}}),
                  {{20, -10}, {22, -4}, {24, 9}, {26, 9}, {28, 10}, {30, 26}}},
        ShiftCase{"FillRectanglesZoomed", 2, words16(X_RenderFillRectangles, 28, {{20, 40}, {22, 40}, {24, 8}}),
                  {{20, 20}, {22, 32}, {24, 8}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TileShift, OtherRequestsAreLeftAlone) {
  std::vector<u8> trapezoids = words16(X_RenderTrapezoids, 64, {{20, 5}, {22, 6}});
  std::vector<u8> before = trapezoids;
  Head head{};
  EXPECT_FALSE(shiftRenderDrawing(trapezoids.data(), u32(trapezoids.size()), 10, 4, &head));
  EXPECT_EQ(trapezoids, before);
}

}  // namespace
}  // namespace palvon

namespace palvon {
namespace {

// --- The frame of a picture -------------------------------------------------------------

// A scaler set to a picture works in what the picture draws into: a window
// picture in its window's place and size, a pixmap picture at origin 0 in
// its pixmap's size. On a quarter-turned head the frame's width decides
// where the origin lands.
TEST(PictureFrame, IsTheWindowOrThePixmapItDrawsInto) {
  test::DatabaseRig database;
  ProxyWindow* window = allocProxyWindow();
  ASSERT_NE(window, nullptr);
  window->id = 0x0f0001, window->x = 30, window->y = 40, window->width = 50, window->height = 20;
  ASSERT_EQ(addResource(window->id, RT_WINDOW, window), 1);
  PixmapRecord pixmap{};
  pixmap.id = 0x0f0002, pixmap.width = 64, pixmap.height = 10;
  PictureRecord onWindow{}, onPixmap{}, source{};
  onWindow.id = 0x0f0003, onWindow.window = window->id;
  onPixmap.id = 0x0f0004, onPixmap.pixmap = &pixmap;
  source.id = 0x0f0005;
  ASSERT_EQ(addResource(onWindow.id, RT_PICTURE, &onWindow), 1);
  ASSERT_EQ(addResource(onPixmap.id, RT_PICTURE, &onPixmap), 1);
  ASSERT_EQ(addResource(source.id, RT_PICTURE, &source), 1);
  pictureFrameHook = renderPictureFrame;
  HeadScaler* s = createScaler(100, 100, 100, 100, 1);
  ASSERT_NE(s, nullptr);
  struct Row {
    u32 picture;
    i32 originX, originY;
    u32 widthMinus1, heightMinus1;
    i32 cornerX, cornerY;  // where (0, 0) lands
  };
  for (const Row& row : {Row{onWindow.id, 30, 40, 49, 19, 0, 49}, Row{onPixmap.id, 0, 0, 63, 9, 0, 63},
                         Row{source.id, 0, 0, 0, 0, 0, 0}}) {
    SCOPED_TRACE(row.picture);
    setScalerFrame(s, 1, 2, 3, 4);
    setScalerDrawable(s, row.picture);
    EXPECT_EQ(s->originX, row.originX);
    EXPECT_EQ(s->originY, row.originY);
    EXPECT_EQ(s->widthMinus1, row.widthMinus1);
    EXPECT_EQ(s->heightMinus1, row.heightMinus1);
    i32 x = 0, y = 0;
    scalePoint(s, &x, &y);
    EXPECT_EQ(x, row.cornerX);
    EXPECT_EQ(y, row.cornerY);
  }
  releaseScaler(&s);
  pictureFrameHook = nullptr;
  for (u32 id : {onWindow.id, onPixmap.id, source.id}) freeResourceById(id, RT_PICTURE);
}

}  // namespace
}  // namespace palvon
