// Servers joining and leaving a running session, end to end: the proxy
// program in front of Xvfb A and B (one meta screen A|B, A static, options
// DynamicServer and Failsafe) with real X programs running through it; a
// third Xvfb C joins at B's place through the test control and must show
// what B shows; servers leave by name, by another program taking the lock
// selection, and by dying under a client's outstanding requests.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/shape.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwdimage.h"
#include "support/xwindows.h"


namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// "xwininfo -root -tree" with the window ids and the root's own id left
// out: what a server shows, comparable between servers.
std::string withoutIds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool start = i == 0 || !isalnum(static_cast<unsigned char>(text[i - 1]));
    if (start && text.compare(i, 2, "0x") == 0) {
      i += 2;
      while (i < text.size() && isxdigit(static_cast<unsigned char>(text[i]))) i++;
      out += "ID";
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string treeOf(const std::string& display) {
  ProgramResult r = runProgram({"xwininfo", "-root", "-tree"}, display);
  std::string out;
  std::istringstream in(withoutIds(r.out));
  for (std::string line; std::getline(in, line);)
    if (!contains(line, "(the root window)")) out += line + "\n";
  return out;
}

// "xwininfo -events" (or another of its reports) of the first window of
// that geometry, ids left out.
std::string eventsOf(const std::string& display, const std::string& geometry, const char* report = "-events") {
  std::istringstream in(runProgram({"xwininfo", "-root", "-tree"}, display).out);
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find("0x");
    if (!contains(line, geometry) || at == std::string::npos) continue;
    std::string id = line.substr(at, line.find(' ', at) - at);
    return withoutIds(runProgram({"xwininfo", report, "-id", id}, display).out);
  }
  return "(no window " + geometry + ")";
}

// A raw client of the control extension: its major and the next reply or
// error (events skipped).
struct MetaControl {
  RawClient client;
  uint8_t major = 0;
  bool open(int display, char order) {
    if (!client.connectUnix(display) || client.setup(order) != 1) return false;
    major = client.queryExtension("MORVANDELL META").major;
    return major != 0;
  }
  Bytes next() {
    for (;;) {
      Bytes m = client.readMessage(60000);
      if (m.empty() || m[0] <= 1) return m;
    }
  }
  // AddServer and RemoveServer of a display name; the answer.
  Bytes addServer(const std::string& name) {
    Bytes add(8 + ((name.size() + 4) & ~size_t(3)));
    std::copy(name.begin(), name.end(), add.begin() + 8);
    client.send(client.request(major, 4, add));
    return next();
  }
  Bytes removeServer(const std::string& name) {
    Bytes remove(4 + ((name.size() + 4) & ~size_t(3)));
    remove[0] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), remove.begin() + 4);
    client.send(client.request(major, 5, remove));
    return next();
  }
  // SetHeadValues: the head on meta screen 0 at the logical rectangle
  // (x, y, width, height), without the automatic border when asked; the
  // answer.
  Bytes place(uint32_t head, std::vector<uint32_t> rectangle, bool noBorder = false) {
    std::vector<uint32_t> words{0};
    if (noBorder) words.push_back(0);
    words.insert(words.end(), rectangle.begin(), rectangle.end());
    Bytes values(8 + 4 * words.size());
    client.put32(values, 0, head);
    client.put32(values, 4, 0x2 | (noBorder ? 0x2000 : 0) | 0x4000 | 0x8000 | 0x10000 | 0x20000);
    for (size_t i = 0; i < words.size(); i++) client.put32(values, 8 + 4 * i, words[i]);
    client.send(client.request(major, 8, values));
    return next();
  }
};

class ServerJoin : public ::testing::Test {
 public:
  void SetUp() override {
    for (auto* server : {&a, &b, &c}) {
      *server = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "1280x1024x24"});
      ASSERT_TRUE((*server)->ok()) << (*server)->error();
    }
    controlPath = dir.file("control");
    std::vector<std::string> words{"noReset", "on", "logTypes", "Errors", "verbose", "options", "DynamicServer",
                                   "Failsafe"};
    if (inWindow) words.push_back("InWindow");
    if (translucent) words.push_back("Translucent");
    if (randr) words.insert(words.end(), {"extensions", "+RANDR"});
    words.insert(words.end(), {"screen", a->display() + ".0", "tags", "static", "screen", b->display() + ".0"});
    proxy = std::make_unique<ProxyProcess>(
        words, std::vector<std::string>{"PALVON_TEST_CONTROL=" + controlPath,
                                        "ASAN_OPTIONS=detect_leaks=1:log_path=" + reports.file("asan")});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    // The pointer starts in the middle, on B's head, which would then show
    // what a joining twin does not: onto A's.
    ASSERT_TRUE(warpPointerTo(proxy->display().c_str(), 100, 100));
  }
  // Ends the proxy with SIGTERM; what a sanitizer reported at its exit
  // (nothing without one).
  std::string exitReports() {
    proxy->signal(SIGTERM);
    proxy->wait(20000);
    return reports.allFiles();
  }

  // xterm on A, xeyes across the seam, xlogo on B; true once all three
  // stand on B.
  bool startPrograms() {
    programs.push_back(std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"xterm", "-geometry", "40x10+100+100"}, proxy->display()));
    programs.push_back(std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"xeyes", "-geometry", "200x150+1180+200"}, proxy->display()));
    programs.push_back(std::make_unique<BackgroundProgram>(
        std::vector<std::string>{"xlogo", "-geometry", "+1500+100"}, proxy->display()));
    return waitFor(
        [&] {
          std::string tree = treeOf(b->display());
          return contains(tree, "+1500+100") && contains(tree, "200x150+1180+200") && contains(tree, "+100+100");
        },
        30000);
  }

  // C joins at B's rectangle (its logical one: 1278x1022 at 1278,0 with
  // the automatic border); the reply of the last command.
  std::string addC() {
    std::string added = testControl(controlPath, "addserver " + c->display());
    if (added.rfind("ok ", 0) != 0) return added;
    return testControl(controlPath, "screen " + added.substr(3) + " 0 1278 0 1278 1022");
  }

  TempDir dir, reports;
  bool inWindow = false;  // the option InWindow as well
  bool translucent = false;  // and Translucent
  bool randr = false;        // and the extension RANDR
  std::string controlPath;
  std::unique_ptr<Xvfb> a, b, c;
  std::unique_ptr<ProxyProcess> proxy;
  std::vector<std::unique_ptr<BackgroundProgram>> programs;
};

TEST_F(ServerJoin, AJoiningServerShowsWhatItsTwinShows) {
  ASSERT_EQ(runProgram({"xsetroot", "-solid", "#336699"}, proxy->display()).status, 0);
  ASSERT_TRUE(startPrograms()) << treeOf(b->display()) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  std::string onB, onC;
  bool same = waitFor(
      [&] {
        onB = treeOf(b->display()), onC = treeOf(c->display());
        return onB == onC;
      },
      10000);
  EXPECT_TRUE(same) << "B:\n" << onB << "\nC:\n" << onC;
  EXPECT_TRUE(contains(onC, "100x100+1500+100") && contains(onC, "200x150+1180+200")) << onC;
  std::vector<uint32_t> pixelsB, pixelsC;
  same = waitFor(
      [&] {
        pixelsB = rootXwd(b->display(), dir.file("b.xwd")).pixels;
        pixelsC = rootXwd(c->display(), dir.file("c.xwd")).pixels;
        return !pixelsB.empty() && pixelsB == pixelsC;
      },
      15000);
  EXPECT_TRUE(same) << "xwd differs: " << dir.file("b.xwd") << " " << dir.file("c.xwd");
  EXPECT_EQ(pixelsC.size(), 1280u * 1024u);
  for (const char* window : {"100x100+1500+100", "200x150+1180+200", "244x134+100+100"}) {
    std::string masks = eventsOf(c->display(), window);
    EXPECT_TRUE(contains(masks, "Someone wants these events")) << masks;
    EXPECT_EQ(eventsOf(b->display(), window), masks) << window;
  }
  // xeyes' shape: as on B, where the proxy's SHAPE requests made it.
  std::string shape = eventsOf(c->display(), "200x150+1180+200", "-shape");
  EXPECT_TRUE(contains(shape, "Window shape extents:") && !contains(shape, "extents:  200x150+0+0")) << shape;
  EXPECT_EQ(eventsOf(b->display(), "200x150+1180+200", "-shape"), shape);
  // The extensions that give a joining server nothing of their own say so,
  // and only they: the shapes came with the windows.
  std::string log = proxy->log();
  for (const char* module : {"WIP (sync", "WIP (xvideo"}) EXPECT_TRUE(contains(log, module)) << module;
  EXPECT_FALSE(contains(log, "WIP (shape")) << log;
  EXPECT_FALSE(contains(log, "AddressSanitizer")) << log;
}


