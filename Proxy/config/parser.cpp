// The statement language: words, comments, quoted strings, parenthesised
// expressions, environment variables, nested files and the command line.
#include "Proxy/config/parser.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "base/configfile.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr size_t kTokenSize = 4096;
constexpr int kMaximumLevel = 1000;
constexpr size_t kReadBlock = 8192;

// One buffer for the current token: the parser runs once, on one thread, and
// every statement copies what it keeps before the next token is read.
char gToken[kTokenSize];

struct CommentTarget {
  char** text;
  size_t* length;
};
CommentTarget gComment;

FILE* openFileOrStdin(const char* name) { return strcmp(name, "-") == 0 ? stdin : fopen(name, "r"); }
ConfigFileOpener gOpener = openFileOrStdin;

// The regular files being parsed, innermost first. A file met again on this
// chain would be read, parsed and kept once more at every level up to the
// limit, so it fails at once.
struct OpenFile {
  dev_t device;
  ino_t inode;
  const OpenFile* outer;
};
const OpenFile* gOpenFiles;

constexpr const char* kRecursion = "Maximum recursion level reached (possible cyclic source command)";

constexpr const char* kKeywords[] = {
    "accessControl", "authorization", "bell", "borderWidth", "broadcast", "clickTransfer",
    "clipGeometry", "clipHeight", "clipWidth", "clipX", "clipY", "connection", "connectTimeout",
    "control", "defaultVisual", "delete", "direction", "disableSlaveInput", "display",
    "displayGeometry", "displayHeight", "displayWidth", "displayX", "displayY",
    "emulateDoubleBuffer", "emulateVisual", "emulateVisuals", "extensions", "failsafeTimeout",
    "followPointerMode", "followPointerRestrict", "followPointerX", "followPointerY", "initialX",
    "initialY", "fontName", "fontPath", "dravant", "directGL", "directGLX", "glxVendorString",
    "half", "height", "indirect", "input", "keepWindowsVisible", "keyboardMapping", "lock",
    "logDestination", "log", "logTypes", "maximumBigRequestSize", "maximumNumberOfScreens",
    "maximumRequestSize", "metaScreen", "minimumTextSize", "mod1", "mod2", "mod3", "mod4", "mod5",
    "nice", "noPointer", "noReset", "none", "sameAs", "northOf", "southOf", "westOf", "eastOf",
    "northWestOf", "northEastOf", "southWestOf", "southEastOf", "numberOfButtons",
    "numberOfKeyCodes", "numberOfResourceIdBits", "numberOfThreads", "ofMetaScreen", "off",
    "offlineTimeout", "offsetX", "offsetY", "on", "once", "option", "options", "pixmapFormats",
    "pointer", "priority", "query", "relativeTo", "rotate", "rotation", "screen", "selectionSync",
    "serverAuthorization", "serverCommand", "serverNice", "set", "shift", "source", "stop",
    "syncScreenSavers", "tags", "vendorReleaseNumber", "vendorString", "visual", "visuals",
    "vizard", "width", "window", "workaround", "workarounds", "xdmcpAuthorizationCookie",
    "xdmcpDisplayClass", "xdmcpDisplayID", "xdmcpHost", "xdmcpMode", "xdmcpPort", "zoomedHeight",
    "zoomedWidth",
};
static_assert(std::size(kKeywords) == 122);

