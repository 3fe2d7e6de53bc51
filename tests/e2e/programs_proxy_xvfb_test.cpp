// Real X programs through the proxy program in front of one, two and three
// Xvfb side by side: xterm, xlogo and xeyes start, their windows stand on
// every head at the same place under the meta root, a cursor from the
// cursor font is made on every server without an error reaching the client,
// and x11perf runs its tests to the end.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <unistd.h>

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

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A shell function for the scripts below: waits until the root image of
// $DISPLAY stays the same for three quarter-second steps (the programs have
// drawn), at most fifteen seconds; the image is left in the file named.
constexpr const char* kSettled =
    "settled() { xwd -root -silent > \"$1\"; same=0; for i in $(seq 60); do sleep 0.25; "
    "xwd -root -silent > \"$1.next\"; if cmp -s \"$1\" \"$1.next\"; then same=$((same + 1)); "
    "[ $same -ge 3 ] && break; else same=0; mv \"$1.next\" \"$1\"; fi; done; }; ";

// The sections of the script's output, one per real server, each holding
// that server's "xwininfo -root -tree".
std::vector<std::string> sections(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("== ", 0) == 0) parts.emplace_back();
    else if (!parts.empty()) parts.back() += line + "\n";
  }
  return parts;
}

class Programs : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < GetParam(); i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  TempDir dir;
};

// Glyph cursors are made on every server from the cursor font's bits: the
// bits must reach each server in its own image layout.
TEST_P(Programs, CursorFromTheCursorFont) {
  ProgramResult result = runProgram({"xsetroot", "-cursor_name", "left_ptr"}, proxy->display());
  EXPECT_EQ(result.status, 0) << result.err << proxy->log();
  EXPECT_EQ(result.err, "");
}

TEST_P(Programs, WindowsStandOnEveryHead) {
  std::string first = servers[0]->display();
  std::string dump;
  for (const auto& server : servers) {
    dump += "echo '== " + server->display() + "'; xwininfo -display " + server->display() + " -root -tree; ";
  }
  // Run inside xterm: its window exists while the script runs. xlogo spans
  // the first seam when there is one.
  std::string script =
      "xlogo -geometry 150x120+330+40 & logo=$!; xeyes -geometry 120x90+20+150 & eyes=$!; "
      "for i in $(seq 300); do xwininfo -display " + first + " -root -tree | grep -q '120x90+20+150' && "
      "xwininfo -display " + first + " -root -tree | grep -q '150x120+330+40' && break; sleep 0.1; done; " +
      dump + "kill $logo $eyes";
  std::string out = dir.file("trees");
  ProgramResult result = runProgram(
      {"xterm", "-geometry", "40x4+100+10", "-e", "sh", "-c", "(" + script + ") > " + out + " 2>&1"},
      proxy->display(), 60000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  std::vector<std::string> trees = sections(readFile(out));
  ASSERT_EQ(trees.size(), servers.size()) << readFile(out);
  for (size_t i = 0; i < trees.size(); i++) {
    SCOPED_TRACE(servers[i]->display());
    EXPECT_TRUE(contains(trees[i], "150x120+330+40")) << trees[i];  // xlogo
    EXPECT_TRUE(contains(trees[i], "120x90+20+150")) << trees[i];   // xeyes
    EXPECT_TRUE(contains(trees[i], "+100+10")) << trees[i];         // xterm
  }
}

// `xwd -root` through the proxy shows what the heads show: each head's
// own `xwd -root` is its piece of the meta root, pixel for pixel.
TEST_P(Programs, RootImageIsThePiecesOfTheHeads) {
  std::string first = servers[0]->display();
  std::string shots = "xwd -root -silent > " + dir.file("meta.xwd") + "; ";
  for (size_t i = 0; i < servers.size(); i++)
    shots += "xwd -root -silent -display " + servers[i]->display() + " > " + dir.file(std::to_string(i) + ".xwd") + "; ";
  std::string script =
      std::string(kSettled) + "xlogo -geometry 150x120+330+40 & logo=$!; xeyes -geometry 120x90+20+150 & eyes=$!; "
      "for i in $(seq 300); do xwininfo -display " + first + " -root -tree | grep -q '120x90+20+150' && "
      "xwininfo -display " + first + " -root -tree | grep -q '150x120+330+40' && break; sleep 0.1; done; "
      "settled " + dir.file("settle.xwd") + "; " + shots + "kill $logo $eyes";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy->display(), 60000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  XwdImage meta;
  std::string error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("meta.xwd")), &meta, &error)) << error;
  // Side by side, the heads get the automatic border: each shows a piece of
  // the meta screen that much smaller, inside the border.
  int pieceWidth = meta.width / GetParam(), border = (400 - pieceWidth) / 2;
  EXPECT_EQ(meta.height, 300 - 2 * border);
  for (size_t i = 0; i < servers.size(); i++) {
    SCOPED_TRACE(servers[i]->display());
    XwdImage head;
    ASSERT_TRUE(parseXwd(readFile(dir.file(std::to_string(i) + ".xwd")), &head, &error)) << error;
    EXPECT_EQ(countDifferences(meta, pieceWidth * int(i), 0, head, border, border, pieceWidth, meta.height), 0);
  }
}

