// Colour cells through the proxy program on one and two real 8-bit servers:
// every pixel a client is given shows the same colour on every server, a
// client's cells go when it goes (or is killed), an allocation one server
// refuses leaves nothing behind, and colormaps of an emulated visual are
// kept by the proxy.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrender.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/strings.h"
#include "support/proxyprocess.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwindows.h"

namespace palvon::test {
namespace {


// X errors of the colour requests (78 to 92) and of KillClient: the last
// code and the count. Others (a default GC Xlib makes when it opens a
// display) are not what these tests look at.
struct ErrorCount {
  int last = 0;
  int count = 0;
};
ErrorCount errors;
int countError(Display*, XErrorEvent* event) {
  bool colour = event->request_code >= X_CreateColormap && event->request_code <= X_LookupColor;
  if (colour || event->request_code == X_KillClient || event->request_code == X_SetCloseDownMode) {
    errors.last = event->error_code;
    errors.count++;
  }
  return 0;
}

// Free cells of a server's colormap: taken from a connection of the test's
// own and given back.
u32 freeCells(const Xvfb& server, Colormap colormap) {
  Display* d = XOpenDisplay(server.display().c_str());
  if (!d) return 0;
  if (!colormap) colormap = DefaultColormap(d, 0);
  u32 count = 0;
  unsigned long pixel;
  while (XAllocColorCells(d, colormap, False, nullptr, 0, &pixel, 1)) count++;
  XCloseDisplay(d);
  return count;
}

std::vector<unsigned long> freeList(const Xvfb& server) {
  Display* d = XOpenDisplay(server.display().c_str());
  std::vector<unsigned long> out;
  unsigned long pixel;
  while (XAllocColorCells(d, DefaultColormap(d, 0), False, nullptr, 0, &pixel, 1)) out.push_back(pixel);
  XCloseDisplay(d);
  std::sort(out.begin(), out.end());
  return out;
}

struct HeadColour {
  unsigned long pixel;
  u16 red, green, blue;  // 8 significant bits, as the servers keep them
};

class ColourHeads : public ::testing::Test {
 protected:
  // One Xvfb per spec, a head each, side by side; extra words follow.
  void start(const std::vector<std::string>& specs, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> words{"noReset", "on"};
    for (const std::string& spec : specs) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", spec}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    }
    startProxy(words, extra);
  }
  void startProxy(std::vector<std::string> words, const std::vector<std::string>& extra) {
    for (auto& s : servers) words.insert(words.end(), {"screen", s->display() + ".0"});
    words.insert(words.end(), extra.begin(), extra.end());
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    client = open();
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    for (Display* d : opened) XCloseDisplay(d);
  }
  Display* open() {
    XSetErrorHandler(countError);
    Display* d = XOpenDisplay(proxy->display().c_str());
    if (d) opened.push_back(d);
    return d;
  }
  Display* direct(size_t i) {
    Display* d = XOpenDisplay(servers[i]->display().c_str());
    if (d) opened.push_back(d);
    return d;
  }
  // The colormap that stands for a proxy colormap on server i: installed
  // through the proxy, it is the one the server lists.
  Colormap onServer(size_t i, Colormap colormap) {
    XInstallColormap(client, colormap);
    XSync(client, False);
    Display* d = direct(i);
    int count = 0;
    Colormap* list = XListInstalledColormaps(d, DefaultRootWindow(d), &count);
    Colormap found = count ? list[0] : 0;
    if (list) XFree(list);
    return found;
  }
  std::vector<HeadColour> coloursOn(size_t i, Colormap colormap, const std::vector<unsigned long>& pixels) {
    Colormap there = onServer(i, colormap);
    Display* d = direct(i);
    std::vector<XColor> query(pixels.size());
    for (size_t k = 0; k < pixels.size(); k++) query[k].pixel = pixels[k];
    XQueryColors(d, there, query.data(), int(query.size()));
    std::vector<HeadColour> out;
    for (const XColor& c : query) out.push_back({c.pixel, u16(c.red >> 8), u16(c.green >> 8), u16(c.blue >> 8)});
    return out;
  }
  // Every server shows each pixel as the client sees it through the proxy
  // (within `slack` 8-bit steps, for cells a server could only share).
  void expectSameEverywhere(Colormap colormap, const std::vector<XColor>& cells, u16 slack = 0) {
    std::vector<XColor> seen(cells);
    XQueryColors(client, colormap, seen.data(), int(seen.size()));
    std::vector<unsigned long> pixels;
    for (const XColor& c : cells) pixels.push_back(c.pixel);
    for (size_t i = 0; i < servers.size(); i++) {
      std::vector<HeadColour> got = coloursOn(i, colormap, pixels);
      for (size_t k = 0; k < cells.size(); k++) {
        EXPECT_NEAR(got[k].red, seen[k].red >> 8, slack) << "server " << i << " pixel " << pixels[k];
        EXPECT_NEAR(got[k].green, seen[k].green >> 8, slack) << "server " << i << " pixel " << pixels[k];
        EXPECT_NEAR(got[k].blue, seen[k].blue >> 8, slack) << "server " << i << " pixel " << pixels[k];
      }
    }
  }
  // The proxy's 8-bit PseudoColor visual (an emulating head's); an empty
  // record when it has none.
  XVisualInfo pseudoColor8() {
    XVisualInfo wanted{};
    wanted.c_class = PseudoColor;
    wanted.depth = 8;
    int found = 0;
    XVisualInfo* info = XGetVisualInfo(client, VisualClassMask | VisualDepthMask, &wanted, &found);
    XVisualInfo out = found ? info[0] : XVisualInfo{};
    if (info) XFree(info);
    return out;
  }
  // Writable cells, each given a colour of its own; the stored colours.
  std::vector<XColor> cellsWithColours(Colormap colormap, bool planes) {
    std::vector<unsigned long> pixels(2);
    std::vector<unsigned long> cells;
    if (planes) {
      unsigned long red, green, blue;
      EXPECT_TRUE(XAllocColorPlanes(client, colormap, False, pixels.data(), 2, 1, 1, 1, &red, &green, &blue));
      for (unsigned long p : pixels)
        for (unsigned long m = 0; m < 8; m++)
          cells.push_back(p | ((m & 1) ? red : 0) | ((m & 2) ? green : 0) | ((m & 4) ? blue : 0));
    } else {
      unsigned long masks[2];
      EXPECT_TRUE(XAllocColorCells(client, colormap, True, masks, 2, pixels.data(), 2));
      for (unsigned long p : pixels)
        for (unsigned long m = 0; m < 4; m++) cells.push_back(p | ((m & 1) ? masks[0] : 0) | ((m & 2) ? masks[1] : 0));
    }
    std::vector<XColor> colours;
    for (size_t k = 0; k < cells.size(); k++) {
      u16 v = u16(0x1000 + 0x0b00 * k);
      colours.push_back({cells[k], v, u16(0xffff - v), u16(v ^ 0x5500), DoRed | DoGreen | DoBlue, 0});
    }
    XStoreColors(client, colormap, colours.data(), int(colours.size()));
    XSync(client, False);
    return colours;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  Display* client = nullptr;
  std::vector<Display*> opened;
};

// --- The same colours everywhere ---------------------------------------------------------

struct Layout {
  const char* name;
  std::vector<std::string> specs;
  bool heldOnSecond;  // a client of the second server's own holds cells there
};

class SameColours : public ColourHeads, public ::testing::WithParamInterface<Layout> {};

TEST_P(SameColours, OnEveryServerForEveryKindOfCell) {
  const Layout& layout = GetParam();
  for (const std::string& spec : layout.specs) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", spec}));
    ASSERT_TRUE(servers.back()->ok());
  }
  XColor orange{0, 0xffff, 0xa5a5, 0, DoRed | DoGreen | DoBlue, 0};
  if (layout.heldOnSecond) {
    // The servers would hand out other pixels for orange: the second's
    // first free cell is free, its second holds orange for a client of its
    // own; the first server's second cell is held too, so that neither
    // hands that one out.
    for (size_t i = 0; i < 2; i++) {
      Display* other = direct(i);
      Colormap colormap = DefaultColormap(other, 0);
      unsigned long first, second;
      ASSERT_TRUE(XAllocColorCells(other, colormap, False, nullptr, 0, &first, 1));
      if (i == 0) {
        ASSERT_TRUE(XAllocColorCells(other, colormap, False, nullptr, 0, &second, 1));
      } else {
        XColor held = orange;
        ASSERT_TRUE(XAllocColor(other, colormap, &held));
      }
      XFreeColors(other, colormap, &first, 1, 0);
      XSync(other, False);
    }
  }
  startProxy({"noReset", "on"}, {});
  if (HasFatalFailure()) return;
  Colormap fresh = XCreateColormap(client, DefaultRootWindow(client), DefaultVisual(client, 0), AllocNone);
  for (Colormap colormap : {DefaultColormap(client, 0), fresh}) {
    SCOPED_TRACE(colormap == fresh ? "new colormap" : "default colormap");
    // Orange first: the first free cell, which the second server has to be
    // talked into.
    XColor shared = orange;
    ASSERT_TRUE(XAllocColor(client, colormap, &shared));
    std::vector<XColor> cells = cellsWithColours(colormap, false);
    std::vector<XColor> seen(cells);
    XQueryColors(client, colormap, seen.data(), int(seen.size()));
    for (size_t k = 0; k < cells.size(); k++) EXPECT_EQ(seen[k].green >> 8, cells[k].green >> 8) << cells[k].pixel;
    expectSameEverywhere(colormap, cells);
    // Planes of a PseudoColor colormap link each channel to its planes:
    // what counts is that every server links them alike.
    expectSameEverywhere(colormap, cellsWithColours(colormap, true));
    XColor exact, named;
    ASSERT_TRUE(XAllocNamedColor(client, colormap, "sky blue", &named, &exact));
    // A server that shares another cell of the colour gets a near one.
    expectSameEverywhere(colormap, {shared, named}, layout.heldOnSecond ? 2 : 0);
  }
  EXPECT_EQ(errors.count, 0);
}

const Layout kLayouts[] = {
    {"OneServer", {"320x200x8"}, false},
    {"TwoServers", {"320x200x8", "320x200x8"}, false},
    {"SecondPartlyTaken", {"320x200x8", "320x200x8"}, true},
};

INSTANTIATE_TEST_SUITE_P(Layouts, SameColours, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<Layout>& info) { return info.param.name; });

// --- Cells that go ----------------------------------------------------------------------

TEST_F(ColourHeads, ARefusedRepetitionIsBadAllocAndLeavesNoCell) {
  start({"320x200x8", "320x200x8"});
  Colormap colormap = DefaultColormap(client, 0);
  XColor probe{0, 0x3030, 0x3030, 0x3030, DoRed | DoGreen | DoBlue, 0};
  ASSERT_TRUE(XAllocColor(client, colormap, &probe));
  unsigned long pixel = probe.pixel;
  XFreeColors(client, colormap, &pixel, 1, 0);
  XSync(client, False);
  // The second server's own client holds that very cell read-write.
  Display* other = direct(1);
  std::vector<unsigned long> taken;
  unsigned long cell = 0;
  while (XAllocColorCells(other, DefaultColormap(other, 0), False, nullptr, 0, &cell, 1) && cell != pixel)
    taken.push_back(cell);
  ASSERT_EQ(cell, pixel);
  if (!taken.empty()) XFreeColors(other, DefaultColormap(other, 0), taken.data(), int(taken.size()), 0);
  XSync(other, False);
  u32 before[2] = {freeCells(*servers[0], 0), freeCells(*servers[1], 0)};
  std::vector<unsigned long> list1 = freeList(*servers[1]);
  errors = {};
  XColor again = probe;
  EXPECT_FALSE(XAllocColor(client, colormap, &again));
  XSync(client, False);
  EXPECT_TRUE(proxy->waitForLog("Can't alloc pixel", 20000));
  // The proxy's own connection frees what it juggled; the server takes
  // that in its own time.
  waitFor([&] { return freeCells(*servers[1], 0) == before[1]; }, 10000, 20);
  EXPECT_EQ(freeCells(*servers[0], 0), before[0]);
  EXPECT_EQ(freeCells(*servers[1], 0), before[1]);
  std::vector<unsigned long> list2 = freeList(*servers[1]);
  for (unsigned long p : list1) if (std::find(list2.begin(), list2.end(), p) == list2.end()) ADD_FAILURE() << "lost " << p;
}

TEST_F(ColourHeads, AClientsCellsGoWithItOnEveryServer) {
  start({"320x200x8", "320x200x8"});
  u32 before[2] = {freeCells(*servers[0], 0), freeCells(*servers[1], 0)};
  Display* leaving = open();
  ASSERT_NE(leaving, nullptr);
  unsigned long pixels[3], masks[1];
  ASSERT_TRUE(XAllocColorCells(leaving, DefaultColormap(leaving, 0), False, masks, 1, pixels, 3));
  XColor colour{0, 0x1111, 0x2222, 0x3333, DoRed | DoGreen | DoBlue, 0};
  ASSERT_TRUE(XAllocColor(leaving, DefaultColormap(leaving, 0), &colour));
  XSync(leaving, False);
  EXPECT_EQ(freeCells(*servers[1], 0), before[1] - 7);
  opened.erase(std::find(opened.begin(), opened.end(), leaving));
  XCloseDisplay(leaving);
  XSync(client, False);
  waitFor([&] { return freeCells(*servers[1], 0) == before[1]; }, 10000, 20);
  EXPECT_EQ(freeCells(*servers[0], 0), before[0]);
  EXPECT_EQ(freeCells(*servers[1], 0), before[1]);
}

TEST_F(ColourHeads, AStandardColormapIsTheSameEverywhere) {
  start({"320x200x8", "320x200x8"});
  u32 before = freeCells(*servers[1], 0);
  ProgramResult made = runProgram({"xstdcmap", "-default"}, proxy->display());
  ASSERT_EQ(made.status, 0) << made.err;
  XStandardColormap* maps = nullptr;
  int count = 0;
  ASSERT_TRUE(XGetRGBColormaps(client, DefaultRootWindow(client), &maps, &count, XA_RGB_DEFAULT_MAP));
  ASSERT_GE(count, 1);
  const XStandardColormap& cube = maps[0];
  std::vector<unsigned long> pixels;
  for (unsigned long r = 0; r <= cube.red_max; r++)
    for (unsigned long g = 0; g <= cube.green_max; g++)
      for (unsigned long b = 0; b <= cube.blue_max; b++)
        pixels.push_back(cube.base_pixel + r * cube.red_mult + g * cube.green_mult + b * cube.blue_mult);
  XFree(maps);
  ASSERT_GT(pixels.size(), 8u);
  std::vector<HeadColour> first = coloursOn(0, DefaultColormap(client, 0), pixels);
  std::vector<HeadColour> second = coloursOn(1, DefaultColormap(client, 0), pixels);
  for (size_t k = 0; k < pixels.size(); k++) {
    EXPECT_EQ(first[k].red, second[k].red) << pixels[k];
    EXPECT_EQ(first[k].green, second[k].green) << pixels[k];
    EXPECT_EQ(first[k].blue, second[k].blue) << pixels[k];
  }
  // The cube's cells stay with the retained client.
  EXPECT_LE(freeCells(*servers[1], 0) + pixels.size(), before);
}

// A client that went in RetainPermanent mode keeps its cells until another
// client kills it through one of its resources.
TEST_F(ColourHeads, AKilledRetainedClientLeavesNoCells) {
  start({"320x200x8", "320x200x8"});
  u32 before[2] = {freeCells(*servers[0], 0), freeCells(*servers[1], 0)};
  Display* retained = open();
  ASSERT_NE(retained, nullptr);
  unsigned long pixels[2], masks[2];
  ASSERT_TRUE(XAllocColorCells(retained, DefaultColormap(retained, 0), True, masks, 2, pixels, 2));
  XColor colour{0, 0x4444, 0x5555, 0x6666, DoRed | DoGreen | DoBlue, 0};
  ASSERT_TRUE(XAllocColor(retained, DefaultColormap(retained, 0), &colour));
  Colormap handle = XCreateColormap(retained, DefaultRootWindow(retained), DefaultVisual(retained, 0), AllocNone);
  XSetCloseDownMode(retained, RetainPermanent);
  XSync(retained, False);
  opened.erase(std::find(opened.begin(), opened.end(), retained));
  XCloseDisplay(retained);
  XSync(client, False);
  // Time on purpose, briefly: cells the proxy wrongly let go with the
  // connection would be free by then.
  usleep(100000);
  EXPECT_EQ(freeCells(*servers[1], 0), before[1] - 9);
  errors = {};
  XKillClient(client, handle);
  XSync(client, False);
  EXPECT_EQ(errors.count, 0);
  waitFor([&] { return freeCells(*servers[1], 0) == before[1]; }, 10000, 20);
  EXPECT_EQ(freeCells(*servers[0], 0), before[0]);
  EXPECT_EQ(freeCells(*servers[1], 0), before[1]);
}

// --- What the proxy refuses or keeps to itself ---------------------------------------------

TEST_F(ColourHeads, StaticCellsDefaultColormapAndInstalledList) {
  start({"320x200x8"});
  XVisualInfo wanted{};
  wanted.c_class = StaticColor;
  wanted.depth = 8;
  int found = 0;
  XVisualInfo* info = XGetVisualInfo(client, VisualClassMask | VisualDepthMask, &wanted, &found);
  ASSERT_GT(found, 0);
  Colormap fixed = XCreateColormap(client, DefaultRootWindow(client), info[0].visual, AllocNone);
  XFree(info);
  errors = {};
  XColor colour{1, 0x1000, 0x2000, 0x3000, DoRed | DoGreen | DoBlue, 0};
  XStoreColor(client, fixed, &colour);
  XSync(client, False);
  EXPECT_EQ(errors.last, BadAccess);

  errors = {};
  size_t logged = proxy->log().size();
  XFreeColormap(client, DefaultColormap(client, 0));
  XSync(client, False);
  EXPECT_EQ(errors.count, 0);
  EXPECT_TRUE(proxy->waitForLog("No effect for default colormap", 20000, logged));

  Colormap mine = XCreateColormap(client, DefaultRootWindow(client), DefaultVisual(client, 0), AllocNone);
  XInstallColormap(client, mine);
  int count = 0;
  Colormap* list = XListInstalledColormaps(client, DefaultRootWindow(client), &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(list[0], mine);
  XFree(list);
}

// --- Emulated visuals ------------------------------------------------------------------------

TEST_F(ColourHeads, AnEmulatedVisualIsAnsweredByTheProxyAndShownOnEveryServer) {
  for (int i = 0; i < 2; i++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "320x200x24"}));
    ASSERT_TRUE(servers.back()->ok());
  }
  // The emulation words follow each head's screen statement.
  std::vector<std::string> words{"noReset", "on"};
  for (auto& s : servers) words.insert(words.end(), {"screen", s->display() + ".0", "emulateVisuals", "PseudoColor:8"});
  proxy = std::make_unique<ProxyProcess>(words);
  ASSERT_TRUE(proxy->ok()) << proxy->log();
  client = open();
  ASSERT_NE(client, nullptr);
  XVisualInfo info = pseudoColor8();
  ASSERT_NE(info.visual, nullptr) << proxy->log();
  // As a plain server lists PseudoColor: the channels are the head's.
  EXPECT_EQ(info.red_mask | info.green_mask | info.blue_mask, 0u);
  Colormap colormap = XCreateColormap(client, DefaultRootWindow(client), info.visual, AllocNone);
  std::vector<XColor> stored = cellsWithColours(colormap, false);
  XColor shared{0, 0x8000, 0x4000, 0x2000, DoRed | DoGreen | DoBlue, 0};
  ASSERT_TRUE(XAllocColor(client, colormap, &shared));
  stored.push_back(shared);
  // The servers show emulated pixel p as p in every channel of a
  // DirectColor colormap.
  for (size_t i = 0; i < servers.size(); i++) {
    Display* d = direct(i);
    Colormap there = onServer(i, colormap);
    for (const XColor& c : stored) {
      XColor q{};
      q.pixel = c.pixel * 0x010101;
      XQueryColor(d, there, &q);
      EXPECT_EQ(q.red >> 8, c.red >> 8) << "server " << i << " pixel " << c.pixel;
      EXPECT_EQ(q.blue >> 8, c.blue >> 8) << "server " << i << " pixel " << c.pixel;
    }
  }
  EXPECT_EQ(errors.count, 0);
}

