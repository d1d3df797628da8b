// Reading a whole file into memory.
#pragma once

#include <cstddef>
#include <string>

#include "result.hpp"

namespace tallyfit {

// Far beyond any model file (one member per coefficient and encoded column).
inline constexpr std::size_t max_file_bytes = std::size_t{1} << 30;

// The file's bytes, or the error number of the step that failed. A directory gives EISDIR. The
// file is read to its end, whatever size it reports (pipes, FIFOs and files of /proc report
// none); more than max_bytes (a file that large, a device that never ends) gives EFBIG.
Result<std::string, int> read_whole_file(const std::string &path,
                                         std::size_t max_bytes = max_file_bytes);

} // namespace tallyfit
