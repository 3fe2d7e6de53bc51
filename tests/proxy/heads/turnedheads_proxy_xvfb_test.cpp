// Zoomed and turned heads through the proxy program, each against a plain
// Xvfb of the meta screen's size doing the same: a bordered window resized
// stays where the plain server keeps it, a window manager that redirects
// the root's substructure is asked with the value mask the client sent,
// windows read back the geometry and shapes they were given (also on a
// zoomed-out head, alone or beside a plain one), a turned head reports the
// millimetres and resolution of the screen the clients see, and shows
// backgrounds, borders, shapes and a window manager's decorations as the
// plain server does, turned.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <poll.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwdimage.h"

namespace palvon::test {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Waits for the next event of the type (others are skipped); false after
// the deadline.
bool nextEvent(Display* display, int type, XEvent* event, int timeoutMs = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    while (XPending(display)) {
      XNextEvent(display, event);
      if (event->type == type) return true;
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 50);
  }
  return false;
}

struct Geometry {
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0;
  bool operator==(const Geometry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Geometry& g) {
  return out << g.width << "x" << g.height << "+" << g.x << "+" << g.y << " border " << g.border;
}

std::string rectanglesText(int x, int y, unsigned width, unsigned height, int shaped) {
  return (shaped ? "" : "!") + std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" +
         std::to_string(y);
}

Geometry geometryOf(Display* display, Window window) {
  Geometry g;
  Window root;
  unsigned depth;
  XGetGeometry(display, window, &root, &g.x, &g.y, &g.width, &g.height, &g.border, &depth);
  return g;
}

// What a window manager learns of one ConfigureWindow.
struct Request {
  unsigned long mask = 0;
  int x = 0, y = 0, width = 0, height = 0, border = 0;
  bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
  return out << "mask 0x" << std::hex << r.mask << std::dec << " " << r.width << "x" << r.height << "+" << r.x << "+"
             << r.y << " border " << r.border;
}

// The lines of xdpyinfo's first screen that say its size and resolution.
std::string screenSize(const std::string& display) {
  std::istringstream in(runProgram({"xdpyinfo"}, display).out);
  std::string lines;
  for (std::string line; std::getline(in, line);)
    if (line.find("dimensions:") != std::string::npos || line.find("resolution:") != std::string::npos)
      lines += line + "\n";
  return lines;
}

struct Layout {
  const char* name;
  const char* headSize;   // the real server behind the proxy
  const char* metaSize;   // the plain server, as large as the meta screen
  std::vector<std::string> words;  // the head's settings
  bool sameMillimetres;   // unzoomed: the plain server's size in millimetres
  int turn;               // degrees; 0 for the zoomed head
  const char* eastSize = nullptr;  // a plain head east of it
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class ZoomedAndTurned : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& layout = GetParam();
    head = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", layout.headSize});
    plain = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", layout.metaSize});
    ASSERT_TRUE(head->ok()) << head->error();
    ASSERT_TRUE(plain->ok()) << plain->error();
    std::vector<std::string> words{"noReset", "on", "options", "Tavel", "screen", head->display() + ".0",
                                   "borderWidth", "0"};
    words.insert(words.end(), layout.words.begin(), layout.words.end());
    if (layout.eastSize) {
      east = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", layout.eastSize});
      ASSERT_TRUE(east->ok()) << east->error();
      words.insert(words.end(), {"screen", east->display() + ".0", "borderWidth", "0"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    for (const std::string& name : {proxy->display(), plain->display()}) {
      clients.emplace_back(XOpenDisplay(name.c_str()));
      ASSERT_NE(clients.back(), nullptr) << name;
    }
  }

  std::unique_ptr<Xvfb> head, plain, east;
  std::unique_ptr<ProxyProcess> proxy;
  std::vector<DisplayPtr> clients;  // through the proxy, then the plain server
  TempDir dir;
};

// A 100x40 window with a border of 1 at 100,120, mapped, then only its
// width changed: GetGeometry answers as the plain server does.
TEST_P(ZoomedAndTurned, AResizedBorderedWindowStaysInPlace) {
  Geometry got[2];
  for (int i = 0; i < 2; i++) {
    Display* d = clients[i].get();
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 120, 100, 40, 1, 0, 0xffffff);
    XMapWindow(d, w);
    XWindowChanges changes{};
    changes.width = 124;
    XConfigureWindow(d, w, CWWidth, &changes);
    changes.height = 30;
    changes.border_width = 3;
    XConfigureWindow(d, w, CWHeight | CWBorderWidth, &changes);
    XSync(d, False);
    got[i] = geometryOf(d, w);
  }
  EXPECT_EQ(got[0], got[1]) << proxy->log();
}

// A bordered xterm (which sizes its window to its font after making it)
// stands where it stands on the plain server.
TEST_P(ZoomedAndTurned, ABorderedTerminalStandsInPlace) {
  std::string where[2];
  for (int i = 0; i < 2; i++) {
    std::string display = i == 0 ? proxy->display() : plain->display();
    std::string out = dir.file("where" + std::to_string(i));
    ProgramResult result = runProgram(
        {"xterm", "-bw", "2", "-geometry", "12x2+60+50", "-T", "placed", "-e", "sh", "-c",
         "xwininfo -name placed | grep -E 'Absolute|Width|Height|Border width' > " + out},
        display, 20000);
    ASSERT_EQ(result.status, 0) << result.err << proxy->log();
    where[i] = readFile(out);
  }
  EXPECT_NE(where[1], "");
  EXPECT_EQ(where[0], where[1]);
}

// A window manager redirects the root's substructure; a client's
// ConfigureWindow reaches it as a ConfigureRequest with the client's own
// value mask and values, on every head, turned or zoomed.
TEST_P(ZoomedAndTurned, AWindowManagerIsAskedWithTheClientsMask) {
  Request got[2][2];
  for (int i = 0; i < 2; i++) {
    Display* d = clients[i].get();
    DisplayPtr manager(XOpenDisplay(i == 0 ? proxy->display().c_str() : plain->display().c_str()));
    ASSERT_NE(manager, nullptr);
    XSelectInput(manager.get(), DefaultRootWindow(manager.get()), SubstructureRedirectMask);
    XSync(manager.get(), False);
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 120, 100, 40, 1, 0, 0xffffff);
    XWindowChanges changes{};
    changes.width = 124;
    XConfigureWindow(d, w, CWWidth, &changes);
    changes.x = 20;
    changes.border_width = 2;
    XConfigureWindow(d, w, CWX | CWBorderWidth, &changes);
    XSync(d, False);
    for (Request& request : got[i]) {
      XEvent event;
      ASSERT_TRUE(nextEvent(manager.get(), ConfigureRequest, &event)) << proxy->log();
      const XConfigureRequestEvent& e = event.xconfigurerequest;
      EXPECT_EQ(e.window, w);
      request = {e.value_mask, e.x, e.y, e.width, e.height, e.border_width};
    }
  }
  EXPECT_EQ(got[0][0], got[1][0]);
  EXPECT_EQ(got[0][1], got[1][1]);
}

// What a client reads back of its windows, as lines naming the windows:
// their geometry, coordinates translated between them, the pointer in a
// window, and the structure events of a move, two quick resizes (the
// second before the first one's events came), a child kept in its corner
// by its gravity and a reparent, all at odd positions and sizes. Without
// `gravity` the GravityNotify events are left out: a turned head's server
// moves the children by their gravity turned with it, and tells of those
// moves.
std::vector<std::string> readBack(Display* d, bool gravity) {
  Window root = DefaultRootWindow(d);
  std::vector<std::pair<Window, std::string>> names{{root, "root"}, {None, "none"}};
  auto name = [&](Window w) {
    for (auto& [id, text] : names)
      if (id == w) return text;
    return std::string("?");
  };
  std::vector<std::string> lines;
  auto line = [&](std::initializer_list<long> values, const std::string& what) {
    std::string text = what;
    for (long v : values) text += " " + std::to_string(v);
    lines.push_back(text);
  };
  XSelectInput(d, root, SubstructureNotifyMask);
  int farX = DisplayWidth(d, 0) - 987;  // on the plain head beside a zoomed one
  Window w1 = XCreateSimpleWindow(d, root, 13, 17, 151, 101, 1, 0, 0xffffff);
  Window w2 = XCreateSimpleWindow(d, root, farX, 301, 151, 101, 3, 0, 0xffffff);
  names.insert(names.end(), {{w1, "w1"}, {w2, "w2"}});
  XSelectInput(d, w1, StructureNotifyMask | SubstructureNotifyMask);
  XSetWindowAttributes a{};
  a.win_gravity = SouthEastGravity;
  Window child = XCreateWindow(d, w1, 5, 7, 21, 11, 0, CopyFromParent, InputOutput, CopyFromParent, CWWinGravity, &a);
  names.push_back({child, "child"});
  XSelectInput(d, child, StructureNotifyMask);
  XMapSubwindows(d, w1);
  XMapWindow(d, w1);
  XMapWindow(d, w2);
  XSync(d, False);
  for (Window w : {w1, child, w2, root}) {
    Geometry g = geometryOf(d, w);
    line({g.x, g.y, long(g.width), long(g.height), long(g.border)}, "geometry " + name(w));
  }
  struct Translation {
    Window from, to;
    int x, y;
  };
  // The third point lies in the child, on a zoomed-out head in the pixel
  // past its edge.
  for (const Translation& t : {Translation{child, root, 0, 0}, Translation{root, w1, 21, 27},
                               Translation{root, w1, 39, 25}, Translation{w1, w2, 3, 5},
                               Translation{root, w2, farX + 9, 311}}) {
    int x = 0, y = 0;
    Window under = None;
    XTranslateCoordinates(d, t.from, t.to, t.x, t.y, &x, &y, &under);
    line({x, y}, "translated " + name(t.from) + " " + name(t.to) + " " + name(under));
  }
  // Even positions (a zoomed-out head's pointer reaches only those) in
  // windows at odd ones.
  for (Window w : {child, w2}) {
    int x = 0, y = 0;
    Window under = None;
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &under);
    XWarpPointer(d, None, root, 0, 0, 0, 0, (x + 5) & ~1, (y + 3) & ~1);
    Window r;
    int rx, ry, wx, wy;
    unsigned mask;
    XQueryPointer(d, w, &r, &under, &rx, &ry, &wx, &wy, &mask);
    line({rx, ry, wx, wy}, "pointer " + name(w) + " " + name(under));
  }
  XMoveWindow(d, w1, 33, 45);
  XResizeWindow(d, w1, 161, 111);
  XResizeWindow(d, w1, 173, 119);
  XReparentWindow(d, child, w2, 9, 11);
  XSync(d, False);
  while (XPending(d)) {
    XEvent e;
    XNextEvent(d, &e);
    std::string to = name(e.xany.window);
    switch (e.type) {
      case CreateNotify:
        line({e.xcreatewindow.x, e.xcreatewindow.y, e.xcreatewindow.width, e.xcreatewindow.height,
              e.xcreatewindow.border_width},
             "create " + to + " " + name(e.xcreatewindow.window));
        break;
      case ConfigureNotify:
        line({e.xconfigure.x, e.xconfigure.y, e.xconfigure.width, e.xconfigure.height, e.xconfigure.border_width},
             "configure " + to + " " + name(e.xconfigure.window));
        break;
      case GravityNotify:
        if (gravity) line({e.xgravity.x, e.xgravity.y}, "gravity " + to + " " + name(e.xgravity.window));
        break;
      case ReparentNotify:
        line({e.xreparent.x, e.xreparent.y}, "reparent " + to + " " + name(e.xreparent.window));
        break;
      default:
        break;
    }
  }
  return lines;
}

