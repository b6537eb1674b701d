#pragma once

#include <cstddef>

namespace sv {

// Zero-filled heap blocks for pictures. Large blocks come straight from the kernel (already
// zero, no pass over them) and are marked for huge pages, which makes the first touch of a
// 24-megapixel buffer several times cheaper. Returns nullptr when the block cannot be had.
void* allocateZeroed(std::size_t bytes);
void freeZeroed(void* block, std::size_t bytes);

}  // namespace sv
