// Programs of a widget toolkit through the proxy program, in the default
// configuration, on one head and on two side by side: a GTK 3 and a Qt 5
// program start and map their windows, and xdpyinfo reads every extension
// the proxy lists to the end; rendercheck and programs on heads of
// different depths.
// All ask extensions for their versions at start-up and drop the
// connection when a reply comes back with another sequence number.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

// The proxy in the default configuration in front of `heads` servers side
// by side.
class ProxyOnHeads {
 protected:
  void start(int heads) {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < heads; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
};

class Toolkits : public ProxyOnHeads, public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { start(GetParam()); }
};

// A toolkit program that opens one top-level window titled palvon-toolkit
// and stays until it is killed.
struct ToolkitProgram {
  const char* name;
  const char* command;
};

// Qt is held to its X11 platform and to shared-memory images (its default
// on a local display, which the environment could turn off).
const ToolkitProgram kToolkitPrograms[] = {
    {"Gtk3", "NO_AT_BRIDGE=1 GDK_BACKEND=x11 zenity --info --title palvon-toolkit --text hello"},
    {"Qt5", "env -u QT_X11_NO_MITSHM QT_QPA_PLATFORM=xcb ipqalc -qwindowtitle palvon-toolkit"},
};

void PrintTo(const ToolkitProgram& program, std::ostream* out) { *out << program.name; }

class ToolkitPrograms : public ProxyOnHeads,
                        public ::testing::TestWithParam<std::tuple<ToolkitProgram, int>> {
 protected:
  void SetUp() override { start(std::get<1>(GetParam())); }
};

// The names under "number of extensions:" in xdpyinfo's report.
std::vector<std::string> listedExtensions(const std::string& report) {
  std::vector<std::string> names;
  std::istringstream in(report);
  bool inList = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("number of extensions:", 0) == 0) {
      inList = true;
      continue;
    }
    if (!inList) continue;
    if (line.empty() || line[0] != ' ') break;
    names.push_back(line.substr(line.find_first_not_of(' ')));
  }
  return names;
}

TEST_P(ToolkitPrograms, StartAndMapTheirWindow) {
  // The window is looked for through the proxy until it is viewable; the
  // program's status tells a start-up failure (1) from our kill (143).
  std::string script =
      std::string(std::get<0>(GetParam()).command) + " & p=$!; "
      "for i in $(seq 150); do xwininfo -name palvon-toolkit 2>/dev/null | grep -q IsViewable && break; "
      "kill -0 $p 2>/dev/null || break; sleep 0.1; done; "
      "xwininfo -name palvon-toolkit | grep 'Map State'; kill $p; wait $p; echo status=$?";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy->display(), 30000);
  ASSERT_FALSE(result.timedOut);
  EXPECT_NE(result.out.find("IsViewable"), std::string::npos) << result.out << result.err << proxy->log();
  EXPECT_NE(result.out.find("status=143"), std::string::npos) << result.out << result.err;
}

