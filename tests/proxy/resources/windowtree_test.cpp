// Tree changes and visibility in-process: every change is followed by a
// check of every window's visible areas and visibility state against a
// plain recomputation from the stacking order, and of the VisibilityNotify
// events a selecting client received; then the protocol's rules one by
// one (stack modes, errors, circulate, gravity, redirection, destruction).
#include <gtest/gtest.h>

#include <X11/X.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "base/orders.h"
#include "base/outbuffer.h"
#include "support/resource_rig.h"

namespace palvon {
namespace {

using test::DatabaseRig;

constexpr u32 kWidth = 400, kHeight = 300;

// A client whose events are read back from a socket pair.
class EventClient {
 public:
  explicit EventClient(u32 number) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
    record.number = number;
    record.descriptor = pair_[0];
    record.transport = reinterpret_cast<_XtransConnInfo*>(&record);  // marks it connected
    outbufferInit(&record.output, pair_[0], orderNoop, nullptr);
    EXPECT_EQ(initClientResourceTable(number), 1);
  }
  ~EventClient() {
    outbufferFree(&record.output);
    close(pair_[0]);
    close(pair_[1]);
  }
  EventClient(const EventClient&) = delete;
  EventClient& operator=(const EventClient&) = delete;

  // VisibilityNotify events since the last call: window id and state.
  std::vector<std::pair<u32, u8>> take() {
    outbufferFlushBlocking(&record.output, 1000);
    std::vector<std::pair<u32, u8>> events;
    u8 event[32];
    while (recv(pair_[1], event, sizeof event, MSG_DONTWAIT | MSG_WAITALL) == 32) {
      EXPECT_EQ(event[0], VisibilityNotify);
      events.emplace_back(u32(event[4] | event[5] << 8 | event[6] << 16 | u32(event[7]) << 24), event[8]);
    }
    return events;
  }
  u32 id(u32 local) const { return (record.number << 20) | local; }

  ProxyClient record{};

 private:
  int pair_[2] = {-1, -1};
};

// A meta screen of 400 x 300 with its root record, and client 1 selecting
// VisibilityChange on every window it makes.
class Tree : public ::testing::Test {
 protected:
  DatabaseRig rig;
  MetaScreen screen{};
  EventClient client{1};
  ProxyWindow* root = nullptr;
  u32 nextLocal = 1;

  void SetUp() override {
    ordersInit();
    screen.width = kWidth;
    screen.height = kHeight;
    screen.blackPixel = 7;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    currentClient = &client.record;
    ASSERT_TRUE(createRootWindowRecord(&screen, 32));
    root = screen.rootWindow;
  }
  void TearDown() override {
    currentClient = nullptr;
    freeAllClientResources();  // while the client can still take its events
    freePendingRequests(&client.record);
    freeAllDestroyedWindowAttributes();
    ordersFreeAll();
  }

