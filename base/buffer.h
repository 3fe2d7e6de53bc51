// Growable byte buffers and sized data blocks.
//
// A ByteBuffer is embedded in its owner and zero-initialised by it; there is
// no constructor. It grows in three size classes so that reading a
// connection reallocates rarely, and when memory is short it keeps trying
// with smaller growth rather than failing outright. A buffer belongs to one
// thread at a time; nothing here locks.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ByteBuffer {
  u8* data;   // nullptr while no storage is held
  u64 used;   // bytes in use from data on
  u64 size;   // bytes allocated; used <= size
};

constexpr u64 kBufferClassSmall = 130972;      // 128 KiB less 100
constexpr u64 kBufferClassMedium = 4194204;    // 4 MiB less 100
constexpr u64 kBufferClassLarge = 67108764;    // 64 MiB less 100

// The allocation size for a buffer that must hold n bytes.
u64 bufferSizeClass(u64 n);
// Makes room for n more bytes. Returns the free space now available, which
// may be less than n after a memory shortage, and 0 when nothing could be
// had. Callers that need exactly n bytes compare the result with n.
u64 bufferGrow(ByteBuffer* buffer, u64 n);
// These return 1, or 0 when the room could not be had (nothing changed).
int bufferPutByte(u8 byte, ByteBuffer* buffer);
int bufferAppend(const void* data, u64 n, ByteBuffer* buffer);
int bufferAppendTail(const ByteBuffer* source, u64 offset, ByteBuffer* destination);
int bufferAppendBuffer(const ByteBuffer* source, ByteBuffer* destination);
int bufferPrepend(const void* data, u64 n, ByteBuffer* buffer);
// Removes n bytes from the front; n >= used frees the storage and leaves the
// buffer empty (data nullptr, used 0, size 0).
void bufferConsume(ByteBuffer* buffer, u64 n);
// The same, but an emptied buffer keeps its storage (up to the small size
// class) for the next read: for the input of a connection, read again and
// again, this saves an allocation per read.
void bufferConsumeKeep(ByteBuffer* buffer, u64 n);
// Moves the whole record to an empty destination and zeroes the source.
void bufferMove(ByteBuffer* source, ByteBuffer* destination);
// Moves the bytes from offset on to the end of destination and cuts the
// source there; offset 0 moves the whole record. 1, or 0 (nothing changed).
int bufferSplitTail(ByteBuffer* source, u64 offset, ByteBuffer* destination);
// Removes n bytes at address, which lies inside the used bytes.
void bufferDeleteAt(ByteBuffer* buffer, u8* address, u64 n);
// Reads once, at most n bytes, into the free space, first growing by n when
// less than n bytes are free. 1 bytes were read; 0 end of file or an error; 2 the read would
// block or was interrupted, or no room could be had.
int bufferReadFd(int fd, u64 n, ByteBuffer* buffer);
// Terminates the first line: the first CR or LF of the used bytes becomes a
// NUL. Returns the bytes that the line and its end take (a CR LF, LF CR,
// LF LF or CR CR pair counts as one end), or 0 when no line end is there.
u64 bufferCutLine(ByteBuffer* buffer);
// Frees the storage; the fields are left as they are.
void bufferFree(ByteBuffer* buffer);
void bufferNoop();

// A sized block in one heap piece: the header, and behind it the payload
// when the block owns it. owner1 and owner2 are for the owner's use.
struct DataBlock {
  u8* data;
  u64 size;
  u64 owner1;
  u64 owner2;
};

// All return nullptr when no memory could be had.
DataBlock* blockNew(u64 n);                      // payload not initialised
DataBlock* blockNewZeroed(u64 n);                // header and payload zeroed
DataBlock* blockWrap(void* data, u64 size);      // points at the caller's data
// Owning blocks only; on failure the old block stays valid.
DataBlock* blockResize(DataBlock* block, u64 n);
void blockFree(DataBlock* block);

}  // namespace palvon
