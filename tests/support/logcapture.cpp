#include "support/logcapture.h"

#include <algorithm>

namespace palvon::test {

namespace {

std::vector<std::string> gLines;

void captureWriter(LogChannel* channel, const char*, u32, const char* text) {
  gLines.push_back(std::string(channel->name).append(": ").append(text));
}

}  // namespace

LogCapture::LogCapture(std::vector<LogChannel**> channels) {
  if (!logChInfo) {
    char name[] = "palvon-test";
    char* argv[] = {name, nullptr};
    logInit(1, argv, "0", "");
  }
  for (LogChannel** channel : channels) {
    savedTemplates_.emplace_back(*channel, (*channel)->activeTemplate);
    (*channel)->activeTemplate = "*";
  }
  savedWriter_ = logWriter;
  logWriter = captureWriter;
  gLines.clear();
}

LogCapture::~LogCapture() {
  logWriter = savedWriter_;
  for (auto& [channel, saved] : savedTemplates_) channel->activeTemplate = saved;
}

const std::vector<std::string>& LogCapture::lines() const { return gLines; }

bool LogCapture::contains(const std::string& line) const {
  return std::find(gLines.begin(), gLines.end(), line) != gLines.end();
}

void LogCapture::clear() { gLines.clear(); }

}  // namespace palvon::test
