#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace sv {

// Why a file could not be written. The window shows the reason in the language in force, the
// command line prints englishText().
enum class WriteFailure {
    None,
    NoSpace,              // ENOSPC, EDQUOT
    PermissionDenied,     // EACCES, EPERM, or an existing file we may not write
    ReadOnlyFileSystem,   // EROFS
    NotRegularFile,       // the name is a device, a pipe or a socket
    IsDirectory,          // the name is a folder
    NoSuchFolder,         // ENOENT, ENOTDIR: the folder of the name does not exist
    FileTooLarge,         // EFBIG: beyond the file system's or the process's file size limit
    NameTooLong,          // ENAMETOOLONG
    TooManyLinks,         // ELOOP
    NotEnoughMemory,
    NothingToWrite,       // no picture (or not one of the size asked for)
    TooLargeForTiff,      // past the 4 GiB reach of TIFF offsets
    JpegEncoderMissing,
    JpegEncoderFailed,    // did not start, failed or was killed; `detail` holds its first message line
    JpegEncoderWroteNothing,
    MetadataNotWritten,   // the camera's metadata or the colour profile could not be added
    EncodingFailed,       // the picture library refused to encode the picture
    System,               // any other errno, kept in `code`
};

struct WriteError {
    WriteFailure reason = WriteFailure::None;
    int code = 0;         // the errno behind the reason, when the system gave one
    std::string detail;   // the JPEG encoder's own first line of messages (English), when it gave one
};

WriteError writeErrorFromErrno(int code);
// One line of English, for the command line and for the string forms of the writers.
std::string englishText(const WriteError& error);
// The English reason alone (the fixed part, without errno or detail).
const char* englishReason(WriteFailure reason);

// Writes all `size` bytes to `fd`, going on after interruptions; false with errno set on failure.
bool writeAll(int fd, const void* data, std::size_t size);

// A file of our own: created exclusively under a fresh name (never an existing file), removed
// again unless renamed away. While it exists its name is on the list that
// removeWatchedTemporaries() clears, so that a signal handler can take it away.
class TemporaryFile {
public:
    TemporaryFile() = default;
    ~TemporaryFile() { remove(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // `folder`/`stem`XXXXXX`suffix` with `mode` (the kernel takes the umask off it), open for reading
    // and writing (what a helper program wrote into it can be read back). False with
    // errno set when no such file could be made.
    bool create(const std::string& folder, const std::string& stem, const std::string& suffix, mode_t mode);
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Closes the descriptor; false with errno set when the close reports a failed write.
    bool close();
    // Renames the (closed) file to `target`; afterwards this object no longer owns it.
    bool renameTo(const std::string& target);
    // Closes and deletes the file, if it is still ours.
    void remove();

private:
    int fd_ = -1;
    int watchSlot_ = -1;
    std::string path_;
};

// Replaces a file so that the name holds either the complete new file or the old one untouched:
// the bytes go to a temporary file in the same folder, which is flushed and renamed over the old
// one. Only regular files are replaced (a folder, device, pipe or socket is refused, as is an
// existing file we may not write); a symbolic link is followed and the file it names is replaced
// in that file's own folder. A replaced file keeps its permission bits (and, where we may, its
// owner, group and access list); a new one gets 0666 less the umask.
class AtomicFile {
public:
    // Checks the name and creates the temporary file; nothing is replaced before commit().
    bool open(const std::string& target, WriteError& error);
    int fd() const { return temporary_.fd(); }
    bool writeAll(const void* data, std::size_t size, WriteError& error);
    // Flushes the data to the disk and renames the temporary file over the target.
    bool commit(WriteError& error);
    // Drops the temporary file; the target stays as it was (also done by the destructor).
    void abandon() { temporary_.remove(); }
    // The file that commit() replaces or creates (the end of any chain of symbolic links).
    const std::string& resolvedTarget() const { return target_; }

private:
    TemporaryFile temporary_;
    std::string target_;
};

// AtomicFile around a producer that writes through the given FILE*; `produce` returns false (or
// a write fails) to abandon. On failure the temporary file is removed and `error` says why.
bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         WriteError& error);
bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         std::string& error);

// Deletes every temporary file still being written, from any thread. Async-signal-safe: it only
// reads fixed buffers and lock-free flags and calls unlink(). A name is listed from just before
// its file is created until just after it was renamed or deleted.
void removeWatchedTemporaries() noexcept;

}  // namespace sv
