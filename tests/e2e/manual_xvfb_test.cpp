// The layouts of the user's manual run as a user pastes them: each example's
// X servers start as its lines say (on display numbers of the test's own),
// then the proxy with the example's statements, and a client sees the screens
// and heads the page describes. The run-time example adds and removes a
// server with the page's own META client (DynamicServer); the Failsafe
// example loses a server. README.md's two-head example runs the same way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/manualpage.h"
#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

struct Layout {
  const char* page;     // in the source tree
  const char* heading;
  const char* screens;  // per screen "WxHxdepth", then XINERAMA's heads "WxH@x,y"
  int stopServer;       // the server (in the page's order) stopped once the proxy runs; -1 for none
  const char* shown;    // a line the page's second block prints; null when it has none
  const char* after;    // the screens after the stop or the second block
};

void PrintTo(const Layout& l, std::ostream* os) { *os << l.page << ": " << l.heading; }

std::vector<std::string> wordsOf(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// What xdpyinfo shows of the display: each screen's size and depth, then the
// heads XINERAMA lists (when the configuration may have several).
std::string screensOf(const std::string& display) {
  static const std::regex dimensions(R"(^\s+dimensions:\s+(\d+x\d+) pixels)");
  static const std::regex depth(R"(^\s+depth of root window:\s+(\d+) planes)");
  static const std::regex head(R"(^\s+head #\d+: (\d+x\d+) @ (\d+),(\d+))");
  ProgramResult r = runProgram({"xdpyinfo", "-ext", "XINERAMA"}, display, 20000);
  if (r.status != 0) return "xdpyinfo failed: " + r.err;
  std::istringstream in(r.out);
  std::string summary;
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, dimensions)) summary += (summary.empty() ? "" : " ") + m.str(1);
    else if (std::regex_search(line, m, depth)) summary += "x" + m.str(1);
    else if (std::regex_search(line, m, head)) summary += " " + m.str(1) + "@" + m.str(2) + "," + m.str(3);
  }
  return summary;
}

// One example as the page writes it: "Xvfb :N ... &" lines, files written
// with "cat > NAME <<'EOF'", and one "scripts/run.sh" line with the proxy's
// statements. The page's display numbers become the test's own.
class Example {
 public:
  // Starts the servers and the proxy; "" or why not.
  std::string start(const std::string& block) {
    std::istringstream in(block);
    std::map<std::string, std::string> files;
    for (std::string line; std::getline(in, line);) {
      while (!line.empty() && line.back() == '\\') {
        std::string next;
        std::getline(in, next);
        line.pop_back();
        line += next;
      }
      std::vector<std::string> words = wordsOf(line);
      if (words.empty()) continue;
      if (line.find_first_of("\"'$;|") != std::string::npos && words[0] != "cat")
        return "a line the test cannot take as it stands: " + line;
      if (words[0] == "Xvfb" && words.size() > 2 && words.back() == "&") {
        std::vector<std::string> args(words.begin() + 2, words.end() - 1);
        servers_.push_back(std::make_unique<Xvfb>(args));
        if (!servers_.back()->ok()) return "Xvfb: " + servers_.back()->error();
        numbers_[words[1]] = servers_.back()->display();
      } else if (words[0] == "cat" && words.size() == 4 && words[1] == ">" && words[3] == "<<'EOF'") {
        std::string& text = files[words[2]];
        for (std::string body; std::getline(in, body) && body != "EOF";) text += body + "\n";
      } else if (words[0] == "scripts/run.sh") {
        std::vector<std::string> statements;
        for (size_t i = 1; i < words.size(); i++) {
          // The test gives the proxy its own display and log.
          if ((words[i] == "connection" || words[i] == "logDestination") && i + 1 < words.size()) {
            if (words[i] == "connection") proxyNumber_ = words[i + 1];
            i++;
          } else if (files.count(words[i])) {
            writeFile(dir_.file(words[i]), map(files[words[i]]));
            statements.push_back(dir_.file(words[i]));
          } else {
            statements.push_back(map(words[i]));
          }
        }
        proxy_ = std::make_unique<ProxyProcess>(statements);
        if (!proxy_->ok()) return "the proxy did not start: " + proxy_->log();
        numbers_[proxyNumber_] = proxy_->display();
      } else {
        return "a line the test does not know: " + line;
      }
    }
    return proxy_ ? "" : "no scripts/run.sh line";
  }

  // The text with the page's display numbers (":11", ":11.0") as the test's.
  std::string map(const std::string& text) const {
    static const std::regex display(R"(:(\d+))");
    std::string out;
    std::sregex_iterator end;
    size_t at = 0;
    for (std::sregex_iterator i(text.begin(), text.end(), display); i != end; ++i) {
      auto found = numbers_.find(i->str(0));
      out += text.substr(at, size_t(i->position(0)) - at) + (found == numbers_.end() ? i->str(0) : found->second);
      at = size_t(i->position(0) + i->length(0));
    }
    return out + text.substr(at);
  }

