// Font-path tests against Xvfb: elements the server accepts or refuses, an
// element without fonts, and the server's own path left as it was.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "base/strlist.h"
#include "support/tempdir.h"
#include "support/xvfb.h"
#include "xsupport/xfont.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

std::vector<std::string> fontPath(Display* display) {
  int count = 0;
  char** paths = XGetFontPath(display, &count);
  std::vector<std::string> out(paths, paths + count);
  if (paths) XFreeFontPath(paths);
  return out;
}

int errorsSeen = 0;
int countErrors(Display*, XErrorEvent*) {
  errorsSeen++;
  return 0;
}

TEST(FontPathOnXvfb, ElementsAreTestedAndThePathRestored) {
  test::Xvfb xvfb;
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  Display* display = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(display, nullptr);
  XSetErrorHandler(xtargetErrorHandler);
  std::vector<std::string> before = fontPath(display);
  ASSERT_FALSE(before.empty());
  std::string misc = before[0];
  test::TempDir empty;
  test::writeFile(empty.path() + "/fonts.dir", "0\n");
  std::string emptyDir = empty.path();
  std::string missing = "/nonexistent/fonts";

  std::vector<char*> candidates = {misc.data(), missing.data(), emptyDir.data()};
  u32 kept = 0;
  char** valid = nullptr;
  xfontValidFontPaths(display, 3, candidates.data(), &valid, &kept);
  ASSERT_EQ(kept, 2u);
  EXPECT_EQ(std::string(valid[0]), misc);
  EXPECT_EQ(std::string(valid[1]), emptyDir);
  strlistFree(kept, valid);
  EXPECT_EQ(fontPath(display), before);

  std::vector<char*> good = {misc.data(), emptyDir.data()};
  std::vector<char*> bad = {misc.data(), missing.data()};
  EXPECT_EQ(xfontFontPathAccepted(display, good.data(), 2), 1);
  EXPECT_EQ(xfontFontPathAccepted(display, bad.data(), 2), 0);
  EXPECT_EQ(fontPath(display), before);

  EXPECT_EQ(xfontPathElementEmpty(display, misc.c_str()), 0);
  EXPECT_EQ(xfontPathElementEmpty(display, emptyDir.c_str()), 1);
  EXPECT_EQ(xfontPathElementEmpty(display, missing.c_str()), 1);  // refused: unusable
  EXPECT_EQ(fontPath(display), before);

  // Nothing failed outside the traps.
  errorsSeen = 0;
  XSetErrorHandler(countErrors);
  XSync(display, False);
  EXPECT_EQ(errorsSeen, 0);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace palvon
