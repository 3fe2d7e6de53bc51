// Reference-counted records in-process: zombie pixmaps, shared fonts,
// cursors a head shows, and colormap records sized for their visual.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Proxy/heads/screen.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/visual.h"
#include "support/resource_rig.h"

namespace palvon {
namespace {

using test::DatabaseRig;
using test::TestClient;

TEST(PixmapRecords, AZombieOutlivesItsIdUntilTheLastReferenceWhateverTheirNumber) {
  DatabaseRig rig;
  TestClient owner(1);
  PixmapRecord* pixmap = createPixmapRecord(owner.id(7), 16, 16, 24, nullptr, nullptr);
  ASSERT_EQ(addResource(pixmap->id, RT_PIXMAP, pixmap), 1);
  // More holders than a 16-bit count could hold (a client can make that many GCs).
  constexpr u32 kHolders = 70000;
  for (u32 i = 0; i < kHolders; i++) refPixmap(pixmap, 0);
  freeResource(pixmap->id);
  EXPECT_EQ(lookupPixmap(owner.id(7)), nullptr);
  EXPECT_TRUE(isZombiePixmapId(owner.id(7)));
  EXPECT_EQ(proxyState.records.zombieCount, 1u);
  EXPECT_EQ(pixmap->ownerPresent, 1) << "the owner's server pixmap still exists";
  freeClientResources(1);
  EXPECT_EQ(pixmap->ownerPresent, 0) << "gone with its client's slot";
  for (u32 i = 1; i < kHolders; i++) unrefPixmap(pixmap, 0);
  EXPECT_TRUE(isZombiePixmapId(owner.id(7)));
  unrefPixmap(pixmap, 0);
  EXPECT_FALSE(isZombiePixmapId(owner.id(7)));
  EXPECT_EQ(proxyState.records.zombieCount, 0u);
}

TEST(PixmapRecords, ServerIdsComeFromTheOwnerThenFromTheProxysCopies) {
  DatabaseRig rig;
  TestClient owner(1);
  Head head{}, other{};
  PixmapRecord* pixmap = createPixmapRecord(owner.id(7), 16, 16, 24, nullptr, nullptr);
  auto* copy = static_cast<PixmapHeadCopy*>(std::calloc(1, sizeof(PixmapHeadCopy)));
  copy->head = &head;
  copy->serverId = 0x5000;
  pixmap->headCopies = copy;
  EXPECT_EQ(pixmapServerId(pixmap, nullptr), owner.id(7));
  EXPECT_EQ(pixmapServerId(pixmap, &head), 0u) << "the owner's id on a head without server";
  pixmap->ownerPresent = 0;
  EXPECT_EQ(pixmapServerId(pixmap, &head), 0x5000u);
  EXPECT_EQ(pixmapServerId(pixmap, &other), owner.id(7)) << "no copy there";
  unrefPixmap(pixmap, 0);
}

TEST(FontRecords, OneRecordPerNameUntilTheLastUserCloses) {
  DatabaseRig rig;
  TestClient first(1), second(2);
  FontRecord* font = createFontRecord(first.id(1), "fixed", 5);
  ASSERT_EQ(addResource(first.id(1), RT_FONT, font), 1);
  EXPECT_EQ(font->serial, 1u);
  FontRecord* shared = findFontRecordByName("FIXED");
  ASSERT_EQ(shared, font);
  refFont(shared, nullptr);
  ASSERT_EQ(addResource(second.id(1), RT_FONT, shared), 1);
  EXPECT_EQ(font->refCount, 1u);
  FontRecord* later = createFontRecord(second.id(2), "cursor", 6);
  EXPECT_EQ(later->serial, 2u);
  addResource(second.id(2), RT_FONT, later);
  FontRecord* third = createFontRecord(second.id(3), "6x13", 4);
  EXPECT_EQ(third->serial, 3u) << "the last record's serial plus one";
  addResource(second.id(3), RT_FONT, third);

  freeResource(first.id(1));  // the opener closes while the second user keeps it
  EXPECT_EQ(font->id, 0u) << "its id is closed";
  EXPECT_EQ(font->refCount, 0u);
  EXPECT_EQ(findFontRecordByName("fixed"), font) << "still reachable through the second id";
  freeResource(second.id(1));
  EXPECT_EQ(findFontRecordByName("fixed"), nullptr);
  EXPECT_EQ(proxyState.records.fonts, later);
}

TEST(CursorRecords, TheLastReleaseMarksHeadsShowingTheCursor) {
  DatabaseRig rig;
  TestClient owner(1);
  MetaScreen screen{};
  Head shows{}, other{};
  screen.heads = &shows;
  shows.next = &other;
  proxyState.screens = &screen;
  proxyState.screenCount = 1;
  CursorRecord* cursor = createCursorRecord(owner.id(3), 2);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(lookupResourceByType(owner.id(3), RT_CURSOR), cursor);
  cursor->entries[1].image = static_cast<u8*>(std::malloc(8));
  cursor->entries[1].mask = cursor->entries[1].image;  // one buffer for both: freed once
  CursorRecord placeholder{};
  shows.currentCursor = cursor;
  other.currentCursor = &placeholder;
  refCursor(cursor);  // a window holds it
  freeResource(owner.id(3));
  EXPECT_EQ(cursor->id, 0u);
  EXPECT_EQ(shows.currentCursor, cursor) << "still alive";
  unrefCursor(cursor);
  EXPECT_EQ(shows.currentCursor, kCursorUnknown);
  EXPECT_EQ(other.currentCursor, &placeholder);
  EXPECT_EQ(proxyState.records.cursors, nullptr);
}

TEST(ColormapRecords, WritableVisualsCarryTablesThatCopiesOwn) {
  DatabaseRig rig;
  TestClient owner(1);
  VisualRecord pseudo{}, trueColor{};
  pseudo.visualClass = 3;
  pseudo.colormapSize = 256;
  trueColor.visualClass = 4;
  trueColor.colormapSize = 256;
  EXPECT_EQ(colormapRecordSize(&trueColor), sizeof(ColormapRecord));
  EXPECT_EQ(colormapRecordSize(&pseudo), sizeof(ColormapRecord) + 3 * 256 * sizeof(u16));
  ColormapRecord* colormap = createColormapRecord(owner.get(), owner.id(4), nullptr, &pseudo, kAllocNone);
  ASSERT_NE(colormap, nullptr);
  colormap->red[255] = 0xffff;
  colormap->blue[0] = 0x1234;
  colormap->allocations = static_cast<ColormapAllocation*>(std::calloc(2, sizeof(ColormapAllocation)));
  colormap->allocationCount = colormap->allocationCapacity = 2;
  colormap->allocations[1].pixel = 9;
  ColormapRecord* copy = cloneColormapRecord(colormap);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->red[255], 0xffff);
  EXPECT_EQ(copy->blue[0], 0x1234);
  EXPECT_TRUE(copy->red > reinterpret_cast<u16*>(copy) && copy->blue < reinterpret_cast<u16*>(copy + 1) + 3 * 256)
      << "tables inside the copy";
  EXPECT_NE(copy->allocations, colormap->allocations);
  EXPECT_EQ(copy->allocations[1].pixel, 9u);
  freeColormapRecord(copy);
  ColormapRecord* fixed = createColormapRecord(owner.get(), owner.id(5), nullptr, &trueColor, kAllocNone);
  EXPECT_EQ(fixed->red, nullptr);
}

}  // namespace
}  // namespace palvon