// xterm with a font from a directory put in the font path and taken out
// again; true once its window stands on B.
bool ServerJoinTerminalWithOwnFont(ServerJoin* t, const std::string& fonts) {
  std::string make = "mkdir -p " + fonts + " && cp /usr/share/fonts/X11/misc/9x15.pcf.gz " + fonts +
                     "/joinfont.pcf.gz && printf '1\\njoinfont.pcf.gz joinfont\\n' > " + fonts + "/fonts.dir";
  if (runProgram({"sh", "-c", make}, "").status != 0) return false;
  // Running clients keep the proxy from resetting (and forgetting the
  // path) when xset leaves.
  if (!t->startPrograms()) return false;
  if (runProgram({"xset", "+fp", fonts + "/"}, t->proxy->display()).status != 0) return false;
  t->programs.push_back(std::make_unique<BackgroundProgram>(
      std::vector<std::string>{"xterm", "-fn", "joinfont", "-geometry", "30x5+1400+300", "-e", "sh", "-c",
                               "echo joined; sleep 600"},
      t->proxy->display()));
  if (!waitFor([&] { return contains(treeOf(t->b->display()), "+1400+300"); }, 20000)) return false;
  // The terminal has drawn its text in the font: more than one colour.
  if (!waitFor(
          [&] {
            XwdImage shot;
            std::string error;
            ProgramResult xwd = runProgram({"xwd", "-silent", "-nobdrs", "-name", "xterm"}, t->proxy->display());
            if (!parseXwd(xwd.out, &shot, &error) || shot.pixels.empty()) return false;
            return std::any_of(shot.pixels.begin(), shot.pixels.end(), [&](uint32_t p) { return p != shot.pixels[0]; });
          },
          20000, 100))
    return false;
  return runProgram({"xset", "-fp", fonts + "/"}, t->proxy->display()).status == 0;
}

// A font opened under a font path the session no longer has is opened on
// the joining server under that path: xterm's text stands there as on B.
TEST_F(ServerJoin, AFontOpenedUnderAnOldPathIsOpenedUnderItOnTheNewServer) {
  ASSERT_TRUE(ServerJoinTerminalWithOwnFont(this, dir.file("fonts"))) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  std::vector<uint32_t> pixelsB, pixelsC;
  bool same = waitFor(
      [&] {
        pixelsB = rootXwd(b->display(), dir.file("b.xwd")).pixels;
        pixelsC = rootXwd(c->display(), dir.file("c.xwd")).pixels;
        return !pixelsB.empty() && pixelsB == pixelsC;
      },
      10000);
  EXPECT_TRUE(same) << "xwd differs: " << dir.file("b.xwd") << " " << dir.file("c.xwd") << proxy->log();
  // The terminal is still there, and so is its text.
  EXPECT_TRUE(contains(treeOf(c->display()), "+1400+300")) << proxy->log();
}

// A font path element that neither the joining server nor the font
// server has any more (its directory is gone) cannot hold the session's
// fonts there: the addition is refused by name, and the client goes on.
TEST_F(ServerJoin, AFontPathNoServerHasRefusesTheJoiningServer) {
  std::string fonts = dir.file("fonts");
  ASSERT_TRUE(ServerJoinTerminalWithOwnFont(this, fonts)) << proxy->log();
  ASSERT_EQ(runProgram({"rm", "-rf", fonts}, "").status, 0);
  std::string reply = addC();
  EXPECT_TRUE(contains(reply, "No font path '" + fonts + "/' on ") && contains(reply, c->display() + ".0"))
      << reply << proxy->log();
  EXPECT_FALSE(contains(treeOf(c->display()), "+1400+300"));
  EXPECT_TRUE(contains(treeOf(b->display()), "+1400+300")) << proxy->log();
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
}

// Removal by name: what may not go is refused with its reason, the rest
// leaves the new server bare and the session running.
TEST_F(ServerJoin, RemovalByName) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  ASSERT_TRUE(waitFor([&] { return contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
  struct Case {
    std::string name, reply;
  } cases[] = {
      {a->display(), "has tag STATIC set"},
      {":64999", "error Can't remove the unknown X server ':64999'"},
      {c->display(), "ok"},
  };
  for (const Case& k : cases) {
    std::string reply = testControl(controlPath, "removeserver " + k.name);
    EXPECT_TRUE(contains(reply, k.reply)) << k.name << ": " << reply;
  }
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "100x100+1500+100"); }, 10000))
      << treeOf(c->display());
  EXPECT_TRUE(contains(treeOf(b->display()), "100x100+1500+100"));
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
}

// The head holding the pointer keeps it where it stands on its server when
// the head moves (the meta point follows), and hands it back to the screen
// when the head leaves; the log names the meta point each time.
TEST_F(ServerJoin, ThePointerStaysWithItsHeadAndComesBackWhenTheHeadLeaves) {
  std::string log = proxy->log();
  size_t at = log.find("Init head " + b->display());
  ASSERT_NE(at, std::string::npos) << log;
  std::string bId = log.substr(log.find("xid=", at) + 4);
  bId = bId.substr(0, bId.find(' '));
  std::unique_ptr<Display, int (*)(Display*)> proxyClient(XOpenDisplay(proxy->display().c_str()), XCloseDisplay);
  std::unique_ptr<Display, int (*)(Display*)> onBClient(XOpenDisplay(b->display().c_str()), XCloseDisplay);
  Display* client = proxyClient.get();
  Display* onB = onBClient.get();
  ASSERT_TRUE(client && onB);
  XWarpPointer(client, None, DefaultRootWindow(client), 0, 0, 0, 0, 1500, 300);
  XSync(client, False);
  auto pointerOnB = [&] {
    Window root, child;
    int x = -1, y = -1, wx, wy;
    unsigned mask;
    XQueryPointer(onB, DefaultRootWindow(onB), &root, &child, &x, &y, &wx, &wy, &mask);
    return std::make_pair(x, y);
  };
  ASSERT_TRUE(waitFor([&] { return pointerOnB() == std::make_pair(1500 - 1278 + 1, 301); }, 5000));
  ASSERT_EQ(testControl(controlPath, "screen " + bId + " 0 1250 0 1278 1022"), "ok") << proxy->log();
  EXPECT_TRUE(proxy->waitForLog("Pointer repositioned to screen 0 +1472+300...", 20000)) << proxy->log();
  EXPECT_EQ(pointerOnB(), std::make_pair(1500 - 1278 + 1, 301));
  ASSERT_EQ(testControl(controlPath, "removeserver " + b->display()), "ok") << proxy->log();
  Window root, child;
  int x = -1, y = -1, wx, wy;
  unsigned mask;
  XQueryPointer(client, DefaultRootWindow(client), &root, &child, &x, &y, &wx, &wy, &mask);
  EXPECT_LT(x, 1278) << "on the remaining head";
  log = proxy->log();
  EXPECT_NE(log.find("Pointer repositioned to screen 0 +1472+300...", log.find(" removed by ")), std::string::npos)
      << log;
}

