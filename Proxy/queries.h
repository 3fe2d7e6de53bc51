// The extension queries: QueryExtension and ListExtensions are answered
// from the proxy's own extension registry, never from a real server's list.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

void ProcQueryExtension(u8* request, u32 length);
void ProcListExtensions(u8* request, u32 length);

}  // namespace palvon