  ProxyWindow* make(ProxyWindow* parent, i16 x, i16 y, u16 width, u16 height, u16 border = 0,
                    u8 windowClass = kInputOutput) {
    u32 id = client.id(nextLocal++);
    ProxyWindow* window = createProxyWindow(id, parent, x, y, width, height, border, windowClass, 0);
    EXPECT_NE(window, nullptr);
    EXPECT_EQ(addResource(id, RT_WINDOW, window), 1);
    initWindowAttributes(window);
    setInitialEventMask(window, kVisibilityChangeMask);
    return window;
  }
  ProxyWindow* mapped(ProxyWindow* parent, i16 x, i16 y, u16 width, u16 height, u16 border = 0) {
    ProxyWindow* window = make(parent, x, y, width, height, border);
    mapWindowRecord(window, &client.record);
    return window;
  }
  int configure(ProxyWindow* window, u16 mask, std::vector<u32> values) {
    u32 bad = 0;
    return configureWindowRecord(window, mask, values.data(), &client.record, &bad);
  }
};

// --- The oracle -----------------------------------------------------------------------------

struct Regions {
  Region* border;
  Region* clip;
  explicit Regions() : border(regionCreate(nullptr, 0)), clip(regionCreate(nullptr, 0)) {}
  ~Regions() {
    regionDestroy(border);
    regionDestroy(clip);
  }
};

bool sameRegion(const Region* a, const Region* b) {
  Region* diff = regionCreate(nullptr, 0);
  regionSubtract(diff, a, b);
  bool same = !regionNotEmpty(diff);
  regionSubtract(diff, b, a);
  same = same && !regionNotEmpty(diff);
  regionDestroy(diff);
  return same;
}

std::string describe(const Region* region) {
  std::string text;
  for (long i = 0; i < regionNumRects(region); i++) {
    const RegionBox& b = regionRects(region)[i];
    text += "(" + std::to_string(b.x1) + "," + std::to_string(b.y1) + "," + std::to_string(b.x2) + "," +
            std::to_string(b.y2) + ")";
  }
  return text.empty() ? "empty" : text;
}

u8 classify(const ProxyWindow* window, const Region* visible) {
  Region* bounding = windowBoundingRegion(window);
  Region* hidden = regionCreate(nullptr, 0);
  regionSubtract(hidden, bounding, visible);
  bool anyVisible = false;
  Region* seen = regionCreate(nullptr, 0);
  regionIntersect(seen, bounding, visible);
  anyVisible = regionNotEmpty(seen);
  // Unshaped windows count their whole box, which may lie outside the parent.
  RegionBox box;
  getWindowBorderBox(window, &box);
  if (!window->boundingShape) {
    regionReset(bounding, &box);
    regionSubtract(hidden, bounding, visible);
  }
  u8 state = !anyVisible                  ? kVisibilityFullyObscured
             : regionNotEmpty(hidden) ? kVisibilityPartiallyObscured
                                          : kVisibilityUnobscured;
  regionDestroy(bounding);
  regionDestroy(hidden);
  regionDestroy(seen);
  return state;
}

// The inside and border regions from scratch: the window's rectangles cut
// by every ancestor's inside and by its shapes.
void checkStaticRegions(const ProxyWindow* window, const Region* parentInside, Region* inside,
                        std::vector<std::string>* faults) {
  i32 border = window->borderWidth;
  Region* outer = regionCreateRect(window->x - border, window->y - border, window->width + 2 * border,
                                   window->height + 2 * border);
  regionResetRect(inside, window->x, window->y, window->width, window->height);
  for (Region* r : {inside, outer}) {
    if (parentInside) regionIntersect(r, r, parentInside);
    if (window->boundingShape) {
      Region* shape = regionCreate(nullptr, 0);
      regionCopy(shape, window->boundingShape);
      regionTranslate(shape, window->x, window->y);
      regionIntersect(r, r, shape);
      regionDestroy(shape);
    }
  }
  if (window->clipShape) {
    Region* shape = regionCreate(nullptr, 0);
    regionCopy(shape, window->clipShape);
    regionTranslate(shape, window->x, window->y);
    regionIntersect(inside, inside, shape);
    regionDestroy(shape);
  }
  char name[16];
  snprintf(name, sizeof name, "0x%x", window->id);
  if (!sameRegion(inside, &window->insideRegion))
    faults->push_back(std::string(name) + " inside " + describe(&window->insideRegion) + " expected " + describe(inside));
  Region* kept = regionCreate(nullptr, 0);
  regionUnion(kept, &window->borderRegion, &window->insideRegion);
  if (!sameRegion(outer, kept))
    faults->push_back(std::string(name) + " outer " + describe(kept) + " expected " + describe(outer));
  regionDestroy(kept);
  regionDestroy(outer);
}

// Recomputes every window's visible areas from scratch, top down, and
// compares them with what the validations kept.
void checkAgainstOracle(ProxyWindow* window, const Region* available, std::vector<std::string>* faults,
                        const Region* parentInside = nullptr) {
  Regions expected;
  Region* inside = regionCreate(nullptr, 0);
  checkStaticRegions(window, parentInside, inside, faults);
  if (window->shown) {
    Region* bounding = windowBoundingRegion(window);
    regionIntersect(expected.border, available, bounding);
    regionDestroy(bounding);
    regionIntersect(expected.clip, expected.border, &window->insideRegion);
    Region* rest = regionCreate(nullptr, 0);
    regionCopy(rest, expected.clip);
    for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
      checkAgainstOracle(child, rest, faults, inside);
      if (child->shown) {
        Region* childBounding = windowBoundingRegion(child);
        regionSubtract(rest, rest, childBounding);
        regionDestroy(childBounding);
      }
    }
    regionCopy(expected.clip, rest);
    regionDestroy(rest);
  } else {
    for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
      checkAgainstOracle(child, available, faults, inside);
    }
  }
  regionDestroy(inside);
  char name[16];
  snprintf(name, sizeof name, "0x%x", window->id);
  if (!sameRegion(expected.border, &window->borderList))
    faults->push_back(std::string(name) + " border " + describe(&window->borderList) + " expected " + describe(expected.border));
  if (!sameRegion(expected.clip, &window->clipList))
    faults->push_back(std::string(name) + " clip " + describe(&window->clipList) + " expected " + describe(expected.clip));
  if (!window->parent) return;
  u8 state = window->shown ? classify(window, expected.border) : kVisibilityUnknown;
  if (state != window->visibility)
    faults->push_back(std::string(name) + " state " + std::to_string(window->visibility) + " expected " + std::to_string(state));
}

std::vector<std::string> oracleFaults(ProxyWindow* root) {
  std::vector<std::string> faults;
  Region* screen = regionCreateRect(root->x, root->y, root->width, root->height);
  checkAgainstOracle(root, screen, &faults);
  regionDestroy(screen);
  return faults;
}

// --- Random changes against the oracle -------------------------------------------------------

// A seed, and whether the changes also make families of many small
// children side by side (a toolkit's widgets) whose parents move whole.
struct RandomRun {
  u32 seed;
  u32 families;
};

class RandomChanges : public Tree, public ::testing::WithParamInterface<RandomRun> {
 protected:
  std::vector<ProxyWindow*> windows;  // live windows other than the root
  std::map<u32, u8> lastEvent;        // window id -> state last notified

