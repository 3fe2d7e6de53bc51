// The wire helpers of the server intake and what a property tells of its
// client: every read stays inside the lengths given.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/Xatom.h>

#include <cstring>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wirehelpers.h"
#include "Proxy/requests/atoms.h"
#include "Proxy/resources/window.h"
#include "base/wordswap.h"

namespace palvon {
namespace {

using Bytes = std::vector<u8>;

// A server message in the server's order: type, data byte, sequence, then
// (for a reply) its length word, padded to its size.
Bytes message(u8 type, u16 sequence, bool swapped, u32 extraWords = 0) {
  Bytes m(32 + 4 * extraWords, 0);
  m[0] = type;
  storeU16(&m[2], sequence, swapped);
  if (type == 1) storeU32(&m[4], extraWords, swapped);
  return m;
}

class Scan : public ::testing::TestWithParam<bool> {};

TEST_P(Scan, RepliesAndErrorsAreFoundBySequenceInsideTheBuffer) {
  bool swapped = GetParam();
  Bytes buffer;
  for (const Bytes& m : {message(12, 5, swapped), message(0, 6, swapped), message(1, 7, swapped, 3),
                         message(1, 8, swapped, 100)})
    buffer.insert(buffer.end(), m.begin(), m.end());
  buffer.resize(buffer.size() - 100);  // the last reply is incomplete
  u64 at = 0, size = 0;
  EXPECT_EQ(findReplyBySequence(7, buffer.data(), buffer.size(), swapped, &at, &size), 1);
  EXPECT_EQ(at, 64u);
  EXPECT_EQ(size, 44u);
  EXPECT_EQ(findReplyBySequence(6, buffer.data(), buffer.size(), swapped, &at, &size), 0) << "an error is no reply";
  EXPECT_EQ(findReplyBySequence(8, buffer.data(), buffer.size(), swapped, &at, &size), 0);
  EXPECT_EQ(at, 108u) << "the scan stops at the incomplete reply";
  EXPECT_EQ(findErrorBySequence(6, buffer.data(), buffer.size(), swapped, &at), 1);
  EXPECT_EQ(at, 32u);
  EXPECT_EQ(findErrorBySequence(5, buffer.data(), buffer.size(), swapped, &at), 0) << "an event is no error";
  EXPECT_EQ(findErrorBySequence(6, buffer.data(), 31, swapped, &at), 0);
  EXPECT_EQ(at, 0u);
}

TEST_P(Scan, BigRequestLengthWaitsForTheWholeRequest) {
  bool swapped = GetParam();
  Bytes request(16, 0);
  storeU32(&request[4], 4, swapped);
  EXPECT_EQ(bigRequestLength(request.data(), 7, swapped), 0u);
  EXPECT_EQ(bigRequestLength(request.data(), 15, swapped), 0u);
  EXPECT_EQ(bigRequestLength(request.data(), 16, swapped), 16u);
  storeU32(&request[4], 0, swapped);
  EXPECT_EQ(bigRequestLength(request.data(), 16, swapped), 8u) << "at least the header";
  storeU32(&request[4], 0xffffffff, swapped);
  EXPECT_EQ(bigRequestLength(request.data(), 16, swapped), 0u) << "4 x the word in 64 bits";
}

INSTANTIATE_TEST_SUITE_P(Orders, Scan, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Swapped" : "Native"; });

struct ListCase {
  Bytes data;
  u32 length, count;
  std::vector<std::string> strings;  // empty with ok false: refused
  bool ok;
};

class StringLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(StringLists, UnpackedWhenTheyFillTheLengthExactly) {
  const ListCase& c = GetParam();
  Bytes data = c.data;
  data.resize(c.length + 8, 0);
  char** list = unpackStringList(data.data(), c.length, c.count);
  ASSERT_EQ(list != nullptr, c.ok);
  if (!list) return;
  for (u32 i = 0; i < c.count; i++) EXPECT_EQ(list[i], c.strings[i]);
  free(list);
}

Bytes counted(const std::vector<std::string>& strings) {
  Bytes out;
  for (const std::string& s : strings) {
    out.push_back(u8(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringLists,
    ::testing::Values(ListCase{counted({"fonts"}), 8, 1, {"fonts"}, true},
                      ListCase{counted({"fonts"}), 12, 1, {}, false},
                      ListCase{counted({"fonts"}), 4, 1, {}, false},
                      ListCase{counted({"a", "bc", ""}), 8, 3, {"a", "bc", ""}, true},
                      ListCase{counted({"a", "bc"}), 8, 6, {}, false}, ListCase{{}, 0, 0, {}, true},
                      ListCase{{250}, 4, 1, {}, false}));

TEST(StringLists, PackedAsCountedStrings) {
  const char* strings[] = {"built-ins", "", "/usr/share/fonts/X11/misc"};
  u8 out[64];
  u32 written = packStringList(strings, 3, out);
  EXPECT_EQ(Bytes(out, out + written), counted({"built-ins", "", "/usr/share/fonts/X11/misc"}));
  char** back = unpackStringList(out, (written + 3) & ~3u, 3);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back[2], "/usr/share/fonts/X11/misc");
  free(back);
}

TEST(WireHelpers, SmallOnes) {
  ClosingMark mark{};
  markClientClosing(&mark, "setup failed");
  markClientClosing(&mark, "client killed");
  EXPECT_STREQ(mark.reason, "setup failed") << "the first reason stays";
  EXPECT_EQ(mark.state, 0xffffffffu);
  ClosingMark none{};
  markClientClosing(&none, nullptr);
  EXPECT_STREQ(none.reason, "");
  u8 field[4] = {1, 2, 3, 4};
  invalidateId(field);
  EXPECT_EQ(loadU32(field), 0xffffffffu);
  writeCard32BE(field, 0x01020304);
  EXPECT_EQ(field[0], 1);
  EXPECT_EQ(readCard32BE(field), 0x01020304u);
  EXPECT_EQ(imageDataSize(10, 3, 2, 24, ~0u, 32, 32), 120u);
  EXPECT_EQ(imageDataSize(10, 3, 2, 1, ~0u, 1, 32), 12u);
  EXPECT_EQ(imageDataSize(10, 3, 1, 8, 0x0f, 1, 32), 48u) << "XYPixmap: four planes of the mask";
  EXPECT_EQ(imageDataSize(10, 3, 1, 4, 0xff, 1, 32), 48u) << "planes beyond the depth do not count";
}

// --- Hints from properties ---------------------------------------------------------------

Bytes changeProperty(u32 property, u32 type, u8 format, const Bytes& data, u32 count) {
  Bytes r(24, 0);
  storeU32(&r[8], property);
  storeU32(&r[12], type);
  r[16] = format;
  storeU32(&r[20], count);
  r.insert(r.end(), data.begin(), data.end());
  r.resize((r.size() + 3) & ~size_t{3}, 0);
  return r;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(PropertyHints, NamesAreTakenOnceAndBounded) {
  ProxyClient client{};
  ProxyWindow window{};
  window.id = 0x200001;
  auto note = [&](u32 property, const Bytes& data) {
    Bytes r = changeProperty(property, XA_STRING, 8, data, u32(data.size()));
    notePropertyHints(&client, &window, r.data(), u32(r.size()));
  };
  note(XA_WM_NAME, text(std::string(100, 'n')));
  EXPECT_EQ(std::string(client.programName), std::string(31, 'n'));
  note(XA_WM_NAME, text("second"));
  EXPECT_EQ(std::string(client.programName), std::string(31, 'n')) << "the first name stays";
  note(XA_WM_CLIENT_MACHINE, text(std::string(70, 'm')));
  EXPECT_EQ(std::string(client.machineName), std::string(63, 'm'));
  note(XA_WM_CLASS, text("xterm"));
  EXPECT_EQ(client.className[0], 0) << "no class without the instance's terminator";
  note(XA_WM_CLASS, text(std::string("xterm\0XTerm", 11)));
  EXPECT_STREQ(client.className, "XTerm");
  EXPECT_EQ(window.noKeepVisible, 0);
  note(XA_WM_CLASS, text(std::string("KeepWindowsVisible\0", 19)));
  EXPECT_EQ(window.noKeepVisible, 1);
  // A count that claims more than the request holds reads only what is there.
  ProxyClient other{};
  Bytes r = changeProperty(XA_WM_NAME, XA_STRING, 8, text("abc"), 0x40000000);
  notePropertyHints(&other, &window, r.data(), u32(r.size()));
  EXPECT_STREQ(other.programName, "abc");
}

TEST(PropertyHints, SizeHintsOfEighteenItems) {
  ProxyWindow window{};
  Bytes items(18 * 4, 0);
  storeU32(&items[4], 0x2a);
  Bytes r = changeProperty(XA_WM_NORMAL_HINTS, XA_WM_SIZE_HINTS, 32, items, 17);
  notePropertyHints(nullptr, &window, r.data(), u32(r.size()));
  EXPECT_EQ(window.hasSizeHints, 0) << "17 items are no size hints";
  r = changeProperty(XA_WM_NORMAL_HINTS, XA_WM_SIZE_HINTS, 32, items, 18);
  notePropertyHints(nullptr, &window, r.data(), u32(r.size()));
  EXPECT_EQ(window.hasSizeHints, 1);
  EXPECT_EQ(window.sizeHints[1], 0x2au);
}

}  // namespace
}  // namespace palvon
