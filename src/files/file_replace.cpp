#include "files/file_replace.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "files/file_descriptor.hpp"

namespace tallyfit {

namespace {

// Linux gives up after as many links (ELOOP).
constexpr int max_symlink_hops = 40;
// Keeps the temporary name within NAME_MAX whatever the target's name.
constexpr std::size_t max_name_in_temp = 100;
constexpr int max_temp_attempts = 100;

// Everything up to and including the last "/", or "" for a name in the current directory.
std::string directory_prefix(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path that writing through `path` would reach: every symbolic link followed. A path that
// cannot be examined is returned unchanged; creating the file there reports the real error.
Result<std::string, int> resolve_link_chain(std::string path) {
    std::vector<char> target(PATH_MAX);
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            return err(errno);
        }
        if (static_cast<std::size_t>(length) == target.size()) {
            return err(ENAMETOOLONG);
        }
        std::string next(target.data(), static_cast<std::size_t>(length));
        path = next.starts_with('/') ? next : directory_prefix(path) + next;
    }
    return err(ELOOP);
}

int write_all(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t count = ::write(fd, contents.data(), contents.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (count == 0) {
            return EIO;
        }
        contents.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// For the special files that must not be replaced by a rename.
Status<int> write_in_place(const std::string &path, std::string_view contents) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!file.valid()) {
        return err(errno);
    }
    if (const int error = write_all(file.get(), contents); error != 0) {
        return err(error);
    }
    if (const int error = file.close(); error != 0) {
        return err(error);
    }
    return Unit{};
}

struct TemporaryFile {
    FileDescriptor file;
    std::string path;
};

// A new file next to `target`, created exclusively so that no other file is ever reused.
Result<TemporaryFile, int> create_temporary_beside(const std::string &target) {
    static std::atomic<unsigned> counter{0};
    const std::string stem = directory_prefix(target) + "." +
                             base_name(target).substr(0, max_name_in_temp) + ".tmp-" +
                             std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < max_temp_attempts; ++attempt) {
        std::string path = stem + std::to_string(counter.fetch_add(1));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return TemporaryFile{FileDescriptor(fd), std::move(path)};
        }
        if (errno != EEXIST) {
            return err(errno);
        }
    }
    return err(EEXIST);
}

// Fills the temporary file and moves it over `target`; returns 0 or the failing error number.
int fill_and_rename(TemporaryFile &temporary, const std::string &target,
                    const struct stat *existing, std::string_view contents) {
    if (existing != nullptr) {
        if (::fchmod(temporary.file.get(), existing->st_mode & 07777) != 0) {
            return errno;
        }
        // Keeping the owner only works with the privilege to do so; without it the new file
        // belongs to the writer, as any rewrite by rename does.
        if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) {
            [[maybe_unused]] const int ignored =
                ::fchown(temporary.file.get(), existing->st_uid, existing->st_gid);
        }
    }
    if (const int error = write_all(temporary.file.get(), contents); error != 0) {
        return error;
    }
    if (::fsync(temporary.file.get()) != 0) {
        return errno;
    }
    if (const int error = temporary.file.close(); error != 0) {
        return error;
    }
    if (::rename(temporary.path.c_str(), target.c_str()) != 0) {
        return errno;
    }
    return 0;
}

// Makes the rename itself durable; the new contents are in place already, so a failure here
// is not reported.
void sync_directory_of(const std::string &target) {
    const std::string prefix = directory_prefix(target);
    FileDescriptor directory(
        ::open(prefix.empty() ? "." : prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) {
        ::fsync(directory.get());
    }
}

} // namespace

Status<int> replace_file_contents(const std::string &path, std::string_view contents) {
    // The system would silently cut the path at the first NUL byte.
    if (path.find('\0') != std::string::npos) {
        return err(EINVAL);
    }
    ASSIGN_OR_RETURN(const std::string target, resolve_link_chain(path));
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if ((exists && S_ISDIR(existing.st_mode)) || base_name(target).empty()) {
        return err(EISDIR);
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        return write_in_place(target, contents);
    }
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        return err(errno);
    }
    ASSIGN_OR_RETURN(TemporaryFile temporary, create_temporary_beside(target));
    if (const int error =
            fill_and_rename(temporary, target, exists ? &existing : nullptr, contents);
        error != 0) {
        ::unlink(temporary.path.c_str());
        return err(error);
    }
    sync_directory_of(target);
    return Unit{};
}

} // namespace tallyfit