const char* findKeyword(const char* word) {
  for (const char* keyword : kKeywords)
    if (strcasecmp(keyword, word) == 0) return keyword;
  return nullptr;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Appends the comment line and a newline to the current comment target. A
// collected text is allocated at the power of two above its length, so the
// text is copied O(log n) times however many lines it gathers.
const char* collectComment(const char* line) {
  if (!gComment.text) return nullptr;
  char* text = *gComment.text;
  size_t used = text ? *gComment.length : 0;
  size_t add = strlen(line);
  size_t need = used + add + 2;  // the newline and the NUL
  if (!text || std::bit_ceil(need) > std::bit_ceil(used + 1)) {
    char* grown = static_cast<char*>(memRealloc(text, std::bit_ceil(need)));
    if (!grown) return PALVON_OOM();
    *gComment.text = text = grown;
  }
  memcpy(text + used, line, add);
  text[used + add] = '\n';
  text[used + add + 1] = 0;
  *gComment.length = used + add + 1;
  return nullptr;
}

// Skips white space and comments. Returns the comment token's text when a
// comment stands first on its line, else null.
char* skipSpace(ParseContext& p) {
  for (;;) {
    char c = *p.cursor;
    if (c == '\n') {
      ++*p.line;
      p.lineStart = true;
      p.cursor++;
    } else if (isBlank(c)) {
      p.cursor++;
    } else if (c == '#') {
      char* start = p.cursor;
      char* end = strchr(start, '\n');
      if (!end) end = start + strlen(start);
      if (!p.lineStart) {
        p.cursor = end;
        continue;
      }
      p.cursor = end;
      if (*end == '\n') {
        *end = 0;
        p.cursor = end + 1;
        p.pendingNewline = true;
      }
      return start;
    } else {
      return nullptr;
    }
  }
}

// A word in double quotes, unescaped in place; the cursor stands on the quote.
char* cutQuotedWord(ParseContext& p) {
  char* start = ++p.cursor;
  char* read = start;
  char* write = start;
  while (*read && *read != '"') {
    if (*read == '\\' && (read[1] == '"' || (p.joinedArguments && read[1] == '\\'))) read++;
    else if (*read == '\n') ++*p.line;
    *write++ = *read++;
  }
  p.cursor = *read ? read + 1 : read;
  *write = 0;
  return start;
}

// A word from '(' to the matching ')'; the one character behind it is the
// word's separator and is consumed with it.
char* cutParenthesisedWord(ParseContext& p) {
  char* start = p.cursor;
  char* end = start;
  int depth = 0;
  for (; *end; end++) {
    if (*end == '(') depth++;
    else if (*end == '\n') ++*p.line;
    else if (*end == ')' && --depth == 0) {
      end++;
      break;
    }
  }
  p.cursor = end;
  if (*end) {
    if (*end == '\n') p.pendingNewline = true;
    *end = 0;
    p.cursor = end + 1;
  }
  return start;
}

char* cutPlainWord(ParseContext& p) {
  char* start = p.cursor;
  char* end = start;
  while (*end && !isBlank(*end)) end++;
  p.cursor = end;
  if (*end) {
    if (*end == '\n') p.pendingNewline = true;
    *end = 0;
    p.cursor = end + 1;
  }
  return start;
}

// Returns the next token; an Error token carries its message in text.
Token nextToken(ParseContext& p) {
  Token t{};
  if (p.ended) return t;
  if (p.pendingNewline) {
    ++*p.line;
    p.lineStart = true;
    p.pendingNewline = false;
  }
  if (char* comment = skipSpace(p)) {
    t.kind = TokenKind::Comment;
    t.text = comment;
    return t;
  }
  char first = *p.cursor;
  if (!first) {
    p.ended = true;
    return t;
  }
  p.lineStart = false;
  char* word = first == '"' ? cutQuotedWord(p) : first == '(' ? cutParenthesisedWord(p) : cutPlainWord(p);
  t.kind = TokenKind::Error;
  if ((t.text = configExpandVariables(word, gToken, kTokenSize))) return t;
  if (first == '(' && !p.restOfText) {
    const char* error = nullptr;
    i32 value = evaluateExpression(gToken, &error);
    if ((t.text = error)) return t;
    snprintf(gToken, kTokenSize, "%d", value);
  }
  t.text = gToken;
  t.quoted = first == '"';
  t.kind = TokenKind::Word;
  if (p.restOfText || t.quoted) return t;
  if (gToken[0] == '+' || gToken[0] == '-') {
    t.sign = gToken[0] == '+' ? 1 : -1;
    return t;
  }
  if ((t.keyword = findKeyword(gToken))) t.kind = TokenKind::Keyword;
  return t;
}

// Reads a whole open file into a NUL-terminated heap text; every block must
// be text without control characters. The buffer doubles, so a large file is
// copied O(log n) times.
const char* readConfigurationFile(FILE* file, const char* name, char** out, size_t* length) {
  char* text = nullptr;
  size_t used = 0;
  size_t size = 0;
  const char* error = nullptr;
  for (;;) {
    if (used + kReadBlock + 1 > size) {
      size = std::max(2 * size, used + kReadBlock + 1);
      char* grown = static_cast<char*>(memRealloc(text, size));
      if (!grown) {
        error = PALVON_OOM();
        break;
      }
      text = grown;
    }
    size_t n = fread(text + used, 1, kReadBlock, file);
    for (size_t i = used; i < used + n && !error; i++) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if ((c < 0x20 && !isBlank(char(c))) || c == 0x7f)
        error = tmpPrintf("No UTF-8 text in configuration file '%s'", name);
    }
    used += n;
    if (error) break;
    if (n < kReadBlock) {
      if (ferror(file)) error = tmpPrintf("Can't read file '%s': %s", name, errnoText(errno));
      break;
    }
  }
  if (error) {
    free(text);
    return error;
  }
  text[used] = 0;
  *out = text;
  *length = used;
  return nullptr;
}

}  // namespace

