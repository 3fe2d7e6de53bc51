// Shaped programs on the seam of two Xvfb side by side (A|B, each 400 x
// 300), compared with the same program run directly on one Xvfb of 800 x
// 300: each server holds the window's whole shape (xwininfo -shape says
// the same on A, on B and on the direct run), and for xlogo each server's
// xwd -root shows of the window what the direct run's shows there.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/shapeshm_rig.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwdimage.h"


namespace palvon::test {
namespace {

struct Program {
  const char* name;
  std::vector<std::string> argv;  // the geometry is added
  bool comparePixels;             // xeyes' pupils follow a pointer that differs
};
void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

constexpr int kX = 340, kY = 60, kSize = 120;  // on the seam at x = 400

// The top-level window of the geometry (border box) under the root.
Window topLevel(Display* display, unsigned width, unsigned height) {
  return serverWindow(display, width, height);
}

// The window's bounding and clip shapes, once two reads 100 ms apart agree
// and the program has shaped the window ("" when it never settles).
std::string settledShape(Display* display, unsigned width, unsigned height) {
  std::string last;
  for (int i = 0; i < 100; i++) {
    Window window = topLevel(display, width, height);
    std::string now;
    if (window) {
      int bounding = 0, clip = 0, bx, by, cx, cy;
      unsigned bw, bh, cw, ch;
      XShapeQueryExtents(display, window, &bounding, &bx, &by, &bw, &bh, &clip, &cx, &cy, &cw, &ch);
      if (bounding) now = shapeText(display, window, ShapeBounding) + " / " + shapeText(display, window, ShapeClip);
    }
    if (!now.empty() && now == last) return now;
    last = now;
    usleep(100 * 1000);
  }
  return "";
}

// What xwininfo -shape says of the window's shapes.
std::string xwininfoShape(const std::string& display, Window window) {
  ProgramResult result = runProgram({"xwininfo", "-shape", "-id", std::to_string(window)}, display);
  std::istringstream in(result.out);
  std::string shapes;
  for (std::string line; std::getline(in, line);)
    if (line.find("shape") != std::string::npos) shapes += line + "\n";
  return shapes;
}

// `xwd -root` of a display.
XwdImage rootDump(const std::string& display) {
  ProgramResult result = runProgram({"xwd", "-root", "-silent"}, display);
  XwdImage image;
  std::string error;
  EXPECT_TRUE(parseXwd(result.out, &image, &error)) << display << ": " << error << result.err;
  return image;
}

// The dump's pixels in the rectangle, row by row, each where the shape
// (rectangles relative to the origin ox, oy) covers it and 0 elsewhere:
// beyond the shape the root shows, which the proxy paints as it likes.
std::vector<uint32_t> shownPixels(const XwdImage& dump, int x, int y, int width, int height,
                                  const std::vector<XRectangle>& shape, int ox, int oy) {
  std::vector<uint32_t> pixels;
  if (x < 0 || y < 0 || x + width > dump.width || y + height > dump.height) return pixels;
  for (int j = 0; j < height; j++)
    for (int i = 0; i < width; i++) {
      int sx = x + i - ox, sy = y + j - oy;
      bool inside = false;
      for (const XRectangle& r : shape)
        inside = inside || (sx >= r.x && sx < r.x + r.width && sy >= r.y && sy < r.y + r.height);
      pixels.push_back(inside ? dump.at(x + i, y + j) : 0);
    }
  return pixels;
}

std::vector<XRectangle> boundingRectangles(Display* display, Window window) {
  int count = 0, ordering = 0;
  XRectangle* rectangles = XShapeGetRectangles(display, window, ShapeBounding, &count, &ordering);
  std::vector<XRectangle> out(rectangles, rectangles + count);
  if (rectangles) XFree(rectangles);
  return out;
}

class ShapedPrograms : public ::testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    reference = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "800x300x24"});
    ASSERT_TRUE(reference->ok()) << reference->error();
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.insert(words.end(), {"screen", servers.back()->display() + ".0", "borderWidth", "0"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::vector<std::string> argv() const {
    std::vector<std::string> argv = GetParam().argv;
    argv.insert(argv.end(), {"-geometry", std::to_string(kSize) + "x" + std::to_string(kSize) + "+" +
                                              std::to_string(kX) + "+" + std::to_string(kY)});
    return argv;
  }

  std::unique_ptr<Xvfb> reference;
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
};

TEST_P(ShapedPrograms, EveryServerHoldsTheShapeOfADirectRun) {
  Display* direct = XOpenDisplay(reference->display().c_str());
  ASSERT_NE(direct, nullptr);
  std::vector<Display*> heads;
  for (auto& server : servers) heads.push_back(XOpenDisplay(server->display().c_str()));
  ASSERT_NE(heads[0], nullptr);
  ASSERT_NE(heads[1], nullptr);
  {
    BackgroundProgram alone(argv(), reference->display());
    BackgroundProgram proxied(argv(), proxy->display());
    ASSERT_TRUE(alone.ok());
    ASSERT_TRUE(proxied.ok());
    std::string expected = settledShape(direct, kSize, kSize);
    ASSERT_NE(expected, "") << "the direct run never shaped its window";
    std::string info = xwininfoShape(reference->display(), topLevel(direct, kSize, kSize));
    for (size_t i = 0; i < heads.size(); i++) {
      SCOPED_TRACE(servers[i]->display());
      EXPECT_EQ(settledShape(heads[i], kSize, kSize), expected) << proxy->log();
      EXPECT_EQ(xwininfoShape(servers[i]->display(), topLevel(heads[i], kSize, kSize)), info);
    }
    if (GetParam().comparePixels) {
      // What each head shows of the window against the same columns of the
      // direct run (the window's inside starts after its border of 1).
      XWindowAttributes attributes{};
      Window window = topLevel(direct, kSize, kSize);
      ASSERT_TRUE(XGetWindowAttributes(direct, window, &attributes));
      int border = attributes.border_width, ox = kX + border, oy = kY + border;
      std::vector<XRectangle> shape = boundingRectangles(direct, window);
      int top = kY, height = kSize + 2 * border, left = kX, right = kX + kSize + 2 * border;
      XwdImage whole = rootDump(reference->display()), onA = rootDump(servers[0]->display()),
               onB = rootDump(servers[1]->display());
      std::vector<uint32_t> seenOnA = shownPixels(onA, left, top, 400 - left, height, shape, ox, oy);
      EXPECT_FALSE(seenOnA.empty());
      EXPECT_EQ(seenOnA, shownPixels(whole, left, top, 400 - left, height, shape, ox, oy));
      std::vector<uint32_t> seenOnB = shownPixels(onB, 0, top, right - 400, height, shape, ox - 400, oy);
      EXPECT_FALSE(seenOnB.empty());
      EXPECT_EQ(seenOnB, shownPixels(whole, 400, top, right - 400, height, shape, ox, oy));
    }
  }
  for (Display* d : heads) XCloseDisplay(d);
  XCloseDisplay(direct);
}

INSTANTIATE_TEST_SUITE_P(Seam, ShapedPrograms,
                         ::testing::Values(Program{"xlogo", {"xlogo", "-shape"}, true},
                                           Program{"xeyes", {"xeyes"}, false},
                                           Program{"oclock", {"oclock"}, false}),
                         [](const ::testing::TestParamInfo<Program>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