  ProxyWindow* pick(std::mt19937& random) { return windows[random() % windows.size()]; }
  void forget(ProxyWindow* gone) {
    std::vector<ProxyWindow*> kept;
    for (ProxyWindow* w : windows) {
      bool inside = false;
      for (ProxyWindow* a = w; a; a = a->parent) inside = inside || a == gone;
      if (!inside) kept.push_back(w);
    }
    windows = kept;
  }
  // A parent with twelve children in a grid, none touching another.
  void addFamily(std::mt19937& random) {
    ProxyWindow* parent = make(root, i16(random() % 300) - 20, i16(random() % 220) - 20, 60, 45, u16(random() % 3));
    windows.push_back(parent);
    for (int i = 0; i < 12; i++) {
      windows.push_back(make(parent, i16(2 + 15 * (i % 4)), i16(2 + 15 * (i / 4)), 10, 10, u16(i % 2)));
      if (i % 5) mapWindowRecord(windows.back(), &client.record);
    }
    if (random() % 2) mapWindowRecord(parent, &client.record);
  }
  void addWindow(std::mt19937& random) {
    if (GetParam().families && random() % 3 == 0) return addFamily(random);
    ProxyWindow* parent = windows.empty() || random() % 3 == 0 ? root : pick(random);
    if (parent->windowClass == kInputOnly) parent = root;
    u8 windowClass = random() % 8 == 0 ? kInputOnly : kInputOutput;
    u16 border = windowClass == kInputOnly ? 0 : u16(random() % 4);
    ProxyWindow* window = make(parent, i16(random() % 300) - 40, i16(random() % 220) - 30, u16(20 + random() % 160),
                               u16(20 + random() % 120), border, windowClass);
    if (random() % 5 == 0 && windowClass == kInputOutput) {
      // A bounding shape: two boxes leaving a hole.
      window->boundingShape = regionCreateRect(0, 0, window->width / 2, window->height);
      regionUnionRect(window->boundingShape, window->boundingShape, 0, 0, window->width, window->height / 3);
      computeWindowClip(window);
      computeBorderClip(window);
    }
    windows.push_back(window);
  }
  void change(std::mt19937& random) {
    if (windows.size() < 3 || random() % 10 == 0) return addWindow(random);
    ProxyWindow* window = pick(random);
    switch (random() % 9) {
      case 0:
      case 1: mapWindowRecord(window, &client.record); break;
      case 2: unmapWindowRecord(window, 0); break;
      case 3: {
        u16 mask = u16(random() % 0x20);
        if (window->windowClass == kInputOnly) mask &= ~CWBorderWidth;
        std::vector<u32> values;
        for (u32 bit = 0; bit < 5; bit++) {
          if (!(mask & (1u << bit))) continue;
          values.push_back(bit < 2 ? u32(i32(random() % 300) - 40) : bit < 4 ? u32(10 + random() % 200) : random() % 5);
        }
        if (random() % 2) {
          mask |= CWStackMode;
          ProxyWindow* sibling = window->parent->topChild;
          for (u32 steps = random() % 4; steps && sibling && sibling->nextLower; steps--) sibling = sibling->nextLower;
          if (sibling != window && random() % 2) {
            mask |= CWSibling;
            values.push_back(sibling->id);
          }
          values.push_back(random() % 5);
        }
        EXPECT_EQ(configure(window, mask, values), 0);
        break;
      }
      case 4: circulateWindowRecord(window->parent, u8(random() % 2), &client.record); break;
      case 5: random() % 2 ? mapSubwindowRecords(window, &client.record) : unmapSubwindowRecords(window, &client.record); break;
      case 6: {
        ProxyWindow* parent = pick(random);
        if (parent->windowClass == kInputOnly && window->windowClass == kInputOutput) parent = root;
        bool wasMapped = window->mapped;
        if (reparentWindowRecord(window, parent, i32(random() % 200) - 20, i32(random() % 150) - 20, &client.record) ||
            !wasMapped)
          break;
        // The window passed through not viewable, which sends nothing (the
        // events of the change are read afterwards).
        for (ProxyWindow* w = window; w; w = nextWindowPreorder(w, window)) {
          if (lastEvent.count(w->id)) lastEvent[w->id] = kVisibilityUnknown;
        }
        break;
      }
      case 7:
        if (random() % 3 == 0) {
          forget(window);
          freeResourceById(window->id, RT_NONE);
        }
        break;
      default: {
        ProxyWindow* target = random() % 3 ? window->parent->topChild : nullptr;
        restackWindowRecord(window, target, kValidateStack);
        break;
      }
    }
  }
  // Every event is a change of state, and the last one of a window is its
  // state now.
  void checkEvents() {
    for (auto [id, state] : client.take()) {
      auto last = lastEvent.find(id);
      if (last != lastEvent.end()) {
        EXPECT_NE(last->second, state) << "an event without a change for 0x" << std::hex << id;
      }
      lastEvent[id] = state;
    }
    for (ProxyWindow* window : windows) {
      if (window->windowClass == kInputOnly) {
        EXPECT_EQ(lastEvent.count(window->id), 0u) << "no events for InputOnly windows";
        continue;
      }
      if (!window->shown) continue;
      auto last = lastEvent.find(window->id);
      ASSERT_NE(last, lastEvent.end()) << "a shown window was never notified";
      EXPECT_EQ(last->second, window->visibility);
    }
    for (auto& [id, state] : lastEvent) {
      if (!lookupWindow(id)) continue;
      if (!lookupWindow(id)->viewable) state = kVisibilityUnknown;  // unmapping sends nothing
    }
  }
};

