#include "image/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace sv {

namespace {
Failure failedWrite(int code) { return cannotWrite(writeErrorFromErrno(code)); }
}  // namespace

// ---- the list a signal handler clears --------------------------------------------------------

namespace {

struct WatchSlot {
    std::atomic<bool> armed{false};
    char path[PATH_MAX + 1] = {};
};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads these flags");

constexpr int kWatchSlots = 8;
WatchSlot watchSlots[kWatchSlots];

// Only one thread fills a slot at a time; the handler reads a slot only while it is armed.
std::atomic_flag slotLock = ATOMIC_FLAG_INIT;

int watch(const std::string& path) {
    if (path.size() > PATH_MAX) return -1;
    while (slotLock.test_and_set(std::memory_order_acquire)) {
    }
    int slot = -1;
    for (int i = 0; i < kWatchSlots && slot < 0; ++i) {
        if (!watchSlots[i].armed.load(std::memory_order_relaxed)) slot = i;
    }
    if (slot >= 0) {
        std::memcpy(watchSlots[slot].path, path.c_str(), path.size() + 1);
        watchSlots[slot].armed.store(true, std::memory_order_release);
    }
    slotLock.clear(std::memory_order_release);
    return slot;
}

void unwatch(int slot) {
    if (slot >= 0) watchSlots[slot].armed.store(false, std::memory_order_release);
}

char randomLetter(unsigned value) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    return kLetters[value % (sizeof kLetters - 1)];
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void removeWatchedTemporaries() noexcept {
    for (WatchSlot& slot : watchSlots) {
        if (slot.armed.load(std::memory_order_acquire)) ::unlink(slot.path);
    }
}

// ---- TemporaryFile ---------------------------------------------------------------------------

bool TemporaryFile::create(const std::string& folder, const std::string& stem, const std::string& suffix,
                           mode_t mode) {
    remove();
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char noise[6];
        if (getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
            const unsigned mix = static_cast<unsigned>(getpid()) * 2654435761u ^
                                 static_cast<unsigned>(std::time(nullptr)) ^ (counter.fetch_add(1) * 40503u);
            for (int i = 0; i < 6; ++i) noise[i] = static_cast<unsigned char>(mix >> (5 * i));
        }
        std::string candidate = folder + "/" + stem;
        for (const unsigned char n : noise) candidate.push_back(randomLetter(n));
        candidate += suffix;
        // Listed before it exists: a signal on any thread between the two steps then finds nothing
        // to delete rather than missing a file that was just made.
        const int slot = watch(candidate);
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            const int code = errno;
            unwatch(slot);
            errno = code;
            if (code == EEXIST) continue;
            return false;
        }
        fd_ = fd;
        path_ = std::move(candidate);
        watchSlot_ = slot;
        return true;
    }
    errno = EEXIST;
    return false;
}

bool TemporaryFile::close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    // After a failed close the descriptor is gone all the same; EINTR does not mean the data failed.
    return rc == 0 || errno == EINTR;
}

bool TemporaryFile::renameTo(const std::string& target) {
    if (path_.empty()) {
        errno = ENOENT;
        return false;
    }
    // Delisted only after the rename: a signal in between deletes a name that no longer exists.
    if (std::rename(path_.c_str(), target.c_str()) != 0) return false;
    unwatch(watchSlot_);
    watchSlot_ = -1;
    path_.clear();
    return true;
}

void TemporaryFile::remove() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        unwatch(watchSlot_);
        watchSlot_ = -1;
        path_.clear();
    }
}

// ---- AtomicFile ------------------------------------------------------------------------------

namespace {

// Follows a chain of symbolic links to the name that is to be replaced or created. `found` tells
// whether that name exists; `st` is then its status.
bool resolveTarget(const std::string& target, std::string& resolved, bool& found, struct stat& st, int& code) {
    std::string path = target;
    for (int hop = 0; hop < 40; ++hop) {
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                code = errno;
                return false;
            }
            found = false;
            resolved = path;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            found = true;
            resolved = path;
            return true;
        }
        std::vector<char> link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
        if (n < 0 || static_cast<std::size_t>(n) >= link.size()) {
            code = n < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        const std::string to(link.data(), static_cast<std::size_t>(n));
        path = !to.empty() && to.front() == '/' ? to : folderOf(path) + "/" + to;
    }
    code = ELOOP;
    return false;
}

// The old file's permission bits, and where this process may, its owner, group and access list.
void takeOverAttributes(int fd, const std::string& old, const struct stat& st) {
    if (st.st_uid != geteuid() || st.st_gid != getegid()) {
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    }
    (void)::fchmod(fd, st.st_mode & 0777);
    char acl[4096];
    const ssize_t n = ::getxattr(old.c_str(), "system.posix_acl_access", acl, sizeof acl);
    if (n > 0) (void)::fsetxattr(fd, "system.posix_acl_access", acl, static_cast<std::size_t>(n), 0);
}

}  // namespace

Failure AtomicFile::open(const std::string& target) {
    abandon();
    bool found = false;
    struct stat st {};
    int code = 0;
    if (target.empty() || !resolveTarget(target, target_, found, st, code)) {
        return failedWrite(target.empty() ? ENOENT : code);
    }
    const std::string name = nameOf(target_);
    if (name.empty() || name == "." || name == "..") {
        return failedWrite(EISDIR);
    }
    if (found) {
        if (S_ISDIR(st.st_mode)) {
            return failedWrite(EISDIR);
        }
        if (!S_ISREG(st.st_mode)) {
            return cannotWrite(WriteError{WriteFailure::NotRegularFile, 0, {}});
        }
        // A file its owner made read-only is not replaced behind their back.
        if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            return failedWrite(errno);
        }
    }
    // Hidden, in the same folder (the rename must not cross file systems); the name is cut so that
    // the temporary one stays within the file system's limit wherever the target's does.
    std::string stem(1, '.');
    stem.append(name, 0, 200);
    stem.push_back('.');
    if (!temporary_.create(folderOf(target_), stem, "", 0666)) {
        return failedWrite(errno);
    }
    if (found) takeOverAttributes(temporary_.fd(), target_, st);
    return std::nullopt;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

Failure AtomicFile::writeAll(const void* data, std::size_t size) {
    if (sv::writeAll(fd(), data, size)) return std::nullopt;
    return failedWrite(errno);
}

Failure AtomicFile::commit() {
    int code = 0;
    if (fd() < 0) {
        code = EBADF;
    } else if (::fsync(fd()) != 0 && errno != EINVAL && errno != EROFS) {
        code = errno;
    } else if (!temporary_.close() || !temporary_.renameTo(target_)) {
        code = errno;
    }
    if (code != 0) {
        abandon();
        return failedWrite(code);
    }
    // The new name on the disk too, not only the data.
    const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return std::nullopt;
}

Failure writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce) {
    AtomicFile out;
    if (Failure failed = out.open(target)) return failed;
    const int copy = ::fcntl(out.fd(), F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(copy >= 0 ? ::fdopen(copy, "wb") : nullptr, std::fclose);
    if (!file) {
        const int code = errno;
        if (copy >= 0) ::close(copy);
        return failedWrite(code);
    }
    errno = 0;
    bool ok = produce(file.get()) && !std::ferror(file.get());
    if (ok && std::fflush(file.get()) != 0) ok = false;
    const int failure = errno;
    if (std::fclose(file.release()) != 0) ok = false;
    if (!ok) {
        return failedWrite(failure ? failure : (errno ? errno : EIO));
    }
    return out.commit();
}

}  // namespace sv
