// PutImage (72) and GetImage (73). Clients see the image layout of the
// image display; a head whose layout, depth or visual differs, or that is
// zoomed or turned, gets the image converted. GetImage is answered by one
// head when one head shows the whole area, else assembled by the proxy
// from a piece of every head that shows part of it.
//
// Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/links/sequence.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ServerLink;
struct VisualRecord;

void ProcPutImage(u8* request, u32 length);
void ProcGetImage(u8* request, u32 length);
void ReplyGetImage(u8* reply, u32 length);
// Whether ReplyGetImage will pass the reply to that full server sequence on
// as it came apart from its header (one head's image for the client, no
// conversion, not a capture of the proxy's own), so that it may stream.
bool getImageReplyPassesThrough(const ServerLink* link, u64 serverSequence);

// The display whose image layout the clients see (null without displays).
Display* clientImageDisplay();
// Whether an image of the format and depth must be converted for the head:
// the head scales, converts the visual's pixels, maps the depth, or lays
// out images otherwise than the image display.
bool imageNeedsConversion(u32 format, u32 depth, const VisualRecord* clientVisual, const Head* head);
// Sends a converted image to the head (drawable and GC translated); false
// when the link could not take it.
bool putImageOnHead(ServerLink* link, const Head* head, u32 drawable, u32 gc, const XImage* image, i32 x, i32 y);

struct DrawableInfo;
// A client image (in the client's layout) at (x, y) of the drawable on one
// head: converted, scaled and turned for the head where it must be, its
// window's background tiles repeated; false when the link could not take
// it.
bool putClientImageOnHead(ServerLink* link, Head* head, u32 drawable, u32 gc, const DrawableInfo& info,
                          XImage* image, i32 x, i32 y);

struct GetImageJob;
struct MetaScreen;
// Where an image read for another request than GetImage goes (the
// shared-memory image read): `done` gets the finished job once every piece
// has answered (job->failed set when a piece could not be converted; not
// called when one was answered with an error), `release` runs when the job
// is freed, whatever happened. `direct`, when set, is offered the one head
// that shows the whole area; true when it sent the request itself.
struct GetImageSink {
  void (*done)(GetImageJob* job, u16 sequence, void* argument);
  void (*release)(void* argument);
  bool (*direct)(Head* head, void* argument);
  void* argument;
};

// The bytes of an image for a shared segment: the client's own, which the
// heads that take them as they are share (data), or bytes the caller
// writes for one head into the room it is given (fill, data null; false
// when it could not).
struct ShmImageBytes {
  const u8* data;
  u64 bytes;
  bool (*fill)(u8* to, void* argument);
  void* argument;
};

// The shared-memory put of the MIT-SHM module while it is registered (null
// otherwise): true when it sent the image, false when the caller must send
// an ordinary PutImage.
struct ProxyClient;
using ShmPutImageHook = bool (*)(ProxyClient* client, const Head* head, u32 drawable, u32 gc, i16 x, i16 y, u16 width,
                                 u16 height, u8 depth, u8 format, const ShmImageBytes& image);
extern ShmPutImageHook shmPutImageHook;

// The shared-memory read-back of the MIT-SHM module while it is registered
// (null otherwise), for the proxy's own reads of images from a head: the
// area of the drawable (an id on the head's server) of that depth, in
// ZPixmap, lands in the returned segment of the proxy's own, which the
// caller reads once `callback` got the server's reply (or error: first
// byte 0) and then destroys.
// Without a callback the argument is freed with the reply. Null when the
// caller must send an ordinary GetImage (no shared memory with that
// server, or an image below shmGetImageMinSize).
struct ShmSegment;
using ShmGetImageHook = ShmSegment* (*)(ServerLink* link, const Head* head, u32 drawable, i16 x, i16 y, u16 width,
                                        u16 height, u32 depth, u32 planeMask, ReplyHookCallback callback,
                                        void* argument);
extern ShmGetImageHook shmGetImageHook;

// One GetImage shared by the pieces of several heads.
struct GetImageJob {
  u8* buffer;        // zero-filled, size + 1 bytes, in the client's layout
  u32 size;
  u8 format;
  u8 depth;          // the drawable's
  u32 visual;        // the client's visual id (a pixmap's: its depth's, to convert with)
  u8 pixmap;         // the reply names no visual
  u32 planeMask;
  u32 width, height;
  u32 outstanding;   // pieces not yet answered
  u32 references;
  u8 failed;         // a piece could not be converted: BadAlloc once
  u8 lost;           // a piece was answered with an error: no reply
  GetImageSink sink;  // done null: the answer is a GetImage reply
};
// One piece, stashed on its head's link.
struct GetImagePart {
  GetImageJob* job;  // null: the head's reply passes through
  Head* head;
  i32 x, y;          // offset in the client image
  u32 width, height;           // in client pixels
  u32 headWidth, headHeight;   // asked of the head
  u32 visual;        // the window's visual (the client's id), 0 for a pixmap
  u8 answered;
  // The client's request, for a piece that passes through: a lost head's
  // piece is answered in its place.
  u8 format;
  u8 depth;
  u32 planeMask;
};
// The finished job's image over its buffer (nothing copied), in the
// client's layout; an XYPixmap of one plane reads as the XYBitmap it is.
void describeJobImage(GetImageJob* job, XImage* out);
// A part with a new job (previous null) or sharing the previous part's.
GetImagePart* newGetImagePart(GetImagePart* previous, u32 jobSize);
void releaseGetImagePart(void* part);

// A GetImage piece that the link's server, lost, still owes for the
// client's request of `sequence`: the image is answered as the proxy
// answers the request once the server is gone, from the heads that remain.
// The piece's area lies outside them and reads as zeros; the image goes to
// the client once the other pieces are in (now when they are). False when
// the request is no piece of a window's image (a pixmap's read, which
// another head would answer with its pixels): the caller answers it.
bool answerLostImagePiece(ProxyClient* client, const ServerLink* link, u64 serverSequence, u64 sequence);

// The size of a client image of the format and depth (XYPixmap: the planes
// of the mask), in the layout clients see; 64 bits, never wraps.
u64 clientImageBytes(u32 format, u32 depth, u64 width, u32 height, u32 planeMask);
// The area of the drawable (validated by the caller) read from the heads
// like GetImage, always through a job (pieces of several heads, or one
// head's image converted to the client's layout) that ends in the sink. The
// request names the client's request for the pending list. False when
// nothing could be asked; the sink's release has then run.
bool getImageIntoSink(const u8* request, u8 format, u32 drawable, i16 x, i16 y, u16 width, u16 height,
                      u32 planeMask, const GetImageSink& sink);

}  // namespace palvon
