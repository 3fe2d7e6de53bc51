// The built-in colour-name database (the standard X colour names), so that
// colour-name look-ups for emulated colormaps need no real server.
#pragma once

#include <cstddef>

#include "base/strings.h"

namespace palvon {

// Case-insensitive; blanks count; name need not be NUL-terminated. Returns 1
// and 16-bit components (8-bit value * 257), or 0 when the name is unknown.
int colorLookupName(const char* name, size_t length, u16* red, u16* green, u16* blue);

// A name whose 8-bit values equal the components / 257, preferring names that
// do not end in a digit ("black", not "gray0"); nullptr when none has it. The
// text is static.
const char* colorNameOfValue(u16 red, u16 green, u16 blue);

}  // namespace palvon
