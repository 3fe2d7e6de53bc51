// The rows and the request prologue: every key once, size rules in 64 bits,
// extension rows registered in one call, names in the logs, and what a
// client sees when the dispatcher refuses a request before its handler.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <set>
#include <string>
#include <vector>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/links/errors.h"
#include "Proxy/proxystate.h"
#include "base/wordswap.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/testrows.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;

// ---- Keys ------------------------------------------------------------------------

TEST(CoreRows, EveryMajorHasOneNamedRow) {
  EXPECT_EQ(checkCoreRows(), nullptr);
  std::set<std::string> names;
  for (u32 major = 0; major < 128; major++) {
    const RequestRow& row = coreRequestRow(static_cast<u8>(major));
    EXPECT_EQ(row.opcode, major);
    ASSERT_NE(row.name, nullptr) << major;
    if (std::string(row.name) != "InvalidRequest") {
      EXPECT_TRUE(names.insert(row.name).second) << row.name;
    }
    // A mask or count must lie inside the fixed part the rule checks first.
    if (row.size.kind == SizeKind::kMask || row.size.kind == SizeKind::kCounted) {
      EXPECT_LE(row.size.at + row.size.width, row.size.fixed) << row.name;
      EXPECT_LT(row.size.factorAt, row.size.fixed) << row.name;
    }
  }
  EXPECT_EQ(names.size(), 120u);
}

constexpr RequestRow kSomeRows[] = {{X_MapWindow, "MapWindow", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kNone},
                                    {X_MapWindow, "Again", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kNone}};
constexpr RowTable kDoubled = {kSomeRows, 2};
constexpr RowTable kOne = {kSomeRows, 1};

TEST(CoreRows, MissingOrDoubledKeysAreRefused) {
  const RowTable* const doubled[] = {&kDoubled};
  EXPECT_STREQ(checkRequestTables(doubled, 1), "Doubled core request row 8 (Again)");
  const RowTable* const missing[] = {&kOne};
  EXPECT_STREQ(checkRequestTables(missing, 1), "No core request row for major 0");
  // The core tables with one area left out miss that area's first major.
  std::vector<const RowTable*> withoutWindows(kCoreRequestTables + 1, kCoreRequestTables + kCoreRequestTableCount);
  EXPECT_STREQ(checkRequestTables(withoutWindows.data(), static_cast<u32>(withoutWindows.size())),
               "No core request row for major 1");
  std::vector<const RowTable*> twice(kCoreRequestTables, kCoreRequestTables + kCoreRequestTableCount);
  twice.push_back(&kOne);
  EXPECT_STREQ(checkRequestTables(twice.data(), static_cast<u32>(twice.size())),
               "Doubled core request row 8 (MapWindow)");
}

// ---- Size rules ------------------------------------------------------------------

struct SizeCase {
  const char* name;
  SizeRule rule;
  std::vector<std::pair<u32, u32>> fields;  // offset, 32-bit value (low bytes for narrower fields)
  u32 length;
  bool fits;
};