// x11perf measures drawing, copies, text and round trips through the proxy:
// each test it runs reports its repetitions, none stops on an error. (Its
// image tests read its 600x600 window, which these screens do not show
// whole: a plain server refuses that as well.)
TEST_P(Programs, X11perfReportsEveryTest) {
  ProgramResult result = runProgram({"x11perf", "-repeat", "1", "-reps", "20", "-rect10", "-seg10", "-ftext",
                                     "-copywinwin10", "-prop"},
                                    proxy->display(), 60000);
  EXPECT_EQ(result.status, 0) << result.err;
  size_t reports = 0;
  for (size_t at = result.out.find(" reps @ "); at != std::string::npos; at = result.out.find(" reps @ ", at + 1))
    reports++;
  EXPECT_EQ(reports, 5u) << result.out << result.err;
  EXPECT_FALSE(contains(result.err, "X Error")) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Heads, Programs, ::testing::Values(1, 2, 3));

// B shows A's top-left quarter at zoom 2. Through the proxy, `xwd -root`
// and `xwd -id` show the meta screen as A shows it; B shows its quarter
// doubled, where the zoomed head draws lines, arcs and text at its own
// resolution (glyph pixmaps for core text).
TEST(ZoomedHead, ImagesAndTextMatchTheUnzoomedHead) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok()) << b.error();
  ProxyProcess proxy({"noReset", "on", "options", "Tavel", "screen", a.display() + ".0", "borderWidth", "0", "screen",
                      b.display() + ".0", "borderWidth", "0", "clipGeometry", "200x150+0+0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  TempDir dir;
  std::string script =
      std::string(kSettled) + "xlogo -geometry 100x80+90+60 & logo=$!; "
      "xterm -geometry 20x3+5+5 -e sh -c 'printf \"\\033[?25lBold WMgjq, glyphs\"; sleep 30' & term=$!; "
      "for i in $(seq 300); do xwininfo -display " + a.display() + " -root -tree | grep -q '100x80+90+60' && "
      "xwininfo -display " + a.display() + " -root -tree | grep -q '+5+5' && break; sleep 0.1; done; "
      "settled " + dir.file("settle.xwd") + "; "
      "xwd -root -silent > " + dir.file("meta.xwd") + "; "
      "xwd -silent -nobdrs -id $(xwininfo -name xlogo | sed -n 's/.*Window id: \\(0x[0-9a-f]*\\).*/\\1/p') > " +
      dir.file("logo.xwd") + "; "
      "xwd -root -silent -display " + a.display() + " > " + dir.file("a.xwd") + "; "
      "xwd -root -silent -display " + b.display() + " > " + dir.file("b.xwd") + "; kill $logo $term";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy.display(), 60000);
  ASSERT_EQ(result.status, 0) << result.err << proxy.log();
  XwdImage meta, logo, onA, onB;
  std::string error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("meta.xwd")), &meta, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("logo.xwd")), &logo, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("a.xwd")), &onA, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("b.xwd")), &onB, &error)) << error;
  ASSERT_EQ(meta.width, 400);
  EXPECT_EQ(countDifferences(meta, 0, 0, onA, 0, 0, 400, 300), 0);
  EXPECT_EQ(logo.width, 100);
  // -geometry places the border's corner: the inside starts one further.
  EXPECT_EQ(countDifferences(meta, 91, 61, logo, 0, 0, 100, 80), 0);
  // Inside the windows, the quarter doubled by nearest neighbour against B
  // (the root's pattern is each server's own).
  XwdImage doubled;
  doubled.width = 400, doubled.height = 300;
  for (int y = 0; y < 300; y++)
    for (int x = 0; x < 400; x++) doubled.pixels.push_back(meta.at(x / 2, y / 2));
  long logoDiffer = countDifferences(doubled, 180, 120, onB, 180, 120, 200, 160);
  EXPECT_LE(logoDiffer, 200 * 160 / 50) << "of " << 200 * 160;
  long termDiffer = countDifferences(doubled, 12, 12, onB, 12, 12, 236, 76);
  EXPECT_EQ(termDiffer, 0) << "of " << 236 * 76;
  // The text is there: the zoomed terminal has as much ink as A's, doubled.
  auto ink = [](const XwdImage& image, int x0, int y0, int width, int height) {
    long dark = 0;
    for (int y = y0; y < y0 + height; y++)
      for (int x = x0; x < x0 + width; x++) dark += (image.at(x, y) & 0xff) < 0x80;
    return dark;
  };
  long small = ink(meta, 6, 6, 80, 14), large = ink(onB, 12, 12, 160, 28);
  EXPECT_GT(small, 40);
  EXPECT_NEAR(double(large), 4.0 * double(small), 0.2 * 4.0 * double(small));
}