// The emulating head first, an 8-bit server beside it: the proxy answers
// for the default colormap, the 8-bit server shows every cell a client
// gets in the client's colour, and a client's cells are free again once
// it has left, round after round.
TEST_F(ColourHeads, AnEmulatedDefaultColormapIsShownBesideAndFreedWithItsClients) {
  for (const char* spec : {"320x200x24", "320x200x8"}) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", spec}));
    ASSERT_TRUE(servers.back()->ok());
  }
  std::vector<std::string> words{"noReset", "on", "screen", servers[0]->display() + ".0", "emulateVisuals",
                                 "PseudoColor:8", "screen", servers[1]->display() + ".0"};
  proxy = std::make_unique<ProxyProcess>(words);
  ASSERT_TRUE(proxy->ok()) << proxy->log();
  client = open();
  ASSERT_NE(client, nullptr);
  u32 freeBefore = freeCells(*servers[1], 0);
  for (int round = 0; round < 3; round++) {
    Display* leaving = open();
    ASSERT_NE(leaving, nullptr);
    std::vector<XColor> cells;
    for (int k = 0; k < 150; k++) {
      // Other colours every round: nothing left behind is shared.
      XColor c{0, u16(k * 397), u16(0x1000 + round * 0x5000), u16(0xffff - k * 211), DoRed | DoGreen | DoBlue, 0};
      if (XAllocColor(leaving, DefaultColormap(leaving, 0), &c)) cells.push_back(c);
    }
    ASSERT_EQ(cells.size(), 150u) << "round " << round;
    std::vector<unsigned long> pixels;
    for (const XColor& c : cells) pixels.push_back(c.pixel);
    std::vector<HeadColour> shown = coloursOn(1, DefaultColormap(client, 0), pixels);
    for (size_t k = 0; k < cells.size(); k++) {
      EXPECT_EQ(shown[k].red, cells[k].red >> 8) << "pixel " << pixels[k];
      EXPECT_EQ(shown[k].green, cells[k].green >> 8) << "pixel " << pixels[k];
    }
    opened.erase(std::find(opened.begin(), opened.end(), leaving));
    XCloseDisplay(leaving);
    // The 8-bit server has the cells free again once the proxy took in
    // the client's end.
    EXPECT_TRUE(waitFor([&] { return freeCells(*servers[1], 0) == freeBefore; }, 10000)) << "round " << round;
  }
  EXPECT_EQ(errors.count, 0);
}

