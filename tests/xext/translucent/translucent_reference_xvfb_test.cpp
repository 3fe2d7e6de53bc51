// Translucent windows against a plain X server: the same client draws the
// same scene through the proxy (two Xvfb side by side, TRANSLUCENT on) and
// on one plain Xvfb of the meta screen's size. What each real server shows
// must equal its half of the plain server's picture, except that every
// pixel of the translucent window in one of its two key colours (outside
// its opaque child) shows what lies below it, as a third plain server
// showing only that shows it (unmapping the window on the plain server and
// mapping it again would lose its contents).
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwdimage.h"

namespace palvon::test {
namespace {

constexpr unsigned long kKey = 0x123456, kSecondKey = 0x654321, kRed = 0xff0000, kGreen = 0x00ff00;
constexpr int kWidth = 400, kHeight = 300;  // of each head; the meta screen is twice as wide

// The scene's windows on one display: a bottom window over the whole
// screen with a patterned background, the translucent window T across the
// seam and its opaque child.
struct Scene {
  Display* display = nullptr;
  Window bottom = 0, t = 0, child = 0;
  GC gc = nullptr;
  int tx = 300, ty = 50, tw = 300, th = 200;
  bool childMapped = true;
  static constexpr int kChildX = 20, kChildY = 20, kChildW = 50, kChildH = 40;

