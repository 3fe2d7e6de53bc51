#include "base/logging.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "base/hostclock.h"
#include "base/logmarkup.h"

namespace palvon {

namespace {

constexpr size_t kLineSize = 16464;
constexpr size_t kTargetSize = 4096;
constexpr size_t kCommandLineSize = 8192;
constexpr size_t kRevisionSize = 88;
constexpr size_t kLibrariesSize = 2048;
constexpr size_t kReplayPiece = 16384;
constexpr time_t kNever = static_cast<time_t>(~0ull >> 1);

LogChannel gChannels[kLogChannelSlots];
char gTarget[kTargetSize];
FILE* gStream;
bool gSyslog;
bool gNamedFile;
bool gXhtml;
time_t gNextHeader = kNever;
time_t gLastStamp = -1;
timeval gStart;
unsigned gPid;
char gVersion[128];
char gRevision[kRevisionSize];
char gProgramPath[kTargetSize];
char gCommandLine[kCommandLineSize];
// The process's own standard error, kept while descriptor 2 carries a file.
int gSavedStderr = -1;

time_t systemClock() { return time(nullptr); }
LogClock gClock = systemClock;

// --- Descriptor 2 -------------------------------------------------------------

// Descriptor 2 must always be open: a closed 2 would be handed to the next
// socket, and every library message would then go down that socket.
void ensureStderrOpen() {
  if (fcntl(2, F_GETFD) != -1) return;
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0 && null != 2) {
    dup2(null, 2);
    close(null);
  }
}

void pointStderrAt(int descriptor) {
  fflush(stderr);
  if (gSavedStderr < 0) gSavedStderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
  dup2(descriptor, 2);
}

void restoreStderr() {
  fflush(stderr);
  if (gSavedStderr >= 0) dup2(gSavedStderr, 2);
  ensureStderrOpen();
}

// --- Targets ------------------------------------------------------------------

bool nameIsPage(const char* name) {
  size_t length = strlen(name);
  for (const char* ending : {".htm", ".html", ".xhtml"}) {
    size_t n = strlen(ending);
    if (length >= n && strcasecmp(name + length - n, ending) == 0) return true;
  }
  return false;
}

// Positions the stream where the next entry goes: the end, or in front of a
// page's trailer.
void seekAppendPoint() {
  if (gXhtml) fseek(gStream, -static_cast<long>(kPageTrailerSize), SEEK_END);
  else fseek(gStream, 0, SEEK_END);
}

// An existing page is ours only when it ends in our trailer; anything else
// would lose its last bytes to the first entry. An empty file gets the page.
bool preparePage(FILE* stream) {
  if (fseek(stream, 0, SEEK_END) != 0) return false;
  long size = ftell(stream);
  if (size == 0) {
    writePageHeader(stream, logProgramName(), hostName(), gClock());
    fputs(kPageTrailer, stream);
    return fflush(stream) == 0;
  }
  if (size < static_cast<long>(kPageTrailerSize)) return false;
  char tail[kPageTrailerSize];
  fseek(stream, -static_cast<long>(kPageTrailerSize), SEEK_END);
  if (fread(tail, 1, kPageTrailerSize, stream) != kPageTrailerSize) return false;
  return memcmp(tail, kPageTrailer, kPageTrailerSize) == 0;
}

// The log holds the command line, keys included: a new file is the owner's
// alone, and a link planted where the log goes is not followed (it would
// take the log, or the file it names, elsewhere).
int openOrCreate(const char* name) {
  int descriptor = open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor >= 0 || errno != ENOENT) return descriptor;
  descriptor = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (descriptor >= 0) fchmod(descriptor, 0600);
  else if (errno == EEXIST) descriptor = open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  return descriptor;
}

