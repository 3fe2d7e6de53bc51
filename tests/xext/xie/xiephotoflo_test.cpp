// Photoflo element lists split for meta screens of one, two and three
// heads side by side (each 100 wide), and lists that must be refused.
#include <gtest/gtest.h>

#include <vector>

#include "Proxy/dispatch/wire.h"
#include "Proxy/resources/resource.h"
#include "Xext/xie/photoflo.h"

namespace palvon {
namespace {

using Bytes = std::vector<u8>;

constexpr u32 kWindow = 0x500, kPixmap = 0x700, kGC = 0x600;
// Heads are told apart by address only.
const Head* headAt(u32 k) { return reinterpret_cast<const Head*>(uintptr_t{0x1000} * (k + 1)); }
u32 indexOf(const Head* head) { return u32(reinterpret_cast<uintptr_t>(head) / 0x1000 - 1); }

struct Model {
  u32 heads;
};

bool screenOf(u32 drawable, FloScreen* screen, Rect* window, bool* isWindow, void* argument) {
  u32 heads = static_cast<Model*>(argument)->heads;
  if (drawable != kWindow && drawable != kPixmap) return false;
  for (u32 k = 0; k < heads; k++) {
    screen->byNumber[k] = screen->heads[k] = headAt(k);
    screen->rects[k] = screen->headRects[k] = {i32(100 * k), 0, 100, 100};
  }
  screen->headCount = heads;
  screen->first = headAt(0);
  screen->firstRect = screen->rects[0];
  *isWindow = drawable == kWindow;
  *window = {50, 10, 100, 20};
  return true;
}
u32 drawableOnHead(u32 drawable, const Head* head, void*) { return drawable + 0x10000 * (indexOf(head) + 1); }
u32 idOnHead(u32 id, u32 kind, const Head* head, void*) { return id + 0x100000 * kind + 0x10000 * (indexOf(head) + 1); }

void element(Bytes& list, u16 type, u32 words, std::initializer_list<std::pair<u32, u32>> words32 = {}) {
  size_t at = list.size();
  list.resize(at + 4 * (words ? words : 1), 0);  // a length of 0 still has its header
  put16(&list[at], type);
  put16(&list[at + 2], static_cast<u16>(words));
  for (auto [offset, value] : words32) put32(&list[at + offset], value);
}

// ImportDrawable of the window from (10, 2), 80 x 10, fill 0x77; an
// element the proxy leaves alone; ExportDrawable of phototag 2 to the window.
Bytes sampleList() {
  Bytes list;
  element(list, kFloImportDrawable, 6, {{4, kWindow}, {16, 0x77}});
  put16(&list[8], 10);
  put16(&list[10], 2);
  put16(&list[12], 80);
  put16(&list[14], 10);
  element(list, 9, 4, {{4, 0xabcdef}});
  element(list, kFloExportDrawable, 6, {{4, 2}, {12, kWindow}, {16, kGC}});
  return list;
}

class Split : public ::testing::TestWithParam<u32> {
 protected:
  u32 n() const { return GetParam(); }
  FloModel model() { return {n(), screenOf, drawableOnHead, idOnHead, headAt(0), &heads}; }
  Model heads{GetParam()};
};

TEST_P(Split, ImportBecomesPasteUpOfPerHeadPartsAndExportRepeats) {
  Bytes list = sampleList();
  FloMeasure m;
  ASSERT_TRUE(photofloMeasure(list.data(), list.size(), 3, n(), &m));
  EXPECT_EQ(m.translatedBytes, 12u * n() + 28 + 16 + 24);
  EXPECT_EQ(m.appendedBytes, 24u * n() + 24u * (n() - 1));
  EXPECT_EQ(m.imports, 1u);
  EXPECT_EQ(m.appended, 2 * n() - 1);

  Bytes out(m.translatedBytes), append(m.appendedBytes);
  FloImportMapEntry map[2] = {};
  FloElementInfo info[4] = {};
  FloModel flo = model();
  ASSERT_EQ(photofloTranslate(list.data(), 3, 1, out.data(), append.data(), 4, map, info, flo), 2 * n() - 1);

  const u8* paste = out.data();
  EXPECT_EQ(get16(paste), kFloPasteUp);
  EXPECT_EQ(get16(paste + 2) * 4u, 12 * n() + 28);
  EXPECT_EQ(get16(paste + 4), n());
  EXPECT_EQ(get32(paste + 8), 80u);
  EXPECT_EQ(get32(paste + 12), 10u);
  EXPECT_EQ(get32(paste + 16), 0x77u) << "the import's constants kept";
  // The import covers meta x 60..139: 60..99 on head 0, 100..139 on head 1.
  // A third head does not overlap it and takes the first overlapping head's part.
  struct Part {
    u32 head;
    i32 sourceX, width, destX;
  } parts[] = {{0, 10, 40, 0}, {1, 50, 40, 40}, {0, 10, 40, 0}};
  if (n() == 1) parts[0] = {0, 10, 40, 0};
  for (u32 k = 0; k < n(); k++) {
    SCOPED_TRACE(k);
    const u8* tile = paste + 28 + 12 * k;
    const u8* copy = append.data() + 24 * k;
    EXPECT_EQ(get16(tile), 4 + k) << "tile k pastes the k-th appended import";
    EXPECT_EQ(static_cast<i32>(get32(tile + 4)), parts[k].destX);
    EXPECT_EQ(get32(tile + 8), 0u);
    EXPECT_EQ(get16(copy), kFloImportDrawable);
    EXPECT_EQ(get32(copy + 4), drawableOnHead(kWindow, headAt(parts[k].head), nullptr));
    EXPECT_EQ(static_cast<i16>(get16(copy + 8)), parts[k].sourceX);
    EXPECT_EQ(get16(copy + 10), 2);
    EXPECT_EQ(get16(copy + 12), parts[k].width);
    EXPECT_EQ(get16(copy + 14), 10);
  }
  const u8* other = out.data() + 12 * n() + 28;
  EXPECT_EQ(get32(other + 4), 0xabcdefu) << "other elements pass unchanged";
  const u8* exported = other + 16;
  for (u32 k = 0; k < n(); k++) {
    SCOPED_TRACE(k);
    const u8* copy = k == 0 ? exported : append.data() + 24 * n() + 24 * (k - 1);
    EXPECT_EQ(get16(copy), kFloExportDrawable);
    EXPECT_EQ(get32(copy + 12), drawableOnHead(kWindow, headAt(k), nullptr));
    EXPECT_EQ(get32(copy + 16), idOnHead(kGC, RT_GC, headAt(k), nullptr));
  }
  EXPECT_EQ(map[0].firstCopy, 4u);
  EXPECT_EQ(map[0].own, 1u);
  EXPECT_EQ(info[0].window.x, 50);
  EXPECT_EQ(info[0].window.width, 100u);
  EXPECT_EQ(get16(info[1].element), 9);
  EXPECT_EQ(info[1].window.width, 0u);

  // Events name the client's import for every appended copy of it.
  for (u32 k = 0; k < n(); k++) EXPECT_EQ(photofloClientTag(map, 1, n(), 4 + k), 1u);
  EXPECT_EQ(photofloClientTag(map, 1, n(), 4 + n()), 4 + n());
  // A modification from element s appends after what the elements before s appended.
  EXPECT_EQ(photofloFirstAppendedTag(info, 3, 1, n()), 4u);
  EXPECT_EQ(photofloFirstAppendedTag(info, 3, 2, n()), 4 + n());
  EXPECT_EQ(photofloFirstAppendedTag(info, 3, 3, n()), 4 + n());
}

// An import from a pixmap (no window) keeps its fields; its tiles sit at 0, 0.
TEST_P(Split, ImportFromAPixmapKeepsItsFields) {
  Bytes list;
  element(list, kFloImportDrawablePlane, 7, {{4, kPixmap}, {20, 3}});
  put16(&list[12], 30);
  FloMeasure m;
  ASSERT_TRUE(photofloMeasure(list.data(), list.size(), 1, n(), &m));
  Bytes out(m.translatedBytes), append(m.appendedBytes);
  FloElementInfo info[2] = {};
  FloModel flo = model();
  ASSERT_EQ(photofloTranslate(list.data(), 1, 1, out.data(), append.data(), 2, nullptr, info, flo), n());
  EXPECT_EQ(get32(out.data() + 20), 3u) << "the plane kept in the constants";
  for (u32 k = 0; k < n(); k++) {
    EXPECT_EQ(get32(out.data() + 28 + 12 * k + 4), 0u);
    EXPECT_EQ(get16(append.data() + 28 * k + 12), 30);
  }
  EXPECT_EQ(info[0].window.width, 0u) << "nothing to split again";
}

INSTANTIATE_TEST_SUITE_P(Heads, Split, ::testing::Values(1u, 2u, 3u));

// Lists the proxy must not walk: elements past the end or too short for
// the fields it rewrites, and counts larger than the list.
struct Malformed {
  const char* name;
  u16 type;
  u32 words;  // the element's length field
  u32 bytes;  // bytes actually present
  u32 count;
};

class Refused : public ::testing::TestWithParam<Malformed> {};

TEST_P(Refused, IsNotMeasured) {
  const Malformed& c = GetParam();
  Bytes list(c.bytes, 0);
  if (c.bytes >= 4) {
    put16(&list[0], c.type);
    put16(&list[2], static_cast<u16>(c.words));
  }
  FloMeasure m;
  EXPECT_FALSE(photofloMeasure(list.data(), list.size(), c.count, 2, &m)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Lists, Refused,
                         ::testing::Values(Malformed{"past the end", 9, 5, 16, 1},
                                           Malformed{"short import", kFloImportDrawable, 3, 12, 1},
                                           Malformed{"short export", kFloExportDrawable, 4, 16, 1},
                                           Malformed{"short ImportLUT", kFloImportLUT, 1, 4, 1},
                                           Malformed{"short ConvertToIndex", kFloConvertToIndex, 3, 12, 1},
                                           Malformed{"count past the list", 9, 1, 4, 2},
                                           Malformed{"no header", 9, 1, 2, 1}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

// An element of length 0 ends the list: what follows is not walked, and
// the translation gives no appended elements.
TEST(PhotofloWalk, ZeroLengthElementEndsTheList) {
  Bytes list;
  element(list, 9, 2);
  element(list, kFloImportDrawable, 0);
  list.resize(list.size() + 4, 0xff);  // garbage after the end marker
  FloMeasure m;
  ASSERT_TRUE(photofloMeasure(list.data(), list.size(), 5, 2, &m));
  EXPECT_EQ(m.elements, 1u);
  EXPECT_EQ(m.translatedBytes, 8u);
  EXPECT_EQ(m.imports, 0u);
  Bytes out(m.translatedBytes + 8), append(8);
  Model heads{2};
  FloModel flo{2, screenOf, drawableOnHead, idOnHead, headAt(0), &heads};
  EXPECT_EQ(photofloTranslate(list.data(), 5, 1, out.data(), append.data(), 6, nullptr, nullptr, flo), 0u);
}

}  // namespace
}  // namespace palvon