  void build(bool withT = true) {
    Window root = DefaultRootWindow(display);
    Pixmap pattern = XCreatePixmap(display, root, 24, 24, unsigned(DefaultDepth(display, 0)));
    GC paint = XCreateGC(display, pattern, 0, nullptr);
    for (int k = 0; k < 6; k++) {
      XSetForeground(display, paint, 0x204060 + 0x1a0c06 * unsigned(k));
      XFillRectangle(display, pattern, paint, 4 * k, 0, 4, 24);
    }
    XSetForeground(display, paint, 0xf0e0d0);
    XFillRectangle(display, pattern, paint, 0, 10, 24, 3);
    XFreeGC(display, paint);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixmap = pattern;
    bottom = XCreateWindow(display, root, 0, 0, 2 * kWidth, kHeight, 0, CopyFromParent, InputOutput, CopyFromParent,
                           CWOverrideRedirect | CWBackPixmap, &a);
    XFreePixmap(display, pattern);
    XMapWindow(display, bottom);
    if (!withT) return (void)XSync(display, False);
    a.background_pixel = kRed;
    a.bit_gravity = NorthWestGravity;
    t = XCreateWindow(display, root, tx, ty, unsigned(tw), unsigned(th), 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWBackPixel | CWBitGravity, &a);
    a.background_pixel = kGreen;
    child = XCreateWindow(display, t, kChildX, kChildY, kChildW, kChildH, 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapWindow(display, t);
    XMapWindow(display, child);
    gc = XCreateGC(display, t, 0, nullptr);
    XSelectInput(display, t, ExposureMask);
    XSync(display, False);
  }

  void fill(unsigned long pixel, int x, int y, int w, int h) {
    XSetForeground(display, gc, pixel);
    XFillRectangle(display, t, gc, x, y, unsigned(w), unsigned(h));
  }

  // Stage 0: fills in the key colour, another colour and a key-coloured
  // stipple, and an image with scattered key pixels, across the seam (T's
  // x 100, 60 once T has moved). Stage 1: CopyArea inside each head's part
  // of T before and after the move (apart on A, overlapping on B: a source
  // that only another head shows is lost on this one's server), a ClearArea
  // with exposures (without them when drawing again), poly and image text.
  void drawStage(int stage, bool live) {
    if (stage == 0) {
      fill(kKey, 0, 0, 120, 80);
      fill(0x3366cc, 60, 40, 100, 30);
      fill(kSecondKey, 200, 20, 70, 40);
      static char bits[] = {0x33, 0x33, static_cast<char>(0xcc), static_cast<char>(0xcc)};
      Pixmap stipple = XCreateBitmapFromData(display, t, bits, 16, 2);
      XSetStipple(display, gc, stipple);
      XSetFillStyle(display, gc, FillStippled);
      fill(kKey, 150, 100, 120, 60);
      XSetFillStyle(display, gc, FillSolid);
      XFreePixmap(display, stipple);
      const int iw = 200, ih = 20;
      XImage* image = XCreateImage(display, DefaultVisual(display, 0), unsigned(DefaultDepth(display, 0)), ZPixmap,
                                   0, nullptr, iw, ih, 32, 0);
      image->data = static_cast<char*>(calloc(size_t(image->bytes_per_line) * ih, 1));
      for (int y = 0; y < ih; y++)
        for (int x = 0; x < iw; x++) XPutPixel(image, x, y, (x * 7 + y * 3) % 5 == 0 ? kKey : 0xffcc00);
      XPutImage(display, t, gc, image, 0, 0, 40, 150, iw, ih);
      XDestroyImage(image);
    } else if (stage == 1) {
      XCopyArea(display, t, t, gc, 0, 65, 50, 30, 5, 100);
      XCopyArea(display, t, t, gc, 150, 100, 100, 60, 170, 110);
      XClearArea(display, t, 200, 150, 60, 30, live);
      XSetForeground(display, gc, 0x000000);
      XSetBackground(display, gc, 0xffffff);
      XDrawString(display, t, gc, 20, 190, "Hello", 5);
      XDrawImageString(display, t, gc, 150, 190, "World", 5);
    }
  }
  void advance() { drawStage(stages++, true); }

  // T's Expose events answered by drawing it all again, until none came
  // for 150 ms after a round trip (the servers answered what came before).
  void answerExposures() {
    for (int quiet = 0; quiet < 3;) {
      XSync(display, False);
      if (!XPending(display)) {
        usleep(50000), quiet++;
        continue;
      }
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != Expose || event.xexpose.window != t || event.xexpose.count != 0) continue;
      XClearArea(display, t, 0, 0, 0, 0, False);
      for (int k = 0; k < stages; k++) drawStage(k, false);
      quiet = 0;
    }
  }
  int stages = 0;
};

// A pixel as a 16-bit (5-6-5) server shows it, widened as xwd images are
// read.
uint32_t in16Bits(uint32_t pixel) {
  uint32_t r = pixel >> 19 & 0x1f, g = pixel >> 10 & 0x3f, b = pixel >> 3 & 0x1f;
  return ((r << 3 | r >> 2) << 16) | ((g << 2 | g >> 4) << 8) | (b << 3 | b >> 2);
}

// Where a server's picture differs from the expected one's area at (ex, 0)
// (seen in 16 bits when `narrow`): the bounding box (in the expected
// picture) and the first pixel.
std::string differences(const XwdImage& shown, const XwdImage& expected, int ex, bool narrow = false) {
  int count = 0, x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  std::string first;
  for (int y = 0; y < shown.height && y < expected.height; y++) {
    for (int x = 0; x < shown.width && x + ex < expected.width; x++) {
      uint32_t want = narrow ? in16Bits(expected.at(x + ex, y)) : expected.at(x + ex, y);
      if (shown.at(x, y) == want) continue;
      if (!count++) {
        char text[96];
        snprintf(text, sizeof text, " first at %d,%d: #%06x, expected #%06x", x + ex, y, shown.at(x, y), want);
        first = text;
      }
      x0 = std::min(x0, x + ex), y0 = std::min(y0, y), x1 = std::max(x1, x + ex), y1 = std::max(y1, y);
    }
  }
  if (!count) return "none";
  return std::to_string(count) + " pixels in " + std::to_string(x0) + ".." + std::to_string(x1) + " x " +
         std::to_string(y0) + ".." + std::to_string(y1) + first;
}

// B's depth is the parameter: beside a 16-bit B the proxy emulates the
// session's visual there, and B is compared in its own format.
class TranslucentReference : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    for (auto* server : {&a, &b}) {
      std::string depth = server == &b ? std::to_string(GetParam()) : "24";
      *server = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x" + depth});
      ASSERT_TRUE((*server)->ok()) << (*server)->error();
    }
    for (auto* server : {&plain, &bare}) {
      *server = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "800x300x24"});
      ASSERT_TRUE((*server)->ok()) << (*server)->error();
    }
    // XKEYBOARD for xdotool, which needs it.
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{
        "noReset", "on", "options", "Translucent", "extensions", "+XKEYBOARD", "screen", a->display() + ".0",
        "borderWidth", "0", "screen", b->display() + ".0", "borderWidth", "0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    through.display = XOpenDisplay(proxy->display().c_str());
    reference.display = XOpenDisplay(plain->display().c_str());
    below.display = XOpenDisplay(bare->display().c_str());
    ASSERT_TRUE(through.display && reference.display && below.display);
    below.build(false);
    ASSERT_TRUE(raw.connectUnix(proxy->number()) && raw.setup('l') == 1);
    major = raw.queryExtension("MORVANDELL TRANSLUCENT").major;
    ASSERT_NE(major, 0);
    through.build();
    reference.build();
    Bytes enable(16);
    raw.put32(enable, 0, uint32_t(through.t));
    raw.put32(enable, 8, uint32_t(kKey));
    raw.put32(enable, 12, uint32_t(kSecondKey));
    raw.send(raw.request(major, 2, enable));
    settle();
  }

  void TearDown() override {
    for (Scene* s : {&through, &reference, &below}) {
      if (s->gc) XFreeGC(s->display, s->gc);
      if (s->display) XCloseDisplay(s->display);
    }
  }

  // Both clients' requests handled (a round trip through the raw client
  // follows the proxy's own work for them).
  void settle() {
    Bytes query(4);
    raw.put32(query, 0, uint32_t(through.t));
    for (int round = 0; round < 2; round++) {
      XSync(reference.display, False);
      XSync(through.display, False);
      raw.send(raw.request(major, 1, query));
      raw.readMessage();
      through.answerExposures();
      reference.answerExposures();
    }
  }

  // A and B each equal their half of the plain picture with T's key pixels
  // (outside the mapped child) taken from the picture without T, as long as
  // T is translucent.
  void expectHalves(const char* step, bool translucent = true) {
    XwdImage shown = rootXwd(plain->display(), dir.file("plain.xwd"));
    XwdImage under = rootXwd(bare->display(), dir.file("below.xwd"));
    ASSERT_EQ(shown.width, 2 * kWidth) << step;
    ASSERT_EQ(under.width, 2 * kWidth) << step;
    XwdImage expected = shown;
    const Scene& r = reference;
    int holes = 0;
    for (int y = r.ty; y < r.ty + r.th && y < kHeight; y++) {
      for (int x = r.tx; x < r.tx + r.tw && x < 2 * kWidth; x++) {
        int cx = x - r.tx - Scene::kChildX, cy = y - r.ty - Scene::kChildY;
        bool inChild = r.childMapped && cx >= 0 && cy >= 0 && cx < Scene::kChildW && cy < Scene::kChildH;
        if (!translucent || inChild || (shown.at(x, y) != kKey && shown.at(x, y) != kSecondKey)) continue;
        expected.pixels[size_t(y) * size_t(expected.width) + size_t(x)] = under.at(x, y);
        holes++;
      }
    }
    EXPECT_EQ(holes > 0, translucent) << step;
    XwdImage onA = rootXwd(a->display(), dir.file("a.xwd")), onB = rootXwd(b->display(), dir.file("b.xwd"));
    ASSERT_EQ(onA.width, kWidth) << step;
    ASSERT_EQ(onB.width, kWidth) << step;
    EXPECT_EQ(differences(onA, expected, 0), "none") << step << " on A";
    EXPECT_EQ(differences(onB, expected, kWidth, GetParam() == 16), "none") << step << " on B";
  }

  // The same step on both scenes.
  void both(const std::function<void(Scene&)>& step) {
    step(through);
    step(reference);
    settle();
  }

  TempDir dir;
  std::unique_ptr<Xvfb> a, b, plain, bare;
  std::unique_ptr<ProxyProcess> proxy;
  Scene through, reference, below;
  RawClient raw;
  uint8_t major = 0;
};

