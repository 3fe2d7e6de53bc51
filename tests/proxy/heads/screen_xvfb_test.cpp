// A meta screen over two real servers side by side: its size from the
// heads, atoms re-interned on the server that is not the atom server
// (checked with xprop), panning, and images converted for a 16-bit head.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "Proxy/config/config.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xsupport/ximage.h"

namespace palvon {
namespace {

// Server A (24-bit) is the atom server; server B is 16-bit.
class TwoServers : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    a_ = new test::Xvfb({"-screen", "0", "800x600x24"});
    b_ = new test::Xvfb({"-screen", "0", "640x480x16"});
  }
  static void TearDownTestSuite() {
    delete a_;
    delete b_;
  }
  void SetUp() override {
    ASSERT_TRUE(a_->ok() && b_->ok()) << a_->error() << b_->error();
    ASSERT_EQ(openServerDisplay(a_->display().c_str(), 0, &sa_), nullptr);
    ASSERT_EQ(openServerDisplay(b_->display().c_str(), 0, &sb_), nullptr);
    da_ = sa_->display, db_ = sb_->display;
    savedScreens_ = proxyState.screens;
    proxyState.screens = nullptr;
    atomDisplay = sa_;
    screen_ = createMetaScreen();
    headA_ = add("a", ":a", sa_, {0, 0, 800, 600});
    headB_ = add("b", ":b", sb_, {800, 0, 640, 480});
  }
  // Unbinding the last head of a server display closes and frees it.
  void TearDown() override {
    while (screen_ && screen_->heads) {
      Head* h = screen_->heads;
      destroyHead(h, true);
      releaseScaler(&h->scaler);
      unbindHeadFromServerDisplay(h);
      freeHeadVisuals(h->visuals, h->visualCount);
      free(h);
    }
    if (screen_) free(screen_->name), free(screen_);
    proxyState.screens = savedScreens_;
    atomDisplay = nullptr;
  }
  Head* add(const char* name, const char* text, ServerDisplay* server, HeadRect logical) {
    Head* head = nullptr;
    EXPECT_EQ(createHead(name, text, server->display, 0, 0, &head), nullptr);
    bindHeadToServerDisplay(head, server);
    head->logical = logical;
    head->clip = {0, 0, i32(head->width), i32(head->height)};
    addHeadToScreen(head, screen_);
    return head;
  }

  static test::Xvfb* a_;
  static test::Xvfb* b_;
  Display* da_ = nullptr;
  Display* db_ = nullptr;
  ServerDisplay* sa_ = nullptr;
  ServerDisplay* sb_ = nullptr;
  MetaScreen* screen_ = nullptr;
  Head* headA_ = nullptr;
  Head* headB_ = nullptr;

 private:
  MetaScreen* savedScreens_ = nullptr;
};

test::Xvfb* TwoServers::a_;
test::Xvfb* TwoServers::b_;

TEST_F(TwoServers, SizeComesFromTheHeadsSideBySide) {
  MetaScreenSettings size{};
  size.mask = kMetaWidth | kMetaHeight;
  ASSERT_EQ(computeMetaScreenSize(screen_, &size), nullptr);
  EXPECT_EQ(screen_->width, 1440u);
  EXPECT_EQ(screen_->height, 600u);
  u32 mmA = u32(DisplayWidthMM(da_, 0)), mmB = u32(DisplayWidthMM(db_, 0));
  EXPECT_NEAR(screen_->widthMM, mmA + mmB, 2.0);
  EXPECT_EQ(headsPixelWidth(screen_), 1440u);

  size.width = kScreenSizeTriple, size.height = kScreenSizeDouble;
  ASSERT_EQ(computeMetaScreenSize(screen_, &size), nullptr);
  EXPECT_EQ(screen_->width, 4320u);
  EXPECT_EQ(screen_->height, 1200u);

  // A width that cuts a head off names it, also when the head is offline.
  size.width = 1000, size.height = 600;
  EXPECT_EQ(std::string(computeMetaScreenSize(screen_, &size)),
            "Screen b has more pixels in width than the specified meta screen width 1000");
  headB_->display = nullptr;
  EXPECT_EQ(headsPixelWidth(screen_), 800u);
  EXPECT_EQ(std::string(computeMetaScreenSize(screen_, &size)),
            "Screen b has more pixels in width than the specified meta screen width 1000");
  headB_->display = db_;
  EXPECT_LE(strlen(describeHead(headB_)), 80u);
  EXPECT_LE(strlen(describeMetaScreen(screen_)), 80u);
}

