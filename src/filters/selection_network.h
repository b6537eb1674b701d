#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace sv {

// A comparator network that leaves the value of a given rank of its inputs in a known slot.
// Built from Batcher's odd-even merge sort over a power-of-two number of slots: slots with no
// input act as +infinity and their comparators are resolved while building; when the inputs
// come as sorted blocks (columns sorted beforehand), the stages that sort inside a block are
// left out; comparators that cannot reach the wanted slot are dropped.
struct SelectionNetwork {
    int slots = 0;                                        // storage the network works in
    std::vector<int> inputSlots;                          // where input k is loaded
    std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;  // (a, b): a gets min, b gets max
    std::vector<int> rankSlots;                           // where the value of rank r ends up
};

// blocks x perBlock inputs; input k = block k / perBlock, place k % perBlock. With sortedBlocks
// each block must arrive in ascending order. rank < 0 keeps every comparator (a full sort).
// Usable at compile time, so that a fixed network can be laid out as straight-line code.
namespace detail {

constexpr int powerOfTwoAtLeast(int n) {
    int p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace detail

constexpr SelectionNetwork makeSelectionNetwork(int blocks, int perBlock, bool sortedBlocks, int rank) {
    SelectionNetwork net;
    const int blockSize = sortedBlocks ? detail::powerOfTwoAtLeast(perBlock) : 1;
    const int count = blocks * perBlock;
    const int total = sortedBlocks ? detail::powerOfTwoAtLeast(blocks * blockSize) : detail::powerOfTwoAtLeast(count);
    net.slots = total;
    // Filled element by element: clang cannot evaluate the sized constructors at compile time.
    std::vector<int> slot;
    std::vector<int> infinite;  // flags
    for (int i = 0; i < total; ++i) {
        slot.push_back(i);
        infinite.push_back(1);
    }
    for (int k = 0; k < count; ++k) {
        const int pos = sortedBlocks ? (k / perBlock) * blockSize + k % perBlock : k;
        net.inputSlots.push_back(pos);
        infinite[pos] = 0;
    }

    std::vector<std::pair<std::uint8_t, std::uint8_t>> all;
    // Batcher's odd-even merge sort; stage p merges sorted runs of p into runs of 2p.
    for (int p = blockSize; p < total; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < total; j += 2 * k) {
                for (int i = 0; i < std::min(k, total - j - k); ++i) {
                    if ((i + j) / (2 * p) != (i + j + k) / (2 * p)) continue;
                    const int lo = i + j, hi = i + j + k;
                    if (infinite[hi]) continue;  // lo <= +inf already
                    if (infinite[lo]) {          // the finite value simply moves down
                        std::swap(slot[lo], slot[hi]);
                        infinite[lo] = 0;
                        infinite[hi] = 1;
                        continue;
                    }
                    all.emplace_back(static_cast<std::uint8_t>(slot[lo]), static_cast<std::uint8_t>(slot[hi]));
                }
            }
        }
    }
    for (int r = 0; r < count; ++r) net.rankSlots.push_back(slot[r]);
    if (rank < 0) {
        net.pairs = std::move(all);
        return net;
    }
    // Keep only comparators on the way to the wanted slot.
    std::vector<int> needed;  // flags
    for (int i = 0; i < total; ++i) needed.push_back(0);
    needed[slot[rank]] = 1;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> kept;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (needed[it->first] || needed[it->second]) {
            needed[it->first] = 1;
            needed[it->second] = 1;
            kept.push_back(*it);
        }
    }
    std::reverse(kept.begin(), kept.end());
    net.pairs = std::move(kept);
    return net;
}


// A network fixed at compile time, for straight-line evaluation.
template <int Capacity>
struct FixedNetwork {
    std::array<std::pair<std::uint8_t, std::uint8_t>, Capacity> pairs{};
    int count = 0;
    std::array<std::uint8_t, 64> inputSlots{};
    std::array<std::uint8_t, 64> rankSlots{};
    int outputSlot = 0;
};

template <int Capacity>
constexpr FixedNetwork<Capacity> fixedSelectionNetwork(int blocks, int perBlock, bool sortedBlocks, int rank) {
    const SelectionNetwork net = makeSelectionNetwork(blocks, perBlock, sortedBlocks, rank);
    FixedNetwork<Capacity> f;
    f.count = static_cast<int>(net.pairs.size());
    for (int k = 0; k < f.count && k < Capacity; ++k) f.pairs[k] = net.pairs[k];
    for (std::size_t k = 0; k < net.inputSlots.size() && k < 64; ++k) {
        f.inputSlots[k] = static_cast<std::uint8_t>(net.inputSlots[k]);
    }
    for (std::size_t k = 0; k < net.rankSlots.size() && k < 64; ++k) {
        f.rankSlots[k] = static_cast<std::uint8_t>(net.rankSlots[k]);
    }
    f.outputSlot = rank >= 0 ? net.rankSlots[static_cast<std::size_t>(rank)] : 0;
    return f;
}

}  // namespace sv
