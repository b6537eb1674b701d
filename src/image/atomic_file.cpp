#include "image/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sv {

bool writeFileAtomically(const std::string& target, const std::function<bool(std::FILE*)>& produce,
                         std::string& error) {
    std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());  // created exclusively, never an existing file
    if (fd < 0) {
        error = "cannot create a file beside " + target + ": " + std::strerror(errno);
        return false;
    }
    const std::string temporary(name.data());
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = std::strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    bool ok = produce(file);
    if (ok && std::fflush(file) != 0) ok = false;
    if (ok && fsync(fileno(file)) != 0 && errno != EINVAL) ok = false;
    const int savedErrno = errno;
    if (std::fclose(file) != 0) ok = false;
    if (ok) {
        // mkstemp makes the file 0600; give it the mode a normal new file would have.
        const mode_t mask = umask(0);
        umask(mask);
        chmod(temporary.c_str(), 0666 & ~mask);
        if (std::rename(temporary.c_str(), target.c_str()) != 0) {
            error = "cannot write " + target + ": " + std::strerror(errno);
            unlink(temporary.c_str());
            return false;
        }
        return true;
    }
    if (error.empty()) error = "cannot write " + target + ": " + std::strerror(savedErrno ? savedErrno : EIO);
    unlink(temporary.c_str());
    return false;
}

}  // namespace sv
