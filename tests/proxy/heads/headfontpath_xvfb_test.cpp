// Fonts loaded on one head with the font path of their opening: the
// server's own narrower path is widened just for the load and put back,
// and the server is not left grabbed. Also the configured fontPath list's
// verdict on one element.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/resources/records.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/fontpath.h"
#include "support/headsrig.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::HeadsRig;

const char* const kMisc = "/usr/share/fonts/X11/misc";

std::vector<std::string> serverPath(Display* d) {
  int n = 0;
  char** paths = XGetFontPath(d, &n);
  std::vector<std::string> out(paths, paths + n);
  if (paths) XFreeFontPath(paths);
  return out;
}

TEST(HeadFontPath, AnInWindowHeadLoadsWithTheFontsPathAndPutsItsOwnBack) {
  HeadsRig rig({{"-screen", "0", "800x600x24"}});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("options InWindow\nwindow @0.0 tags notManaged\n"), "");
  ASSERT_EQ(rig.start(), "");
  Head* head = rig.head(0, 0);
  Display* d = XOpenDisplay(rig.display(0).c_str());
  ASSERT_NE(d, nullptr);
  // The server's own path lacks the directory the font came from.
  char builtIns[] = "built-ins";
  char* narrow[] = {builtIns};
  XSetFontPath(d, narrow, 1);
  XSync(d, False);
  ASSERT_EQ(serverPath(d), std::vector<std::string>{"built-ins"});

  char name[] = "9x15";
  char misc[] = "/usr/share/fonts/X11/misc";
  char* opened[] = {misc, builtIns};
  FontRecord font{};
  font.name = name;
  font.fontPath = opened;
  font.fontPathCount = 2;
  Font id = loadHeadFontForGLX(head, &font, false);
  EXPECT_NE(id, 0u);
  XFontStruct* info = XfsQueryFont(head->display, id);
  EXPECT_NE(info, nullptr);
  if (info) XFreeFontInfo(nullptr, info, 1);
  // The path is the server's again, and nothing holds the server: another
  // program gets through at once.
  EXPECT_EQ(serverPath(d), std::vector<std::string>{"built-ins"});
  test::ProgramResult q = test::runProgram({"xset", "q"}, rig.display(0), 5000);
  EXPECT_FALSE(q.timedOut);
  EXPECT_EQ(q.status, 0);
  XCloseDisplay(d);
}

TEST(HeadFontPath, APathThatHoldsEveryElementIsLeftAlone) {
  HeadsRig rig({{"-screen", "0", "800x600x24"}});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("options InWindow\nwindow @0.0 tags notManaged\n"), "");
  ASSERT_EQ(rig.start(), "");
  Head* head = rig.head(0, 0);
  char misc[] = "/usr/share/fonts/X11/misc";
  char* wanted[] = {misc};
  SavedFontPath saved;
  setTemporaryFontPath(head, wanted, 1, &saved);
  EXPECT_EQ(saved.grabbed, 1u);
  EXPECT_EQ(saved.paths, nullptr);
  restoreFontPath(nullptr, head, &saved);
  EXPECT_EQ(saved.grabbed, 0u);
  test::ProgramResult q = test::runProgram({"xset", "q"}, rig.display(0), 5000);
  EXPECT_FALSE(q.timedOut);
  EXPECT_NE(q.out.find(kMisc), std::string::npos);
}

// --- The configured list ----------------------------------------------------------------

struct ListCase {
  const char* name;
  std::vector<std::pair<bool, std::string>> list;
  const char* element;
  bool enabled;
};

class FontPathList : public ::testing::TestWithParam<ListCase> {};

TEST_P(FontPathList, DecidesByTheLastEntryNamingTheElement) {
  std::vector<NameFlag> entries;
  for (const auto& [on, path] : GetParam().list) entries.push_back(NameFlag{on ? 1u : 0u, const_cast<char*>(path.c_str())});
  NameFlag* savedList = proxyConfig.fontPath;
  u32 savedCount = proxyConfig.fontPathCount;
  proxyConfig.fontPath = entries.data();
  proxyConfig.fontPathCount = u32(entries.size());
  EXPECT_EQ(isFontPathElementEnabled(GetParam().element), GetParam().enabled);
  proxyConfig.fontPath = savedList;
  proxyConfig.fontPathCount = savedCount;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FontPathList,
    ::testing::Values(ListCase{"EmptyListTakesAll", {}, "/a", true},
                      ListCase{"NamedOn", {{true, "/a"}}, "/a", true},
                      ListCase{"UnnamedAfterAnOnList", {{true, "/a"}}, "/b", false},
                      ListCase{"UnnamedAfterAnOffList", {{false, "/a"}}, "/b", true},
                      ListCase{"NamedOff", {{false, "/a"}, {true, "/b"}}, "/a", false},
                      ListCase{"TheLastMatchWins", {{true, "/a"}, {false, "/a"}}, "/a", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon
