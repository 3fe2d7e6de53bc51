// Meta screens without real servers: relative placement in millimetres,
// chains and cycles, settings that mark only what changed, clamps, names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"

namespace palvon {
namespace {

// Gives every test its own screen list and frees it afterwards.
class MetaScreens : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = proxyState.screens;
    savedCount_ = proxyState.screenCount;
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
  }
  void TearDown() override {
    for (MetaScreen* s = proxyState.screens; s;) {
      MetaScreen* next = s->next;
      free(s->name);
      free(s);
      s = next;
    }
    proxyState.screens = saved_;
    proxyState.screenCount = savedCount_;
  }
  // A screen of the given millimetre size placed against `reference`.
  MetaScreen* make(double widthMM, double heightMM, u32 placement = kPlaceNone, u32 reference = 0) {
    MetaScreen* s = createMetaScreen();
    s->widthMM = widthMM, s->heightMM = heightMM;
    s->placement = placement, s->referenceScreen = reference;
    return s;
  }

 private:
  MetaScreen* saved_ = nullptr;
  u32 savedCount_ = 0;
};

TEST_F(MetaScreens, PlacementKindsPutScreensBesideTheirReference) {
  MetaScreen* base = make(400, 300);
  const struct {
    u32 kind;
    double x, y;
  } cases[] = {{kPlaceSame, 0, 0}, {kPlaceWest, -200, 0}, {kPlaceEast, 400, 0}, {kPlaceNorth, 0, -100},
               {kPlaceSouth, 0, 300}};
  for (const auto& c : cases) {
    MetaScreen* s = make(200, 100, c.kind, base->number);
    double x, y, w, h;
    ASSERT_TRUE(computeScreenPlacement(s, 99, &x, &y, &w, &h)) << c.kind;
    EXPECT_DOUBLE_EQ(x, c.x) << c.kind;
    EXPECT_DOUBLE_EQ(y, c.y) << c.kind;
    EXPECT_DOUBLE_EQ(w, 200);
    EXPECT_DOUBLE_EQ(h, 100);
  }
  // A chain: right of a screen that is itself below the base.
  MetaScreen* below = make(100, 50, kPlaceSouth, base->number);
  MetaScreen* right = make(10, 10, kPlaceEast, below->number);
  ASSERT_EQ(relayoutMetaScreens(right, kMetaPlacement), nullptr);
  EXPECT_DOUBLE_EQ(right->positionMMX, 100);
  EXPECT_DOUBLE_EQ(right->positionMMY, 300);
}

TEST_F(MetaScreens, ChainsResolveUpToTheirLimitAndCyclesFail) {
  // A chain of 97 references below the absolute screen resolves; 98 fails.
  MetaScreen* previous = make(10, 10);
  std::vector<MetaScreen*> chain;
  for (int i = 0; i < 98; i++) chain.push_back(previous = make(10, 10, kPlaceSouth, previous->number));
  double x, y, w, h;
  EXPECT_TRUE(computeScreenPlacement(chain[96], 99, &x, &y, &w, &h));
  EXPECT_DOUBLE_EQ(y, 970);
  EXPECT_FALSE(computeScreenPlacement(chain[97], 99, &x, &y, &w, &h));
  EXPECT_EQ(std::string(relayoutMetaScreens(chain[0], kMetaPlacement)),
            "Cyclic relative positioning of screen " + std::to_string(chain[97]->number));
}

TEST_F(MetaScreens, ScreensLeftOfEachOtherNameTheFirstOfTheList) {
  MetaScreen* a = make(10, 10);
  MetaScreen* b = make(10, 10, kPlaceWest, a->number);
  a->placement = kPlaceWest, a->referenceScreen = b->number;
  a->name = strdup("left");
  EXPECT_EQ(std::string(relayoutMetaScreens(b, kMetaPlacement)), "Cyclic relative positioning of left");
  // A missing reference and an unknown kind fail without a cycle.
  b->referenceScreen = 77;
  double x, y, w, h;
  EXPECT_FALSE(computeScreenPlacement(b, 99, &x, &y, &w, &h));
  b->placement = 12;
  EXPECT_FALSE(computeScreenPlacement(b, 99, &x, &y, &w, &h));
}

TEST_F(MetaScreens, SettingsMarkOnlyWhatChanged) {
  MetaScreen* s = make(0, 0);
  MetaScreenSettings set{};
  set.mask = kMetaPlacement | kMetaOffsetX | kMetaOffsetY | kMetaKeepVisible | kMetaWidthMM | kMetaHeightMM;
  set.placement = kPlaceNone, set.offsetX = 5, set.offsetY = 0;
  set.keepVisible = 100000, set.widthMM = 300, set.heightMM = 200;
  ASSERT_EQ(computeMetaScreenSize(s, &set), nullptr);
  EXPECT_EQ(s->changed, kMetaOffsetX | kMetaKeepVisible | kMetaWidthMM | kMetaHeightMM);
  EXPECT_EQ(s->keepVisible, 65535);
  set.keepVisible = -70000;
  s->changed = 0;
  ASSERT_EQ(computeMetaScreenSize(s, &set), nullptr);
  EXPECT_EQ(s->changed, kMetaKeepVisible);
  EXPECT_EQ(s->keepVisible, -65535);
  // The same values again: nothing to relayout.
  s->changed = 0;
  ASSERT_EQ(computeMetaScreenSize(s, &set), nullptr);
  EXPECT_EQ(s->changed, 0u);
  // Name and resize policy always mark themselves; pass-through bits pass.
  set.mask = kMetaName | kMetaResizePolicy | 0x2000;
  set.name = const_cast<char*>("1");
  ASSERT_EQ(computeMetaScreenSize(s, &set), nullptr);
  EXPECT_EQ(s->changed, kMetaName | kMetaResizePolicy | 0x2000);
  EXPECT_STREQ(screenName(s), "screen 1");
}

TEST_F(MetaScreens, NamesForLogs) {
  MetaScreen* s = make(0, 0);
  EXPECT_STREQ(screenName(nullptr), "no X screen");
  EXPECT_EQ(std::string(screenName(s)), "screen " + std::to_string(s->number));
  s->name = strdup(":5.1");
  EXPECT_STREQ(screenName(s), "screen :5.1");
  free(s->name);
  s->name = strdup("wall");
  EXPECT_STREQ(screenName(s), "wall");
  EXPECT_STREQ(headName(nullptr), "no head");
  EXPECT_STREQ(clientName(nullptr), "no client");
  EXPECT_EQ(findMetaScreen(s->number), s);
  EXPECT_EQ(findMetaScreen(s->number + 1), nullptr);
}

}  // namespace
}  // namespace palvon
