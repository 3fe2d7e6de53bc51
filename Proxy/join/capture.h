// Reading what a window subtree shows back from one head into an image of
// the caller's, asynchronously. The pixels exist only on the heads, maybe
// zoomed and in another visual: every visible box of every window of the
// subtree is read with GetImage on a client's link to the head and
// converted into the caller's image (its own channel masks; indexed
// visuals through the window's colormap) when the reply arrives. A round
// trip behind the last read tells the caller that the image is complete.
//
// Main thread only. The target image stays the caller's; the capture
// writes into it only until the completion callback has run (or the queue
// call failed), never after.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;
struct ServerLink;

// Stash code under which a read's conversion record waits on the link for
// its GetImage reply.
constexpr u8 kStashCapture = 120;

// Runs once per queued capture: complete is false when a read was refused
// by the server or the link went away before the end. The target may be
// freed from here on.
using CaptureDone = void (*)(void* argument, bool complete);

// Captures `area` (meta coordinates) of the window and its shown
// descendants from the window's first head (the screen's colour head when
// it has none) through the client's link. The target image covers the
// area as the head shows it (a head zoomed twice: twice the size); pixels
// no window shows stay as they were. flag is kept with the capture.
// Null on success (done will run) or "Out of memory (%s:%d)" (done will
// not run).
const char* queueWindowAreaOnHead(ProxyClient* client, ProxyWindow* window, const HeadRect& area, u8 flag,
                                  XImage* target, void* argument, CaptureDone done);
// The same from a chosen head (null: as above).
const char* queueWindowAreaOn(ProxyClient* client, ProxyWindow* window, Head* head, const HeadRect& area, u8 flag,
                              XImage* target, void* argument, CaptureDone done);
// The size the target image of an area must have on the head.
HeadRect captureAreaOnHead(const Head* head, const HeadRect& area);

// Converts one read (the stash taken under kStashCapture) from its GetImage
// reply, read from `display`, and frees the record.
void convertCapturedImage(void* read, Display* display, const u8* reply, u32 length);
// The server refused the read of the current sequence on the link: the
// capture is marked incomplete and the record freed. False when the
// sequence was not a capture's read (the error is the client's).
bool dropCapturedImageOfError(ServerLink* link);

// Flushes the proxy's connection to the head that shows the window (its
// first head, else the screen's colour head) and every client's links.
void flushWindowHead(ProxyWindow* window, bool waitForGL);

// Captures the whole window (by id) from the head (null: its first head)
// and writes it as a binary PPM file once complete. The client's links are
// used (null: the window's owner). Null or a message; a capture that ends
// incomplete is logged and leaves no file.
const char* captureWindowToFile(ProxyClient* client, u32 windowId, Head* head, const char* path);

}  // namespace palvon
