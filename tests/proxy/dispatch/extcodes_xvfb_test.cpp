// Extension events and errors from a real server whose codes differ from
// the proxy's (the proxy offers the first server's codes; the second server,
// without MIT-SHM, numbers the later extensions apart) reach the client
// renumbered to the proxy's codes through the link's own dispatch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "support/linkrig.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>

namespace palvon::test {
namespace {

constexpr u8 kShapeRectangles = 1, kShapeSelectInput = 6;
constexpr u8 kFixesQueryVersion = 0, kFixesSelectSelectionInput = 2, kFixesDestroyRegion = 10;

constexpr RequestRow kShapeRequests[] = {
    {kShapeRectangles, "ShapeRectangles", nullptr, nullptr, "bbsbbbbissS", "", listSize(16, 8), Route::kEveryHead},
    {kShapeSelectInput, "ShapeSelectInput", nullptr, nullptr, "bbsib", "", exactSize(12), Route::kEveryHead}};
constexpr EventRow kShapeEvents[] = {{0, "ShapeNotify", nullptr, "bbsissssib"}};
constexpr RequestRow kFixesRequests[] = {
    {kFixesQueryVersion, "XFixesQueryVersion", nullptr, nullptr, "bbsii", "bbsiii", exactSize(12), Route::kMainHead},
    {kFixesSelectSelectionInput, "XFixesSelectSelectionInput", nullptr, nullptr, "bbsiii", "", exactSize(16),
     Route::kEveryHead},
    {kFixesDestroyRegion, "XFixesDestroyRegion", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead}};
constexpr EventRow kFixesEvents[] = {{0, "XFixesSelectionNotify", nullptr, "bbsiiiii"},
                                     {1, "XFixesCursorNotify", nullptr, "bbsiiii"}};
constexpr ErrorRow kFixesErrors[] = {{0, "BadRegion", nullptr, ErrorValue::kResourceId}};

const char* initShape(ExtensionEntry* entry) {
  return registerExtensionRows(entry, "SHAPE", {kShapeRequests, 2, kShapeEvents, 1, nullptr, 0});
}
const char* initFixes(ExtensionEntry* entry) {
  return registerExtensionRows(entry, "XFIXES", {kFixesRequests, 3, kFixesEvents, 2, kFixesErrors, 1});
}
constexpr ExtensionModule kModules[] = {{"SHAPE", 65, initShape}, {"XFIXES", 320, initFixes}};

// An extension request through the link's writer, in the proxy's codes.
void writeExtension(ServerLink* link, u8 major, u8 minor, std::vector<u8> body) {
  u32 length = static_cast<u32>(4 + body.size());
  u8* p = beginRequest(&link->writer, major, minor, length);
  ASSERT_NE(p, nullptr);
  std::copy(body.begin(), body.end(), p + 4);
  finishRequest(&link->writer, p, length, major, minor);
}

std::vector<u8> words(std::initializer_list<u32> values) {
  std::vector<u8> out;
  for (u32 v : values) {
    u8 b[4];
    put32(b, v);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

class ExtensionCodes : public ::testing::TestWithParam<bool> {};

TEST_P(ExtensionCodes, EventsAndErrorsOfTheSecondServerCarryTheProxysCodes) {
  Xvfb first;
  Xvfb second({"-screen", "0", "640x480x24", "-extension", "MIT-SHM"});
  ASSERT_TRUE(first.ok() && second.ok()) << first.error() << second.error();
  Display* a = XOpenDisplay(first.display().c_str());
  Display* b = XOpenDisplay(second.display().c_str());
  ASSERT_TRUE(a && b);
  LinkRig rig;  // registers the core rows
  resetAllExtensions();
  setExtensionModules(kModules, 2);
  ProxyConfiguration saved = proxyConfig;
  proxyConfig.extensions = nullptr;
  proxyConfig.extensionCount = 0;
  ExtensionCodeMap mapA{}, mapB{};
  std::string firstName = first.display(), secondName = second.display();
  ExtensionServer servers[] = {{a, firstName.c_str(), &mapA}, {b, secondName.c_str(), &mapB}};
  ASSERT_EQ(setupServerExtensions(servers, 2), nullptr);
  const ExtensionEntry* shape = findExtensionByName("SHAPE");
  const ExtensionEntry* fixes = findExtensionByName("XFIXES");
  ASSERT_TRUE(shape && fixes);
  int major, event, error;
  ASSERT_TRUE(XQueryExtension(b, "XFIXES", &major, &event, &error));
  EXPECT_NE(error, fixes->firstError) << "the second server numbers XFIXES apart";
  EXPECT_NE(event, fixes->firstEvent);
  EXPECT_NE(major, fixes->major);

  ServerLink* link = rig.open(second, GetParam(), 0, 10000, &mapB);
  ASSERT_NE(link, nullptr);
  u32 window = rig.newId(0);
  XSetWindowAttributes none{};
  rig.nextRequest();
  xprotoCreateWindow(&link->writer, 0, window, rig.setup(0).root, 0, 0, 20, 20, 0, 1, 0, 0, &none);
  rig.nextRequest();
  writeExtension(link, fixes->major, kFixesQueryVersion, words({5, 0}));
  rig.nextRequest();
  writeExtension(link, fixes->major, kFixesDestroyRegion, words({0x1fffffff}));
  rig.nextRequest();
  std::vector<u8> select = words({window, 1});
  writeExtension(link, shape->major, kShapeSelectInput, select);
  rig.nextRequest();
  std::vector<u8> rectangles = {0, 0, 0, 0};  // set, bounding, unsorted
  std::vector<u8> rest = words({window, 0, 5 | 5u << 16});  // window, offset 0,0, one rectangle at 0,0 ...
  rectangles.insert(rectangles.end(), rest.begin(), rest.end());
  rectangles.resize(20, 0);
  put16(rectangles.data() + 16, 5);  // ... of 5 x 5
  put16(rectangles.data() + 18, 5);
  put16(rectangles.data() + 12, 0);
  put16(rectangles.data() + 14, 0);
  writeExtension(link, shape->major, kShapeRectangles, rectangles);
  rig.nextRequest();
  // The selection's owner changes: an XFIXES event of the second server.
  writeExtension(link, fixes->major, kFixesSelectSelectionInput, words({window, 1, 1}));  // PRIMARY, owner set
  rig.nextRequest();
  u8* owner = beginRequest(&link->writer, 22, 0, 16);  // SetSelectionOwner
  std::vector<u8> ownerBody = words({window, 1, 0});
  std::copy(ownerBody.begin(), ownerBody.end(), owner + 4);
  finishRequest(&link->writer, owner, 16, 22, 0);
  rig.nextRequest();
  u8* focus = beginRequest(&link->writer, 43, 0, 4);
  finishRequest(&link->writer, focus, 4, 43, 0);
  u16 last = static_cast<u16>(rig.client()->requestCounter);

  std::vector<Message> messages;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) messages.push_back(std::move(m));
    return !messages.empty() && messages.back()[0] == 1 && get16At(messages.back(), 2) == last;
  }));
  bool sawError = false, sawEvent = false, sawSelection = false;
  for (const Message& m : messages) {
    if (m[0] == 0) {
      sawError = true;
      EXPECT_EQ(m[1], fixes->firstError) << "the proxy's BadRegion";
      EXPECT_EQ(m[10], fixes->major) << "the proxy's XFIXES major";
      EXPECT_EQ(get32At(m, 4), 0x1fffffffu);
    }
    if ((m[0] & 0x7f) == fixes->firstEvent) {
      sawSelection = true;
      EXPECT_EQ(get32At(m, 4), window);
      EXPECT_EQ(get32At(m, 8), window) << "the new owner";
    }
    if ((m[0] & 0x7f) == shape->firstEvent) {
      sawEvent = true;
      EXPECT_EQ(get32At(m, 4), window);
      EXPECT_EQ(get16At(m, 12), 5u);
    }
  }
  EXPECT_TRUE(sawError);
  EXPECT_TRUE(sawEvent);
  EXPECT_TRUE(sawSelection) << "the proxy's XFixesSelectionNotify";

  resetAllExtensions();
  setExtensionModules(nullptr, 0);
  proxyConfig.extensions = saved.extensions;
  proxyConfig.extensionCount = saved.extensionCount;
  XCloseDisplay(a);
  XCloseDisplay(b);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ExtensionCodes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MsbLink" : "LsbLink"; });

}  // namespace
}  // namespace palvon::test
