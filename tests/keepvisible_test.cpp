// Keeping windows where a head shows them, on the proxy's own records: the
// rectangle rules for positive and negative values, which heads count as
// covering, the windows a change of heads moves (and those it leaves), and
// the positions rewritten in size hints and ConfigureRequest events.
#include <gtest/gtest.h>

#include <X11/X.h>

#include <deque>
#include <tuple>
#include <utility>
#include <vector>

#include "Proxy/keepvisible.h"
#include "Proxy/resource.h"
#include "Proxy/window.h"
#include "Proxy/windowattr.h"
#include "Proxy/windowtree.h"
#include "Proxy/wire.h"
#include "Proxy/xdisplay.h"
#include "resource_rig.h"
#include "xsupport/region.h"

namespace palvon::test {
namespace {

constexpr u32 kRoot = 32;
constexpr HeadRect kLeft{0, 0, 1280, 1024}, kRight{1280, 0, 1280, 1024};

class KeepVisibleRig {
 public:
  KeepVisibleRig(std::vector<HeadRect> heads, i32 value) {
    screen.width = 2560, screen.height = 1024;
    screen.keepVisible = value;
    for (const HeadRect& r : heads) {
      Head& head = heads_.emplace_back();
      head.serverDisplay = &server;
      head.metaScreen = &screen;
      head.logical = r;
      if (heads_.size() > 1) heads_[heads_.size() - 2].next = &head;
    }
    screen.heads = heads_.empty() ? nullptr : &heads_.front();
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    EXPECT_TRUE(createRootWindowRecord(&screen, kRoot));
    EXPECT_EQ(initClientResourceTable(1), 1);
  }
  ~KeepVisibleRig() { regionDestroy(screen.uncoveredRegion); }

  Head& head(size_t i) { return heads_[i]; }

  // A window of client 1 (outer corner x, y in the parent), mapped unless
  // told otherwise.
  ProxyWindow* window(i16 x, i16 y, u16 width, u16 height, ProxyWindow* parent = nullptr, u16 border = 0,
                      bool map = true) {
    u32 id = (1u << 20) | nextLocal_++;
    ProxyWindow* w = createProxyWindow(id, parent ? parent : screen.rootWindow, x, y, width, height, border,
                                       kInputOutput, 24);
    EXPECT_NE(w, nullptr);
    EXPECT_EQ(addResource(id, RT_WINDOW, w), 1);
    if (map) mapWindowRecord(w, nullptr);
    return w;
  }

  DatabaseRig database;
  ServerDisplay server{};
  MetaScreen screen{};

