// The same conversation with a plain Xvfb and with the proxy program in
// front of an identical Xvfb (one head, and two heads side by side under a
// plain server of the meta screen's size), through the raw client in either
// byte order: every reply, error and event must come back byte for byte as
// the plain server gives it, once what must differ is mapped (see
// `normalize`). Every core request of the rows table is sent at least as a
// valid instance, with a bad id and with a bad length; instances come from
// the hand-written table below where one exists, else from the protocol's
// own description (the xcb-proto XML), so a request that gains a row is
// tested without a change here. Every message's sequence number is checked
// against the requests sent.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Proxy/dispatch/rows.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xcbproto.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

const Protocol& xproto() {
  static const Protocol protocol({"/usr/share/xcb/xproto.xml"});
  return protocol;
}

// ---- What a case may use -----------------------------------------------------------------

// The resources made for each case before its requests (fresh ids per case,
// destroyed after it), and the values that differ between the two servers.
struct Ids {
  uint32_t window, pixmap, gc, font, colormap, scratch, missing;
  uint32_t root, visual, rootColormap, atom;  // atom: one the test interned
  int screenWidth;
};

// A request body in the client's byte order.
class Body {
 public:
  explicit Body(const RawClient& c) : c_(c) {}
  Body& b8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Body& b16(uint16_t v) {
    bytes_.resize(bytes_.size() + 2);
    c_.put16(bytes_, bytes_.size() - 2, v);
    return *this;
  }
  Body& b32(uint32_t v) {
    bytes_.resize(bytes_.size() + 4);
    c_.put32(bytes_, bytes_.size() - 4, v);
    return *this;
  }
  Body& text(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Body& pad() {
    while (bytes_.size() % 4) bytes_.push_back(0);
    return *this;
  }
  Bytes request(uint8_t major, uint8_t data = 0) const { return c_.request(major, data, bytes_); }

 private:
  const RawClient& c_;
  Bytes bytes_;
};

using Build = std::function<std::vector<Bytes>(const RawClient&, const Ids&)>;

struct Instance {
  std::string name;
  Build build;
};

// ---- Instances from the protocol's description -----------------------------------------

const std::set<std::string> kNewIdFields = {"wid", "pid", "cid", "fid", "mid"};
const std::set<std::string> kIdTypes = {"WINDOW", "DRAWABLE", "PIXMAP", "GCONTEXT", "FONT",
                                        "FONTABLE", "COLORMAP", "CURSOR", "ATOM"};

uint32_t idFor(const Field& f, const Ids& ids) {
  if (kNewIdFields.count(f.name)) return ids.scratch;
  if (f.type == "WINDOW" || f.type == "DRAWABLE") return ids.window;
  if (f.type == "PIXMAP") return ids.pixmap;
  if (f.type == "GCONTEXT") return ids.gc;
  if (f.type == "FONT" || f.type == "FONTABLE") return ids.font;
  if (f.type == "COLORMAP") return ids.colormap;
  if (f.type == "ATOM") return 39;  // WM_NAME
  if (f.type == "VISUALID") return ids.visual;
  return 0;
}

// The fixed part of the request, its ids filled from the case's resources;
// `bad` names the field to spoil (a missing id, or for a new id one outside
// the client's range) and `words` the length in 4-byte units (0: as fits).
Bytes described(const RawClient& c, const Ids& ids, uint8_t major, int bad, uint32_t words) {
  const Protocol& p = xproto();
  FixedPart part = p.request(p.requests().at(major));
  Bytes b((part.size + 3) & ~3u, 0);
  b[0] = major;
  int index = 0;
  for (const Field& f : part.fields) {
    uint32_t v = idFor(f, ids);
    bool isId = kIdTypes.count(f.type) != 0;
    if (isId && index++ == bad) v = kNewIdFields.count(f.name) ? 1 : (f.type == "ATOM" ? 0x0fffffff : ids.missing);
    if (f.width == 4) c.put32(b, f.offset, v);
    if (f.width == 2) c.put16(b, f.offset, static_cast<uint16_t>(v));
  }
  c.put16(b, 2, static_cast<uint16_t>(words ? words : b.size() / 4));
  if (words > b.size() / 4) b.resize(4 * words, 0);
  return b;
}

int idFieldCount(uint8_t major) {
  const Protocol& p = xproto();
  int n = 0;
  for (const Field& f : p.request(p.requests().at(major)).fields) n += kIdTypes.count(f.type) != 0;
  return n;
}

// ---- Hand-written instances --------------------------------------------------------------

// Valid instances where the description's zeros are not, and the invalid
// instances that a plain server answers with a value or match error.
std::map<uint8_t, std::vector<Instance>> handInstances() {
  std::map<uint8_t, std::vector<Instance>> t;
  using C = const RawClient&;
  using I = const Ids&;
  t[X_CreateWindow] = {
      {"depth that the visual does not have",
       [](C c, I i) {
         return std::vector<Bytes>{Body(c).b32(i.scratch).b32(i.root).b16(0).b16(0).b16(10).b16(10).b16(0).b16(1).b32(0).b32(0).request(X_CreateWindow, 8)};
       }},
  };
  t[X_GetWindowAttributes] = {};
  return t;
}

// ---- One side of the comparison ---------------------------------------------------------------

struct Peer {
  RawClient client;
  uint32_t base = 0, mask = 0, root = 0, visual = 0, rootColormap = 0, atom = 0;
  uint16_t width = 0;
  std::vector<uint32_t> visuals;
  uint16_t sequence = 0;  // of the last request sent
};

bool openPeer(Peer* peer, int display, char order) {
  RawClient& c = peer->client;
  if (!c.connectUnix(display) || c.setup(order) != 1) return false;
  const Bytes& s = c.setupReply();
  peer->base = c.get32(s, 12);
  peer->mask = c.get32(s, 16);
  uint16_t vendor = c.get16(s, 24);
  size_t screen = 40 + ((vendor + 3) & ~3u) + 8 * s[29];
  peer->root = c.get32(s, screen);
  peer->rootColormap = c.get32(s, screen + 4);
  peer->width = c.get16(s, screen + 20);
  peer->visual = c.get32(s, screen + 32);
  size_t at = screen + 40;
  for (int d = 0; d < s[screen + 39]; d++) {
    uint16_t count = c.get16(s, at + 2);
    at += 8;
    for (int v = 0; v < count; v++, at += 24) peer->visuals.push_back(c.get32(s, at));
  }
  const std::string name = "PALVON_DIFFERENTIAL";
  Body body(c);
  body.b16(static_cast<uint16_t>(name.size())).b16(0).text(name).pad();
  if (!c.send(body.request(X_InternAtom, 0))) return false;
  peer->sequence = 1;
  Bytes reply = c.readMessage();
  if (reply.size() < 32 || reply[0] != 1) return false;
  peer->atom = c.get32(reply, 8);
  // The pointer starts where each server put it (a head's centre is not the
  // meta screen's): both go to the same place.
  Body warp(c);
  warp.b32(0).b32(peer->root).b16(0).b16(0).b16(0).b16(0).b16(10).b16(10);
  if (!c.send(warp.request(X_WarpPointer))) return false;
  peer->sequence++;
  return true;
}

Ids idsFor(const Peer& p, int caseIndex) {
  uint32_t block = p.base | static_cast<uint32_t>(0x100 + 16 * caseIndex);
  return {block, block + 1, block + 2, block + 3, block + 4, block + 5, p.base | 0xfff0, p.root, p.visual,
          p.rootColormap, p.atom, p.width};
}

// The resources each case starts with: a window that straddles the seam on
// two heads (selecting exposure, structure and property events), a pixmap,
// a GC, the font "fixed" and a colormap.
std::vector<Bytes> prologue(const RawClient& c, const Ids& i) {
  std::vector<Bytes> r;
  int16_t x = static_cast<int16_t>(i.screenWidth / 2 - 50);
  uint32_t events = ExposureMask | StructureNotifyMask | PropertyChangeMask;
  r.push_back(Body(c).b32(i.window).b32(i.root).b16(uint16_t(x)).b16(100).b16(100).b16(80).b16(0).b16(InputOutput)
                  .b32(0).b32(CWBackPixel | CWEventMask).b32(0x336699).b32(events).request(X_CreateWindow, 0));
  r.push_back(Body(c).b32(i.pixmap).b32(i.window).b16(32).b16(24).request(X_CreatePixmap, 24));
  r.push_back(Body(c).b32(i.gc).b32(i.window).b32(GCForeground).b32(0xff0000).request(X_CreateGC));
  r.push_back(Body(c).b32(i.font).b16(5).b16(0).text("fixed").pad().request(X_OpenFont));
  r.push_back(Body(c).b32(i.colormap).b32(i.window).b32(i.visual).request(X_CreateColormap, AllocNone));
  return r;
}

std::vector<Bytes> epilogue(const RawClient& c, const Ids& i) {
  return {Body(c).b32(i.colormap).request(X_FreeColormap), Body(c).b32(i.font).request(X_CloseFont),
          Body(c).b32(i.gc).request(X_FreeGC), Body(c).b32(i.pixmap).request(X_FreePixmap),
          Body(c).b32(i.window).request(X_DestroyWindow), Body(c).request(X_UngrabServer)};
}

// Which request each sequence number answered, per peer.
struct Exchange {
  std::vector<Bytes> messages;
  std::vector<uint8_t> majors;  // the request each message answers (0: unknown)
  std::string problem;          // a broken sequence or connection
};

// Sends the requests, then a round trip, and reads everything up to its
// reply. Each message's sequence must lie among the requests just sent.
Exchange converse(Peer* peer, const std::vector<Bytes>& requests) {
  Exchange e;
  RawClient& c = peer->client;
  uint16_t first = static_cast<uint16_t>(peer->sequence + 1);
  std::map<uint16_t, uint8_t> majorOf;
  Bytes all;
  for (const Bytes& r : requests) {
    all.insert(all.end(), r.begin(), r.end());
    majorOf[++peer->sequence] = r[0];
  }
  Bytes sync = c.request(X_GetInputFocus, 0);
  all.insert(all.end(), sync.begin(), sync.end());
  uint16_t last = ++peer->sequence;
  majorOf[last] = X_GetInputFocus;
  if (!c.send(all)) {
    e.problem = "send failed";
    return e;
  }
  uint16_t previous = first;
  for (;;) {
    Bytes m = c.readMessage(5000);
    if (m.empty()) {
      e.problem = c.closed() ? "connection closed" : "no answer in time";
      return e;
    }
    uint16_t seq = c.get16(m, 2);
    bool keymap = m[0] == KeymapNotify;
    if (!keymap && (static_cast<uint16_t>(seq - first) > static_cast<uint16_t>(last - first) ||
                    static_cast<uint16_t>(seq - first) < static_cast<uint16_t>(previous - first))) {
      char text[96];
      std::snprintf(text, sizeof text, "message %u has sequence %u outside %u..%u", m[0], seq, previous, last);
      e.problem = text;
      return e;
    }
    if (!keymap) previous = seq;
    if (m[0] == 1 && seq == last) return e;
    e.majors.push_back(keymap ? 0 : majorOf[seq]);
    e.messages.push_back(std::move(m));
  }
}

// ---- Mapping what must differ ---------------------------------------------------------------

// Known differences, each with its reason:
// - resource ids of the client: each server gives its own id base; ids
//   become their offset from the base;
// - the root window, its default colormap and visual ids: the proxy's own
//   meta screen record, mapped by their place in the set-up;
// - the atom the test interned: the proxy's servers have interned more
//   names before the client came;
// - server time in events: each server keeps its own clock;
// - the unused bytes of replies (as of errors and events below);
// - the value of an error that has none (Request, Match, Access, Alloc,
//   Name, Length, Implementation) and the unused bytes of errors and
//   events: the plain server leaves there whatever its buffers held.
uint32_t mapId(uint32_t w, const std::string& type, const Peer& self, const Peer& plain) {
  if ((w & ~self.mask) == self.base) return 0xee000000u | (w & self.mask);
  if (&self == &plain) return w;
  if (w == self.root && type != "ATOM" && type != "VISUALID") return plain.root;
  if (w == self.rootColormap && (type == "COLORMAP" || type == "any")) return plain.rootColormap;
  if (w == self.atom && (type == "ATOM" || type == "any")) return plain.atom;
  if (type == "VISUALID")
    for (size_t v = 0; v < self.visuals.size() && v < plain.visuals.size(); v++)
      if (w == self.visuals[v]) return plain.visuals[v];
  return w;
}

const std::set<std::string> kMappedTypes = {"WINDOW", "DRAWABLE", "PIXMAP", "GCONTEXT", "FONT", "FONTABLE",
                                            "CURSOR", "COLORMAP", "VISUALID", "ATOM"};

void mapFields(Bytes* m, const FixedPart& part, const Peer& self, const Peer& plain) {
  for (const Field& f : part.fields)
    if (f.width == 4 && kMappedTypes.count(f.type) && f.offset + 4 <= m->size())
      self.client.put32(*m, f.offset, mapId(self.client.get32(*m, f.offset), f.type, self, plain));
}

// Replies the proxy gives otherwise on purpose, cut to what both share:
// - ListExtensions: the proxy offers the extensions it supports, not its
//   servers' list;
// - ListHosts: the proxy keeps its own access list;
// - GetPointerMapping: the proxy offers the configured number of buttons
//   (32 unless told), whatever its servers have; the first eight compare.
bool knownDifference(Bytes* m, uint8_t major, const RawClient& c) {
  if (major == X_ListExtensions || major == X_ListHosts) {
    m->resize(32);
    if (major == X_ListExtensions) (*m)[1] = 0;
    std::fill(m->begin() + 4, m->end(), 0);
    return true;
  }
  if (major == X_GetPointerMapping && m->size() >= 40) {
    m->resize(40);
    (*m)[1] = 8;
    c.put32(*m, 4, 2);
    return true;
  }
  return false;
}

void normalize(Bytes* m, uint8_t major, const Peer& self, const Peer& plain) {
  const RawClient& c = self.client;
  const Protocol& p = xproto();
  uint8_t code = m->at(0) & 0x7f;
  if (code == 0) {
    uint8_t error = m->at(1);
    bool valueless = error == BadRequest || error == BadMatch || error == BadAccess || error == BadAlloc ||
                     error == BadName || error == BadLength || error == BadImplementation;
    c.put32(*m, 4, valueless ? 0 : mapId(c.get32(*m, 4), "any", self, plain));
    std::fill(m->begin() + 11, m->end(), 0);
    return;
  }
  if (code == 1) {
    if (knownDifference(m, major, c)) return;
    auto at = p.requests().find(major);
    if (major >= 128 || at == p.requests().end() || !p.hasReply(at->second)) return;
    FixedPart reply = p.reply(at->second);
    clearUnusedReplyBytes(reply, m);
    mapFields(m, reply, self, plain);
    // The lists of ids behind the fixed part.
    const char* listType = major == X_QueryTree ? "WINDOW" : major == X_ListProperties ? "ATOM"
                           : major == X_ListInstalledColormaps ? "COLORMAP" : nullptr;
    if (listType)
      for (size_t at = 32; at + 4 <= m->size(); at += 4) c.put32(*m, at, mapId(c.get32(*m, at), listType, self, plain));
    return;
  }
  if (code >= KeyPress && code <= LeaveNotify) c.put32(*m, 4, 0);
  if (code == PropertyNotify) c.put32(*m, 12, 0);
  if (code >= SelectionClear && code <= SelectionNotify) c.put32(*m, 4, 0);
  auto at = p.events().find(code);
  if (at == p.events().end()) return;
  FixedPart event = p.event(at->second);
  std::vector<bool> used(m->size(), false);
  used[0] = used[2] = used[3] = true;
  for (const Field& f : event.fields)
    for (uint32_t k = f.offset; k < f.offset + f.width && k < used.size(); k++) used[k] = true;
  for (size_t k = 0; k < 32 && k < m->size(); k++)
    if (!used[k]) (*m)[k] = 0;
  mapFields(m, event, self, plain);
}

std::string hex(const Bytes& m) {
  std::string s;
  char b[4];
  for (size_t k = 0; k < m.size() && k < 64; k++) {
    std::snprintf(b, sizeof b, "%02x", m[k]);
    s += b;
    if (k % 4 == 3) s += ' ';
  }
  if (m.size() > 64) s += "...";
  return s;
}

// ---- The layouts -----------------------------------------------------------------------------

struct Layout {
  const char* name;
  int heads;
  char order;
};

class Differential : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& l = GetParam();
    std::string size = std::to_string(640 * l.heads) + "x480x24";
    plain = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", size});
    ASSERT_TRUE(plain->ok()) << plain->error();
    std::vector<std::string> words{"noReset", "on"};
    for (int h = 0; h < l.heads; h++) {
      heads.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
      ASSERT_TRUE(heads.back()->ok()) << heads.back()->error();
      for (const char* w : {"screen", "", "borderWidth", "0"}) words.push_back(w);
      words[words.size() - 3] = heads.back()->display() + ".0";
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    ASSERT_TRUE(reconnect());
    ASSERT_EQ(direct().width, through().width);
  }

