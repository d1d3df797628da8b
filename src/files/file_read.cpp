#include "files/file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "files/file_descriptor.hpp"

namespace tallyfit {

Result<std::string, int> read_whole_file(const std::string &path, std::size_t max_bytes) {
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
    std::string bytes;
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        if (static_cast<std::size_t>(info.st_size) > max_bytes) {
            return err(EFBIG);
        }
        bytes.reserve(static_cast<std::size_t>(info.st_size));
    }
    std::array<char, 64 * 1024> chunk{};
    while (true) {
        const ssize_t count = ::read(file.get(), chunk.data(), chunk.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return err(errno);
        }
        if (count == 0) {
            return bytes;
        }
        if (static_cast<std::size_t>(count) > max_bytes - bytes.size()) {
            return err(EFBIG);
        }
        bytes.append(chunk.data(), static_cast<std::size_t>(count));
    }
}

} // namespace tallyfit
