// Replacing a file's contents so that a failure never leaves a damaged or partial file.
#pragma once

#include <string>
#include <string_view>

#include "result.hpp"

namespace tallyfit {

// Makes `contents` the whole content of the file at `path`, creating it when missing, or
// reports the error number of the step that failed. The text goes to a new file in the same
// directory, is flushed to disk and then renamed over the target, so the old file stays intact
// on any failure. Through a symbolic link, the file the link chain ends at is replaced. An
// existing file keeps its permission bits (and, where allowed, its owner); a new one is created
// with 0666 minus the umask. A target that is not writable is refused with EACCES, as an
// ordinary open for writing would. A target that is neither a regular file nor a directory
// (a device, a FIFO) is written in place, since renaming over it would replace the node itself;
// so is a path through a link of /proc (/dev/stdout, /dev/fd/N, /proc/self/fd/N), one of this
// process's own writable descriptors being written through that descriptor, at its position.
// Where the atomic way is refused but a plain write works (a writable file in a directory that
// takes no new file, a bind-mounted file: EBUSY, EXDEV), the file is written in place. An empty
// path is ENOENT.
Status<int> replace_file_contents(const std::string &path, std::string_view contents);

} // namespace tallyfit
