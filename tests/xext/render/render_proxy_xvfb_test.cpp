// RENDER through the proxy program in front of two Xvfb, side by side (A|B)
// and with B showing A's area at zoom 2: the formats offered, a client's
// drawing across the seam compared with the same client on a reference
// Xvfb (also on heads of different depths), trapezoids with far ends,
// errors in the proxy's own codes, and rendercheck's counts against a
// direct run.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrender.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr int kWidth = 1024, kHeight = 768;

struct Layout {
  const char* name;
  bool zoomed;  // B shows A's top-left quarter at zoom 2
  int depthA = 24, depthB = 24;
  char emulating = 0;  // 'A' or 'B': that 24-bit head emulates 8-bit PseudoColor
  bool alone = false;  // A alone, its emulated visual the meta screen's root (the manual's example)
};

// The depth of a plain server that shows what the meta screen shows.
int plainDepth(const Layout& layout) { return layout.emulating ? 8 : 24; }

std::vector<std::string> proxyWords(const Layout& layout, const Xvfb& a, const Xvfb& b) {
  std::vector<std::string> words{"noReset", "on"};
  if (layout.alone)
    return {"noReset", "on", "metaScreen", "main", "defaultVisual", "PseudoColor:8", "screen", a.display() + ".0",
            "borderWidth", "0", "emulateVisuals", "PseudoColor8"};
  if (layout.zoomed) words.insert(words.end(), {"options", "Tavel"});
  words.insert(words.end(), {"screen", a.display() + ".0", "borderWidth", "0"});
  if (layout.emulating == 'A') words.insert(words.end(), {"emulateVisuals", "PseudoColor:8"});
  words.insert(words.end(), {"screen", b.display() + ".0", "borderWidth", "0"});
  if (layout.emulating == 'B') words.insert(words.end(), {"emulateVisuals", "PseudoColor:8"});
  if (layout.zoomed) words.insert(words.end(), {"clipGeometry", "512x384+0+0"});
  return words;
}

std::vector<XErrorEvent> renderErrors;

int countErrors(Display*, XErrorEvent* event) {
  renderErrors.push_back(*event);
  return 0;
}

// What a server shows on its root, as 0xRRGGBB words: each pixel read
// through the server's installed colormap (an 8-bit server's cells, an
// emulating server's DirectColor tables, a 16-bit server's channels).
std::vector<unsigned long> readRoot(const std::string& name, int width, int height) {
  Display* d = XOpenDisplay(name.c_str());
  std::vector<unsigned long> pixels;
  if (!d) return pixels;
  int count = 0;
  Colormap* installed = XListInstalledColormaps(d, DefaultRootWindow(d), &count);
  Colormap colormap = count ? installed[0] : DefaultColormap(d, 0);
  if (installed) XFree(installed);
  XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, width, height, AllPlanes, ZPixmap);
  std::map<unsigned long, unsigned long> shown;
  for (int y = 0; image && y < height; y++) {
    for (int x = 0; x < width; x++) {
      unsigned long pixel = XGetPixel(image, x, y);
      auto at = shown.find(pixel);
      if (at == shown.end()) {
        XColor c{};
        c.pixel = pixel;
        XQueryColor(d, colormap, &c);
        at = shown.emplace(pixel, (c.red >> 8) << 16 | (c.green >> 8) << 8 | c.blue >> 8).first;
      }
      pixels.push_back(at->second);
    }
  }
  if (image) XDestroyImage(image);
  XCloseDisplay(d);
  return pixels;
}

// Channels that differ by more than `slack` (a 16-bit server's precision).
bool differs(unsigned long a, unsigned long b, int slack) {
  for (int shift = 0; shift < 24; shift += 8) {
    int delta = int((a >> shift) & 0xff) - int((b >> shift) & 0xff);
    if (delta > slack || delta < -slack) return true;
  }
  return false;
}

Picture solidPicture(Display* d, Window w, XRenderPictFormat* argb, const XRenderColor& colour) {
  // A 1x1 repeating pixmap: the classic way toolkits make a solid source.
  Pixmap p = XCreatePixmap(d, w, 1, 1, 32);
  XRenderPictureAttributes a{};
  a.repeat = RepeatNormal;
  Picture picture = XRenderCreatePicture(d, p, argb, CPRepeat, &a);
  XRenderFillRectangle(d, PictOpSrc, picture, &colour, 0, 0, 1, 1);
  XFreePixmap(d, p);
  return picture;
}

GlyphSet glyphSet(Display* d, XRenderPictFormat* a8, int seed, char faint) {
  GlyphSet set = XRenderCreateGlyphSet(d, a8);
  for (Glyph id = 1; id <= 3; id++) {
    XGlyphInfo info{};
    info.width = 8, info.height = 10, info.xOff = 9;
    char image[8 * 10];
    for (int i = 0; i < 80; i++) image[i] = char(((i / 8 + i % 8 + seed * id) % 3) ? 0xff : faint);
    XRenderAddGlyphs(d, set, &id, &info, 1, image, sizeof image);
  }
  return set;
}