TEST_F(TwoServers, AtomsAreReinternedOnTheOtherServer) {
  EXPECT_EQ(mapAtomToHead(68, headB_), 68u);
  Atom own = XInternAtom(da_, "PALVON_SCREEN_TEST", False);
  // Make the atom's number on B differ from A's by interning others first.
  for (int i = 0; i < 5; i++) XInternAtom(db_, ("PALVON_FILLER_" + std::to_string(i)).c_str(), False);
  EXPECT_EQ(mapAtomToHead(own, headA_), own);
  Atom onB = mapAtomToHead(own, headB_);
  ASSERT_NE(onB, 0u);
  char* nameB = XGetAtomName(db_, onB);
  ASSERT_NE(nameB, nullptr);
  EXPECT_STREQ(nameB, "PALVON_SCREEN_TEST");
  XFree(nameB);
  const char value[] = "seen on b";
  XChangeProperty(db_, DefaultRootWindow(db_), onB, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(value), int(sizeof value - 1));
  XSync(db_, False);
  test::ProgramResult r = test::runProgram({"xprop", "-root", "PALVON_SCREEN_TEST"}, b_->display());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("PALVON_SCREEN_TEST(STRING) = \"seen on b\""), std::string::npos) << r.out;
  // Atom 69 is no predefined atom: its name, not its number, goes across.
  char* name69 = XGetAtomName(da_, 69);
  if (name69) {
    char* mapped = XGetAtomName(db_, mapAtomToHead(69, headB_));
    EXPECT_STREQ(mapped, name69);
    XFree(mapped);
    XFree(name69);
  }
}

TEST_F(TwoServers, PanningMovesTheViewByWholeOffsets) {
  screen_->width = 2000, screen_->height = 1000;
  headB_->logical = {1200, 400, 640, 480};
  ASSERT_EQ(setHeadPanOffset(headA_, 100, 100), nullptr);
  // Five pixels beyond the right edge: one whole offset.
  ASSERT_TRUE(panHead(headA_, 805, 300, nullptr, false));
  EXPECT_EQ(headA_->logical.x, 100);
  EXPECT_EQ(headA_->logical.y, 0);
  // Far beyond: rounded up to whole offsets, or one offset when bounded.
  ASSERT_TRUE(panHead(headA_, 900 + 250, 300, nullptr, true));
  EXPECT_EQ(headA_->logical.x, 200);
  ASSERT_TRUE(panHead(headA_, 1000 + 250, 300, nullptr, false));
  EXPECT_EQ(headA_->logical.x, 500);
  // Never past the meta screen's far edge.
  ASSERT_TRUE(panHead(headA_, 2100, 300, nullptr, false));
  EXPECT_EQ(headA_->logical.x, 1200);
  // Left and up.
  ASSERT_TRUE(panHead(headA_, 1199, -1, nullptr, false));
  EXPECT_EQ(headA_->logical.x, 1100);
  EXPECT_EQ(headA_->logical.y, 0);
  EXPECT_FALSE(panHead(headA_, 1500, 300, nullptr, false));
  // B has no offset and stays.
  EXPECT_EQ(headB_->logical.x, 1200);
}

// The 24-bit meta visual realised by B's 16-bit visual.
struct SixteenBitMatch {
  VisualRecord client{};
  VisualRecord match{};
  SixteenBitMatch(Display* b) {
    client.visualId = 0x77, client.visualClass = TrueColor, client.depth = 24, client.colormapSize = 256;
    client.redMask = 0xff0000, client.greenMask = 0xff00, client.blueMask = 0xff;
    Visual* v = DefaultVisual(b, 0);
    match.visualId = u32(XVisualIDFromVisual(v)), match.visualClass = TrueColor, match.depth = 16;
    match.redMask = u32(v->red_mask), match.greenMask = u32(v->green_mask), match.blueMask = u32(v->blue_mask);
  }
};

TEST_F(TwoServers, ImagesKeepTheirColoursOnAShallowerHead) {
  SixteenBitMatch visuals(db_);
  screen_->visuals = &visuals.client;
  screen_->visualCount = 1;
  headB_->visualMatches = &visuals.match;
  ASSERT_EQ(visuals.match.redMask, 0xf800u);
  XImage* image = ximageCreateWithData(ximageZPixmapFormat(24), 4, 2);
  ASSERT_NE(image, nullptr);
  XPutPixel(image, 1, 0, 0xff8040);
  XPutPixel(image, 3, 1, 0x0000ff);
  // Enlarged twice: each client pixel becomes a 2 x 2 block.
  XImage* big = convertImageForHead(image, &visuals.client, headB_, 8, 4);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->depth, 16);
  for (int y : {0, 1})
    for (int x : {2, 3}) EXPECT_EQ(XGetPixel(big, x, y), 0xfc08u) << x << "," << y;
  EXPECT_EQ(XGetPixel(big, 7, 3), 0x1fu);
  XDestroyImage(big);

  // A quarter turn: (x, y) goes to (y, W - 1 - x); and back.
  headB_->rotation = 1;
  headB_->scaler = createScaler(2, 4, 4, 2, 1);
  XImage* turned = convertImageForHead(image, &visuals.client, headB_, 2, 4);
  ASSERT_NE(turned, nullptr);
  EXPECT_EQ(XGetPixel(turned, 0, 2), 0xfc08u);
  EXPECT_EQ(XGetPixel(turned, 1, 0), 0x1fu);
  bool owned = true;
  XImage* back = convertImageToDepth(turned, 16, &owned, headB_);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(owned);
  EXPECT_EQ(back->width, 4);
  EXPECT_EQ(back->height, 2);
  EXPECT_EQ(XGetPixel(back, 1, 0), 0xfc08u);
  EXPECT_EQ(XGetPixel(back, 3, 1), 0x1fu);
  XDestroyImage(back);
  XDestroyImage(image);
}

