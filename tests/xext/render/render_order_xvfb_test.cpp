// RENDER from clients of both byte orders through the proxy program: the
// format list and the filter list read back alike, and the same drawing
// (pictures, FillRectangles, glyphs, a transformed source) shows alike.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

// A request body in the client's byte order.
struct Body {
  const RawClient& c;
  Bytes bytes;
  Body& u8(uint8_t v) { return bytes.push_back(v), *this; }
  Body& u16(uint16_t v) {
    bytes.resize(bytes.size() + 2);
    c.put16(bytes, bytes.size() - 2, v);
    return *this;
  }
  Body& u32(uint32_t v) {
    bytes.resize(bytes.size() + 4);
    c.put32(bytes, bytes.size() - 4, v);
    return *this;
  }
  Body& pad() {
    while (bytes.size() % 4) bytes.push_back(0);
    return *this;
  }
};

struct Formats {
  uint32_t a8 = 0, argb = 0, window = 0;
  std::vector<std::string> described;  // every format and visual, order-free text
};

class OrderClient {
 public:
  OrderClient(int display, char order) {
    ok = c.connectUnix(display) && c.setup(order) == 1;
    if (!ok) return;
    Body name{c, {}};
    name.u16(6).u16(0);
    Bytes q = name.bytes;
    const char text[] = "RENDER";
    q.insert(q.end(), text, text + 6);
    Body body{c, q};
    body.pad();
    c.send(c.request(98, 0, body.bytes));  // QueryExtension
    Bytes reply = c.readMessage();
    ok = reply.size() >= 32 && reply[8] == 1;
    major = ok ? reply[9] : 0;
    base = c.resourceIdBase();
  }
  Bytes ask(uint8_t minor, const Bytes& body = {}) {
    c.send(c.request(major, minor, body));
    return c.readMessage();
  }
  void render(uint8_t minor, const Body& body) { c.send(c.request(major, minor, body.bytes)); }
  Body body() { return Body{c, {}}; }
  void sync() {
    c.send(c.request(43, 0));  // GetInputFocus
    for (Bytes m = c.readMessage(); !m.empty() && m[0] != 1; m = c.readMessage()) errors += m[0] == 0;
  }

  Formats formats() {
    Formats f;
    Bytes r = ask(1);
    if (r.size() < 32) return f;
    uint32_t numFormats = c.get32(r, 8), numScreens = c.get32(r, 12);
    size_t at = 32;
    for (uint32_t i = 0; i < numFormats && at + 28 <= r.size(); i++, at += 28) {
      uint32_t id = c.get32(r, at);
      uint8_t depth = r[at + 5];
      uint16_t alphaShift = c.get16(r, at + 20), alphaMask = c.get16(r, at + 22), redMask = c.get16(r, at + 10);
      if (depth == 8 && alphaMask == 0xff && !redMask) f.a8 = id;
      if (depth == 32 && alphaShift == 24 && alphaMask == 0xff && redMask == 0xff) f.argb = id;
      std::string d = std::to_string(r[at + 4]) + "/" + std::to_string(depth);
      for (int k = 0; k < 8; k++) d += "/" + std::to_string(c.get16(r, at + 8 + 2 * k));
      f.described.push_back(d);
      ids[id] = d;
    }
    uint32_t rootVisual = rootVisualId();
    for (uint32_t s = 0; s < numScreens && at + 8 <= r.size(); s++) {
      uint32_t depths = c.get32(r, at);
      at += 8;
      for (uint32_t d = 0; d < depths && at + 8 <= r.size(); d++) {
        uint16_t visuals = c.get16(r, at + 2);
        at += 8;
        for (uint16_t v = 0; v < visuals && at + 8 <= r.size(); v++, at += 8) {
          uint32_t visual = c.get32(r, at), format = c.get32(r, at + 4);
          if (visual == rootVisual) f.window = format;
          f.described.push_back(std::to_string(visual) + "->" + ids[format]);
        }
      }
    }
    return f;
  }

  // Aliases and names of QueryFilters on the root.
  std::vector<std::string> filters() {
    Body b = body();
    b.u32(c.rootWindow());
    Bytes r = ask(29, b.bytes);
    std::vector<std::string> out;
    if (r.size() < 32) return out;
    uint32_t aliases = c.get32(r, 8), names = c.get32(r, 12);
    size_t at = 32;
    for (uint32_t i = 0; i < aliases && at + 2 <= r.size(); i++, at += 2) out.push_back(std::to_string(c.get16(r, at)));
    at = 32 + ((2 * aliases + 3) & ~3u);
    for (uint32_t i = 0; i < names && at < r.size(); i++) {
      uint8_t n = r[at];
      out.emplace_back(reinterpret_cast<const char*>(&r[at + 1]), std::min<size_t>(n, r.size() - at - 1));
      at += 1 + n;
    }
    return out;
  }

  // The root visual of the first screen, from the set-up reply.
  uint32_t rootVisualId() const {
    const Bytes& s = c.setupReply();
    size_t vendor = c.get16(s, 24), formats = s[29];
    size_t screen = 40 + ((vendor + 3) & ~3u) + 8 * formats;
    return c.get32(s, screen + 32);
  }