// The client: a window picture spanning (left, top) to (left + 300, top +
// 200), drawn by every main request toolkits use: translucent colours,
// blended edges, images, gradients, pictures of other formats, of the
// window's own format (copied and scaled) and an alpha-only picture on a
// pixmap of depth 8. Returns false when the display could not be opened.
bool drawScene(const std::string& name, int left, int top) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return false;
  int screen = DefaultScreen(d);
  XSetWindowAttributes wa{};
  wa.override_redirect = True;
  wa.background_pixel = 0x202020;
  Window w = XCreateWindow(d, RootWindow(d, screen), left, top, 300, 200, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect | CWBackPixel, &wa);
  XMapWindow(d, w);
  XSync(d, False);
  XRenderPictFormat* windowFormat = XRenderFindVisualFormat(d, DefaultVisual(d, screen));
  XRenderPictFormat* argb = XRenderFindStandardFormat(d, PictStandardARGB32);
  XRenderPictFormat* a8 = XRenderFindStandardFormat(d, PictStandardA8);
  if (!windowFormat) return false;
  Picture dst = XRenderCreatePicture(d, w, windowFormat, 0, nullptr);
  XRenderColor red{0xffff, 0, 0, 0xffff}, green{0, 0xc000, 0, 0xffff}, blue{0, 0, 0xffff, 0x8000};
  XRenderFillRectangle(d, PictOpSrc, dst, &red, 10, 10, 280, 30);

  // A pixmap picture with a pattern, composited with a clip list.
  Pixmap pattern = XCreatePixmap(d, w, 40, 40, 32);
  Picture src = XRenderCreatePicture(d, pattern, argb, 0, nullptr);
  XRenderFillRectangle(d, PictOpSrc, src, &green, 0, 0, 40, 40);
  XRenderFillRectangle(d, PictOpSrc, src, &blue, 10, 10, 20, 20);
  XRectangle clip{0, 0, 250, 120};
  XRenderSetPictureClipRectangles(d, dst, 0, 0, &clip, 1);
  XRenderComposite(d, PictOpOver, src, None, dst, 0, 0, 0, 0, 20, 50, 40, 40);
  XRenderComposite(d, PictOpOver, src, None, dst, 0, 0, 0, 0, 230, 50, 40, 40);  // clipped at 250
  XRectangle all{0, 0, 300, 200};
  XRenderSetPictureClipRectangles(d, dst, 0, 0, &all, 1);

  // A repeating 1x1 source over a long strip.
  Picture solid = solidPicture(d, w, argb, blue);
  XRenderComposite(d, PictOpOver, solid, None, dst, 0, 0, 0, 0, 0, 100, 300, 12);

  // Trapezoids and triangles in fixed point.
  XTrapezoid trap{};
  trap.top = XDoubleToFixed(120), trap.bottom = XDoubleToFixed(150);
  trap.left = {{XDoubleToFixed(60), XDoubleToFixed(120)}, {XDoubleToFixed(40), XDoubleToFixed(150)}};
  trap.right = {{XDoubleToFixed(200), XDoubleToFixed(120)}, {XDoubleToFixed(240), XDoubleToFixed(150)}};
  XRenderCompositeTrapezoids(d, PictOpOver, solid, dst, a8, 0, 0, &trap, 1);
  XTriangle tri{{XDoubleToFixed(250), XDoubleToFixed(120)}, {XDoubleToFixed(295), XDoubleToFixed(190)},
                {XDoubleToFixed(205), XDoubleToFixed(190)}};
  Picture greenSolid = solidPicture(d, w, argb, green);
  XRenderCompositeTriangles(d, PictOpOver, greenSolid, dst, a8, 0, 0, &tri, 1);

  // A scaled source: a transform with a convolution filter.
  XTransform half{{{XDoubleToFixed(0.5), 0, 0}, {0, XDoubleToFixed(0.5), 0}, {0, 0, XDoubleToFixed(1)}}};
  XRenderSetPictureTransform(d, src, &half);
  XFixed kernel[] = {XDoubleToFixed(3), XDoubleToFixed(3), 0, XDoubleToFixed(0.2), 0, XDoubleToFixed(0.2),
                     XDoubleToFixed(0.2), XDoubleToFixed(0.2), 0, XDoubleToFixed(0.2), 0};
  XRenderSetPictureFilter(d, src, FilterConvolution, kernel, 11);
  XRenderComposite(d, PictOpSrc, src, None, dst, 0, 0, 0, 0, 100, 155, 60, 40);

  // A gradient source.
  XLinearGradient line{{0, 0}, {XDoubleToFixed(60), 0}};
  XFixed stops[] = {0, XDoubleToFixed(1)};
  XRenderColor ends[] = {red, blue};
  Picture gradient = XRenderCreateLinearGradient(d, &line, stops, ends, 2);
  XRenderComposite(d, PictOpSrc, gradient, None, dst, 0, 0, 0, 0, 10, 155, 60, 20);

  // A pixmap of the window's own format drawn by core requests in an
  // allocated colour and black: copied, and scaled up with a filter that
  // blends its pixels.
  XColor orange{};
  orange.red = 0xffff, orange.green = 0xaaaa;
  XAllocColor(d, DefaultColormap(d, screen), &orange);
  Pixmap own = XCreatePixmap(d, w, 20, 20, unsigned(DefaultDepth(d, screen)));
  GC gc = XCreateGC(d, own, 0, nullptr);
  XSetForeground(d, gc, orange.pixel);
  XFillRectangle(d, own, gc, 0, 0, 20, 20);
  XSetForeground(d, gc, BlackPixel(d, screen));
  XFillRectangle(d, own, gc, 5, 5, 10, 10);
  XFreeGC(d, gc);
  Picture ownPicture = XRenderCreatePicture(d, own, windowFormat, 0, nullptr);
  XRenderComposite(d, PictOpSrc, ownPicture, None, dst, 0, 0, 0, 0, 80, 55, 20, 20);
  XRenderSetPictureTransform(d, ownPicture, &half);
  XRenderSetPictureFilter(d, ownPicture, FilterBilinear, nullptr, 0);
  XRenderComposite(d, PictOpOver, ownPicture, None, dst, 0, 0, 0, 0, 105, 55, 40, 40);
  // An alpha-only picture on a pixmap of depth 8 as a mask.
  Pixmap alpha = XCreatePixmap(d, w, 40, 40, 8);
  Picture alphaPicture = XRenderCreatePicture(d, alpha, a8, 0, nullptr);
  XRenderColor half8{0, 0, 0, 0x8000}, quarter8{0, 0, 0, 0x4000};
  XRenderFillRectangle(d, PictOpSrc, alphaPicture, &half8, 0, 0, 40, 40);
  XRenderFillRectangle(d, PictOpSrc, alphaPicture, &quarter8, 10, 10, 20, 20);
  XRenderComposite(d, PictOpOver, solid, alphaPicture, dst, 0, 0, 0, 0, 155, 55, 40, 40);

  // Glyphs from two sets, switched inside one request, in all three widths.
  char faint = 0x40;
  GlyphSet one = glyphSet(d, a8, 1, faint), two = glyphSet(d, a8, 2, faint);
  const char text8[] = {1, 2, 3};
  XGlyphElt8 elts8[] = {{one, text8, 3, 180, 160}, {two, text8, 3, 5, 0}};
  XRenderCompositeText8(d, PictOpOver, solid, dst, a8, 0, 0, 180, 160, elts8, 2);
  const unsigned short text16[] = {3, 2, 1};
  XGlyphElt16 elts16[] = {{two, text16, 3, 180, 175}, {one, text16, 3, 5, 0}};
  XRenderCompositeText16(d, PictOpOver, greenSolid, dst, a8, 0, 0, 180, 175, elts16, 2);
  const unsigned int text32[] = {2, 2, 3};
  XGlyphElt32 elts32[] = {{one, text32, 3, 240, 160}, {two, text32, 3, 0, 12}};
  XRenderCompositeText32(d, PictOpOver, solid, dst, a8, 0, 0, 240, 160, elts32, 2);
  // Cursors from a picture, alone and animated; the pointer is elsewhere,
  // so only their making shows (as errors, when it goes wrong).
  XTransform identity{{{XDoubleToFixed(1), 0, 0}, {0, XDoubleToFixed(1), 0}, {0, 0, XDoubleToFixed(1)}}};
  XRenderSetPictureTransform(d, src, &identity);
  Cursor arrow = XRenderCreateCursor(d, src, 3, 3), other = XRenderCreateCursor(d, src, 10, 10);
  XAnimCursor frames[] = {{arrow, 100}, {other, 100}};
  XDefineCursor(d, w, XRenderCreateAnimCursor(d, 2, frames));
  XSync(d, False);
  // The window stays: the roots are read while the client is connected.
  return true;
}

