// Captures what the proxy logs on chosen channels, for tests that check the
// system's own messages.
#pragma once

#include <string>
#include <vector>

#include "base/logging.h"

namespace palvon::test {

class LogCapture {
 public:
  // Switches the given channels on (the log is set up once per process)
  // and records every entry written on any channel while alive.
  explicit LogCapture(std::vector<LogChannel**> channels);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Entries as "channel: text", in order.
  const std::vector<std::string>& lines() const;
  bool contains(const std::string& line) const;
  void clear();

 private:
  LogWriter savedWriter_;
  std::vector<std::pair<LogChannel*, const char*>> savedTemplates_;
};

}  // namespace palvon::test
