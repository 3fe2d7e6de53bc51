// Xinerama screens from a hand-made screen model: their order (reversed by
// the environment, probe-only heads after the current ones, the auxiliary
// resource server left out), the active test, and the window's share of a
// screen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Xext/randr/xinerama.h"

namespace palvon {
namespace {

class Xinerama : public testing::Test {
 protected:
  void SetUp() override {
    savedScreens_ = proxyState.screens;
    savedHoldsrv_ = resourceServerDisplay;
    savedOptions_ = proxyConfig.options;
    proxyState.screens = nullptr;
    unsetenv("XineramaOrdering");
  }
  void TearDown() override {
    proxyState.screens = savedScreens_;
    resourceServerDisplay = savedHoldsrv_;
    proxyConfig.options = savedOptions_;
    unsetenv("XineramaOrdering");
  }

  MetaScreen* screen(i32 width, i32 height) {
    screens_.push_back(MetaScreen{});
    MetaScreen* s = &screens_.back();
    s->width = u32(width), s->height = u32(height);
    MetaScreen** at = &proxyState.screens;
    while (*at) at = &(*at)->next;
    *at = s;
    return s;
  }
  // A head of `display` (screen 0) at the rectangle, appended to the list.
  Head* head(MetaScreen* s, const char* display, HeadRect rect, bool probeOnly = false,
             ServerDisplay* server = nullptr) {
    heads_.push_back(Head{});
    Head* h = &heads_.back();
    h->logical = rect;
    h->serverDisplay = probeOnly ? nullptr : server ? server : &server_;
    h->metaScreen = s;
    std::strncpy(h->configuredDisplay, display, kHeadNameMax);
    Head** at = probeOnly ? &s->probeOnlyHeads : &s->heads;
    while (*at) at = &(*at)->next;
    *at = h;
    return h;
  }
  std::vector<const Head*> order(const MetaScreen* s) {
    std::vector<const Head*> out;
    for (u32 i = 0; const Head* h = xineramaScreenAt(s, i); i++) out.push_back(h);
    EXPECT_EQ(out.size(), xineramaScreenCount(s));
    return out;
  }

  ServerDisplay server_{};
  ServerDisplay holdsrv_{};
  // Stable addresses: reserved once, never grown past.
  std::vector<MetaScreen> screens_ = std::vector<MetaScreen>();
  std::vector<Head> heads_ = std::vector<Head>();

 private:
  MetaScreen* savedScreens_ = nullptr;
  ServerDisplay* savedHoldsrv_ = nullptr;
  u32 savedOptions_ = 0;

 public:
  Xinerama() {
    screens_.reserve(8);
    heads_.reserve(32);
  }
};

TEST_F(Xinerama, OrderRunsOverHeadsThenUnmatchedProbesAndReverses) {
  MetaScreen* s = screen(3072, 768);
  resourceServerDisplay = &holdsrv_;
  Head* a = head(s, ":1", {0, 0, 1024, 768});
  head(s, ":9", {0, 0, 1, 1}, false, &holdsrv_);  // the resource server's
  Head* b = head(s, ":2", {1024, 0, 1024, 768});
  head(s, ":1", {0, 0, 1024, 768}, true);  // shown by a: listed once
  Head* c = head(s, ":3", {2048, 0, 1024, 768}, true);
  EXPECT_EQ(order(s), (std::vector<const Head*>{a, b, c}));
  setenv("XineramaOrdering", "REVERSE", 1);
  EXPECT_EQ(order(s), (std::vector<const Head*>{c, b, a}));
  setenv("XineramaOrdering", "backwards", 1);
  EXPECT_EQ(order(s), (std::vector<const Head*>{a, b, c}));
}

TEST_F(Xinerama, IndexRunsOnAcrossMetaScreens) {
  MetaScreen* s1 = screen(1024, 768);
  MetaScreen* s2 = screen(800, 600);
  Head* a = head(s1, ":1", {0, 0, 1024, 768});
  Head* b = head(s2, ":2", {0, 0, 400, 600});
  Head* c = head(s2, ":3", {400, 0, 400, 600});
  EXPECT_EQ(order(nullptr), (std::vector<const Head*>{a, b, c}));
  setenv("XineramaOrdering", "reverse", 1);
  // Each meta screen reversed on its own; the screens keep their order.
  EXPECT_EQ(order(nullptr), (std::vector<const Head*>{a, c, b}));
  Rect r{};
  EXPECT_TRUE(xineramaScreenRect(s2, 0, &r));
  EXPECT_EQ(r.x, 400);
  EXPECT_FALSE(xineramaScreenRect(s2, 2, &r));
}

TEST_F(Xinerama, ActiveOnlyWhenSeveralAreasOrServersMayCome) {
  struct Case {
    std::vector<HeadRect> heads, probes;
    bool dynamic, active;
  };
  const HeadRect whole{0, 0, 1024, 768}, left{0, 0, 512, 768}, right{512, 0, 512, 768};
  const Case cases[] = {
      {{whole}, {}, false, false},
      {{whole}, {}, true, true},
      {{whole, whole, whole}, {}, false, false},  // mirrors
      {{left, right}, {}, false, true},
      {{whole}, {left}, false, true},   // an unmatched probe-only head
      {{whole}, {whole}, false, false},
  };
  for (const Case& c : cases) {
    proxyState.screens = nullptr;
    MetaScreen* s = screen(1024, 768);
    proxyConfig.options = c.dynamic ? kOptionDynamicServer : 0;
    for (const HeadRect& r : c.heads) head(s, ":1", r);
    for (const HeadRect& r : c.probes) head(s, ":7", r, true);
    EXPECT_EQ(isXineramaActive(s), c.active) << c.heads.size() << " heads, " << c.probes.size() << " probes";
  }
}

struct Cut {
  Rect window, screen, part;
};

class XineramaIntersect : public testing::TestWithParam<Cut> {};

TEST_P(XineramaIntersect, WindowShareOfScreen) {
  Rect part = xineramaIntersect(GetParam().window, GetParam().screen);
  EXPECT_EQ(part.x, GetParam().part.x);
  EXPECT_EQ(part.y, GetParam().part.y);
  EXPECT_EQ(part.width, GetParam().part.width);
  EXPECT_EQ(part.height, GetParam().part.height);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XineramaIntersect,
    testing::Values(Cut{{900, 100, 300, 200}, {0, 0, 1024, 768}, {900, 100, 124, 200}},
                    Cut{{900, 100, 300, 200}, {1024, 0, 1024, 768}, {1024, 100, 176, 200}},
                    // Outside: width 0, the window's x, y and height kept.
                    Cut{{1100, 50, 300, 200}, {0, 0, 1024, 768}, {1100, 50, 0, 200}},
                    Cut{{-50, -20, 100, 100}, {0, 0, 1024, 768}, {0, 0, 50, 80}},
                    Cut{{1023, 767, 1, 1}, {0, 0, 1024, 768}, {1023, 767, 1, 1}}));

}  // namespace
}  // namespace palvon