// What each head shows of the scene, against a plain server of the meta
// screen's size and depth.
void expectHeadsShowTheReference(const Layout& layout, const Xvfb* a, const Xvfb* b, const ProxyProcess* proxy) {
  bool oneWide = layout.zoomed || layout.alone;
  std::string size = std::string(oneWide ? "1024" : "2048") + "x768x" + std::to_string(plainDepth(layout));
  Xvfb reference({"-screen", "0", size});
  ASSERT_TRUE(reference.ok()) << reference.error();
  // Across the seam side by side; inside B's quarter when zoomed.
  int left = oneWide ? 150 : 900, top = 100;
  ASSERT_TRUE(drawScene(reference.display(), left, top));
  renderErrors.clear();
  XErrorHandler old = XSetErrorHandler(countErrors);
  ASSERT_TRUE(drawScene(proxy->display(), left, top));
  XSetErrorHandler(old);
  EXPECT_TRUE(renderErrors.empty()) << int(renderErrors[0].error_code) << " for " << int(renderErrors[0].minor_code);
  std::vector<unsigned long> ref = readRoot(reference.display(), oneWide ? kWidth : 2 * kWidth, kHeight);
  std::vector<unsigned long> onA = readRoot(a->display(), kWidth, kHeight), onB = readRoot(b->display(), kWidth, kHeight);
  ASSERT_FALSE(ref.empty() || onA.empty() || onB.empty());
  int refWidth = oneWide ? kWidth : 2 * kWidth;
  // A 16-bit head shows its channels' precision.
  int slackA = layout.depthA == 16 ? 8 : 0, slackB = layout.depthB == 16 ? 8 : 0;
  unsigned long long differA = 0, differB = 0, area = 0;
  for (int y = top; y < top + 200; y++) {
    for (int x = left; x < left + 300; x++) {
      unsigned long want = ref[size_t(y) * refWidth + x];
      if (x < kWidth && differs(onA[size_t(y) * kWidth + x], want, slackA)) differA++;
      if (layout.alone) continue;
      if (!layout.zoomed) {
        if (x >= kWidth && differs(onB[size_t(y) * kWidth + x - kWidth], want, slackB)) differB++;
        continue;
      }
      // Zoomed: each meta pixel is a 2x2 block on B; edges of scaled
      // glyphs, trapezoids and filtered sources may differ a little.
      for (int dy = 0; dy < 2; dy++)
        for (int dx = 0; dx < 2; dx++)
          if (onB[size_t(2 * y + dy) * kWidth + 2 * x + dx] != want) differB++;
      area += 4;
    }
  }
  EXPECT_EQ(differA, 0u);
  if (layout.zoomed) EXPECT_LT(double(differB) / double(area), 0.04) << differB << " of " << area;
  else EXPECT_EQ(differB, 0u);
}