void setCommentTarget(char** text, size_t* length) { gComment = CommentTarget{text, length}; }

void setConfigFileOpener(ConfigFileOpener opener) { gOpener = opener ? opener : openFileOrStdin; }

const char* sourceConfigurationFile(ParseContext& p, const char* name) {
  if (strlen(name) >= kTokenSize) return tmpPrintf("Syntax error or no configuration file '%s'", name);
  // Refused before the nested file's name replaces this one, so the message
  // names the source statement that goes too deep.
  if (p.level + 1 > kMaximumLevel) return kRecursion;
  FILE* file = gOpener(name);
  if (!file) return tmpPrintf("Syntax error or no configuration file '%s'", name);
  // Only a regular file gives the same text when read again; a pipe or a
  // terminal read inside itself goes on with what follows.
  OpenFile self{0, 0, gOpenFiles};
  struct stat info;
  bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
  if (regular) {
    self.device = info.st_dev;
    self.inode = info.st_ino;
    for (const OpenFile* open = gOpenFiles; open; open = open->outer) {
      if (open->device == self.device && open->inode == self.inode) {
        if (file != stdin) fclose(file);
        return kRecursion;
      }
    }
  }
  char* text = nullptr;
  size_t length = 0;
  const char* error = readConfigurationFile(file, name, &text, &length);
  if (file != stdin) fclose(file);
  if (error) return error;
  if (length == 0) LOGF(logChWarning, "Configuration file '%s' is empty", name);
  char* nestedName = memStrdup(name);
  if (!nestedName) {
    free(text);
    return PALVON_OOM();
  }
  char* savedName = *p.fileName;
  u32 savedLine = *p.line;
  *p.fileName = nestedName;
  if (regular) gOpenFiles = &self;
  error = parseConfiguration(text, p.level + 1, p.fileName, p.line);
  gOpenFiles = self.outer;
  free(text);
  if (error) {
    // The innermost file and line stay for the message; the caller owns them.
    free(savedName);
    return error;
  }
  free(*p.fileName);
  *p.fileName = savedName;
  *p.line = savedLine;
  p.state = atStatementStart;
  p.home = atStatementStart;
  return nullptr;
}

namespace {

const char* parseText(char* text, int level, char** fileName, u32* line, bool joinedArguments) {
  if (level > kMaximumLevel) return kRecursion;
  ParseContext p{};
  p.joinedArguments = joinedArguments;
  p.cursor = text;
  p.level = level;
  p.fileName = fileName;
  p.line = line;
  p.lineStart = true;
  p.state = atStatementStart;
  p.home = atStatementStart;
  *line = 1;
  const char* error = nullptr;
  while (!error) {
    Token t = nextToken(p);
    if (t.kind == TokenKind::Error) {
      error = t.text;
    } else if (t.kind == TokenKind::Comment) {
      error = collectComment(t.text);
    } else if (t.kind == TokenKind::End || (t.keyword && strcmp(t.keyword, "stop") == 0)) {
      break;
    } else {
      do {
        p.again = false;
        error = p.state(p, t);
      } while (!error && p.again);
    }
  }
  free(p.setName);
  return error;
}

// Appends one argument as a word of the joined command line: quoted when it
// is empty, holds white space or starts with a quote or a '#', its quotes and
// backslashes then escaped for the joined-argument rule of quoted words, so
// that every argument reads back as exactly one word and none swallows the
// ones behind it. Backslashes keep their meaning for variable expansion,
// except a trailing one, which escapes nothing and stays literal: it is
// doubled (not in an expression word, whose tail the lexer drops anyway).
bool appendArgument(char** line, size_t* used, size_t* size, const char* argument) {
  size_t length = strlen(argument);
  bool quote = length == 0 || argument[0] == '"' || argument[0] == '#';
  for (size_t i = 0; i < length && !quote; i++) quote = isBlank(argument[i]);
  size_t trailing = 0;
  while (trailing < length && argument[length - 1 - trailing] == '\\') trailing++;
  bool literalBackslash = trailing % 2 == 1 && (quote || argument[0] != '(');
  size_t need = *used + 2 * length + 6;
  if (need > *size) {
    char* grown = static_cast<char*>(memRealloc(*line, need * 2));
    if (!grown) return false;
    *line = grown;
    *size = need * 2;
  }
  char* out = *line + *used;
  if (quote) *out++ = '"';
  for (size_t i = 0; i <= length; i++) {
    char c = i < length ? argument[i] : literalBackslash ? '\\' : 0;
    if (!c) break;
    if (quote && (c == '"' || c == '\\')) *out++ = '\\';
    *out++ = c;
  }
  if (quote) *out++ = '"';
  *out++ = ' ';
  *out = 0;
  *used = size_t(out - *line);
  return true;
}

}  // namespace