class SizeRules : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeRules, FitOrNot) {
  const SizeCase& c = GetParam();
  std::vector<u8> request(64, 0);
  for (auto [at, value] : c.fields) storeU32(request.data() + at, value);
  EXPECT_EQ(sizeFits(c.rule, request.data(), c.length), c.fits);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SizeRules,
    ::testing::Values(
        SizeCase{"ExactFits", exactSize(8), {}, 8, true}, SizeCase{"ExactLonger", exactSize(8), {}, 12, false},
        SizeCase{"ZeroLength", exactSize(4), {}, 0, false},
        SizeCase{"AtLeast", atLeastSize(16), {}, 20, true}, SizeCase{"TooShort", atLeastSize(16), {}, 12, false},
        SizeCase{"WholeArcs", listSize(12, 12), {}, 36, true},
        SizeCase{"ArcAndAHalf", listSize(12, 12), {}, 12 + 8, false},
        SizeCase{"SegmentsOfEight", listSize(12, 8), {}, 12 + 4, false},
        // CreateWindow: three values for three mask bits.
        SizeCase{"MaskBits", maskSize(32, 28, 4), {{28, 0x00000803}}, 44, true},
        SizeCase{"MaskBitsShort", maskSize(32, 28, 4), {{28, 0x00000803}}, 40, false},
        // ConfigureWindow's mask is 16 bits; the two bytes after it are not.
        SizeCase{"SixteenBitMask", maskSize(12, 8, 2), {{8, 0xffff0003}}, 20, true},
        // InternAtom of a 5-byte name: 8 + 8.
        SizeCase{"CountedName", countedSize(8, 4, 2, 8), {{4, 5}}, 16, true},
        SizeCase{"CountedNamePadMissing", countedSize(8, 4, 2, 8), {{4, 5}}, 12, false},
        // ChangeKeyboardMapping: 2 keycodes of 3 keysyms.
        SizeCase{"CountTimesFactor", countedSize(8, 1, 1, 32, 5), {{0, 0x200}, {4, 0x300}}, 32, true},
        // ChangeProperty of 3 16-bit items: 24 + pad4(6).
        SizeCase{"PropertyItems", countedSize(24, 20, 4, 1, 16), {{16, 16}, {20, 3}}, 32, true},
        // 0x40000000 items of 32 bits are 4 GiB: a 32-bit product would wrap
        // to 0 and let a 24-byte request pass.
        SizeCase{"HugeCountDoesNotWrap", countedSize(24, 20, 4, 1, 16), {{16, 32}, {20, 0x40000000}}, 24, false},
        SizeCase{"AnyLength", anySize(), {}, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Extension rows --------------------------------------------------------------

void extensionRequest(u8*, u32) {}
void extensionError(u8*) {}
constexpr RequestRow kExtensionRequests[] = {
    {0, "TestQueryVersion", extensionRequest, nullptr, "bbsss", "bbsiss", exactSize(8), Route::kMainHead},
    {3, "TestDraw", extensionRequest, nullptr, "bbsiiS", "", listSize(12, 8), Route::kEveryHead}};
constexpr EventRow kExtensionEvents[] = {{0, "TestNotify", nullptr, "bbsii"}, {1, "TestOther", nullptr, "bbsi"}};
constexpr ErrorRow kExtensionErrors[] = {{0, "TestBadThing", extensionError, ErrorValue::kResourceId}};
constexpr RequestRow kDoubledRequests[] = {kExtensionRequests[0], kExtensionRequests[0]};
constexpr EventRow kOverCount[] = {{2, "Beyond", nullptr, "bbs"}};

class ExtensionRows : public ::testing::Test {
 protected:
  void SetUp() override {
    resetAllExtensions();
    test::registerCoreRowsForTest();
  }
  void TearDown() override { resetAllExtensions(); }
};

TEST_F(ExtensionRows, OneCallRegistersNamesEventsAndErrors) {
  ExtensionEntry* entry = &proxyState.extensions.entries[140];
  ASSERT_EQ(registerExtensionRows(entry, "TEST", {kExtensionRequests, 2, kExtensionEvents, 2, kExtensionErrors, 1}),
            nullptr);
  EXPECT_EQ(entry->major, 140);
  EXPECT_EQ(entry->eventCount, 2);
  EXPECT_EQ(entry->errorCount, 1);
  EXPECT_STREQ(getRequestName(140, 3), "TestDraw");
  EXPECT_STREQ(getRequestName(140, 2), "request 140.2") << "a minor without a row";
  EXPECT_EQ(requestRowOf(requestKey(140, 2))->request, handleUnsupportedRequest);
  EXPECT_EQ(requestRowOf(requestKey(140, 3))->request, extensionRequest);
  EXPECT_STREQ(getErrorName(entry->firstError), "TestBadThing");
  EXPECT_EQ(errorHandlerOf(entry->firstError), extensionError);
  EXPECT_STREQ(eventRowOf(static_cast<u8>(entry->firstEvent + 1))->name, "TestOther");
  // The reset puts the unsupported rows back.
  u8 firstError = entry->firstError;
  resetExtension(entry);
  EXPECT_EQ(requestRowOf(requestKey(140, 3))->request, handleUnsupportedRequest);
  EXPECT_STREQ(getErrorName(firstError), "Unsupported");
}

TEST_F(ExtensionRows, DoubledKeysOrRowsBeyondTheirCountAreRefused) {
  ExtensionEntry* entry = &proxyState.extensions.entries[141];
  EXPECT_STREQ(registerExtensionRows(entry, "TWICE", {kDoubledRequests, 2, nullptr, 0, nullptr, 0}),
               "Doubled request row 0 of TWICE");
  EXPECT_STREQ(registerExtensionRows(entry, "BEYOND", {nullptr, 0, kOverCount, 1, nullptr, 0}),
               "Event row 2 of BEYOND beyond its count");
  EXPECT_EQ(entry->name, nullptr) << "nothing registered";
}

TEST(Names, LogLinesNameRequestsAndErrors) {
  test::registerCoreRowsForTest();
  EXPECT_STREQ(getRequestName(62, 0), "CopyArea");
  EXPECT_STREQ(getRequestName(62, 200), "CopyArea") << "a core major owns every second byte";
  EXPECT_STREQ(getRequestName(0, 0), "request 0.0");
  EXPECT_STREQ(getRequestName(300, 1), "request 300.1");
  EXPECT_STREQ(getErrorName(16), "BadLength");
  EXPECT_STREQ(getErrorName(0), "Unsupported");
  EXPECT_STREQ(getErrorName(200), "Unsupported");
}

// ---- The prologue -----------------------------------------------------------------

int handled = 0;
u32 handledSequence = 0;
std::vector<u8> handledBytes;
void noteHandled(u8* request, u32 length) {
  handled++;
  handledSequence = currentClient->requestCounter;
  handledBytes.assign(request, request + length);
}

class Prologue : public test::ProxyLoopTest, public ::testing::WithParamInterface<char> {
 protected:
  void SetUp() override {
    ProxyLoopTest::SetUp();
    handled = 0;
    // ConfigureWindow's own row, with a handler that notes what it got.
    RequestRow row = coreRequestRow(X_ConfigureWindow);
    test::setTestRequestRow(X_ConfigureWindow, noteHandled, row.requestLayout, row.size);
  }
  // Every message the client reads until `count` arrived.
  std::vector<Bytes> read(RawClient& raw, size_t count) {
    std::vector<Bytes> got;
    for (int k = 0; k < 1000 && got.size() < count; k++) {
      step(1);
      Bytes m = raw.readMessage(5);
      if (!m.empty()) got.push_back(m);
    }
    return got;
  }
};

TEST_P(Prologue, CountsSwapsAndRefusesBeforeTheHandler) {
  char order = GetParam();
  RawClient raw;
  ASSERT_NE(connect(raw, order), nullptr);
  // ConfigureWindow of x and y: window, 16-bit mask 3, two values.
  Bytes fine(16, 0);
  raw.put32(fine, 0, 0x400001);
  raw.put16(fine, 4, 3);
  raw.put32(fine, 8, 7);
  raw.put32(fine, 12, 9);
  Bytes shortOne = fine;
  shortOne.resize(12);  // one value missing
  std::vector<Bytes> stream = {raw.request(X_ConfigureWindow, 0, fine), raw.request(X_ConfigureWindow, 0, shortOne),
                               raw.request(0, 5, {}), raw.request(123, 0, {}), raw.request(200, 9, {})};
  for (const Bytes& r : stream) raw.send(r);
  std::vector<Bytes> errors = read(raw, 4);
  ASSERT_EQ(handled, 1) << "only the request of the right length reached its handler";
  EXPECT_EQ(handledSequence, 1u);
  // The handler reads every field in the proxy's order.
  EXPECT_EQ(loadU32(handledBytes.data() + 4), 0x400001u);
  EXPECT_EQ(loadU16(handledBytes.data() + 8), 3u);
  EXPECT_EQ(loadU32(handledBytes.data() + 16), 9u);
  EXPECT_EQ(handledBytes.size(), 20u);
  ASSERT_EQ(errors.size(), 4u);
  struct Expected {
    u8 code;
    u16 sequence;
    u32 value;
    u8 major;
  };
  const Expected expected[] = {{16, 2, 16, X_ConfigureWindow}, {1, 3, 0, 0}, {1, 4, 123, 123}, {1, 5, 9, 200}};
  for (size_t k = 0; k < 4; k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(errors[k][0], 0);
    EXPECT_EQ(errors[k][1], expected[k].code);
    EXPECT_EQ(raw.get16(errors[k], 2), expected[k].sequence);
    EXPECT_EQ(raw.get32(errors[k], 4), expected[k].value);
    EXPECT_EQ(errors[k][10], expected[k].major);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, Prologue, ::testing::Values('l', 'B'),
                         [](const auto& info) { return info.param == 'B' ? "MsbClient" : "LsbClient"; });

}  // namespace
}  // namespace palvon
