#pragma once

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
SelectionNetwork makeSelectionNetwork(int blocks, int perBlock, bool sortedBlocks, int rank);

}  // namespace sv
