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

// ---- reasons ---------------------------------------------------------------------------------

WriteError writeErrorFromErrno(int code) {
    WriteError e;
    e.code = code;
    switch (code) {
        case ENOSPC:
        case EDQUOT: e.reason = WriteFailure::NoSpace; break;
        case EACCES:
        case EPERM: e.reason = WriteFailure::PermissionDenied; break;
        case EROFS: e.reason = WriteFailure::ReadOnlyFileSystem; break;
        case EISDIR: e.reason = WriteFailure::IsDirectory; break;
        case ENOENT:
        case ENOTDIR: e.reason = WriteFailure::NoSuchFolder; break;
        case EFBIG: e.reason = WriteFailure::FileTooLarge; break;
        case ENAMETOOLONG: e.reason = WriteFailure::NameTooLong; break;
        case ELOOP: e.reason = WriteFailure::TooManyLinks; break;
        case ENOMEM: e.reason = WriteFailure::NotEnoughMemory; break;
        default: e.reason = WriteFailure::System; break;
    }
    return e;
}

const char* englishReason(WriteFailure reason) {
    switch (reason) {
        case WriteFailure::None: return "no error";
        case WriteFailure::NoSpace: return "no space left on the device";
        case WriteFailure::PermissionDenied: return "permission denied";
        case WriteFailure::ReadOnlyFileSystem: return "the file system is read-only";
        case WriteFailure::NotRegularFile: return "it is not a regular file";
        case WriteFailure::IsDirectory: return "it is a folder";
        case WriteFailure::NoSuchFolder: return "the folder does not exist";
        case WriteFailure::FileTooLarge: return "the file is too large";
        case WriteFailure::NameTooLong: return "the file name is too long";
        case WriteFailure::TooManyLinks: return "too many symbolic links";
        case WriteFailure::NotEnoughMemory: return "not enough memory";
        case WriteFailure::NothingToWrite: return "there is no picture to write";
        case WriteFailure::TooLargeForTiff: return "the picture is too large for a TIFF file";
        case WriteFailure::JpegEncoderMissing: return "the JPEG encoder cjpeg was not found";
        case WriteFailure::JpegEncoderFailed: return "the JPEG encoder failed";
        case WriteFailure::JpegEncoderWroteNothing: return "the JPEG encoder wrote nothing";
        case WriteFailure::MetadataNotWritten: return "the metadata could not be added";
        case WriteFailure::EncodingFailed: return "the picture could not be encoded";
        case WriteFailure::System: return "system error";
    }
    return "";
}

std::string englishText(const WriteError& e) {
    std::string text;
    if (e.reason == WriteFailure::System) {
        // strerrordesc_np is never translated, whatever the locale says.
        const char* description = e.code ? strerrordesc_np(e.code) : nullptr;
        const char* name = e.code ? strerrorname_np(e.code) : nullptr;
        text = description ? description : englishReason(e.reason);
        if (name) text += std::string(" (") + name + ")";
    } else {
        text = englishReason(e.reason);
    }
    if (!e.detail.empty()) text += ": " + e.detail;
    return text;
}

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

bool AtomicFile::open(const std::string& target, WriteError& error) {
    abandon();
    bool found = false;
    struct stat st {};
    int code = 0;
    if (target.empty() || !resolveTarget(target, target_, found, st, code)) {
        error = writeErrorFromErrno(target.empty() ? ENOENT : code);
        return false;
    }
    const std::string name = nameOf(target_);
    if (name.empty() || name == "." || name == "..") {
        error = writeErrorFromErrno(EISDIR);
        return false;
    }
    if (found) {
        if (S_ISDIR(st.st_mode)) {
            error = writeErrorFromErrno(EISDIR);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            error = WriteError{WriteFailure::NotRegularFile, 0, {}};
            return false;
        }
        // A file its owner made read-only is not replaced behind their back.
        if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
            error = writeErrorFromErrno(errno);
            return false;
        }
    }
    // Hidden, in the same folder (the rename must not cross file systems); the name is cut so that
    // the temporary one stays within the file system's limit wherever the target's does.
    std::string stem(1, '.');
    stem.append(name, 0, 200);
    stem.push_back('.');
    if (!temporary_.create(folderOf(target_), stem, "", 0666)) {
        error = writeErrorFromErrno(errno);
        return false;
    }
    if (found) takeOverAttributes(temporary_.fd(), target_, st);
    return true;
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

bool AtomicFile::writeAll(const void* data, std::size_t size, WriteError& error) {
    if (sv::writeAll(fd(), data, size)) return true;
    error = writeErrorFromErrno(errno);
    return false;
}

bool AtomicFile::commit(WriteError& error) {
    if (fd() < 0) {
        error = writeErrorFromErrno(EBADF);
        abandon();
        return false;
    }
    if (::fsync(fd()) != 0 && errno != EINVAL && errno != EROFS) {
        error = writeErrorFromErrno(errno);
        abandon();
        return false;
    }
    if (!temporary_.close() || !temporary_.renameTo(target_)) {
        error = writeErrorFromErrno(errno);
        abandon();
        return false;
    }
    // The new name on the disk too, not only the data.
    const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         WriteError& error) {
    AtomicFile out;
    if (!out.open(target, error)) return false;
    const int copy = ::fcntl(out.fd(), F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(copy >= 0 ? ::fdopen(copy, "wb") : nullptr, std::fclose);
    if (!file) {
        error = writeErrorFromErrno(errno);
        if (copy >= 0) ::close(copy);
        return false;
    }
    errno = 0;
    bool ok = produce(file.get()) && !std::ferror(file.get());
    if (ok && std::fflush(file.get()) != 0) ok = false;
    const int failure = errno;
    if (std::fclose(file.release()) != 0) ok = false;
    if (!ok) {
        error = writeErrorFromErrno(failure ? failure : (errno ? errno : EIO));
        return false;
    }
    return out.commit(error);
}

bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         std::string& error) {
    WriteError e;
    const bool ok = writeFileAtomically(target, produce, e);
    if (!ok) error = englishText(e);
    return ok;
}

}  // namespace sv