int shapeError;
int noteShapeError(Display*, XErrorEvent* error) { return shapeError = error->error_code, 0; }

// What a client reads back of shapes at odd places: the extents and
// rectangles of each kind, unshaped and shaped (by rectangles with an
// offset, a move, another window's shape, a window made smaller, and a
// mask unless `mask` is false), the ShapeNotify events of all but the
// mask, and a list of rectangles not in the order it claims, which is
// refused with BadMatch.
std::vector<std::string> shapesReadBack(Display* d, bool mask) {
  int shapeEvent = 0, shapeError = 0;
  if (!XShapeQueryExtension(d, &shapeEvent, &shapeError)) return {"no SHAPE"};
  Window root = DefaultRootWindow(d);
  Window w1 = XCreateSimpleWindow(d, root, 13, 17, 151, 101, 1, 0, 0xffffff);
  Window w2 = XCreateSimpleWindow(d, root, DisplayWidth(d, 0) - 987, 301, 151, 101, 3, 0, 0xffffff);
  std::vector<std::string> lines;
  auto shapes = [&](const char* when) {
    for (Window w : {w1, w2}) {
      std::string text = std::string(when) + (w == w1 ? " w1" : " w2");
      Bool shaped[2];
      int x[2], y[2];
      unsigned width[2], height[2];
      XShapeQueryExtents(d, w, &shaped[0], &x[0], &y[0], &width[0], &height[0], &shaped[1], &x[1], &y[1], &width[1],
                         &height[1]);
      for (int k = 0; k < 2; k++) text += " " + rectanglesText(x[k], y[k], width[k], height[k], shaped[k]);
      for (int kind : {ShapeBounding, ShapeClip, ShapeInput}) {
        int count = 0, ordering = 0;
        XRectangle* r = XShapeGetRectangles(d, w, kind, &count, &ordering);
        text += " |" + std::to_string(ordering);
        for (int i = 0; i < count; i++) text += " " + rectanglesText(r[i].x, r[i].y, r[i].width, r[i].height, 1);
        XFree(r);
      }
      lines.push_back(text);
    }
  };
  shapes("unshaped");
  for (Window w : {w1, w2}) XShapeSelectInput(d, w, ShapeNotifyMask);
  XRectangle odd[] = {{3, 5, 27, 31}, {41, 9, 13, 17}}, inside{7, 3, 101, 77};
  XShapeCombineRectangles(d, w1, ShapeBounding, 1, 1, odd, 2, ShapeSet, Unsorted);
  XShapeCombineRectangles(d, w2, ShapeBounding, 0, 0, odd, 2, ShapeSet, Unsorted);
  XShapeCombineRectangles(d, w1, ShapeClip, 0, 0, &inside, 1, ShapeSet, YXBanded);
  XShapeCombineRectangles(d, w2, ShapeInput, 0, 0, &inside, 1, ShapeSet, YXBanded);
  XShapeOffsetShape(d, w1, ShapeBounding, 3, 1);
  XShapeCombineShape(d, w2, ShapeBounding, 5, 3, w1, ShapeClip, ShapeUnion);
  XResizeWindow(d, w2, 77, 55);
  shapeError = 0;
  XSync(d, False);
  auto* previous = XSetErrorHandler(noteShapeError);
  XRectangle unordered[] = {{20, 20, 5, 5}, {10, 10, 5, 5}};
  XShapeCombineRectangles(d, w1, ShapeClip, 0, 0, unordered, 2, ShapeUnion, YXBanded);
  XSync(d, False);
  XSetErrorHandler(previous);
  lines.push_back("error " + std::to_string(shapeError));
  XEvent e;
  while (XCheckTypedEvent(d, shapeEvent + ShapeNotify, &e)) {
    const auto& s = *reinterpret_cast<XShapeEvent*>(&e);
    lines.push_back(std::string("notify ") + (s.window == w1 ? "w1 " : "w2 ") + std::to_string(s.kind) + " " +
                    rectanglesText(s.x, s.y, s.width, s.height, s.shaped));
  }
  // The mask's shape is read from a head after its event went out: a
  // zoomed-out head's event gives the mask's extents at that head's pixels.
  if (mask) {
    static char bits[] = {0x01, 0x00, 0x06, 0x10, 0x0e, 0x18, 0x00, 0x1c, 0x30, 0x0c, 0x40, 0x00, 0x00, 0x10};
    Pixmap bitmap = XCreateBitmapFromData(d, root, bits, 13, 7);
    XShapeCombineMask(d, w1, ShapeInput, 9, 11, bitmap, ShapeSet);
    XFreePixmap(d, bitmap);
  }
  shapes("shaped");
  return lines;
}