// Another program taking the lock selection on the new server takes the
// server away from the session.
TEST_F(ServerJoin, ALockTakenByAnotherProgramRemovesTheServer) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  ASSERT_TRUE(waitFor([&] { return contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
  Display* display = XOpenDisplay(c->display().c_str());
  ASSERT_NE(display, nullptr);
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(display, XInternAtom(display, "_PALVON_ATOM", False), window, CurrentTime);
  XSync(display, False);
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "100x100+1500+100"); }, 10000))
      << proxy->log();
  XCloseDisplay(display);
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
}

// A server that stops answering once it is open, before the session is
// copied onto it, fails the addition after its offline time-out; the
// session goes on as before and can take the server again. (Stopping it at
// a given copy step from outside would race with the proxy.)
TEST_F(ServerJoin, AServerStoppedDuringTheAdditionFailsIt) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  std::string before = treeOf(b->display());
  std::string added = testControl(controlPath, "addserver " + c->display() + " 2000");
  ASSERT_EQ(added.rfind("ok ", 0), 0u) << added;
  kill(c->pid(), SIGSTOP);
  std::string reply = testControl(controlPath, "screen " + added.substr(3) + " 0 1278 0 1278 1022");
  kill(c->pid(), SIGCONT);
  EXPECT_EQ(reply.rfind("error ", 0), 0u) << reply;
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
  EXPECT_EQ(treeOf(b->display()), before);
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
  EXPECT_EQ(addC(), "ok") << proxy->log();
  EXPECT_TRUE(waitFor([&] { return treeOf(c->display()) == treeOf(b->display()); }, 10000)) << proxy->log();
  // The failed addition left nothing behind (the font path its first probe
  // of C had borrowed when C stopped included).
  EXPECT_EQ(exitReports(), "");
}

// The same with the server stopped while the windows are copied: two
// clients own windows beside and inside each other's, so the copy takes a
// round trip per window and the stop lands in it. When the machine is so fast that the
// addition ends before the stop, there is nothing to test.
TEST_F(ServerJoin, AServerStoppedWhileTheWindowsAreCopiedFailsTheAddition) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  RawClient outer, inner;
  ASSERT_TRUE(outer.connectUnix(proxy->number()) && outer.setup('l') == 1);
  ASSERT_TRUE(inner.connectUnix(proxy->number()) && inner.setup('l') == 1);
  auto createWindow = [](RawClient& client, uint32_t id, uint32_t parent) {
    Bytes body(28);
    client.put32(body, 0, id);
    client.put32(body, 4, parent);
    client.put16(body, 12, 1);
    client.put16(body, 14, 1);
    client.put16(body, 18, 2);  // InputOnly
    client.send(client.request(1, 0, body));
  };
  // Each top-level window's owner alternates, and the other client owns
  // its child: every window waits for a round trip on the other's link.
  // The tops exist (a round trip through a server on each client) before
  // the children name them.
  constexpr uint32_t kPairs = 4000;
  auto roundTrip = [](RawClient& client, uint32_t window) {
    Bytes body(4);
    client.put32(body, 0, window);
    client.send(client.request(14, 0, body));  // GetGeometry
    Bytes reply = client.readMessage(60000);
    return !reply.empty() && reply[0] == 1;
  };
  for (uint32_t i = 1; i <= kPairs; i++) {
    RawClient& top = i % 2 ? outer : inner;
    createWindow(top, top.resourceIdBase() + i, outer.rootWindow());
  }
  ASSERT_TRUE(roundTrip(outer, outer.resourceIdBase() + 1) && roundTrip(inner, inner.resourceIdBase() + 2));
  for (uint32_t i = 1; i <= kPairs; i++) {
    RawClient& top = i % 2 ? outer : inner;
    RawClient& nested = i % 2 ? inner : outer;
    createWindow(nested, nested.resourceIdBase() + kPairs + i, top.resourceIdBase() + i);
  }
  ASSERT_TRUE(roundTrip(outer, outer.resourceIdBase() + kPairs + 2) &&
              roundTrip(inner, inner.resourceIdBase() + kPairs + 1));
  std::string added = testControl(controlPath, "addserver " + c->display() + " 2000");
  ASSERT_EQ(added.rfind("ok ", 0), 0u) << added;
  std::string reply;
  size_t from = proxy->log().size();
  std::thread adding([&] { reply = testControl(controlPath, "screen " + added.substr(3) + " 0 1278 0 1278 1022"); });
  bool seen = proxy->waitForLog("Copying windows...", 60000, from);
  kill(c->pid(), SIGSTOP);
  adding.join();
  kill(c->pid(), SIGCONT);
  ASSERT_TRUE(seen) << proxy->log();
  if (reply == "ok") GTEST_SKIP() << "the addition ended before the server was stopped";
  EXPECT_EQ(reply.rfind("error ", 0), 0u) << reply;
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
  EXPECT_TRUE(contains(treeOf(b->display()), "100x100+1500+100"));
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
}

// A server that cannot show the session's visuals is refused with the
// visual it lacks, and leaves nothing behind: it is unknown afterwards and
// another server can join.
TEST_F(ServerJoin, AServerWithoutTheSessionsVisualIsRefused) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  Xvfb shallow({"-screen", "0", "1280x1024x16"});
  ASSERT_TRUE(shallow.ok()) << shallow.error();
  std::string added = testControl(controlPath, "addserver " + shallow.display());
  ASSERT_EQ(added.rfind("ok ", 0), 0u) << added;
  std::string reply = testControl(controlPath, "screen " + added.substr(3) + " 0 1278 0 1278 1022");
  EXPECT_TRUE(contains(reply, "has no visual TrueColor 24 bit")) << reply;
  EXPECT_TRUE(contains(testControl(controlPath, "removeserver " + shallow.display()), "unknown X server"));
  EXPECT_FALSE(contains(treeOf(shallow.display()), "1278x1022"));
  EXPECT_EQ(addC(), "ok") << proxy->log();
}