TEST_P(RandomChanges, VisibleAreasAndStatesMatchARecomputationFromScratch) {
  std::mt19937 random(GetParam().seed);
  for (int step = 0; step < 400; step++) {
    change(random);
    std::vector<std::string> faults = oracleFaults(root);
    ASSERT_TRUE(faults.empty()) << "after step " << step << ": " << faults.front();
    checkEvents();
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomChanges,
                         ::testing::Values(RandomRun{1, false}, RandomRun{2, false}, RandomRun{3, false},
                                           RandomRun{4, false}, RandomRun{5, false}, RandomRun{6, false},
                                           RandomRun{7, true}, RandomRun{8, true}, RandomRun{9, true},
                                           RandomRun{10, true}));

// --- Visibility, one rule at a time --------------------------------------------------------

TEST_F(Tree, ACoveringSiblingObscuresAndUncoversWithOneEventEach) {
  ProxyWindow* below = mapped(root, 10, 10, 100, 100);
  EXPECT_EQ(client.take(), (std::vector<std::pair<u32, u8>>{{below->id, kVisibilityUnobscured}}));
  ProxyWindow* half = mapped(root, 60, 10, 100, 100);
  EXPECT_EQ(below->visibility, kVisibilityPartiallyObscured);
  ProxyWindow* full = mapped(root, 0, 0, 200, 200);
  EXPECT_EQ(below->visibility, kVisibilityFullyObscured);
  EXPECT_EQ(half->visibility, kVisibilityFullyObscured);
  client.take();
  unmapWindowRecord(full, 0);
  EXPECT_EQ(client.take(), (std::vector<std::pair<u32, u8>>{{half->id, kVisibilityUnobscured},
                                                              {below->id, kVisibilityPartiallyObscured}}));
  EXPECT_EQ(full->visibility, kVisibilityUnknown);
  unmapWindowRecord(half, 0);
  EXPECT_EQ(client.take(), (std::vector<std::pair<u32, u8>>{{below->id, kVisibilityUnobscured}}));
}

TEST_F(Tree, MappingManySubwindowsAtOnceObscuresTheMappedOnesBelow) {
  ProxyWindow* parent = mapped(root, 0, 0, 300, 200);
  ProxyWindow* below = mapped(parent, 100, 50, 50, 50);
  std::vector<ProxyWindow*> row;
  for (i16 i = 0; i < 10; i++) row.push_back(make(parent, i16(20 * i), 0, 15, 15));
  ProxyWindow* over = make(parent, 90, 40, 20, 20);
  client.take();
  mapSubwindowRecords(parent, &client.record);
  EXPECT_EQ(below->visibility, kVisibilityPartiallyObscured);
  EXPECT_EQ(over->visibility, kVisibilityUnobscured);
  EXPECT_TRUE(oracleFaults(root).empty());
}

TEST_F(Tree, DestroyingTheCoveringWindowUncoversTheWindowBelow) {
  ProxyWindow* below = mapped(root, 10, 10, 100, 100);
  ProxyWindow* cover = mapped(root, 0, 0, 200, 200);
  mapped(cover, 5, 5, 20, 20);
  ASSERT_EQ(below->visibility, kVisibilityFullyObscured);
  client.take();
  freeResourceById(cover->id, RT_NONE);
  EXPECT_EQ(client.take(), (std::vector<std::pair<u32, u8>>{{below->id, kVisibilityUnobscured}}));
  EXPECT_TRUE(oracleFaults(root).empty());
}

TEST_F(Tree, UnmappingAParentLeavesItsDescendantsNotViewableWithoutEvents) {
  ProxyWindow* parent = mapped(root, 10, 10, 100, 100);
  ProxyWindow* child = mapped(parent, 10, 10, 20, 20);
  ProxyWindow* grandchild = mapped(child, 1, 1, 5, 5);
  client.take();
  unmapWindowRecord(parent, 0);
  EXPECT_TRUE(client.take().empty());
  for (ProxyWindow* w : {parent, child, grandchild}) {
    EXPECT_EQ(w->visibility, kVisibilityUnknown);
    EXPECT_FALSE(w->viewable);
    EXPECT_FALSE(regionNotEmpty(&w->borderList));
  }
  EXPECT_TRUE(child->mapped) << "only the window itself is unmapped";
  mapWindowRecord(parent, &client.record);
  EXPECT_EQ(client.take().size(), 3u);
  EXPECT_EQ(grandchild->visibility, kVisibilityUnobscured);
}

TEST_F(Tree, AWindowReachingOutOfItsParentIsPartiallyObscured) {
  ProxyWindow* parent = mapped(root, 10, 10, 100, 100);
  ProxyWindow* child = mapped(parent, 80, 80, 40, 40);
  EXPECT_EQ(child->visibility, kVisibilityPartiallyObscured);
  ProxyWindow* outside = mapped(parent, 200, 200, 10, 10);
  EXPECT_EQ(outside->visibility, kVisibilityFullyObscured);
}

TEST_F(Tree, AShapedCoverLeavesTheHoleVisible) {
  ProxyWindow* below = mapped(root, 0, 0, 100, 100);
  ProxyWindow* cover = make(root, 0, 0, 100, 100);
  cover->boundingShape = regionCreateRect(0, 0, 50, 100);  // only the left half
  computeWindowClip(cover);
  computeBorderClip(cover);
  mapWindowRecord(cover, &client.record);
  EXPECT_EQ(below->visibility, kVisibilityPartiallyObscured);
  EXPECT_EQ(cover->visibility, kVisibilityUnobscured) << "its shape lies wholly in view";
  EXPECT_EQ(describe(&below->borderList), "(50,0,100,100)");
}

TEST_F(Tree, AnInputOnlyWindowCoversNothingAndGetsNoEvents) {
  ProxyWindow* below = mapped(root, 0, 0, 100, 100);
  ProxyWindow* glass = make(root, 0, 0, 100, 100, 0, kInputOnly);
  client.take();
  mapWindowRecord(glass, &client.record);
  EXPECT_TRUE(glass->viewable);
  EXPECT_FALSE(glass->shown);
  EXPECT_TRUE(client.take().empty());
  EXPECT_EQ(below->visibility, kVisibilityUnobscured);
}

TEST_F(Tree, AMapRedirectedByAnotherClientWaitsForTheWindowManager) {
  EventClient manager(2);
  currentClient = &manager.record;
  ASSERT_TRUE(setWindowEventMask(root, kSubstructureRedirectMask));
  currentClient = &client.record;
  ProxyWindow* window = make(root, 0, 0, 50, 50);
  mapWindowRecord(window, &client.record);
  EXPECT_FALSE(window->mapped);
  EXPECT_EQ(configure(window, CWX, {30}), 0);
  EXPECT_EQ(window->x, 0) << "the window manager gets a ConfigureRequest instead";
  mapWindowRecord(window, &manager.record);
  EXPECT_TRUE(window->viewable);
  window->overrideRedirect = 1;
  unmapWindowRecord(window, 0);
  mapWindowRecord(window, &client.record);
  EXPECT_TRUE(window->mapped) << "override-redirect windows are never redirected";
  removeClientEventSelections(&manager.record);
}

// --- ConfigureWindow ---------------------------------------------------------------------------

struct ConfigureError {
  const char* name;
  u16 mask;
  std::vector<u32> values;  // 0xdead stands for the sibling, 0xbeef for a stranger
  int error;
};

class ConfigureErrors : public Tree, public ::testing::WithParamInterface<ConfigureError> {};

TEST_P(ConfigureErrors, RefusedWithTheProtocolsCodeAndNothingChanged) {
  ProxyWindow* window = mapped(root, 10, 10, 50, 50);
  ProxyWindow* sibling = mapped(root, 20, 20, 50, 50);
  ProxyWindow* stranger = mapped(sibling, 0, 0, 5, 5);
  ProxyWindow* glass = make(root, 0, 0, 5, 5, 0, kInputOnly);
  std::vector<u32> values = GetParam().values;
  for (u32& v : values) v = v == 0xdead ? sibling->id : v == 0xbeef ? stranger->id : v;
  ProxyWindow* target = GetParam().mask == CWBorderWidth ? glass : window;
  u32 bad = 0;
  EXPECT_EQ(configureWindowRecord(target, GetParam().mask, values.data(), &client.record, &bad), GetParam().error);
  EXPECT_EQ(window->x, 10);
  EXPECT_EQ(root->topChild, glass);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigureErrors,
    ::testing::Values(ConfigureError{"ZeroWidth", CWWidth, {0}, BadValue},
                      ConfigureError{"ZeroHeight", CWX | CWHeight, {5, 0}, BadValue},
                      ConfigureError{"StackModeFive", CWStackMode, {5}, BadValue},
                      ConfigureError{"SiblingWithoutStackMode", CWSibling, {0xdead}, BadMatch},
                      ConfigureError{"NotASibling", CWSibling | CWStackMode, {0xbeef, 0}, BadMatch},
                      ConfigureError{"UnknownSibling", CWSibling | CWStackMode, {0x123456, 0}, BadWindow},
                      ConfigureError{"InputOnlyBorder", CWBorderWidth, {1}, BadMatch},
                      ConfigureError{"MaskBitSeven", 0x80, {}, BadValue}),
    [](const auto& info) { return std::string(info.param.name); });

struct StackCase {
  const char* name;
  u8 mode;
  char window;
  char sibling;  // 0: none
  const char* after;  // top first
};

class StackModes : public Tree, public ::testing::WithParamInterface<StackCase> {};

// A (bottom) overlaps B; C (top) stands apart.
TEST_P(StackModes, DecidedFromOverlapsAsTheProtocolSays) {
  ProxyWindow* a = mapped(root, 0, 0, 100, 100);
  ProxyWindow* b = mapped(root, 50, 50, 100, 100);
  ProxyWindow* c = mapped(root, 300, 200, 50, 50);
  std::vector<ProxyWindow*> names{a, b, c};
  auto byName = [&](char n) { return n ? names[n - 'A'] : nullptr; };
  const StackCase& t = GetParam();
  u16 mask = CWStackMode;
  std::vector<u32> values;
  if (t.sibling) {
    mask |= CWSibling;
    values.push_back(byName(t.sibling)->id);
  }
  values.push_back(t.mode);
  ASSERT_EQ(configure(byName(t.window), mask, values), 0);
  std::string order;
  for (ProxyWindow* w = root->topChild; w; w = w->nextLower) order += char('A' + (w == b) + 2 * (w == c));
  EXPECT_EQ(order, t.after);
  EXPECT_TRUE(oracleFaults(root).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StackModes,
    ::testing::Values(StackCase{"AboveToTop", kStackAbove, 'A', 0, "ACB"},
                      StackCase{"AboveSibling", kStackAbove, 'A', 'B', "CAB"},
                      StackCase{"BelowToBottom", kStackBelow, 'C', 0, "BAC"},
                      StackCase{"BelowSibling", kStackBelow, 'C', 'B', "BCA"},
                      StackCase{"TopIfCovered", kStackTopIf, 'A', 0, "ACB"},
                      StackCase{"TopIfUncovered", kStackTopIf, 'C', 0, "CBA"},
                      StackCase{"TopIfSiblingApart", kStackTopIf, 'A', 'C', "CBA"},
                      StackCase{"TopIfSiblingBelow", kStackTopIf, 'B', 'A', "CBA"},
                      StackCase{"BottomIfCovering", kStackBottomIf, 'B', 0, "CAB"},
                      StackCase{"BottomIfSiblingAbove", kStackBottomIf, 'A', 'B', "CBA"},
                      StackCase{"OppositeCovered", kStackOpposite, 'A', 'B', "ACB"},
                      StackCase{"OppositeCovering", kStackOpposite, 'B', 'A', "CAB"},
                      StackCase{"OppositeApart", kStackOpposite, 'C', 0, "CBA"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tree, ABorderOnlyChangeKeepsTheOuterCornerAndAMoveKeepsTheSize) {
  ProxyWindow* window = mapped(root, 10, 20, 50, 40, 2);
  ASSERT_EQ(window->x, 12);
  EXPECT_EQ(configure(window, CWBorderWidth, {5}), 0);
  EXPECT_EQ(window->x, 15) << "the outer corner stays, the inside moves";
  EXPECT_EQ(window->borderWidth, 5);
  EXPECT_EQ(configure(window, CWX | CWY, {100, 110}), 0);
  EXPECT_EQ(window->x, 105);
  EXPECT_EQ(window->y, 115);
  EXPECT_EQ(window->width, 50);
  EXPECT_TRUE(oracleFaults(root).empty());
}

TEST_F(Tree, ResizingMovesChildrenByTheirGravityAndUnmapsUnmapGravityOnes) {
  ProxyWindow* parent = mapped(root, 0, 0, 100, 100);
  struct Child {
    u8 gravity;
    i32 x, y;  // the inside origin afterwards, absolute
  } children[] = {{kGravityNorthWest, 10, 10}, {kGravityCenter, 30, 20}, {kGravitySouthEast, 50, 30},
                  {kGravityStatic, 10, 10}, {kGravityUnmap, 10, 10}};
  std::vector<ProxyWindow*> made;
  for (const Child& c : children) {
    ProxyWindow* child = mapped(parent, 10, 10, 5, 5);
    child->windowGravity = c.gravity;
    made.push_back(child);
  }
  EXPECT_EQ(configure(parent, CWWidth | CWHeight, {140, 120}), 0);
  for (size_t k = 0; k < made.size(); k++) {
    EXPECT_EQ(made[k]->x, children[k].x) << "gravity " << int(children[k].gravity);
    EXPECT_EQ(made[k]->y, children[k].y) << "gravity " << int(children[k].gravity);
  }
  EXPECT_FALSE(made.back()->mapped);
  EXPECT_EQ(made.back()->visibility, kVisibilityUnknown);
  EXPECT_TRUE(oracleFaults(root).empty());
}

// --- Circulate ----------------------------------------------------------------------------

TEST_F(Tree, CirculateRaisesTheLowestCoveredAndLowersTheHighestCovering) {
  ProxyWindow* apart = mapped(root, 300, 0, 20, 20);
  ProxyWindow* low = mapped(root, 0, 0, 50, 50);
  ProxyWindow* high = mapped(root, 10, 10, 50, 50);
  EXPECT_EQ(circulateWindowRecord(root, 0, &client.record), low);
  EXPECT_EQ(root->topChild, low);
  EXPECT_EQ(low->visibility, kVisibilityUnobscured);
  EXPECT_EQ(high->visibility, kVisibilityPartiallyObscured);
  EXPECT_EQ(circulateWindowRecord(root, 1, &client.record), low);
  EXPECT_EQ(root->bottomChild, low);
  unmapWindowRecord(high, 0);
  EXPECT_EQ(circulateWindowRecord(root, 0, &client.record), nullptr) << "nothing overlaps: nothing moves";
  EXPECT_EQ(root->bottomChild, low);
  EXPECT_EQ(apart->visibility, kVisibilityUnobscured);
  EXPECT_TRUE(oracleFaults(root).empty());
}

// --- Reparenting and the save-set ------------------------------------------------------------

TEST_F(Tree, ReparentingRefusesCyclesAndRemapsAMappedWindow) {
  ProxyWindow* frame = mapped(root, 100, 100, 200, 150);
  ProxyWindow* window = mapped(root, 10, 10, 50, 50, 1);
  ProxyWindow* inner = mapped(window, 0, 0, 5, 5);
  EXPECT_EQ(reparentWindowRecord(window, inner, 0, 0, &client.record), BadMatch);
  EXPECT_EQ(reparentWindowRecord(window, window, 0, 0, &client.record), BadMatch);
  EXPECT_EQ(reparentWindowRecord(root, frame, 0, 0, &client.record), BadMatch);
  ProxyWindow* glass = make(root, 0, 0, 5, 5, 0, kInputOnly);
  EXPECT_EQ(reparentWindowRecord(window, glass, 0, 0, &client.record), BadMatch);
  client.take();
  EXPECT_EQ(reparentWindowRecord(window, frame, 5, 20, &client.record), 0);
  EXPECT_EQ(frame->topChild, window);
  EXPECT_EQ(window->x, 100 + 5 + 1);
  EXPECT_EQ(inner->x, 106);
  EXPECT_TRUE(window->viewable);
  EXPECT_EQ(window->attributes->parentId, frame->id);
  EXPECT_EQ(frame->visibility, kVisibilityUnobscured);
  EXPECT_TRUE(oracleFaults(root).empty());
}

TEST_F(Tree, ALeavingClientsSaveSetGoesToTheNearestForeignAncestorInPlace) {
  EventClient manager(2);
  currentClient = &manager.record;
  ProxyWindow* frame = createProxyWindow(manager.id(1), root, 200, 100, 300, 200, 0, kInputOutput, 0);
  ASSERT_EQ(addResource(frame->id, RT_WINDOW, frame), 1);
  initWindowAttributes(frame);
  ProxyWindow* inset = createProxyWindow(manager.id(2), frame, 10, 20, 250, 150, 0, kInputOutput, 0);
  ASSERT_EQ(addResource(inset->id, RT_WINDOW, inset), 1);
  initWindowAttributes(inset);
  mapWindowRecord(frame, &manager.record);
  mapWindowRecord(inset, &manager.record);
  currentClient = &client.record;
  ProxyWindow* window = mapped(root, 0, 0, 80, 60, 2);
  ASSERT_EQ(reparentWindowRecord(window, inset, 5, 5, &manager.record), 0);
  i16 x = window->x, y = window->y;
  ASSERT_EQ(changeSaveSet(&manager.record, window, kSaveSetInsert), 0);
  ASSERT_EQ(changeSaveSet(&manager.record, window, kSaveSetInsert), 0);
  EXPECT_EQ(manager.record.saveSetCount, 1);
  ProxyWindow* hidden = make(root, 0, 0, 10, 10);  // already under a foreign parent, and unmapped
  ASSERT_EQ(changeSaveSet(&manager.record, hidden, kSaveSetInsert), 0);
  unmapWindowRecord(frame, 0);
  processSaveSet(&manager.record);
  EXPECT_TRUE(hidden->viewable) << "every save-set window is mapped";
  EXPECT_EQ(window->parent, root);
  EXPECT_EQ(window->x, x);
  EXPECT_EQ(window->y, y);
  EXPECT_TRUE(window->viewable) << "mapped again under the root";
  EXPECT_EQ(manager.record.saveSet, nullptr);
  currentClient = nullptr;
  freeClientResources(2);
  EXPECT_TRUE(oracleFaults(root).empty());
}

// --- Event selections and attribute blocks -------------------------------------------------------

TEST_F(Tree, ALeavingClientsSelectionsGoFromEveryWindow) {
  EventClient manager(2);
  currentClient = &manager.record;
  ASSERT_TRUE(setWindowEventMask(root, kSubstructureRedirectMask | KeyPressMask));
  currentClient = &client.record;
  EXPECT_FALSE(setWindowEventMask(root, kSubstructureRedirectMask)) << "one redirecting client at a time";
  ProxyWindow* window = mapped(root, 0, 0, 10, 10);
  currentClient = &manager.record;
  setWindowEventMask(window, KeyPressMask | kVisibilityChangeMask);
  EXPECT_EQ(eventMaskOfWindowForClient(window->id), u32(KeyPressMask | kVisibilityChangeMask))
      << "confirmed at once without a server to ask";
  currentClient = &client.record;
  removeClientEventSelections(&manager.record);
  EXPECT_EQ(findEventSelection(root, &manager.record), nullptr);
  EXPECT_EQ(findEventSelection(window, &manager.record), nullptr);
  for (ConfirmedSelection* c = root->attributes->confirmed; c; c = c->next) EXPECT_NE(c->client, &manager.record);
  EXPECT_TRUE(setWindowEventMask(root, kSubstructureRedirectMask)) << "the next window manager is let in";
  unmapWindowRecord(window, 0);
  mapWindowRecord(window, &client.record);
  EXPECT_TRUE(manager.take().empty()) << "nothing for the client that left";
}

TEST_F(Tree, ADestroyedWindowsBlockStaysSevenSeconds) {
  static u64 now = 1000;
  ordersSetClock([] { return now; });
  ordersRun(0);
  ProxyWindow* window = mapped(root, 3, 4, 10, 20, 1);
  u32 id = window->id;
  freeResourceById(id, RT_NONE);
  EXPECT_EQ(lookupWindow(id), nullptr);
  i32 x = 0, y = 0;
  ASSERT_TRUE(getWindowOrigin(id, &x, &y));
  EXPECT_EQ(x, 4);
  EXPECT_EQ(y, 5);
  // A second one destroyed three seconds later keeps its own seven.
  now += 3000;
  ordersRun(0);
  u32 later = mapped(root, 30, 4, 10, 20, 1)->id;
  freeResourceById(later, RT_NONE);
  now += 3999;
  ordersRun(0);
  EXPECT_NE(findWindowAttributes(id), nullptr);
  now += 2;
  ordersRun(0);
  EXPECT_EQ(findWindowAttributes(id), nullptr);
  EXPECT_NE(findWindowAttributes(later), nullptr);
  now += 3000;
  ordersRun(0);
  EXPECT_EQ(findWindowAttributes(later), nullptr);
  ordersSetClock(nullptr);
}

TEST_F(Tree, BackgroundsResolveThroughParentRelativeAndBordersCopyFromParent) {
  ProxyWindow* parent = mapped(root, 10, 10, 100, 100);
  setWindowBackgroundPixel(parent, 0x1234);
  ProxyWindow* child = mapped(parent, 5, 6, 20, 20, 2);
  ASSERT_TRUE(setWindowBackgroundPixmap(child, ParentRelative));
  u32 pixmap = 9, pixel = 0;
  i32 dx = 0, dy = 0;
  EXPECT_EQ(resolveBackgroundPixmap(child, nullptr, &pixmap, &dx, &dy, &pixel), 0);
  EXPECT_EQ(pixel, 0x1234u);
  EXPECT_EQ(dx, 5);
  EXPECT_EQ(dy, 6);
  EXPECT_FALSE(setWindowBackgroundPixmap(child, 0x777)) << "an unknown pixmap is only logged";
  EXPECT_EQ(child->backgroundKind, kBackgroundParentRelative);
  ASSERT_TRUE(setWindowBackgroundPixmap(root, ParentRelative));
  EXPECT_EQ(root->backgroundKind, kBackgroundPixmap) << "a root has no parent to show";
  root->borderPixel = 99;
  ASSERT_TRUE(setWindowBorderPixmap(root, CopyFromParent));
  EXPECT_EQ(root->borderPixel, 7u) << "the screen's black pixel";
  setWindowBorderPixel(parent, 55);
  ASSERT_TRUE(setWindowBorderPixmap(child, CopyFromParent));
  EXPECT_EQ(child->borderPixel, 55u);
}

TEST_F(Tree, FreeingEveryResourceLeavesNoRootBehindAndWalksStaySafe) {
  EventClient other(2);
  ProxyWindow* window = mapped(root, 0, 0, 10, 10);
  currentClient = &other.record;
  setWindowEventMask(window, kVisibilityChangeMask);
  currentClient = nullptr;
  freeAllClientResources();  // a reset
  EXPECT_EQ(screen.rootWindow, nullptr);
  removeClientEventSelections(&other.record);  // a client that leaves afterwards
  refreshScreenWindowTree(&screen);
  EXPECT_EQ(windowAtMetaPoint(&screen, 5, 5), nullptr);
}

TEST_F(Tree, PointQueriesFindTheDeepestShownWindow) {
  ProxyWindow* window = mapped(root, 10, 10, 100, 100);
  ProxyWindow* child = mapped(window, 10, 10, 20, 20);
  ProxyWindow* glass = mapped(window, 0, 0, 100, 100);
  glass->windowClass = kInputOnly;  // not shown: points go through it
  glass->shown = 0;
  EXPECT_EQ(windowAtPoint(root, 25, 25), child);
  EXPECT_EQ(windowAtPoint(root, 15, 15), window);
  EXPECT_EQ(windowAtPoint(root, 200, 200), root);
  EXPECT_EQ(childAtPoint(root, 9, 9), nullptr);
  EXPECT_EQ(nextWindowPreorder(window, window), glass);
  EXPECT_EQ(nextWindowPreorder(glass, window), child);
  EXPECT_EQ(nextWindowPreorder(child, window), nullptr);
}

}  // namespace
}  // namespace palvon
