// The pieces of the log that must stay bounded and well formed: the line
// writer that composes one entry into a fixed buffer, escaping for XHTML
// pages, and the page's fixed parts. Used only by the logging module.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "base/strings.h"

namespace palvon {

// Four lines of 76 blanks and the closing markup: 532 bytes. Every entry is
// written over it and the trailer again behind it, so the page on disk is
// always complete.
extern const char kPageTrailer[];
constexpr size_t kPageTrailerSize = 532;

// Room each template character may take in a line; the message ('*') gets
// whatever is left, so nothing behind it is ever cut off.
constexpr size_t kStampSize = 9;
constexpr size_t kSourceCap = 72;
constexpr size_t kSummaryCap = 600;
constexpr size_t kProgramCap = 64;
size_t itemNeed(char c);
size_t templateNeed(const char* tmpl);

// Composes text into a fixed buffer; every write is cut to fit, and the
// result is always terminated.
class LineWriter {
 public:
  LineWriter(char* buffer, size_t size) : start_(buffer), at_(buffer), limit_(buffer + size - 1) {}
  size_t room() const { return static_cast<size_t>(limit_ - at_); }
  void put(const char* text, size_t n);
  void putf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Copies text, escaped for a page when markup is set, in at most budget
  // bytes; an escape is never cut in half.
  void putText(const char* text, size_t budget, bool markup);
  // A message on a page: escaped, with every parenthesised part in a
  // "details" span. Unbalanced parentheses still give balanced markup.
  void putMessage(const char* text, size_t budget);
  size_t finish();

 private:
  char* start_;
  char* at_;
  char* limit_;
};

// Writes text escaped for markup (also attribute values).
void putMarkup(FILE* stream, const char* text);
// Everything of a new page in front of its trailer.
void writePageHeader(FILE* stream, const char* program, const char* host, time_t now);
// The block that opens a session (or a new day) on a page.
void writePageSessionHeader(FILE* stream, const char* date, const char* version, const char* revision,
                            const char* os, const char* commandLine, const char* libraryPath);

}  // namespace palvon
