#include "base/logmarkup.h"

#include <cstdarg>
#include <cstring>

#include "base/hostclock.h"

namespace palvon {

#define PALVON_BLANKS76 "                                                                            \n"
const char kPageTrailer[] =
    PALVON_BLANKS76 PALVON_BLANKS76 PALVON_BLANKS76 PALVON_BLANKS76
    "</dl></td></tr></table></td><td style=\"background-color:#707070\">&nbsp;</td></tr><tr><td>&nbsp;</td>"
    "<td style=\"background-color:#707070\">&nbsp;</td><td style=\"background-color:#707070\">&nbsp;</td>"
    "</tr></table></body></html>\n";
#undef PALVON_BLANKS76
static_assert(sizeof kPageTrailer - 1 == kPageTrailerSize, "the trailer is 532 bytes");

namespace {

constexpr const char* kOpenDetails = "<span class=\"details\">(";
constexpr const char* kCloseDetails = ")</span>";
constexpr size_t kCloseSpan = 7;  // "</span>"
// Parsers refuse deeply nested markup; deeper parentheses stay plain text.
constexpr size_t kMaxDetailsDepth = 16;

// Length of the valid UTF-8 sequence at s (characters allowed in XML), or 0.
size_t utf8Length(const unsigned char* s) {
  auto continuation = [](unsigned char c) { return (c & 0xc0) == 0x80; };
  unsigned char c = s[0];
  if (c >= 0xc2 && c <= 0xdf) return continuation(s[1]) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    if (!continuation(s[1]) || !continuation(s[2])) return 0;
    if (c == 0xe0 && s[1] < 0xa0) return 0;                         // overlong
    if (c == 0xed && s[1] >= 0xa0) return 0;                        // surrogates
    if (c == 0xef && s[1] == 0xbf && s[2] >= 0xbe) return 0;        // U+FFFE, U+FFFF
    return 3;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (!continuation(s[1]) || !continuation(s[2]) || !continuation(s[3])) return 0;
    if ((c == 0xf0 && s[1] < 0x90) || (c == 0xf4 && s[1] >= 0x90)) return 0;
    return 4;
  }
  return 0;
}

// The markup for the character at s: its replacement and how many bytes of s
// it stands for. Bytes a page cannot carry (control characters, broken
// UTF-8) become '?', so no message can make the page unreadable.
size_t markupPiece(const char* s, const char** piece, size_t* length) {
  unsigned char c = static_cast<unsigned char>(*s);
  *length = 1;
  switch (c) {
    case '<': *piece = "&lt;"; *length = 4; return 1;
    case '>': *piece = "&gt;"; *length = 4; return 1;
    case '&': *piece = "&amp;"; *length = 5; return 1;
    case '"': *piece = "&quot;"; *length = 6; return 1;
    default: break;
  }
  *piece = s;
  if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') *piece = "?";
  if (c < 0x80) return 1;
  size_t n = utf8Length(reinterpret_cast<const unsigned char*>(s));
  if (!n) {
    *piece = "?";
    return 1;
  }
  *length = n;
  return n;
}

void spanLine(FILE* stream, const char* cls, const char* text) {
  fprintf(stream, "<span class=\"%s\">", cls);
  putMarkup(stream, text);
  fputs("</span>", stream);
}

}  // namespace

size_t itemNeed(char c) {
  switch (c) {
    case '*': return 0;
    case '%': return kStampSize;
    case '@': return kSourceCap;
    case '&': return kSummaryCap;
    case '$': return 10;
    case '|': return 11;
    case '~': return kProgramCap + 1;
    default: return 1;
  }
}

size_t templateNeed(const char* tmpl) {
  size_t need = 0;
  for (; *tmpl; tmpl++) need += itemNeed(*tmpl);
  return need;
}

void LineWriter::put(const char* text, size_t n) {
  if (n > room()) n = room();
  memcpy(at_, text, n);
  at_ += n;
}

void LineWriter::putf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(at_, room() + 1, format, args);
  va_end(args);
  if (n > 0) at_ += static_cast<size_t>(n) < room() ? static_cast<size_t>(n) : room();
}

void LineWriter::putText(const char* text, size_t budget, bool markup) {
  char* stop = at_ + (budget < room() ? budget : room());
  while (*text) {
    const char* piece = text;
    size_t length = 1;
    size_t used = markup ? markupPiece(text, &piece, &length) : 1;
    if (at_ + length > stop) break;
    memcpy(at_, piece, length);
    at_ += length;
    text += used;
  }
}

