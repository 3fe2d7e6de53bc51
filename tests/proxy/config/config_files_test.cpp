// Installation paths from the environment, the log file name and the
// product texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/files.h"
#include "Proxy/startup.h"
#include "support/tempdir.h"

namespace palvon {
namespace {

// Sets the three installation variables for one test and restores them.
class InstallEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; i++) {
      const char* value = getenv(kNames[i]);
      saved_[i] = value ? std::make_unique<std::string>(value) : nullptr;
    }
  }
  void TearDown() override {
    for (int i = 0; i < 3; i++) set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }
  static void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  static std::string path(const char* name, u32 kind) {
    char out[kInstallPathSize];
    const char* error = makeInstallPath(name, kind, out);
    return error ? std::string("error: ") + error : std::string(out);
  }
  static constexpr const char* kNames[3] = {"PALVON_HOME", "PALVON_ETC", "PALVON_VAR"};
  std::unique_ptr<std::string> saved_[3];
};

TEST_F(InstallEnvironment, PathsByKind) {
  set("PALVON_HOME", "/opt/p/");
  set("PALVON_ETC", "/etc/p");
  set("PALVON_VAR", "/var/p");
  EXPECT_EQ(path("tool", kPathBin), "/opt/p/bin/tool");
  set("PALVON_HOME", "/opt/p");
  EXPECT_EQ(path("tool", kPathBin), "/opt/p/bin/tool");
  EXPECT_EQ(path("de", kPathLocale), "/opt/p/share/locale/de");
  EXPECT_EQ(path("index.html", kPathManual), "/opt/p/share/manual/index.html");
  EXPECT_EQ(path("palvon.conf", kPathEtc), "/etc/p/palvon.conf");
  EXPECT_EQ(path("x.log", kPathLog), "/var/p/logs/x.log");
  EXPECT_EQ(path("data", kPathVar), "/var/p/data");
  EXPECT_STREQ(getDocumentationPage(), "/opt/p/share/manual/index.html");
  for (u32 kind = kPathBin; kind <= kPathVar; kind++) EXPECT_EQ(path("/abs/name", kind), "/abs/name");
  set("PALVON_VAR", nullptr);
  EXPECT_EQ(path("x.log", kPathLog), "/etc/p/x.log");
  EXPECT_EQ(path("data", kPathVar), "/etc/p/data");
}

TEST_F(InstallEnvironment, MissingVariablesAreNamed) {
  for (const char* name : kNames) set(name, nullptr);
  const std::string tail = " not set - Be sure to start the wrapper script";
  EXPECT_EQ(path("tool", kPathBin), "error: Environment variable PALVON_HOME" + tail);
  EXPECT_EQ(path("a", kPathEtc), "error: Environment variable PALVON_ETC" + tail);
  EXPECT_EQ(path("a", kPathLog), "error: Environment variable PALVON_VAR" + tail);
  EXPECT_EQ(getHomeDirectory(), nullptr);
  EXPECT_STREQ(getLogFileName(), "stderr");
  EXPECT_EQ(std::string(getDocumentationPage()).rfind("https://", 0), 0u);
}

TEST_F(InstallEnvironment, TemporaryNamesAreFreshPrivateFiles) {
  test::TempDir dir;
  set("PALVON_VAR", dir.path().c_str());
  std::string first = path("palvo", kPathTemporary);
  std::string second = path("palvo", kPathTemporary);
  ASSERT_EQ(first.rfind(dir.path() + "/palvo", 0), 0u) << first;
  EXPECT_NE(first, second);
  struct stat info;
  ASSERT_EQ(stat(first.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  set("PALVON_VAR", (dir.path() + "/missing").c_str());
  EXPECT_EQ(path("palvo", kPathTemporary).rfind("error: Can't create temporary file", 0), 0u);
}

TEST_F(InstallEnvironment, LogFileNameAndVersion) {
  set("PALVON_VAR", "/var/p");
  std::string log = getLogFileName();
  EXPECT_EQ(log.rfind("/var/p/logs/", 0), 0u) << log;
  EXPECT_EQ(log.substr(log.size() - 6), "-0.log") << log;
  // The listeners' number is the one the log file is named by.
  setProxyDisplayNumber(17);
  log = getLogFileName();
  EXPECT_EQ(log.substr(log.size() - 7), "-17.log") << log;
  proxyDisplayNumber = -1;
  // 8.1 and the build date's day number (17 August 2021 is day 18856).
  EXPECT_STREQ(getProductVersion(), "8.1.18856");
  EXPECT_EQ(getProductVersion(), getProductVersion()) << "one buffer";
}

}  // namespace
}  // namespace palvon