// A 24-bit head beside a 16-bit one: the 16-bit head shows the colours
// to its channels' precision, and images read through the proxy come back
// in the meta visual from both (the 16-bit server's windows have a visual
// of their own depth, not its default visual's).
TEST(MixedDepths, ImagesThroughTheProxyShowWhatEachHeadShows) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x16"}};
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok()) << b.error();
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "borderWidth", "0", "screen", b.display() + ".0",
                      "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  TempDir dir;
  std::string script =
      std::string(kSettled) + "xlogo -geometry 150x120+330+40 -fg red -bg '#3060a0' & logo=$!; "
      "xterm -geometry 20x3+420+200 -fg '#20c040' -e sh -c 'printf \"Hello, sixteen\"; sleep 30' & term=$!; "
      "for i in $(seq 300); do xwininfo -display " + a.display() + " -root -tree | grep -q '150x120+330+40' && "
      "xwininfo -display " + a.display() + " -root -tree | grep -q '+420+200' && break; sleep 0.1; done; "
      "settled " + dir.file("settle.xwd") + "; "
      "xwd -root -silent > " + dir.file("meta.xwd") + "; "
      "xwd -root -silent -display " + a.display() + " > " + dir.file("a.xwd") + "; "
      "xwd -root -silent -display " + b.display() + " > " + dir.file("b.xwd") + "; kill $logo $term";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy.display(), 60000);
  ASSERT_EQ(result.status, 0) << result.err << proxy.log();
  XwdImage meta, onA, onB;
  std::string error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("meta.xwd")), &meta, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("a.xwd")), &onA, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("b.xwd")), &onB, &error)) << error;
  ASSERT_EQ(meta.width, 800);
  EXPECT_EQ(countDifferences(meta, 0, 0, onA, 0, 0, 400, 300), 0);
  // 5 and 6 bits a channel: within 8 of the meta colour.
  EXPECT_EQ(countDifferences(meta, 400, 0, onB, 0, 0, 400, 300, 8), 0);
  EXPECT_EQ(meta.at(420, 60), 0x3060a0u);
}

// Font lists come from the font server as a plain server gives them; a
// path element no server has is refused as a plain server refuses it and
// leaves every server's path as it was.
TEST(FontsThroughTheProxy, ListsAndABadPathElement) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok()) << b.error();
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "screen", b.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult direct = runProgram({"xlsfonts", "-fn", "*-fixed-*"}, a.display());
  ProgramResult through = runProgram({"xlsfonts", "-fn", "*-fixed-*"}, proxy.display());
  ASSERT_EQ(through.status, 0) << through.err;
  EXPECT_EQ(through.out, direct.out);
  std::string before = runProgram({"xset", "q"}, proxy.display()).out;
  ProgramResult bad = runProgram({"xset", "+fp", "/nonexistent"}, proxy.display());
  EXPECT_NE(bad.status, 0);
  EXPECT_TRUE(contains(bad.err, "bad font path element")) << bad.err;
  EXPECT_EQ(runProgram({"xset", "q"}, proxy.display()).out, before);
  for (const Xvfb* server : {&a, &b}) {
    std::string path = runProgram({"xset", "q"}, server->display()).out;
    EXPECT_FALSE(contains(path, "nonexistent")) << path;
  }
}

