// The proxy program in front of one and two Xvfb: X programs through it
// against the same programs straight on the atom server, raw clients of
// either byte order, and the reset and exit signals.
#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/strings.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of the text that begin with the prefix (after blanks).
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

// The lines of one "xset q" section, its title included.
std::string xsetSection(const std::string& text, const std::string& title) {
  size_t at = text.find(title);
  if (at == std::string::npos) return "";
  size_t end = at + title.size();
  // A section ends where the next unindented title begins.
  for (size_t nl = text.find('\n', end); nl != std::string::npos; nl = text.find('\n', nl + 1)) {
    if (nl + 1 >= text.size() || (text[nl + 1] != ' ' && text[nl + 1] != '\t')) return text.substr(at, nl - at);
  }
  return text.substr(at);
}

// --- One and two heads -------------------------------------------------------------

class ProxyHeads : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(first.ok()) << first.error();
    std::vector<std::string> words{"noReset", "on", "screen", first.display() + ".0"};
    if (GetParam() == 2) {
      second.emplace(std::vector<std::string>{"-screen", "0", "800x600x24"});
      ASSERT_TRUE(second->ok()) << second->error();
      words.insert(words.end(), {"screen", second->display() + ".0"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  ProgramResult viaProxy(const std::vector<std::string>& argv) { return runProgram(argv, proxy->display()); }
  ProgramResult direct(const std::vector<std::string>& argv) { return runProgram(argv, first.display()); }

  Xvfb first{{"-screen", "0", "1024x768x24"}};
  std::optional<Xvfb> second;
  std::unique_ptr<ProxyProcess> proxy;
};

// Atoms live on the atom server: the proxy's list is that server's.
TEST_P(ProxyHeads, AtomsAreTheAtomServers) {
  ProgramResult through = viaProxy({"xlsatoms"});
  ProgramResult straight = direct({"xlsatoms"});
  EXPECT_EQ(through.status, 0) << through.err;
  EXPECT_EQ(through.out, straight.out);
  EXPECT_GT(through.out.size(), 1000u);
}

TEST_P(ProxyHeads, RootPropertySetReadAndDeleted) {
  ProgramResult set = viaProxy({"xprop", "-root", "-f", "PALVON_TEST", "8s", "-set", "PALVON_TEST", "first light"});
  ASSERT_EQ(set.status, 0) << set.err;
  ProgramResult read = viaProxy({"xprop", "-root", "PALVON_TEST"});
  EXPECT_EQ(read.out, "PALVON_TEST(STRING) = \"first light\"\n") << read.err;
  ProgramResult all = viaProxy({"xprop", "-root"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_TRUE(contains(all.out, read.out)) << all.out;
  // The meta root's properties are kept on the proxy's window that stands
  // for it on the atom server, not on that server's own root.
  EXPECT_TRUE(contains(direct({"xprop", "-root", "PALVON_TEST"}).out, "not found"));
  EXPECT_EQ(viaProxy({"xprop", "-root", "-remove", "PALVON_TEST"}).status, 0);
  EXPECT_TRUE(contains(viaProxy({"xprop", "-root", "PALVON_TEST"}).out, "not found"));
}

// One screen, the heads side by side; what the heads share is what the
// server offers.
TEST_P(ProxyHeads, DisplayInfoDescribesTheMetaScreen) {
  for (const char* option : {"", "-queryExtensions"}) {
    std::vector<std::string> argv{"xdpyinfo"};
    if (*option) argv.push_back(option);
    ProgramResult through = viaProxy(argv);
    ProgramResult straight = direct(argv);
    ASSERT_EQ(through.status, 0) << through.err;
    // Two servers side by side get a border of one pixel around each head.
    std::string size = GetParam() == 2 ? "1820x766 pixels" : "1024x768 pixels";
    EXPECT_TRUE(contains(through.out, "dimensions:    " + size)) << through.out;
    EXPECT_TRUE(contains(through.out, "vendor string:    Morvandell Palvon"));
    for (const char* prefix : {"number of screens", "number of visuals", "depth of root", "class:", "depth:",
                               "number of colormaps", "default number of colormap cells", "supported pixmap",
                               "depth 1,", "depth 24,", "depth 32,"})
      EXPECT_EQ(linesStarting(through.out, prefix), linesStarting(straight.out, prefix)) << prefix;
    // Depth 1 first (it has no visuals), then the depths of the visuals
    // every head offers, then the other depths a pixmap may have.
    EXPECT_EQ(linesStarting(through.out, "depths"),
              std::vector<std::string>{"  depths (6):    1, 24, 32, 4, 8, 16"});
  }
}

TEST_P(ProxyHeads, ClientListAndServerSettings) {
  ProgramResult clients = viaProxy({"xlsclients", "-l"});
  EXPECT_EQ(clients.status, 0) << clients.err;
  EXPECT_EQ(clients.out, direct({"xlsclients", "-l"}).out);
  ProgramResult through = viaProxy({"xset", "q"});
  ProgramResult straight = direct({"xset", "q"});
  for (const char* title : {"Pointer Control:", "Screen Saver:", "Font Path:"})
    EXPECT_EQ(xsetSection(through.out, title), xsetSection(straight.out, title)) << title << through.err;
}

INSTANTIATE_TEST_SUITE_P(Heads, ProxyHeads, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "OneHead" : "TwoHeads"; });

// The first window of the tree (pre-order) that has the property.
Window windowWithProperty(Display* display, Window window, Atom property) {
  int count = 0;
  Atom* atoms = XListProperties(display, window, &count);
  bool has = false;
  for (int i = 0; i < count; i++) has = has || atoms[i] == property;
  if (atoms) XFree(atoms);
  if (has) return window;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &n)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < n && !found; i++) found = windowWithProperty(display, children[i], property);
  if (children) XFree(children);
  return found;
}

// --- Raw clients of either byte order ---------------------------------------------------

class RawOrder : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{"noReset", "on", "screen", server.display() + ".0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    ASSERT_TRUE(c.connectUnix(proxy->number()));
    ASSERT_EQ(c.setup(GetParam()), 1);
  }
  Bytes roundTrip(const Bytes& request) {
    EXPECT_TRUE(c.send(request));
    return c.readMessage();
  }
  Bytes internAtom(const std::string& name, bool onlyIfExists) {
    Bytes body(4 + name.size(), 0);
    c.put16(body, 0, static_cast<u16>(name.size()));
    std::copy(name.begin(), name.end(), body.begin() + 4);
    return roundTrip(c.request(X_InternAtom, onlyIfExists, body));
  }
  Bytes changeProperty(u32 window, u32 property, u32 type, u8 format, const Bytes& data, u32 count) {
    Bytes body(20, 0);
    c.put32(body, 0, window);
    c.put32(body, 4, property);
    c.put32(body, 8, type);
    body[12] = format;
    c.put32(body, 16, count);
    body.insert(body.end(), data.begin(), data.end());
    return c.request(X_ChangeProperty, PropModeReplace, body);
  }
  Bytes getProperty(u32 window, u32 property) {
    Bytes body(20, 0);
    c.put32(body, 0, window);
    c.put32(body, 4, property);
    c.put32(body, 8, AnyPropertyType);
    c.put32(body, 16, 1000);
    return roundTrip(c.request(X_GetProperty, 0, body));
  }

  Xvfb server{{"-screen", "0", "1024x768x24"}};
  std::unique_ptr<ProxyProcess> proxy;
  RawClient c;
};

