// Large configurations: many blocks, long comment texts and long lists parse
// with every entry in place. Under the address sanitizer the comment and list
// inputs took minutes, and the blocks 30 times as long, while look-ups walked
// the lists and texts and arrays grew by one element at a time.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "Proxy/config/config.h"
#include "Proxy/config/parser.h"
#include "support/configtext.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

const ProxyConfiguration& cfg = proxyConfig;

struct ScaleCase {
  const char* name;
  std::string (*text)();
  void (*check)();
};

void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }

class ScaleTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleTest, EveryEntryInPlace) {
  test::TempDir dir;
  ASSERT_EQ(test::parseConfigText(dir.path(), GetParam().text()), "");
  GetParam().check();
}

// Comment lines switching between two blocks 80,000 times.
constexpr int kCommentRounds = 80000;

std::string commentsText() {
  std::string text = "# top\n";
  for (int i = 0; i < kCommentRounds; i++)
    text += "metaScreen m\n# m" + std::to_string(i) + "\nscreen h\n# h" + std::to_string(i) + "\n";
  return text;
}

void checkComments() {
  std::string m, h;
  for (int i = 0; i < kCommentRounds; i++) {
    m += "# m" + std::to_string(i) + "\n";
    h += "# h" + std::to_string(i) + "\n";
  }
  EXPECT_STREQ(cfg.comment, "# top\n");
  ASSERT_NE(cfg.metaScreens, nullptr);
  ASSERT_NE(cfg.heads, nullptr);
  EXPECT_EQ(cfg.metaScreens->comment, m);
  EXPECT_EQ(cfg.metaScreens->commentLength, m.size());
  EXPECT_EQ(cfg.heads->comment, h);
  EXPECT_EQ(cfg.heads->commentLength, h.size());
}

// 100,000 words in each kind of list; depths cycle through the 32 there are.
constexpr u32 kListWords = 100000;
u32 depthOf(u32 word) { return 1 + word % 32; }

std::string listsText() {
  std::string extensions = "extensions", fonts = "\nfontPath", formats = "\npixmapFormats",
              visuals = "\nmetaScreen m visuals", command = "\nserverCommand";
  for (u32 i = 0; i < kListWords; i++) {
    std::string n = std::to_string(i), depth = std::to_string(depthOf(i));
    extensions += " E" + n;
    fonts += " -/f/" + n;
    formats += " " + depth + ":32";
    visuals += " TrueColor:" + depth;
    command += " c" + n;
  }
  return extensions + fonts + formats + visuals + command;
}

void checkLists() {
  std::string last = std::to_string(kListWords - 1);
  ASSERT_EQ(cfg.extensionCount, kListWords + 2);  // after the two defaults
  EXPECT_STREQ(cfg.extensions[1].name, "RANDR");
  EXPECT_STREQ(cfg.extensions[kListWords + 1].name, ("E" + last).c_str());
  ASSERT_EQ(cfg.fontPathCount, kListWords);
  EXPECT_STREQ(cfg.fontPath[kListWords - 1].name, ("/f/" + last).c_str());
  EXPECT_EQ(cfg.fontPath[kListWords - 1].enabled, 0u);
  ASSERT_EQ(cfg.pixmapFormatCount, kListWords);
  EXPECT_EQ(cfg.pixmapFormats[kListWords - 1].depth, depthOf(kListWords - 1));
  EXPECT_EQ(cfg.pixmapFormats[kListWords - 1].bitsPerPixel, 32u);
  ASSERT_NE(cfg.metaScreens, nullptr);
  ASSERT_EQ(cfg.metaScreens->visualCount, kListWords);
  EXPECT_EQ(cfg.metaScreens->visuals[kListWords - 1].numbers[0], depthOf(kListWords - 1));
  ASSERT_EQ(cfg.serverCommandCount, kListWords);
  EXPECT_STREQ(cfg.serverCommand[kListWords - 1], ("c" + last).c_str());
}

// 200 meta screens of 100 heads, each head placed east of the one before by a
// name in other letter case; heads and meta screens made, deleted, made
// again by the same name and deleted on the way; every tenth head reopened
// by its name in capitals.
constexpr int kScreens = 200;
constexpr int kHeadsPerScreen = 100;

std::string headName(int screen, int head) {
  return "h" + std::to_string(screen) + "x" + std::to_string(head);
}

std::string blocksText() {
  std::string text;
  for (int s = 0; s < kScreens; s++) {
    std::string gone = std::to_string(s);
    text += "metaScreen gone" + gone + " delete metaScreen GONE" + gone + " delete\n";
    text += "metaScreen m" + std::to_string(s) + "\n";
    for (int h = 0; h < kHeadsPerScreen; h++) {
      std::string tmp = std::to_string(s * kHeadsPerScreen + h);
      text += "screen tmp" + tmp + " delete screen TMP" + tmp + " delete\n";
      text += "screen " + headName(s, h);
      if (h) text += " eastOf H" + std::to_string(s) + "X" + std::to_string(h - 1);
      text += "\n";
    }
  }
  for (int s = 0; s < kScreens; s++)
    for (int h = 0; h < kHeadsPerScreen; h += 10)
      text += "screen H" + std::to_string(s) + "X" + std::to_string(h) + " borderWidth 7\n";
  return text;
}

void checkBlocks() {
  EXPECT_EQ(cfg.numberOfMetaScreens, u32(kScreens));
  const ScreenConfig* screen = cfg.metaScreens;
  for (int s = 0; s < kScreens; s++, screen = screen->next) {
    ASSERT_NE(screen, nullptr);
    ASSERT_EQ(screen->name, "m" + std::to_string(s));
    EXPECT_EQ(screen->reference, s ? screen->previous : nullptr);
  }
  EXPECT_EQ(screen, nullptr);
  const HeadConfig* head = cfg.heads;
  for (int s = 0; s < kScreens; s++) {
    for (int h = 0; h < kHeadsPerScreen; h++, head = head->next) {
      ASSERT_NE(head, nullptr);
      ASSERT_EQ(head->settings.name, headName(s, h));
      EXPECT_EQ(head->settings.metaScreenNumber, s);
      EXPECT_EQ(head->reference, h ? head->previous : nullptr) << head->settings.name;
      EXPECT_EQ(head->settings.placement, h ? kPlaceEast : kPlaceNone);
      EXPECT_EQ(head->settings.borderWidth, h % 10 ? -1 : 7);
    }
  }
  EXPECT_EQ(head, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, ScaleTest,
                         ::testing::Values(ScaleCase{"comments", commentsText, checkComments},
                                           ScaleCase{"lists", listsText, checkLists},
                                           ScaleCase{"blocks", blocksText, checkBlocks}));

}  // namespace
}  // namespace palvon
