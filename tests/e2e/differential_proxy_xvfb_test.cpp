// The same conversation with a plain Xvfb and with the proxy program in
// front of an identical Xvfb (one head; two heads side by side under a
// plain server of the meta screen's size; a second head zoomed or turned a
// quarter showing the meta screen again; four heads in two rows; two meta
// screens under a plain server of two screens, with cases that use one
// screen's resources on the other), through the raw client in either
// byte order: every reply, error and event must come back byte for byte as
// the plain server gives it, once what must differ is mapped (see
// `normalize` and the known differences listed there and at `knownCase`).
// Every core request of the rows table is sent as described by the
// protocol's own description (the xcb-proto XML, ids from the case's
// resources), with each id spoiled and one word too long and too short,
// plus the hand-written instances below; every extension request with a
// reply likewise. A request that gains a row is tested without a change
// here. Every message's sequence number is checked against the requests
// sent. Run with PALVON_DIFF_SHOW=1 to print every case's messages.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// An extension the proxy offers, with its description.
struct ExtensionInfo {
  std::string name;
  std::unique_ptr<Protocol> protocol;  // the core's types, then its own
};

// The description of each named extension that xcb-proto has, read once.
const ExtensionInfo* describedExtension(const std::string& name) {
  static std::map<std::string, std::unique_ptr<ExtensionInfo>> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second.get();
  std::unique_ptr<ExtensionInfo>& slot = cache[name];
  const char* files[] = {"bigreq", "composite", "damage", "dbe", "dpms", "ge", "randr", "record", "render",
                         "res", "screensaver", "shape", "shm", "sync", "xc_misc", "xfixes", "xinerama",
                         "xinput", "xkb", "xtest", "xv"};
  for (const char* file : files) {
    std::string path = std::string("/usr/share/xcb/") + file + ".xml";
    for (const Tag& t : readTags(path)) {
      if (t.name != "xcb") continue;
      auto xname = t.attrs.find("extension-xname");
      if (xname != t.attrs.end() && xname->second == name) {
        slot = std::make_unique<ExtensionInfo>();
        slot->name = name;
        slot->protocol = std::make_unique<Protocol>(std::vector<std::string>{"/usr/share/xcb/xproto.xml", path});
        return slot.get();
      }
      break;
    }
  }
  return nullptr;
}

// The extensions under test, in the order both sides keep their codes.
std::vector<const ExtensionInfo*>& extensions() {
  static std::vector<const ExtensionInfo*> list;
  return list;
}

// ---- What a case may use -----------------------------------------------------------------

// The resources made for each case before its requests (fresh ids per case,
// destroyed after it), and the values that differ between the two servers.
struct Ids {
  uint32_t window, pixmap, gc, font, colormap, scratch, missing;
  uint32_t root, visual, rootColormap, atom;  // atom: one the test interned
  int screenWidth;
  uint32_t directVisual;  // a DirectColor visual of the screen
  const std::vector<RawClient::Codes>* codes;  // the extensions' codes on this side
  uint32_t otherRoot = 0, otherColormap = 0, otherVisual = 0;  // a second screen's, 0 without one
};

int layoutWindowY = 100;  // of the case's window: on the seams where heads meet

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
  bool waitForReplies = true;  // as Xlib; false: everything at once
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

using Requests = std::vector<Bytes>;

Bytes createWindow(const RawClient& c, uint32_t id, uint32_t parent, int16_t x, int16_t y, uint16_t width,
                   uint16_t height, uint16_t windowClass, uint8_t depth, uint32_t visual,
                   std::vector<std::pair<uint32_t, uint32_t>> values = {}) {
  uint32_t mask = 0;
  for (const auto& v : values) mask |= v.first;
  Body b(c);
  b.b32(id).b32(parent).b16(uint16_t(x)).b16(uint16_t(y)).b16(width).b16(height).b16(0).b16(windowClass).b32(visual)
      .b32(mask);
  for (const auto& v : values) b.b32(v.second);  // in bit order, as given
  return b.request(X_CreateWindow, depth);
}

Bytes getImage(const RawClient& c, uint32_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height) {
  return Body(c).b32(drawable).b16(uint16_t(x)).b16(uint16_t(y)).b16(width).b16(height).b32(~0u)
      .request(X_GetImage, ZPixmap);
}

Bytes gcWith(const RawClient& c, uint32_t gc, uint32_t drawable, uint32_t bit, uint32_t value) {
  return Body(c).b32(gc).b32(drawable).b32(bit).b32(value).request(X_CreateGC);
}

Bytes simple(const RawClient& c, uint8_t major, uint32_t id, uint8_t data = 0) {
  return Body(c).b32(id).request(major, data);
}

Bytes named(const RawClient& c, uint8_t major, uint32_t id, const std::string& name, uint8_t data = 0) {
  return Body(c).b32(id).b16(uint16_t(name.size())).b16(0).text(name).pad().request(major, data);
}

Bytes fill(const RawClient& c, uint32_t drawable, uint32_t gc, int16_t x, int16_t y, uint16_t w, uint16_t h) {
  return Body(c).b32(drawable).b32(gc).b16(uint16_t(x)).b16(uint16_t(y)).b16(w).b16(h).request(X_PolyFillRectangle);
}

Bytes copy(const RawClient& c, uint32_t from, uint32_t to, uint32_t gc, int16_t sx, int16_t sy, int16_t dx, int16_t dy,
           uint16_t w, uint16_t h, uint32_t plane = 0) {
  Body b(c);
  b.b32(from).b32(to).b32(gc).b16(uint16_t(sx)).b16(uint16_t(sy)).b16(uint16_t(dx)).b16(uint16_t(dy)).b16(w).b16(h);
  if (plane) b.b32(plane);
  return b.request(plane ? X_CopyPlane : X_CopyArea);
}

// The case's window mapped, with shapes on both sides of the seam (at 50
// in the window) and across it, then the requests given.
std::vector<Bytes> patternThen(const RawClient& c, const Ids& i, std::vector<Bytes> then) {
  std::vector<Bytes> r{simple(c, X_MapWindow, i.window), fill(c, i.window, i.gc, 10, 10, 30, 20),
                       fill(c, i.window, i.gc, 44, 30, 12, 30), fill(c, i.window, i.gc, 60, 50, 30, 10),
                       fill(c, i.window, i.gc, 80, 4, 6, 40)};
  r.insert(r.end(), then.begin(), then.end());
  return r;
}

// The pattern moved right over the seam, then left and partly from beyond
// the window's edge, and read back.
std::vector<Bytes> sideways(const RawClient& c, const Ids& i, bool exposures) {
  return patternThen(c, i, {Body(c).b32(i.gc).b32(GCGraphicsExposures).b32(exposures).request(X_ChangeGC),
                            copy(c, i.window, i.window, i.gc, 5, 5, 20, 5, 80, 70),
                            copy(c, i.window, i.window, i.gc, 30, 5, 0, 5, 80, 70), getImage(c, i.window, 0, 0, 100, 80)});
}