TEST_P(RawOrder, SetupReplyInTheClientsOrder) {
  const Bytes& s = c.setupReply();
  EXPECT_EQ(c.get16(s, 2), 11u);
  EXPECT_EQ(c.get16(s, 4), 0u);
  u32 mask = c.get32(s, 16);
  EXPECT_GE(mask, 0xfffffu);
  EXPECT_EQ(mask & (mask + 1), 0u) << "the low bits";
  EXPECT_EQ(c.get32(s, 12) & mask, 0u) << "the id base is the client number above the mask";
  EXPECT_NE(c.get32(s, 12), 0u) << "slot 0 is the proxy's own";
  EXPECT_EQ(c.get16(s, 26), 65535u);
  u16 vendorLength = c.get16(s, 24);
  EXPECT_EQ(std::string(s.begin() + 40, s.begin() + 40 + vendorLength), "Morvandell Palvon");
  EXPECT_EQ(s[28], 1) << "one meta screen";
  size_t screen = 40 + ((vendorLength + 3u) & ~3u) + 8u * s[29];
  EXPECT_EQ(c.get16(s, screen + 20), 1024u);
  EXPECT_EQ(c.get16(s, screen + 22), 768u);
  EXPECT_EQ(s[screen + 38], 24) << "root depth";
  // The depths: 1 first, each visual's masks in the client's order.
  size_t depth = screen + 40;
  EXPECT_EQ(s[depth], 1);
  bool sawTrueColor = false;
  for (u32 d = 0; d < s[screen + 39]; d++) {
    u16 visuals = c.get16(s, depth + 2);
    for (u32 v = 0; v < visuals; v++) {
      size_t at = depth + 8 + 24 * v;
      if (s[at + 4] == TrueColor && s[depth] == 24) {
        sawTrueColor = true;
        EXPECT_EQ(c.get32(s, at + 8), 0xff0000u);
        EXPECT_EQ(c.get32(s, at + 16), 0xffu);
      }
    }
    depth += 8 + 24u * visuals;
  }
  EXPECT_EQ(depth, s.size()) << "the depths fill the reply";
  EXPECT_TRUE(sawTrueColor);
}