const char* parseConfiguration(char* text, int level, char** fileName, u32* line) {
  return parseText(text, level, fileName, line, false);
}

const char* parseCommandLine(int argc, char** argv, bool addDefaults) {
  ProxyConfiguration* config = &proxyConfig;
  initConfiguration(config);
  resetStatementState();
  int first = 1;
  if (argc > 1 && argv[1][0] == ':' && argv[1][1] >= '0' && argv[1][1] <= '9') {
    freeIfSet(&config->connection);
    config->connection = memStrdup(argv[1]);
    first = 2;
  }
  size_t used = 0;
  size_t size = 256;
  char* line = static_cast<char*>(memCalloc(1, size));
  char* fileName = memStrdup("command-line parameter");
  bool ok = line && fileName;
  for (int i = first; ok && i < argc; i++) ok = appendArgument(&line, &used, &size, argv[i]);
  const char* error = ok ? nullptr : PALVON_OOM();
  u32 lineNumber = 1;
  if (!error) error = parseText(line, 0, &fileName, &lineNumber, true);
  if (!error) {
    char* errorFile = nullptr;
    u32 errorLine = 0;
    error = linkConfiguration(config, addDefaults, &errorFile, &errorLine);
    if (error && errorFile) {
      free(fileName);
      fileName = memStrdup(errorFile);
      lineNumber = errorLine;
    }
  }
  finishStatementState();
  if (error) {
    error = tmpPrintf("%s in %s, line %d", error, fileName ? fileName : "?", int(lineNumber));
    freeConfiguration(config);
  }
  free(fileName);
  free(line);
  return error;
}

// --- Expressions ------------------------------------------------------------------
// Operator precedence over explicit stacks, so deep nesting costs heap, not
// the machine stack: "memory exhausted" past 10000 entries.

