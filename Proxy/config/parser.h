// The statement language of configuration files and the command line.
//
// parseCommandLine fills proxyConfig (config.h) once at start-up, on the main
// thread. A bare word at statement start names a further configuration
// file, read by the same parser one nesting level deeper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Proxy/config/config.h"
#include "base/strings.h"

namespace palvon {

// Initialises proxyConfig, parses the arguments (argv[1..]) as statements of
// the file "command-line parameter" and links the blocks. With addDefaults a
// head ":1.0" and a meta screen ".0" stand in for missing ones. Returns null
// or "<error> in <file>, line <n>"; after an error the lists and texts of the
// record are released.
const char* parseCommandLine(int argc, char** argv, bool addDefaults);

// Parses a writable NUL-terminated text (cut in place) at the nesting level
// (0 for the command line). *fileName is the heap name of the text, which a
// nested file replaces while it is read and leaves in place when it fails;
// *line is set to 1 and counts on. Returns null or an error text without
// file and line.
const char* parseConfiguration(char* text, int level, char** fileName, u32* line);

// Opens a configuration file named by a source statement or a bare word; null
// with errno set when it cannot be opened. The parser closes what it returns
// unless it is stdin.
using ConfigFileOpener = FILE* (*)(const char* name);
// Replaces the opener for every later parse (null: the default, fopen, with
// "-" for standard input). Lets a harness serve files of its own making and
// keep the parser away from the rest of the file system.
void setConfigFileOpener(ConfigFileOpener opener);

// Evaluates a parenthesised integer expression ("(1000*4)"); an empty text is
// 0. *error is null, or the error text.
i32 evaluateExpression(const char* text, const char** error);

// --- Between the lexer and the statements ------------------------------------

enum class TokenKind : u8 { End, Keyword, Word, Comment, Error };

struct Token {
  TokenKind kind;
  int8_t sign;              // +1 for "+word", -1 for "-word", else 0
  bool quoted;
  const char* keyword;  // the keyword's own spelling, null for other words
  const char* text;     // the word after expansion (valid until the next token)
};

struct ParseContext;
// One state of the statement machine: consumes the token, or sets again to
// have it handled once more in the state it switched to.
using StatementState = const char* (*)(ParseContext& p, const Token& t);

struct ParseContext {
  char* cursor;
  int level;
  char** fileName;
  u32* line;
  bool restOfText;      // serverCommand: every word as it stands
  bool pendingNewline;  // the last word ended at a newline
  bool lineStart;       // nothing but white space since the line began
  bool ended;
  bool again;
  // The text is joined command-line arguments: inside double quotes a
  // backslash also escapes a backslash, so an argument may end in one.
  bool joinedArguments;
  StatementState state;
  StatementState home;  // statement start, or the current block's key state
  ScreenConfig* screen; // the current metaScreen block
  HeadConfig* head;     // the current screen or window block
  const void* row;      // the statement whose values are read
  u32 step;             // position inside a statement of several values
  u32 subKey;           // sub-word waiting for its value
  char* setName;        // the name of a pending set statement
};

// The statement machine's state at statement start (config/statements.cpp).
const char* atStatementStart(ParseContext& p, const Token& t);
// Reads the named file as a nested text; returns the machine to statement
// start on success.
const char* sourceConfigurationFile(ParseContext& p, const char* name);
// Where comment lines go from now on: the text and its length in bytes,
// kept together so each line is appended in time of its own length.
void setCommentTarget(char** text, size_t* length);
// Links meta screens and heads after the parse (config/statements.cpp).
const char* linkConfiguration(ProxyConfiguration* config, bool addDefaults, char** errorFile,
                              u32* errorLine);
// Forgets the parse state shared by all nesting levels (head counter, last
// meta screen name, the name indexes of blocks).
void resetStatementState();
// Releases what only the parse and the linking need; the head counter stays.
void finishStatementState();
u32 configuredHeadCount();

// The statement table's keywords, as the table spells them: the top-level
// statements, the keys of a metaScreen block, and those of a screen or
// window block. statementKeyword is null past the count.
enum class StatementScope : u8 { kTop, kMetaScreen, kHead };
u32 statementKeywordCount(StatementScope scope);
const char* statementKeyword(StatementScope scope, u32 index);

// The range the statements give a numeric head setting, found by its bit of
// the value mask, so that settings changed at run time are held to it too:
// the keyword that sets it, the offset of its i32 in HeadSettings and its
// bounds. False for a bit without one (words, names, the pointer zoom).
struct HeadSettingRange {
  const char* keyword;
  u32 offset;
  i32 low, high;
};
bool headSettingRange(u32 bit, HeadSettingRange* range);

}  // namespace palvon