TEST_P(RawOrder, AtomsAndPropertiesRoundTrip) {
  Bytes known = internAtom("WM_NAME", true);
  ASSERT_EQ(known.size(), 32u);
  EXPECT_EQ(known[0], 1);
  EXPECT_EQ(c.get32(known, 8), u32{XA_WM_NAME});
  Bytes fresh = internAtom("PALVON_RAW_ATOM", false);
  u32 atom = c.get32(fresh, 8);
  Display* direct = XOpenDisplay(server.display().c_str());
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(XInternAtom(direct, "PALVON_RAW_ATOM", True), atom) << "the atom server's number";

  Bytes body(4, 0);
  c.put32(body, 0, atom);
  Bytes name = roundTrip(c.request(X_GetAtomName, 0, body));
  ASSERT_EQ(name[0], 1);
  EXPECT_EQ(std::string(name.begin() + 32, name.begin() + 32 + c.get16(name, 8)), "PALVON_RAW_ATOM");

  u32 root = c.rootWindow();
  Bytes longs(12, 0);
  c.put32(longs, 0, 1), c.put32(longs, 4, 0x01020304), c.put32(longs, 8, 0xfffffffe);
  ASSERT_TRUE(c.send(changeProperty(root, atom, XA_CARDINAL, 32, longs, 3)));
  Bytes reply = getProperty(root, atom);
  ASSERT_EQ(reply[0], 1) << "format 32 read back";
  EXPECT_EQ(reply[1], 32);
  EXPECT_EQ(c.get32(reply, 8), u32{XA_CARDINAL});
  ASSERT_EQ(c.get32(reply, 16), 3u);
  EXPECT_EQ(c.get32(reply, 32), 1u);
  EXPECT_EQ(c.get32(reply, 36), 0x01020304u);
  EXPECT_EQ(c.get32(reply, 40), 0xfffffffeu);
  // The server holds the numbers themselves, whatever order wrote them.
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Window holder = windowWithProperty(direct, DefaultRootWindow(direct), atom);
  ASSERT_NE(holder, 0u) << "a window of the atom server holds it";
  ASSERT_EQ(XGetWindowProperty(direct, holder, atom, 0, 10, False, AnyPropertyType, &type, &format, &count, &after,
                               &data),
            Success);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(reinterpret_cast<long*>(data)[1], 0x01020304);
  XFree(data);

  Bytes shorts(4, 0);
  c.put16(shorts, 0, 0x1234), c.put16(shorts, 2, 0xfedc);
  ASSERT_TRUE(c.send(changeProperty(root, atom, XA_INTEGER, 16, shorts, 2)));
  reply = getProperty(root, atom);
  ASSERT_EQ(reply[1], 16);
  EXPECT_EQ(c.get16(reply, 32), 0x1234u);
  EXPECT_EQ(c.get16(reply, 34), 0xfedcu);
  XCloseDisplay(direct);
}

