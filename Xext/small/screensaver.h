// MIT-SCREEN-SAVER and SCREEN-SAVER: the real servers' screen-saver state,
// its events and a client-drawn saver window.
//
// A drawable's requests go to its screen-saver head: among the heads of the
// drawable's meta screen, the first on the input-control server (whose
// saver the user's input keeps off), else the screen's main head. The saver
// window's attributes go to every head of the screen that shows the real
// root: a head in a window of its own is left out unless it stands alone on
// its server (static, not managed, no overlay).
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

struct Head;

// Register "MIT-SCREEN-SAVER" (one event) and "SCREEN-SAVER" (two events).
// Null or the refusal text.
const char* initMitScreenSaverExtension(ExtensionEntry* entry);
const char* initSgiScreenSaverExtension(ExtensionEntry* entry);

// The screen-saver head of a drawable; null when the id names no drawable
// of a meta screen.
Head* screenSaverHead(u32 drawable);

}  // namespace palvon
