// Key-value configuration files: statements "key = value", one or more per
// line, with '#' comment lines, quoted values and continuation lines; and the
// expansion of environment variables in a statement.
//
// File syntax in short: a line (at most 4,095 characters) beginning with '#'
// is a comment. A line ending in an odd number of backslashes continues on
// the next one: the last backslash becomes one blank and the next line
// follows without its leading white space. Statements are separated by white
// space; a key without '=' has the empty value. A value beginning with a
// double quote runs to the next unescaped double quote (\" stands for a
// quote inside it). In every value a pair of backslashes stands for one.
// "-" as a file name is standard input. The reader never logs: failures come
// back as error texts (temporary strings).
#pragma once

#include <cstddef>

#include "base/strings.h"

namespace palvon {

// The longest line and the longest statement with its continuations.
constexpr size_t kConfigLineMax = 4095;

// Called for every statement with a non-empty key; returns nullptr to go on
// or an error text that ends the reading. line is the number (from 1) of the
// statement's last physical line.
using ConfigfileCallback = const char* (*)(const char* key, const char* value, u32 line, void* argument);

// nullptr when the whole file was read, else the first error text.
const char* configfileRead(const char* path, ConfigfileCallback callback, void* argument);
// Takes one statement from *cursor: key and value become new heap texts (the
// value "" when there is none) and the cursor moves past the statement and
// the white space behind it. nullptr or an "Out of memory" text.
const char* configfileNextStatement(const char** cursor, char** key, char** value);
// 1 when the first n characters end in an odd number of backslashes.
int configfileLineContinues(const char* text, size_t n);
// The statement as a new heap text, indented by indent columns (tabs of 8,
// then blanks), long quoted values broken at blanks into continuation lines.
// It reads back to exactly this key and value. nullptr when it cannot: an
// empty key, a key holding white space or '=' or beginning with '#' or a
// double quote, a value holding a line feed, a statement longer than a reader
// accepts, or no memory.
char* configfileFormatStatement(const char* key, const char* value, u32 indent);

// Copies source into destination (size bytes), replacing $NAME and ${NAME}
// (letters, digits and '_') by the environment's values; a backslash keeps
// the character behind it. nullptr, "Undefined variable '%s'" or
// "Configuration statement too large".
const char* configExpandVariables(const char* source, char* destination, size_t size);

}  // namespace palvon
