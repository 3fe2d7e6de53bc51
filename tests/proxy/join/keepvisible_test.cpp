// Keeping windows where a head shows them, on the proxy's own records: the
// rectangle rules for positive and negative values and the heads that
// count as covering, the windows a change of heads moves, and the positions
// rewritten in size hints and ConfigureRequest events.
#include <gtest/gtest.h>

#include <X11/X.h>

#include <deque>
#include <utility>
#include <vector>

#include "Proxy/dispatch/wire.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "support/resource_rig.h"
#include "xsupport/region.h"

namespace palvon::test {
namespace {

constexpr HeadRect kLeft{0, 0, 1280, 1024}, kRight{1280, 0, 1280, 1024};
enum class Shows { kYes, kNoServer, kResourceServer, kIconified };

// A 2560x1024 meta screen with the heads given, its root and client 1.
class KeepVisibleRig {
 public:
  KeepVisibleRig(std::vector<HeadRect> rects, i32 value, Shows right = Shows::kYes) {
    screen.width = 2560, screen.height = 1024, screen.keepVisible = value;
    for (const HeadRect& r : rects) {
      Head& head = heads.emplace_back();
      head.serverDisplay = &server;
      head.logical = r;
      if (heads.size() > 1) heads[heads.size() - 2].next = &head;
    }
    if (right == Shows::kNoServer) heads.back().serverDisplay = nullptr;
    if (right == Shows::kResourceServer) heads.back().serverDisplay = resourceServerDisplay = &resourceServer;
    if (right == Shows::kIconified) heads.back().inWindow = heads.back().input.iconified = 1;
    screen.heads = &heads.front();
    EXPECT_TRUE(createRootWindowRecord(&screen, 32));
    EXPECT_EQ(initClientResourceTable(1), 1);
  }
  ~KeepVisibleRig() {
    regionDestroy(screen.uncoveredRegion);
    resourceServerDisplay = nullptr;
  }

  // A window of client 1 (outer corner in the parent), mapped unless told.
  ProxyWindow* window(i16 x, i16 y, u16 width, ProxyWindow* parent = nullptr, u16 border = 0, bool map = true) {
    u32 id = (1u << 20) | nextLocal++;
    ProxyWindow* w = createProxyWindow(id, parent ? parent : screen.rootWindow, x, y, width, 100, border,
                                       kInputOutput, 24);
    EXPECT_EQ(addResource(id, RT_WINDOW, w), 1);
    if (map) mapWindowRecord(w, nullptr);
    return w;
  }

