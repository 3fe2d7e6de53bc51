#include "base/configfile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/logging.h"

namespace palvon {

namespace {

bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

const char* skipWhite(const char* p) {
  while (isWhite(*p)) p++;
  return p;
}

// Reads one physical line of at most kConfigLineMax characters without its
// line feed. false at end of file.
bool readLine(FILE* file, char* line, size_t* length) {
  if (!std::fgets(line, static_cast<int>(kConfigLineMax + 1), file)) return false;
  size_t n = std::strlen(line);
  if (n && line[n - 1] == '\n') line[--n] = 0;
  *length = n;
  return true;
}

// Joins the continuation lines of a statement onto line. nullptr or an
// error text.
const char* joinContinuations(FILE* file, char* line, size_t* length, u32* lineNumber) {
  char next[kConfigLineMax + 1];
  while (configfileLineContinues(line, *length)) {
    line[*length - 1] = ' ';
    size_t nextLength;
    if (!readLine(file, next, &nextLength)) return "Unexpected end of file";
    (*lineNumber)++;
    const char* rest = skipWhite(next);
    size_t restLength = nextLength - static_cast<size_t>(rest - next);
    if (*length + restLength > kConfigLineMax) return "Configuration statement too large";
    std::memcpy(line + *length, rest, restLength + 1);
    *length += restLength;
  }
  return nullptr;
}

const char* readStatements(const char* line, u32 lineNumber, ConfigfileCallback callback, void* argument) {
  const char* cursor = line;
  while (*cursor) {
    const char* before = cursor;
    char* key = nullptr;
    char* value = nullptr;
    const char* error = configfileNextStatement(&cursor, &key, &value);
    if (!error && key[0]) error = callback(key, value, lineNumber, argument);
    std::free(key);
    std::free(value);
    if (error) return error;
    if (cursor == before) break;
  }
  return nullptr;
}

const char* readFile(FILE* file, ConfigfileCallback callback, void* argument) {
  char line[kConfigLineMax + 1];
  size_t length;
  for (u32 lineNumber = 1; readLine(file, line, &length); lineNumber++) {
    if (line[0] == '#') continue;
    if (const char* error = joinContinuations(file, line, &length, &lineNumber)) return error;
    if (const char* error = readStatements(line, lineNumber, callback, argument)) return error;
  }
  return nullptr;
}

// Every pair of backslashes stands for one.
void collapseBackslashes(char* text, size_t* length) {
  size_t out = 0;
  for (size_t i = 0; i < *length;) {
    if (text[i] != '\\') {
      text[out++] = text[i++];
      continue;
    }
    size_t run = 0;
    while (i < *length && text[i] == '\\') run++, i++;
    for (size_t k = 0; k < (run + 1) / 2; k++) text[out++] = '\\';
  }
  text[out] = 0;
  *length = out;
}

// Copies a value from p into out; returns the position behind it.
const char* copyValue(const char* p, char* out, size_t* length) {
  size_t n = 0;
  if (*p != '"') {
    while (*p && !isWhite(*p)) out[n++] = *p++;
    *length = n;
    return p;
  }
  const char* open = p++;
  for (; *p; p++) {
    if (*p != '"') {
      out[n++] = *p;
      continue;
    }
    size_t escapes = 0;
    for (const char* b = p - 1; b > open && *b == '\\'; b--) escapes++;
    if (escapes % 2 == 0) {
      p++;
      break;
    }
    out[n - 1] = '"';  // the escaping backslash gives way to the quote
  }
  *length = n;
  return p;
}

}  // namespace

const char* configfileRead(const char* path, ConfigfileCallback callback, void* argument) {
  bool standardInput = !std::strcmp(path, "-");
  FILE* file = stdin;
  if (!standardInput) {
    if (std::strlen(path) >= 4096) return tmpPrintf("Can't open file '%s': %s", path, errnoText(ENAMETOOLONG));
    file = std::fopen(path, "re");
    if (!file) return tmpPrintf("Can't open file '%s': %s", path, errnoText(errno));
  }
  const char* error = readFile(file, callback, argument);
  if (!standardInput) std::fclose(file);
  return error;
}

const char* configfileNextStatement(const char** cursor, char** key, char** value) {
  const char* p = skipWhite(*cursor);
  const char* keyStart = p;
  while (*p && !isWhite(*p) && *p != '=') p++;
  size_t keyLength = static_cast<size_t>(p - keyStart);
  bool hasValue = false;
  if (*p == '=') {
    hasValue = true;
    p++;
  } else if (*skipWhite(p) == '=') {
    hasValue = true;
    p = skipWhite(p) + 1;
  }
  *key = static_cast<char*>(memdupz(keyStart, keyLength));
  *value = nullptr;
  if (!*key) return PALVON_OOM();
  if (!hasValue) {
    *value = memStrdup("");
  } else {
    p = skipWhite(p);
    *value = static_cast<char*>(memAlloc(2 * std::strlen(p) + 1));
    if (*value) {
      size_t length;
      p = copyValue(p, *value, &length);
      collapseBackslashes(*value, &length);
    }
  }
  if (!*value) {
    std::free(*key);
    *key = nullptr;
    return PALVON_OOM();
  }
  *cursor = skipWhite(p);
  return nullptr;
}

int configfileLineContinues(const char* text, size_t n) {
  size_t run = 0;
  while (run < n && text[n - 1 - run] == '\\') run++;
  return run % 2;
}

// --- Writing statements -------------------------------------------------------

namespace {

constexpr size_t kFormatWidth = 75;

struct Writer {
  char* text;
  size_t n;
  void put(char c) { text[n++] = c; }
  void indent(size_t columns) {
    for (size_t i = 0; i < columns / 8; i++) put('\t');
    for (size_t i = 0; i < columns % 8; i++) put(' ');
  }
};

// The width of a value character as written: a quoted value escapes its
// double quotes, every value doubles its backslashes (the reader halves
// them). Nothing else is escaped, since nothing else would be undone.
size_t escapedWidth(char c, bool quoted) { return c == '\\' || (quoted && c == '"') ? 2 : 1; }

size_t wordWidth(const char* p, bool quoted) {
  size_t width = 0;
  for (; *p && *p != ' '; p++) width += escapedWidth(*p, quoted);
  return width;
}

bool keyWritable(const char* key) {
  if (!key[0] || key[0] == '#') return false;
  for (const char* p = key; *p; p++)
    if (isWhite(*p) || *p == '=') return false;
  return true;
}

// Writes a quoted value, breaking it into continuation lines at single
// blanks. A blank is a break point only when a non-blank follows it: the
// reader drops the white space that starts a continuation line.
void writeQuoted(Writer* out, const char* value, size_t prefix) {
  size_t width = prefix < kFormatWidth ? kFormatWidth - prefix : 1;
  size_t lineWidth = 0;
  out->put('"');
  for (const char* p = value; *p; p++) {
    if (*p == ' ' && p[1] && !isWhite(p[1]) && lineWidth > 0 &&
        lineWidth + 1 + wordWidth(p + 1, true) > width) {
      out->put('\\');
      out->put('\n');
      out->indent(prefix);
      lineWidth = 0;
      continue;
    }
    if (escapedWidth(*p, true) == 2) out->put('\\');
    out->put(*p);
    lineWidth += escapedWidth(*p, true);
  }
  out->put('"');
}

}  // namespace

char* configfileFormatStatement(const char* key, const char* value, u32 indent) {
  size_t keyLength = std::strlen(key);
  size_t valueLength = std::strlen(value);
  u64 indentChars = indent / 8 + indent % 8;
  if (keyLength + valueLength + indentChars + 3 > 4096) return nullptr;
  if (!keyWritable(key) || std::strchr(value, '\n')) return nullptr;
  bool quoted = keyLength + valueLength + 3 >= 76 || value[0] == '"';
  for (const char* p = value; *p && !quoted; p++) quoted = isWhite(*p);
  size_t escaped = 0;
  for (const char* p = value; *p; p++) escaped += escapedWidth(*p, quoted);
  // The reader sees the statement with its continuations joined, each break
  // back to one blank: that joined length must fit its limit.
  if (indentChars + keyLength + 1 + escaped + (quoted ? 2 : 0) > kConfigLineMax) return nullptr;
  size_t prefix = indent + keyLength + 3;
  size_t worst = indentChars + keyLength + 4 + 2 * valueLength + valueLength * (2 + prefix / 8 + 8);
  Writer out{static_cast<char*>(memAlloc(worst)), 0};
  if (!out.text) return nullptr;
  out.indent(indent);
  std::memcpy(out.text + out.n, key, keyLength);
  out.n += keyLength;
  out.put('=');
  if (quoted) {
    writeQuoted(&out, value, prefix);
  } else {
    for (const char* p = value; *p; p++) {
      if (*p == '\\') out.put('\\');
      out.put(*p);
    }
  }
  out.put(0);
  return out.text;
}

// --- Variable expansion -------------------------------------------------------

const char* configExpandVariables(const char* source, char* destination, size_t size) {
  const char* tooLarge = "Configuration statement too large";
  if (std::strlen(source) + 1 >= size) return tooLarge;
  size_t n = 0;
  auto put = [&](const char* text, size_t length) {
    if (length >= size - n) return false;
    std::memcpy(destination + n, text, length);
    n += length;
    destination[n] = 0;
    return true;
  };
  destination[0] = 0;
  for (const char* p = source; *p;) {
    if (*p == '\\') {
      if (!*++p) break;
      if (!put(p++, 1)) return tooLarge;
      continue;
    }
    if (*p != '$') {
      if (!put(p++, 1)) return tooLarge;
      continue;
    }
    bool brace = *++p == '{';
    if (brace) p++;
    const char* name = p;
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_') p++;
    const char* copy = tmpStrndup(name, static_cast<size_t>(p - name));
    const char* variable = std::getenv(copy);
    if (!variable) return tmpPrintf("Undefined variable '%s'", copy);
    if (!put(variable, std::strlen(variable))) return tooLarge;
    // The character behind a braced name is meant to be the closing brace;
    // it is skipped, but never the end of the text.
    if (brace && *p) p++;
  }
  return nullptr;
}

}  // namespace palvon