class RenderProxy : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    auto size = [](int depth) { return "1024x768x" + std::to_string(depth); };
    a = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", size(GetParam().depthA)});
    b = std::make_unique<Xvfb>(
        std::vector<std::string>{"-screen", "0", size(GetParam().depthB), "-extension", "MIT-SHM"});
    ASSERT_TRUE(a->ok() && b->ok()) << a->error() << b->error();
    proxy = std::make_unique<ProxyProcess>(proxyWords(GetParam(), *a, *b));
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::unique_ptr<Xvfb> a, b;
  std::unique_ptr<ProxyProcess> proxy;
};

// The formats the proxy offers are the image display's, under its own ids,
// and every one of them works on both heads.
TEST_P(RenderProxy, OffersTheServersFormatsUnderItsOwnIds) {
  Display* direct = XOpenDisplay(a->display().c_str());
  Display* d = XOpenDisplay(proxy->display().c_str());
  ASSERT_TRUE(direct && d);
  int count = 0, directCount = 0;
  while (XRenderFindFormat(d, 0, nullptr, count)) count++;
  while (XRenderFindFormat(direct, 0, nullptr, directCount)) directCount++;
  EXPECT_EQ(count, directCount);
  XRenderPictFormat* argb = XRenderFindStandardFormat(d, PictStandardARGB32);
  ASSERT_NE(argb, nullptr);
  int major = 0, minor = 0;
  ASSERT_TRUE(XRenderQueryVersion(d, &major, &minor));
  EXPECT_EQ(major * 100 + minor, 11);
  XCloseDisplay(direct);
  XCloseDisplay(d);
}

TEST_P(RenderProxy, EachHeadShowsWhatAReferenceServerShows) {
  expectHeadsShowTheReference(GetParam(), a.get(), b.get(), proxy.get());
}

// Errors of the servers reach the client once, in the proxy's codes.
TEST_P(RenderProxy, FreeingAGlyphNeverAddedIsOneBadGlyph) {
  Display* d = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(d, nullptr);
  int event = 0, error = 0;
  ASSERT_TRUE(XRenderQueryExtension(d, &event, &error));
  XErrorHandler old = XSetErrorHandler(countErrors);
  renderErrors.clear();
  GlyphSet set = XRenderCreateGlyphSet(d, XRenderFindStandardFormat(d, PictStandardA8));
  Glyph never = 77;
  XRenderFreeGlyphs(d, set, &never, 1);
  XRenderFreeGlyphSet(d, set);
  XRenderFreeGlyphSet(d, set);  // now unknown to the proxy
  XSync(d, False);
  XSetErrorHandler(old);
  ASSERT_EQ(renderErrors.size(), 2u);
  EXPECT_EQ(renderErrors[0].error_code, error + BadGlyph);
  EXPECT_EQ(renderErrors[1].error_code, error + BadGlyphSet);
  EXPECT_EQ(renderErrors[1].resourceid, set);
  XCloseDisplay(d);
}

