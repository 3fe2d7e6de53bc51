// XLFD font names: from a font's properties, formatted and parsed.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <X11/Xlib.h>

#include "base/logging.h"
#include "xsupport/xfont.h"

namespace palvon {

// --- XLFD names ----------------------------------------------------------------

namespace {

enum class FieldKind { kText, kNumber };

struct XlfdField {
  const char* property;
  FieldKind kind;
  size_t offset;
};

#define XLFD_TEXT(name, member) {name, FieldKind::kText, offsetof(XlfdFields, member)}
#define XLFD_NUMBER(name, member) {name, FieldKind::kNumber, offsetof(XlfdFields, member)}

// The fourteen fields in name order, with the font property of each.
const XlfdField kXlfdFields[14] = {
    XLFD_TEXT("FOUNDRY", foundry),           XLFD_TEXT("FAMILY_NAME", family),
    XLFD_TEXT("WEIGHT_NAME", weight),        XLFD_TEXT("SLANT", slant),
    XLFD_TEXT("SETWIDTH_NAME", setWidth),    XLFD_TEXT("ADD_STYLE_NAME", addStyle),
    XLFD_NUMBER("PIXEL_SIZE", pixelSize),    XLFD_NUMBER("POINT_SIZE", pointSize),
    XLFD_NUMBER("RESOLUTION_X", resolutionX), XLFD_NUMBER("RESOLUTION_Y", resolutionY),
    XLFD_TEXT("SPACING", spacing),           XLFD_NUMBER("AVERAGE_WIDTH", averageWidth),
    XLFD_TEXT("CHARSET_REGISTRY", registry), XLFD_TEXT("CHARSET_ENCODING", encoding),
};

#undef XLFD_TEXT
#undef XLFD_NUMBER

char** textField(XlfdFields* fields, const XlfdField& field) {
  return reinterpret_cast<char**>(reinterpret_cast<char*>(fields) + field.offset);
}

i32* numberField(XlfdFields* fields, const XlfdField& field) {
  return reinterpret_cast<i32*>(reinterpret_cast<char*>(fields) + field.offset);
}

XlfdFields* newFields() {
  auto* fields = static_cast<XlfdFields*>(calloc(1, sizeof(XlfdFields)));
  if (!fields) {
    PALVON_OOM();
    return nullptr;
  }
  for (const XlfdField& field : kXlfdFields) {
    if (field.kind == FieldKind::kNumber) *numberField(fields, field) = kXlfdNone;
  }
  return fields;
}

i32 parseNumber(const char* text, size_t length) {
  if (length == 1 && text[0] == '*') return kXlfdNone;
  bool negative = length > 0 && text[0] == '~';
  i64 value = 0;
  for (size_t i = negative ? 1 : 0; i < length && text[i] >= '0' && text[i] <= '9' && value < 0x7fffffff; i++) {
    value = value * 10 + (text[i] - '0');
  }
  return static_cast<i32>(negative ? -value : value);
}

}  // namespace

XlfdFields* xfontGetXLFDFields(Display* display, XFontStruct* font) {
  XlfdFields* fields = newFields();
  if (!fields) return nullptr;
  for (const XlfdField& field : kXlfdFields) {
    Atom atom = XInternAtom(display, field.property, True);
    unsigned long value = 0;
    if (atom == None || !XGetFontProperty(font, atom, &value)) continue;
    if (field.kind == FieldKind::kNumber) {
      *numberField(fields, field) = static_cast<i32>(value);
      continue;
    }
    char* name = XGetAtomName(display, value);
    if (!name) continue;
    *textField(fields, field) = memStrdup(name);
    XFree(name);
  }
  return fields;
}

void xfontFreeXLFDFields(XlfdFields* fields) {
  if (!fields) return;
  for (const XlfdField& field : kXlfdFields) {
    if (field.kind == FieldKind::kText) free(*textField(fields, field));
  }
  free(fields);
}

char* xfontFormatXLFD(const XlfdFields* fields) {
  auto* record = const_cast<XlfdFields*>(fields);
  size_t size = 80;
  for (const XlfdField& field : kXlfdFields) {
    if (field.kind == FieldKind::kText && *textField(record, field)) size += strlen(*textField(record, field));
  }
  auto* name = static_cast<char*>(malloc(size));
  if (!name) {
    PALVON_OOM();
    return nullptr;
  }
  size_t at = 0;
  for (const XlfdField& field : kXlfdFields) {
    char* p = name + at;
    size_t room = size - at;
    if (field.kind == FieldKind::kText) {
      const char* text = *textField(record, field);
      at += static_cast<size_t>(snprintf(p, room, "-%s", text ? text : "*"));
      continue;
    }
    i32 value = *numberField(record, field);
    if (value == kXlfdNone) at += static_cast<size_t>(snprintf(p, room, "-*"));
    else if (value < 0) at += static_cast<size_t>(snprintf(p, room, "-~%ld", -static_cast<long>(value)));
    else at += static_cast<size_t>(snprintf(p, room, "-%d", value));
  }
  return name;
}

XlfdFields* xfontParseXLFD(const char* name) {
  if (!name || name[0] != '-') return nullptr;
  XlfdFields* fields = newFields();
  if (!fields) return nullptr;
  const char* p = name + 1;
  for (int i = 0; i < 14; i++) {
    const XlfdField& field = kXlfdFields[i];
    // The last field takes the rest of the name.
    const char* end = i == 13 ? p + strlen(p) : strchr(p, '-');
    if (!end) {
      xfontFreeXLFDFields(fields);
      return nullptr;
    }
    size_t length = static_cast<size_t>(end - p);
    if (field.kind == FieldKind::kNumber) {
      *numberField(fields, field) = parseNumber(p, length);
    } else if (!(length == 1 && p[0] == '*')) {
      char* text = static_cast<char*>(memdupz(p, length));
      if (!text) {
        xfontFreeXLFDFields(fields);
        return nullptr;
      }
      *textField(fields, field) = text;
    }
    p = end + (i == 13 ? 0 : 1);
  }
  return fields;
}

}  // namespace palvon