// A server that dies while a client waits for its answers: the client gets
// exactly one answer to each request (the other server's where it has
// one), and goes on working.
TEST_F(ServerJoin, ALostServersClientsGetOneAnswerEach) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy->number()) && client.setup('l') == 1);
  uint32_t root = client.rootWindow();
  auto words = [&](std::initializer_list<uint32_t> values) {
    Bytes body(4 * values.size());
    size_t at = 0;
    for (uint32_t v : values) client.put32(body, at, v), at += 4;
    return body;
  };
  // The pointer onto B: WarpPointer to (1900, 500) of the meta root.
  Bytes warp = words({0, root, 0, 0, 0});
  client.put16(warp, 16, 1900);
  client.put16(warp, 18, 500);
  client.send(client.request(41, 0, warp));
  client.send(client.request(43, 0));  // GetInputFocus: a round trip
  ASSERT_FALSE(client.readMessage(10000).empty());
  ASSERT_EQ(kill(b->pid(), SIGSTOP), 0);
  client.send(client.request(38, 0, words({root})));  // QueryPointer: B holds the pointer
  Bytes image = words({root, 0, 0, 0xffffffff});  // GetImage (ZPixmap) of 10x10 at 1600,100 on B
  client.put16(image, 4, 1600);
  client.put16(image, 6, 100);
  client.put16(image, 8, 10);
  client.put16(image, 10, 10);
  client.send(client.request(73, 2, image));
  Bytes atom(8 + 4);
  client.put16(atom, 0, 7);
  std::string name = "JOINTST";
  std::copy(name.begin(), name.end(), atom.begin() + 4);
  client.send(client.request(16, 0, atom));  // InternAtom: the atom server A answers
  // B dies with the requests in the proxy's hands, or while a wait on the
  // stopped B holds the proxy before it could read them (not long then).
  waitFor([&] { return client.unreadSent() == 0; }, 3000, 5);
  ASSERT_EQ(kill(b->pid(), SIGKILL), 0);
  std::map<uint16_t, int> answers;
  std::map<uint16_t, Bytes> last;
  for (Bytes m = client.readMessage(15000); !m.empty(); m = client.readMessage(3000)) {
    if (m[0] > 1) continue;
    answers[client.get16(m, 2)]++;
    last[client.get16(m, 2)] = m;
  }
  // Sequences: WarpPointer 1, GetInputFocus 2, QueryPointer 3, GetImage 4,
  // InternAtom 5. The proxy answers QueryPointer from its own pointer on
  // the root asked about, and GetImage as after the drop: B's area lies
  // outside every head that remains and reads as zeros.
  EXPECT_EQ(answers, (std::map<uint16_t, int>{{3, 1}, {4, 1}, {5, 1}})) << proxy->log();
  const Bytes& pointer = last[3];
  ASSERT_GE(pointer.size(), 32u);
  EXPECT_EQ(pointer[0], 1);
  EXPECT_EQ(pointer[1], 1);  // same screen
  EXPECT_EQ(client.get32(pointer, 8), root);
  EXPECT_EQ(client.get16(pointer, 16), 1900);
  EXPECT_EQ(client.get16(pointer, 18), 500);
  EXPECT_EQ(client.get16(pointer, 20), 1900);  // the root's own position
  Bytes waited = last[4];
  ASSERT_GE(waited.size(), 32u);
  EXPECT_EQ(waited[0], 1) << "error " << int(waited[1]);
  EXPECT_EQ(waited.size(), 32u + 10 * 10 * 4);
  EXPECT_EQ(std::count(waited.begin() + 32, waited.end(), 0), waited.end() - waited.begin() - 32);
  EXPECT_EQ(last[5][0], 1);
  client.send(client.request(43, 0));
  Bytes later = client.readMessage(10000);
  ASSERT_GE(later.size(), 32u) << proxy->log();
  EXPECT_EQ(later[0], 1);
  EXPECT_EQ(client.get16(later, 2), 6);
  // The same read now: the same image.
  client.send(client.request(73, 2, image));
  Bytes after = client.readMessage(10000);
  ASSERT_GE(after.size(), 32u) << proxy->log();
  waited[2] = after[2], waited[3] = after[3];
  EXPECT_TRUE(waited == after) << "the waiting read differs from the one after the drop";
  EXPECT_EQ(runProgram({"xdpyinfo"}, proxy->display()).status, 0) << proxy->log();
}

