// The log: eighteen channels, each with a line template, written to one target
// (none, stderr, stdout, syslog, a plain file or an XHTML page).
//
// A channel that is off has activeTemplate == nullptr; test it before
// formatting anything (the LOGF macro does).
//
// Template characters: '*' the text, '%' the time stamp (while the time
// channel is on), '@' the source module and line ("orders68"), '&' the
// summary, '$' the pid, '|' "main thread", '~' the program name and a blank.
//
// A plain log file is also put on descriptor 2, so that stray output of
// libraries lands in the log (an XHTML page is not: stray bytes would break
// its markup); descriptor 2 is never left closed. Several
// processes may share one log file: every entry is written under the file's
// write lock, and threads of one process take the stream's own lock.
#pragma once

#include <cstddef>
#include <ctime>

#include "base/strings.h"

namespace palvon {

struct LogChannel {
  const char* activeTemplate;  // nullptr: the channel is off
  const char* name;            // singular, "error"
  const char* keyword;         // plural, "errors": looked up and counted by it
  LogChannel* parent;
  u32 priority;                // syslog priority
  u32 count;                   // entries written on this channel
  const char* plainTemplate;
  char xhtmlTemplate[200];
};

constexpr int kLogChannelSlots = 30;

// Global handles of the eighteen channels (valid after logInit).
extern LogChannel* logChIntro;
extern LogChannel* logChTime;
extern LogChannel* logChFatal;
extern LogChannel* logChError;
extern LogChannel* logChWarning;
extern LogChannel* logChProblem;
extern LogChannel* logChXerror;
extern LogChannel* logChNote;
extern LogChannel* logChInfo;
extern LogChannel* logChVerbose;
extern LogChannel* logChXclient;
extern LogChannel* logChXhint;
extern LogChannel* logChStep;
extern LogChannel* logChTrace;
extern LogChannel* logChHint;
extern LogChannel* logChAPI;
extern LogChannel* logChAssert;
extern LogChannel* logChBreakpoint;

// The installable writer of entries; initially logWriteLine.
using LogWriter = void (*)(LogChannel* channel, const char* sourceFile, u32 line, const char* text);
extern LogWriter logWriter;

// The seconds clock of time stamps and log headers (time() by default);
// nullptr restores the default.
using LogClock = time_t (*)();
void logSetClock(LogClock clock);

// Returns 1 when the only argument is one of the version words.
int logInit(int argc, char** argv, const char* version, const char* revision);
// "none"/"null", "stderr", "stdout", "syslog", or a file name; names ending
// in .htm, .html or .xhtml are XHTML pages. A file that cannot be used (or an
// existing page that is not one of our log pages) leaves the log on stderr.
void logSetTarget(const char* name);
// Writes text (from bigPrintf, or nullptr) on the channel and releases it with
// scratchFree, also when the channel is off.
void logText(LogChannel* channel, const char* sourceFile, u32 line, char* text);
void logStepf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text is a literal or a temporary string and is not released.
void logProblem(const char* text, const char* sourceFile, u32 line);
void logFatal(const char* sourceFile, u32 line, char* text);
LogChannel* logAddChannel(const char* name, const char* keyword, LogChannel* parent, u32 priority,
                          const char* plainTemplate);
void logPrepareChannel(LogChannel* channel);
LogChannel* logFindChannel(const char* keyword);
void logAllChannelsOff();
LogChannel* logSaveChannels();
void logRestoreChannels(LogChannel* saved);
void logReplayFile(void (*callback)(const char* data, size_t length));
// Writes the summary into out (at most size bytes, always terminated).
void logSummary(char* out, size_t size);
void logSessionHeader();
void logWriteLine(LogChannel* channel, const char* sourceFile, u32 line, const char* text);
// The current target's name (at most 4,095 characters).
const char* logTargetName();
bool logTargetIsFile();
const char* logRevision();
const char* logCommandLine();
const char* logProgramName();
u64 logUptimeSeconds();
u64 logElapsedMs();
// Names of the loaded shared objects joined by ", " (at most 2,047 bytes, in
// a static buffer).
const char* logLoadedLibraries();

inline bool logOn(const LogChannel* channel) { return channel && channel->activeTemplate; }

}  // namespace palvon

// Formats only when the channel is on.
#define LOGF(channel, ...)                                                          \
  do {                                                                              \
    if (::palvon::logOn(channel))                                                   \
      ::palvon::logText((channel), __FILE__, __LINE__, ::palvon::bigPrintf(__VA_ARGS__)); \
  } while (0)

// "Out of memory (module:line)" on the problem channel; evaluates to the text
// so that callers can return it.
#define PALVON_OOM()                                                                    \
  ([](const char* file, int line) {                                                     \
    const char* oomText = ::palvon::tmpPrintf("Out of memory (%s:%d)", ::palvon::sourceModule(file), line); \
    ::palvon::logProblem(oomText, file, line);                                          \
    return oomText;                                                                     \
  }(__FILE__, __LINE__))

// The markers for a state that should not occur and a feature that is
// registered but not built.
#define PALVON_UNE() ::palvon::logProblem("UNE", __FILE__, __LINE__)
#define PALVON_WIP() ::palvon::logProblem("WIP", __FILE__, __LINE__)