TEST_P(TranslucentReference, EachServerShowsItsHalfOfThePlainPicture) {
  both([](Scene& s) { s.advance(); });
  expectHalves("fills and an image");
  both([](Scene& s) { s.advance(); });
  expectHalves("copies, a clear and text");
  both([](Scene& s) {
    XUnmapWindow(s.display, s.child);
    s.childMapped = false;
  });
  expectHalves("the child unmapped");
  // Moved and grown as a window manager or xdotool would.
  for (Scene* s : {&through, &reference}) {
    std::string id = std::to_string(s->t);
    std::string display = s == &through ? proxy->display() : plain->display();
    ASSERT_EQ(runProgram({"xdotool", "windowmove", id, "340", "60"}, display).status, 0);
    ASSERT_EQ(runProgram({"xdotool", "windowsize", id, "330", "220"}, display).status, 0);
    s->tx = 340, s->ty = 60, s->tw = 330, s->th = 220;
  }
  settle();
  expectHalves("moved and grown");
  both([](Scene& s) {
    XUnmapWindow(s.display, s.t);
    XMapWindow(s.display, s.t);
  });
  expectHalves("unmapped and mapped again");
  Bytes disable(4);
  raw.put32(disable, 0, uint32_t(through.t));
  raw.send(raw.request(major, 5, disable));
  settle();
  expectHalves("translucency disabled", false);
}

INSTANTIATE_TEST_SUITE_P(SecondServerDepth, TranslucentReference, ::testing::Values(24, 16));

}  // namespace
}  // namespace palvon::test
