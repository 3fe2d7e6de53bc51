// Keyboard mappings per client: a control client gives another client (or
// every new client, through the default) a keyboard mapping of its own,
// which that client's GetKeyboardMapping answers show while the real
// servers keep theirs. An override holds 8 keysyms for each of the 256
// keycodes; a keysym of 1 marks a keycode never set, which takes the
// server's keysyms once they arrive. Offered when the option Keymap is on.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;

inline constexpr u32 kKeymapColumns = 8;
inline constexpr u32 kKeymapUnset = 1;

// Registers "MORVANDELL KEYMAP" (no events, no errors, needs no server).
const char* initKeymapExtension(ExtensionEntry* entry);

// A new client gets a copy of the default override, when there is one.
void createClientKeymapOverride(ProxyClient* client);
// The client's override and its pending next-query redirects go.
void dropClientKeymapOverride(ProxyClient* client);
// Answers the client's own GetKeyboardMapping (first keycode, count) from
// an override (a redirect first, else its own): true when it answered,
// false when the server's reply goes on as usual.
bool applyKeymapOverride(ProxyClient* client, u16 sequence, u32 first, u32 count);

// Fills the rows of `fillCount` keycodes from `fillFirst` whose first keysym
// is still unset from a server's keysyms (`perKeycode` a keycode, `count`
// keysyms in all, 32-bit words at `keysyms`, swapped when `foreign`): at
// most 8 a keycode, never beyond `count`. Rows set by a client stay.
void fillKeymapRows(u32 (*rows)[kKeymapColumns], u32 fillFirst, u32 fillCount, const u8* keysyms, u32 count,
                    u32 perKeycode, bool foreign);

}  // namespace palvon
