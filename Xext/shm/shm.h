// MIT-SHM: the proxy attaches every client segment itself, so that it can
// read images out of a segment and write them into it whatever the real
// servers can do. A request reaches a server as an MIT-SHM request only
// where that server shares memory with the proxy and the image needs no
// conversion for the head; elsewhere the proxy uses core PutImage and
// GetImage. The module also lends the core image path segments of the
// proxy's own: one per large image, and one per link that small images
// share (ring.h).
//
// Main thread only.
#pragma once

#include <sys/ipc.h>
#include <sys/types.h>

#include "Proxy/dispatch/extensions.h"
#include "Proxy/links/sequence.h"
#include "Proxy/requests/images.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ServerLink;

// One distinct client segment (system id), shared by every attachment of
// it by any client; on one list of the proxy.
struct ClientShmSegment {
  ClientShmSegment* next;
  ClientShmSegment* previous;
  u32 resourceId;  // the attachment that made the record
  u32 shmid;
  // Attachments plus pending image reads into the segment; 32 bits, so
  // that no number of attachments wraps it while the segment is in use.
  u32 references;
  u8 readOnly;
  u8* address;     // the proxy's own mapping
  u64 size;        // from the system when attached
};

// Registers "MIT-SHM" (6 requests, 1 event, 1 error). Null or the refusal
// text.
const char* initShmExtension(ExtensionEntry* entry);

// Drops one reference; the last detaches the proxy's mapping and frees the
// record.
void detachShmSegment(ClientShmSegment* segment);
// The segment's size from the system; 0 when that fails.
u64 shmSegmentSize(const ClientShmSegment* segment);

// Sends an image (laid out for the head's server) through a segment of the
// proxy's own: a small one through the link's ring, a larger one through a
// pooled segment, which goes back to the pool once the server passed the
// put. False, having sent nothing, when the caller must send an ordinary
// PutImage.
bool shmPutImageOnHead(ProxyClient* client, const Head* head, u32 drawable, u32 gc, i16 x, i16 y, u16 width, u16 height,
                       u8 depth, u8 format, const ShmImageBytes& image);

// Reads the drawable's area (ZPixmap, an id on the head's server, of that
// depth) into a new segment of the proxy's own through the link: attach,
// ShmGetImage, detach. With a callback the server's reply, or its error,
// goes to it; the caller reads the segment after a reply and destroys it. Without one the
// argument is freed with the reply. Null, having sent nothing, when the
// caller must send an ordinary GetImage: MIT-SHM off, no shared memory with
// that server, or an image below shmGetImageMinSize.
struct ShmSegment;
ShmSegment* shmGetImageFromHead(ServerLink* link, const Head* head, u32 drawable, i16 x, i16 y, u16 width, u16 height,
                                u32 depth, u32 planeMask, ReplyHookCallback callback, void* argument);

// ShmAttach and ShmDetach of a segment on the link's server under serverId
// (an id on that server); nothing when MIT-SHM is off or the link takes no
// request.
void requestShmAttach(ServerLink* link, u32 serverId, u32 shmid, u8 readOnly);
void requestShmDetach(ServerLink* link, u32 serverId);

// The bytes of a client's attached segment as the proxy maps them; false
// when the id names no attached segment.
bool clientShmSegmentBytes(u32 segment, const u8** bytes, u64* size);

// Attaches every client attachment on the display of a joining head, on
// its owner's link. Always 1.
int copyShmSegmentsToDisplay(Head* head);

// --- Checks, kept apart for their tests -------------------------------------------------

// Whose request it is: a local client's credentials, or none (a client
// over the network, which gets only what the segment gives everyone).
struct ShmRequester {
  bool known;
  uid_t user;
  gid_t group;
};
// Whether the requester may attach the segment of that permission, read-only
// or read-write, as an X server decides it.
bool shmAccessAllowed(const ipc_perm& permission, const ShmRequester& requester, bool readOnly);
// Whether `bytes` from `offset` lie inside a segment of `size` bytes.
inline bool shmRangeFits(u64 size, u64 offset, u64 bytes) { return offset <= size && bytes <= size - offset; }

}  // namespace palvon
