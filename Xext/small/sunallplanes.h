// SUN_ALLPLANES: points, lines, segments and rectangles drawn on all planes
// of a drawable, on every head of its meta screen. On a window the drawing
// goes to the head's root window at the window's place, so that it shows
// over whatever covers the window; a shown telepointer is taken down for
// the moment of the drawing.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "SUN_ALLPLANES" (no events, no errors). Null or the refusal text.
const char* initAllPlanesExtension(ExtensionEntry* entry);

}  // namespace palvon
