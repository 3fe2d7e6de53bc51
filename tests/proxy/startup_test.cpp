// The program's first steps, run as the real binary and through its wrapper
// script (the tests run in the build directory).
#include <gtest/gtest.h>

#include "Proxy/config/files.h"

#include <cstdlib>
#include <string>

#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::ProgramResult;
using test::runProgram;

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"PALVON_HOME", "PALVON_ETC", "PALVON_VAR"}) unsetenv(name);
  }
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
};

TEST_F(Startup, VersionWordsPrintTheReport) {
  for (const char* word : {"-version", "--VERSION", "-info", "--info"}) {
    ProgramResult r = runProgram({"libexec/palvon", word}, "");
    EXPECT_EQ(r.status, 0) << word << r.err;
    EXPECT_EQ(r.out.rfind(std::string("Palvon ") + getProductVersion() + "\n", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "Options:")) << r.out;
  }
  ProgramResult wrapped = runProgram({"bin/palvon", "-version"}, "");
  EXPECT_EQ(wrapped.status, 0) << wrapped.err;
  EXPECT_EQ(wrapped.out.rfind("Palvon ", 0), 0u);
}

TEST_F(Startup, WithoutTheWrapperEnvironment) {
  ProgramResult r = runProgram({"libexec/palvon"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Environment variable PALVON_HOME not set - Be sure to start the wrapper script"))
      << r.err;
  setenv("PALVON_HOME", "/nonexistent", 1);
  r = runProgram({"libexec/palvon", "logDestination", "stderr"}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "Environment variable PALVON_ETC not set")) << r.err;
}

TEST_F(Startup, ConfigurationErrorsAndTheStopAfterIt) {
  test::TempDir dir;
  test::writeFile(dir.file("p.conf"), "logDestination stderr\n\nmaximumRequestSize 999\n");
  ProgramResult r = runProgram({"bin/palvon", dir.file("p.conf")}, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "maximumRequestSize must be greater or equal than 1000 in " + dir.file("p.conf") +
                                  ", line 3"))
      << r.err;
  // A head whose server is not there ends the start-up with status 1.
  test::ClaimedDisplay absent(150);
  test::ClaimedDisplay listen(160);
  ASSERT_TRUE(absent.ok() && listen.ok());
  r = runProgram({"bin/palvon", "logDestination", dir.file("log.txt"), "connection", listen.name(), "screen",
                  absent.name() + ".0", "connectTimeout", "1s"},
                 "", 20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(test::readFile(dir.file("log.txt")), "Exiting: ")) << test::readFile(dir.file("log.txt"));
}

}  // namespace
}  // namespace palvon
