#include "base/buffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "base/logging.h"

namespace palvon {

u64 bufferSizeClass(u64 n) {
  if (n < kBufferClassSmall + 1) return kBufferClassSmall;
  if (n < kBufferClassMedium + 1) return kBufferClassMedium;
  return n > kBufferClassLarge ? n : kBufferClassLarge;
}

namespace {

// A buffer without storage after the size class could not be had: exactly
// n bytes, then half as much each time.
u64 growEmpty(ByteBuffer* buffer, u64 n) {
  for (u64 amount = n; amount >= 2 || amount == n; amount /= 2) {
    if (void* data = memAlloc(amount)) {
      *buffer = ByteBuffer{static_cast<u8*>(data), 0, amount};
      return amount;
    }
    PALVON_OOM();
    if (amount < 2) break;
  }
  return 0;
}

}  // namespace

u64 bufferGrow(ByteBuffer* buffer, u64 n) {
  if (n == 0) return buffer->size - buffer->used;
  if (!buffer->data) {
    u64 wanted = bufferSizeClass(n);
    if (void* data = memAlloc(wanted)) {
      buffer->data = static_cast<u8*>(data);
      buffer->used = 0;
      buffer->size = wanted;
      return wanted;
    }
    return growEmpty(buffer, n);
  }
  if (buffer->size - buffer->used >= n) return buffer->size - buffer->used;
  if (n > UINT64_MAX - buffer->used) return 0;
  u64 wanted = bufferSizeClass(buffer->used + n);
  if (void* data = memRealloc(buffer->data, wanted)) {
    buffer->data = static_cast<u8*>(data);
    buffer->size = wanted;
    return wanted - buffer->used;
  }
  for (; n > 0; n /= 2) {
    if (void* data = memRealloc(buffer->data, buffer->used + n)) {
      buffer->data = static_cast<u8*>(data);
      buffer->size = buffer->used + n;
      return n;
    }
    PALVON_OOM();
  }
  return 0;
}

int bufferPutByte(u8 byte, ByteBuffer* buffer) {
  if (buffer->used == buffer->size && bufferGrow(buffer, 1) < 1) return 0;
  buffer->data[buffer->used++] = byte;
  return 1;
}

int bufferAppend(const void* data, u64 n, ByteBuffer* buffer) {
  if (n == 0) return 1;
  if (buffer->size - buffer->used < n && bufferGrow(buffer, n) < n) return 0;
  std::memcpy(buffer->data + buffer->used, data, n);
  buffer->used += n;
  return 1;
}

int bufferAppendTail(const ByteBuffer* source, u64 offset, ByteBuffer* destination) {
  if (offset >= source->used) return 1;
  return bufferAppend(source->data + offset, source->used - offset, destination);
}

int bufferAppendBuffer(const ByteBuffer* source, ByteBuffer* destination) {
  return bufferAppendTail(source, 0, destination);
}

int bufferPrepend(const void* data, u64 n, ByteBuffer* buffer) {
  if (n == 0) return 1;
  if (buffer->size - buffer->used < n && bufferGrow(buffer, n) < n) return 0;
  if (buffer->used) std::memmove(buffer->data + n, buffer->data, buffer->used);
  std::memcpy(buffer->data, data, n);
  buffer->used += n;
  return 1;
}

void bufferConsume(ByteBuffer* buffer, u64 n) {
  if (n == 0) return;
  if (n >= buffer->used) {
    std::free(buffer->data);
    *buffer = ByteBuffer{};
    return;
  }
  std::memmove(buffer->data, buffer->data + n, buffer->used - n);
  buffer->used -= n;
}

void bufferConsumeKeep(ByteBuffer* buffer, u64 n) {
  if (n >= buffer->used && buffer->data && buffer->size <= kBufferClassSmall) {
    buffer->used = 0;
    return;
  }
  bufferConsume(buffer, n);
}

void bufferMove(ByteBuffer* source, ByteBuffer* destination) {
  *destination = *source;
  *source = ByteBuffer{};
}

int bufferSplitTail(ByteBuffer* source, u64 offset, ByteBuffer* destination) {
  if (offset == 0) {
    bufferMove(source, destination);
    return 1;
  }
  if (offset > source->used) return 0;
  if (!bufferAppendTail(source, offset, destination)) return 0;
  source->used = offset;
  return 1;
}

void bufferDeleteAt(ByteBuffer* buffer, u8* address, u64 n) {
  u64 at = static_cast<u64>(address - buffer->data);
  if (at >= buffer->used) return;
  if (n > buffer->used - at) n = buffer->used - at;
  std::memmove(address, address + n, buffer->used - at - n);
  buffer->used -= n;
}

int bufferReadFd(int fd, u64 n, ByteBuffer* buffer) {
  if (buffer->size - buffer->used < n && bufferGrow(buffer, n) == 0) return 2;
  if (buffer->size == buffer->used) return 2;
  // At most n: a caller bounds what it holds by what it asks for, and the
  // free space of a grown buffer can be far larger.
  u64 room = std::min(n, buffer->size - buffer->used);
  ssize_t got = read(fd, buffer->data + buffer->used, room);
  if (got > 0) {
    buffer->used += static_cast<u64>(got);
    return 1;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 2;
  return 0;
}

u64 bufferCutLine(ByteBuffer* buffer) {
  for (u64 i = 0; i < buffer->used; i++) {
    u8 c = buffer->data[i];
    if (c != '\r' && c != '\n') continue;
    buffer->data[i] = 0;
    // The byte behind the terminator is looked at only when it is in use.
    if (i + 1 < buffer->used && (buffer->data[i + 1] == '\r' || buffer->data[i + 1] == '\n')) return i + 2;
    return i + 1;
  }
  return 0;
}

void bufferFree(ByteBuffer* buffer) {
  if (buffer->data) std::free(buffer->data);
}

void bufferNoop() {}

// --- Data blocks ------------------------------------------------------------

DataBlock* blockNew(u64 n) {
  if (n > SIZE_MAX - sizeof(DataBlock)) return nullptr;
  auto* block = static_cast<DataBlock*>(memAlloc(sizeof(DataBlock) + n));
  if (!block) return nullptr;
  *block = DataBlock{reinterpret_cast<u8*>(block + 1), n, 0, 0};
  return block;
}

DataBlock* blockNewZeroed(u64 n) {
  if (n > SIZE_MAX - sizeof(DataBlock)) return nullptr;
  auto* block = static_cast<DataBlock*>(memCalloc(1, sizeof(DataBlock) + n));
  if (!block) return nullptr;
  block->data = reinterpret_cast<u8*>(block + 1);
  block->size = n;
  return block;
}

DataBlock* blockWrap(void* data, u64 size) {
  auto* block = static_cast<DataBlock*>(memAlloc(sizeof(DataBlock)));
  if (!block) return nullptr;
  *block = DataBlock{static_cast<u8*>(data), size, 0, 0};
  return block;
}

DataBlock* blockResize(DataBlock* block, u64 n) {
  if (n > SIZE_MAX - sizeof(DataBlock)) return nullptr;
  auto* resized = static_cast<DataBlock*>(memRealloc(block, sizeof(DataBlock) + n));
  if (!resized) return nullptr;
  resized->data = reinterpret_cast<u8*>(resized + 1);
  resized->size = n;
  return resized;
}

void blockFree(DataBlock* block) { std::free(block); }

}  // namespace palvon