// The same for a server that joined at run time, dying under drawing
// clients: every request gets exactly one answer, atoms from the atom
// server, none an answer for a request the proxy made on its connection,
// and every program goes on.
TEST_F(ServerJoin, AJoinedServerThatDiesLeavesTheOthersServed) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  ASSERT_TRUE(waitFor([&] { return contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
  programs.push_back(std::make_unique<BackgroundProgram>(
      std::vector<std::string>{"xclock", "-update", "1", "-geometry", "120x120+1240+400"}, proxy->display()));
  ASSERT_TRUE(waitFor([&] { return contains(treeOf(proxy->display()), "120x120+1240+400"); }, 20000)) << proxy->log();
  RawClient client;
  ASSERT_TRUE(client.connectUnix(proxy->number()) && client.setup('l') == 1);
  ASSERT_EQ(kill(c->pid(), SIGSTOP), 0);
  // CreateColormap on a screen of several heads makes the proxy wait for
  // every server to have taken the client's requests so far: C dies in
  // that wait, with the proxy's marker request on the client's connection.
  const Bytes& setup = client.setupReply();
  size_t screen = 40 + ((client.get16(setup, 24) + 3u) & ~3u) + 8u * setup[29];
  Bytes colormap(12);
  client.put32(colormap, 0, client.resourceIdBase() + 1);
  client.put32(colormap, 4, client.rootWindow());
  client.put32(colormap, 8, client.get32(setup, screen + 32));  // the root visual
  client.send(client.request(78, 0, colormap));  // CreateColormap, no reply
  Bytes atom(8 + 4);
  client.put16(atom, 0, 7);
  std::string name = "JOINTST";
  std::copy(name.begin(), name.end(), atom.begin() + 4);
  Bytes primary(4);
  client.put32(primary, 0, 1);
  Bytes after[] = {client.request(16, 0, atom),      // InternAtom
                   client.request(17, 0, primary),   // GetAtomName of PRIMARY
                   client.request(43, 0)};           // GetInputFocus
  size_t afterColormap = 0;
  for (const Bytes& request : after) client.send(request), afterColormap += request.size();
  // C dies once the proxy has taken the CreateColormap (it may wait on C
  // before it reads the requests after it), or while a wait on the stopped
  // C holds the proxy before it could read it (not long then).
  waitFor([&] { return client.unreadSent() >= 0 && client.unreadSent() <= long(afterColormap); }, 3000, 5);
  ASSERT_EQ(kill(c->pid(), SIGKILL), 0);
  std::map<uint16_t, int> answers;
  std::map<uint16_t, int> types;
  for (Bytes m = client.readMessage(15000); !m.empty(); m = client.readMessage(3000)) {
    if (m[0] > 1) continue;
    answers[client.get16(m, 2)]++;
    types[client.get16(m, 2)] = m[0];
  }
  EXPECT_EQ(answers, (std::map<uint16_t, int>{{2, 1}, {3, 1}, {4, 1}})) << proxy->log();
  EXPECT_EQ(types, (std::map<uint16_t, int>{{2, 1}, {3, 1}, {4, 1}})) << "replies, no errors\n" << proxy->log();
  EXPECT_TRUE(proxy->waitForLog("is offline, resuming", 15000)) << proxy->log();
  // Time on purpose, briefly: a program the drop cut would end by then.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  for (size_t i = 0; i < programs.size(); i++) EXPECT_TRUE(programs[i]->running()) << "program " << i << proxy->log();
  ProgramResult atoms = runProgram({"xprop", "-root", "RESOURCE_MANAGER", "WM_NAME"}, proxy->display());
  EXPECT_EQ(atoms.status, 0) << atoms.err << proxy->log();
  EXPECT_FALSE(contains(proxy->log(), "UNE (display_lost")) << proxy->log();
  EXPECT_FALSE(contains(proxy->log(), "AddressSanitizer")) << proxy->log();
}

// The control extension drives the same: AddServer opens C, SetHeadValues
// with the meta screen (0x2) and the logical rectangle adds it at B's
// place, RemoveServer takes it out again.
// The control also tiles a window and captures one to a file: the capture
// (from the window's first tiled head, A) holds what GetImage of the window
// shows through the proxy.
TEST_F(ServerJoin, TheControlTilesAndCapturesAWindow) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  ProgramResult info = runProgram({"xwininfo", "-name", "xterm"}, proxy->display());
  size_t at = info.out.find("Window id: ");
  ASSERT_NE(at, std::string::npos) << info.out;
  std::string id = info.out.substr(at + 11, info.out.find(' ', at + 11) - at - 11);
  EXPECT_EQ(testControl(controlPath, "tile " + id), "ok");
  EXPECT_TRUE(contains(testControl(controlPath, "tile 0x7"), "No window")) << "an id that names no window";
  // The pixels of a capture that differ from xwd's image taken after it;
  // -1 when either is missing or their sizes differ.
  auto differences = [&](const std::string& file) -> long {
    if (testControl(controlPath, "capture " + id + " 0 " + file) != "ok") return -1;
    if (!waitFor([&] { return readFile(file).size() > 20; }, 10000)) return -1;
    std::string ppm = readFile(file);
    std::istringstream header(ppm);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    header >> magic >> width >> height >> maximum;
    XwdImage image;
    std::string error;
    ProgramResult shot = runProgram({"xwd", "-silent", "-nobdrs", "-id", id}, proxy->display());
    if (magic != "P6" || !parseXwd(shot.out, &image, &error) || width != image.width || height != image.height)
      return -1;
    size_t pixels = ppm.size() - size_t(width) * size_t(height) * 3;
    long differ = 0;
    for (int y = 0; y < height; y++)
      for (int x = 0; x < width; x++) {
        size_t p = pixels + 3 * (size_t(y) * size_t(width) + size_t(x));
        uint32_t rgb = uint32_t(uint8_t(ppm[p])) << 16 | uint32_t(uint8_t(ppm[p + 1])) << 8 | uint8_t(ppm[p + 2]);
        differ += rgb != image.at(x, y);
      }
    return differ;
  };
  // xterm may still be drawing: the capture must come to agree with it.
  long differ = -1;
  int attempt = 0;
  waitFor([&] { return (differ = differences(dir.file("term" + std::to_string(attempt++) + ".ppm"))) == 0; }, 20000,
          250);
  EXPECT_EQ(differ, 0) << proxy->log();
}

// A server that joins beside the meta screen widens it and one that leaves
// narrows it again, each told as a plain server with RANDR tells a new
// size: the root's ConfigureNotify and RANDR's screen-change notify. A
// window that stood on the leaving server stays where it was (a window
// manager now learns to move it).
class RandrJoin : public ServerJoin {
 public:
  void SetUp() override {
    randr = true;
    ServerJoin::SetUp();
  }
};

TEST_F(RandrJoin, ARemovedServerIsToldAsAJoiningOneIs) {
  RawClient listener;
  ASSERT_TRUE(listener.connectUnix(proxy->number()) && listener.setup('l') == 1);
  uint32_t root = listener.rootWindow();
  RawClient::Codes randrCodes = listener.queryExtension("RANDR");
  ASSERT_NE(randrCodes.major, 0) << proxy->log();
  Bytes select(8);
  listener.put32(select, 0, root), listener.put32(select, 4, 1);  // RRScreenChangeNotifyMask
  listener.send(listener.request(randrCodes.major, 4, select));
  Bytes attributes(12);
  listener.put32(attributes, 0, root), listener.put32(attributes, 4, 0x800), listener.put32(attributes, 8, 0x20000);
  listener.send(listener.request(2, 0, attributes));  // StructureNotify on the root
  // What the listener hears of one change (in either order): the root's
  // new width, and RANDR's.
  auto heard = [&] {
    std::vector<std::string> told;
    for (Bytes m = listener.readMessage(3000); !m.empty(); m = listener.readMessage(1000)) {
      uint8_t code = m[0] & 0x7f;
      if (code == 22) told.push_back("configure " + std::to_string(listener.get16(m, 20)) + "; ");
      if (code == randrCodes.firstEvent) told.push_back("screen " + std::to_string(listener.get16(m, 24)) + "; ");
    }
    std::sort(told.begin(), told.end());
    std::string text;
    for (const std::string& line : told) text += line;
    return text;
  };
  MetaControl meta;
  ASSERT_TRUE(meta.open(proxy->number(), 'l')) << proxy->log();
  Bytes added = meta.addServer(c->display());
  ASSERT_GE(added.size(), 36u);
  ASSERT_EQ(added[1], 0) << proxy->log();
  ASSERT_EQ(meta.place(meta.client.get32(added, 32), {2556, 0, 1278, 1022}).size(), 32u);
  EXPECT_EQ(heard(), "configure 3834; screen 3834; ") << proxy->log();
  Display* d = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(d, nullptr);
  Window onC = XCreateSimpleWindow(d, DefaultRootWindow(d), 3000, 200, 300, 200, 1, 0, 0xffffff);
  XMapWindow(d, onC);
  XSync(d, False);
  Bytes removed = meta.removeServer(c->display());
  ASSERT_GE(removed.size(), 32u);
  EXPECT_EQ(meta.client.get32(removed, 8), 0u) << proxy->log();
  EXPECT_EQ(heard(), "configure 2556; screen 2556; ") << proxy->log();
  Window rootOf;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  ASSERT_TRUE(XGetGeometry(d, onC, &rootOf, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" + std::to_string(y),
            "300x200+3000+200");
  XCloseDisplay(d);
}

// With InWindow, META's AddHead shows the meta area in a window of C: a
// 400x300 head placed at the meta screen's top-left shows xterm's window
// there; RemoveHead takes it away again.
class InWindowJoin : public ServerJoin {
 public:
  void SetUp() override {
    inWindow = true;
    ServerJoin::SetUp();
  }
};

TEST_F(InWindowJoin, AddHeadShowsTheMetaAreaInAWindowAndRemoveHeadTakesItAway) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  Display* onC = XOpenDisplay(c->display().c_str());
  ASSERT_NE(onC, nullptr);
  Window frame = XCreateSimpleWindow(onC, DefaultRootWindow(onC), 50, 50, 400, 300, 0, 0, 0);
  XMapWindow(onC, frame);
  XSync(onC, False);
  MetaControl meta;
  ASSERT_TRUE(meta.open(proxy->number(), 'B')) << proxy->log();
  RawClient& client = meta.client;
  uint8_t major = meta.major;
  auto next = [&] { return meta.next(); };
  std::string name = c->display() + ".0";
  Bytes add(12 + ((name.size() + 4) & ~size_t(3)));
  client.put16(add, 0, 400);
  client.put16(add, 2, 300);
  client.put32(add, 4, uint32_t(frame));
  std::copy(name.begin(), name.end(), add.begin() + 12);
  client.send(client.request(major, 11, add));
  Bytes added = next();
  ASSERT_GE(added.size(), 32u);
  ASSERT_EQ(added[1], 0) << proxy->log();
  uint32_t head = client.get32(added, 8);
  Bytes values(8 + 5 * 4);
  client.put32(values, 0, head);
  client.put32(values, 4, 0x2 | 0x4000 | 0x8000 | 0x10000 | 0x20000);
  uint32_t words[] = {0, 0, 0, 400, 300};
  for (size_t i = 0; i < 5; i++) client.put32(values, 8 + 4 * i, words[i]);
  client.send(client.request(major, 8, values));
  Bytes placed = next();
  ASSERT_GE(placed.size(), 32u);
  EXPECT_EQ(placed[1], 0) << proxy->log();
  // xterm at +100+100 of the meta screen stands in the frame on C.
  EXPECT_TRUE(waitFor([&] { return contains(treeOf(c->display()), "+100+100 "); }, 10000))
      << treeOf(c->display()) << proxy->log();
  Bytes gone(4);
  client.put32(gone, 0, head);
  client.send(client.request(major, 12, gone));
  Bytes removed = next();
  ASSERT_GE(removed.size(), 32u);
  EXPECT_EQ(client.get32(removed, 8), 0u) << proxy->log();
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "+100+100 "); }, 10000)) << treeOf(c->display());
  XCloseDisplay(onC);
}

// The pixels of the first window of that size on a server, read from its
// root at the window's absolute place ("WxH+x+y  +ax+ay" in its tree).
std::vector<unsigned long> windowPixels(const std::string& display, int width, int height) {
  std::vector<unsigned long> pixels;
  std::string tree = runProgram({"xwininfo", "-root", "-tree"}, display).out;
  size_t at = tree.find(" " + std::to_string(width) + "x" + std::to_string(height) + "+");
  if (at == std::string::npos) return pixels;
  std::string line = tree.substr(at, tree.find('\n', at) - at);
  int ax = 0, ay = 0;
  if (sscanf(line.c_str() + line.find_last_of(' ') + 1, "+%d+%d", &ax, &ay) != 2) return pixels;
  Display* server = XOpenDisplay(display.c_str());
  if (!server) return pixels;
  if (XImage* image = XGetImage(server, DefaultRootWindow(server), ax, ay, unsigned(width), unsigned(height),
                                AllPlanes, ZPixmap)) {
    for (int y = 0; y < height; y++)
      for (int x = 0; x < width; x++) pixels.push_back(XGetPixel(image, x, y) & 0xffffff);
    XDestroyImage(image);
  }
  XCloseDisplay(server);
  return pixels;
}