// What a client reads back of its windows is what a plain server of the
// meta screen's size answers: on a zoomed-out head nothing is rounded to
// the head's pixels. A mask's shape is read from the colour head, so a
// zoomed-out one cannot give it exactly.
TEST_P(ZoomedAndTurned, WindowsReadBackWhatTheyWereGiven) {
  std::vector<std::string> got[2];
  for (int i = 0; i < 2; i++) got[i] = readBack(clients[i].get(), GetParam().turn == 0);
  EXPECT_EQ(got[0], got[1]) << proxy->log();
  bool mask = std::string(GetParam().name).find("ZoomedOut") != 0;
  for (int i = 0; i < 2; i++) got[i] = shapesReadBack(clients[i].get(), mask);
  EXPECT_EQ(got[0], got[1]) << proxy->log();
}

// xdpyinfo shows the meta screen's size in pixels, millimetres and dots
// per inch: on an unzoomed head, those of a plain server of that size.
TEST_P(ZoomedAndTurned, TheScreenHasThePlainServersMillimetres) {
  if (!GetParam().sameMillimetres) GTEST_SKIP() << "a zoomed head changes the resolution";
  EXPECT_EQ(screenSize(proxy->display()), screenSize(plain->display()));
  EXPECT_EQ(DisplayWidthMM(clients[0].get(), 0), DisplayWidthMM(clients[1].get(), 0));
  EXPECT_EQ(DisplayHeightMM(clients[0].get(), 0), DisplayHeightMM(clients[1].get(), 0));
}

