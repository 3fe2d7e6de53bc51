// Small helpers over the X wire that several handlers share: finding a
// server's reply or error by sequence in a buffer of server messages, the
// length of a BIG-REQUESTS request, the closing mark of a client, counted
// string lists and image sizes.
//
// Everything reads only inside the lengths it is given. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

// A buffer of server messages: replies are 32 + 4 x their length word,
// everything else 32 bytes. `swapped`: the server's byte order differs.
// 1 with the reply's position and size when a reply with that 16-bit
// sequence is complete in the buffer; 0 with the position where the scan
// stopped (fewer than 32 bytes left, or an incomplete reply).
int findReplyBySequence(u16 sequence, const u8* buffer, u64 length, bool swapped, u64* position, u64* size);
// The same for an error with that sequence (32 bytes).
int findErrorBySequence(u16 sequence, const u8* buffer, u64 length, bool swapped, u64* position);

// A request whose 16-bit length is 0: 0 while fewer than 8 bytes are
// available or the request is incomplete, else 4 x its 32-bit length word
// (read in the client's order), at least 8.
u64 bigRequestLength(const u8* data, u64 available, bool swapped);

// Why a client is to be closed; only the first reason counts.
struct ClosingMark {
  u32 state;           // all ones once marked
  const char* reason;  // "" when none was given
};
void markClientClosing(ClosingMark* mark, const char* reason);

// An id field that names nothing.
void invalidateId(u8* field);

// The most-significant-first font id of a PolyText font item.
u32 readCard32BE(const u8* bytes);
void writeCard32BE(u8* bytes, u32 value);

// count NUL-terminated copies of the length-prefixed strings in data, as
// one allocation (free the array only); null when they overrun `length` or
// their total rounded up to 4 differs from it. count 0 with length 0 gives
// an empty allocation.
char** unpackStringList(const u8* data, u32 length, u32 count);
// Writes each string as a length byte and its bytes (at most 255 each);
// returns the bytes written.
u32 packStringList(const char* const* strings, u32 count, u8* out);

// Bytes of an image of that size and format (1: XYPixmap, times the planes
// of the plane mask within the depth).
u64 imageDataSize(u32 width, u32 height, u32 format, u32 depth, u32 planeMask, u32 bitsPerPixel, u32 scanlinePad);

}  // namespace palvon