// A back buffer allocated before C joined is allocated on C too: drawing
// into it and swapping after the addition shows on C without an error.
TEST_F(ServerJoin, ABackBufferReachesAJoiningServer) {
  Display* client = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(client, nullptr);
  int major = 0, minor = 0;
  ASSERT_TRUE(XdbeQueryExtension(client, &major, &minor));
  static int errors;
  errors = 0;
  XSetErrorHandler([](Display*, XErrorEvent*) { return ++errors, 0; });
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0x0000ff;
  attributes.override_redirect = True;
  Window window = XCreateWindow(client, DefaultRootWindow(client), 1600, 600, 100, 80, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(client, window);
  XdbeBackBuffer back = XdbeAllocateBackBufferName(client, window, XdbeUndefined);
  XSync(client, False);
  ASSERT_EQ(addC(), "ok") << proxy->log();
  GC gc = XCreateGC(client, window, 0, nullptr);
  XSetForeground(client, gc, 0xff0000);
  XFillRectangle(client, back, gc, 0, 0, 100, 80);
  XdbeSwapInfo swap{window, XdbeUndefined};
  XdbeSwapBuffers(client, &swap, 1);
  XSync(client, False);
  EXPECT_EQ(errors, 0);
  std::vector<unsigned long> onC;
  bool red = waitFor(
      [&] {
        onC = windowPixels(c->display(), 100, 80);
        return !onC.empty() && std::count(onC.begin(), onC.end(), 0xff0000ul) == long(onC.size());
      },
      10000);
  EXPECT_TRUE(red) << std::hex << (onC.empty() ? 0 : onC[0]) << "\n" << proxy->log();
  XFreeGC(client, gc);
  XCloseDisplay(client);
}

// A GC whose font its client closed keeps that font on a joining server:
// text drawn with it after the addition looks on C as on B.
TEST_F(ServerJoin, AGCKeepsItsClosedFontOnAJoiningServer) {
  Display* client = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(client, nullptr);
  Font font = XLoadFont(client, "10x20");
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0xffffff;
  attributes.override_redirect = True;
  Window window = XCreateWindow(client, DefaultRootWindow(client), 1600, 600, 210, 40, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(client, window);
  XGCValues values{};
  values.font = font;
  values.foreground = 0;
  GC gc = XCreateGC(client, window, GCFont | GCForeground, &values);
  XUnloadFont(client, font);  // the GC keeps it
  XSync(client, False);
  ASSERT_EQ(addC(), "ok") << proxy->log();
  XDrawString(client, window, gc, 5, 25, "Closed but kept", 15);
  XSync(client, False);
  std::vector<unsigned long> onB, onC;
  bool same = waitFor(
      [&] {
        onB = windowPixels(b->display(), 210, 40), onC = windowPixels(c->display(), 210, 40);
        return !onB.empty() && onB == onC;
      },
      10000);
  EXPECT_TRUE(same) << proxy->log();
  EXPECT_NE(std::count(onB.begin(), onB.end(), 0ul), 0) << "the text was drawn";
  XFreeGC(client, gc);
  XCloseDisplay(client);
}

// A pixmap its client freed while its own window's background and its own
// GC's tile still use it lives on; a server joining while the client is
// still connected shows the pattern as B does, behind the window and in a
// fill drawn with the GC after the addition.
TEST_F(ServerJoin, AFreedPixmapStillInUseReachesAJoiningServer) {
  Display* client = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(client, nullptr);
  static int errors;
  errors = 0;
  XSetErrorHandler([](Display*, XErrorEvent*) { return ++errors, 0; });
  Window root = DefaultRootWindow(client);
  Pixmap pattern = XCreatePixmap(client, root, 16, 16, unsigned(DefaultDepth(client, 0)));
  GC paint = XCreateGC(client, pattern, 0, nullptr);
  XSetForeground(client, paint, 0x00ff00);
  XFillRectangle(client, pattern, paint, 0, 0, 16, 16);
  XSetForeground(client, paint, 0x800080);
  XFillRectangle(client, pattern, paint, 0, 0, 8, 8);
  XFillRectangle(client, pattern, paint, 8, 8, 8, 8);
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = pattern;
  attributes.override_redirect = True;
  Window window = XCreateWindow(client, root, 1600, 600, 120, 90, 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWBackPixmap | CWOverrideRedirect, &attributes);
  XGCValues values{};
  values.fill_style = FillTiled;
  values.tile = pattern;
  GC tiled = XCreateGC(client, window, GCFillStyle | GCTile, &values);
  XFreePixmap(client, pattern);
  XMapWindow(client, window);
  XSync(client, False);
  ASSERT_EQ(addC(), "ok") << proxy->log();
  XFillRectangle(client, window, tiled, 60, 0, 60, 90);
  XSync(client, False);
  EXPECT_EQ(errors, 0);
  std::vector<unsigned long> onB, onC;
  bool same = waitFor(
      [&] {
        onB = windowPixels(b->display(), 120, 90), onC = windowPixels(c->display(), 120, 90);
        return !onB.empty() && onB == onC;
      },
      10000);
  EXPECT_TRUE(same) << proxy->log();
  long purple = std::count(onB.begin(), onB.end(), 0x800080ul);
  EXPECT_TRUE(purple > long(onB.size()) * 4 / 10 && purple < long(onB.size()) * 6 / 10) << "B shows the pattern";
  XFreeGC(client, tiled);
  XFreeGC(client, paint);
  XCloseDisplay(client);
}

// The requests of one direction of a relayed connection, the set-up skipped.
std::vector<Bytes> requestsOf(const Bytes& stream) {
  std::vector<Bytes> out;
  if (stream.size() < 12) return out;
  char order = char(stream[0]);
  auto padded = [](size_t n) { return (n + 3) & ~size_t(3); };
  size_t at = 12 + padded(wire16(stream, 6, order)) + padded(wire16(stream, 8, order));
  while (at + 4 <= stream.size()) {
    size_t length = size_t(wire16(stream, at + 2, order)) * 4;
    if (length == 0 && at + 8 <= stream.size()) length = size_t(wire32(stream, at + 4, order)) * 4;
    if (length < 4 || at + length > stream.size()) break;
    out.emplace_back(stream.begin() + long(at), stream.begin() + long(at + length));
    at += length;
  }
  return out;
}

// Cursors whose ids their clients freed still show where they were put: on
// the root (xsetroot, which leaves at once), on a window and in a passive
// button grab. A server joining gets each made for it, under an id it
// accepts, and used there.
TEST_F(ServerJoin, CursorsWhoseIdsWereFreedReachAJoiningServer) {
  ExtensionRelay relay(*c);
  ASSERT_TRUE(relay.ok()) << relay.error();
  relay.keepTranscripts(true);
  ASSERT_EQ(runProgram({"xsetroot", "-cursor_name", "watch"}, proxy->display()).status, 0);
  Display* client = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(client, nullptr);
  Cursor cross = XCreateFontCursor(client, 34), hand = XCreateFontCursor(client, 60);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0x0000ff;
  attributes.override_redirect = True;
  attributes.cursor = cross;
  Window window = XCreateWindow(client, DefaultRootWindow(client), 1600, 600, 100, 80, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWBackPixel | CWOverrideRedirect | CWCursor, &attributes);
  XGrabButton(client, Button3, AnyModifier, window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, hand);
  XFreeCursor(client, cross);
  XFreeCursor(client, hand);
  XMapWindow(client, window);
  XSync(client, False);
  std::string added = testControl(controlPath, "addserver " + relay.display());
  ASSERT_EQ(added.rfind("ok ", 0), 0u) << added << proxy->log();
  ASSERT_EQ(testControl(controlPath, "screen " + added.substr(3) + " 0 1278 0 1278 1022"), "ok") << proxy->log();
  XSync(client, False);
  // Which ids the proxy made into cursors from their images (its own
  // cursors are glyph cursors), and where each was used.
  ExtensionRelay::Codes render;
  ASSERT_TRUE(relay.serverCodes("RENDER", &render));
  std::map<uint32_t, int> made;
  struct Use {
    uint8_t major;
    uint32_t window, cursor;
  };
  std::vector<Use> windowCursors;
  std::vector<uint32_t> grabCursors;
  for (size_t k = 0; k < relay.connectionCount(); k++) {
    Bytes stream = relay.transcript(k).toServer;
    if (stream.empty()) continue;
    char order = char(stream[0]);
    for (const Bytes& r : requestsOf(stream)) {
      // RENDER's CreateCursor and CreateAnimCursor (xsetroot's watch may be animated).
      if (r[0] == 93 || (r[0] == render.major && (r[1] == 27 || r[1] == 31))) made[wire32(r, 4, order)]++;
      uint32_t valueMask = 0, window = 0, values = 0;
      if (r[0] == 1 && r.size() >= 32) window = wire32(r, 4, order), valueMask = wire32(r, 28, order), values = 32;
      if (r[0] == 2 && r.size() >= 12) window = wire32(r, 4, order), valueMask = wire32(r, 8, order), values = 12;
      if (valueMask & CWCursor) {
        size_t at = values + 4 * size_t(__builtin_popcount(valueMask & (CWCursor - 1)));
        if (at + 4 <= r.size()) windowCursors.push_back({r[0], window, wire32(r, at, order)});
      }
      if (r[0] == 28 && r.size() >= 24) grabCursors.push_back(wire32(r, 16, order));
    }
  }
  Display* onC = XOpenDisplay(c->display().c_str());
  ASSERT_NE(onC, nullptr);
  auto parentOf = [&](Window w) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(onC, w, &root, &parent, &children, &count)) return Window(0);
    if (children) XFree(children);
    return parent;
  };
  // C's copy of the window: the only 100x80 window there.
  Window copy = 0;
  std::string tree = runProgram({"xwininfo", "-root", "-tree"}, c->display()).out;
  size_t at = tree.find(" 100x80+");
  if (at != std::string::npos) copy = std::stoul(tree.substr(tree.rfind("0x", at), 10), nullptr, 16);
  ASSERT_NE(copy, 0u) << tree;
  Window metaRoot = parentOf(copy);
  // The last cursor given to the window by that request (the proxy made
  // its root on C with a cursor of its own, and sets the root's later).
  auto cursorOf = [&](Window w, uint8_t major) {
    uint32_t last = 0;
    for (const Use& use : windowCursors)
      if (use.window == w && use.major == major) last = use.cursor;
    return last;
  };
  EXPECT_NE(made.count(cursorOf(copy, X_CreateWindow)), 0u) << "the window's cursor";
  EXPECT_NE(made.count(cursorOf(metaRoot, X_ChangeWindowAttributes)), 0u) << "the root's cursor";
  ASSERT_FALSE(grabCursors.empty());
  EXPECT_NE(made.count(grabCursors.back()), 0u) << "the grab's cursor";
  EXPECT_FALSE(contains(proxy->log(), "of a copy onto")) << proxy->log();
  XCloseDisplay(onC);
  XCloseDisplay(client);
}

