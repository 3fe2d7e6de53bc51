// The window tree in-process: creation defaults, restacking, walks, window
// gravity, clip regions with shapes, overlap tests and destruction order.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Proxy/heads/screen.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "support/resource_rig.h"

namespace palvon {
namespace {

using test::DatabaseRig;
using test::destroyedTokens;
using test::kTokenType;
using test::TestClient;
using test::token;

// A meta screen of 1000 x 800 with its root registered as id 32, and client 1.
class Tree : public ::testing::Test {
 protected:
  DatabaseRig rig;
  MetaScreen screen{};
  ProxyWindow* root = nullptr;
  TestClient client{1};
  u32 nextLocal = 1;

  void SetUp() override {
    screen.blackPixel = 7;
    root = allocProxyWindow();
    ASSERT_NE(root, nullptr);
    root->id = 32;
    root->screen = &screen;
    root->windowClass = kInputOutput;
    root->depth = 24;
    root->width = 1000;
    root->height = 800;
    initWindowDefaults(root);
    computeWindowClip(root);
    computeBorderClip(root);
    ASSERT_EQ(addResource(root->id, RT_WINDOW, root), 1);
    currentClient = client.get();
  }

  ProxyWindow* make(ProxyWindow* parent, i16 x, i16 y, u16 width, u16 height, u16 border = 0, u8 windowClass = 1,
                    u8 depth = 0) {
    u32 id = client.id(nextLocal++);
    ProxyWindow* window = createProxyWindow(id, parent, x, y, width, height, border, windowClass, depth);
    EXPECT_NE(window, nullptr);
    EXPECT_EQ(addResource(id, RT_WINDOW, window), 1);
    return window;
  }
};

std::string boxes(const Region* region) {
  std::string text;
  char box[64];
  for (long i = 0; i < regionNumRects(region); i++) {
    const RegionBox& b = regionRects(region)[i];
    snprintf(box, sizeof box, "(%d,%d,%d,%d)", b.x1, b.y1, b.x2, b.y2);
    text += box;
  }
  return text;
}

// The children top first, checked against the links in both directions.
std::string stacking(const ProxyWindow* parent, const std::vector<const ProxyWindow*>& names) {
  auto nameOf = [&](const ProxyWindow* w) {
    for (size_t i = 0; i < names.size(); i++) {
      if (names[i] == w) return std::string(1, char('A' + i));
    }
    return std::string("?");
  };
  std::string down, up;
  for (const ProxyWindow* w = parent->topChild; w; w = w->nextLower) down += nameOf(w);
  for (const ProxyWindow* w = parent->bottomChild; w; w = w->nextUpper) up = nameOf(w) + up;
  return down == up ? down : down + " but upwards " + up;
}

// --- Creation ------------------------------------------------------------------------

TEST_F(Tree, NewWindowsTakeTheParentsClassAndDepthAndGoOnTop) {
  ProxyWindow* inputOnly = make(root, 10, 10, 100, 100, 0, kInputOnly);
  ProxyWindow* inherited = make(inputOnly, 0, 0, 5, 5, 0, 0);
  EXPECT_EQ(inherited->windowClass, kInputOnly);
  ProxyWindow* deep = make(root, 20, 30, 50, 40, 3, kInputOutput, 0);
  EXPECT_EQ(deep->depth, 24);
  EXPECT_EQ(root->topChild, deep);
  EXPECT_EQ(deep->x, 23);
  EXPECT_EQ(deep->y, 33);
  ProxyWindow* child = make(deep, -1, 2, 5, 5, 1);
  EXPECT_EQ(child->x, 23 + 0);
  EXPECT_EQ(child->y, 33 + 3);
  EXPECT_EQ(child->borderPixel, 7u) << "from the parent, which took the screen's black pixel";
  EXPECT_EQ(child->windowGravity, kGravityNorthWest);
  EXPECT_EQ(child->visibility, kVisibilityUnknown);
}

// --- Stacking -----------------------------------------------------------------------

struct RestackCase {
  char window;
  char sibling;  // 0: to the bottom
  const char* after;
  char returned;
};

class Restack : public Tree, public ::testing::WithParamInterface<RestackCase> {};

TEST_P(Restack, MovesDirectlyAboveTheSiblingAndReturnsTheHighestChange) {
  ProxyWindow* a = make(root, 0, 0, 10, 10);
  ProxyWindow* b = make(root, 0, 0, 10, 10);
  ProxyWindow* c = make(root, 0, 0, 10, 10);
  std::vector<const ProxyWindow*> names{a, b, c};
  ASSERT_EQ(stacking(root, names), "CBA");
  auto byName = [&](char n) { return n ? const_cast<ProxyWindow*>(names[n - 'A']) : nullptr; };
  const RestackCase& t = GetParam();
  ProxyWindow* changed = restackWindow(byName(t.window), byName(t.sibling));
  EXPECT_EQ(stacking(root, names), t.after);
  EXPECT_EQ(changed, byName(t.returned));
}

INSTANTIATE_TEST_SUITE_P(Cases, Restack,
                         ::testing::Values(RestackCase{'A', 0, "CBA", 'A'},    // bottom to bottom
                                           RestackCase{'C', 0, "BAC", 'B'},    // top to bottom
                                           RestackCase{'B', 0, "CAB", 'A'},    // middle to bottom
                                           RestackCase{'A', 'C', "ACB", 'A'},  // bottom to top
                                           RestackCase{'C', 'A', "BCA", 'B'},  // top down one
                                           RestackCase{'A', 'B', "CAB", 'A'},  // bottom up one
                                           RestackCase{'B', 'A', "CBA", 'B'}));  // already there

TEST_F(Tree, StackedAboveAmongSiblings) {
  ProxyWindow* low = make(root, 0, 0, 10, 10);
  ProxyWindow* high = make(root, 0, 0, 10, 10);
  ProxyWindow* cousin = make(high, 0, 0, 1, 1);
  EXPECT_EQ(isStackedAbove(high, low), 1);
  EXPECT_EQ(isStackedAbove(low, high), 0);
  EXPECT_EQ(isStackedAbove(low, cousin), 1) << "neither met before the other: 1";
}

// --- Walks ----------------------------------------------------------------------------

struct Walk {
  std::vector<u32> visited;
  u32 skipAt = 0, stopAt = 0;
};

int visit(ProxyWindow* window, void* argument) {
  auto* walk = static_cast<Walk*>(argument);
  walk->visited.push_back(window->id & 0xff);
  if (window->id == walk->stopAt) return 2;
  return window->id == walk->skipAt ? 1 : 0;
}

TEST_F(Tree, PreOrderWalksSkipAndStopWithoutLeavingTheSubtree) {
  ProxyWindow* first = make(root, 0, 0, 10, 10);   // 1
  ProxyWindow* second = make(root, 0, 0, 10, 10);  // 2
  make(second, 0, 0, 1, 1);                        // 3
  make(second, 0, 0, 1, 1);                        // 4
  make(first, 0, 0, 1, 1);                         // 5
  Walk all;
  EXPECT_EQ(traverseWindowTree(root, visit, &all), 1);
  EXPECT_EQ(all.visited, (std::vector<u32>{32, 2, 4, 3, 1, 5}));
  Walk skipping;
  skipping.skipAt = second->id;
  traverseWindowTree(root, visit, &skipping);
  EXPECT_EQ(skipping.visited, (std::vector<u32>{32, 2, 1, 5}));
  Walk stopping;
  stopping.stopAt = client.id(3);
  EXPECT_EQ(traverseWindowTree(root, visit, &stopping), 2);
  EXPECT_EQ(stopping.visited, (std::vector<u32>{32, 2, 4, 3}));
  Walk sub;
  traverseWindowTree(second, visit, &sub);
  EXPECT_EQ(sub.visited, (std::vector<u32>{2, 4, 3})) << "never the start window's siblings";
  u32 wanted = client.id(5);
  EXPECT_EQ(traverseWindowTree(root, matchWindowId, &wanted), 2);
  EXPECT_EQ(traverseWindowTree(second, matchWindowId, &wanted), 1);
  EXPECT_EQ(traverseWindowTree(nullptr, visit, &sub), 1);
}

// --- Gravity ----------------------------------------------------------------------------

struct GravityCase {
  u8 gravity;
  i32 x, y;
};

class Gravity : public ::testing::TestWithParam<GravityCase> {};

TEST_P(Gravity, PositionAfterTheParentChangedSize) {
  // From (10, 20), static position (3, 4), the parent 7 narrower and 9 taller:
  // halves truncate towards zero.
  i32 x = 0, y = 0;
  computeGravityPosition(10, 20, 3, 4, -7, 9, GetParam().gravity, &x, &y);
  EXPECT_EQ(x, GetParam().x);
  EXPECT_EQ(y, GetParam().y);
}

INSTANTIATE_TEST_SUITE_P(
    All, Gravity,
    ::testing::Values(GravityCase{kGravityUnmap, 10, 20}, GravityCase{kGravityNorthWest, 10, 20},
                      GravityCase{kGravityNorth, 7, 20}, GravityCase{kGravityNorthEast, 3, 20},
                      GravityCase{kGravityWest, 10, 24}, GravityCase{kGravityCenter, 7, 24},
                      GravityCase{kGravityEast, 3, 24}, GravityCase{kGravitySouthWest, 10, 29},
                      GravityCase{kGravitySouth, 7, 29}, GravityCase{kGravitySouthEast, 3, 29},
                      GravityCase{kGravityStatic, 3, 4}, GravityCase{11, 10, 20}));

TEST_F(Tree, ChildrenFollowTheirGravityWhenTheParentMovesAndResizes) {
  ProxyWindow* parent = make(root, 100, 100, 200, 200);
  ProxyWindow* northWest = make(parent, 10, 10, 20, 20);
  ProxyWindow* southEast = make(parent, 150, 150, 20, 20);
  southEast->windowGravity = kGravitySouthEast;
  ProxyWindow* grandchild = make(southEast, 5, 5, 5, 5);
  ProxyWindow* fixed = make(parent, 50, 50, 20, 20);
  fixed->windowGravity = kGravityStatic;
  // The parent moves by (-30, 40) and grows by (20, -10).
  parent->relativeX -= 30;
  parent->relativeY += 40;
  parent->x = i16(root->x + parent->relativeX);
  parent->y = i16(root->y + parent->relativeY);
  parent->width += 20;
  parent->height -= 10;
  computeWindowClip(parent);
  computeBorderClip(parent);
  moveChildrenByGravity(parent, -30, 40, 20, -10);
  EXPECT_EQ(northWest->x, 70 + 10);
  EXPECT_EQ(northWest->y, 140 + 10);
  EXPECT_EQ(southEast->x, 70 + 170);
  EXPECT_EQ(southEast->y, 140 + 140);
  EXPECT_EQ(grandchild->x, southEast->x + 5);
  EXPECT_EQ(grandchild->y, southEast->y + 5);
  EXPECT_EQ(fixed->x, 150) << "static gravity keeps the absolute position";
  EXPECT_EQ(fixed->y, 150);
  EXPECT_EQ(boxes(&grandchild->insideRegion), "(245,285,250,290)");
}

// --- Clip regions -------------------------------------------------------------------------

TEST_F(Tree, InsideRegionsAreClippedByEveryAncestor) {
  ProxyWindow* outside = make(root, 1200, 10, 50, 50);
  ProxyWindow* inner = make(outside, 0, 0, 10, 10);
  EXPECT_FALSE(regionNotEmpty(&outside->insideRegion));
  EXPECT_FALSE(regionNotEmpty(&inner->insideRegion));
  ProxyWindow* edge = make(root, 980, 790, 50, 50, 2);
  EXPECT_EQ(boxes(&edge->insideRegion), "(982,792,1000,800)");
  EXPECT_EQ(boxes(&edge->borderRegion), "(980,790,1000,800)") << "unshaped: the outer box, clipped";
  ProxyWindow* nested = make(edge, -10, -10, 30, 30);
  EXPECT_EQ(boxes(&nested->insideRegion), "(982,792,1000,800)");
}

TEST_F(Tree, ShapesCutTheInsideAndBorderRegions) {
  ProxyWindow* shaped = make(root, 100, 100, 40, 40);
  shaped->boundingShape = regionCreateRect(0, 0, 10, 40);  // a 10-pixel strip at the left
  computeWindowClip(shaped);
  computeBorderClip(shaped);
  EXPECT_EQ(boxes(&shaped->insideRegion), "(100,100,110,140)");
  EXPECT_EQ(boxes(&shaped->borderRegion), boxes(&shaped->insideRegion))
      << "border 0 and no clip shape: the inside region";

  ProxyWindow* ell = make(root, 200, 100, 40, 40);
  ell->boundingShape = regionCreateRect(0, 0, 10, 40);
  regionUnionRect(ell->boundingShape, ell->boundingShape, 0, 30, 40, 10);
  computeWindowClip(ell);
  ProxyWindow* inNotch = make(ell, 20, 0, 10, 10);
  EXPECT_FALSE(regionNotEmpty(&inNotch->insideRegion)) << "inside the parent's extents, outside its shape";
  ProxyWindow* onFoot = make(ell, 20, 25, 10, 10);
  EXPECT_EQ(boxes(&onFoot->insideRegion), "(220,130,230,135)");

  ProxyWindow* bordered = make(root, 300, 300, 40, 40, 5);
  bordered->boundingShape = regionCreateRect(-5, -5, 20, 50);  // covers the left border and 15 pixels
  computeWindowClip(bordered);
  computeBorderClip(bordered);
  EXPECT_EQ(boxes(&bordered->insideRegion), "(305,305,320,345)");
  EXPECT_EQ(boxes(&bordered->borderRegion), "(300,300,320,305)(300,305,305,345)(300,345,320,350)")
      << "the shaped outer box without the inside";
}

TEST_F(Tree, BorderBoxesStayInsideTheCoordinateRange) {
  ProxyWindow* far = make(root, 32000, -32000, 2000, 100, 10);
  RegionBox box;
  getWindowBorderBox(far, &box);
  EXPECT_EQ(box.x1, 32000);
  EXPECT_EQ(box.x2, 32767) << "not wrapped to a negative edge";
  EXPECT_EQ(box.y1, -32000);
  EXPECT_EQ(box.y2, -32000 + 20 + 100);
}

// --- Overlaps -------------------------------------------------------------------------------

TEST_F(Tree, OverlapsCountOnlyMappedSiblingsThatReallyCover) {
  ProxyWindow* bottom = make(root, 0, 0, 100, 100);
  ProxyWindow* touching = make(root, 100, 0, 50, 50);
  ProxyWindow* unmapped = make(root, 10, 10, 50, 50);
  ProxyWindow* shapedAway = make(root, 50, 50, 100, 100);
  shapedAway->boundingShape = regionCreateRect(60, 60, 10, 10);  // only (110,110)-(120,120)
  ProxyWindow* top = make(root, 90, 90, 20, 20);
  for (ProxyWindow* w : {bottom, touching, shapedAway, top}) w->mapped = 1;
  RegionBox box;
  getWindowBorderBox(bottom, &box);
  EXPECT_EQ(isOverlappedFromAbove(bottom, top, &box), 0) << "touching, unmapped and shaped-away siblings";
  EXPECT_EQ(isOverlappedFromAbove(bottom, nullptr, &box), 1) << "up to the top";
  unmapped->mapped = 1;
  EXPECT_EQ(isOverlappedFromAbove(bottom, top, &box), 1);
  getWindowBorderBox(top, &box);
  EXPECT_EQ(overlapsWindowBelow(top, &box), 1);
  getWindowBorderBox(touching, &box);
  EXPECT_EQ(overlapsWindowBelow(touching, &box), 0);
}

// --- Destruction -------------------------------------------------------------------------------

TEST_F(Tree, DestroyingFreesDescendantsDeepestFirstThenTheWindow) {
  ProxyWindow* keep = make(root, 0, 0, 10, 10);
  u32 windowId = client.id(nextLocal);
  ASSERT_EQ(addResource(windowId, kTokenType, token()), 1);  // older than the window's node
  ProxyWindow* window = make(root, 0, 0, 10, 10);
  ProxyWindow* keepAbove = make(root, 0, 0, 10, 10);
  ProxyWindow* lower = make(window, 0, 0, 5, 5);
  ProxyWindow* upper = make(window, 0, 0, 5, 5);
  ProxyWindow* upperChild = make(upper, 0, 0, 1, 1);
  ProxyWindow* lowerChild = make(lower, 0, 0, 1, 1);
  std::vector<u32> expected{upperChild->id, upper->id, lowerChild->id, lower->id, windowId};
  for (size_t i = 0; i + 1 < expected.size(); i++) addResource(expected[i], kTokenType, token());
  freeResource(windowId);
  EXPECT_EQ(destroyedTokens(), expected);
  for (u32 id : expected) EXPECT_EQ(lookupResourceObject(id), nullptr);
  EXPECT_EQ(stacking(root, {keep, keepAbove}), "BA") << "unlinked from the parent's children";
}

TEST_F(Tree, FreeingASlotDestroysOtherClientsWindowsInsideItsWindows) {
  TestClient other(2);
  ProxyWindow* frame = make(root, 0, 0, 100, 100);
  ProxyWindow* foreign = createProxyWindow(other.id(1), frame, 5, 5, 10, 10, 0, 0, 0);
  ASSERT_EQ(addResource(other.id(1), RT_WINDOW, foreign), 1);
  make(foreign, 0, 0, 1, 1);
  for (u32 i = 0; i < 300; i++) make(frame, 0, 0, 1, 1);  // the slot grows meanwhile
  freeClientResources(1);
  EXPECT_EQ(lookupResourceObject(other.id(1)), nullptr);
  EXPECT_EQ(proxyState.resources.slots[2].nodeCount, 0u);
  EXPECT_EQ(root->topChild, nullptr);
}

TEST_F(Tree, DeepTreesAreWalkedAndDestroyedWithoutRecursion) {
  constexpr u32 kDepth = 100000;
  ProxyWindow* top = make(root, 0, 0, 10, 10);
  ProxyWindow* window = top;
  for (u32 i = 1; i < kDepth; i++) window = make(window, 0, 0, 10, 10);
  u32 count = 0;
  traverseWindowTree(
      top,
      [](ProxyWindow*, void* argument) {
        ++*static_cast<u32*>(argument);
        return 0;
      },
      &count);
  EXPECT_EQ(count, kDepth);
  freeResource(top->id);
  EXPECT_EQ(proxyState.resources.slots[1].nodeCount, 0u);
}

// --- Per-head entries and selections -------------------------------------------------------

TEST_F(Tree, PerHeadEntriesAndOtherSelectingClients) {
  ProxyWindow* window = make(root, 0, 0, 10, 10);
  Head first{}, second{};
  EXPECT_EQ(getWindowFirstHead(window), nullptr);
  EXPECT_EQ(getWindowHeadId(window, nullptr), 0u);
  auto* a = static_cast<BackgroundTile*>(calloc(1, sizeof(BackgroundTile)));
  auto* b = static_cast<BackgroundTile*>(calloc(1, sizeof(BackgroundTile)));
  *a = {b, nullptr, &first, 0x1000, 10, 10, 10, 10, 24, 0, 0};
  *b = {nullptr, a, &second, 0x2000, 20, 20, 20, 20, 8, 0, 0};
  window->tiles = a;
  EXPECT_EQ(getWindowFirstHead(window), &first);
  EXPECT_EQ(getWindowHeadId(window, nullptr), 0x1000u);
  EXPECT_EQ(getWindowHeadId(window, &second), 0x2000u);
  EXPECT_EQ(getWindowHeadFlag(window, &second), 8u);
  Head third{};
  EXPECT_EQ(getWindowHeadFlag(window, &third), 0u);

  ProxyClient manager{};
  auto* selection = static_cast<EventSelection*>(calloc(1, sizeof(EventSelection)));
  *selection = {nullptr, nullptr, &manager, kSubstructureRedirectMask, 0};
  window->selections = selection;
  EXPECT_EQ(hasOtherSelectingClient(window, client.get()), 1);
  EXPECT_EQ(hasOtherSelectingClient(window, &manager), 0);
}

}  // namespace
}  // namespace palvon