// nullptr, or why the file cannot carry the log.
const char* openFile(const char* name) {
  int descriptor = openOrCreate(name);
  if (descriptor < 0) return errnoText(errno);
  FILE* stream = fdopen(descriptor, "r+");
  if (!stream) {
    const char* why = errnoText(errno);
    close(descriptor);
    return why;
  }
  bool page = nameIsPage(name);
  if (page) {
    fileLockWrite(stream);
    bool ours = preparePage(stream);
    fileUnlock(stream);
    if (!ours) {
      fclose(stream);
      return "not a log page";
    }
  }
  gStream = stream;
  gNamedFile = true;
  gXhtml = page;
  // Stray bytes behind a page's trailer would break its markup for good, so
  // only plain files take over descriptor 2.
  if (!page) pointStderrAt(descriptor);
  return nullptr;
}

void closeTarget() {
  if (gSyslog) closelog();
  if (gNamedFile) {
    restoreStderr();
    fclose(gStream);
  }
  gStream = nullptr;
  gSyslog = gNamedFile = gXhtml = false;
}

// --- Entries ------------------------------------------------------------------

void timeStamp(LineWriter& out, time_t now) {
  if (!logOn(logChTime)) return;
  if (now != gLastStamp) {
    gLastStamp = now;
    out.put(timeFormatLocal(now, "%H:%M:%S "), kStampSize);
  } else if (!gXhtml) {
    out.put("         ", kStampSize);
  }
}

// '@': the source file's base name with everything from its first '.'
// replaced by the line number.
void sourcePosition(LineWriter& out, const char* file, u32 line, size_t budget) {
  const char* base = file ? file : "";
  if (const char* slash = strrchr(base, '/')) base = slash + 1;
  size_t length = strcspn(base, ".");
  char text[kSourceCap + 1];
  snprintf(text, sizeof text, "%.*s%u", static_cast<int>(length < kSourceCap - 10 ? length : kSourceCap - 10),
           base, line);
  out.putText(text, budget, gXhtml);
}

size_t expand(const char* tmpl, const char* file, u32 line, const char* text, time_t now, char* buffer) {
  LineWriter out(buffer, kLineSize);
  size_t need = templateNeed(tmpl);
  for (const char* t = tmpl; *t; t++) {
    need -= itemNeed(*t);
    size_t budget = out.room() > need ? out.room() - need : 0;
    switch (*t) {
      case '*':
        if (gXhtml) out.putMessage(text, budget);
        else out.put(text, strnlen(text, budget));
        break;
      case '%': timeStamp(out, now); break;
      case '@': sourcePosition(out, file, line, budget); break;
      case '&': {
        char summary[kSummaryCap + 1];
        logSummary(summary, sizeof summary);
        out.putText(summary, budget, gXhtml);
        break;
      }
      case '$': out.putf("%u", gPid); break;
      case '|': out.put("main thread", 11); break;
      case '~':
        if (!gSyslog) {
          out.putText(tmpPrintf("%.*s ", static_cast<int>(kProgramCap), logProgramName()), budget, gXhtml);
        }
        break;
      default: out.put(t, 1); break;
    }
  }
  return out.finish();
}

// The header line of a plain target, or the header block of a page.
void writeHeader(time_t now) {
  if (logOn(logChIntro)) {
    if (gXhtml) {
      const char* library = getenv("LD_LIBRARY_PATH");
      writePageSessionHeader(gStream, timeFormatLocal(now, "%Y-%m-%d"), gVersion, gRevision,
                             tmpPrintf("%s %s", osText(), machineName()), gCommandLine, library ? library : "");
    } else {
      struct sysinfo info;
      long uptime = sysinfo(&info) == 0 ? info.uptime : 0;
      // A build without a revision leaves the field out rather than empty.
      fprintf(gStream, "\n%s %s %s at %s (pid %u, %s %s, %s up%s%s)\n", timeFormatLocal(now, "%y-%m-%d"),
              logProgramName(), gVersion, hostName(), gPid, osText(), machineName(), formatDuration(uptime),
              gRevision[0] ? ", " : "", gRevision);
    }
  }
  time_t later = now + 100;
  tm local;
  localtime_r(&later, &local);
  local.tm_hour = 23;
  local.tm_min = 59;
  local.tm_sec = 59;
  local.tm_isdst = -1;
  gNextHeader = mktime(&local);
}

