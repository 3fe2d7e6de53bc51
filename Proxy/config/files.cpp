// Installation directories, product and version texts.
#include "Proxy/config/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "Proxy/config/config.h"
#include "Proxy/startup.h"
#include "base/hostclock.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/timeval.h"

namespace palvon {

namespace {

constexpr const char* kProductName = "Palvon";
constexpr const char* kMakerName = "Morvandell";
constexpr const char* kMakerDocumentation = "https://www.morvandell.com/palvon/manual/";

char gHomeDirectory[kInstallPathSize];

// Joins base and name into out with one '/' between them (none added when
// base already ends with one); the result is cut at kInstallPathSize.
void joinPath(char* out, const char* base, const char* middle, const char* name) {
  size_t used = 0;
  auto append = [&](const char* part) {
    size_t n = strlen(part);
    if (n > kInstallPathSize - 1 - used) n = kInstallPathSize - 1 - used;
    memcpy(out + used, part, n);
    used += n;
  };
  append(base);
  if (!base[0] || base[strlen(base) - 1] != '/') append("/");
  if (middle) {
    append(middle);
    append("/");
  }
  append(name);
  out[used] = '\0';
}

// A new empty file "<directory>/<prefix>XXXXXX" that only this process
// created; its name goes to out.
const char* makeTemporaryFile(const char* directory, const char* prefix, char* out) {
  if (!directory) {
    directory = getenv("TMPDIR");
    if (!directory || !*directory) directory = "/tmp";
  }
  char name[kInstallPathSize];
  snprintf(name, sizeof name, "%sXXXXXX", prefix);
  joinPath(out, directory, nullptr, name);
  size_t length = strlen(out);
  if (length < 6 || strcmp(out + length - 6, "XXXXXX") != 0)
    return tmpPrintf("Can't create temporary file in '%s': name too long", directory);
  int fd = mkstemp(out);
  if (fd < 0) return tmpPrintf("Can't create temporary file '%s': %s", out, errnoText(errno));
  close(fd);
  return nullptr;
}

}  // namespace

const char* missingEnvironmentText(const char* suffix) {
  return tmpPrintf("Environment variable PALVON_%s not set - Be sure to start the wrapper script",
                   suffix);
}

const char* getHomeDirectory() {
  const char* home = getenv("PALVON_HOME");
  if (!home) return nullptr;
  strCopy(gHomeDirectory, home, sizeof gHomeDirectory);
  return gHomeDirectory;
}

const char* getEtcDirectory() { return getenv("PALVON_ETC"); }

const char* makeInstallPath(const char* name, u32 kind, char* out) {
  if (name[0] == '/') {
    strCopy(out, name, kInstallPathSize);
    return nullptr;
  }
  static constexpr const char* kHomeParts[] = {"bin", "share/locale", "share/manual"};
  const char* var = getenv("PALVON_VAR");
  const char* etc = getEtcDirectory();
  switch (kind) {
    case kPathBin:
    case kPathLocale:
    case kPathManual: {
      const char* home = getHomeDirectory();
      if (!home) return missingEnvironmentText("HOME");
      joinPath(out, home, kHomeParts[kind], name);
      return nullptr;
    }
    case kPathEtc:
      if (!etc) return missingEnvironmentText("ETC");
      joinPath(out, etc, nullptr, name);
      return nullptr;
    case kPathTemporary:
      return makeTemporaryFile(var ? var : etc, name, out);
    case kPathLog:
    case kPathVar:
      if (var) joinPath(out, var, kind == kPathLog ? "logs" : nullptr, name);
      else if (etc) joinPath(out, etc, nullptr, name);
      else return missingEnvironmentText("VAR");
      return nullptr;
    default:
      PALVON_UNE();
      strCopy(out, name, kInstallPathSize);
      return nullptr;
  }
}

const char* getDocumentationPage() {
  static char page[kInstallPathSize];
  if (makeInstallPath("index.html", kPathManual, page)) return kMakerDocumentation;
  return page;
}

const char* getLogFileName() {
  static char path[kInstallPathSize];
  const char* name = tmpPrintf("%s-%s-%u.log", logProgramName(), userLoginName(),
                               getProxyDisplayNumber());
  if (makeInstallPath(name, kPathLog, path)) return "stderr";
  return path;
}

const char* getProductName() { return kProductName; }
const char* getMakerName() { return kMakerName; }

// The version: major, minor and a build number, the build date's day
// number counted from 1 January 1970.
constexpr unsigned kVersionMajor = 8;
constexpr unsigned kVersionMinor = 1;
constexpr const char* kBuildDate = "Aug 17 2021";

const char* getProductVersion() {
  static char version[60];
  if (!version[0]) {
    time_t built = 0;
    // Local midnight: half a day either way still names the same day.
    u32 build = parseBuildDate(kBuildDate, &built) ? static_cast<u32>((built + 43200) / 86400) : 0;
    snprintf(version, sizeof version, "%u.%u.%u", kVersionMajor, kVersionMinor, build);
  }
  return version;
}

void printVersionReport(FILE* out) {
  fprintf(out, "%s %s\n", kProductName, getProductVersion());
  fprintf(out, "%-13s%s\n", "Version:", getProductVersion());
  if (logRevision() && logRevision()[0]) fprintf(out, "%-13s%s\n", "Revision:", logRevision());
  fprintf(out, "%-13s%s\n", "Maker:", kMakerName);
  fprintf(out, "%-13s%s\n", "Host:", hostName());
  fprintf(out, "%-13s%s %s\n", "System:", osText(), machineName());
  fprintf(out, "%-13s%s\n", "Options:", wrapText(formatOptionWords(0xffffffffu)));
  fflush(out);
}

}  // namespace palvon
