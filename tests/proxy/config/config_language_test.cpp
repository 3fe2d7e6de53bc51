// The statement language: expressions, words, comments, nesting of files and
// the command line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <unistd.h>

#include "Proxy/config/config.h"
#include "Proxy/config/parser.h"
#include "support/configtext.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

using test::parseConfigText;
using test::parseConfigWords;

struct ExpressionCase {
  const char* text;
  i32 value;
  const char* error;  // null: the value is expected
};

void PrintTo(const ExpressionCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ExpressionTest : public ::testing::TestWithParam<ExpressionCase> {};

TEST_P(ExpressionTest, EvaluatesOrReports) {
  const ExpressionCase& c = GetParam();
  const char* error = nullptr;
  i32 value = evaluateExpression(c.text, &error);
  if (c.error) {
    ASSERT_NE(error, nullptr) << c.text;
    EXPECT_STREQ(error, c.error);
  } else {
    ASSERT_EQ(error, nullptr) << c.text << ": " << error;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

constexpr const char* kSyntax = "syntax error in arithmetic expression";

INSTANTIATE_TEST_SUITE_P(
    Table, ExpressionTest,
    ::testing::Values(ExpressionCase{"(1000*4)", 4000, nullptr}, ExpressionCase{"", 0, nullptr},
                      ExpressionCase{"(10-4-3)", 3, nullptr}, ExpressionCase{"(8/4/2)", 1, nullptr},
                      ExpressionCase{"(2+3*4)", 14, nullptr}, ExpressionCase{"((2+3)*4)", 20, nullptr},
                      ExpressionCase{"(--5)", 5, nullptr}, ExpressionCase{"(-+-7)", 7, nullptr},
                      ExpressionCase{"(-7/2)", -3, nullptr}, ExpressionCase{"(-7%3)", -1, nullptr},
                      ExpressionCase{"(0x1F + 010)", 39, nullptr}, ExpressionCase{"(0XfF)", 255, nullptr},
                      ExpressionCase{"( 1 + 2 )", 3, nullptr}, ExpressionCase{"(0)", 0, nullptr},
                      ExpressionCase{"(2147483647+1)", INT32_MIN, nullptr},
                      ExpressionCase{"(4", 0, kSyntax}, ExpressionCase{"(1+)", 0, kSyntax},
                      ExpressionCase{"(1))", 0, kSyntax}, ExpressionCase{"()", 0, kSyntax},
                      ExpressionCase{"(08)", 0, kSyntax}, ExpressionCase{"(0x)", 0, kSyntax},
                      ExpressionCase{"(1 & 2)", 0, kSyntax}, ExpressionCase{"(2 (3))", 0, kSyntax},
                      ExpressionCase{"(1/0)", 0, "division by zero in arithmetic expression"},
                      ExpressionCase{"(5%(2-2))", 0, "division by zero in arithmetic expression"},
                      ExpressionCase{"(-2147483648/-1)", 0, "overflow in arithmetic expression"}));

TEST(Expression, DeepNestingIsRefusedPastTheStackLimit) {
  std::string deep(20000, '(');
  deep += "1";
  deep += std::string(20000, ')');
  const char* error = nullptr;
  evaluateExpression(deep.c_str(), &error);
  EXPECT_STREQ(error, "memory exhausted");
  std::string fine = std::string(1000, '(') + "7" + std::string(1000, ')');
  EXPECT_EQ(evaluateExpression(fine.c_str(), &error), 7);
  EXPECT_EQ(error, nullptr);
}

// --- Words and comments ----------------------------------------------------------------

TEST(Lexer, QuotesExpressionsVariablesAndStop) {
  test::TempDir dir;
  setenv("PALVON_TEST_WORD", "from-env", 1);
  EXPECT_EQ(parseConfigText(dir.path(),
                            "fontName \"a \\\"b\\\" c\"\n"
                            "maximumRequestSize (1000*4)\n"
                            "xdmcpHost ${PALVON_TEST_WORD}x\n"
                            "nice (3*-2)x\n"
                            "serverNice -3 stop bell off\n"),
            "");
  EXPECT_STREQ(proxyConfig.fontName, "a \"b\" c");
  EXPECT_EQ(proxyConfig.maximumRequestSize, 4000u);
  EXPECT_STREQ(proxyConfig.xdmcpHost, "from-envx");
  EXPECT_EQ(proxyConfig.nice, -6);  // the character behind ')' is its separator
  EXPECT_EQ(proxyConfig.serverNice, -3);
  EXPECT_EQ(proxyConfig.bell, 1u);  // stop ended the text
  unsetenv("PALVON_TEST_WORD");
}

TEST(Lexer, WordsLongerThanTheTokenBufferAreRefused) {
  test::TempDir dir;
  EXPECT_EQ(parseConfigText(dir.path(), "fontName " + std::string(4095, 'a') + "\nbell x"),
            "Configuration statement too large in FILE, line 1");
  EXPECT_EQ(parseConfigText(dir.path(), "fontName " + std::string(4094, 'a')), "");
  EXPECT_EQ(strlen(proxyConfig.fontName), 4094u);
}

TEST(Lexer, CommentsGoToTheCurrentBlock) {
  test::TempDir dir;
  ASSERT_EQ(parseConfigText(dir.path(),
                            "# about the proxy\n"
                            "bell on # not collected\n"
                            "metaScreen m\n"
                            "# about m\n"
                            "screen h\n"
                            "  # about h\n"
                            "# more about h"),
            "");
  EXPECT_STREQ(proxyConfig.comment, "# about the proxy\n");
  ASSERT_NE(proxyConfig.metaScreens, nullptr);
  EXPECT_STREQ(proxyConfig.metaScreens->comment, "# about m\n");
  ASSERT_NE(proxyConfig.heads, nullptr);
  EXPECT_STREQ(proxyConfig.heads->comment, "# about h\n# more about h\n");
}

struct ErrorCase {
  const char* text;
  const char* error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class LanguageErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(LanguageErrorTest, ReportsFileAndLine) {
  test::TempDir dir;
  unsetenv("PALVON_SURELY_UNSET");
  EXPECT_EQ(parseConfigText(dir.path(), GetParam().text), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LanguageErrorTest,
    ::testing::Values(
        ErrorCase{"maximumRequestSize (4", "syntax error in arithmetic expression in FILE, line 1"},
        ErrorCase{"bell on\n\n# note\naccessControl no",
                  "Invalid value 'no' for statement accessControl in FILE, line 4"},
        ErrorCase{"fontName \"two\nlines\"\nbell maybe",
                  "Invalid value 'maybe' for statement bell in FILE, line 3"},
        ErrorCase{"nice (1+\n2)\nbell x", "Invalid value 'x' for statement bell in FILE, line 3"},
        ErrorCase{"accessControl \"on\"", "Invalid value 'on' for statement accessControl in FILE, line 1"},
        ErrorCase{"bell\n\"on", "Invalid value 'on' for statement bell in FILE, line 2"},
        ErrorCase{"log $PALVON_SURELY_UNSET",
                  "Undefined variable 'PALVON_SURELY_UNSET' in FILE, line 1"},
        ErrorCase{"borderWidth 3", "Syntax error or no configuration file 'borderWidth' in FILE, line 1"},
        ErrorCase{"bell on\n  /nonexistent/palvon.conf",
                  "Syntax error or no configuration file '/nonexistent/palvon.conf' in FILE, line 2"}));

// --- Nesting of files ----------------------------------------------------------------------

TEST(Nesting, ErrorsNameTheInnermostFileAndLine) {
  test::TempDir dir;
  test::writeFile(dir.file("inner.conf"), "bell off\nnice x\n");
  std::string inner = dir.file("inner.conf");
  EXPECT_EQ(parseConfigText(dir.path(), "\n\nsource " + inner + "\n"),
            "Invalid value 'x' for statement nice in " + inner + ", line 2");
  // After a nested file the outer file's name and line are back.
  test::writeFile(dir.file("inner.conf"), "bell off\n\n\n\n");
  EXPECT_EQ(parseConfigText(dir.path(), "\n" + inner + "\naccessControl x"),
            "Invalid value 'x' for statement accessControl in FILE, line 3");
  EXPECT_EQ(proxyConfig.bell, 0u);
}

// Every file of a nesting case counts itself in PALVON_TEST_DEPTH each time it
// is read, so a cycle that is refused at once leaves each file counted once.
constexpr const char* kCount = "set PALVON_TEST_DEPTH ($PALVON_TEST_DEPTH+1)\n";

// A counting file whose second line sources the file named.
std::string countThenSource(const std::string& name) { return kCount + ("source " + name + "\n"); }

struct NestingCase {
  const char* name;
  // Writes the files into dir and returns the text of the top file.
  std::string (*setup)(const std::string& dir);
  const char* where;  // the refused source statement ("DIR" for the directory); null: success
  int depth;          // files read
};

void PrintTo(const NestingCase& c, std::ostream* os) { *os << c.name; }

class NestingTest : public ::testing::TestWithParam<NestingCase> {};

constexpr const char* kRecursion = "Maximum recursion level reached (possible cyclic source command)";

TEST_P(NestingTest, CyclesFailAtOnce) {
  const NestingCase& c = GetParam();
  test::TempDir dir;
  setenv("PALVON_TEST_DEPTH", "0", 1);
  std::string error = parseConfigText(dir.path(), c.setup(dir.path()), false, "top.conf");
  for (size_t at; (at = error.find(dir.path())) != std::string::npos;)
    error.replace(at, dir.path().size(), "DIR");
  if (c.where) {
    EXPECT_EQ(error, std::string(kRecursion) + " in " + c.where);
  } else {
    EXPECT_EQ(error, "");
  }
  EXPECT_STREQ(getenv("PALVON_TEST_DEPTH"), std::to_string(c.depth).c_str());
  unsetenv("PALVON_TEST_DEPTH");
}

INSTANTIATE_TEST_SUITE_P(
    Table, NestingTest,
    ::testing::Values(
        NestingCase{"itself",
                    [](const std::string& dir) {
                      test::writeFile(dir + "/loop.conf", countThenSource(dir + "/loop.conf"));
                      return "bell off\n" + dir + "/loop.conf\n";
                    },
                    "DIR/loop.conf, line 2", 1},
        NestingCase{"the top file",
                    [](const std::string& dir) { return kCount + ("\n\nsource " + dir + "/top.conf"); },
                    "FILE, line 4", 1},
        NestingCase{"through a symbolic link",
                    [](const std::string& dir) {
                      test::writeFile(dir + "/a.conf", countThenSource(dir + "/link.conf"));
                      EXPECT_EQ(symlink("a.conf", (dir + "/link.conf").c_str()), 0);
                      return "source " + dir + "/a.conf";
                    },
                    "DIR/a.conf, line 2", 1},
        NestingCase{"through a hard link and a second file",
                    [](const std::string& dir) {
                      test::writeFile(dir + "/a.conf", countThenSource(dir + "/b.conf"));
                      test::writeFile(dir + "/b.conf", countThenSource(dir + "/same.conf"));
                      EXPECT_EQ(link((dir + "/a.conf").c_str(), (dir + "/same.conf").c_str()), 0);
                      return "source " + dir + "/a.conf";
                    },
                    "DIR/b.conf, line 2", 2},
        NestingCase{"the same file one after the other",
                    [](const std::string& dir) {
                      std::string leaf = dir + "/leaf.conf", mid = dir + "/mid.conf";
                      test::writeFile(leaf, kCount);
                      test::writeFile(mid, "source " + leaf + " " + leaf + "\n");
                      return "source " + mid + "\n" + mid + " " + leaf;
                    },
                    nullptr, 5},
        NestingCase{"a chain of distinct files past the level limit",
                    [](const std::string& dir) {
                      for (int i = 0; i < 1001; i++) {
                        std::string name = dir + "/f" + std::to_string(i);
                        test::writeFile(name, countThenSource(dir + "/f" + std::to_string(i + 1)));
                      }
                      return "source " + dir + "/f0";
                    },
                    "DIR/f998, line 2", 999}));

TEST(Nesting, EmptyFilesAndBinaryFiles) {
  test::TempDir dir;
  EXPECT_EQ(parseConfigText(dir.path(), ""), "");
  EXPECT_EQ(parseConfigText(dir.path(), std::string("bell off\n\x01\x02", 11)),
            "No UTF-8 text in configuration file 'FILE' in command-line parameter, line 1");
  std::string withNul("bell off\n", 9);
  withNul += '\0';
  withNul += "bell on\n";
  EXPECT_EQ(parseConfigText(dir.path(), withNul),
            "No UTF-8 text in configuration file 'FILE' in command-line parameter, line 1");
  EXPECT_EQ(parseConfigText(dir.path(), "bell off\nfontName \"caf\xc3\xa9\"\n"), "");
  EXPECT_STREQ(proxyConfig.fontName, "caf\xc3\xa9");
}

// --- The command line ------------------------------------------------------------------------

TEST(CommandLine, DisplayFileAndQuotedArguments) {
  test::TempDir dir;
  test::writeFile(dir.file("a.conf"), "bell off\n");
  EXPECT_EQ(parseConfigWords({":2", dir.file("a.conf"), "fontName", "two words", "xdmcpHost",
                              "\"quoted", "xdmcpDisplayClass", "", "xdmcpDisplayID", "#1", "nice", "3"}),
            "");
  EXPECT_STREQ(proxyConfig.xdmcpDisplayID, "#1");
  EXPECT_EQ(proxyConfig.nice, 3);
  EXPECT_STREQ(proxyConfig.connection, ":2");
  EXPECT_EQ(proxyConfig.bell, 0u);
  EXPECT_STREQ(proxyConfig.fontName, "two words");
  EXPECT_STREQ(proxyConfig.xdmcpHost, "\"quoted");
  EXPECT_STREQ(proxyConfig.xdmcpDisplayClass, "");
}

// Each argument is one word whatever quotes, blanks and backslashes it holds,
// and the statements behind it are still read. Backslashes escape for
// variable expansion as in files; a trailing one escapes nothing and stays.
struct ArgumentCase {
  const char* argument;
  const char* value;
};

void PrintTo(const ArgumentCase& c, std::ostream* os) { *os << '"' << c.argument << '"'; }

class ArgumentTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentTest, StaysOneWord) {
  setenv("PALVON_TEST_WORD", "w", 1);
  ASSERT_EQ(parseConfigWords({"fontName", GetParam().argument, "bell", "off"}), "");
  EXPECT_STREQ(proxyConfig.fontName, GetParam().value);
  EXPECT_EQ(proxyConfig.bell, 0u);
  unsetenv("PALVON_TEST_WORD");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ArgumentTest,
    ::testing::Values(ArgumentCase{"a b\\", "a b\\"}, ArgumentCase{"a\\", "a\\"}, ArgumentCase{"\\", "\\"},
                      ArgumentCase{"\"x\\", "\"x\\"}, ArgumentCase{"# \\", "# \\"},
                      ArgumentCase{"a b\\\\", "a b\\"}, ArgumentCase{"a b\\\\\\", "a b\\\\"},
                      ArgumentCase{"a \"b\" \\\"c\\\"", "a \"b\" \"c\""},
                      ArgumentCase{"$PALVON_TEST_WORD \\$x\\", "w $x\\"}, ArgumentCase{"(1)\\", "1"}));

TEST(CommandLine, TrailingBackslashSwallowsNothing) {
  EXPECT_EQ(parseConfigWords({"fontName", "a b\\", "bell", "off", "logTypes", "bogusword"}),
            "Syntax error or no configuration file 'bogusword' in command-line parameter, line 1");
  // A file read from the command line keeps the file rule: only a backslash
  // before a quote escapes.
  test::TempDir dir;
  test::writeFile(dir.file("q.conf"), "fontName \"a\\\\b\\\"\"\n");
  ASSERT_EQ(parseConfigWords({"source", dir.file("q.conf")}), "");
  EXPECT_STREQ(proxyConfig.fontName, "a\\b\"");
}

TEST(CommandLine, ServerCommandTakesTheRestAsItStands) {
  ASSERT_EQ(parseConfigWords({"bell", "off", "serverCommand", "Xvfb", ":3", "bell", "(1+1)", "on"}), "");
  EXPECT_EQ(proxyConfig.bell, 0u);
  ASSERT_EQ(proxyConfig.serverCommandCount, 5u);
  EXPECT_STREQ(proxyConfig.serverCommand[0], "Xvfb");
  EXPECT_STREQ(proxyConfig.serverCommand[3], "(1+1)");
  EXPECT_STREQ(proxyConfig.serverCommand[4], "on");
}

TEST(CommandLine, ErrorsFreeTheRecord) {
  EXPECT_EQ(parseConfigWords({"screen", "a", "borderWidth", "q"}),
            "Invalid value 'q' for statement screen borderWidth in command-line parameter, line 1");
  EXPECT_EQ(proxyConfig.heads, nullptr);
  EXPECT_EQ(proxyConfig.logDestination, nullptr);
}

}  // namespace
}  // namespace palvon