class TranslucentJoin : public ServerJoin {
 public:
  void SetUp() override {
    translucent = true;
    ServerJoin::SetUp();
  }
};

// The bounding shape of the first window of that geometry on a server
// (as "xwininfo -tree" gives it), as rectangles "x,y WxH".
std::string boundingOf(const std::string& display, const std::string& geometry) {
  std::string tree = runProgram({"xwininfo", "-root", "-tree"}, display).out;
  size_t at = tree.find(" " + geometry + " ");
  if (at == std::string::npos) return "(no window)";
  Window window = std::stoul(tree.substr(tree.rfind("0x", at), 10), nullptr, 16);
  Display* server = XOpenDisplay(display.c_str());
  if (!server) return "(no display)";
  int count = 0, ordering = 0;
  std::string out;
  XRectangle* r = XShapeGetRectangles(server, window, ShapeBounding, &count, &ordering);
  for (int k = 0; k < count; k++)
    out += std::to_string(r[k].x) + "," + std::to_string(r[k].y) + " " + std::to_string(r[k].width) + "x" +
           std::to_string(r[k].height) + "\n";
  if (r) XFree(r);
  XCloseDisplay(server);
  return out;
}

// A translucent window on B with a key-coloured hole and an opaque child,
// its client redrawing it on Expose: C joining at B's place holds the same
// shape for it and shows the same pixels as B; drawing after the addition
// cuts the same hole on both.
TEST_F(TranslucentJoin, AJoiningServerShowsTheTranslucentWindowsAsItsTwin) {
  constexpr unsigned long kKey = 0x123456;
  Display* client = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(client, nullptr);
  Window root = DefaultRootWindow(client);
  plainWindow(client, root, 1350, 50, 500, 400, 0x0000ff);
  Window t = plainWindow(client, root, 1400, 100, 300, 200, 0xff0000);
  plainWindow(client, t, 20, 20, 40, 40, 0x00ff00);
  XSelectInput(client, t, ExposureMask);
  XSync(client, False);
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy->number()) && raw.setup('l') == 1);
  uint8_t major = raw.queryExtension("MORVANDELL TRANSLUCENT").major;
  ASSERT_NE(major, 0) << proxy->log();
  Bytes enable(12);
  raw.put32(enable, 0, uint32_t(t));
  raw.put32(enable, 4, 0);
  raw.put32(enable, 8, uint32_t(kKey));
  raw.send(raw.request(major, 2, enable));
  Bytes query(4);
  raw.put32(query, 0, uint32_t(t));
  // A round trip on the raw client, then T's Expose events answered by
  // drawing its key-coloured areas again, until none comes for a second.
  GC gc = XCreateGC(client, t, 0, nullptr);
  XSetForeground(client, gc, kKey);
  std::vector<XRectangle> holes{{0, 0, 150, 100}};
  auto settle = [&] {
    XSync(client, False);
    raw.send(raw.request(major, 1, query));
    Bytes answer = raw.readMessage(10000);
    EXPECT_TRUE(!answer.empty() && answer[0] == 1) << proxy->log();
    for (int quiet = 0; quiet < 10;) {
      if (!XPending(client)) {
        usleep(100000), quiet++;
        XSync(client, False);
        continue;
      }
      XEvent event;
      XNextEvent(client, &event);
      if (event.type == Expose && event.xexpose.count == 0)
        XFillRectangles(client, t, gc, holes.data(), int(holes.size())), quiet = 0;
    }
  };
  XFillRectangles(client, t, gc, holes.data(), int(holes.size()));
  settle();
  std::string onB = boundingOf(b->display(), "300x200+1400+100");
  ASSERT_NE(onB, "0,0 300x200\n");
  ASSERT_EQ(addC(), "ok") << proxy->log();
  auto same = [&](const char* step) {
    settle();
    std::string shapeB = boundingOf(b->display(), "300x200+1400+100");
    EXPECT_EQ(shapeB, boundingOf(c->display(), "300x200+1400+100")) << step;
    EXPECT_NE(shapeB, "0,0 300x200\n") << step << ": T has holes";
    std::vector<uint32_t> pixelsB, pixelsC;
    bool equal = waitFor(
        [&] {
          pixelsB = rootXwd(b->display(), dir.file("b.xwd")).pixels;
          pixelsC = rootXwd(c->display(), dir.file("c.xwd")).pixels;
          return !pixelsB.empty() && pixelsB == pixelsC;
        },
        10000);
    EXPECT_TRUE(equal) << step << ": xwd differs: " << dir.file("b.xwd") << " " << dir.file("c.xwd");
  };
  same("after the addition");
  EXPECT_EQ(boundingOf(b->display(), "300x200+1400+100"), onB);
  holes.push_back({150, 100, 150, 100});
  XFillRectangle(client, t, gc, 150, 100, 150, 100);
  same("a fill after the addition");
  XFreeGC(client, gc);
  XCloseDisplay(client);
}

