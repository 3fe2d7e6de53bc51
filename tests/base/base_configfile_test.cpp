// Key-value configuration files: reading, writing back, variable expansion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/configfile.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

using Statements = std::vector<std::string>;  // "key=value@line"

const char* collectStatement(const char* key, const char* value, u32 line, void* argument) {
  static_cast<Statements*>(argument)->push_back(std::string(key) + "=" + value + "@" + std::to_string(line));
  return nullptr;
}

struct ReadCase {
  const char* name;
  std::string file;
  Statements expected;
  const char* error;  // nullptr: the read succeeds
};

class ConfigRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ConfigRead, Statements) {
  const ReadCase& c = GetParam();
  test::TempDir dir;
  test::writeFile(dir.file("c.conf"), c.file);
  Statements got;
  const char* error = configfileRead(dir.file("c.conf").c_str(), collectStatement, &got);
  if (c.error) {
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, c.error);
  } else {
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_EQ(got, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ConfigRead,
    ::testing::Values(
        ReadCase{"SeveralOnALine", "a=1 b = 2 c\n", {"a=1@1", "b=2@1", "c=@1"}, nullptr},
        ReadCase{"Quoted", "key = \"two words\" next=x\n", {"key=two words@1", "next=x@1"}, nullptr},
        ReadCase{"EscapedQuote", "k=\"say \\\"hi\\\"\"\n", {"k=say \"hi\"@1"}, nullptr},
        ReadCase{"BackslashPairs", "k=a\\\\b\\c\n", {"k=a\\b\\c@1"}, nullptr},
        ReadCase{"Comments", "# a=1\nb=2 # c\n", {"b=2@2", "#=@2", "c=@2"}, nullptr},
        ReadCase{"TwoBackslashesEndTheLine", "a=x\\\\\nb=y\n", {"a=x\\@1", "b=y@2"}, nullptr},
        ReadCase{"ThreeContinue", "a=x\\\\\\\n   y\n", {"a=x\\@2", "y=@2"}, nullptr},
        ReadCase{"UnquotedContinuation", "a=abc \\\n    def\n", {"a=abc@2", "def=@2"}, nullptr},
        ReadCase{"QuotedContinuation", "a=\"abc \\\n    def\"\n", {"a=abc  def@2"}, nullptr},
        ReadCase{"ContinuationAtEnd", "a=1 \\\n", {}, "Unexpected end of file"},
        ReadCase{"NoLineFeedAtEnd", "z=9", {"z=9@1"}, nullptr},
        ReadCase{"OverlongIsRefused", "a=\"" + std::string(3000, 'x') + " \\\n" + std::string(3000, 'x') + "\"\n", {},
                 "Configuration statement too large"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

const char* stopAtB(const char* key, const char*, u32, void*) { return std::strcmp(key, "b") ? nullptr : "no b"; }

TEST(ConfigFile, CallbackErrorOrAMissingFileEndsTheRead) {
  test::TempDir dir;
  test::writeFile(dir.file("c.conf"), "a=1\nb=2\nc=3\n");
  EXPECT_STREQ(configfileRead(dir.file("c.conf").c_str(), stopAtB, nullptr), "no b");
  EXPECT_NE(configfileRead(dir.file("missing").c_str(), stopAtB, nullptr), nullptr);
}

// Formats the statement, reads it back through a file and compares.
std::string roundTrip(const char* key, const std::string& value, u32 indent) {
  char* text = configfileFormatStatement(key, value.c_str(), indent);
  if (!text) return "<refused>";
  test::TempDir dir;
  test::writeFile(dir.file("c.conf"), std::string(text) + "\n");
  std::free(text);
  Statements got;
  const char* error = configfileRead(dir.file("c.conf").c_str(), collectStatement, &got);
  if (error) return error;
  if (got.size() != 1) return std::string("<") + std::to_string(got.size()) + " statements>";
  return got[0].substr(got[0].find('=') + 1, got[0].rfind('@') - got[0].find('=') - 1);
}

TEST(ConfigFile, FormatReadsBackToTheSameValue) {
  std::string words;
  for (int i = 0; i < 60; i++) words += std::string("word") + std::to_string(i) + (i % 7 ? " " : "  ");
  const std::vector<std::string> values = {
      "", "plain", "a\\b", "ends\\", "\"starts", "mid\"quote", "has # hash", "tab\there",
      "quote \" and \\\\ pairs", "two  blanks", words, std::string(200, 'z') + " \\ " + std::string(90, 'q')};
  for (const std::string& value : values) {
    for (u32 indent : {0u, 4u, 17u}) EXPECT_EQ(roundTrip("key", value, indent), value) << value;
  }
}

TEST(ConfigFile, FormatRefusesWhatCannotBeReadBack) {
  EXPECT_EQ(configfileFormatStatement("k", "line\nfeed", 0), nullptr);
  EXPECT_EQ(configfileFormatStatement("", "v", 0), nullptr);
  EXPECT_EQ(configfileFormatStatement("#k", "v", 0), nullptr);
  EXPECT_EQ(configfileFormatStatement("a b", "v", 0), nullptr);
  // Fits the first check on lengths, but the escaped backslashes do not fit
  // a reader's statement.
  EXPECT_EQ(configfileFormatStatement("k", std::string(3000, '\\').c_str(), 0), nullptr);
  std::string longest(4095 - 4, 'v');
  EXPECT_EQ(roundTrip("k", longest, 0), longest);
  EXPECT_EQ(roundTrip("k", longest + "v", 0), "<refused>");
}

TEST(ConfigExpand, VariablesEscapesAndTheLimit) {
  setenv("PALVON_TEST_HOME", "/home/t", 1);
  setenv("PALVON_TEST_LONG", std::string(100, 'L').c_str(), 1);
  unsetenv("NOPE");
  char out[64];
  EXPECT_EQ(configExpandVariables("${PALVON_TEST_HOME}/x$PALVON_TEST_HOME \\$PALVON_TEST_HOME", out, sizeof out),
            nullptr);
  EXPECT_STREQ(out, "/home/t/x/home/t $PALVON_TEST_HOME");
  EXPECT_STREQ(configExpandVariables("a $NOPE b", out, sizeof out), "Undefined variable 'NOPE'");
  // A brace that is never closed at the end of the text does not run past it.
  EXPECT_EQ(configExpandVariables("x${PALVON_TEST_HOME", out, sizeof out), nullptr);
  EXPECT_STREQ(out, "x/home/t");
  EXPECT_STREQ(configExpandVariables(std::string(63, 'a').c_str(), out, sizeof out),
               "Configuration statement too large");
  EXPECT_STREQ(configExpandVariables("$PALVON_TEST_LONG", out, sizeof out), "Configuration statement too large");
  EXPECT_EQ(std::strlen(out), 0u);
}

}  // namespace
}  // namespace palvon
