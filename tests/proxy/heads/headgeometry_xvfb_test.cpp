// A head window's geometry and stacking as its server reports them: an
// in-window head follows its window being moved and resized (through the
// display event intake), a small window never leaves an empty area, and
// keepOnTop / keepBelow heads are put back in their place.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "Proxy/heads/geometry.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/displayevents.h"
#include "support/headsrig.h"

namespace palvon {
namespace {

using test::HeadsRig;

const std::vector<std::string> kScreen = {"-screen", "0", "800x600x24"};

// Runs the intake of the head's connection until the condition holds.
bool pump(Head* head, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    processDisplayEvents(head->display, true);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

XWindowAttributes attributesOf(Display* d, Window w) {
  XWindowAttributes a{};
  XGetWindowAttributes(d, w, &a);
  return a;
}

class InWindowGeometry : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.ok());
    ASSERT_EQ(rig.configure("options InWindow\nwindow @0.0 displayX 10 displayY 20 displayWidth 300 "
                            "displayHeight 200 tags notManaged\n"),
              "");
    ASSERT_EQ(rig.start(), "");
    head = rig.head(0, 0);
    ASSERT_NE(head->window, 0u);
    other = XOpenDisplay(rig.display(0).c_str());
    ASSERT_NE(other, nullptr);
  }
  void TearDown() override {
    if (other) XCloseDisplay(other);
  }
  HeadsRig rig{{kScreen}};
  Head* head = nullptr;
  Display* other = nullptr;
};

TEST_F(InWindowGeometry, AResizedWindowScalesTheHeadAndMovesItsArea) {
  i32 b = head->borderWidth;
  HeadRect clip = head->clip, logical = head->logical;
  ASSERT_GT(clip.width, 0);
  // Another client moves and shrinks the window to half its width.
  i32 width = clip.width / 2 + 2 * b, height = clip.height + 2 * b;
  XMoveResizeWindow(other, head->window, 100, 150, u32(width), u32(height));
  XSync(other, False);
  ASSERT_TRUE(pump(head, [&] { return head->clip.width != clip.width; }));
  EXPECT_EQ(head->clip.width, width - 2 * b);
  EXPECT_EQ(head->clip.height, clip.height);
  EXPECT_EQ(head->logical.width, i32(i64(head->clip.width) * logical.width / clip.width));
  EXPECT_EQ(head->logical.height, logical.height);
  // The area now starts at the window's new place plus the border.
  EXPECT_EQ(head->clip.x + head->offsetX, 100 + b);
  EXPECT_EQ(head->clip.y + head->offsetY, 150 + b);
  XSync(head->display, False);
  XWindowAttributes inner = attributesOf(other, head->innerWindow);
  EXPECT_EQ(inner.width, head->clip.width);
  EXPECT_EQ(inner.height, head->clip.height);
}

TEST_F(InWindowGeometry, AWindowNoWiderThanTwoBordersLeavesAnAreaOfOne) {
  // The meta size follows the area; an area of 0 would make the next
  // resize divide by zero.
  setHeadWindowSize(head, u32(2 * head->borderWidth), 0);
  EXPECT_EQ(head->clip.width, 1);
  EXPECT_EQ(head->clip.height, 1);
  EXPECT_GE(head->logical.width, 1);
  EXPECT_GE(head->logical.height, 1);
  setHeadWindowSize(head, 400, 300);
  EXPECT_EQ(head->clip.width, 400 - 2 * head->borderWidth);
  EXPECT_GE(head->logical.width, 1);
}

// A head whose tag keeps it on top (or at the bottom) is put back there
// after another window was stacked over (or under) it.
struct StackingCase {
  const char* name;
  const char* tag;
  bool onTop;
};

class Stacking : public ::testing::TestWithParam<StackingCase> {};

TEST_P(Stacking, TheTaggedHeadReturnsToItsPlace) {
  HeadsRig rig({kScreen});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure(std::string("screen @0.0 tags ") + GetParam().tag + "\n"), "");
  ASSERT_EQ(rig.start(), "");
  Head* head = rig.head(0, 0);
  Display* d = XOpenDisplay(rig.display(0).c_str());
  ASSERT_NE(d, nullptr);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window intruder = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 50, 50, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(d, intruder);
  if (GetParam().onTop) XRaiseWindow(d, intruder);
  else XLowerWindow(d, intruder);
  XSync(d, False);
  updateHeadStacking(head);
  XSync(head->display, False);
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count));
  ASSERT_GE(count, 2u);
  Window expected = GetParam().onTop ? children[count - 1] : children[0];
  XFree(children);
  EXPECT_EQ(expected, head->window);
  XCloseDisplay(d);
}

INSTANTIATE_TEST_SUITE_P(Tags, Stacking,
                         ::testing::Values(StackingCase{"KeepOnTop", "keepOnTop", true},
                                           StackingCase{"KeepBelow", "keepBelow", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon
