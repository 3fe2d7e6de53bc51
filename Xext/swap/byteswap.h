// Byte swapping of X messages by layout strings.
//
// A message that crosses between peers of different byte order is converted
// in place by swapByFormat, steered by a LayoutString that lists the
// message's fields by width:
//   b      skip one byte
//   s i l  swap one 16-, 32- or 64-bit field
//   S I L  swap every whole word of that width up to the end, then stop
//   [ ]    repeat the group between them until the data runs out
//   Hn     special layout n (an optional '-' and decimal digits), then stop
// A positive special number means the message arrives in the foreign order
// (counts are read after swapping), a negative one that it is in our order and
// about to leave (counts are read before swapping).
//
// No routine here touches a byte at or after `end`, whatever the input: the
// swapper runs on client bytes before any validation. A field that would
// cross the end ends the walk quietly. Unknown letters, special numbers and
// kinds are reported as unexpected states ("UNE") and skipped.
//
// Main thread or any thread: the routines keep no state and never allocate.
#pragma once

#include "base/strings.h"

namespace palvon {

// The byte-swap and trace descriptor of a message (a NUL-terminated string
// literal; never freed).
using LayoutString = const char*;

void swapByFormat(LayoutString layout, u8* start, const u8* end);

// The same walk with the direction of special layouts given by the call
// rather than by the sign in the string, so that one layout serves a
// message both ways: arriving (in the foreign order, counts read after the
// swap) and leaving (in our order, counts read before it).
void swapArriving(LayoutString layout, u8* start, const u8* end);
void swapLeaving(LayoutString layout, u8* start, const u8* end);

// Reverses one 32-bit word when it ends at or before end; gives 4.
u32 swap32InPlace(u8* field, const u8* end);

// A counted string: 16-bit length then the bytes. Swaps the length (before
// reading it when positive, after when negative); gives pad4(length + 2).
u32 swapCountedString(u8* at, const u8* end, bool positive);

// An XKEYBOARD doodad selected by its kind byte at offset 4; gives the
// position after the record, at most end.
u8* swapKindRecord(u8* record, const u8* end, bool positive);

// The X11 connection set-up reply (special layout 23).
void swapConnectionSetupReply(u8* reply, const u8* end, bool positive);

// The layout of an event carried inside a request (SendExtensionEvent), by
// its code: as the client numbers it when arriving, as the receiving server
// does when leaving. Installed by the module that owns the codes; null:
// only the event's header is swapped.
extern LayoutString (*embeddedEventLayout)(const u8* event, bool arriving);

// Swap count words of the width from at, cut at end; give count x width.
u64 swapArray16(u64 count, u8* at, const u8* end);
u64 swapArray32(u64 count, u8* at, const u8* end);
u64 swapArray64(u64 count, u8* at, const u8* end);

// Applies layout to count records of recordSize bytes, each record being its
// own end (and never past end); gives the position after the last.
u8* swapRecordArray(u8* at, const u8* end, u64 count, u32 recordSize, LayoutString layout);

}  // namespace palvon
