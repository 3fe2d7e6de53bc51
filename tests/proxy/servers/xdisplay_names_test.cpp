// Display names: canonical forms, comparison and the thin-client look-up.
// Only this machine's own names are resolved (no traffic leaves the host).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Proxy/servers/display.h"
#include "base/hostclock.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

// "@" in a row stands for this machine's host name.
std::string withHost(const char* text) {
  std::string out;
  for (const char* p = text; *p; p++) {
    if (*p == '@') out += hostName();
    else out += *p;
  }
  return out;
}

struct CanonicalRow {
  const char* name;
  const char* canonical;  // null: invalid
};

const CanonicalRow kCanonicalRows[] = {
    {":0", "@:0"},
    {"unix:3.1", "@:3"},
    {"@:12.0", "@:12"},
    {"localhost:0.1", "localhost:0"},
    {"tcp/localhost:5", "localhost:5"},
    {"localhost::2", "localhost:2"},
    {"127.0.0.1:4", "localhost:4"},
    {"localhost", nullptr},
    {"localhost:", nullptr},
    {"localhost:1a", nullptr},
    {"localhost:.1", nullptr},
};

class CanonicalTest : public ::testing::TestWithParam<CanonicalRow> {};

TEST_P(CanonicalTest, DropsTheScreenAndNamesTheHostCanonically) {
  std::string name = withHost(GetParam().name);
  const char* canonical = canonicalDisplayName(name.c_str());
  if (!GetParam().canonical) {
    EXPECT_EQ(canonical, nullptr) << canonical;
  } else {
    ASSERT_NE(canonical, nullptr);
    EXPECT_EQ(std::string(canonical), withHost(GetParam().canonical));
  }
}

INSTANTIATE_TEST_SUITE_P(Names, CanonicalTest, ::testing::ValuesIn(kCanonicalRows));

struct SameRow {
  const char* a;
  const char* b;
  bool same;
};

const SameRow kSameRows[] = {
    {":0", "@:0", true},
    {":0", "@:1", false},
    {"localhost:0", "127.0.0.1:0.0", true},
    {"unix:7", "@:7.1", true},
    {"LOCALHOST:3", "localhost:3", true},
};

class SameDisplayTest : public ::testing::TestWithParam<SameRow> {};

TEST_P(SameDisplayTest, ComparesNumbersAndCanonicalHosts) {
  std::string a = withHost(GetParam().a), b = withHost(GetParam().b);
  EXPECT_EQ(isSameDisplay(a.c_str(), b.c_str()), GetParam().same) << a << " / " << b;
}

INSTANTIATE_TEST_SUITE_P(Names, SameDisplayTest, ::testing::ValuesIn(kSameRows));

TEST(DisplayNames, LocalHostPrefixAndParsing) {
  std::string local = withHost("@:3.0");
  ASSERT_NE(stripLocalHostPrefix(local.c_str()), nullptr);
  EXPECT_STREQ(stripLocalHostPrefix(local.c_str()), ":3.0");
  EXPECT_EQ(stripLocalHostPrefix("localhostx:3"), nullptr);

  char* host = nullptr;
  u32 number = 0, family = 0;
  ASSERT_TRUE(parseDisplayName("unix/:9.2", &host, &number, &family));
  EXPECT_EQ(std::string(host), hostName());
  EXPECT_EQ(number, 9u);
  EXPECT_EQ(family, 256u);
  free(host);
  EXPECT_FALSE(parseDisplayName("localhost", &host, &number, &family));
}

// --- The look-up command -------------------------------------------------------

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = getenv("PALVON_HOME");
    savedHome = home ? home : "";
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0700), 0);
    program = dir.file("bin/sunRayLookup");
    test::writeFile(program,
                    "#!/bin/sh\n"
                    "printf '%s\\n' \"$2\" >> \"$PALVON_HOME/arguments\"\n"
                    "case \"$2\" in\n"
                    "  seat*) echo 'thin:7'; exit 0;;\n"
                    "  gone*) echo 'no such seat'; exit 3;;\n"
                    "  blank*) exit 0;;\n"
                    "esac\n"
                    "echo 'other:1'\n");
    ASSERT_EQ(chmod(program.c_str(), 0700), 0);
    setenv("PALVON_HOME", dir.path().c_str(), 1);
    ASSERT_NE(getcwd(savedDirectory, sizeof savedDirectory), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    if (savedHome.empty()) unsetenv("PALVON_HOME");
    else setenv("PALVON_HOME", savedHome.c_str(), 1);
    EXPECT_EQ(chdir(savedDirectory), 0);
  }
  std::string arguments() { return test::readFile(dir.file("arguments")); }

  test::TempDir dir;
  std::string program;
  std::string savedHome;
  char savedDirectory[4096];
};

struct LookupRow {
  const char* name;
  const char* resolved;
  const char* error;
  bool runs;
};

const LookupRow kLookupRows[] = {
    {":4", ":4", nullptr, false},
    {"seat12", "thin:7", nullptr, true},
    {"gone", "gone", "no such seat", true},
    {"blank", "blank", nullptr, true},
};

class LookupRowTest : public LookupTest, public ::testing::WithParamInterface<LookupRow> {};

TEST_P(LookupRowTest, ReplacesANameWithoutColonByTheProgramsAnswer) {
  const LookupRow& row = GetParam();
  const char* resolved = nullptr;
  const char* error = lookupDisplayName(row.name, &resolved);
  if (row.error) {
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, row.error);
  } else {
    EXPECT_EQ(error, nullptr) << error;
  }
  ASSERT_NE(resolved, nullptr);
  EXPECT_STREQ(resolved, row.resolved);
  EXPECT_EQ(arguments(), row.runs ? std::string(row.name) + "\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Names, LookupRowTest, ::testing::ValuesIn(kLookupRows));

TEST_F(LookupTest, AClientGivenNameIsOneArgumentNeverShellText) {
  const char* name = "\";touch x;\"";
  const char* resolved = nullptr;
  EXPECT_EQ(lookupDisplayName(name, &resolved), nullptr);
  EXPECT_STREQ(resolved, "other:1");
  EXPECT_EQ(arguments(), std::string(name) + "\n");
  EXPECT_NE(access(dir.file("x").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace palvon
