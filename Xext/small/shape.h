// SHAPE: window shapes on every head of the window's meta screen, scaled
// for zoomed and turned heads; queries and ShapeNotify from the colour
// head, scaled back. The proxy keeps each window's three shapes in its
// window tree (Proxy/resources/windowshape.h).
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "SHAPE" (9 requests, 1 event, no error) with the lowest version
// any server display offers; every display must have the extension. Null or
// the refusal text.
const char* initShapeExtension(ExtensionEntry* entry);

}  // namespace palvon