  // Runs a block in bash, in the example's directory.
  ProgramResult runShell(const std::string& block) const {
    return runProgram({"bash", "-c", "cd '" + dir_.path() + "' && " + map(block)}, proxy_->display(), 60000);
  }

  void stopServer(size_t index) { servers_.at(index)->stop(); }
  const ProxyProcess& proxy() const { return *proxy_; }
  int waitForProxyEnd(int timeoutMs) { return proxy_->wait(timeoutMs); }

 private:
  TempDir dir_;
  std::vector<std::unique_ptr<Xvfb>> servers_;
  std::unique_ptr<ProxyProcess> proxy_;
  std::map<std::string, std::string> numbers_;
  std::string proxyNumber_;
};

class ManualLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ManualLayout, RunsAsThePageSays) {
  const Layout& layout = GetParam();
  std::string page = readFile(std::string(PALVON_SOURCE_DIR "/") + layout.page);
  std::vector<std::string> blocks = shellBlocks(pageSection(page, layout.heading));
  ASSERT_FALSE(blocks.empty()) << "no example under \"" << layout.heading << "\" in " << layout.page;
  Example example;
  std::string failed = example.start(blocks[0]);
  ASSERT_EQ(failed, "") << blocks[0];
  const std::string display = example.proxy().display();
  EXPECT_EQ(screensOf(display), layout.screens) << example.proxy().log();
  ProgramResult tool = runProgram({"xdotool", "mousemove", "10", "20", "getmouselocation"}, display, 20000);
  EXPECT_EQ(tool.status, 0) << tool.err << example.proxy().log();
  EXPECT_NE(tool.out.find("x:10 y:20"), std::string::npos) << tool.out;
  if (layout.stopServer >= 0) {
    example.stopServer(size_t(layout.stopServer));
    // The proxy notices the loss on its next exchange with the server.
    std::string screens;
    for (int i = 0; i < 100 && (screens = screensOf(display)) != layout.after; i++) usleep(200000);
    EXPECT_EQ(screens, layout.after) << example.proxy().log();
  }
  if (layout.shown) {
    ASSERT_GE(blocks.size(), 2u) << "no second block under \"" << layout.heading << "\"";
    ProgramResult shell = example.runShell(blocks[1]);
    EXPECT_EQ(shell.status, 0) << shell.err << example.proxy().log();
    EXPECT_NE(shell.out.find(layout.shown), std::string::npos) << shell.out << example.proxy().log();
    EXPECT_EQ(screensOf(display), layout.after) << example.proxy().log();
  }
}

constexpr const char* kManual = "docs/configuration.md";

INSTANTIATE_TEST_SUITE_P(
    Pages, ManualLayout,
    ::testing::Values(
        Layout{kManual, "One head", "1280x1024x24", -1, nullptr, nullptr},
        Layout{kManual, "Two heads side by side", "2044x766x24 1022x766@0,0 1022x766@1022,0", -1, nullptr, nullptr},
        Layout{kManual, "Two meta screens", "1022x766x24 1022x766x24", -1, nullptr, nullptr},
        Layout{kManual, "Heads of different depths", "2044x766x24 1022x766@0,0 1022x766@1022,0", -1, nullptr,
               nullptr},
        Layout{kManual, "An emulated 8-bit visual", "1024x768x8", -1, nullptr, nullptr},
        Layout{kManual, "A zoomed head", "2048x1536x24", -1, nullptr, nullptr},
        Layout{kManual, "A turned head", "768x1024x24", -1, nullptr, nullptr},
        Layout{kManual, "Failsafe: a server that goes away", "2044x766x24 1022x766@0,0 1022x766@1022,0", 1,
               nullptr, "2044x766x24 1022x766@0,0"},
        Layout{kManual, "Failsafe: the atom server", "2044x766x24 1022x766@0,0 1022x766@1022,0", 0, nullptr,
               "2044x766x24 1022x766@1022,0"},
        Layout{kManual, "A server joining and leaving at run time", "1022x766x24 1022x766@0,0", -1,
               "head #1: 1022x766 @ 1022,0", "1022x766x24 1022x766@0,0"},
        Layout{"README.md", "Beyond the default session", "2044x766x24 1022x766@0,0 1022x766@1022,0", -1, nullptr,
               nullptr}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.page) + "_" + info.param.heading)
        if (isalnum(static_cast<unsigned char>(c))) name += c;
      return name;
    });

// The page's Failsafe example without its first server, the atom server:
// the proxy ends, as the page says.
TEST(ManualFailsafe, LosingTheAtomServerEndsTheProxy) {
  std::string page = readFile(std::string(PALVON_SOURCE_DIR "/") + kManual);
  std::vector<std::string> blocks = shellBlocks(pageSection(page, "Failsafe: a server that goes away"));
  ASSERT_FALSE(blocks.empty());
  Example example;
  ASSERT_EQ(example.start(blocks[0]), "");
  example.stopServer(0);
  EXPECT_EQ(example.waitForProxyEnd(20000), 1) << example.proxy().log();
  EXPECT_NE(example.proxy().log().find("is offline (atom server)"), std::string::npos) << example.proxy().log();
}

}  // namespace
}  // namespace palvon::test
