// The proxy started in this process, in front of an Xvfb, with the link to
// the server speaking either byte order: a raw client of either order gets
// its set-up reply and its atom and property answers right. The proxy runs
// on the test's main thread; the client talks to it from a second thread.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xproto.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/servers/display.h"
#include "Proxy/startup.h"
#include "Xext/modules.h"
#include "base/orders.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

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

struct Answers {
  int setup = -1;
  Bytes setupReply;
  Bytes intern, name, property16, property32;
};

// One client session: everything it reads, for the test to check.
void session(int display, char order, Answers* out) {
  RawClient c;
  if (!c.connectUnix(display)) return;
  out->setup = c.setup(order, "", {}, 20000);
  if (out->setup != 1) return;
  out->setupReply = c.setupReply();
  std::string atomName = "PALVON_ORDER_ATOM";
  Bytes body(4 + atomName.size(), 0);
  c.put16(body, 0, static_cast<u16>(atomName.size()));
  std::copy(atomName.begin(), atomName.end(), body.begin() + 4);
  c.send(c.request(X_InternAtom, 0, body));
  out->intern = c.readMessage(20000);
  if (out->intern.size() != 32) return;
  u32 atom = c.get32(out->intern, 8);
  Bytes atomBody(4, 0);
  c.put32(atomBody, 0, atom);
  c.send(c.request(X_GetAtomName, 0, atomBody));
  out->name = c.readMessage(20000);
  for (u8 format : {16, 32}) {
    Bytes change(20, 0);
    c.put32(change, 0, c.rootWindow());
    c.put32(change, 4, atom);
    c.put32(change, 8, XA_INTEGER);
    change[12] = format;
    c.put32(change, 16, 2);
    Bytes data(format == 16 ? 4 : 8, 0);
    if (format == 16) c.put16(data, 0, 0x1234), c.put16(data, 2, 0xabcd);
    else c.put32(data, 0, 0x01020304), c.put32(data, 4, 0xa0b0c0d0);
    change.insert(change.end(), data.begin(), data.end());
    c.send(c.request(X_ChangeProperty, PropModeReplace, change));
    Bytes get(20, 0);
    c.put32(get, 0, c.rootWindow());
    c.put32(get, 4, atom);
    c.put32(get, 16, 10);
    c.send(c.request(X_GetProperty, 0, get));
    (format == 16 ? out->property16 : out->property32) = c.readMessage(20000);
  }
}

class ServerOrder : public ::testing::TestWithParam<std::tuple<char, bool>> {};

TEST_P(ServerOrder, ClientGetsItsAnswersInItsOrder) {
  const char clientOrder = std::get<0>(GetParam());
  const bool serverSwapped = std::get<1>(GetParam());
  Xvfb xvfb{{"-screen", "0", "640x480x24"}};
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  ClaimedDisplay listen(420);
  ASSERT_TRUE(listen.ok());
  TempDir dir;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  setenv("PALVON_HOME", cwd, 1);
  setenv("PALVON_ETC", dir.path().c_str(), 1);
  std::vector<std::string> words{"palvon",  "logDestination", dir.file("log"), "connection", listen.name(),
                                 "noReset", "on",             "screen",        xvfb.display() + ".0"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  installBuiltinExtensionModules();
  // The proxy puts its log file on descriptor 2; the test's reports stay
  // on the test's own.
  int testErrors = dup(2);
  const char* error = startProxy(static_cast<int>(argv.size()), argv.data());
  dup2(testErrors, 2);
  close(testErrors);
  ASSERT_EQ(error, nullptr) << error << readFile(dir.file("log"));
  // The link to the server speaks the other order from now on.
  serverDisplayList->byteOrderDiffers = serverSwapped;
  rebuildClientServerList();

  Answers answers;
  std::atomic<bool> done{false};
  std::thread client([&] {
    session(listen.number(), clientOrder, &answers);
    done = true;
  });
  int linkSwaps = -1;
  for (int step = 0; step < 4000 && !done; step++) {
    ordersRun(5);
    if (ServerLink* link = clientList && clientList->linkCount ? clientList->links[0] : nullptr)
      linkSwaps = link->writer.swap;
  }
  client.join();
  EXPECT_EQ(linkSwaps, serverSwapped ? 1 : 0) << "the link speaks the server's order";

  RawClient reader;  // reads fields in the client's order
  reader.setByteOrder(clientOrder);
  ASSERT_EQ(answers.setup, 1) << readFile(dir.file("log"));
  const Bytes& s = answers.setupReply;
  EXPECT_EQ(reader.get16(s, 2), 11u);
  size_t vendor = reader.get16(s, 24);
  size_t screen = 40 + ((vendor + 3) & ~size_t{3}) + 8u * s[29];
  EXPECT_EQ(reader.get16(s, screen + 20), 640u);
  EXPECT_EQ(reader.get16(s, screen + 22), 480u);
  ASSERT_EQ(answers.intern.size(), 32u);
  u32 atom = reader.get32(answers.intern, 8);
  EXPECT_GT(atom, 68u);
  ASSERT_GE(answers.name.size(), 32u);
  EXPECT_EQ(std::string(answers.name.begin() + 32, answers.name.begin() + 32 + reader.get16(answers.name, 8)),
            "PALVON_ORDER_ATOM");
  ASSERT_GE(answers.property16.size(), 36u);
  EXPECT_EQ(answers.property16[1], 16);
  EXPECT_EQ(reader.get32(answers.property16, 8), u32{XA_INTEGER});
  EXPECT_EQ(reader.get16(answers.property16, 32), 0x1234u);
  EXPECT_EQ(reader.get16(answers.property16, 34), 0xabcdu);
  ASSERT_GE(answers.property32.size(), 40u);
  EXPECT_EQ(reader.get32(answers.property32, 32), 0x01020304u);
  EXPECT_EQ(reader.get32(answers.property32, 36), 0xa0b0c0d0u);
  // The server holds the numbers themselves, whatever the link's order.
  Display* direct = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(direct, nullptr);
  Window holder = windowWithProperty(direct, DefaultRootWindow(direct), atom);
  ASSERT_NE(holder, 0u);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  ASSERT_EQ(XGetWindowProperty(direct, holder, atom, 0, 10, False, AnyPropertyType, &type, &format, &count, &after,
                               &data),
            Success);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(reinterpret_cast<long*>(data)[0], 0x01020304);
  EXPECT_EQ(static_cast<u32>(reinterpret_cast<long*>(data)[1]), 0xa0b0c0d0u) << "Xlib widens items to longs";
  XFree(data);
  XCloseDisplay(direct);
}

INSTANTIATE_TEST_SUITE_P(Orders, ServerOrder,
                         ::testing::Combine(::testing::Values('l', 'B'), ::testing::Values(false, true)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == 'l' ? "LsbClient" : "MsbClient") +
                                  (std::get<1>(info.param) ? "OtherOrderServer" : "SameOrderServer");
                         });

}  // namespace
}  // namespace palvon::test
