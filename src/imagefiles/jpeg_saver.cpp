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

#include "imagefiles/bmp_writer.h"

extern char** environ;

namespace sv {

namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A unique file created exclusively from a pattern ending in XXXXXX plus `suffixLength` characters.
int createExclusive(std::string& path, int suffixLength) {
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int fd = mkostemps(name.data(), suffixLength, O_CLOEXEC);
    if (fd >= 0) path = name.data();
    return fd;
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
              std::string& error) {
    if (encoder.empty() || !isExecutableFile(encoder)) {
        error = "the JPEG encoder cjpeg was not found";
        return false;
    }
    const std::vector<std::uint8_t> bmp = encodeBmp24(bitmap);
    if (bmp.empty()) {
        error = "there is no picture to write";
        return false;
    }
    std::string input = temporaryFolder() + "/sombrel-XXXXXX.bmp";
    const int inFd = createExclusive(input, 4);
    if (inFd < 0) {
        error = systemError("cannot create a temporary file");
        return false;
    }
    const bool inputWritten = writeAll(inFd, bmp.data(), bmp.size());
    const int inputErrno = errno;
    close(inFd);
    if (!inputWritten) {
        unlink(input.c_str());
        errno = inputErrno;
        error = systemError("cannot write the temporary file " + input);
        return false;
    }

    std::string output = target + ".XXXXXX";
    const int outFd = createExclusive(output, 0);
    if (outFd < 0) {
        error = systemError("cannot create a file beside " + target);
        unlink(input.c_str());
        return false;
    }
    std::string messages;
    const int status = runEncoder(encoder, quality, input, outFd, messages);
    const int spawnErrno = errno;
    unlink(input.c_str());

    bool ok = false;
    struct stat st {};
    if (status < 0) {
        errno = spawnErrno;
        error = systemError("cannot run " + encoder);
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "the JPEG encoder failed";
        if (!messages.empty()) error += ": " + firstLine(messages);
    } else if (fstat(outFd, &st) != 0 || st.st_size == 0) {
        error = "the JPEG encoder wrote nothing";
    } else if (fsync(outFd) != 0 && errno != EINVAL) {
        error = systemError("cannot write " + target);
    } else {
        ok = true;
    }
    if (close(outFd) != 0 && ok) {
        ok = false;
        error = systemError("cannot write " + target);
    }
    if (ok) {
        // The temporary file was made private; give the result the mode of a normal new file.
        const mode_t mask = umask(0);
        umask(mask);
        chmod(output.c_str(), 0666 & ~mask);
        if (std::rename(output.c_str(), target.c_str()) != 0) {
            error = systemError("cannot write " + target);
            ok = false;
        }
    }
    if (!ok) unlink(output.c_str());
    return ok;
}

}  // namespace sv
