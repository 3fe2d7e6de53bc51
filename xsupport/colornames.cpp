#include "xsupport/colornames.h"

#include <string.h>
#include <strings.h>

namespace palvon {

namespace {

struct ColorRow {
  u8 red;
  u8 green;
  u8 blue;
  u8 unused;
  u16 nameOffset;
};

#include "xsupport/colornames_table.inc"

const char* rowName(int row) { return kColorNamePool + kColorRows[row].nameOffset; }

bool endsInDigit(const char* name) {
  size_t n = strlen(name);
  return n > 0 && name[n - 1] >= '0' && name[n - 1] <= '9';
}

}  // namespace

int colorLookupName(const char* name, size_t length, u16* red, u16* green, u16* blue) {
  int low = 0;
  int high = kColorRowCount - 1;
  while (low <= high) {
    int middle = (low + high) / 2;
    const char* candidate = rowName(middle);
    int order = strncasecmp(candidate, name, length);
    if (order == 0) {
      if (strlen(candidate) == length) {
        const ColorRow& row = kColorRows[middle];
        *red = static_cast<u16>(row.red * 257);
        *green = static_cast<u16>(row.green * 257);
        *blue = static_cast<u16>(row.blue * 257);
        return 1;
      }
      order = 1;  // the row is longer, so it sorts after the name
    }
    if (order > 0) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return 0;
}

const char* colorNameOfValue(u16 red, u16 green, u16 blue) {
  unsigned r = red / 257u, g = green / 257u, b = blue / 257u;
  const char* found = nullptr;
  for (int i = kColorRowCount - 1; i >= 0; i--) {
    const ColorRow& row = kColorRows[i];
    if (row.red != r || row.green != g || row.blue != b) continue;
    const char* name = rowName(i);
    if (!found || !endsInDigit(name)) found = name;
  }
  return found;
}

}  // namespace palvon
