#pragma once

#include <cstddef>
#include <vector>

namespace sv {

// Zero-filled heap blocks for pictures. Large blocks come straight from the kernel (already
// zero, no pass over them) and are marked for huge pages, which makes the first touch of a
// 24-megapixel buffer several times cheaper. Returns nullptr when the block cannot be had.
void* allocateZeroed(std::size_t bytes);
void freeZeroed(void* block, std::size_t bytes);

// `count` zeros whose large interior is marked for huge pages before it is first touched, as the
// picture blocks are: a plane of a 24-megapixel picture's size then takes a fraction of the time.
std::vector<float> zeroedFloats(std::size_t count);

}  // namespace sv
