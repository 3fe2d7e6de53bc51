// Window shapes combined in the proxy's model, and the checks that guard a
// client's shared-memory segment: who may attach it, and which images fit.
#include <gtest/gtest.h>

#include <sys/ipc.h>

#include <cstdio>
#include <string>

#include "Proxy/heads/screen.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowshape.h"
#include "Xext/shm/shm.h"
#include "support/resource_rig.h"
#include "xsupport/region.h"

namespace palvon {
namespace {

std::string boxes(const Region* region) {
  if (!region) return "none";
  std::string text;
  char box[64];
  for (long i = 0; i < regionNumRects(region); i++) {
    const RegionBox& b = regionRects(region)[i];
    snprintf(box, sizeof box, "(%d,%d,%d,%d)", b.x1, b.y1, b.x2, b.y2);
    text += box;
  }
  return text;
}

// --- Combining into a window's shape ---------------------------------------------------------

struct CombineRow {
  const char* name;
  u8 kind;
  u8 op;
  bool shapedFirst;  // the window starts with the shape (0,0)-(10,4)
  const char* expected;
};

// A window 20 x 10 with a border of 2; the source is the box (0,0)-(5,5).
// A shapeless window's bounding and input shapes start from its border box,
// its clip shape from its inside.
const CombineRow kCombineRows[] = {
    {"SetBounding", kShapeBounding, kShapeSet, false, "(0,0,5,5)"},
    {"UnionBoundingKeepsBorderBox", kShapeBounding, kShapeUnion, false, "(-2,-2,22,12)"},
    {"IntersectBounding", kShapeBounding, kShapeIntersect, false, "(0,0,5,5)"},
    {"SubtractBoundingFromBorderBox", kShapeBounding, kShapeSubtract, false,
     "(-2,-2,22,0)(-2,0,0,5)(5,0,22,5)(-2,5,22,12)"},
    {"InvertBoundingIsEmpty", kShapeBounding, kShapeInvert, false, ""},
    {"SubtractInputFromBorderBox", kShapeInput, kShapeSubtract, false,
     "(-2,-2,22,0)(-2,0,0,5)(5,0,22,5)(-2,5,22,12)"},
    {"SubtractClipFromInside", kShapeClip, kShapeSubtract, false, "(5,0,20,5)(0,5,20,10)"},
    {"UnionShaped", kShapeBounding, kShapeUnion, true, "(0,0,10,4)(0,4,5,5)"},
    {"SubtractShaped", kShapeBounding, kShapeSubtract, true, "(5,0,10,4)"},
    {"InvertShaped", kShapeBounding, kShapeInvert, true, "(0,4,5,5)"},
};

class Combine : public ::testing::TestWithParam<CombineRow> {
 protected:
  test::DatabaseRig rig;
  test::TestClient client{1};
  MetaScreen screen{};
  ProxyWindow* root = nullptr;
  ProxyWindow* window = nullptr;

  void SetUp() override {
    root = allocProxyWindow();
    ASSERT_NE(root, nullptr);
    root->id = 32;
    root->screen = &screen;
    root->windowClass = kInputOutput;
    root->width = 400;
    root->height = 300;
    initWindowDefaults(root);
    computeWindowClip(root);
    computeBorderClip(root);
    ASSERT_EQ(addResource(root->id, RT_WINDOW, root), 1);
    currentClient = client.get();
    window = createProxyWindow(client.id(1), root, 10, 10, 20, 10, 2, kInputOutput, 24);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(addResource(window->id, RT_WINDOW, window), 1);
  }
};

TEST_P(Combine, StartsWhereTheServerStarts) {
  const CombineRow& row = GetParam();
  if (row.shapedFirst) setWindowShapeRegion(window, row.kind, regionCreateRect(0, 0, 10, 4));
  ASSERT_TRUE(applyShapeOperation(window, row.kind, row.op, regionCreateRect(0, 0, 5, 5)));
  EXPECT_EQ(boxes(*windowShapeSlot(window, row.kind)), row.expected);
  // The other kinds stay shapeless.
  for (u8 other = 0; other <= kShapeInput; other++) {
    if (other == row.kind) continue;
    EXPECT_EQ(*windowShapeSlot(window, other), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, Combine, ::testing::ValuesIn(kCombineRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Combine, ShapeReadsBackAsTheDefaultBoxWhenNone) {
  Region* bounding = getWindowShapeRegion(window->id, kShapeBounding, nullptr);
  Region* clip = getWindowShapeRegion(window->id, kShapeClip, nullptr);
  EXPECT_EQ(boxes(bounding), "(-2,-2,22,12)");
  EXPECT_EQ(boxes(clip), "(0,0,20,10)");
  regionDestroy(bounding);
  regionDestroy(clip);
  EXPECT_EQ(getWindowShapeRegion(window->id, 3, nullptr), nullptr);
  EXPECT_EQ(getWindowShapeRegion(client.id(99), kShapeBounding, nullptr), nullptr);
}

// --- Who may attach a segment ------------------------------------------------------------------

struct AccessRow {
  const char* name;
  unsigned mode;
  bool known;       // a local client with credentials
  uid_t user;
  gid_t group;
  bool readOnly;
  bool allowed;
};

// The segment belongs to user 1000, group 100.
const AccessRow kAccessRows[] = {
    {"OwnerReadWrite", 0600, true, 1000, 5, false, true},
    {"OwnerReadOnlyOfReadOnly", 0400, true, 1000, 5, true, true},
    {"OwnerReadWriteOfReadOnly", 0400, true, 1000, 5, false, false},
    {"OtherUserOfPrivate", 0600, true, 1001, 5, true, false},
    {"GroupMember", 0640, true, 1001, 100, true, true},
    {"GroupMemberWrites", 0640, true, 1001, 100, false, false},
    {"OwnerBitsNotGroupBits", 0060, true, 1000, 100, true, false},
    {"Root", 0600, true, 0, 0, false, true},
    {"NetworkClientOfPrivate", 0600, false, 0, 0, true, false},
    {"NetworkClientOfWorldReadable", 0604, false, 0, 0, true, true},
    {"NetworkClientWritesWorldReadable", 0604, false, 0, 0, false, false},
    {"NetworkClientOfWorldWritable", 0606, false, 0, 0, false, true},
};

class Access : public ::testing::TestWithParam<AccessRow> {};

TEST_P(Access, AsAnXServerDecides) {
  const AccessRow& row = GetParam();
  ipc_perm permission{};
  permission.uid = permission.cuid = 1000;
  permission.gid = permission.cgid = 100;
  permission.mode = row.mode;
  ShmRequester requester{row.known, row.user, row.group};
  EXPECT_EQ(shmAccessAllowed(permission, requester, row.readOnly), row.allowed);
}

INSTANTIATE_TEST_SUITE_P(Segments, Access, ::testing::ValuesIn(kAccessRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Which images fit ----------------------------------------------------------------------------

TEST(SegmentBounds, ImageMustLieInside) {
  EXPECT_TRUE(shmRangeFits(4096, 0, 4096));
  EXPECT_TRUE(shmRangeFits(4096, 4096, 0));
  EXPECT_TRUE(shmRangeFits(4096, 96, 4000));
  EXPECT_FALSE(shmRangeFits(4096, 97, 4000));
  EXPECT_FALSE(shmRangeFits(4096, 4097, 0));
  // Sums that wrap in 32 or 64 bits must not pass.
  EXPECT_FALSE(shmRangeFits(4096, 0xffffffffu, 2));
  EXPECT_FALSE(shmRangeFits(4096, 16, ~u64(0) - 8));
}

}  // namespace
}  // namespace palvon
