// Calls of the extension modules into modules that are being built on other
// branches. Each is declared here under the name its module gives it and
// has a stand-in in extpending.cpp; when the module lands, its definition
// replaces the stand-in and the declaration moves to that module's header.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;

// Meta (x, y) to the head's real screen: less the logical origin, scaled
// and rotated within the logical size, plus the clip origin. The stand-in
// does exactly that.
void metaToHeadPoint(i32* x, i32* y, const Head* head);

}  // namespace palvon