// Formats other than 8, 16 and 32 and counts whose size wraps in 32 bits
// are refused; the client's sequence goes on.
TEST_P(RawOrder, BadPropertyFormatsAndSizes) {
  u32 root = c.rootWindow();
  Bytes error = roundTrip(changeProperty(root, XA_WM_NAME, XA_STRING, 7, Bytes(4, 0), 4));
  ASSERT_EQ(error[0], 0);
  EXPECT_EQ(error[1], BadValue);
  EXPECT_EQ(c.get32(error, 4), 7u);
  // 0x40000001 items of 4 bytes are 4 bytes modulo 2^32.
  error = roundTrip(changeProperty(root, XA_WM_NAME, XA_CARDINAL, 32, Bytes(4, 0), 0x40000001));
  ASSERT_EQ(error[0], 0);
  EXPECT_EQ(error[1], BadLength);
  EXPECT_EQ(c.get16(error, 2), 2u);
  error = roundTrip(changeProperty(0x7fffff, XA_WM_NAME, XA_STRING, 8, Bytes(4, 'a'), 4));
  EXPECT_EQ(error[1], BadWindow);
  EXPECT_EQ(c.get32(error, 4), 0x7fffffu);
  EXPECT_EQ(c.get32(internAtom("WM_CLASS", true), 8), u32{XA_WM_CLASS}) << "still served";
}

INSTANTIATE_TEST_SUITE_P(Orders, RawOrder, ::testing::Values('l', 'B'),
                         [](const auto& info) { return info.param == 'l' ? "LsbClient" : "MsbClient"; });

// A server that refuses the client's link: the client reads the server's
// own reason, whatever its byte order, and is closed.
class Refusal : public ::testing::TestWithParam<char> {};

TEST_P(Refusal, TheServersReasonReachesTheClient) {
  TempDir dir;
  std::string cookie = dir.file("cookie");
  ASSERT_EQ(system(("xauth -q -f " + cookie + " add :0 . 0123456789abcdef0123456789abcdef").c_str()), 0);
  Xvfb server{{"-screen", "0", "640x480x24", "-auth", cookie}};
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(system(("xauth -q -f " + cookie + " add " + server.display() + " . 0123456789abcdef0123456789abcdef").c_str()), 0);
  // The proxy's own connection finds the cookie; the links find nothing
  // and carry the client's own (empty) authorization.
  ProxyProcess proxy({"noReset", "on", "serverAuthorization", dir.file("none"), "screen", server.display() + ".0"},
                     {"XAUTHORITY=" + cookie});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient c;
  ASSERT_TRUE(c.connectUnix(proxy.number()));
  ASSERT_EQ(c.setup(GetParam()), 0);
  const Bytes& s = c.setupReply();
  EXPECT_EQ(c.get16(s, 2), 11u);
  std::string reason(s.begin() + 8, s.begin() + 8 + s[1]);
  EXPECT_TRUE(contains(reason, "uthorization")) << reason;
  EXPECT_TRUE(c.waitClosed(5000));
  EXPECT_TRUE(contains(proxy.log(), "no authorization protocol specified")) << proxy.log();
}