// A plain server's cursor takes its two colours in a colormap installed
// under it (once it draws the cursor again): a private colormap that its
// client never filled shows them at its first cells, which stay free; a
// cursor made of an image takes black and white. The emulating head alone
// (a red and blue cursor of bitmaps) and beside an 8-bit server (a cursor
// of an image), read through the proxy and through each server's
// installed colormap.
TEST_F(ColourHeads, AnInstalledEmulatedColormapTakesTheCursorsColours) {
  for (bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "beside an 8-bit server" : "alone");
    std::vector<std::string> specs{"320x200x24"};
    if (beside) specs.push_back("320x200x8");
    servers.clear();
    for (const std::string& spec : specs) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", spec}));
      ASSERT_TRUE(servers.back()->ok());
    }
    std::vector<std::string> words{"noReset", "on", "screen", servers[0]->display() + ".0", "emulateVisuals",
                                   "PseudoColor:8"};
    if (beside) words.insert(words.end(), {"screen", servers[1]->display() + ".0"});
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    client = open();
    ASSERT_NE(client, nullptr);
    // The pointer starts in the middle of the screen, on the 8-bit server,
    // whose own cursor would take its cells in that server's copy; a plain
    // server has one cursor, the proxy's, shown on the emulating head.
    ASSERT_TRUE(warpPointerTo(proxy->display().c_str(), 100, 100));
    Visual* visual = pseudoColor8().visual;
    ASSERT_NE(visual, nullptr) << proxy->log();
    Window root = DefaultRootWindow(client);
    if (beside) {
      XRenderPictFormat* argb = XRenderFindStandardFormat(client, PictStandardARGB32);
      Pixmap image = XCreatePixmap(client, root, 16, 16, 32);
      Picture picture = XRenderCreatePicture(client, image, argb, 0, nullptr);
      XRenderColor green{0, 0xffff, 0, 0xffff};
      XRenderFillRectangle(client, PictOpSrc, picture, &green, 0, 0, 16, 16);
      XDefineCursor(client, root, XRenderCreateCursor(client, picture, 0, 0));
    } else {
      const char bits[32] = {0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f, 0x0f};
      Pixmap bitmap = XCreateBitmapFromData(client, root, bits, 16, 16);
      XColor red{0, 0xffff, 0, 0, DoRed | DoGreen | DoBlue, 0}, blue{0, 0, 0, 0xffff, DoRed | DoGreen | DoBlue, 0};
      XDefineCursor(client, root, XCreatePixmapCursor(client, bitmap, bitmap, &red, &blue, 0, 0));
    }
    Colormap map = XCreateColormap(client, root, visual, AllocNone);
    std::vector<std::vector<u16>> expected{{0xff, 0, 0}, {0, 0, 0xff}, {0, 0, 0}};
    if (beside) expected = {{0, 0, 0}, {0xff, 0xff, 0xff}, {0, 0, 0}};
    std::vector<XColor> seen(3);
    for (size_t k = 0; k < seen.size(); k++) seen[k].pixel = k;
    XInstallColormap(client, map);
    XQueryColors(client, map, seen.data(), int(seen.size()));
    for (size_t k = 0; k < seen.size(); k++)
      EXPECT_EQ((std::vector<u16>{u16(seen[k].red >> 8), u16(seen[k].green >> 8), u16(seen[k].blue >> 8)}), expected[k])
          << "pixel " << k;
    // Each server's installed colormap (installed again, which changes
    // nothing); the emulating server shows pixel p as p in every channel.
    for (size_t i = 0; i < servers.size(); i++) {
      unsigned long step = i == 0 ? 0x010101 : 1;
      std::vector<HeadColour> shown = coloursOn(i, map, {0, step, 2 * step});
      for (size_t k = 0; k < shown.size(); k++)
        EXPECT_EQ((std::vector<u16>{shown[k].red, shown[k].green, shown[k].blue}), expected[k])
            << "server " << i << " pixel " << k;
    }
    // The cells are still free, as a plain server leaves them.
    std::vector<unsigned long> all(256);
    EXPECT_TRUE(XAllocColorCells(client, map, False, nullptr, 0, all.data(), 256));
    for (Display* open : opened) XCloseDisplay(open);
    opened.clear();
  }
  EXPECT_EQ(errors.count, 0);
}

}  // namespace
}  // namespace palvon::test
