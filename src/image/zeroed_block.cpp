#include "image/zeroed_block.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace sv {

namespace {
constexpr std::size_t kLargeBlock = 4u << 20;
constexpr std::size_t kKeptBlocks = 2;

// Large blocks given back, kept for the next request of the same size. A series of opens frees
// one exposure's picture and bitmap just before the next decode asks for blocks of exactly those
// sizes; fresh pages would each be faulted in and cleared by the kernel, which on a virtual
// machine (whose host takes freed memory back) costs many times a pass over memory.
struct KeptBlocks {
    std::mutex lock;
    void* block[kKeptBlocks] = {};
    std::size_t bytes[kKeptBlocks] = {};
    std::size_t total = 0;
};

KeptBlocks& kept() {
    static KeptBlocks k;
    return k;
}

// Both cores clear a reused block: it is as large as a picture.
void clearBlock(void* block, std::size_t bytes) {
    auto* p = static_cast<unsigned char*>(block);
    constexpr std::size_t kChunk = 1u << 22;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, (bytes + kChunk - 1) / kChunk),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                          const std::size_t from = r.begin() * kChunk;
                          const std::size_t to = std::min(bytes, r.end() * kChunk);
                          std::memset(p + from, 0, to - from);
                      });
}

void* takeKept(std::size_t bytes) {
    KeptBlocks& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    for (std::size_t i = 0; i < kKeptBlocks; ++i) {
        if (k.block[i] && k.bytes[i] == bytes) {
            void* block = k.block[i];
            for (std::size_t j = i; j + 1 < kKeptBlocks; ++j) {
                k.block[j] = k.block[j + 1];
                k.bytes[j] = k.bytes[j + 1];
            }
            k.block[kKeptBlocks - 1] = nullptr;
            k.bytes[kKeptBlocks - 1] = 0;
            k.total -= bytes;
            return block;
        }
    }
    return nullptr;
}

void unmapAll(void* const* blocks, const std::size_t* sizes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (blocks[i]) munmap(blocks[i], sizes[i]);
    }
}

}  // namespace

void* allocateZeroed(std::size_t bytes) {
    if (bytes < kLargeBlock) return std::calloc(bytes ? bytes : 1, 1);
    if (void* block = takeKept(bytes)) {
        clearBlock(block, bytes);
        return block;
    }
    // A request of another size: what is kept would only stand in its way.
    releaseKeptBlocks();
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
        return;
    }
    KeptBlocks& k = kept();
    void* dropped = nullptr;
    std::size_t droppedBytes = 0;
    {
        std::lock_guard<std::mutex> guard(k.lock);
        // The newest block is kept; the oldest makes way.
        std::size_t slot = 0;
        while (slot < kKeptBlocks && k.block[slot]) ++slot;
        if (slot == kKeptBlocks) {
            dropped = k.block[0];
            droppedBytes = k.bytes[0];
            k.total -= droppedBytes;
            for (std::size_t i = 0; i + 1 < kKeptBlocks; ++i) {
                k.block[i] = k.block[i + 1];
                k.bytes[i] = k.bytes[i + 1];
            }
            slot = kKeptBlocks - 1;
        }
        k.block[slot] = block;
        k.bytes[slot] = bytes;
        k.total += bytes;
    }
    if (dropped) munmap(dropped, droppedBytes);
}

std::size_t keptBlockBytes() {
    KeptBlocks& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.total;
}

void releaseKeptBlocks() {
    KeptBlocks& k = kept();
    void* blocks[kKeptBlocks];
    std::size_t sizes[kKeptBlocks];
    {
        std::lock_guard<std::mutex> guard(k.lock);
        for (std::size_t i = 0; i < kKeptBlocks; ++i) {
            blocks[i] = k.block[i];
            sizes[i] = k.bytes[i];
            k.block[i] = nullptr;
            k.bytes[i] = 0;
        }
        k.total = 0;
    }
    unmapAll(blocks, sizes, kKeptBlocks);
}

}  // namespace sv
