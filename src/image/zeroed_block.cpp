#include "image/zeroed_block.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace sv {

namespace {
constexpr std::size_t kLargeBlock = 4u << 20;
constexpr std::size_t kHugePage = 2u << 20;
}

void* allocateZeroed(std::size_t bytes) {
    if (bytes < kLargeBlock) return std::calloc(bytes ? bytes : 1, 1);
    // Only the whole 2 MB pages inside a mapping can be huge ones: map a huge page more than asked,
    // keep the part that starts on a huge-page boundary, and give the ends back.
    const std::size_t mapped = bytes + kHugePage;
    void* region = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(region);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
    if (aligned > start) munmap(region, aligned - start);
    const std::uintptr_t end = start + mapped;
    if (end > aligned + bytes) {
        const std::uintptr_t tail = (aligned + bytes + 4095) & ~static_cast<std::uintptr_t>(4095);
        if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
    }
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, bytes, MADV_HUGEPAGE);
#endif
    return block;
}

void freeZeroed(void* block, std::size_t bytes) {
    if (!block) return;
    if (bytes < kLargeBlock) {
        std::free(block);
    } else {
        munmap(block, bytes);
    }
}

std::vector<float> zeroedFloats(std::size_t count) {
    std::vector<float> zeros;
    zeros.reserve(count);  // untouched until filled below
#ifdef MADV_HUGEPAGE
    const std::size_t bytes = count * sizeof(float);
    if (bytes >= kLargeBlock) {
        const auto start = reinterpret_cast<std::uintptr_t>(zeros.data());
        const std::uintptr_t first = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
        const std::uintptr_t end = (start + bytes) & ~static_cast<std::uintptr_t>(kHugePage - 1);
        if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#endif
    zeros.resize(count);
    return zeros;
}

}  // namespace sv