  bool reconnect() {
    peers[0] = std::make_unique<Peer>();
    peers[1] = std::make_unique<Peer>();
    return openPeer(peers[0].get(), plain->number(), GetParam().order) &&
           openPeer(peers[1].get(), proxy->number(), GetParam().order);
  }
  Peer& direct() { return *peers[0]; }
  Peer& through() { return *peers[1]; }

  // Runs the requests on both sides; true when they answered alike.
  bool compare(const std::string& name, int caseIndex,
               const std::function<std::vector<Bytes>(const RawClient&, const Ids&)>& build) {
    Exchange e[2];
    for (int s = 0; s < 2; s++) {
      Ids ids = idsFor(*peers[s], caseIndex);
      std::vector<Bytes> requests = prologue(peers[s]->client, ids);
      for (Bytes& r : build(peers[s]->client, ids)) requests.push_back(std::move(r));
      for (Bytes& r : epilogue(peers[s]->client, ids)) requests.push_back(std::move(r));
      e[s] = converse(peers[s].get(), requests);
      for (size_t k = 0; k < e[s].messages.size(); k++) normalize(&e[s].messages[k], e[s].majors[k], *peers[s], direct());
    }
    std::string diff;
    if (!e[0].problem.empty()) diff += "plain server: " + e[0].problem + "\n";
    if (!e[1].problem.empty()) diff += "proxy: " + e[1].problem + "\n";
    size_t n = std::max(e[0].messages.size(), e[1].messages.size());
    for (size_t k = 0; k < n; k++) {
      Bytes a = k < e[0].messages.size() ? e[0].messages[k] : Bytes{};
      Bytes b = k < e[1].messages.size() ? e[1].messages[k] : Bytes{};
      if (a != b) diff += "  plain " + hex(a) + "\n  proxy " + hex(b) + "\n";
    }
    if (diff.empty()) return true;
    ADD_FAILURE() << name << "\n" << diff;
    // A connection left broken would fail every later case: start again.
    if (!e[0].problem.empty() || !e[1].problem.empty()) {
      if (!reconnect())
        ADD_FAILURE() << "cannot reconnect";
    }
    return false;
  }

