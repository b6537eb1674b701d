#include "image/memory_budget.h"

#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace sv {

namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kNoBudget = kNoLimit;
std::atomic<std::uint64_t> budgetBytes{kNoBudget};

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kNoLimit / a) return kNoLimit;
    return a * b;
}

std::uint64_t pixelsOf(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
}

bool readText(const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

bool readNumberFile(const std::string& path, std::uint64_t& value, bool& unlimited) {
    std::string text;
    if (!readText(path, text)) return false;
    std::istringstream in(text);
    std::string word;
    if (!(in >> word)) return false;
    unlimited = word == "max";
    if (unlimited) return true;
    try {
        std::size_t used = 0;
        value = std::stoull(word, &used);
        return used == word.size();
    } catch (...) {
        return false;
    }
}

// A "key value [kB]" file such as /proc/meminfo, /proc/self/status or memory.stat.
bool findKey(const std::string& text, const std::string& key, std::uint64_t& value) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name;
        std::uint64_t v = 0;
        if (!(fields >> name >> v)) continue;
        if (!name.empty() && name.back() == ':') name.pop_back();
        if (name != key) continue;
        std::string unit;
        fields >> unit;
        value = unit == "kB" ? saturatingProduct(v, 1024) : v;
        return true;
    }
    return false;
}

// mountinfo writes blanks and backslashes in paths as octal escapes ("\040").
std::string unescapeMountPath(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](std::size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;        // the part of the hierarchy mounted there
    std::string mountPoint;
};

// The mount of the unified hierarchy (v2) or of the v1 hierarchy that holds the memory controller.
bool findMount(const std::string& mountinfo, bool v2, CgroupMount& found) {
    std::istringstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        std::string w;
        while (fields >> w) words.push_back(w);
        std::size_t dash = 0;
        while (dash < words.size() && words[dash] != "-") ++dash;
        // id, parent, device, root, mount point, options ... "-" type source super-options
        if (dash < 5 || dash + 1 >= words.size()) continue;
        const std::string& type = words[dash + 1];
        const std::string options = dash + 3 < words.size() ? "," + words[dash + 3] + "," : ",";
        const bool match = v2 ? type == "cgroup2" : (type == "cgroup" && options.find(",memory,") != std::string::npos);
        if (!match) continue;
        found.root = unescapeMountPath(words[3]);
        found.mountPoint = unescapeMountPath(words[4]);
        return true;
    }
    return false;
}

// The process's own cgroup path in the hierarchy: "0::/path" (v2) or "N:...memory...:/path" (v1).
bool findCgroupPath(const std::string& selfCgroup, bool v2, std::string& path) {
    std::istringstream in(selfCgroup);
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match = v2 ? (line.compare(0, first, "0") == 0 && controllers.empty())
                              : ("," + controllers + ",").find(",memory,") != std::string::npos;
        if (!match) continue;
        path = line.substr(second + 1);
        return true;
    }
    return false;
}

// What the cgroup and each of its ancestors still allow: limit less the memory charged to it
// that cannot be reclaimed (inactive file pages can).
std::uint64_t cgroupAvailable(const MemorySources& sources, bool v2) {
    std::string selfCgroup, mountinfo, path;
    CgroupMount mount;
    if (!readText(sources.procRoot + "/self/cgroup", selfCgroup) ||
        !readText(sources.procRoot + "/self/mountinfo", mountinfo) || !findCgroupPath(selfCgroup, v2, path) ||
        !findMount(mountinfo, v2, mount)) {
        return kNoLimit;
    }
    std::string relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path == mount.root || path.compare(0, mount.root.size() + 1, mount.root + "/") == 0) {
        relative = path.substr(mount.root.size());
    }  // else the cgroup lies outside what is mounted: only the mount's own limits are visible
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    const std::string top = sources.fsRoot + mount.mountPoint;
    std::uint64_t best = kNoLimit;
    for (;;) {
        const std::string dir = top + relative;
        std::uint64_t limit = 0, usage = 0;
        bool unlimited = false, ignored = false;
        const bool haveLimit = v2 ? readNumberFile(dir + "/memory.max", limit, unlimited)
                                  : readNumberFile(dir + "/memory.limit_in_bytes", limit, unlimited);
        const bool haveUsage = v2 ? readNumberFile(dir + "/memory.current", usage, ignored)
                                  : readNumberFile(dir + "/memory.usage_in_bytes", usage, ignored);
        // v1 writes "no limit" as a huge page-aligned number near 2^63.
        if (!v2 && limit >= (1ull << 62)) unlimited = true;
        if (haveLimit && haveUsage && !unlimited) {
            std::string stat;
            std::uint64_t inactive = 0;
            if (readText(dir + "/memory.stat", stat)) {
                if (!(!v2 && findKey(stat, "total_inactive_file", inactive))) findKey(stat, "inactive_file", inactive);
            }
            const std::uint64_t used = usage - std::min(usage, inactive);
            best = std::min(best, limit > used ? limit - used : 0);
        }
        if (relative.empty()) break;
        const auto slash = relative.find_last_of('/');
        relative.erase(slash == std::string::npos ? 0 : slash);
    }
    return best;
}

