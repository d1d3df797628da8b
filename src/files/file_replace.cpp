#include "files/file_replace.hpp"

#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <variant>
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

// A link of /proc (/proc/self/fd/N, /proc/self/cwd, ...): its text names no path; opening it
// reaches the open file or directory itself.
bool is_proc_link(const std::string &path) {
    FileDescriptor link(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct statfs file_system {};
    return link.valid() && ::fstatfs(link.get(), &file_system) == 0 &&
           file_system.f_type == PROC_SUPER_MAGIC;
}

// Reached through a link of /proc: the link itself, which is written in place.
struct ProcLink {
    std::string path;
};

// Where the link chain ends: a path to replace, or a link of /proc.
using LinkChainEnd = std::variant<std::string, ProcLink>;

// The path that writing through `path` would reach: every symbolic link followed. A path that
// cannot be examined is returned unchanged; creating the file there reports the real error.
Result<LinkChainEnd, int> resolve_link_chain(std::string path) {
    std::vector<char> target(PATH_MAX);
    for (int hop = 0; hop < max_symlink_hops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return LinkChainEnd{std::move(path)};
        }
        if (is_proc_link(path)) {
            return LinkChainEnd{ProcLink{std::move(path)}};
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

// For the special files that must not be replaced by a rename, and the files whose directory
// or mount does not allow one.
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

// The descriptor of this process that a link such as /proc/self/fd/N (the end of /dev/stdout
// and /dev/fd/N) stands for, when it is open for writing; -1 for any other link.
int own_writable_descriptor(const std::string &link) {
    const std::string name = base_name(link);
    if (name.empty() || name.size() > 9 ||
        name.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const std::string directory = directory_prefix(link);
    struct stat link_directory {};
    struct stat own_descriptors {};
    if (::stat(directory.c_str(), &link_directory) != 0 ||
        ::stat("/proc/self/fd", &own_descriptors) != 0 ||
        link_directory.st_dev != own_descriptors.st_dev ||
        link_directory.st_ino != own_descriptors.st_ino) {
        return -1;
    }
    const int descriptor = std::stoi(name);
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY ? descriptor : -1;
}

// Written like a print to this process's own descriptor (through it, at its position), so that
// what the process writes there before and after stays in order; other links of /proc are
// opened and written in place.
Status<int> write_through_proc_link(const std::string &link, std::string_view contents) {
    const int descriptor = own_writable_descriptor(link);
    if (descriptor < 0) {
        return write_in_place(link, contents);
    }
    if (const int error = write_all(descriptor, contents); error != 0) {
        return err(error);
    }
    return Unit{};
}

// The errors of the atomic save where writing the file itself still works: a directory that
// takes no new file (its file is writable), a target that is a mount point of its own (EBUSY,
// a bind-mounted file) or on another file system than its directory entry (EXDEV).
bool directory_refuses_new_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}
bool rename_refused(int error) { return error == EBUSY || error == EXDEV; }

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
    // As for open: an empty path names no file.
    if (path.empty()) {
        return err(ENOENT);
    }
    // The path as given, every link followed by the system (the links of /proc included): a
    // device, pipe or socket there is written in place, since a rename would replace the node.
    struct stat given {};
    const bool given_exists = ::stat(path.c_str(), &given) == 0;
    if (given_exists && !S_ISREG(given.st_mode) && !S_ISDIR(given.st_mode)) {
        return write_in_place(path, contents);
    }
    ASSIGN_OR_RETURN(const LinkChainEnd end, resolve_link_chain(path));
    if (const auto *link = std::get_if<ProcLink>(&end)) {
        if (given_exists && S_ISDIR(given.st_mode)) {
            return err(EISDIR);
        }
        return write_through_proc_link(link->path, contents);
    }
    const std::string &target = std::get<std::string>(end);
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
    auto created = create_temporary_beside(target);
    if (!created) {
        if (exists && directory_refuses_new_file(created.error())) {
            return write_in_place(target, contents);
        }
        return err(created.error());
    }
    TemporaryFile &temporary = created.value();
    if (const int error =
            fill_and_rename(temporary, target, exists ? &existing : nullptr, contents);
        error != 0) {
        ::unlink(temporary.path.c_str());
        if (exists && rename_refused(error)) {
            return write_in_place(target, contents);
        }
        return err(error);
    }
    sync_directory_of(target);
    return Unit{};
}

} // namespace tallyfit
