#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sv {

// What bounds the memory the program may still take; the smallest figure wins.
enum class MemoryLimitSource {
    Machine,       // available memory plus free swap (/proc/meminfo)
    AddressSpace,  // RLIMIT_AS less the address space already mapped
    DataSegment,   // RLIMIT_DATA less the data already mapped
    Cgroup,        // the process's memory cgroup (v2 memory.max, v1 memory.limit_in_bytes) less its usage
    Budget,        // a fixed budget set with setMemoryBudget
    Unknown,       // nothing could be read: the allocator decides
};

struct MemoryLimit {
    std::uint64_t bytes = UINT64_MAX;
    MemoryLimitSource source = MemoryLimitSource::Unknown;
};

// Bytes some piece of work needs. Sums saturate instead of wrapping, so an absurd size stays absurd.
struct MemoryNeed {
    std::uint64_t bytes = 0;
    MemoryNeed& operator+=(MemoryNeed other);
    friend MemoryNeed operator+(MemoryNeed a, MemoryNeed b) { return a += b; }
};

MemoryNeed bytesNeed(std::uint64_t bytes);
// One float picture (three floats per pixel) and one 32-bit display bitmap.
MemoryNeed floatPictureNeed(int width, int height);
MemoryNeed bitmapNeed(int width, int height);
// What every decode yields: the float picture and its display bitmap.
MemoryNeed pictureNeed(int width, int height);
// A whole project of this size: the decoded picture (it becomes the new-image buffer) and its
// bitmap, the stack, processed and processed-copy buffers, and the one scratch picture a filter
// job holds at its peak.
MemoryNeed projectNeed(int width, int height);

// The memory this process may still take: the machine's available memory, lowered by the
// process's own limits (getrlimit RLIMIT_AS and RLIMIT_DATA, the memory cgroup it runs in,
// v2 or v1). A budget set with setMemoryBudget replaces all of them.
MemoryLimit availableMemory();
bool fits(MemoryNeed need, const MemoryLimit& limit);

// Replaces what availableMemory() reports by a fixed budget; nullopt goes back to the real
// limits. For tests and fuzzing, whose memory allowance is far below the machine's.
void setMemoryBudget(std::optional<std::uint64_t> bytes);

// Where availableMemory() reads from; tests point it at a made-up tree.
struct MemorySources {
    std::string procRoot = "/proc";  // meminfo, self/cgroup, self/mountinfo, self/status
    std::string fsRoot;              // prefixed to the cgroup mount points named in mountinfo
    // Resource limits in bytes (UINT64_MAX: none); unset: asked of getrlimit.
    std::optional<std::uint64_t> addressSpaceLimit;
    std::optional<std::uint64_t> dataLimit;
};
MemoryLimit availableMemory(const MemorySources& sources);

// Bytes in tenths of a gigabyte (2^30 bytes), the unit the program shows memory in: a need is
// rounded up and what is available down, so that a refusal never reads as if the need fitted.
std::uint64_t tenthsOfGigabyte(std::uint64_t bytes, bool roundUp);
// "12.8 GB" with the decimal separator given.
std::string gigabytesText(std::uint64_t bytes, bool roundUp, char separator = '.');

// Bytes the machine can still hand out (kept for callers that want the bare figure).
std::uint64_t availableMemoryBytes();

// Whether `count` float pictures of width x height, plus `extraBytes`, fit in availableMemory().
// False for a non-positive size.
bool floatImagesFit(int width, int height, int count, std::uint64_t extraBytes = 0);

}  // namespace sv
