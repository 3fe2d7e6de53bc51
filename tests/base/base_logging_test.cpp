// Channel templates, targets, XHTML pages, headers and the summary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/hostclock.h"
#include "base/logging.h"
#include "base/logmarkup.h"
#include "support/tempdir.h"
#include "support/xprogram.h"

namespace palvon {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

time_t gNow;
time_t heldClock() { return gNow; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    out.push_back(text.substr(start, end - start));
  return out;
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A page must end in its trailer and pass xmllint after every entry.
void expectWellFormed(const std::string& page) {
  EXPECT_TRUE(endsWith(readFile(page), kPageTrailer));
  auto result = test::runProgram({"xmllint", "--noout", page}, "");
  EXPECT_EQ(result.status, 0) << result.err;
}

// Every test starts from a fresh log on stderr with a held clock.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/usr/bin/palvon";
    char* argv[] = {name, nullptr};
    logInit(1, argv, "9.8", "rev77");
    setenv("TZ", "UTC", 1);  // 1700000000 is 22:13:20 in UTC: midnight is near
    tzset();
    gNow = 1700000000;
    logSetClock(heldClock);
  }
  void TearDown() override {
    logSetTarget("stderr");
    logSetClock(nullptr);
  }
  TempDir dir;
};

TEST_F(LogTest, PageStaysCompleteAndWellFormedAfterEveryEntry) {
  std::string page = dir.file("log.HTML");
  logSetTarget(page.c_str());
  ASSERT_TRUE(logTargetIsFile());
  LOGF(logChError, "bad bytes <&> \"quoted\"");
  ASSERT_EQ(write(2, "stray <\n", 8), 8);  // must not land behind the trailer
  gNow++;
  LOGF(logChWarning, "unbalanced ((one) two ) three) and (four");
  logProblem("broken \x01 utf8 \xff\xfe here", __FILE__, __LINE__);
  EXPECT_NE(readFile(page).find("bad bytes &lt;&amp;&gt; &quot;quoted&quot;"), std::string::npos);
  expectWellFormed(page);
  struct stat info;
  ASSERT_EQ(stat(page.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // Re-opening an existing page appends in front of its trailer.
  logSetTarget("stderr");
  logSetTarget(page.c_str());
  LOGF(logChNote, "after reopening");
  EXPECT_NE(readFile(page).find("after reopening"), std::string::npos);
  expectWellFormed(page);
}

TEST_F(LogTest, ThreadsSharingAPageKeepItWellFormed) {
  std::string page = dir.file("threads.html");
  logSetTarget(page.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; i++) LOGF(logChNote, "thread %d (entry %d)", t, i);
    });
  for (auto& thread : threads) thread.join();
  expectWellFormed(page);
}

TEST_F(LogTest, OverlongMessagesAreCutNotOverrun) {
  std::string page = dir.file("big.xhtml");
  logSetTarget(page.c_str());
  std::string parens(16383, '(');
  logProblem(parens.c_str(), __FILE__, __LINE__);
  std::string mixed;
  for (int i = 0; i < 3000; i++) mixed += "<a&(b)";
  logProblem(mixed.c_str(), __FILE__, __LINE__);
  expectWellFormed(page);

  std::string plain = dir.file("big.log");
  logSetTarget(plain.c_str());
  std::string text(20000, 'x');
  logText(logChError, __FILE__, __LINE__, bigPrintf("%s", text.c_str()));
  auto got = lines(readFile(plain));
  ASSERT_FALSE(got.empty());
  EXPECT_LT(got.back().size(), 16464u);
  EXPECT_EQ(got.back().substr(got.back().size() - 10), "xxxxxxxxxx");
}

