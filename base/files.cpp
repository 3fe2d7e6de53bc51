#include "base/files.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/strlist.h"

namespace palvon {

// --- Tests and sizes --------------------------------------------------------------

int fileIsFifo(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

int fileExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

int dirExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

u64 fileSize(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? static_cast<u64>(info.st_size) : 0;
}

namespace {

bool isDotEntry(const char* name) { return !std::strcmp(name, ".") || !std::strcmp(name, ".."); }

// The first entry besides "." and ".." into out; false when none or when the
// directory cannot be opened.
bool firstEntry(const char* path, char* out, size_t size) {
  DIR* dir = opendir(path);
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    if (isDotEntry(entry->d_name)) continue;
    strCopy(out, entry->d_name, size);
    found = true;
    break;
  }
  closedir(dir);
  return found;
}

}  // namespace

int dirIsEmpty(const char* path) {
  if (DIR* dir = opendir(path)) {
    closedir(dir);
    char name[256];
    return !firstEntry(path, name, sizeof name);
  }
  return 0;
}

const char* dirFirstEntry(const char* path) {
  static char name[256];
  return firstEntry(path, name, sizeof name) ? name : nullptr;
}

// --- Path texts ----------------------------------------------------------------------

const char* currentDirectory() {
  static char path[kPathMax];
  if (!getcwd(path, sizeof path - 1)) return "/";
  size_t n = std::strlen(path);
  if (n == 0 || path[n - 1] != '/') std::strcat(path, "/");
  return path;
}

namespace {

// The expansion shared by pathAbsolute and pathHomeRelative.
bool expandPath(const char* path, char* out, size_t size) {
  int n;
  if (path[0] == '/') {
    n = snprintf(out, size, "%s", path);
  } else if (path[0] == '~' && path[1] == '/') {
    const char* home = std::getenv("HOME");
    if (!home || !*home) home = "/";
    size_t length = std::strlen(home);
    n = snprintf(out, size, "%s%s%s", home, home[length - 1] == '/' ? "" : "/", path + 2);
  } else {
    if (path[0] == '.' && path[1] == '/') path += 2;
    n = snprintf(out, size, "%s%s", currentDirectory(), path);
  }
  return n >= 0 && static_cast<size_t>(n) < size;
}

}  // namespace

const char* pathAbsolute(const char* path) {
  if (path[0] == '/') return path;
  static char result[kPathMax];
  return expandPath(path, result, sizeof result) ? result : nullptr;
}

int pathHomeRelative(const char* path, char* out, size_t size) {
  if (!expandPath(path, out, size)) return 0;
  size_t n = std::strlen(out);
  if (n && out[n - 1] == '/') return 1;
  if (n + 2 > size) return 0;
  out[n] = '/';
  out[n + 1] = 0;
  return 1;
}

const char* pathDirName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return tmpStrndup(path, slash ? static_cast<size_t>(slash - path) + 1 : 0);
}

const char* pathDirNameNoSlash(const char* path) {
  static char result[kPathMax];
  const char* slash = std::strrchr(path, '/');
  size_t n = slash ? static_cast<size_t>(slash - path) : 0;
  if (n >= sizeof result) n = sizeof result - 1;
  std::memcpy(result, path, n);
  result[n] = 0;
  return result;
}

const char* pathSetExtension(const char* path, const char* extension) {
  static char result[kPathMax];
  const char* slash = std::strrchr(path, '/');
  const char* dot = std::strrchr(path, '.');
  size_t keep = dot && (!slash || dot > slash) ? static_cast<size_t>(dot - path) : std::strlen(path);
  int n = snprintf(result, sizeof result, "%.*s.%s", static_cast<int>(keep), path, extension);
  return n >= 0 && static_cast<size_t>(n) < sizeof result ? result : nullptr;
}

const char* quoteIfBlank(const char* text) {
  return std::strchr(text, ' ') ? tmpPrintf("\"%s\"", text) : text;
}

