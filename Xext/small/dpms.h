// DPMS and FBPM: the power levels of the real servers' monitors. Queries
// go to the main head of the first meta screen; a change goes to one head
// of every real server, so that every monitor follows.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Register "DPMS" and "FBPM" (no events, no errors). Null or the refusal
// text.
const char* initDpmsExtension(ExtensionEntry* entry);
const char* initFbpmExtension(ExtensionEntry* entry);

}  // namespace palvon
