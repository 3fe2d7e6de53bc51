// Blocks of one size kept for reuse, so that the per-message records of the
// hot paths (stash entries, round-trip closures, reply hooks, small held
// messages) are allocated once and then recycled. At most `Max` blocks are
// kept; the rest go back to the heap. Main thread only.
#pragma once

#include <cstdlib>

#include "base/strings.h"

namespace palvon {

template <size_t Size, u32 Max = 4096>
class BlockPool {
  static_assert(Size >= sizeof(void*), "a kept block holds the link to the next");

 public:
  // A block of Size bytes (not initialised), or null after logging when
  // memory is short.
  void* take() {
    if (void* block = first_) {
      first_ = *static_cast<void**>(block);
      kept_--;
      return block;
    }
    return memAlloc(Size);
  }
  void give(void* block) {
    if (!block) return;
    if (kept_ >= Max) {
      std::free(block);
      return;
    }
    *static_cast<void**>(block) = first_;
    first_ = block;
    kept_++;
  }

 private:
  void* first_ = nullptr;
  u32 kept_ = 0;
};

}  // namespace palvon