  // The scene at (x, y) on the root: a window picture filled, glyphs from
  // a set of this client's, and a transformed pixmap source.
  void draw(int x, int y, const Formats& f) {
    uint32_t window = base + 1, picture = base + 2, set = base + 3, solid = base + 4, pixmap = base + 5,
             source = base + 6;
    Body w = body();
    w.u32(window).u32(c.rootWindow()).u16(uint16_t(x)).u16(uint16_t(y)).u16(120).u16(60).u16(0).u16(1).u32(0);
    w.u32(0x202).u32(0x101010).u32(1);  // background pixel, override-redirect
    c.send(c.request(1, 0, w.bytes));   // CreateWindow
    Body m = body();
    m.u32(window);
    c.send(c.request(8, 0, m.bytes));  // MapWindow
    sync();
    render(4, body().u32(picture).u32(window).u32(f.window).u32(0));  // CreatePicture
    render(26, body().u8(1).u8(0).u16(0).u32(picture).u16(0xffff).u16(0x8000).u16(0).u16(0xffff)
                   .u16(5).u16(5).u16(50).u16(20).u16(60).u16(10).u16(40).u16(10));  // FillRectangles
    render(17, body().u32(set).u32(f.a8));  // CreateGlyphSet
    Body add = body();
    add.u32(set).u32(2).u32(7).u32(9);
    add.u16(4).u16(6).u16(0).u16(0).u16(6).u16(0);  // glyph 7: 4x6
    add.u16(3).u16(6).u16(0).u16(0).u16(5).u16(0);  // glyph 9: 3x6
    for (int i = 0; i < 6 * 4; i++) add.u8(uint8_t(i * 10));
    for (int i = 0; i < 6 * 4; i++) add.u8(uint8_t(255 - i * 10));
    render(20, add);                                                                   // AddGlyphs
    render(33, body().u32(solid).u16(0).u16(0xffff).u16(0xffff).u16(0xffff));        // CreateSolidFill
    Body glyphs = body();
    glyphs.u8(3).u8(0).u16(0).u32(solid).u32(picture).u32(f.a8).u32(set).u16(0).u16(0);
    glyphs.u8(3).u8(0).u8(0).u8(0).u16(10).u16(40).u16(7).u16(9).u16(7).u16(0);
    render(24, glyphs);  // CompositeGlyphs16
    Body pm = body();
    pm.u32(pixmap).u32(window).u16(8).u16(8);
    c.send(c.request(53, 32, pm.bytes));  // CreatePixmap, depth 32
    render(4, body().u32(source).u32(pixmap).u32(f.argb).u32(0));
    render(26, body().u8(1).u8(0).u16(0).u32(source).u16(0).u16(0).u16(0xffff).u16(0xffff)
                   .u16(0).u16(0).u16(4).u16(8));
    Body t = body();
    t.u32(source);
    const uint32_t half = 0x8000, one = 0x10000;
    for (uint32_t v : {half, 0u, 0u, 0u, half, 0u, 0u, 0u, one}) t.u32(v);
    render(28, t);  // SetPictureTransform
    render(8, body().u8(1).u8(0).u16(0).u32(source).u32(0).u32(picture).u16(0).u16(0).u16(0).u16(0)
                  .u16(70).u16(30).u16(16).u16(16));  // Composite
    sync();
  }

  RawClient c;
  bool ok = false;
  uint8_t major = 0;
  uint32_t base = 0;
  int errors = 0;
  std::map<uint32_t, std::string> ids;
};

std::vector<unsigned long> readArea(const std::string& name, int x, int y, int width, int height) {
  std::vector<unsigned long> pixels;
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return pixels;
  if (XImage* image = XGetImage(d, DefaultRootWindow(d), x, y, width, height, AllPlanes, ZPixmap)) {
    for (int j = 0; j < height; j++)
      for (int i = 0; i < width; i++) pixels.push_back(XGetPixel(image, i, j));
    XDestroyImage(image);
  }
  XCloseDisplay(d);
  return pixels;
}

TEST(RenderByteOrder, BothOrdersReadAndDrawAlike) {
  Xvfb a({"-screen", "0", "1024x768x24"}), b({"-screen", "0", "1024x768x24", "-extension", "MIT-SHM"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "borderWidth", "0", "screen",
                      b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  OrderClient little(proxy.number(), 'l'), big(proxy.number(), 'B');
  ASSERT_TRUE(little.ok && big.ok);
  Formats fl = little.formats(), fb = big.formats();
  ASSERT_TRUE(fl.a8 && fl.argb && fl.window);
  EXPECT_EQ(fb.described, fl.described);
  EXPECT_EQ(fb.a8, fl.a8);
  std::vector<std::string> filtersLittle = little.filters();
  EXPECT_FALSE(filtersLittle.empty());
  EXPECT_EQ(big.filters(), filtersLittle);
  little.draw(100, 100, fl);
  big.draw(300, 100, fb);
  EXPECT_EQ(little.errors, 0);
  EXPECT_EQ(big.errors, 0);
  std::vector<unsigned long> one = readArea(a.display(), 100, 100, 120, 60),
                             two = readArea(a.display(), 300, 100, 120, 60);
  ASSERT_EQ(one.size(), 120u * 60);
  EXPECT_EQ(one, two);
  EXPECT_NE(one[10 * 120 + 20], one[0]) << "nothing was drawn";
}

}  // namespace
}  // namespace palvon::test
