#include "imagefiles/jpeg_saver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "image/atomic_file.h"
#include "imagefiles/bmp_writer.h"

extern char** environ;

namespace sv {

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string temporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

// Runs the encoder with stdout on `outFd`, stderr collected, stdin empty; returns the wait status
// or -1 when it could not be started (errno set).
int runEncoder(const std::string& encoder, int quality, const std::string& input, int outFd, std::string& messages) {
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    const std::string q = std::to_string(quality);
    std::vector<char*> argv{const_cast<char*>(encoder.c_str()), const_cast<char*>("-quality"),
                            const_cast<char*>(q.c_str()), const_cast<char*>(input.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, encoder.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(errPipe[1]);
    if (rc != 0) {
        close(errPipe[0]);
        errno = rc;
        return -1;
    }
    // Drain stderr so that the encoder can never block on a full pipe.
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(errPipe[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (messages.size() < 4096) messages.append(buffer, static_cast<std::size_t>(got));
    }
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Reads back what the encoder wrote, adds the metadata and writes the whole file again in place.
bool addMetadataToEncoderOutput(int fd, std::size_t size, const OutputMetadata& metadata, WriteError& error) {
    std::vector<std::uint8_t> file(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, file.data() + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = writeErrorFromErrno(got < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    if (!addMetadataToJpeg(file, metadata)) {
        error = WriteError{WriteFailure::MetadataNotWritten, 0, {}};
        return false;
    }
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || !writeAll(fd, file.data(), file.size())) {
        error = writeErrorFromErrno(errno);
        return false;
    }
    return true;
}

std::string firstLine(const std::string& text) {
    const auto end = text.find('\n');
    return text.substr(0, end);
}

}  // namespace

std::string locateJpegEncoder(const std::string& programFolder) {
    if (!programFolder.empty()) {
        const std::string beside = programFolder + "/cjpeg";
        if (isExecutableFile(beside)) return beside;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const auto colon = dirs.find(':');
        std::string candidate(dirs.substr(0, colon));
        if (candidate.empty()) candidate.push_back('.');
        candidate.append("/cjpeg");
        if (isExecutableFile(candidate)) return candidate;
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return {};
}

bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              WriteError& error) {
    return saveJpeg(bitmap, target, quality, encoder, nullptr, error);
}

bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              const OutputMetadata* metadata, WriteError& error) {
    if (encoder.empty() || !isExecutableFile(encoder)) {
        error = WriteError{WriteFailure::JpegEncoderMissing, 0, {}};
        return false;
    }
    const std::vector<std::uint8_t> bmp = encodeBmp24(bitmap);
    if (bmp.empty()) {
        error = WriteError{WriteFailure::NothingToWrite, 0, {}};
        return false;
    }
    AtomicFile output;
    if (!output.open(target, error)) return false;
    // The encoder's input is private to us: 0600 whatever the umask.
    TemporaryFile input;
    if (!input.create(temporaryFolder(), "sombrel-", ".bmp", 0600) || !writeAll(input.fd(), bmp.data(), bmp.size()) ||
        !input.close()) {
        error = writeErrorFromErrno(errno);
        return false;
    }
    std::string messages;
    const int status = runEncoder(encoder, quality, input.path(), output.fd(), messages);
    const int spawnErrno = errno;
    input.remove();

    struct stat st {};
    if (status < 0) {
        error = WriteError{WriteFailure::JpegEncoderFailed, spawnErrno, "cannot run " + encoder};
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = WriteError{WriteFailure::JpegEncoderFailed, 0, firstLine(messages)};
        return false;
    }
    if (fstat(output.fd(), &st) != 0 || st.st_size == 0) {
        error = WriteError{WriteFailure::JpegEncoderWroteNothing, 0, {}};
        return false;
    }
    if (metadata && !addMetadataToEncoderOutput(output.fd(), static_cast<std::size_t>(st.st_size), *metadata, error)) {
        return false;
    }
    return output.commit(error);
}

bool saveJpeg(const DisplayBitmap& bitmap, const std::string& target, int quality, const std::string& encoder,
              std::string& error) {
    WriteError e;
    const bool ok = saveJpeg(bitmap, target, quality, encoder, e);
    if (!ok) error = englishText(e);
    return ok;
}

}  // namespace sv
