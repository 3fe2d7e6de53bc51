// Minimal log: every channel writes its text to stderr. The full channel
// templates and targets replace this.
#include "base/logging.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace palvon {

namespace {
LogChannel gChannels[kLogChannelSlots];
char gTarget[4096] = "stderr";
}  // namespace

LogChannel* logChIntro;
LogChannel* logChTime;
LogChannel* logChFatal;
LogChannel* logChError;
LogChannel* logChWarning;
LogChannel* logChProblem;
LogChannel* logChXerror;
LogChannel* logChNote;
LogChannel* logChInfo;
LogChannel* logChVerbose;
LogChannel* logChXclient;
LogChannel* logChXhint;
LogChannel* logChStep;
LogChannel* logChTrace;
LogChannel* logChHint;
LogChannel* logChAPI;
LogChannel* logChAssert;
LogChannel* logChBreakpoint;
LogWriter logWriter = logWriteLine;

LogChannel* logAddChannel(const char* name, const char* keyword, LogChannel* parent, u32 priority,
                          const char* plainTemplate) {
  for (auto& slot : gChannels) {
    if (slot.name) continue;
    slot = LogChannel{nullptr, name, keyword, parent, priority, 0, plainTemplate, {}};
    return &slot;
  }
  return nullptr;
}

void logPrepareChannel(LogChannel* channel) { channel->activeTemplate = channel->plainTemplate; }

int logInit(int argc, char** argv, const char*, const char*) {
  if (!logChError) {
    logChIntro = logAddChannel("intro", "intros", nullptr, 3, "INTRO\n");
    logChTime = logAddChannel("time", "times", nullptr, 3, "TIME\n");
    logChFatal = logAddChannel("fatal", "fatals", nullptr, 3, "%EXITED: * (&)\n");
    logChError = logAddChannel("error", "errors", logChFatal, 3, "%ERROR @: *\n");
    logChWarning = logAddChannel("warning", "warnings", logChError, 4, "%WARNING: *\n");
    logChProblem = logAddChannel("problem", "problems", logChError, 4, "%POTENTIAL PROBLEM: * (@)\n");
    logChXerror = logAddChannel("Xerror", "Xerrors", logChError, 5, "%*\n");
    logChNote = logAddChannel("note", "notes", logChWarning, 5, "%*\n");
    logChInfo = logAddChannel("info", "infos", logChNote, 6, "*\n");
    logChVerbose = logAddChannel("verbose", "verboses", logChInfo, 6, "");
    logChXclient = logAddChannel("Xclient", "Xclients", logChInfo, 6, "%*\n");
    logChXhint = logAddChannel("Xhint", "Xhints", logChInfo, 6, "%*\n");
    logChStep = logAddChannel("step", "steps", logChInfo, 6, "%*\n");
    logChTrace = logAddChannel("trace", "traces", logChInfo, 7, "%*\n");
    logChHint = logAddChannel("hint", "hints", logChInfo, 7, "%* at @\n");
    logChAPI = logAddChannel("API", "APIs", logChInfo, 7, "%*\n");
    logChAssert = logAddChannel("assert", "asserts", logChInfo, 7, "%ASSERTION FAILED *\n");
    logChBreakpoint = logAddChannel("breakpoint", "breakpoints", logChInfo, 7, "%BREAKPOINT *\n");
  }
  for (LogChannel* c : {logChIntro, logChTime, logChFatal, logChError, logChWarning, logChProblem,
                        logChXerror, logChNote, logChInfo, logChTrace, logChHint, logChAPI,
                        logChAssert, logChBreakpoint})
    logPrepareChannel(c);
  if (argc == 2 && argv[1][0] == '-') {
    for (const char* word : {"-info", "--info", "-version", "--version"})
      if (strcasecmp(argv[1], word) == 0) return 1;
  }
  return 0;
}

void logSetTarget(const char* name) { strCopy(gTarget, name, sizeof gTarget); }

void logWriteLine(LogChannel* channel, const char*, u32, const char* text) {
  std::fprintf(stderr, "%s: %s\n", channel->name, text);
}

void logText(LogChannel* channel, const char* sourceFile, u32 line, char* text) {
  if (!text) return;
  if (logOn(channel)) {
    logWriter(channel, sourceFile, line, text);
    channel->count++;
  }
  scratchFree(text);
}

void logStepf(const char* format, ...) {
  if (!logOn(logChStep)) return;
  char buffer[16384];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  logWriter(logChStep, __FILE__, __LINE__, buffer);
  logChStep->count++;
}

void logProblem(const char* text, const char* sourceFile, u32 line) {
  if (!logOn(logChProblem)) return;
  logWriter(logChProblem, sourceFile, line, text);
  logChProblem->count++;
}

void logFatal(const char* sourceFile, u32 line, char* text) { logText(logChFatal, sourceFile, line, text); }

const char* logTargetName() { return gTarget; }

}  // namespace palvon