const char* fileNameSafe(const char* text) {
  size_t n = std::strlen(text);
  char* safe = tmpAlloc(n + 1);
  if (!safe) return "";
  for (size_t i = 0; i < n; i++) {
    char c = text[i];
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                c == '+' || c == '.' || c == '_';
    safe[i] = keep ? c : '_';
  }
  safe[n] = 0;
  return safe;
}

void expandNumberPattern(const char* pattern, u64 number, char* out) {
  size_t n = 0;
  auto put = [&](const char* text, size_t length) {
    if (length > kPathMax - 1 - n) length = kPathMax - 1 - n;
    std::memcpy(out + n, text, length);
    n += length;
  };
  for (const char* p = pattern; *p;) {
    if (*p != '%') {
      put(p++, 1);
      continue;
    }
    size_t flags = std::strspn(p + 1, "-0123456789.");
    char kind = p[1 + flags];
    if (kind != 'n' && kind != 'N') {
      // "%%" stays a pair; anything else is left for strftime.
      size_t keep = p[1] == '%' ? 2 : 1;
      put(p, keep);
      p += keep;
      continue;
    }
    char format[64];
    if (flags > sizeof format - 5) flags = sizeof format - 5;
    snprintf(format, sizeof format, "%%%.*sllu", static_cast<int>(flags), p + 1);
    char digits[kPathMax];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = snprintf(digits, sizeof digits, format, static_cast<unsigned long long>(number));
#pragma GCC diagnostic pop
    if (length > 0) put(digits, std::strlen(digits));
    p += 2 + std::strspn(p + 1, "-0123456789.");
  }
  out[n] = 0;
}

void patternTime(const char* pattern, u64 number, time_t time, char* out) {
  char expanded[kPathMax];
  expandNumberPattern(pattern, number, expanded);
  tm local;
  localtime_r(&time, &local);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (strftime(out, kPathMax, expanded, &local) == 0) out[0] = 0;
#pragma GCC diagnostic pop
}

void pathPatternTime(const char* pattern, u64 number, time_t time, char* out) {
  const char* absolute = pathAbsolute(pattern);
  if (!absolute) {
    out[0] = 0;
    return;
  }
  patternTime(absolute, number, time, out);
}

const char* pathFindExisting(const char* list) {
  static char found[kPathMax];
  for (const char* p = list; *p;) {
    const char* start = p;
    const char* end;
    if (*p == '"') {
      start = ++p;
      while (*p && *p != '"') p++;
      end = p;
      if (*p) p++;
    } else {
      while (*p && *p != ':') p++;
      end = p;
    }
    if (*p == ':') p++;
    size_t n = static_cast<size_t>(end - start);
    if (n == 0 || n >= sizeof found) continue;
    std::memcpy(found, start, n);
    found[n] = 0;
    struct stat info;
    if (stat(found, &info) == 0) return found;
  }
  return nullptr;
}

// --- Writing and copying files -------------------------------------------------------

const char* fileAppendStamped(const char* path, const char* format, ...) {
  FILE* file = std::fopen(path, "ae");
  if (!file) return tmpPrintf("Can't write file '%s': %s", path, errnoText(errno));
  lockf(fileno(file), F_LOCK, 0);
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  char stamp[40];
  strftime(stamp, sizeof stamp, "[%b.%d %H:%M] ", &local);
  std::fputs(stamp, file);
  va_list args;
  va_start(args, format);
  std::vfprintf(file, format, args);
  va_end(args);
  std::fputc('\n', file);
  bool failed = std::fflush(file) != 0;
  int error = errno;
  lockf(fileno(file), F_ULOCK, 0);
  failed = std::fclose(file) != 0 || failed;
  return failed ? tmpPrintf("Can't write file '%s': %s", path, errnoText(error)) : nullptr;
}

