// XInputExtension: every request goes to the input server (the server of
// the first head of the display holding input control) through the
// client's own link, so the devices a client sees are that server's. Ids
// and times cross both ways; event classes ((device << 8) | event code)
// and event-type bases are renumbered between the proxy's event codes and
// the input server's wherever they travel. The offered version is the
// lowest any server reports, at most 1.5; the XI2 requests beyond the
// version query are not offered.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct ExtensionCodeMap;

// Registers "XInputExtension" (18 events, 5 errors). Refuses when a
// connected server lacks XInput. Null or the refusal text.
const char* initXInputExtension(ExtensionEntry* entry);

// Renumbers the event code in the low byte of `count` classes at `classes`
// (32-bit words in the proxy's order, cut at `end`) through the code map:
// toServer picks eventToServer, else eventFromServer. Codes the map does
// not know stay as they are; a null map changes nothing.
void renumberEventClasses(u8* classes, const u8* end, u32 count, const ExtensionCodeMap* codes, bool toServer);
// One event code through the map, bit 7 (sent) kept.
u8 renumberEventCode(u8 code, const ExtensionCodeMap* codes, bool toServer);

}  // namespace palvon