namespace {

constexpr int kExprEnd = 258;
constexpr size_t kExprInitialStack = 200;
constexpr size_t kExprMaximumStack = 10000;
constexpr const char* kExprSyntax = "syntax error in arithmetic expression";

struct ExprState {
  const char* cursor;
  const char* error;
  i32* values;
  char* ops;
  size_t valueCount, opCount, capacity;
};

int exprLex(ExprState& s) {
  while (*s.cursor && isBlank(*s.cursor)) s.cursor++;
  if (!*s.cursor) return kExprEnd;
  return static_cast<unsigned char>(*s.cursor++);
}

void exprError(ExprState& s, const char* text) {
  if (!s.error) s.error = text;
}

bool exprGrow(ExprState& s) {
  if (s.valueCount < s.capacity && s.opCount < s.capacity) return true;
  if (s.capacity >= kExprMaximumStack) {
    exprError(s, "memory exhausted");
    return false;
  }
  size_t capacity = s.capacity ? std::min(s.capacity * 2, kExprMaximumStack) : kExprInitialStack;
  auto* values = static_cast<i32*>(memRealloc(s.values, capacity * sizeof(i32)));
  if (values) s.values = values;
  auto* ops = static_cast<char*>(memRealloc(s.ops, capacity));
  if (ops) s.ops = ops;
  if (!values || !ops) {
    exprError(s, "memory exhausted");
    return false;
  }
  s.capacity = capacity;
  return true;
}

// Unary operators are stored as 'p' and 'n'.
int precedence(char op) {
  switch (op) {
    case 'p': case 'n': return 3;
    case '*': case '/': case '%': return 2;
    case '+': case '-': return 1;
    default: return 0;  // '('
  }
}

// Applies the operator on top of the stack to its operands.
bool exprReduce(ExprState& s) {
  char op = s.ops[--s.opCount];
  if (op == 'p' || op == 'n') {
    if (op == 'n') s.values[s.valueCount - 1] = i32(0u - u32(s.values[s.valueCount - 1]));
    return true;
  }
  i32 b = s.values[--s.valueCount];
  i32 a = s.values[s.valueCount - 1];
  if ((op == '/' || op == '%') && b == 0) {
    exprError(s, "division by zero in arithmetic expression");
    return false;
  }
  if ((op == '/' || op == '%') && b == -1 && a == INT32_MIN) {
    exprError(s, "overflow in arithmetic expression");
    return false;
  }
  i32 r = op == '+' ? i32(u32(a) + u32(b)) : op == '-' ? i32(u32(a) - u32(b))
        : op == '*' ? i32(u32(a) * u32(b)) : op == '/' ? a / b : a % b;
  s.values[s.valueCount - 1] = r;
  return true;
}

// A number starting with the digit c: decimal, octal after "0", hex after "0x".
bool exprNumber(ExprState& s, int c, i32* out) {
  u32 value = 0;
  u32 base = 10;
  if (c == '0') {
    base = 8;
    const char* save = s.cursor;
    int next = exprLex(s);
    if (next == 'x' || next == 'X') base = 16;
    else s.cursor = save;
  } else {
    value = u32(c - '0');
  }
  int digits = base == 16 ? 0 : 1;
  for (;;) {
    const char* save = s.cursor;
    int d = exprLex(s);
    int v = d >= '0' && d <= '9' ? d - '0' : base == 16 && d >= 'a' && d <= 'f' ? d - 'a' + 10
          : base == 16 && d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
    if (v < 0) {
      s.cursor = save;
      break;
    }
    if (u32(v) >= base) return false;
    value = value * base + u32(v);
    digits++;
  }
  *out = i32(value);
  return digits > 0;
}

void exprParse(ExprState& s) {
  bool operand = true;
  for (;;) {
    int c = exprLex(s);
    if (!exprGrow(s)) return;
    if (operand) {
      if (c >= '0' && c <= '9') {
        if (!exprNumber(s, c, &s.values[s.valueCount])) return exprError(s, kExprSyntax);
        s.valueCount++;
        operand = false;
      } else if (c == '(' || c == '+' || c == '-') {
        s.ops[s.opCount++] = c == '+' ? 'p' : c == '-' ? 'n' : '(';
      } else {
        return exprError(s, kExprSyntax);
      }
      continue;
    }
    bool binary = c == '+' || c == '-' || c == '*' || c == '/' || c == '%';
    if (!binary && c != ')' && c != kExprEnd) return exprError(s, kExprSyntax);
    int level = binary ? precedence(char(c)) : 1;
    while (s.opCount && s.ops[s.opCount - 1] != '(' && precedence(s.ops[s.opCount - 1]) >= level)
      if (!exprReduce(s)) return;
    if (binary) {
      s.ops[s.opCount++] = char(c);
      operand = true;
    } else if (c == ')') {
      if (!s.opCount) return exprError(s, kExprSyntax);
      s.opCount--;  // the '('
    } else {
      if (s.opCount) return exprError(s, kExprSyntax);  // an unclosed '('
      return;
    }
  }
}

}  // namespace

i32 evaluateExpression(const char* text, const char** error) {
  ExprState s{};
  s.cursor = text;
  const char* save = s.cursor;
  if (exprLex(s) == kExprEnd) {
    *error = nullptr;
    return 0;
  }
  s.cursor = save;
  exprParse(s);
  i32 value = !s.error && s.valueCount == 1 ? s.values[0] : 0;
  if (!s.error && s.valueCount != 1) s.error = kExprSyntax;
  free(s.values);
  free(s.ops);
  *error = s.error;
  return value;
}

}  // namespace palvon