// A picture whose format is of another depth than its drawable, or with a
// value a plain server refuses, is refused as that server refuses it, and
// its id stays free: the same id then makes a picture, which frees cleanly.
TEST_P(RenderProxy, APictureOfAnotherDepthIsRefusedAndItsIdStaysFree) {
  Display* d = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(d, nullptr);
  uint32_t a8 = uint32_t(XRenderFindStandardFormat(d, PictStandardA8)->id);
  uint32_t rgb24 = uint32_t(XRenderFindStandardFormat(d, PictStandardRGB24)->id);
  XCloseDisplay(d);
  RawClient c;
  ASSERT_TRUE(c.connectUnix(proxy->number()));
  ASSERT_EQ(c.setup('l'), 1);
  RawClient::Codes render = c.queryExtension("RENDER");
  uint8_t major = render.major;
  ASSERT_NE(major, 0);
  uint32_t picture = c.resourceIdBase() | 1, deep = c.resourceIdBase() | 2;
  Bytes pixmap(12, 0);
  c.put32(pixmap, 0, deep);
  c.put32(pixmap, 4, c.rootWindow());
  c.put16(pixmap, 8, 8), c.put16(pixmap, 10, 8);
  ASSERT_TRUE(c.send(c.request(X_CreatePixmap, 24, pixmap)));
  // With one value (mask bit and value) when a bit is given.
  auto create = [&](uint32_t format, uint32_t bit = 0, uint32_t value = 0) {
    Bytes body(bit ? 20 : 16, 0);
    c.put32(body, 0, picture);
    c.put32(body, 4, c.rootWindow());
    c.put32(body, 8, format);
    if (bit) c.put32(body, 12, bit), c.put32(body, 16, value);
    return c.request(major, 4, body);
  };
  Bytes free(4, 0);
  c.put32(free, 0, picture);
  // The errors that come before the reply to a round trip sent behind.
  auto errorsOf = [&](const Bytes& request) {
    std::vector<uint8_t> errors;
    EXPECT_TRUE(c.send(request) && c.send(c.request(X_GetInputFocus, 0)));
    for (Bytes m = c.readMessage(); !m.empty() && m[0] != 1; m = c.readMessage())
      if (m[0] == 0) errors.push_back(m[1]);
    return errors;
  };
  EXPECT_EQ(errorsOf(create(a8)), std::vector<uint8_t>{BadMatch});
  EXPECT_EQ(errorsOf(create(rgb24, CPRepeat, 9)), std::vector<uint8_t>{BadValue});
  EXPECT_EQ(errorsOf(create(rgb24, CPPolyEdge, 2)), std::vector<uint8_t>{BadValue});
  EXPECT_EQ(errorsOf(create(rgb24, CPClipMask, c.rootWindow())), std::vector<uint8_t>{BadPixmap});
  EXPECT_EQ(errorsOf(create(rgb24, CPClipMask, deep)), std::vector<uint8_t>{BadMatch});
  EXPECT_EQ(errorsOf(create(rgb24, CPAlphaMap, deep)), std::vector<uint8_t>{uint8_t(render.firstError + 1)});
  EXPECT_EQ(errorsOf(create(rgb24, 1u << 13, 0)), std::vector<uint8_t>{BadValue});
  EXPECT_EQ(errorsOf(create(rgb24)), std::vector<uint8_t>{});
  EXPECT_EQ(errorsOf(c.request(major, 7, free)), std::vector<uint8_t>{});
}

// Trapezoids whose edges end thousands of pixels away, as far as a plain
// server draws them without its 32-bit fixed point wrapping (ends up to
// 2^29 apart from the origin), each in a window of its own: some the zoom
// takes past what the head's 32 bits hold, and one (the fifth) whose far
// ends a server clips to. Returns false when the display could not be
// opened; the client stays connected.
bool drawFarEdges(const std::string& name) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return false;
  const XFixed f = 1 << 16, b2 = 1 << 29, b3 = 3 << 28;
  const XTrapezoid traps[] = {
      {10 * f, 90 * f, {{20 * f, -b2}, {60 * f, b2}}, {{b2, 5 * f}, {150 * f, 80 * f}}},
      {-b3, b3, {{-b3, -b3 + 7 * f}, {b3 - 3 * f, b3}}, {{b2, -b3}, {b2 / 3, b3}}},
      {-b2, b2, {{-b2, -b2}, {b2, b2}}, {{b2, -b2}, {b2, b2}}},
      {5 * f, b3, {{-b3, 90 * f}, {b3, 10 * f}}, {{b3, -b3}, {180 * f, b3}}},
      {-b3, 95 * f, {{30 * f, -b3}, {31 * f, 50 * f}}, {{190 * f, 50 * f}, {-b3, b3}}},
      {-b2, b2, {{3 * f, -b2}, {5 * f, b2}}, {{180 * f, -b2}, {190 * f, b2}}},
  };
  XRenderColor red{0xffff, 0, 0, 0xffff}, green{0, 0xffff, 0, 0xffff};
  Picture solid = XRenderCreateSolidFill(d, &green);
  for (int k = 0; k < 6; k++) {
    XSetWindowAttributes wa{};
    wa.override_redirect = True;
    Window w = XCreateWindow(d, DefaultRootWindow(d), 50 + 210 * (k % 2), 40 + 110 * (k / 2), 200, 100, 0,
                             CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect, &wa);
    XMapWindow(d, w);
    XSync(d, False);
    Picture dst = XRenderCreatePicture(d, w, XRenderFindVisualFormat(d, DefaultVisual(d, 0)), 0, nullptr);
    XRenderFillRectangle(d, PictOpSrc, dst, &red, 0, 0, 200, 100);
    XRenderCompositeTrapezoids(d, PictOpOver, solid, dst, XRenderFindStandardFormat(d, PictStandardA8), 0, 0,
                               &traps[k], 1);
  }
  XSync(d, False);
  return true;
}

