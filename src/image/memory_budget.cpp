#include "image/memory_budget.h"

#include <fstream>
#include <limits>
#include <string>

namespace sv {

std::uint64_t availableMemoryBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    std::uint64_t available = 0;
    std::uint64_t swapFree = 0;
    bool found = false;
    while (meminfo >> key >> value) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            available = value * 1024;
            found = true;
        } else if (key == "SwapFree:") {
            swapFree = value * 1024;
        }
    }
    if (!found) return std::numeric_limits<std::uint64_t>::max();  // unknown: let the allocator decide
    return available + swapFree;
}

bool floatImagesFit(int width, int height, int count, std::uint64_t extraBytes) {
    if (width <= 0 || height <= 0 || count < 0) return false;
    // In double: the product of two ints times 12 x count can pass 2^64.
    const double need = static_cast<double>(width) * height * 3.0 * sizeof(float) * count +
                        static_cast<double>(extraBytes);
    return need <= static_cast<double>(availableMemoryBytes());
}

}  // namespace sv