 private:
  std::deque<Head> heads_;
  u32 nextLocal_ = 1;
};

struct RectCase {
  const char* name;
  std::vector<HeadRect> heads;
  i32 value;
  Rect rect;
  i32 x, y;  // where the rectangle ends up
};
void PrintTo(const RectCase& c, std::ostream* out) { *out << c.name; }

class RectRules : public ::testing::TestWithParam<RectCase> {};

TEST_P(RectRules, MoveTheRectangleAsTheValueRequires) {
  const RectCase& c = GetParam();
  KeepVisibleRig rig(c.heads, c.value);
  recalcKeepWindowsVisible(&rig.screen);
  Rect rect = c.rect;
  keepRectVisible(&rect, &rig.screen);
  EXPECT_EQ(rect.x, c.x);
  EXPECT_EQ(rect.y, c.y);
  EXPECT_EQ(rect.width, c.rect.width) << "the size never changes";
  EXPECT_EQ(rect.height, c.rect.height);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RectRules,
    ::testing::Values(
        RectCase{"BothHeadsCoverTheScreen", {kLeft, kRight}, 50, {2000, 100, 400, 300}, 2000, 100},
        RectCase{"FiftyPixelsStayOnTheLeftHead", {kLeft}, 50, {2000, 100, 400, 300}, 1230, 100},
        RectCase{"ThirtyPixelsInsideAreTooFew", {kLeft}, 50, {1250, 100, 400, 300}, 1230, 100},
        RectCase{"InsideStays", {kLeft}, 50, {100, 100, 400, 300}, 100, 100},
        RectCase{"NarrowerThanTheValueComesWhollyInside", {kLeft}, 50, {2000, 100, 40, 300}, 1240, 100},
        RectCase{"LowerHalfUncovered", {{0, 0, 2560, 512}}, 50, {300, 900, 200, 200}, 300, 462},
        RectCase{"NoBiggerThanTheValueStaysEvenInTheGap", {kLeft}, -20, {2000, 100, 20, 20}, 2000, 100},
        RectCase{"FifteenPixelsIntoTheGapStay", {kLeft}, -20, {900, 100, 395, 100}, 900, 100},
        RectCase{"ThirtyPixelsIntoTheGapMoveInsideTheGrownHeads", {kLeft}, -20, {900, 100, 410, 100}, 890, 100},
        RectCase{"WiderThanTheHeadsStartsAtTheirLeft", {kLeft}, -20, {1000, 100, 3000, 100}, -20, 100}),
    [](const ::testing::TestParamInfo<RectCase>& info) { return info.param.name; });

// Heads without a server, on the auxiliary resource server or iconified in
// a window cover nothing.
TEST(KeepVisibleCoverage, OnlyHeadsAUserSeesCover) {
  KeepVisibleRig rig({kLeft, kRight}, 50);
  ServerDisplay resourceServer{};
  recalcKeepWindowsVisible(&rig.screen);
  EXPECT_EQ(rig.screen.keepVisibleActive, 0);
  struct Change {
    const char* name;
    void (*apply)(Head& head, ServerDisplay* resource);
  };
  const Change changes[] = {
      {"no server", [](Head& h, ServerDisplay*) { h.serverDisplay = nullptr; }},
      {"resource server", [](Head& h, ServerDisplay* r) { h.serverDisplay = resourceServerDisplay = r; }},
      {"iconified in a window", [](Head& h, ServerDisplay*) { h.inWindow = h.input.iconified = 1; }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    Head saved = rig.head(1);
    change.apply(rig.head(1), &resourceServer);
    recalcKeepWindowsVisible(&rig.screen);
    EXPECT_EQ(rig.screen.keepVisibleActive, 1);
    Rect rect{2000, 100, 400, 300};
    keepRectVisible(&rect, &rig.screen);
    EXPECT_EQ(rect.x, 1230);
    rig.head(1) = saved;
    resourceServerDisplay = nullptr;
  }
  recalcKeepWindowsVisible(&rig.screen);
  EXPECT_EQ(rig.screen.keepVisibleActive, 0) << "covered again";
}

// When B goes, the shown top-level windows on it move onto A, and so do the
// children of a screen-sized desktop window; exempt trees, unmapped windows
// and the desktop itself stay. A window mapped later is moved at once.
TEST(KeepVisibleWindows, AChangeOfHeadsMovesTheShownTopLevels) {
  KeepVisibleRig rig({kLeft, kRight}, 50);
  recalcKeepWindowsVisible(&rig.screen);
  ProxyWindow* plain = rig.window(1500, 100, 200, 100, nullptr, 2);
  ProxyWindow* exempt = rig.window(1500, 300, 200, 100);
  ProxyWindow* exemptChild = rig.window(10, 10, 50, 50, exempt);
  exempt->noKeepVisible = 1;
  ProxyWindow* desktop = rig.window(0, 0, 2560, 1024);
  ProxyWindow* onDesktop = rig.window(2000, 500, 100, 100, desktop);
  ProxyWindow* unmapped = rig.window(2000, 700, 100, 100, nullptr, 0, false);
  (void)exemptChild;

  rig.head(1).serverDisplay = nullptr;
  recalcKeepWindowsVisible(&rig.screen);
  EXPECT_EQ(plain->x, 1230 + 2) << "the outer box keeps 50 pixels on A";
  EXPECT_EQ(plain->y, 102);
  EXPECT_EQ(exempt->x, 1500);
  EXPECT_EQ(desktop->x, 0);
  EXPECT_EQ(onDesktop->x, 1230);
  EXPECT_EQ(onDesktop->y, 500);
  EXPECT_EQ(unmapped->x, 2000);

  ProxyWindow* late = rig.window(2200, 40, 100, 100);
  EXPECT_EQ(late->x, 1230) << "moved when it became viewable";
  ProxyWindow* lateChild = rig.window(1000, 40, 100, 100, plain);
  EXPECT_EQ(lateChild->x, plain->x + 1000) << "only top-level windows move";
}

// A program position in WM_NORMAL_HINTS and a position in a ConfigureRequest
// are moved before they are passed on; other windows' are not.
TEST(KeepVisibleWindows, HintedAndRequestedPositionsAreMoved) {
  KeepVisibleRig rig({kLeft}, 50);
  recalcKeepWindowsVisible(&rig.screen);
  ProxyWindow* top = rig.window(100, 100, 200, 100);
  ProxyWindow* child = rig.window(10, 10, 50, 50, top);

  auto hinted = [](ProxyWindow* w, u32 flags, i32 x, i32 y) {
    u8 hints[72] = {};
    put32(hints, flags);
    put32(hints + 4, u32(x));
    put32(hints + 8, u32(y));
    put32(hints + 12, 400);
    put32(hints + 16, 300);
    adjustSizeHintsPosition(w, hints);
    return std::pair<i32, i32>{i32(get32(hints + 4)), i32(get32(hints + 8))};
  };
  constexpr u32 kPPosition = 4, kPSize = 8;
  EXPECT_EQ(hinted(top, kPPosition | kPSize, 2000, 100), (std::pair<i32, i32>{1230, 100}));
  EXPECT_EQ(hinted(top, kPPosition, 2000, 100), (std::pair<i32, i32>{1230, 100}));
  EXPECT_EQ(hinted(top, kPSize, 2000, 100), (std::pair<i32, i32>{2000, 100})) << "no program position";
  EXPECT_EQ(hinted(child, kPPosition, 2000, 100), (std::pair<i32, i32>{2000, 100})) << "not top-level";

  auto requested = [](ProxyWindow* w, u16 mask, i16 x, i16 y) {
    u8 event[32] = {};
    event[0] = ConfigureRequest;
    put32(event + 4, kRoot);
    put32(event + 8, w->id);
    put16(event + 16, u16(x));
    put16(event + 18, u16(y));
    put16(event + 20, 200);
    put16(event + 22, 100);
    put16(event + 26, mask);
    adjustConfigureRequestPosition(event);
    return std::tuple<i32, i32, u16>{i16(get16(event + 16)), i16(get16(event + 18)), get16(event + 26)};
  };
  EXPECT_EQ(requested(top, CWX | CWY, 2000, 100), (std::tuple<i32, i32, u16>{1230, 100, CWX | CWY}));
  EXPECT_EQ(requested(top, CWWidth, 2000, 100), (std::tuple<i32, i32, u16>{2000, 100, CWWidth})) << "no position";
  EXPECT_EQ(requested(top, CWY, 2000, 100), (std::tuple<i32, i32, u16>{1230, 100, CWX | CWY}))
      << "a moved coordinate is asked for";
  EXPECT_EQ(requested(child, CWX, 2000, 100), (std::tuple<i32, i32, u16>{2000, 100, CWX})) << "not top-level";
  top->noKeepVisible = 1;
  EXPECT_EQ(requested(top, CWX, 2000, 100), (std::tuple<i32, i32, u16>{2000, 100, CWX})) << "exempt";
}

}  // namespace
}  // namespace palvon::test