TEST_P(Toolkits, XdpyinfoReadsEveryListedExtension) {
  ProgramResult result = runProgram({"xdpyinfo", "-ext", "all"}, proxy->display(), 20000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  EXPECT_EQ(result.err.find("broken"), std::string::npos) << result.err;
  std::vector<std::string> names = listedExtensions(result.out);
  EXPECT_GE(names.size(), 5u) << result.out;
  for (const std::string& name : names)
    EXPECT_EQ(result.err.find("\"" + name + "\" missing"), std::string::npos) << name << "\n" << result.err;
  // The report goes on past the last extension's section to the screens.
  EXPECT_NE(result.out.find("screen #0:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Heads, Toolkits, ::testing::Values(1, 2));
INSTANTIATE_TEST_SUITE_P(Heads, ToolkitPrograms,
                         ::testing::Combine(::testing::ValuesIn(kToolkitPrograms), ::testing::Values(1, 2)),
                         [](const ::testing::TestParamInfo<ToolkitPrograms::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == 1 ? "OnOneHead" : "OnTwoHeads");
                         });

// Heads that differ in one meta screen, in either order: a 16-bit server
// beside a 24-bit one, and an 8-bit server beside a 24-bit one that
// emulates 8-bit PseudoColor; and such a 24-bit server alone whose
// emulated visual is the root's. Each against a plain server of the kind
// clients must see (24-bit, 8-bit). rendercheck's own tests with every
// format of a plain server run to their end through the proxy and fail no
// more of them.
struct MixedHeads {
  const char* name;
  const char* firstDepth;
  const char* secondDepth;  // null: the first head alone, as wide as the plain server
  const char* plainDepth;
  int emulating;  // the head (1 or 2) that emulates PseudoColor, 0 none
};

void PrintTo(const MixedHeads& layout, std::ostream* out) { *out << layout.name; }

// The proxy in front of the layout's two servers, and a plain server of
// the meta screen's size and depth beside it.
class OnMixedHeads : public ::testing::TestWithParam<MixedHeads> {
 protected:
  void SetUp() override {
    const MixedHeads& layout = GetParam();
    plain = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", std::string("1280x480x") + layout.plainDepth});
    if (!layout.secondDepth) {
      first = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", std::string("1280x480x") + layout.firstDepth});
      ASSERT_TRUE(plain->ok() && first->ok()) << plain->error() << first->error();
      heads = {first.get()};
      // The manual's example of an emulated 8-bit visual.
      proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{
          "noReset", "on", "extensions", "+XKEYBOARD", "metaScreen", "main", "defaultVisual", "PseudoColor:8", "screen",
          first->display() + ".0", "borderWidth", "0", "emulateVisuals", "PseudoColor8"});
      ASSERT_TRUE(proxy->ok()) << proxy->log();
      return;
    }
    first = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", std::string("640x480x") + layout.firstDepth});
    second =
        std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", std::string("640x480x") + layout.secondDepth});
    ASSERT_TRUE(plain->ok() && first->ok() && second->ok()) << plain->error() << first->error() << second->error();
    heads = {first.get(), second.get()};
    std::vector<std::string> words{"noReset", "on", "extensions", "+XKEYBOARD"};
    for (const Xvfb* head : heads) {
      words.insert(words.end(), {"screen", head->display() + ".0", "borderWidth", "0"});
      if (layout.emulating == (head == first.get() ? 1 : 2))
        words.insert(words.end(), {"emulateVisuals", "PseudoColor:8"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::unique_ptr<Xvfb> plain, first, second;
  std::vector<const Xvfb*> heads;
  std::unique_ptr<ProxyProcess> proxy;
};

// The tests that failed, or -1 (with what rendercheck said in *said) when
// it did not run to its end. Every format of a plain 8-bit or 24-bit
// server: a 16-bit head first offers more. On indexes each blend through
// the proxy waits for its pixels: a few operators stand for the rest.
int rendercheckFailures(const std::string& display, bool indexes, std::string* said) {
  std::vector<std::string> run{"rendercheck", "-f",
                               "a8,a8r8g8b8,x8r8g8b8,b8g8r8a8,b8g8r8x8,x1r5g5b5,x1b5g5r5,r5g6b5,b5g6r5,r8g8b8,"
                               "b8g8r8,x8b8g8r8,x2r10g10b10,x2b10g10r10",
                               "-t",
                               "fill,dcoords,scoords,mcoords,tscoords,tmcoords,blend,bug7366,gtk_argb_xbgr,"
                               "libreoffice_xrgb,triangles"};
  if (indexes) run.insert(run.end(), {"-o", "Clear,Src,Over,Add,ConjointXor"});
  ProgramResult r = runProgram(run, display, 240000);
  size_t at = r.out.find(" tests passed of ");
  if (at == std::string::npos) return *said = "status " + std::to_string(r.status) + ": " + r.err, -1;
  size_t start = r.out.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  *said = r.out.substr(start, r.out.find('\n', at) - start);
  return std::atoi(r.out.c_str() + at + 17) - std::atoi(r.out.c_str() + start);
}

TEST_P(OnMixedHeads, RendercheckPassesAsOnAPlainServer) {
  std::string direct, through;
  bool indexes = GetParam().emulating != 0;
  int plainFailures = rendercheckFailures(plain->display(), indexes, &direct);
  ASSERT_GE(plainFailures, 0) << direct;
  EXPECT_EQ(rendercheckFailures(proxy->display(), indexes, &through), plainFailures)
      << through << " / " << direct << "\n" << proxy->log();
}

// The colours a server shows in an area of its root: each pixel through its
// installed colormap, 0xRRGGBB, row by row; empty when it cannot be read.
std::vector<unsigned long> shownArea(const std::string& display, int x, int y, int width, int height) {
  std::vector<unsigned long> shown;
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return shown;
  int count = 0;
  Colormap* installed = XListInstalledColormaps(d, DefaultRootWindow(d), &count);
  XImage* image = count ? XGetImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), AllPlanes,
                                    ZPixmap)
                        : nullptr;
  std::unordered_map<unsigned long, unsigned long> colours;
  for (int row = 0; image && row < height; row++) {
    for (int column = 0; column < width; column++) {
      XColor c{};
      c.pixel = XGetPixel(image, column, row);
      auto at = colours.find(c.pixel);
      if (at == colours.end()) {
        XQueryColor(d, installed[0], &c);
        at = colours.emplace(c.pixel, (c.red >> 8) << 16 | (c.green >> 8) << 8 | c.blue >> 8).first;
      }
      shown.push_back(at->second);
    }
  }
  if (image) XDestroyImage(image);
  if (installed) XFree(installed);
  XCloseDisplay(d);
  return shown;
}

// The colour a server shows at (x, y); ~0 when it cannot be read.
unsigned long shownAt(const std::string& display, int x, int y) {
  std::vector<unsigned long> shown = shownArea(display, x, y, 1, 1);
  return shown.empty() ? ~0ul : shown[0];
}

// The pixels of a 24-bit server's root whose colour, read through its
// installed colormap, none of that map's 256 cells holds (cell i: entry i
// of every channel), where an 8-bit server shows no other colours; -1 when
// the root cannot be read.
long colourlessPixels(const std::string& display) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) return -1;
  // The cells' colours and the pixels are read in one grab: a client that
  // stores a cell between the two would make its pixels look stray.
  XGrabServer(d);
  int count = 0;
  Colormap* installed = XListInstalledColormaps(d, DefaultRootWindow(d), &count);
  Colormap colormap = count ? installed[0] : DefaultColormap(d, 0);
  if (installed) XFree(installed);
  auto colourOf = [&](unsigned long pixel) {
    XColor c{};
    c.pixel = pixel;
    XQueryColor(d, colormap, &c);
    return (c.red >> 8) << 16 | (c.green >> 8) << 8 | c.blue >> 8;
  };
  std::unordered_set<unsigned long> cells;
  for (unsigned long i = 0; i < 256; i++) cells.insert(colourOf(i * 0x010101));
  int width = DisplayWidth(d, 0), height = DisplayHeight(d, 0);
  XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
  std::unordered_map<unsigned long, bool> known;
  long stray = image ? 0 : -1;
  for (int y = 0; image && y < height; y++) {
    for (int x = 0; x < width; x++) {
      unsigned long pixel = XGetPixel(image, x, y);
      auto at = known.find(pixel);
      if (at == known.end()) at = known.emplace(pixel, !cells.count(colourOf(pixel))).first;
      stray += at->second;
    }
  }
  if (image) XDestroyImage(image);
  XUngrabServer(d);
  XCloseDisplay(d);
  return stray;
}

// A window manager with its frames, xterm with core and with Xft fonts,
// xclock, a Qt program and xsetroot end as on the plain server, and each
// head shows the root's colour. While the window manager runs, a head that
// emulates 8-bit PseudoColor shows only colours of its colormap's cells
// (the blended edges of titles, text and the clock's hands included); Qt
// may take a true-colour visual there.
TEST_P(OnMixedHeads, ProgramsEndAsOnAPlainServerAndEveryHeadShowsTheRoot) {
  const MixedHeads& layout = GetParam();
  // Qt alone, after the window manager: on an 8-bit server it ends on a
  // window manager's frames, plain or not. Each status is printed; a
  // program that is still running when it is stopped prints 124.
  const std::string scripts[] = {
      "openbox >/dev/null 2>&1 & wm=$!; sleep 1; timeout 3 xterm -geometry 30x3+150+100 -e sleep 10 & t=$!; "
      "timeout 3 xterm -fa 'DejaVu Sans Mono' -geometry 30x3+150+200 -e sh -c 'printf hello; sleep 10' & f=$!; "
      "timeout 3 xclock -geometry +400+100 & c=$!; wait $t; echo xterm=$?; wait $f; echo xft=$?; wait $c; "
      "echo xclock=$?; kill -0 $wm && echo wm=running; kill $wm; wait $wm",
      "xsetroot -solid '#336699'; echo xsetroot=$?; QT_QPA_PLATFORM=xcb timeout 4 ipqalc >/dev/null 2>&1; echo qt=$?; "
      "xsetroot -solid '#336699'; echo xsetroot=$?"};
  const Xvfb* emulating = layout.emulating ? heads[size_t(layout.emulating - 1)] : nullptr;
  ProgramResult direct, through;
  long stray = 0;
  for (const std::string& script : scripts) {
    direct.out += runProgram({"sh", "-c", script}, plain->display(), 60000).out;
    auto run = std::async(std::launch::async, [&] { return runProgram({"sh", "-c", script}, proxy->display(), 60000); });
    while (run.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready)
      if (emulating && &script == scripts) stray = std::max(stray, colourlessPixels(emulating->display()));
    ProgramResult r = run.get();
    through.out += r.out, through.err += r.err;
  }
  EXPECT_EQ(stray, 0);
  EXPECT_EQ(through.out, direct.out) << through.err << proxy->log();
  EXPECT_NE(through.out.find("wm=running"), std::string::npos) << through.out;
  unsigned long root = shownAt(plain->display(), 5, 5);
  EXPECT_EQ(root, 0x336699ul);
  for (const Xvfb* head : heads) {
    // The windows of the programs that were stopped go in the servers'
    // own time.
    unsigned long shown = 0;
    waitFor(
        [&] {
          shown = shownAt(head->display(), 5, 5);
          return (shown & 0xf0f0f0) == (root & 0xf0f0f0);
        },
        10000, 100);
    // A 16-bit head to its channels' precision.
    int slack = std::string(head == first.get() ? layout.firstDepth : layout.secondDepth) == "16" ? 8 : 0;
    for (int shift = 0; shift < 24; shift += 8)
      EXPECT_NEAR(int((shown >> shift) & 0xff), int((root >> shift) & 0xff), slack) << head->display();
  }
}

// Through the client: a window of the root's visual, 200x200 at (540, 100)
// across the seam, with a colormap of stored cells where the visual has
// cells, and 200 images of 100x100 into it sent at once, then a round trip,
// as a program draws icons and pictures. False when the round trip did not
// come back within 10 s of the start (a proxy that waited for its poll's
// time-out between images took 15 to 130). The window stays with the
// client.
bool putTwoHundredImages(RawClient& c, bool pseudoColor) {
  uint32_t base = c.resourceIdBase(), colormap = base | 1, window = base | 2, gc = base | 3;
  uint32_t root = c.rootWindow(), visual = c.rootVisual(), depth = pseudoColor ? 8 : 24;
  auto words = [&c](std::vector<uint32_t> values) {
    Bytes b(4 * values.size());
    for (size_t k = 0; k < values.size(); k++) c.put32(b, 4 * k, values[k]);
    return b;
  };
  Bytes all;
  auto add = [&all](const Bytes& request) { all.insert(all.end(), request.begin(), request.end()); };
  std::vector<uint32_t> create{window, root, 540 | 100u << 16, 200 | 200u << 16, uint32_t(InputOutput) << 16, visual,
                               CWBackPixel | CWBorderPixel | CWOverrideRedirect, 0, 0, 1};
  if (pseudoColor) {
    add(c.request(X_CreateColormap, AllocAll, words({colormap, root, visual})));
    Bytes store = words({colormap});
    for (uint32_t p = 0; p < 256; p++) {
      Bytes item = words({p, 0, 0, 0});
      for (uint32_t k = 0; k < 3; k++) c.put16(item, 4 + 2 * k, uint16_t(((p * (67 + 42 * k) + 40 * k) & 0xff) * 257));
      item[10] = DoRed | DoGreen | DoBlue;
      store.insert(store.end(), item.begin(), item.begin() + 12);
    }
    add(c.request(X_StoreColors, 0, store));
    create[6] |= CWColormap;
    create.push_back(colormap);
  }
  add(c.request(X_CreateWindow, uint8_t(depth), words(create)));
  add(c.request(X_MapWindow, 0, words({window})));
  if (pseudoColor) add(c.request(X_InstallColormap, 0, words({colormap})));
  add(c.request(X_CreateGC, 0, words({gc, window, 0})));
  for (uint32_t i = 0; i < 200; i++) {
    Bytes put = words({window, gc, 100 | 100u << 16, (i * 13 % 100) | (i * 7 % 100) << 16, depth << 8});
    for (uint32_t k = 0; k < 100 * 100; k++) {
      uint32_t pixel = (k % 100 + 3 * (k / 100) + 17 * i) * (pseudoColor ? 1 : 0x030507);
      for (uint32_t byte = 0; byte < (pseudoColor ? 1 : 4); byte++) put.push_back(uint8_t(pixel >> (8 * byte)));
    }
    add(c.request(X_PutImage, ZPixmap, put));
  }
  add(c.request(X_GetInputFocus, 0));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  if (!c.send(all)) return false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    Bytes m = left.count() > 0 ? c.readMessage(int(left.count())) : Bytes{};
    if (m.empty() || m[0] == 0) return false;
    if (m[0] == 1) return std::chrono::steady_clock::now() < deadline;
  }
}

// The images through the proxy show on every head as on the plain server,
// read through each server's installed colormap (an emulating head's
// DirectColor tables, an 8-bit head's cells, a 16-bit head's channels to
// their precision).
TEST_P(OnMixedHeads, TwoHundredImagesShowAsOnAPlainServer) {
  const MixedHeads& layout = GetParam();
  bool pseudoColor = std::string(layout.plainDepth) == "8";
  RawClient direct, through;
  ASSERT_TRUE(direct.connectUnix(plain->number()) && direct.setup('l') == 1);
  ASSERT_TRUE(through.connectUnix(proxy->number()) && through.setup('l') == 1);
  ASSERT_TRUE(putTwoHundredImages(direct, pseudoColor));
  ASSERT_TRUE(putTwoHundredImages(through, pseudoColor)) << proxy->log();
  std::vector<unsigned long> want = shownArea(plain->display(), 540, 100, 200, 200);
  ASSERT_EQ(want.size(), 200u * 200u);
  int differ = 0;
  for (const Xvfb* head : heads) {
    // Two heads meet at 640; one alone is as wide as the plain server.
    int left = head == first.get() ? 540 : 640, right = heads.size() == 1 || head != first.get() ? 740 : 640;
    int origin = head == first.get() ? 0 : 640;
    std::vector<unsigned long> shown = shownArea(head->display(), left - origin, 100, right - left, 200);
    ASSERT_EQ(shown.size(), size_t(right - left) * 200) << head->display();
    int slack = std::string(head == first.get() ? layout.firstDepth : layout.secondDepth) == "16" ? 8 : 0;
    for (int y = 0; y < 200; y++) {
      for (int x = left; x < right; x++) {
        unsigned long a = shown[size_t(y) * size_t(right - left) + size_t(x - left)], b = want[size_t(y) * 200 + size_t(x - 540)];
        for (int shift = 0; shift < 24; shift += 8)
          if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > slack) {
            differ++;
            break;
          }
      }
    }
  }
  EXPECT_EQ(differ, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, OnMixedHeads,
                         ::testing::Values(MixedHeads{"Deep16", "24", "16", "24", 0},
                                           MixedHeads{"Deep16First", "16", "24", "24", 0},
                                           MixedHeads{"Emulated8", "24", "8", "8", 1},
                                           MixedHeads{"Emulated8Second", "8", "24", "8", 2},
                                           MixedHeads{"Emulated8Alone", "24", nullptr, "8", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// The children of the root as xwininfo lists them: "WxH+X+Y".
// A mapped child of the root, where it is.
struct Shown {
  Window id;
  int x, y, width, height;
};

// The root's mapped children. A window that goes while they are read is
// left out (its error ignored).
std::vector<Shown> mappedTopLevels(Display* d) {
  std::vector<Shown> shown;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return shown;
  XErrorHandler before = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  for (unsigned i = 0; i < count; i++) {
    XWindowAttributes a{};
    if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable)
      shown.push_back({children[i], a.x, a.y, a.width, a.height});
  }
  XSync(d, False);
  XSetErrorHandler(before);
  if (children) XFree(children);
  return shown;
}

// A right click in a GTK entry opens its menu under the pointer, on either
// head of two side by side: the toolkit places it on the monitor the
// pointer is on, as RANDR (offered here) describes the meta screen.
TEST(GtkOnTwoHeads, ContextMenuOpensUnderThePointerOnEitherHead) {
  Xvfb a{{"-screen", "0", "640x480x24"}}, b{{"-screen", "0", "640x480x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "screen", a.display() + ".0", "borderWidth", "0",
                      "screen", b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  BackgroundProgram zenity({"env", "NO_AT_BRIDGE=1", "GDK_BACKEND=x11", "zenity", "--entry", "--title",
                            "palvon-menu", "--text", "x"},
                           proxy.display());
  ASSERT_TRUE(zenity.ok());
  std::string info;
  waitFor(
      [&] {
        info = runProgram({"xwininfo", "-name", "palvon-menu"}, proxy.display()).out;
        return info.find("IsViewable") != std::string::npos;
      },
      30000, 100);
  ASSERT_NE(info.find("IsViewable"), std::string::npos) << info << proxy.log();
  auto window = uint32_t(std::strtoul(info.c_str() + info.find("Window id: ") + 11, nullptr, 16));
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy.number()) && raw.setup('l') == 1);
  uint8_t xtest = raw.queryExtension("XTEST").major;
  ASSERT_NE(xtest, 0);
  auto fake = [&](uint8_t type, uint8_t detail, int16_t x, int16_t y) {
    Bytes body(32, 0);
    body[0] = type, body[1] = detail;
    raw.put32(body, 8, raw.rootWindow());
    raw.put16(body, 20, uint16_t(x));
    raw.put16(body, 22, uint16_t(y));
    Bytes request = raw.request(xtest, 2, body);
    raw.send(request);
  };
  // The program's windows are watched from a client of the proxy's own.
  Display* watch = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(watch, nullptr);
  std::unique_ptr<Display, int (*)(Display*)> closeWatch(watch, XCloseDisplay);
  auto isMapped = [&](Window id) {
    for (const Shown& w : mappedTopLevels(watch))
      if (w.id == id) return true;
    return false;
  };
  for (int16_t left : {800, 100}) {
    SCOPED_TRACE(left);
    Bytes move(16, 0);
    raw.put32(move, 0, window);
    raw.put16(move, 4, 0x3);  // x, y
    raw.put32(move, 8, uint32_t(left));
    raw.put32(move, 12, 100);
    raw.send(raw.request(12, 0, move));  // ConfigureWindow
    ASSERT_TRUE(waitFor([&] {
      XWindowAttributes a{};
      return XGetWindowAttributes(watch, window, &a) && a.x == left && a.y == 100;
    }, 10000, 20)) << "the window was not moved";
    std::vector<Shown> before = mappedTopLevels(watch);
    // Into the entry, below the label.
    int16_t x = int16_t(left + 97), y = 145;
    fake(6, 0, x, y);  // MotionNotify
    ASSERT_TRUE(waitFor([&] {
      Window root = 0, child = 0;
      int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
      unsigned mask = 0;
      XQueryPointer(watch, DefaultRootWindow(watch), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask);
      return rootX == x && rootY == y;
    }, 10000, 20)) << "the pointer was not moved";
    fake(4, 3, 0, 0);  // ButtonPress 3
    fake(5, 3, 0, 0);
    // The menu is a new mapped window that the toolkit may make, map and
    // place in steps: what counts is where it comes to be.
    std::optional<Shown> menu;
    auto placed = [&] {
      for (const Shown& w : mappedTopLevels(watch)) {
        bool old = std::any_of(before.begin(), before.end(), [&](const Shown& b) { return b.id == w.id; });
        if (old || w.width <= 10 || w.height <= 10) continue;
        menu = w;
        if (w.x >= x && w.x <= x + 8 && w.y >= y && w.y <= y + 8) return true;
      }
      return false;
    };
    bool there = waitFor(placed, 10000, 20);
    ASSERT_TRUE(menu) << "no menu opened";
    EXPECT_TRUE(there) << "the menu shows at " << menu->x << "," << menu->y << ", the pointer at " << x << "," << y;
    // Closed again before the next head.
    fake(2, 9, 0, 0);  // Escape press and release
    fake(3, 9, 0, 0);
    ASSERT_TRUE(waitFor([&] { return !isMapped(menu->id); }, 10000, 20)) << "the menu stays";
  }
}

}  // namespace
}  // namespace palvon::test
