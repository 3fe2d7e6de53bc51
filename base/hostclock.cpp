#include "base/hostclock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

namespace palvon {

namespace {
char gHostName[80];
}

const char* hostName() {
  if (gHostName[0]) return gHostName;
  char name[80];
  if (gethostname(name, sizeof name - 1) != 0) return "UNSET";
  name[sizeof name - 1] = 0;
  strCopy(gHostName, name, sizeof gHostName);
  return gHostName[0] ? gHostName : "UNSET";
}

const char* osText() {
  utsname info;
  if (uname(&info) == 0 && (!std::strcmp(info.machine, "x86_64") || !std::strcmp(info.machine, "ia64")))
    return "Linux (x86_64)";
  return "Linux (x86_32)";
}

const char* machineName() {
  utsname info;
  if (uname(&info) != 0) return "?";
  return tmpCopy(info.machine);
}

u64 timeNowMs() {
  timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<u64>(now.tv_sec) * 1000 + static_cast<u64>(now.tv_usec) / 1000;
}

const char* timeFormatLocal(time_t time, const char* format) {
  char* piece = tmpAlloc(60);
  tm local;
  localtime_r(&time, &local);
  if (strftime(piece, 60, format, &local) == 0) piece[0] = 0;
  return piece;
}

const char* formatTimeLocal(time_t time, const char* format) { return timeFormatLocal(time, format); }

const char* formatDuration(long s) {
  static char buffer[50];
  if (s < 180) snprintf(buffer, sizeof buffer, "%ld sec.", s < 0 ? 0 : s);
  else if (s < 7200) snprintf(buffer, sizeof buffer, "%ld min.", (s + 29) / 60);
  else if (s < 259200) snprintf(buffer, sizeof buffer, "%ld hours", (s + 1799) / 3600);
  else if (s <= 2678400) snprintf(buffer, sizeof buffer, "%ld days", (s + 43199) / 86400);
  else if (s < 5184000) snprintf(buffer, sizeof buffer, "%ld weeks", (s + 302399) / 604800);
  else if (s >= 63072000) snprintf(buffer, sizeof buffer, "%ld years", (s + 15767999) / 31536000);
  else snprintf(buffer, sizeof buffer, "%ld months", (s + 1295999) / 2592000);
  return buffer;
}

FILE* fileReopen(FILE* stream, const char* path, const char* mode) {
  FILE* probe = fopen(path, mode);
  if (!probe) return nullptr;
  fclose(probe);
  return freopen(path, mode, stream);
}

namespace {

int lockWhole(FILE* stream, short type) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  int fd = fileno(stream);
  for (;;) {
    if (fcntl(fd, F_SETLKW, &lock) == 0) return 1;
    if (errno != EINTR && errno != EAGAIN && errno != EACCES) return 0;
  }
}

}  // namespace

int fileLockWrite(FILE* stream) { return lockWhole(stream, F_WRLCK); }
int fileUnlock(FILE* stream) { return lockWhole(stream, F_UNLCK); }

}  // namespace palvon