// The file lock keeps other processes out; the stream's own lock keeps the
// seek, the entry and the trailer of two threads from interleaving.
void lockForEntry() {
  flockfile(gStream);
  if (!gNamedFile) return;
  fileLockWrite(gStream);
  seekAppendPoint();
}

void finishEntry() {
  if (gXhtml) fputs(kPageTrailer, gStream);
  fflush(gStream);
  if (gNamedFile) fileUnlock(gStream);
  funlockfile(gStream);
}

// Any thread may log; the counts feed the summary.
void countEntry(LogChannel* channel) { __atomic_fetch_add(&channel->count, 1, __ATOMIC_RELAXED); }

void createChannels() {
  memset(gChannels, 0, sizeof gChannels);
  logChIntro = logAddChannel("intro", "intros", nullptr, LOG_ERR, "INTRO\n");
  logChTime = logAddChannel("time", "times", nullptr, LOG_ERR, "TIME\n");
  logChFatal = logAddChannel("fatal", "fatals", nullptr, LOG_ERR, "%EXITED: * (&)\n");
  logChError = logAddChannel("error", "errors", logChFatal, LOG_ERR, "%ERROR @: *\n");
  logChWarning = logAddChannel("warning", "warnings", logChError, LOG_WARNING, "%WARNING: *\n");
  logChProblem = logAddChannel("problem", "problems", logChError, LOG_WARNING, "%POTENTIAL PROBLEM: * (@)\n");
  logChXerror = logAddChannel("Xerror", "Xerrors", logChError, LOG_NOTICE, "%*\n");
  logChNote = logAddChannel("note", "notes", logChWarning, LOG_NOTICE, "%*\n");
  logChInfo = logAddChannel("info", "infos", logChNote, LOG_INFO, "*\n");
  logChVerbose = logAddChannel("verbose", "verboses", logChInfo, LOG_INFO, "");
  logChXclient = logAddChannel("Xclient", "Xclients", logChInfo, LOG_INFO, "%*\n");
  logChXhint = logAddChannel("Xhint", "Xhints", logChInfo, LOG_INFO, "%*\n");
  logChStep = logAddChannel("step", "steps", logChInfo, LOG_INFO, "%*\n");
  logChTrace = logAddChannel("trace", "traces", logChInfo, LOG_DEBUG, "%*\n");
  logChHint = logAddChannel("hint", "hints", logChInfo, LOG_DEBUG, "%* at @\n");
  logChAPI = logAddChannel("API", "APIs", logChInfo, LOG_DEBUG, "%*\n");
  logChAssert = logAddChannel("assert", "asserts", logChInfo, LOG_DEBUG, "%ASSERTION FAILED *\n");
  logChBreakpoint = logAddChannel("breakpoint", "breakpoints", logChInfo, LOG_DEBUG, "%BREAKPOINT *\n");
  for (LogChannel* c = gChannels; c < gChannels + kLogChannelSlots && c->name; c++) {
    if (c != logChVerbose && c != logChXclient && c != logChXhint && c != logChStep) logPrepareChannel(c);
  }
}

void recordCommandLine(int argc, char** argv) {
  strCopy(gProgramPath, argc > 0 && argv[0] ? argv[0] : "", sizeof gProgramPath);
  gCommandLine[0] = 0;
  for (int i = 0; i < argc; i++) {
    strAppend(gCommandLine, argv[i] ? argv[i] : "", sizeof gCommandLine);
    strAppend(gCommandLine, " ", sizeof gCommandLine);
  }
}

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

void logSetClock(LogClock clock) { gClock = clock ? clock : systemClock; }