TEST_F(TwoServers, RootColoursComeFromTheColourHead) {
  SixteenBitMatch visuals(db_);
  screen_->visuals = &visuals.client;
  screen_->visualCount = 1;
  screen_->rootVisual = &visuals.client;
  headB_->visualMatches = &visuals.match;
  screen_->colorHead = headB_;
  setupMetaScreenColors(screen_);
  EXPECT_EQ(screen_->blackPixel, 0u);
  // 16-bit white carried into 8-bit channels by plain shifts.
  EXPECT_EQ(screen_->whitePixel, 0xf8fcf8u);
  EXPECT_EQ(screen_->minInstalledMaps, u32(std::min(MinCmapsOfScreen(ScreenOfDisplay(da_, 0)),
                                                    MinCmapsOfScreen(ScreenOfDisplay(db_, 0)))));
  // No colour head and no matches: the first of equal scores, head A.
  headB_->visualMatches = nullptr;
  screen_->colorHead = nullptr;
  setupMetaScreenColors(screen_);
  EXPECT_EQ(screen_->whitePixel, WhitePixel(da_, 0));
}

TEST_F(TwoServers, AnImageThatSuitsTheHeadIsUsedAsItIs) {
  const ImageFormat* format = ximageFormatForDisplay(da_, ZPixmap, 24, DefaultVisual(da_, 0));
  XImage* image = ximageCreateWithData(format, 3, 3);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(convertImageForHead(image, nullptr, headA_, 3, 3), image);
  XDestroyImage(image);
}

TEST_F(TwoServers, FontNamesAreScaledAndKeptPerScaler) {
  headA_->scaler = createScaler(1600, 800, 1200, 600, 0);
  const char* big = openScaledFont("-misc-fixed-medium-r-normal--10-100-75-75-c-60-iso8859-1", headA_);
  ASSERT_NE(big, nullptr);
  EXPECT_NE(strstr(big, "-200-"), nullptr) << big;
  EXPECT_NE(strstr(big, "-120-"), nullptr) << big;
  XFontStruct* font = XLoadQueryFont(da_, big);
  ASSERT_NE(font, nullptr) << big;
  EXPECT_NEAR(font->ascent + font->descent, 20, 2);
  XFreeFont(da_, font);
  // A name that is no XLFD takes the fields of the font the head has.
  const char* fixed = openScaledFont("fixed", headA_);
  ASSERT_NE(fixed, nullptr);
  font = XLoadQueryFont(da_, fixed);
  ASSERT_NE(font, nullptr) << fixed;
  EXPECT_NEAR(font->ascent + font->descent, 26, 2);
  XFreeFont(da_, font);
  // Missing fonts are remembered as missing; names match in any case.
  EXPECT_EQ(openScaledFont("-nobody-nothing-medium-r-normal--10-100-75-75-c-60-iso8859-1", headA_), nullptr);
  EXPECT_EQ(openScaledFont("-NOBODY-nothing-medium-r-normal--10-100-75-75-c-60-iso8859-1", headA_), nullptr);
  u32 cached = 0;
  for (ScaledFontName* f = headA_->scaler->scaledFonts; f; f = f->next) cached++;
  EXPECT_EQ(cached, 3u);
  EXPECT_EQ(openScaledFont("FIXED", headA_), fixed);
}

TEST_F(TwoServers, GlyphsTurnWithTheHead) {
  // One 8 x 4 glyph of depth 1 (rows of 32 bits), pixel (0, 0) set.
  u8 image[16] = {};
  image[0] = BitmapBitOrder(da_) == LSBFirst ? 0x01 : 0x80;
  xGlyphInfo info{8, 4, 0, 3, 8, 0};
  headA_->rotation = 1;
  headA_->scaler = createScaler(600, 800, 800, 600, 1);
  u8* out = nullptr;
  u32 length = 0;
  ASSERT_TRUE(scaleGlyphs(headA_, 1, &info, 1, image, sizeof image, &out, &length));
  EXPECT_EQ(info.width, 4);
  EXPECT_EQ(info.height, 8);
  EXPECT_EQ(length, 8u * 4);
  EXPECT_EQ(info.x, 3);
  EXPECT_EQ(info.y, 7);
  EXPECT_EQ(info.xOff, 0);
  EXPECT_EQ(info.yOff, -8);
  // The set pixel went to (0, 7).
  EXPECT_EQ(out[7 * 4], BitmapBitOrder(da_) == LSBFirst ? 0x01 : 0x80);
  free(out);
  EXPECT_FALSE(scaleGlyphs(headA_, 1, &info, 1, image, 8, &out, &length));
}

}  // namespace
}  // namespace palvon