TEST_F(LogTest, OnlyOurOwnPagesAreWrittenInto) {
  const std::pair<std::string, bool> pages[] = {
      {"", true},
      {"<html><body>hi</body></html>\n", false},
      {"<html><body>" + std::string(2000, 'z') + "</body></html>\n", false}};
  std::string path = dir.file("page.html");
  for (const auto& [content, becomesPage] : pages) {
    writeFile(path, content);
    logSetTarget(path.c_str());
    LOGF(logChNote, "an entry");
    std::string after = readFile(path);
    if (becomesPage) {
      EXPECT_TRUE(endsWith(after, kPageTrailer));
      EXPECT_NE(after.find("an entry"), std::string::npos);
    } else {
      EXPECT_EQ(after, content);
      EXPECT_STREQ(logTargetName(), "stderr");
    }
    logSetTarget("stderr");
  }
}

TEST_F(LogTest, StampsSourcePositionsAndTheSameSecond) {
  std::string path = dir.file("plain.log");
  writeFile(path, "kept line\n");
  logSetTarget(path.c_str());
  LOGF(logChNote, "first");
  LOGF(logChNote, "second");
  logProblem("UNE", "/src/base/outbuffer.cpp", 236);
  gNow += 2;
  int hintLine = __LINE__ + 1;
  LOGF(logChHint, "hinted");
  logChTime->activeTemplate = nullptr;
  LOGF(logChWarning, "no stamp");
  logSetTarget(path.c_str());  // the same name: no second header
  LOGF(logChInfo, "still one header");
  gNow += 86400;
  LOGF(logChInfo, "next day");

  auto got = lines(readFile(path));
  ASSERT_EQ(got.size(), 12u);
  EXPECT_EQ(got[0], "kept line");
  EXPECT_EQ(got[1], "");
  std::string stamp = timeFormatLocal(1700000000, "%H:%M:%S ");
  std::string later = timeFormatLocal(1700000002, "%H:%M:%S ");
  EXPECT_EQ(got[3], stamp + "first");
  EXPECT_EQ(got[4], "         second");
  EXPECT_EQ(got[5], "         POTENTIAL PROBLEM: UNE (outbuffer236)");
  EXPECT_EQ(got[6], later + "hinted at base_logging_test" + std::to_string(hintLine));
  EXPECT_EQ(got[7], "WARNING: no stamp");
  EXPECT_EQ(got[8], "still one header");
  EXPECT_EQ(got[9], "");  // the first entry of a new day repeats the header
  EXPECT_EQ(got[11], "next day");

  std::string header = got[2];
  EXPECT_EQ(header.rfind(timeFormatLocal(1700000000, "%y-%m-%d") + std::string(" palvon 9.8 at ") + hostName(), 0), 0u);
  EXPECT_TRUE(endsWith(header, " up, rev77)")) << header;

  // Without a revision the header has no empty field at its end.
  char name[] = "/usr/bin/palvon";
  char* argv[] = {name, nullptr};
  logInit(1, argv, "9.8", "");
  std::string bare = dir.file("bare.log");
  logSetTarget(bare.c_str());
  LOGF(logChInfo, "first");
  header = lines(readFile(bare))[1];
  EXPECT_TRUE(endsWith(header, " up)")) << header;
}

TEST_F(LogTest, SummaryCountsChannelsInTableOrder) {
  logSetTarget("none");
  LOGF(logChWarning, "w1");
  LOGF(logChError, "e1");
  LOGF(logChWarning, "w2");
  LOGF(logChWarning, "w3");
  LOGF(logChStep, "off, not counted");
  char summary[200];
  logSummary(summary, sizeof summary);
  EXPECT_EQ(std::string(summary), "1 error, 3 warnings logged to none, pid " + std::to_string(getpid()) + ", 0 sec. up");
  char tiny[12];
  logSummary(tiny, sizeof tiny);
  EXPECT_STREQ(tiny, "1 error, 3 ");

  logInit(0, nullptr, "", "");
  logSummary(summary, sizeof summary);
  EXPECT_EQ(std::string(summary), "pid " + std::to_string(getpid()) + ", 0 sec. up");
}