// Valid instances where the description's zeros are not, the faults a
// plain server answers otherwise than a careless proxy would, and the
// window on the seam drawn and read back.
std::map<uint8_t, std::vector<Instance>> handInstances() {
  std::map<uint8_t, std::vector<Instance>> t;
  using C = const RawClient&;
  using I = const Ids&;
  t[X_CreateWindow] = {
      {"depth that the visual does not have",
       [](C c, I i) {
         return Requests{createWindow(c, i.scratch, i.root, 0, 0, 10, 10, InputOutput, 8, CopyFromParent),
                         simple(c, X_GetGeometry, i.scratch)};
       }},
      {"InputOnly", [](C c, I i) { return Requests{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0)}; }},
      {"InputOnly with a depth",
       [](C c, I i) { return Requests{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 24, 0)}; }},
      // Refused as values an InputOnly window cannot have before any value
      // is looked at; those it may have are checked as for any window.
      {"InputOnly with values it cannot have",
       [](C c, I i) {
         auto inputOnly = [&](std::pair<uint32_t, uint32_t> value) {
           return createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0, {value, {CWEventMask, 1}});
         };
         return Requests{inputOnly({CWBackPixmap, i.missing}), inputOnly({CWBackingStore, 3}),
                         inputOnly({CWColormap, i.missing}), inputOnly({CWWinGravity, 11}),
                         inputOnly({CWCursor, i.missing})};
       }},
      {"border pixmap that does not exist",
       [](C c, I i) {
         return Requests{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOutput, 0, 0, {{CWBorderPixmap, i.missing}})};
       }},
      // Each id of the value list names the head's own copy there.
      {"with a colormap, a cursor and events, asked back and drawn",
       [](C c, I i) {
         uint32_t cursor = i.scratch + 1;
         return Requests{Body(c).b32(cursor).b32(i.font).b32(i.font).b16(65).b16(65).b16(0).b16(0).b16(0).b16(~0)
                             .b16(~0).b16(~0).request(X_CreateGlyphCursor),
                         createWindow(c, i.scratch, i.window, 5, 5, 20, 20, InputOutput, 0, CopyFromParent,
                                      {{CWBackPixel, 0x00ff00}, {CWBorderPixel, 0}, {CWEventMask, ButtonPressMask},
                                       {CWColormap, i.colormap}, {CWCursor, cursor}}),
                         simple(c, X_GetWindowAttributes, i.scratch), simple(c, X_MapWindow, i.window),
                         simple(c, X_MapWindow, i.scratch), getImage(c, i.window, 0, 0, 40, 40),
                         simple(c, X_FreeCursor, cursor)};
       }},
      {"background and border pixmaps of 24 bits, mapped, read back",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window), fill(c, i.pixmap, i.gc, 0, 0, 8, 8),
                         createWindow(c, i.scratch, i.window, 5, 5, 20, 20, InputOutput, 0, CopyFromParent,
                                      {{CWBackPixmap, i.pixmap}}),
                         simple(c, X_MapWindow, i.scratch), getImage(c, i.window, 0, 0, 40, 40),
                         Body(c).b32(i.scratch).b32(CWBorderPixmap).b32(i.pixmap).request(X_ChangeWindowAttributes),
                         getImage(c, i.window, 0, 0, 40, 40)};
       }},
  };
  t[X_ChangeWindowAttributes] = {
      {"of an InputOnly window, values it cannot have",
       [](C c, I i) {
         auto change = [&](uint32_t bit, uint32_t value) {
           return Body(c).b32(i.scratch).b32(bit).b32(value).request(X_ChangeWindowAttributes);
         };
         return Requests{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0),
                         change(CWBorderPixmap, i.missing), change(CWSaveUnder, 2), change(CWColormap, i.missing),
                         change(CWDontPropagate, EnterWindowMask), simple(c, X_DestroyWindow, i.scratch)};
       }},
      {"background pixmap that does not exist",
       [](C c, I i) { return Requests{Body(c).b32(i.window).b32(CWBackPixmap).b32(i.missing).request(X_ChangeWindowAttributes)}; }},
      {"cursor that does not exist",
       [](C c, I i) { return Requests{Body(c).b32(i.window).b32(CWCursor).b32(i.missing).request(X_ChangeWindowAttributes)}; }},
      {"colormap that does not exist",
       [](C c, I i) { return Requests{Body(c).b32(i.window).b32(CWColormap).b32(i.missing).request(X_ChangeWindowAttributes)}; }},
      {"background pixmap of 24 bits, mapped, read back",
       [](C c, I i) {
         return Requests{fill(c, i.pixmap, i.gc, 0, 0, 8, 8),
                         Body(c).b32(i.window).b32(CWBackPixmap).b32(i.pixmap).request(X_ChangeWindowAttributes),
                         simple(c, X_MapWindow, i.window), getImage(c, i.window, 0, 0, 40, 30)};
       }},
      {"background pixel, mapped, read back",
       [](C c, I i) {
         return Requests{Body(c).b32(i.window).b32(CWBackPixel).b32(0x00ff00).request(X_ChangeWindowAttributes),
                         simple(c, X_MapWindow, i.window), getImage(c, i.window, 0, 0, 100, 80)};
       }},
  };
  t[X_ConfigureWindow] = {
      {"moved and resized across the seam",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window),
                         Body(c).b32(i.window).b16(CWX | CWY | CWWidth | CWHeight).b16(0).b32(uint32_t(i.screenWidth / 2 - 20))
                             .b32(30).b32(60).b32(50).request(X_ConfigureWindow),
                         simple(c, X_GetGeometry, i.window), getImage(c, i.window, 0, 0, 60, 50)};
       }},
  };
  t[X_GetProperty] = {
      {"a property written and read",
       [](C c, I i) {
         return Requests{Body(c).b32(i.window).b32(i.atom).b32(31).b8(8).b8(0).b16(0).b32(5).text("hello").pad()
                             .request(X_ChangeProperty, PropModeReplace),
                         Body(c).b32(i.window).b32(i.atom).b32(0).b32(0).b32(100).request(X_GetProperty, 0),
                         simple(c, X_ListProperties, i.window),
                         Body(c).b32(i.window).b32(i.atom).b32(31).b32(1).b32(1).request(X_GetProperty, 1)};
       }},
  };
  t[X_SendEvent] = {
      {"a client message to the window's creator",
       [](C c, I i) {
         Body b(c);
         b.b32(i.window).b32(0).b8(ClientMessage).b8(32).b16(0).b32(i.window).b32(i.atom);
         for (int k = 0; k < 5; k++) b.b32(uint32_t(k + 1));
         return Requests{b.request(X_SendEvent, 0)};
       }},
  };
  t[X_GrabPointer] = {
      {"on the root, then released",
       [](C c, I i) {
         return Requests{Body(c).b32(i.root).b16(ButtonPressMask).b8(GrabModeAsync).b8(GrabModeAsync).b32(0).b32(0).b32(0)
                             .request(X_GrabPointer, 0),
                         Body(c).b32(0).request(X_UngrabPointer)};
       }},
      {"confined to the window, which then moves away from the pointer",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window),
                         Body(c).b32(i.window).b16(ButtonPressMask).b8(GrabModeAsync).b8(GrabModeAsync).b32(i.window)
                             .b32(0).b32(0).request(X_GrabPointer, 0),
                         simple(c, X_QueryPointer, i.root),
                         Body(c).b32(i.window).b16(CWX | CWY | CWWidth | CWHeight).b16(0).b32(400).b32(100).b32(50)
                             .b32(50).request(X_ConfigureWindow),
                         simple(c, X_QueryPointer, i.root), Body(c).b32(0).request(X_UngrabPointer)};
       },
       true},
  };
  t[X_GrabKeyboard] = {
      {"on the root, then released",
       [](C c, I i) {
         return Requests{Body(c).b32(i.root).b32(0).b8(GrabModeAsync).b8(GrabModeAsync).b16(0).request(X_GrabKeyboard, 0),
                         Body(c).b32(0).request(X_UngrabKeyboard)};
       }},
  };
  t[X_TranslateCoords] = {
      {"from the window to the root",
       [](C c, I i) { return Requests{Body(c).b32(i.window).b32(i.root).b16(3).b16(4).request(X_TranslateCoords)}; }},
  };
  t[X_QueryFont] = {
      {"the font and its text extents",
       [](C c, I i) {
         return Requests{simple(c, X_QueryFont, i.font),
                         Body(c).b32(i.font).b16(0x4100).b16(0x4200).request(X_QueryTextExtents, 0)};
       }},
  };
  t[X_ListFonts] = {
      {"one pattern",
       [](C c, I) {
         return Requests{Body(c).b16(5).b16(5).text("fixed").pad().request(X_ListFonts),
                         Body(c).b16(1).b16(5).text("fixed").pad().request(X_ListFontsWithInfo)};
       }},
  };
  t[X_SetFontPath] = {
      {"one word longer than its empty list", [](C c, I) { return Requests{Body(c).b16(0).b16(0).b32(0).request(X_SetFontPath)}; }},
  };
  t[X_CreateGC] = {
      // Its drawable is looked at before its values, and a refused one
      // leaves the id free.
      {"on an InputOnly window with a bad value, with a bad mask on none, then made on the window",
       [](C c, I i) {
         uint32_t window = i.scratch + 1;
         return Requests{createWindow(c, window, i.window, 5, 5, 10, 10, InputOnly, 0, 0),
                         gcWith(c, i.scratch, window, GCFunction, 99), gcWith(c, i.scratch, window, GCForeground, 1),
                         Body(c).b32(i.scratch).b32(i.missing).b32(1u << 23).b32(0).request(X_CreateGC),
                         gcWith(c, i.scratch, i.window, GCForeground, 1), simple(c, X_FreeGC, i.scratch)};
       }},
      {"function 16", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCFunction, 16)}; }},
      {"function 0x103 (read as a byte)", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCFunction, 0x103)}; }},
      {"line style 3", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCLineStyle, 3)}; }},
      {"line style 256", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCLineStyle, 256)}; }},
      {"dashes 0", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCDashList, 0x100)}; }},
      {"cap style 4", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCCapStyle, 4)}; }},
      {"join style 3", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCJoinStyle, 3)}; }},
      {"fill style 4", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCFillStyle, 4)}; }},
      {"fill rule 2", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCFillRule, 2)}; }},
      {"subwindow mode 2", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCSubwindowMode, 2)}; }},
      {"graphics exposures 2", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCGraphicsExposures, 2)}; }},
      {"arc mode 2", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCArcMode, 2)}; }},
      {"tile that does not exist", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCTile, i.missing)}; }},
      {"font that does not exist", [](C c, I i) { return Requests{gcWith(c, i.scratch, i.window, GCFont, i.missing)}; }},
      {"a tile of 24 bits for a GC of the window, then filled with",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window), gcWith(c, i.scratch, i.window, GCTile, i.pixmap),
                         Body(c).b32(i.scratch).b32(GCFillStyle).b32(FillTiled).request(X_ChangeGC),
                         fill(c, i.window, i.scratch, 0, 0, 20, 20), getImage(c, i.window, 0, 0, 24, 24)};
       }},
  };
  t[X_ChangeGC] = {
      {"function 16", [](C c, I i) { return Requests{Body(c).b32(i.gc).b32(GCFunction).b32(16).request(X_ChangeGC)}; }},
      {"the window GC's foreground copied into a GC of 24 bits, then filled with",
       [](C c, I i) {
         uint32_t deep = i.scratch;
         return Requests{gcWith(c, deep, i.pixmap, GCForeground, 0x123456),
                         Body(c).b32(i.gc).b32(deep).b32(GCForeground).request(X_CopyGC),
                         fill(c, i.pixmap, deep, 0, 0, 8, 8), getImage(c, i.pixmap, 0, 0, 8, 8), simple(c, X_FreeGC, deep)};
       }},
      {"a tile of 24 bits for the window's GC, then filled with",
       [](C c, I i) {
         uint32_t deep = i.scratch;
         return Requests{simple(c, X_MapWindow, i.window), gcWith(c, deep, i.pixmap, GCForeground, 0x123456),
                         fill(c, i.pixmap, deep, 0, 0, 8, 8),
                         Body(c).b32(i.gc).b32(GCFillStyle | GCTile).b32(FillTiled).b32(i.pixmap).request(X_ChangeGC),
                         fill(c, i.window, i.gc, 0, 0, 20, 20), getImage(c, i.window, 0, 0, 24, 24),
                         simple(c, X_FreeGC, deep)};
       }},
      {"pixels and the font changed in one request, then filled and written with",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window),
                         Body(c).b32(i.gc).b32(GCForeground | GCBackground | GCFont).b32(0x00ff00).b32(0x0000ff)
                             .b32(i.font).request(X_ChangeGC),
                         fill(c, i.window, i.gc, 0, 0, 100, 10),
                         Body(c).b32(i.window).b32(i.gc).b16(40).b16(20).text("abcd").pad().request(X_ImageText8, 4),
                         getImage(c, i.window, 0, 0, 100, 24)};
       }},
  };
  t[X_PolyFillRectangle] = {
      {"drawn on the window across the seam and read back",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window), fill(c, i.window, i.gc, 10, 10, 80, 20),
                         Body(c).b32(i.window).b32(i.gc).b16(5).b16(50).b16(95).b16(75).b16(50).b16(5).b16(95).b16(50)
                             .request(X_PolySegment),
                         Body(c).b32(i.window).b32(i.gc).b16(20).b16(40).b16(60).b16(30).b16(0).b16(360 * 64)
                             .request(X_PolyFillArc),
                         Body(c).b32(i.window).b32(i.gc).b16(30).b16(70).b8(3).b8(0).text("abc").pad()
                             .request(X_PolyText8),
                         getImage(c, i.window, 0, 0, 100, 80)};
       }},
      {"drawn on the pixmap and read back",
       [](C c, I i) {
         return Requests{fill(c, i.pixmap, i.gc, 0, 0, 32, 24),
                         Body(c).b32(i.pixmap).b32(i.gc).b16(2).b16(2).b16(30).b16(20).b16(4).b16(20).request(X_PolyLine, 0),
                         getImage(c, i.pixmap, 0, 0, 32, 24)};
       }},
  };
  // A head that keeps the drawable at another depth, or in emulated
  // pixels, has other planes than the client's.
  t[X_GetImage] = {
      {"XYPixmap of the window across the seam and of a pixmap of 8 bits, every plane and some",
       [](C c, I i) {
         uint32_t bitmap = i.scratch, gc = i.scratch + 1;
         auto xy = [&c](uint32_t drawable, uint16_t width, uint16_t height, uint32_t planes) {
           return Body(c).b32(drawable).b16(0).b16(0).b16(width).b16(height).b32(planes).request(X_GetImage, XYPixmap);
         };
         return Requests{simple(c, X_MapWindow, i.window), fill(c, i.window, i.gc, 10, 10, 80, 20),
                         xy(i.window, 100, 80, ~0u), xy(i.window, 100, 80, 0x0f),
                         Body(c).b32(bitmap).b32(i.window).b16(37).b16(11).request(X_CreatePixmap, 8),
                         gcWith(c, gc, bitmap, GCForeground, 0x5a), fill(c, bitmap, gc, 3, 2, 30, 7),
                         xy(bitmap, 37, 11, ~0u), xy(bitmap, 37, 11, 0x81), simple(c, X_FreeGC, gc),
                         simple(c, X_FreePixmap, bitmap)};
       }},
      // Nothing to read, of the window (alone and across the seam) and of
      // pixmaps: the reply still says the drawable's depth.
      {"empty: of no size, and of no plane of the depth",
       [](C c, I i) {
         uint32_t bitmap = i.scratch;
         auto get = [&c](uint8_t format, uint32_t drawable, uint16_t width, uint16_t height, uint32_t planes) {
           return Body(c).b32(drawable).b16(2).b16(2).b16(width).b16(height).b32(planes).request(X_GetImage, format);
         };
         Requests r{simple(c, X_MapWindow, i.window),
                    Body(c).b32(bitmap).b32(i.window).b16(16).b16(16).request(X_CreatePixmap, 8)};
         for (uint32_t drawable : {i.window, bitmap, i.pixmap})
           for (uint32_t planes : {~0u, 0u, 0xff000000u})
             r.push_back(get(planes == ~0u ? ZPixmap : XYPixmap, drawable, planes == ~0u ? 0 : 4, 4, planes));
         r.push_back(get(XYPixmap, i.window, 0, 4, ~0u));
         r.push_back(get(XYPixmap, i.window, 96, 70, 0xff00));
         r.push_back(simple(c, X_FreePixmap, bitmap));
         return r;
       }},
  };
  // One id made, freed and made again as another kind between drawings:
  // every drawing must find what the id names now (errors in the plain
  // server's order: the drawable before the GC, then the depths).
  t[X_PolyPoint] = {
      // Refused for the mode or shape before the drawable and the GC are
      // looked at: on an InputOnly window, with a GC of another depth.
      {"a bad coordinate mode or shape, before the drawable and the GC",
       [](C c, I i) {
         uint32_t bitmap = i.scratch + 1, gc = i.scratch + 2;
         Requests r{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0),
                    Body(c).b32(bitmap).b32(i.window).b16(4).b16(4).request(X_CreatePixmap, 1),
                    gcWith(c, gc, bitmap, GCForeground, 1)};
         for (auto [drawable, with] : {std::pair{i.scratch, i.gc}, {i.window, gc}}) {
           for (uint8_t major : {X_PolyPoint, X_PolyLine})
             r.push_back(Body(c).b32(drawable).b32(with).b16(1).b16(1).b16(2).b16(2).request(major, 2));
           for (auto [shape, mode] : {std::pair<uint8_t, uint8_t>{3, 0}, {0, 2}})
             r.push_back(Body(c).b32(drawable).b32(with).b8(shape).b8(mode).b16(0).b16(1).b16(1).b16(2).b16(2).b16(3)
                             .b16(1).request(X_FillPoly));
         }
         r.insert(r.end(), {simple(c, X_FreeGC, gc), simple(c, X_FreePixmap, bitmap)});
         return r;
       }},
      {"an id freed and made again as a pixmap, a GC and a window",
       [](C c, I i) {
         uint32_t again = i.scratch, bitmap = i.scratch + 1;
         auto points = [&c](uint32_t drawable, uint32_t gc) {
           return Body(c).b32(drawable).b32(gc).b16(3).b16(4).b16(10).b16(12).b16(14).b16(2).request(X_PolyPoint, 0);
         };
         return Requests{simple(c, X_MapWindow, i.window),
                         Body(c).b32(again).b32(i.window).b16(16).b16(16).request(X_CreatePixmap, 24),
                         fill(c, again, i.gc, 0, 0, 16, 16), points(again, i.gc), getImage(c, again, 0, 0, 16, 16),
                         simple(c, X_FreePixmap, again), points(again, i.gc),
                         gcWith(c, again, i.window, GCForeground, 0x00ff00), points(again, i.gc),
                         fill(c, i.pixmap, i.gc, 0, 0, 16, 16), points(i.pixmap, again), simple(c, X_FreeGC, again),
                         points(i.pixmap, again), points(i.missing, again),
                         // The child's exposures of its parent fall apart otherwise on a scaled head.
                         Body(c).b32(i.window).b32(CWEventMask).b32(StructureNotifyMask).request(X_ChangeWindowAttributes),
                         createWindow(c, again, i.window, 40, 10, 20, 20, InputOutput, 0, CopyFromParent, {{CWBackPixel, 0}}),
                         simple(c, X_MapWindow, again), points(again, i.gc), getImage(c, again, 0, 0, 20, 20),
                         simple(c, X_DestroyWindow, again), points(again, i.gc),
                         Body(c).b32(bitmap).b32(i.window).b16(8).b16(8).request(X_CreatePixmap, 1),
                         points(bitmap, i.gc), simple(c, X_FreePixmap, bitmap), getImage(c, i.pixmap, 0, 0, 16, 16)};
       }},
  };
  t[X_CopyArea] = {
      {"from a source that does not exist",
       [](C c, I i) {
         return Requests{Body(c).b32(i.missing).b32(i.window).b32(i.gc).b16(0).b16(0).b16(0).b16(0).b16(5).b16(5)
                             .request(X_CopyArea)};
       }},
      {"with the window's GC on a pixmap of 24 bits (filled, written), and from it to the window",
       [](C c, I i) {
         // Where the window is of another depth, a plain server refuses
         // both; a head that keeps that depth at 24 bits would draw.
         uint32_t pixmap = i.scratch, deep = i.scratch + 1;
         return Requests{simple(c, X_MapWindow, i.window),
                         Body(c).b32(pixmap).b32(i.window).b16(16).b16(16).request(X_CreatePixmap, 24),
                         gcWith(c, deep, pixmap, GCForeground, 0x123456), fill(c, pixmap, deep, 0, 0, 16, 16),
                         fill(c, pixmap, i.gc, 0, 0, 8, 8),
                         Body(c).b32(pixmap).b32(i.gc).b16(2).b16(14).b8(1).b8(0).b8('A').pad().request(X_PolyText8),
                         getImage(c, pixmap, 0, 0, 16, 16),
                         Body(c).b32(pixmap).b32(i.window).b32(i.gc).b16(0).b16(0).b16(2).b16(2).b16(8).b16(8)
                             .request(X_CopyArea),
                         getImage(c, i.window, 0, 0, 12, 12), simple(c, X_FreeGC, deep),
                         simple(c, X_FreePixmap, pixmap)};
       }},
      {"window to pixmap across the seam",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window), fill(c, i.window, i.gc, 40, 10, 20, 20),
                         Body(c).b32(i.window).b32(i.pixmap).b32(i.gc).b16(35).b16(5).b16(0).b16(0).b16(32).b16(24)
                             .request(X_CopyArea),
                         getImage(c, i.pixmap, 0, 0, 32, 24)};
       }},
      // Pixels that one head shows reach the other.
      {"within the window over the seam, right and then left",
       [](C c, I i) { return sideways(c, i, true); }},
      {"within the window over the seam, without graphics exposures",
       [](C c, I i) { return sideways(c, i, false); }},
      {"from the window into another beyond the seam",
       [](C c, I i) {
         int16_t x = int16_t(i.screenWidth / 2 + 120), y = int16_t(layoutWindowY + 10);
         return patternThen(
             c, i, {createWindow(c, i.scratch, i.root, x, y, 60, 60, InputOutput, 0, CopyFromParent, {{CWBackPixel, 0}}),
                    simple(c, X_MapWindow, i.scratch), copy(c, i.window, i.scratch, i.gc, 20, 10, 0, 0, 60, 60),
                    getImage(c, i.scratch, 0, 0, 60, 60), simple(c, X_DestroyWindow, i.scratch)});
       }},
      {"within the window, its source partly under another window",
       [](C c, I i) {
         int16_t x = int16_t(i.screenWidth / 2 - 10), y = int16_t(layoutWindowY + 20);
         return patternThen(c, i, {createWindow(c, i.scratch, i.root, x, y, 20, 20, InputOutput, 0, CopyFromParent,
                                                {{CWBackPixel, 0x00ff00}, {CWOverrideRedirect, 1}}),
                                   simple(c, X_MapWindow, i.scratch),
                                   copy(c, i.window, i.window, i.gc, 30, 15, 35, 40, 40, 30),
                                   getImage(c, i.window, 0, 0, 100, 80), simple(c, X_DestroyWindow, i.scratch)});
       }},
      {"from the root over the window, with and without its inferiors",
       [](C c, I i) {
         int16_t x = int16_t(i.screenWidth / 2 - 40), y = int16_t(layoutWindowY + 10);
         return patternThen(c, i, {gcWith(c, i.scratch, i.window, GCSubwindowMode, IncludeInferiors),
                                   copy(c, i.root, i.pixmap, i.scratch, x, y, 0, 0, 32, 24),
                                   getImage(c, i.pixmap, 0, 0, 32, 24), fill(c, i.pixmap, i.scratch, 0, 0, 32, 24),
                                   copy(c, i.root, i.pixmap, i.gc, x, y, 0, 0, 32, 24),
                                   getImage(c, i.pixmap, 0, 0, 32, 24), simple(c, X_FreeGC, i.scratch)});
       }},
  };
  t[X_GetImage].insert(t[X_GetImage].end(), {
      {"of windows partly off the screen and of one not mapped",
       [](C c, I i) {
         // Windows of their own, selecting no exposures (a turned head
         // reports the areas moves uncover a pixel wider).
         uint32_t outer = i.scratch, inner = i.scratch + 1;
         auto move = [&](int x) {
           return Body(c).b32(outer).b16(CWX | CWY).b16(0).b32(uint32_t(x)).b32(30).request(X_ConfigureWindow);
         };
         return Requests{createWindow(c, outer, i.root, int16_t(i.screenWidth - 40), 30, 100, 80, InputOutput, 0,
                                      CopyFromParent, {{CWBackPixel, 0x336699}}),
                         createWindow(c, inner, outer, 50, 10, 20, 20, InputOutput, 0, CopyFromParent,
                                      {{CWBackPixel, 0x996633}}),
                         getImage(c, outer, 0, 0, 10, 10), simple(c, X_MapSubwindows, outer),
                         simple(c, X_MapWindow, outer), getImage(c, outer, 0, 0, 100, 80),
                         getImage(c, outer, 0, 0, 40, 80), move(-30), getImage(c, outer, 0, 0, 100, 80),
                         getImage(c, outer, 30, 0, 70, 80), getImage(c, inner, 0, 0, 20, 20), move(-60),
                         getImage(c, inner, 0, 0, 20, 20), getImage(c, inner, 10, 0, 10, 20),
                         simple(c, X_DestroyWindow, outer)};
       }},
  });
  t[X_PutImage] = {
      {"a Z image on the seam, read back",
       [](C c, I i) {
         Body b(c);
         b.b32(i.window).b32(i.gc).b16(4).b16(2).b16(48).b16(3).b8(0).b8(24).b16(0);
         for (uint32_t k = 0; k < 8; k++) b.b32(0x102030u * (k + 1));
         return Requests{simple(c, X_MapWindow, i.window), b.request(X_PutImage, ZPixmap),
                         getImage(c, i.window, 46, 1, 8, 6)};
       }},
      {"a large Z image whose size is no multiple of 64, read back at its end",
       [](C c, I i) {
         // 136,680 bytes: large enough to go into a shared segment past the
         // caches, with a ragged tail after the last whole 64 bytes.
         uint32_t pixmap = i.scratch;
         Body b(c);
         b.b32(pixmap).b32(i.gc).b16(201).b16(170).b16(0).b16(0).b8(0).b8(24).b16(0);
         for (uint32_t k = 0; k < 201u * 170; k++) b.b32((k * 2654435761u) & 0xffffff);
         return Requests{Body(c).b32(pixmap).b32(i.window).b16(201).b16(170).request(X_CreatePixmap, 24),
                         b.request(X_PutImage, ZPixmap), getImage(c, pixmap, 0, 166, 201, 4),
                         getImage(c, pixmap, 180, 0, 21, 2), simple(c, X_FreePixmap, pixmap)};
       }},
      {"a Z image on a drawable that does not exist",
       [](C c, I i) {
         return Requests{Body(c).b32(i.missing).b32(i.gc).b16(1).b16(1).b16(0).b16(0).b8(0).b8(24).b16(0).b32(0)
                             .request(X_PutImage, ZPixmap)};
       }},
      {"with a GC of another depth",
       [](C c, I i) {
         uint32_t bitmap = i.scratch, gc = i.scratch + 1;
         Body b(c);
         b.b32(i.window).b32(gc).b16(2).b16(2).b16(0).b16(0).b8(0).b8(24).b16(0);
         for (int k = 0; k < 4; k++) b.b32(0xffffff);
         return Requests{Body(c).b32(bitmap).b32(i.window).b16(8).b16(8).request(X_CreatePixmap, 1),
                         gcWith(c, gc, bitmap, GCForeground, 1), b.request(X_PutImage, ZPixmap),
                         simple(c, X_FreeGC, gc), simple(c, X_FreePixmap, bitmap)};
       }},
  };
  t[X_CreateColormap] = {
      {"planes of a DirectColor map, then copied and freed",
       [](C c, I i) {
         uint32_t source = i.scratch, copy = i.scratch + 1;
         Bytes planes = Body(c).b32(source).b16(1).b16(1).b16(1).b16(1).request(X_AllocColorPlanes, 0);
         return Requests{Body(c).b32(source).b32(i.window).b32(i.directVisual).request(X_CreateColormap, AllocNone),
                         planes, Body(c).b32(copy).b32(source).request(X_CopyColormapAndFree), planes,
                         simple(c, X_FreeColormap, copy), simple(c, X_FreeColormap, source)};
       }},
  };
  t[X_CreateColormap].push_back(
      {"cells, then planes of a DirectColor map, then copied and freed",
       [](C c, I i) {
         uint32_t source = i.scratch, copy = i.scratch + 1;
         Bytes cells = Body(c).b32(source).b16(1).b16(1).request(X_AllocColorCells, 0);
         Bytes planes = Body(c).b32(source).b16(1).b16(1).b16(1).b16(1).request(X_AllocColorPlanes, 0);
         return Requests{Body(c).b32(source).b32(i.window).b32(i.directVisual).request(X_CreateColormap, AllocNone),
                         cells, planes, Body(c).b32(copy).b32(source).request(X_CopyColormapAndFree), cells, planes,
                         Body(c).b32(copy).b32(0).request(X_QueryColors), simple(c, X_FreeColormap, copy),
                         simple(c, X_FreeColormap, source)};
       }});
  t[X_AllocColor] = {
      {"colours by value and by name",
       [](C c, I i) {
         return Requests{Body(c).b32(i.rootColormap).b16(0x1234).b16(0x5678).b16(0x9abc).b16(0).request(X_AllocColor),
                         named(c, X_AllocNamedColor, i.rootColormap, "blue"),
                         named(c, X_LookupColor, i.rootColormap, "red"),
                         Body(c).b32(i.rootColormap).b32(0x0000ff).b32(0x123456).request(X_QueryColors),
                         named(c, X_AllocNamedColor, i.rootColormap, "no such colour")};
       }},
  };
  t[X_FreeColors] = {
      {"a cell of a read-only map",
       [](C c, I i) { return Requests{Body(c).b32(i.colormap).b32(0).b32(0).request(X_FreeColors)}; }},
  };
  t[X_CreateGlyphCursor] = {
      {"a character the font has",
       [](C c, I i) {
         return Requests{Body(c).b32(i.scratch).b32(i.font).b32(0).b16(65).b16(0).b16(0).b16(0).b16(0).b16(~0).b16(~0)
                             .b16(~0).request(X_CreateGlyphCursor),
                         simple(c, X_FreeCursor, i.scratch)};
       }},
      {"a character the font does not have",
       [](C c, I i) {
         return Requests{Body(c).b32(i.scratch).b32(i.font).b32(0).b16(0x1f0).b16(0).b16(0).b16(0).b16(0).b16(~0)
                             .b16(~0).b16(~0).request(X_CreateGlyphCursor)};
       }},
  };
  t[X_QueryBestSize] = {
      {"tile on an InputOnly window",
       [](C c, I i) {
         return Requests{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0),
                         Body(c).b32(i.scratch).b16(16).b16(16).request(X_QueryBestSize, TileShape)};
       }},
      {"cursor on the window", [](C c, I i) { return Requests{Body(c).b32(i.window).b16(16).b16(16).request(X_QueryBestSize, CursorShape)}; }},
  };
  t[X_SetModifierMapping] = {
      {"a keycode below the server's range",
       [](C c, I) {
         return Requests{Body(c).b8(3).b8(0).b8(0).b8(0).b8(0).b8(0).b8(0).b8(0).request(X_SetModifierMapping, 1),
                         Body(c).request(X_GetModifierMapping)};
       }},
  };
  t[X_GetKeyboardMapping] = {
      {"the first keycodes", [](C c, I) { return Requests{Body(c).b8(8).b8(20).b16(0).request(X_GetKeyboardMapping)}; }},
  };
  t[X_ReparentWindow] = {
      {"a top-level window into the case's window",
       [](C c, I i) {
         return Requests{createWindow(c, i.scratch, i.root, 0, 0, 10, 10, InputOutput, 0, 0),
                         Body(c).b32(i.scratch).b32(i.window).b16(5).b16(5).request(X_ReparentWindow),
                         simple(c, X_QueryTree, i.window)};
       }},
  };
  t[X_SetInputFocus] = {
      {"the pointer root, then read back",
       [](C c, I) { return Requests{Body(c).b32(PointerRoot).b32(0).request(X_SetInputFocus, RevertToParent),
                                    c.request(X_GetInputFocus, 0)}; }},
  };
  t[X_OpenFont] = {
      {"a font opened, asked and closed",
       [](C c, I i) {
         return Requests{named(c, X_OpenFont, i.scratch, "fixed"), simple(c, X_QueryFont, i.scratch),
                         simple(c, X_CloseFont, i.scratch)};
       }},
  };
  t[X_CreatePixmap] = {
      {"a pixmap made and freed",
       [](C c, I i) {
         return Requests{Body(c).b32(i.scratch).b32(i.window).b16(10).b16(10).request(X_CreatePixmap, 24),
                         simple(c, X_GetGeometry, i.scratch), simple(c, X_FreePixmap, i.scratch)};
       }},
      {"ids refused at creation, then made: pixmap, colormap, cursor, font, window, GC",
       [](C c, I i) {
         uint32_t pixmap = i.scratch, colormap = i.scratch + 1, cursor = i.scratch + 2, font = i.scratch + 3,
                  window = i.scratch + 4;
         auto pixmapOf = [&](uint8_t depth, uint16_t side) {
           return Body(c).b32(pixmap).b32(i.window).b16(side).b16(side).request(X_CreatePixmap, depth);
         };
         auto cursorFrom = [&](uint32_t source) {
           return Body(c).b32(cursor).b32(source).b32(0).b16(0).b16(0).b16(0).b16(0xffff).b16(0xffff).b16(0xffff)
               .b16(0).b16(0).request(X_CreateCursor);
         };
         uint32_t bitmap = i.scratch + 5, gc = i.scratch + 6;
         auto refused = [&](std::pair<uint32_t, uint32_t> value) {
           return createWindow(c, window, i.window, 0, 0, 10, 10, InputOutput, 0, CopyFromParent, {value});
         };
         return Requests{pixmapOf(7, 8), pixmapOf(24, 0), pixmapOf(24, 8), simple(c, X_FreePixmap, pixmap),
                         Body(c).b32(colormap).b32(i.window).b32(0x7ffff).request(X_CreateColormap, AllocNone),
                         Body(c).b32(colormap).b32(i.window).b32(i.visual).request(X_CreateColormap, AllocAll + 1),
                         Body(c).b32(colormap).b32(i.window).b32(i.visual).request(X_CreateColormap, AllocNone),
                         simple(c, X_FreeColormap, colormap), cursorFrom(i.pixmap),
                         Body(c).b32(bitmap).b32(i.window).b16(8).b16(8).request(X_CreatePixmap, 1),
                         cursorFrom(bitmap), simple(c, X_FreeCursor, cursor), simple(c, X_FreePixmap, bitmap),
                         Body(c).b32(font).b16(9).b16(0).text("no-such-f").pad().request(X_OpenFont),
                         Body(c).b32(font).b16(5).b16(0).text("fixed").pad().request(X_OpenFont),
                         simple(c, X_CloseFont, font),
                         createWindow(c, window, i.window, 0, 0, 0, 10, InputOutput, 0, CopyFromParent),
                         refused({CWBackPixmap, i.missing}), refused({CWBitGravity, 11}), refused({CWWinGravity, 11}),
                         refused({CWBackingStore, 3}), refused({CWOverrideRedirect, 2}), refused({CWSaveUnder, 2}),
                         refused({CWEventMask, 1u << 25}), refused({CWDontPropagate, EnterWindowMask}),
                         refused({CWDontPropagate, PointerMotionHintMask}), refused({CWColormap, i.missing}),
                         refused({CWCursor, i.missing}),
                         createWindow(c, window, i.window, 0, 0, 10, 10, InputOutput, 0, CopyFromParent,
                                      {{CWDontPropagate, KeyPressMask | ButtonMotionMask | Button5MotionMask}}),
                         simple(c, X_GetGeometry, window), simple(c, X_DestroyWindow, window),
                         gcWith(c, gc, i.window, GCTile, i.missing), gcWith(c, gc, i.window, GCStipple, i.missing),
                         gcWith(c, gc, i.window, GCFont, i.missing), gcWith(c, gc, i.window, GCForeground, 1),
                         fill(c, i.pixmap, gc, 0, 0, 2, 2), simple(c, X_FreeGC, gc)};
       }},
  };
  t[X_SetDashes] = {
      {"two dashes, then a dashed line read back",
       [](C c, I i) {
         return Requests{Body(c).b32(i.gc).b16(0).b16(2).b8(4).b8(2).pad().request(X_SetDashes),
                         Body(c).b32(i.gc).b32(GCLineStyle).b32(LineOnOffDash).request(X_ChangeGC),
                         Body(c).b32(i.pixmap).b32(i.gc).b16(0).b16(5).b16(31).b16(5).request(X_PolyLine, 0),
                         getImage(c, i.pixmap, 0, 5, 32, 1)};
       }},
  };
  t[X_CopyPlane] = {
      {"a plane of the window over the seam into the pixmap and within the window",
       [](C c, I i) {
         return patternThen(c, i, {copy(c, i.window, i.pixmap, i.gc, 35, 5, 0, 0, 32, 24, 1u << 23),
                                   getImage(c, i.pixmap, 0, 0, 32, 24),
                                   copy(c, i.window, i.window, i.gc, 10, 10, 30, 40, 40, 30, 1u << 23),
                                   getImage(c, i.window, 0, 0, 100, 80)});
       }},
      // An InputOnly window is no drawable: BadMatch before the plane is
      // looked at (bad, beyond the depth, good).
      {"from and to an InputOnly window, with planes bad and good",
       [](C c, I i) {
         Requests r{createWindow(c, i.scratch, i.window, 5, 5, 10, 10, InputOnly, 0, 0)};
         for (uint32_t plane : {3u, 1u << 30, 1u})
           for (auto [from, to] : {std::pair{i.scratch, i.pixmap}, {i.pixmap, i.scratch}, {i.scratch, i.scratch}})
             r.push_back(copy(c, from, to, i.gc, 0, 0, 0, 0, 4, 4, plane));
         return r;
       }},
      {"a plane of the pixmap onto the window",
       [](C c, I i) {
         return Requests{simple(c, X_MapWindow, i.window), fill(c, i.pixmap, i.gc, 0, 0, 16, 24),
                         Body(c).b32(i.pixmap).b32(i.window).b32(i.gc).b16(0).b16(0).b16(40).b16(10).b16(32).b16(24)
                             .b32(1u << 16).request(X_CopyPlane),
                         getImage(c, i.window, 40, 10, 32, 24)};
       }},
  };
  t[X_AllocColorCells] = {
      {"cells of a DirectColor map, stored and read back",
       [](C c, I i) {
         uint32_t map = i.scratch;
         Bytes item = Body(c).b32(map).b32(0).b16(0x1000).b16(0x2000).b16(0x3000).b8(7).b8(0).request(X_StoreColors);
         return Requests{Body(c).b32(map).b32(i.window).b32(i.directVisual).request(X_CreateColormap, AllocNone),
                         Body(c).b32(map).b16(1).b16(1).request(X_AllocColorCells, 0), item,
                         Body(c).b32(map).b32(0).b16(3).b16(0).text("red").pad().request(X_StoreNamedColor, 7),
                         Body(c).b32(map).b32(0).request(X_QueryColors), simple(c, X_FreeColormap, map)};
       }},
      {"planes past any colormap's depth, no colours, a contiguity that is no boolean",
       [](C c, I i) {
         Requests r;
         for (auto [contiguous, colours, planes] : {std::tuple{0, 2, 48}, {1, 1, 9}, {0, 1, 65535}, {2, 1, 0},
                                                    {0, 0, 40}, {3, 0, 1}})
           r.push_back(Body(c).b32(i.rootColormap).b16(uint16_t(colours)).b16(uint16_t(planes))
                           .request(X_AllocColorCells, uint8_t(contiguous)));
         return r;
       }},
  };
  t[X_CreateCursor] = {
      {"a cursor from a bitmap, recoloured and freed",
       [](C c, I i) {
         uint32_t bitmap = i.scratch, cursor = i.scratch + 1;
         return Requests{Body(c).b32(bitmap).b32(i.window).b16(16).b16(16).request(X_CreatePixmap, 1),
                         Body(c).b32(cursor).b32(bitmap).b32(0).b16(0xffff).b16(0).b16(0).b16(0).b16(0).b16(0xffff)
                             .b16(4).b16(4).request(X_CreateCursor),
                         Body(c).b32(cursor).b16(0).b16(0xffff).b16(0).b16(0xffff).b16(0).b16(0).request(X_RecolorCursor),
                         simple(c, X_FreeCursor, cursor), simple(c, X_FreePixmap, bitmap)};
       }},
  };
  t[X_ChangeKeyboardMapping] = {
      {"the last keycode's keysyms, then read back",
       [](C c, I) {
         return Requests{Body(c).b8(255).b8(2).b16(0).b32(0x61).b32(0x41).request(X_ChangeKeyboardMapping, 1),
                         Body(c).b8(255).b8(1).b16(0).request(X_GetKeyboardMapping)};
       }},
  };
  t[X_QueryExtension] = {
      {"an extension nobody has", [](C c, I) { return Requests{Body(c).b16(7).b16(0).text("NOTHERE").pad().request(X_QueryExtension)}; }},
  };
  return t;
}

