// Programs of a widget toolkit through the proxy program, in the default
// configuration, on one head and on two side by side: a GTK 3 program
// starts and maps its window, and xdpyinfo reads every extension the proxy
// lists to the end. Both ask extensions for their versions at start-up and
// drop the connection when a reply comes back with another sequence number.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

class Toolkits : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < GetParam(); i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
};

// The names under "number of extensions:" in xdpyinfo's report.
std::vector<std::string> listedExtensions(const std::string& report) {
  std::vector<std::string> names;
  std::istringstream in(report);
  bool inList = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("number of extensions:", 0) == 0) {
      inList = true;
      continue;
    }
    if (!inList) continue;
    if (line.empty() || line[0] != ' ') break;
    names.push_back(line.substr(line.find_first_not_of(' ')));
  }
  return names;
}

TEST_P(Toolkits, GtkProgramMapsItsWindow) {
  // The window is looked for through the proxy until it is viewable; the
  // program's status tells a start-up failure (1) from our kill (143).
  std::string script =
      "NO_AT_BRIDGE=1 GDK_BACKEND=x11 zenity --info --title palvon-toolkit --text hello & p=$!; "
      "for i in $(seq 150); do xwininfo -name palvon-toolkit 2>/dev/null | grep -q IsViewable && break; "
      "kill -0 $p 2>/dev/null || break; sleep 0.1; done; "
      "xwininfo -name palvon-toolkit | grep 'Map State'; kill $p; wait $p; echo status=$?";
  ProgramResult result = runProgram({"sh", "-c", script}, proxy->display(), 30000);
  ASSERT_FALSE(result.timedOut);
  EXPECT_NE(result.out.find("IsViewable"), std::string::npos) << result.out << result.err << proxy->log();
  EXPECT_NE(result.out.find("status=143"), std::string::npos) << result.out << result.err;
}

TEST_P(Toolkits, XdpyinfoReadsEveryListedExtension) {
  ProgramResult result = runProgram({"xdpyinfo", "-ext", "all"}, proxy->display(), 20000);
  ASSERT_EQ(result.status, 0) << result.err << proxy->log();
  EXPECT_EQ(result.err.find("broken"), std::string::npos) << result.err;
  std::vector<std::string> names = listedExtensions(result.out);
  EXPECT_GE(names.size(), 5u) << result.out;
  for (const std::string& name : names)
    EXPECT_EQ(result.err.find("\"" + name + "\" missing"), std::string::npos) << name << "\n" << result.err;
  // The report goes on past the last extension's section to the screens.
  EXPECT_NE(result.out.find("screen #0:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Heads, Toolkits, ::testing::Values(1, 2));

}  // namespace
}  // namespace palvon::test