// A 13x7 tile whose pattern shows any turn or shift of it.
Pixmap patternTile(Display* display, Window root) {
  static char bits[] = {0x01, 0x00, 0x06, 0x10, 0x0e, 0x18, 0x00, 0x1c, 0x30, 0x0c, 0x40, 0x00, 0x00, 0x10};
  return XCreatePixmapFromBitmapData(display, root, bits, 13, 7, 0xffd000, 0x2040c0, 24);
}

// Windows for a window manager to decorate: a background pixel with a
// border, shaped by rectangles and moved, a background tile with a tile
// border and a child of ParentRelative background, and a tiled window made
// smaller once shown.
void showBackgrounds(Display* display) {
  Window root = DefaultRootWindow(display);
  Pixmap tile = patternTile(display, root);
  XSetWindowAttributes a{};
  a.background_pixel = 0xc04040, a.border_pixel = 0x2040c0;
  Window plain = XCreateWindow(display, root, 30, 40, 120, 80, 3, CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixel | CWBorderPixel, &a);
  a.background_pixmap = a.border_pixmap = tile;
  Window tiled = XCreateWindow(display, root, 200, 60, 150, 90, 5, CopyFromParent, InputOutput, CopyFromParent,
                               CWBackPixmap | CWBorderPixmap, &a);
  a.background_pixmap = ParentRelative;
  XCreateWindow(display, tiled, 30, 20, 60, 40, 0, CopyFromParent, InputOutput, CopyFromParent, CWBackPixmap, &a);
  a.background_pixmap = tile;
  Window shrunk = XCreateWindow(display, root, 400, 220, 101, 61, 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWBackPixmap, &a);
  XMapSubwindows(display, tiled);
  XRectangle cut[] = {{-3, -3, 50, 40}, {60, 20, 30, 50}};
  XShapeCombineRectangles(display, plain, ShapeBounding, 2, 1, cut, 2, ShapeSet, Unsorted);
  XShapeOffsetShape(display, plain, ShapeBounding, 5, 3);
  for (Window w : {plain, tiled, shrunk}) XMapWindow(display, w);
  XSync(display, False);
  XResizeWindow(display, shrunk, 70, 50);
  XFreePixmap(display, tile);
  XSync(display, False);
}