// What one screen's resources do on the other screen: a plain server
// answers BadMatch where a server that has only one of the two screens
// would not know the id, and coordinates between screens do not translate.
// The case's resources are on the first screen; the scratch window (and a
// pixmap and GC beside it) on the second.
std::map<uint8_t, std::vector<Instance>> crossScreenInstances() {
  std::map<uint8_t, std::vector<Instance>> t;
  using C = const RawClient&;
  using I = const Ids&;
  auto other = [](C c, I i, std::vector<std::pair<uint32_t, uint32_t>> values = {}) {
    return createWindow(c, i.scratch, i.otherRoot, 10, 10, 40, 30, InputOutput, 0, CopyFromParent, values);
  };
  auto change = [](C c, uint32_t window, uint32_t bit, uint32_t value) {
    return Body(c).b32(window).b32(bit).b32(value).request(X_ChangeWindowAttributes);
  };
  auto copy = [](C c, uint8_t major, uint32_t from, uint32_t to, uint32_t gc) {
    Body b(c);
    b.b32(from).b32(to).b32(gc).b16(0).b16(0).b16(2).b16(2).b16(8).b16(8);
    if (major == X_CopyPlane) b.b32(1);
    return b.request(major);
  };
  t[X_CreateWindow] = {
      {"on the other screen, drawn and read back",
       [other, copy](C c, I i) {
         uint32_t pixmap = i.scratch + 1, gc = i.scratch + 2;
         return Requests{other(c, i, {{CWBackPixel, 0x00ff00}}), simple(c, X_MapWindow, i.scratch),
                         simple(c, X_GetGeometry, i.scratch),
                         Body(c).b32(pixmap).b32(i.otherRoot).b16(8).b16(8).request(X_CreatePixmap, 24),
                         gcWith(c, gc, pixmap, GCForeground, 0x0000ff), fill(c, pixmap, gc, 0, 0, 8, 8),
                         copy(c, X_CopyArea, pixmap, i.scratch, gc), getImage(c, i.scratch, 0, 0, 16, 16),
                         simple(c, X_FreeGC, gc), simple(c, X_FreePixmap, pixmap)};
       }},
      {"on the other screen with this screen's colormap",
       [other](C c, I i) { return Requests{other(c, i, {{CWColormap, i.colormap}})}; }},
      {"on the other screen with this screen's background pixmap",
       [other](C c, I i) { return Requests{other(c, i, {{CWBackPixmap, i.pixmap}})}; }},
      {"on the other screen with this screen's border pixmap",
       [other](C c, I i) { return Requests{other(c, i, {{CWBorderPixmap, i.pixmap}})}; }},
  };
  t[X_ChangeWindowAttributes] = {
      {"of a window on the other screen to this screen's colormap and pixmaps",
       [other, change](C c, I i) {
         return Requests{other(c, i), change(c, i.scratch, CWColormap, i.colormap),
                         change(c, i.scratch, CWBackPixmap, i.pixmap), change(c, i.scratch, CWBorderPixmap, i.pixmap),
                         change(c, i.window, CWColormap, i.otherColormap)};
       }},
  };
  t[X_CreateGC] = {
      {"on the other screen with this screen's tile, stipple or clip mask",
       [](C c, I i) {
         uint32_t bitmap = i.scratch + 1, gc = i.scratch + 2;
         return Requests{Body(c).b32(bitmap).b32(i.window).b16(8).b16(8).request(X_CreatePixmap, 1),
                         gcWith(c, gc, i.otherRoot, GCTile, i.pixmap), gcWith(c, gc, i.otherRoot, GCStipple, bitmap),
                         gcWith(c, gc, i.otherRoot, GCClipMask, bitmap), gcWith(c, gc, i.otherRoot, GCForeground, 1),
                         Body(c).b32(gc).b32(GCTile).b32(i.pixmap).request(X_ChangeGC),
                         Body(c).b32(gc).b32(GCStipple).b32(bitmap).request(X_ChangeGC),
                         Body(c).b32(gc).b32(GCClipMask).b32(bitmap).request(X_ChangeGC),
                         Body(c).b32(i.gc).b32(gc).b32(GCForeground).request(X_CopyGC),
                         Body(c).b32(gc).b32(i.gc).b32(GCForeground).request(X_CopyGC), simple(c, X_FreeGC, gc),
                         simple(c, X_FreePixmap, bitmap)};
       }},
  };
  t[X_PolyFillRectangle] = {
      {"with a GC of the other screen, and this screen's GC on the other",
       [other](C c, I i) {
         uint32_t gc = i.scratch + 1;
         auto text = [&c](uint8_t major, uint32_t drawable, uint32_t gc) {
           Body b(c);
           b.b32(drawable).b32(gc).b16(2).b16(12);
           if (major == X_ImageText8) return b.text("ab").pad().request(major, 2);
           return b.b8(2).b8(0).text("ab").pad().request(major);
         };
         Body image(c);
         image.b32(i.scratch).b32(i.gc).b16(1).b16(1).b16(0).b16(0).b8(0).b8(24).b16(0).b32(0x00ff00);
         return Requests{other(c, i), gcWith(c, gc, i.otherRoot, GCForeground, 1), fill(c, i.window, gc, 0, 0, 4, 4),
                         Body(c).b32(i.window).b32(gc).b16(1).b16(1).request(X_PolyPoint, 2),
                         fill(c, i.pixmap, gc, 0, 0, 4, 4), fill(c, i.scratch, i.gc, 0, 0, 4, 4),
                         Body(c).b32(i.scratch).b32(i.gc).b16(1).b16(1).request(X_PolyPoint, 0),
                         image.request(X_PutImage, ZPixmap), text(X_PolyText8, i.scratch, i.gc),
                         text(X_ImageText8, i.window, gc), simple(c, X_FreeGC, gc)};
       }},
  };
  t[X_CopyArea] = {
      {"between the screens",
       [other, copy](C c, I i) {
         uint32_t gc = i.scratch + 1;
         return Requests{other(c, i), gcWith(c, gc, i.otherRoot, GCForeground, 1),
                         copy(c, X_CopyArea, i.pixmap, i.scratch, gc), copy(c, X_CopyArea, i.scratch, i.pixmap, i.gc),
                         copy(c, X_CopyPlane, i.pixmap, i.scratch, gc), copy(c, X_CopyPlane, i.scratch, i.window, i.gc),
                         simple(c, X_FreeGC, gc)};
       }},
  };
  t[X_TranslateCoords] = {
      {"between windows of the two screens",
       [other](C c, I i) {
         return Requests{other(c, i), Body(c).b32(i.window).b32(i.scratch).b16(3).b16(4).request(X_TranslateCoords),
                         Body(c).b32(i.otherRoot).b32(i.root).b16(3).b16(4).request(X_TranslateCoords)};
       }},
  };
  t[X_ReparentWindow] = {
      {"into a window of the other screen",
       [other](C c, I i) {
         return Requests{other(c, i), Body(c).b32(i.window).b32(i.scratch).b16(0).b16(0).request(X_ReparentWindow),
                         Body(c).b32(i.scratch).b32(i.root).b16(0).b16(0).request(X_ReparentWindow)};
       }},
  };
  t[X_CreateColormap] = {
      {"of the other screen's visual, given to a window there",
       [other, change](C c, I i) {
         uint32_t colormap = i.scratch + 1;
         return Requests{other(c, i),
                         Body(c).b32(colormap).b32(i.otherRoot).b32(i.otherVisual).request(X_CreateColormap, AllocNone),
                         change(c, i.scratch, CWColormap, colormap), simple(c, X_GetWindowAttributes, i.scratch),
                         simple(c, X_FreeColormap, colormap)};
       }},
      {"with the other screen's visual",
       [](C c, I i) {
         return Requests{Body(c).b32(i.scratch).b32(i.otherRoot).b32(i.visual).request(X_CreateColormap, AllocNone),
                         Body(c).b32(i.scratch).b32(i.window).b32(i.otherVisual).request(X_CreateColormap, AllocNone)};
       }},
  };
  return t;
}