INSTANTIATE_TEST_SUITE_P(Orders, Refusal, ::testing::Values('l', 'B'),
                         [](const auto& info) { return info.param == 'l' ? "LsbClient" : "MsbClient"; });

// --- Reset and exit ----------------------------------------------------------------------

class ProxyLife : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    ASSERT_TRUE(server.ok()) << server.error();
    std::vector<std::string> words{"screen", server.display() + ".0"};
    words.insert(words.end(), extra.begin(), extra.end());
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  // A connected client; its first InternAtom answered.
  bool served(RawClient& client) {
    if (!client.connectUnix(proxy->number()) || client.setup('l', "", {}, 15000) != 1) return false;
    Bytes body(12, 0);
    client.put16(body, 0, 7);
    std::string name = "PRIMARY";
    std::copy(name.begin(), name.end(), body.begin() + 4);
    client.send(client.request(X_InternAtom, 1, body));
    Bytes reply = client.readMessage(10000);
    return reply.size() == 32 && reply[0] == 1 && client.get32(reply, 8) == XA_PRIMARY;
  }

  Xvfb server{{"-screen", "0", "640x480x24"}};
  std::unique_ptr<ProxyProcess> proxy;
};

TEST_F(ProxyLife, SighupResetsAndTheProxyServesAgain) {
  start({"noReset", "on"});
  RawClient before;
  ASSERT_TRUE(served(before));
  size_t from = proxy->log().size();
  proxy->signal(SIGHUP);
  EXPECT_TRUE(before.waitClosed(10000)) << "every client is stopped at the end of a run";
  ASSERT_TRUE(proxy->waitForLog("Received reset signal SIGHUP...", 10000, from)) << proxy->log();
  RawClient after;
  EXPECT_TRUE(served(after)) << proxy->log();
}

TEST_F(ProxyLife, SigtermExitsWithItsReason) {
  start();
  RawClient client;
  ASSERT_TRUE(served(client));
  proxy->signal(SIGTERM);
  EXPECT_EQ(proxy->wait(15000), 0);
  std::string log = proxy->log();
  EXPECT_TRUE(contains(log, "Received exit signal 15...")) << log;
  EXPECT_TRUE(contains(log, "Exiting: Received exit signal 15...")) << log;
  EXPECT_TRUE(client.waitClosed(5000));
}

TEST_F(ProxyLife, TheLastClientLeavingResetsUnlessNoReset) {
  for (bool noReset : {false, true}) {
    SCOPED_TRACE(noReset ? "noReset" : "reset");
    start({"noReset", noReset ? "on" : "off", "logTypes", "XClients"});
    size_t from = proxy->log().size();
    // A client kept with its pixmap: without a reset, as on a server that
    // does not reset, the pixmap stays when the last client leaves.
    uint32_t pixmap = 0;
    {
      RawClient client;
      auto kept = std::make_unique<RawClient>();
      ASSERT_TRUE(served(client) && served(*kept));
      pixmap = kept->resourceIdBase() + 1;
      Bytes create(12, 0);
      kept->put32(create, 0, pixmap);
      kept->put32(create, 4, kept->rootWindow());
      kept->put32(create, 8, 0x10001);
      kept->send(kept->request(X_CreatePixmap, 24, create));
      kept->send(kept->request(X_SetCloseDownMode, RetainPermanent));
      kept.reset();
      ASSERT_TRUE(proxy->waitForLog("RetainPermanent reason=", 5000, from)) << proxy->log();
    }
    bool reset = proxy->waitForLog("Resetting X proxy...", noReset ? 1500 : 10000, from);
    EXPECT_EQ(reset, !noReset) << proxy->log();
    RawClient again;
    EXPECT_TRUE(served(again)) << proxy->log();
    Bytes geometry(4, 0);
    again.put32(geometry, 0, pixmap);
    again.send(again.request(X_GetGeometry, 0, geometry));
    Bytes answer = again.readMessage(5000);
    EXPECT_EQ(answer.empty() ? -1 : answer[0], noReset ? 1 : 0) << proxy->log();
    // The screen is whole again: its root takes properties.
    Bytes change(20, 0);
    again.put32(change, 0, again.rootWindow());
    again.put32(change, 4, XA_WM_NAME);
    again.put32(change, 8, XA_STRING);
    change[12] = 8;
    again.put32(change, 16, 4);
    change.insert(change.end(), {'r', 'o', 'o', 't'});
    again.send(again.request(X_ChangeProperty, PropModeReplace, change));
    Bytes get(20, 0);
    again.put32(get, 0, again.rootWindow());
    again.put32(get, 4, XA_WM_NAME);
    again.put32(get, 16, 1);
    again.send(again.request(X_GetProperty, 0, get));
    Bytes reply = again.readMessage(5000);
    ASSERT_GE(reply.size(), 36u);
    EXPECT_EQ(std::string(reply.begin() + 32, reply.begin() + 36), "root");
    proxy.reset();
  }
}

