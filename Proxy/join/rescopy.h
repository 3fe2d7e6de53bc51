// Copying every client resource onto a head that joins while clients run,
// and freeing a leaving head's copies.
//
// The copies are made through the owning client's own link to the new
// server (so the server sees the client's ids in the client's id space);
// images are read from a head that has them through the proxy's own
// connection and written on the new head through the proxy's own
// connection, after a round trip has made sure the server holds the
// pixmap. Main thread only; the copies run synchronous round trips bounded
// by the servers' offline time-outs.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct RequestWriter;

// Zombie pixmaps, cursors, pixmaps (with their contents from `source`),
// colormaps (with their cells), fonts and GCs onto the new head, in that
// order. Null on success, else the error text.
const char* copyResourcesToHead(Head* source, Head* head);
// Re-creates one window on the head through the writer (the owner's link);
// the parent and the next lower sibling must exist there. 1, or 0 when a
// request could not be written.
int copyWindowTreeToDisplay(ProxyWindow* window, RequestWriter* writer, Head* head);
// Maps on the head what is mapped below `root`, children before parents and
// each parent's children bottom-up, through each window's owner's link.
void copyWindowMappingToHead(ProxyWindow* root, Head* head);
// Before fonts are copied: every element the session's fonts and GCs were
// opened under, and the current and default paths, are asked of the head's
// server. An element it refuses that the font display lacks too ends the
// step ("No font path '%s' on %s"); one the font display has is logged, and
// the server's own list then names what it takes. Unless the head is shown
// in a window, the proxy's font path filtered for the server is set there.
// Null or the error text.
const char* applyFontPathToHead(Head* head);

// A leaving head: every resource's copy on the head is destroyed through the
// proxy's own connection (nothing is sent to an offline display), and the
// zombie pixmaps' copies there are freed. `offline`: the server is gone or
// leaves with its last head, so nothing needs destroying on it.
void freeHeadResources(Head* head, MetaScreen* screen, bool offline);
// The copy of one resource on one head (nothing for a resource of another
// screen or an offline display).
void freeResourceOnHead(u32 id, u32 type, void* object, Head* head, MetaScreen* screen);

// Marks the request just written through a client link's writer as the
// proxy's own copy: an error the server returns for it is not the client's.
void markProxyCopy(RequestWriter* writer);

// Rows of an image band: as many lines as fit the band size, at least one
// (a line longer than the band still moves, one line at a time).
u32 rowsPerBand(u64 bandSize, u64 bytesPerLine);
// Copying a pixmap in bands of at most this many bytes (ZAVmaxBandSize,
// default 65536).
u64 imageBandSize();

}  // namespace palvon