// ---- One side of the comparison ---------------------------------------------------------------

struct Peer {
  RawClient client;
  uint32_t base = 0, mask = 0, root = 0, visual = 0, rootColormap = 0, atom = 0;
  uint16_t width = 0;
  std::vector<uint32_t> visuals;
  uint32_t directVisual = 0;
  uint32_t pseudoVisual = 0;  // an 8-bit PseudoColor visual
  // The second screen's root, default colormap and visuals (0 and empty
  // with one screen).
  uint32_t otherRoot = 0, otherColormap = 0;
  std::vector<uint32_t> otherVisuals;
  // The extensions under test as this server numbers them, in one order
  // on both sides (index into `extensions()`).
  std::vector<RawClient::Codes> codes;
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
    uint8_t depth = s[at - 8];
    for (int v = 0; v < count; v++, at += 24) {
      peer->visuals.push_back(c.get32(s, at));
      if (s[at + 4] == DirectColor && !peer->directVisual) peer->directVisual = c.get32(s, at);
      if (s[at + 4] == PseudoColor && depth == 8 && !peer->pseudoVisual) peer->pseudoVisual = c.get32(s, at);
    }
  }
  if (s[28] > 1 && at + 40 <= s.size()) {
    peer->otherRoot = c.get32(s, at);
    peer->otherColormap = c.get32(s, at + 4);
    size_t depths = s[at + 39];
    at += 40;
    for (size_t d = 0; d < depths && at + 8 <= s.size(); d++) {
      uint16_t count = c.get16(s, at + 2);
      at += 8;
      for (int v = 0; v < count && at + 24 <= s.size(); v++, at += 24) peer->otherVisuals.push_back(c.get32(s, at));
    }
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
          p.rootColormap, p.atom, p.width, p.directVisual, &p.codes, p.otherRoot, p.otherColormap,
          p.otherVisuals.empty() ? 0 : p.otherVisuals[0]};
}