// The far edges as a plain server draws them: A exactly, B (zoomed) in
// each 2x2 block's mean.
TEST_P(RenderProxy, FarEdgesAsOnAPlainServer) {
  Xvfb reference({"-screen", "0", "1024x768x24"});
  ASSERT_TRUE(reference.ok()) << reference.error();
  ASSERT_TRUE(drawFarEdges(reference.display()) && drawFarEdges(proxy->display()));
  std::vector<unsigned long> ref = readRoot(reference.display(), kWidth, kHeight);
  std::vector<unsigned long> onA = readRoot(a->display(), kWidth, kHeight), onB = readRoot(b->display(), kWidth, kHeight);
  ASSERT_FALSE(ref.empty() || onA.empty() || onB.empty());
  int differA = 0, differB = 0;
  for (int y = 40; y < 370; y++) {
    for (int x = 50; x < 460; x++) {
      if ((y - 40) % 110 >= 100 || (x - 50) % 210 >= 200) continue;  // between the windows
      unsigned long want = ref[size_t(y) * kWidth + x];
      differA += onA[size_t(y) * kWidth + x] != want;
      if (!GetParam().zoomed) continue;
      unsigned long sum[3] = {};
      for (int dy = 0; dy < 2; dy++)
        for (int dx = 0; dx < 2; dx++)
          for (int c = 0; c < 3; c++) sum[c] += (onB[size_t(2 * y + dy) * kWidth + 2 * x + dx] >> (8 * c)) & 0xff;
      differB += differs((sum[2] / 4) << 16 | (sum[1] / 4) << 8 | sum[0] / 4, want, 48);
    }
  }
  EXPECT_EQ(differA, 0);
  EXPECT_EQ(differB, 0) << proxy->log();
}

// rendercheck reads its results back through the proxy: the counts of a
// direct run on a server like A.
TEST_P(RenderProxy, RendercheckCountsEqualADirectRun) {
  Xvfb reference({"-screen", "0", "1024x768x24"});
  ASSERT_TRUE(reference.ok()) << reference.error();
  std::vector<std::string> run{"rendercheck", "-f", "a8r8g8b8,x8r8g8b8,a8", "-t",
                               "fill,dcoords,scoords,mcoords,tscoords,tmcoords,blend,composite,repeat,bug7366,"
                               "gtk_argb_xbgr,libreoffice_xrgb"};
  ProgramResult direct = runProgram(run, reference.display(), 240000);
  ProgramResult through = runProgram(run, proxy->display(), 240000);
  auto passed = [](const std::string& out) {
    size_t at = out.find(" tests passed of ");
    if (at == std::string::npos) return std::string("none");
    size_t start = out.rfind('\n', at);
    return out.substr(start == std::string::npos ? 0 : start + 1, out.find('\n', at) - start - 1);
  };
  EXPECT_EQ(passed(through.out), passed(direct.out)) << through.err << proxy->log();
}

// Anti-aliased text as a toolkit program draws it: glyph sets, uploads and
// CompositeGlyphs, without an X error on either layout.
TEST_P(RenderProxy, TextProgramsDrawWithoutErrors) {
  ProgramResult term = runProgram({"xterm", "-fa", "DejaVu Sans Mono", "-geometry", "40x5+950+100", "-e", "sh", "-c",
                                   "printf 'hello RENDER'; sleep 1"},
                                  proxy->display(), 60000);
  EXPECT_EQ(term.status, 0) << term.err << proxy->log();
  EXPECT_EQ(term.err, "");
}

