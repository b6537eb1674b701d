#pragma once

#include <cstddef>

namespace sv {

// Zero-filled heap blocks for pictures. Large blocks come straight from the kernel (already
// zero, no pass over them) and are marked for huge pages, which makes the first touch of a
// 24-megapixel buffer several times cheaper. Returns nullptr when the block cannot be had.
//
// The last two large blocks freed are kept and handed, cleared, to the next request of the same
// size (the next exposure of a series, the next display bitmap): clearing touched memory is much
// cheaper than having the kernel fault in and clear fresh pages. A request of any other large size
// returns them to the system first, so they never stand in the way of a bigger picture.
void* allocateZeroed(std::size_t bytes);
void freeZeroed(void* block, std::size_t bytes);

// Bytes of freed blocks kept for reuse: memory this process holds but can use at once.
std::size_t keptBlockBytes();
// Returns every kept block to the system.
void releaseKeptBlocks();

}  // namespace sv