// The same programs through the proxy on one, two and three heads and on a
// plain Xvfb of the meta screen's size show the same pixels.
class AsOnAPlainServer : public ::testing::TestWithParam<int> {};

TEST_P(AsOnAPlainServer, XlogoAndXtermLookTheSame) {
  int heads = GetParam();
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  for (int i = 0; i < heads; i++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    words.insert(words.end(), {"screen", servers.back()->display() + ".0", "borderWidth", "0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The classic root pattern, as the proxy paints its root.
  Xvfb plain{{"-retro", "-screen", "0", std::to_string(400 * heads) + "x300x24"}};
  ASSERT_TRUE(plain.ok()) << plain.error();
  TempDir dir;
  auto shoot = [&dir](const std::string& display, const std::string& name, const std::string& more) {
    std::string script =
        std::string(kSettled) + "xlogo -geometry 150x120+330+40 & logo=$!; "
        "xterm -geometry 30x4+420+180 -e sh -c 'printf \"plain or proxied?\"; sleep 90' & term=$!; "
        "shown() { xwininfo -root -tree | grep -q '150x120+330+40' && xwininfo -root -tree | grep -q '+420+180'; }; "
        "for i in $(seq 600); do shown && break; sleep 0.1; done; "
        // Windows that never came are a failure of their own, with the tree
        // that was there, not a difference of pixels.
        "shown || { echo 'the windows did not appear:' >&2; xwininfo -root -tree >&2; kill $logo $term; exit 3; }; "
        "settled " + dir.file("settle-" + name) + "; "
        "xwd -root -silent > " + dir.file(name) + "; " + more + "kill $logo $term";
    return runProgram({"sh", "-c", script}, display, 120000);
  };
  std::string headShots;
  for (int i = 0; i < heads; i++)
    headShots += "xwd -root -silent -display " + servers[size_t(i)]->display() + " > " +
                 dir.file("head" + std::to_string(i) + ".xwd") + "; ";
  ProgramResult through = shoot(proxy.display(), "proxy.xwd", headShots);
  ASSERT_EQ(through.status, 0) << through.err << proxy.log();
  ProgramResult direct = shoot(plain.display(), "plain.xwd", "");
  ASSERT_EQ(direct.status, 0) << direct.err;
  XwdImage proxied, reference;
  std::string error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("proxy.xwd")), &proxied, &error)) << error;
  ASSERT_TRUE(parseXwd(readFile(dir.file("plain.xwd")), &reference, &error)) << error;
  ASSERT_EQ(proxied.width, reference.width);
  EXPECT_EQ(countDifferences(proxied, 0, 0, reference, 0, 0, reference.width, reference.height), 0);
  for (int i = 0; i < heads; i++) {
    XwdImage head;
    ASSERT_TRUE(parseXwd(readFile(dir.file("head" + std::to_string(i) + ".xwd")), &head, &error)) << error;
    EXPECT_EQ(countDifferences(reference, 400 * i, 0, head, 0, 0, 400, 300), 0) << "head " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, AsOnAPlainServer, ::testing::Values(1, 2, 3));

// Copies over the seams where heads meet, through the proxy and on a plain
// Xvfb of the meta screen's size: the same pixels on every head, and the
// same GraphicsExpose and NoExpose events, one line each.
struct SeamLayout {
  const char* name;
  int heads;
  bool stacked;
};

class CopiesOverSeams : public ::testing::TestWithParam<SeamLayout> {};

// The exposure events of the last copy, after a round trip.
std::string copyEvents(Display* display, const std::string& step) {
  XSync(display, False);
  std::string lines;
  while (XPending(display)) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == GraphicsExpose) {
      const XGraphicsExposeEvent& e = event.xgraphicsexpose;
      lines += step + ": GraphicsExpose " + std::to_string(e.x) + " " + std::to_string(e.y) + " " +
               std::to_string(e.width) + "x" + std::to_string(e.height) + " count " + std::to_string(e.count) + "\n";
    } else if (event.type == NoExpose) {
      lines += step + ": NoExpose\n";
    }
  }
  return lines;
}

