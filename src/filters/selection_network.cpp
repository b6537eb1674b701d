#include "filters/selection_network.h"

#include <algorithm>

namespace sv {

namespace {

int powerOfTwoAtLeast(int n) {
    int p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace

SelectionNetwork makeSelectionNetwork(int blocks, int perBlock, bool sortedBlocks, int rank) {
    SelectionNetwork net;
    const int blockSize = sortedBlocks ? powerOfTwoAtLeast(perBlock) : 1;
    const int count = blocks * perBlock;
    const int total = sortedBlocks ? powerOfTwoAtLeast(blocks * blockSize) : powerOfTwoAtLeast(count);
    net.slots = total;
    std::vector<int> slot(total);
    std::vector<bool> infinite(total, true);
    for (int k = 0; k < count; ++k) {
        const int pos = sortedBlocks ? (k / perBlock) * blockSize + k % perBlock : k;
        net.inputSlots.push_back(pos);
        infinite[pos] = false;
    }
    for (int i = 0; i < total; ++i) slot[i] = i;

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
                        infinite[lo] = false;
                        infinite[hi] = true;
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
    std::vector<bool> needed(total, false);
    needed[slot[rank]] = true;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> kept;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (needed[it->first] || needed[it->second]) {
            needed[it->first] = true;
            needed[it->second] = true;
            kept.push_back(*it);
        }
    }
    std::reverse(kept.begin(), kept.end());
    net.pairs = std::move(kept);
    return net;
}

}  // namespace sv