const char* fileCopy(const char* source, const char* destination) {
  bool fromStdin = !std::strcmp(source, "-");
  bool toStdout = !std::strcmp(destination, "-");
  FILE* in = fromStdin ? stdin : std::fopen(source, "re");
  if (!in) return tmpPrintf("Can't read file '%s': %s", source, errnoText(errno));
  FILE* out = toStdout ? stdout : std::fopen(destination, "we");
  if (!out) {
    const char* error = tmpPrintf("Can't write file '%s': %s", destination, errnoText(errno));
    if (!fromStdin) std::fclose(in);
    return error;
  }
  const char* error = nullptr;
  char piece[16384];
  for (;;) {
    size_t got = std::fread(piece, 1, sizeof piece, in);
    if (got == 0) {
      if (std::ferror(in)) error = tmpPrintf("Can't read file '%s': %s", source, errnoText(errno));
      break;
    }
    if (std::fwrite(piece, 1, got, out) != got) {
      error = tmpPrintf("Can't write file '%s': %s", destination, errnoText(errno));
      break;
    }
  }
  if (!fromStdin) std::fclose(in);
  bool closed = toStdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (!closed && !error) error = tmpPrintf("Can't write file '%s': %s", destination, errnoText(errno));
  return error;
}

const char* fileCreateGhost(const char* path, u64 size, time_t time) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return tmpPrintf("Can't write file '%s': %s", path, errnoText(errno));
  const char* error = nullptr;
  if (size > 0) {
    if (lseek(fd, static_cast<off_t>(size - 1), SEEK_SET) < 0)
      error = tmpPrintf("Can't seek to %llu in file '%s': %s", static_cast<unsigned long long>(size - 1), path,
                        errnoText(errno));
    else if (write(fd, "X", 1) != 1)
      error = tmpPrintf("Can't write file '%s': %s", path, errnoText(errno));
  }
  if (close(fd) != 0 && !error) error = tmpPrintf("Can't write file '%s': %s", path, errnoText(errno));
  if (!error && time > 0) {
    timeval times[2] = {{time, 0}, {time, 0}};
    if (utimes(path, times) != 0)
      error = tmpPrintf("Can't set timestamp for ghost file '%s': %s", path, errnoText(errno));
  }
  if (error) unlink(path);
  return error;
}

namespace {

constexpr u64 kLargeFileSize = 5368709120ull;

const char* readLastByteTwice(const char* path) {
  FILE* stream = std::fopen(path, "re");
  if (!stream) return tmpPrintf("Can't open file '%s': %s", path, errnoText(errno));
  int c = fseeko(stream, static_cast<off_t>(kLargeFileSize - 1), SEEK_SET) == 0 ? std::fgetc(stream) : EOF;
  int error = errno;
  std::fclose(stream);
  if (c == EOF) return tmpPrintf("Can't read file '%s': %s", path, errnoText(error));
  if (c != 'X') return "No X";
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return tmpPrintf("Can't open file '%s': %s", path, errnoText(errno));
  char byte = 0;
  const char* result = nullptr;
  if (lseek(fd, static_cast<off_t>(kLargeFileSize - 1), SEEK_SET) < 0)
    result = tmpPrintf("Can't seek to %llu in file '%s': %s", static_cast<unsigned long long>(kLargeFileSize - 1), path, errnoText(errno));
  else if (read(fd, &byte, 1) != 1)
    result = tmpPrintf("Can't read file '%s': %s", path, errnoText(errno));
  else if (byte != 'X')
    result = "No X";
  close(fd);
  return result;
}

}  // namespace

const char* fileLargeFileTest() {
  // A name of our own in /tmp: a fixed name there could be a link planted
  // by someone else.
  char path[] = "/tmp/test.XXXXXX";
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return tmpPrintf("Can't write file '%s': %s", path, errnoText(errno));
  close(fd);
  const char* error = fileCreateGhost(path, kLargeFileSize, 0);
  if (!error) error = readLastByteTwice(path);
  unlink(path);
  return error;
}

// --- Patterns and directories ---------------------------------------------------------

int globExpand(const char* pattern, u32* count, char*** list) {
  if (!*pattern || !std::strcmp(pattern, "-")) return strlistAdd(count, list, pattern);
  const char* absolute = pathAbsolute(pattern);
  if (!absolute) return strlistAdd(count, list, pattern);
  // Matched by the C library: the pattern never reaches a shell, so its
  // characters can only ever match names.
  glob_t matches{};
  int found = glob(absolute, 0, nullptr, &matches);
  int ok = 1;
  if (found == 0 && matches.gl_pathc > 0) {
    for (size_t i = 0; ok && i < matches.gl_pathc; i++) ok = strlistAdd(count, list, matches.gl_pathv[i]);
  } else {
    ok = strlistAdd(count, list, pattern);
  }
  globfree(&matches);
  return ok;
}