  DatabaseRig database;
  ServerDisplay server{}, resourceServer{};
  MetaScreen screen{};
  std::deque<Head> heads;
  u32 nextLocal = 1;
};

struct RectCase {
  const char* name;
  std::vector<HeadRect> heads;
  Shows right;  // what the last head shows
  i32 value;
  Rect rect;
  i32 x, y;  // where the rectangle ends up
};

class RectRules : public ::testing::TestWithParam<RectCase> {};

TEST_P(RectRules, MoveTheRectangleAsTheValueRequires) {
  const RectCase& c = GetParam();
  KeepVisibleRig rig(c.heads, c.value, c.right);
  recalcKeepWindowsVisible(&rig.screen);
  Rect rect = c.rect;
  keepRectVisible(&rect, &rig.screen);
  EXPECT_EQ(rect.x, c.x);
  EXPECT_EQ(rect.y, c.y);
  EXPECT_EQ(rect.width, c.rect.width) << "the size never changes";
}

constexpr Shows kYes = Shows::kYes;
INSTANTIATE_TEST_SUITE_P(
    Cases, RectRules,
    ::testing::Values(
        RectCase{"BothHeadsCoverTheScreen", {kLeft, kRight}, kYes, 50, {2000, 100, 400, 300}, 2000, 100},
        RectCase{"NoServerCoversNothing", {kLeft, kRight}, Shows::kNoServer, 50, {2000, 100, 400, 300}, 1230, 100},
        RectCase{"TheResourceServerCoversNothing", {kLeft, kRight}, Shows::kResourceServer, 50, {2000, 100, 400, 300},
                 1230, 100},
        RectCase{"AnIconifiedHeadCoversNothing", {kLeft, kRight}, Shows::kIconified, 50, {2000, 100, 400, 300}, 1230,
                 100},
        RectCase{"ThirtyPixelsInsideAreTooFew", {kLeft}, kYes, 50, {1250, 100, 400, 300}, 1230, 100},
        RectCase{"InsideStays", {kLeft}, kYes, 50, {100, 100, 400, 300}, 100, 100},
        RectCase{"NarrowerThanTheValueComesWhollyInside", {kLeft}, kYes, 50, {2000, 100, 40, 300}, 1240, 100},
        RectCase{"LowerHalfUncovered", {{0, 0, 2560, 512}}, kYes, 50, {300, 900, 200, 200}, 300, 462},
        RectCase{"NoBiggerThanTheValueStaysEvenInTheGap", {kLeft}, kYes, -20, {2000, 100, 20, 20}, 2000, 100},
        RectCase{"FifteenPixelsIntoTheGapStay", {kLeft}, kYes, -20, {900, 100, 395, 100}, 900, 100},
        RectCase{"ThirtyIntoTheGapMoveInsideTheGrownHeads", {kLeft}, kYes, -20, {900, 100, 410, 100}, 890, 100},
        RectCase{"WiderThanTheHeadsStartsAtTheirLeft", {kLeft}, kYes, -20, {1000, 100, 3000, 100}, -20, 100}),
    [](const ::testing::TestParamInfo<RectCase>& info) { return info.param.name; });

// When B goes, the shown top-level windows on it move onto A, and so do the
// children of a screen-sized desktop window; exempt trees, unmapped windows
// and the desktop itself stay. A window mapped later is moved at once.
TEST(KeepVisibleWindows, AChangeOfHeadsMovesTheShownTopLevels) {
  KeepVisibleRig rig({kLeft, kRight}, 50);
  recalcKeepWindowsVisible(&rig.screen);
  ProxyWindow* plain = rig.window(1500, 100, 200, nullptr, 2);
  ProxyWindow* exempt = rig.window(1500, 300, 200);
  rig.window(10, 10, 50, exempt);
  exempt->noKeepVisible = 1;
  ProxyWindow* desktop = rig.window(0, 0, 2560);
  desktop->height = 1024;  // screen-sized: a desktop window
  ProxyWindow* onDesktop = rig.window(2000, 500, 100, desktop);
  ProxyWindow* unmapped = rig.window(2000, 700, 100, nullptr, 0, false);

  rig.heads[1].serverDisplay = nullptr;
  recalcKeepWindowsVisible(&rig.screen);
  EXPECT_EQ(plain->x, 1230 + 2) << "the outer box keeps 50 pixels on A";
  EXPECT_EQ(plain->y, 102);
  EXPECT_EQ(exempt->x, 1500);
  EXPECT_EQ(desktop->x, 0);
  EXPECT_EQ(onDesktop->x, 1230);
  EXPECT_EQ(unmapped->x, 2000);
  EXPECT_EQ(rig.window(2200, 40, 100)->x, 1230) << "moved when it became viewable";
  EXPECT_EQ(rig.window(1000, 40, 100, plain)->x, plain->x + 1000) << "only top-level windows move";

  rig.screen.keepVisible = 0;
  recalcKeepWindowsVisible(&rig.screen);
  ProxyWindow* off = rig.window(2200, 40, 100);
  keepWindowVisible(off, nullptr);
  EXPECT_EQ(off->x, 2200) << "switched off";
}

// A program position in WM_NORMAL_HINTS and a position in a ConfigureRequest
// are moved before they are passed on; other windows' are not.
TEST(KeepVisibleWindows, HintedAndRequestedPositionsAreMoved) {
  KeepVisibleRig rig({kLeft}, 50);
  recalcKeepWindowsVisible(&rig.screen);
  ProxyWindow* top = rig.window(100, 100, 200);
  ProxyWindow* child = rig.window(10, 10, 50, top);
  constexpr u32 kPPosition = 4, kPSize = 8;
  u32 hints[18] = {};
  auto hintedX = [&hints](ProxyWindow* w, u32 flags) {
    hints[0] = flags, hints[1] = 2000, hints[2] = 100, hints[3] = 400, hints[4] = 300;
    adjustSizeHintsPosition(w, reinterpret_cast<u8*>(hints));
    return i32(hints[1]);
  };
  EXPECT_EQ(hintedX(top, kPPosition | kPSize), 1230);
  EXPECT_EQ(hintedX(top, kPSize), 2000) << "no program position";
  EXPECT_EQ(hintedX(child, kPPosition), 2000) << "not top-level";

  auto requested = [](ProxyWindow* w, u16 mask) {
    u8 event[32] = {ConfigureRequest};
    put32(event + 8, w->id);
    put16(event + 16, 2000);
    put16(event + 18, 100);
    put16(event + 20, 200);
    put16(event + 22, 100);
    put16(event + 26, mask);
    adjustConfigureRequestPosition(event);
    return std::pair<i32, u16>{i16(get16(event + 16)), get16(event + 26)};
  };
  using Got = std::pair<i32, u16>;
  EXPECT_EQ(requested(top, CWX | CWY), (Got{1230, CWX | CWY}));
  EXPECT_EQ(requested(top, CWWidth), (Got{2000, CWWidth})) << "no position";
  EXPECT_EQ(requested(top, CWY), (Got{1230, CWX | CWY})) << "a moved coordinate is asked for";
  EXPECT_EQ(requested(child, CWX), (Got{2000, CWX})) << "not top-level";
  top->noKeepVisible = 1;
  EXPECT_EQ(requested(top, CWX), (Got{2000, CWX})) << "exempt";
}

}  // namespace
}  // namespace palvon::test
