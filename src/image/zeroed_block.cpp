#include "image/zeroed_block.h"

#include <cstdlib>
#include <sys/mman.h>

namespace sv {

namespace {
constexpr std::size_t kLargeBlock = 4u << 20;
}

void* allocateZeroed(std::size_t bytes) {
    if (bytes < kLargeBlock) return std::calloc(bytes ? bytes : 1, 1);
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) return nullptr;
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

}  // namespace sv