int logInit(int argc, char** argv, const char* version, const char* revision) {
  gettimeofday(&gStart, nullptr);
  gPid = static_cast<unsigned>(getpid());
  gLastStamp = -1;
  strCopy(gVersion, version ? version : "", sizeof gVersion);
  strCopy(gRevision, revision ? revision : "", sizeof gRevision);
  ensureStderrOpen();
  createChannels();
  recordCommandLine(argc, argv);
  int versionOnly = 0;
  if (argc == 2 && argv[1] && argv[1][0] == '-') {
    for (const char* word : {"-info", "--info", "-version", "--version"})
      if (strcasecmp(argv[1], word) == 0) versionOnly = 1;
  }
  logSetTarget(versionOnly ? "stdout" : "stderr");
  return versionOnly;
}

void logSetTarget(const char* name) {
  if (!name || strcmp(name, gTarget) == 0) return;
  // name may be the caller's copy of the current target: read it first.
  const char* failure = nullptr;
  char wanted[kTargetSize];
  strCopy(wanted, name, sizeof wanted);
  name = wanted;
  strCopy(gTarget, name, sizeof gTarget);
  closeTarget();
  gNextHeader = 0;
  if (!strcmp(name, "none") || !strcmp(name, "null")) {
    gNextHeader = kNever;
  } else if (!strcmp(name, "stderr") || !strcmp(name, "stdout")) {
    gStream = name[3] == 'e' ? stderr : stdout;
  } else if (!strcmp(name, "syslog")) {
    openlog(logProgramName(), 0, LOG_USER);
    gSyslog = true;
    if (logChTime) logChTime->activeTemplate = nullptr;
    gNextHeader = kNever;
  } else if ((failure = openFile(name))) {
    strCopy(gTarget, "stderr", sizeof gTarget);
    gStream = stderr;
  }
  for (LogChannel* c = gChannels; c < gChannels + kLogChannelSlots && c->name; c++) {
    if (c->activeTemplate) logPrepareChannel(c);
  }
  if (failure) LOGF(logChWarning, "Can't log to %s (%s), logging to stderr", name, failure);
}

void logWriteLine(LogChannel* channel, const char* sourceFile, u32 line, const char* text) {
  if (!logOn(channel) || !*channel->activeTemplate) return;
  time_t now = gClock();
  char buffer[kLineSize];
  if (gSyslog) {
    expand(channel->activeTemplate, sourceFile, line, text ? text : "", now, buffer);
    return syslog(static_cast<int>(channel->priority), "%s", buffer);
  }
  if (!gStream) return;
  lockForEntry();
  // Composed under the lock, so that time stamps follow the order of lines.
  expand(channel->activeTemplate, sourceFile, line, text ? text : "", now, buffer);
  if (now >= gNextHeader) writeHeader(now);
  fputs(buffer, gStream);
  finishEntry();
}

void logSessionHeader() {
  if (!gStream) return;
  lockForEntry();
  writeHeader(gClock());
  finishEntry();
}

