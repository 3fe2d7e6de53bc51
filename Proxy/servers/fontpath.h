// Font paths on one head: a font opened for the heads layer (GLX) needs the
// font path that was in force when the client opened it, which a head shown
// inside a window (whose server keeps its own path for its other clients)
// or a path changed since may lack. The path is widened under a server
// grab just for the load and put back at once. Also the configured
// `fontPath` list's verdict on one element.
//
// Main thread only; the proxy's own connections through the failsafe
// layer. Nothing is sent to an offline display.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct Head;
struct ProxyClient;

// What setTemporaryFontPath changed: the server grab and the path to put
// back (null when the path was left alone).
struct SavedFontPath {
  u8 grabbed;
  u32 count;
  char** paths;  // string list (base/strlist.h), owned
};

// Grabs the head's server and makes sure its font path holds every wanted
// element: the server's own path for an in-window head, else the proxy's
// path, extended by the missing elements. Nothing (and no grab) when the
// display is offline.
void setTemporaryFontPath(Head* head, char* const* wanted, u32 wantedCount, SavedFontPath* saved);
// Puts the saved path back (through the client's link to the head's server
// when a client is given) and lets the server go; the saved state is freed.
void restoreFontPath(ProxyClient* client, Head* head, SavedFontPath* saved);
// Opens the font on the head's server with the font path of its opening;
// with scaled, under its name scaled for the head when one exists. The
// server's font id, 0 when it failed.
Font loadHeadFontForGLX(Head* head, const FontRecord* font, bool scaled);

// Whether the configured `fontPath` list lets the element in: yes when the
// list is empty; else the last entry naming it decides, and an element no
// entry names gets the opposite of the first entry's flag.
bool isFontPathElementEnabled(const char* element);

}  // namespace palvon