  std::unique_ptr<Xvfb> plain;
  std::vector<std::unique_ptr<Xvfb>> heads;
  std::unique_ptr<ProxyProcess> proxy;
  std::unique_ptr<Peer> peers[2];  // the plain server's client, the proxy's
};

// The requests of the rows table, each valid, with a bad id and with a bad
// length, plus the hand-written instances.
TEST_P(Differential, CoreRequests) {
  std::map<uint8_t, std::vector<Instance>> hand = handInstances();
  int caseIndex = 0, failed = 0;
  for (int major = 1; major < 128; major++) {
    const RequestRow& row = coreRequestRow(static_cast<uint8_t>(major));
    if (std::string(row.name) == "InvalidRequest") continue;
    auto m = static_cast<uint8_t>(major);
    std::vector<Instance> instances;
    instances.push_back({"as described", [m](const RawClient& c, const Ids& i) {
                           return std::vector<Bytes>{described(c, i, m, -1, 0)};
                         }});
    for (int bad = 0; bad < idFieldCount(m); bad++)
      instances.push_back({"bad id " + std::to_string(bad), [m, bad](const RawClient& c, const Ids& i) {
                             return std::vector<Bytes>{described(c, i, m, bad, 0)};
                           }});
    instances.push_back({"one word too long", [m](const RawClient& c, const Ids& i) {
                           Bytes b = described(c, i, m, -1, 0);
                           return std::vector<Bytes>{described(c, i, m, -1, static_cast<uint32_t>(b.size() / 4 + 1))};
                         }});
    if (xproto().request(xproto().requests().at(m)).size > 4)
      instances.push_back({"one word too short", [m](const RawClient& c, const Ids& i) {
                             Bytes b = described(c, i, m, -1, 0);
                             b.resize(b.size() - 4);
                             c.put16(b, 2, static_cast<uint16_t>(b.size() / 4));
                             return std::vector<Bytes>{b};
                           }});
    for (Instance& h : hand[m]) instances.push_back(h);
    for (const Instance& instance : instances)
      failed += !compare(std::string(row.name) + " (" + std::to_string(major) + "), " + instance.name, caseIndex++,
                         instance.build);
  }
  EXPECT_EQ(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Differential,
                         ::testing::Values(Layout{"OneHeadLsb", 1, 'l'}, Layout{"OneHeadMsb", 1, 'B'},
                                           Layout{"TwoHeadsLsb", 2, 'l'}, Layout{"TwoHeadsMsb", 2, 'B'}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
