// The memory a picture needs and the memory the process may still take: the machine's figure,
// lowered by resource limits and by the memory cgroup (v2 or v1) the process runs in, read from a
// made-up /proc and /sys tree.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "image/memory_budget.h"
#include "support/test_support.h"

namespace sv {
namespace {

constexpr std::uint64_t kKiB = 1024, kMiB = 1024 * kKiB, kGiB = 1024 * kMiB;

class FakeSystem {
public:
    FakeSystem() {
        put("proc/meminfo", "MemTotal:       24000000 kB\nMemAvailable:    8388608 kB\nSwapFree:        1048576 kB\n");
        put("proc/self/status", "Name:\tx\nVmSize:\t  2097152 kB\nVmData:\t  1048576 kB\n");
        put("proc/self/cgroup", "0::/\n");
        put("proc/self/mountinfo", "");
    }
    void put(const std::string& relative, const std::string& text) {
        const std::filesystem::path p = dir.path() / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    MemorySources sources() const {
        MemorySources s;
        s.procRoot = (dir.path() / "proc").string();
        s.fsRoot = dir.path().string();
        s.addressSpaceLimit = UINT64_MAX;
        s.dataLimit = UINT64_MAX;
        return s;
    }
    test::TempDir dir;
};

TEST(MemoryNeed, PicturesAndProjectsInBytesWithoutWrapping) {
    EXPECT_EQ(floatPictureNeed(100, 50).bytes, 100u * 50 * 12);
    EXPECT_EQ(bitmapNeed(100, 50).bytes, 100u * 50 * 4);
    EXPECT_EQ(pictureNeed(100, 50).bytes, 100u * 50 * 16);
    // Four working buffers, a filter's scratch picture and the display bitmap.
    EXPECT_EQ(projectNeed(100, 50).bytes, 100u * 50 * (5 * 12 + 4));
    EXPECT_EQ(projectNeed(0, 50).bytes, 0u);
    EXPECT_EQ(projectNeed(1 << 20, 1 << 20).bytes, 64ull << 40);
    // 64 x (2^31 - 1)^2 is past 2^64: held at the largest figure, never wrapped to a small one.
    const MemoryNeed huge = projectNeed(INT_MAX, INT_MAX);
    EXPECT_EQ(huge.bytes, UINT64_MAX);
    EXPECT_EQ((floatPictureNeed(INT_MAX, INT_MAX) + bytesNeed(UINT64_MAX / 2) + bytesNeed(UINT64_MAX / 2)).bytes, UINT64_MAX);
    EXPECT_FALSE(fits(bytesNeed(UINT64_MAX), MemoryLimit{UINT64_MAX - 1, MemoryLimitSource::Machine}));
    EXPECT_TRUE(fits(bytesNeed(5), MemoryLimit{5, MemoryLimitSource::Machine}));
}

TEST(MemoryLimit, MachineFigureIsAvailableMemoryPlusFreeSwap) {
    FakeSystem sys;
    const MemoryLimit l = availableMemory(sys.sources());
    EXPECT_EQ(l.bytes, 9 * kGiB);
    EXPECT_EQ(l.source, MemoryLimitSource::Machine);
}

TEST(MemoryLimit, ResourceLimitsLessWhatIsInUse) {
    FakeSystem sys;
    MemorySources s = sys.sources();
    s.addressSpaceLimit = 3 * kGiB;  // 2 GiB mapped already
    MemoryLimit l = availableMemory(s);
    EXPECT_EQ(l.bytes, kGiB);
    EXPECT_EQ(l.source, MemoryLimitSource::AddressSpace);
    s.dataLimit = 1 * kGiB + 512 * kMiB;  // 1 GiB of data already
    l = availableMemory(s);
    EXPECT_EQ(l.bytes, 512 * kMiB);
    EXPECT_EQ(l.source, MemoryLimitSource::DataSegment);
    s.dataLimit = kGiB / 2;  // already past the limit
    EXPECT_EQ(availableMemory(s).bytes, 0u);
}

TEST(MemoryLimit, CgroupV2WalksFromTheProcessesGroupToTheTop) {
    FakeSystem sys;
    sys.put("proc/self/cgroup", "0::/user.slice/app.scope\n");
    sys.put("proc/self/mountinfo",
            "24 30 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n"
            "30 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n");
    const std::string app = "sys/fs/cgroup/user.slice/app.scope/", slice = "sys/fs/cgroup/user.slice/";
    sys.put(app + "memory.max", "max\n");
    sys.put(app + "memory.current", "100\n");
    sys.put(slice + "memory.max", std::to_string(3 * kGiB) + "\n");
    sys.put(slice + "memory.current", std::to_string(2 * kGiB) + "\n");
    // Inactive file pages can be reclaimed: they do not count as used.
    sys.put(slice + "memory.stat", "anon 1000\ninactive_file " + std::to_string(256 * kMiB) + "\nactive_file 5\n");
    MemoryLimit l = availableMemory(sys.sources());
    EXPECT_EQ(l.bytes, kGiB + 256 * kMiB);
    EXPECT_EQ(l.source, MemoryLimitSource::Cgroup);
    // A tighter limit on the process's own group wins.
    sys.put(app + "memory.max", std::to_string(300 * kMiB) + "\n");
    sys.put(app + "memory.current", std::to_string(100 * kMiB) + "\n");
    l = availableMemory(sys.sources());
    EXPECT_EQ(l.bytes, 200 * kMiB);
    // Over its limit: nothing is left.
    sys.put(app + "memory.current", std::to_string(400 * kMiB) + "\n");
    EXPECT_EQ(availableMemory(sys.sources()).bytes, 0u);
}

TEST(MemoryLimit, CgroupV1MemoryHierarchyUnderAMountedRoot) {
    FakeSystem sys;
    // A container: the hierarchy's /docker/abc is what is mounted, and a v2 mount without memory
    // limits sits beside it.
    sys.put("proc/self/cgroup", "12:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc/job\n0::/\n");
    sys.put("proc/self/mountinfo",
            "40 31 0:32 /docker/abc /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
            "41 31 0:33 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
            "42 31 0:34 / /sys/fs/cgroup/cpu\\040acct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n");
    const std::string job = "sys/fs/cgroup/memory/job/", top = "sys/fs/cgroup/memory/";
    sys.put(job + "memory.limit_in_bytes", "9223372036854771712\n");  // no limit
    sys.put(job + "memory.usage_in_bytes", "4096\n");
    sys.put(top + "memory.limit_in_bytes", std::to_string(2 * kGiB) + "\n");
    sys.put(top + "memory.usage_in_bytes", std::to_string(kGiB + 100 * kMiB) + "\n");
    sys.put(top + "memory.stat", "cache 5\ninactive_file 1\ntotal_inactive_file " + std::to_string(100 * kMiB) + "\n");
    const MemoryLimit l = availableMemory(sys.sources());
    EXPECT_EQ(l.bytes, kGiB);
    EXPECT_EQ(l.source, MemoryLimitSource::Cgroup);
}

TEST(MemoryLimit, ABudgetReplacesTheRealFigure) {
    const MemoryLimit real = availableMemory();
    EXPECT_GT(real.bytes, 0u);
    EXPECT_NE(real.source, MemoryLimitSource::Budget);
    setMemoryBudget(12345);
    EXPECT_EQ(availableMemory().bytes, 12345u);
    EXPECT_EQ(availableMemory().source, MemoryLimitSource::Budget);
    EXPECT_FALSE(floatImagesFit(100, 100, 1));
    setMemoryBudget(std::nullopt);
    EXPECT_EQ(availableMemory().source, real.source);
    EXPECT_TRUE(floatImagesFit(100, 100, 4));
}

}  // namespace
}  // namespace sv

namespace sv {
namespace {

TEST(MemoryFigures, TenthsOfAGigabyteRoundTheSafeWay) {
    constexpr std::uint64_t kGiB = 1ull << 30;
    EXPECT_EQ(tenthsOfGigabyte(0, true), 0u);
    EXPECT_EQ(tenthsOfGigabyte(1, true), 1u);   // a need never reads as nothing
    EXPECT_EQ(tenthsOfGigabyte(1, false), 0u);
    EXPECT_EQ(tenthsOfGigabyte(kGiB, true), 10u);
    EXPECT_EQ(tenthsOfGigabyte(kGiB, false), 10u);
    EXPECT_EQ(tenthsOfGigabyte(kGiB + 1, true), 11u);
    EXPECT_EQ(tenthsOfGigabyte(kGiB - 1, false), 9u);
    EXPECT_EQ(tenthsOfGigabyte(UINT64_MAX, false), (UINT64_MAX >> 30) * 10 + 9);  // no overflow
    const std::uint64_t justOver = 12 * kGiB + (8 * kGiB + 9) / 10;  // a few bytes past 12.8
    EXPECT_EQ(gigabytesText(justOver, false), "12.8 GB");
    EXPECT_EQ(gigabytesText(justOver, true, ','), "12,9 GB");
    EXPECT_EQ(gigabytesText(3 * kGiB / 2, true), "1.5 GB");
    // The four buffers, the scratch picture and the bitmap of a 200-megapixel panorama.
    EXPECT_EQ(projectNeed(17400, 11500).bytes, 17400ull * 11500 * (5 * 12 + 4));
}

}  // namespace
}  // namespace sv