// With keepWindowsVisible, a window only B showed moves onto A when B is
// lost; while C shows B's place it stays, and moves once C is removed.
TEST(KeepVisibleWithAJoinedServer, AWindowMovesOnlyWhenNoServerShowsItsPlace) {
  Xvfb a({"-screen", "0", "1280x1024x24"}), b({"-screen", "0", "1280x1024x24"}), c({"-screen", "0", "1280x1024x24"});
  ASSERT_TRUE(a.ok() && b.ok() && c.ok()) << a.error() << b.error() << c.error();
  TempDir dir;
  std::string path = dir.file("control");
  std::vector<std::string> words{"noReset", "on", "options", "DynamicServer", "Failsafe", "metaScreen", "m",
                                 "keepWindowsVisible", "50"};
  for (const Xvfb* server : {&a, &b})
    words.insert(words.end(), {"screen", server->display() + ".0", "ofMetaScreen", "m", "borderWidth", "0"});
  ProxyProcess proxy(words, {"PALVON_TEST_CONTROL=" + path});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  BackgroundProgram logo({"xlogo", "-geometry", "100x100+1500+100"}, proxy.display());
  auto logoAt = [&](const std::string& place) {
    return waitFor([&] { return contains(treeOf(proxy.display()), "100x100" + place); }, 10000);
  };
  ASSERT_TRUE(logoAt("+1500+100")) << treeOf(proxy.display());
  std::string added = testControl(path, "addserver " + c.display());
  ASSERT_EQ(added.rfind("ok ", 0), 0u) << added;
  ASSERT_EQ(testControl(path, "screen " + added.substr(3) + " 0 1280 0 1280 1024"), "ok") << proxy.log();
  kill(b.pid(), SIGKILL);
  ASSERT_TRUE(proxy.waitForLog("is offline, resuming", 30000)) << proxy.log();
  // Time on purpose, briefly: a window the loss moved would have moved by then.
  usleep(500000);
  EXPECT_TRUE(contains(treeOf(proxy.display()), "100x100+1500+100")) << "C still shows it";
  EXPECT_EQ(testControl(path, "removeserver " + c.display()), "ok") << proxy.log();
  EXPECT_TRUE(logoAt("+1230+100")) << treeOf(proxy.display()) << proxy.log();
  b.stop();
}

TEST_F(ServerJoin, TheControlExtensionAddsAndRemovesAServer) {
  ASSERT_TRUE(startPrograms()) << proxy->log();
  MetaControl meta;
  ASSERT_TRUE(meta.open(proxy->number(), 'l')) << proxy->log();
  RawClient& client = meta.client;
  auto status = [&](const Bytes& reply) {
    if (reply.size() < 32 || reply[0] != 1) return std::string("(no reply)");
    uint32_t length = client.get32(reply, 8);
    if (reply.size() < 32 + length) return std::string("(short)");
    return std::string(reply.begin() + 32, reply.begin() + 32 + length).substr(0, length);
  };
  // A server opened but never placed in a screen can go again.
  ASSERT_EQ(meta.addServer(c->display())[1], 0) << proxy->log();
  EXPECT_EQ(status(meta.removeServer(c->display())), "") << proxy->log();
  // A server placed and removed comes back at once, again and again; a
  // client that sent nothing meanwhile gets nothing from the leaves.
  RawClient idle;
  ASSERT_TRUE(idle.connectUnix(proxy->number()) && idle.setup('l') == 1);
  for (int i = 0; i < 30; i++) {
    Bytes again = meta.addServer(c->display());
    ASSERT_EQ(again.size() > 32 ? again[1] : -1, 0) << i << ": " << status(again) << proxy->log();
    ASSERT_EQ(status(meta.place(client.get32(again, 32), {1278, 0, 1278, 1022})), "") << proxy->log();
    ASSERT_EQ(status(meta.removeServer(c->display())), "") << i << proxy->log();
  }
  ASSERT_TRUE(idle.send(idle.request(X_GetInputFocus, 0)));
  Bytes focus = idle.readMessage();
  EXPECT_TRUE(focus.size() == 32 && focus[0] == 1 && idle.get16(focus, 2) == 1) << (focus.empty() ? -1 : focus[0]);
  Bytes added = meta.addServer(c->display());
  ASSERT_GE(added.size(), 36u);
  ASSERT_EQ(added[1], 0) << status(added) << proxy->log();
  ASSERT_EQ(client.get16(added, 8), 1);
  EXPECT_EQ(status(meta.place(client.get32(added, 32), {1278, 0, 1278, 1022})), "") << proxy->log();
  EXPECT_TRUE(waitFor([&] { return treeOf(c->display()) == treeOf(b->display()); }, 10000)) << treeOf(c->display());
  EXPECT_EQ(status(meta.removeServer(c->display())), "") << proxy->log();
  EXPECT_TRUE(waitFor([&] { return !contains(treeOf(c->display()), "100x100+1500+100"); }, 10000));
}

// A window with an alpha channel as toolkits make them (a visual and
// colormap of its own, a border pixel given, no border width) that stands
// before C joins stands on C as on B.
TEST_F(ServerJoin, AWindowWithAlphaReachesAJoiningServer) {
  Display* d = XOpenDisplay(proxy->display().c_str());
  ASSERT_TRUE(d) << proxy->log();
  XVisualInfo info;
  ASSERT_TRUE(XMatchVisualInfo(d, DefaultScreen(d), 32, TrueColor, &info));
  XSetWindowAttributes values{};
  values.colormap = XCreateColormap(d, DefaultRootWindow(d), info.visual, AllocNone);
  values.border_pixel = 0;
  values.background_pixel = 0xff336699;
  Window w = XCreateWindow(d, DefaultRootWindow(d), 1500, 300, 120, 90, 0, 32, InputOutput, info.visual,
                           CWColormap | CWBorderPixel | CWBackPixel, &values);
  XMapWindow(d, w);
  XSync(d, False);
  ASSERT_TRUE(waitFor([&] { return contains(treeOf(b->display()), "120x90+1500+300"); }, 10000)) << proxy->log();
  ASSERT_EQ(addC(), "ok") << proxy->log();
  EXPECT_TRUE(waitFor([&] { return treeOf(c->display()) == treeOf(b->display()); }, 10000))
      << "B:\n" << treeOf(b->display()) << "C:\n" << treeOf(c->display());
  XCloseDisplay(d);
}

// C joined through the control extension with border width 0 shows the
// meta screen from its screen's corner: the proxy's window there stands at
// 0,0 at the logical size (not where the automatic border had put it).
TEST_F(ServerJoin, AServerJoinedWithoutBorderShowsFromItsCorner) {
  MetaControl meta;
  ASSERT_TRUE(meta.open(proxy->number(), 'l')) << proxy->log();
  RawClient& client = meta.client;
  Bytes added = meta.addServer(c->display());
  ASSERT_GE(added.size(), 36u);
  ASSERT_EQ(added[1], 0) << proxy->log();
  // Meta screen 0, border 0, at B's logical rectangle.
  Bytes status = meta.place(client.get32(added, 32), {1278, 0, 1278, 1022}, true);
  ASSERT_GE(status.size(), 32u);
  EXPECT_EQ(client.get32(status, 8), 0u) << proxy->log();
  std::string top;
  EXPECT_TRUE(waitFor(
      [&] {
        top = runProgram({"xwininfo", "-root", "-children"}, c->display()).out;
        return contains(top, "1278x1022+0+0");
      },
      10000))
      << top;
}

}  // namespace
}  // namespace palvon::test