const char* dirCreateUnique(const char* parent, const char* prefix, const char** name) {
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  static char made[kPathMax];
  for (int attempt = 0; attempt < 1000; attempt++) {
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != sizeof random) return errnoText(errno);
    int n = snprintf(made, sizeof made, "%s", prefix);
    if (n < 0 || static_cast<size_t>(n) + 8 >= sizeof made) return errnoText(ENAMETOOLONG);
    for (int i = 0; i < 8; i++) made[n + i] = kChars[random[i] % (sizeof kChars - 1)];
    made[n + 8] = 0;
    char path[kPathMax];
    int length = snprintf(path, sizeof path, "%s/%s", parent, made);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) return errnoText(ENAMETOOLONG);
    if (mkdir(path, 0777) == 0) {
      *name = made;
      return nullptr;
    }
    if (errno != EEXIST) return errnoText(errno);
  }
  return errnoText(EEXIST);
}

namespace {

// Calls visit(entry path, is directory) for every entry besides "." and "..";
// a non-null result ends the walk and is returned.
template <typename Visit>
const char* forEachEntry(const char* path, Visit visit) {
  DIR* dir = opendir(path);
  if (!dir) return tmpPrintf("Can't open directory '%s': %s", path, errnoText(errno));
  const char* error = nullptr;
  while (!error) {
    dirent* entry = readdir(dir);
    if (!entry) break;
    if (isDotEntry(entry->d_name)) continue;
    const char* child = tmpPrintf("%s/%s", path, entry->d_name);
    struct stat info;
    bool isDir = lstat(child, &info) == 0 && S_ISDIR(info.st_mode);
    error = visit(child, isDir);
  }
  closedir(dir);
  return error;
}

}  // namespace

const char* dirClean(const char* path) {
  return forEachEntry(path, [](const char* child, bool isDir) -> const char* {
    if (isDir || unlink(child) == 0) return nullptr;
    return tmpPrintf("Can't remove file '%s': %s", child, errnoText(errno));
  });
}

const char* dirCopy(const char* source, const char* destination) {
  if (!dirExists(destination) && mkdir(destination, 0777) != 0)
    return tmpPrintf("Can't copy directory from '%s' to '%s': %s", source, destination, errnoText(errno));
  // Paths of nested calls are temporary strings: keep our own copies, since
  // a deep tree hands out enough temporary strings to reuse their space.
  char from[kPathMax];
  char to[kPathMax];
  strCopy(from, source, sizeof from);
  strCopy(to, destination, sizeof to);
  return forEachEntry(from, [&](const char* child, bool isDir) -> const char* {
    char target[kPathMax];
    int n = snprintf(target, sizeof target, "%s/%s", to, std::strrchr(child, '/') + 1);
    if (n < 0 || static_cast<size_t>(n) >= sizeof target)
      return tmpPrintf("Can't copy directory from '%s' to '%s': %s", child, to, errnoText(ENAMETOOLONG));
    return isDir ? dirCopy(child, target) : fileCopy(child, target);
  });
}

const char* pathRemove(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
    if (unlink(path) == 0) return nullptr;
    return tmpPrintf("Can't remove file '%s': %s", path, errnoText(errno));
  }
  char copy[kPathMax];
  strCopy(copy, path, sizeof copy);
  const char* error = forEachEntry(copy, [](const char* child, bool) { return pathRemove(child); });
  if (error) return error;
  if (rmdir(copy) != 0) return tmpPrintf("Can't remove directory '%s': %s", copy, errnoText(errno));
  return nullptr;
}

const char* ulongToDecimal(u64 value) {
  static char digits[24];
  snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
  return digits;
}

u64 parseUnsignedDecimal(const char* text) {
  while (*text == ' ' || *text == '\t') text++;
  u64 value = 0;
  for (; *text >= '0' && *text <= '9'; text++) {
    u64 digit = static_cast<u64>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace palvon