std::uint64_t rlimitBytes(int resource) {
    rlimit r{};
    if (getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kNoLimit;
    return static_cast<std::uint64_t>(r.rlim_cur);
}

void lowerTo(MemoryLimit& limit, std::uint64_t bytes, MemoryLimitSource source) {
    if (bytes < limit.bytes) {
        limit.bytes = bytes;
        limit.source = source;
    }
}

}  // namespace

MemoryNeed& MemoryNeed::operator+=(MemoryNeed other) {
    bytes = other.bytes > kNoLimit - bytes ? kNoLimit : bytes + other.bytes;
    return *this;
}

MemoryNeed bytesNeed(std::uint64_t bytes) { return MemoryNeed{bytes}; }

MemoryNeed floatPictureNeed(int width, int height) {
    return MemoryNeed{saturatingProduct(pixelsOf(width, height), 3 * sizeof(float))};
}

MemoryNeed bitmapNeed(int width, int height) {
    return MemoryNeed{saturatingProduct(pixelsOf(width, height), sizeof(std::uint32_t))};
}

MemoryNeed pictureNeed(int width, int height) { return floatPictureNeed(width, height) + bitmapNeed(width, height); }

MemoryNeed projectNeed(int width, int height) {
    const MemoryNeed picture = floatPictureNeed(width, height);
    // new image + stack + processed + processed copy + one scratch picture, and the display bitmap
    return picture + picture + picture + picture + picture + bitmapNeed(width, height);
}

MemoryLimit availableMemory(const MemorySources& sources) {
    MemoryLimit limit;
    std::string meminfo;
    std::uint64_t available = 0, swapFree = 0;
    if (readText(sources.procRoot + "/meminfo", meminfo) && findKey(meminfo, "MemAvailable", available)) {
        findKey(meminfo, "SwapFree", swapFree);
        lowerTo(limit, (MemoryNeed{available} + MemoryNeed{swapFree}).bytes, MemoryLimitSource::Machine);
    }
    std::string status;
    const bool haveStatus = readText(sources.procRoot + "/self/status", status);
    const std::uint64_t asLimit = sources.addressSpaceLimit ? *sources.addressSpaceLimit : rlimitBytes(RLIMIT_AS);
    std::uint64_t inUse = 0;
    if (asLimit != kNoLimit) {
        if (haveStatus) findKey(status, "VmSize", inUse);
        lowerTo(limit, asLimit > inUse ? asLimit - inUse : 0, MemoryLimitSource::AddressSpace);
    }
    const std::uint64_t dataLimit = sources.dataLimit ? *sources.dataLimit : rlimitBytes(RLIMIT_DATA);
    if (dataLimit != kNoLimit) {
        inUse = 0;
        if (haveStatus) findKey(status, "VmData", inUse);
        lowerTo(limit, dataLimit > inUse ? dataLimit - inUse : 0, MemoryLimitSource::DataSegment);
    }
    lowerTo(limit, cgroupAvailable(sources, true), MemoryLimitSource::Cgroup);
    lowerTo(limit, cgroupAvailable(sources, false), MemoryLimitSource::Cgroup);
    return limit;
}

MemoryLimit availableMemory() {
    const std::uint64_t budget = budgetBytes.load(std::memory_order_relaxed);
    if (budget != kNoBudget) return MemoryLimit{budget, MemoryLimitSource::Budget};
    return availableMemory(MemorySources{});
}

void setMemoryBudget(std::optional<std::uint64_t> bytes) {
    budgetBytes.store(bytes ? std::min(*bytes, kNoBudget - 1) : kNoBudget, std::memory_order_relaxed);
}

bool fits(MemoryNeed need, const MemoryLimit& limit) { return need.bytes <= limit.bytes; }

std::uint64_t tenthsOfGigabyte(std::uint64_t bytes, bool roundUp) {
    // bytes x 10 / 2^30 without overflow: whole gigabytes first, then the tenths of the rest.
    const std::uint64_t whole = bytes >> 30;
    const std::uint64_t rest = bytes & ((1ull << 30) - 1);
    const std::uint64_t tenths = rest * 10;  // < 2^34
    std::uint64_t part = tenths >> 30;
    if (roundUp && (tenths & ((1ull << 30) - 1)) != 0) ++part;
    return whole * 10 + part;
}

std::string gigabytesText(std::uint64_t bytes, bool roundUp, char separator) {
    const std::uint64_t tenths = tenthsOfGigabyte(bytes, roundUp);
    return std::to_string(tenths / 10) + separator + std::to_string(tenths % 10) + " GB";
}

std::uint64_t availableMemoryBytes() { return availableMemory().bytes; }

bool floatImagesFit(int width, int height, int count, std::uint64_t extraBytes) {
    if (width <= 0 || height <= 0 || count < 0) return false;
    MemoryNeed need = bytesNeed(extraBytes);
    for (int i = 0; i < count; ++i) need += floatPictureNeed(width, height);
    return fits(need, availableMemory());
}

}  // namespace sv