INSTANTIATE_TEST_SUITE_P(Layouts, RenderProxy, ::testing::Values(Layout{"SideBySide", false}, Layout{"Zoomed", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Heads of different depths side by side, in either order: a 24-bit head
// that emulates 8-bit PseudoColor beside an 8-bit server, such a head
// alone with the emulated visual as the root's, and a 16-bit server before
// a 24-bit one. Every head shows the scene exactly as the reference does.
class RenderOnMixedHeads : public RenderProxy {};

TEST_P(RenderOnMixedHeads, EachHeadShowsWhatAReferenceServerShows) {
  expectHeadsShowTheReference(GetParam(), a.get(), b.get(), proxy.get());
}

// Every colour of five bits a channel filled on the emulated visual lands
// on the cell a plain 8-bit server stores it as, read on the emulating head.
TEST_P(RenderOnMixedHeads, EverySolidColourTakesThePlainServersCell) {
  const Layout& layout = GetParam();
  if (!layout.emulating) GTEST_SKIP() << "no emulated visual";
  Xvfb reference({"-screen", "0", "1024x768x8"});
  ASSERT_TRUE(reference.ok()) << reference.error();
  int left = layout.emulating == 'B' ? kWidth + 100 : 100, top = 100;
  auto fill = [&](const std::string& name, int x) {
    Display* d = XOpenDisplay(name.c_str());
    if (!d) return false;
    XSetWindowAttributes wa{};
    wa.override_redirect = True;
    Window w = XCreateWindow(d, DefaultRootWindow(d), x, top, 256, 128, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect, &wa);
    XMapWindow(d, w);
    XSync(d, False);
    Picture dst = XRenderCreatePicture(d, w, XRenderFindVisualFormat(d, DefaultVisual(d, 0)), 0, nullptr);
    for (int c = 0; c < 32768; c++) {
      auto channel = [&](int shift) { return static_cast<unsigned short>(((c >> shift) & 31) * 0xffff / 31); };
      XRenderColor colour{channel(10), channel(5), channel(0), 0xffff};
      XRenderFillRectangle(d, PictOpSrc, dst, &colour, c % 256, c / 256, 1, 1);
    }
    XSync(d, False);  // the window stays while the roots are read
    return true;
  };
  ASSERT_TRUE(fill(reference.display(), 100) && fill(proxy->display(), left));
  std::vector<unsigned long> ref = readRoot(reference.display(), kWidth, kHeight);
  const Xvfb* head = layout.emulating == 'B' ? b.get() : a.get();
  std::vector<unsigned long> shown = readRoot(head->display(), kWidth, kHeight);
  ASSERT_FALSE(ref.empty() || shown.empty());
  int differ = 0;
  for (int y = top; y < top + 128; y++)
    for (int x = 100; x < 356; x++) differ += ref[size_t(y) * kWidth + x] != shown[size_t(y) * kWidth + x];
  EXPECT_EQ(differ, 0);
}

// Trapezoids whose edges run between the ends of the coordinates, and
// composites of an unknown op, onto the window's indexes and from them
// onto a true-colour pixmap (then of a known one, and back); the errors
// the client got as (code, minor, bad value, sequence) words. The window
// lies at its server's origin, where the server's own offsets leave the
// edges as they are. False when the display could not be opened.
bool drawExtremes(const std::string& name, int left, std::vector<std::vector<unsigned long>>* errors) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return false;
  XSetWindowAttributes wa{};
  wa.override_redirect = True;
  Window w = XCreateWindow(d, DefaultRootWindow(d), left, 0, 200, 100, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect, &wa);
  XMapWindow(d, w);
  XSync(d, False);
  XRenderPictFormat* format = XRenderFindVisualFormat(d, DefaultVisual(d, 0));
  renderErrors.clear();
  XErrorHandler old = XSetErrorHandler(countErrors);
  unsigned long first = NextRequest(d);
  Picture dst = XRenderCreatePicture(d, w, format, 0, nullptr);
  XRenderColor red{0xffff, 0, 0, 0xffff}, green{0, 0xffff, 0, 0x8000};
  XRenderFillRectangle(d, PictOpSrc, dst, &red, 0, 0, 200, 100);
  Picture solid = XRenderCreateSolidFill(d, &green);
  const XFixed low = XFixed(0x80000000), high = 0x7fffffff;
  XTrapezoid traps[] = {{0, XDoubleToFixed(40), {{low, low}, {high, high}}, {{high, low}, {low, high}}},
                        {XDoubleToFixed(50), XDoubleToFixed(90), {{low, high}, {low, low}}, {{high, low}, {high, high}}}};
  XRenderCompositeTrapezoids(d, PictOpOver, solid, dst, XRenderFindStandardFormat(d, PictStandardA8), 0, 0, traps, 2);
  Pixmap deep = XCreatePixmap(d, w, 20, 20, 32);
  Picture argb = XRenderCreatePicture(d, deep, XRenderFindStandardFormat(d, PictStandardARGB32), 0, nullptr);
  XRenderComposite(d, 0x50, solid, None, dst, 0, 0, 0, 0, 5, 5, 20, 20);
  XRenderComposite(d, 0x51, dst, None, argb, 0, 0, 0, 0, 0, 0, 20, 20);
  // And the same copy through true colours with an op that exists.
  XRenderComposite(d, PictOpSrc, dst, None, argb, 0, 0, 0, 0, 0, 0, 20, 20);
  XRenderComposite(d, PictOpOver, argb, None, dst, 0, 0, 0, 0, 170, 70, 20, 20);
  XSync(d, False);
  XSetErrorHandler(old);
  for (const XErrorEvent& e : renderErrors)
    errors->push_back({e.error_code, e.minor_code, e.resourceid, e.serial - first});
  return true;  // the window stays while the roots are read
}

// Shapes at the ends of the coordinates and errors of the client's own
// drawing on the emulated visual, as on a plain 8-bit server.
TEST_P(RenderOnMixedHeads, ExtremesAndErrorsAsOnAPlainServer) {
  const Layout& layout = GetParam();
  if (!layout.emulating) GTEST_SKIP() << "no emulated visual";
  Xvfb reference({"-screen", "0", "1024x768x8"});
  ASSERT_TRUE(reference.ok()) << reference.error();
  std::vector<std::vector<unsigned long>> plainErrors, proxyErrors;
  ASSERT_TRUE(drawExtremes(reference.display(), 0, &plainErrors) &&
              drawExtremes(proxy->display(), layout.emulating == 'B' ? kWidth : 0, &proxyErrors));
  EXPECT_EQ(plainErrors.size(), 2u);
  EXPECT_EQ(proxyErrors, plainErrors);
  std::vector<unsigned long> ref = readRoot(reference.display(), kWidth, kHeight);
  std::vector<unsigned long> shown = readRoot((layout.emulating == 'B' ? b : a)->display(), kWidth, kHeight);
  ASSERT_FALSE(ref.empty() || shown.empty());
  int differ = 0;
  for (int y = 0; y < 100; y++)
    for (int x = 0; x < 200; x++) differ += ref[size_t(y) * kWidth + x] != shown[size_t(y) * kWidth + x];
  EXPECT_EQ(differ, 0) << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(Layouts, RenderOnMixedHeads,
                         ::testing::Values(Layout{"EmulatingFirst", false, 24, 8, 'A'},
                                           Layout{"EmulatingSecond", false, 8, 24, 'B'},
                                           Layout{"EmulatingAlone", false, 24, 24, 'A', true},
                                           Layout{"Deep16First", false, 16, 24}),
                         [](const auto& info) { return std::string(info.param.name); });

// The environment limits the formats offered.
struct LimitCase {
  const char* name;
  const char* setting;
  bool (*allowed)(const XRenderPictFormat& format);
};

class RenderProxyLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(RenderProxyLimits, OnlyFormatsWithinTheLimitAreOffered) {
  Xvfb a({"-screen", "0", "1024x768x24"});
  ASSERT_TRUE(a.ok()) << a.error();
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0"}, {GetParam().setting});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* d = XOpenDisplay(proxy.display().c_str());
  Display* direct = XOpenDisplay(a.display().c_str());
  ASSERT_TRUE(d && direct);
  int count = 0, wanted = 0;
  for (XRenderPictFormat* f; (f = XRenderFindFormat(d, 0, nullptr, count)); count++)
    EXPECT_TRUE(GetParam().allowed(*f)) << "format of depth " << f->depth;
  int directCount = 0;
  for (XRenderPictFormat* f; (f = XRenderFindFormat(direct, 0, nullptr, directCount)); directCount++)
    wanted += GetParam().allowed(*f);
  EXPECT_EQ(count, wanted);
  EXPECT_GT(count, 0);
  XCloseDisplay(direct);
  XCloseDisplay(d);
}

INSTANTIATE_TEST_SUITE_P(
    Environment, RenderProxyLimits,
    ::testing::Values(LimitCase{"Depth24", "maxPictureFormatDepth=24",
                                [](const XRenderPictFormat& f) { return f.depth <= 24; }},
                      LimitCase{"RedBits5", "maxPictureFormatBits=5",
                                [](const XRenderPictFormat& f) { return __builtin_popcount(f.direct.redMask) <= 5; }}),
    [](const auto& info) { return std::string(info.param.name); });

// A server of an older version lowers what every client is offered, and
// the requests that version lacks are not taken.
TEST(RenderProxyVersion, TheLowestServerVersionIsOffered) {
  Xvfb a({"-screen", "0", "1024x768x24"}), b({"-screen", "0", "1024x768x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ExtensionRelay relay(b);
  ExtensionRelay::Codes render;
  ASSERT_TRUE(relay.ok() && relay.serverCodes("RENDER", &render)) << relay.error();
  relay.rewriteReply(render.major, 0, [](Bytes& reply, char order) { putWire32(reply, 12, 9, order); });
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "screen", relay.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* d = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(d, nullptr);
  int major = 0, minor = 0, opcode = 0, event = 0, error = 0;
  ASSERT_TRUE(XQueryExtension(d, "RENDER", &opcode, &event, &error));
  ASSERT_TRUE(XRenderQueryVersion(d, &major, &minor));
  EXPECT_EQ(major, 0);
  EXPECT_EQ(minor, 9);
  renderErrors.clear();
  XErrorHandler old = XSetErrorHandler(countErrors);
  XRenderColor white{0xffff, 0xffff, 0xffff, 0xffff};
  XRenderCreateSolidFill(d, &white);
  XSync(d, False);
  XSetErrorHandler(old);
  ASSERT_EQ(renderErrors.size(), 1u);
  EXPECT_EQ(renderErrors[0].request_code, opcode);
  EXPECT_EQ(renderErrors[0].minor_code, 33);
  XCloseDisplay(d);
}

}  // namespace
}  // namespace palvon::test