// The root image once three in a row are the same (the programs have
// drawn), at most fifteen seconds.
XwdImage settledRoot(const std::string& display, const std::string& file) {
  XwdImage last = rootXwd(display, file);
  for (int same = 0, i = 0; same < 3 && i < 60; i++) {
    poll(nullptr, 0, 250);
    XwdImage next = rootXwd(display, file);
    same = next.width == last.width && countDifferences(next, 0, 0, last, 0, 0, next.width, next.height) == 0
               ? same + 1
               : 0;
    last = next;
  }
  return last;
}

// Windows with backgrounds and borders of pixels, tiles and ParentRelative,
// and twm's decorations (its title highlight a tile it frees once the
// window has it): the turned head shows, turned, what the plain server
// shows.
TEST_P(ZoomedAndTurned, BackgroundsBordersAndDecorationsLookAsOnThePlainServer) {
  int turn = GetParam().turn;
  if (!turn) GTEST_SKIP() << "a zoomed head resamples";
  XwdImage images[2];  // the head's root, the plain server's
  for (size_t i = 0; i < 2; i++) {
    Display* display = clients[i].get();
    const std::string& name = i ? plain->display() : proxy->display();
    ASSERT_EQ(runProgram({"xsetroot", "-solid", "#808080"}, name).status, 0);
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 260, 100);
    showBackgrounds(display);
    BackgroundProgram wm({"twm"}, name);
    ASSERT_TRUE(wm.ok());
    ASSERT_EQ(runProgramUntil({"xwininfo", "-root", "-tree"}, name, "TWM Icon Manager").status, 0);
    images[i] = settledRoot(i ? plain->display() : head->display(), dir.file("root.xwd"));
  }
  const XwdImage& turned = images[0];
  const XwdImage& expected = images[1];
  ASSERT_EQ(expected.width * expected.height, turned.width * turned.height);
  int w = expected.width, h = expected.height;
  long differ = 0;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      int hx = turn == 90 ? y : turn == 180 ? w - 1 - x : h - 1 - y;
      int hy = turn == 90 ? w - 1 - x : turn == 180 ? h - 1 - y : x;
      differ += turned.at(hx, hy) != expected.at(x, y);
    }
  }
  EXPECT_EQ(differ, 0) << "of " << w * h << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(
    Heads, ZoomedAndTurned,
    ::testing::Values(Layout{"Zoomed", "640x480x24", "320x240x24", {"clipGeometry", "320x240+0+0"}, false, 0},
                      Layout{"Quarter", "480x640x24", "640x480x24", {"rotation", "quarter"}, true, 90},
                      Layout{"Half", "640x480x24", "640x480x24", {"rotation", "half"}, true, 180},
                      Layout{"ThreeQuarters", "480x640x24", "640x480x24", {"rotation", "threeQuarters"}, true, 270},
                      Layout{"ZoomedOut", "800x600x24", "1600x1200x24", {"clipGeometry", "1600x1200+0+0"}, false, 0},
                      Layout{"ZoomedOutBesidePlain",
                             "800x600x24",
                             "3200x1200x24",
                             {"clipGeometry", "1600x1200+0+0"},
                             false,
                             0,
                             "1600x1200x24"}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
