// Head settings applied to heads of real servers: through the entry the
// META request will use, a new clip rectangle moves the head's windows and
// a role tag is refused once the head runs; a turned head widens its meta
// screen by its height; the keyboard-map tool runs with its words as they
// are.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Proxy/config/config.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/servers/display.h"
#include "support/headsrig.h"
#include "support/tempdir.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::HeadsRig;

const std::vector<std::string> kLarge = {"-screen", "0", "1280x1024x24"};

TEST(SettingsAtRunTime, ANewClipRectangleMovesTheHeadWindow) {
  HeadsRig rig({kLarge, kLarge});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig.start(), "");
  Head* second = rig.head(0, 1);
  HeadSettings settings{};
  settings.physicalX = 100, settings.physicalY = 50, settings.physicalWidth = 600, settings.physicalHeight = 400;
  ASSERT_EQ(applyScreenSettingsById(nullptr, second->id,
                                    kHeadGivenPhysicalX | kHeadGivenPhysicalY | kHeadGivenPhysicalWidth |
                                        kHeadGivenPhysicalHeight,
                                    &settings),
            nullptr);
  auto tree = test::windowTree(rig.display(1));
  const test::TreeWindow* window = test::findWindow(tree, second->window);
  ASSERT_NE(window, nullptr);
  // The clip rectangle grown by the border of one pixel.
  EXPECT_EQ(window->x, 99);
  EXPECT_EQ(window->y, 49);
  EXPECT_EQ(window->width, 602);
  EXPECT_EQ(window->height, 402);
  const test::TreeWindow* inner = test::findWindow(tree, second->innerWindow);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->width, 600);
  EXPECT_EQ(inner->height, 400);
  // Without zoom the logical size follows, and the meta root moves along.
  EXPECT_EQ(second->logical.width, 600);
  const test::TreeWindow* root = test::findWindow(tree, second->rootWindow);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->x, -second->logical.x);

  settings.tags = getHeadTags(second) | kHeadTagAtom;
  EXPECT_EQ(std::string(applyScreenSettingsById(nullptr, second->id, kHeadGivenTags, &settings)),
            "Can't change tag 'atom' on " + std::string(second->name) + ": not at runtime");
}

TEST(SettingsAtStartUp, AQuarterTurnAddsTheHeadsHeight) {
  HeadsRig rig({kLarge, kLarge});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("options Tavel\nscreen @0.0 borderWidth 0\nscreen @1.0 borderWidth 0 rotation quarter\n"), "");
  ASSERT_EQ(rig.start(), "");
  EXPECT_EQ(rig.screen(0)->width, 1280u + 1024u);
  EXPECT_EQ(rig.screen(0)->height, 1280u);
}

// --- The keyboard-map tool ------------------------------------------------------------------

class KeyboardMapTool : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig_.ok());
    home_ = install_.path() + "/home";
    etc_ = install_.path() + "/etc";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home_ + "/bin").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(etc_.c_str(), 0700), 0);
    std::string tool = home_ + "/bin/vorkel";
    test::writeFile(tool, "#!/bin/sh\n[ \"$1\" = -display ] || exit 2\nexec xmodmap -display \"$2\" \"$3\"\n");
    ASSERT_EQ(chmod(tool.c_str(), 0700), 0);
    setenv("PALVON_HOME", home_.c_str(), 1);
    setenv("PALVON_ETC", etc_.c_str(), 1);
    ASSERT_EQ(rig_.configure("screen @0.0\n"), "");
    ASSERT_EQ(rig_.start(), "");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    ASSERT_EQ(chdir(install_.path().c_str()), 0);
  }
  void TearDown() override {
    if (!cwd_.empty()) {
      EXPECT_EQ(chdir(cwd_.c_str()), 0);
    }
    unsetenv("PALVON_HOME");
    unsetenv("PALVON_ETC");
  }
  std::string apply(const char* map) {
    HeadSettings settings{};
    settings.keyboardMapping = const_cast<char*>(map);
    const char* error =
        applyScreenSettingsById(nullptr, rig_.head(0, 0)->id, kHeadGivenKeyboardMapping, &settings);
    return error ? error : "";
  }

  HeadsRig rig_{{{"-screen", "0", "320x240x24"}}};
  test::TempDir install_;
  std::string home_, etc_, cwd_;
};

TEST_F(KeyboardMapTool, RunsOnTheHeadsServer) {
  test::writeFile(etc_ + "/keys.map", "keycode 38 = q Q\n");
  ASSERT_EQ(apply("keys.map"), "");
  std::string keys = test::runProgram({"xmodmap", "-pke"}, rig_.display(0)).out;
  EXPECT_NE(keys.find("keycode  38 = q Q"), std::string::npos) << keys;
}

TEST_F(KeyboardMapTool, AMapNameIsNeverReadByAShell) {
  EXPECT_EQ(apply(";touch x;"), "");
  struct stat info;
  EXPECT_NE(stat((install_.path() + "/x").c_str(), &info), 0);
  EXPECT_NE(stat((etc_ + "/x").c_str(), &info), 0);
  EXPECT_NE(stat("x", &info), 0);
}

}  // namespace
}  // namespace palvon