// An authorization file that cannot serve, or that others could change, is
// named on the warning channel with the reason, at start-up and again at
// each reset; the clients it lets in without a cookie are those that a
// plain server with that file lets in.
TEST_F(ProxyLife, AnAuthorizationFileThatCannotServeIsNamedWithTheReason) {
  TempDir dir;
  std::string good = dir.file("good"), garbage = dir.file("garbage"), open = dir.file("open"), link = dir.file("link");
  ASSERT_EQ(system(("xauth -q -f " + good + " add :0 . 0123456789abcdef0123456789abcdef").c_str()), 0);
  ASSERT_EQ(system(("echo 'not an authority file' > " + garbage + " && cp " + good + " " + open + " && chmod 666 " +
                    open + " && ln -s " + good + " " + link)
                       .c_str()),
            0);
  const std::string opens = " - local clients may connect without authorization";
  struct Row {
    std::string file, reason;
  } rows[] = {{dir.file("missing"), "can't be read (No such file or directory)" + opens},
              {garbage, "holds no authorization" + opens},
              {open, "is writable by every user"},
              {link, "is a symbolic link"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    int plain = -1;
    {
      Xvfb xvfb({"-screen", "0", "320x240x24", "-auth", row.file});
      ASSERT_TRUE(xvfb.ok()) << xvfb.error();
      RawClient client;
      ASSERT_TRUE(client.connectUnix(xvfb.number()));
      plain = client.setup('l');
    }
    start({"authorization", row.file});
    std::string warning = "Authorization file " + row.file + " " + row.reason;
    EXPECT_TRUE(contains(proxy->log(), warning)) << proxy->log();
    size_t from = proxy->log().size();
    RawClient client;
    ASSERT_TRUE(client.connectUnix(proxy->number()));
    EXPECT_EQ(client.setup('l'), plain);
    proxy->signal(SIGHUP);
    EXPECT_TRUE(proxy->waitForLog(warning, 15000, from)) << proxy->log();
    proxy.reset();
  }
}

// The local server the proxy starts admits only holders of the cookie the
// proxy generated for it; the exit stops it and removes the cookie, and so
// does a proxy that is killed.
TEST_F(ProxyLife, TheLocalServerRunsWithAGeneratedAuthorization) {
  for (int end : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(end);
    ClaimedDisplay local(500);
    ASSERT_TRUE(local.ok());
    TempDir var;
    proxy = std::make_unique<ProxyProcess>(
        std::vector<std::string>{"noReset", "on", "screen", local.name() + ".0", "serverCommand", "Xvfb",
                                 local.name(), "-nolock", "-nolisten", "tcp", "-screen", "0", "320x200x24"},
        std::vector<std::string>{"PALVON_VAR=" + var.path()});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    std::string cookie = var.file("palvo-" + std::to_string(local.number()));
    ASSERT_TRUE(contains(readFile(cookie), "MIT-MAGIC-COOKIE-1"));
    RawClient client;
    EXPECT_TRUE(served(client)) << proxy->log();
    RawClient stranger;
    ASSERT_TRUE(stranger.connectUnix(local.number()));
    EXPECT_EQ(stranger.setup('l'), 0) << "no cookie, no entry";
    proxy->signal(end);
    EXPECT_EQ(proxy->wait(15000), end == SIGTERM ? 0 : 128 + SIGKILL) << proxy->log();
    if (end == SIGTERM) {
      EXPECT_TRUE(contains(proxy->log(), "Stopping X server process")) << proxy->log();
    }
    auto serverUp = [&] { return RawClient().connectUnix(local.number()); };
    auto cookieLeft = [&] { return access(cookie.c_str(), F_OK) == 0; };
    for (int waited = 0; waited < 5000 && (serverUp() || cookieLeft()); waited += 100) usleep(100000);
    EXPECT_FALSE(cookieLeft()) << "the generated file is removed";
    EXPECT_FALSE(serverUp()) << "the local server went with the proxy";
    proxy.reset();
  }
}

// The exit puts back what the proxy saved of each server when it opened it.
TEST_F(ProxyLife, TheExitPutsBackTheServersSettings) {
  ASSERT_TRUE(server.ok());
  Display* direct = XOpenDisplay(server.display().c_str());
  ASSERT_NE(direct, nullptr);
  XSetScreenSaver(direct, 600, 60, DefaultBlanking, DefaultExposures);
  XSync(direct, False);
  start({"noReset", "on"});
  XSetScreenSaver(direct, 1234, 60, DefaultBlanking, DefaultExposures);
  XSync(direct, False);
  proxy->signal(SIGTERM);
  EXPECT_EQ(proxy->wait(15000), 0) << proxy->log();
  int timeout = 0, interval = 0, blanking = 0, exposures = 0;
  XGetScreenSaver(direct, &timeout, &interval, &blanking, &exposures);
  EXPECT_EQ(timeout, 600);
  XCloseDisplay(direct);
}

// A required process that is gone ends the proxy at the next check.
TEST_F(ProxyLife, ARequiredProcessThatIsGoneEndsTheProxy) {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(server.ok());
  proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{"noReset", "on", "screen", server.display() + ".0"},
                                         std::vector<std::string>{"ZAVProcessRequired=" + std::to_string(child)});
  ASSERT_TRUE(proxy->ok()) << proxy->log();
  EXPECT_EQ(proxy->wait(20000), 1);
  EXPECT_TRUE(contains(proxy->log(), "Exiting: Required process is dead...")) << proxy->log();
}

// The first name a client gives its windows names it in the log.
TEST_F(ProxyLife, TheFirstWindowNameNamesTheClient) {
  start({"noReset", "on", "logTypes", "XClients"});
  {
    RawClient client;
    ASSERT_TRUE(served(client));
    for (const char* name : {"first", "second"}) {
      std::string text(name);
      Bytes body(20, 0);
      client.put32(body, 0, client.rootWindow());
      client.put32(body, 4, XA_WM_NAME);
      client.put32(body, 8, XA_STRING);
      body[12] = 8;
      client.put32(body, 16, static_cast<u32>(text.size()));
      body.insert(body.end(), text.begin(), text.end());
      ASSERT_TRUE(client.send(client.request(X_ChangeProperty, PropModeReplace, body)));
    }
    client.send(client.request(X_GetInputFocus, 0));
    ASSERT_EQ(client.readMessage(5000).size(), 32u);
  }
  EXPECT_TRUE(proxy->waitForLog("stopped (first ", 10000)) << proxy->log();
}

}  // namespace
}  // namespace palvon::test