void logText(LogChannel* channel, const char* sourceFile, u32 line, char* text) {
  if (!text) return;
  if (logOn(channel)) {
    logWriter(channel, sourceFile, line, text);
    countEntry(channel);
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
  countEntry(logChStep);
}

void logProblem(const char* text, const char* sourceFile, u32 line) {
  if (!text || !logOn(logChProblem)) return;
  logWriter(logChProblem, sourceFile, line, text);
  countEntry(logChProblem);
}

void logFatal(const char* sourceFile, u32 line, char* text) {
  if (!text) return;
  if (strcmp(gTarget, "stderr") && strcmp(gTarget, "stdout") && strcmp(gTarget, "none") &&
      strcmp(gTarget, "null")) {
    char summary[kSummaryCap + 1];
    logSummary(summary, sizeof summary);
    printf("%s exited: %s (%s)\n", logProgramName(), text, summary);
    fflush(stdout);
  }
  logText(logChFatal, sourceFile, line, text);
}

LogChannel* logAddChannel(const char* name, const char* keyword, LogChannel* parent, u32 priority,
                          const char* plainTemplate) {
  for (LogChannel& slot : gChannels) {
    if (slot.name) continue;
    slot = LogChannel{nullptr, name, keyword, parent, priority, 0, plainTemplate, {}};
    return &slot;
  }
  return nullptr;
}

void logPrepareChannel(LogChannel* channel) {
  // A channel without a line (verbose) stays silent on every target.
  if (!gXhtml || !channel->plainTemplate[0]) {
    channel->activeTemplate = channel->plainTemplate;
    return;
  }
  const char* format = channel == logChFatal
                           ? "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                             "<span class=\"src\">@</span>* (&)</dd>\n"
                           : "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                             "<span class=\"src\">@</span>*</dd>\n";
  snprintf(channel->xhtmlTemplate, sizeof channel->xhtmlTemplate, format, channel->name, channel->name, gPid);
  channel->activeTemplate = channel->xhtmlTemplate;
}

LogChannel* logFindChannel(const char* keyword) {
  for (LogChannel* c = gChannels; c < gChannels + kLogChannelSlots && c->name; c++)
    if (strcasecmp(c->keyword, keyword) == 0) return c;
  return nullptr;
}

void logAllChannelsOff() {
  for (LogChannel& c : gChannels) c.activeTemplate = nullptr;
}

LogChannel* logSaveChannels() {
  return static_cast<LogChannel*>(memdup(gChannels, sizeof gChannels));
}

void logRestoreChannels(LogChannel* saved) {
  if (!saved) return;
  memcpy(gChannels, saved, sizeof gChannels);
  free(saved);
}

void logReplayFile(void (*callback)(const char* data, size_t length)) {
  if (!gNamedFile || strlen(gTarget) >= kTargetSize) return;
  bool standardInput = strcmp(gTarget, "-") == 0;
  FILE* file = standardInput ? stdin : fopen(gTarget, "r");
  if (!file) return;
  LogChannel* saved = logSaveChannels();
  logAllChannelsOff();
  char* piece = static_cast<char*>(scratchAlloc(kReplayPiece));
  if (piece) {
    size_t n;
    while ((n = fread(piece, 1, kReplayPiece, file)) > 0) callback(piece, n);
    scratchFree(piece);
  }
  logRestoreChannels(saved);
  if (!standardInput) fclose(file);
}

void logSummary(char* out, size_t size) {
  if (!size) return;
  out[0] = 0;
  bool any = false;
  for (LogChannel* c = gChannels; c < gChannels + kLogChannelSlots && c->name; c++) {
    if (!c->count) continue;
    if (any) strAppend(out, ", ", size);
    strAppend(out, tmpPrintf("%u %s", c->count, c->count == 1 ? c->name : c->keyword), size);
    any = true;
  }
  if (any) {
    strAppend(out, " logged to ", size);
    strAppend(out, gTarget, size);
    strAppend(out, ", ", size);
  }
  strAppend(out, tmpPrintf("pid %u, ", gPid), size);
  strAppend(out, formatDuration(static_cast<long>(logUptimeSeconds())), size);
  strAppend(out, " up", size);
}

const char* logTargetName() { return gTarget; }
bool logTargetIsFile() { return gNamedFile; }
const char* logRevision() { return gRevision; }
const char* logCommandLine() { return gCommandLine; }

const char* logProgramName() {
  const char* name = strrchr(gProgramPath, '/');
  name = name ? name + 1 : gProgramPath;
  while (*name == ' ' || *name == '\t' || *name == '_') name++;
  return name;
}

u64 logElapsedMs() {
  timeval now;
  gettimeofday(&now, nullptr);
  i64 ms = (static_cast<i64>(now.tv_sec) - gStart.tv_sec) * 1000 + (now.tv_usec - gStart.tv_usec) / 1000;
  return ms > 0 ? static_cast<u64>(ms) : 0;
}

u64 logUptimeSeconds() { return logElapsedMs() / 1000; }

const char* logLoadedLibraries() {
  static char list[kLibrariesSize];
  list[0] = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        if (!info->dlpi_name || !info->dlpi_name[0]) return 0;
        if (list[0]) strAppend(list, ", ", sizeof list);
        strAppend(list, info->dlpi_name, sizeof list);
        return 0;
      },
      nullptr);
  return list;
}

}  // namespace palvon