// The resources each case starts with: a window that straddles the seam on
// two heads (selecting exposure, structure and property events), a pixmap,
// a GC, the font "fixed" and a colormap.
std::vector<Bytes> prologue(const RawClient& c, const Ids& i) {
  std::vector<Bytes> r;
  int16_t x = static_cast<int16_t>(i.screenWidth / 2 - 50);
  uint32_t events = ExposureMask | StructureNotifyMask | PropertyChangeMask;
  r.push_back(Body(c).b32(i.window).b32(i.root).b16(uint16_t(x)).b16(uint16_t(layoutWindowY)).b16(100).b16(80).b16(0)
                  .b16(InputOutput)
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
  std::vector<uint16_t> majors;  // the request each message answers: major + 256 x minor (0: unknown)
  std::string problem;          // a broken sequence or connection
};

bool hasReply(uint8_t major) {
  const Protocol& p = xproto();
  auto at = p.requests().find(major);
  return at != p.requests().end() && p.hasReply(at->second);
}

// Sends the requests, then a round trip, and reads everything up to its
// reply. With `waitForReplies`, as Xlib does, a request with a reply is
// answered before the next goes; else they all go at once. Each message's
// sequence must lie among the requests sent, in order.
Exchange converse(Peer* peer, std::vector<Bytes> requests, bool waitForReplies) {
  Exchange e;
  RawClient& c = peer->client;
  uint16_t first = static_cast<uint16_t>(peer->sequence + 1), previous = first;
  std::map<uint16_t, uint16_t> majorOf;
  requests.push_back(c.request(X_GetInputFocus, 0));
  // Reads up to the reply or error of `awaited`; false on a broken sequence.
  auto readUntil = [&](uint16_t awaited, bool last) {
    for (;;) {
      Bytes m = c.readMessage(5000);
      if (m.empty()) {
        e.problem = c.closed() ? "connection closed" : "no answer in time";
        return false;
      }
      uint16_t seq = c.get16(m, 2);
      bool keymap = m[0] == KeymapNotify;
      if (!keymap && (static_cast<uint16_t>(seq - first) > static_cast<uint16_t>(awaited - first) ||
                      static_cast<uint16_t>(seq - first) < static_cast<uint16_t>(previous - first))) {
        char text[96];
        std::snprintf(text, sizeof text, "message %u has sequence %u outside %u..%u", m[0], seq, previous, awaited);
        e.problem = text;
        return false;
      }
      if (!keymap) previous = seq;
      bool answer = seq == awaited && m[0] <= 1;
      if (answer && last) return true;
      e.majors.push_back(keymap ? 0 : majorOf[seq]);
      e.messages.push_back(std::move(m));
      if (answer) return true;
    }
  };
  Bytes batch;
  for (size_t k = 0; k < requests.size(); k++) {
    const Bytes& r = requests[k];
    batch.insert(batch.end(), r.begin(), r.end());
    majorOf[++peer->sequence] = static_cast<uint16_t>(r[0] < 128 ? r[0] : r[0] | r[1] << 8);
    bool last = k + 1 == requests.size();
    if (!last && !(waitForReplies && hasReply(r[0]))) continue;
    if (!c.send(batch)) {
      e.problem = "send failed";
      return e;
    }
    batch.clear();
    if (!readUntil(peer->sequence, last)) return e;
  }
  return e;
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
// - the value of an error that has none (Request, Match, Alloc, Name,
//   Length, Implementation) and the unused bytes of errors and
//   events: the plain server leaves there whatever its buffers held.
uint32_t mapId(uint32_t w, const std::string& type, const Peer& self, const Peer& plain) {
  if ((w & ~self.mask) == self.base) return 0xee000000u | (w & self.mask);
  if (&self == &plain) return w;
  if (w == self.root && type != "ATOM" && type != "VISUALID") return plain.root;
  if (w == self.rootColormap && (type == "COLORMAP" || type == "any")) return plain.rootColormap;
  if (w == self.otherRoot && type != "ATOM" && type != "VISUALID") return plain.otherRoot;
  if (w == self.otherColormap && (type == "COLORMAP" || type == "any")) return plain.otherColormap;
  if (w == self.atom && (type == "ATOM" || type == "any")) return plain.atom;
  if (type == "VISUALID")
    for (size_t v = 0; v < self.visuals.size() && v < plain.visuals.size(); v++)
      if (w == self.visuals[v]) return plain.visuals[v];
  if (type == "VISUALID")
    for (size_t v = 0; v < self.otherVisuals.size() && v < plain.otherVisuals.size(); v++)
      if (w == self.otherVisuals[v]) return plain.otherVisuals[v];
  return w;
}

const std::set<std::string> kMappedTypes = {"WINDOW", "DRAWABLE", "PIXMAP", "GCONTEXT", "FONT", "FONTABLE",
                                            "CURSOR", "COLORMAP", "VISUALID", "ATOM"};

void mapFields(Bytes* m, const FixedPart& part, const Peer& self, const Peer& plain) {
  for (const Field& f : part.fields) {
    if (f.width != 4 || f.offset + 4 > m->size()) continue;
    if (f.type == "TIMESTAMP") self.client.put32(*m, f.offset, 0);  // each server's own clock
    if (kMappedTypes.count(f.type))
      self.client.put32(*m, f.offset, mapId(self.client.get32(*m, f.offset), f.type, self, plain));
  }
}

// Extension replies the proxy gives otherwise on purpose:
// - versions: the proxy offers the version it implements (and MIT-SHM
//   without shared pixmaps), whatever its servers have;
// - RENDER's picture formats: the meta screen's depths, in the proxy's ids;
// - RANDR on more than one head: answered from the proxy's screen model.
bool knownExtensionDifference(const std::string& extension, const std::string& request, int heads) {
  if (request.find("Version") != std::string::npos || (extension == "SYNC" && request == "Initialize")) return true;
  if (extension == "RENDER" && request == "QueryPictFormats") return true;
  return extension == "RANDR" && heads > 1;
}

int layoutHeads = 1;    // of the layout's meta screen
int layoutScreens = 1;  // meta screens of the layout

// What differs inside extension replies that otherwise compare:
// - milliseconds since input or until the saver: the two runs are apart;
// - RANDR GetScreenInfo's root: the plain server leaves it in its own byte
//   order for a client of the other (seen), the proxy swaps it;
// - DOUBLE-BUFFER's visual list: the proxy's visual ids, mapped by place.
void extensionReplyDetails(Bytes* m, const std::string& extension, const std::string& request, const Peer& self,
                           const Peer& plain) {
  const RawClient& c = self.client;
  if (extension == "MIT-SCREEN-SAVER" && request == "QueryInfo" && m->size() >= 20) {
    c.put32(*m, 12, 0);
    c.put32(*m, 16, 0);
  }
  if (extension == "RANDR" && request == "GetScreenInfo" && m->size() >= 12) c.put32(*m, 8, 0);
  if (extension == "DOUBLE-BUFFER" && request == "GetVisualInfo") {
    for (size_t at = 32; at + 4 <= m->size();) {
      uint32_t count = c.get32(*m, at);
      at += 4;
      for (uint32_t k = 0; k < count && at + 8 <= m->size(); k++, at += 8)
        c.put32(*m, at, mapId(c.get32(*m, at), "VISUALID", self, plain));
    }
  }
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

// An extension's codes become its place in the list (0x80 + index) and
// the offset from its first event or error.
int extensionOfMajor(const Peer& self, uint8_t major) {
  for (size_t k = 0; k < self.codes.size(); k++)
    if (self.codes[k].major == major) return int(k);
  return -1;
}

uint8_t mappedCode(const Peer& self, uint8_t code, bool error) {
  int best = -1;
  for (size_t k = 0; k < self.codes.size(); k++) {
    uint8_t first = error ? self.codes[k].firstError : self.codes[k].firstEvent;
    if (first && first <= code && (best < 0 || first > (error ? self.codes[best].firstError : self.codes[best].firstEvent)))
      best = int(k);
  }
  if (best < 0) return code;
  uint8_t first = error ? self.codes[best].firstError : self.codes[best].firstEvent;
  return static_cast<uint8_t>(0x80 + ((best * 8 + (code - first)) & 0x7f));
}

void normalize(Bytes* m, uint16_t key, const Peer& self, const Peer& plain) {
  const RawClient& c = self.client;
  uint8_t major = static_cast<uint8_t>(key);
  int extension = major >= 128 ? extensionOfMajor(self, major) : -1;
  const Protocol& p = extension >= 0 ? *extensions()[size_t(extension)]->protocol : xproto();
  if (m->at(0) == 0 && m->at(1) >= 128) (*m)[1] = mappedCode(self, m->at(1), true);
  if (m->at(0) == 0 && m->at(10) >= 128) {
    int k = extensionOfMajor(self, m->at(10));
    if (k >= 0) (*m)[10] = static_cast<uint8_t>(0x80 + k);
  }
  if (m->at(0) > 1 && (m->at(0) & 0x7f) >= 64) (*m)[0] = static_cast<uint8_t>((m->at(0) & 0x80) | (mappedCode(self, m->at(0) & 0x7f, false) & 0x7f));
  uint8_t code = m->at(0) & 0x7f;
  if (code == 0) {
    uint8_t error = m->at(1);
    bool valueless = error == BadRequest || error == BadMatch || error == BadAlloc ||
                     error == BadName || error == BadLength || error == BadImplementation;
    c.put32(*m, 4, valueless ? 0 : mapId(c.get32(*m, 4), "any", self, plain));
    std::fill(m->begin() + 11, m->end(), 0);
    return;
  }
  if (code == 1) {
    if (major < 128 && knownDifference(m, major, c)) return;
    if (major >= 128 && extension < 0) return;
    auto at = p.requests().find(major >= 128 ? key >> 8 : major);
    if (at == p.requests().end() || !p.hasReply(at->second)) return;
    const std::string& request = p.name(at->second);
    const std::string& name = extension >= 0 ? extensions()[size_t(extension)]->name : "";
    if (extension >= 0) extensionReplyDetails(m, name, request, self, plain);
    if (extension >= 0 && knownExtensionDifference(name, request, layoutHeads)) {
      m->resize(8);  // that it answered, and how long its answer is not
      (*m)[1] = 0;
      c.put32(*m, 4, 0);
      return;
    }
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
  if (code >= 64) return;
  auto at = xproto().events().find(code);
  if (at == xproto().events().end()) return;
  FixedPart event = xproto().event(at->second);
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
  for (size_t k = 0; k < m.size() && k < 96; k++) {
    std::snprintf(b, sizeof b, "%02x", m[k]);
    s += b;
    if (k % 4 == 3) s += ' ';
  }
  if (m.size() > 96) s += "...";
  return s;
}

// The names in the ListExtensions reply of the peer.
std::vector<std::string> listedExtensions(Peer* peer) {
  RawClient& c = peer->client;
  if (!c.send(c.request(X_ListExtensions, 0))) return {};
  peer->sequence++;
  Bytes reply = c.readMessage();
  std::vector<std::string> names;
  if (reply.size() < 32 || reply[0] != 1) return names;
  for (size_t at = 32, n = 0; n < reply[1] && at < reply.size(); n++) {
    size_t length = reply[at];
    if (at + 1 + length > reply.size()) break;
    names.emplace_back(reply.begin() + long(at) + 1, reply.begin() + long(at + 1 + length));
    at += 1 + length;
  }
  return names;
}

// Cases answered otherwise on purpose, errors included:
// - RANDR on more than one head and XINERAMA: the proxy's own model;
// - a GE QueryVersion of the wrong length: the plain server says
//   BadRequest, the proxy BadLength as for every other request;
// - copies whose GraphicsExpose a zoomed or turned head reports too (the
//   turned one shows the whole window, the zoomed one the obscured part):
//   it widens every exposure by a pixel on each side, so that rounding
//   never leaves a pixel unexposed.
bool knownMixedCase(const std::string& name);
int layoutScaled = 0;  // 1 a zoomed head, 2 a turned one

bool knownCase(const std::string& name) {
  if (knownMixedCase(name)) return true;
  if (layoutScaled && name == "CopyArea (62), within the window, its source partly under another window") return true;
  if (layoutScaled == 2 && name == "CopyArea (62), within the window over the seam, right and then left") return true;
  if (name.rfind("XINERAMA ", 0) == 0) return true;
  if (layoutHeads > 1 && name.rfind("RANDR ", 0) == 0) return true;
  // The plain server reports a bad ChangeProperty mode sign-extended
  // (0xffffffff for 255); the proxy reports the byte.
  if (name == "ChangeProperty (18), data byte 255") return true;
  // A plain server of several screens has made more ids of its own before
  // the client came: its system counters, modes and screen saver window
  // have other ids than those of the proxy's servers of one screen each.
  if (layoutScreens > 1)
    for (const char* own : {"SYNC ListSystemCounters ", "RANDR CreateMode ", "RANDR GetScreenResourcesCurrent ",
                            "MIT-SCREEN-SAVER QueryInfo "})
      if (name.rfind(own, 0) == 0) return true;
  return name.rfind("Generic Event Extension QueryVersion (0), one word too ", 0) == 0;
}

// ---- The layouts -----------------------------------------------------------------------------

// Side by side, or a second head that shows the first one's meta screen
// again, zoomed (its quarter at twice the size) or turned a quarter; or
// four heads in two rows of two (the case's window on the corner where
// they meet); or each head a meta screen of its own (against one server
// of as many screens).
enum class Second { kBeside, kZoomed, kTurned, kGrid, kOwnScreen };

// Two heads side by side that differ, in either order: a 16-bit server
// beside a 24-bit one (against a plain 24-bit server); an 8-bit server
// beside a 24-bit one that emulates 8-bit PseudoColor (against a plain
// 8-bit server); a second
// server that joins the running proxy beside the first, without a border
// or with the automatic one (against a plain server of the size it makes).
enum class Mixed { kNone, kDeep16, kEmulated8, kJoined, kJoinedBorder };

struct Layout {
  const char* name;
  int heads;
  char order;
  Second second = Second::kBeside;
  Mixed mixed = Mixed::kNone;
  bool otherOrder = false;  // of the mixed heads: the 24-bit one second
};

Mixed layoutMixed = Mixed::kNone;  // of the layout under test

// Cases that differ on the mixed layouts on purpose:
// - SYNC's system counters and the screen saver's window: ids that the
//   first head's server chose at its start, which depend on its visuals
//   and size, not on the plain server's;
// - heads of different depths share no DirectColor visual (a 16-bit server
//   has none at 24 bits; an 8-bit one has no emulated DirectColor), so the
//   meta screen offers none, and DOUBLE-BUFFER lists only the visuals every
//   head shows;
// - a colour allocated in an emulated colormap gets the proxy's first free
//   cell, a plain server's policy starts elsewhere.
bool knownMixedCase(const std::string& name) {
  if (layoutMixed == Mixed::kNone) return false;
  if (name == "SYNC ListSystemCounters (1), as described" || name == "MIT-SCREEN-SAVER QueryInfo (1), as described")
    return true;
  if (layoutMixed != Mixed::kDeep16 && layoutMixed != Mixed::kEmulated8) return false;
  if (name == "CreateColormap (78), planes of a DirectColor map, then copied and freed" ||
      name == "CreateColormap (78), cells, then planes of a DirectColor map, then copied and freed" ||
      name == "AllocColorCells (86), cells of a DirectColor map, stored and read back" ||
      name == "DOUBLE-BUFFER GetVisualInfo (6), as described")
    return true;
  return layoutMixed == Mixed::kEmulated8 && name == "AllocColor (84), colours by value and by name";
}

class Differential : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& l = GetParam();
    layoutMixed = l.mixed;
    layoutScaled = l.second == Second::kZoomed ? 1 : l.second == Second::kTurned ? 2 : 0;
    if (l.mixed != Mixed::kNone) return setUpMixed(l);
    bool beside = l.second == Second::kBeside, grid = l.second == Second::kGrid, own = l.second == Second::kOwnScreen;
    std::string size = std::to_string(beside || grid ? 640 * (grid ? 2 : l.heads) : 640) + "x" +
                       std::to_string(grid ? 960 : 480) + "x24";
    std::vector<std::string> plainArgs{"-screen", "0", size};
    for (int h = 1; own && h < l.heads; h++) plainArgs.insert(plainArgs.end(), {"-screen", std::to_string(h), size});
    plain = std::make_unique<Xvfb>(plainArgs);
    ASSERT_TRUE(plain->ok()) << plain->error();
    // The extensions offered by default and those two on request.
    std::vector<std::string> words{"noReset", "on", "extensions", "+XKEYBOARD", "extensions", "+RANDR"};
    if (!beside && !grid && !own) words.insert(words.end(), {"options", "Tavel"});
    for (int h = 0; h < l.heads; h++) {
      bool turned = h == 1 && l.second == Second::kTurned;
      heads.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", turned ? "480x640x24" : "640x480x24"}));
      ASSERT_TRUE(heads.back()->ok()) << heads.back()->error();
      if (own) words.insert(words.end(), {"metaScreen", "m" + std::to_string(h)});
      for (const char* w : {"screen", "", "borderWidth", "0"}) words.push_back(w);
      words[words.size() - 3] = heads.back()->display() + ".0";
      // The second row: each head below the one two before it.
      if (grid && h >= 2) words.insert(words.end(), {"southOf", heads[size_t(h) - 2]->display() + ".0"});
    }
    if (l.second == Second::kZoomed) words.insert(words.end(), {"clipGeometry", "320x240+0+0"});
    if (l.second == Second::kTurned) words.insert(words.end(), {"rotate", "quarter", "clipGeometry", "640x480+0+0"});
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    ASSERT_TRUE(reconnect());
    ASSERT_EQ(direct().width, through().width);
    // Heads of one meta screen; the window lies on the seam between the
    // rows of a grid.
    layoutHeads = own ? 1 : l.heads;
    layoutScreens = own ? l.heads : 1;
    layoutWindowY = grid ? 440 : 100;
  }

  void setUpMixed(const Layout& l) {
    bool joined = l.mixed == Mixed::kJoined || l.mixed == Mixed::kJoinedBorder;
    // The automatic border takes a pixel off each edge of the joined head.
    int border = l.mixed == Mixed::kJoinedBorder ? 1 : 0;
    const char* plainDepth = l.mixed == Mixed::kEmulated8 ? "8" : "24";
    plain = std::make_unique<Xvfb>(
        std::vector<std::string>{"-screen", "0", std::to_string(1280 - 2 * border) + "x480x" + plainDepth});
    ASSERT_TRUE(plain->ok()) << plain->error();
    const char* second = l.mixed == Mixed::kDeep16 ? "16" : l.mixed == Mixed::kEmulated8 ? "8" : "24";
    for (const char* depth : {"24", second}) {
      std::string size = std::string("640x480x") + depth;
      heads.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", size}));
      ASSERT_TRUE(heads.back()->ok()) << heads.back()->error();
    }
    if (l.otherOrder) std::swap(heads[0], heads[1]);
    std::vector<std::string> words{"noReset", "on", "extensions", "+XKEYBOARD", "extensions", "+RANDR"};
    if (joined) words.insert(words.end(), {"options", "DynamicServer"});
    for (size_t h = 0; h < (joined ? 1 : 2); h++) {
      words.insert(words.end(), {"screen", heads[h]->display() + ".0", "borderWidth", "0"});
      if (l.mixed == Mixed::kEmulated8 && h == (l.otherOrder ? 1 : 0))
        words.insert(words.end(), {"emulateVisuals", "PseudoColor:8"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    if (joined) {
      ASSERT_EQ(join(heads[1]->display(), border), "") << proxy->log();
    }
    ASSERT_TRUE(reconnect());
    ASSERT_EQ(direct().width, through().width) << proxy->log();
    // Every head took the cells of the default colormap that it must show.
    EXPECT_EQ(proxy->log().find("Can't alloc"), std::string::npos) << proxy->log();
    layoutHeads = l.heads;
    layoutScreens = 1;
    layoutWindowY = 100;
  }

  // The control extension adds the server and places its head beside the
  // first (border 0 given, or the automatic one left); the error text, ""
  // on success.
  std::string join(const std::string& display, int border) {
    RawClient c;
    if (!c.connectUnix(proxy->number()) || c.setup('l') != 1) return "no control client";
    uint8_t major = c.queryExtension("MORVANDELL META").major;
    if (!major) return "no control extension";
    Bytes add(8 + ((display.size() + 4) & ~size_t(3)), 0);
    std::copy(display.begin(), display.end(), add.begin() + 8);
    c.send(c.request(major, 4, add));
    auto next = [&c] {
      for (;;) {
        Bytes m = c.readMessage(60000);
        if (m.empty() || m[0] <= 1) return m;
      }
    };
    Bytes added = next();
    if (added.size() < 36 || added[0] != 1 || added[1] != 0 || c.get16(added, 8) != 1) return "AddServer failed";
    std::vector<uint32_t> values{0};  // meta screen 0
    uint32_t mask = 0x2 | 0x4000 | 0x8000 | 0x10000 | 0x20000;
    if (!border) mask |= 0x2000, values.push_back(0);
    for (uint32_t v : {640u, 0u, 640u - 2 * border, 480u - 2 * border}) values.push_back(v);
    Bytes body(8 + 4 * values.size(), 0);
    c.put32(body, 0, c.get32(added, 32));
    c.put32(body, 4, mask);
    for (size_t k = 0; k < values.size(); k++) c.put32(body, 8 + 4 * k, values[k]);
    c.send(c.request(major, 8, body));
    Bytes status = next();
    if (status.size() < 32 || status[0] != 1) return "SetHeadValues failed";
    uint32_t length = c.get32(status, 8);
    return std::string(status.begin() + 32, status.begin() + 32 + std::min<size_t>(length, status.size() - 32));
  }

  bool reconnect() {
    peers[0] = std::make_unique<Peer>();
    peers[1] = std::make_unique<Peer>();
    if (!openPeer(peers[0].get(), plain->number(), GetParam().order) ||
        !openPeer(peers[1].get(), proxy->number(), GetParam().order))
      return false;
    queryExtensionCodes();
    return true;
  }

  // The codes of the extensions under test on both sides.
  void queryExtensionCodes() {
    for (auto& peer : peers) {
      peer->codes.clear();
      for (const ExtensionInfo* info : extensions()) {
        peer->codes.push_back(peer->client.queryExtension(info->name));
        peer->sequence++;
      }
    }
  }
  Peer& direct() { return *peers[0]; }
  Peer& through() { return *peers[1]; }

  // Runs the requests on both sides; true when they answered alike.
  // Extension requests past the version the proxy offers are refused
  // with BadRequest by design: such a case is counted, not compared.
  int notOffered = 0;

  bool compare(const std::string& name, int caseIndex, const Build& build, bool waitForReplies,
               uint8_t extensionMajor = 0) {
    Exchange e[2];
    for (int s = 0; s < 2; s++) {
      Ids ids = idsFor(*peers[s], caseIndex);
      std::vector<Bytes> requests = prologue(peers[s]->client, ids);
      for (Bytes& r : build(peers[s]->client, ids)) requests.push_back(std::move(r));
      for (Bytes& r : epilogue(peers[s]->client, ids)) requests.push_back(std::move(r));
      e[s] = converse(peers[s].get(), requests, waitForReplies);
      for (size_t k = 0; k < e[s].messages.size(); k++) normalize(&e[s].messages[k], e[s].majors[k], *peers[s], direct());
    }
    if (knownCase(name)) {
      notOffered++;
      return true;
    }
    if (extensionMajor && e[1].problem.empty()) {
      for (const Bytes& m : e[1].messages) {
        if (m[0] != 0 || m[10] < 128) continue;
        if (m[1] == BadRequest) {
          notOffered++;
          return true;
        }
        break;
      }
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
    // PALVON_DIFF_SHOW=1 prints every case's messages (0 plain, 1 proxy).
    if (std::getenv("PALVON_DIFF_SHOW")) {
      std::printf("%s\n", name.c_str());
      for (int s = 0; s < 2; s++)
        for (const Bytes& m : e[s].messages) std::printf("%d %s\n", s, hex(m).c_str());
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
  if (layoutScreens > 1)
    for (auto& [major, list] : crossScreenInstances()) hand[major].insert(hand[major].end(), list.begin(), list.end());
  int caseIndex = 0, failed = 0;
  for (int major = 1; major < 128; major++) {
    const RequestRow& row = coreRequestRow(static_cast<uint8_t>(major));
    if (std::string(row.name) == "InvalidRequest") continue;
    auto m = static_cast<uint8_t>(major);
    std::vector<Instance> instances;
    instances.push_back({"as described", [m](const RawClient& c, const Ids& i) {
                           return std::vector<Bytes>{described(c, i, m, -1, 0)};
                         }, false});
    for (int bad = 0; bad < idFieldCount(m); bad++)
      instances.push_back({"bad id " + std::to_string(bad), [m, bad](const RawClient& c, const Ids& i) {
                             return std::vector<Bytes>{described(c, i, m, bad, 0)};
                           }, false});
    instances.push_back({"one word too long", [m](const RawClient& c, const Ids& i) {
                           Bytes b = described(c, i, m, -1, 0);
                           return std::vector<Bytes>{described(c, i, m, -1, static_cast<uint32_t>(b.size() / 4 + 1))};
                         }, false});
    if (xproto().request(xproto().requests().at(m)).size > 4)
      instances.push_back({"one word too short", [m](const RawClient& c, const Ids& i) {
                             Bytes b = described(c, i, m, -1, 0);
                             b.resize(b.size() - 4);
                             c.put16(b, 2, static_cast<uint16_t>(b.size() / 4));
                             return std::vector<Bytes>{b};
                           }, false});
    bool dataByte = false;
    for (const Field& f : xproto().request(xproto().requests().at(m)).fields) dataByte |= f.offset == 1;
    if (dataByte)
      instances.push_back({"data byte 255", [m](const RawClient& c, const Ids& i) {
                             Bytes b = described(c, i, m, -1, 0);
                             b[1] = 255;
                             return std::vector<Bytes>{b};
                           }, false});
    for (Instance& h : hand[m]) instances.push_back(h);
    for (const Instance& instance : instances)
      failed += !compare(std::string(row.name) + " (" + std::to_string(major) + "), " + instance.name, caseIndex++,
                         instance.build, instance.waitForReplies);
  }
  EXPECT_EQ(failed, 0);
}

// What a connection's set-up says a screen accepts: the pixmap formats
// (depth, bits per pixel, pad) and each screen's depths, each sorted.
struct Accepted {
  std::vector<std::vector<uint8_t>> formats;
  std::vector<std::vector<uint8_t>> depths;  // per screen
  // Per screen, per depth: the depth, then each visual's record without
  // its id, in the order listed.
  std::vector<std::vector<std::vector<uint8_t>>> visuals;
};

Accepted acceptedBy(const RawClient& c) {
  const Bytes& s = c.setupReply();
  Accepted a;
  size_t at = 40 + ((c.get16(s, 24) + 3) & ~3u);
  for (int f = 0; f < s[29] && at + 8 <= s.size(); f++, at += 8) a.formats.push_back({s[at], s[at + 1], s[at + 2]});
  for (int screen = 0; screen < s[28] && at + 40 <= s.size(); screen++) {
    size_t depths = s[at + 39];
    at += 40;
    a.depths.emplace_back();
    a.visuals.emplace_back();
    for (size_t d = 0; d < depths && at + 8 <= s.size(); d++) {
      a.depths.back().push_back(s[at]);
      std::vector<uint8_t>& listed = a.visuals.back().emplace_back(1, s[at]);
      size_t end = std::min(s.size(), at + 8 + 24 * size_t(c.get16(s, at + 2)));
      for (at += 8; at + 24 <= end; at += 24) listed.insert(listed.end(), s.begin() + long(at) + 4, s.begin() + long(at) + 24);
      at = end;
    }
    std::sort(a.depths.back().begin(), a.depths.back().end());
    std::sort(a.visuals.back().begin(), a.visuals.back().end());
  }
  std::sort(a.formats.begin(), a.formats.end());
  return a;
}

// Every depth that CreatePixmap accepts is listed among the screen's
// depths, as a plain server of the same depth lists it (with no visuals
// where it has none, and the same visuals under each), beside the same
// pixmap formats.
TEST_P(Differential, SetupListsTheDepthsItAccepts) {
  Accepted plainSide = acceptedBy(direct().client), proxySide = acceptedBy(through().client);
  EXPECT_EQ(plainSide.formats, proxySide.formats);
  EXPECT_EQ(plainSide.depths, proxySide.depths);
  // Heads of other depths narrow or add visuals by design.
  if (layoutMixed != Mixed::kDeep16 && layoutMixed != Mixed::kEmulated8) {
    EXPECT_EQ(plainSide.visuals, proxySide.visuals);
  }
  int caseIndex = 0, failed = 0;
  for (const std::vector<uint8_t>& format : plainSide.formats) {
    uint8_t depth = format[0];
    failed += !compare("CreatePixmap of depth " + std::to_string(depth), caseIndex++, [depth](const RawClient& c, const Ids& i) {
      return Requests{Body(c).b32(i.scratch).b32(i.window).b16(4).b16(4).request(X_CreatePixmap, depth),
                      simple(c, X_GetGeometry, i.scratch), simple(c, X_FreePixmap, i.scratch)};
    }, true);
  }
  EXPECT_EQ(failed, 0);
}

// Every request with a reply of every extension the proxy lists that the
// protocol's description has: as described (ids from the case's
// resources, versions of 99), one word too long and too short, and each
// core id missing.
TEST_P(Differential, ExtensionRequestsWithReplies) {
  std::vector<std::string> names = listedExtensions(&through());
  ASSERT_FALSE(names.empty());
  listedExtensions(&direct());  // both sides count the same requests
  std::vector<const ExtensionInfo*>& list = extensions();
  list.clear();
  for (const std::string& name : names)
    if (const ExtensionInfo* info = describedExtension(name)) list.push_back(info);
  queryExtensionCodes();
  int caseIndex = 0, failed = 0;
  for (size_t k = 0; k < list.size(); k++) {
    const ExtensionInfo& info = *list[k];
    if (!direct().codes[k].major) {
      // The proxy offers XINERAMA whatever its servers have; a plain server
      // of several screens has none.
      if (info.name != "XINERAMA" || layoutScreens == 1)
        ADD_FAILURE() << info.name << " offered by the proxy but not by its servers";
      continue;
    }
    const Protocol& p = *info.protocol;
    for (const auto& request : p.requests()) {
      // Plain copies: a lambda may not capture a structured binding in C++20.
      const auto minor = request.first;
      const auto at = request.second;
      if (!p.hasReply(at)) continue;
      // extra: words added (-1: one taken away).
      auto build = [&p, at, k, minor](int bad, int extra) {
        return [&p, at, k, minor, bad, extra](const RawClient& c, const Ids& ids) {
          FixedPart part = p.extensionRequest(at);
          Bytes b((part.size + 3) & ~3u, 0);
          b[0] = (*ids.codes)[k].major;
          b[1] = static_cast<uint8_t>(minor);
          int index = 0;
          for (const Field& f : part.fields) {
            uint32_t v = idFor(f, ids);
            if (f.name.find("major") != std::string::npos || f.name.find("minor") != std::string::npos) v = 99;
            if (kIdTypes.count(f.type) && index++ == bad) v = ids.missing;
            if (f.width == 4) c.put32(b, f.offset, v);
            if (f.width == 2) c.put16(b, f.offset, static_cast<uint16_t>(v));
            if (f.width == 1 && f.offset >= 4) b[f.offset] = static_cast<uint8_t>(v);
          }
          b.resize(size_t(long(b.size()) + 4 * extra), 0);
          c.put16(b, 2, static_cast<uint16_t>(b.size() / 4));
          return Requests{b};
        };
      };
      std::string name = info.name + " " + p.name(at) + " (" + std::to_string(minor) + "), ";
      uint8_t major = direct().codes[k].major;
      failed += !compare(name + "as described", caseIndex++, build(-1, 0), false, major);
      failed += !compare(name + "one word too long", caseIndex++, build(-1, 1), false, major);
      if (p.extensionRequest(at).size > 4)
        failed += !compare(name + "one word too short", caseIndex++, build(-1, -1), false, major);
      int ids = 0;
      for (const Field& f : p.extensionRequest(at).fields) ids += kIdTypes.count(f.type) != 0;
      for (int bad = 0; bad < ids; bad++)
        failed += !compare(name + "bad id " + std::to_string(bad), caseIndex++, build(bad, 0), false, major);
    }
  }
  EXPECT_EQ(failed, 0);
  std::printf("%d extension cases past the offered versions or known to differ\n", notOffered);
  extensions().clear();
}

INSTANTIATE_TEST_SUITE_P(Layouts, Differential,
                         ::testing::Values(Layout{"OneHeadLsb", 1, 'l'}, Layout{"OneHeadMsb", 1, 'B'},
                                           Layout{"TwoHeadsLsb", 2, 'l'}, Layout{"TwoHeadsMsb", 2, 'B'},
                                           Layout{"ZoomedLsb", 2, 'l', Second::kZoomed},
                                           Layout{"TurnedMsb", 2, 'B', Second::kTurned},
                                           Layout{"GridLsb", 4, 'l', Second::kGrid},
                                           Layout{"TwoScreensMsb", 2, 'B', Second::kOwnScreen}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(MixedLayouts, Differential,
                         ::testing::Values(Layout{"Deep16Lsb", 2, 'l', Second::kBeside, Mixed::kDeep16},
                                           Layout{"Deep16FirstMsb", 2, 'B', Second::kBeside, Mixed::kDeep16, true},
                                           Layout{"Emulated8Msb", 2, 'B', Second::kBeside, Mixed::kEmulated8},
                                           Layout{"Emulated8SecondLsb", 2, 'l', Second::kBeside, Mixed::kEmulated8, true},
                                           Layout{"JoinedLsb", 2, 'l', Second::kBeside, Mixed::kJoined},
                                           Layout{"JoinedBorderMsb", 2, 'B', Second::kBeside, Mixed::kJoinedBorder}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// An 8-bit PseudoColor visual that the proxy emulates on a 24-bit head
// answers as the visual of a plain 8-bit server: named colours exact, the
// second time too, and pixels read back as drawn.
TEST(EmulatedVisual, ColoursAndPixelsAsOnAnEightBitServer) {
  Xvfb plain{{"-screen", "0", "640x480x8"}}, head{{"-screen", "0", "640x480x24"}};
  ASSERT_TRUE(plain.ok()) << plain.error();
  ASSERT_TRUE(head.ok()) << head.error();
  ProxyProcess proxy({"noReset", "on", "screen", head.display() + ".0", "borderWidth", "0", "emulateVisuals",
                      "PseudoColor:8"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Peer peers[2];
  ASSERT_TRUE(openPeer(&peers[0], plain.number(), 'l'));
  ASSERT_TRUE(openPeer(&peers[1], proxy.number(), 'l'));
  Exchange e[2];
  for (int s = 0; s < 2; s++) {
    const RawClient& c = peers[s].client;
    ASSERT_NE(peers[s].pseudoVisual, 0u);
    uint32_t colormap = peers[s].base | 1, window = peers[s].base | 2, gc = peers[s].base | 3;
    Requests r{Body(c).b32(colormap).b32(peers[s].root).b32(peers[s].pseudoVisual).request(X_CreateColormap, AllocNone),
               named(c, X_AllocNamedColor, colormap, "blue"), named(c, X_AllocNamedColor, colormap, "blue"),
               Body(c).b32(colormap).b16(0).b16(0xffff).b16(0).b16(0).request(X_AllocColor),
               createWindow(c, window, peers[s].root, 10, 10, 16, 16, InputOutput, 8, peers[s].pseudoVisual,
                            {{CWBackPixel, 0}, {CWBorderPixel, 0}, {CWColormap, colormap}}),
               simple(c, X_MapWindow, window), gcWith(c, gc, window, GCForeground, 1),
               fill(c, window, gc, 2, 2, 4, 4), getImage(c, window, 0, 0, 8, 8)};
    e[s] = converse(&peers[s], r, true);
    ASSERT_EQ(e[s].problem, "");
    for (size_t k = 0; k < e[s].messages.size(); k++) {
      normalize(&e[s].messages[k], e[s].majors[k], peers[s], peers[0]);
      Bytes& m = e[s].messages[k];
      if (m[0] != 1) continue;
      // The visual's id; the pixel a server picks for a colour is its own
      // policy (a plain server starts elsewhere than at 0).
      if (e[s].majors[k] == X_GetImage) peers[s].client.put32(m, 8, 0);
      if (e[s].majors[k] == X_AllocNamedColor) peers[s].client.put32(m, 8, 0);
      if (e[s].majors[k] == X_AllocColor) peers[s].client.put32(m, 16, 0);
    }
  }
  ASSERT_EQ(e[0].messages.size(), e[1].messages.size());
  for (size_t k = 0; k < e[0].messages.size(); k++)
    EXPECT_EQ(e[0].messages[k], e[1].messages[k]) << "message " << k << "\n  plain " << hex(e[0].messages[k])
                                                  << "\n  proxy " << hex(e[1].messages[k]);
}

}  // namespace
}  // namespace palvon::test