TEST_F(LogTest, VersionWordsSelectStdout) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"/x/__prog", "--VERSION"}, "stdout"}, {{"prog", "-info"}, "stdout"},
      {{"prog", "-display"}, "stderr"},      {{"  prog"}, "stderr"}};
  for (auto [args, target] : cases) {
    std::vector<char*> argv;
    std::string expected;
    for (auto& a : args) argv.push_back(a.data()), expected += a + " ";
    argv.push_back(nullptr);
    EXPECT_EQ(logInit(static_cast<int>(args.size()), argv.data(), "1", ""), std::string(target) == "stdout" ? 1 : 0);
    EXPECT_STREQ(logTargetName(), target);
    EXPECT_EQ(logCommandLine(), expected);
    EXPECT_STREQ(logProgramName(), "prog");
  }
}

// fstat identity of a descriptor.
std::pair<dev_t, ino_t> identity(int descriptor) {
  struct stat info {};
  fstat(descriptor, &info);
  return {info.st_dev, info.st_ino};
}

TEST_F(LogTest, DescriptorTwoStaysOpenAcrossTargetSwitches) {
  auto original = identity(2);
  logChTime->activeTemplate = nullptr;
  std::string a = dir.file("a.log"), b = dir.file("b.log");
  logSetTarget(a.c_str());
  LOGF(logChNote, "one");
  ASSERT_EQ(write(2, "stray\n", 6), 6);
  LOGF(logChNote, "two");
  logSetTarget("stderr");
  EXPECT_EQ(identity(2), original);
  logSetTarget(b.c_str());
  LOGF(logChNote, "three");
  logSetTarget(a.c_str());
  LOGF(logChNote, "four");
  logSetTarget("syslog");
  EXPECT_EQ(identity(2), original);
  logSetTarget("stderr");

  auto inA = lines(readFile(a));
  std::vector<std::string> entries;
  for (auto& line : inA)
    if (!line.empty() && line.find("palvon 9.8 at") == std::string::npos) entries.push_back(line);
  EXPECT_EQ(entries, (std::vector<std::string>{"one", "stray", "two", "four"}));
  EXPECT_NE(readFile(b).find("three"), std::string::npos);
}

TEST_F(LogTest, ProcessesSharingAFileWriteWholeLines) {
  std::string path = dir.file("shared.log");
  logSetTarget(path.c_str());
  logChTime->activeTemplate = nullptr;
  logChIntro->activeTemplate = nullptr;
  constexpr int kLines = 300;
  std::string filler(3000, '.');
  pid_t child = fork();
  ASSERT_GE(child, 0);
  const char* who = child == 0 ? "child" : "parent";
  for (int i = 0; i < kLines; i++) LOGF(logChNote, "%s %d %s end", who, i, filler.c_str());
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));

  int counts[2] = {0, 0};
  for (auto& line : lines(readFile(path))) {
    char name[10];
    int number = -1;
    ASSERT_EQ(sscanf(line.c_str(), "%9s %d", name, &number), 2) << line.substr(0, 40);
    EXPECT_EQ(line, std::string(name) + " " + std::to_string(number) + " " + filler + " end");
    counts[std::string(name) == "child"]++;
  }
  EXPECT_EQ(counts[0], kLines);
  EXPECT_EQ(counts[1], kLines);
}

std::string gReplayed;

TEST_F(LogTest, ReplayHandsOverTheFileWithChannelsOff) {
  std::string path = dir.file("replay.log");
  logSetTarget(path.c_str());
  for (int i = 0; i < 2000; i++) LOGF(logChNote, "line %d", i);
  gReplayed.clear();
  logReplayFile([](const char* data, size_t length) {
    LOGF(logChNote, "must not land in the file");
    gReplayed.append(data, length);
  });
  EXPECT_EQ(gReplayed, readFile(path));
  EXPECT_TRUE(logOn(logChNote));
}

TEST_F(LogTest, ChannelTableIsBoundedAndSyslogHasNoStamps) {
  logSetTarget("syslog");
  EXPECT_FALSE(logOn(logChTime));
  int added = 0;
  while (logAddChannel("extra", "extras", logChInfo, 7, "*\n")) added++;
  EXPECT_EQ(added, kLogChannelSlots - 18);
  EXPECT_EQ(logFindChannel("WARNINGS"), logChWarning);
  EXPECT_EQ(logFindChannel("nothing"), nullptr);
}

}  // namespace
}  // namespace palvon
