#include "files/file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_descriptor.hpp"

namespace tallyfit {

Result<std::string, int> read_whole_file(const std::string &path) {
    // The system would silently cut the path at the first NUL byte.
    if (path.find('\0') != std::string::npos) {
        return err(EINVAL);
    }
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return err(errno);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        return err(errno);
    }
    // Opening a directory for reading succeeds; reading it is what fails.
    if (S_ISDIR(info.st_mode)) {
        return err(EISDIR);
    }
    std::string bytes(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0, '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return err(errno);
        }
        if (count == 0) {
            break; // the file shrank after fstat
        }
        filled += static_cast<std::size_t>(count);
    }
    bytes.resize(filled);
    return bytes;
}

} // namespace tallyfit