// Window a lies on the first seam, b on the last head; c, another
// client's, covers part of a's source when asked. Returns the events.
std::string copyOverSeams(Display* d, Display* other, int width, int height, bool stacked) {
  Window root = DefaultRootWindow(d);
  int ax = stacked ? 100 : 300, ay = stacked ? 220 : 60;
  Window a = XCreateSimpleWindow(d, root, ax, ay, 200, 160, 0, 0, 0x336699);
  Window b = XCreateSimpleWindow(d, root, width - 180, height - 160, 160, 140, 0, 0, 0x202020);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0x00ff00;
  Window c = XCreateWindow(other, DefaultRootWindow(other), ax + 70, ay + 70, 40, 30, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  for (Window w : {a, b}) XMapWindow(d, w);
  XSync(d, False);
  usleep(200000);
  GC gc = XCreateGC(d, a, 0, nullptr);
  const unsigned long colours[] = {0xff0000, 0xffff00, 0xff00ff, 0xffffff};
  const XRectangle shapes[] = {{10, 10, 60, 30}, {80, 70, 40, 60}, {130, 20, 50, 20}, {30, 110, 150, 10}};
  for (int k = 0; k < 4; k++) {
    XSetForeground(d, gc, colours[k]);
    XFillRectangle(d, a, gc, shapes[k].x, shapes[k].y, shapes[k].width, shapes[k].height);
  }
  XDrawLine(d, a, gc, 0, 0, 199, 159);
  std::string events = copyEvents(d, "drawn");
  // Within itself, sideways and down over the seam, then partly from
  // beyond its edge.
  XCopyArea(d, a, a, gc, 20, 20, 150, 120, 50, 20);
  events += copyEvents(d, "right");
  XCopyArea(d, a, a, gc, 10, 10, 150, 120, 10, 40);
  events += copyEvents(d, "down");
  XCopyArea(d, a, a, gc, 60, 10, 180, 130, 20, 10);
  events += copyEvents(d, "left, from beyond the edge");
  // Into the window on the last head, and a plane of it.
  XCopyArea(d, a, b, gc, 60, 30, 100, 80, 10, 10);
  events += copyEvents(d, "into b");
  XSetForeground(d, gc, 0x0000ff);
  XSetBackground(d, gc, 0xffa000);
  XCopyPlane(d, a, b, gc, 40, 40, 120, 40, 20, 95, 0x800000);
  events += copyEvents(d, "plane into b");
  // Without exposures, and from under another client's window.
  XSetGraphicsExposures(d, gc, False);
  XCopyArea(d, a, a, gc, 0, 0, 120, 100, 70, 50);
  events += copyEvents(d, "no exposures");
  XSetGraphicsExposures(d, gc, True);
  XMapWindow(other, c);
  XSync(other, False);
  XSync(d, False);
  XCopyArea(d, a, a, gc, 50, 50, 100, 70, 90, 80);
  events += copyEvents(d, "under c");
  // From the root, what its children show.
  XSetSubwindowMode(d, gc, IncludeInferiors);
  XCopyArea(d, root, b, gc, ax + 60, ay + 40, 80, 50, 70, 80);
  events += copyEvents(d, "from the root");
  XFreeGC(d, gc);
  XSync(d, False);
  return events;
}

TEST_P(CopiesOverSeams, AsOnAPlainServer) {
  const SeamLayout& l = GetParam();
  int width = l.stacked ? 400 : 400 * l.heads, height = l.stacked ? 300 * l.heads : 300;
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  for (int i = 0; i < l.heads; i++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    words.insert(words.end(), {"screen", servers.back()->display() + ".0", "borderWidth", "0"});
    if (l.stacked && i > 0) words.insert(words.end(), {"southOf", servers[size_t(i) - 1]->display() + ".0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Xvfb plain{{"-retro", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24"}};
  ASSERT_TRUE(plain.ok()) << plain.error();
  TempDir dir;
  std::string seen[2];
  XwdImage reference;
  std::vector<XwdImage> heads;
  for (int side = 0; side < 2; side++) {
    std::string name = side ? proxy.display() : plain.display();
    Display* d = XOpenDisplay(name.c_str());
    Display* other = XOpenDisplay(name.c_str());
    ASSERT_TRUE(d && other) << name;
    seen[side] = copyOverSeams(d, other, width, height, l.stacked);
    if (side == 0) reference = rootXwd(plain.display(), dir.file("plain.xwd"));
    for (int i = 0; side && i < l.heads; i++)
      heads.push_back(rootXwd(servers[size_t(i)]->display(), dir.file("head" + std::to_string(i) + ".xwd")));
    XCloseDisplay(other);
    XCloseDisplay(d);
  }
  EXPECT_EQ(seen[1], seen[0]) << proxy.log();
  ASSERT_EQ(reference.width, width);
  for (int i = 0; i < l.heads; i++) {
    int x = l.stacked ? 0 : 400 * i, y = l.stacked ? 300 * i : 0;
    EXPECT_EQ(countDifferences(reference, x, y, heads[size_t(i)], 0, 0, 400, 300), 0) << "head " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, CopiesOverSeams,
                         ::testing::Values(SeamLayout{"SideBySide", 2, false}, SeamLayout{"Stacked", 2, true},
                                           SeamLayout{"ThreeHeads", 3, false}),
                         [](const ::testing::TestParamInfo<SeamLayout>& info) { return std::string(info.param.name); });

// The last client leaving resets the proxy: the next client finds the
// default font path again, not the one the last client set.
TEST(Reset, StartsFromTheDefaultFontPath) {
  Xvfb server{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // Runs the program as the only client and waits until the reset its end
  // causes has opened the server again.
  auto alone = [&proxy](const std::vector<std::string>& argv) {
    size_t mark = proxy.log().size();
    ProgramResult result = runProgram(argv, proxy.display());
    bool reset = proxy.waitForLog("Resetting authorization", 20000, mark);
    size_t at = proxy.log().find("Resetting authorization", mark);
    reset = reset && proxy.waitForLog("Connected to X server", 20000, at);
    EXPECT_TRUE(reset) << proxy.log();
    return result;
  };
  // The default path depends on the fonts installed: the server's own says
  // what it is. The path is the indented line after "Font Path:".
  auto fontPath = [](const std::string& xsetQ) {
    size_t at = xsetQ.find("Font Path:");
    if (at == std::string::npos) return std::string();
    size_t begin = xsetQ.find_first_not_of(" \n", xsetQ.find('\n', at));
    return xsetQ.substr(begin, xsetQ.find('\n', begin) - begin);
  };
  std::string serverPath = fontPath(runProgram({"xset", "q"}, server.display()).out);
  ASSERT_FALSE(serverPath.empty());
  ASSERT_NE(serverPath, "built-ins");
  std::string before = alone({"xset", "q"}).out;
  ASSERT_EQ(fontPath(before), serverPath) << before;
  ASSERT_EQ(alone({"xset", "fp=", "built-ins"}).status, 0);
  // The proxy serves again once its start-up steps after the reset are done.
  ProgramResult after;
  for (int i = 0; i < 50 && (after = runProgram({"xset", "q"}, proxy.display())).status != 0; i++) usleep(100000);
  ASSERT_EQ(after.status, 0) << after.err << proxy.log();
  EXPECT_EQ(fontPath(after.out), serverPath) << after.out;
}

// A meta screen of two heads side by side is one RANDR screen of its whole
// size with one output per head where the head stands, as xrandr shows it;
// the servers' own RANDR would describe the first head alone.
TEST(RandrOnTwoHeads, EveryHeadIsAnOutputOfTheMetaScreen) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(a.ok()) << a.error();
  ASSERT_TRUE(b.ok()) << b.error();
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "screen", a.display() + ".0", "borderWidth", "0",
                      "screen", b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult result = runProgram({"xrandr"}, proxy.display());
  ASSERT_EQ(result.status, 0) << result.err << proxy.log();
  EXPECT_TRUE(contains(result.out, "current 800 x 300")) << result.out;
  EXPECT_TRUE(contains(result.out, a.display() + ".0 connected 400x300+0+0")) << result.out;
  EXPECT_TRUE(contains(result.out, b.display() + ".0 connected 400x300+400+0")) << result.out;
}

}  // namespace
}  // namespace palvon::test
