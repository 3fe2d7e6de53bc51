// Small images reach a server through one segment per link, used as a
// ring: each image is copied in behind the one before and named by its
// offset, and a round trip now and then (a mark) tells up to where the
// server has read, so that the room is used again. A segment and a round
// trip for each small image would cost more than the image: the kernel
// allows only some thousands of segments, and a pipelined stream of small
// images used them all up.
//
// The segment comes from the pool (pool.h) and is attached once on the
// link's server. A ring that took no image for a trim period (and whose
// images the server has read) is detached and goes back to the pool, as
// does the ring of a closing link; a ring whose server may still read it
// (a mark ended unanswered) is removed instead. Main thread only.
#pragma once
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ServerLink;

// Room for two dozen images of 40 KiB: 100x100 at 32 bits, an icon or a
// picture as a 24-bit head takes it (from an emulated 8-bit visual too).
// A ring that is full sends its images in the request instead, at four
// times the bytes of an emulated 8-bit image; with half this room a stream
// of such images met a full ring for one image in 25 (the marks' answers
// wait behind the client's input). Larger images take a pooled segment of
// their own, and a round trip each.
constexpr u64 kImageRingBytes = 1024 << 10;
constexpr u64 kRingImageMaxBytes = kImageRingBytes / 8;
constexpr u64 kImageRingIdleMs = 500;

// Where an image goes: its address in the proxy, the segment's id on the
// link's server and the image's offset in it.
struct ImageRoom {
  u8* at;
  u32 serverId;
  u32 offset;
};

// Room for an image of `bytes` in the link's ring, the ring made and
// attached at its first image. False when there is none now (the ring is
// full until the next mark is answered, or the pool lends no segment):
// the caller sends the image another way.
bool takeImageRingRoom(ServerLink* link, ProxyClient* client, const Head* head, u64 bytes, ImageRoom* room);
// The request naming the room was written: a mark follows every quarter
// of the ring.
void imageRingPutWritten(ServerLink* link);
// The link closes (the links' hook, releaseImageRingOfLink).
void dropImageRing(ServerLink* link);
// The proxy is leaving and removes every pooled segment: the rings are
// forgotten, touching neither their segments nor the loop's orders.
void forgetImageRings();
// Rings in use, for tests.
u32 imageRingCount();

}  // namespace palvon