void LineWriter::putMessage(const char* text, size_t budget) {
  char* stop = at_ + (budget < room() ? budget : room());
  size_t open = 0;   // spans opened and not yet closed
  size_t plain = 0;  // parentheses opened beyond the depth limit
  while (*text) {
    const char* piece;
    size_t length;
    size_t used = 1;
    int change = 0;
    if (*text == '(' && open < kMaxDetailsDepth) {
      piece = kOpenDetails;
      length = strlen(kOpenDetails);
      change = 1;
    } else if (*text == ')' && !plain && open) {
      piece = kCloseDetails;
      length = strlen(kCloseDetails);
      change = -1;
    } else {
      used = markupPiece(text, &piece, &length);
    }
    // Room for this piece and for closing every span still open after it.
    if (at_ + length + (open + change) * kCloseSpan > stop) break;
    memcpy(at_, piece, length);
    at_ += length;
    if (*text == '(' && !change) plain++;
    else if (*text == ')' && plain) plain--;
    text += used;
    open += change;
  }
  for (; open; open--) put("</span>", kCloseSpan);
}

size_t LineWriter::finish() {
  *at_ = 0;
  return static_cast<size_t>(at_ - start_);
}

void putMarkup(FILE* stream, const char* text) {
  while (*text) {
    const char* piece;
    size_t length;
    text += markupPiece(text, &piece, &length);
    fwrite(piece, 1, length, stream);
  }
}

void writePageHeader(FILE* stream, const char* program, const char* host, time_t now) {
  fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">\n"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\">\n<head>\n<title>Log file of ",
        stream);
  putMarkup(stream, program);
  fputs(" at ", stream);
  putMarkup(stream, host);
  fputs("</title>\n"
        "<meta http-equiv=\"content-type\" content=\"text/html; charset=UTF-8\" />\n"
        "<meta http-equiv=\"refresh\" content=\"60\" />\n",
        stream);
  fprintf(stream, "<meta name=\"DC.date\" content=\"%s\" />\n", timeFormatLocal(now, "%Y-%m-%dT%H:%M:%S"));
  fputs("<meta name=\"DC.type\" content=\"Logfile\" />\n"
        "<meta name=\"DC.format\" content=\"text/html\" />\n"
        "<meta name=\"DC.language\" content=\"en\" />\n"
        "<meta name=\"DC.creator\" content=\"",
        stream);
  putMarkup(stream, program);
  fputs("\" />\n<style type=\"text/css\">\n"
        "body { background-color:white; color:black; font-family:Verdana, Arial, Helvetica, sans-serif;"
        " font-size:10pt; margin-left:5px; margin-top:5px; margin-right:5px }\n"
        "dl { font-size:10pt }\n"
        "dt { clear:both; float:left }\n"
        "dd { padding-left:2em }\n"
        ".program-name { font-variant:small-caps; font-weight:bold }\n"
        ".program-version:before { content:\" - v\" }\n"
        ".program-revision, .cmdLine, .libPath, .pid, .src { display:none }\n"
        ".os:before { content:\" - \" }\n"
        ".fatal, .error, .assert, .breakpoint { color:red; font-weight:bold }\n"
        ".warning, .problem, .Xerror { color:#bd5759 }\n"
        "dd.fatal:before { content:\" FATAL: \" }\n"
        "dd.error:before { content:\" ERROR: \" }\n"
        "dd.warning:before { content:\" WARNING: \" }\n"
        "dd.assert:before { content:\" ASSERTION FAILED: \" }\n"
        "dd.breakpoint:before { content:\" BREAKPOINT REACHED: \" }\n"
        ".details { color:#6f6f6f; font-weight:normal }\n"
        "</style>\n</head>\n<body>\n"
        "<table style=\"width:100%; border:0\" cellspacing=\"0\" cellpadding=\"0\">\n"
        "<tr><td style=\"background-color:#003366; color:white\">Log file of <span class=\"program-name\">",
        stream);
  putMarkup(stream, program);
  fputs("</span> at ", stream);
  putMarkup(stream, host);
  fputs("</td><td>&#160;</td></tr>\n<tr><td><table style=\"width:100%\"><tr><td><dl>\n", stream);
}

void writePageSessionHeader(FILE* stream, const char* date, const char* version, const char* revision,
                            const char* os, const char* commandLine, const char* libraryPath) {
  fputs("\n</dl><h4>", stream);
  spanLine(stream, "date", date);
  spanLine(stream, "program-version", version);
  spanLine(stream, "program-revision", revision);
  spanLine(stream, "os", os);
  spanLine(stream, "cmdLine", commandLine);
  spanLine(stream, "libPath", libraryPath);
  fputs("</h4><dl>\n", stream);
}

}  // namespace palvon
