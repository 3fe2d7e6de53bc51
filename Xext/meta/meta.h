// "MORVANDELL META": the proxy's own control extension. A client lists and
// describes the meta screens and heads, changes their settings, adds and
// removes real servers and heads shown in a window, ends the proxy,
// translates its ids into each head's, keeps windows in layers and on a
// moving head, reads configuration values as text, and hands the keyboard
// grab to another client. Every request is answered by the proxy; nothing
// is forwarded. The events and the layer and sticking work of the core are
// in Proxy/heads/metacore.h.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/screen.h"

namespace palvon {

// Registers the extension (22 minors, 3 events, 2 errors, answered without
// a server). Null or the refusal text.
const char* initMetaExtension(ExtensionEntry* entry);

// The position of a head placed by `kind` (1..9, as the head settings'
// placement) against the reference rectangle, as the offsets that place
// it there again: the inverse of placeAgainstHead. Kind 0 (or another)
// gives 0, 0.
void relativeHeadPosition(u32 kind, const HeadRect& head, const HeadRect& reference, i32* dx, i32* dy);

// The text of a configuration value (GetParameter): the parameter number
// and its argument (a screen number or a head id). Null for an unknown
// parameter; "" for an empty value. Writes at most `size` bytes with the
// terminating zero into out.
const char* formatMetaParameter(u32 parameter, u32 argument, char* out, u32 size);

}  // namespace palvon
